"""scikit-learn's common estimator checks on every estimator of the package, and the tags they rely on.

A check that an estimator cannot pass because of its documented behaviour is an expected failure (strict), with
the reason; everything else must pass.
"""

import re
import warnings

import numpy as np
import pytest
from sklearn.ensemble import HistGradientBoostingClassifier, HistGradientBoostingRegressor
from sklearn.exceptions import ConvergenceWarning
from sklearn.gaussian_process import GaussianProcessRegressor
from sklearn.linear_model import BayesianRidge, LinearRegression, LogisticRegression, Ridge
from sklearn.naive_bayes import MultinomialNB
from sklearn.svm import SVR
from sklearn.utils import get_tags
from sklearn.utils.estimator_checks import parametrize_with_checks

from duv.augmentation import (
    CategoryBalanceAugmentedClassifier,
    CategoryBalanceAugmentedRegressor,
    GaussianAugmentedClassifier,
    GaussianAugmentedRegressor,
    HistogramAugmentedClassifier,
    HistogramAugmentedRegressor,
    RareTargetAugmentedRegressor,
    ResampleAugmentedClassifier,
    ResampleAugmentedRegressor,
    SMOTEAugmentedClassifier,
    SMOTEAugmentedRegressor,
)
from duv.ensemble import MixtureOfExpertsRegressor, VotingRegressor
from duv.neural_network import LinearScalingMLPClassifier, LinearScalingMLPRegressor
from duv.preprocessing import LogarithmScaler

REGRESSORS = [
    SMOTEAugmentedRegressor,
    GaussianAugmentedRegressor,
    HistogramAugmentedRegressor,
    ResampleAugmentedRegressor,
    CategoryBalanceAugmentedRegressor,
    RareTargetAugmentedRegressor,
]
CLASSIFIERS = [
    SMOTEAugmentedClassifier,
    GaussianAugmentedClassifier,
    HistogramAugmentedClassifier,
    ResampleAugmentedClassifier,
    CategoryBalanceAugmentedClassifier,
]
CATEGORY_BALANCE = (CategoryBalanceAugmentedRegressor, CategoryBalanceAugmentedClassifier)
SINGLE_TARGET = (RareTargetAugmentedRegressor,)  # fits a one-column target whatever its estimator fits


def wrap(cls, inner, **params):
    if cls in CATEGORY_BALANCE:
        params.setdefault("columns", [0])
    return cls(inner, random_state=0, **params)


ESTIMATORS = (
    [wrap(cls, Ridge()) for cls in REGRESSORS]
    + [wrap(cls, LogisticRegression()) for cls in CLASSIFIERS]
    + [
        MixtureOfExpertsRegressor(BayesianRidge(), n_estimators=3, n_clusters=2, random_state=0),
        MixtureOfExpertsRegressor(
            BayesianRidge(),
            n_estimators=3,
            split="random",
            routing="distance",
            aggregation_method="inverse_variance",
            random_state=0,
        ),
        VotingRegressor([("lr", LinearRegression()), ("r", Ridge())]),
        LogarithmScaler(),
        LogarithmScaler("log1p", inverted=True, eps=0.1),
        LinearScalingMLPRegressor(2, 20, random_state=0),
        LinearScalingMLPClassifier(2, 20, 0.5, random_state=0),
    ]
)

# Reasons, each a documented behaviour.
FITTED_WITH_WORDING = "predict words a column-count mismatch 'X has n features, but this estimator was fitted with m'"
WEIGHT_IS_NO_REPEAT = "new rows are drawn per row, so a weight is not a repeat count"
VALIDATED_AT_CONSTRUCTION = "parameters are validated at construction (validate_params on __init__)"
PASSTHROUGH_IGNORES_WEIGHTS = "passthrough mode leaves sample_weight out of the fit"
X_AS_GIVEN = "the balancing columns are read from X as given, which needs len()"

