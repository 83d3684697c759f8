// Merging the Gaussian predictions of several experts (a mean and a standard deviation
// each) over the expert axis of a stack, with NumPy's arithmetic: every operation rounds
// in the dtype NumPy would use, and sums follow NumPy's order (a running sum per column,
// or its pairwise summation when the stack has a single column), so that the results are
// bit-identical to the NumPy expressions of the same steps.
#pragma once

#include <cfenv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace duv::kernels::mixture {

enum class Method { Simple, InverseVariance, Mixture };

// NumPy's pairwise summation (its add-reduce inner loop) of n values `stride` apart.
template <typename T> T pairwise_sum(const T *a, std::ptrdiff_t n, std::ptrdiff_t stride) {
    if (n < 8) {
        T res = T(-0.0);
        for (std::ptrdiff_t i = 0; i < n; ++i) res += a[i * stride];
        return res;
    }
    if (n <= 128) {
        T r[8];
        for (int j = 0; j < 8; ++j) r[j] = a[j * stride];
        std::ptrdiff_t i = 8;
        for (; i < n - (n % 8); i += 8)
            for (int j = 0; j < 8; ++j) r[j] += a[(i + j) * stride];
        T res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += a[i * stride];
        return res;
    }
    std::ptrdiff_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum(a, n2, stride) + pairwise_sum(a + n2 * stride, n - n2, stride);
}

// out[c] = the sum over slots s of f(s, c), as np.sum(..., axis=0) adds up a stack whose
// entries beyond the expert axis number `width`: from +0, pairwise when width is 1.
template <typename R, typename F> inline void reduce_slots(size_t k, size_t width, F &&f, R *out, R *buf) {
    if (width == 1) {
        for (size_t s = 0; s < k; ++s) buf[s] = f(s, size_t(0));
        out[0] = R(0) + pairwise_sum(buf, (std::ptrdiff_t)k, 1);
        return;
    }
    for (size_t c = 0; c < width; ++c) out[c] = R(0);
    for (size_t s = 0; s < k; ++s)
        for (size_t c = 0; c < width; ++c) out[c] += f(s, c);
}

// np.maximum(v, floor): NaN propagates. Branch-free so that loops over it vectorise; the
// ordered comparison is not reached for NaN, so it raises no floating-point exception.
inline double floor_at(double v, double floor) { return (v != v || v >= floor) ? v : floor; }

// One block: slot s (an expert) holds `width` means at mp[s] and standard deviations at
// sp[s]; the slots' arrays must not overlap the outputs. `w` holds the k mixture weights
// (nullptr: np.ones(k) / k). R is the dtype NumPy computes in: T for the simple and
// inverse-variance methods, float64 for the mixture (its weights are float64). The
// mixture variance is sum(w * (var + (mean - mixture_mean)**2)), floored at eps. The
// results are accumulated in place in `out_mean`/`out_std`, of type R.
template <typename T, typename R>
void aggregate_into(Method method, size_t k, size_t width, const T *const *mp, const T *const *sp, const double *w,
                    double eps, R *out_mean, R *out_std, R *buf) {
    if constexpr (!std::is_same_v<R, double>) {
        if (method == Method::Mixture) return;  // not instantiated with these types
    }
    if (method == Method::Simple) {
        reduce_slots<R>(k, width, [&](size_t s, size_t c) { return mp[s][c]; }, out_mean, buf);
        reduce_slots<R>(
            k, width,
            [&](size_t s, size_t c) {
                T v = sp[s][c];
                return T(v * v);
            },
            out_std, buf);
        const T kk = T(k);
        for (size_t c = 0; c < width; ++c) {
            out_mean[c] = T(out_mean[c] / kk);
            out_std[c] = T(std::sqrt(T(out_std[c] / kk)));
        }
    } else if (method == Method::InverseVariance) {
        const T e = T(eps);
        auto inv = [&](size_t s, size_t c) {
            T v = sp[s][c];
            return T(T(1) / T(T(v * v) + e));
        };
        R *total = out_std;
        reduce_slots<R>(k, width, inv, total, buf);
        reduce_slots<R>(
            k, width, [&](size_t s, size_t c) { return T(T(inv(s, c) / total[c]) * mp[s][c]); }, out_mean, buf);
        for (size_t c = 0; c < width; ++c) out_std[c] = T(std::sqrt(T(T(1) / total[c])));
    } else {
        const double equal = 1.0 / double(k);
        auto wt = [&](size_t s) { return w ? w[s] : equal; };
        reduce_slots<R>(k, width, [&](size_t s, size_t c) { return wt(s) * double(mp[s][c]); }, out_mean, buf);
        // Spread about the mixture mean, not raw second moments: sum(w * (var + mean**2)) -
        // mean**2 cancels away the variances when |mean| >> std.
        reduce_slots<R>(
            k, width,
            [&](size_t s, size_t c) {
                T v = sp[s][c];
                double d = double(mp[s][c]) - out_mean[c];
                return wt(s) * (double(T(v * v)) + d * d);
            },
            out_std, buf);
        for (size_t c = 0; c < width; ++c) out_std[c] = std::sqrt(floor_at(out_std[c], eps));
    }
}

