#include "duv/augmentation/arrays.hpp"
#include "duv/augmentation/meta_estimator.hpp"
#include "duv/augmentation/smote_rows.hpp"
#include "duv/interop/klass.hpp"
#include "duv/interop/module.hpp"
#include "duv/interop/module_state.hpp"
#include "duv/interop/options.hpp"
#include "duv/interop/sklearn.hpp"
#include "duv/interop/util.hpp"

#include <algorithm>
#include <optional>

namespace {

namespace aug = duv::augmentation;
namespace smote = duv::augmentation::smote;

DUV_ARGS(SmoteArgs, X, y, factor, k_neighbors, random_state, distance_weights, shuffle, algorithm, n_jobs,
         extrapolation, sample_weight, sample_weight_mode);
DUV_ARGS(SelfArgs, self);
using aug::FitArgs;

struct SmoteState : duv::ModuleState {
    duv::AsImported numpy{*this, {"np"}};  // the row kernel stands in for NumPy's stacking
    duv::OptionTable options{};
};

constexpr const char *kFactorMessage = "factor must be >= 1.0 for SMOTE augmentation";

// Counts and comparisons run in Python arithmetic, so that any numeric factor behaves as in Python.

// int(round(n * (factor - 1.0)))
nb::object synthetic_count(const duv::Globals &g, nb::handle n, nb::handle factor) {
    return duv::int_of(g["round"](n * (factor - nb::float_(1.0))));
}

// min(k_neighbors, n - 1)
nb::object capped_k(nb::handle k_neighbors, nb::handle n) {
    nb::object other = n - nb::int_(1);
    return duv::compare(other, k_neighbors, Py_LT) ? other : nb::borrow(k_neighbors);
}

// nn.fit(X); _, all_neighbours = nn.kneighbors(X); all_neighbours[:, 1:] (each row finds itself first)
nb::object neighbours_without_self(nb::handle nn, nb::handle X) {
    nn.attr("fit")(X);
    nb::object all_neighbours = duv::unpack(nn.attr("kneighbors")(X), 2)[1];
    return duv::getitem(all_neighbours, nb::make_tuple(duv::full_slice(), duv::slice_from(1)));
}

// Base rows: drawn with probabilities p, or uniformly when p is None.
nb::object draw_rows(nb::handle rng, nb::handle n, nb::handle size, nb::handle p) {
    if (p.is_none()) return rng.attr("randint")(0, n, "size"_a = size);
    return rng.attr("choice")(n, "size"_a = size, "replace"_a = true, "p"_a = p);
}

// The validated training data: X, y as a column matrix, and whether y was 1-D.
struct Inputs {
    nb::object X, y, n_samples;
    bool y_was_1d = false;

