"""Category-balance augmentation: the categories of chosen feature columns made to count equally."""

from collections.abc import Sequence
from typing import Any, Literal, Self, TypeAlias

import numpy as np
from numpy.typing import ArrayLike, NDArray
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin
from sklearn.utils import Tags

from ._meta_estimator_mixins import UnwrapMetaEstimatorMixin

_RandomState: TypeAlias = int | np.random.RandomState | None
_Columns: TypeAlias = str | int | Sequence[str | int] | NDArray[Any]
_PassthroughOrGenerate: TypeAlias = Literal["passthrough", "generate"]

def category_balance_augment(
    X: ArrayLike,
    y: ArrayLike,
    *,
    columns: _Columns,
    balance_strength: float = 1.0,
    shuffle: bool = True,
    random_state: _RandomState = None,
    sample_weight: ArrayLike | None = None,
    sample_weight_mode: _PassthroughOrGenerate = "passthrough",
) -> tuple[Any, Any, NDArray[np.float64] | None]:
    """Balance the categories of the ``columns`` of ``X``, by duplicating rows or by weighting them.

    Rows are grouped by their values in ``columns`` (all missing values form one category). Every group
    smaller than the largest is raised to ``ceil(largest * balance_strength)`` rows, if that is larger.

    Args:
        X: Features: an array or a pandas DataFrame (recognised by its attributes; NaN allowed).
        y: Targets: an array or a pandas Series.
        columns: The categorical columns that define the groups: one column name or position, or a
            sequence of them (rows then group by their combination of values). Names need a DataFrame;
            positions count from 0 (negative positions are rejected). Values are compared as Python objects,
            so strings, integers and floats all work as categories.
        balance_strength: How far the smaller groups are raised, > 0: every group smaller than the largest
            is brought to ``ceil(largest * balance_strength)`` rows (or weight) if it has fewer. 1.0 makes
            all groups as large as the largest; 0.5 raises them to half its size, never shrinking any; above
            1.0 makes the smaller groups larger than the largest one, which is never changed.
        shuffle: Shuffle the returned rows (passthrough mode); otherwise they come group by group, each
            group's rows followed by its duplicates.
        random_state: Seed, ``RandomState`` (advanced in place) or ``None`` for NumPy's global generator;
            it draws the duplicated rows. An int gives the same rows on every call.
        sample_weight: Per-row weights multiplied into the generated weights (generate mode only; ignored in
            passthrough mode).
        sample_weight_mode: ``"passthrough"``: every small group is topped up with rows drawn from it with
            replacement, and no weights are returned. ``"generate"``: the data come back unchanged and the
            rows of a small group get the weight ``target / group size`` (1.0 elsewhere), so every group
            counts as ``target`` rows.

    Returns:
        ``(X_aug, y_aug, sw_aug)``. Passthrough: the rows (pandas objects stay pandas, selected by ``iloc``)
        and ``None``. Generate: the validated arrays in input order and the weights.

    Raises:
        InvalidParameterError: A parameter outside its constraints.
        IndexError: A column position out of bounds ("columns index out of bounds").
        ValueError: Invalid input, or generate-mode weights of the wrong shape or negative.
    """

