"""A tour of the whole public API, written to pass a strict type checker against the package's stubs.

    python examples/typing_tour.py           # runs it (a few seconds)
    mypy --strict examples/typing_tour.py    # from the repository root (pyproject.toml configures mypy)
    pyright examples/typing_tour.py          # strict mode, also configured in pyproject.toml

The ``assert_type`` lines state what a checker infers: metrics give a float unless ``multioutput="raw_values"``,
``fit`` returns the estimator's own type, ``predict(X, return_std=True)`` a pair of arrays.
"""

import warnings
from typing import Any, Protocol, assert_type

import numpy as np
import sklearn
from numpy.typing import ArrayLike, NDArray
from sklearn.exceptions import ConvergenceWarning
from sklearn.linear_model import BayesianRidge, LogisticRegression, Ridge
from sklearn.model_selection import GridSearchCV
from sklearn.pipeline import Pipeline
from sklearn.tree import DecisionTreeRegressor

import duv
from duv._version import commit_id, version_tuple
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
    UnwrapMetaEstimatorMixin,
    category_balance_augment,
    gaussian_augment,
    histogram_augment,
    rare_target_augment,
    resample_augment,
    smote_augment,
    target_relevance,
)
from duv.ensemble import MixtureOfExpertsRegressor, VotingRegressor
from duv.metrics import (
    fraction_of_variance_unexplained,
    log10_fraction_of_variance_unexplained,
    log10_r2_score,
    log_fraction_of_variance_unexplained,
    log_r2_score,
    make_categorical_balanced_scorer,
    mean_absolute_log10_error,
    mean_absolute_log_error,
    mean_absolute_percentage_log10_error,
    mean_absolute_percentage_log_error,
    mean_squared_log10_error,
    mean_squared_log_error,
    root_mean_squared_log10_error,
    root_mean_squared_log_error,
)
from duv.neural_network import LinearScalingMLPClassifier, LinearScalingMLPRegressor
from duv.preprocessing import LogarithmScaler

Floats = NDArray[np.float64]


class Model(Protocol):
    """What every augmented meta-estimator offers once fitted."""

    def predict(self, X: ArrayLike) -> Any: ...
    def unwrap(self, deep: bool = True) -> Any: ...


class Classifier(Model, Protocol):
    """An augmented classifier also reports its classes."""

    @property
    def classes_(self) -> NDArray[Any]: ...


def fitted(estimator: Any, X: Floats, y: ArrayLike, **fit_params: Any) -> Any:
    """Fit a scikit-learn estimator; scikit-learn is untyped, so the fitted object is ``Any``."""
    return estimator.fit(X, y, **fit_params)


def metadata_routing_on(sklearn_module: Any) -> Any:
    """``sklearn.config_context(enable_metadata_routing=True)``, untyped like the rest of scikit-learn."""
    return sklearn_module.config_context(enable_metadata_routing=True)


def requested(estimator: Any, method: str) -> Any:
    """What an estimator asks a meta-estimator to route to ``method``."""
    return getattr(estimator.get_metadata_routing(), method).requests


def make_data(n: int = 80, seed: int = 0) -> tuple[Floats, Floats, NDArray[np.int_]]:
    """Positive skewed targets, binary labels, and a categorical third column."""
    rng = np.random.RandomState(seed)
    X = rng.uniform(0.5, 3.0, size=(n, 3))
    X[:, 2] = rng.randint(0, 3, size=n)
    y = 10.0 ** X[:, 0] + rng.uniform(0.0, 1.0, size=n)
    labels = (X[:, 1] > 1.5).astype(np.int_)
    return X, y, labels


def version() -> None:
    assert_type(duv.__version__, str)
    numbers: tuple[int, ...] = version_tuple
    commit: str = commit_id
    print(f"duv {duv.__version__} {numbers} {commit}")


def augmentation_functions(X: Floats, y: Floats, labels: NDArray[np.int_]) -> None:
    weights = np.linspace(0.5, 1.5, len(y))
    results = {
        "smote_augment": smote_augment(X, y, factor=2.0, k_neighbors=3, random_state=0),
        "gaussian_augment": gaussian_augment(X, y, factor=1.5, X_std=0.05, y_std=0.1, random_state=0),
        "histogram_augment": histogram_augment(X, y, n_bins=5, factor=2.0, random_state=0),
        "resample_augment": resample_augment(
            X, y, factor=0.5, random_state=0, sample_weight=weights, sample_weight_mode="consume"
        ),
        "category_balance_augment": category_balance_augment(X, labels, columns=2, sample_weight_mode="generate"),
        "rare_target_augment": rare_target_augment(X, y, generator="smogn", k_neighbors=3, random_state=0),
    }
    for name, (X_aug, _, sw_aug) in results.items():
        weights_note = "no weights" if sw_aug is None else f"weights summing to {float(np.sum(sw_aug)):.1f}"
        print(f"{name:26} {len(y):3} -> {len(X_aug):3} rows, {weights_note}")
    relevance = target_relevance(y, extremes="high")
    assert_type(relevance, NDArray[np.float64])
    print(f"target_relevance: {int(np.sum(relevance >= 0.5))} of {len(y)} targets are rare")


