// The row work of rare-target augmentation over raw float64 data: which rows are rare on
// which side of the median, the density relevance, and the augmented rows (input rows, then
// synthetic rows interpolated towards a neighbour or jittered with normal draws) written in
// the requested output order. Every value is the one NumPy computes for the same expression:
//   interpolated = base + alpha * (neighbour - base)
//   jittered     = base + (noise * std) * z
//   weight       = (1 - alpha) * w[base] + alpha * w[neighbour]   (w[base] when jittered)
#pragma once

#include "duv/kernels/dtype.hpp"

#include <cstddef>
#include <cstdint>

namespace duv::kernels::rare_target {

// n float64 values `stride` bytes apart.
struct Vector {
    const char *data = nullptr;
    int64_t n = 0;
    std::ptrdiff_t stride = 0;
    double operator[](int64_t i) const;
};

// True when every value lies in [0, 1] (NaN does not).
bool all_in_unit_interval(const Vector &v);

// True when all values are equal (n >= 1).
bool constant(const Vector &v);

// The rare rows (relevance >= threshold) below the median and from the median up, in row order.
struct Split {
    int64_t n_low = 0, n_high = 0;
};
Split count_sides(const Vector &relevance, const Vector &y, double threshold, double median);
void fill_sides(const Vector &relevance, const Vector &y, double threshold, double median, int64_t *low, int64_t *high);

// Which values the density relevance zeroes: none, those below the median, those above it.
enum class Extremes { Both, High, Low };

// out[i] = 1 - counts[b] / max(counts), b the histogram bin of y[i] (the last edge closes the
// last bin; a bin number below zero counts from the end, as NumPy indexes), then zeroed as
// `extremes` says. `edges` holds n_bins + 1 values.
void density(const Vector &y, const double *edges, const int64_t *counts, int64_t n_bins, Extremes extremes,
             double median, double *out);

// The synthetic rows of one side, in draw order. Row j is interpolated between X[base[j]] and
// X[neigh[j]] with alpha[j], unless there are no neighbours or close[j] is 0: then it is
// X[base[j]] + scale_x * z[j, :m] (and y[base[j]] + scale_y * z[j, m]).
struct Side {
    int64_t count = 0;
    const int64_t *base = nullptr;
    const int64_t *neigh = nullptr;
    const double *alpha = nullptr;
    const uint8_t *close = nullptr;
    const double *z = nullptr;        // count x (m + 1), C order
    const double *scale_x = nullptr;  // m values
    double scale_y = 0.0;

    bool jittered(int64_t j) const { return neigh == nullptr || (close != nullptr && close[j] == 0); }
};

// The input rows: X (n x m float64, strided), y and the weights (w.data null: none).
struct Input {
    Matrix X;
    Vector y, w;
};

// Output row i is source row order[i] (i without an order): input row s < n, else synthetic row
// s - n (the first side's rows, then the second's). X_out is C-ordered n_out x m; w_out is null
// when there are no weights.
void write(const Input &in, const Side &first, const Side &second, const int64_t *order, int64_t n_out, double *X_out,
           double *y_out, double *w_out);

// local[j] = q copies of each of the n_side positions in turn, then the r drawn positions;
// false when a drawn position is not below n_side.
bool base_positions(int64_t n_side, int64_t q, const int64_t *drawn, int64_t r, int64_t *local);

// neigh[j] = ind[local[j], 1 + slot[j]] for the side's neighbour matrix `ind` (int64, its first
// column each row itself); close[j] = dist[local[j], 1 + slot[j]] < limit when close is not null.
// False when a slot or a neighbour lies outside the matrix or the side.
bool pick_neighbours(const Matrix &ind, const Matrix &dist, const int64_t *local, const int64_t *slot, int64_t count,
                     double limit, int64_t *neigh, uint8_t *close);

// rows[j] = side_rows[rows[j]]: positions within a side as rows of X.
void to_input_rows(const int64_t *side_rows, int64_t *rows, int64_t count);

}  // namespace duv::kernels::rare_target
