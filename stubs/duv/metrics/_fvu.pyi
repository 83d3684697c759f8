"""Fraction of the target variance a model leaves unexplained, in linear, log1p and log10 space."""

from collections.abc import Iterable
from typing import Any, Literal, Optional, TypeAlias, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ._log_metrics import MultioutputType

_Averaged: TypeAlias = Literal["uniform_average"] | NDArray[Any] | Iterable[float]

@overload
def fraction_of_variance_unexplained(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: _Averaged = "uniform_average",
) -> float:
    """``ss_res / ss_tot`` per output between y_true and y_pred: one minus R², lower is better.

    Per output, a constant target scores 0.0 when predicted exactly and 1.0 otherwise.

    Args:
        y_true: True values, shape (n_samples,) or (n_samples, n_outputs).
        y_pred: Predicted values, same shape.
        sample_weight: Non-negative weight per sample.
        multioutput: ``"uniform_average"`` (default), ``"raw_values"`` or one weight per output.

    Returns:
        A float; for ``multioutput="raw_values"`` an array with one value per output.
        Fewer than two samples give a float NaN, whatever ``multioutput``.

    Warns:
        UndefinedMetricWarning: Fewer than two samples.

    Raises:
        ValueError: Inconsistent shapes or weights, an invalid ``multioutput``, NaN or infinite input.
    """

@overload
def fraction_of_variance_unexplained(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: Literal["raw_values"],
) -> NDArray[np.float64] | float: ...
@overload
def fraction_of_variance_unexplained(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: MultioutputType = "uniform_average",
) -> NDArray[np.float64] | float: ...

@overload
def log_fraction_of_variance_unexplained(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: _Averaged = "uniform_average",
    nan_policy: str = "raise",
) -> float:
    """``ss_res / ss_tot`` per output between log1p(y_true) and log1p(y_pred): one minus R², lower is better.

    Per output, a constant target scores 0.0 when predicted exactly and 1.0 otherwise.

    Args:
        y_true: True values, shape (n_samples,) or (n_samples, n_outputs).
        y_pred: Predicted values, same shape.
        sample_weight: Non-negative weight per sample.
        multioutput: ``"uniform_average"`` (default), ``"raw_values"`` or one weight per output.
        nan_policy: ``"raise"`` (invalid values are errors) or ``"drop"`` (rows with a NaN or a
            non-finite transformed value are left out).

    Returns:
        A float; for ``multioutput="raw_values"`` an array with one value per output.
        Fewer than two samples give a float NaN, whatever ``multioutput``.

    Warns:
        UndefinedMetricWarning: Fewer than two samples.

    Raises:
        ValueError: Inconsistent shapes or weights, an invalid ``multioutput`` or ``nan_policy``, infinite
            input, or with ``nan_policy="raise"`` a NaN or a value below -1 or of exactly -1.
    """

@overload
def log_fraction_of_variance_unexplained(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: Literal["raw_values"],
    nan_policy: str = "raise",
) -> NDArray[np.float64] | float: ...
@overload
def log_fraction_of_variance_unexplained(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: MultioutputType = "uniform_average",
    nan_policy: str = "raise",
) -> NDArray[np.float64] | float: ...

@overload
def log10_fraction_of_variance_unexplained(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: _Averaged = "uniform_average",
    nan_policy: str = "raise",
) -> float:
    """``ss_res / ss_tot`` per output between log10(y_true) and log10(y_pred): one minus R², lower is better.

    Per output, a constant target scores 0.0 when predicted exactly and 1.0 otherwise.

    Args:
        y_true: True values, shape (n_samples,) or (n_samples, n_outputs).
        y_pred: Predicted values, same shape.
        sample_weight: Non-negative weight per sample.
        multioutput: ``"uniform_average"`` (default), ``"raw_values"`` or one weight per output.
        nan_policy: ``"raise"`` (invalid values are errors) or ``"drop"`` (rows with a NaN or a
            non-finite transformed value are left out).

    Returns:
        A float; for ``multioutput="raw_values"`` an array with one value per output.
        Fewer than two samples give a float NaN, whatever ``multioutput``.

    Warns:
        UndefinedMetricWarning: Fewer than two samples.

    Raises:
        ValueError: Inconsistent shapes or weights, an invalid ``multioutput`` or ``nan_policy``, infinite
            input, or with ``nan_policy="raise"`` a NaN or a value not above 0.
    """

@overload
def log10_fraction_of_variance_unexplained(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: Literal["raw_values"],
    nan_policy: str = "raise",
) -> NDArray[np.float64] | float: ...
@overload
def log10_fraction_of_variance_unexplained(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: MultioutputType = "uniform_average",
    nan_policy: str = "raise",
) -> NDArray[np.float64] | float: ...
