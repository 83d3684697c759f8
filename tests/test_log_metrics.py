import inspect
import typing
import warnings

import numpy as np
import pytest
from sklearn import config_context
from sklearn.exceptions import UndefinedMetricWarning

import duv.metrics as M
from duv.metrics import _log_metrics as L

LOG1P = [
    "mean_absolute_log_error",
    "mean_squared_log_error",
    "root_mean_squared_log_error",
    "mean_absolute_percentage_log_error",
    "log_r2_score",
]
LOG10 = [n.replace("_log_", "_log10_").replace("log_r2", "log10_r2") for n in LOG1P]
ALL = LOG1P + LOG10
R2_MSG = "R^2 score is not well-defined with less than two samples."


def reference(
    name, y_true, y_pred, sample_weight=None, multioutput="uniform_average", nan_policy="raise", eps=np.finfo(float).eps
):
    """The documented pipeline in NumPy, for valid inputs."""
    f = np.log10 if "log10" in name else np.log1p
    yt = np.asarray(y_true, float).reshape(len(y_true), -1)
    yp = np.asarray(y_pred, float).reshape(len(y_pred), -1)
    w = None if sample_weight is None else np.asarray(sample_weight, float)
    with np.errstate(all="ignore"):
        lt, lp = f(yt), f(yp)
    if nan_policy == "drop":
        keep = np.isfinite(lt).all(1) & np.isfinite(lp).all(1)
        lt, lp, w = lt[keep], lp[keep], (None if w is None else w[keep])
    if "r2" in name:
        ww = np.ones(len(lt)) if w is None else w
        ww = ww.reshape(-1, 1)
        ss_res = np.sum(ww * (lt - lp) ** 2, axis=0)
        ss_tot = np.sum(ww * (lt - np.sum(ww * lt, axis=0) / ww.sum()) ** 2, axis=0)
        per = np.where(ss_res == 0, 1.0, np.where(ss_tot == 0, 0.0, 1 - ss_res / np.where(ss_tot == 0, 1, ss_tot)))
    else:
        if "percentage" in name:
            v = np.abs((lt - lp) / np.maximum(np.abs(lt), eps))
        elif "absolute" in name:
            v = np.abs(lt - lp)
        else:
            v = (lt - lp) ** 2
        per = np.average(v, axis=0, weights=w)
        if name.startswith("root"):
            per = np.sqrt(per)
    if isinstance(multioutput, str):
        return per if multioutput == "raw_values" else float(np.mean(per))
    return float(np.average(per, weights=multioutput))


def data(n, k, seed=0):
    rng = np.random.default_rng(seed)
    shape = (n,) if k == 0 else (n, k)
    return rng.uniform(0.05, 20, shape), rng.uniform(0.05, 20, shape), rng.uniform(0, 2, n)


@pytest.mark.parametrize("name", ALL)
@pytest.mark.parametrize("k", [0, 1, 3, 4, 9])
@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("multioutput", ["uniform_average", "raw_values", "weights"])
def test_matches_numpy_reference(name, k, weighted, multioutput):
    yt, yp, w = data(300, k)
    mo = np.linspace(0.5, 1.5, max(k, 1)) if multioutput == "weights" else multioutput
    sw = w if weighted else None
    got = getattr(M, name)(yt, yp, sample_weight=sw, multioutput=mo)
    want = reference(name, yt, yp, sw, mo)
    if multioutput == "raw_values":
        assert type(got) is np.ndarray and got.dtype == np.float64 and got.shape == (max(k, 1),)
    else:
        assert type(got) is float
    np.testing.assert_allclose(got, want, rtol=1e-12)
    # Lists, other dtypes, strided views and Fortran order take scikit-learn's path or a gathered copy.
    rev = None if sw is None else sw[::-1]
    for a, b, w in [
        (yt.tolist(), yp.tolist(), sw),
        (np.asfortranarray(yt), yp.astype(">f8"), sw),
        (np.repeat(yt, 2, axis=0)[::2], np.repeat(yp, 2, axis=0)[::2], sw),
        (yt[::-1], yp[::-1].astype(np.longdouble), rev),
    ]:
        np.testing.assert_allclose(getattr(M, name)(a, b, sample_weight=w, multioutput=mo), want, rtol=1e-12)


