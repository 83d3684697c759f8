#include "duv/augmentation/meta_estimator.hpp"
#include "duv/interop/klass.hpp"
#include "duv/interop/module.hpp"
#include "duv/interop/sklearn.hpp"
#include "duv/interop/util.hpp"

namespace {

namespace aug = duv::augmentation;
#define G(name) a.global(DUV_STR(name))

nb::object resample_augment(const duv::Args &a) {
    nb::handle factor = a[2], shuffle = a[3], random_state = a[4], sample_weight = a[5];
    nb::object Xy = G("check_X_y")(a[0], a[1], "multi_output"_a = true);
    nb::object X = Xy[0], y = Xy[1];
    bool y_was_1d = nb::cast<int>(y.attr("ndim")) == 1;
    if (y_was_1d) y = y.attr("reshape")(-1, 1);
    nb::object n_samples_obj = nb::object(X.attr("shape"))[0];
    long long n_samples = nb::cast<long long>(n_samples_obj);
    bool consume = aug::consume_mode(a[6]);
    nb::object rng = G("check_random_state")(random_state);
    long long n_target = duv::py_round_int((double)n_samples * duv::to_double(factor));
    if (duv::compare(factor, nb::float_(1.0), Py_LT)) n_target = std::max(1LL, n_target);

    nb::object np = G("np");
    nb::object X_res, y_res, sw_res = nb::none();
    auto ones = [&](long long n) { return np.attr("ones")(n, "dtype"_a = nb::handle((PyObject *)&PyFloat_Type)); };
    if (n_target == n_samples) {
        if (duv::truthy(shuffle)) {
            nb::object indices = rng.attr("permutation")(n_samples);
            X_res = X[indices];
            y_res = y[indices];
            if (consume)
                sw_res = ones(n_samples);
            else if (!sample_weight.is_none())
                sw_res = np.attr("asarray")(sample_weight)[indices];
        } else {
            X_res = X.attr("copy")();
            y_res = y.attr("copy")();
            if (consume)
                sw_res = ones(n_samples);
            else if (!sample_weight.is_none())
                sw_res = np.attr("asarray")(sample_weight);
        }
    } else {
        nb::object p = nb::none();
        if (consume && !sample_weight.is_none()) p = aug::consume_probabilities(np, sample_weight, n_samples_obj);
        bool replace = n_target > n_samples;
        nb::object indices = rng.attr("choice")(n_samples, "size"_a = n_target, "replace"_a = replace, "p"_a = p);
        X_res = X[indices];
        y_res = y[indices];
        if (duv::truthy(shuffle)) {
            nb::object order = rng.attr("permutation")(n_target);
            X_res = X_res[order];
            y_res = y_res[order];
            indices = indices[order];
        }
        if (consume)
            sw_res = ones(n_target);
        else if (!sample_weight.is_none())
            sw_res = np.attr("asarray")(sample_weight)[indices];
    }
    if (y_was_1d) y_res = y_res.attr("reshape")(-1);
    return nb::make_tuple(X_res, y_res, sw_res);
}

nb::object fit(const duv::Args &a, bool regressor) {
    nb::handle self = a[0], sample_weight = a[3];
    nb::object Xy = regressor ? G("check_X_y")(a[1], a[2], "multi_output"_a = true, "y_numeric"_a = true)
                              : G("check_X_y")(a[1], a[2], "multi_output"_a = false);
    nb::object X = Xy[0], y = Xy[1];
    self.attr("n_features_in_") = nb::object(X.attr("shape"))[1];
    if (regressor)
        self.attr("n_outputs_") =
            nb::cast<int>(y.attr("ndim")) == 1 ? nb::object(nb::int_(1)) : nb::object(nb::object(y.attr("shape"))[1]);
    nb::object aug =
        G("resample_augment")(X, y, "factor"_a = self.attr("factor"), "shuffle"_a = self.attr("shuffle"),
                              "random_state"_a = self.attr("random_state"), "sample_weight"_a = sample_weight,
                              "sample_weight_mode"_a = self.attr("sample_weight_mode"));
    nb::object X_aug = aug[0], y_aug = aug[1], sw_aug = aug[2];
    aug::store_augmented(self, X_aug, y_aug);
    self.attr("estimator_") = aug::fit_clone(a, self, X_aug, y_aug, sw_aug);
    return nb::borrow(self);
}

nb::object fit_regressor(const duv::Args &a) { return fit(a, true); }
nb::object fit_classifier(const duv::Args &a) { return fit(a, false); }

nb::object predict(const duv::Args &a) {
    nb::handle self = a[0];
    G("check_is_fitted")(self);
    nb::object X = G("check_array")(a[1]);
    return aug::predict_checked(self, X, aug::FeatureMessage::FittedWith);
}

void build_class(nb::module_ &m, const char *name, const char *mixin, duv::Impl fit_impl) {
    nb::handle float_t = (PyObject *)&PyFloat_Type, bool_t = (PyObject *)&PyBool_Type,
               str_t = (PyObject *)&PyUnicode_Type;
    duv::ClassBuilder cls(m, name, {m.attr(mixin), m.attr("UnwrapMetaEstimatorMixin"), m.attr("BaseEstimator")});
    nb::dict constraints;
    constraints["estimator"] = duv::list_of(m.attr("BaseEstimator"));
    constraints["factor"] = duv::list_of(m.attr("Interval")(m.attr("Real"), 0.0, nb::none(), "closed"_a = "neither"));
    constraints["shuffle"] = duv::list_of("boolean");
    constraints["random_state"] = duv::list_of("random_state");
    constraints["sample_weight_mode"] = duv::list_of(m.attr("StrOptions")(duv::set_of("consume", "passthrough")));
    constraints["store_augmented"] = duv::list_of("boolean");
    cls.attr("_parameter_constraints", constraints);
    cls.def("__init__",
            {duv::arg("self"), duv::arg("estimator"), duv::arg("factor", 10.0).ann(float_t),
             duv::arg("shuffle", true).ann(bool_t), duv::arg("random_state", nb::none()),
             duv::arg("sample_weight_mode", "passthrough").ann(str_t), duv::arg("store_augmented", false).ann(bool_t)},
            duv::store_params);
    cls.def("fit", {duv::arg("self"), duv::arg("X"), duv::arg("y"), duv::arg("sample_weight", nb::none())}, fit_impl);
    cls.def("predict", {duv::arg("self"), duv::arg("X")}, predict);
    cls.build();
}

}  // namespace

