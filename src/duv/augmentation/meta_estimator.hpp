// The steps shared by the augmented meta-estimators: storing the augmented data, the
// inner fit with its TypeError fallback, and the predict skeleton.
#pragma once

#include "duv/interop/function.hpp"

namespace duv::augmentation {

// `if self.store_augmented: self.augmented_X_ = X_aug; self.augmented_y_ = y_aug`
void store_augmented(nb::handle self, nb::handle X_aug, nb::handle y_aug);

// Clones `self.estimator` (with the module's `clone`), fits it on the augmented data
// (with sample_weight=sw_aug unless sw_aug is None, plus **fit_params when given) and
// retries once without weights after a TypeError. Returns the fitted clone.
nb::object fit_clone(const Args &a, nb::handle self, nb::handle X_aug, nb::handle y_aug, nb::handle sw_aug,
                     nb::handle fit_params = nb::handle());

// Fits `est` as above (no clone).
void fit_with_fallback(nb::handle est, nb::handle X, nb::handle y, nb::handle sw, nb::handle fit_params);

// The lower-cased sample_weight_mode of the resampling families: true for "consume",
// false for "passthrough", ValueError otherwise.
bool consume_mode(nb::handle sample_weight_mode);

// The drawing probabilities of "consume" mode, sw / sw.sum(), after the shape, sign and
// sum checks with their messages (`np` is the numpy module).
nb::object consume_probabilities(nb::handle np, nb::handle sample_weight, nb::handle n_samples);

// check_is_fitted(self); X = <validated X>; feature-count check; estimator_.predict(X).
// `validated` is the result of the family's check_array call.
enum class FeatureMessage { FittedWith, IsExpecting };
nb::object predict_checked(nb::handle self, nb::handle validated, FeatureMessage style);

}  // namespace duv::augmentation
