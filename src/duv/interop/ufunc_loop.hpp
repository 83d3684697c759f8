// NumPy's own inner loops, for kernels that must agree with a ufunc to the last bit.
#pragma once

#include "duv/interop/core.hpp"
#include "duv/kernels/inner_loop.hpp"

namespace duv {

// The inner loop that `ufunc` (a NumPy ufunc with `nin` inputs and one output) runs for
// float64 operands, read through the ufunc object's public C layout (`np` is the numpy
// module); empty when the object is not laid out as expected or has no such loop. Whether
// the loop reproduces the ufunc in a given use is for the caller to verify.
kernels::UfuncLoop float64_loop(nb::handle np, nb::handle ufunc, int nin);

// True when the float64 array `expected` holds exactly the bits of `got[0..n)`.
bool same_bits(nb::handle expected, const double *got, std::size_t n);

}  // namespace duv
