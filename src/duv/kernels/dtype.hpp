// Element types the kernels read and write, in the host's byte order.
#pragma once

#include <cstddef>

namespace duv::kernels {

enum class Dtype { F64, F32, I8, I16, I32, I64, U8, U16, U32, U64, Bool };

constexpr std::size_t itemsize(Dtype dt) {
    switch (dt) {
    case Dtype::F64:
    case Dtype::I64:
    case Dtype::U64: return 8;
    case Dtype::F32:
    case Dtype::I32:
    case Dtype::U32: return 4;
    case Dtype::I16:
    case Dtype::U16: return 2;
    default: return 1;
    }
}

}  // namespace duv::kernels

#include <cstdint>

namespace duv::kernels {

// A strided 2-D view (a 1-D array is n x 1). Strides in bytes, possibly negative.
struct Matrix {
    const char *data = nullptr;
    int64_t n = 0, m = 0;
    std::ptrdiff_t rs = 0, cs = 0;
    Dtype dtype = Dtype::F64;
};

}  // namespace duv::kernels
