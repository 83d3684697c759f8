"""The log-space metrics and the fraction of variance unexplained against a literal NumPy /
scikit-learn statement of their documented steps: values (to 1e-12 relative), result types,
exceptions, warnings, and the private helpers called directly."""

import copy
import inspect
import sys
import warnings

import numpy as np
import pandas as pd
import pytest
from sklearn import config_context
from sklearn.exceptions import UndefinedMetricWarning
from sklearn.utils.validation import check_array, check_consistent_length

import duv.metrics as M
from duv.metrics import _fvu as F
from duv.metrics import _log_metrics as L

R2_MSG = "R^2 score is not well-defined with less than two samples."
ZERO_MSG = "Weights sum to zero, can't be normalized"


# --- the reference -------------------------------------------------------------------------


def ref_check(y_true, y_pred, sample_weight=None, multioutput="uniform_average", allow_nan=False):
    check_consistent_length(y_true, y_pred)
    force = "allow-nan" if allow_nan else True
    y_true = check_array(y_true, ensure_2d=False, dtype=float, ensure_all_finite=force)
    y_pred = check_array(y_pred, ensure_2d=False, dtype=float, ensure_all_finite=force)
    if y_true.ndim == 1:
        y_true = y_true.reshape(-1, 1)
    if y_pred.ndim == 1:
        y_pred = y_pred.reshape(-1, 1)
    if y_true.shape != y_pred.shape:
        raise ValueError(f"y_true and y_pred have different shapes: {y_true.shape} vs {y_pred.shape}")
    if sample_weight is not None:
        sample_weight = np.asarray(sample_weight, dtype=float)
        if sample_weight.ndim != 1 or sample_weight.shape[0] != y_true.shape[0]:
            raise ValueError("sample_weight must be 1D with length equal to n_samples")
        if np.any(sample_weight < 0):
            raise ValueError("sample_weight must be non-negative")
    if isinstance(multioutput, str):
        if multioutput not in {"raw_values", "uniform_average"}:
            raise ValueError("multioutput must be 'raw_values' or 'uniform_average' when a string")
    elif multioutput is not None:
        multioutput = np.asarray(list(multioutput), dtype=float)
        if multioutput.ndim != 1 or multioutput.shape[0] != y_true.shape[1]:
            raise ValueError("multioutput weights must be 1D with length equal to n_outputs")
    else:
        raise ValueError(
            "multioutput must be 'raw_values', 'uniform_average' or an array of per-output weights, got None"
        )
    return y_true, y_pred, sample_weight, multioutput


def ref_validate_nan_policy(nan_policy):
    if nan_policy not in {"raise", "drop"}:
        raise ValueError("nan_policy must be one of {'raise','drop'}")


def ref_prepare_logs(y_true, y_pred, sample_weight, multioutput, *, transform, family, nan_policy):
    ref_validate_nan_policy(nan_policy)
    if nan_policy == "raise":
        if family == "log10":
            if np.any(y_true <= 0) or np.any(y_pred <= 0):
                raise ValueError("Targets and predictions for log10-space metrics must be strictly positive.")
        elif family == "log1p" and (np.any(y_true < -1) or np.any(y_pred < -1)):
            raise ValueError("Targets and predictions for log1p-space metrics must be >= -1.")
        log_true = transform(y_true)
        log_pred = transform(y_pred)
        if np.any(~np.isfinite(log_true)) or np.any(~np.isfinite(log_pred)):
            raise ValueError("Non-finite values encountered after log transform.")
        return log_true, log_pred, sample_weight, multioutput
    log_true = transform(y_true)
    log_pred = transform(y_pred)
    finite_rows = np.all(np.isfinite(log_true), axis=1) & np.all(np.isfinite(log_pred), axis=1)
    if not np.any(finite_rows):
        raise ValueError("All samples were dropped by nan_policy='drop'.")
    log_true = log_true[finite_rows]
    log_pred = log_pred[finite_rows]
    if sample_weight is not None:
        sample_weight = sample_weight[finite_rows]
    return log_true, log_pred, sample_weight, multioutput


