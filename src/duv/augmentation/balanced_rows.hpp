// The row numbers of a category-balanced set: every group's rows followed by its drawn
// duplicates, and their shuffled order composed once, so that each output is gathered in
// one pass.
#pragma once

#include "duv/interop/function.hpp"
#include "duv/kernels/row_grouping.hpp"

namespace duv::augmentation {

// Each group's rows followed by its duplicates, drawn with one
// rng.choice(idxs, size=add, replace=True) per group smaller than `target`, in group order.
nb::object duplicated_rows(nb::handle np, nb::handle rng, const kernels::grouping::RowsByGroup &groups, int64_t n_max,
                           nb::handle target);

// rows[order], written over `order` when nothing else holds it. `narrow`: the rows are for the
// package's own gathers, which take them as int32 when they fit (half the memory beside the
// output).
nb::object permuted(nb::handle np, nb::handle rows, nb::object order, bool narrow);

}  // namespace duv::augmentation
