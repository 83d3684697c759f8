import inspect
import pickle
import warnings

import numpy as np
import pytest
import sklearn
from sklearn.base import clone
from sklearn.compose import ColumnTransformer, TransformedTargetRegressor
from sklearn.exceptions import NotFittedError
from sklearn.linear_model import LinearRegression
from sklearn.pipeline import make_pipeline
from sklearn.utils._param_validation import InvalidParameterError

import duv.preprocessing
import duv.preprocessing._logarithm_scaler as module
from duv.preprocessing import LogarithmScaler


def reference_lower_bound(mode, eps, vmin):
    if mode in ("log10", "log"):
        return None if vmin is None else float(vmin)
    if vmin is None and eps <= 0.0:
        return None
    return -1.0 + float(max(float(eps), float(vmin or 0.0)))


def reference_transform(X, mode, inverted, eps, vmin):
    """The documented steps written with NumPy."""
    X = np.asarray(X, dtype=float)
    Z = -X if inverted else X
    f = {"log10": np.log10, "log": np.log}.get(mode, np.log1p)
    lb = reference_lower_bound(mode, eps, vmin)
    return f(Z) if lb is None else f(np.clip(Z, lb, None))


def reference_inverse(X, mode, inverted):
    X = np.asarray(X, dtype=float)
    Z = {"log10": lambda: np.power(10.0, X), "log": lambda: np.exp(X)}.get(mode, lambda: np.expm1(X))()
    return -Z if inverted else Z


def recorded(fn, *args):
    """fn(*args)'s result (or exception) and the warnings it issued."""
    with warnings.catch_warnings(record=True) as w:
        warnings.simplefilter("always")
        try:
            out = fn(*args)
        except Exception as e:  # compared below
            out = e
    return out, [(type(x.message), str(x.message)) for x in w]


def assert_same(got, want):
    """Same type, shape, dtype, layout and bits (NaN payloads included) or the same error."""
    if isinstance(want, Exception):
        assert type(got) is type(want) and str(got) == str(want)
        return
    assert type(got) is type(want) and got.dtype == want.dtype and got.shape == want.shape
    assert got.flags.c_contiguous == want.flags.c_contiguous and got.flags.f_contiguous == want.flags.f_contiguous
    np.testing.assert_array_equal(got.view(np.uint64), want.view(np.uint64))


SPECIALS = np.array(
    [
        np.nan,
        -np.nan,
        np.inf,
        -np.inf,
        0.0,
        -0.0,
        1.0,
        -1.0,
        -0.5,
        -0.9,
        -2.0,
        5e-324,
        -5e-324,
        1e-310,
        1e308,
        -1e308,
        1e-3,
        0.1,
        10.0,
        700.0,
        -750.0,
        400.0,
        -400.0,
    ]
)
PARAMS = [
    ("log10", {}),
    ("log10", {"vmin": 1e-3}),
    ("log10", {"vmin": 0.0}),
    ("log10", {"vmin": -0.0}),
    ("log10", {"eps": 0.5}),
    ("log", {}),
    ("log", {"vmin": 1e-3}),
    ("log", {"vmin": np.inf}),
    ("log1p", {}),
    ("log1p", {"eps": 0.1}),
    ("log1p", {"vmin": 0.0}),
    ("log1p", {"eps": 1.0}),
    ("log1p", {"vmin": 2.5, "eps": 0.5}),
    ("log1p", {"vmin": 1.0}),
    ("log1p", {"eps": 0.0, "vmin": 0.3}),
]


def mixed_data(n, seed=0):
    """Values of every sign and magnitude with the special values scattered through them."""
    rng = np.random.default_rng(seed)
    X = rng.normal(size=n) * 10.0 ** rng.integers(-6, 6, size=n)
    pos = rng.integers(0, n, size=len(SPECIALS))
    X[pos] = SPECIALS
    return X


@pytest.mark.parametrize("mode, kw", PARAMS)
@pytest.mark.parametrize("inverted", [False, True])
@pytest.mark.parametrize("n", [23, 5000, 300_001])
def test_maps_match_numpy_bit_for_bit(mode, kw, inverted, n):
    X = mixed_data(n).reshape(-1, 1) if n == 23 else mixed_data(n - n % 7).reshape(-1, 7)
    with sklearn.config_context(skip_parameter_validation=True):  # which admits vmin=inf
        s = LogarithmScaler(mode, inverted=inverted).set_params(**kw).fit(X)
    before = X.copy()
    for got, want in [
        (recorded(s.transform, X), recorded(reference_transform, X, mode, inverted, s.eps, s.vmin)),
        (recorded(s.inverse_transform, X), recorded(reference_inverse, X, mode, inverted)),
    ]:
        assert_same(got[0], want[0])
        assert got[1] == want[1]
    np.testing.assert_array_equal(X.view(np.uint64), before.view(np.uint64))


