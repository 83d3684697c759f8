#include "duv/augmentation/arrays.hpp"
#include "duv/augmentation/grown_set.hpp"
#include "duv/augmentation/histogram_weights.hpp"
#include "duv/augmentation/meta_estimator.hpp"
#include "duv/interop/klass.hpp"
#include "duv/interop/module.hpp"
#include "duv/interop/module_state.hpp"
#include "duv/interop/options.hpp"
#include "duv/interop/sklearn.hpp"
#include "duv/interop/util.hpp"

#include <cmath>

namespace {

namespace aug = duv::augmentation;
namespace hw = duv::augmentation::histogram;
namespace op = duv::op;

DUV_ARGS(ValidateArgs, n_bins, factor, smoothing_coeff);
DUV_ARGS(TargetArgs, y);
DUV_ARGS(ColumnArgs, values, bins, smoothing_coeff);
DUV_ARGS(AggregateArgs, weight_vectors, agg);
DUV_ARGS(AugmentArgs, X, y, n_bins, random_state, factor, shuffle, smoothing_coeff, target, x_bins, y_bins, agg,
         sample_weight, sample_weight_mode);

struct HistogramState : duv::ModuleState {
    duv::AsImported numpy{*this, {"np"}};
    duv::AsImported helpers{*this, {"np", "_compute_histogram_weights_for_column", "_aggregate_weights"}};
    duv::OptionTable options{};
};

int ndim(nb::handle a) { return nb::cast<int>(a.attr("ndim")); }
nb::object as_float(nb::handle o) { return nb::float_(duv::to_double(o)); }

void warn_user(const duv::Globals &g, const char *message) {
    g["warnings"].attr("warn")(message, nb::handle(PyExc_UserWarning));
}

nb::object validate_histogram_params(const ValidateArgs &a) {
    if (duv::compare(a.factor, nb::float_(0.0), Py_LE))
        duv::raise_value_error("factor must be > 0.0, got " + duv::format(a.factor));
    if (duv::compare(a.smoothing_coeff, nb::float_(0.0), Py_LT))
        duv::raise_value_error("smoothing_coeff must be >= 0.0, got " + duv::format(a.smoothing_coeff));
    return nb::make_tuple(a.n_bins, a.factor, a.smoothing_coeff);
}

// The target as an array of one or two dimensions.
nb::object target_array(nb::handle np, nb::handle y) {
    nb::object y_arr = np.attr("asarray")(y);
    const int nd = ndim(y_arr);
    if (nd == 0) return y_arr.attr("reshape")(1);
    if (nd > 2) duv::raise_value_error("Target y must be 1D or 2D, got " + duv::format(y_arr.attr("ndim")) + "D");
    return y_arr;
}

nb::object ensure_1d_target(const duv::Globals &g, const TargetArgs &a) {
    nb::object y = target_array(g["np"], a.y);
    if (ndim(y) != 2) return y;
    if (duv::compare(duv::shape_of(y, 1), nb::int_(1), Py_EQ)) return y.attr("ravel")();
    duv::raise_value_error("Target y must be 1D or 2D with single column, got shape " + duv::format(y.attr("shape")));
}

nb::object column_weights_numpy(const duv::Globals &g, nb::handle values, nb::handle bins, nb::handle smoothing_coeff) {
    nb::object np = g["np"];
    auto hist_edges = duv::unpack(hw::with_memory_fallback(g, np.attr("histogram"), values, bins), 2);
    const nb::object &hist = hist_edges[0], &bin_edges = hist_edges[1];
    const Py_ssize_t n_bins = nb::len(hist);
    if (n_bins == 0) return duv::float_ones(np, duv::shape_of(values, 0));
    nb::object bin_idx = op::sub(np.attr("searchsorted")(bin_edges, values, "side"_a = "right"), nb::int_(1));
    bin_idx = np.attr("clip")(bin_idx, 0, n_bins - 1);
    nb::object inv_counts =
        op::div(nb::float_(1.0), op::add(hist.attr("astype")(duv::float_type()), as_float(smoothing_coeff)));
    return duv::getitem(inv_counts, bin_idx);
}

nb::object compute_histogram_weights_for_column(const duv::Globals &g, const ColumnArgs &a) {
    nb::object np = g["np"];
    nb::object values = np.attr("asarray")(a.values);
    if (g.state<HistogramState>().numpy.intact(g))
        if (auto w = hw::column_weights(g, np, values, a.bins, a.smoothing_coeff)) return *w;
    return column_weights_numpy(g, values, a.bins, a.smoothing_coeff);
}

nb::object aggregate_weights(const duv::Globals &g, const AggregateArgs &a) {
    if (nb::len(a.weight_vectors) == 0) return nb::none();
    nb::object np = g["np"];
    nb::object W = np.attr("vstack")(a.weight_vectors);
    if (duv::equals(a.agg, "mean")) return np.attr("mean")(W, "axis"_a = 0);
    if (duv::equals(a.agg, "max")) return np.attr("max")(W, "axis"_a = 0);
    if (duv::equals(a.agg, "geometric"))
        return np.attr("exp")(np.attr("mean")(np.attr("log")(np.attr("maximum")(W, 1e-12)), "axis"_a = 0));
    duv::raise_value_error("Unsupported agg='" + duv::format(a.agg) + "'. Expected one of ['geometric','mean','max']");
}

// The aggregated weights of the histogrammed columns, None when there is none.
nb::object aggregated_weights(const duv::Globals &g, const AugmentArgs &a, const hw::Histogrammed &h,
                              nb::handle n_samples) {
    if (h.count() > 0 && g.state<HistogramState>().helpers.intact(g))
        if (auto w = hw::folded_weights(g, h, a.agg, a.smoothing_coeff, n_samples, column_weights_numpy)) return *w;
    nb::list weight_vectors;
    auto compute = [&](nb::handle values, nb::handle bins) {
        weight_vectors.append(g["_compute_histogram_weights_for_column"](values, bins, a.smoothing_coeff));
    };
    for (int64_t j = 0; j < h.n_features; ++j) compute(h.feature(j), h.x_bins);
    for (const nb::object &c : h.targets) compute(c, h.y_bins);
    return g["_aggregate_weights"](weight_vectors, a.agg);
}

// The drawing probabilities: the weights over their sum, or uniform when there are none.
nb::object sampling_probabilities(const duv::Globals &g, nb::handle aggregated, nb::handle n_samples) {
    nb::object np = g["np"];
    auto uniform = [&](const char *message) {
        warn_user(g, message);
        return op::div(duv::float_ones(np, n_samples), as_float(n_samples));
    };
    if (aggregated.is_none()) return uniform("No weights computed; defaulting to uniform sampling.");
    nb::object total = as_float(np.attr("sum")(aggregated));
    const double t = duv::to_double(total);
    if (!std::isfinite(t) || t <= 1e-12)
        return uniform("Sum of sampling weights is invalid or near zero. Defaulting to uniform sampling.");
    return op::div(aggregated, total);
}

// (X_empty, np.array([]), np.array([])), after the warning.
nb::object empty_result(const duv::Globals &g, nb::handle X, bool X_empty, nb::handle y) {
    nb::object np = g["np"];
    warn_user(g, "Input data is empty. Returning empty arrays.");
    nb::object empty = np.attr("array")(nb::list());
    nb::object rows;
    if (X_empty && nb::len(y) == 0) {
        rows = empty.attr("reshape")(0, 1);
    } else if (X_empty) {
        rows = empty.attr("reshape")(0, duv::has_attr(X, "shape") ? duv::shape_of(X, 1) : nb::object(nb::int_(1)));
    } else {
        nb::object X_arr = np.attr("asarray")(X);
        rows = np.attr("empty")(nb::make_tuple(0, duv::shape_of(X_arr, 1)), "dtype"_a = X_arr.attr("dtype"));
    }
    return nb::make_tuple(rows, np.attr("array")(nb::list()), np.attr("array")(nb::list()));
}

// True for "generate", false for "passthrough".
bool generate_mode(nb::handle sample_weight_mode) {
    nb::object mode = nb::str(sample_weight_mode).attr("lower")();
    if (duv::equals(mode, "generate")) return true;
    if (duv::equals(mode, "passthrough")) return false;
    if (duv::equals(mode, "consume"))
        duv::raise_value_error("histogram_augment does not support sample_weight_mode='consume'");
    duv::raise_value_error("sample_weight_mode must be one of {'passthrough','consume','generate'}");
}

// What the ways of resizing share.
struct Data {
    nb::object np, X, y_arr, rng, n_samples, n_target;
    nb::handle sample_weight;
    bool shuffle = false;