@pytest.mark.parametrize("name", ["mean_squared_log_error", "log10_r2_score", "mean_absolute_percentage_log_error"])
def test_large_inputs_and_drop_match_reference(name):
    yt, yp, w = data(50_000, 2, seed=3)
    yt[::97, 1] = np.nan
    yp[5::101, 0] = -3.0 if "log10" not in name else 0.0
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        got = getattr(M, name)(yt, yp, sample_weight=w, multioutput="raw_values", nan_policy="drop")
    np.testing.assert_allclose(got, reference(name, yt, yp, w, "raw_values", "drop"), rtol=1e-12)


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: M.mean_absolute_log10_error([10, 100], [100, 10]), 1.0),
        (lambda: M.mean_squared_log10_error([10, 100], [100, 10]), 1.0),
        (lambda: M.root_mean_squared_log10_error([1, 1000], [10, 10]), np.sqrt(2.5)),
        (lambda: M.mean_squared_log_error([0, 0], [0, 0]), 0.0),
        (lambda: M.mean_absolute_log_error([-0.5], [0]), np.log(2)),
        (lambda: M.mean_absolute_percentage_log10_error([1, 10], [1, 100]), 0.5),
        (lambda: M.log10_r2_score([10, 10, 10], [10, 10, 10]), 1.0),
        (lambda: M.log10_r2_score([10, 10, 10], [10, 100, 10]), 0.0),
        (lambda: M.mean_absolute_log_error([1, 2, 3], [[1], [2], [3]]), 0.0),
        (
            lambda: M.mean_squared_log10_error(np.array([[10, 1], [100, 1]]), [[100, 1], [10, 1]], multioutput=[1, 0]),
            1.0,
        ),
        (
            lambda: M.mean_squared_log10_error(
                np.array([[10, 1], [100, 1]]), [[100, 1], [10, 1]], multioutput=[0.3, 0.7]
            ),
            0.3,
        ),
        # Constant true columns: exactly 0.0 even where NumPy's rounded mean leaves a tiny spread.
        (lambda: M.log_r2_score([5, 5, 5], [5, 6, 5]), 0.0),
        (lambda: M.log10_r2_score([2, 2, 2], [2, 3, 2], sample_weight=[1, 2, 0.5]), 0.0),
    ],
)
def test_documented_values(call, expected):
    got = call()
    assert type(got) is float
    assert got == pytest.approx(expected, rel=1e-15, abs=1e-15)


@pytest.mark.parametrize("name", ALL)
def test_zero_weight_equals_dropping_the_sample(name):
    yt, yp, _ = data(5, 2, seed=7)
    f = getattr(M, name)
    np.testing.assert_allclose(
        f(yt, yp, sample_weight=[1, 2, 1, 1, 0], multioutput="raw_values"),
        f(yt[:4], yp[:4], sample_weight=[1, 2, 1, 1], multioutput="raw_values"),
        rtol=1e-13,
    )
    with pytest.raises(ZeroDivisionError, match=r"^Weights sum to zero, can't be normalized$"):
        f(yt, yp, sample_weight=np.zeros(5))


def test_nan_weights_propagate():
    yt, yp, _ = data(4, 0)
    assert np.isnan(M.mean_squared_log_error(yt, yp, sample_weight=[1, np.nan, 1, 1]))
    assert np.isnan(M.log_r2_score(yt, yp, sample_weight=[1, np.nan, 1, 1]))


