"""Rare-target augmentation for regression: more rows where the target is rare, interpolated or jittered."""

from collections.abc import Callable
from typing import Any, Literal, Self, TypeAlias

import numpy as np
from numpy.typing import ArrayLike, NDArray
from sklearn.base import BaseEstimator, RegressorMixin
from sklearn.utils import Tags

from ._meta_estimator_mixins import UnwrapMetaEstimatorMixin

_RandomState: TypeAlias = int | np.random.RandomState | None
_Relevance: TypeAlias = Literal["boxplot", "density"] | Callable[[NDArray[np.float64]], ArrayLike] | ArrayLike
_Generator: TypeAlias = Literal["smote", "gaussian", "smogn"]
_PassthroughOrGenerate: TypeAlias = Literal["passthrough", "generate"]

def target_relevance(
    y: ArrayLike,
    *,
    method: Literal["boxplot", "density"] = "boxplot",
    extremes: Literal["both", "high", "low"] = "both",
    control_points: ArrayLike | None = None,
) -> NDArray[np.float64]:
    """How rare each target value is: a relevance in [0, 1] per value.

    ``"boxplot"`` puts relevance 1 at the fences ``q1 - 1.5 * iqr`` and ``q3 + 1.5 * iqr`` and 0 at the
    median, joined by a monotone piecewise-cubic (PCHIP) curve and constant beyond the fences. Without spread
    (``iqr == 0``) every value off the median has relevance 1. ``"density"`` gives ``1 - count / max_count``
    of the value's ``np.histogram(y, bins="auto")`` bin. A constant target has relevance 0 everywhere.

    Args:
        y: Numeric targets without NaN or infinity, 1-D or a single column.
        method: ``"boxplot"`` or ``"density"``; ignored with ``control_points``.
        extremes: Which tail is rare: ``"both"``, ``"high"`` (values below the median get 0) or ``"low"``
            (values above the median get 0); ignored with ``control_points``.
        control_points: ``(value, relevance)`` pairs with strictly increasing finite values and relevances in
            [0, 1], through which the curve runs instead.

    Returns:
        The relevance of each value, float64 of shape ``(n_samples,)``.

    Raises:
        InvalidParameterError: An unknown ``method`` or ``extremes``.
        ValueError: NaN or infinity in ``y``, a ``y`` of several columns, or invalid ``control_points``.
    """

def rare_target_augment(
    X: ArrayLike,
    y: ArrayLike,
    *,
    relevance: _Relevance = "boxplot",
    threshold: float = 0.5,
    balance: float = 1.0,
    generator: _Generator = "smote",
    k_neighbors: int = 5,
    max_factor: float = 10.0,
    noise: float = 0.05,
    shuffle: bool = True,
    random_state: _RandomState = None,
    sample_weight: ArrayLike | None = None,
    sample_weight_mode: _PassthroughOrGenerate = "passthrough",
) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64] | None]:
    """Add synthetic rows where the target is rare, on each side of the median apart.

    A row is rare when its relevance is at least ``threshold``; rare rows below the median make the low side,
    the others the high side. ``round(balance * n_normal) - n_rare`` rows are added (none if that is not
    positive), split between the sides in proportion to their rare rows, at most ``int(max_factor)`` per rare
    row. Every rare row of a side is the base of ``n_syn // n_side`` new rows and the rest are drawn without
    replacement. The data come back unchanged, with a ``UserWarning``, when the target is constant, no row
    is rare or every row is.

    Args:
        X: Training features, 2-D and numeric; used as float64.
        y: Numeric targets, 1-D or a single column.
        relevance: ``"boxplot"`` or ``"density"`` (``target_relevance``), a callable taking the float64 target
            (read-only) and returning one relevance per row, or the relevances themselves.
        threshold: The relevance from which a row is rare, in [0, 1].
        balance: Normal rows per rare row once augmented, >= 0.
        generator: ``"smote"`` interpolates towards one of the ``k_neighbors`` nearest rare rows of the same
            side, target included (a linear target stays linear); ``"gaussian"`` adds normal noise of
            ``noise`` times each column's standard deviation over the side; ``"smogn"`` interpolates when the
            neighbour is closer than half the side's median neighbour distance and jitters otherwise. A side
            of one rare row is jittered (with a ``UserWarning`` for the interpolating generators).
        k_neighbors: Neighbours to interpolate towards, >= 1 (at most the side's rare rows less one).
        max_factor: Synthetic rows per rare row at most (its integer part), >= 1.
        noise: Jitter as a fraction of the standard deviations, >= 0.
        shuffle: Permute the returned rows; otherwise the input rows come first, then the low side's new
            rows, then the high side's.
        random_state: Seed, ``RandomState`` (advanced in place) or ``None`` for NumPy's global generator.
            An int gives the same rows on every call.
        sample_weight: Optional finite per-row weights.
        sample_weight_mode: ``"passthrough"``: a new row weighs what its base row weighs (interpolated
            towards its neighbour's weight). ``"generate"``: no rows are added; a rare row weighs
            ``1 + n_syn / n_side`` of its side, every other row 1, times ``sample_weight``.

    Returns:
        ``(X_aug, y_aug, sw_aug)``, float64 with a 1-D ``y_aug``; ``sw_aug`` is ``None`` in passthrough mode
        without ``sample_weight``.

    Raises:
        InvalidParameterError: An option out of its range or of an unknown value.
        ValueError: NaN or infinity in the data, a non-numeric or multi-column ``y``, relevances that are not
            one value in [0, 1] per row, or weights of another shape.
    """

