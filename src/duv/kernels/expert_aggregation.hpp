// Merging the Gaussian predictions of several experts (a mean and a standard deviation
// each) over the expert axis of a stack, with NumPy's arithmetic: every operation rounds
// in the dtype NumPy would use, and sums follow NumPy's order (a running sum per column,
// or its pairwise summation when the stack has a single column), so that the results are
// bit-identical to the NumPy expressions of the same steps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace duv::kernels::expert_aggregation {

enum class Method { Simple, InverseVariance, Mixture };

// A C-contiguous stack (k, ncols): expert s's means at means + s * ncols, its standard
// deviations at stds + s * ncols.
template <typename T> struct Stack {
    std::size_t k, ncols;
    const T *means, *stds;
};

// The NumPy expressions on a whole stack, into ncols means and standard deviations. R is
// the dtype NumPy computes in: T for the simple and inverse-variance methods, float64 for
// the mixture (its weights are float64). `w` holds the k mixture weights (nullptr:
// np.ones(k) / k). Instantiated in expert_aggregation.cpp for (T, R) = (double, double),
// (float, float) and, for the mixture, (float, double).
template <typename T, typename R>
void aggregate_stack(Method method, const Stack<T> &stack, const double *w, double eps, R *out_mean, R *out_std);

// Rows routed to their experts, as RowGroups arranges them: row i's experts are
// active[i * k + s]; expert j predicted all of its rows in one call, `width` values per
// row at means[j] and stds[j] (null for an expert without rows), row i at place
// pos[i * k + s].
template <typename T> struct Routed {
    std::size_t n, k, width;
    const int64_t *active, *pos;
    const T *const *means;
    const T *const *stds;

    // Offset of row i's predictions by its s-th expert.
    std::size_t at(std::size_t i, std::size_t s) const { return static_cast<std::size_t>(pos[i * k + s]) * width; }
    std::size_t expert(std::size_t i, std::size_t s) const { return static_cast<std::size_t>(active[i * k + s]); }
};

// Rows grouped by expert. `active` (n, k) holds every row's experts; the rows of expert j are
// rows[offsets[j]:offsets[j + 1]] in increasing order, and pos[i * k + s] is the place of row
// i among the rows of expert active[i * k + s].
struct RowGroups {
    std::size_t n = 0, k = 0, n_experts = 0;
    std::vector<int64_t> active, rows, pos;
    std::vector<std::size_t> offsets;

    // Groups the rows of `active`; false if an index lies outside [0, n_experts).
    bool assign(const int64_t *active_, std::size_t n_, std::size_t k_, std::size_t n_experts_) {
        n = n_, k = k_, n_experts = n_experts_;
        active.assign(active_, active_ + n * k);
        offsets.assign(n_experts + 1, 0);
        for (int64_t j : active) {
            if (j < 0 || static_cast<uint64_t>(j) >= n_experts) return false;
            ++offsets[static_cast<std::size_t>(j) + 1];
        }
        for (std::size_t j = 0; j < n_experts; ++j) offsets[j + 1] += offsets[j];
        std::vector<std::size_t> fill(offsets.begin(), offsets.end() - 1);
        rows.resize(n * k);
        pos.resize(n * k);
        for (std::size_t t = 0; t < n * k; ++t) {
            auto j = static_cast<std::size_t>(active[t]);
            pos[t] = static_cast<int64_t>(fill[j] - offsets[j]);
            rows[fill[j]++] = static_cast<int64_t>(t / k);
        }
        return true;
    }
    std::size_t count(std::size_t j) const { return offsets[j + 1] - offsets[j]; }
    // The routed view, given every expert's predictions for its rows.
    template <typename T> Routed<T> routed(std::size_t width, const T *const *means, const T *const *stds) const {
        return {n, k, width, active.data(), pos.data(), means, stds};
    }
};

// Row by row: row i merges its k experts' predictions for that row, exactly as a stack of
// shape (k, 1[, width]) built for row i alone would be merged. `weights` holds k mixture
// weights per row (nullptr: equal weights). Results are float64. Instantiated in
// expert_aggregation.cpp for float and double.
template <typename T>
void aggregate_routed(Method method, const Routed<T> &r, const double *weights, double eps, double *out_mean,
                      double *out_std);

// The per-row stacks of aggregate_routed laid side by side, (k, n[, width]): the means,
// or the standard deviations when `stds`.
template <typename T> void gather_routed(const Routed<T> &r, bool stds, T *out) {
    const T *const *group = stds ? r.stds : r.means;
    for (std::size_t s = 0; s < r.k; ++s)
        for (std::size_t i = 0; i < r.n; ++i) {
            const T *src = group[r.expert(i, s)] + r.at(i, s);
            T *dst = out + (s * r.n + i) * r.width;
            for (std::size_t c = 0; c < r.width; ++c) dst[c] = src[c];
        }
}

// The first `head` entries of np.argsort along lines of `len` values (`step` apart; line
// l starts at a + l * line_step), written to out[h * out_step + l * out_line_step].
// Distinct values have one sorted order, so this equals NumPy's result whatever its sort
// algorithm; returns false (NumPy must sort) if a NaN or a tie within the first head + 1
// values could make the order depend on the algorithm.
template <typename T>
bool argsort_head(const T *a, std::size_t n_lines, std::size_t len, std::ptrdiff_t step, std::ptrdiff_t line_step,
                  std::size_t head, int64_t *out, std::ptrdiff_t out_step, std::ptrdiff_t out_line_step) {
    if (head > len) head = len;
    std::size_t m = head < len ? head + 1 : len;  // kept: the m smallest, in order
    std::vector<T> kv(m);
    std::vector<int64_t> ki(m);
    for (std::size_t l = 0; l < n_lines; ++l) {
        const T *line = a + static_cast<std::ptrdiff_t>(l) * line_step;
        std::size_t size = 0;
        for (std::size_t i = 0; i < len; ++i) {
            T v = line[static_cast<std::ptrdiff_t>(i) * step];
            if (v != v) return false;
            if (size == m && !(v < kv[m - 1])) continue;
            std::size_t at = size < m ? size++ : m - 1;
            while (at > 0 && v < kv[at - 1]) {
                kv[at] = kv[at - 1];
                ki[at] = ki[at - 1];
                --at;
            }
            kv[at] = v;
            ki[at] = static_cast<int64_t>(i);
        }
        for (std::size_t h = 1; h < m; ++h)
            if (!(kv[h - 1] < kv[h])) return false;
        for (std::size_t h = 0; h < head; ++h)
            out[static_cast<std::ptrdiff_t>(h) * out_step + static_cast<std::ptrdiff_t>(l) * out_line_step] = ki[h];
    }
    return true;
}

// The first `head` entries of np.argsort(a, axis=axis) for a C-ordered (rows, cols) matrix,
// into a C-ordered (head, cols) matrix for axis 0, (rows, head) for axis 1; as argsort_head.
template <typename T>
bool argsort_head_of_matrix(const T *a, std::size_t rows, std::size_t cols, int axis, std::size_t head, int64_t *out) {
    const auto c = static_cast<std::ptrdiff_t>(cols), h = static_cast<std::ptrdiff_t>(head);
    if (axis == 0) return argsort_head(a, cols, rows, c, 1, head, out, c, 1);
    return argsort_head(a, rows, cols, 1, c, head, out, 1, h);
}

}  // namespace duv::kernels::expert_aggregation
