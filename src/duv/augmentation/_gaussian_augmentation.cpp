#include "duv/augmentation/arrays.hpp"
#include "duv/augmentation/meta_estimator.hpp"
#include "duv/augmentation/resampled_rows.hpp"
#include "duv/interop/module.hpp"
#include "duv/interop/module_state.hpp"
#include "duv/interop/sklearn.hpp"
#include "duv/interop/util.hpp"

namespace {

namespace aug = duv::augmentation;

DUV_ARGS(AugmentArgs, X, y, factor, sample_weight, sample_weight_mode, X_std, y_std, rel_std, shuffle, random_state);

struct GaussianState : duv::ModuleState {
    // The NumPy calls that the kernels and the row gathers of the grow road stand in for.
    duv::AsImported numpy{*this, {"np", "np.ndarray", "np.abs", "np.vstack", "np.concatenate"}};
    duv::OptionTable options{};
};

// The grown set's weights as documented: ones in consume mode, else
// np.concatenate([sw, sw[indices]]) (for weights that are not one per input row, NumPy then
// reports what goes wrong at this step).
nb::object grow_weights(const aug::Resampling &in, nb::handle indices) {
    if (in.consume) return duv::float_ones(in.np, in.n_target);
    if (in.sample_weight.is_none()) return nb::none();
    nb::object sw = in.np.attr("asarray")(in.sample_weight);
    nb::object drawn = in.np.attr("asarray")(in.sample_weight)[indices];
    return in.np.attr("concatenate")(duv::list_of(sw, drawn));
}

// The input rows, then noisy copies of rows drawn with replacement, permuted when shuffling.
nb::object grow(const aug::Resampling &in, bool plain, nb::handle p, const AugmentArgs &a) {
    nb::object n_new = in.n_target - in.n_samples;
    nb::object indices = in.consume
                             ? in.rng.attr("choice")(in.n_samples, "size"_a = n_new, "replace"_a = true, "p"_a = p)
                             : in.rng.attr("randint")(0, in.n_samples, "size"_a = n_new);
    aug::NoisyCopies X_copies(in.np, in.rng, plain, in.X, indices, a.X_std, a.rel_std);
    aug::NoisyCopies y_copies(in.np, in.rng, plain, in.y, indices, a.y_std, a.rel_std);
    // Weights with one entry per input row are taken along the rows once the order is known.
    const bool weights_by_row = plain && !in.consume && aug::rows_of_weights(in.np, in.sample_weight, in.n_samples);
    nb::object weights = weights_by_row ? nb::none() : grow_weights(in, indices);
    nb::object perm = in.shuffle ? in.rng.attr("permutation")(in.n_target) : nb::none();

    aug::GrownSet grown(in.np, indices, in.n_samples, perm);
    nb::object X_out = X_copies.assemble(grown, indices, perm);
    nb::object y_out = y_copies.assemble(grown, indices, perm);
    if (weights_by_row)
        weights = grown.take(in.np.attr("asarray")(in.sample_weight));
    else if (!weights.is_none() && !perm.is_none())
        weights = aug::take_rows(in.np, weights, perm);
    return in.result(X_out, y_out, weights);
}

nb::object gaussian_augment(const duv::Globals &g, const AugmentArgs &a) {
    aug::Resampling in;
    in.np = g["np"];
    const bool plain = g.state<GaussianState>().numpy.intact(g);
    const bool y_numeric = !a.y_std.is_none() && duv::to_double(a.y_std) > 0.0;
    in.take_data(g["check_X_y"](a.X, a.y, "multi_output"_a = true, "y_numeric"_a = y_numeric));
    if (duv::compare(a.factor, nb::int_(0), Py_LE))
        duv::raise_formatted(PyExc_ValueError, "factor must be positive, got %r", nb::make_tuple(a.factor));
    in.rng = g["check_random_state"](a.random_state);
    in.n_target = aug::resized_count(in.n_samples, a.factor);
    in.consume = aug::sample_weight_mode_is(a.sample_weight_mode, "consume");
    nb::object p = aug::consume_probabilities(in.np, in.consume, a.sample_weight, in.n_samples);
    in.sample_weight = a.sample_weight;
    in.shuffle = duv::truthy(a.shuffle);

    if (duv::compare(in.n_target, in.n_samples, Py_EQ)) return aug::kept_size(in, false);
    if (duv::compare(in.n_target, in.n_samples, Py_LT)) return aug::drawn(in, p, false);
    return grow(in, plain, p, a);
}

// ---- meta-estimators ---------------------------------------------------------------------

const duv::OptionTable &options(const duv::Globals &g) { return g.state<GaussianState>().options; }

nb::object fit_regressor(const duv::Globals &g, const aug::FitWithParamsArgs &a) {
    return aug::fit_family(g, options(g), {"gaussian_augment", duv::kRegressor, {{"multi_output", true}}}, a);
}

nb::object fit_classifier(const duv::Globals &g, const aug::FitWithParamsArgs &a) {
    return aug::fit_family(g, options(g), {"gaussian_augment", duv::kClassifier, {{"multi_output", false}}}, a);
}

duv::OptionTable family_options(nb::module_ &m) {
    auto non_negative = [&] { return duv::list_of(duv::interval(m, "Real", nb::float_(0.0), "left"), nb::none()); };
    return duv::OptionTable{
        duv::option("factor", 10.0).constraint(duv::list_of(duv::interval(m, "Real", nb::float_(0.0), "neither"))),
        duv::option("sample_weight", nb::none()).on(duv::kFunction),
        duv::option("sample_weight_mode", "passthrough")
            .constraint(duv::list_of(m.attr("StrOptions")(duv::set_of("consume", "passthrough")))),
        duv::option("X_std", nb::none()).constraint(non_negative()),
        duv::option("y_std", nb::none()).on(duv::kFunction | duv::kRegressor).constraint(non_negative()),
        duv::option("rel_std", false).constraint(duv::list_of("boolean")),
        duv::option("shuffle", true).constraint(duv::list_of("boolean")),
        duv::option("random_state", nb::none()).constraint(duv::list_of("random_state")),
        duv::option("store_augmented", false).on(duv::kEstimators).not_forwarded().constraint(duv::list_of("boolean")),
    };
}

}  // namespace

DUV_MODULE("duv.augmentation._gaussian_augmentation", exec_gaussian_augmentation) {
    duv::import_as(m, "numpy", "np");
    duv::from_import(m, "sklearn.base", {"BaseEstimator", "ClassifierMixin", "RegressorMixin", "clone"});
    duv::from_import(m, "sklearn.utils._param_validation", {"Interval", "Real", "StrOptions", "validate_params"});
    duv::from_import(m, "sklearn.utils.validation",
                     {"check_array", "check_is_fitted", "check_random_state", "check_X_y"});
    duv::from_import(m, "._meta_estimator_mixins", {"UnwrapMetaEstimatorMixin"});

    GaussianState &st = duv::make_state<GaussianState>(m);
    st.options = family_options(m);
    duv::def(m, "gaussian_augment", st.options.params(duv::kFunction, {duv::arg("X"), duv::arg("y")}),
             gaussian_augment);
    aug::def_family_classes(m, {"GaussianAugmentedRegressor", "GaussianAugmentedClassifier"}, st.options, fit_regressor,
                            fit_classifier, aug::predict_is_expecting, aug::InputCheck::Numeric);
    st.numpy.take(m);
}
