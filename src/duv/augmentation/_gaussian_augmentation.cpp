#include "duv/augmentation/arrays.hpp"
#include "duv/augmentation/grown_set.hpp"
#include "duv/augmentation/meta_estimator.hpp"
#include "duv/augmentation/meta_estimator_tags.hpp"
#include "duv/augmentation/row_weights.hpp"
#include "duv/interop/buffer.hpp"
#include "duv/interop/capi.hpp"
#include "duv/interop/klass.hpp"
#include "duv/interop/module.hpp"
#include "duv/interop/sklearn.hpp"
#include "duv/interop/unlocked.hpp"
#include "duv/interop/util.hpp"
#include "duv/kernels/fp_flags.hpp"
#include "duv/kernels/grown_rows.hpp"

#include <cmath>
#include <optional>

namespace {

namespace aug = duv::augmentation;
namespace kg = duv::kernels::grown;

DUV_ARGS(AugmentArgs, X, y, factor, sample_weight, sample_weight_mode, X_std, y_std, rel_std, shuffle, random_state);

nb::object float_ones(nb::handle np, nb::handle n) { return np.attr("ones")(n, "dtype"_a = duv::float_type()); }

nb::object shape_of(nb::handle a, int axis) { return nb::object(a.attr("shape"))[axis]; }

// Step 9: ones in consume mode, else the caller's weights of the rows taken (all of them,
// unindexed, without `indices`).
nb::object weights_of(nb::handle np, bool consume, nb::handle sample_weight, nb::handle n_rows, nb::handle indices) {
    if (consume) return float_ones(np, n_rows);
    if (sample_weight.is_none()) return nb::none();
    nb::object sw = np.attr("asarray")(sample_weight);
    return indices.is_valid() ? aug::take_rows(np, sw, indices) : sw;
}

// What the three roads share: the validated arrays, the weight rule and the generator.
struct Inputs {
    nb::object np, X, y, rng, n_samples, n_target;
    bool y_was_1d = false, consume = false, shuffle = false;
    bool plain_numpy = false;  // `np` is numpy: the kernels may stand in for its calls
    nb::handle sample_weight;

    nb::object target(const nb::object &t) const { return y_was_1d ? t.attr("reshape")(-1) : t; }
    nb::object result(nb::handle X_out, const nb::object &y_out, nb::handle w) const {
        return nb::make_tuple(X_out, target(y_out), w);
    }
};

nb::object same_size(const Inputs &in) {
    if (!in.shuffle) return in.result(in.X, in.y, weights_of(in.np, in.consume, in.sample_weight, in.n_samples, {}));
    nb::object indices = in.rng.attr("permutation")(in.n_samples);
    return in.result(aug::take_rows(in.np, in.X, indices), aug::take_rows(in.np, in.y, indices),
                     weights_of(in.np, in.consume, in.sample_weight, in.n_samples, indices));
}

nb::object shrink(const Inputs &in, nb::handle p) {
    nb::object indices = in.rng.attr("choice")(in.n_samples, "size"_a = in.n_target, "replace"_a = false, "p"_a = p);
    // X[indices][order] is X[indices[order]]: one gather.
    if (in.shuffle) indices = indices[in.rng.attr("permutation")(in.n_target)];
    return in.result(aug::take_rows(in.np, in.X, indices), aug::take_rows(in.np, in.y, indices),
                     weights_of(in.np, in.consume, in.sample_weight, in.n_target, indices));
}

// `std is not None and std > 0`
bool has_noise(nb::handle std_) { return !std_.is_none() && duv::compare(std_, nb::int_(0), Py_GT); }

// One of X and y on the grow road: its copies, with the noise drawn for them, and the
// assembled rows of the grown set. The noise is kept as RandomState returned it and added by
// the kernel straight into the output rows; where the kernel does not apply, the copies are
// built by NumPy as documented.
class GrownBlock {
public:
    // Steps 3 to 5 for this block, drawing normal(0, noise_std, shape) when it has noise.
    GrownBlock(const Inputs &in, nb::handle src, nb::handle indices, nb::handle std_, nb::handle rel_std)
        : src_(nb::borrow(src)) {
        if (!has_noise(std_)) {
            if (!in.plain_numpy) {
                copies_ = src[indices].attr("copy")();
                road_ = Road::NumPy;
            }
            return;
        }
        const bool relative = duv::truthy(rel_std);
        nb::object shape = nb::make_tuple(shape_of(indices, 0), shape_of(src, 1));
        if (in.plain_numpy && kernel_applies(std_, relative, indices)) {
            // Relative noise is drawn as standard normals and scaled by the kernel:
            // normal(0, s) returns 0 + s * gauss, which the kernel computes from them.
            draws_ = in.rng.attr("normal")(0, relative ? nb::object(nb::float_(1.0)) : nb::borrow(std_), shape);
            road_ = Road::Kernel;
            return;
        }
        nb::object copies = src[indices].attr("copy")();
        nb::object noise_std = relative ? in.np.attr("abs")(copies * std_) : nb::borrow(std_);
        copies = copies.attr("astype")(in.np.attr("float64"));
        copies = inplace_add(copies, in.rng.attr("normal")(0, noise_std, shape));
        copies_ = std::move(copies);
        road_ = Road::NumPy;
    }

