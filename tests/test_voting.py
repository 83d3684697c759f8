import inspect
import pickle
import warnings

import numpy as np
import pytest
from sklearn.base import BaseEstimator, RegressorMixin, clone
from sklearn.ensemble import VotingRegressor as SkVotingRegressor
from sklearn.linear_model import LinearRegression, LogisticRegression, Ridge
from sklearn.utils._param_validation import InvalidParameterError

import duv.ensemble
import duv.ensemble._voting as module
from duv.ensemble import VotingRegressor


class Constant(RegressorMixin, BaseEstimator):
    """A fitted regressor that predicts `value` (an array is broadcast to the rows)."""

    def __init__(self, value=0.0):
        self.value = value

    def fit(self, X, y=None):
        self.fitted_ = True
        return self

    def predict(self, X, **kwargs):
        n = len(X)
        v = np.asarray(self.value, dtype=float)
        return np.repeat(v[None], n, axis=0) if v.ndim else np.full(n, float(v))


def fitted(*values, first=0):
    return [(f"m{i}", Constant(v).fit(None)) for i, v in enumerate(values, start=first)]


def reference_statistics(P, weights, return_std):
    """The documented steps written with NumPy."""
    mean = np.average(P, axis=1, weights=weights)
    if not return_std:
        return mean
    if weights is not None:
        wm = np.average(P, axis=1, weights=weights)
        index = (slice(None), np.newaxis) if len(P.shape) == 2 else (slice(None), np.newaxis, slice(None))
        variance = np.average((P - wm[index]) ** 2, axis=1, weights=weights)
    else:
        variance = np.var(P, axis=1)
    return mean, np.sqrt(variance)


def outcome(fn):
    with warnings.catch_warnings(record=True) as w:
        warnings.simplefilter("always")
        try:
            out = fn()
        except Exception as e:  # compared below
            out = e
    return out, [(type(x.message), str(x.message)) for x in w]


def assert_same(got, want):
    if isinstance(want, Exception):
        assert type(got) is type(want) and str(got) == str(want)
        return
    got, want = (got, want) if isinstance(want, tuple) else ((got,), (want,))
    assert len(got) == len(want)
    for g, e in zip(got, want, strict=True):
        assert type(g) is type(e) and g.shape == e.shape and g.dtype == e.dtype
        np.testing.assert_array_equal(g.view(np.uint64), e.view(np.uint64))


def stack(shape, layout, seed):
    rng = np.random.default_rng(seed)
    P = rng.normal(size=shape) * 10.0 ** rng.integers(-6, 6, size=shape)
    if layout == "F":
        return np.asfortranarray(P)
    if layout == "member-major":  # as predict_raw lays out 2-D member predictions
        return np.transpose(np.ascontiguousarray(np.transpose(P, (1, 0, 2))), (1, 0, 2))
    return P


WEIGHTS = [None, "int", "float", "negative"]


def weights_for(kind, k, seed):
    rng = np.random.default_rng(seed)
    return {
        None: None,
        "int": [int(v) for v in rng.integers(1, 6, size=k)],
        "float": list(rng.random(k) + 0.1),
        "negative": list(rng.normal(size=k)),
    }[kind]


@pytest.mark.parametrize(
    "shape, layout",
    [
        ((300, 5), "C"),
        ((300, 1), "C"),
        ((40_000, 9), "C"),
        ((50, 130), "C"),
        ((300, 5), "F"),
        ((300, 5, 3), "C"),
        ((300, 9, 2), "member-major"),
        ((300, 4, 1), "C"),
        ((20_000, 5, 2), "member-major"),
        ((40, 3, 300), "C"),
        ((7, 12, 301), "member-major"),
    ],
)
@pytest.mark.parametrize("weights", WEIGHTS)
@pytest.mark.parametrize("return_std", [False, True])
def test_statistics_match_numpy_bit_for_bit(shape, layout, weights, return_std):
    P = stack(shape, layout, seed=len(shape) * 7 + shape[1])
    w = weights_for(weights, shape[1], seed=1)
    v = VotingRegressor(fitted(*range(shape[1])), weights=w)
    got = outcome(lambda: v._compute_weighted_statistics(P, return_std=return_std))
    want = outcome(lambda: reference_statistics(P, w, return_std))
    assert_same(got[0], want[0])
    assert got[1] == want[1]


