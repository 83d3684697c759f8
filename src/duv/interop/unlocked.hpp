// Kernel calls from glue code: the GIL released around a pure C++ loop, and the caller's
// floating-point flags kept (a kernel's comparisons and arithmetic must not leave flags that
// NumPy would later report as its own).
#pragma once

#include "duv/interop/core.hpp"
#include "duv/kernels/fp_flags.hpp"

#include <cstddef>

namespace duv {

// Below this many elements a loop runs with the GIL held: releasing it costs more than it gives.
constexpr std::ptrdiff_t kUnlockedFrom = 1 << 14;

// Returns f(), with the GIL released when the loop touches at least kUnlockedFrom elements
// (`n`); f must not touch Python objects.
template <typename F> auto run_unlocked(std::ptrdiff_t n, F &&f) -> decltype(f()) {
    kernels::FpFlags keep_callers_flags;
    if (n < kUnlockedFrom) return f();
    nb::gil_scoped_release unlocked;
    return f();
}

}  // namespace duv
