"""Weighted voting regressor that can adopt fitted models and reports the members' spread."""

from abc import ABCMeta
from collections.abc import Callable
from numbers import Real
from typing import Any, List, Literal, Optional, Self, Tuple, TypeAlias, Union, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray
from sklearn.ensemble import VotingRegressor as _BaseVotingRegressor

_Floats: TypeAlias = NDArray[np.floating[Any]]
_ScaleFunc: TypeAlias = Callable[[NDArray[Any]], NDArray[Any]]

class VotingRegressor(_BaseVotingRegressor, metaclass=ABCMeta):
    """scikit-learn's voting regressor, extended: it adopts already fitted members (``assume_fitted``,
    ``add_models``), also members that predict several targets, and ``predict(X, return_std=True)`` also returns
    the weighted standard deviation of the member predictions.
    """

    # Constructor parameters, stored unchanged.
    estimators: List[Tuple[str, object]]
    weights: Optional[Union[List[Real], np.ndarray]]
    n_jobs: Optional[int]
    verbose: bool

    estimators_: list[Any]
    """The fitted members, in the order of ``estimators`` (set by ``fit`` or ``assume_fitted``)."""
    n_outputs_: int
    """1, set by ``fit``, which takes a single target; not set by ``assume_fitted``."""

    def __init__(
        self,
        estimators: List[Tuple[str, object]],
        *,
        weights: Optional[Union[List[Real], np.ndarray]] = None,
        n_jobs: Optional[int] = None,
        verbose: bool = False,
    ) -> None:
        """Check the argument types and store them.

        Args:
            estimators: ``(name, regressor)`` pairs, a ``list``; the names must be unique. ``fit`` fits clones
                of them; ``assume_fitted`` uses them as they are.
            weights: One non-negative weight per member, used for both the mean and the spread (normalised
                by their sum); ``None`` weighs all members alike. ``add_models`` does not extend it. (A NumPy
                array satisfies type checkers; a list is typed as ``List[Real]``.)
            n_jobs: Parallel jobs of ``fit`` (joblib; ``None`` means one).
            verbose: Print the time each member takes to fit.

        Raises:
            InvalidParameterError: An argument of the wrong type (also when the estimator is cloned).
        """

    def fit(self, X: ArrayLike, y: ArrayLike, **fit_params: Any) -> Self:
        """Fit clones of all members, as scikit-learn's voting regressor does, and record ``n_outputs_``.

        Args:
            X: Training features.
            y: Targets, 1-D (a list or an array), as scikit-learn's voting regressor requires; for several
                targets, fit the members and adopt them with ``assume_fitted``.
            **fit_params: Passed to the members' ``fit``.

        Returns:
            ``self``.

        Raises:
            ValueError: The errors of scikit-learn's voting regressor for invalid members or input, a 2-D ``y``
                among them.
        """

    def assume_fitted(self) -> VotingRegressor:
        """Declare the members of ``estimators`` already fitted and use them as they are.

        Returns:
            ``self``, with ``estimators_`` holding the very objects of ``estimators``.

        Raises:
            ValueError: "Failed to validate estimators: " followed by the reason (a member without
                ``predict``, an unfitted member, or an invalid ``estimators`` list).
        """

    def add_models(self, estimators: List[Tuple[str, object]]) -> VotingRegressor:
        """Append fitted regressors to ``estimators`` (in place) and adopt all members.

        Args:
            estimators: ``(name, fitted regressor)`` pairs; ``weights`` is not extended.

        Returns:
            ``self``, after ``assume_fitted()``.

        Raises:
            ValueError: ``estimators`` not a list, a name not a string, a member that is not a regressor (all
                checked before anything changes), or the errors of ``assume_fitted``.
        """

    def predict_raw(self, X: ArrayLike, **predict_params: Any) -> NDArray[Any]:
        """Stack the members' predictions with the member axis second.

        Args:
            X: Features, passed to every member as given.
            **predict_params: Passed to every member's ``predict``.

        Returns:
            Shape (n_samples, n_members), or (n_samples, n_members, n_outputs) for 2-D member predictions.

        Raises:
            NotFittedError: The model is not fitted.
            IndexError: ``estimators_`` is empty.
            ValueError: Member predictions that are neither 1-D nor 2-D.
        """

    @overload
    def predict(
        self,
        X: ArrayLike,
        return_std: Literal[False] = False,
        scale_func: _ScaleFunc | None = None,
        **predict_params: Any,
    ) -> _Floats:
        """Weighted mean of the member predictions, and optionally their weighted standard deviation.

        Args:
            X: Features, passed to every member as given.
            return_std: Also return the weighted (population) standard deviation of the member predictions:
                how much the members disagree about a sample, not a predictive uncertainty of any of them.
            scale_func: A function applied to the whole prediction stack of ``predict_raw`` (members on axis
                1) before the statistics, returning an array of the same layout; for example ``np.expm1`` to
                average in the original units members that predict ``log1p`` targets. ``None`` leaves the
                predictions as they are.
            **predict_params: Passed to every member's ``predict``.

        Returns:
            The means, shape (n_samples,) or (n_samples, n_outputs); with ``return_std`` the pair
            ``(means, stds)`` of that shape.

        Raises:
            NotFittedError: The model is not fitted.
            ValueError: ``scale_func`` not callable ("scale_func must be callable"), or it raised
                ("scale_func failed: ..."), or the errors of ``predict_raw``.
        """

    @overload
    def predict(
        self,
        X: ArrayLike,
        return_std: Literal[True],
        scale_func: _ScaleFunc | None = None,
        **predict_params: Any,
    ) -> tuple[_Floats, _Floats]: ...
    @overload
    def predict(
        self,
        X: ArrayLike,
        return_std: bool = False,
        scale_func: _ScaleFunc | None = None,
        **predict_params: Any,
    ) -> _Floats | tuple[_Floats, _Floats]: ...
    def set_predict_request(
        self,
        *,
        return_std: bool | str | None = "$UNCHANGED$",
        scale_func: bool | str | None = "$UNCHANGED$",
    ) -> Self:
        """Choose which metadata a meta-estimator routes to ``predict``: ``return_std`` and ``scale_func``.

        Generated by scikit-learn, usable once ``sklearn.set_config(enable_metadata_routing=True)``. For each
        parameter: ``True`` passes the metadata when given, ``False`` never passes it, ``None`` (the initial
        request) makes the router raise an error when it is given, a string passes the metadata of that
        name instead, and ``"$UNCHANGED$"`` (the default) keeps the current request.

        Args:
            return_std: Whether a meta-estimator passes ``return_std`` on to ``predict`` (see above).
            scale_func: Whether a meta-estimator passes ``scale_func`` on to ``predict`` (see above).

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
