// Hooks into scikit-learn's parameter validation.
#pragma once

#include "duv/interop/function.hpp"

namespace duv {

// validate_params(constraints, prefer_skip_nested_validation=prefer_skip)(fn), with
// `validate_params` taken from the namespace of module `m`.
nb::object validate_params(nb::handle m, nb::handle fn, nb::handle constraints, bool prefer_skip);

// Interval(<number_type>, low, None, closed=closed), with Interval and the number type
// ("Real", "Integral") taken from module `m`, as the module imported them.
nb::object interval(nb::handle m, const char *number_type, nb::handle low, const char *closed);

// A module-level function wrapped by validate_params and bound in the module namespace.
nb::object def_validated_function(nb::handle m, const char *name, std::vector<Param> params, detail::Body body,
                                  nb::handle constraints, bool prefer_skip_nested_validation);
template <typename F>
nb::object def_validated(nb::handle m, const char *name, std::vector<Param> params, F fn, nb::handle constraints,
                         bool prefer_skip_nested_validation) {
    return def_validated_function(m, name, std::move(params), detail::body(fn), constraints,
                                  prefer_skip_nested_validation);
}

}  // namespace duv
