"""SMOTE-style augmentation: synthetic rows on the segments between rows and their nearest neighbours."""

from typing import Any, Literal, Self, TypeAlias

import numpy as np
from numpy.typing import ArrayLike, NDArray
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin
from sklearn.utils import Tags

from ._meta_estimator_mixins import UnwrapMetaEstimatorMixin

_RandomState: TypeAlias = int | np.random.RandomState | None
_Algorithm: TypeAlias = Literal["auto", "ball_tree", "kd_tree", "brute"]
_PassthroughOrConsume: TypeAlias = Literal["passthrough", "consume"]

def smote_augment(
    X: ArrayLike,
    y: ArrayLike,
    factor: float = 10.0,
    k_neighbors: int = 5,
    random_state: _RandomState = None,
    distance_weights: ArrayLike | None = None,
    shuffle: bool = True,
    algorithm: _Algorithm = "auto",
    n_jobs: int | None = None,
    extrapolation: float = 0.0,
    *,
    sample_weight: ArrayLike | None = None,
    sample_weight_mode: _PassthroughOrConsume = "passthrough",
) -> tuple[NDArray[Any], NDArray[Any], NDArray[Any] | None]:
    """Enlarge a regression training set with rows interpolated between neighbours.

    Each synthetic row lies between a randomly drawn base row and one of its ``k_neighbors`` nearest
    neighbours; its target is interpolated with the same coefficient. The input rows come first, then the
    ``round(n_samples * (factor - 1))`` synthetic rows, all permuted when ``shuffle``.

    Args:
        X: Training features, 2-D and dense.
        y: Targets, 1-D or 2-D; returned with the same number of dimensions.
        factor: Output rows per input row, at least 1.0: ``round(n_samples * (factor - 1))`` synthetic rows
            are added (``factor=3.0`` triples the set; 1.0 adds none and only shuffles).
        k_neighbors: Neighbours considered per base row (capped at ``n_samples - 1``); the partner of a
            synthetic row is drawn uniformly among them. Small values keep new rows close to dense regions.
        random_state: Seed, ``RandomState`` (advanced in place) or ``None`` for NumPy's global generator.
            An int gives the same rows on every call.
        distance_weights: One non-negative weight ``w_j`` per feature for the neighbour search, which then
            measures ``sqrt(sum_j w_j * (a_j - b_j) ** 2)``: a larger weight makes a feature count more when
            choosing neighbours, 0 ignores it. It changes which rows are partners, not how rows are
            interpolated. ``None`` means plain Euclidean distance.
        shuffle: Permute the returned rows; otherwise the input rows come first, then the synthetic ones.
        algorithm: Neighbour-search algorithm of scikit-learn's ``NearestNeighbors``: ``"auto"`` (chosen
            from the data), ``"ball_tree"``, ``"kd_tree"`` or ``"brute"`` (exhaustive). It affects speed
            only, except for the order of neighbours at equal distance.
        n_jobs: Parallel jobs of the neighbour search (``None``: one, ``-1``: all processors).
        extrapolation: How far synthetic rows may leave the segment between a row and its partner. The
            interpolation coefficient is drawn uniformly from [0, 1), so rows lie between the two; a value
            ``e > 0`` stretches the interval to [-e/2, 1 + e/2), allowing rows up to ``e/2`` segment lengths
            beyond either end. 0.0 (the default) only interpolates.
        sample_weight: Optional per-row weights.
        sample_weight_mode: What happens to ``sample_weight``. ``"passthrough"``: weights travel with the
            rows; a synthetic row gets the weight of its two endpoints interpolated with its coefficient
            (clipped to [0, 1]). ``"consume"``: the weights, normalised, are the probabilities of drawing base
            rows, so heavy rows seed more synthetic rows; every returned row then has weight 1.0.
            Case-insensitive.

    Returns:
        ``(X_aug, y_aug, sw_aug)``; ``sw_aug`` is ``None`` in passthrough mode without ``sample_weight``.

    Raises:
        ValueError: ``factor`` below 1.0, an unknown ``sample_weight_mode``, ``distance_weights`` of the wrong
            length, or, in consume mode, weights of the wrong shape, negative or not summing to a positive
            number.
    """

