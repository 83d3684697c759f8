"""Regression metrics in log1p and log10 space, fractions of variance unexplained, and a scorer factory that
balances categories.

The ``*_log_*`` metrics and ``log_r2_score`` compare ``log1p(y_true)`` with ``log1p(y_pred)`` (natural logarithm
of one plus the value: defined above -1, zero stays zero); the ``*_log10_*`` metrics and ``log10_r2_score``
compare ``log10(y_true)`` with ``log10(y_pred)`` (the value itself must be positive). An error in log space
measures a ratio: with log10, predicting 110 for 100 costs exactly as much as 1100 for 1000 (with log1p, nearly
so for values well above 1).
"""

from ._balanced_scorer import make_categorical_balanced_scorer
from ._fvu import (
    fraction_of_variance_unexplained,
    log10_fraction_of_variance_unexplained,
    log_fraction_of_variance_unexplained,
)
from ._log_metrics import (
    log10_r2_score,
    log_r2_score,
    mean_absolute_log10_error,
    mean_absolute_log_error,
    mean_absolute_percentage_log10_error,
    mean_absolute_percentage_log_error,
    mean_squared_log10_error,
    mean_squared_log_error,
    root_mean_squared_log10_error,
    root_mean_squared_log_error,
)

__all__ = [
    "mean_absolute_log_error",
    "mean_squared_log_error",
    "mean_absolute_percentage_log_error",
    "log_r2_score",
    "root_mean_squared_log_error",
    "mean_absolute_log10_error",
    "mean_squared_log10_error",
    "mean_absolute_percentage_log10_error",
    "log10_r2_score",
    "root_mean_squared_log10_error",
    "fraction_of_variance_unexplained",
    "log_fraction_of_variance_unexplained",
    "log10_fraction_of_variance_unexplained",
    "make_categorical_balanced_scorer",
]
