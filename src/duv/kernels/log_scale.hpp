// The logarithm scaler's maps in one pass over the data: sign, lower bound and NumPy's own
// logarithm (or exponential) loop applied block by block, so that every value is read
// and written once and no temporary outgrows a block.
#pragma once

#include "duv/kernels/inner_loop.hpp"

#include <cstddef>

namespace duv::kernels::log_scale {

// Values per block: the bounded copy stays in the first-level cache.
constexpr std::ptrdiff_t kBlock = 2048;

// out = log(np.clip(-x if negate else x, bound, None)), the clip only when `clip`.
struct Forward {
    UfuncLoop log;
    bool negate = false;
    bool clip = false;
    double bound = 0.0;  // not NaN
};

// out = -exp(x) if negate else exp(x), with `exp` a unary loop, or np.power(10.0, x) in
// place of exp(x) when `power_of_ten` (`exp` is then the binary power loop).
struct Inverse {
    UfuncLoop exp;
    bool power_of_ten = false;
    bool negate = false;
};

// Both run over n contiguous doubles and return false when NumPy's expression of the same
// steps could give other bits or would report a floating-point exception (division by
// zero, overflow, invalid, underflow), or when a zero met a zero bound of the other sign
// (NumPy's clip may keep either); `out` is then unspecified. The caller's floating-point
// flags are left as they were. `block` is the block length (tests use short ones).
bool forward(const Forward &f, const double *x, double *out, std::ptrdiff_t n, std::ptrdiff_t block = kBlock);
bool inverse(const Inverse &f, const double *x, double *out, std::ptrdiff_t n, std::ptrdiff_t block = kBlock);

}  // namespace duv::kernels::log_scale
