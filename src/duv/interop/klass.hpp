// Classes built from Python base classes (scikit-learn's mixins and BaseEstimator), with
// methods of the function type, so that scikit-learn's machinery (get_params, clone,
// repr, pickling, tags) sees ordinary Python classes.
#pragma once

#include "duv/interop/function.hpp"

#include <initializer_list>

namespace duv {

class ClassBuilder {
public:
    // `module` is the defining module; `bases` in method-resolution order.
    ClassBuilder(nb::module_ &module, const char *name, std::initializer_list<nb::handle> bases);

    // Defines a method; its parameters start with `self`. Returns the function object.
    template <typename F>
    nb::object def(const char *name, std::vector<Param> params, F fn, nb::handle return_annotation = nb::handle()) {
        return add_method(name, std::move(params), detail::body(fn), return_annotation);
    }
    // `__init__(self, ...)` that stores each argument unchanged under its parameter's name.
    nb::object init(std::vector<Param> params);
    // A read-only property computed by `fn(self)`.
    template <typename F> ClassBuilder &property(const char *name, F fn) {
        return add_property(name, detail::body(fn));
    }
    // Sets a class attribute (methods wrapped by decorators go through here too).
    ClassBuilder &attr(const char *name, nb::handle value);
    // A method wrapped by scikit-learn's validate_params(constraints, prefer_skip_nested_validation=...).
    template <typename F>
    nb::object def_validated(const char *name, std::vector<Param> params, F fn, nb::handle constraints,
                             bool prefer_skip_nested_validation) {
        return add_validated(name, std::move(params), detail::body(fn), constraints, prefer_skip_nested_validation);
    }
    // As above, with a return annotation.
    template <typename F>
    nb::object def_validated(const char *name, std::vector<Param> params, F fn, nb::handle constraints,
                             bool prefer_skip_nested_validation, nb::handle return_annotation) {
        return add_validated(name, std::move(params), detail::body(fn), constraints, prefer_skip_nested_validation,
                             return_annotation);
    }

    // Creates the class with the bases' metaclass and binds it in the module.
    nb::object build();

    const std::string &name() const { return name_; }

private:
    nb::object make_method(const char *name, std::vector<Param> params, detail::Body body,
                           nb::handle return_annotation);
    nb::object add_method(const char *name, std::vector<Param> params, detail::Body body, nb::handle return_annotation);
    ClassBuilder &add_property(const char *name, detail::Body body);
    nb::object add_validated(const char *name, std::vector<Param> params, detail::Body body, nb::handle constraints,
                             bool prefer_skip);
    nb::object add_validated(const char *name, std::vector<Param> params, detail::Body body, nb::handle constraints,
                             bool prefer_skip, nb::handle return_annotation);

    nb::module_ module_;
    std::string name_;
    nb::tuple bases_;
    nb::dict ns_;
};

// super(cls, self), for method bodies that extend a base class's method (`cls` is the
// class the method is defined in, as held by the `__class__` cell of a Python method).
inline nb::object super_of(nb::handle cls, nb::handle self) {
    return nb::handle(reinterpret_cast<PyObject *>(&PySuper_Type))(cls, self);
}

}  // namespace duv