class RareTargetAugmentedRegressor(RegressorMixin, UnwrapMetaEstimatorMixin, BaseEstimator):
    """Regressor that fits a clone of ``estimator`` on the training set grown by ``rare_target_augment``."""

    # Constructor parameters, stored unchanged.
    estimator: Any
    relevance: _Relevance
    threshold: float
    balance: float
    generator: _Generator
    k_neighbors: int
    max_factor: float
    noise: float
    shuffle: bool
    random_state: _RandomState
    sample_weight_mode: _PassthroughOrGenerate
    store_augmented: bool

    n_features_in_: int
    """Number of training columns."""
    n_outputs_: int
    """Number of target columns: 1."""
    augmented_X_: NDArray[np.float64]
    """The grown features the clone was fitted on (only with ``store_augmented``)."""
    augmented_y_: NDArray[np.float64]
    """The grown targets the clone was fitted on (only with ``store_augmented``)."""
    estimator_: Any
    """The fitted clone of ``estimator``."""

    def __init__(
        self,
        estimator: Any,
        *,
        relevance: _Relevance = "boxplot",
        threshold: float = 0.5,
        balance: float = 1.0,
        generator: _Generator = "smote",
        k_neighbors: int = 5,
        max_factor: float = 10.0,
        noise: float = 0.05,
        shuffle: bool = True,
        random_state: _RandomState = None,
        sample_weight_mode: _PassthroughOrGenerate = "passthrough",
        store_augmented: bool = False,
    ) -> None:
        """Store the parameters unchanged; ``rare_target_augment`` validates them on every fit.

        Args:
            estimator: Unfitted scikit-learn regressor; a clone of it is fitted.
            relevance: How rare each row is (see ``rare_target_augment``).
            threshold: The relevance from which a row is rare.
            balance: Normal rows per rare row once augmented.
            generator: ``"smote"``, ``"gaussian"`` or ``"smogn"``.
            k_neighbors: Neighbours to interpolate towards.
            max_factor: Synthetic rows per rare row at most.
            noise: Jitter as a fraction of the standard deviations.
            shuffle: Permute the grown rows.
            random_state: Seed, ``RandomState`` or ``None``, handed to ``rare_target_augment`` on every fit.
            sample_weight_mode: ``"passthrough"`` or ``"generate"`` (see ``rare_target_augment``).
            store_augmented: Keep the grown data as ``augmented_X_`` and ``augmented_y_``.
        """

    def fit(self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None = None, **fit_params: Any) -> Self:
        """Grow the data with ``rare_target_augment`` and fit a clone of ``estimator`` on it.

        Args:
            X: Training features, 2-D and numeric.
            y: Numeric targets, 1-D (a column vector is flattened with a warning).
            sample_weight: Optional per-row weights, handled by ``sample_weight_mode``; an estimator whose
                ``fit`` rejects ``sample_weight`` is fitted without weights.
            **fit_params: Forwarded to the inner estimator's ``fit``.

        Returns:
            ``self``.

        Raises:
            InvalidParameterError: An option out of its range.
            ValueError: Invalid input or the errors of ``rare_target_augment``.
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

        Required positive input or target, poor score and non-determinism are those of ``estimator``, which
        is fitted on the grown set. The target is a single column whatever ``estimator`` fits, and ``fit``
        validates the input as numbers without NaN.

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
