// The row numbers of a grown training set (the input rows, then copies of drawn rows, then an
// optional permutation), composed once so that every array of the set is gathered from its
// input in one pass instead of being stacked and permuted.
#pragma once

#include "duv/interop/buffer.hpp"
#include "duv/kernels/grown_rows.hpp"

namespace duv::augmentation {

class GrownSet {
public:
    // `indices`: the input row of each copy; `perm`: a permutation of all rows, or None.
    GrownSet(nb::handle np, nb::handle indices, nb::handle n_samples, nb::handle perm);

    // The kernel's view of the row numbers; null unless they are int64 vectors within range.
    const kernels::grown::Rows *rows() const { return ok_ ? &rows_ : nullptr; }

    // The input row behind every output row, an int64 array (made on first use).
    nb::handle sources();

    // `arr[sources]`: rows of an input array in the grown set's order; equal to stacking
    // `arr` with `arr[indices]` and applying the permutation.
    nb::object take(nb::handle arr);

private:
    nb::object np_, indices_, n_samples_, perm_, sources_;
    ArrayView idx_view_, perm_view_;
    kernels::grown::Rows rows_;
    bool ok_ = false;
};

// max(1, int(round(n_samples * float(factor)))): the size of a resized set, as a Python int.
nb::object resized_count(nb::handle n_samples, nb::handle factor);

// True when `np` is the numpy module itself: the fast roads stand in for numpy's functions
// only, and a rebound `np` gets the documented calls.
bool is_numpy_module(nb::handle np);

// True when `sample_weight`, as an array, has one entry (or row) per input row, so that the
// grown set's weights are its rows taken like the data's.
bool rows_of_weights(nb::handle np, nb::handle sample_weight, nb::handle n_samples);

}  // namespace duv::augmentation
