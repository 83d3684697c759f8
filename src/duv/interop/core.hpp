// First include of every source file that talks to Python.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;

namespace duv {

// Throws the Python error currently set if `ok` is false (for raw C-API calls).
inline void check(bool ok) {
    if (!ok) throw nb::python_error();
}

// New reference from a raw C-API call; throws when it failed.
inline nb::object steal_checked(PyObject *o) {
    if (!o) throw nb::python_error();
    return nb::steal(o);
}

// Built-in types as handles (annotations, dtype= arguments, type checks).
inline nb::handle float_type() { return reinterpret_cast<PyObject *>(&PyFloat_Type); }
inline nb::handle int_type() { return reinterpret_cast<PyObject *>(&PyLong_Type); }
inline nb::handle bool_type() { return reinterpret_cast<PyObject *>(&PyBool_Type); }
inline nb::handle str_type() { return reinterpret_cast<PyObject *>(&PyUnicode_Type); }
inline nb::handle object_type() { return reinterpret_cast<PyObject *>(&PyBaseObject_Type); }

// The interned Python string for `text`, made once per distinct text and kept for the
// life of the process.
nb::handle intern(const char *text);

// An interned Python string that lives for the whole process, created once per call site.
#define DUV_STR(text)                                                                                                  \
    ([]() -> nb::handle {                                                                                              \
        static PyObject *s_ = PyUnicode_InternFromString(text);                                                        \
        return s_;                                                                                                     \
    }())

}  // namespace duv