def meta_estimators(X: Floats, y: Floats, labels: NDArray[np.int_]) -> None:
    tree = DecisionTreeRegressor(max_depth=4, random_state=0)  # predicts positive targets, as log metrics need
    smote = SMOTEAugmentedRegressor(tree, factor=2.0, random_state=0).fit(X, y)
    assert_type(smote, SMOTEAugmentedRegressor)
    regressors: dict[str, Model] = {
        "SMOTE": smote,
        "Gaussian": GaussianAugmentedRegressor(tree, factor=2.0, X_std=0.05, random_state=0).fit(X, y),
        "Histogram": HistogramAugmentedRegressor(tree, factor=2.0, n_bins=5, random_state=0).fit(X, y),
        "Resample": ResampleAugmentedRegressor(tree, factor=2.0, random_state=0).fit(X, y),
        "CategoryBalance": CategoryBalanceAugmentedRegressor(tree, columns=2, random_state=0).fit(X, y),
        "RareTarget": RareTargetAugmentedRegressor(tree, relevance="density", random_state=0).fit(X, y),
    }
    # A wrapper's tags are its estimator's where the estimator decides: a tree fits several targets at once.
    assert smote.__sklearn_tags__().target_tags.multi_output
    for name, model in regressors.items():
        error = mean_squared_log_error(y, model.predict(X))
        print(f"{name + 'AugmentedRegressor':34} MSLE {error:.4f}, inner {type(model.unwrap()).__name__}")

    classifiers: list[Classifier] = [
        SMOTEAugmentedClassifier(LogisticRegression(), random_state=0).fit(X, labels),
        GaussianAugmentedClassifier(LogisticRegression(), factor=2.0, X_std=0.05, random_state=0).fit(X, labels),
        HistogramAugmentedClassifier(LogisticRegression(), factor=2.0, n_bins=2, random_state=0).fit(X, labels),
        ResampleAugmentedClassifier(LogisticRegression(), factor=2.0, random_state=0).fit(X, labels),
    ]
    balanced = CategoryBalanceAugmentedClassifier(LogisticRegression(), columns=[2], sample_weight_mode="generate").fit(
        X, labels
    )
    assert_type(balanced.column_indexes_, list[int])
    classifiers.append(balanced)
    for clf in classifiers:
        accuracy = float((np.asarray(clf.predict(X), dtype=np.int_) == labels).mean())
        print(f"{type(clf).__name__:34} accuracy {accuracy:.3f}, classes {clf.classes_.tolist()}")

    # Nested wrappers peel down to the plain estimator; deep=False stops one level in.
    nested = GaussianAugmentedRegressor(ResampleAugmentedRegressor(Ridge(), factor=1.0), factor=1.0).fit(X, y)
    assert isinstance(nested, UnwrapMetaEstimatorMixin)
    print("unwrap:", type(nested.unwrap()).__name__, type(nested.unwrap(deep=False)).__name__)


def ensembles(X: Floats, y: Floats) -> None:
    moe = MixtureOfExpertsRegressor(BayesianRidge(), n_estimators=4, n_clusters=3, random_state=0).fit(X, y)
    assert_type(moe, MixtureOfExpertsRegressor)
    mean, std = moe.predict(X[:3], return_std=True)
    only_means = moe.predict(X[:3])
    assert_type(only_means, NDArray[np.floating[Any]])
    print("MixtureOfExpertsRegressor", np.round(mean, 2), "+-", np.round(std, 2), f"experts {len(moe.estimators_)}")

    members: list[tuple[str, object]] = [("ridge", Ridge()), ("tree", DecisionTreeRegressor(max_depth=3))]
    voting = VotingRegressor(members, weights=np.array([2.0, 1.0])).fit(X, y)
    stack = voting.predict_raw(X[:3])
    mean, spread = voting.predict(X[:3], return_std=True, scale_func=np.log1p)
    print("VotingRegressor", stack.shape, np.round(mean, 2), "+-", np.round(spread, 2))

    # Members fitted elsewhere are adopted as they are.
    adopted = VotingRegressor([("ridge", fitted(Ridge(), X, y))]).assume_fitted()
    adopted.add_models([("tree", fitted(DecisionTreeRegressor(max_depth=2), X, y))])
    print("adopted members:", [name for name, _ in adopted.estimators], len(adopted.estimators_))


