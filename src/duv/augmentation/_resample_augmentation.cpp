#include "duv/augmentation/arrays.hpp"
#include "duv/augmentation/meta_estimator.hpp"
#include "duv/augmentation/meta_estimator_tags.hpp"
#include "duv/augmentation/row_weights.hpp"
#include "duv/interop/klass.hpp"
#include "duv/interop/module.hpp"
#include "duv/interop/sklearn.hpp"
#include "duv/interop/util.hpp"

namespace {

namespace aug = duv::augmentation;

DUV_ARGS(ResampleArgs, X, y, factor, shuffle, random_state, sample_weight, sample_weight_mode);

// int(round(n_samples * float(factor))), at least 1 when shrinking.
long long target_size(long long n_samples, nb::handle factor) {
    long long n_target = duv::py_round_int(static_cast<double>(n_samples) * duv::to_double(factor));
    if (duv::compare(factor, nb::float_(1.0), Py_LT)) n_target = std::max(1LL, n_target);
    return n_target;
}

nb::object float_ones(nb::handle np, long long n) { return np.attr("ones")(n, "dtype"_a = duv::float_type()); }

// The returned weights: ones in consume mode, else the caller's weights of the rows taken.
nb::object weights_of(nb::handle np, bool consume, nb::handle sample_weight, long long n_rows, nb::handle indices) {
    if (consume) return float_ones(np, n_rows);
    if (sample_weight.is_none()) return nb::none();
    nb::object sw = np.attr("asarray")(sample_weight);
    return indices.is_valid() ? sw[indices] : sw;
}

nb::object resample_augment(const duv::Globals &g, const ResampleArgs &a) {
    nb::object np = g["np"];
    auto Xy = duv::unpack(g["check_X_y"](a.X, a.y, "multi_output"_a = true), 2);
    const nb::object &X = Xy[0];
    nb::object y = Xy[1];
    const bool y_was_1d = nb::cast<int>(y.attr("ndim")) == 1;
    if (y_was_1d) y = y.attr("reshape")(-1, 1);
    nb::object n_samples_obj = nb::object(X.attr("shape"))[0];
    const long long n_samples = nb::cast<long long>(n_samples_obj);
    const bool consume = aug::consume_mode(a.sample_weight_mode);
    nb::object rng = g["check_random_state"](a.random_state);
    const long long n_target = target_size(n_samples, a.factor);
    const bool shuffle = duv::truthy(a.shuffle);

    nb::object X_res, y_res, sw_res;
    if (n_target == n_samples) {
        if (shuffle) {
            nb::object indices = rng.attr("permutation")(n_samples);
            X_res = aug::take_rows(np, X, indices);
            y_res = aug::take_rows(np, y, indices);
            sw_res = weights_of(np, consume, a.sample_weight, n_samples, indices);
        } else {
            X_res = X.attr("copy")();
            y_res = y.attr("copy")();
            sw_res = weights_of(np, consume, a.sample_weight, n_samples, nb::handle());
        }
    } else {
        nb::object p = consume && !a.sample_weight.is_none()
                           ? aug::consume_probabilities(np, a.sample_weight, n_samples_obj)
                           : nb::none();
        nb::object indices =
            rng.attr("choice")(n_samples, "size"_a = n_target, "replace"_a = n_target > n_samples, "p"_a = p);
        // X[indices][order] is X[indices[order]]: the rows are gathered once, in their final order.
        if (shuffle) indices = aug::take_rows(np, indices, rng.attr("permutation")(n_target));
        X_res = aug::take_rows(np, X, indices);
        y_res = aug::take_rows(np, y, indices);
        sw_res = weights_of(np, consume, a.sample_weight, n_target, indices);
    }
    if (y_was_1d) y_res = y_res.attr("reshape")(-1);
    return nb::make_tuple(X_res, y_res, sw_res);
}

nb::object fit(const duv::Globals &g, const aug::FitArgs &a, bool regressor) {
    duv::check_feature_names(a.self, a.X, true);
    nb::object checked = regressor ? g["check_X_y"](a.X, a.y, "multi_output"_a = true, "y_numeric"_a = true)
                                   : g["check_X_y"](a.X, a.y, "multi_output"_a = false);
    auto Xy = duv::unpack(checked, 2);
    nb::object X = Xy[0], y = Xy[1];
    nb::handle self = a.self;
    self.attr("n_features_in_") = nb::object(X.attr("shape"))[1];
    if (regressor) self.attr("n_outputs_") = aug::n_outputs(y);
    if (aug::passthrough_mode(self.attr("sample_weight_mode")))
        aug::check_one_weight_per_row(g["np"], a.sample_weight, nb::object(X.attr("shape"))[0]);
    auto augmented = duv::unpack(
        g["resample_augment"](X, y, "factor"_a = self.attr("factor"), "shuffle"_a = self.attr("shuffle"),
                              "random_state"_a = self.attr("random_state"), "sample_weight"_a = a.sample_weight,
                              "sample_weight_mode"_a = self.attr("sample_weight_mode")),
        3);
    return aug::finish_fit(g, self, augmented[0], augmented[1], augmented[2]);
}

nb::object fit_regressor(const duv::Globals &g, const aug::FitArgs &a) { return fit(g, a, true); }
nb::object fit_classifier(const duv::Globals &g, const aug::FitArgs &a) { return fit(g, a, false); }

nb::object positive_factor(nb::module_ &m) { return duv::interval(m, "Real", nb::float_(0.0), "neither"); }

void build_class(nb::module_ &m, const char *name, bool regressor) {
    duv::ClassBuilder cls = aug::meta_estimator_class(m, name, regressor);
    nb::dict constraints;
    constraints["estimator"] = duv::list_of(m.attr("BaseEstimator"));
    constraints["factor"] = duv::list_of(positive_factor(m));
    constraints["shuffle"] = duv::list_of("boolean");
    constraints["random_state"] = duv::list_of("random_state");
    constraints["sample_weight_mode"] = duv::list_of(m.attr("StrOptions")(duv::set_of("consume", "passthrough")));
    constraints["store_augmented"] = duv::list_of("boolean");
    cls.attr("_parameter_constraints", constraints);
    cls.init({duv::arg("self"), duv::arg("estimator"), duv::arg("factor", 10.0).ann(duv::float_type()),
              duv::arg("shuffle", true).ann(duv::bool_type()), duv::arg("random_state", nb::none()),
              duv::arg("sample_weight_mode", "passthrough").ann(duv::str_type()),
              duv::arg("store_augmented", false).ann(duv::bool_type())});
    nb::object built = aug::def_fit_predict_and_build(cls, regressor, regressor ? fit_regressor : fit_classifier,
                                                      aug::predict_fitted_with);
    aug::def_sklearn_tags(m, built, aug::InputCheck::Numeric);
}

void def_resample_augment(nb::module_ &m) {
    nb::dict constraints;
    constraints["X"] = duv::list_of("array-like");
    constraints["y"] = duv::list_of("array-like");
    constraints["factor"] = duv::list_of(positive_factor(m));
    constraints["shuffle"] = duv::list_of("boolean");
    constraints["random_state"] = duv::list_of("random_state");
    duv::def_validated(m, "resample_augment",
                       {duv::arg("X"), duv::arg("y"), duv::kwonly("factor", 10.0).ann(duv::float_type()),
                        duv::kwonly("shuffle", true).ann(duv::bool_type()), duv::kwonly("random_state", nb::none()),
                        duv::kwonly("sample_weight", nb::none()),
                        duv::kwonly("sample_weight_mode", "passthrough").ann(duv::str_type())},
                       resample_augment, constraints, true);
}

}  // namespace

DUV_MODULE("duv.augmentation._resample_augmentation", exec_resample_augmentation) {
    duv::import_as(m, "numpy", "np");
    duv::from_import(m, "sklearn.base", {"BaseEstimator", "ClassifierMixin", "RegressorMixin", "clone"});
    duv::from_import(m, "sklearn.utils._param_validation", {"Interval", "Real", "StrOptions", "validate_params"});
    duv::from_import(m, "sklearn.utils.validation",
                     {"check_array", "check_is_fitted", "check_random_state", "check_X_y"});
    duv::from_import(m, "._meta_estimator_mixins", {"UnwrapMetaEstimatorMixin"});

    def_resample_augment(m);
    build_class(m, "ResampleAugmentedRegressor", true);
    build_class(m, "ResampleAugmentedClassifier", false);
}
