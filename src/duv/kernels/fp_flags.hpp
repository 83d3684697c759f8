// The floating-point exception flags a kernel raises. NumPy turns these into warnings or
// errors (np.errstate), so a kernel that raises one hands the work back to NumPy; the
// caller's flags are restored when the guard goes out of scope.
#pragma once

#include <cfenv>

namespace duv::kernels {

class FpFlags {
public:
    FpFlags() {
        std::fegetexceptflag(&saved_, FE_ALL_EXCEPT);
        std::feclearexcept(FE_ALL_EXCEPT);
    }
    ~FpFlags() { std::fesetexceptflag(&saved_, FE_ALL_EXCEPT); }
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
    std::fexcept_t saved_;
};

}  // namespace duv::kernels
