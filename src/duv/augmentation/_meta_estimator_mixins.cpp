#include "duv/interop/klass.hpp"
#include "duv/interop/module.hpp"
#include "duv/interop/util.hpp"

namespace {

nb::object unwrap(const duv::Args &a) {
    nb::handle self = a[0], deep = a[1];
    a.global(DUV_STR("check_is_fitted"))(self);
    std::string cls = nb::str(nb::handle((PyObject *)Py_TYPE(self.ptr())).attr("__name__")).c_str();
    if (!duv::truthy(self.attr("_unwrappable"))) duv::raise_value_error(cls + " is not unwrappable");
    if (!duv::has_attr(self, "estimator_"))
        duv::raise(PyExc_AttributeError, cls + " has no fitted estimator to unwrap");
    nb::object inner = self.attr("estimator_");
    nb::object unwrappable = duv::getattr_or_null(inner, DUV_STR("_unwrappable"));
    if (duv::truthy(deep) && unwrappable.is(Py_True)) return inner.attr("unwrap")("deep"_a = true);
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
