#include "duv/kernels/monotone_cubic.hpp"

#include <cmath>
#include <cstring>

namespace duv::kernels::monotone_cubic {

namespace {

double sign(double v) { return v > 0.0 ? 1.0 : (v < 0.0 ? -1.0 : 0.0); }

// The one-sided three-point derivative at an end, kept monotone.
double end_slope(double h0, double h1, double m0, double m1) {
    const double d = ((2.0 * h0 + h1) * m0 - h0 * m1) / (h0 + h1);
    if (sign(d) != sign(m0)) return 0.0;
    if (sign(m0) != sign(m1) && std::fabs(d) > 3.0 * std::fabs(m0)) return 3.0 * m0;
    return d;
}

std::vector<double> derivatives(const std::vector<double> &h, const std::vector<double> &slope) {
    const size_t m = h.size() + 1;
    std::vector<double> d(m, 0.0);
    if (m == 2) {
        d[0] = d[1] = slope[0];
        return d;
    }
    for (size_t k = 1; k + 1 < m; ++k) {
        const double a = slope[k - 1], b = slope[k];
        if (sign(a) != sign(b) || a == 0.0 || b == 0.0) continue;
        const double w1 = 2.0 * h[k] + h[k - 1], w2 = h[k] + 2.0 * h[k - 1];
        const double whmean = (w1 / a + w2 / b) / (w1 + w2);
        d[k] = 1.0 / whmean;
    }
    d[0] = end_slope(h[0], h[1], slope[0], slope[1]);
    d[m - 1] = end_slope(h[m - 2], h[m - 3], slope[m - 2], slope[m - 3]);
    return d;
}

}  // namespace

bool valid_points(const double *x, const double *y, std::ptrdiff_t m) {
    if (m < 1) return false;
    for (std::ptrdiff_t k = 0; k < m; ++k) {
        if (!std::isfinite(x[k]) || std::isnan(y[k]) || y[k] < 0.0 || y[k] > 1.0) return false;
        if (k > 0 && !(x[k] > x[k - 1])) return false;
    }
    return true;
}

Curve through(const double *x, const double *y, std::ptrdiff_t m) {
    Curve c;
    c.first = c.below = y[0];
    c.last = c.above = y[m - 1];
    c.x.assign(x, x + m);
    // The abscissae scaled by a power of two into [-1, 1], so that no spacing or power of one
    // overflows or underflows; the operations on scaled values round as on the originals.
    const double top = std::fmax(std::fabs(x[0]), std::fabs(x[m - 1]));
    if (top > 0.0) c.scale = std::ldexp(1.0, -std::ilogb(top) - 1);
    for (double &v : c.x) v *= c.scale;
    if (m == 1) return c;
    const size_t n = static_cast<size_t>(m - 1);
    std::vector<double> h(n), slope(n);
    for (size_t k = 0; k < n; ++k) {
        h[k] = c.x[k + 1] - c.x[k];
        slope[k] = (y[k + 1] - y[k]) / h[k];
    }
    const std::vector<double> d = derivatives(h, slope);
    c.c0.resize(n);
    c.c1.resize(n);
    c.c2.resize(n);
    c.c3.resize(n);
    for (size_t k = 0; k < n; ++k) {
        const double t = (d[k] + d[k + 1] - 2.0 * slope[k]) / h[k];
        c.c0[k] = t / h[k];
        c.c1[k] = (slope[k] - d[k]) / h[k] - t;
        c.c2[k] = d[k];
        c.c3[k] = y[k];
    }
    return c;
}

void evaluate(const Curve &c, const char *v, std::ptrdiff_t stride, std::ptrdiff_t n, double *out) {
    const double *x = c.x.data();
    const size_t m = c.x.size();
    const double lo = x[0], hi = x[m - 1];
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        double value;
        std::memcpy(&value, v + i * stride, sizeof value);
        const double s0 = value * c.scale;
        double r;
        if (s0 < lo)
            r = c.below;
        else if (s0 > hi)
            r = c.above;
        else if (s0 == hi)
            r = c.last;
        else if (m == 1)
            r = c.first;
        else {
            // The interval [x[k], x[k + 1]) holding the value.
            size_t a = 0, b = m - 1;
            while (b - a > 1) {
                const size_t mid = (a + b) / 2;
                if (x[mid] <= s0)
                    a = mid;
                else
                    b = mid;
            }
            const double s = s0 - x[a];
            double z = s;
            r = c.c3[a];
            r = r + c.c2[a] * z;
            z *= s;
            r = r + c.c1[a] * z;
            z *= s;
            r = r + c.c0[a] * z;
        }
        out[i] = r < 0.0 ? 0.0 : (r > 1.0 ? 1.0 : r);
    }
}

}  // namespace duv::kernels::monotone_cubic