def ref_weighted_mean_per_output(values, sample_weight):
    if sample_weight is None:
        return np.mean(values, axis=0)
    return np.average(values, axis=0, weights=sample_weight)


def ref_aggregate_multioutput(per_output, multioutput):
    if isinstance(multioutput, str):
        if multioutput == "raw_values":
            return per_output
        return float(np.mean(per_output))
    return float(np.average(per_output, weights=np.asarray(multioutput, dtype=float)))


def _sums_of_squares(a, b, sample_weight):
    if sample_weight is None:
        residual = a - b
        ss_res = np.sum(residual**2, axis=0)
        mean_true = np.mean(a, axis=0)
        ss_tot = np.sum((a - mean_true) ** 2, axis=0)
    else:
        w = np.asarray(sample_weight, dtype=float).reshape(-1, 1)
        w_sum = np.sum(w, axis=0)
        if np.any(w_sum == 0):
            raise ZeroDivisionError(ZERO_MSG)
        residual = a - b
        ss_res = np.sum(w * residual**2, axis=0)
        mean_true = np.sum(w * a, axis=0) / w_sum
        ss_tot = np.sum(w * (a - mean_true) ** 2, axis=0)
    # Constant true columns (among rows of non-zero weight) have no spread at all; the
    # rounded mean must not leave a tiny total.
    rows = a if sample_weight is None else a[np.asarray(sample_weight).ravel() != 0]
    constant = np.all(rows == rows[:1], axis=0) & ~np.isnan(ss_tot)
    return ss_res, np.where(constant, 0.0, ss_tot)


NAMES = [
    "mean_absolute_log_error",
    "mean_squared_log_error",
    "root_mean_squared_log_error",
    "mean_absolute_percentage_log_error",
    "log_r2_score",
    "mean_absolute_log10_error",
    "mean_squared_log10_error",
    "root_mean_squared_log10_error",
    "mean_absolute_percentage_log10_error",
    "log10_r2_score",
    "fraction_of_variance_unexplained",
    "log_fraction_of_variance_unexplained",
    "log10_fraction_of_variance_unexplained",
]


def reference(
    name,
    y_true,
    y_pred,
    *,
    sample_weight=None,
    multioutput="uniform_average",
    nan_policy="raise",
    eps=np.finfo(float).eps,
):
    if name == "fraction_of_variance_unexplained":
        a, b, sample_weight, multioutput = ref_check(y_true, y_pred, sample_weight, multioutput)
    else:
        transform, family = (np.log10, "log10") if "log10" in name else (np.log1p, "log1p")
        y_true, y_pred, sample_weight, multioutput = ref_check(
            y_true, y_pred, sample_weight, multioutput, allow_nan=nan_policy == "drop"
        )
        a, b, sample_weight, multioutput = ref_prepare_logs(
            y_true, y_pred, sample_weight, multioutput, transform=transform, family=family, nan_policy=nan_policy
        )
    if "r2" in name or "variance" in name:
        if a.shape[0] < 2:
            warnings.warn(R2_MSG, UndefinedMetricWarning, stacklevel=2)
            return float("nan")
        ss_res, ss_tot = _sums_of_squares(a, b, sample_weight)
        if "r2" in name:
            nonzero_res = ss_res != 0
            nonzero_tot = ss_tot != 0
            valid = nonzero_res & nonzero_tot
            scores = np.ones(a.shape[1], dtype=float)
            scores[valid] = 1.0 - ss_res[valid] / ss_tot[valid]
            scores[nonzero_res & ~nonzero_tot] = 0.0
            return ref_aggregate_multioutput(scores, multioutput)
        nonzero_tot = ss_tot != 0
        fvu = np.empty(a.shape[1], dtype=float)
        fvu[nonzero_tot] = ss_res[nonzero_tot] / ss_tot[nonzero_tot]
        const_mask = ~nonzero_tot
        if np.any(const_mask):
            fvu[const_mask] = np.where(ss_res[const_mask] == 0.0, 0.0, 1.0)
        return ref_aggregate_multioutput(fvu, multioutput)
    if "percentage" in name:
        values = np.abs((a - b) / np.maximum(np.abs(a), float(eps)))
    elif "absolute" in name:
        values = np.abs(a - b)
    else:
        values = (a - b) ** 2
    per_output = ref_weighted_mean_per_output(values, sample_weight)
    if name.startswith("root"):
        per_output = np.sqrt(per_output)
    return ref_aggregate_multioutput(per_output, multioutput)


