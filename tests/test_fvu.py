import inspect
import warnings

import numpy as np
import pytest
from sklearn.exceptions import UndefinedMetricWarning
from sklearn.metrics import r2_score

import duv.metrics as M
from duv.metrics import _fvu as F
from duv.metrics import _log_metrics as L

FVU = [
    "fraction_of_variance_unexplained",
    "log_fraction_of_variance_unexplained",
    "log10_fraction_of_variance_unexplained",
]


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: M.fraction_of_variance_unexplained([1, 2, 3], [1, 2, 3]), 0.0),
        (lambda: M.fraction_of_variance_unexplained([1, 2, 3], [2, 2, 2]), 1.0),
        (lambda: M.fraction_of_variance_unexplained([5, 5, 5], [5, 5, 5]), 0.0),
        (lambda: M.fraction_of_variance_unexplained([5, 5, 5], [5, 6, 5]), 1.0),
        (lambda: M.log_fraction_of_variance_unexplained([5, 5, 5], [5, 6, 5]), 1.0),
        (lambda: M.log10_fraction_of_variance_unexplained([10, 100, 1000], [10, 100, 1000]), 0.0),
        (
            lambda: M.log10_fraction_of_variance_unexplained(
                [10, 0, 100, 1000], [10, 5, 100, 10000], nan_policy="drop"
            ),
            1 / 2,
        ),
        (
            lambda: M.fraction_of_variance_unexplained(
                [[1, 1], [2, 3], [3, 5]], [[1, 9], [2, 3], [3, 5]], multioutput=[0, 1]
            ),
            64 / 8,
        ),
    ],
)
def test_documented_values(call, expected):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        got = call()
    assert type(got) is float and got == pytest.approx(expected, rel=1e-15)


@pytest.mark.parametrize("k", [0, 1, 4])
@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("n", [7, 30_000])
def test_equals_one_minus_r2(k, weighted, n):
    rng = np.random.default_rng(k + n)
    shape = (n,) if k == 0 else (n, k)
    yt, yp = rng.uniform(0.1, 50, shape), rng.uniform(0.1, 50, shape)
    sw = rng.uniform(0, 3, n) if weighted else None
    for fvu, r2 in [
        (M.log_fraction_of_variance_unexplained, M.log_r2_score),
        (M.log10_fraction_of_variance_unexplained, M.log10_r2_score),
    ]:
        np.testing.assert_allclose(
            fvu(yt, yp, sample_weight=sw, multioutput="raw_values"),
            1 - r2(yt, yp, sample_weight=sw, multioutput="raw_values"),
            rtol=1e-12,
        )
    got = M.fraction_of_variance_unexplained(yt, yp, sample_weight=sw, multioutput="raw_values")
    assert got.dtype == np.float64 and got.shape == (max(k, 1),)
    np.testing.assert_allclose(got, 1 - r2_score(yt, yp, sample_weight=sw, multioutput="raw_values"), rtol=1e-12)
    yt[::5] = np.nan
    np.testing.assert_allclose(
        M.log_fraction_of_variance_unexplained(yt, yp, sample_weight=sw, multioutput="raw_values", nan_policy="drop"),
        1 - M.log_r2_score(yt, yp, sample_weight=sw, multioutput="raw_values", nan_policy="drop"),
        rtol=1e-12,
    )


@pytest.mark.parametrize("name", FVU)
@pytest.mark.parametrize("multioutput", ["uniform_average", "raw_values"])
def test_single_sample_warns_and_returns_nan(name, multioutput):
    with pytest.warns(UndefinedMetricWarning, match=r"R\^2 score is not well-defined with less than two samples."):
        got = getattr(M, name)([[2.0, 3.0]], [[2.0, 4.0]], multioutput=multioutput)
    assert type(got) is float and np.isnan(got)


@pytest.mark.parametrize("name", FVU)
def test_weights_summing_to_zero_raise(name):
    with pytest.raises(ZeroDivisionError, match=r"^Weights sum to zero, can't be normalized$"):
        getattr(M, name)([1.0, 2.0, 3.0], [1.0, 2.0, 4.0], sample_weight=[0, 0, 0])


def test_plain_variant_rejects_nan_and_nan_policy():
    with pytest.raises(ValueError, match="Input contains NaN"):
        M.fraction_of_variance_unexplained(np.array([1.0, 2.0]), np.array([1.0, np.nan]))
    with pytest.raises(TypeError, match="unexpected keyword argument 'nan_policy'"):
        M.fraction_of_variance_unexplained([1.0, 2.0], [1.0, 2.0], nan_policy="drop")
    with pytest.raises(ValueError, match="strictly positive"):
        M.log10_fraction_of_variance_unexplained([10, 100, 1000], [10, 0, 1000])


def test_module_interface():
    for name in ["MultioutputType", "_aggregate_multioutput", "_check_y_true_pred_sample_weight", "_prepare_logs"]:
        assert getattr(F, name) is getattr(L, name)
    assert not hasattr(F, "__all__") and not hasattr(F, "warnings")
    assert str(inspect.signature(F.fraction_of_variance_unexplained)) == (
        "(y_true, y_pred, *, sample_weight: 'Optional[Iterable[float]]' = None, "
        "multioutput: 'MultioutputType' = 'uniform_average')"
    )
    assert list(inspect.signature(F.log10_fraction_of_variance_unexplained).parameters)[-1] == "nan_policy"
    assert F.log_fraction_of_variance_unexplained.__module__ == "duv.metrics._fvu"
