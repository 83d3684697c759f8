// The row numbers of a grown training set (the input rows, then copies of drawn rows, then an
// optional permutation), composed once so that every array of the set is gathered from its
// input in one pass instead of being stacked and permuted.
#pragma once

#include "duv/interop/buffer.hpp"
#include "duv/kernels/grown_rows.hpp"

#include <initializer_list>
#include <vector>

namespace duv::augmentation {

class GrownSet {
public:
    // `indices`: the input row of each copy; `perm`: a permutation of all rows, or None.
    GrownSet(nb::handle np, nb::handle indices, nb::handle n_samples, nb::handle perm);

    // The kernel's view of the row numbers and the input row behind every output row; null
    // unless the row numbers are int64 vectors within range.
    const kernels::grown::Rows *rows() const { return src_ ? &rows_ : nullptr; }
    const int64_t *source_rows() const { return src_; }

    // `arr[sources]` for each array: rows of input arrays in the grown set's order, equal to
    // stacking `arr` with `arr[indices]` and applying the permutation.
    std::vector<nb::object> take(std::initializer_list<nb::handle> arrays);
    nb::object take(nb::handle arr) { return take({arr})[0]; }

private:
    nb::handle sources();

    nb::object np_, indices_, n_samples_, perm_, sources_;
    ArrayView idx_view_, perm_view_;
    kernels::grown::Rows rows_;
    const int64_t *src_ = nullptr;
};

// max(1, int(round(n_samples * float(factor)))): the size of a resized set, as a Python int.
nb::object resized_count(nb::handle n_samples, nb::handle factor);

// True when `sample_weight`, as an array, has one entry (or row) per input row, so that the
// grown set's weights are its rows taken like the data's.
bool rows_of_weights(nb::handle np, nb::handle sample_weight, nb::handle n_samples);

}  // namespace duv::augmentation