# --- comparison ----------------------------------------------------------------------------


def outcome(f, *args, **kwargs):
    """(result or (exception type, message), [(warning category, message), ...])."""
    with warnings.catch_warnings(record=True) as rec:
        warnings.simplefilter("always")
        try:
            result = f(*copy.deepcopy(args), **copy.deepcopy(kwargs))
        except Exception as exc:  # the exception is the outcome
            result = (type(exc), str(exc))
    return result, [(w.category, str(w.message)) for w in rec]


def assert_same_result(got, want, rtol=1e-12):
    assert type(got) is type(want), (got, want)
    if isinstance(want, tuple):
        assert len(got) == len(want)
        for g, w in zip(got, want, strict=True):
            assert_same_result(g, w, rtol)
    elif isinstance(want, np.ndarray):
        assert (got.dtype, got.shape) == (want.dtype, want.shape)
        np.testing.assert_allclose(got, want, rtol=rtol, atol=0)
    elif isinstance(want, float):
        np.testing.assert_allclose(got, want, rtol=rtol, atol=0)
    else:
        assert got == want


def assert_matches(name, *args, rtol=1e-12, **kwargs):
    got = outcome(getattr(M, name), *args, **kwargs)
    want = outcome(reference, name, *args, **kwargs)
    assert got[1] == want[1], "warnings differ"
    assert_same_result(got[0], want[0], rtol)


def policies(name):
    return [{}] if name == "fraction_of_variance_unexplained" else [{}, {"nan_policy": "drop"}]


# --- values ----------------------------------------------------------------------------------


@pytest.mark.parametrize("name", NAMES)
def test_random_data_match_reference(name):
    rng = np.random.default_rng(NAMES.index(name))
    for n, k in [(1, 0), (2, 1), (3, 2), (9, 0), (17, 3), (130, 9), (4097, 2), (9000, 1)]:
        shape = (n,) if k == 0 else (n, k)
        yt, yp = rng.uniform(0.05, 20, shape), rng.uniform(0.05, 20, shape)
        if n > 3:
            yt = np.round(yt)  # repeated values
        sw = rng.uniform(0, 3, n)
        sw[rng.random(n) < 0.3] = 0
        for extra in policies(name):
            if extra and n > 2:
                yt = yt.copy()
                yt[rng.random(n) < 0.2] = np.nan
                yp = yp.copy()
                yp[rng.random(n) < 0.1] = 0 if "log10" in name else -1
            for w in [None, sw]:
                for mo in ["uniform_average", "raw_values", rng.uniform(0, 2, max(k, 1))]:
                    assert_matches(name, yt, yp, sample_weight=w, multioutput=mo, **extra)


@pytest.mark.parametrize(
    "name", ["log_r2_score", "log10_fraction_of_variance_unexplained", "fraction_of_variance_unexplained"]
)
@pytest.mark.parametrize("scale", [1e155, 1e300])
def test_large_weights_over_several_blocks(name, scale):
    # The products of partial weight totals overflowed and gave a perfect score.
    rng = np.random.default_rng(1)
    yt, yp = rng.uniform(1, 20, (5000, 2)), rng.uniform(1, 20, (5000, 2))
    assert_matches(name, yt, yp, sample_weight=rng.uniform(0.5, 2, 5000) * scale, multioutput="raw_values")


def test_eps_default_is_numpys_machine_epsilon():
    for f in (M.mean_absolute_percentage_log_error, M.mean_absolute_percentage_log10_error):
        default = inspect.signature(f).parameters["eps"].default
        assert type(default) is np.float64 and default == np.finfo(float).eps
        assert f.__kwdefaults__["eps"] is default


