// One column's histogram and inverse-count weights over raw arrays, with values placed where
// NumPy places them. Bins computed from the data (a bin count or an estimator name) follow
// np.histogram's fast path: the index estimate ((v - first) / span) * n_bins in the edges'
// precision, then its one-step corrections against the edges; given edges follow
// np.searchsorted's comparisons. Each value's weight comes from the bin that
// np.searchsorted(edges, v, "right") - 1, clipped, finds.
#pragma once

#include "duv/kernels/dtype.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

namespace duv::kernels::histogram {

// n values `stride` bytes apart.
struct Column {
    const char *data = nullptr;
    int64_t n = 0;
    std::ptrdiff_t stride = 0;
    Dtype dtype = Dtype::F64;
};

// Smallest and largest value: as doubles for float columns (`nan` if any value is NaN), as
// integers for integer columns.
struct Range {
    double lo = 0, hi = 0;
    bool nan = false;
    int64_t ilo = 0, ihi = 0;   // signed columns
    uint64_t ulo = 0, uhi = 0;  // unsigned columns
};

// Where values go: nb bins between nb + 1 edges, held as the doubles NumPy compares them as
// (float32 edges and values convert exactly; given integer edges meet float values in float64).
struct Bins {
    const double *edges = nullptr;
    int64_t nb = 0;
    bool uniform = false;  // edges computed by NumPy from the data
    bool single = false;   // the uniform estimate runs in float32 (float32 data)
    double first = 0;      // uniform: first edge and last - first, in the estimate's precision
    double span = 0;
};

inline bool is_float(Dtype dt) { return dt == Dtype::F64 || dt == Dtype::F32; }
inline bool is_unsigned(Dtype dt) {
    return dt == Dtype::U8 || dt == Dtype::U16 || dt == Dtype::U32 || dt == Dtype::U64;
}

namespace detail {

template <typename T> inline T load(const char *p) {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
}

// A column's extremes, gathered value by value.
template <typename T> struct Extremes {
    T lo{}, hi{};
    bool nan = false, started = false;

    void add(T v) {
        if constexpr (std::is_floating_point_v<T>) {
            if (v != v) nan = true;
        }
        if (!started) {
            lo = hi = v;
            started = true;
        }
        if (v < lo) lo = v;
        if (hi < v) hi = v;
    }

    Range range() const {
        Range r;
        r.nan = nan;
        r.lo = static_cast<double>(lo);
        r.hi = static_cast<double>(hi);
        if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
            r.ilo = static_cast<int64_t>(lo);  // NOLINT(bugprone-signed-char-misuse): int8 data are numbers
            r.ihi = static_cast<int64_t>(hi);  // NOLINT(bugprone-signed-char-misuse)
        } else if constexpr (std::is_integral_v<T>) {
            r.ulo = lo;
            r.uhi = hi;
        }
        return r;
    }
};

template <typename T> Range range_of(const Column &c) {
    Extremes<T> e;
    for (int64_t i = 0; i < c.n; ++i) e.add(load<T>(c.data + i * c.stride));
    return e.range();
}

template <typename T> void transpose(const Matrix &x, char *out, Range *ranges) {
    std::vector<Extremes<T>> extremes(static_cast<size_t>(x.m));
    T *dst = reinterpret_cast<T *>(out);
    for (int64_t i = 0; i < x.n; ++i)
        for (int64_t c = 0; c < x.m; ++c) {
            const T v = load<T>(x.data + i * x.rs + c * x.cs);
            dst[c * x.n + i] = v;
            extremes[static_cast<size_t>(c)].add(v);
        }
    for (int64_t c = 0; c < x.m; ++c) ranges[c] = extremes[static_cast<size_t>(c)].range();
}

// Number of edges not above v, minus one: np.searchsorted(edges, v, "right") - 1, NaN last.
inline int64_t edge_rank(const double *edges, int64_t nb, double v) {
    if (v != v) return nb;
    return (std::upper_bound(edges, edges + nb + 1, v) - edges) - 1;
}

// The counted bin of `v` (-1: outside the edges) and its lookup bin, for given edges.
inline void place_by_edges(const Bins &b, double v, int64_t &counted, int64_t &lookup) {
    const int64_t raw = edge_rank(b.edges, b.nb, v);
    const int64_t last = b.nb - 1;
    counted = raw < 0 || (raw > last && !(v <= b.edges[b.nb])) ? -1 : std::min(raw, last);
    lookup = std::clamp<int64_t>(raw, 0, last);
}

// np.histogram's uniform estimate and corrections, in A's precision; -1 where NumPy would
// index outside its edges (its own checks rule that out).
template <typename A> inline int64_t place_uniform(const Bins &b, A a, double v) {
    const A f = ((a - static_cast<A>(b.first)) / static_cast<A>(b.span)) * static_cast<A>(b.nb);
    if (!(f >= 0) || f >= static_cast<A>(b.nb) + 1) return -1;
    int64_t idx = static_cast<int64_t>(f);
    if (idx == b.nb) --idx;
    if (v < b.edges[idx]) --idx;
    if (idx < 0) return -1;
    if (idx != b.nb - 1 && v >= b.edges[idx + 1]) ++idx;
    return idx;
}

template <typename T> bool count_typed(const Column &c, const Bins &b, int64_t *counts, int32_t *bins) {
    const int64_t last = b.nb - 1;
    for (int64_t i = 0; i < c.n; ++i) {
        const T raw = load<T>(c.data + i * c.stride);
        const double v = static_cast<double>(raw);
        int64_t counted, lookup;
        if (b.uniform) {
            counted = b.single ? place_uniform<float>(b, static_cast<float>(raw), v)
                               : place_uniform<double>(b, static_cast<double>(raw), v);
            if (counted < 0) return false;
            const bool inside = b.edges[counted] <= v && (counted == last || v < b.edges[counted + 1]);
            lookup = inside ? counted : std::clamp<int64_t>(edge_rank(b.edges, b.nb, v), 0, last);
        } else {
            place_by_edges(b, v, counted, lookup);
        }
        if (counted >= 0) ++counts[counted];
        bins[i] = static_cast<int32_t>(lookup);
    }
    return true;
}

}  // namespace detail

