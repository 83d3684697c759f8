// The meta-estimators' check of weights that a generator carries with the rows unchecked
// (passthrough mode): a weight vector of another length would silently land on other rows,
// or be cut to length by the shuffle, and the wrapped estimator would fit on that.
#pragma once

#include "duv/interop/function.hpp"

namespace duv::augmentation {

// np.asarray(sample_weight), after the check that it holds one weight per row: ValueError
// "sample_weight should have shape (n,), got s" unless its shape is (n_samples,).
nb::object weights_per_row(nb::handle np, nb::handle sample_weight, nb::handle n_samples);

// The same check, unless `sample_weight` is None.
void check_one_weight_per_row(nb::handle np, nb::handle sample_weight, nb::handle n_samples);

// str(sample_weight_mode).lower() == "passthrough", as the generators read the mode.
bool passthrough_mode(nb::handle sample_weight_mode);

}  // namespace duv::augmentation