@pytest.mark.parametrize("name", ["mean_squared_log_error", "log10_r2_score", "fraction_of_variance_unexplained"])
def test_reduction_over_outputs_adds_in_numpys_order(name):
    rng = np.random.default_rng(3)
    yt, yp = rng.uniform(1, 10, (3, 8)), rng.uniform(1, 10, (3, 8))
    # NumPy's pairwise total of these output weights is exactly zero; a running sum is not.
    assert_matches(name, yt, yp, multioutput=[1, 1e16, -1e16, -1, 0, 0, 0, 0])
    f = getattr(M, name)
    for k in [8, 9, 130, 300]:
        yt, yp = rng.uniform(1, 10, (3, k)), rng.uniform(1, 10, (3, k))
        per = f(yt, yp, multioutput="raw_values")
        mo = rng.standard_normal(k) * 10.0 ** rng.integers(-3, 17, k)
        assert f(yt, yp, multioutput=mo) == ref_aggregate_multioutput(per, mo)
        assert f(yt, yp) == ref_aggregate_multioutput(per, "uniform_average")


@pytest.mark.parametrize("name", NAMES)
def test_overflowing_arithmetic_warns_and_returns_as_numpy(name):
    # NumPy's arithmetic overflows (or divides by zero) here and says so with RuntimeWarnings;
    # the values are whatever its inf and NaN arithmetic gives.
    rng = np.random.default_rng(NAMES.index(name) + 100)
    for n, scale, wscale in [(2, 1e155, 1.0), (5, 1e300, 1.0), (10, 1.0, 1e307), (5000, 1e154, 1e300), (3, 1.0, 1e308)]:
        yt, yp = rng.uniform(0, 1, (n, 2)) * scale + 1, rng.uniform(0, 1, (n, 2)) * scale + 1
        for mo in ["uniform_average", "raw_values", [1e308, 1e308]]:
            assert_matches(name, yt, yp, sample_weight=rng.uniform(0.5, 1, n) * wscale, multioutput=mo)
    if "percentage" in name:
        yt = np.array([1.0, 2.0, 3.0]) if "log10" in name else np.array([0.0, 2.0, 3.0])
        for eps in [0.0, 1e-320, -1.0, np.nan, 0]:
            assert_matches(name, yt, yt[::-1], eps=eps)
    # Infinite weights (they pass the checks) and zero weights next to an overflow.
    yt, yp = np.array([2.0, 3.0, 4.0]), np.array([3.0, 2.0, 9.0])
    assert_matches(name, yt, yp, sample_weight=[np.inf, 1.0, 0.0])
    assert_matches(name, yt * 1e200, yp * 1e200, sample_weight=[0.0, 0.0, 0.0])
    with config_context(assume_finite=True):
        assert_matches(name, [1.0, np.inf, 3.0], [2.0, 1.0, np.inf])


@pytest.mark.parametrize(
    "name", ["fraction_of_variance_unexplained", "log_fraction_of_variance_unexplained", "log10_r2_score"]
)
@pytest.mark.parametrize("weighted", [False, True])
def test_large_mean_small_spread_over_several_blocks(name, weighted):
    # Block means rounded relative to zero lost digits of their differences (errors ~1e-11).
    rng = np.random.default_rng(4)
    for n, k in [(9000, 1), (9000, 2), (20000, 3)]:
        yt = 1000 * (1 + 1e-4 * rng.standard_normal((n, k)))
        yp = yt * (1 + 1e-3 * rng.standard_normal((n, k)))
        yt[0] *= 1.01  # the first value, relative to which means are kept, is an outlier
        sw = rng.uniform(0.1, 2, n) if weighted else None
        assert_matches(name, yt, yp, sample_weight=sw, multioutput="raw_values")
        assert_matches(name, np.sort(yt, axis=0), yp, sample_weight=sw, multioutput="raw_values")


class Spy:
    def __init__(self, fn):
        self.fn, self.calls = fn, []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.fn(*args, **kwargs)