// Element types the kernels read.
inline bool supported(Dtype dt) {
    return visit_numbers(dt, [](auto) {});
}

// Smallest and largest value of a column; false for an element type without a kernel.
inline bool value_range(const Column &c, Range &r) {
    if (c.n == 0) return false;
    return visit_numbers(c.dtype, [&](auto t) { r = detail::range_of<decltype(t)>(c); });
}

// The columns of a matrix as the rows of `out` (its transpose in C order, same element type),
// with each column's range: one pass over a row-major matrix rather than a strided pass per
// column. False for an element type without a kernel or an empty matrix.
inline bool transpose_columns(const Matrix &x, char *out, Range *ranges) {
    if (x.n == 0) return false;
    return visit_numbers(x.dtype, [&](auto t) { detail::transpose<decltype(t)>(x, out, ranges); });
}

// The values as doubles, as NumPy casts them; false for an element type without a kernel.
inline bool to_doubles(const Column &c, double *out) {
    return visit_numbers(c.dtype, [&](auto t) {
        using T = decltype(t);
        for (int64_t i = 0; i < c.n; ++i) out[i] = static_cast<double>(detail::load<T>(c.data + i * c.stride));
    });
}

// Whether NumPy can make uniform bins over the range: a finite range whose width it computes
// without overflow, in the column's precision.
inline bool span_is_finite(Dtype dt, const Range &r) {
    if (!is_float(dt)) return true;
    if (r.nan || !std::isfinite(r.lo) || !std::isfinite(r.hi)) return false;
    if (dt == Dtype::F32) return std::isfinite(static_cast<float>(r.hi) - static_cast<float>(r.lo));
    return std::isfinite(r.hi - r.lo);
}

// The edges as the doubles the values of type `values` are compared with: NumPy compares in
// their common type, float64 unless both are integers. False, for NumPy to place the values,
// when both are integers, the edges are booleans, NaN or fewer than two.
inline bool edges_as_doubles(const Column &e, Dtype values, std::vector<double> &out) {
    if (e.n < 2 || e.dtype == Dtype::Bool || (!is_float(e.dtype) && !is_float(values))) return false;
    out.resize(static_cast<size_t>(e.n));
    return to_doubles(e, out.data()) && std::none_of(out.begin(), out.end(), [](double v) { return v != v; });
}