class SMOTEAugmentedRegressor(RegressorMixin, UnwrapMetaEstimatorMixin, BaseEstimator):
    """Regressor that fits a clone of ``estimator`` on the training set enlarged by ``smote_augment``."""

    # Constructor parameters, stored unchanged.
    estimator: Any
    factor: float
    k_neighbors: int
    distance_weights: ArrayLike | None
    random_state: _RandomState
    shuffle: bool
    algorithm: _Algorithm
    n_jobs: int | None
    extrapolation: float
    sample_weight_mode: _PassthroughOrConsume
    store_augmented: bool

    random_state_: np.random.RandomState
    """The generator every draw of the last ``fit`` came from."""
    n_samples_: int
    """Number of training rows."""
    n_features_in_: int
    """Number of training columns."""
    n_outputs_: int
    """Number of target columns (1 for a 1-D target)."""
    n_synthetic_: int
    """Number of synthetic rows added."""
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
        k_neighbors: int = 5,
        distance_weights: ArrayLike | None = None,
        random_state: _RandomState = None,
        shuffle: bool = True,
        algorithm: _Algorithm = "auto",
        n_jobs: int | None = None,
        extrapolation: float = 0.0,
        sample_weight_mode: _PassthroughOrConsume = "passthrough",
        store_augmented: bool = False,
    ) -> None:
        """Store the parameters unchanged; nothing is validated before ``fit``.

        Args:
            estimator: Unfitted scikit-learn regressor; a clone of it is fitted.
            factor: Output rows per input row, at least 1.0 (see ``smote_augment``).
            k_neighbors: Neighbours considered per base row (see ``smote_augment``).
            distance_weights: Per-feature weights of the neighbour distance (see ``smote_augment``).
            random_state: Seed, ``RandomState`` or ``None``; becomes ``random_state_`` in ``fit``, which then
                draws the synthetic rows and the shuffle. An int gives the same model on every fit.
            shuffle: Shuffle the augmented set before the inner fit.
            algorithm: Neighbour-search algorithm (see ``smote_augment``).
            n_jobs: Parallel jobs of the neighbour search.
            extrapolation: Widening of the interpolation interval (see ``smote_augment``).
            sample_weight_mode: ``"passthrough"`` or ``"consume"`` (see ``smote_augment``).
            store_augmented: Keep the augmented data as ``augmented_X_`` and ``augmented_y_``.
        """

    def fit(self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None = None) -> Self:
        """Augment the data with ``smote_augment`` and fit a clone of ``estimator`` on it.

        Args:
            X: Training features, 2-D.
            y: Numeric targets, 1-D or 2-D.
            sample_weight: Optional per-row weights, handled by ``sample_weight_mode``; an estimator whose
                ``fit`` rejects ``sample_weight`` is fitted without weights.

        Returns:
            ``self``.

        Raises:
            InvalidParameterError: ``X``, ``y`` or ``sample_weight`` of the wrong type.
            ValueError: Invalid input, an estimator without ``fit`` or ``predict``, or the errors of
                ``smote_augment``.
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

class SMOTEAugmentedClassifier(ClassifierMixin, UnwrapMetaEstimatorMixin, BaseEstimator):
    """Classifier that fits a clone of ``estimator`` on the training set enlarged with SMOTE rows.

    The synthetic rows are split over the classes in proportion to their frequencies and interpolated only
    between rows of the same class, so every synthetic row keeps an exact label. Every class therefore grows
    by the same factor and the class proportions stay as they were: this adds variety, it does not rebalance
    classes. ``HistogramAugmentedClassifier`` with one bin per class (``y_bins``) draws rare classes more often;
    ``CategoryBalanceAugmentedClassifier`` balances the categories of chosen feature columns.
    """

    # Constructor parameters, stored unchanged.
    estimator: Any
    factor: float
    k_neighbors: int
    random_state: _RandomState
    shuffle: bool
    algorithm: _Algorithm
    n_jobs: int | None
    extrapolation: float
    sample_weight_mode: _PassthroughOrConsume
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
        factor: float = 2.0,
        k_neighbors: int = 5,
        random_state: _RandomState = None,
        shuffle: bool = True,
        algorithm: _Algorithm = "auto",
        n_jobs: int | None = None,
        extrapolation: float = 0.0,
        sample_weight_mode: _PassthroughOrConsume = "passthrough",
        store_augmented: bool = False,
    ) -> None:
        """Store the parameters unchanged; nothing is validated before ``fit``.

        Args:
            estimator: Unfitted scikit-learn classifier; a clone of it is fitted.
            factor: Output rows per input row, at least 1.0: ``round(n_samples * (factor - 1))`` synthetic
                rows, shared among the classes in proportion to their sizes (largest remainders get the
                rounding). A class with a single row gets none.
            k_neighbors: Neighbours considered per base row, within its class (capped at the class size
                minus one).
            random_state: Seed, ``RandomState`` or ``None``, drawn from on every fit (no ``random_state_``).
            shuffle: Shuffle the augmented set before the inner fit.
            algorithm: Neighbour-search algorithm (see ``smote_augment``).
            n_jobs: Parallel jobs of the neighbour search.
            extrapolation: Widening of the interpolation interval (see ``smote_augment``).
            sample_weight_mode: ``"passthrough"`` (synthetic rows weigh 1.0) or ``"consume"`` (weights are the
                probabilities of drawing base rows; the clone is then fitted unweighted). Case-sensitive.
            store_augmented: Keep the augmented data as ``augmented_X_`` and ``augmented_y_``.
        """

    def fit(self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None = None) -> Self:
        """Add SMOTE rows class by class and fit a clone of ``estimator`` on the result.

        Args:
            X: Training features, 2-D.
            y: Class labels, 1-D.
            sample_weight: Optional per-row weights; an estimator whose ``fit`` rejects ``sample_weight`` is
                fitted without weights.

        Returns:
            ``self``.

        Raises:
            ValueError: Invalid input, an estimator without ``fit`` or ``predict``, ``factor`` below 1.0, or
                consume-mode weights of a class not summing to a positive number.
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