class CategoryBalanceAugmentedRegressor(RegressorMixin, UnwrapMetaEstimatorMixin, BaseEstimator):
    """Regressor fitted on data whose ``columns`` categories are balanced by ``category_balance_augment``.

    In generate mode the inner estimator is fitted without the balancing columns, and ``predict`` removes them
    from its input as well.

    Use it when some categories of a feature (sites, devices, groups of people) are rare in the training data
    but should count as much as the frequent ones.
    """

    # Constructor parameters, stored unchanged.
    estimator: Any
    columns: _Columns
    balance_strength: float
    sample_weight_mode: _PassthroughOrGenerate
    shuffle: bool
    random_state: _RandomState
    store_augmented: bool

    n_features_in_: int
    """Number of training columns."""
    column_names_: list[str] | None
    """Names of the balancing columns, when ``X`` had column names."""
    column_indexes_: list[int]
    """Positions of the balancing columns."""
    augmented_X_: Any
    """The balanced features (all columns; only with ``store_augmented``)."""
    augmented_y_: Any
    """The balanced targets (only with ``store_augmented``)."""
    estimator_: Any
    """The fitted clone of ``estimator``."""

    def __init__(
        self,
        estimator: Any,
        *,
        columns: _Columns,
        balance_strength: float = 1.0,
        sample_weight_mode: _PassthroughOrGenerate = "passthrough",
        shuffle: bool = True,
        random_state: _RandomState = None,
        store_augmented: bool = False,
    ) -> None:
        """Store the parameters unchanged; nothing is validated before ``fit``.

        Args:
            estimator: Unfitted scikit-learn regressor; a clone of it is fitted.
            columns: The balancing columns (required): a name or position, or a sequence of them (see
                ``category_balance_augment``).
            balance_strength: Target group size as a fraction of the largest group (see
                ``category_balance_augment``).
            sample_weight_mode: ``"passthrough"`` or ``"generate"`` (see ``category_balance_augment``).
            shuffle: Shuffle the duplicated rows.
            random_state: Seed, ``RandomState`` or ``None``, handed to the function on every fit.
            store_augmented: Keep the balanced data as ``augmented_X_`` and ``augmented_y_``.
        """

    def fit(self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None = None, **fit_params: Any) -> Self:
        """Balance the data with ``category_balance_augment`` and fit a clone of ``estimator`` on it.

        Args:
            X: Training features, an array or a DataFrame.
            y: Targets, 1-D or 2-D.
            sample_weight: Per-row weights, used in generate mode only.
            **fit_params: Forwarded to every call of the inner estimator's ``fit``.

        Returns:
            ``self``.

        Raises:
            InvalidParameterError: A parameter outside the constraints of ``category_balance_augment``.
            IndexError: A column position out of bounds.
            ValueError: Invalid input or the errors of ``category_balance_augment``.
        """

    def predict(self, X: ArrayLike) -> Any:
        """Predict with the fitted clone; ``X`` is not validated.

        Args:
            X: Features with the training layout; the balancing columns are removed first when a generate-mode
                ``fit`` removed them, otherwise ``X`` is handed over as received.

        Returns:
            Whatever ``estimator_.predict`` returns, unchanged.

        Raises:
            NotFittedError: The model is not fitted.
        """

    def __sklearn_tags__(self) -> Tags:
        """scikit-learn's estimator tags: a regressor's, completed from the wrapped estimator.

        Required positive input or target, multi-output support, poor score and
        non-determinism are those of ``estimator``, which is fitted on the grown set.
        NaN, string and categorical input are accepted as far as ``estimator`` accepts them, since
        ``fit`` hands ``X`` on as given.

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

class CategoryBalanceAugmentedClassifier(ClassifierMixin, UnwrapMetaEstimatorMixin, BaseEstimator):
    """Classifier fitted on data whose ``columns`` categories are balanced by ``category_balance_augment``.

    The balancing columns are feature columns, not the labels; to even out the classes themselves use
    ``HistogramAugmentedClassifier``, which draws rows of rare labels more often.
    """

    # Constructor parameters, stored unchanged.
    estimator: Any
    columns: _Columns
    balance_strength: float
    sample_weight_mode: _PassthroughOrGenerate
    shuffle: bool
    random_state: _RandomState
    store_augmented: bool

    n_features_in_: int
    """Number of training columns."""
    column_names_: list[str] | None
    """Names of the balancing columns, when ``X`` had column names."""
    column_indexes_: list[int]
    """Positions of the balancing columns."""
    augmented_X_: Any
    """The balanced features (only with ``store_augmented``)."""
    augmented_y_: Any
    """The balanced labels (only with ``store_augmented``)."""
    estimator_: Any
    """The fitted clone of ``estimator``."""

    def __init__(
        self,
        estimator: Any,
        *,
        columns: _Columns,
        balance_strength: float = 1.0,
        sample_weight_mode: _PassthroughOrGenerate = "passthrough",
        shuffle: bool = True,
        random_state: _RandomState = None,
        store_augmented: bool = False,
    ) -> None:
        """Store the parameters unchanged; nothing is validated before ``fit``.

        Args:
            estimator: Unfitted scikit-learn classifier; a clone of it is fitted.
            columns: The balancing columns (required): a name or position, or a sequence of them (see
                ``category_balance_augment``).
            balance_strength: Target group size as a fraction of the largest group (see
                ``category_balance_augment``).
            sample_weight_mode: ``"passthrough"`` or ``"generate"`` (see ``category_balance_augment``).
            shuffle: Shuffle the duplicated rows.
            random_state: Seed, ``RandomState`` or ``None``, handed to the function on every fit.
            store_augmented: Keep the balanced data as ``augmented_X_`` and ``augmented_y_``.
        """

    def fit(self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None = None, **fit_params: Any) -> Self:
        """Balance the data with ``category_balance_augment`` and fit a clone of ``estimator`` on it.

        Args:
            X: Training features, an array or a DataFrame.
            y: Class labels, 1-D.
            sample_weight: Per-row weights, used in generate mode only.
            **fit_params: Forwarded to every call of the inner estimator's ``fit``.

        Returns:
            ``self``.

        Raises:
            InvalidParameterError: A parameter outside the constraints of ``category_balance_augment``.
            IndexError: A column position out of bounds.
            ValueError: Invalid input or the errors of ``category_balance_augment``.
        """

    def predict(self, X: ArrayLike) -> Any:
        """Predict with the fitted clone; ``X`` is handed over as received, without any check.

        Args:
            X: Features.

        Returns:
            Whatever ``estimator_.predict(X)`` returns, unchanged.

        Raises:
            NotFittedError: The model is not fitted.
        """

    @property
    def classes_(self) -> NDArray[Any]:
        """The class labels of the fitted inner classifier (``estimator_.classes_``)."""

    def __sklearn_tags__(self) -> Tags:
        """scikit-learn's estimator tags: a classifier's, completed from the wrapped estimator.

        Required positive input, multi-class support, poor score and
        non-determinism are those of ``estimator``, which is fitted on the grown set.
        NaN, string and categorical input are accepted as far as ``estimator`` accepts them, since
        ``fit`` hands ``X`` on as given.

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
