// What rare-target augmentation does to whole arrays: the relevance curves, the side split,
// and the synthetic rows with the augmented arrays they end in. Each step runs in the kernels
// (kernels/monotone_cubic.hpp, kernels/rare_target.hpp) while the module's NumPy is the one it
// imported and the arrays are plain, and as the NumPy expressions of the steps otherwise; the
// values and the random draws are the same either way.
#pragma once

#include "duv/interop/buffer.hpp"
#include "duv/interop/module_state.hpp"
#include "duv/kernels/rare_target.hpp"

#include <array>
#include <optional>
#include <vector>

namespace duv::augmentation::rare {

using kernels::rare_target::Extremes;

struct RareState : ModuleState {
    // The NumPy names of the expressions the kernels stand in for.
    AsImported numpy{*this,
                     {"np", "np.ndarray", "np.searchsorted", "np.minimum", "np.where", "np.flatnonzero", "np.repeat",
                      "np.arange", "np.concatenate", "np.vstack"}};
};

// ---- relevance ---------------------------------------------------------------------------

// A target as a float64 vector: a 2-D target of one column is used as its column; more columns
// raise "y must be one-dimensional or a single column, got shape ...".
nb::object target_vector(nb::handle np, nb::handle y);

// Points of a relevance curve (values increasing); a side made a step has relevance 1 strictly
// beyond its end point.
struct Curve {
    std::vector<double> values, relevances;
    bool step_below = false, step_above = false;
};

// np.asarray(control_points, dtype=float), checked to be pairs (value, relevance) with finite
// increasing values and relevances in [0, 1].
Curve control_points(nb::handle np, nb::handle control_points);

// The monotone cubic through the curve's points at every value of y, clipped to [0, 1].
nb::object on_curve(nb::handle np, nb::handle y, const Curve &curve);

// 1 - counts[b] / counts.max() with b the histogram bin of each value, zeroed below or above
// the median as `extremes` says (`median` is None for Extremes::Both).
nb::object density(const Globals &g, nb::handle y, nb::handle counts, nb::handle edges, Extremes extremes,
                   nb::handle median);

// y.min() == y.max()
bool constant(nb::handle y);

// np.asarray(relevance, dtype=float) holding one value in [0, 1] per row; ValueError otherwise.
nb::object checked_relevance(nb::handle np, nb::handle relevance, int64_t n);

// ---- sides -------------------------------------------------------------------------------

// One side of the median: its rare rows (rows of X in row order) and how many synthetic rows
// stand behind them.
struct Side {
    const char *name;
    nb::object rows;
    int64_t n = 0, n_syn = 0;
};

// The rare rows (relevance >= threshold) below the median and from the median up.
std::pair<Side, Side> split(const Globals &g, nb::handle relevance, nb::handle y, double threshold, nb::handle median);

// ---- synthetic rows ----------------------------------------------------------------------

// The synthetic rows of both sides and the augmented arrays. Per side, in draw order:
// base_rows(), then jittered(), interpolated() or interpolated_or_jittered(); then assemble().
class SyntheticRows {
public:
    // X float64 (n, m), y float64 (n,), weights None or float64 (n,).
    SyntheticRows(const Globals &g, nb::handle X, nb::handle y, nb::handle weights);
    ~SyntheticRows();
    SyntheticRows(const SyntheticRows &) = delete;
    SyntheticRows &operator=(const SyntheticRows &) = delete;

    // X[side.rows] and y[side.rows].
    nb::object X_of(const Side &side) const;
    nb::object y_of(const Side &side) const;

    // The side's base rows: q times each of its rows, then the positions `drawn` (None: none).
    void base_rows(const Side &side, int64_t q, nb::handle drawn);
    // Every row X_side[base] + scale_x * z[:, :-1], y_side[base] + scale_y * z[:, -1].
    void jittered(nb::handle z, nb::handle scale_x, nb::handle scale_y);
    // Every row X_side[base] + alpha[:, None] * (X_side[nb] - X_side[base]), nb = ind[:, 1:][base, slot].
    void interpolated(nb::handle ind, nb::handle slot, nb::handle alpha);
    // Interpolated where dist[:, 1:][base, slot] < limit, jittered elsewhere.
    void interpolated_or_jittered(nb::handle ind, nb::handle dist, nb::handle slot, nb::handle alpha, nb::handle z,
                                  nb::handle scale_x, nb::handle scale_y, nb::handle limit);

    // (X_aug, y_aug, sw_aug): the input rows then the synthetic rows, in the order of `perm`
    // when it is not None.
    nb::object assemble(nb::handle perm);

    // One side's recorded draws and, once read for the kernel, their views.
    struct Part;

private:
    Part &current();
    void prepare_kernel(Part &p);
    std::optional<nb::object> by_kernel(nb::handle perm);
    std::array<nb::object, 3> numpy_rows(const Part &p) const;
    nb::object by_numpy(nb::handle perm);

    nb::object np_, X_, y_, w_;
    bool kernel_;  // every part so far has plain arrays for the kernel
    std::vector<Part> parts_;
};

}  // namespace duv::augmentation::rare