    // y_aug as returned: flattened again when y was 1-D.
    nb::object target(nb::handle y_aug) const { return y_was_1d ? y_aug.attr("reshape")(-1) : nb::borrow(y_aug); }
};

Inputs validate_inputs(const duv::Globals &g, nb::handle X, nb::handle y) {
    Inputs in;
    in.X = g["check_array"](X, "accept_sparse"_a = false, "ensure_2d"_a = true);
    in.y = g["check_array"](y, "ensure_2d"_a = false);
    in.y_was_1d = nb::cast<long>(in.y.attr("ndim")) == 1;
    if (in.y_was_1d) in.y = in.y.attr("reshape")(-1, 1);
    g["check_consistent_length"](in.X, in.y);
    in.n_samples = g["_num_samples"](in.X);
    return in;
}

// The early returns: the input rows, permuted by `indices` when given, with ones as weights in
// consume mode, else the caller's weights (of the same rows) or None.
nb::object input_rows(nb::handle np, const Inputs &in, bool consume, nb::handle sample_weight,
                      nb::handle indices = nb::handle()) {
    nb::object w = consume || sample_weight.is_none() ? nb::none() : np.attr("asarray")(sample_weight);
    auto rows = indices.is_valid() ? duv::unpack(aug::take_rows_of(np, indices, in.X, in.y, w), 3)
                                   : std::vector<nb::object>{in.X, in.y, w};
    return nb::make_tuple(rows[0], in.target(rows[1]), consume ? duv::float_ones(np, in.n_samples) : rows[2]);
}

// The neighbour search's metric_params: {"w": distance_weights} after the shape check, or None.
nb::object metric_params(nb::handle np, nb::handle X, nb::handle distance_weights) {
    if (distance_weights.is_none()) return nb::none();
    nb::object dw = np.attr("asarray")(distance_weights);
    nb::object n_features = nb::object(X.attr("shape"))[1];
    nb::object shape = dw.attr("shape");
    if (duv::compare(shape, nb::make_tuple(n_features), Py_NE))
        duv::raise_value_error("distance_weights must have shape (" + duv::format(n_features) + ",), got " +
                               duv::format(shape));
    nb::dict params;
    params["w"] = dw;
    return params;
}

nb::object smote_augment(const duv::Globals &g, const SmoteArgs &a) {
    nb::object np = g["np"];
    const Inputs in = validate_inputs(g, a.X, a.y);
    if (duv::compare(a.factor, nb::float_(1.0), Py_LT))
        duv::raise_value_error(std::string(kFactorMessage) + ", got " + duv::repr(a.factor));
    const bool consume = aug::sample_weight_mode_is(a.sample_weight_mode, "consume");

    if (duv::compare(a.factor, nb::float_(1.0), Py_EQ)) {
        if (!duv::truthy(a.shuffle)) return input_rows(np, in, consume, a.sample_weight);
        nb::object rng = g["check_random_state"](a.random_state);
        return input_rows(np, in, consume, a.sample_weight, rng.attr("permutation")(in.n_samples));
    }
    nb::object n_synthetic = synthetic_count(g, in.n_samples, a.factor);
    if (duv::compare(n_synthetic, nb::int_(0), Py_EQ)) return input_rows(np, in, consume, a.sample_weight);
    nb::object k = capped_k(a.k_neighbors, in.n_samples);
    if (duv::compare(k, nb::int_(0), Py_LE)) {
        g["warnings"].attr("warn")(
            "Not enough samples for k-nearest neighbors. Returning original data without augmentation.",
            nb::handle(PyExc_UserWarning));
        return input_rows(np, in, consume, a.sample_weight);
    }
    nb::object rng = g["check_random_state"](a.random_state);

    nb::object params = metric_params(np, in.X, a.distance_weights);
    nb::object nn = g["NearestNeighbors"]("n_neighbors"_a = k + nb::int_(1), "algorithm"_a = a.algorithm,
                                          "n_jobs"_a = a.n_jobs, "metric"_a = "minkowski", "metric_params"_a = params);
    nb::object neighbours = neighbours_without_self(nn, in.X);

    // The draws in their documented order (base rows, neighbour slots, alpha, the shuffle's
    // permutation); what NumPy does between them stays in its place.
    const int64_t n = nb::cast<int64_t>(in.n_samples);
    nb::object p = aug::consume_probabilities(np, consume, a.sample_weight, in.n_samples);
    nb::object selected = draw_rows(rng, in.n_samples, n_synthetic, p);
    nb::object slots = rng.attr("randint")(0, k, "size"_a = n_synthetic);
    nb::object chosen = smote::neighbours_at(neighbours, selected, std::move(slots), n);
    const bool kernel = g.state<SmoteState>().numpy.intact(g);
    smote::Interpolation rows(in.X, in.y, std::move(selected), std::move(chosen), n, kernel);
    nb::object alpha = smote::stretch_alpha(rng.attr("rand")(n_synthetic), a.extrapolation);
    rows.interpolate(np, std::move(alpha), consume ? nb::none() : nb::borrow(a.sample_weight));
    nb::object n_total = in.n_samples + n_synthetic;
    const int64_t n_rows = nb::cast<int64_t>(n_total);
    nb::object perm = duv::truthy(a.shuffle) ? rng.attr("permutation")(n_total) : nb::object();

    smote::Augmented out = rows.assemble(np, perm, n_rows);
    if (consume) out.weights = duv::float_ones(np, n_total);
    return nb::make_tuple(out.X, in.target(out.y), out.weights);
}

void require_method(nb::handle self, const char *name) {
    if (duv::has_attr(self.attr("estimator"), name)) return;
    duv::raise_value_error("estimator " + duv::format(self.attr("estimator")) + " does not have a '" + name +
                           "' method");
}

nb::object validate_estimator(const SelfArgs &a) {
    require_method(a.self, "fit");
    require_method(a.self, "predict");
    return nb::none();
}

nb::object fit_regressor(const duv::Globals &g, const FitArgs &a) {
    nb::handle self = a.self;
    duv::check_feature_names(self, a.X, true);
    nb::object np = g["np"];
    auto Xy = duv::unpack(g["check_X_y"](a.X, a.y, "multi_output"_a = true, "y_numeric"_a = true), 2);
    nb::object X = Xy[0], y = Xy[1];
    g["check_consistent_length"](X, y);
    self.attr("_validate_estimator")();
    self.attr("random_state_") = g["check_random_state"](self.attr("random_state"));
    self.attr("n_samples_") = g["_num_samples"](X);
    self.attr("n_features_in_") = duv::shape_of(X, 1);
    const bool y_was_1d = nb::len(nb::object(y.attr("shape"))) == 1;
    self.attr("_y_was_1d") = nb::bool_(y_was_1d);
    if (y_was_1d) y = y.attr("reshape")(-1, 1);
    self.attr("n_outputs_") = duv::shape_of(y, 1);
    if (aug::passthrough_mode(self.attr("sample_weight_mode")))
        aug::check_one_weight_per_row(np, a.sample_weight, self.attr("n_samples_"));

    nb::dict given;
    given["random_state"] = self.attr("random_state_");
    given["shuffle"] = false;
    given["sample_weight"] = a.sample_weight;
    nb::dict options = g.state<SmoteState>().options.forwarded(duv::kRegressor, self, given);
    auto parts = duv::unpack(duv::call_with(g["smote_augment"], nb::make_tuple(X, y), options), 3);
    self.attr("n_synthetic_") = g["_num_samples"](parts[0]) - self.attr("n_samples_");
    if (duv::truthy(self.attr("shuffle"))) {
        nb::object indices = np.attr("arange")(g["_num_samples"](parts[0]));
        self.attr("random_state_").attr("shuffle")(indices);  // the draw after smote_augment's
        parts = duv::unpack(aug::take_rows_of(np, indices, parts[0], parts[1], parts[2]), 3);
    }
    nb::object y_aug = duv::truthy(self.attr("_y_was_1d")) ? parts[1].attr("ravel")() : parts[1];
    return aug::finish_fit(g, self, parts[0], y_aug, parts[2]);
}

// factor == 1.0: the plain fit, on the rows permuted when shuffle is set.
nb::object fit_unaugmented(const duv::Globals &g, nb::handle np, nb::handle self, nb::handle rng, nb::handle X,
                           nb::handle y, nb::handle sample_weight, nb::handle n_samples) {
    if (!duv::truthy(self.attr("shuffle"))) return aug::finish_fit(g, self, X, y, sample_weight);
    auto rows = duv::unpack(aug::take_rows_of(np, rng.attr("permutation")(n_samples), X, y, sample_weight), 3);
    return aug::finish_fit(g, self, rows[0], rows[1], rows[2]);
}

// The sorted labels and their row counts, int(np.sum(y_arr == c)).
std::pair<std::vector<nb::object>, std::vector<nb::object>> class_counts(nb::handle np, nb::handle y_arr,
                                                                         nb::handle classes) {
    std::vector<nb::object> labels, counts;
    for (nb::handle c : classes) {
        labels.push_back(nb::borrow(c));
        counts.push_back(nb::int_(np.attr("sum")(duv::richcompare(y_arr, c, Py_EQ))));
    }
    return {std::move(labels), std::move(counts)};
}

// Largest-remainder split of `total` synthetic rows over classes of the given sizes, in Python
// integers (a huge factor gives counts beyond 64 bits). The `abs(delta)` single-row steps over
// the classes in remainder order are taken in one pass per class.
std::vector<nb::object> allocate(const duv::Globals &g, nb::handle total, const std::vector<nb::object> &counts,
                                 nb::handle n_samples) {
    nb::object denom = duv::steal_checked(PyNumber_Float(n_samples.ptr()));
    nb::object zero = nb::int_(0);
    std::vector<nb::object> share, per_class;
    nb::object assigned = zero;
    for (const nb::object &count : counts) {
        share.push_back(total * (count / denom));
        nb::object rounded = duv::int_of(g["round"](share.back()));
        per_class.push_back(duv::compare(rounded, zero, Py_GT) ? rounded : zero);
        assigned = assigned + per_class.back();
    }
    nb::object delta = total - assigned;
    if (!duv::compare(delta, zero, Py_NE)) return per_class;

    std::vector<double> remainder;
    remainder.reserve(counts.size());
    for (size_t c = 0; c < counts.size(); ++c) remainder.push_back(duv::to_double(share[c] - per_class[c]));
    std::vector<size_t> order(counts.size());
    for (size_t c = 0; c < order.size(); ++c) order[c] = c;
    std::stable_sort(order.begin(), order.end(), [&](size_t l, size_t r) { return remainder[l] > remainder[r]; });
    const bool grow = duv::compare(delta, zero, Py_GT);
    nb::object steps = duv::steal_checked(PyNumber_Absolute(delta.ptr()));
    nb::object m = nb::int_(order.size());
    nb::object rounds = steps.floor_div(m);
    const long long extra = nb::cast<long long>(nb::object(steps % m));
    for (size_t j = 0; j < order.size(); ++j) {
        nb::object moved = static_cast<long long>(j) < extra ? rounds + nb::int_(1) : rounds;
        per_class[order[j]] = grow ? per_class[order[j]] + moved : per_class[order[j]] - moved;
    }
    return per_class;
}

// One class's rows, weights and neighbours; nothing when the class has too few rows to have a
// neighbour.
std::optional<smote::ClassRows> class_rows(const duv::Globals &g, nb::handle np, nb::handle self, nb::handle X,
                                           nb::handle y_arr, nb::handle label, nb::handle sample_weight) {
    smote::ClassRows c;
    c.mask = duv::richcompare(y_arr, label, Py_EQ);
    c.X = X[c.mask];
    c.weights = sample_weight.is_none() ? nb::none() : nb::object(np.attr("asarray")(sample_weight)[c.mask]);
    c.n = nb::object(c.X.attr("shape"))[0];
    if (duv::compare(c.n, nb::int_(1), Py_LE)) return std::nullopt;
    c.k = capped_k(self.attr("k_neighbors"), c.n);
    if (duv::compare(c.k, nb::int_(0), Py_LE)) return std::nullopt;
    nb::object nn = g["NearestNeighbors"]("n_neighbors"_a = c.k + nb::int_(1), "algorithm"_a = self.attr("algorithm"),
                                          "n_jobs"_a = self.attr("n_jobs"));
    c.neighbours = neighbours_without_self(nn, c.X);
    return c;
}

// The class's drawing probabilities: its weights normalised in consume mode (compared as given),
// else None.
nb::object class_probabilities(nb::handle self, const smote::ClassRows &c) {
    if (c.weights.is_none() || !duv::compare(self.attr("sample_weight_mode"), nb::str("consume"), Py_EQ))
        return nb::none();
    return aug::weights_as_probabilities(c.weights);
}

// y_aug and sw_aug: the labels followed by the synthetic labels; in passthrough mode the weights
// followed by 1.0 per synthetic row.
std::pair<nb::object, nb::object> labels_and_weights(nb::handle np, nb::handle self, nb::handle y, nb::handle y_arr,
                                                     nb::list &y_synth_list, nb::handle sample_weight,
                                                     int64_t n_added) {
    if (n_added == 0) return {nb::borrow(y), sample_weight.is_none() ? nb::none() : np.attr("asarray")(sample_weight)};
    nb::object y_aug = np.attr("concatenate")(duv::list_of(y_arr, np.attr("concatenate")(y_synth_list)));
    y_synth_list.clear();
    nb::object sw_aug = nb::none();
    if (!sample_weight.is_none() && duv::compare(self.attr("sample_weight_mode"), nb::str("passthrough"), Py_EQ))
        sw_aug = np.attr("concatenate")(
            duv::list_of(np.attr("asarray")(sample_weight), duv::float_ones(np, nb::int_(n_added))));
    return {y_aug, sw_aug};
}

nb::object fit_classifier(const duv::Globals &g, const FitArgs &a) {
    nb::handle self = a.self, sample_weight = a.sample_weight;
    duv::check_feature_names(self, a.X, true);
    nb::object np = g["np"];
    auto Xy = duv::unpack(g["check_X_y"](a.X, a.y, "multi_output"_a = false), 2);
    nb::object X = Xy[0], y = Xy[1];
    self.attr("_validate_estimator")();
    nb::object rng = g["check_random_state"](self.attr("random_state"));
    self.attr("n_features_in_") = duv::shape_of(X, 1);
    nb::object n_samples = g["_num_samples"](X);
    if (duv::compare(self.attr("factor"), nb::float_(1.0), Py_LT)) duv::raise_value_error(kFactorMessage);
    aug::check_one_weight_per_row(np, sample_weight, n_samples);  // indexed like the rows in every mode
    if (duv::compare(self.attr("factor"), nb::float_(1.0), Py_EQ))
        return fit_unaugmented(g, np, self, rng, X, y, sample_weight, n_samples);

    nb::object y_arr = np.attr("asarray")(y);
    nb::object classes = np.attr("unique")(y_arr);
    nb::object n_total_synth = synthetic_count(g, n_samples, self.attr("factor"));
    // Nothing to generate: the plain fit, unshuffled, keeping the caller's weights.
    if (duv::compare(n_total_synth, nb::int_(0), Py_LE)) return aug::finish_fit(g, self, X, y, sample_weight);
    auto [labels, counts] = class_counts(np, y_arr, classes);
    std::vector<nb::object> per_class = allocate(g, n_total_synth, counts, n_samples);

    const int64_t n = nb::cast<int64_t>(n_samples);
    smote::ClassInterpolation rows(np, X, n, n_total_synth, g.state<SmoteState>().numpy.intact(g));
    nb::list y_synth_list;
    nb::object extrapolation = self.attr("extrapolation");
    for (size_t i = 0; i < labels.size(); ++i) {
        nb::handle n_synth_c = per_class[i];
        if (duv::compare(n_synth_c, nb::int_(0), Py_LE)) continue;
        std::optional<smote::ClassRows> c = class_rows(g, np, self, X, y_arr, labels[i], sample_weight);
        if (!c) continue;
        // The class's draws in their documented order: base rows, neighbour slots, alpha.
        nb::object p_c = class_probabilities(self, *c);
        nb::object base_idx = draw_rows(rng, c->n, n_synth_c, p_c);
        nb::object slots = rng.attr("randint")(0, c->k, "size"_a = n_synth_c);
        rows.pick(*c, base_idx, slots);
        nb::object alpha = smote::stretch_alpha(rng.attr("rand")(n_synth_c), extrapolation);
        rows.interpolate(*c, base_idx, slots, alpha);
        y_synth_list.append(np.attr("full")(n_synth_c, labels[i]));
    }

    const int64_t n_added = rows.finish();
    auto [y_aug, sw_aug] = labels_and_weights(np, self, y, y_arr, y_synth_list, sample_weight, n_added);
    const int64_t n_total = n + n_added;
    nb::object idx = duv::truthy(self.attr("shuffle")) ? rng.attr("permutation")(n_total) : nb::object();
    nb::object X_aug = rows.augmented_rows(idx, n_total);
    if (idx.is_valid()) {
        y_aug = aug::take_rows(np, y_aug, idx);
        if (!sw_aug.is_none()) sw_aug = aug::take_rows(np, sw_aug, idx);
    }
    return aug::finish_fit(g, self, X_aug, y_aug, sw_aug);
}

duv::OptionTable smote_options(nb::module_ &m) {
    auto str_options = [&](auto... values) { return duv::list_of(m.attr("StrOptions")(duv::set_of(values...))); };
    auto real = [&](double low) { return duv::list_of(duv::interval(m, "Real", nb::float_(low), "left")); };
    return duv::OptionTable{
        duv::option("factor", 10.0).default_on(duv::kClassifier, 2.0).constraint(real(1.0)),
        duv::option("k_neighbors", 5).constraint(duv::list_of(duv::interval(m, "Integral", nb::int_(1), "left"))),
        duv::option("distance_weights", nb::none())
            .on(duv::kFunction | duv::kRegressor)
            .constraint(duv::list_of("array-like", nb::none())),
        duv::option("random_state", nb::none()).constraint(duv::list_of("random_state")),
        duv::option("shuffle", true).constraint(duv::list_of("boolean")),
        duv::option("algorithm", "auto").constraint(str_options("auto", "brute", "ball_tree", "kd_tree")),
        duv::option("n_jobs", nb::none()).constraint(duv::list_of(m.attr("Integral"), nb::none())),
        duv::option("extrapolation", 0.0).constraint(real(0.0)),
        duv::option("sample_weight", nb::none()).on(duv::kFunction).keyword_only(),
        duv::option("sample_weight_mode", "passthrough")
            .keyword_only(duv::kFunction)
            .constraint(str_options("consume", "passthrough")),
        duv::option("store_augmented", false).on(duv::kEstimators).not_forwarded().constraint(duv::list_of("boolean")),
    };
}

// The classes take any estimator, checked by _validate_estimator; the regressor's fit is behind
// validate_params.
void build_classes(nb::module_ &m, const duv::OptionTable &options) {
    auto family_class = [&](const char *name, unsigned surface) {
        duv::ClassBuilder cls = aug::family_class(m, name, surface, options, duv::object_type());
        cls.def("_validate_estimator", {duv::arg("self")}, validate_estimator);
        return cls;
    };
    duv::ClassBuilder regressor = family_class("SMOTEAugmentedRegressor", duv::kRegressor);
    nb::dict fit_constraints = aug::data_constraints();
    fit_constraints["X"] = duv::list_of("array-like", "sparse matrix");
    fit_constraints["sample_weight"] = duv::list_of("array-like", nb::none());
    regressor.def_validated("fit", aug::fit_signature(false), fit_regressor, fit_constraints, true);
    nb::object built = aug::def_predict_and_build(regressor, true, aug::predict_fitted_with);
    aug::def_sklearn_tags(m, built, aug::InputCheck::Numeric);
    duv::ClassBuilder classifier = family_class("SMOTEAugmentedClassifier", duv::kClassifier);
    built = aug::def_fit_predict_and_build(classifier, false, fit_classifier, aug::predict_fitted_with);
    aug::def_sklearn_tags(m, built, aug::InputCheck::Numeric);
}

}  // namespace