DUV_MODULE("duv.augmentation._resample_augmentation", exec_resample_augmentation) {
    duv::import_as(m, "numpy", "np");
    duv::from_import(m, "sklearn.base", {"BaseEstimator", "ClassifierMixin", "RegressorMixin", "clone"});
    duv::from_import(m, "sklearn.utils._param_validation", {"Interval", "Real", "StrOptions", "validate_params"});
    duv::from_import(m, "sklearn.utils.validation",
                     {"check_array", "check_is_fitted", "check_random_state", "check_X_y"});
    duv::from_import(m, "._meta_estimator_mixins", {"UnwrapMetaEstimatorMixin"});

    nb::handle float_t = (PyObject *)&PyFloat_Type, bool_t = (PyObject *)&PyBool_Type,
               str_t = (PyObject *)&PyUnicode_Type;
    nb::object fn = duv::make_function(
        PyModule_GetDict(m.ptr()), "resample_augment", "resample_augment",
        {duv::arg("X"), duv::arg("y"), duv::kwonly("factor", 10.0).ann(float_t),
         duv::kwonly("shuffle", true).ann(bool_t), duv::kwonly("random_state", nb::none()),
         duv::kwonly("sample_weight", nb::none()), duv::kwonly("sample_weight_mode", "passthrough").ann(str_t)},
        resample_augment);
    nb::dict constraints;
    constraints["X"] = duv::list_of("array-like");
    constraints["y"] = duv::list_of("array-like");
    constraints["factor"] = duv::list_of(m.attr("Interval")(m.attr("Real"), 0.0, nb::none(), "closed"_a = "neither"));
    constraints["shuffle"] = duv::list_of("boolean");
    constraints["random_state"] = duv::list_of("random_state");
    m.attr("resample_augment") = duv::validate_params(m, fn, constraints, true);

    build_class(m, "ResampleAugmentedRegressor", "RegressorMixin", fit_regressor);
    build_class(m, "ResampleAugmentedClassifier", "ClassifierMixin", fit_classifier);
}