@pytest.mark.parametrize("name", NAMES)
def test_names_looked_up_at_call_time(name, monkeypatch):
    module = F if "variance" in name else L
    f = getattr(M, name)
    yt, yp, sw = (
        np.array([[1.0, 2.0], [3.0, 5.0], [4.0, 4.0]]),
        np.array([[2.0, 2.0], [3.0, 1.0], [5.0, 3.0]]),
        [1, 2, 3],
    )
    want = f(yt, yp, sample_weight=sw, multioutput="raw_values")
    spies = {n: Spy(getattr(L, n)) for n in ["check_array", "check_consistent_length"]}
    for n in ["_check_y_true_pred_sample_weight", "_prepare_logs", "_aggregate_multioutput"]:
        spies[n] = Spy(getattr(module, n))
    spies["_weighted_mean_per_output"] = Spy(L._weighted_mean_per_output)
    for n, spy in spies.items():
        monkeypatch.setattr(
            L if n in ("check_array", "check_consistent_length", "_weighted_mean_per_output") else module, n, spy
        )
    np.testing.assert_allclose(f(yt, yp, sample_weight=sw, multioutput="raw_values"), want, rtol=1e-12)
    allow = "drop" if name != "fraction_of_variance_unexplained" else None
    if allow:
        f(yt, yp, sample_weight=sw, multioutput="raw_values", nan_policy="drop")
    check_calls = spies["_check_y_true_pred_sample_weight"].calls
    assert check_calls[0] == ((yt, yp, sw, "raw_values"), {"allow_nan": False})
    assert [c[1]["ensure_all_finite"] for c in spies["check_array"].calls] == [True, True] + (
        ["allow-nan", "allow-nan"] if allow else []
    )
    assert all(
        c[1] == {"ensure_2d": False, "dtype": float, "ensure_all_finite": c[1]["ensure_all_finite"]}
        for c in spies["check_array"].calls
    )
    prepare_calls = spies["_prepare_logs"].calls
    if name == "fraction_of_variance_unexplained":
        assert prepare_calls == []
    else:
        family = "log10" if "log10" in name else "log1p"
        assert prepare_calls[0][1] == {"transform": getattr(np, family), "family": family, "nan_policy": "raise"}
        assert prepare_calls[1][1]["nan_policy"] == "drop"
    n_mean = len(spies["_weighted_mean_per_output"].calls)
    assert n_mean == (0 if "r2" in name or "variance" in name else 1 + bool(allow))
    per, mo = spies["_aggregate_multioutput"].calls[0][0]
    assert mo == "raw_values" and type(per) is np.ndarray and per.shape == (2,)


def _read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


