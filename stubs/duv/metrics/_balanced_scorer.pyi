"""Scorers that weight evaluation samples so that the categories of chosen feature columns count equally."""

from collections.abc import Callable, Sequence
from typing import Any, Protocol, TypeAlias, TypeVar

from numpy.typing import NDArray

_T = TypeVar("_T")
_T_co = TypeVar("_T_co", covariant=True)
_Columns: TypeAlias = str | int | Sequence[str | int] | NDArray[Any]

class _BalancedScorer(Protocol[_T_co]):
    def __call__(self, estimator: Any, X: Any, y_true: Any, **score_kwargs: Any) -> _T_co:
        """Score a fitted estimator on ``X`` with category-balancing sample weights.

        Args:
            estimator: A fitted estimator.
            X: Evaluation features (array or DataFrame) holding the balancing columns.
            y_true: True targets.
            **score_kwargs: Forwarded to ``score_func``; a ``sample_weight`` among them multiplies the
                balancing weights.

        Returns:
            ``score_func(y_true, prediction, sample_weight=weights, ...)``, negated unless
            ``greater_is_better``.

        Raises:
            NotFittedError: The estimator is not fitted.
            ValueError: A ``sample_weight`` of another shape than (n_samples,).
        """

def make_categorical_balanced_scorer(
    score_func: Callable[..., _T],
    *,
    response_method: str | Sequence[str] | None = "predict",
    greater_is_better: bool = True,
    columns: _Columns | None = None,
    balance_strength: float = 1.0,
    normalize_weights: str = "sum_to_n",
    **kwargs: Any,
) -> _BalancedScorer[_T]:
    """Make a scorer ``scorer(estimator, X, y_true, **score_kwargs)`` whose samples count by category.

    At every call the samples are grouped by their values in ``columns``; each category smaller than the
    largest is weighted up to ``ceil(largest * balance_strength)`` samples' worth, and ``score_func`` is
    evaluated with those weights.

    Args:
        score_func: Metric ``score_func(y_true, y_pred, sample_weight=..., **kwargs)``.
        response_method: Name of the estimator method giving the predictions, or names tried in order;
            ``predict`` when none exists (or ``None``).
        greater_is_better: Whether higher scores are better; if not, the scorer returns the negated metric.
        columns: The balancing columns (required): a name or position, or a sequence of them.
        balance_strength: Target category size as a fraction of the largest category.
        normalize_weights: ``"sum_to_n"`` scales the weights to sum to the number of samples; any other
            value leaves them unscaled.
        **kwargs: Forwarded to ``score_func`` on every call.

    Returns:
        The scorer.

    Raises:
        ValueError: ``columns`` is ``None``.
    """
