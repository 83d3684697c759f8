// Which experts answer for which rows: the experts with the smallest scores, and distance
// routing in batches, each expert predicting all of its rows in one call.
#pragma once

#include "duv/interop/buffer.hpp"
#include "duv/interop/function.hpp"
#include "duv/interop/util.hpp"
#include "duv/kernels/expert_aggregation.hpp"

#include <optional>
#include <utility>

namespace duv::ensemble {

// float64 or float32 for a C-contiguous, aligned array of one of them.
inline std::optional<Dtype> float_dtype(const ArrayView &v) {
    if (aligned_data<double>(v)) return Dtype::F64;
    if (aligned_data<float>(v)) return Dtype::F32;
    return std::nullopt;
}

// The rows grouped by expert and, once predicted, the experts' answers in one layout and
// one float dtype, C-contiguous.
struct RoutedRows {
    nb::object active;  // (n, k) intp: every row's experts, nearest first
    kernels::expert_aggregation::RowGroups groups;
    bool multi = false;   // (rows, width) per expert, else (rows,)
    bool single = false;  // float32, else float64
    std::size_t width = 1;
    std::vector<ArrayView> means_of, stds_of;  // by expert; empty for experts without rows

    // The answers as arrays of T (the dtype `single` says).
    template <typename T> class View {
    public:
        explicit View(const RoutedRows &r) : r_(r), means_(r.groups.n_experts), stds_(r.groups.n_experts) {
            for (std::size_t j = 0; j < r.groups.n_experts; ++j) {
                means_[j] = aligned_data<T>(r.means_of[j]);
                stds_[j] = aligned_data<T>(r.stds_of[j]);
            }
        }
        kernels::expert_aggregation::Routed<T> routed() const {
            return r_.groups.routed(r_.width, means_.data(), stds_.data());
        }

    private:
        const RoutedRows &r_;
        std::vector<const T *> means_, stds_;
    };
};

// np.argsort(values, axis=0)[:n_active] or np.argsort(values, axis=1)[:, :n_active], 2-D.
nb::object argsort_head(const Globals &g, nb::handle values, int axis, nb::handle n_active);

// The rows of `active_indices` (n, k) grouped by expert (IndexError for one that does not
// exist), one joblib task per expert with rows (the module's `delayed`, `_predict_expert`,
// `Parallel`); the layout is the first row's nearest expert's, float32 when every answer is.
RoutedRows predict_routed_rows(const Globals &g, nb::handle self, nb::handle X, nb::handle kwargs,
                               nb::handle active_indices, nb::handle estimators);

// The per-row stacks of means and of standard deviations side by side, (k, n) or (k, n, width).
std::pair<nb::object, nb::object> side_by_side(nb::handle np, const RoutedRows &r);

// Every row's stack, (k, 1) or (k, 1, width), handed to the instance's (overridden) methods:
// _mixture_aggregation with the row of `weights` when given, else _aggregate_predictions.
nb::object merge_rows_by_methods(nb::handle np, nb::handle self, const RoutedRows &r, nb::handle weights);

}  // namespace duv::ensemble