@pytest.mark.parametrize("mode, kw", [("log10", {}), ("log1p", {"eps": 0.1}), ("log", {"vmin": 1e-3})])
def test_positive_data_keeps_its_bits_without_warnings(mode, kw):
    X = np.random.default_rng(3).lognormal(size=(200_000, 3))
    for inverted in (False, True):
        s = LogarithmScaler(mode, inverted=inverted, **kw).fit(X)
        Xi = -X if inverted else X
        got, w = recorded(s.transform, Xi)
        assert w == []
        assert_same(got, reference_transform(Xi, mode, inverted, s.eps, s.vmin))
        back, w = recorded(s.inverse_transform, got)
        assert w == []
        assert_same(back, reference_inverse(got, mode, inverted))


@pytest.mark.parametrize(
    "make",
    [
        lambda X: np.asfortranarray(X),
        lambda X: X[::2],
        lambda X: X[:, ::-1],
        lambda X: X.astype(np.float32),
        lambda X: X.tolist(),
        lambda X: np.round(X * 100).astype(np.int64),
        lambda X: X.astype(X.dtype.newbyteorder()),
    ],
)
def test_input_layouts_and_types(make):
    X = np.abs(mixed_data(6000, seed=1)).reshape(-1, 6)
    with np.errstate(all="ignore"):
        Xin = make(X)
    for mode, kw in [("log10", {"vmin": 1e-3}), ("log1p", {})]:
        s = LogarithmScaler(mode, inverted=False, **kw).fit(Xin)
        for got, want in [
            (
                recorded(s.transform, Xin),
                recorded(reference_transform, Xin, mode, False, s.eps, s.vmin),
            ),
            (recorded(s.inverse_transform, Xin), recorded(reference_inverse, Xin, mode, False)),
        ]:
            assert_same(got[0], want[0])
            assert got[1] == want[1]


def test_errstate_is_honoured():
    s = LogarithmScaler().fit([[1.0, 2.0]])
    with np.errstate(divide="raise"), pytest.raises(FloatingPointError):
        s.transform([[0.0, 1.0]])
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("error")
        assert s.transform([[0.0, -1.0]])[0, 0] == -np.inf
    big = np.full((50_000, 2), -400.0)
    with np.errstate(under="warn"), pytest.warns(RuntimeWarning, match="underflow"):
        s.inverse_transform(big)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        s.inverse_transform(big)  # underflow is ignored by default, as in NumPy


def test_zero_against_a_zero_bound_of_the_other_sign():
    # log1p with eps=1 clips at +0.0, so -0.0 meets a bound it compares equal to.
    X = np.array([[-0.0, 0.0, -1.0, 2.0]] * 10_000)
    s = LogarithmScaler("log1p", eps=1.0).fit(X)
    assert_same(s.transform(X), reference_transform(X, "log1p", False, 1.0, None))
    s.set_params(inverted=True)
    assert_same(s.transform(X), reference_transform(X, "log1p", True, 1.0, None))


@pytest.mark.parametrize(
    "mode, inverted, kw, x, expected",
    [
        ("log", False, {"vmin": 1e-3}, [[0.0, -5.0]], [[np.log(1e-3), np.log(1e-3)]]),
        ("log10", False, {"eps": 0.5}, [[0.1]], [[-1.0]]),
        ("log", False, {"eps": 0.5}, [[np.e]], [[1.0]]),
        ("log1p", False, {"eps": 0.1}, [[-5.0, -0.95]], [[np.log1p(-0.9), np.log1p(-0.9)]]),
        ("log1p", False, {"vmin": 0.0, "eps": 0.0}, [[-1.0, -3.0]], [[-np.inf, -np.inf]]),
        ("log10", True, {}, [[-100.0]], [[2.0]]),
    ],
)
@pytest.mark.filterwarnings("ignore:divide by zero:RuntimeWarning")
def test_documented_cases(mode, inverted, kw, x, expected):
    s = LogarithmScaler(mode, inverted=inverted, **kw).fit(x)
    np.testing.assert_allclose(s.transform(x), expected)


