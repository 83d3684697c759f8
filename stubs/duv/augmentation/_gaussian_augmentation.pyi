"""Gaussian augmentation: copies of drawn rows jittered with Gaussian noise in the features and/or targets."""

from typing import Any, Literal, Self, TypeAlias

import numpy as np
from numpy.typing import ArrayLike, NDArray
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin
from sklearn.utils import Tags

from ._meta_estimator_mixins import UnwrapMetaEstimatorMixin

_RandomState: TypeAlias = int | np.random.RandomState | None
_PassthroughOrConsume: TypeAlias = Literal["passthrough", "consume"]

def gaussian_augment(
    X: ArrayLike,
    y: ArrayLike,
    factor: float = 10.0,
    sample_weight: ArrayLike | None = None,
    sample_weight_mode: _PassthroughOrConsume = "passthrough",
    X_std: float | None = None,
    y_std: float | None = None,
    rel_std: bool = False,
    shuffle: bool = True,
    random_state: _RandomState = None,
) -> tuple[NDArray[Any], NDArray[Any], NDArray[Any] | None]:
    """Resize a training set to ``max(1, round(n_samples * factor))`` rows, jittering the added copies.

    Growing appends copies of drawn rows with Gaussian noise; shrinking samples rows without replacement
    (no noise); an unchanged size only permutes (when ``shuffle``).

    Args:
        X: Training features, 2-D and dense.
        y: Targets, 1-D or 2-D; returned with the same number of dimensions.
        factor: Output rows per input row, > 0. Above 1 the input rows are kept and
            ``round(n_samples * factor) - n_samples`` jittered copies of uniformly drawn rows are appended;
            below 1 rows are sampled without replacement and no noise is added.
        sample_weight: Optional per-row weights.
        sample_weight_mode: What happens to ``sample_weight``. ``"passthrough"``: weights travel with their
            rows and a copy inherits the weight of its source row. ``"consume"``: the weights, normalised, are
            the probabilities of drawing the rows to copy (or to keep, when shrinking); every returned row
            then has weight 1.0. Case-insensitive.
        X_std: Standard deviation of the Gaussian noise added to every feature of a copy (in the features'
            units, so scale the features first or use ``rel_std``); ``None`` or not positive means exact
            copies, which keep the input dtype.
        y_std: Standard deviation of the noise added to the targets of a copy; ``None`` or not positive means
            exact targets. A positive value requires a numeric ``y``.
        rel_std: Make ``X_std`` and ``y_std`` relative: a value ``v`` gets noise of standard deviation
            ``|v| * std`` (``0.05`` means 5 %), so zeros stay zero.
        shuffle: Permute the returned rows; otherwise the input rows come first, then the copies.
        random_state: Seed, ``RandomState`` (advanced in place) or ``None`` for NumPy's global generator.
            An int gives the same rows on every call.

    Returns:
        ``(X_out, y_out, sw_out)``; ``sw_out`` is ``None`` in passthrough mode without ``sample_weight``.

    Raises:
        ValueError: ``factor`` not positive, an unknown ``sample_weight_mode``, or consume-mode weights of the
            wrong shape, negative or not summing to a positive number.
    """

