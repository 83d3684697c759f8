#include "duv/kernels/rare_target.hpp"

#include <algorithm>
#include <cstring>

namespace duv::kernels::rare_target {

double Vector::operator[](int64_t i) const {
    double v;
    std::memcpy(&v, data + i * stride, sizeof v);
    return v;
}

bool all_in_unit_interval(const Vector &v) {
    bool ok = true;
    for (int64_t i = 0; i < v.n; ++i) {
        const double r = v[i];
        ok = ok && r >= 0.0 && r <= 1.0;
    }
    return ok;
}

bool constant(const Vector &v) {
    const double first = v[0];
    for (int64_t i = 1; i < v.n; ++i)
        if (v[i] != first) return false;
    return true;
}

Split count_sides(const Vector &relevance, const Vector &y, double threshold, double median) {
    Split s;
    for (int64_t i = 0; i < y.n; ++i) {
        if (!(relevance[i] >= threshold)) continue;
        if (y[i] < median)
            ++s.n_low;
        else
            ++s.n_high;
    }
    return s;
}

void fill_sides(const Vector &relevance, const Vector &y, double threshold, double median, int64_t *low,
                int64_t *high) {
    for (int64_t i = 0; i < y.n; ++i) {
        if (!(relevance[i] >= threshold)) continue;
        if (y[i] < median)
            *low++ = i;
        else
            *high++ = i;
    }
}

void density(const Vector &y, const double *edges, const int64_t *counts, int64_t n_bins, Extremes extremes,
             double median, double *out) {
    const int64_t top = *std::max_element(counts, counts + n_bins);
    const double *end = edges + n_bins + 1;
    for (int64_t i = 0; i < y.n; ++i) {
        const double v = y[i];
        int64_t b = (std::upper_bound(edges, end, v) - edges) - 1;
        if (b == n_bins) b = n_bins - 1;
        if (b < 0) b += n_bins;
        double r = 1.0 - static_cast<double>(counts[b]) / static_cast<double>(top);
        if ((extremes == Extremes::High && v < median) || (extremes == Extremes::Low && v > median)) r = 0.0;
        out[i] = r;
    }
}

namespace {

inline double at(const Matrix &X, int64_t row, int64_t col) {
    double v;
    std::memcpy(&v, X.data + row * X.rs + col * X.cs, sizeof v);
    return v;
}

// Asks for the rows that output row `s` reads, some rows ahead of the loop over a permutation.
inline void prefetch(const Input &in, const Side &first, const Side &second, int64_t s) {
    const int64_t n = in.X.n;
    if (s < n) {
        __builtin_prefetch(in.X.data + s * in.X.rs);
        return;
    }
    int64_t j = s - n;
    const Side &side = j < first.count ? first : second;
    if (j >= first.count) j -= first.count;
    __builtin_prefetch(in.X.data + side.base[j] * in.X.rs);
    if (side.neigh) __builtin_prefetch(in.X.data + side.neigh[j] * in.X.rs);
}

}  // namespace

void write(const Input &in, const Side &first, const Side &second, const int64_t *order, int64_t n_out, double *X_out,
           double *y_out, double *w_out) {
    constexpr int64_t ahead = 16;
    const Matrix &X = in.X;
    const int64_t n = X.n, m = X.m;
    for (int64_t i = 0; i < n_out; ++i) {
        if (order && i + ahead < n_out) prefetch(in, first, second, order[i + ahead]);
        const int64_t s = order ? order[i] : i;
        double *o = X_out + i * m;
        if (s < n) {
            for (int64_t c = 0; c < m; ++c) o[c] = at(X, s, c);
            y_out[i] = in.y[s];
            if (w_out) w_out[i] = in.w[s];
            continue;
        }
        int64_t j = s - n;
        const Side &side = j < first.count ? first : second;
        if (j >= first.count) j -= first.count;
        const int64_t b = side.base[j];
        if (side.jittered(j)) {
            const double *z = side.z + j * (m + 1);
            for (int64_t c = 0; c < m; ++c) {
                const double step = side.scale_x[c] * z[c];
                o[c] = at(X, b, c) + step;
            }
            const double step = side.scale_y * z[m];
            y_out[i] = in.y[b] + step;
            if (w_out) w_out[i] = in.w[b];
            continue;
        }
        const int64_t q = side.neigh[j];
        const double a = side.alpha[j];
        for (int64_t c = 0; c < m; ++c) {
            const double xb = at(X, b, c);
            const double step = a * (at(X, q, c) - xb);
            o[c] = xb + step;
        }
        const double yb = in.y[b];
        const double step = a * (in.y[q] - yb);
        y_out[i] = yb + step;
        if (w_out) {
            const double lhs = (1.0 - a) * in.w[b];
            const double rhs = a * in.w[q];
            w_out[i] = lhs + rhs;
        }
    }
}

bool base_positions(int64_t n_side, int64_t q, const int64_t *drawn, int64_t r, int64_t *local) {
    int64_t j = 0;
    for (int64_t p = 0; p < n_side; ++p)
        for (int64_t c = 0; c < q; ++c) local[j++] = p;
    for (int64_t c = 0; c < r; ++c) {
        if (drawn[c] < 0 || drawn[c] >= n_side) return false;
        local[j++] = drawn[c];
    }
    return true;
}

bool pick_neighbours(const Matrix &ind, const Matrix &dist, const int64_t *local, const int64_t *slot, int64_t count,
                     double limit, int64_t *neigh, uint8_t *close) {
    for (int64_t j = 0; j < count; ++j) {
        const int64_t b = local[j], col = slot[j] + 1;
        if (b < 0 || b >= ind.n || col < 1 || col >= ind.m) return false;
        int64_t v;
        std::memcpy(&v, ind.data + b * ind.rs + col * ind.cs, sizeof v);
        if (v < 0 || v >= ind.n) return false;
        neigh[j] = v;
        if (close) close[j] = at(dist, b, col) < limit ? 1 : 0;
    }
    return true;
}

void to_input_rows(const int64_t *side_rows, int64_t *rows, int64_t count) {
    for (int64_t j = 0; j < count; ++j) rows[j] = side_rows[rows[j]];
}

}  // namespace duv::kernels::rare_target