    nb::object sample_weights() const { return np.attr("asarray")(sample_weight); }
    // The weights of every input row, then of the copies of rows `indices`.
    nb::object grown_weights(nb::handle indices) const {
        return duv::getitem(sample_weights(),
                            np.attr("concatenate")(duv::list_of(np.attr("arange")(n_samples), indices)));
    }
};

// The size does not change: the rows, shuffled when asked.
nb::object same_size(const Data &d) {
    if (!d.shuffle) {
        nb::object sw = d.sample_weight.is_none() ? nb::none() : d.sample_weights();
        return nb::make_tuple(d.X.attr("copy")(), d.y_arr.attr("copy")(), sw);
    }
    nb::object order = d.np.attr("arange")(d.n_samples);
    d.rng.attr("shuffle")(order);
    return aug::take_rows_of(d.np, order, d.X, d.y_arr, d.sample_weight);
}

// The data unchanged, with weights that sum to n_target.
nb::object generated(const Data &d, nb::handle probas) {
    nb::object np = d.np;
    nb::object w = duv::compare(d.n_target, d.n_samples, Py_GT)
                       ? op::add(duv::float_ones(np, d.n_samples), op::mul(d.n_target - d.n_samples, probas))
                       : op::mul(as_float(d.n_target), probas);
    if (!d.sample_weight.is_none()) {
        w = op::mul(w, aug::checked_sample_weight(np, np.attr("asarray")(d.sample_weight), d.n_samples));
    }
    nb::object total_w = as_float(np.attr("sum")(w));
    const double t = duv::to_double(total_w);
    nb::object n_target = as_float(d.n_target);
    if (!std::isfinite(t) || t <= 1e-12)
        w = op::mul(duv::float_ones(np, d.n_samples), op::div(n_target, as_float(d.n_samples)));
    else
        w = op::mul(op::div(n_target, total_w), w);
    return nb::make_tuple(d.X.attr("copy")(), d.y_arr.attr("copy")(), w);
}

// A weighted draw without replacement, gathered once in its final order.
nb::object down_sampled(const Data &d, nb::handle probas) {
    nb::object indices = d.rng.attr("choice")(d.np.attr("arange")(d.n_samples), "size"_a = d.n_target,
                                              "replace"_a = false, "p"_a = probas);
    nb::object order = d.shuffle ? d.rng.attr("permutation")(d.n_target) : nb::object();
    nb::object rows = order.is_valid() ? duv::getitem(indices, order) : indices;
    nb::object sw = nb::none();
    if (aug::rows_of_weights(d.np, d.sample_weight, d.n_samples)) {
        sw = aug::take_rows(d.np, d.sample_weights(), rows);
    } else if (!d.sample_weight.is_none()) {
        sw = duv::getitem(d.sample_weights(), indices);
        if (order.is_valid()) sw = duv::getitem(sw, order);
    }
    return nb::make_tuple(aug::take_rows(d.np, d.X, rows), aug::take_rows(d.np, d.y_arr, rows), sw);
}

// Every input row once, then the drawn copies, stacked and shuffled by NumPy (for a rebound `np`).
nb::object up_sampled_numpy(const Data &d, nb::handle augmented_indices) {
    nb::object np = d.np;
    nb::object X_combined = np.attr("vstack")(duv::list_of(d.X, duv::getitem(d.X, augmented_indices)));
    nb::object y_parts = duv::list_of(d.y_arr, duv::getitem(d.y_arr, augmented_indices));
    nb::object y_combined = ndim(d.y_arr) == 1 ? np.attr("concatenate")(y_parts) : np.attr("vstack")(y_parts);
    nb::object sw = d.sample_weight.is_none() ? nb::none() : d.grown_weights(augmented_indices);
    if (d.shuffle) {
        nb::object order = np.attr("arange")(nb::len(y_combined));
        d.rng.attr("shuffle")(order);
        X_combined = duv::getitem(X_combined, order);
        y_combined = duv::getitem(y_combined, order);
        if (!sw.is_none()) sw = duv::getitem(sw, order);
    }
    return nb::make_tuple(X_combined, y_combined, sw);
}

// Every input row once, then the drawn copies, gathered once in the shuffled order.
nb::object up_sampled(const duv::Globals &g, const Data &d, nb::handle probas) {
    nb::object np = d.np;
    nb::object augmented_indices = d.rng.attr("choice")(
        np.attr("arange")(d.n_samples), "size"_a = d.n_target - d.n_samples, "replace"_a = true, "p"_a = probas);
    if (!g.state<HistogramState>().numpy.intact(g)) return up_sampled_numpy(d, augmented_indices);
    // Weights that are not one per input row fail (or not) where the documented steps index them.
    const bool weights_by_row = aug::rows_of_weights(np, d.sample_weight, d.n_samples);
    nb::object sw = weights_by_row || d.sample_weight.is_none() ? nb::none() : d.grown_weights(augmented_indices);
    nb::object order = nb::none();
    if (d.shuffle) {
        order = np.attr("arange")(d.n_target);
        d.rng.attr("shuffle")(order);
    }
    aug::GrownSet grown(np, augmented_indices, d.n_samples, order);
    if (weights_by_row) {
        auto rows = grown.take({d.X, d.y_arr, d.sample_weights()});
        return nb::make_tuple(rows[0], rows[1], rows[2]);
    }
    if (!sw.is_none() && !order.is_none()) sw = aug::take_rows(np, sw, order);
    auto rows = grown.take({d.X, d.y_arr});
    return nb::make_tuple(rows[0], rows[1], sw);
}

nb::object histogram_augment(const duv::Globals &g, const AugmentArgs &a) {
    auto checked = duv::unpack(g["_validate_histogram_params"](a.n_bins, a.factor, a.smoothing_coeff), 3);
    AugmentArgs args = a;
    args.n_bins = checked[0];
    args.factor = checked[1];
    args.smoothing_coeff = checked[2];
    const bool X_empty = nb::len(a.X) == 0;
    if (X_empty || nb::len(a.y) == 0) return empty_result(g, a.X, X_empty, a.y);

    Data d;
    d.np = g["np"];
    d.X = g["check_array"](a.X, "accept_sparse"_a = false, "ensure_2d"_a = true);
    d.y_arr = target_array(d.np, a.y);
    d.n_samples = g["_num_samples"](d.X);
    nb::object y_len = duv::shape_of(d.y_arr, 0);
    if (duv::compare(d.n_samples, y_len, Py_NE))
        duv::raise_value_error("X and y have inconsistent numbers of samples: X has " + duv::format(d.n_samples) +
                               " samples, y has " + duv::format(y_len) + " samples");
    const bool generate = generate_mode(a.sample_weight_mode);
    d.n_target = aug::resized_count(d.n_samples, args.factor);
    d.rng = g["check_random_state"](a.random_state);
    d.sample_weight = a.sample_weight;
    d.shuffle = duv::truthy(a.shuffle);
    if (duv::compare(d.n_target, d.n_samples, Py_EQ)) return same_size(d);

    nb::object target_lower = nb::str(a.target).attr("lower")();
    if (!duv::equals(target_lower, "x") && !duv::equals(target_lower, "y") && !duv::equals(target_lower, "xy"))
        duv::raise_value_error("target must be one of {'x','y','xy'}");
    nb::object aggregated = aggregated_weights(
        g, args, hw::Histogrammed(d.X, d.y_arr, target_lower, args.n_bins, a.x_bins, a.y_bins), d.n_samples);
    nb::object probas = sampling_probabilities(g, aggregated, d.n_samples);
    aggregated = nb::object();
    if (generate) return generated(d, probas);
    if (duv::compare(d.n_target, d.n_samples, Py_LT)) return down_sampled(d, probas);
    return up_sampled(g, d, probas);
}

// The weights fit hands on: the regressor's made by _check_sample_weight, the classifier's
// checked for one per row in passthrough mode.
nb::object fit_weights(const duv::Globals &g, unsigned surface, nb::handle self, nb::handle X,
                       nb::handle sample_weight) {
    if (surface == duv::kRegressor)
        return sample_weight.is_none() ? nb::none() : g["_check_sample_weight"](sample_weight, X);
    if (aug::passthrough_mode(self.attr("sample_weight_mode")))
        aug::check_one_weight_per_row(g["np"], sample_weight, duv::shape_of(X, 0));
    return nb::borrow(sample_weight);
}

const duv::OptionTable &options(const duv::Globals &g) { return g.state<HistogramState>().options; }

nb::object fit_regressor(const duv::Globals &g, const aug::FitArgs &a) {
    return aug::fit_family(
        g, options(g),
        {"histogram_augment", duv::kRegressor, {{"multi_output", true}, {"y_numeric", true}}, false, fit_weights}, a);
}

nb::object fit_classifier(const duv::Globals &g, const aug::FitArgs &a) {
    return aug::fit_family(g, options(g),
                           {"histogram_augment", duv::kClassifier, {{"multi_output", false}}, false, fit_weights}, a);
}

duv::OptionTable histogram_options(nb::module_ &m) {
    nb::handle str = duv::str_type();
    auto bins = [&](bool optional) {
        nb::object at_least_one = duv::interval(m, "Real", nb::int_(1), "left");
        return optional ? duv::list_of(nb::none(), at_least_one, str, "array-like")
                        : duv::list_of(at_least_one, str, "array-like");
    };
    return duv::OptionTable{
        duv::option("n_bins", "auto").constraint(bins(false)),
        duv::option("random_state", nb::none()).constraint(duv::list_of("random_state")),
        duv::option("factor", 10.0).constraint(duv::list_of(duv::interval(m, "Real", nb::float_(0.0), "neither"))),
        duv::option("shuffle", true).constraint(duv::list_of("boolean")),
        duv::option("smoothing_coeff", 1.0).constraint(duv::list_of(duv::interval(m, "Real", nb::float_(0.0), "left"))),
        duv::option("target", "y").constraint(duv::list_of(str)),
        duv::option("x_bins", nb::none()).constraint(bins(true)),
        duv::option("y_bins", nb::none()).constraint(bins(true)),
        duv::option("agg", "geometric").constraint(duv::list_of(str)),
        duv::option("sample_weight", nb::none()).on(duv::kFunction).keyword_only(),
        duv::option("sample_weight_mode", "passthrough")
            .keyword_only(duv::kFunction)
            .constraint_on(duv::kEstimators,
                           duv::list_of(m.attr("StrOptions")(duv::set_of("passthrough", "generate")))),
        duv::option("store_augmented", false).on(duv::kEstimators).not_forwarded().constraint(duv::list_of("boolean")),
    };
}

}  // namespace