class GaussianAugmentedRegressor(RegressorMixin, UnwrapMetaEstimatorMixin, BaseEstimator):
    """Regressor that fits a clone of ``estimator`` on the training set resized by ``gaussian_augment``."""

    # Constructor parameters, stored unchanged.
    estimator: Any
    factor: float
    sample_weight_mode: _PassthroughOrConsume
    X_std: float | None
    y_std: float | None
    rel_std: bool
    shuffle: bool
    random_state: _RandomState
    store_augmented: bool

    n_features_in_: int
    """Number of training columns."""
    n_outputs_: int
    """Number of target columns (1 for a 1-D target)."""
    augmented_X_: NDArray[Any]
    """The augmented features the clone was fitted on (only with ``store_augmented``)."""
    augmented_y_: NDArray[Any]
    """The augmented targets the clone was fitted on (only with ``store_augmented``)."""
    estimator_: Any
    """The fitted clone of ``estimator``."""

    def __init__(
        self,
        estimator: Any,
        factor: float = 10.0,
        sample_weight_mode: _PassthroughOrConsume = "passthrough",
        X_std: float | None = None,
        y_std: float | None = None,
        rel_std: bool = False,
        shuffle: bool = True,
        random_state: _RandomState = None,
        store_augmented: bool = False,
    ) -> None:
        """Store the parameters unchanged; nothing is validated before ``fit``.

        Args:
            estimator: Unfitted scikit-learn regressor; a clone of it is fitted.
            factor: Training rows per input row, > 0 (see ``gaussian_augment``).
            sample_weight_mode: ``"passthrough"`` or ``"consume"`` (see ``gaussian_augment``).
            X_std: Standard deviation of the feature noise, or ``None`` (see ``gaussian_augment``).
            y_std: Standard deviation of the target noise, or ``None`` (see ``gaussian_augment``).
            rel_std: Make the deviations relative to each value's magnitude (see ``gaussian_augment``).
            shuffle: Permute the augmented rows.
            random_state: Seed, ``RandomState`` or ``None``, handed to ``gaussian_augment`` on every fit.
            store_augmented: Keep the augmented data as ``augmented_X_`` and ``augmented_y_``.
        """

    def fit(self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None = None, **fit_params: Any) -> Self:
        """Augment the data with ``gaussian_augment`` and fit a clone of ``estimator`` on it.

        Args:
            X: Training features, 2-D.
            y: Targets, 1-D or 2-D.
            sample_weight: Optional per-row weights, handled by ``sample_weight_mode``; an estimator whose
                ``fit`` rejects ``sample_weight`` is fitted without weights.
            **fit_params: Forwarded to every call of the inner estimator's ``fit``.

        Returns:
            ``self``.

        Raises:
            ValueError: Invalid input or the errors of ``gaussian_augment``.
        """

    def predict(self, X: ArrayLike) -> Any:
        """Predict with the fitted clone.

        Args:
            X: Features with as many columns as in ``fit``.

        Returns:
            Whatever ``estimator_.predict(X)`` returns, unchanged.

        Raises:
            NotFittedError: The model is not fitted.
            ValueError: ``X`` has another number of columns than in ``fit``.
        """

    def __sklearn_tags__(self) -> Tags:
        """scikit-learn's estimator tags: a regressor's, completed from the wrapped estimator.

        Required positive input or target, multi-output support, poor score and
        non-determinism are those of ``estimator``, which is fitted on the grown set.
        ``fit`` validates the input as numbers without NaN, whatever ``estimator`` accepts.

        Returns:
            The tags.
        """

    def set_fit_request(self, *, sample_weight: bool | str | None = "$UNCHANGED$") -> Self:
        """Choose which metadata a meta-estimator routes to ``fit``: ``sample_weight``.

        Generated by scikit-learn, usable once ``sklearn.set_config(enable_metadata_routing=True)``. For each
        parameter: ``True`` passes the metadata when given, ``False`` never passes it, ``None`` (the initial
        request) makes the router raise an error when it is given, a string passes the metadata of that
        name instead, and ``"$UNCHANGED$"`` (the default) keeps the current request.

        Args:
            sample_weight: Whether a meta-estimator passes ``sample_weight`` on to ``fit`` (see above).

        Returns:
            ``self``.

        Raises:
            RuntimeError: Metadata routing is not enabled.
        """

    def set_score_request(self, *, sample_weight: bool | str | None = "$UNCHANGED$") -> Self:
        """Choose which metadata a meta-estimator routes to ``score``: ``sample_weight``.

        Generated by scikit-learn, usable once ``sklearn.set_config(enable_metadata_routing=True)``. For each
        parameter: ``True`` passes the metadata when given, ``False`` never passes it, ``None`` (the initial
        request) makes the router raise an error when it is given, a string passes the metadata of that
        name instead, and ``"$UNCHANGED$"`` (the default) keeps the current request.

        Args:
            sample_weight: Whether a meta-estimator passes ``sample_weight`` on to ``score`` (see above).

        Returns:
            ``self``.

        Raises:
            RuntimeError: Metadata routing is not enabled.
        """

