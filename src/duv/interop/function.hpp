// A callable type that looks like a Python function to Python: exact signature for
// `inspect`, name attributes, writable `__dict__`, method binding on classes, pickling
// by reference, and argument binding with the interpreter's own TypeError messages.
#pragma once

#include "duv/interop/core.hpp"

#include <initializer_list>

namespace duv {

enum class Kind : int { PositionalOrKeyword = 1, VarPositional = 2, KeywordOnly = 3, VarKeyword = 4 };

struct Param {
    std::string name;
    Kind kind = Kind::PositionalOrKeyword;
    nb::object default_;    // null: required
    nb::object annotation;  // null: none

    Param &ann(nb::handle a) {
        annotation = nb::borrow(a);
        return *this;
    }
};

// Parameter makers: positional-or-keyword, keyword-only, *args, **kwargs.
Param arg(const char *name);
Param kwonly(const char *name);
Param varargs(const char *name);
Param varkw(const char *name);

// With a default value (any C++ value nanobind can cast, or a Python object).
template <typename T> Param arg(const char *name, T &&default_) {
    Param p{name, Kind::PositionalOrKeyword, nb::cast(std::forward<T>(default_)), {}};
    return p;
}
template <typename T> Param kwonly(const char *name, T &&default_) {
    Param p{name, Kind::KeywordOnly, nb::cast(std::forward<T>(default_)), {}};
    return p;
}

struct FunctionInfo;

// The bound arguments of one call, one slot per parameter in declaration order
// (an unfilled *args is an empty tuple, an unfilled **kwargs an empty dict).
class Args {
public:
    nb::handle operator[](size_t i) const { return slots_[i]; }
    size_t size() const { return n_; }
    // The (interned) name of parameter i.
    nb::handle name(size_t i) const { return names_[i]; }
    // The defining module's globals, like a Python function's __globals__.
    nb::handle globals() const { return globals_; }
    // Looks `name` up in the module globals, then builtins (NameError otherwise).
    nb::object global(nb::handle name) const;

    PyObject *const *slots_ = nullptr;
    PyObject *const *names_ = nullptr;
    size_t n_ = 0;
    PyObject *globals_ = nullptr;
};

using Impl = nb::object (*)(const Args &);

// An `__init__(self, ...)` body that stores every argument unchanged under its
// parameter's name, in declaration order (scikit-learn's estimator convention).
nb::object store_params(const Args &a);

// Creates a function object. `module_globals` is the dict of the defining module.
nb::object make_function(nb::handle module_globals, const char *name, const char *qualname, std::vector<Param> params,
                         Impl impl, nb::handle return_annotation = nb::handle());

// Creates a module-level function and binds it in the module namespace.
nb::object def(nb::handle module, const char *name, std::vector<Param> params, Impl impl,
               nb::handle return_annotation = nb::handle());

// True for objects of the function type above.
bool is_function(nb::handle o);

// Registers the type; called once from the package initialisation.
void init_function_type(nb::handle package);

}  // namespace duv
