// Rows of a grown training set, written once in their final order: output row r holds
// combined row s = order[r] (s = r without an order), which is input row s for s < n and a
// copy of input row idx[s - n] otherwise. Copies may carry Gaussian noise from draws that
// RandomState made, added exactly as NumPy adds them:
//   absolute:  x + d                       (d = normal(0, std) as drawn)
//   relative:  x + (0.0 + |x * std| * g)   (g = normal(0, 1.0) as drawn; NumPy's normal
//                                           computes loc + scale * gauss)
#pragma once

#include "duv/kernels/dtype.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>

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

// src[r]: the input row behind output row r.
inline void sources(const Rows &rows, int64_t *src) {
    for (int64_t r = 0; r < rows.total(); ++r) {
        const int64_t s = rows.combined(r);
        src[r] = s < rows.n ? s : rows.idx[s - rows.n];
    }
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

template <typename T> void noisy(const Matrix &x, const Noise &noise, const Rows &rows, double *out) {
    const int64_t m = x.m;
    for (int64_t r = 0; r < rows.total(); ++r, out += m) {
        const int64_t s = rows.combined(r);
        if (s < rows.n) {
            const char *row = x.data + s * x.rs;
            for (int64_t c = 0; c < m; ++c) out[c] = value<T>(row + c * x.cs);
            continue;
        }
        const char *row = x.data + rows.idx[s - rows.n] * x.rs;
        const double *g = noise.draws + (s - rows.n) * m;
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

template <typename T> double max_abs(const Matrix &x) {
    double top = 0;
    for (int64_t i = 0; i < x.n; ++i)
        for (int64_t c = 0; c < x.m; ++c) top = std::fmax(top, std::fabs(value<T>(x.data + i * x.rs + c * x.cs)));
    return top;
}

template <typename F> bool with_type(Dtype dt, F &&f) {
    switch (dt) {
    case Dtype::F64: f(double{}); return true;
    case Dtype::F32: f(float{}); return true;
    case Dtype::I8: f(int8_t{}); return true;
    case Dtype::I16: f(int16_t{}); return true;
    case Dtype::I32: f(int32_t{}); return true;
    case Dtype::I64: f(int64_t{}); return true;
    case Dtype::U8: f(uint8_t{}); return true;
    case Dtype::U16: f(uint16_t{}); return true;
    case Dtype::U32: f(uint32_t{}); return true;
    case Dtype::U64: f(uint64_t{}); return true;
    case Dtype::Bool: f(bool{}); return true;
    }
    return false;
}

}  // namespace detail

// Writes the float64 rows (rows.total() x x.m, C order) of the grown set: input rows as
// float64, copies with their noise.
inline bool noisy_rows(const Matrix &x, const Noise &noise, const Rows &rows, double *out) {
    return detail::with_type(x.dtype, [&](auto t) { detail::noisy<decltype(t)>(x, noise, rows, out); });
}

// Turns relative draws g into what normal(0, |x * std|) would have returned:
// draws[j, c] = 0.0 + |x[idx[j], c] * std| * g.
inline bool scale_draws(const Matrix &x, const Rows &rows, double *draws, double std_) {
    return detail::with_type(x.dtype, [&](auto t) { detail::scale<decltype(t)>(x, rows, draws, std_); });
}

// The largest magnitude of a matrix as float64 values (0 when empty); false for other types.
inline bool max_abs(const Matrix &x, double &top) {
    return detail::with_type(x.dtype, [&](auto t) { top = detail::max_abs<decltype(t)>(x); });
}

}  // namespace duv::kernels::grown
