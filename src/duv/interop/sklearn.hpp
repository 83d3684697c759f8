// Hooks into scikit-learn's parameter validation.
#pragma once

#include "duv/interop/core.hpp"

namespace duv {

// validate_params(constraints, prefer_skip_nested_validation=prefer_skip)(fn), with
// `validate_params` taken from the namespace of module `m`.
nb::object validate_params(nb::handle m, nb::handle fn, nb::handle constraints, bool prefer_skip);

}  // namespace duv
