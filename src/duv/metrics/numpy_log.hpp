// NumPy's float64 logarithms as the log-metric kernel applies them: the ufunc's own inner
// loop (its SIMD code) when it reproduces the ufunc bit for bit, else the ufunc called on
// each block; and the replay of the floating-point warnings that the logarithm of a whole
// array raises, through NumPy, so that np.errstate and warning filters apply.
#pragma once

#include "duv/interop/core.hpp"
#include "duv/kernels/log_metrics.hpp"
#include "duv/kernels/ufunc_loop.hpp"

namespace duv::logm {

class NumpyLog {
public:
    // np.<name>; the logarithm of `divide_at` raises only division by zero, that of
    // `invalid_at` only an invalid operation. Kept for the life of the process.
    void init(nb::handle np, const char *name, double divide_at, double invalid_at);

    // Whether the kernel may run it with the GIL released (NumPy's loop, not the ufunc object).
    bool direct() const { return static_cast<bool>(loop_); }
    kernels::logm::Transform transform() const { return direct() ? direct_transform : ufunc_transform; }

    // Raises the warnings of kernels::logm::kDivide / kInvalid `flags` as NumPy would.
    void replay(unsigned flags) const;

private:
    static void direct_transform(const void *self, const double *in, double *out, std::ptrdiff_t n);
    static void ufunc_transform(const void *self, const double *in, double *out, std::ptrdiff_t n);
    void find_loop(nb::handle np);

    PyObject *ufunc_ = nullptr, *frombuffer_ = nullptr, *float64_ = nullptr;
    PyObject *probe_[4] = {};  // arrays whose logarithm raises exactly the flags i
    kernels::UfuncLoop loop_;
};

}  // namespace duv::logm
