#include "duv/augmentation/arrays.hpp"
#include "duv/augmentation/meta_estimator.hpp"
#include "duv/augmentation/rare_neighbours.hpp"
#include "duv/augmentation/rare_rows.hpp"
#include "duv/interop/capi.hpp"
#include "duv/interop/klass.hpp"
#include "duv/interop/module.hpp"
#include "duv/interop/options.hpp"
#include "duv/interop/sklearn.hpp"
#include "duv/interop/util.hpp"

#include <cmath>
#include <optional>

namespace {

namespace aug = duv::augmentation;
namespace rare = duv::augmentation::rare;
using rare::Side;

DUV_ARGS(RelevanceArgs, y, method, extremes, control_points);
DUV_ARGS(AugmentArgs, X, y, relevance, threshold, balance, generator, k_neighbors, max_factor, noise, shuffle,
         random_state, sample_weight, sample_weight_mode);

struct RareTargetState : rare::RareState {
    duv::OptionTable options{};
    duv::AsImported search{*this, {"NearestNeighbors", "np"}};
};

// ---- target_relevance --------------------------------------------------------------------

rare::Extremes extremes_of(nb::handle extremes) {
    if (duv::equals(extremes, "high")) return rare::Extremes::High;
    if (duv::equals(extremes, "low")) return rare::Extremes::Low;
    return rare::Extremes::Both;
}

// A fence of the boxplot: a point of relevance 1; on the median it makes its side a step, and
// a fence that overflowed is left out (no value lies beyond it).
void add_fence(rare::Curve &curve, double fence, double median, bool &step) {
    if (fence == median)
        step = true;
    else if (std::isfinite(fence)) {
        curve.values.push_back(fence);
        curve.relevances.push_back(1.0);
    }
}

// Relevance 1 at the fences q1 - 1.5 iqr and q3 + 1.5 iqr of the chosen sides, 0 at the median.
rare::Curve boxplot_curve(const duv::Globals &g, nb::handle y, rare::Extremes extremes) {
    auto q = duv::unpack(g["np"].attr("percentile")(y, duv::list_of(25, 50, 75)), 3);
    const double q1 = duv::to_double(q[0]), median = duv::to_double(q[1]), q3 = duv::to_double(q[2]);
    const double iqr = q3 - q1;
    const double lo = q1 - 1.5 * iqr, hi = q3 + 1.5 * iqr;
    rare::Curve curve;
    if (extremes != rare::Extremes::High) add_fence(curve, lo, median, curve.step_below);
    curve.values.push_back(median);
    curve.relevances.push_back(0.0);
    if (extremes != rare::Extremes::Low) add_fence(curve, hi, median, curve.step_above);
    return curve;
}

nb::object target_relevance(const duv::Globals &g, const RelevanceArgs &a) {
    nb::object np = g["np"];
    nb::object y = rare::target_vector(np, g["check_array"](a.y, "ensure_2d"_a = false, "dtype"_a = "numeric",
                                                            "ensure_all_finite"_a = true, "input_name"_a = "y"));
    const bool given = !a.control_points.is_none();
    rare::Curve curve = given ? rare::control_points(np, a.control_points) : rare::Curve{};
    if (rare::constant(y)) return np.attr("zeros")(nb::len(y));
    if (given) return rare::on_curve(np, y, curve);
    const rare::Extremes extremes = extremes_of(a.extremes);
    if (duv::equals(a.method, "density")) {
        auto hist = duv::unpack(np.attr("histogram")(y, "bins"_a = "auto"), 2);
        nb::object median = extremes == rare::Extremes::Both ? nb::none() : np.attr("median")(y);
        return rare::density(g, y, hist[0], hist[1], extremes, median);
    }
    return rare::on_curve(np, y, boxplot_curve(g, y, extremes));
}

// ---- rare_target_augment -----------------------------------------------------------------

// The validated training data: X as float64, y as a float64 vector, the weights checked.
struct Data {
    nb::object X, y, weights;
    int64_t n = 0, m = 0;
};

// One float64 weight per row, finite, or None.
nb::object checked_weights(nb::handle np, nb::handle sample_weight, int64_t n) {
    if (sample_weight.is_none()) return nb::none();
    nb::object w;
    try {
        w = np.attr("asarray")(sample_weight, "dtype"_a = np.attr("float64"));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
        duv::raise_wrapped(PyExc_ValueError, "sample_weight must be numbers: ", e);
    }
    nb::object shape = w.attr("shape");
    if (!duv::compare(shape, nb::make_tuple(n), Py_EQ))
        duv::raise_value_error("sample_weight should have shape (" + std::to_string(n) + ",), got " +
                               duv::format(shape));
    if (!duv::truthy(np.attr("all")(np.attr("isfinite")(w)))) duv::raise_value_error("sample_weight must be finite");
    return w;
}

Data checked_data(const duv::Globals &g, nb::handle X_in, nb::handle y_in, nb::handle sample_weight) {
    nb::object np = g["np"];
    auto Xy = duv::unpack(g["check_X_y"](X_in, y_in, "y_numeric"_a = true, "ensure_all_finite"_a = true,
                                         "dtype"_a = "numeric", "multi_output"_a = true),
                          2);
    Data d;
    d.X = np.attr("asarray")(Xy[0], "dtype"_a = np.attr("float64"));
    nb::object dtype = Xy[1].attr("dtype");
    const int numeric = PySequence_Contains(nb::str("biuf").ptr(), nb::object(dtype.attr("kind")).ptr());
    duv::check(numeric >= 0);
    if (!numeric) duv::raise_value_error("y must hold numbers, got dtype " + duv::format(dtype));
    d.y = rare::target_vector(np, Xy[1]);
    d.n = nb::cast<int64_t>(duv::shape_of(d.X, 0));
    d.m = nb::cast<int64_t>(duv::shape_of(d.X, 1));
    d.weights = checked_weights(np, sample_weight, d.n);
    return d;
}

// The relevance of each row: target_relevance for a method's name, a callable's answer for the
// target (read-only), or the values given.
nb::object relevance_of_rows(const duv::Globals &g, const Data &d, nb::handle relevance) {
    nb::object rel;
    if (PyUnicode_Check(relevance.ptr())) {
        rel = g["target_relevance"](d.y, "method"_a = relevance);
    } else if (PyCallable_Check(relevance.ptr())) {
        nb::object y = d.y.attr("view")();
        nb::object(y.attr("flags")).attr("writeable") = false;
        rel = relevance(y);
    } else {
        rel = nb::borrow(relevance);
    }
    return rare::checked_relevance(g["np"], rel, d.n);
}

// Why there is nothing to do, if so.
std::optional<std::string> nothing_to_do(const Data &d, int64_t n_rare, nb::handle threshold) {
    if (rare::constant(d.y)) return "the target is constant: no row is rare, the data are returned unchanged";
    if (n_rare == 0)
        return "no row has a relevance of at least threshold=" + duv::format(threshold) +
               ": the data are returned unchanged";
    if (n_rare == d.n) return "every row is rare: the data are returned unchanged";
    return std::nullopt;
}

// Copies of the data with their weights: the given ones (passthrough) or, in generate mode, ones
// times the given ones.
nb::object unchanged(nb::handle np, const Data &d, bool generate) {
    nb::object w = d.weights.is_none() ? nb::none() : nb::object(d.weights.attr("copy")());
    if (generate && w.is_none()) w = np.attr("ones")(d.n);
    return nb::make_tuple(d.X.attr("copy")(), d.y.attr("copy")(), w);
}

int64_t as_count(nb::handle count) {
    const long long v = PyLong_AsLongLong(count.ptr());
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

// int(round(x)), with Python's rounding of halves to even.
nb::object rounded(const duv::Globals &g, nb::handle x) { return duv::int_of(g["round"](x)); }

// The synthetic rows each side gets: the rows missing for `balance` normal rows per rare row,
// split between the sides in proportion to their rare rows, at most int(max_factor) per rare row.
void synthetic_counts(const duv::Globals &g, Side &low, Side &high, int64_t n_normal, nb::handle balance,
                      nb::handle max_factor) {
    const nb::int_ n_rare(low.n + high.n), zero(0);
    nb::object wanted = rounded(g, balance * nb::int_(n_normal)) - n_rare;
    if (duv::compare(wanted, zero, Py_LT)) wanted = zero;
    nb::object n_syn_low = rounded(g, wanted * nb::int_(low.n) / n_rare);
    nb::object n_syn_high = wanted - n_syn_low;
    nb::object per_row = duv::int_of(max_factor);
    for (const auto &[side, count] : {std::pair{&low, n_syn_low}, std::pair{&high, n_syn_high}}) {
        nb::object cap = per_row * nb::int_(side->n);
        side->n_syn = as_count(duv::compare(count, cap, Py_LT) ? count : cap);
    }
}

// generate mode: no synthetic rows; each rare row weighs 1 + its side's synthetic rows per rare
// row, every other row 1, times the given weights.
nb::object generated_weights(nb::handle np, const Data &d, const Side &low, const Side &high, nb::handle rng,
                             bool shuffle) {
    nb::object w = np.attr("ones")(d.n);
    for (const Side *side : {&low, &high})
        if (side->n > 0) w[side->rows] = nb::float_(1.0) + nb::int_(side->n_syn) / nb::int_(side->n);
    if (!d.weights.is_none()) w = w * d.weights;
    if (!shuffle) return nb::make_tuple(d.X.attr("copy")(), d.y.attr("copy")(), w);
    nb::object perm = rng.attr("permutation")(d.n);
    return nb::make_tuple(aug::take_rows(np, d.X, perm), aug::take_rows(np, d.y, perm), aug::take_rows(np, w, perm));
}

// What one side's generation reads.
struct Generation {
    const duv::Globals &g;
    const Data &d;
    rare::SyntheticRows &rows;
    nb::handle rng, generator, k_neighbors, relevance;
    double noise, threshold;
};

// noise * std of each column and of the target over the side's rare rows (over every rare row
// for a side of one row).
std::pair<nb::object, nb::object> jitter_scales(const Generation &gen, const Side &side, nb::handle X_side) {
    nb::object X_src = nb::borrow(X_side), y_src;
    if (side.n > 1) {
        y_src = gen.rows.y_of(side);
    } else {
        nb::object rare_rows = duv::richcompare(gen.relevance, nb::float_(gen.threshold), Py_GE);
        X_src = gen.d.X[rare_rows];
        y_src = gen.d.y[rare_rows];
    }
    nb::float_ noise(gen.noise);
    return {noise * nb::object(X_src.attr("std")("axis"_a = 0)), noise * nb::object(y_src.attr("std")())};
}

// One side's synthetic rows, its draws in their documented order: the base rows, then the
// neighbour slots and coefficients when it interpolates, then the normal draws when it jitters.
void generate_side(const Generation &gen, const Side &side) {
    const int64_t q = side.n_syn / side.n, r = side.n_syn % side.n;
    nb::object drawn =
        r > 0 ? nb::object(gen.rng.attr("choice")(side.n, "size"_a = r, "replace"_a = false)) : nb::none();
    gen.rows.base_rows(side, q, drawn);
    nb::object X_side = gen.rows.X_of(side);
    auto normal_draws = [&] { return gen.rng.attr("standard_normal")(nb::make_tuple(side.n_syn, gen.d.m + 1)); };

    const bool gaussian = duv::equals(gen.generator, "gaussian");
    if (gaussian || side.n < 2) {
        if (!gaussian)
            gen.g["warnings"].attr("warn")(std::string("fewer than two rare rows on the ") + side.name +
                                               " side: its rows are jittered rather than interpolated",
                                           nb::handle(PyExc_UserWarning));
        nb::object z = normal_draws();
        auto [scale_x, scale_y] = jitter_scales(gen, side, X_side);
        gen.rows.jittered(z, scale_x, scale_y);
        return;
    }
    nb::object others = nb::int_(side.n - 1);
    nb::object k = duv::compare(gen.k_neighbors, others, Py_LT) ? nb::borrow(gen.k_neighbors) : others;
    const auto [dist, ind] = rare::nearest_rows(gen.g, gen.g.state<RareTargetState>().search, X_side,
                                                nb::cast<std::ptrdiff_t>(duv::int_of(k)) + 1);
    nb::object slot = gen.rng.attr("randint")(0, k, "size"_a = side.n_syn);
    nb::object alpha = gen.rng.attr("rand")(side.n_syn);
    if (duv::equals(gen.generator, "smote")) {
        gen.rows.interpolated(ind, slot, alpha);
        return;
    }
    nb::object z = normal_draws();
    auto [scale_x, scale_y] = jitter_scales(gen, side, X_side);
    nb::object neighbour_dist = dist[nb::make_tuple(duv::full_slice(), duv::slice_from(1))];
    nb::object limit = nb::object(gen.g["np"].attr("median")(neighbour_dist)) / nb::int_(2);
    gen.rows.interpolated_or_jittered(ind, dist, slot, alpha, z, scale_x, scale_y, limit);
}

nb::object rare_target_augment(const duv::Globals &g, const AugmentArgs &a) {
    nb::object np = g["np"];
    const Data d = checked_data(g, a.X, a.y, a.sample_weight);
    nb::object rel = relevance_of_rows(g, d, a.relevance);
    const double threshold = duv::to_double(a.threshold);
    auto [low, high] = rare::split(g, rel, d.y, threshold, np.attr("median")(d.y));
    const bool generate = duv::equals(a.sample_weight_mode, "generate");
    if (auto reason = nothing_to_do(d, low.n + high.n, a.threshold)) {
        g["warnings"].attr("warn")(*reason, nb::handle(PyExc_UserWarning));
        return unchanged(np, d, generate);
    }
    synthetic_counts(g, low, high, d.n - low.n - high.n, a.balance, a.max_factor);
    nb::object rng = g["check_random_state"](a.random_state);
    const bool shuffle = duv::truthy(a.shuffle);
    if (generate) return generated_weights(np, d, low, high, rng, shuffle);

    rare::SyntheticRows rows(g, d.X, d.y, d.weights);
    const Generation gen{g, d, rows, rng, a.generator, a.k_neighbors, rel, duv::to_double(a.noise), threshold};
    for (const Side *side : {&low, &high})
        if (side->n_syn > 0) generate_side(gen, *side);
    nb::object perm = shuffle ? nb::object(rng.attr("permutation")(d.n + low.n_syn + high.n_syn)) : nb::none();
    return rows.assemble(perm);
}

// ---- RareTargetAugmentedRegressor --------------------------------------------------------

nb::object fit(const duv::Globals &g, const aug::FitWithParamsArgs &a) {
    return aug::fit_family(g, g.state<RareTargetState>().options,
                           {"rare_target_augment", duv::kRegressor, {{"y_numeric", true}}, false}, a);
}

duv::OptionTable family_options(nb::module_ &m) {
    auto str_options = [&](auto... values) { return duv::list_of(m.attr("StrOptions")(duv::set_of(values...))); };
    auto real = [&](int low, nb::handle high, const char *closed) {
        return duv::list_of(m.attr("Interval")(m.attr("Real"), low, high, "closed"_a = closed));
    };
    // Every option is keyword-only, after the data or the estimator.
    auto option = [](const char *name, auto value) { return duv::option(name, value).keyword_only(); };
    nb::object callable = nb::module_::import_("builtins").attr("callable");
    return duv::OptionTable{
        option("relevance", "boxplot")
            .constraint(duv::list_of(m.attr("StrOptions")(duv::set_of("boxplot", "density")), callable, "array-like")),
        option("threshold", 0.5).ann(duv::float_type()).constraint(real(0, nb::int_(1), "both")),
        option("balance", 1.0).ann(duv::float_type()).constraint(real(0, nb::none(), "left")),
        option("generator", "smote").ann(duv::str_type()).constraint(str_options("smote", "gaussian", "smogn")),
        option("k_neighbors", 5)
            .ann(duv::int_type())
            .constraint(duv::list_of(duv::interval(m, "Integral", nb::int_(1), "left"))),
        option("max_factor", 10.0).ann(duv::float_type()).constraint(real(1, nb::none(), "left")),
        option("noise", 0.05).ann(duv::float_type()).constraint(real(0, nb::none(), "left")),
        option("shuffle", true).ann(duv::bool_type()).constraint(duv::list_of("boolean")),
        option("random_state", nb::none()).constraint(duv::list_of("random_state")),
        option("sample_weight", nb::none()).on(duv::kFunction).constraint(duv::list_of("array-like", nb::none())),
        option("sample_weight_mode", "passthrough")
            .ann(duv::str_type())
            .constraint(str_options("passthrough", "generate")),
        option("store_augmented", false)
            .ann(duv::bool_type())
            .on(duv::kRegressor)
            .not_forwarded()
            .constraint(duv::list_of("boolean")),
    };
}

void def_target_relevance(nb::module_ &m) {
    nb::dict constraints;
    constraints["y"] = duv::list_of("array-like");
    constraints["method"] = duv::list_of(m.attr("StrOptions")(duv::set_of("boxplot", "density")));
    constraints["extremes"] = duv::list_of(m.attr("StrOptions")(duv::set_of("both", "high", "low")));
    constraints["control_points"] = duv::list_of("array-like", nb::none());
    duv::def_validated(m, "target_relevance",
                       {duv::arg("y"), duv::kwonly("method", "boxplot").ann(duv::str_type()),
                        duv::kwonly("extremes", "both").ann(duv::str_type()),
                        duv::kwonly("control_points", nb::none())},
                       target_relevance, constraints, true);
}

}  // namespace

DUV_MODULE("duv.augmentation._rare_target_augmentation", exec_rare_target_augmentation) {
    duv::import_as(m, "warnings");
    duv::import_as(m, "numpy", "np");
    duv::from_import(m, "sklearn.base", {"BaseEstimator", "RegressorMixin", "clone"});
    duv::from_import(m, "sklearn.neighbors", {"NearestNeighbors"});
    duv::from_import(m, "sklearn.utils._param_validation",
                     {"Integral", "Interval", "Real", "StrOptions", "validate_params"});
    duv::from_import(m, "sklearn.utils.validation",
                     {"check_array", "check_is_fitted", "check_random_state", "check_X_y"});
    duv::from_import(m, "._meta_estimator_mixins", {"UnwrapMetaEstimatorMixin"});

    RareTargetState &st = duv::make_state<RareTargetState>(m);
    st.options = family_options(m);
    def_target_relevance(m);
    aug::def_family_function(m, "rare_target_augment", st.options, rare_target_augment);
    duv::ClassBuilder cls = aug::family_class(m, "RareTargetAugmentedRegressor", duv::kRegressor, st.options);
    nb::object built = aug::def_fit_predict_and_build(cls, true, fit, aug::predict_fitted_with);
    aug::def_sklearn_tags(m, built, aug::InputCheck::NumericOneTarget);
    st.numpy.take(m);
    st.search.take(m);
}
