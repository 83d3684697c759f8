"""An invertible logarithmic feature transformer."""

from typing import Literal, Optional, Self, TypeAlias

import numpy as np
from numpy.typing import ArrayLike, NDArray
from sklearn.base import BaseEstimator, OneToOneFeatureMixin, TransformerMixin
from sklearn.utils import Tags

_ScalerMode: TypeAlias = Literal["log10", "log", "log1p"]

class LogarithmScaler(OneToOneFeatureMixin, TransformerMixin, BaseEstimator):
    """Maps every column through ``log10``, ``log`` or ``log1p`` and back with the matching exponential.

    Optional sign inversion handles negative features; an optional lower bound clips the argument of the
    logarithm. ``fit`` learns only the number of columns; the parameters are read anew by every transform.
    """

    # Constructor parameters, stored unchanged.
    mode: _ScalerMode
    inverted: bool
    eps: float
    vmin: Optional[float]

    n_features_in_: int
    """Number of columns seen by ``fit``."""

    def __init__(
        self, mode: _ScalerMode = "log10", *, inverted: bool = False, eps: float = 0.0, vmin: Optional[float] = None
    ) -> None:
        """Check the parameters and store them.

        Args:
            mode: ``"log10"`` (default), ``"log"`` (natural logarithm) or ``"log1p"`` (natural logarithm of
                ``1 + x``, which keeps 0 at 0 and suits counts and amounts that may be zero).
            inverted: Negate the input before the logarithm, and the result of the inverse: for features that
                are negative, such as ``-100``, which becomes ``log10(100) = 2``.
            eps: Smallest allowed ``1 + x`` in ``"log1p"`` mode, >= 0: smaller values are raised to it, so
                ``x`` near or below -1 gives ``log(eps)`` instead of ``-inf`` or NaN (0.0: no bound; ignored
                in the other modes).
            vmin: Smallest allowed argument of the logarithm (``x`` for ``"log10"`` and ``"log"``, ``1 + x``
                for ``"log1p"``), >= 0: smaller arguments are raised to it before the logarithm, so zeros and
                negative values give the logarithm of ``vmin`` instead of ``-inf`` or NaN. ``None`` means no
                bound.

        Raises:
            InvalidParameterError: A parameter outside its options (also when the estimator is cloned).
        """

    def fit(self, X: ArrayLike, y: object = None) -> Self:
        """Record the number of columns of ``X``.

        Args:
            X: Training features, 2-D (NaN and infinities allowed).
            y: Ignored.

        Returns:
            ``self``.
        """

    def transform(self, X: ArrayLike) -> NDArray[np.float64]:
        """Apply the (optionally negated and bounded) logarithm to every value.

        Args:
            X: Features with as many columns as in ``fit``.

        Returns:
            The transformed values, float64, same shape (a DataFrame after ``set_output(transform="pandas")``).
            Zeros give ``-inf`` and values below the domain NaN when no bound is set.

        Raises:
            NotFittedError: The transformer is not fitted.
            ValueError: Another number of columns than in ``fit`` ("X has 3 features, expected 2.").
        """

    def inverse_transform(self, X: ArrayLike) -> NDArray[np.float64]:
        """Apply the exponential matching ``mode`` (and the negation when ``inverted``).

        Clipped values come back as the bound, not as the value before clipping.

        Args:
            X: Transformed values with as many columns as in ``fit``.

        Returns:
            The back-transformed values, float64, same shape.

        Raises:
            NotFittedError: The transformer is not fitted.
            ValueError: Another number of columns than in ``fit``.
        """

    def __sklearn_tags__(self) -> Tags:
        """scikit-learn's estimator tags: those of a one-to-one transformer, with NaN allowed.

        Returns:
            The tags; ``input_tags.allow_nan`` is true (NaN maps to NaN, infinities are valid too).
        """