class GaussianAugmentedClassifier(ClassifierMixin, UnwrapMetaEstimatorMixin, BaseEstimator):
    """Classifier that fits a clone of ``estimator`` on jittered copies of its rows; labels are copied exactly."""

    # Constructor parameters, stored unchanged.
    estimator: Any
    factor: float
    sample_weight_mode: _PassthroughOrConsume
    X_std: float | None
    rel_std: bool
    shuffle: bool
    random_state: _RandomState
    store_augmented: bool

    n_features_in_: int
    """Number of training columns."""
    augmented_X_: NDArray[Any]
    """The augmented features the clone was fitted on (only with ``store_augmented``)."""
    augmented_y_: NDArray[Any]
    """The augmented labels the clone was fitted on (only with ``store_augmented``)."""
    estimator_: Any
    """The fitted clone of ``estimator``."""

    def __init__(
        self,
        estimator: Any,
        factor: float = 10.0,
        sample_weight_mode: _PassthroughOrConsume = "passthrough",
        X_std: float | None = None,
        rel_std: bool = False,
        shuffle: bool = True,
        random_state: _RandomState = None,
        store_augmented: bool = False,
    ) -> None:
        """Store the parameters unchanged; nothing is validated before ``fit``.

        Args:
            estimator: Unfitted scikit-learn classifier; a clone of it is fitted.
            factor: Training rows per input row, > 0 (see ``gaussian_augment``).
            sample_weight_mode: ``"passthrough"`` or ``"consume"`` (see ``gaussian_augment``).
            X_std: Standard deviation of the feature noise, or ``None`` (see ``gaussian_augment``).
            rel_std: Make the deviation relative to each value's magnitude (see ``gaussian_augment``).
            shuffle: Permute the augmented rows.
            random_state: Seed, ``RandomState`` or ``None``, handed to ``gaussian_augment`` on every fit.
            store_augmented: Keep the augmented data as ``augmented_X_`` and ``augmented_y_``.
        """

    def fit(self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None = None, **fit_params: Any) -> Self:
        """Augment the data with ``gaussian_augment`` (features only) and fit a clone of ``estimator`` on it.

        Args:
            X: Training features, 2-D.
            y: Class labels, 1-D.
            sample_weight: Optional per-row weights, handled by ``sample_weight_mode``; an estimator whose
                ``fit`` rejects ``sample_weight`` is fitted without weights.
            **fit_params: Forwarded to every call of the inner estimator's ``fit``.

        Returns:
            ``self``.

        Raises:
            ValueError: Invalid input or the errors of ``gaussian_augment``.
        """

    def predict(self, X: ArrayLike) -> Any:
        """Predict with the fitted clone.

        Args:
            X: Features with as many columns as in ``fit``.

        Returns:
            Whatever ``estimator_.predict(X)`` returns, unchanged.

        Raises:
            NotFittedError: The model is not fitted.
            ValueError: ``X`` has another number of columns than in ``fit``.
        """

    @property
    def classes_(self) -> NDArray[Any]:
        """The class labels of the fitted inner classifier (``estimator_.classes_``)."""

    def __sklearn_tags__(self) -> Tags:
        """scikit-learn's estimator tags: a classifier's, completed from the wrapped estimator.

        Required positive input, multi-class support, poor score and
        non-determinism are those of ``estimator``, which is fitted on the grown set.
        ``fit`` validates the input as numbers without NaN, whatever ``estimator`` accepts.

        Returns:
            The tags.
        """

    def set_fit_request(self, *, sample_weight: bool | str | None = "$UNCHANGED$") -> Self:
        """Choose which metadata a meta-estimator routes to ``fit``: ``sample_weight``.

        Generated by scikit-learn, usable once ``sklearn.set_config(enable_metadata_routing=True)``. For each
        parameter: ``True`` passes the metadata when given, ``False`` never passes it, ``None`` (the initial
        request) makes the router raise an error when it is given, a string passes the metadata of that
        name instead, and ``"$UNCHANGED$"`` (the default) keeps the current request.

        Args:
            sample_weight: Whether a meta-estimator passes ``sample_weight`` on to ``fit`` (see above).

        Returns:
            ``self``.

        Raises:
            RuntimeError: Metadata routing is not enabled.
        """

    def set_score_request(self, *, sample_weight: bool | str | None = "$UNCHANGED$") -> Self:
        """Choose which metadata a meta-estimator routes to ``score``: ``sample_weight``.

        Generated by scikit-learn, usable once ``sklearn.set_config(enable_metadata_routing=True)``. For each
        parameter: ``True`` passes the metadata when given, ``False`` never passes it, ``None`` (the initial
        request) makes the router raise an error when it is given, a string passes the metadata of that
        name instead, and ``"$UNCHANGED$"`` (the default) keeps the current request.

        Args:
            sample_weight: Whether a meta-estimator passes ``sample_weight`` on to ``score`` (see above).

        Returns:
            ``self``.

        Raises:
            RuntimeError: Metadata routing is not enabled.
        """
