// Rows of a grown training set, written once in their final order: output row r holds
// combined row s = order[r] (s = r without an order), which is input row s for s < n and a
// copy of input row idx[s - n] otherwise. Copies may carry Gaussian noise from draws that
// RandomState made, added exactly as NumPy adds them:
//   absolute:  x + d                       (d = normal(0, std) as drawn)
//   relative:  x + (0.0 + |x * std| * g)   (g = normal(0, 1.0) as drawn; NumPy's normal
//                                           computes loc + scale * gauss)
#pragma once

#include "duv/kernels/dtype.hpp"
#include "duv/kernels/extent.hpp"
#include "duv/kernels/gather.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

namespace duv::kernels::grown {

struct Rows {
    const int64_t *idx = nullptr;    // input row of each copy
    int64_t n = 0;                   // input rows
    int64_t n_new = 0;               // copies
    const int64_t *order = nullptr;  // n + n_new combined row numbers, or null

    int64_t total() const { return n + n_new; }
    int64_t combined(int64_t r) const { return order ? order[r] : r; }
};

// Every row number addresses the rows it names.
inline bool valid(const Rows &rows) {
    for (int64_t j = 0; j < rows.n_new; ++j)
        if (rows.idx[j] < 0 || rows.idx[j] >= rows.n) return false;
    if (rows.order)
        for (int64_t r = 0; r < rows.total(); ++r)
            if (rows.order[r] < 0 || rows.order[r] >= rows.total()) return false;
    return true;
}

// src[r]: the input row behind every output row. The combined rows are laid out first and
// then read through the order, one independent load per row: resolving input row or copy per
// row would chain two dependent loads behind a branch that a shuffled order mispredicts.
inline void sources(const Rows &rows, int64_t *src) {
    int64_t *table = src;
    std::vector<int64_t> combined;
    if (rows.order) {
        combined.resize(static_cast<size_t>(rows.total()));
        table = combined.data();
    }
    for (int64_t i = 0; i < rows.n; ++i) table[i] = i;
    std::memcpy(table + rows.n, rows.idx, static_cast<size_t>(rows.n_new) * sizeof(int64_t));
    if (rows.order) compose(table, rows.order, rows.total(), src);
}

// One array whose rows are copied: m items of `itemsize` bytes, `cs` bytes apart within a
// row, into the C-ordered `out`.
struct RowCopy {
    const char *src = nullptr;
    std::ptrdiff_t rs = 0, cs = 0;
    int64_t m = 0;
    std::size_t itemsize = 0;
    char *out = nullptr;
};

// out row r = input row src[r].
inline void copy_rows(const RowCopy &a, const int64_t *src, int64_t total) {
    gather_rows(a.src, a.rs, a.cs, a.m, a.itemsize, src, total, a.out);
}

struct Noise {
    const double *draws = nullptr;  // n_new x m, C order
    bool relative = false;
    double scale = 0;  // the relative standard deviation
};

namespace detail {

template <typename T> inline double value(const char *p) {
    T v;
    std::memcpy(&v, p, sizeof(T));
    if constexpr (std::is_same_v<T, bool>)
        return v ? 1.0 : 0.0;
    else
        return static_cast<double>(v);
}

// Starts loading the `bytes` from `p` (a row that a later iteration reads).
inline void prefetch_span(const void *p, std::size_t bytes) {
    for (std::size_t b = 0; b < bytes; b += 64) __builtin_prefetch(static_cast<const char *>(p) + b);
}

template <typename T>
void noisy(const Matrix &x, const Noise &noise, const Rows &rows, const int64_t *src, double *out) {
    constexpr int64_t ahead = 8;
    const int64_t m = x.m;
    const std::size_t row_bytes = static_cast<std::size_t>(m) * sizeof(double);
    for (int64_t r = 0; r < rows.total(); ++r, out += m) {
        if (r + ahead < rows.total()) {
            // The rows that the copies read are scattered (the order is shuffled): their loads start early.
            __builtin_prefetch(x.data + src[r + ahead] * x.rs);
            const int64_t later = rows.combined(r + ahead) - rows.n;
            if (later >= 0) prefetch_span(noise.draws + later * m, row_bytes);
        }
        const char *row = x.data + src[r] * x.rs;
        const int64_t copy = rows.combined(r) - rows.n;
        if (copy < 0) {
            for (int64_t c = 0; c < m; ++c) out[c] = value<T>(row + c * x.cs);
            continue;
        }
        const double *g = noise.draws + copy * m;
        if (noise.relative)
            for (int64_t c = 0; c < m; ++c) {
                const double v = value<T>(row + c * x.cs);
                out[c] = v + (0.0 + std::fabs(v * noise.scale) * g[c]);
            }
        else
            for (int64_t c = 0; c < m; ++c) out[c] = value<T>(row + c * x.cs) + g[c];
    }
}

template <typename T> void scale(const Matrix &x, const Rows &rows, double *draws, double std_) {
    for (int64_t j = 0; j < rows.n_new; ++j) {
        const char *row = x.data + rows.idx[j] * x.rs;
        for (int64_t c = 0; c < x.m; ++c) {
            double &g = draws[j * x.m + c];
            g = 0.0 + std::fabs(value<T>(row + c * x.cs) * std_) * g;
        }
    }
}

}  // namespace detail

// Writes the float64 rows (rows.total() x x.m, C order) of the grown set: input rows as
// float64, copies with their noise. `src` is sources(rows).
inline bool noisy_rows(const Matrix &x, const Noise &noise, const Rows &rows, const int64_t *src, double *out) {
    visit(x.dtype, [&](auto t) { detail::noisy<decltype(t)>(x, noise, rows, src, out); });
    return true;
}

// Turns relative draws g into what normal(0, |x * std|) would have returned:
// draws[j, c] = 0.0 + |x[idx[j], c] * std| * g.
inline bool scale_draws(const Matrix &x, const Rows &rows, double *draws, double std_) {
    visit(x.dtype, [&](auto t) { detail::scale<decltype(t)>(x, rows, draws, std_); });
    return true;
}

}  // namespace duv::kernels::grown
