// Element types the kernels read and write, in the host's byte order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

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

// Calls f(T{}) with the element type of `dt`.
template <typename F> void visit(Dtype dt, F &&f) {
    switch (dt) {
    case Dtype::F64: f(double{}); break;
    case Dtype::F32: f(float{}); break;
    case Dtype::I8: f(int8_t{}); break;
    case Dtype::I16: f(int16_t{}); break;
    case Dtype::I32: f(int32_t{}); break;
    case Dtype::I64: f(int64_t{}); break;
    case Dtype::U8: f(uint8_t{}); break;
    case Dtype::U16: f(uint16_t{}); break;
    case Dtype::U32: f(uint32_t{}); break;
    case Dtype::U64: f(uint64_t{}); break;
    case Dtype::Bool: f(bool{}); break;
    }
}

// As visit for the number types; false for Bool.
template <typename F> bool visit_numbers(Dtype dt, F &&f) {
    if (dt == Dtype::Bool) return false;
    visit(dt, std::forward<F>(f));
    return true;
}

// A strided 2-D view (a 1-D array is n x 1). Strides in bytes, possibly negative.
struct Matrix {
    const char *data = nullptr;
    int64_t n = 0, m = 0;
    std::ptrdiff_t rs = 0, cs = 0;
    Dtype dtype = Dtype::F64;
};

}  // namespace duv::kernels