    // Steps 6 and 8: the rows of the grown set in output order (`perm`: the permutation or None).
    nb::object assemble(const Inputs &in, aug::GrownSet &grown, nb::handle indices, nb::handle perm) {
        switch (road_) {
        case Road::Copy: return grown.take(src_);
        case Road::Kernel:
            if (grown.rows()) {
                if (auto out = by_kernel(in, *grown.rows(), grown.source_rows())) {
                    draws_ = nb::object();  // spent: the next block's output may take its memory
                    return *out;
                }
            }
            replay_relative_scaling();
            copies_ = inplace_add(src_[indices].attr("astype")(in.np.attr("float64")), draws_);
            draws_ = nb::object();
            [[fallthrough]];
        case Road::NumPy: break;
        }
        return permuted(in, in.np.attr("vstack")(duv::list_of(src_, copies_)), perm);
    }

private:
    enum class Road { Copy, Kernel, NumPy };

    static nb::object inplace_add(nb::handle a, nb::handle b) {
        return duv::steal_checked(PyNumber_InPlaceAdd(a.ptr(), b.ptr()));
    }
    static nb::object permuted(const Inputs &in, const nb::object &rows, nb::handle perm) {
        return perm.is_none() ? rows : aug::take_rows(in.np, rows, perm);
    }

    bool kernel_applies(nb::handle std_, bool relative, nb::handle indices) {
        view_ = duv::ArrayView(src_);
        auto dt = view_ ? view_.dtype() : std::nullopt;
        if (!dt || view_.ndim() != 2) return false;
        if (!relative) return true;
        // |x * std| must be what NumPy computes in float64 (Python float std; float32 data
        // would multiply in float32) and must not overflow, which NumPy would warn about.
        if (!PyFloat_Check(std_.ptr()) || *dt == duv::Dtype::F32) return false;
        scale_ = duv::float_value(std_.ptr());
        const duv::kernels::Matrix x = view_.matrix(*dt);
        const double top = duv::run_unlocked([&] { return duv::kernels::max_abs(x); });
        if (!std::isfinite(scale_) || !std::isfinite(top * scale_)) return false;
        // The copies' rows, to scale the draws by should NumPy have to add them.
        idx_ = duv::ArrayView(indices);
        const int64_t *idx = idx_.vector<int64_t>();
        if (!idx) return false;
        copies_of_ = kg::Rows{idx, view_.shape(0), idx_.shape(0), nullptr};
        relative_ = kg::valid(copies_of_);
        return relative_;
    }

    // The float64 rows with noise written by the kernel; empty when it raised floating-point
    // flags (NumPy then adds the same draws and reports them).
    std::optional<nb::object> by_kernel(const Inputs &in, const kg::Rows &rows, const int64_t *src) {
        nb::object out = in.np.attr("empty")(nb::make_tuple(rows.total(), view_.shape(1)), "dtype"_a = "float64");
        duv::ArrayView o(out, true), d(draws_);
        double *dst = o.contiguous<double>();
        const double *g = d.contiguous<double>();
        const std::optional<duv::Dtype> dt = view_.dtype();
        if (!dst || !g || !dt || d.size() != rows.n_new * view_.shape(1)) return std::nullopt;
        const kg::Noise noise{g, relative_, scale_};
        const duv::kernels::Matrix x = view_.matrix(*dt);
        bool troubled;
        {
            nb::gil_scoped_release unlocked;
            duv::kernels::FpFlags flags;
            kg::noisy_rows(x, noise, rows, src, dst);
            troubled = flags.troubled();
        }
        if (troubled) return std::nullopt;
        return out;
    }

    // Before NumPy adds relative draws, they become what normal(0, |x * std|) returns.
    void replay_relative_scaling() {
        if (!relative_) return;
        duv::ArrayView d(draws_, true);
        double *g = d.contiguous<double>();
        const std::optional<duv::Dtype> dt = view_.dtype();
        if (!g || !dt || d.size() != copies_of_.n_new * view_.shape(1))
            duv::raise(PyExc_RuntimeError, "cannot write into the drawn noise");
        const duv::kernels::Matrix x = view_.matrix(*dt);
        duv::run_unlocked([&] { kg::scale_draws(x, copies_of_, g, scale_); });
    }

