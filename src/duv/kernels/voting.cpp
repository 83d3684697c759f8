#include "duv/kernels/voting.hpp"

#include "duv/kernels/fp_flags.hpp"
#include "duv/kernels/pairwise_sum.hpp"

#include <cmath>
#include <vector>

namespace duv::kernels::voting {

namespace {

// np.add.reduce over the member axis: NumPy's pairwise sum along a contiguous axis, or
// the identity +0 plus the members one after another.
double member_sum(const double *v, std::ptrdiff_t k, bool pairwise) {
    if (pairwise) return numpy_sum(v, k);
    double s = 0.0;
    for (std::ptrdiff_t j = 0; j < k; ++j) s += v[j];
    return s;
}

struct Row {
    std::vector<double> a, t;  // the members' predictions for one (sample, output); scratch
    explicit Row(std::ptrdiff_t k) : a(static_cast<size_t>(k)), t(static_cast<size_t>(k)) {}
};

// mean and, if wanted, the population variance of one (sample, output), unweighted:
// a.mean() and np.var(a) (sum of squared deviations divided by the count).
void unweighted(Row &r, std::ptrdiff_t k, bool pairwise, double &mean, double *var) {
    const double count = static_cast<double>(k);
    mean = member_sum(r.a.data(), k, pairwise) / count;
    if (!var) return;
    for (std::ptrdiff_t j = 0; j < k; ++j) {
        const double d = r.a[j] - mean;
        r.t[j] = d * d;
    }
    *var = member_sum(r.t.data(), k, pairwise) / count;
}

// np.average(a, weights=w) = sum(a * w) / sum(w), and the same average of (a - mean) ** 2.
void weighted(Row &r, const double *w, double scale, std::ptrdiff_t k, bool pairwise, double &mean, double *var) {
    for (std::ptrdiff_t j = 0; j < k; ++j) r.t[j] = r.a[j] * w[j];
    mean = member_sum(r.t.data(), k, pairwise) / scale;
    if (!var) return;
    for (std::ptrdiff_t j = 0; j < k; ++j) {
        const double d = r.a[j] - mean;
        r.t[j] = (d * d) * w[j];
    }
    *var = member_sum(r.t.data(), k, pairwise) / scale;
}

}  // namespace

bool statistics(const Stack &p, const double *weights, double *mean, double *std) {
    FpFlags guard;
    // wgt.sum() over the broadcast weights: a contiguous reduction.
    const double scale = weights ? numpy_sum(weights, p.k) : 0.0;
    if (weights && scale == 0.0) return false;
    Row r(p.k);
    for (std::ptrdiff_t i = 0; i < p.n; ++i) {
        for (std::ptrdiff_t c = 0; c < p.o; ++c) {
            const char *base = p.data + i * p.s0 + c * p.s2;
            for (std::ptrdiff_t j = 0; j < p.k; ++j) r.a[j] = *reinterpret_cast<const double *>(base + j * p.s1);
            const std::ptrdiff_t at = i * p.o + c;
            double var = 0.0;
            if (weights)
                weighted(r, weights, scale, p.k, p.pairwise, mean[at], std ? &var : nullptr);
            else
                unweighted(r, p.k, p.pairwise, mean[at], std ? &var : nullptr);
            if (std) std[at] = std::sqrt(var);
        }
    }
    return !FpFlags::troubled() && !FpFlags::underflowed();
}

void stack_columns(const double *const *columns, std::ptrdiff_t k, std::ptrdiff_t n, double *out) {
    for (std::ptrdiff_t i = 0; i < n; ++i)
        for (std::ptrdiff_t j = 0; j < k; ++j) out[i * k + j] = columns[j][i];
}

}  // namespace duv::kernels::voting
