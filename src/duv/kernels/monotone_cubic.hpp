// Monotone piecewise-cubic Hermite interpolation through points of increasing abscissa: the
// derivatives of Fritsch and Carlson with the three-point end slopes, the cubic's coefficients
// and their evaluation in the order SciPy's PchipInterpolator computes them. Beyond the first
// and last points the curve is constant (each side's value may be set apart, for a step). The
// abscissae are scaled by a power of two, which changes no rounding, so that any finite spread
// can be interpolated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace duv::kernels::monotone_cubic {

struct Curve {
    std::vector<double> x;               // abscissae, times `scale`
    std::vector<double> c0, c1, c2, c3;  // per interval: c3 + c2 s + c1 s^2 + c0 s^3, s = v - x[k]
    double first = 0.0, last = 0.0;      // the values at the first and last points
    double below = 0.0, above = 0.0;     // the values strictly before the first and after the last point
    double scale = 1.0;                  // a power of two bringing the abscissae into [-1, 1]
};

// True when the m >= 1 points have finite abscissae in strictly increasing order and finite
// values in [0, 1].
bool valid_points(const double *x, const double *y, std::ptrdiff_t m);

// The curve through m >= 1 valid points; `below` and `above` start as the end values.
Curve through(const double *x, const double *y, std::ptrdiff_t m);

// out[i] = curve(v[i]) clipped to [0, 1], for n float64 values `stride` bytes apart.
void evaluate(const Curve &c, const char *v, std::ptrdiff_t stride, std::ptrdiff_t n, double *out);

}  // namespace duv::kernels::monotone_cubic