DUV_MODULE("duv.augmentation._histogram_augmentation", exec_histogram_augmentation) {
    duv::import_as(m, "warnings");
    duv::import_as(m, "numpy", "np");
    duv::from_import(m, "sklearn.base", {"BaseEstimator", "ClassifierMixin", "RegressorMixin", "clone"});
    duv::from_import(m, "sklearn.utils._param_validation", {"Interval", "Real", "StrOptions", "validate_params"});
    duv::from_import(
        m, "sklearn.utils.validation",
        {"_check_sample_weight", "_num_samples", "check_array", "check_is_fitted", "check_random_state", "check_X_y"});
    duv::from_import(m, "._meta_estimator_mixins", {"UnwrapMetaEstimatorMixin"});

    HistogramState &st = duv::make_state<HistogramState>(m);
    st.options = histogram_options(m);
    duv::def(m, "_validate_histogram_params", {duv::arg("n_bins"), duv::arg("factor"), duv::arg("smoothing_coeff")},
             validate_histogram_params);
    duv::def(m, "_ensure_1d_target", {duv::arg("y")}, ensure_1d_target);
    duv::def(m, "_compute_histogram_weights_for_column",
             {duv::arg("values"), duv::arg("bins"), duv::arg("smoothing_coeff")}, compute_histogram_weights_for_column);
    duv::def(m, "_aggregate_weights", {duv::arg("weight_vectors"), duv::arg("agg")}, aggregate_weights);
    aug::def_family_function(m, "histogram_augment", st.options, histogram_augment);
    aug::def_family_classes(m, {"HistogramAugmentedRegressor", "HistogramAugmentedClassifier"}, st.options,
                            fit_regressor, fit_classifier, aug::predict_fitted_with, aug::InputCheck::Numeric);
    st.numpy.take(m);
    st.helpers.take(m);
}
