// Estimator tags. A `__sklearn_tags__` method starts from super().__sklearn_tags__(), and
// super() needs the class that defines the method, which exists only once the class is
// built: such a method is added to the built class with the class in its closure, as a
// class statement's `__class__` cell holds it for a Python method.
#pragma once

#include "duv/interop/function.hpp"

namespace duv {

DUV_ARGS(OwnerCell, owner);

// Sets method `name` on the built class `cls` (defined in module `m`); the body receives
// the class as `owner`.
nb::object def_owned_function(nb::module_ &m, nb::handle cls, const char *name, std::vector<Param> params,
                              detail::Body body);
template <typename F>
nb::object def_owned(nb::module_ &m, nb::handle cls, const char *name, std::vector<Param> params, F fn) {
    return def_owned_function(m, cls, name, std::move(params), detail::body(fn));
}

// super(owner, self).__sklearn_tags__(): the tags the bases give.
nb::object base_tags(nb::handle owner, nb::handle self);

// scikit-learn's get_tags(estimator), or None for an object that declares no tags (an
// estimator parameter left at None, or a placeholder), so that reading a meta-estimator's
// tags never fails before its fit would.
nb::object tags_or_none(nb::handle estimator);

// to.<group>.<name> = from.<group>.<name>, when both tag groups exist (`group` null: the
// top-level tag).
void copy_tag(nb::handle to, nb::handle from, const char *group, const char *name);

}  // namespace duv
