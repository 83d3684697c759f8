// The floating-point exception flags a kernel raises. NumPy turns these into warnings or
// errors (np.errstate), so a kernel that raises one hands the work back to NumPy; the
// caller's flags are restored when the guard goes out of scope.
#pragma once

#include <cfenv>

namespace duv::kernels {

class FpFlags {
public:
    // The flags NumPy reports (inexact is not one of them). Testing them is cheap; saving and
    // clearing the environment is not, so that happens only when the caller has one raised.
    static constexpr int kReported = FE_DIVBYZERO | FE_OVERFLOW | FE_UNDERFLOW | FE_INVALID;

    FpFlags() : callers_(std::fetestexcept(kReported)) {
        if (!callers_) return;
        std::fegetexceptflag(&saved_, kReported);
        std::feclearexcept(kReported);
    }
    ~FpFlags() {
        if (callers_)
            std::fesetexceptflag(&saved_, kReported);
        else if (std::fetestexcept(kReported))
            std::feclearexcept(kReported);
    }
    FpFlags(const FpFlags &) = delete;
    FpFlags &operator=(const FpFlags &) = delete;

    // Division by zero, overflow or an invalid operation since the guard was made (or reset).
    static bool troubled() { return std::fetestexcept(FE_DIVBYZERO | FE_OVERFLOW | FE_INVALID) != 0; }
    static bool underflowed() { return std::fetestexcept(FE_UNDERFLOW) != 0; }
    static void reset() { std::feclearexcept(FE_ALL_EXCEPT); }

    // The flags as they are now, to be put back with restore() (flags of work that does not count).
    static std::fexcept_t snapshot() {
        std::fexcept_t f;
        std::fegetexceptflag(&f, FE_ALL_EXCEPT);
        return f;
    }
    static void restore(const std::fexcept_t &f) { std::fesetexceptflag(&f, FE_ALL_EXCEPT); }

private:
    int callers_;
    std::fexcept_t saved_{};
};

}  // namespace duv::kernels
