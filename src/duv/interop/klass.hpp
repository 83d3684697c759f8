// Classes built from Python base classes (scikit-learn's mixins and BaseEstimator),
// with methods of the function type, so that scikit-learn's machinery (get_params,
// clone, repr, pickling, tags) sees ordinary Python classes.
#pragma once

#include "duv/interop/function.hpp"

namespace duv {

class ClassBuilder {
public:
    // `module` is the defining module; `bases` in method-resolution order.
    ClassBuilder(nb::module_ &module, const char *name, std::initializer_list<nb::handle> bases);

    // Defines a method (first parameter is `self`); returns the function object.
    nb::object def(const char *name, std::vector<Param> params, Impl impl, nb::handle return_annotation = nb::handle());
    // Sets a class attribute (methods wrapped by decorators go through here too).
    ClassBuilder &attr(const char *name, nb::handle value);

    // Creates the class with the bases' metaclass and binds it in the module.
    nb::object build();

private:
    nb::module_ module_;
    std::string name_;
    nb::tuple bases_;
    nb::dict ns_;
};

}  // namespace duv