DUV_MODULE("duv.augmentation._smote_augmentation", exec_smote_augmentation) {
    duv::import_as(m, "warnings");
    duv::import_as(m, "numpy", "np");
    duv::from_import(m, "sklearn.base", {"BaseEstimator", "ClassifierMixin", "RegressorMixin", "clone"});
    duv::from_import(m, "sklearn.neighbors", {"NearestNeighbors"});
    duv::from_import(m, "sklearn.utils", {"check_consistent_length"});
    duv::from_import(m, "sklearn.utils._param_validation",
                     {"Integral", "Interval", "Real", "StrOptions", "validate_params"});
    duv::from_import(
        m, "sklearn.utils.validation",
        {"_check_sample_weight", "_num_samples", "check_array", "check_is_fitted", "check_random_state", "check_X_y"});
    duv::from_import(m, "._meta_estimator_mixins", {"UnwrapMetaEstimatorMixin"});

    SmoteState &st = duv::make_state<SmoteState>(m);
    st.options = smote_options(m);
    duv::def(
        m, "smote_augment",
        st.options.params_in_order(duv::kFunction, {duv::arg("X"), duv::arg("y")},
                                   {"factor", "k_neighbors", "random_state", "distance_weights", "shuffle", "algorithm",
                                    "n_jobs", "extrapolation", "sample_weight", "sample_weight_mode"}),
        smote_augment);
    build_classes(m, st.options);
    st.numpy.take(m);
}
