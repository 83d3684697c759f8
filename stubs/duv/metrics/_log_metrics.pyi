"""Regression errors computed after a logarithmic transform: ``log1p`` ("log") and base-10 ("log10")."""

from collections.abc import Iterable
from typing import Any, Literal, Optional, TypeAlias, Union, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

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
]

MultioutputType: TypeAlias = Union[Literal["raw_values", "uniform_average"], NDArray[Any], Iterable[float]]
"""How per-output values are reduced: ``"raw_values"`` (one value per output), ``"uniform_average"``, or one
weight per output."""

_NanPolicy: TypeAlias = Literal["raise", "drop"]

_Averaged: TypeAlias = Literal["uniform_average"] | NDArray[Any] | Iterable[float]

@overload
def mean_absolute_log_error(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: _Averaged = "uniform_average",
    nan_policy: _NanPolicy = "raise",
) -> float:
    """Mean absolute error between log1p(y_true) and log1p(y_pred).

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

    Raises:
        ValueError: Inconsistent shapes or weights, an invalid ``multioutput`` or ``nan_policy``, infinite
            input, or with ``nan_policy="raise"`` a NaN, a value below -1 ("... must be >= -1.") or a
            value of exactly -1 ("Non-finite values encountered after log transform.").
    """

@overload
def mean_absolute_log_error(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: Literal["raw_values"],
    nan_policy: _NanPolicy = "raise",
) -> NDArray[np.float64]: ...
@overload
def mean_absolute_log_error(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: MultioutputType = "uniform_average",
    nan_policy: _NanPolicy = "raise",
) -> NDArray[np.float64] | float: ...
@overload
def mean_squared_log_error(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: _Averaged = "uniform_average",
    nan_policy: _NanPolicy = "raise",
) -> float:
    """Mean squared error between log1p(y_true) and log1p(y_pred).

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

    Raises:
        ValueError: Inconsistent shapes or weights, an invalid ``multioutput`` or ``nan_policy``, infinite
            input, or with ``nan_policy="raise"`` a NaN, a value below -1 ("... must be >= -1.") or a
            value of exactly -1 ("Non-finite values encountered after log transform.").
    """

@overload
def mean_squared_log_error(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: Literal["raw_values"],
    nan_policy: _NanPolicy = "raise",
) -> NDArray[np.float64]: ...
@overload
def mean_squared_log_error(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: MultioutputType = "uniform_average",
    nan_policy: _NanPolicy = "raise",
) -> NDArray[np.float64] | float: ...
@overload
def root_mean_squared_log_error(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: _Averaged = "uniform_average",
    nan_policy: _NanPolicy = "raise",
) -> float:
    """Root mean squared error between log1p(y_true) and log1p(y_pred), the root taken per output.

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

    Raises:
        ValueError: Inconsistent shapes or weights, an invalid ``multioutput`` or ``nan_policy``, infinite
            input, or with ``nan_policy="raise"`` a NaN, a value below -1 ("... must be >= -1.") or a
            value of exactly -1 ("Non-finite values encountered after log transform.").
    """

