#include "duv/augmentation/meta_estimator.hpp"
#include "duv/augmentation/resampled_rows.hpp"
#include "duv/interop/module.hpp"
#include "duv/interop/module_state.hpp"
#include "duv/interop/sklearn.hpp"
#include "duv/interop/util.hpp"

namespace {

namespace aug = duv::augmentation;

DUV_ARGS(ResampleArgs, X, y, factor, shuffle, random_state, sample_weight, sample_weight_mode);

struct ResampleState : duv::ModuleState {
    duv::OptionTable options{};
};

// int(round(n_samples * float(factor))), at least 1 when shrinking.
long long target_size(long long n_samples, nb::handle factor) {
    long long n_target = duv::py_round_int(static_cast<double>(n_samples) * duv::to_double(factor));
    if (duv::compare(factor, nb::float_(1.0), Py_LT)) n_target = std::max(1LL, n_target);
    return n_target;
}

nb::object resample_augment(const duv::Globals &g, const ResampleArgs &a) {
    aug::Resampling in;
    in.np = g["np"];
    in.take_data(g["check_X_y"](a.X, a.y, "multi_output"_a = true));
    const long long n_samples = nb::cast<long long>(in.n_samples);
    in.consume = aug::sample_weight_mode_is(a.sample_weight_mode, "consume");
    in.rng = g["check_random_state"](a.random_state);
    const long long n_target = target_size(n_samples, a.factor);
    in.n_target = nb::int_(n_target);
    in.shuffle = duv::truthy(a.shuffle);
    in.sample_weight = a.sample_weight;

    if (n_target == n_samples) return aug::kept_size(in, true);
    nb::object p = aug::consume_probabilities(in.np, in.consume, a.sample_weight, in.n_samples);
    return aug::drawn(in, p, n_target > n_samples);
}

const duv::OptionTable &options(const duv::Globals &g) { return g.state<ResampleState>().options; }

nb::object fit_regressor(const duv::Globals &g, const aug::FitArgs &a) {
    return aug::fit_family(g, options(g),
                           {"resample_augment", duv::kRegressor, {{"multi_output", true}, {"y_numeric", true}}}, a);
}

nb::object fit_classifier(const duv::Globals &g, const aug::FitArgs &a) {
    return aug::fit_family(g, options(g), {"resample_augment", duv::kClassifier, {{"multi_output", false}}}, a);
}

// The function takes every option after the data as a keyword, and checks fewer of them.
duv::OptionTable family_options(nb::module_ &m) {
    return duv::OptionTable{
        duv::option("factor", 10.0)
            .ann(duv::float_type())
            .keyword_only(duv::kFunction)
            .constraint(duv::list_of(duv::interval(m, "Real", nb::float_(0.0), "neither"))),
        duv::option("shuffle", true)
            .ann(duv::bool_type())
            .keyword_only(duv::kFunction)
            .constraint(duv::list_of("boolean")),
        duv::option("random_state", nb::none()).keyword_only(duv::kFunction).constraint(duv::list_of("random_state")),
        duv::option("sample_weight", nb::none()).on(duv::kFunction).keyword_only(),
        duv::option("sample_weight_mode", "passthrough")
            .ann(duv::str_type())
            .keyword_only(duv::kFunction)
            .constraint_on(duv::kEstimators, duv::list_of(m.attr("StrOptions")(duv::set_of("consume", "passthrough")))),
        duv::option("store_augmented", false)
            .ann(duv::bool_type())
            .on(duv::kEstimators)
            .not_forwarded()
            .constraint(duv::list_of("boolean")),
    };
}

}  // namespace

DUV_MODULE("duv.augmentation._resample_augmentation", exec_resample_augmentation) {
    duv::import_as(m, "numpy", "np");
    duv::from_import(m, "sklearn.base", {"BaseEstimator", "ClassifierMixin", "RegressorMixin", "clone"});
    duv::from_import(m, "sklearn.utils._param_validation", {"Interval", "Real", "StrOptions", "validate_params"});
    duv::from_import(m, "sklearn.utils.validation",
                     {"check_array", "check_is_fitted", "check_random_state", "check_X_y"});
    duv::from_import(m, "._meta_estimator_mixins", {"UnwrapMetaEstimatorMixin"});

    ResampleState &st = duv::make_state<ResampleState>(m);
    st.options = family_options(m);
    aug::def_family_function(m, "resample_augment", st.options, resample_augment);
    aug::def_family_classes(m, {"ResampleAugmentedRegressor", "ResampleAugmentedClassifier"}, st.options, fit_regressor,
                            fit_classifier, aug::predict_fitted_with, aug::InputCheck::Numeric);
}
