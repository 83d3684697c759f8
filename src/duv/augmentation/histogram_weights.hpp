// histogram_augment's per-row weights by the kernels (kernels/histogram.hpp): each column placed
// into NumPy's own bin edges, 1.0 / (count + smoothing) looked up per row, and the weights of
// several columns folded into their aggregate in the order in which NumPy reduces the stacked
// vectors. The NumPy calls whose results or reports count (the edges, the MemoryError fallback,
// the warnings of an empty bin's division, the logarithms) are still made.
#pragma once

#include "duv/interop/function.hpp"

#include <optional>
#include <vector>

namespace duv::augmentation::histogram {

// `fn(values, bins=bins)` (np.histogram or np.histogram_bin_edges); after a MemoryError,
// `fn(values, bins=100)` and the documented RuntimeWarning (`fell_back` then set).
nb::object with_memory_fallback(const Globals &g, nb::handle fn, nb::handle values, nb::handle bins,
                                bool *fell_back = nullptr);

// `_compute_histogram_weights_for_column(values, bins, smoothing_coeff)` for the array `values`
// by the kernel; nothing, with nothing reported, when NumPy must compute it.
std::optional<nb::object> column_weights(const Globals &g, nb::handle np, nb::handle values, nb::handle bins,
                                         nb::handle smoothing_coeff);

// The histogrammed columns with their bins: every feature column (target "x" or "xy"), then y
// or each of its columns ("y" or "xy").
struct Histogrammed {
    Histogrammed(nb::handle X, nb::handle y_arr, nb::handle target_lower, nb::handle n_bins, nb::handle x_bins,
                 nb::handle y_bins);
    int64_t count() const { return n_features + static_cast<int64_t>(targets.size()); }
    nb::object feature(int64_t j) const;  // X[:, j]

    nb::handle X, x_bins, y_bins;
    int64_t n_features = 0;
    std::vector<nb::object> targets;
};

// One column's weights by the documented NumPy steps.
using NumpyColumnWeights = nb::object (*)(const Globals &g, nb::handle values, nb::handle bins,
                                          nb::handle smoothing_coeff);

// The columns' weights aggregated by `agg` (as np.mean, np.max or the geometric mean reduce the
// stacked vectors), folded in by the kernel one column at a time; nothing when NumPy must
// aggregate them: a single sample (NumPy reduces it pairwise), a smoothing under which a sum of
// weights could overflow, an `agg` that names no aggregation.
std::optional<nb::object> folded_weights(const Globals &g, const Histogrammed &h, nb::handle agg,
                                         nb::handle smoothing_coeff, nb::handle n_samples,
                                         NumpyColumnWeights numpy_column);

}  // namespace duv::augmentation::histogram