@pytest.mark.parametrize(
    "values, weights",
    [
        ([np.nan, 1.0, 2.0], None),
        ([np.inf, 1.0, 2.0], None),
        ([np.inf, -np.inf, 2.0], [1, 1, 1]),
        ([1e200, -1e200, 1e200], None),
        ([1e-200, 3e-200, 1.0], [1.0, 2.0, 3.0]),
        ([1.0, 2.0, 3.0], [1.0, -1.0, 0.0]),
        ([1.0, 2.0, 3.0], [1.0, 2.0]),
        ([1.0, 2.0, 3.0], [[1.0, 2.0, 3.0]]),
        ([1.0, 2.0], [np.nan, 1.0]),
    ],
)
def test_special_values_warn_and_fail_as_numpy_does(values, weights):
    P = np.tile(np.asarray(values, dtype=float), (4000, 1))
    v = VotingRegressor(fitted(*range(len(values))))
    v.weights = weights
    for return_std in (False, True):
        got = outcome(lambda r=return_std: v._compute_weighted_statistics(P, return_std=r))
        want = outcome(lambda r=return_std: reference_statistics(P, v._weights_not_none, r))
        assert_same(got[0], want[0])
        assert got[1] == want[1]


def test_documented_examples():
    X = np.zeros((3, 1))
    v = VotingRegressor(fitted(1.0, 3.0)).assume_fitted()
    np.testing.assert_array_equal(v.predict(X), [2.0] * 3)
    mean, std = v.predict(X, return_std=True)
    np.testing.assert_array_equal(std, [1.0] * 3)
    mean, std = VotingRegressor(fitted(1.0, 3.0), weights=[3, 1]).assume_fitted().predict(X, return_std=True)
    np.testing.assert_allclose(mean, 1.5)
    np.testing.assert_allclose(std, np.sqrt(0.75))
    np.testing.assert_allclose(v.predict(X, scale_func=np.exp), (np.e + np.e**3) / 2)


def test_prediction_stack_layouts():
    X = np.zeros((4, 2))
    v = VotingRegressor(fitted(1.0, 2.0, 3.0)).assume_fitted()
    raw = v.predict_raw(X)
    assert raw.shape == (4, 3) and raw.dtype == np.float64 and raw.flags.c_contiguous
    np.testing.assert_array_equal(raw, np.stack([m.predict(X) for m in v.estimators_], axis=1))
    multi = VotingRegressor(fitted([1.0, 10.0], [3.0, 30.0])).assume_fitted()
    assert multi.predict_raw(X).shape == (4, 2, 2)
    mean, std = multi.predict(X, return_std=True)
    np.testing.assert_array_equal(mean, [[2.0, 20.0]] * 4)
    np.testing.assert_array_equal(std, [[1.0, 10.0]] * 4)
    mixed = VotingRegressor([("a", Constant(1.0).fit(None)), ("b", Constant(2.0).fit(None))]).assume_fitted()
    mixed.estimators_[1].predict = lambda X: np.full(len(X), 2.0, dtype=np.float32)
    assert mixed.predict_raw(X).dtype == np.float64
    cube = VotingRegressor(fitted(np.ones((2, 2)))).assume_fitted()
    with pytest.raises(ValueError, match=r"^Unsupported estimator prediction shape; expected 1D or 2D predictions$"):
        cube.predict_raw(X)
    cube.estimators_ = []
    with pytest.raises(IndexError):
        cube.predict_raw(X)


