#include "duv/interop/tags.hpp"

#include "duv/interop/klass.hpp"
#include "duv/interop/util.hpp"

#include <string>

namespace duv {

nb::object def_owned_function(nb::module_ &m, nb::handle cls, const char *name, std::vector<Param> params,
                              detail::Body body) {
    std::string qualname = nb::cast<std::string>(cls.attr("__qualname__")) + "." + name;
    nb::object fn = make_closure_function(m, name, qualname.c_str(), std::move(params), body, nb::make_tuple(cls));
    cls.attr(name) = fn;
    return fn;
}

nb::object base_tags(nb::handle owner, nb::handle self) { return super_of(owner, self).attr("__sklearn_tags__")(); }

nb::object tags_or_none(nb::handle estimator) {
    if (!has_attr(estimator, "__sklearn_tags__")) return nb::none();
    return nb::module_::import_("sklearn.utils").attr("get_tags")(estimator);
}

void copy_tag(nb::handle to, nb::handle from, const char *group, const char *name) {
    nb::object dst = group ? nb::object(to.attr(group)) : nb::borrow(to);
    nb::object src = group ? nb::object(from.attr(group)) : nb::borrow(from);
    if (dst.is_none() || src.is_none()) return;
    dst.attr(name) = src.attr(name);
}

}  // namespace duv
