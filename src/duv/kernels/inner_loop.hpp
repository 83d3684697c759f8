// NumPy's inner-loop calling convention (PyUFuncGenericFunction, with npy_intp as
// ptrdiff_t), so that a kernel can run NumPy's own element loops, SIMD code included, and
// agree with NumPy's functions to the last bit. The loops touch no Python object.
#pragma once

#include <cstddef>

namespace duv::kernels {

using UfuncLoopFn = void (*)(char **args, const std::ptrdiff_t *dimensions, const std::ptrdiff_t *steps, void *data);

struct UfuncLoop {
    UfuncLoopFn fn = nullptr;
    void *data = nullptr;

    explicit operator bool() const { return fn != nullptr; }

    // NumPy's inner loops take every operand as `char *`; they only read the inputs.
    // NOLINTBEGIN(cppcoreguidelines-pro-type-const-cast)
    // out[i] = f(in[i]) over n contiguous doubles.
    void unary(const double *in, double *out, std::ptrdiff_t n) const {
        char *args[2] = {const_cast<char *>(reinterpret_cast<const char *>(in)), reinterpret_cast<char *>(out)};
        const std::ptrdiff_t steps[2] = {sizeof(double), sizeof(double)};
        fn(args, &n, steps, data);
    }
    // out[i] = f(*first, in[i]) over n contiguous doubles, the first operand broadcast the
    // way NumPy passes a scalar (a zero stride).
    void binary_broadcast_first(const double *first, const double *in, double *out, std::ptrdiff_t n) const {
        char *args[3] = {const_cast<char *>(reinterpret_cast<const char *>(first)),
                         const_cast<char *>(reinterpret_cast<const char *>(in)), reinterpret_cast<char *>(out)};
        const std::ptrdiff_t steps[3] = {0, sizeof(double), sizeof(double)};
        fn(args, &n, steps, data);
    }
    // NOLINTEND(cppcoreguidelines-pro-type-const-cast)
};

}  // namespace duv::kernels
