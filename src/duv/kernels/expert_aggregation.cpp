// The aggregation kernels, compiled with -fno-math-errno so that their sqrt loops vectorise.
#include "duv/kernels/expert_aggregation.hpp"

#include "duv/kernels/pairwise_sum.hpp"

#include <cmath>
#include <type_traits>

namespace duv::kernels::expert_aggregation {

namespace {

// The k experts' predictions for one block of `width` entries: expert s's means at
// means[s], its standard deviations at stds[s]. They must not overlap the outputs.
template <typename T> struct Block {
    std::size_t k, width;
    const T *const *means;
    const T *const *stds;
};

// out[c] = the sum over experts s of f(s, c), as np.sum(..., axis=0) adds up a stack whose
// entries beyond the expert axis number `width`: from +0, pairwise when width is 1.
template <typename R, typename F> void reduce_experts(std::size_t k, std::size_t width, F &&f, R *out, R *buf) {
    if (width == 1) {
        for (std::size_t s = 0; s < k; ++s) buf[s] = f(s, static_cast<std::size_t>(0));
        out[0] = numpy_sum(buf, static_cast<std::ptrdiff_t>(k));
        return;
    }
    for (std::size_t c = 0; c < width; ++c) out[c] = R(0);
    for (std::size_t s = 0; s < k; ++s)
        for (std::size_t c = 0; c < width; ++c) out[c] += f(s, c);
}

// np.maximum(v, floor): NaN propagates. Branch-free so that loops over it vectorise; the
// ordered comparison is not reached for NaN, so it raises no floating-point exception.
inline double floor_at(double v, double floor) { return (v != v || v >= floor) ? v : floor; }

// np.mean(means, axis=0) and np.sqrt(np.mean(stds ** 2, axis=0)), in T.
template <typename T> void simple_into(const Block<T> &b, T *out_mean, T *out_std, T *buf) {
    reduce_experts<T>(b.k, b.width, [&](std::size_t s, std::size_t c) { return b.means[s][c]; }, out_mean, buf);
    reduce_experts<T>(
        b.k, b.width,
        [&](std::size_t s, std::size_t c) {
            T v = b.stds[s][c];
            return T(v * v);
        },
        out_std, buf);
    const T k = T(b.k);
    for (std::size_t c = 0; c < b.width; ++c) {
        out_mean[c] = T(out_mean[c] / k);
        out_std[c] = T(std::sqrt(T(out_std[c] / k)));
    }
}

// inv = 1 / (stds ** 2 + eps); the mean sum(inv / sum(inv) * means) and the standard
// deviation sqrt(1 / sum(inv)), in T (eps as NumPy combines it with a T array).
template <typename T> void inverse_variance_into(const Block<T> &b, double eps, T *out_mean, T *out_std, T *buf) {
    const T e = T(eps);
    auto inv = [&](std::size_t s, std::size_t c) {
        T v = b.stds[s][c];
        return T(T(1) / T(T(v * v) + e));
    };
    T *total = out_std;
    reduce_experts<T>(b.k, b.width, inv, total, buf);
    reduce_experts<T>(
        b.k, b.width, [&](std::size_t s, std::size_t c) { return T(T(inv(s, c) / total[c]) * b.means[s][c]); },
        out_mean, buf);
    for (std::size_t c = 0; c < b.width; ++c) out_std[c] = T(std::sqrt(T(T(1) / total[c])));
}

// The mixture with weights w (nullptr: np.ones(k) / k), in float64 as NumPy computes with
// float64 weights: the mean sum(w * means) and the standard deviation
// sqrt(max(sum(w * (stds ** 2 + (means - mean) ** 2)), eps)).
template <typename T>
void mixture_into(const Block<T> &b, const double *w, double eps, double *out_mean, double *out_std, double *buf) {
    const double equal = 1.0 / double(b.k);
    auto weight = [&](std::size_t s) { return w ? w[s] : equal; };
    reduce_experts<double>(
        b.k, b.width, [&](std::size_t s, std::size_t c) { return weight(s) * double(b.means[s][c]); }, out_mean, buf);
    // Spread about the mixture mean, not raw second moments: sum(w * (var + mean**2)) -
    // mean**2 cancels away the variances when |mean| >> std.
    reduce_experts<double>(
        b.k, b.width,
        [&](std::size_t s, std::size_t c) {
            T v = b.stds[s][c];
            double d = double(b.means[s][c]) - out_mean[c];
            return weight(s) * (double(T(v * v)) + d * d);
        },
        out_std, buf);
    for (std::size_t c = 0; c < b.width; ++c) out_std[c] = std::sqrt(floor_at(out_std[c], eps));
}

// The method on one block. R is the dtype NumPy computes in: T for the simple and
// inverse-variance methods, float64 for the mixture (its weights are float64); other
// combinations compute nothing.
template <typename T, typename R>
void aggregate_block(Method method, const Block<T> &b, const double *w, double eps, R *out_mean, R *out_std, R *buf) {
    if (method == Method::Mixture) {
        if constexpr (std::is_same_v<R, double>) mixture_into(b, w, eps, out_mean, out_std, buf);
    } else if constexpr (std::is_same_v<R, T>) {
        if (method == Method::Simple)
            simple_into(b, out_mean, out_std, buf);
        else
            inverse_variance_into(b, eps, out_mean, out_std, buf);
    }
}

}  // namespace

template <typename T, typename R>
void aggregate_stack(Method method, const Stack<T> &stack, const double *w, double eps, R *out_mean, R *out_std) {
    const std::size_t k = stack.k, ncols = stack.ncols;
    std::vector<const T *> mp(k), sp(k);
    std::vector<R> buf(k);
    for (std::size_t s = 0; s < k; ++s) {
        mp[s] = stack.means + s * ncols;
        sp[s] = stack.stds + s * ncols;
    }
    aggregate_block<T, R>(method, {k, ncols, mp.data(), sp.data()}, w, eps, out_mean, out_std, buf.data());
}

template <typename T>
void aggregate_routed(Method method, const Routed<T> &r, const double *weights, double eps, double *out_mean,
                      double *out_std) {
    const std::size_t k = r.k, width = r.width;
    std::vector<T> acc(2 * width), buf(k);
    std::vector<double> buf_d(k);
    std::vector<const T *> mp(k), sp(k);
    const Block<T> block{k, width, mp.data(), sp.data()};
    for (std::size_t i = 0; i < r.n; ++i) {
        for (std::size_t s = 0; s < k; ++s) {
            mp[s] = r.means[r.expert(i, s)] + r.at(i, s);
            sp[s] = r.stds[r.expert(i, s)] + r.at(i, s);
        }
        double *om = out_mean + i * width, *os = out_std + i * width;
        if (method == Method::Mixture || std::is_same_v<T, double>) {
            aggregate_block<T, double>(method, block, weights ? weights + i * k : nullptr, eps, om, os, buf_d.data());
        } else {
            // float32 results, stored as float64
            aggregate_block<T, T>(method, block, nullptr, eps, acc.data(), acc.data() + width, buf.data());
            for (std::size_t c = 0; c < width; ++c) {
                om[c] = double(acc[c]);
                os[c] = double(acc[width + c]);
            }
        }
    }
}

template void aggregate_stack(Method, const Stack<double> &, const double *, double, double *, double *);
template void aggregate_stack(Method, const Stack<float> &, const double *, double, float *, float *);
template void aggregate_stack(Method, const Stack<float> &, const double *, double, double *, double *);
template void aggregate_routed(Method, const Routed<double> &, const double *, double, double *, double *);
template void aggregate_routed(Method, const Routed<float> &, const double *, double, double *, double *);

}  // namespace duv::kernels::expert_aggregation
