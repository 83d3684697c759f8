// Kernel calls from glue code: the GIL released around a pure C++ loop, and the caller's
// floating-point flags kept (a kernel's comparisons and arithmetic must not leave flags that
// NumPy would later report as its own).
#pragma once

#include "duv/interop/core.hpp"
#include "duv/kernels/fp_flags.hpp"

namespace duv {

// Returns f(); f must not touch Python objects.
template <typename F> auto run_unlocked(F &&f) -> decltype(f()) {
    nb::gil_scoped_release unlocked;
    kernels::FpFlags keep_callers_flags;
    return f();
}

}  // namespace duv