NAN = float("nan")
ERRORS = [
    # (kwargs, exception, message): scikit-learn's checks first, then the module's, in order.
    (dict(y_true=[1, 2, 3], y_pred=[1, 2]), ValueError, "inconsistent numbers of samples"),
    (dict(y_true=[1, NAN], y_pred=[1, -5], sample_weight=[-1, 1]), ValueError, "Input contains NaN"),
    (dict(y_true=[1, NAN], y_pred=[1, 2], nan_policy="bogus"), ValueError, "Input contains NaN"),
    (dict(y_true=[1, np.inf], y_pred=[1, 2], nan_policy="drop"), ValueError, "Input contains infinity"),
    (
        dict(y_true=[1, 2, 3, 4], y_pred=np.ones((4, 2))),
        ValueError,
        r"^y_true and y_pred have different shapes: \(4, 1\) vs \(4, 2\)$",
    ),
    (
        dict(y_true=[1, 2, 3], y_pred=[1, 2, 3], sample_weight=[[1], [1], [1]]),
        ValueError,
        "^sample_weight must be 1D with length equal to n_samples$",
    ),
    (
        dict(y_true=[1, 2, 3], y_pred=[1, 2, 3], sample_weight=[1, -1, 1], multioutput="bad"),
        ValueError,
        "^sample_weight must be non-negative$",
    ),
    (
        dict(y_true=[1, 2], y_pred=[1, 2], multioutput="bad", nan_policy="bogus"),
        ValueError,
        "^multioutput must be 'raw_values' or 'uniform_average' when a string$",
    ),
    (
        dict(y_true=np.ones((2, 2)), y_pred=np.ones((2, 2)), multioutput=[1.0], nan_policy="bogus"),
        ValueError,
        "^multioutput weights must be 1D with length equal to n_outputs$",
    ),
    (
        dict(y_true=[1, 2], y_pred=[1, 2], multioutput=None, nan_policy="bogus"),
        ValueError,
        r"^multioutput must be 'raw_values', 'uniform_average' or an array of per-output weights, got None$",
    ),
    (
        dict(y_true=[1, -7], y_pred=[1, 2], nan_policy="bogus"),
        ValueError,
        r"^nan_policy must be one of \{'raise','drop'\}$",
    ),
    (
        dict(y_true=[1, -1], y_pred=[1, -2]),
        ValueError,
        "^Targets and predictions for log1p-space metrics must be >= -1.$",
    ),
    (dict(y_true=[-1, 2], y_pred=[1, 2], eps="x"), ValueError, "^Non-finite values encountered after log transform.$"),
    (
        dict(y_true=[-2, 2], y_pred=[-3, -2], nan_policy="drop", eps="x"),
        ValueError,
        "^All samples were dropped by nan_policy='drop'.$",
    ),
    (dict(y_true=[1, 2], y_pred=[1, 2], eps="x"), ValueError, "could not convert string to float"),
]


@pytest.mark.parametrize("kwargs, exc, msg", ERRORS)
@pytest.mark.parametrize("container", [list, np.asarray])
def test_check_order_and_messages(kwargs, exc, msg, container):
    kwargs = dict(kwargs)
    for key in ("y_true", "y_pred"):
        kwargs[key] = container(kwargs[key])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        with pytest.raises(exc, match=msg):
            M.mean_absolute_percentage_log_error(**kwargs)


@pytest.mark.parametrize("y_true, y_pred", [([0, 1], [1, 1]), ([1, 1], [1, -2]), ([1, 1], [0, 1])])
def test_log10_domain_raise(y_true, y_pred):
    with pytest.raises(ValueError, match="must be strictly positive"):
        M.log10_fraction_of_variance_unexplained(np.array(y_true, float), y_pred)
    with pytest.raises(ValueError, match="must be strictly positive"):
        M.mean_squared_log10_error(y_true, y_pred)


def test_drop_policy_rows_weights_and_warnings():
    yt = np.array([[1.0, 10.0], [NAN, 10.0], [10.0, 100.0], [0.0, 1.0]])
    yp = np.array([[10.0, 10.0], [1.0, 1.0], [10.0, 10.0], [1.0, 1.0]])
    with warnings.catch_warnings(record=True) as rec:
        warnings.simplefilter("always")
        got = M.mean_squared_log10_error(
            yt, yp, sample_weight=[1, 5, 3, 7], nan_policy="drop", multioutput="raw_values"
        )
    # Only rows 0 and 2 survive, with their weights.
    np.testing.assert_allclose(got, [0.25, 0.75])
    # NumPy's warnings as the logarithm of the whole array emits them, once.
    assert [(w.category, str(w.message)) for w in rec] == [(RuntimeWarning, "divide by zero encountered in log10")]
    with np.errstate(divide="raise"), pytest.raises(FloatingPointError, match="divide by zero"):
        M.mean_squared_log10_error(yt, yp, nan_policy="drop")
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("error")
        M.mean_squared_log10_error(yt, yp, nan_policy="drop")
    before = (yt.copy(), yp.copy())
    with pytest.raises(ValueError, match="All samples were dropped"), np.errstate(all="ignore"):
        M.mean_squared_log_error(yt, np.full_like(yp, NAN), nan_policy="drop")
    np.testing.assert_array_equal(yt, before[0])
    np.testing.assert_array_equal(yp, before[1])