def test_predict_forwards_parameters_and_wraps_scale_func_errors():
    seen = []

    class Recorder(Constant):
        def predict(self, X, **kwargs):
            seen.append(kwargs)
            return super().predict(X)

    v = VotingRegressor([("r", Recorder(1.0).fit(None))]).assume_fitted()
    v.predict(np.zeros((2, 1)), flag=3)
    assert seen == [{"flag": 3}]
    with pytest.raises(ValueError, match=r"^scale_func must be callable$"):
        v.predict(np.zeros((2, 1)), scale_func=3)

    def broken(predictions):
        raise KeyError("boom")

    with pytest.raises(ValueError, match=r"^scale_func failed: 'boom'$") as e:
        v.predict(np.zeros((2, 1)), scale_func=broken)
    assert isinstance(e.value.__context__, KeyError)


def test_assume_fitted_messages():
    class NoPredict(RegressorMixin, BaseEstimator):
        pass

    cases = [
        (
            [("a", LinearRegression())],
            "Failed to validate estimators: Estimator a is not fitted: This LinearRegression",
        ),
        (
            [("a", Constant().fit(None)), ("b", NoPredict())],
            "Failed to validate estimators: Estimator b does not have a predict method",
        ),
        ([], "Failed to validate estimators: Invalid 'estimators' attribute"),
        (
            [("a", LogisticRegression())],
            "Failed to validate estimators: The estimator LogisticRegression should be a regressor.",
        ),
    ]
    for members, message in cases:
        v = VotingRegressor(members)
        with pytest.raises(ValueError) as e:
            v.assume_fitted()
        assert str(e.value).startswith(message)
        assert not hasattr(v, "estimators_")
    v = VotingRegressor(fitted(1.0)).assume_fitted()
    previous = v.estimators_
    v.estimators.append(("late", LinearRegression()))
    with pytest.raises(ValueError, match=r"^Failed to validate estimators: Estimator late is not fitted: ") as e:
        v.assume_fitted()
    assert v.estimators_ is previous
    assert str(e.value.__context__).startswith("Estimator late is not fitted: ")
    assert e.value.__context__.__context__.__class__.__name__ == "NotFittedError"


def test_add_models():
    members = fitted(1.0)
    v = VotingRegressor(members)
    assert v.add_models(fitted(3.0, 5.0, first=1)) is v
    assert members is v.estimators and len(members) == 3  # the constructor's list grows in place
    assert [m.value for m in v.estimators_] == [1.0, 3.0, 5.0]
    cases = [
        (("m", Constant().fit(None)), "estimators must be a list"),
        ([(1, Constant().fit(None))], "Estimator name must be a string, got <class 'int'>"),
        ([("x", LogisticRegression().fit([[0], [1]], [0, 1]))], "Estimator x is not a regressor"),
        ([("ok", Constant().fit(None)), ("x", LogisticRegression())], "Estimator x is not a regressor"),
        ([("new", LinearRegression())], "Failed to validate estimators: Estimator new is not fitted: "),
        ([("m0", Constant().fit(None))], "Failed to validate estimators: Names provided are not unique"),
    ]
    for new, message in cases:
        with pytest.raises(ValueError) as e:
            v.add_models(new)
        assert str(e.value).startswith(message)
        assert len(v.estimators) == 3 and len(v.estimators_) == 3  # the ensemble is left as it was
    np.testing.assert_array_equal(v.predict(np.zeros((2, 1))), [3.0, 3.0])
    weighted = VotingRegressor(fitted(1.0, 2.0), weights=[1, 1]).add_models(fitted(3.0, first=2))
    assert weighted.weights == [1, 1]
    with pytest.raises(ValueError):
        weighted.predict(np.zeros((2, 1)))


def test_fit():
    X = np.arange(20.0).reshape(10, 2)
    y = X @ [1.0, 2.0]
    v = VotingRegressor([("lr", LinearRegression()), ("r", Ridge(alpha=1e-9))])
    assert v.fit(X, list(y)) is v and v.n_outputs_ == 1
    np.testing.assert_allclose(v.predict(X), y)
    assert v.estimators_[0] is not v.estimators[0][1]
    with pytest.warns(Warning):
        v.fit(X, y[:, None])
    assert v.n_outputs_ == 1
    with pytest.raises(ValueError):
        v.fit(X, np.c_[y, y])
    assert v.n_outputs_ == 2
    reference = SkVotingRegressor([("lr", LinearRegression()), ("r", Ridge(alpha=1e-9))]).fit(X, y)
    np.testing.assert_array_equal(v.fit(X, y).predict(X), reference.predict(X))
    np.testing.assert_array_equal(v.transform(X), reference.transform(X))
    np.testing.assert_array_equal(pickle.loads(pickle.dumps(v)).predict(X), v.predict(X))