def test_round_trip_and_negative_domain():
    X = [[1.0, 10.0], [100.0, 1000.0]]
    s = LogarithmScaler().fit(X)
    np.testing.assert_array_equal(s.transform(X), [[0, 1], [2, 3]])
    np.testing.assert_allclose(s.inverse_transform(s.transform(X)), X)
    s = LogarithmScaler("log10", inverted=True).fit([[-100.0]])
    assert s.inverse_transform([[2.0]])[0, 0] == -100.0
    with pytest.warns(RuntimeWarning):
        out = LogarithmScaler("log1p").fit([[0.0, 0.0]]).transform([[-1.0, -2.0]])
    assert out[0, 0] == -np.inf and np.isnan(out[0, 1])


def test_parameters_are_read_at_every_call():
    X = [[10.0, 100.0]]
    s = LogarithmScaler().fit(X)
    assert s.fit(X) is s
    np.testing.assert_array_equal(s.fit_transform(X), s.transform(X))
    s.set_params(mode="log")
    np.testing.assert_allclose(s.transform(X), np.log(X))
    s.set_params(vmin=1e6)
    np.testing.assert_allclose(s.transform(X), np.log([[1e6, 1e6]]))
    s.set_params(mode="log1p", vmin=None, eps=0.0, inverted=True)
    np.testing.assert_allclose(s.inverse_transform(X), -np.expm1(X))
    s.set_params(mode="anything else")  # set_params does not validate; any other mode means log1p
    np.testing.assert_allclose(s.transform([[-3.0, -4.0]]), np.log1p([[3.0, 4.0]]))


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"mode": "log2"}, "The 'mode' parameter of LogarithmScaler.__init__ must be a str among"),
        ({"eps": -0.1}, "The 'eps' parameter of LogarithmScaler.__init__ must be a float in the range [0.0, inf)"),
        (
            {"vmin": -1.0},
            "The 'vmin' parameter of LogarithmScaler.__init__ must be a float in the range [0.0, inf) or None",
        ),
        ({"inverted": "yes"}, "The 'inverted' parameter of LogarithmScaler.__init__ must be an instance of 'bool'"),
        ({"eps": np.nan}, "The 'eps' parameter of LogarithmScaler.__init__"),
    ],
)
def test_construction_validates(kwargs, message):
    with pytest.raises(InvalidParameterError) as e:
        LogarithmScaler(**kwargs)
    assert str(e.value).startswith(message)
    s = LogarithmScaler()
    s.set_params(**kwargs)  # not re-checked here ...
    with pytest.raises(InvalidParameterError):
        clone(s)  # ... but when the estimator is rebuilt


def test_fit_checks_and_messages():
    s = LogarithmScaler()
    with pytest.raises(NotFittedError):
        s.transform([[1.0]])
    with pytest.raises(NotFittedError):
        s.inverse_transform([[1.0]])
    s.fit(np.ones((4, 3)))
    assert s.n_features_in_ == 3 and not hasattr(s, "feature_names_in_")
    for method in (s.transform, s.inverse_transform):
        with pytest.raises(ValueError, match=r"^X has 2 features, expected 3\.$"):
            method(np.ones((4, 2)))
    with pytest.raises(ValueError, match="Expected 2D array"):
        s.fit([1.0, 2.0])
    with pytest.raises(TypeError):
        LogarithmScaler("log", True)
    with pytest.raises(TypeError):
        s.transform(__import__("scipy.sparse").sparse.csr_matrix(np.ones((2, 3))))


def test_declaration():
    assert LogarithmScaler.__bases__ == (module.OneToOneFeatureMixin, module.TransformerMixin, module.BaseEstimator)
    assert LogarithmScaler.__module__ == "duv.preprocessing._logarithm_scaler"
    assert "_parameter_constraints" not in vars(LogarithmScaler)
    assert str(inspect.signature(LogarithmScaler.__init__)) == (
        "(self, mode: 'str' = 'log10', *, inverted: 'bool' = False, eps: 'float' = 0.0, "
        "vmin: 'Optional[float]' = None) -> 'None'"
    )
    assert str(inspect.signature(LogarithmScaler._lower_bound)) == "(self) -> 'Optional[float]'"
    assert str(inspect.signature(LogarithmScaler._forward)) == "(self, Z: 'np.ndarray') -> 'np.ndarray'"
    names = [n for n in vars(module) if not n.startswith("__")]
    assert names == [
        "annotations",
        "Optional",
        "Union",
        "np",
        "BaseEstimator",
        "OneToOneFeatureMixin",
        "TransformerMixin",
        "Interval",
        "Real",
        "StrOptions",
        "validate_params",
        "check_array",
        "check_is_fitted",
        "LogarithmScaler",
    ]
    assert duv.preprocessing.__all__ == ["LogarithmScaler"]
    assert list(vars(LogarithmScaler(eps=0.2))) == ["mode", "inverted", "eps", "vmin"]


