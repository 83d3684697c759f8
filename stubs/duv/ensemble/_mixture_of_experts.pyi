"""Mixture of experts: clones of one regressor fitted on resampled subsets, merged as Gaussian predictions."""

from typing import Any, Literal, Self, TypeAlias, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray
from sklearn.base import BaseEstimator, RegressorMixin
from sklearn.cluster import KMeans
from sklearn.utils import Tags

_RandomState: TypeAlias = int | np.random.RandomState | None
_Floats: TypeAlias = NDArray[np.floating[Any]]

FLOAT_DTYPES: tuple[type[np.float64], type[np.float32], type[np.float16]]
"""scikit-learn's ``sklearn.utils.validation.FLOAT_DTYPES``: ``fit`` and ``predict`` keep an ``X`` of these dtypes
as it is and convert any other to float64."""

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
    """The column means of the rows each expert was trained on, one row per expert, shape (n_estimators,
    n_features); ``routing="distance"`` measures distances to them."""
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
                ``return_std=True`` and then return ``(means, standard deviations)``, as
                ``BayesianRidge``, ``ARDRegression`` and ``GaussianProcessRegressor`` do.
            n_estimators: Number of experts.
            split: How the experts' rows are drawn, always with replacement. ``"random"``: uniformly, so every
                expert is a bootstrap model of the whole data. ``"kmeans"``: the rows (in the
                ``distance_cols``) are clustered into ``n_clusters``; every expert is assigned a random cluster
                and draws rows with probability proportional to ``1 / (distance to the cluster centre +
                epsilon)``, so it specialises in that region while still seeing some of the rest.
            sampling_factor: Size of every expert's sample relative to an equal share of the data: each
                expert draws ``max(1, round(n_samples / n_estimators * sampling_factor))`` rows, so the default
                2.0 gives each expert twice its share and the samples overlap.
            n_clusters: Number of k-means clusters (``split="kmeans"`` only; at most ``n_samples``). Several
                experts may share a cluster and some clusters may get none.
            random_state: Seed, ``RandomState`` (advanced in place) or ``None``; becomes ``random_state_``,
                which draws the clustering, the clusters of the experts and their rows. An int gives the
                same experts on every fit, whatever ``n_jobs``. Every expert is an exact clone of
                ``estimator``, so a seed inside ``estimator`` is shared by all experts.
            routing: Which experts answer for a sample, read at every ``predict``. ``"confidence"``: all
                experts predict, and the ``n_active`` with the smallest predicted standard deviation (averaged
                over outputs) are merged. ``"distance"``: the ``n_active`` experts whose centre (the mean of
                their training rows) is nearest to the sample in the ``distance_cols``; it asks only those
                experts, but one sample at a time, which is slower for many samples.
            n_active: Number of experts merged for every sample, from 1 (the single best expert) to
                ``n_estimators`` (all of them, in which case the routing no longer matters).
            aggregation_method: How the Gaussian predictions of the active experts are merged, read at every
                ``predict``. ``"simple"``: the mean of their means, and the root of the mean of their
                variances. ``"inverse_variance"``: means weighted by ``1 / variance``, and the standard
                deviation of that precision-weighted average (smaller than any expert's).
                ``"mixture"`` (default): mean and standard deviation of the equally weighted mixture of their
                Gaussians, which grows when the experts disagree; with ``routing="distance"`` the experts are
                weighted by ``1 / (distance + epsilon)`` instead.
            copy_X_y_train: Keep copies of the training data (``X_train_``, ``y_train_``) and of every
                expert's row indices (``estimator_train_indices_``), for inspection.
            epsilon: Small positive constant (default 1e-9) that keeps inverses finite: it is added to the
                distances before they become draw weights (``split="kmeans"``) and mixture weights
                (``routing="distance"``), added to the variances before inverse-variance weighting, and is the
                floor of the mixture's variance.
            n_jobs: Parallel jobs (joblib) for fitting the experts and for querying them in ``predict``;
                ``None`` means one unless a joblib backend context says otherwise. ``split="random"`` fits in
                threads, ``split="kmeans"`` with joblib's default backend (processes, or a ``dask`` cluster
                under ``joblib.parallel_config(backend="dask")``). The result does not depend on it.
            distance_cols: Boolean mask with one entry per feature, selecting the columns in which distances
                are measured: the clustering, the draw weights and distance routing (the experts themselves
                always see every column). ``None`` means all columns. It is a mask, not a list of column
                numbers.
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
            return_std: Also return the merged standard deviations, the model's uncertainty for every sample
                (what the experts report, plus their disagreement with ``"mixture"``).
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
    def predict(self, X: ArrayLike, return_std: bool = False, **kwargs: Any) -> _Floats | tuple[_Floats, _Floats]: ...
    def __sklearn_tags__(self) -> Tags:
        """scikit-learn's estimator tags: a regressor's, completed from the experts' estimator.

        Required positive input or target, multi-output support, poor score and non-determinism are
        those of ``estimator`` (every expert is a clone of it); NaN is rejected by ``fit``.

        Returns:
            The tags (a regressor's alone while ``estimator`` is None).
        """

    def set_predict_request(self, *, return_std: bool | str | None = "$UNCHANGED$") -> Self:
        """Choose which metadata a meta-estimator routes to ``predict``: ``return_std``.

        Generated by scikit-learn, usable once ``sklearn.set_config(enable_metadata_routing=True)``. For each
        parameter: ``True`` passes the metadata when given, ``False`` never passes it, ``None`` (the initial
        request) makes the router raise an error when it is given, a string passes the metadata of that
        name instead, and ``"$UNCHANGED$"`` (the default) keeps the current request.

        Args:
            return_std: Whether a meta-estimator passes ``return_std`` on to ``predict`` (see above).

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
