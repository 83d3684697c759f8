// The tags of the augmented meta-estimators: the mixin's, completed with what the wrapped
// estimator decides, since it is the estimator that finally sees the (grown) data.
#pragma once

#include "duv/interop/tags.hpp"

namespace duv::augmentation {

// How fit reads X: validated numbers without NaN (check_X_y's defaults), or as given to the
// wrapped estimator after a check that lets NaN and any dtype through (category balance);
// NumericOneTarget: numbers, and y one column whatever the estimator fits (rare target).
enum class InputCheck { Numeric, AsGiven, NumericOneTarget };

// Sets `__sklearn_tags__` on the built meta-estimator class `cls` of module `m`.
void def_sklearn_tags(nb::module_ &m, nb::handle cls, InputCheck input);

}  // namespace duv::augmentation
