// histogram_augment's per-row weights by the kernels (kernels/histogram.hpp): each column placed
// into NumPy's own bin edges, 1.0 / (count + smoothing) looked up per row, and the weights of
// several columns folded into their aggregate in the order in which NumPy reduces the stacked
// vectors. The NumPy calls whose results or reports count (the edges, the MemoryError fallback,
// the warnings of an empty bin's division, the logarithms) are still made.
#pragma once

#include "duv/interop/function.hpp"
#include "duv/interop/util.hpp"
#include "duv/kernels/histogram.hpp"

#include <optional>
#include <vector>

namespace duv::augmentation::histogram {

namespace kh = kernels::histogram;

// `fn(values, bins=bins)` (np.histogram or np.histogram_bin_edges); after a MemoryError,
// `fn(values, bins=100)` and the documented RuntimeWarning (`fell_back` then set).
nb::object with_memory_fallback(const Globals &g, nb::handle fn, nb::handle values, nb::handle bins,
                                bool *fell_back = nullptr);

// `_compute_histogram_weights_for_column(values, bins, smoothing_coeff)` for the array `values`
// by the kernel; nothing, with nothing reported, when NumPy must compute it.
std::optional<nb::object> column_weights(const Globals &g, nb::handle np, nb::handle values, nb::handle bins,
                                         nb::handle smoothing_coeff);

enum class Agg { Mean, Max, Geometric };

// The aggregation that `agg` names, when the folded weights stand in for NumPy's: for two
// samples or more (NumPy reduces a single one pairwise) and a smoothing that keeps every sum
// of weights finite.
std::optional<Agg> folded_aggregation(nb::handle agg, nb::handle smoothing_coeff, nb::handle n_samples);

// X's transpose in C order, whose contiguous rows NumPy and the kernel read faster than the
// columns of a row-major matrix, with each column's range when the kernel made it.
struct Transposed {
    Transposed(nb::handle np, nb::handle X);
    nb::object row(int64_t j) const { return rows[nb::int_(j)]; }
    const kh::Range *range(int64_t j) const { return ranges.empty() ? nullptr : &ranges[static_cast<size_t>(j)]; }

    nb::object rows;
    std::vector<kh::Range> ranges;
};

// The aggregate of k columns' weights, folded in column by column.
class FoldedWeights {
public:
    FoldedWeights(nb::handle np, nb::handle smoothing_coeff, int64_t n, Agg agg, int64_t k);
    // Folds in one column's weights by the kernel; false, with nothing folded or reported, when
    // NumPy must compute them (then add() them).
    bool add_column(const Globals &g, nb::handle values, nb::handle bins, const kh::Range *range);
    void add(nb::object weights);
    nb::object finish();

private:
    kh::Fold next_fold();

    nb::object np_, smoothing_;
    duv::NewArray<double> acc_;
    Agg agg_;
    int64_t n_, k_, done_ = 0;
};

}  // namespace duv::augmentation::histogram
