"""Histogram augmentation: resampling that favours rows from sparsely populated bins of chosen columns."""

from collections.abc import Sequence
from typing import Any, Literal, Self, TypeAlias

import numpy as np
from numpy.typing import ArrayLike, NDArray
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin
from sklearn.utils import Tags

from ._meta_estimator_mixins import UnwrapMetaEstimatorMixin

_RandomState: TypeAlias = int | np.random.RandomState | None
_BinRule: TypeAlias = Literal["auto", "fd", "doane", "scott", "stone", "rice", "sturges", "sqrt"]
_Bins: TypeAlias = int | _BinRule | Sequence[float] | NDArray[Any]
_Target: TypeAlias = Literal["x", "y", "xy"]
_PassthroughOrGenerate: TypeAlias = Literal["passthrough", "generate"]
_Agg: TypeAlias = Literal["geometric", "mean", "max"]

def histogram_augment(
    X: ArrayLike,
    y: ArrayLike,
    n_bins: _Bins = "auto",
    random_state: _RandomState = None,
    factor: float = 10.0,
    shuffle: bool = True,
    smoothing_coeff: float = 1.0,
    target: _Target = "y",
    x_bins: _Bins | None = None,
    y_bins: _Bins | None = None,
    agg: _Agg = "geometric",
    *,
    sample_weight: ArrayLike | None = None,
    sample_weight_mode: _PassthroughOrGenerate = "passthrough",
) -> tuple[NDArray[Any], NDArray[Any], NDArray[Any] | None]:
    """Resize a training set to ``max(1, round(n_samples * factor))`` rows, flattening chosen distributions.

    Every histogrammed column gives each row the weight 1 / (count of its bin + ``smoothing_coeff``); the
    per-column weights are combined by ``agg`` and normalised into drawing probabilities. Growing keeps every
    input row once and appends weighted draws; shrinking draws without replacement.

    Args:
        X: Training features, 2-D and dense.
        y: Targets, 1-D or 2-D; returned with the same number of dimensions.
        n_bins: The ``bins`` argument of ``numpy.histogram`` for every histogrammed column: a bin count, a
            sequence of bin edges, or the name of one of NumPy's bin-width rules (``"auto"``, ``"fd"``,
            ``"sturges"``, ...). Fewer, wider bins favour rare regions less sharply.
        random_state: Seed, ``RandomState`` (advanced in place) or ``None`` for NumPy's global generator.
            An int gives the same rows on every call.
        factor: Output rows per input row, > 0: ``max(1, round(n_samples * factor))`` rows.
        shuffle: Shuffle the returned rows; otherwise the input rows come first, then the draws.
        smoothing_coeff: Added to every bin count before it is inverted, >= 0: a row's weight is
            ``1 / (count of its bin + smoothing_coeff)``. 0 weighs rows by pure inverse counts, so a row alone
            in its bin weighs as much as a full bin together; larger values damp the preference for rare bins
            and make the draws closer to uniform.
        target: Which columns are histogrammed: ``"y"`` (the targets, or the labels of a classifier),
            ``"x"`` (every feature column) or ``"xy"`` (both). Case-insensitive.
        x_bins: Bins for the feature columns, as ``n_bins``; ``None`` means ``n_bins``.
        y_bins: Bins for the target columns, as ``n_bins``; ``None`` means ``n_bins``.
        agg: How the per-column weights of a row are combined when several columns are histogrammed:
            ``"geometric"`` mean (a row must be rare in all its columns to be favoured strongly),
            arithmetic ``"mean"``, or ``"max"`` (rare in any one column is enough). With a single column all
            three give that column's weights. Case-sensitive.
        sample_weight: Optional per-row weights.
        sample_weight_mode: What happens to ``sample_weight``. ``"passthrough"``: rows are drawn by their
            histogram weights and carry their sample weights along. ``"generate"``: nothing is drawn; the
            data come back unchanged, in input order, with one weight per row: when growing, 1 plus the
            row's expected number of copies (its drawing probability times the number of added rows); when
            shrinking, its drawing probability times the target size; multiplied by ``sample_weight`` when
            given and scaled to sum to the target size. (When the size does not change, every mode returns
            the rows with ``sample_weight`` as given.) Case-insensitive.

    Returns:
        ``(X_out, y_out, sw_out)``; ``sw_out`` is ``None`` in passthrough mode without ``sample_weight``,
        and all three are empty arrays for empty input.

    Warns:
        UserWarning: Empty input, or no usable weights (uniform sampling is used).

    Raises:
        InvalidParameterError: A parameter outside its constraints.
        ValueError: ``y`` with more than two dimensions, ``X`` and ``y`` of different lengths, an unknown or
            ``"consume"`` ``sample_weight_mode``, an unknown ``target`` or ``agg``, or generate-mode weights of
            the wrong shape or negative.
    """

