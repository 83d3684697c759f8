// A callable type that looks like a Python function to Python: exact signature for
// `inspect`, name attributes, a code object, writable `__dict__`, method binding on
// classes, pickling by reference, and argument binding with the interpreter's own
// TypeError messages.
//
// A function body receives its bound arguments as a struct declared with DUV_ARGS, whose
// member names are checked against the declared parameters when the function is created,
// and, when it needs module names, the defining module's namespace (`Globals`):
//
//     DUV_ARGS(ScaleArgs, X, factor);
//     nb::object scale(const duv::Globals &g, const ScaleArgs &a) {
//         return g["np"].attr("multiply")(a.X, a.factor);
//     }
//     duv::def(m, "scale", {duv::arg("X"), duv::kwonly("factor", 2.0)}, scale);
#pragma once

#include "duv/interop/core.hpp"

#include <cstring>
#include <string_view>
#include <type_traits>

namespace duv {

enum class Kind : int {
    PositionalOnly = 0,
    PositionalOrKeyword = 1,
    VarPositional = 2,
    KeywordOnly = 3,
    VarKeyword = 4
};

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

// A default value as Python holds it: strings interned, as the compiler interns constants.
nb::object default_value(const char *text);
inline nb::object default_value(nb::handle value) { return nb::borrow(value); }
template <typename T> nb::object default_value(T &&value) { return nb::cast(std::forward<T>(value)); }

// Parameter makers: positional-only (before a `/`), positional-or-keyword, keyword-only, *args,
// **kwargs; with a default value (any C++ value nanobind can cast, or a Python object).
Param posonly(const char *name);
Param arg(const char *name);
Param kwonly(const char *name);
Param varargs(const char *name);
Param varkw(const char *name);
template <typename T> Param arg(const char *name, T &&default_) {
    return Param{name, Kind::PositionalOrKeyword, default_value(std::forward<T>(default_)), {}};
}
template <typename T> Param kwonly(const char *name, T &&default_) {
    return Param{name, Kind::KeywordOnly, default_value(std::forward<T>(default_)), {}};
}

// The namespace of the module that defines a function (its __globals__). A name is looked
// up when it is asked for, in the module and then in builtins, as a Python function looks
// up a global name: rebinding a module attribute is seen by the next call. The module's
// state (module_state.hpp) is reached through it too.
class Globals {
public:
    explicit Globals(nb::handle dict, nb::handle module = nb::handle()) : dict_(dict), module_(module) {}
    nb::object operator[](const char *name) const;  // NameError when unbound
    nb::object operator[](nb::handle name) const;
    nb::handle dict() const { return dict_; }
    nb::handle module() const { return module_; }
    // The state the module's exec function made (make_state<S>).
    template <typename S> S &state() const;

private:
    nb::handle dict_;
    nb::handle module_;
};

// Declares `struct Type` holding one borrowed argument per parameter, named like them and in
// their order (`self` first for a method): DUV_ARGS(FitArgs, self, X, y, sample_weight).
#define DUV_ARGS(Type, ...)                                                                                            \
    struct Type {                                                                                                      \
        nb::handle __VA_ARGS__;                                                                                        \
        static constexpr const char *parameter_names = #__VA_ARGS__;                                                   \
    }

// The untyped view of one call's bound arguments, for the toolkit's own generic bodies.
class RawCall {
public:
    nb::handle operator[](size_t i) const { return slots_[i]; }
    size_t size() const { return n_; }
    nb::handle name(size_t i) const { return names_[i]; }  // interned
    Globals globals() const { return Globals(globals_, module_); }
    PyObject *const *slots_ = nullptr;
    PyObject *const *names_ = nullptr;
    size_t n_ = 0;
    PyObject *globals_ = nullptr;
    PyObject *module_ = nullptr;
    PyObject *closure_ = nullptr;  // tuple of cells of a closure, else null
};

namespace detail {

using Erased = void (*)();
using Trampoline = nb::object (*)(Erased body, const RawCall &call);

// A function body with the names of the arguments it reads (null for a RawCall body) and,
// for a closure, the names of the captured values.
struct Body {
    Trampoline trampoline;
    Erased fn;
    const char *names;
    const char *free_names = nullptr;
};

constexpr size_t count_names(const char *s) {
    size_t n = 1;
    for (; *s; ++s) n += *s == ',';
    return n;
}

template <typename A> constexpr void check_args_struct() {
    static_assert(std::is_trivially_copyable_v<A> && std::is_standard_layout_v<A>);
    static_assert(sizeof(A) == count_names(A::parameter_names) * sizeof(nb::handle),
                  "declare argument structs with DUV_ARGS");
}

template <typename A> A bind(const RawCall &call) {
    A a;
    std::memcpy(static_cast<void *>(&a), static_cast<const void *>(call.slots_), sizeof(A));
    return a;
}

template <typename A> nb::object call_typed(Erased fn, const RawCall &call) {
    return reinterpret_cast<nb::object (*)(const A &)>(fn)(bind<A>(call));
}
template <typename A> nb::object call_typed_globals(Erased fn, const RawCall &call) {
    return reinterpret_cast<nb::object (*)(const Globals &, const A &)>(fn)(call.globals(), bind<A>(call));
}
// The i-th captured value, read from its cell at each call (cells can be rebound);
// `names` lists the captured names, for the NameError of an emptied cell.
nb::object cell_contents(const RawCall &call, size_t i, const char *names);

template <typename C, typename A> nb::object call_closure(Erased fn, const RawCall &call) {
    constexpr size_t n = sizeof(C) / sizeof(nb::handle);
    nb::object held[n];
    nb::handle handles[n];
    for (size_t i = 0; i < n; ++i) handles[i] = held[i] = cell_contents(call, i, C::parameter_names);
    C c;
    std::memcpy(static_cast<void *>(&c), handles, sizeof(C));
    return reinterpret_cast<nb::object (*)(const Globals &, const C &, const A &)>(fn)(call.globals(), c,
                                                                                       bind<A>(call));
}
inline nb::object call_raw(Erased fn, const RawCall &call) {
    return reinterpret_cast<nb::object (*)(const RawCall &)>(fn)(call);
}

template <typename A> Body body(nb::object (*fn)(const A &)) {
    check_args_struct<A>();
    return {call_typed<A>, reinterpret_cast<Erased>(fn), A::parameter_names};
}
template <typename A> Body body(nb::object (*fn)(const Globals &, const A &)) {
    check_args_struct<A>();
    return {call_typed_globals<A>, reinterpret_cast<Erased>(fn), A::parameter_names};
}
template <typename C, typename A> Body body(nb::object (*fn)(const Globals &, const C &, const A &)) {
    check_args_struct<C>();
    check_args_struct<A>();
    return {call_closure<C, A>, reinterpret_cast<Erased>(fn), A::parameter_names, C::parameter_names};
}
inline Body body(nb::object (*fn)(const RawCall &)) { return {call_raw, reinterpret_cast<Erased>(fn), nullptr}; }

}  // namespace detail

// Creates a function object of the defining `module` (its namespace is the function's
// __globals__). A typed body's argument names must be the parameters' names in order
// (std::logic_error otherwise).
nb::object make_function(nb::handle module, const char *name, const char *qualname, std::vector<Param> params,
                         detail::Body body, nb::handle return_annotation = nb::handle());

// A closure, as a `def` nested in a function body makes it: its body takes the captured
// values as a DUV_ARGS struct whose names are the free variables in the interpreter's order
// (sorted), then the bound arguments. `values` holds one value per free variable, in that
// order; each goes into a cell of `__closure__`, named in `__code__.co_freevars`.
//
//     DUV_ARGS(ScaleFree, factor);
//     nb::object scale(const duv::Globals &g, const ScaleFree &c, const ScaleArgs &a);
//     duv::make_closure(module, "scale", "make_scaler.<locals>.scale", {duv::arg("X")}, scale,
//                       nb::make_tuple(factor));
nb::object make_closure_function(nb::handle module, const char *name, const char *qualname, std::vector<Param> params,
                                 detail::Body body, nb::handle values);
template <typename F>
nb::object make_closure(nb::handle module, const char *name, const char *qualname, std::vector<Param> params, F fn,
                        nb::handle values) {
    return make_closure_function(module, name, qualname, std::move(params), detail::body(fn), values);
}

// Creates a module-level function and binds it in the module namespace.
nb::object def_function(nb::handle module, const char *name, std::vector<Param> params, detail::Body body,
                        nb::handle return_annotation = nb::handle());
template <typename F>
nb::object def(nb::handle module, const char *name, std::vector<Param> params, F fn,
               nb::handle return_annotation = nb::handle()) {
    return def_function(module, name, std::move(params), detail::body(fn), return_annotation);
}

// An `__init__(self, ...)` body that stores every argument unchanged under its parameter's
// name, in declaration order (scikit-learn's estimator convention).
nb::object store_params(const RawCall &call);

// True for objects of the function type above.
bool is_function(nb::handle o);

// Registers the type; called once from the package initialisation.
void init_function_type();

}  // namespace duv

namespace duv {

// The module a function of this type was defined in (its __globals__ are that module's
// namespace), to reach the module's state; an invalid handle for any other object.
nb::handle defining_module(nb::handle fn);

}  // namespace duv
