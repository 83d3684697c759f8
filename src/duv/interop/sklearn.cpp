#include "duv/interop/sklearn.hpp"

namespace duv {

nb::object validate_params(nb::handle m, nb::handle fn, nb::handle constraints, bool prefer_skip) {
    nb::object decorator = m.attr("validate_params")(constraints, "prefer_skip_nested_validation"_a = prefer_skip);
    return decorator(fn);
}

nb::object interval(nb::handle m, const char *number_type, nb::handle low, const char *closed) {
    return m.attr("Interval")(m.attr(number_type), low, nb::none(), "closed"_a = closed);
}

nb::object def_validated_function(nb::handle m, const char *name, std::vector<Param> params, detail::Body body,
                                  nb::handle constraints, bool prefer_skip_nested_validation) {
    nb::handle globals = PyModule_GetDict(m.ptr());
    nb::object fn = make_function(globals, name, name, std::move(params), body);
    nb::object wrapped = validate_params(m, fn, constraints, prefer_skip_nested_validation);
    check(PyDict_SetItemString(globals.ptr(), name, wrapped.ptr()) == 0);
    return wrapped;
}

}  // namespace duv