@pytest.mark.parametrize(
    "kwargs, name",
    [
        ({"estimators": ("a", 1)}, "estimators"),
        ({"weights": 3}, "weights"),
        ({"n_jobs": 1.5}, "n_jobs"),
        ({"verbose": "loud"}, "verbose"),
    ],
)
def test_construction_validates(kwargs, name):
    kwargs = {"estimators": [], **kwargs}
    with pytest.raises(InvalidParameterError, match=f"The '{name}' parameter of VotingRegressor.__init__ must be"):
        VotingRegressor(**kwargs)
    v = VotingRegressor([])
    v.set_params(**{name: kwargs[name]})
    with pytest.raises(InvalidParameterError):
        clone(v)


def test_declaration():
    assert VotingRegressor.__bases__ == (SkVotingRegressor,)
    assert module._BaseVotingRegressor is SkVotingRegressor
    names = [n for n in vars(module) if not n.startswith("__")]
    assert names == [
        "Real",
        "Callable",
        "List",
        "Optional",
        "Tuple",
        "Union",
        "np",
        "is_regressor",
        "_BaseVotingRegressor",
        "validate_params",
        "check_is_fitted",
        "VotingRegressor",
    ]
    assert duv.ensemble.__all__ == ["VotingRegressor", "MixtureOfExpertsRegressor"]
    assert [n for n in vars(VotingRegressor) if not n.startswith("__") or n == "__init__"][:7] == [
        "__init__",
        "fit",
        "assume_fitted",
        "add_models",
        "_compute_weighted_statistics",
        "predict_raw",
        "predict",
    ]
    sig = inspect.signature(VotingRegressor.__init__)
    assert list(sig.parameters) == ["self", "estimators", "weights", "n_jobs", "verbose"]
    assert sig.parameters["estimators"].annotation == module.List[module.Tuple[str, object]]
    assert sig.parameters["weights"].annotation == module.Optional[module.Union[module.List[module.Real], np.ndarray]]
    assert inspect.signature(VotingRegressor.assume_fitted).return_annotation == "VotingRegressor"
    assert str(inspect.signature(VotingRegressor.predict)) == (
        "(self, X, return_std=False, scale_func=None, **predict_params)"
    )


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


@pytest.mark.parametrize("shape, layout", [((100_000, 5), "C"), ((50_000, 5, 2), "member-major")])
@pytest.mark.parametrize("weights", [None, "float"])
def test_statistics_allocate_only_their_results(shape, layout, weights):
    P = stack(shape, layout, seed=2)
    w = weights_for(weights, shape[1], seed=3)
    v = VotingRegressor(fitted(*range(shape[1])), weights=w)
    results = 2 * P.nbytes // shape[1]
    assert peak_bytes(lambda: reference_statistics(P, w, True)) > P.nbytes  # NumPy's temporaries
    assert peak_bytes(lambda: v._compute_weighted_statistics(P, return_std=True)) < 1.1 * results


@pytest.mark.parametrize(
    "weights, names",
    [
        (None, ["asarray", "stack", "average", "var", "sqrt"]),
        ([1.0, 2.0, 3.0], ["asarray", "stack", "average", "newaxis", "sqrt"]),
    ],
)
def test_rebound_numpy_runs_the_documented_calls(monkeypatch, weights, names):
    X = np.zeros((5, 1))
    v = VotingRegressor(fitted(1.0, 2.0, 4.0), weights=weights).assume_fitted()
    want = v.predict(X, return_std=True)
    calls = []
    monkeypatch.setattr(
        module, "np", type("NP", (), {"__getattr__": lambda self, n: (calls.append(n), getattr(np, n))[1]})()
    )
    got = v.predict(X, return_std=True)
    assert calls == names
    for g, w in zip(got, want, strict=True):
        assert_same(g, w)