CONVERSIONS = {
    "list": lambda a: a.tolist(),
    "float32": lambda a: a.astype(np.float32),
    "float16": lambda a: a.astype(np.float16),
    "int": lambda a: np.round(a).astype(np.int64),
    "bool": lambda a: a > 3,
    "fortran": np.asfortranarray,
    "strided": lambda a: np.repeat(a, 2, axis=0)[::2],
    "reversed": lambda a: a[::-1],
    "big-endian": lambda a: a.astype(">f8"),
    "read-only": _read_only,
    "longdouble": lambda a: a.astype(np.longdouble),
    "object": lambda a: a.astype(object),
    "complex": lambda a: a.astype(complex),
    "masked": lambda a: np.ma.masked_array(a, mask=np.zeros(a.shape, bool)),
    "matrix": lambda a: np.asmatrix(a),
    "pandas": lambda a: pd.DataFrame(a) if a.ndim == 2 else pd.Series(a),
    "3-d": lambda a: a.reshape(a.shape[0], -1, 1),
    "empty": lambda a: a[:0],
    "no columns": lambda a: a.reshape(a.shape[0], -1)[:, :0],
    "strings": lambda a: a.astype(str).astype(object),
}


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")
@pytest.mark.parametrize("conversion", list(CONVERSIONS))
@pytest.mark.parametrize(
    "name",
    [
        "mean_absolute_log_error",
        "root_mean_squared_log10_error",
        "log_r2_score",
        "mean_absolute_percentage_log10_error",
        "fraction_of_variance_unexplained",
        "log10_fraction_of_variance_unexplained",
    ],
)
def test_input_types_match_reference(name, conversion):
    rng = np.random.default_rng(5)
    convert = CONVERSIONS[conversion]
    for shape in [(6,), (6, 2)]:
        yt, yp, sw = rng.uniform(0.5, 9, shape), rng.uniform(0.5, 9, shape), rng.uniform(0, 2, 6)
        before = [convert(yt), convert(yp), convert(sw)]
        args = copy.deepcopy(before)
        for kw in [{}, {"sample_weight": args[2]}, {"multioutput": args[2][: shape[-1] if len(shape) > 1 else 1]}]:
            assert_matches(name, args[0], args[1], **kw)
            assert_matches(name, args[0], yp, **kw)
        for b, a in zip(before, args, strict=True):  # the caller's inputs are left alone
            np.testing.assert_array_equal(np.asarray(a), np.asarray(b))


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("assume_finite", [False, True])
def test_special_values_match_reference(name, assume_finite):
    rng = np.random.default_rng(NAMES.index(name) + 200)
    special = [np.nan, np.inf, -np.inf, 0.0, -0.0, -1.0, -2.0, -0.5, 1.0, 5e-324]
    for _ in range(40):
        n, k = int(rng.choice([1, 2, 5])), int(rng.choice([1, 2]))
        yt, yp = rng.uniform(0.5, 20, (n, k)), rng.uniform(0.5, 20, (n, k))
        for a in (yt, yp):
            mask = rng.random((n, k)) < 0.3
            a[mask] = rng.choice(special, mask.sum())
        kw = (
            {}
            if name == "fraction_of_variance_unexplained"
            else {"nan_policy": str(rng.choice(["raise", "drop", "omit"]))}
        )
        if rng.random() < 0.5:
            kw["sample_weight"] = rng.choice([0.0, 1.0, 2.5], n)
        with config_context(assume_finite=assume_finite):
            assert_matches(name, yt, yp, **kw)
            assert_matches(name, yt, yp.tolist(), multioutput="raw_values", **kw)


def assert_helper_matches(helper, reference_fn, *args, **kwargs):
    got, want = outcome(helper, *args, **kwargs), outcome(reference_fn, *args, **kwargs)
    assert got[1] == want[1]
    assert_same_result(got[0], want[0], rtol=0)


Y = [
    [1, 2, 3],
    [[1], [2], [3]],
    np.ones((3, 2)),
    [1, 2],
    [],
    np.ones((3, 0)),
    np.ones((3, 2, 1)),
    5,
    None,
    [1, np.nan, 3],
    [1, np.inf, 3],
    [1 + 1j, 2, 3],
    pd.Series([1, 2, 3]),
    [True, False, True],
]


@pytest.mark.parametrize("y_true", Y, ids=repr)
def test_check_helper_matches_reference(y_true):
    for y_pred in Y[:6]:
        for allow_nan in [False, True, "x", 0]:
            assert_helper_matches(L._check_y_true_pred_sample_weight, ref_check, y_true, y_pred, allow_nan=allow_nan)
    for sw in [None, [1, 2, 3], [1, -1, 1], [[1], [1], [1]], [1, 2], 3, [1, np.nan, 1], ["a", "b", "c"], [0, 0, 0]]:
        for mo in [
            "uniform_average",
            "raw_values",
            "bad",
            "",
            None,
            [1.0],
            [1, 2],
            (0.5,),
            np.array([1.0, 2.0]),
            3,
            np.array(1.0),
            [[1, 2]],
            {1.0: 0},
        ]:
            assert_helper_matches(L._check_y_true_pred_sample_weight, ref_check, y_true, y_true, sw, mo)


