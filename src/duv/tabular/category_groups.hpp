// Rows grouped by the values of selected columns, shared by category balance augmentation and
// the categorical balanced scorer: the column selection, the per-row keys (a typed path for
// numeric columns, one over Python objects otherwise) and the balancing weights of the groups.
#pragma once

#include "duv/interop/buffer.hpp"
#include "duv/interop/module_state.hpp"
#include "duv/kernels/row_grouping.hpp"

#include <memory>
#include <optional>
#include <vector>

namespace duv::tabular {

using kernels::grouping::RowsByGroup;

// The state of the module that binds the grouping helpers: the keys are made and grouped in
// C++ only while the names of their documented steps are the ones it bound.
struct GroupingState : ModuleState {
    AsImported helpers{
        *this,
        {"np", "np.ndarray", "_NAN_GROUP", "_is_nan_scalar", "_resolve_columns_and_groups", "_compute_group_indices"}};
};

// The namespace of the module that defined `resolve`, when that is its own (intact)
// _resolve_columns_and_groups; nullopt otherwise.
std::optional<Globals> grouping_module(nb::handle resolve);

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
    // Keys of `values` (the selection's) in the grouping module `g`; NaN tests run here, as in
    // the documented loop.
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

}  // namespace duv::tabular