// The uniform estimate's first edge and span, as np.histogram derives them from the data's
// range: the outer edges themselves for float data (or an integer range widened by 0.5 each
// side), else the integer minimum and the exact unsigned difference of the extremes.
inline void uniform_frame(const Column &c, const Range &r, Bins &b) {
    b.uniform = true;
    b.single = c.dtype == Dtype::F32;
    const double lo = b.edges[0], hi = b.edges[b.nb];
    if (b.single) {
        b.first = lo;
        b.span = static_cast<double>(static_cast<float>(hi) - static_cast<float>(lo));
    } else if (is_float(c.dtype) || (is_unsigned(c.dtype) ? r.ulo == r.uhi : r.ilo == r.ihi)) {
        b.first = lo;
        b.span = hi - lo;
    } else if (is_unsigned(c.dtype)) {
        b.first = static_cast<double>(r.ulo);
        b.span = static_cast<double>(r.uhi - r.ulo);
    } else {
        b.first = static_cast<double>(r.ilo);
        b.span = static_cast<double>(static_cast<uint64_t>(r.ihi) - static_cast<uint64_t>(r.ilo));
    }
}

// Counts the values per bin into counts[0..nb) (zeroed first) and writes each value's lookup
// bin. False when the column cannot be placed here (the caller then asks NumPy).
inline bool count_and_locate(const Column &c, const Bins &b, int64_t *counts, int32_t *bins) {
    if (b.nb < 1 || b.nb >= std::numeric_limits<int32_t>::max()) return false;
    std::fill(counts, counts + b.nb, int64_t{0});
    bool ok = false;
    if (!visit_numbers(c.dtype, [&](auto t) { ok = detail::count_typed<decltype(t)>(c, b, counts, bins); }))
        return false;
    return ok;
}

// The distinct counts, ascending, and for every count value up to the largest its position
// among them (the inverse weights depend on the count alone).
inline void distinct_counts(const int64_t *counts, int64_t nb, std::vector<int64_t> &values,
                            std::vector<int32_t> &slot) {
    const int64_t top = *std::max_element(counts, counts + nb);
    slot.assign(static_cast<size_t>(top) + 1, -1);
    for (int64_t b = 0; b < nb; ++b) slot[static_cast<size_t>(counts[b])] = 0;
    values.clear();
    for (int64_t c = 0; c <= top; ++c)
        if (slot[static_cast<size_t>(c)] == 0) {
            slot[static_cast<size_t>(c)] = static_cast<int32_t>(values.size());
            values.push_back(c);
        }
}

// 1.0 / (float(count) + smoothing), NumPy's `1.0 / (hist.astype(float) + float(smoothing))`.
inline void inverse_counts(const int64_t *counts, int64_t n, double smoothing, double *out) {
    for (int64_t i = 0; i < n; ++i) out[i] = 1.0 / (static_cast<double>(counts[i]) + smoothing);
}

// table[b] = per_value[slot[counts[b]]]: a per-count quantity spread over the bins.
inline void spread(const int64_t *counts, int64_t nb, const std::vector<int32_t> &slot, const double *per_value,
                   double *table) {
    for (int64_t b = 0; b < nb; ++b) table[b] = per_value[slot[static_cast<size_t>(counts[b])]];
}

// How a column's weights enter the running aggregate: the first column is copied, later ones
// are added (mean, geometric mean of logs) or compared (np.maximum, NaN propagating), in
// column order as NumPy reduces a stacked array along its first axis.
enum class Fold { First, Add, Max };

inline double fold_one(Fold f, double acc, double w) {
    switch (f) {
    case Fold::First: return w;
    case Fold::Add: return acc + w;
    default: return (acc >= w || acc != acc) ? acc : w;
    }
}

// acc[i] = fold(acc[i], table[bins[i]])
inline void fold_binned(double *acc, const int32_t *bins, const double *table, int64_t n, Fold f) {
    switch (f) {
    case Fold::First:
        for (int64_t i = 0; i < n; ++i) acc[i] = table[bins[i]];
        return;
    case Fold::Add:
        for (int64_t i = 0; i < n; ++i) acc[i] += table[bins[i]];
        return;
    case Fold::Max:
        for (int64_t i = 0; i < n; ++i) acc[i] = fold_one(Fold::Max, acc[i], table[bins[i]]);
        return;
    }
}

// acc[i] = fold(acc[i], w[i * stride])
inline void fold_values(double *acc, const char *w, std::ptrdiff_t stride, int64_t n, Fold f) {
    for (int64_t i = 0; i < n; ++i) acc[i] = fold_one(f, acc[i], detail::load<double>(w + i * stride));
}

// The mean's division by the number of columns, as np.mean divides the sum by its count.
inline void divide(double *acc, int64_t n, int64_t k) {
    const double d = static_cast<double>(k);
    for (int64_t i = 0; i < n; ++i) acc[i] = acc[i] / d;
}

}  // namespace duv::kernels::histogram
