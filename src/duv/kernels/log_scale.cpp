#include "duv/kernels/log_scale.hpp"

#include "duv/kernels/fp_flags.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace duv::kernels::log_scale {

namespace {

bool clean() { return !FpFlags::troubled() && !FpFlags::underflowed(); }

// The blocks of [0, n): full blocks, the remainder joined to the last one so that NumPy's
// loop never sees a shorter run than it would at the end of the whole array.
template <typename F> bool for_blocks(std::ptrdiff_t n, std::ptrdiff_t block, F &&f) {
    for (std::ptrdiff_t start = 0; start < n;) {
        std::ptrdiff_t len = n - start < 2 * block ? n - start : block;
        if (!f(start, len)) return false;
        start += len;
    }
    return true;
}

// s = np.maximum(±x, bound) for a bound that is not NaN: NaN kept, anything below the bound
// raised to it. The compare that the compiler makes of it (maxpd) raises the invalid flag on a
// NaN, which NumPy's clip does not report, so the pass leaves the flags as it found them. False
// when a zero meets a zero bound of the other sign (NumPy may keep either).
template <bool Negate> bool bounded(const double *__restrict x, double *__restrict s, std::ptrdiff_t n, double bound) {
    const std::fexcept_t before = FpFlags::snapshot();
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        const double z = Negate ? -x[i] : x[i];
        s[i] = z < bound ? bound : z;
    }
    FpFlags::restore(before);
    if (bound != 0.0) return true;
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        const double z = Negate ? -x[i] : x[i];
        if (z == 0.0 && std::signbit(z) != std::signbit(bound)) return false;
    }
    return true;
}

void negate_in_place(double *v, std::ptrdiff_t n) {
    for (std::ptrdiff_t i = 0; i < n; ++i) v[i] = -v[i];
}

}  // namespace

bool forward(const Forward &f, const double *x, double *out, std::ptrdiff_t n, std::ptrdiff_t block) {
    FpFlags guard;
    if (!f.clip && !f.negate) {
        f.log.unary(x, out, n);
        return clean();
    }
    alignas(64) double scratch[2 * kBlock];
    block = std::min(block, kBlock);
    return for_blocks(n, block, [&](std::ptrdiff_t start, std::ptrdiff_t len) {
        const double *xb = x + start;
        double *ob = out + start;
        bool ok = true;
        if (f.clip)
            ok = f.negate ? bounded<true>(xb, scratch, len, f.bound) : bounded<false>(xb, scratch, len, f.bound);
        else
            for (std::ptrdiff_t i = 0; i < len; ++i) scratch[i] = -xb[i];
        // The next block's values are loaded while NumPy's loop computes this one's logarithms.
        const std::ptrdiff_t ahead = std::min(len, n - start - len);
        for (std::ptrdiff_t i = 0; i < ahead; i += 8) __builtin_prefetch(xb + len + i);
        f.log.unary(scratch, ob, len);
        return ok && clean();
    });
}

bool inverse(const Inverse &f, const double *x, double *out, std::ptrdiff_t n, std::ptrdiff_t block) {
    FpFlags guard;
    static const double ten = 10.0;
    return for_blocks(n, block, [&](std::ptrdiff_t start, std::ptrdiff_t len) {
        if (f.power_of_ten)
            f.exp.binary_broadcast_first(&ten, x + start, out + start, len);
        else
            f.exp.unary(x + start, out + start, len);
        if (f.negate) negate_in_place(out + start, len);
        return clean();
    });
}

}  // namespace duv::kernels::log_scale