@overload
def root_mean_squared_log_error(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: Literal["raw_values"],
    nan_policy: _NanPolicy = "raise",
) -> NDArray[np.float64]: ...
@overload
def root_mean_squared_log_error(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: MultioutputType = "uniform_average",
    nan_policy: _NanPolicy = "raise",
) -> NDArray[np.float64] | float: ...
@overload
def mean_absolute_percentage_log_error(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: _Averaged = "uniform_average",
    eps: float = 2.220446049250313e-16,
    nan_policy: _NanPolicy = "raise",
) -> float:
    """Mean of ``|lt - lp| / max(|lt|, eps)``, ``lt`` and ``lp`` being log1p(y_true) and log1p(y_pred).

    Args:
        y_true: True values, shape (n_samples,) or (n_samples, n_outputs).
        y_pred: Predicted values, same shape.
        sample_weight: One non-negative weight per sample (row) for the averages over samples; ``None``
            weighs all samples alike.
        multioutput: How the values of several target columns are combined: ``"uniform_average"``
            (default: their mean), ``"raw_values"`` (an array with one value per output) or a sequence
            of one weight per output (their weighted mean).
        eps: Floor of the denominator: each error is divided by ``max(|lt|, eps)``. A true value whose
            logarithm is 0 is therefore divided by ``eps`` and dominates the mean; raise ``eps`` to damp
            such values.
        nan_policy: What to do with values the logarithm cannot take. ``"raise"`` (default): a NaN, or a
            value of -1 or less (log1p), is an error. ``"drop"``: every sample whose ``y_true`` or
            ``y_pred`` holds a NaN or becomes non-finite after the transform, in any output, is left out
            together with its weight (an error only if no sample remains). Infinite input is an error
            either way.

    Returns:
        A float; for ``multioutput="raw_values"`` an array with one value per output.

    Raises:
        ValueError: Inconsistent shapes or weights, an invalid ``multioutput`` or ``nan_policy``, infinite
            input, or with ``nan_policy="raise"`` a NaN, a value below -1 ("... must be >= -1.") or a
            value of exactly -1 ("Non-finite values encountered after log transform.").
    """

@overload
def mean_absolute_percentage_log_error(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: Literal["raw_values"],
    eps: float = 2.220446049250313e-16,
    nan_policy: _NanPolicy = "raise",
) -> NDArray[np.float64]: ...
@overload
def mean_absolute_percentage_log_error(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: MultioutputType = "uniform_average",
    eps: float = 2.220446049250313e-16,
    nan_policy: _NanPolicy = "raise",
) -> NDArray[np.float64] | float: ...
@overload
def log_r2_score(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: _Averaged = "uniform_average",
    nan_policy: _NanPolicy = "raise",
) -> float:
    """Coefficient of determination R² between log1p(y_true) and log1p(y_pred); higher is better, at most 1.

    Per output, a perfect prediction scores 1.0 (also for a constant target) and a constant target
    predicted with any error 0.0.

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
            input, or with ``nan_policy="raise"`` a NaN, a value below -1 ("... must be >= -1.") or a
            value of exactly -1 ("Non-finite values encountered after log transform.").
    """

@overload
def log_r2_score(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: Literal["raw_values"],
    nan_policy: _NanPolicy = "raise",
) -> NDArray[np.float64] | float: ...
@overload
def log_r2_score(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: MultioutputType = "uniform_average",
    nan_policy: _NanPolicy = "raise",
) -> NDArray[np.float64] | float: ...
@overload
def mean_absolute_log10_error(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: _Averaged = "uniform_average",
    nan_policy: _NanPolicy = "raise",
) -> float:
    """Mean absolute error between log10(y_true) and log10(y_pred).

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

    Raises:
        ValueError: Inconsistent shapes or weights, an invalid ``multioutput`` or ``nan_policy``, infinite
            input, or with ``nan_policy="raise"`` a NaN or a value not above 0 ("... must be strictly positive.").
    """

@overload
def mean_absolute_log10_error(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: Literal["raw_values"],
    nan_policy: _NanPolicy = "raise",
) -> NDArray[np.float64]: ...
@overload
def mean_absolute_log10_error(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: MultioutputType = "uniform_average",
    nan_policy: _NanPolicy = "raise",
) -> NDArray[np.float64] | float: ...
@overload
def mean_squared_log10_error(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: _Averaged = "uniform_average",
    nan_policy: _NanPolicy = "raise",
) -> float:
    """Mean squared error between log10(y_true) and log10(y_pred).

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

    Raises:
        ValueError: Inconsistent shapes or weights, an invalid ``multioutput`` or ``nan_policy``, infinite
            input, or with ``nan_policy="raise"`` a NaN or a value not above 0 ("... must be strictly positive.").
    """