    nb::object src_, draws_, copies_;
    duv::ArrayView view_, idx_;
    kg::Rows copies_of_;
    Road road_ = Road::Copy;
    bool relative_ = false;
    double scale_ = 0;
};

// Step 7, as documented: for weights that are not one per input row (NumPy then reports
// what goes wrong at this step).
nb::object grow_weights(const Inputs &in, nb::handle indices) {
    if (in.consume) return float_ones(in.np, in.n_target);
    if (in.sample_weight.is_none()) return nb::none();
    nb::object sw = in.np.attr("asarray")(in.sample_weight);
    nb::object drawn = in.np.attr("asarray")(in.sample_weight)[indices];
    return in.np.attr("concatenate")(duv::list_of(sw, drawn));
}

nb::object grow(const Inputs &in, nb::handle p, nb::handle X_std, nb::handle y_std, nb::handle rel_std) {
    nb::object n_new = in.n_target - in.n_samples;
    nb::object indices = in.consume
                             ? in.rng.attr("choice")(in.n_samples, "size"_a = n_new, "replace"_a = true, "p"_a = p)
                             : in.rng.attr("randint")(0, in.n_samples, "size"_a = n_new);
    GrownBlock X_block(in, in.X, indices, X_std, rel_std);
    GrownBlock y_block(in, in.y, indices, y_std, rel_std);
    // Weights with one entry per input row are taken along the rows once the order is known.
    const bool weights_by_row =
        in.plain_numpy && !in.consume && aug::rows_of_weights(in.np, in.sample_weight, in.n_samples);
    nb::object weights = weights_by_row ? nb::none() : grow_weights(in, indices);
    nb::object perm = in.shuffle ? in.rng.attr("permutation")(in.n_target) : nb::none();

    aug::GrownSet grown(in.np, indices, in.n_samples, perm);
    nb::object X_out = X_block.assemble(in, grown, indices, perm);
    nb::object y_out = y_block.assemble(in, grown, indices, perm);
    if (weights_by_row)
        weights = grown.take(in.np.attr("asarray")(in.sample_weight));
    else if (!weights.is_none() && !perm.is_none())
        weights = aug::take_rows(in.np, weights, perm);
    return in.result(X_out, y_out, weights);
}

nb::object gaussian_augment(const duv::Globals &g, const AugmentArgs &a) {
    Inputs in;
    in.np = g["np"];
    in.plain_numpy = aug::is_numpy_module(in.np);
    const bool y_numeric = !a.y_std.is_none() && duv::to_double(a.y_std) > 0.0;
    auto Xy = duv::unpack(g["check_X_y"](a.X, a.y, "multi_output"_a = true, "y_numeric"_a = y_numeric), 2);
    in.X = Xy[0];
    in.y = Xy[1];
    in.y_was_1d = nb::cast<int>(in.y.attr("ndim")) == 1;
    if (in.y_was_1d) in.y = in.y.attr("reshape")(-1, 1);
    in.n_samples = shape_of(in.X, 0);
    if (duv::compare(a.factor, nb::int_(0), Py_LE)) {
        nb::object message =
            duv::steal_checked(PyUnicode_Format(nb::str("factor must be positive, got %r").ptr(), a.factor.ptr()));
        duv::raise_value_error(nb::borrow<nb::str>(message).c_str());
    }
    in.rng = g["check_random_state"](a.random_state);
    in.n_target = aug::resized_count(in.n_samples, a.factor);
    in.consume = aug::consume_mode(a.sample_weight_mode);
    nb::object p = in.consume && !a.sample_weight.is_none()
                       ? aug::consume_probabilities(in.np, a.sample_weight, in.n_samples)
                       : nb::none();
    in.sample_weight = a.sample_weight;
    in.shuffle = duv::truthy(a.shuffle);

    if (duv::compare(in.n_target, in.n_samples, Py_EQ)) return same_size(in);
    if (duv::compare(in.n_target, in.n_samples, Py_LT)) return shrink(in, p);
    return grow(in, p, a.X_std, a.y_std, a.rel_std);
}

// ---- meta-estimators ---------------------------------------------------------------------

nb::object fit(const duv::Globals &g, const aug::FitWithParamsArgs &a, bool regressor) {
    duv::check_feature_names(a.self, a.X, true);
    auto Xy = duv::unpack(g["check_X_y"](a.X, a.y, "multi_output"_a = regressor), 2);
    nb::object X = Xy[0], y = Xy[1];
    nb::handle self = a.self;
    self.attr("n_features_in_") = shape_of(X, 1);
    if (regressor) self.attr("n_outputs_") = aug::n_outputs(y);
    if (aug::passthrough_mode(self.attr("sample_weight_mode")))
        aug::check_one_weight_per_row(g["np"], a.sample_weight, nb::object(X.attr("shape"))[0]);
    auto augmented = duv::unpack(
        g["gaussian_augment"](X, y, "factor"_a = self.attr("factor"), "sample_weight"_a = a.sample_weight,
                              "sample_weight_mode"_a = self.attr("sample_weight_mode"), "X_std"_a = self.attr("X_std"),
                              "y_std"_a = regressor ? nb::object(self.attr("y_std")) : nb::none(),
                              "rel_std"_a = self.attr("rel_std"), "shuffle"_a = self.attr("shuffle"),
                              "random_state"_a = self.attr("random_state")),
        3);
    return aug::finish_fit(g, self, augmented[0], augmented[1], augmented[2], a.fit_params);
}

nb::object fit_regressor(const duv::Globals &g, const aug::FitWithParamsArgs &a) { return fit(g, a, true); }
nb::object fit_classifier(const duv::Globals &g, const aug::FitWithParamsArgs &a) { return fit(g, a, false); }

nb::object non_negative(nb::module_ &m) { return duv::interval(m, "Real", nb::float_(0.0), "left"); }

void build_class(nb::module_ &m, const char *name, bool regressor) {
    duv::ClassBuilder cls = aug::meta_estimator_class(m, name, regressor);
    nb::dict constraints;
    constraints["estimator"] = duv::list_of(m.attr("BaseEstimator"));
    constraints["factor"] = duv::list_of(duv::interval(m, "Real", nb::float_(0.0), "neither"));
    constraints["sample_weight_mode"] = duv::list_of(m.attr("StrOptions")(duv::set_of("consume", "passthrough")));
    constraints["X_std"] = duv::list_of(non_negative(m), nb::none());
    if (regressor) constraints["y_std"] = duv::list_of(non_negative(m), nb::none());
    constraints["rel_std"] = duv::list_of("boolean");
    constraints["shuffle"] = duv::list_of("boolean");
    constraints["random_state"] = duv::list_of("random_state");
    constraints["store_augmented"] = duv::list_of("boolean");
    cls.attr("_parameter_constraints", constraints);

    std::vector<duv::Param> params{duv::arg("self"), duv::arg("estimator"), duv::arg("factor", 10.0),
                                   duv::arg("sample_weight_mode", "passthrough"), duv::arg("X_std", nb::none())};
    if (regressor) params.push_back(duv::arg("y_std", nb::none()));
    for (const duv::Param &p : {duv::arg("rel_std", false), duv::arg("shuffle", true),
                                duv::arg("random_state", nb::none()), duv::arg("store_augmented", false)})
        params.push_back(p);
    cls.init(params);

    nb::object built = aug::def_fit_predict_and_build(cls, regressor, regressor ? fit_regressor : fit_classifier,
                                                      aug::predict_is_expecting);
    aug::def_sklearn_tags(m, built, aug::InputCheck::Numeric);
}

}  // namespace

DUV_MODULE("duv.augmentation._gaussian_augmentation", exec_gaussian_augmentation) {
    duv::import_as(m, "numpy", "np");
    duv::from_import(m, "sklearn.base", {"BaseEstimator", "ClassifierMixin", "RegressorMixin", "clone"});
    duv::from_import(m, "sklearn.utils._param_validation", {"Interval", "Real", "StrOptions", "validate_params"});
    duv::from_import(m, "sklearn.utils.validation",
                     {"check_array", "check_is_fitted", "check_random_state", "check_X_y"});
    duv::from_import(m, "._meta_estimator_mixins", {"UnwrapMetaEstimatorMixin"});

    duv::def(m, "gaussian_augment",
             {duv::arg("X"), duv::arg("y"), duv::arg("factor", 10.0), duv::arg("sample_weight", nb::none()),
              duv::arg("sample_weight_mode", "passthrough"), duv::arg("X_std", nb::none()),
              duv::arg("y_std", nb::none()), duv::arg("rel_std", false), duv::arg("shuffle", true),
              duv::arg("random_state", nb::none())},
             gaussian_augment);
    build_class(m, "GaussianAugmentedRegressor", true);
    build_class(m, "GaussianAugmentedClassifier", false);
}