EXPECTED_FAILURES = {
    SMOTEAugmentedRegressor: {
        "check_n_features_in_after_fitting": FITTED_WITH_WORDING,
        "check_sample_weight_equivalence_on_dense_data": WEIGHT_IS_NO_REPEAT,
        "check_requires_y_none": "fit is wrapped in validate_params, which reports y=None as InvalidParameterError",
    },
    SMOTEAugmentedClassifier: {
        "check_n_features_in_after_fitting": FITTED_WITH_WORDING,
        "check_sample_weight_equivalence_on_dense_data": WEIGHT_IS_NO_REPEAT,
        "check_all_zero_sample_weights_error": "synthetic rows get weight 1.0, so the weights never all vanish",
    },
    GaussianAugmentedRegressor: {"check_sample_weight_equivalence_on_dense_data": WEIGHT_IS_NO_REPEAT},
    GaussianAugmentedClassifier: {"check_sample_weight_equivalence_on_dense_data": WEIGHT_IS_NO_REPEAT},
    HistogramAugmentedRegressor: {
        "check_n_features_in_after_fitting": FITTED_WITH_WORDING,
        "check_sample_weight_equivalence_on_dense_data": WEIGHT_IS_NO_REPEAT,
        "check_regressors_int": "the target keeps its dtype, and NumPy's bin estimators give integers unit-wide bins",
    },
    HistogramAugmentedClassifier: {
        "check_n_features_in_after_fitting": FITTED_WITH_WORDING,
        "check_sample_weight_equivalence_on_dense_data": WEIGHT_IS_NO_REPEAT,
        "check_classifiers_classes": "with target='y' the labels are binned by numpy.histogram: they must be numbers",
    },
    ResampleAugmentedRegressor: {
        "check_n_features_in_after_fitting": FITTED_WITH_WORDING,
        "check_sample_weight_equivalence_on_dense_data": WEIGHT_IS_NO_REPEAT,
    },
    ResampleAugmentedClassifier: {"check_n_features_in_after_fitting": FITTED_WITH_WORDING},
    RareTargetAugmentedRegressor: {
        "check_n_features_in_after_fitting": FITTED_WITH_WORDING,
        "check_sample_weight_equivalence_on_dense_data": WEIGHT_IS_NO_REPEAT,
    },
    **{
        cls: {
            "check_sample_weights_not_an_array": X_AS_GIVEN,
            "check_regressor_data_not_an_array"
            if cls is CategoryBalanceAugmentedRegressor
            else "check_classifier_data_not_an_array": X_AS_GIVEN,
            "check_all_zero_sample_weights_error": PASSTHROUGH_IGNORES_WEIGHTS,
            "check_sample_weights_shape": PASSTHROUGH_IGNORES_WEIGHTS,
            "check_sample_weight_equivalence_on_dense_data": PASSTHROUGH_IGNORES_WEIGHTS,
            "check_dtype_object": "a cell of a balancing column is a group key, so it must be hashable",
        }
        for cls in CATEGORY_BALANCE
    },
    MixtureOfExpertsRegressor: {
        "check_n_features_in": "the fitted attributes are the documented ones, without n_features_in_",
        "check_n_features_in_after_fitting": "the fitted attributes are the documented ones, without n_features_in_",
    },
    VotingRegressor: {"check_do_not_raise_errors_in_init_or_set_params": VALIDATED_AT_CONSTRUCTION},
    LogarithmScaler: {
        "check_do_not_raise_errors_in_init_or_set_params": VALIDATED_AT_CONSTRUCTION,
        "check_n_features_in_after_fitting": "a column-count mismatch is reported as 'X has n features, expected m.'",
    },
    LinearScalingMLPRegressor: {"check_dont_overwrite_parameters": "fit sets hidden_layer_sizes from the layout"},
    LinearScalingMLPClassifier: {
        "check_dont_overwrite_parameters": "fit sets hidden_layer_sizes from the layout",
        "check_requires_y_none": "the output count is read from y before the base class validates it "
        "(IndexError for y=None)",
    },
}


