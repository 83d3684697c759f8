// Shared machinery of duv.metrics._log_metrics and duv.metrics._fvu: the input checks
// (scikit-learn's, with a proven-equivalent shortcut for finite float64 arrays), the
// fused kernel pass and the reduction over outputs.
#pragma once

#include "duv/interop/function.hpp"
#include "duv/kernels/log_metrics.hpp"

namespace duv::logm {

using kernels::logm::Family;

enum class Kind { AbsoluteError, SquaredError, RootSquaredError, AbsolutePercentageError, R2, FractionUnexplained };

// Captures NumPy objects and the namespace of _log_metrics (whose check_array,
// check_consistent_length and np are looked up at call time). Called once by the
// module body of _log_metrics after its imports.
void init(nb::module_ &log_metrics);
// Records the module's private helpers once they are defined.
void init_helpers(nb::module_ &log_metrics);

// The documented input check; returns (y_true, y_pred, sample_weight, multioutput).
nb::object check_inputs(nb::handle y_true, nb::handle y_pred, nb::handle sample_weight, nb::handle multioutput,
                        nb::handle allow_nan);

// Raises unless nan_policy is "raise" or "drop".
void validate_nan_policy(nb::handle nan_policy);

// A whole metric call. `nan_policy` and `eps` are null for metrics without them;
// `family` is Family::None for the plain fraction of variance unexplained.
nb::object evaluate(const duv::Args &a, Kind kind, Family family, nb::handle y_true, nb::handle y_pred,
                    nb::handle sample_weight, nb::handle multioutput, nb::handle nan_policy, nb::handle eps);

}  // namespace duv::logm
