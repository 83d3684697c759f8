// How large the values of an array are, to tell beforehand whether a kernel's arithmetic can
// overflow (which NumPy would report as a warning).
#pragma once

#include "duv/kernels/dtype.hpp"

#include <cmath>
#include <cstring>

namespace duv::kernels {

// The largest magnitude of a matrix, its values read as float64: NaN ignored, inf kept, 0 when
// empty.
inline double max_abs(const Matrix &x) {
    double top = 0.0;
    visit(x.dtype, [&](auto tag) {
        using T = decltype(tag);
        for (int64_t i = 0; i < x.n; ++i)
            for (int64_t c = 0; c < x.m; ++c) {
                T v;
                std::memcpy(&v, x.data + i * x.rs + c * x.cs, sizeof(T));
                top = std::fmax(top, std::fabs(static_cast<double>(v)));
            }
    });
    return top;
}

}  // namespace duv::kernels
