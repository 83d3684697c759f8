#include "duv/interop/klass.hpp"
#include "duv/interop/module.hpp"
#include "duv/interop/util.hpp"

namespace {

DUV_ARGS(UnwrapArgs, self, deep);

nb::object unwrap(const duv::Globals &g, const UnwrapArgs &a) {
    g["check_is_fitted"](a.self);
    if (!duv::truthy(a.self.attr("_unwrappable")))
        duv::raise_value_error(duv::type_name(a.self) + " is not unwrappable");
    if (!duv::has_attr(a.self, "estimator_"))
        duv::raise(PyExc_AttributeError, duv::type_name(a.self) + " has no fitted estimator to unwrap");
    nb::object inner = a.self.attr("estimator_");
    nb::object unwrappable = duv::getattr_or_null(inner, DUV_STR("_unwrappable"));
    if (duv::truthy(a.deep) && unwrappable.is(Py_True)) return inner.attr("unwrap")("deep"_a = true);
    return inner;
}

}  // namespace

DUV_MODULE("duv.augmentation._meta_estimator_mixins", exec_meta_estimator_mixins) {
    duv::from_import(m, "sklearn.utils.validation", {"check_is_fitted"});
    duv::ClassBuilder cls(m, "UnwrapMetaEstimatorMixin", {});
    cls.attr("_unwrappable", Py_True);
    cls.def("unwrap", {duv::arg("self"), duv::arg("deep", true)}, unwrap);
    cls.build();
}