// A whole C-contiguous stack (k, ncols): the NumPy expressions on the stack itself.
// R as for aggregate_into.
template <typename T, typename R>
void aggregate_stack(Method method, size_t k, size_t ncols, const T *means, const T *stds, const double *w, double eps,
                     R *out_mean, R *out_std) {
    std::vector<const T *> mp(k), sp(k);
    std::vector<R> buf(k);
    for (size_t s = 0; s < k; ++s) {
        mp[s] = means + s * ncols;
        sp[s] = stds + s * ncols;
    }
    aggregate_into<T, R>(method, k, ncols, mp.data(), sp.data(), w, eps, out_mean, out_std, buf.data());
}

// Rows grouped by expert. `active` (n, k) holds every row's experts; after the call, the
// rows of expert j are rows[offsets[j]:offsets[j + 1]] in increasing order, and
// pos[i * k + s] is the place of row i among the rows of expert active[i * k + s].
// Returns false if an index lies outside [0, n_experts).
inline bool group_rows(const int64_t *active, size_t n, size_t k, size_t n_experts, std::vector<size_t> &offsets,
                       std::vector<int64_t> &rows, std::vector<int64_t> &pos) {
    offsets.assign(n_experts + 1, 0);
    for (size_t t = 0; t < n * k; ++t) {
        int64_t j = active[t];
        if (j < 0 || (uint64_t)j >= n_experts) return false;
        ++offsets[(size_t)j + 1];
    }
    for (size_t j = 0; j < n_experts; ++j) offsets[j + 1] += offsets[j];
    std::vector<size_t> fill(offsets.begin(), offsets.end() - 1);
    rows.resize(n * k);
    pos.resize(n * k);
    for (size_t i = 0; i < n; ++i)
        for (size_t s = 0; s < k; ++s) {
            size_t j = (size_t)active[i * k + s];
            pos[i * k + s] = (int64_t)(fill[j] - offsets[j]);
            rows[fill[j]++] = (int64_t)i;
        }
    return true;
}

// Row by row: row i merges its k experts' predictions for that row (group j's
// predictions for its rows are at group_means[j], `width` values per row), exactly as a
// stack of shape (k, 1[, width]) built for row i alone would be merged. `weights` holds k
// mixture weights per row (nullptr: equal weights). Results are float64.
template <typename T>
void aggregate_routed(Method method, size_t n, size_t k, size_t width, const int64_t *active, const int64_t *pos,
                      const T *const *group_means, const T *const *group_stds, const double *weights, double eps,
                      double *out_mean, double *out_std) {
    std::vector<T> acc(2 * width), buf(k);
    std::vector<double> buf_d(k);
    std::vector<const T *> mp(k), sp(k);
    for (size_t i = 0; i < n; ++i) {
        for (size_t s = 0; s < k; ++s) {
            size_t j = (size_t)active[i * k + s];
            size_t at = (size_t)pos[i * k + s] * width;
            mp[s] = group_means[j] + at;
            sp[s] = group_stds[j] + at;
        }
        double *om = out_mean + i * width, *os = out_std + i * width;
        if (method == Method::Mixture || std::is_same_v<T, double>) {
            aggregate_into<T, double>(method, k, width, mp.data(), sp.data(), weights ? weights + i * k : nullptr, eps,
                                      om, os, buf_d.data());
        } else {
            // float32 results, stored as float64
            aggregate_into<T, T>(method, k, width, mp.data(), sp.data(), nullptr, eps, acc.data(), acc.data() + width,
                                 buf.data());
            for (size_t c = 0; c < width; ++c) {
                om[c] = double(acc[c]);
                os[c] = double(acc[width + c]);
            }
        }
    }
}