@overload
def mean_squared_log10_error(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: Literal["raw_values"],
    nan_policy: _NanPolicy = "raise",
) -> NDArray[np.float64]: ...
@overload
def mean_squared_log10_error(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: MultioutputType = "uniform_average",
    nan_policy: _NanPolicy = "raise",
) -> NDArray[np.float64] | float: ...
@overload
def root_mean_squared_log10_error(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: _Averaged = "uniform_average",
    nan_policy: _NanPolicy = "raise",
) -> float:
    """Root mean squared error between log10(y_true) and log10(y_pred), the root taken per output.

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

    Raises:
        ValueError: Inconsistent shapes or weights, an invalid ``multioutput`` or ``nan_policy``, infinite
            input, or with ``nan_policy="raise"`` a NaN or a value not above 0 ("... must be strictly positive.").
    """

@overload
def root_mean_squared_log10_error(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: Literal["raw_values"],
    nan_policy: _NanPolicy = "raise",
) -> NDArray[np.float64]: ...
@overload
def root_mean_squared_log10_error(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: MultioutputType = "uniform_average",
    nan_policy: _NanPolicy = "raise",
) -> NDArray[np.float64] | float: ...
@overload
def mean_absolute_percentage_log10_error(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: _Averaged = "uniform_average",
    eps: float = 2.220446049250313e-16,
    nan_policy: _NanPolicy = "raise",
) -> float:
    """Mean of ``|lt - lp| / max(|lt|, eps)``, ``lt`` and ``lp`` being log10(y_true) and log10(y_pred).

    Args:
        y_true: True values, shape (n_samples,) or (n_samples, n_outputs).
        y_pred: Predicted values, same shape.
        sample_weight: One non-negative weight per sample (row) for the averages over samples; ``None``
            weighs all samples alike.
        multioutput: How the values of several target columns are combined: ``"uniform_average"``
            (default: their mean), ``"raw_values"`` (an array with one value per output) or a sequence
            of one weight per output (their weighted mean).
        eps: Floor of the denominator: each error is divided by ``max(|lt|, eps)``. A true value whose
            logarithm is 0 is therefore divided by ``eps`` and dominates the mean; raise ``eps`` to damp
            such values.
        nan_policy: What to do with values the logarithm cannot take. ``"raise"`` (default): a NaN, or a
            value of 0 or less (log10), is an error. ``"drop"``: every sample whose ``y_true`` or
            ``y_pred`` holds a NaN or becomes non-finite after the transform, in any output, is left out
            together with its weight (an error only if no sample remains). Infinite input is an error
            either way.

    Returns:
        A float; for ``multioutput="raw_values"`` an array with one value per output.

    Raises:
        ValueError: Inconsistent shapes or weights, an invalid ``multioutput`` or ``nan_policy``, infinite
            input, or with ``nan_policy="raise"`` a NaN or a value not above 0 ("... must be strictly positive.").
    """

@overload
def mean_absolute_percentage_log10_error(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: Literal["raw_values"],
    eps: float = 2.220446049250313e-16,
    nan_policy: _NanPolicy = "raise",
) -> NDArray[np.float64]: ...
@overload
def mean_absolute_percentage_log10_error(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: MultioutputType = "uniform_average",
    eps: float = 2.220446049250313e-16,
    nan_policy: _NanPolicy = "raise",
) -> NDArray[np.float64] | float: ...
@overload
def log10_r2_score(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: _Averaged = "uniform_average",
    nan_policy: _NanPolicy = "raise",
) -> float:
    """Coefficient of determination R² between log10(y_true) and log10(y_pred); higher is better, at most 1.

    Per output, a perfect prediction scores 1.0 (also for a constant target) and a constant target
    predicted with any error 0.0.

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
            input, or with ``nan_policy="raise"`` a NaN or a value not above 0 ("... must be strictly positive.").
    """

@overload
def log10_r2_score(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: Literal["raw_values"],
    nan_policy: _NanPolicy = "raise",
) -> NDArray[np.float64] | float: ...
@overload
def log10_r2_score(
    y_true: ArrayLike,
    y_pred: ArrayLike,
    *,
    sample_weight: Optional[Iterable[float]] = None,
    multioutput: MultioutputType = "uniform_average",
    nan_policy: _NanPolicy = "raise",
) -> NDArray[np.float64] | float: ...
