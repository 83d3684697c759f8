#include "duv/interop/klass.hpp"

#include "duv/interop/sklearn.hpp"

namespace duv {

ClassBuilder::ClassBuilder(nb::module_ &module, const char *name, std::initializer_list<nb::handle> bases)
    : module_(module), name_(name) {
    nb::list b;
    for (nb::handle h : bases) b.append(h);
    bases_ = nb::tuple(b);
    ns_["__module__"] = module_.attr("__name__");
    ns_["__qualname__"] = name_;
}

nb::object ClassBuilder::make_method(const char *name, std::vector<Param> params, detail::Body body,
                                     nb::handle return_annotation) {
    std::string qualname = name_ + "." + name;
    return make_function(module_, name, qualname.c_str(), std::move(params), body, return_annotation);
}

nb::object ClassBuilder::add_method(const char *name, std::vector<Param> params, detail::Body body,
                                    nb::handle return_annotation) {
    nb::object fn = make_method(name, std::move(params), body, return_annotation);
    ns_[name] = fn;
    return fn;
}

nb::object ClassBuilder::init(std::vector<Param> params) {
    return add_method("__init__", std::move(params), detail::body(store_params), nb::handle());
}

ClassBuilder &ClassBuilder::add_property(const char *name, detail::Body body) {
    nb::object getter = make_method(name, {arg("self")}, body, nb::handle());
    ns_[name] = nb::handle(reinterpret_cast<PyObject *>(&PyProperty_Type))(getter);
    return *this;
}

nb::object ClassBuilder::add_validated(const char *name, std::vector<Param> params, detail::Body body,
                                       nb::handle constraints, bool prefer_skip) {
    nb::object fn = make_method(name, std::move(params), body, nb::handle());
    nb::object wrapped = validate_params(module_, fn, constraints, prefer_skip);
    ns_[name] = wrapped;
    return wrapped;
}

nb::object ClassBuilder::add_validated(const char *name, std::vector<Param> params, detail::Body body,
                                       nb::handle constraints, bool prefer_skip, nb::handle return_annotation) {
    nb::object fn = make_method(name, std::move(params), body, return_annotation);
    nb::object wrapped = validate_params(module_, fn, constraints, prefer_skip);
    ns_[name] = wrapped;
    return wrapped;
}

ClassBuilder &ClassBuilder::attr(const char *name, nb::handle value) {
    ns_[name] = value;
    return *this;
}

nb::object ClassBuilder::build() {
    // The most derived metaclass of the bases (ABCMeta for some of scikit-learn's)
    // creates the class, as a class statement would.
    PyTypeObject *winner = &PyType_Type;
    for (nb::handle b : bases_) {
        PyTypeObject *t = Py_TYPE(b.ptr());
        if (PyType_IsSubtype(winner, t)) continue;
        if (PyType_IsSubtype(t, winner)) {
            winner = t;
            continue;
        }
        PyErr_SetString(PyExc_TypeError, "metaclass conflict: the metaclass of a derived class must be a "
                                         "(non-strict) subclass of the metaclasses of all its bases");
        throw nb::python_error();
    }
    nb::object meta = nb::borrow(reinterpret_cast<PyObject *>(winner));
    nb::object cls = meta(name_.c_str(), bases_, ns_);
    module_.attr(name_.c_str()) = cls;
    return cls;
}

}  // namespace duv