class HistogramAugmentedRegressor(RegressorMixin, UnwrapMetaEstimatorMixin, BaseEstimator):
    """Regressor that fits a clone of ``estimator`` on the training set resized by ``histogram_augment``."""

    # Constructor parameters, stored unchanged.
    estimator: Any
    n_bins: _Bins
    random_state: _RandomState
    factor: float
    shuffle: bool
    smoothing_coeff: float
    target: _Target
    x_bins: _Bins | None
    y_bins: _Bins | None
    agg: _Agg
    sample_weight_mode: _PassthroughOrGenerate
    store_augmented: bool

    n_features_in_: int
    """Number of training columns."""
    n_outputs_: int
    """Number of target columns (1 for a 1-D target)."""
    augmented_X_: NDArray[Any]
    """The features the clone was fitted on (only with ``store_augmented``)."""
    augmented_y_: NDArray[Any]
    """The targets the clone was fitted on (only with ``store_augmented``)."""
    estimator_: Any
    """The fitted clone of ``estimator``."""

    def __init__(
        self,
        estimator: Any,
        n_bins: _Bins = "auto",
        random_state: _RandomState = None,
        factor: float = 10.0,
        shuffle: bool = True,
        smoothing_coeff: float = 1.0,
        target: _Target = "y",
        x_bins: _Bins | None = None,
        y_bins: _Bins | None = None,
        agg: _Agg = "geometric",
        sample_weight_mode: _PassthroughOrGenerate = "passthrough",
        store_augmented: bool = False,
    ) -> None:
        """Store the parameters unchanged; they are checked by ``histogram_augment`` during ``fit``.

        Args:
            estimator: Unfitted scikit-learn regressor; a clone of it is fitted.
            n_bins: Default bins of every histogram (see ``histogram_augment``).
            random_state: Seed, ``RandomState`` or ``None``, handed to ``histogram_augment`` on every fit.
            factor: Training rows per input row, > 0.
            shuffle: Shuffle the resampled rows.
            smoothing_coeff: Added to every bin count (see ``histogram_augment``).
            target: Columns histogrammed: ``"x"``, ``"y"`` or ``"xy"`` (see ``histogram_augment``).
            x_bins: Bins for the feature columns, or ``None`` for ``n_bins``.
            y_bins: Bins for the target columns, or ``None`` for ``n_bins``.
            agg: ``"geometric"``, ``"mean"`` or ``"max"`` (see ``histogram_augment``).
            sample_weight_mode: ``"passthrough"`` or ``"generate"`` (see ``histogram_augment``).
            store_augmented: Keep the training data of the clone as ``augmented_X_`` and ``augmented_y_``.
        """

    def fit(self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None = None) -> Self:
        """Resample (or weight) the data with ``histogram_augment`` and fit a clone of ``estimator`` on it.

        Args:
            X: Training features, 2-D.
            y: Numeric targets, 1-D or 2-D.
            sample_weight: Optional per-row weights, handled by ``sample_weight_mode``; an estimator whose
                ``fit`` rejects ``sample_weight`` is fitted without weights.

        Returns:
            ``self``.

        Raises:
            InvalidParameterError: A parameter outside the constraints of ``histogram_augment``.
            ValueError: Invalid input or the errors of ``histogram_augment``.
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

class HistogramAugmentedClassifier(ClassifierMixin, UnwrapMetaEstimatorMixin, BaseEstimator):
    """Classifier that fits a clone of ``estimator`` on the training set resized by ``histogram_augment``.

    With the default ``target="y"`` the (numeric) labels are histogrammed, so rare classes are drawn more often
    and the class proportions move towards balance. Give every class its own bin (``y_bins=k`` for labels
    ``0 .. k-1``): the default ``"auto"`` bins are at least 1 wide for integer labels, so the labels 0 and 1 share
    one bin, every row is equally likely and nothing is rebalanced.
    """

    # Constructor parameters, stored unchanged.
    estimator: Any
    n_bins: _Bins
    random_state: _RandomState
    factor: float
    shuffle: bool
    smoothing_coeff: float
    target: _Target
    x_bins: _Bins | None
    y_bins: _Bins | None
    agg: _Agg
    sample_weight_mode: _PassthroughOrGenerate
    store_augmented: bool

    n_features_in_: int
    """Number of training columns."""
    augmented_X_: NDArray[Any]
    """The features the clone was fitted on (only with ``store_augmented``)."""
    augmented_y_: NDArray[Any]
    """The labels the clone was fitted on (only with ``store_augmented``)."""
    estimator_: Any
    """The fitted clone of ``estimator``."""

    def __init__(
        self,
        estimator: Any,
        n_bins: _Bins = "auto",
        random_state: _RandomState = None,
        factor: float = 10.0,
        shuffle: bool = True,
        smoothing_coeff: float = 1.0,
        target: _Target = "y",
        x_bins: _Bins | None = None,
        y_bins: _Bins | None = None,
        agg: _Agg = "geometric",
        sample_weight_mode: _PassthroughOrGenerate = "passthrough",
        store_augmented: bool = False,
    ) -> None:
        """Store the parameters unchanged; they are checked by ``histogram_augment`` during ``fit``.

        Args:
            estimator: Unfitted scikit-learn classifier; a clone of it is fitted.
            n_bins: Default bins of every histogram (see ``histogram_augment``).
            random_state: Seed, ``RandomState`` or ``None``, handed to ``histogram_augment`` on every fit.
            factor: Training rows per input row, > 0.
            shuffle: Shuffle the resampled rows.
            smoothing_coeff: Added to every bin count (see ``histogram_augment``).
            target: Columns histogrammed: ``"x"``, ``"y"`` or ``"xy"`` (see ``histogram_augment``).
            x_bins: Bins for the feature columns, or ``None`` for ``n_bins``.
            y_bins: Bins for the label column, or ``None`` for ``n_bins``.
            agg: ``"geometric"``, ``"mean"`` or ``"max"`` (see ``histogram_augment``).
            sample_weight_mode: ``"passthrough"`` or ``"generate"`` (see ``histogram_augment``).
            store_augmented: Keep the training data of the clone as ``augmented_X_`` and ``augmented_y_``.
        """

    def fit(self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None = None) -> Self:
        """Resample (or weight) the data with ``histogram_augment`` and fit a clone of ``estimator`` on it.

        Args:
            X: Training features, 2-D.
            y: Class labels, 1-D (numeric when they are histogrammed).
            sample_weight: Optional per-row weights, handled by ``sample_weight_mode``; an estimator whose
                ``fit`` rejects ``sample_weight`` is fitted without weights.

        Returns:
            ``self``.

        Raises:
            InvalidParameterError: A parameter outside the constraints of ``histogram_augment``.
            ValueError: Invalid input or the errors of ``histogram_augment``.
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
