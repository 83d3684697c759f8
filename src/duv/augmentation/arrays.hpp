// NumPy array helpers of the augmentation modules: row selection done in C++ when the array
// allows it, new arrays to be filled by a kernel, and the test for a random draw that may be
// overwritten in place.
#pragma once

#include "duv/interop/buffer.hpp"
#include "duv/kernels/gather.hpp"

namespace duv::augmentation {

// Data of a 1-D I vector (int64 or int32) whose entries are row numbers of `n_rows` rows, else nullptr.
template <typename I> const I *row_numbers(const ArrayView &view, int64_t n_rows) {
    const I *idx = view.vector<I>();
    return idx && kernels::all_within(idx, view.shape(0), n_rows) ? idx : nullptr;
}

// `arr[idx]` for a 1-D index vector (int64 or int32): copied in C++ for a plain 1-D/2-D ndarray
// without object elements and indices within range, by NumPy otherwise.
nb::object take_rows(nb::handle np, nb::handle arr, nb::handle idx);

// (X[idx], y[idx], np.asarray(sample_weight)[idx]) by take_rows; None weights stay None.
nb::object take_rows_of(nb::handle np, nb::handle idx, nb::handle X, nb::handle y, nb::handle sample_weight);

// `np.empty(shape, dtype=dtype)` with a writable view of it.
struct NewArray {
    nb::object array;
    ArrayView view;
};
NewArray new_array(nb::handle np, nb::handle shape, nb::handle dtype);

// True when no more than `held` references reach `array` (those of the caller, its buffer
// views included) and the array owns its data (a view's data may be held elsewhere): a fresh
// random draw that nothing else can see, so it may be overwritten in place.
bool is_private_array(nb::handle array, Py_ssize_t held);

}  // namespace duv::augmentation
