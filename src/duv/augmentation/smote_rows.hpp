// How the SMOTE family makes its synthetic rows,
//     synthetic = base + alpha[:, np.newaxis] * (neighbour - base),
// stacked below the input rows. The row kernel (kernels/smote.hpp) writes an array when its
// elements are plain numbers and the draws plain row numbers, directly in the final row order;
// NumPy builds it otherwise. Either way the values, the errors and the random draws are those
// of the NumPy statement of the steps.
#pragma once

#include "duv/interop/buffer.hpp"
#include "duv/kernels/smote.hpp"

#include <optional>
#include <vector>

namespace duv::augmentation::smote {

// `alpha = (extrapolation + 1.0) * alpha - extrapolation / 2.0` when extrapolation is truthy
// and > 0.0, else alpha itself; written over a fresh float64 draw.
nb::object stretch_alpha(nb::object alpha, nb::handle extrapolation);

// `neighbours[selected, slots]`, written over the slot draw when nothing else holds it.
nb::object neighbours_at(nb::handle neighbours, nb::handle selected, nb::object slots, int64_t n_rows);

// The two endpoint row blocks of synthetic rows, when NumPy takes them.
struct Endpoints {
    nb::object base, neigh;
};

// X_aug, y_aug and sw_aug of smote_augment.
struct Augmented {
    nb::object X, y, weights;
};

// The augmented arrays of smote_augment from the drawn base rows `selected`, their neighbours
// `chosen` and alpha. Called in turn: the constructor once the neighbours are chosen,
// interpolate() after alpha's draw, assemble() after the permutation's. Without `kernel`
// (the module's NumPy rebound), NumPy builds everything.
class Interpolation {
public:
    // Endpoint rows of draws that are not plain row numbers of the n input rows are taken now by
    // NumPy, so that its IndexError comes before alpha's draw, as in the documented steps.
    Interpolation(nb::handle X, nb::handle y, nb::object selected, nb::object chosen, int64_t n, bool kernel);

    // Builds by NumPy what the kernel cannot write: rows of X and y, then the interpolated
    // weights of `sample_weight` (none when it is None).
    void interpolate(nb::handle np, nb::object alpha, nb::handle sample_weight);

    // The arrays in the order of `perm` (input order when it is invalid); y_aug is 2-D.
    Augmented assemble(nb::handle np, nb::handle perm, int64_t n_total);

private:
    // X or y: written by the kernel (`dt` set) or built by NumPy (`aug`).
    struct Rows {
        nb::handle src;
        ArrayView view;
        std::optional<Dtype> dt;
        Endpoints ends;
        nb::object aug;
    };
    void weights(nb::handle np, nb::handle sample_weight);
    void pack_pairs();

    Rows rows_[2];
    int64_t n_;
    nb::object selected_, chosen_, alpha_, weights_;
    ArrayView selected_view_, chosen_view_, alpha_view_, weights_view_;
    kernels::smote::Synthetic draws_;
    bool rows_checked_ = false;  // selected_ and chosen_ are row numbers of X
    bool kernel_draws_ = false;  // draws_ holds the three draw vectors
    std::optional<Dtype> weights_dt_;
    nb::object sw_aug_;  // built by NumPy
};

// One class of SMOTEAugmentedClassifier.fit: its rows (`mask` of X), their weights (None
// without sample_weight), their count, the neighbour count k and the neighbour matrix without
// the self column.
struct ClassRows {
    nb::object mask, X, weights, n, k, neighbours;
};

// The synthetic rows of SMOTEAugmentedClassifier, class after class: row numbers of X and
// coefficients for the kernel while every class's draws are plain, NumPy blocks from the first
// class whose draws are not. For each generating class: pick(), then interpolate() after
// alpha's draw; after the last: finish(), then augmented_rows().
class ClassInterpolation {
public:
    // `expected`: the number of synthetic rows to come (a Python int), for which room is made at once.
    ClassInterpolation(nb::handle np, nb::handle X, int64_t n, nb::handle expected, bool kernel);

    // The class's endpoint rows: base_idx and neighbours[base_idx, slots] of the class's rows.
    void pick(const ClassRows &c, nb::handle base_idx, nb::handle slots);
    void interpolate(const ClassRows &c, nb::handle base_idx, nb::handle slots, nb::handle alpha);

    // The number of synthetic rows; NumPy's blocks are stacked below X.
    int64_t finish();
    // np.vstack([X, synthetic rows]), in the order of `idx` when it is valid.
    nb::object augmented_rows(nb::handle idx, int64_t n_total);

private:
    bool record(const ClassRows &c, nb::handle base_idx, nb::handle slots);
    bool record_alpha(Dtype dt, nb::handle alpha);
    void take_by_numpy(const ClassRows &c, nb::handle base_idx, nb::handle slots);
    void to_numpy();

    nb::handle np_, X_;
    int64_t n_;
    ArrayView X_view_;
    std::optional<Dtype> X_dt_;  // set while the kernel is to write the rows
    kernels::smote::ClassDraws draws_;
    double X_top_ = -1.0;  // largest magnitude in X, once known
    Endpoints pending_;    // the current class's endpoint rows, taken by NumPy
    nb::list blocks_;      // NumPy's synthetic blocks
    nb::object X_aug_;     // stacked by NumPy
};

}  // namespace duv::augmentation::smote
