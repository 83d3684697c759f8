#include "duv/interop/sklearn.hpp"

#include "duv/interop/util.hpp"

namespace duv {

nb::object validate_params(nb::handle m, nb::handle fn, nb::handle constraints, bool prefer_skip) {
    nb::object decorator = m.attr("validate_params")(constraints, "prefer_skip_nested_validation"_a = prefer_skip);
    return decorator(fn);
}

nb::object interval(nb::handle m, const char *number_type, nb::handle low, const char *closed) {
    return m.attr("Interval")(m.attr(number_type), low, nb::none(), "closed"_a = closed);
}

void check_feature_names(nb::handle estimator, nb::handle X, bool reset) {
    nb::module_ validation = nb::module_::import_("sklearn.utils.validation");
    validation.attr("_check_feature_names")(estimator, X, "reset"_a = reset);
}

void revalidate_params(nb::handle estimator, nb::handle constraints, const char *caller) {
    nb::object config = nb::module_::import_("sklearn").attr("get_config")();
    if (truthy(config["skip_parameter_validation"])) return;
    nb::dict params;
    for (nb::handle name : nb::borrow<nb::dict>(constraints).keys()) params[name] = getattr(estimator, name);
    nb::module_ validation = nb::module_::import_("sklearn.utils._param_validation");
    validation.attr("validate_parameter_constraints")(constraints, params, "caller_name"_a = caller);
}

nb::object def_validated_function(nb::handle m, const char *name, std::vector<Param> params, detail::Body body,
                                  nb::handle constraints, bool prefer_skip_nested_validation) {
    nb::object fn = make_function(m, name, name, std::move(params), body);
    nb::object wrapped = validate_params(m, fn, constraints, prefer_skip_nested_validation);
    check(PyModule_AddObjectRef(m.ptr(), name, wrapped.ptr()) == 0);
    return wrapped;
}

}  // namespace duv
