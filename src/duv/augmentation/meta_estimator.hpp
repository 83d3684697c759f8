// The steps shared by the augmented meta-estimators: their classes and fit made from a family's
// option table, the inner fit with its TypeError fallback, the sample-weight checks, the predict
// skeletons and the tags.
#pragma once

#include "duv/interop/klass.hpp"
#include "duv/interop/options.hpp"
#include "duv/interop/sklearn.hpp"
#include "duv/interop/tags.hpp"

#include <initializer_list>
#include <tuple>
#include <type_traits>
#include <utility>

namespace duv::augmentation {

// ---- fitting the wrapped estimator

// `if self.store_augmented: self.augmented_X_ = X_aug; self.augmented_y_ = y_aug`
void store_augmented(nb::handle self, nb::handle X_aug, nb::handle y_aug);

// Clones `self.estimator` (with the module's `clone`), fits it on the augmented data
// (with sample_weight=sw_aug unless sw_aug is None, plus **fit_params when given) and
// retries once without weights after a TypeError. Returns the fitted clone.
nb::object fit_clone(const Globals &g, nb::handle self, nb::handle X_aug, nb::handle y_aug, nb::handle sw_aug,
                     nb::handle fit_params = nb::handle());

// The last steps of every fit: store the augmented data when asked, fit a clone of the
// estimator on it and keep that as `estimator_`. Returns self.
nb::object finish_fit(const Globals &g, nb::handle self, nb::handle X_aug, nb::handle y_aug, nb::handle sw_aug,
                      nb::handle fit_params = nb::handle());

// ---- sample weights

// The lower-cased sample_weight_mode: true for `mode`, false for "passthrough", ValueError
// "sample_weight_mode must be one of {'passthrough','<mode>'}" otherwise.
bool sample_weight_mode_is(nb::handle sample_weight_mode, const char *mode);

// str(sample_weight_mode).lower() == "passthrough", as the generators read the mode.
bool passthrough_mode(nb::handle sample_weight_mode);

// Unless `sample_weight` is None, the check that it holds one weight per row: ValueError
// "sample_weight should have shape (n,), got s" unless np.asarray(sample_weight).shape is
// (n_samples,). Weights of another length would silently land on other rows of the grown set.
void check_one_weight_per_row(nb::handle np, nb::handle sample_weight, nb::handle n_samples);

// `sw` (an array of the caller's weights) after the shape (n_samples,) and sign checks, with
// their messages.
nb::object checked_sample_weight(nb::handle np, nb::object sw, nb::handle n_samples);

// sw / float(sw.sum()), after checking that the sum is finite and positive ("Sum of
// sample_weight must be positive").
nb::object weights_as_probabilities(nb::handle sw);

// The drawing probabilities of "consume" mode: the caller's weights, checked, over their sum;
// None in passthrough mode or without weights.
nb::object consume_probabilities(nb::handle np, bool consume, nb::handle sample_weight, nb::handle n_samples);

// ---- the classes

// `predict(self, X)`: check_is_fitted(self); X = check_array(X); the feature-count check in
// one of its two wordings; self.estimator_.predict(X).
DUV_ARGS(PredictArgs, self, X);
nb::object predict_fitted_with(const Globals &g, const PredictArgs &a);   // "... was fitted with N features"
nb::object predict_is_expecting(const Globals &g, const PredictArgs &a);  // "... is expecting N features as input."

// A meta-estimator class: bases (RegressorMixin or ClassifierMixin, UnwrapMetaEstimatorMixin,
// BaseEstimator) taken from module `m`.
ClassBuilder meta_estimator_class(nb::module_ &m, const char *name, bool regressor);

// A family's meta-estimator class: the bases of meta_estimator_class, `__init__(self,
// estimator, <the options of `surface`>)` and `_parameter_constraints` (estimator, then the
// options'); the estimator's constraint is `estimator`, BaseEstimator when none is given.
ClassBuilder family_class(nb::module_ &m, const char *name, unsigned surface, const OptionTable &options,
                          nb::handle estimator = nb::handle());

// The methods every family defines the same way, then the class is created:
// `fit(self, X, y, sample_weight=None[, **fit_params])`, `predict(self, X)` and, for a
// classifier, the read-only `classes_` after them.
DUV_ARGS(FitArgs, self, X, y, sample_weight);
DUV_ARGS(FitWithParamsArgs, self, X, y, sample_weight, fit_params);
using FitBody = nb::object (*)(const Globals &, const FitArgs &);
using FitWithParamsBody = nb::object (*)(const Globals &, const FitWithParamsArgs &);
using PredictBody = nb::object (*)(const Globals &, const PredictArgs &);
std::vector<Param> fit_signature(bool with_fit_params);
nb::object def_predict_and_build(ClassBuilder &cls, bool regressor, PredictBody predict);
template <typename Fit>
nb::object def_fit_predict_and_build(ClassBuilder &cls, bool regressor, Fit fit, PredictBody predict) {
    cls.def("fit", fit_signature(std::is_same_v<Fit, FitWithParamsBody>), fit);
    return def_predict_and_build(cls, regressor, predict);
}

// How fit reads X: validated numbers without NaN (check_X_y's defaults), or as given to the
// wrapped estimator after a check that lets NaN and any dtype through (category balance);
// NumericOneTarget: numbers, and y one column whatever the estimator fits (rare target).
enum class InputCheck { Numeric, AsGiven, NumericOneTarget };

// Sets `__sklearn_tags__` on the built meta-estimator class `cls` of module `m`: the mixin's,
// completed with what the wrapped estimator decides, since it finally sees the grown data.
void def_sklearn_tags(nb::module_ &m, nb::handle cls, InputCheck input);

// ---- a family's function and classes made from its option table

// `<name>(X, y, <the function's options>)` behind validate_params: X and y array-likes, then
// the options' constraints.
nb::dict data_constraints();
template <typename F>
nb::object def_family_function(nb::module_ &m, const char *name, const OptionTable &options, F f) {
    return def_validated(m, name, options.params(kFunction, {arg("X"), arg("y")}), f,
                         options.constraints(kFunction, data_constraints()), true);
}

// The one fit of the numeric families: check_feature_names(self, X, reset=True);
// X, y = check_X_y(X, y, **checks); self.n_features_in_ (and a regressor's n_outputs_); in
// passthrough mode, when `weights_per_row`, the check of one weight per row; then X_aug, y_aug,
// sw_aug = <function>(X, y, **forwarded options, sample_weight=sample_weight) and finish_fit.
// A family with `weights` works out the weights it hands on from X before setting any
// attribute, and hands them on in the table's place of sample_weight.
struct FamilyFit {
    using Weights = nb::object (*)(const Globals &, unsigned surface, nb::handle self, nb::handle X,
                                   nb::handle sample_weight);
    const char *function;
    unsigned surface;                                             // kRegressor or kClassifier
    std::initializer_list<std::pair<const char *, bool>> checks;  // check_X_y's keywords
    bool weights_per_row = true;
    Weights weights = nullptr;
};
nb::object fit_family(const Globals &g, const OptionTable &options, const FamilyFit &f, const FitWithParamsArgs &a);
nb::object fit_family(const Globals &g, const OptionTable &options, const FamilyFit &f, const FitArgs &a);

// The family's regressor, then its classifier: family_class, fit, predict, the classifier's
// classes_ and the tags of `input`.
template <typename Fit>
void def_family_classes(nb::module_ &m, std::pair<const char *, const char *> names, const OptionTable &options,
                        Fit fit_regressor, Fit fit_classifier, PredictBody predict, InputCheck input) {
    for (auto [name, surface, fit] :
         {std::tuple{names.first, kRegressor, fit_regressor}, std::tuple{names.second, kClassifier, fit_classifier}}) {
        ClassBuilder cls = family_class(m, name, surface, options);
        def_sklearn_tags(m, def_fit_predict_and_build(cls, surface == kRegressor, fit, predict), input);
    }
}

}  // namespace duv::augmentation
