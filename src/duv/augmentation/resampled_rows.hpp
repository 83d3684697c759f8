// The rows the resampling families return. Resample and gaussian share the validated data, the
// set kept at its size and rows drawn with RandomState.choice, each returned with the weights of
// the rows taken. On gaussian augmentation's grow road, NoisyCopies holds one of X and y: the
// copies of the drawn rows with the noise drawn for them; the noise is kept as RandomState
// returned it and added by the kernel (kernels/grown_rows.hpp) straight into the output rows
// while the module's NumPy is as imported, and NumPy makes the copies as documented otherwise
// or when the kernel raises floating-point flags.
#pragma once

#include "duv/augmentation/grown_set.hpp"

#include <optional>

namespace duv::augmentation {

struct Resampling {
    nb::object np, X, y, rng, n_samples, n_target;
    nb::handle sample_weight;
    bool y_was_1d = false, consume = false, shuffle = false;

    // X, y = checked (check_X_y's pair); y as a column; n_samples.
    void take_data(nb::handle checked);
    // (X_out, y_out, w) with y_out back to a vector when y was one.
    nb::object result(nb::handle X_out, const nb::object &y_out, nb::handle w) const;
    // Ones in consume mode, else the caller's weights of the rows taken (all of them, unindexed,
    // without `indices`).
    nb::object weights_of(nb::handle n_rows, nb::handle indices) const;
};

// n_target == n_samples: the rows permuted when shuffling, else the data themselves (copies
// when `copy`).
nb::object kept_size(const Resampling &r, bool copy);

// rng.choice(n_samples, size=n_target, replace=replace, p=p), permuted when shuffling.
nb::object drawn(const Resampling &r, nb::handle p, bool replace);

class NoisyCopies {
public:
    // copies = src[indices].copy() plus, when `std_` is positive, rng.normal(0, noise_std,
    // shape) (noise_std = np.abs(copies * std_) when `rel_std`); `plain`: the kernel may stand in.
    NoisyCopies(nb::handle np, nb::handle rng, bool plain, nb::handle src, nb::handle indices, nb::handle std_,
                nb::handle rel_std);

    // np.vstack([src, copies]), permuted by `perm` unless it is None.
    nb::object assemble(GrownSet &grown, nb::handle indices, nb::handle perm);

private:
    enum class Road { Copy, Kernel, NumPy };

    bool kernel_applies(nb::handle std_, bool relative, nb::handle indices);
    std::optional<nb::object> by_kernel(const kernels::grown::Rows &rows, const int64_t *src);
    void replay_relative_scaling();

    nb::object np_, src_, draws_, copies_;
    ArrayView view_, idx_;
    kernels::grown::Rows copies_of_;
    Road road_ = Road::Copy;
    bool relative_ = false;
    double scale_ = 0;
};

}  // namespace duv::augmentation
