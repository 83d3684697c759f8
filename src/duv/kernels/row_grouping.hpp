// Grouping the rows of a numeric matrix by their values, as a dict keyed by tuples of the
// row's NumPy scalars groups them: equal numbers are one key (so -0.0 and 0.0 are), every
// NaN is one key of its own, and groups are numbered in the order they first occur.
#pragma once

#include "duv/kernels/dtype.hpp"

#include <cstdint>
#include <vector>

namespace duv::kernels::grouping {

// The word every NaN becomes: a NaN pattern, so no other double encodes to it.
constexpr uint64_t kNanWord = 0x7ff8000000000000ULL;

// One 64-bit word per cell (row-major, n x m) that is equal exactly for cells that compare
// equal: integers as themselves, floats as their double's bits with NaN folded to kNanWord
// and, when `fold_signed_zero`, -0.0 to 0.0 (without it, the words tell the bit patterns
// that print differently apart).
void encode(const Matrix &values, bool fold_signed_zero, uint64_t *words);

// Whether a matrix of this dtype holds floating-point numbers (whose kNanWord means NaN).
constexpr bool floating(Dtype dt) { return dt == Dtype::F64 || dt == Dtype::F32; }

struct Groups {
    std::vector<int64_t> of_row;  // group number of each row
    int64_t count = 0;
};

// Groups the rows of an n x m word matrix, numbered by first occurrence. `integral` words
// (integers that fit in int64) may be grouped through a direct table when their range is small.
Groups group_rows(const uint64_t *words, int64_t n, int64_t m, bool integral);

// Rows listed group by group, ascending within each group: group g holds
// rows[offsets[g] .. offsets[g + 1]).
struct RowsByGroup {
    std::vector<int64_t> rows;
    std::vector<int64_t> offsets;
    int64_t size(int64_t g) const { return offsets[static_cast<size_t>(g) + 1] - offsets[static_cast<size_t>(g)]; }
    int64_t count() const { return static_cast<int64_t>(offsets.size()) - 1; }
};

RowsByGroup rows_by_group(const Groups &groups);

// The pre-normalisation balancing weight of every row: 1, or max(n_g, target) / n_g for the
// rows of a group smaller than the largest when that exceeds 1 (`w` has room for the rows).
void balancing_weights(const RowsByGroup &groups, double target, double *w);

}  // namespace duv::kernels::grouping