// The per-row stacks of aggregate_routed laid side by side: out[(s * n + i) * width + c].
template <typename T>
void gather_routed(size_t n, size_t k, size_t width, const int64_t *active, const int64_t *pos, const T *const *group,
                   T *out) {
    for (size_t s = 0; s < k; ++s)
        for (size_t i = 0; i < n; ++i) {
            const T *src = group[(size_t)active[i * k + s]] + (size_t)pos[i * k + s] * width;
            T *dst = out + (s * n + i) * width;
            for (size_t c = 0; c < width; ++c) dst[c] = src[c];
        }
}

// The first `head` entries of np.argsort along lines of `len` values (`step` apart; line
// l starts at a + l * line_step), written to out[h * out_step + l * out_line_step].
// Distinct values have one sorted order, so this equals NumPy's result whatever its sort
// algorithm; returns false (NumPy must sort) if a NaN or a tie within the first head + 1
// values could make the order depend on the algorithm.
template <typename T>
bool argsort_head(const T *a, size_t n_lines, size_t len, std::ptrdiff_t step, std::ptrdiff_t line_step, size_t head,
                  int64_t *out, std::ptrdiff_t out_step, std::ptrdiff_t out_line_step) {
    if (head > len) head = len;
    size_t m = head < len ? head + 1 : len;  // kept: the m smallest, in order
    std::vector<T> kv(m);
    std::vector<int64_t> ki(m);
    for (size_t l = 0; l < n_lines; ++l) {
        const T *line = a + (std::ptrdiff_t)l * line_step;
        size_t size = 0;
        for (size_t i = 0; i < len; ++i) {
            T v = line[(std::ptrdiff_t)i * step];
            if (v != v) return false;
            if (size == m && !(v < kv[m - 1])) continue;
            size_t at = size < m ? size++ : m - 1;
            while (at > 0 && v < kv[at - 1]) {
                kv[at] = kv[at - 1];
                ki[at] = ki[at - 1];
                --at;
            }
            kv[at] = v;
            ki[at] = (int64_t)i;
        }
        for (size_t h = 1; h < m; ++h)
            if (!(kv[h - 1] < kv[h])) return false;
        for (size_t h = 0; h < head; ++h) out[(std::ptrdiff_t)h * out_step + (std::ptrdiff_t)l * out_line_step] = ki[h];
    }
    return true;
}

extern template bool argsort_head<double>(const double *, size_t, size_t, std::ptrdiff_t, std::ptrdiff_t, size_t,
                                          int64_t *, std::ptrdiff_t, std::ptrdiff_t);
extern template bool argsort_head<float>(const float *, size_t, size_t, std::ptrdiff_t, std::ptrdiff_t, size_t,
                                         int64_t *, std::ptrdiff_t, std::ptrdiff_t);
extern template void aggregate_stack<double, double>(Method, size_t, size_t, const double *, const double *,
                                                     const double *, double, double *, double *);
extern template void aggregate_stack<float, float>(Method, size_t, size_t, const float *, const float *, const double *,
                                                   double, float *, float *);
extern template void aggregate_stack<float, double>(Method, size_t, size_t, const float *, const float *,
                                                    const double *, double, double *, double *);
extern template void aggregate_routed<double>(Method, size_t, size_t, size_t, const int64_t *, const int64_t *,
                                              const double *const *, const double *const *, const double *, double,
                                              double *, double *);
extern template void aggregate_routed<float>(Method, size_t, size_t, size_t, const int64_t *, const int64_t *,
                                             const float *const *, const float *const *, const double *, double,
                                             double *, double *);

// Floating-point exceptions raised while in scope (the caller's flags are restored on
// exit). NumPy turns these into warnings or errors, so a kernel that raises one leaves
// the work to NumPy.
class FpWatch {
public:
    FpWatch() {
        std::fegetexceptflag(&saved_, FE_ALL_EXCEPT);
        std::feclearexcept(FE_ALL_EXCEPT);
    }
    ~FpWatch() { std::fesetexceptflag(&saved_, FE_ALL_EXCEPT); }
    bool troubled() const { return std::fetestexcept(FE_DIVBYZERO | FE_OVERFLOW | FE_INVALID) != 0; }
    bool underflowed() const { return std::fetestexcept(FE_UNDERFLOW) != 0; }

private:
    std::fexcept_t saved_;
};

}  // namespace duv::kernels::mixture
