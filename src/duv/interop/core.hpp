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

// An interned Python string that lives for the whole process, created once per call site.
#define DUV_STR(text)                                                                                                  \
    ([]() -> nb::handle {                                                                                              \
        static PyObject *s_ = PyUnicode_InternFromString(text);                                                        \
        return s_;                                                                                                     \
    }())

}  // namespace duv
