"""Mixture of experts: clones of one regressor fitted on resampled subsets, merged as Gaussian predictions."""

from typing import Any, Literal, Self, TypeAlias, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray
from sklearn.base import BaseEstimator, RegressorMixin
from sklearn.cluster import KMeans
from sklearn.utils import Tags

_RandomState: TypeAlias = int | np.random.RandomState | None
_Floats: TypeAlias = NDArray[np.floating[Any]]

class MixtureOfExpertsRegressor(RegressorMixin, BaseEstimator):
    """Regressor that trains several experts on resampled subsets and merges the predictions of a few.

    Each expert is a clone of ``estimator`` fitted on rows drawn with replacement, uniformly
    (``split="random"``) or around a k-means cluster (``split="kmeans"``). ``predict`` routes every sample to
    ``n_active`` experts (the most confident or the nearest) and merges their means and standard deviations.
    The estimator must support ``predict(X, return_std=True)``.
    """

    # Constructor parameters, stored unchanged.
    estimator: Any
    n_estimators: int
    split: Literal["random", "kmeans"]
    sampling_factor: float
    n_clusters: int
    random_state: _RandomState
    routing: Literal["confidence", "distance"]
    n_active: int
    aggregation_method: Literal["mixture", "inverse_variance", "simple"]
    copy_X_y_train: bool
    epsilon: float
    n_jobs: int | None
    distance_cols: ArrayLike | None

    random_state_: np.random.RandomState
    """The generator every draw of the last ``fit`` came from."""
    X_train_: _Floats
    """Copy of the validated training features (only with ``copy_X_y_train``)."""
    y_train_: NDArray[Any]
    """Copy of the validated training targets (only with ``copy_X_y_train``)."""
    estimator_train_indices_: list[NDArray[np.int_]]
    """Per expert, the row indices (with repeats) it was trained on (only with ``copy_X_y_train``)."""
    distance_cols_: NDArray[np.bool_]
    """The feature mask used for every distance; all ``True`` when ``distance_cols`` is ``None``."""
    estimators_: list[Any]
    """The fitted experts, in expert order."""
    n_samples_: int
    """Number of rows drawn for every expert."""
    estimator_centers_: NDArray[np.float64]
    """Row ``i``: column means of the rows expert ``i`` was trained on, shape (n_estimators, n_features)."""
    kmeans_: KMeans
    """The fitted clustering model (``split="kmeans"`` only)."""
    cluster_centers_masked_: NDArray[np.floating[Any]]
    """The cluster centres in the space of the masked columns (``split="kmeans"`` only)."""
    target_clusters_: NDArray[np.int_]
    """The cluster each expert was drawn around (``split="kmeans"`` only)."""

    def __init__(
        self,
        estimator: Any = None,
        n_estimators: int = 10,
        split: Literal["random", "kmeans"] = "kmeans",
        sampling_factor: float = 2.0,
        n_clusters: int = 5,
        random_state: _RandomState = None,
        routing: Literal["confidence", "distance"] = "confidence",
        n_active: int = 2,
        aggregation_method: Literal["mixture", "inverse_variance", "simple"] = "mixture",
        copy_X_y_train: bool = True,
        epsilon: float = 1e-09,
        n_jobs: int | None = None,
        distance_cols: ArrayLike | None = None,
    ) -> None:
        """Store the parameters unchanged; they are checked by ``fit``.

        Args:
            estimator: The regressor cloned for every expert (required by ``fit``); its ``predict`` must accept
                ``return_std=True``.
            n_estimators: Number of experts.
            split: How the experts' rows are drawn: ``"random"`` (uniformly) or ``"kmeans"`` (weighted towards
                the centre of a randomly assigned cluster).
            sampling_factor: Every expert gets ``max(1, round(n_samples / n_estimators * sampling_factor))`` rows.
            n_clusters: Number of k-means clusters (``split="kmeans"``).
            random_state: Seed, ``RandomState`` (advanced in place) or ``None``; becomes ``random_state_``.
            routing: Experts consulted per sample: ``"confidence"`` (smallest predicted standard deviation) or
                ``"distance"`` (nearest training-data centre).
            n_active: Number of experts merged per prediction, at most ``n_estimators``.
            aggregation_method: ``"mixture"`` (moments of the Gaussian mixture), ``"inverse_variance"``
                (precision-weighted) or ``"simple"`` (plain average).
            copy_X_y_train: Keep copies of the training data and of every expert's row indices.
            epsilon: Small positive constant added to distances and variances before they are inverted.
            n_jobs: Parallel jobs for fitting and querying the experts (joblib).
            distance_cols: Boolean mask over the features selecting the columns of every distance computation;
                ``None`` means all.
        """

    def fit(self, X: ArrayLike, y: ArrayLike) -> Self:
        """Draw every expert's rows, then fit the experts in parallel.

        Args:
            X: Training features, 2-D numeric.
            y: Targets, 1-D or 2-D.

        Returns:
            ``self``.

        Raises:
            ValueError: Invalid input or a parameter outside its range (for example "n_active cannot exceed
                n_estimators, got 3 > 2"), or an invalid ``distance_cols`` mask.
            RuntimeError: An expert failed to fit ("Expert failed to fit: ...") or the clustering failed
                ("K-means clustering failed: ...").
        """

    @overload
    def predict(self, X: ArrayLike, return_std: Literal[False] = False, **kwargs: Any) -> _Floats:
        """Predict with the ``n_active`` experts routed to each sample, merged by ``aggregation_method``.

        Args:
            X: Features, 2-D numeric.
            return_std: Also return the merged standard deviations.
            **kwargs: Passed to every expert's ``predict``, together with ``return_std=True``.

        Returns:
            The means, shape (n_samples,) or (n_samples, n_outputs); with ``return_std`` the pair
            ``(means, stds)`` of that shape.

        Raises:
            NotFittedError: The model is not fitted.
            ValueError: Invalid ``X``, or ``routing`` or ``aggregation_method`` set after ``fit`` to an unknown
                value.
        """

    @overload
    def predict(self, X: ArrayLike, return_std: Literal[True], **kwargs: Any) -> tuple[_Floats, _Floats]: ...
    @overload
    def predict(
        self, X: ArrayLike, return_std: bool = False, **kwargs: Any
    ) -> _Floats | tuple[_Floats, _Floats]: ...

    def __sklearn_tags__(self) -> Tags:
        """scikit-learn's estimator tags: a regressor's, completed from the experts' estimator.

        Required positive input or target, multi-output support, poor score and non-determinism are
        those of ``estimator`` (every expert is a clone of it); NaN is rejected by ``fit``.

        Returns:
            The tags (a regressor's alone while ``estimator`` is None).
        """
