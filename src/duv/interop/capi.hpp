// CPython calls that the stable ABI (the abi3 build for 3.12+) leaves out, spelled once for
// both builds: the full API's macros and functions where it is available, the stable ABI's
// functions or the Python-level equivalent otherwise. Behaviour is the same in both.
#pragma once

#include "duv/interop/core.hpp"

#include <string>

namespace duv {

// The running interpreter is at least major.minor (not the headers the library was built with).
inline bool python_at_least(unsigned major, unsigned minor) { return Py_Version >= ((major << 24) | (minor << 16)); }

// Value of a float (exact or subclass).
inline double float_value(PyObject *o) {
#ifdef Py_LIMITED_API
    return PyFloat_AsDouble(o);
#else
    return PyFloat_AS_DOUBLE(o);
#endif
}

// Tuples and lists: size and borrowed item, no checks beyond the stable ABI's own.
inline Py_ssize_t tuple_size(PyObject *t) {
#ifdef Py_LIMITED_API
    return PyTuple_Size(t);
#else
    return PyTuple_GET_SIZE(t);
#endif
}
inline PyObject *tuple_item(PyObject *t, Py_ssize_t i) {
#ifdef Py_LIMITED_API
    return PyTuple_GetItem(t, i);
#else
    return PyTuple_GET_ITEM(t, i);
#endif
}
// Fills slot i of a tuple just made by PyTuple_New; steals `v`.
inline void tuple_fill(PyObject *t, Py_ssize_t i, PyObject *v) {
#ifdef Py_LIMITED_API
    PyTuple_SetItem(t, i, v);
#else
    PyTuple_SET_ITEM(t, i, v);
#endif
}
inline Py_ssize_t list_size(PyObject *l) {
#ifdef Py_LIMITED_API
    return PyList_Size(l);
#else
    return PyList_GET_SIZE(l);
#endif
}
inline PyObject *list_item(PyObject *l, Py_ssize_t i) {
#ifdef Py_LIMITED_API
    return PyList_GetItem(l, i);
#else
    return PyList_GET_ITEM(l, i);
#endif
}
// Size and borrowed item of a list or a tuple (what PySequence_Fast returns).
inline Py_ssize_t fast_size(PyObject *seq) { return PyList_Check(seq) ? list_size(seq) : tuple_size(seq); }
inline PyObject *fast_item(PyObject *seq, Py_ssize_t i) {
    return PyList_Check(seq) ? list_item(seq, i) : tuple_item(seq, i);
}

// Stores `value` (stolen) in `field`, then releases what it held (Py_XSETREF).
inline void replace_ref(PyObject *&field, PyObject *value) {
    PyObject *old = field;
    field = value;
    Py_XDECREF(old);
}

inline nb::object call_one(nb::handle callable, nb::handle arg) {
    PyObject *args[] = {arg.ptr()};
    return steal_checked(PyObject_Vectorcall(callable.ptr(), args, 1, nullptr));
}

// UTF-8 text of a str, owned by the str.
inline const char *utf8(PyObject *s) { return PyUnicode_AsUTF8AndSize(s, nullptr); }

// dict.setdefault(key, value): one hash of the key; a new reference to the value in the dict.
nb::object dict_setdefault(nb::handle dict, nb::handle key, nb::handle value);

// Python's own function, method and code types.
nb::handle function_type_of_python();
// A bound method, as a function's __get__ makes it.
PyObject *new_method(PyObject *func, PyObject *self);
// True if `bound` is a method object binding `func` to `self`.
bool is_method_of(nb::handle bound, nb::handle func, nb::handle self);

// Cells of a closure: a new one holding `value`; the contents, or a null object when empty.
nb::object new_cell(nb::handle value);
nb::object cell_value(nb::handle cell);

// The code object the interpreter makes for a function that has none of its own (raises
// AssertionError if run), named `name` in `filename` at line 1.
nb::object empty_code(nb::handle filename, nb::handle name);

// The type's name as the interpreter shows it in error messages ("numpy.float64", "Foo").
std::string type_display_name(PyTypeObject *type);

// Looks up what the stable ABI build reaches through Python; called once at initialisation.
void init_capi();

}  // namespace duv
