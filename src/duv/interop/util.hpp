// Small helpers for idioms that recur across modules: Python's round, repr/format in
// messages, raising with a fixed message, warnings, wrapped errors.
#pragma once

#include "duv/interop/core.hpp"

#include <cmath>
#include <string>
#include <type_traits>

namespace duv {

// Python's built-in round(x) for a float: halves go to the even neighbour.
inline double py_round(double x) {
    double r = std::round(x);
    if (std::fabs(x - r) == 0.5) r = 2.0 * std::round(x / 2.0);
    return r;
}

// int(round(x)) for a finite float; ValueError/OverflowError as int() raises them.
long long py_round_int(double x);

// repr(o), str(o) and format(o, "") as UTF-8.
std::string repr(nb::handle o);
std::string str(nb::handle o);
std::string format(nb::handle o);

// type(o).__name__
std::string type_name(nb::handle o);

// Raise `type(message)` (throws nb::python_error).
[[noreturn]] void raise(PyObject *type, const std::string &message);
[[noreturn]] inline void raise_value_error(const std::string &message) { raise(PyExc_ValueError, message); }

// Raise `type(prefix + str(caught))` with the caught exception as implicit context,
// like a `raise` inside an `except` block.
[[noreturn]] void raise_wrapped(PyObject *type, const std::string &prefix, nb::python_error &caught);

// warnings.warn(message, category)
void warn(PyObject *category, const std::string &message);
void warn(nb::handle category, const std::string &message);

// True if `e` is an instance of `type`.
inline bool matches(nb::python_error &e, PyObject *type) { return e.matches(type); }

// Python truth value (raises like bool()).
inline bool truthy(nb::handle o) {
    int r = PyObject_IsTrue(o.ptr());
    check(r >= 0);
    return r == 1;
}

// o1 < o2 etc. with Python semantics.
bool compare(nb::handle a, nb::handle b, int op);

// Python float(o).
double to_double(nb::handle o);

// getattr(o, name), or an invalid object when that raises AttributeError (other errors propagate).
nb::object getattr_or_null(nb::handle o, nb::handle name);
// hasattr(o, name): only AttributeError means "no".
bool has_attr(nb::handle o, const char *name);

// `a, b, ... = value`, with the interpreter's messages.
std::vector<nb::object> unpack(nb::handle value, size_t n);

}  // namespace duv

namespace duv {

// Runs f() as if inside `except` for `caught`: an exception raised by f gets `caught`
// as its implicit __context__, as in a Python handler.
template <typename F> auto while_handling(nb::python_error &caught, F &&f) -> decltype(f()) {
    struct Restore {
        PyObject *prev;
        ~Restore() {
            PyErr_SetHandledException(prev);
            Py_XDECREF(prev);
        }
    } restore{PyErr_GetHandledException()};
    PyErr_SetHandledException(caught.value().ptr());
    return f();
}

}  // namespace duv

namespace duv {

template <typename T> struct IsAccessor : std::false_type {};
template <typename Impl> struct IsAccessor<nb::detail::accessor<Impl>> : std::true_type {};

// An accessor (`x[i]`, `x.attr(n)`) evaluated here, where its error can propagate: some
// nanobind versions evaluate it inside a noexcept cast, where an error terminates.
template <typename T> decltype(auto) evaluated(T &&v) {
    if constexpr (IsAccessor<std::decay_t<T>>::value)
        return nb::object(v);
    else
        return std::forward<T>(v);
}

// [a, b, ...] and {a, b, ...} of Python objects or castable C++ values.
template <typename... Ts> nb::list list_of(Ts &&...items) {
    nb::list l;
    (l.append(nb::cast(evaluated(std::forward<Ts>(items)))), ...);
    return l;
}
template <typename... Ts> nb::object set_of(Ts &&...items) {
    nb::object s = steal_checked(PySet_New(nullptr));
    (check(PySet_Add(s.ptr(), nb::cast(evaluated(std::forward<Ts>(items))).ptr()) == 0), ...);
    return s;
}

}  // namespace duv

namespace duv {

// a <op> b as a Python object (an array for arrays), unlike nanobind's bool operators.
inline nb::object richcompare(nb::handle a, nb::handle b, int op) {
    return steal_checked(PyObject_RichCompare(a.ptr(), b.ptr(), op));
}

// `a == text` with Python's equality (an object may define it), as a truth value.
inline bool equals(nb::handle a, const char *text) { return truthy(richcompare(a, nb::str(text), Py_EQ)); }

// `o[key]`
inline nb::object getitem(nb::handle o, nb::handle key) { return steal_checked(PyObject_GetItem(o.ptr(), key.ptr())); }

// `a.shape[i]`
inline nb::object shape_of(nb::handle a, int i) { return nb::object(a.attr("shape"))[i]; }

// The full slice `:`, as in `y[:, 0]`.
inline nb::object full_slice() { return steal_checked(PySlice_New(nullptr, nullptr, nullptr)); }

}  // namespace duv

#include "duv/interop/buffer.hpp"

#include <stdexcept>