def test_other_helpers_match_reference():
    for policy in ["raise", "drop", "omit", None, 1, [], "RAISE", np.str_("drop")]:
        assert_helper_matches(L._validate_nan_policy, ref_validate_nan_policy, policy)
    for per in [
        np.array([1.0, 3.0]),
        np.array([[1.0, 2.0], [3.0, 5.0]]),
        [1.0, 2.0],
        np.array([np.nan, 1.0]),
        np.array([], float),
        np.array([1, 2]),
    ]:
        for mo in ["raw_values", "uniform_average", "other", [1, 3], [0, 0], None, np.array([1.0, -1.0]), [1.0], 5]:
            assert_helper_matches(L._aggregate_multioutput, ref_aggregate_multioutput, per, mo)
    per = np.array([1.0, 3.0])
    assert L._aggregate_multioutput(per, "raw_values") is per
    for values in [np.array([[1.0, 2.0], [3.0, 6.0]]), [[1.0, 2.0], [3.0, 6.0]], np.array([1.0, 2.0])]:
        for w in [None, np.array([3.0, 1.0]), [0.0, 0.0], [1.0], np.array([1.0, np.nan])]:
            assert_helper_matches(L._weighted_mean_per_output, ref_weighted_mean_per_output, values, w)
    rows = [
        ([[1.0], [2.0]], [[1.0], [3.0]]),
        ([[0.0], [2.0]], [[1.0], [3.0]]),
        ([[-1.0], [2.0]], [[1.0], [3.0]]),
        ([[-2.0], [2.0]], [[1.0], [3.0]]),
        ([[np.nan], [2.0]], [[1.0], [3.0]]),
        ([[np.nan], [np.nan]], [[1.0], [3.0]]),
        ([[np.inf], [2.0]], [[1.0], [-np.inf]]),
    ]
    for family, transform in [("log10", np.log10), ("log1p", np.log1p), ("other", np.log), ("log10", np.log1p)]:
        for policy in ["raise", "drop", "bad"]:
            for yt, yp in rows:
                for sw in [None, np.array([1.0, 2.0])]:
                    assert_helper_matches(
                        L._prepare_logs,
                        ref_prepare_logs,
                        np.array(yt),
                        np.array(yp),
                        sw,
                        "x",
                        transform=transform,
                        family=family,
                        nan_policy=policy,
                    )
        assert_helper_matches(
            L._prepare_logs,
            ref_prepare_logs,
            [[1.0]],
            [[2.0]],
            None,
            "x",
            transform=transform,
            family=family,
            nan_policy="raise",
        )


def test_module_namespaces_and_signatures():
    assert [n for n in vars(L) if not n.startswith("__")] == [
        "annotations",
        "warnings",
        "Iterable",
        "Literal",
        "Optional",
        "Union",
        "np",
        "UndefinedMetricWarning",
        "check_array",
        "check_consistent_length",
        "MultioutputType",
        "_check_y_true_pred_sample_weight",
        "_validate_nan_policy",
        "_prepare_logs",
        "_weighted_mean_per_output",
        "_aggregate_multioutput",
        *NAMES[:10],
    ]
    assert list(vars(L))[-1] == "__all__"
    assert [n for n in vars(F) if not n.startswith("__")] == [
        "annotations",
        "Iterable",
        "Literal",
        "Optional",
        "Union",
        "np",
        "UndefinedMetricWarning",
        "MultioutputType",
        "_aggregate_multioutput",
        "_check_y_true_pred_sample_weight",
        "_prepare_logs",
        *NAMES[10:],
    ]
    common = (
        "(y_true, y_pred, *, sample_weight: 'Optional[Iterable[float]]' = None, "
        "multioutput: 'MultioutputType' = 'uniform_average'"
    )
    for name in NAMES:
        sig = str(inspect.signature(getattr(M, name)))
        if "percentage" in name:
            assert sig == common + ", eps: 'float' = np.float64(2.220446049250313e-16), nan_policy: 'str' = 'raise')"
        elif name == "fraction_of_variance_unexplained":
            assert sig == common + ")"
        else:
            assert sig == common + ", nan_policy: 'str' = 'raise')"
    assert str(inspect.signature(L._validate_nan_policy)) == "(nan_policy: 'str')"
    assert str(inspect.signature(L._weighted_mean_per_output)) == (
        "(values: 'np.ndarray', sample_weight: 'Optional[np.ndarray]')"
    )
    assert str(inspect.signature(L._aggregate_multioutput)) == (
        "(per_output: 'np.ndarray', multioutput: 'MultioutputType')"
    )


# --- module names and constants, as a Python module would have them ---------------------------