@parametrize_with_checks(ESTIMATORS, expected_failed_checks=lambda est: EXPECTED_FAILURES[type(est)])
def test_sklearn_common_checks(estimator, check):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        # The checks feed negative data to the scaler; NaN is its documented answer.
        warnings.filterwarnings("ignore", "invalid value encountered", RuntimeWarning)
        check(estimator)


def test_every_public_estimator_is_checked():
    import duv.augmentation
    import duv.ensemble
    import duv.neural_network
    import duv.preprocessing

    public = {
        getattr(mod, name)
        for mod in (duv.augmentation, duv.ensemble, duv.neural_network, duv.preprocessing)
        for name in mod.__all__
        if hasattr(getattr(mod, name), "fit")
    }
    assert public == {type(est) for est in ESTIMATORS}
    assert set(EXPECTED_FAILURES) == public


# ---- tags: what they claim is what the estimator does -----------------------------------


@pytest.mark.parametrize("cls", REGRESSORS)
@pytest.mark.parametrize("inner, multi_output", [(Ridge(), True), (SVR(), False)])
def test_wrapped_regressor_supports_multi_output_as_its_estimator_does(cls, inner, multi_output):
    multi_output = multi_output and cls not in SINGLE_TARGET
    est = wrap(cls, inner)
    assert get_tags(est).target_tags.multi_output is multi_output
    rng = np.random.RandomState(0)
    X, Y = rng.rand(30, 3), rng.rand(30, 2)
    if multi_output:
        assert wrap(cls, inner).fit(X, Y).predict(X).shape == (30, 2)
    else:
        with pytest.raises(ValueError):
            wrap(cls, inner).fit(X, Y)


@pytest.mark.parametrize("cls", REGRESSORS + CLASSIFIERS)
def test_wrapper_requires_positive_input_when_its_estimator_does(cls):
    inner = MultinomialNB() if cls in CLASSIFIERS else Ridge(positive=True)
    assert get_tags(wrap(cls, inner)).input_tags.positive_only is get_tags(inner).input_tags.positive_only
    assert get_tags(wrap(cls, Ridge() if cls in REGRESSORS else LogisticRegression())).input_tags.positive_only is False


@pytest.mark.parametrize(
    "cls, inner",
    [
        (CategoryBalanceAugmentedRegressor, HistGradientBoostingRegressor()),
        (CategoryBalanceAugmentedClassifier, HistGradientBoostingClassifier()),
    ],
)
def test_category_balance_accepts_nan_when_its_estimator_does(cls, inner):
    rng = np.random.RandomState(0)
    X = np.c_[rng.randint(0, 3, 60), rng.rand(60)]
    X[::7, 1] = np.nan
    y = rng.randint(0, 2, 60)
    assert get_tags(wrap(cls, inner, columns=0)).input_tags.allow_nan is True
    assert wrap(cls, inner, columns=0).fit(X, y).predict(X).shape == (60,)
    assert (
        get_tags(
            wrap(cls, Ridge() if cls is CategoryBalanceAugmentedRegressor else LogisticRegression(), columns=0)
        ).input_tags.allow_nan
        is False
    )


@pytest.mark.parametrize("cls", [c for c in REGRESSORS + CLASSIFIERS if c not in CATEGORY_BALANCE])
def test_numeric_families_reject_nan_whatever_their_estimator(cls):
    inner = HistGradientBoostingRegressor() if cls in REGRESSORS else HistGradientBoostingClassifier()
    assert get_tags(wrap(cls, inner)).input_tags.allow_nan is False
    X = np.random.RandomState(0).rand(20, 2)
    X[3, 1] = np.nan
    with pytest.raises(ValueError, match="NaN"):
        wrap(cls, inner).fit(X, np.arange(20) % 2)


