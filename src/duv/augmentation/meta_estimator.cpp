#include "duv/augmentation/meta_estimator.hpp"

#include "duv/interop/sklearn.hpp"
#include "duv/interop/util.hpp"

namespace duv::augmentation {

void store_augmented(nb::handle self, nb::handle X_aug, nb::handle y_aug) {
    if (!truthy(self.attr("store_augmented"))) return;
    self.attr("augmented_X_") = X_aug;
    self.attr("augmented_y_") = y_aug;
}

namespace {

nb::object call_fit(nb::handle est, nb::handle X, nb::handle y, nb::handle sw, nb::handle fit_params) {
    nb::object fit = est.attr("fit");
    nb::dict kwargs;
    if (sw.is_valid() && !sw.is_none()) kwargs["sample_weight"] = sw;
    if (fit_params.is_valid())
        for (auto [k, v] : nb::borrow<nb::dict>(fit_params)) {
            if (kwargs.contains(k)) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for keyword argument '%S'",
                             nb::object(fit.attr("__qualname__")).ptr(), k.ptr());
                throw nb::python_error();
            }
            kwargs[k] = v;
        }
    nb::object args = nb::make_tuple(X, y);
    return steal_checked(PyObject_Call(fit.ptr(), args.ptr(), kwargs.ptr()));
}

}  // namespace

nb::object fit_clone(const Globals &g, nb::handle self, nb::handle X_aug, nb::handle y_aug, nb::handle sw_aug,
                     nb::handle fit_params) {
    nb::object est = g["clone"](self.attr("estimator"));
    try {
        call_fit(est, X_aug, y_aug, sw_aug, fit_params);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_TypeError)) throw;
        while_handling(e, [&] { return call_fit(est, X_aug, y_aug, nb::handle(), fit_params); });
    }
    return est;
}

nb::object consume_probabilities(nb::handle np, bool consume, nb::handle sample_weight, nb::handle n_samples) {
    if (!consume || sample_weight.is_none()) return nb::none();
    return weights_as_probabilities(checked_sample_weight(np, np.attr("asarray")(sample_weight), n_samples));
}

nb::object weights_as_probabilities(nb::handle sw) {
    double total = to_double(sw.attr("sum")());
    if (!std::isfinite(total) || total <= 0) raise_value_error("Sum of sample_weight must be positive");
    return sw / nb::float_(total);
}

namespace {

enum class FeatureMessage { FittedWith, IsExpecting };

nb::object predict_checked(const Globals &g, const PredictArgs &a, FeatureMessage style) {
    g["check_is_fitted"](a.self);
    check_feature_names(a.self, a.X, false);
    nb::object X = g["check_array"](a.X);
    nb::object n_in = a.self.attr("n_features_in_");
    nb::object n_cols = nb::object(X.attr("shape"))[1];
    if (compare(n_cols, n_in, Py_NE)) {
        if (style == FeatureMessage::FittedWith)
            raise_value_error("X has " + format(n_cols) + " features, but this estimator was fitted with " +
                              format(n_in) + " features");
        raise_value_error("X has " + format(n_cols) + " features, but " + duv::type_name(a.self) + " is expecting " +
                          format(n_in) + " features as input.");
    }
    return a.self.attr("estimator_").attr("predict")(X);
}

DUV_ARGS(SelfArgs, self);

nb::object classes(const SelfArgs &a) { return a.self.attr("estimator_").attr("classes_"); }

}  // namespace

nb::object predict_fitted_with(const Globals &g, const PredictArgs &a) {
    return predict_checked(g, a, FeatureMessage::FittedWith);
}

nb::object predict_is_expecting(const Globals &g, const PredictArgs &a) {
    return predict_checked(g, a, FeatureMessage::IsExpecting);
}

nb::object finish_fit(const Globals &g, nb::handle self, nb::handle X_aug, nb::handle y_aug, nb::handle sw_aug,
                      nb::handle fit_params) {
    store_augmented(self, X_aug, y_aug);
    self.attr("estimator_") = fit_clone(g, self, X_aug, y_aug, sw_aug, fit_params);
    return nb::borrow(self);
}

ClassBuilder meta_estimator_class(nb::module_ &m, const char *name, bool regressor) {
    return ClassBuilder(m, name,
                        {m.attr(regressor ? "RegressorMixin" : "ClassifierMixin"), m.attr("UnwrapMetaEstimatorMixin"),
                         m.attr("BaseEstimator")});
}

std::vector<Param> fit_signature(bool with_fit_params) {
    std::vector<Param> p{arg("self"), arg("X"), arg("y"), arg("sample_weight", nb::none())};
    if (with_fit_params) p.push_back(varkw("fit_params"));
    return p;
}

nb::object def_predict_and_build(ClassBuilder &cls, bool regressor, PredictBody predict) {
    cls.def("predict", {arg("self"), arg("X")}, predict);
    if (!regressor) cls.property("classes_", classes);
    return cls.build();
}

ClassBuilder family_class(nb::module_ &m, const char *name, unsigned surface, const OptionTable &options,
                          nb::handle estimator) {
    ClassBuilder cls = meta_estimator_class(m, name, surface == kRegressor);
    nb::dict leading;
    leading["estimator"] = list_of(estimator ? nb::borrow(estimator) : m.attr("BaseEstimator"));
    cls.attr("_parameter_constraints", options.constraints(surface, leading));
    cls.init(options.params(surface, {arg("self"), arg("estimator")}));
    return cls;
}

nb::dict data_constraints() {
    nb::dict constraints;
    constraints["X"] = list_of("array-like");
    constraints["y"] = list_of("array-like");
    return constraints;
}

