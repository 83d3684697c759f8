#include "duv/kernels/loop_probes.hpp"

#include <cmath>

namespace duv::kernels {

namespace {

// Deterministic pseudo-random numbers in [0, 1).
class Uniform {
public:
    double operator()() {
        state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(state_ >> 11) * 0x1.0p-53;
    }

private:
    unsigned long long state_ = 0x9e3779b97f4a7c15ULL;
};

}  // namespace

// Probe values for a logarithm: positive numbers over the whole exponent range, numbers
// near 1 and, for log1p, numbers in (-1, 0); NaN and inf. log1p keeps a subnormal input as
// its result and may raise the underflow flag, which sends the kernel back to NumPy anyway,
// so its probe starts at the smallest normal number.
std::vector<double> log_probe(bool log1p) {
    Uniform u;
    std::vector<double> v;
    v.reserve(4009);
    const double lowest = log1p ? -1022.0 : -1074.0;
    for (int i = 0; i < 3000; ++i)
        v.push_back(std::ldexp(1.0 + u(), static_cast<int>(lowest + (1024.0 - lowest) * u())));
    for (int i = 0; i < 500; ++i) v.push_back(1.0 + (u() - 0.5) * std::ldexp(1.0, -(i % 53)));
    if (log1p)
        for (int i = 0; i < 500; ++i) v.push_back(-u() * (1.0 - 0x1.0p-40));
    for (double s : {std::nan(""), HUGE_VAL, 1.0, 2.0, 10.0, 0.5, 0x1.0p-1022, 1.7976931348623157e308}) v.push_back(s);
    if (!log1p) v.push_back(4.9e-324);
    return v;
}

// Probe values for an exponential whose results stay finite and normal for |x| <= limit:
// numbers spread over [-limit, limit], small numbers of both signs, NaN.
std::vector<double> exp_probe(double limit) {
    Uniform u;
    std::vector<double> v;
    v.reserve(4007);
    for (int i = 0; i < 3000; ++i) v.push_back((2.0 * u() - 1.0) * limit);
    for (int i = 0; i < 1000; ++i) v.push_back((u() - 0.5) * std::ldexp(1.0, -(i % 60)));
    for (double s : {std::nan(""), 0.0, -0.0, 1.0, -1.0, limit, -limit}) v.push_back(s);
    return v;
}

}  // namespace duv::kernels