@pytest.mark.parametrize("name", ["log_r2_score", "log10_r2_score"])
@pytest.mark.parametrize("multioutput", ["uniform_average", "raw_values", [0.5, 0.5]])
def test_r2_fewer_than_two_samples(name, multioutput):
    f = getattr(M, name)
    for args in [
        ([[2.0, 3.0]], [[2.0, 4.0]], {}),
        ([[2.0, 3.0], [NAN, 1.0]], [[1.0, 1.0], [1.0, 1.0]], {"nan_policy": "drop"}),
    ]:
        with pytest.warns(UndefinedMetricWarning, match=R2_MSG.replace("^", r"\^")):
            got = f(args[0], args[1], multioutput=multioutput, **args[2])
        assert type(got) is float and np.isnan(got)


def test_assume_finite_config_is_respected():
    with config_context(assume_finite=True):
        with pytest.raises(ValueError, match=r"^Non-finite values encountered after log transform\.$"):
            M.mean_squared_log_error(np.array([1.0, NAN]), np.array([1.0, 2.0]))
        with pytest.raises(ValueError, match="must be >= -1"):
            M.mean_squared_log_error(np.array([1.0, NAN, -np.inf]), np.array([1.0, 2.0, 1.0]))


def test_module_interface():
    assert L.__all__ == [
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
    assert set(L.__all__) <= set(M.__all__)
    assert L.MultioutputType == typing.Literal["raw_values", "uniform_average"] | np.ndarray | typing.Iterable[float]
    assert str(inspect.signature(L._prepare_logs)) == (
        "(y_true: 'np.ndarray', y_pred: 'np.ndarray', sample_weight: 'Optional[np.ndarray]', "
        "multioutput: 'MultioutputType', *, transform, family: 'str', nan_policy: 'str')"
    )
    assert str(inspect.signature(L._check_y_true_pred_sample_weight)) == (
        "(y_true, y_pred, sample_weight: 'Optional[Iterable[float]]' = None, "
        "multioutput: 'MultioutputType' = 'uniform_average', allow_nan: 'bool' = False)"
    )
    sig = inspect.signature(M.mean_absolute_percentage_log10_error)
    assert list(sig.parameters) == ["y_true", "y_pred", "sample_weight", "multioutput", "eps", "nan_policy"]
    assert sig.parameters["eps"].default == 2.220446049250313e-16
    assert sig.parameters["eps"].annotation == "float"
    with pytest.raises(TypeError):
        M.mean_squared_log_error([1, 2], [1, 2], None)


def test_private_helpers():
    per = np.array([1.0, 3.0])
    assert L._aggregate_multioutput(per, "raw_values") is per
    assert type(L._aggregate_multioutput(per, "uniform_average")) is float
    assert L._aggregate_multioutput(per, [1, 3]) == 2.5
    values = np.array([[1.0, 2.0], [3.0, 6.0]])
    np.testing.assert_array_equal(L._weighted_mean_per_output(values, None), [2.0, 4.0])
    np.testing.assert_array_equal(L._weighted_mean_per_output(values, np.array([3.0, 1.0])), [1.5, 3.0])
    yt, yp, sw, mo = L._check_y_true_pred_sample_weight([1, 2, 3], [[1], [2], [3]], [1, 0, 2], (0.5,))
    assert yt.shape == yp.shape == (3, 1) and sw.dtype == np.float64 and mo.tolist() == [0.5]
    with pytest.raises(ValueError, match="got None"):
        L._check_y_true_pred_sample_weight([1, 2], [1, 2], None, None)
    with pytest.raises(ValueError, match=r"^nan_policy must be one of"):
        L._validate_nan_policy("omit")
    with pytest.raises(TypeError, match="unhashable"):
        L._validate_nan_policy([])
    lt, lp, w, mo = L._prepare_logs(
        np.array([[1.0], [NAN], [9.0]]),
        np.array([[1.0], [2.0], [99.0]]),
        np.array([1.0, 2.0, 3.0]),
        "raw_values",
        transform=np.log10,
        family="log10",
        nan_policy="drop",
    )
    np.testing.assert_array_equal(lt, [[0.0], [np.log10(9.0)]])
    np.testing.assert_array_equal(lp, [[0.0], [np.log10(99.0)]])
    np.testing.assert_array_equal(w, [1.0, 3.0])
    assert mo == "raw_values"
    with pytest.raises(ValueError, match="Non-finite values"), np.errstate(divide="ignore"):
        L._prepare_logs(
            np.array([[0.0]]),
            np.array([[1.0]]),
            None,
            "raw_values",
            transform=np.log,
            family="other",
            nan_policy="raise",
        )
