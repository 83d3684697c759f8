// The meta-estimators' check of weights that a generator carries with the rows unchecked
// (passthrough mode): a weight vector of another length would silently land on other rows,
// or be cut to length by the shuffle, and the wrapped estimator would fit on that.
#pragma once

#include "duv/interop/function.hpp"

namespace duv::augmentation {

// ValueError "sample_weight should have shape (n,), got s" (the message of the checking
// modes) unless `sample_weight` is None or np.asarray(sample_weight).shape == (n_samples,).
void check_one_weight_per_row(nb::handle np, nb::handle sample_weight, nb::handle n_samples);

// str(sample_weight_mode).lower() == "passthrough", as the generators read the mode.
bool passthrough_mode(nb::handle sample_weight_mode);

}  // namespace duv::augmentation
