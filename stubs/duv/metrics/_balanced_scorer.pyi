"""Scorers that weight evaluation samples so that the categories of chosen feature columns count equally."""

from collections.abc import Callable, Sequence
from typing import Any, Literal, Protocol, TypeAlias, TypeVar

from numpy.typing import NDArray

_T = TypeVar("_T")
_T_co = TypeVar("_T_co", covariant=True)
_Columns: TypeAlias = str | int | Sequence[str | int] | NDArray[Any]
_ResponseMethod: TypeAlias = Literal["predict", "predict_proba", "predict_log_proba", "decision_function"]

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
    response_method: _ResponseMethod | Sequence[_ResponseMethod] | None = "predict",
    greater_is_better: bool = True,
    columns: _Columns | None = None,
    balance_strength: float = 1.0,
    normalize_weights: Literal["sum_to_n", "raw"] = "sum_to_n",
    **kwargs: Any,
) -> _BalancedScorer[_T]:
    """Make a scorer ``scorer(estimator, X, y_true, **score_kwargs)`` whose samples count by category.

    At every call the samples are grouped by their values in ``columns``; each category smaller than the
    largest is weighted up to ``ceil(largest * balance_strength)`` samples' worth, and ``score_func`` is
    evaluated with those weights.

    Args:
        score_func: Metric ``score_func(y_true, y_pred, sample_weight=..., **kwargs)`` that accepts sample
            weights, for example scikit-learn's ``mean_absolute_error`` or ``accuracy_score``, or duv's log
            metrics.
        response_method: Name of the estimator method giving the predictions (``"predict"``,
            ``"predict_proba"``, ...), or a sequence of names tried in order; ``predict`` is used when the
            estimator has none of them, or for ``None``. Its output is passed to ``score_func`` unchanged.
        greater_is_better: Whether higher scores are better (a score such as accuracy); for an error, pass
            ``False`` and the scorer returns the negated metric, as scikit-learn's model selection expects.
        columns: The balancing columns of ``X`` (required): a name or position, or a sequence of them, as in
            ``duv.augmentation.category_balance_augment``.
        balance_strength: How far smaller categories are weighted up, > 0 for any effect: every category
            smaller than the largest counts as ``ceil(largest * balance_strength)`` samples (1.0: as much as
            the largest); 0 or less weighs all samples alike.
        normalize_weights: ``"sum_to_n"`` (default) scales the balancing weights to sum to the number of
            samples, so scores keep their usual scale; ``"raw"`` leaves them unscaled (so does any other value
            at run time).
        **kwargs: Forwarded to ``score_func`` on every call.

    Returns:
        The scorer, ``scorer(estimator, X, y_true, **score_kwargs)``: it checks that ``estimator`` is fitted,
        predicts ``X`` with ``response_method``, weights every sample of ``X`` by its category in ``columns``
        (recomputed for every ``X``), and returns ``score_func(y_true, y_pred, sample_weight=weights,
        **kwargs, **score_kwargs)``, negated unless ``greater_is_better``. A ``sample_weight`` among
        ``score_kwargs`` multiplies the balancing weights. Pass it as ``scoring=`` to ``cross_val_score`` or
        ``GridSearchCV``.

    Raises:
        ValueError: ``columns`` is ``None``.
    """
