// NumPy's float64 logarithms as the metric kernel applies them: the ufunc's own inner loop
// when it reproduces the ufunc bit for bit, else the ufunc on each block; and the warnings of
// the logarithm of a whole array replayed through NumPy, so that np.errstate applies.
#pragma once

#include "duv/interop/module_state.hpp"
#include "duv/kernels/inner_loop.hpp"
#include "duv/kernels/metric_sums.hpp"

namespace duv::metrics {

class NumpyLog {
public:
    // np.<name>; the logarithm of `divide_at` raises only division by zero, that of
    // `invalid_at` only an invalid operation. What it uses is kept by `st`.
    void init(ModuleState &st, nb::handle np, const char *name, double divide_at, double invalid_at);

    // Whether the kernel may run it with the GIL released (NumPy's loop, not the ufunc object).
    bool direct() const { return static_cast<bool>(loop_); }
    kernels::metric_sums::Transform transform() const { return direct() ? direct_transform : ufunc_transform; }

    // Raises the warnings of kernels::metric_sums::kDivide / kInvalid `flags` as NumPy would.
    void replay(unsigned flags) const;

private:
    static void direct_transform(const void *self, const double *in, double *out, std::ptrdiff_t n);
    static void ufunc_transform(const void *self, const double *in, double *out, std::ptrdiff_t n);

    nb::handle ufunc_, frombuffer_, float64_;
    nb::handle probe_[4];  // arrays whose logarithm raises exactly the flags i
    kernels::UfuncLoop loop_;
};

}  // namespace duv::metrics
