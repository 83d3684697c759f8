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

// scikit-learn's `_check_feature_names(estimator, X, reset=reset)`: a fit records the column names of a
// DataFrame in `feature_names_in_`; later calls check them.
void check_feature_names(nb::handle estimator, nb::handle X, bool reset);

// The check validate_params(constraints) makes of a call, made again on the estimator's current
// parameters (those named in `constraints`, in their order), naming `caller` in its messages:
// set_params and clone bypass the check at construction. Skipped under skip_parameter_validation.
void revalidate_params(nb::handle estimator, nb::handle constraints, const char *caller);

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