class NumpyProxy:
    """Stands in for `np` in a module namespace and records what is looked up on it."""

    def __init__(self):
        self.used = set()

    def __getattr__(self, name):
        self.used.add(name)
        return getattr(np, name)


@pytest.mark.parametrize(
    "module, name, weighted, used",
    [
        (L, "mean_absolute_percentage_log10_error", False, {"log10", "abs", "maximum", "any", "isfinite"}),
        (L, "root_mean_squared_log_error", True, {"log1p", "sqrt", "average"}),
        (L, "log_r2_score", False, {"log1p", "sum", "mean"}),
        (F, "fraction_of_variance_unexplained", True, {"asarray", "sum"}),
        (F, "log10_fraction_of_variance_unexplained", False, {"log10", "sum", "mean"}),
    ],
)
def test_rebound_np_is_the_one_used(module, name, weighted, used, monkeypatch):
    yt, yp = np.array([[1.0, 2.0], [3.0, 5.0], [4.0, 4.5]]), np.array([[2.0, 2.5], [3.0, 1.0], [5.0, 3.0]])
    kw = {"sample_weight": np.array([1.0, 2.0, 0.5]) if weighted else None, "multioutput": "raw_values"}
    want = getattr(M, name)(yt, yp, **kw)
    proxy = NumpyProxy()
    monkeypatch.setattr(module, "np", proxy)
    np.testing.assert_allclose(getattr(M, name)(yt, yp, **kw), want, rtol=1e-12)
    assert used <= proxy.used


def test_rebound_validate_nan_policy_is_called(monkeypatch):
    spy = Spy(L._validate_nan_policy)
    monkeypatch.setattr(L, "_validate_nan_policy", spy)
    M.mean_squared_log_error(np.array([1.0, 2.0]), np.array([1.0, 3.0]))
    M.log10_fraction_of_variance_unexplained(np.array([1.0, 2.0]), np.array([1.0, 3.0]), nan_policy="drop")
    M.fraction_of_variance_unexplained(np.array([1.0, 2.0]), np.array([1.0, 3.0]))
    assert [c[0] for c in spy.calls] == [("raise",), ("drop",)]


def test_unbound_helper_fails_where_python_would(monkeypatch):
    monkeypatch.delattr(F, "_prepare_logs")
    with pytest.raises(ValueError, match="different shapes"):  # the check runs first
        M.log_fraction_of_variance_unexplained([1, 2], [[1, 2], [3, 4]])
    with pytest.raises(NameError, match=r"^name '_prepare_logs' is not defined$"):
        M.log_fraction_of_variance_unexplained([1, 2], [1, 3])
    assert M.fraction_of_variance_unexplained([1, 2], [1, 3]) == 2.0  # ss_res 1, ss_tot 0.5


def test_string_defaults_and_constants_are_interned(monkeypatch):
    uniform, raw = sys.intern("uniform_average"), sys.intern("raw_values")
    assert L._check_y_true_pred_sample_weight([1, 2], [1, 3])[3] is uniform
    assert L._check_y_true_pred_sample_weight([1, 2], [1, 3], None, raw)[3] is raw
    for f in (M.mean_squared_log_error, M.mean_absolute_percentage_log10_error, M.log_fraction_of_variance_unexplained):
        assert f.__kwdefaults__["multioutput"] is uniform and f.__kwdefaults__["nan_policy"] is sys.intern("raise")
    # What the metrics hand on: the family given to _prepare_logs, the default multioutput.
    for module, name, family in [(L, "log10_r2_score", "log10"), (F, "log_fraction_of_variance_unexplained", "log1p")]:
        prepare, aggregate = Spy(module._prepare_logs), Spy(module._aggregate_multioutput)
        monkeypatch.setattr(module, "_prepare_logs", prepare)
        monkeypatch.setattr(module, "_aggregate_multioutput", aggregate)
        getattr(M, name)(np.array([1.0, 2.0, 4.0]), np.array([1.0, 3.0, 4.0]))
        assert prepare.calls[0][1]["family"] is sys.intern(family)
        assert prepare.calls[0][0][3] is uniform and aggregate.calls[0][0][1] is uniform
