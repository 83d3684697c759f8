#include "duv/interop/sklearn.hpp"

namespace duv {

nb::object validate_params(nb::handle m, nb::handle fn, nb::handle constraints, bool prefer_skip) {
    nb::object decorator = m.attr("validate_params")(constraints, "prefer_skip_nested_validation"_a = prefer_skip);
    return decorator(fn);
}

}  // namespace duv
