"""Plain resampling: bootstrap to grow a training set, sampling without replacement to shrink it."""

from typing import Any, Literal, Self, TypeAlias

import numpy as np
from numpy.typing import ArrayLike, NDArray
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin
from sklearn.utils import Tags

from ._meta_estimator_mixins import UnwrapMetaEstimatorMixin

_RandomState: TypeAlias = int | np.random.RandomState | None
_PassthroughOrConsume: TypeAlias = Literal["passthrough", "consume"]

def resample_augment(
    X: ArrayLike,
    y: ArrayLike,
    *,
    factor: float = 10.0,
    shuffle: bool = True,
    random_state: _RandomState = None,
    sample_weight: ArrayLike | None = None,
    sample_weight_mode: _PassthroughOrConsume = "passthrough",
) -> tuple[NDArray[Any], NDArray[Any], NDArray[Any] | None]:
    """Resize a training set to ``round(n_samples * factor)`` rows drawn at random.

    Growing draws all rows with replacement, shrinking draws without replacement, an unchanged size only
    permutes (when ``shuffle``).

    Args:
        X: Training features, 2-D and dense.
        y: Targets of any dtype, 1-D or 2-D; returned with the same number of dimensions.
        factor: Output rows per input row, > 0: ``round(n_samples * factor)`` rows (at least one). Above 1
            every row is drawn with replacement (a bootstrap: some input rows may be missing), below 1
            without replacement.
        shuffle: Permute the drawn rows; otherwise they come in draw order (input order when the size is
            unchanged).
        random_state: Seed, ``RandomState`` (advanced in place) or ``None`` for NumPy's global generator.
            An int gives the same rows on every call.
        sample_weight: Optional per-row weights.
        sample_weight_mode: What happens to ``sample_weight``. ``"passthrough"``: rows are drawn uniformly and
            carry their weights along. ``"consume"``: the weights, normalised, are the drawing probabilities
            (a weighted bootstrap) and every returned row has weight 1.0; the weights are not used when the
            size is unchanged. Case-insensitive.

    Returns:
        ``(X_res, y_res, sw_res)``; ``sw_res`` is ``None`` in passthrough mode without ``sample_weight``.

    Raises:
        InvalidParameterError: ``factor`` not > 0, ``shuffle`` not boolean, invalid ``random_state``.
        ValueError: An unknown ``sample_weight_mode``, or, in consume mode when the size changes, weights of
            the wrong shape, negative or not summing to a positive number.
    """

class ResampleAugmentedRegressor(RegressorMixin, UnwrapMetaEstimatorMixin, BaseEstimator):
    """Regressor that fits a clone of ``estimator`` on the training set resized by ``resample_augment``."""

    # Constructor parameters, stored unchanged.
    estimator: Any
    factor: float
    shuffle: bool
    random_state: _RandomState
    sample_weight_mode: _PassthroughOrConsume
    store_augmented: bool

    n_features_in_: int
    """Number of training columns."""
    n_outputs_: int
    """Number of target columns (1 for a 1-D target)."""
    augmented_X_: NDArray[Any]
    """The resampled features the clone was fitted on (only with ``store_augmented``)."""
    augmented_y_: NDArray[Any]
    """The resampled targets the clone was fitted on (only with ``store_augmented``)."""
    estimator_: Any
    """The fitted clone of ``estimator``."""

    def __init__(
        self,
        estimator: Any,
        factor: float = 10.0,
        shuffle: bool = True,
        random_state: _RandomState = None,
        sample_weight_mode: _PassthroughOrConsume = "passthrough",
        store_augmented: bool = False,
    ) -> None:
        """Store the parameters unchanged; nothing is validated before ``fit``.

        Args:
            estimator: Unfitted scikit-learn regressor; a clone of it is fitted.
            factor: Training rows per input row, > 0 (see ``resample_augment``).
            shuffle: Permute the resampled rows.
            random_state: Seed, ``RandomState`` or ``None``, handed to ``resample_augment`` on every fit.
            sample_weight_mode: ``"passthrough"`` or ``"consume"`` (see ``resample_augment``).
            store_augmented: Keep the resampled data as ``augmented_X_`` and ``augmented_y_``.
        """

    def fit(self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None = None) -> Self:
        """Resample the data with ``resample_augment`` and fit a clone of ``estimator`` on it.

        Args:
            X: Training features, 2-D.
            y: Numeric targets, 1-D or 2-D.
            sample_weight: Optional per-row weights, handled by ``sample_weight_mode``; an estimator whose
                ``fit`` rejects ``sample_weight`` is fitted without weights.

        Returns:
            ``self``.

        Raises:
            InvalidParameterError: Invalid ``factor``, ``shuffle`` or ``random_state``.
            ValueError: Invalid input or the errors of ``resample_augment``.
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

class ResampleAugmentedClassifier(ClassifierMixin, UnwrapMetaEstimatorMixin, BaseEstimator):
    """Classifier that fits a clone of ``estimator`` on the training set resized by ``resample_augment``."""

    # Constructor parameters, stored unchanged.
    estimator: Any
    factor: float
    shuffle: bool
    random_state: _RandomState
    sample_weight_mode: _PassthroughOrConsume
    store_augmented: bool

    n_features_in_: int
    """Number of training columns."""
    augmented_X_: NDArray[Any]
    """The resampled features the clone was fitted on (only with ``store_augmented``)."""
    augmented_y_: NDArray[Any]
    """The resampled labels the clone was fitted on (only with ``store_augmented``)."""
    estimator_: Any
    """The fitted clone of ``estimator``."""

    def __init__(
        self,
        estimator: Any,
        factor: float = 10.0,
        shuffle: bool = True,
        random_state: _RandomState = None,
        sample_weight_mode: _PassthroughOrConsume = "passthrough",
        store_augmented: bool = False,
    ) -> None:
        """Store the parameters unchanged; nothing is validated before ``fit``.

        Args:
            estimator: Unfitted scikit-learn classifier; a clone of it is fitted.
            factor: Training rows per input row, > 0 (see ``resample_augment``).
            shuffle: Permute the resampled rows.
            random_state: Seed, ``RandomState`` or ``None``, handed to ``resample_augment`` on every fit.
            sample_weight_mode: ``"passthrough"`` or ``"consume"`` (see ``resample_augment``).
            store_augmented: Keep the resampled data as ``augmented_X_`` and ``augmented_y_``.
        """

    def fit(self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None = None) -> Self:
        """Resample the data with ``resample_augment`` and fit a clone of ``estimator`` on it.

        Args:
            X: Training features, 2-D.
            y: Class labels, 1-D.
            sample_weight: Optional per-row weights, handled by ``sample_weight_mode``; an estimator whose
                ``fit`` rejects ``sample_weight`` is fitted without weights.

        Returns:
            ``self``.

        Raises:
            InvalidParameterError: Invalid ``factor``, ``shuffle`` or ``random_state``.
            ValueError: Invalid input or the errors of ``resample_augment``.
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