namespace {

// `1 if y.ndim == 1 else y.shape[1]`, the regressors' n_outputs_.
nb::object n_outputs(nb::handle y) {
    if (nb::cast<int>(y.attr("ndim")) == 1) return nb::int_(1);
    return nb::object(y.attr("shape"))[1];
}

nb::object fit_with(const Globals &g, const OptionTable &options, const FamilyFit &f, nb::handle self, nb::handle X_in,
                    nb::handle y_in, nb::handle sample_weight, nb::handle fit_params) {
    check_feature_names(self, X_in, true);
    nb::dict checks;
    for (const auto &[keyword, value] : f.checks) checks[keyword] = value;
    auto Xy = unpack(call_with(g["check_X_y"], nb::make_tuple(X_in, y_in), checks), 2);
    const nb::object &X = Xy[0], &y = Xy[1];
    nb::object sw = f.weights ? f.weights(g, f.surface, self, X, sample_weight) : nb::borrow(sample_weight);
    self.attr("n_features_in_") = shape_of(X, 1);
    if (f.surface == kRegressor) self.attr("n_outputs_") = n_outputs(y);
    if (!f.weights && f.weights_per_row && passthrough_mode(self.attr("sample_weight_mode")))
        check_one_weight_per_row(g["np"], sw, shape_of(X, 0));
    nb::dict given;
    if (f.weights) given["sample_weight"] = sw;  // in the table's place, else last
    nb::dict forwarded = options.forwarded(f.surface, self, given);
    forwarded["sample_weight"] = sw;
    auto augmented = unpack(call_with(g[f.function], nb::make_tuple(X, y), forwarded), 3);
    return finish_fit(g, self, augmented[0], augmented[1], augmented[2], fit_params);
}

}  // namespace

nb::object fit_family(const Globals &g, const OptionTable &options, const FamilyFit &f, const FitWithParamsArgs &a) {
    return fit_with(g, options, f, a.self, a.X, a.y, a.sample_weight, a.fit_params);
}

nb::object fit_family(const Globals &g, const OptionTable &options, const FamilyFit &f, const FitArgs &a) {
    return fit_with(g, options, f, a.self, a.X, a.y, a.sample_weight, nb::handle());
}

bool sample_weight_mode_is(nb::handle sample_weight_mode, const char *mode) {
    // Compared as Python strings: a C string would stop at an embedded NUL.
    nb::object lowered = nb::str(sample_weight_mode).attr("lower")();
    const bool is_mode = compare(lowered, nb::str(mode), Py_EQ);
    if (!is_mode && !compare(lowered, nb::str("passthrough"), Py_EQ))
        raise_value_error(std::string("sample_weight_mode must be one of {'passthrough','") + mode + "'}");
    return is_mode;
}

bool passthrough_mode(nb::handle sample_weight_mode) {
    return equals(nb::str(sample_weight_mode).attr("lower")(), "passthrough");
}

namespace {

nb::object one_per_row(nb::object sw, nb::handle n_samples) {
    nb::object shape = sw.attr("shape");
    if (compare(shape, nb::make_tuple(n_samples), Py_NE))
        raise_value_error("sample_weight should have shape (" + format(n_samples) + ",), got " + format(shape));
    return sw;
}

}  // namespace

void check_one_weight_per_row(nb::handle np, nb::handle sample_weight, nb::handle n_samples) {
    if (!sample_weight.is_none()) one_per_row(np.attr("asarray")(sample_weight), n_samples);
}

nb::object checked_sample_weight(nb::handle np, nb::object sw, nb::handle n_samples) {
    one_per_row(sw, n_samples);
    if (truthy(np.attr("any")(richcompare(sw, nb::int_(0), Py_LT))))
        raise_value_error("sample_weight must be non-negative");
    return sw;
}

// ---- tags

namespace {

// What holds for the wrapped estimator holds for the wrapper: the inputs it requires, the
// targets it supports (a regressor's target is validated with multi_output=True and handed
// on), the classes it can tell apart, how good and how repeatable its fits are.
nb::object wrapper_tags(const OwnerCell &c, nb::handle self, InputCheck input) {
    nb::object tags = base_tags(c.owner, self);
    nb::object inner = tags_or_none(self.attr("estimator"));
    if (inner.is_none()) return tags;
    copy_tag(tags, inner, "input_tags", "positive_only");
    copy_tag(tags, inner, "target_tags", "positive_only");
    if (input != InputCheck::NumericOneTarget && !nb::object(tags.attr("regressor_tags")).is_none())
        copy_tag(tags, inner, "target_tags", "multi_output");
    copy_tag(tags, inner, "regressor_tags", "poor_score");
    copy_tag(tags, inner, "classifier_tags", "poor_score");
    copy_tag(tags, inner, "classifier_tags", "multi_class");
    copy_tag(tags, inner, nullptr, "non_deterministic");
    if (input == InputCheck::AsGiven) {
        copy_tag(tags, inner, "input_tags", "allow_nan");
        copy_tag(tags, inner, "input_tags", "string");
        copy_tag(tags, inner, "input_tags", "categorical");
    }
    return tags;
}

template <InputCheck Input> nb::object tags_of(const Globals &, const OwnerCell &c, const SelfArgs &a) {
    return wrapper_tags(c, a.self, Input);
}

}  // namespace

void def_sklearn_tags(nb::module_ &m, nb::handle cls, InputCheck input) {
    auto body = input == InputCheck::Numeric   ? tags_of<InputCheck::Numeric>
                : input == InputCheck::AsGiven ? tags_of<InputCheck::AsGiven>
                                               : tags_of<InputCheck::NumericOneTarget>;
    def_owned(m, cls, "__sklearn_tags__", {arg("self")}, body);
}

}  // namespace duv::augmentation