@pytest.mark.parametrize(
    "inner, multi_output", [(BayesianRidge(), False), (GaussianProcessRegressor(), True), (None, False)]
)
def test_mixture_of_experts_tags_follow_its_experts(inner, multi_output):
    tags = get_tags(MixtureOfExpertsRegressor(inner))
    assert tags.estimator_type == "regressor"
    assert tags.target_tags.multi_output is multi_output
    assert tags.input_tags.allow_nan is False


def test_mixture_of_experts_fits_multi_output_experts_as_its_tags_say():
    rng = np.random.RandomState(0)
    X, Y = rng.rand(40, 2), rng.rand(40, 2)
    moe = MixtureOfExpertsRegressor(GaussianProcessRegressor(), n_estimators=3, n_clusters=2, random_state=0)
    mean, std = moe.fit(X, Y).predict(X, return_std=True)
    assert mean.shape == std.shape == (40, 2)


def test_logarithm_scaler_says_it_accepts_nan():
    assert get_tags(LogarithmScaler()).input_tags.allow_nan is True
    out = LogarithmScaler().fit([[1.0], [np.nan]]).transform([[10.0], [np.nan]])
    np.testing.assert_array_equal(out, [[1.0], [np.nan]])


@pytest.mark.parametrize(
    "est",
    [e for e in ESTIMATORS if type(e) in REGRESSORS + CLASSIFIERS] + [MixtureOfExpertsRegressor(BayesianRidge())],
    ids=lambda e: type(e).__name__,
)
def test_tags_start_from_the_mixins(est):
    tags = get_tags(est)
    assert tags.estimator_type == ("classifier" if type(est) in CLASSIFIERS else "regressor")
    assert tags.target_tags.required is True
    assert tags.input_tags.sparse is False
    assert type(est).__sklearn_tags__.__qualname__ == type(est).__name__ + ".__sklearn_tags__"


# ---- one weight per row: passthrough weights are checked before they travel with the rows ----

WEIGHTED = [
    SMOTEAugmentedRegressor,
    SMOTEAugmentedClassifier,
    GaussianAugmentedRegressor,
    GaussianAugmentedClassifier,
    HistogramAugmentedClassifier,
    ResampleAugmentedRegressor,
    ResampleAugmentedClassifier,
    RareTargetAugmentedRegressor,
]


@pytest.mark.parametrize("cls", WEIGHTED)
@pytest.mark.parametrize(
    "sample_weight, shape", [(np.ones(21), "(21,)"), (np.ones((20, 2)), "(20, 2)"), (np.ones(19), "(19,)")]
)
def test_passthrough_weights_of_another_shape_are_rejected(cls, sample_weight, shape):
    X = np.random.RandomState(0).rand(20, 3)
    y = np.arange(20) % 2
    with pytest.raises(ValueError, match="^" + re.escape(f"sample_weight should have shape (20,), got {shape}") + "$"):
        wrap(cls, Ridge() if cls in REGRESSORS else LogisticRegression()).fit(X, y, sample_weight=sample_weight)


@pytest.mark.parametrize("cls", WEIGHTED)
def test_passthrough_weights_still_reach_the_estimator(cls):
    from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin

    class Spy(ClassifierMixin if cls in CLASSIFIERS else RegressorMixin, BaseEstimator):
        def fit(self, X, y, sample_weight=None):
            self.n_rows_, self.sample_weight_ = len(X), sample_weight
            return self

        def predict(self, X):
            return np.zeros(len(X))

    X = np.random.RandomState(0).rand(20, 3)
    w = np.linspace(0.5, 2.0, 20)
    fitted = wrap(cls, Spy()).fit(X, np.arange(20) % 2, sample_weight=w).estimator_
    assert fitted.sample_weight_.shape == (fitted.n_rows_,)
    assert np.isin(w, fitted.sample_weight_).all()  # the input rows keep their weights