namespace duv {

// fn(*args, **kwargs), `kwargs` a dict (a **-parameter's) or null.
nb::object call_with(nb::handle fn, nb::handle args, nb::handle kwargs);

// Adds the mapping `more` to the keywords of a call to `callee`, with the interpreter's
// TypeError for a keyword given twice.
void merge_keywords(nb::dict &keywords, nb::handle more, nb::handle callee);

// raise type(fmt % values), with Python's %-formatting.
[[noreturn]] void raise_formatted(PyObject *type, const char *fmt, nb::handle values);

// o ** 2
nb::object squared(nb::handle o);

// Data of a C-contiguous array of T whose address suits T, else nullptr (arrays rebuilt from
// another process's bytes can be contiguous but unaligned).
template <typename T> T *aligned_data(const ArrayView &v) {
    T *p = v.contiguous<T>();
    return p && reinterpret_cast<std::uintptr_t>(p) % alignof(T) == 0 ? p : nullptr;
}

// np.empty(shape) of T (float64, float32 or intp) for a kernel to fill, and its data.
template <typename T> struct NewArray {
    nb::object array;
    T *data;
};
template <typename T> NewArray<T> new_array(nb::handle np, nb::handle shape) {
    const char *dtype = std::is_same_v<T, double> ? "float64" : std::is_same_v<T, float> ? "float32" : "intp";
    nb::object a = np.attr("empty")(shape, "dtype"_a = np.attr(dtype));
    T *data = ArrayView(a, true).contiguous<T>();
    if (!data) throw std::runtime_error(std::string("np.empty made no writable C-ordered ") + dtype + " array");
    return {a, data};
}

}  // namespace duv

namespace duv {

// `with np.errstate(all="ignore"):` over the guard's scope (`np` is NumPy); an exception on its
// way out stays the one raised.
class IgnoringNumpyErrors {
public:
    explicit IgnoringNumpyErrors(nb::handle np);
    ~IgnoringNumpyErrors();
    IgnoringNumpyErrors(const IgnoringNumpyErrors &) = delete;
    IgnoringNumpyErrors &operator=(const IgnoringNumpyErrors &) = delete;

private:
    nb::object cm_;
};

// A new 1-D float64 array, `np.empty(len(values))`, holding `values`.
nb::object float64_vector(nb::handle np, const std::vector<double> &values);

// How the interpreter names a callable in its call errors: "module.qualname()".
std::string function_str(nb::handle f);

}  // namespace duv

// Python's operators on objects (arrays included), as the interpreter applies them.
namespace duv::op {

inline nb::object add(nb::handle a, nb::handle b) { return steal_checked(PyNumber_Add(a.ptr(), b.ptr())); }
inline nb::object sub(nb::handle a, nb::handle b) { return steal_checked(PyNumber_Subtract(a.ptr(), b.ptr())); }
inline nb::object mul(nb::handle a, nb::handle b) { return steal_checked(PyNumber_Multiply(a.ptr(), b.ptr())); }
inline nb::object div(nb::handle a, nb::handle b) { return steal_checked(PyNumber_TrueDivide(a.ptr(), b.ptr())); }
inline nb::object pow(nb::handle a, nb::handle b) { return steal_checked(PyNumber_Power(a.ptr(), b.ptr(), Py_None)); }
inline nb::object and_(nb::handle a, nb::handle b) { return steal_checked(PyNumber_And(a.ptr(), b.ptr())); }
inline nb::object invert(nb::handle a) { return steal_checked(PyNumber_Invert(a.ptr())); }
inline nb::object neg(nb::handle a) { return steal_checked(PyNumber_Negative(a.ptr())); }
// o[key] = value
inline void setitem(nb::handle o, nb::handle key, nb::handle value) {
    check(PyObject_SetItem(o.ptr(), key.ptr(), value.ptr()) == 0);
}

}  // namespace duv::op

namespace duv {

// Python's int(o).
inline nb::object int_of(nb::handle o) { return steal_checked(PyNumber_Long(o.ptr())); }

// `a.reshape(-1, 1) if a.ndim == 1 else a`
nb::object vector_as_column(nb::handle a);

// The slices `start:` and `:stop`, as in `ind[:, 1:]`.
inline nb::object slice_from(Py_ssize_t start) { return nb::slice(nb::int_(start), nb::none(), nb::none()); }
inline nb::object slice_to(Py_ssize_t stop) { return nb::slice(nb::none(), nb::int_(stop), nb::none()); }

}  // namespace duv

namespace duv {

// Python's float(o).
inline nb::object float_of(nb::handle o) { return steal_checked(PyNumber_Float(o.ptr())); }

// `item in container`
inline bool contains(nb::handle container, nb::handle item) {
    const int found = PySequence_Contains(container.ptr(), item.ptr());
    check(found >= 0);
    return found == 1;
}

// np.ones(n, dtype=float): the weights of rows that carry none.
inline nb::object float_ones(nb::handle np, nb::handle n) { return np.attr("ones")(n, "dtype"_a = float_type()); }

}  // namespace duv
