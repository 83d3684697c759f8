// Which experts answer for which rows: the experts with the smallest scores, and distance
// routing in batches (every row's experts grouped so that each expert predicts all of its
// rows in one call, the experts' answers brought to one layout and dtype, and each row's
// stack gathered back from them as the row-at-a-time steps would have built it).
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

// The rows grouped by expert and, once predicted, the experts' answers for them in one
// layout and one float dtype, C-contiguous.
struct RoutedRows {
    nb::object active;  // (n, k) intp: every row's experts, nearest first
    kernels::expert_aggregation::RowGroups groups;
    bool multi = false;   // (rows, width) per expert, else (rows,)
    bool single = false;  // float32, else float64
    std::size_t width = 1;
    nb::object dtype;
    std::vector<ArrayView> means_of, stds_of;  // by expert; empty for experts without rows

    // The kernels' view of the answers, as arrays of T (the dtype `single` says).
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

// np.argsort(values, axis=0)[:n_active] or np.argsort(values, axis=1)[:, :n_active] for a 2-D
// array; the kernel selects the head where ties cannot change it, NumPy sorts otherwise.
nb::object argsort_head(const Globals &g, nb::handle values, int axis, nb::handle n_active);

// Distance routing's predictions, in batches: the rows of `active_indices` (n, k) grouped by
// expert (IndexError for an expert that does not exist), each expert with rows predicting all
// of them in one call (one joblib task per expert, through the module's `delayed`,
// `_predict_expert` and `Parallel`), and their answers taken: the layout is the one the
// first row's nearest expert returns; float32 when every array is.
RoutedRows predict_routed_rows(const Globals &g, nb::handle self, nb::handle X, nb::handle kwargs,
                               nb::handle active_indices, nb::handle estimators);

// The per-row stacks side by side, (k, n) or (k, n, width): the means and the standard
// deviations, for NumPy's steps.
std::pair<nb::object, nb::object> side_by_side(nb::handle np, const RoutedRows &r);

// Every row's stack handed to the instance's aggregation methods (some overridden) as the
// row-at-a-time steps hand it to them: (k, 1) or (k, 1, width), with the row of `weights`
// (each row's distance weights) to _mixture_aggregation when given, else to
// _aggregate_predictions.
nb::object merge_rows_by_methods(nb::handle np, nb::handle self, const RoutedRows &r, nb::handle weights);

}  // namespace duv::ensemble
