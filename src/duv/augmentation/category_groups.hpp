// Rows grouped by the values of selected columns, shared by category_balance_augment, its
// meta-estimators and the categorical balanced scorer: the column selection, the per-row
// keys (a typed path for numeric columns, one over Python objects otherwise) and the
// balancing weights of the groups.
#pragma once

#include "duv/interop/buffer.hpp"
#include "duv/interop/function.hpp"
#include "duv/kernels/row_grouping.hpp"

#include <optional>

namespace duv::augmentation::category {

using kernels::grouping::RowsByGroup;

// The module's functions and names as it bound them, so that a caller can tell whether one
// has been rebound since (then the documented steps run through the new binding).
void remember_built(nb::module_ &m);
Globals built_globals();
bool is_built_resolve(nb::handle fn);  // the module's _resolve_columns_and_groups
bool is_built_compute(nb::handle fn);  // the module's _compute_group_indices

// `_is_nan_scalar(x)`: x != x, or False when the comparison raises an Exception.
nb::object is_nan_scalar(nb::handle x);

// The columns picked from X, by name or by position, and their values as a 2-D array.
struct Selection {
    Py_ssize_t n_samples = 0;
    nb::object column_names, column_indexes, values;
};
Selection select_columns(const Globals &g, nb::handle X, nb::handle columns);

// The group key of every row, held as cheaply as the values allow: typed numbers, one
// Python key tuple per row, or a keys array built by the documented loop.
class RowKeys {
public:
    // Keys of `values` (the selection's); NaN tests run here, as in the documented loop.
    static RowKeys of(const Globals &g, nb::handle values, Py_ssize_t n_samples);
    // Keys some other function produced.
    static RowKeys given(nb::handle keys);

    // The keys array: an object array of one tuple per row.
    nb::object array(const Globals &g);
    // Rows by group, groups in first-occurrence order (keys are hashed here).
    RowsByGroup groups() const;

private:
    enum class Kind { Typed, Tuples, Array } kind_ = Kind::Array;
    nb::object values_;         // Typed: the values array
    kernels::Matrix matrix_{};  // Typed: its view, valid while view_ lives
    std::shared_ptr<ArrayView> view_;
    std::vector<nb::object> tuples_;  // Tuples
    nb::object array_;                // Array (and the cached array of the others)
};

// `_compute_group_indices(keys)` as rows by group: enumerate(keys) into a dict.
RowsByGroup group_keys(nb::handle keys);
// The groups of a `group_to_indices` dict (key -> list of row positions), in its order.
RowsByGroup groups_of_dict(nb::handle group_to_indices);

// n_max = max(sizes.values()), with max()'s error when there is no group.
int64_t largest_group(const RowsByGroup &groups);
// int(np.ceil(n_max * float(balance_strength)))
nb::object target_size(nb::handle np, int64_t n_max, nb::handle balance_strength);
// w = np.ones(n, dtype=float); then w[idxs] = float(max(n_g, target)) / float(n_g) for every
// group smaller than the largest where that exceeds 1.
nb::object balancing_weights(nb::handle np, const RowsByGroup &groups, Py_ssize_t n, int64_t n_max, nb::handle target);

}  // namespace duv::augmentation::category