def metrics(X: Floats, y: Floats) -> None:
    y_pred = np.asarray(fitted(DecisionTreeRegressor(max_depth=4, random_state=0), X, y).predict(X), dtype=np.float64)
    two = np.column_stack([y, y + 1.0])
    two_pred = np.column_stack([y_pred, y_pred + 1.0])
    scores: dict[str, float] = {
        "mean_absolute_log_error": mean_absolute_log_error(y, y_pred),
        "mean_squared_log_error": mean_squared_log_error(y, y_pred),
        "mean_absolute_percentage_log_error": mean_absolute_percentage_log_error(y, y_pred),
        "log_r2_score": log_r2_score(y, y_pred),
        "root_mean_squared_log_error": root_mean_squared_log_error(y, y_pred, sample_weight=np.ones(len(y))),
        "mean_absolute_log10_error": mean_absolute_log10_error(y + 1.0, y_pred + 1.0),
        "mean_squared_log10_error": mean_squared_log10_error(y + 1.0, y_pred + 1.0),
        "mean_absolute_percentage_log10_error": mean_absolute_percentage_log10_error(y + 1.0, y_pred + 1.0),
        "log10_r2_score": log10_r2_score(y + 1.0, y_pred + 1.0, nan_policy="drop"),
        "root_mean_squared_log10_error": root_mean_squared_log10_error(two + 1.0, two_pred + 1.0, multioutput=[1, 3]),
        "fraction_of_variance_unexplained": fraction_of_variance_unexplained(y, y_pred),
        "log_fraction_of_variance_unexplained": log_fraction_of_variance_unexplained(y, y_pred),
        "log10_fraction_of_variance_unexplained": log10_fraction_of_variance_unexplained(y + 1.0, y_pred + 1.0),
    }
    for name, value in scores.items():
        print(f"{name:40} {value:8.4f}")

    per_output = mean_squared_log_error(two, two_pred, multioutput="raw_values")
    assert_type(per_output, NDArray[np.float64])
    r2_per_output = log_r2_score(two, two_pred, multioutput="raw_values")
    assert_type(r2_per_output, NDArray[np.float64] | float)  # a float NaN below two samples
    print("per output:", np.round(per_output, 4), np.round(r2_per_output, 4))

    scorer = make_categorical_balanced_scorer(mean_squared_log_error, greater_is_better=False, columns=[2])
    model = ResampleAugmentedRegressor(DecisionTreeRegressor(max_depth=4), factor=1.0).fit(X, y)
    balanced: float = scorer(model, X, y)
    print(f"balanced scorer (negated MSLE) {balanced:.4f}")


def neural_networks(X: Floats, y: Floats, labels: NDArray[np.int_]) -> None:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        reg = LinearScalingMLPRegressor(3, 16, 1.0, max_iter=50, random_state=0).fit(X, np.log10(y))
        clf = LinearScalingMLPClassifier(2, 8, max_iter=50, random_state=0).fit(X, labels)
    assert_type(reg, LinearScalingMLPRegressor)
    print("LinearScalingMLPRegressor layers", [int(w) for w in reg.hidden_layer_sizes_])
    print("LinearScalingMLPClassifier layers", [int(w) for w in clf.hidden_layer_sizes_])


def metadata_routing(X: Floats, y: Floats) -> None:
    # With scikit-learn's metadata routing on, each estimator names the metadata a meta-estimator may hand it.
    weights = np.linspace(0.5, 1.5, len(y))
    with metadata_routing_on(sklearn):
        model = ResampleAugmentedRegressor(Ridge(), random_state=0).set_fit_request(sample_weight=True)
        assert_type(model.set_score_request(sample_weight=True), ResampleAugmentedRegressor)
        search = fitted(GridSearchCV(model, {"factor": [1.0, 2.0]}, cv=3), X, y, sample_weight=weights)
        moe = MixtureOfExpertsRegressor(BayesianRidge()).set_predict_request(return_std=False)
        mlp = LinearScalingMLPClassifier(2, 8).set_partial_fit_request(classes=True)
        return_std, classes = requested(moe, "predict")["return_std"], requested(mlp, "partial_fit")["classes"]
    print(
        f"weighted search: best factor {search.best_params_['factor']}; return_std requested {return_std}, "
        f"classes requested {classes}"
    )


def preprocessing(X: Floats, y: Floats) -> None:
    positive = X[:, :2]
    scaler = LogarithmScaler("log10", vmin=1e-3).fit(positive)
    Z = scaler.transform(positive)
    assert_type(Z, NDArray[np.float64])
    back = scaler.inverse_transform(Z)
    print(f"LogarithmScaler round trip max error {float(np.max(np.abs(back - positive))):.2e}")
    pipe = fitted(Pipeline([("log", LogarithmScaler(mode="log1p")), ("ridge", Ridge())]), X, y)
    print(f"pipeline with LogarithmScaler R^2 {pipe.score(X, y):.3f}")


def main() -> None:
    X, y, labels = make_data()
    version()
    augmentation_functions(X, y, labels)
    meta_estimators(X, y, labels)
    ensembles(X, y)
    metrics(X, y)
    neural_networks(X, y, labels)
    metadata_routing(X, y)
    preprocessing(X, y)


if __name__ == "__main__":
    main()
