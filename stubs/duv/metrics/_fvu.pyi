"""Fraction of the target variance a model leaves unexplained, in linear, log1p and log10 space."""

from collections.abc import Iterable
from typing import Any, Literal, Optional, TypeAlias, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ._log_metrics import MultioutputType

_Averaged: TypeAlias = Literal["uniform_average"] | NDArray[Any] | Iterable[float]
_NanPolicy: TypeAlias = Literal["raise", "drop"]

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
        sample_weight: One non-negative weight per sample (row) for the averages over samples; ``None``
            weighs all samples alike.
        multioutput: How the values of several target columns are combined: ``"uniform_average"``
            (default: their mean), ``"raw_values"`` (an array with one value per output) or a sequence
            of one weight per output (their weighted mean).

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
    nan_policy: _NanPolicy = "raise",
) -> float:
    """``ss_res / ss_tot`` per output between log1p(y_true) and log1p(y_pred): one minus R², lower is better.

    Per output, a constant target scores 0.0 when predicted exactly and 1.0 otherwise.

    Args:
        y_true: True values, shape (n_samples,) or (n_samples, n_outputs).
        y_pred: Predicted values, same shape.
        sample_weight: One non-negative weight per sample (row) for the averages over samples; ``None``
            weighs all samples alike.
        multioutput: How the values of several target columns are combined: ``"uniform_average"``
            (default: their mean), ``"raw_values"`` (an array with one value per output) or a sequence
            of one weight per output (their weighted mean).
        nan_policy: What to do with values the logarithm cannot take. ``"raise"`` (default): a NaN, or a
            value of -1 or less (log1p), is an error. ``"drop"``: every sample whose ``y_true`` or
            ``y_pred`` holds a NaN or becomes non-finite after the transform, in any output, is left out
            together with its weight (an error only if no sample remains). Infinite input is an error
            either way.

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
    nan_policy: _NanPolicy = "raise",
) -> NDArray[np.float64] | float: ...
@overload
def log_fraction_of_variance_unexplained(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: MultioutputType = "uniform_average",
    nan_policy: _NanPolicy = "raise",
) -> NDArray[np.float64] | float: ...
@overload
def log10_fraction_of_variance_unexplained(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: _Averaged = "uniform_average",
    nan_policy: _NanPolicy = "raise",
) -> float:
    """``ss_res / ss_tot`` per output between log10(y_true) and log10(y_pred): one minus R², lower is better.

    Per output, a constant target scores 0.0 when predicted exactly and 1.0 otherwise.

    Args:
        y_true: True values, shape (n_samples,) or (n_samples, n_outputs).
        y_pred: Predicted values, same shape.
        sample_weight: One non-negative weight per sample (row) for the averages over samples; ``None``
            weighs all samples alike.
        multioutput: How the values of several target columns are combined: ``"uniform_average"``
            (default: their mean), ``"raw_values"`` (an array with one value per output) or a sequence
            of one weight per output (their weighted mean).
        nan_policy: What to do with values the logarithm cannot take. ``"raise"`` (default): a NaN, or a
            value of 0 or less (log10), is an error. ``"drop"``: every sample whose ``y_true`` or
            ``y_pred`` holds a NaN or becomes non-finite after the transform, in any output, is left out
            together with its weight (an error only if no sample remains). Infinite input is an error
            either way.

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
    nan_policy: _NanPolicy = "raise",
) -> NDArray[np.float64] | float: ...
@overload
def log10_fraction_of_variance_unexplained(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: MultioutputType = "uniform_average",
    nan_policy: _NanPolicy = "raise",
) -> NDArray[np.float64] | float: ...