@pytest.mark.parametrize(
    "mode, eps, vmin",
    [
        ("log10", 0.0, None),
        ("log", 3.0, 2),
        ("log1p", 0.0, None),
        ("log1p", 0.25, None),
        ("log1p", 0.25, 0.5),
        ("log1p", 0.75, 0.5),
        ("log1p", 0.0, 0.0),
    ],
)
def test_lower_bound(mode, eps, vmin):
    got = LogarithmScaler(mode, eps=eps, vmin=vmin)._lower_bound()
    want = reference_lower_bound(mode, eps, vmin)
    assert got == want and type(got) is type(want)


def test_overrides_and_rebound_names_are_honoured(monkeypatch):
    class Shifted(LogarithmScaler):
        def _lower_bound(self):
            return 5.0

    class Doubled(LogarithmScaler):
        def _forward(self, Z):
            return 2 * super()._forward(Z)

    X = np.array([[1.0, 100.0]])
    np.testing.assert_allclose(Shifted().fit(X).transform(X), np.log10([[5.0, 100.0]]))
    np.testing.assert_allclose(Doubled(inverted=True).fit(X).transform(-X), 2 * np.log10(X))
    calls = []
    monkeypatch.setattr(
        module, "np", type("NP", (), {"__getattr__": lambda self, n: (calls.append(n), getattr(np, n))[1]})()
    )
    LogarithmScaler(vmin=1.0).fit(X).transform(X)
    assert calls == ["log10", "clip"]


def test_sklearn_integration():
    pd = pytest.importorskip("pandas")
    X = np.array([[1.0, 10.0], [100.0, 1000.0]])
    s = LogarithmScaler().fit(X)
    assert list(s.get_feature_names_out()) == ["x0", "x1"]
    out = LogarithmScaler().set_output(transform="pandas").fit_transform(pd.DataFrame(X, columns=["a", "b"]))
    assert isinstance(out, pd.DataFrame) and list(out.columns) == ["a", "b"]
    np.testing.assert_allclose(
        make_pipeline(LogarithmScaler(), LinearRegression()).fit(X, [0, 1]).predict(X), [0.0, 1.0], atol=1e-12
    )
    ct = ColumnTransformer([("log", LogarithmScaler(), [1])], remainder="passthrough").fit(X)
    np.testing.assert_array_equal(ct.transform(X), [[1.0, 1.0], [3.0, 100.0]])
    y = np.array([1.0, 10.0, 100.0])
    ttr = TransformedTargetRegressor(LinearRegression(), transformer=LogarithmScaler()).fit([[0], [1], [2]], y)
    np.testing.assert_allclose(ttr.predict([[3]]), [1000.0])
    clone_ = pickle.loads(pickle.dumps(s))
    np.testing.assert_array_equal(clone_.transform(X), s.transform(X))


def peak_bytes(fn):
    import tracemalloc

    tracemalloc.start()
    try:
        tracemalloc.reset_peak()
        before = tracemalloc.get_traced_memory()[0]
        fn()
        return tracemalloc.get_traced_memory()[1] - before
    finally:
        tracemalloc.stop()


@pytest.mark.parametrize("mode, kw", [("log10", {"vmin": 1e-3}), ("log1p", {"eps": 0.1}), ("log", {})])
def test_one_pass_allocates_only_the_result(mode, kw):
    X = np.random.default_rng(4).lognormal(size=(100_000, 8))
    s = LogarithmScaler(mode, inverted=True, **kw).fit(X)
    Xn = -X
    out = X.nbytes
    assert peak_bytes(lambda: reference_transform(Xn, mode, True, s.eps, s.vmin)) >= 2 * out  # NumPy's steps
    assert peak_bytes(lambda: s.transform(Xn)) < 1.1 * out
    assert peak_bytes(lambda: s.inverse_transform(X)) < 1.1 * out
