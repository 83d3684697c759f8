import pickle
import warnings
from typing import ClassVar

import numpy as np
import pytest
from scipy.spatial.distance import cdist
from sklearn.base import BaseEstimator, RegressorMixin, clone, is_regressor
from sklearn.exceptions import NotFittedError
from sklearn.linear_model import BayesianRidge

import duv.ensemble
from duv.ensemble import MixtureOfExpertsRegressor as MoE
from duv.ensemble import _mixture_of_experts as moe_module


class RadialExpert(RegressorMixin, BaseEstimator):
    """Row-wise arithmetic only, so one row or many give bit-identical predictions."""

    calls: ClassVar[list] = []

    def __init__(self, fail=False):
        self.fail = fail

    def fit(self, X, y):
        if self.fail:
            raise ValueError("boom")
        self.center_, self.level_ = X.mean(axis=0), np.mean(y, axis=0)
        return self

    def predict(self, X, return_std=False, shift=0.0):
        RadialExpert.calls.append((id(self), X.shape[0]))
        d = ((X - self.center_) ** 2).sum(axis=1)
        if np.ndim(self.level_) == 1:
            mean, std = (
                self.level_ + d[:, None] + shift,
                (0.1 + d)[:, None] * np.arange(1, self.level_.size + 1, dtype=d.dtype),
            )
        else:
            mean, std = self.level_ + d + shift, 0.1 + d
        return (mean, std) if return_std else mean


# The documented NumPy steps, as references.
def ref_simple(m, s):
    return np.mean(m, axis=0), np.sqrt(np.mean(s**2, axis=0))


def ref_inverse_variance(m, s, eps=1e-9):
    inv = 1.0 / (s**2 + eps)
    w = inv / np.sum(inv, axis=0, keepdims=True)
    return np.sum(w * m, axis=0), np.sqrt(1.0 / np.sum(inv, axis=0))


def ref_mixture(m, s, weights=None, eps=1e-9):
    v = s**2
    w = np.ones(m.shape[0]) / m.shape[0] if weights is None else np.asarray(weights) / np.sum(weights)
    w = w.reshape((-1,) + (1,) * (m.ndim - 1))
    mean = np.sum(w * m, axis=0)
    return mean, np.sqrt(np.maximum(np.sum(w * (v + (m - mean) ** 2), axis=0), eps))


REFS = {"simple": ref_simple, "inverse_variance": ref_inverse_variance, "mixture": ref_mixture}


def ref_route_distance(model, X):
    mask = model.distance_cols_
    dist = cdist(X[:, mask], model.estimator_centers_[:, mask])
    active = np.argsort(dist, axis=1)[:, : model.n_active]
    multi = np.ndim(model.estimators_[active[0, 0]].predict(X[0:1], return_std=True)[0]) == 2
    preds, stds = [], []
    for i in range(X.shape[0]):
        out = [model.estimators_[j].predict(X[i].reshape(1, -1), return_std=True) for j in active[i]]
        stack = np.stack if multi else (lambda a, axis: np.array(a).reshape(-1, 1))
        pm, ps = stack([o[0] for o in out], axis=0), stack([o[1] for o in out], axis=0)
        if model.aggregation_method == "mixture" and len(out) > 1:
            w = 1.0 / (dist[i, active[i]] + model.epsilon)
            p, s = ref_mixture(pm, ps, w / np.sum(w))
        else:
            p, s = REFS[model.aggregation_method](pm, ps)
        preds.append(p[0])
        stds.append(s[0])
    return np.array(preds, dtype=float), np.array(stds, dtype=float)


def ref_route_confidence(model, X):
    out = [e.predict(X, return_std=True) for e in model.estimators_]
    P, S = np.array([o[0] for o in out]), np.array([o[1] for o in out])
    score = np.mean(S, axis=2) if S.ndim == 3 else S
    a = np.argsort(score, axis=0)[: model.n_active]
    a = a[:, :, None] if S.ndim == 3 else a
    return REFS[model.aggregation_method](np.take_along_axis(P, a, axis=0), np.take_along_axis(S, a, axis=0))


class Table(BaseEstimator):
    def __init__(self, m=None, s=None):
        self.m, self.s = m, s

    def predict(self, X, return_std=False):
        return self.m, self.s


def ref_draws(X, n_estimators, sampling_factor, seed, split, n_clusters=5):
    rs = np.random.RandomState(seed)
    n = max(1, round(X.shape[0] / n_estimators * sampling_factor))
    if split == "random":
        return [rs.choice(len(X), size=n, replace=True) for _ in range(n_estimators)], None
    from sklearn.cluster import KMeans

    km = KMeans(n_clusters=n_clusters, random_state=rs, n_init="auto").fit(X)
    targets = rs.choice(n_clusters, n_estimators)
    w = 1.0 / (cdist(X, km.cluster_centers_) + 1e-9)
    w = w / np.sum(w, axis=0, keepdims=True)
    return [rs.choice(len(X), size=n, replace=True, p=w[:, t]) for t in targets], targets


@pytest.fixture(scope="module")
def data():
    rng = np.random.RandomState(0)
    X = rng.rand(120, 3)
    return X, X @ [1.0, -2.0, 0.5] + 0.05 * rng.randn(120)


def test_class_and_construction():
    assert is_regressor(MoE()) and duv.ensemble.MixtureOfExpertsRegressor is MoE
    assert MoE.__mro__[1:3] == (RegressorMixin, BaseEstimator)
    odd = MoE(estimator="x", n_estimators=-1, split=3, epsilon="e")
    assert clone(odd).get_params()["n_estimators"] == -1
    assert MoE().get_params()["epsilon"] == 1e-09 and MoE().split == "kmeans"


def test_parameter_checks_in_order(data):
    X, y = data
    params = dict(
        estimator=None,
        n_estimators=-2.7,
        n_active=0,
        split="s",
        routing="r",
        aggregation_method="a",
        sampling_factor=0,
        n_clusters=0,
        epsilon=-1,
        random_state=0,
    )
    fixes = [
        ("estimator must be provided", dict(estimator=BayesianRidge())),
        ("n_estimators must be positive, got -2", dict(n_estimators=2)),
        ("n_active must be positive, got 0", dict(n_active=3)),
        ("n_active cannot exceed n_estimators, got 3 > 2", dict(n_active=2)),
        ("split must be 'random' or 'kmeans', got s", dict(split="kmeans")),
        ("routing must be 'confidence' or 'distance', got r", dict(routing="distance")),
        (
            "aggregation_method must be 'mixture', 'inverse_variance', or 'simple', got a",
            dict(aggregation_method="simple"),
        ),
        ("sampling_factor must be positive, got 0.000000", dict(sampling_factor=1)),
        ("n_clusters must be positive, got 0", dict(n_clusters=500)),
        ("epsilon must be positive, got -1.000000", dict(epsilon=1e-9)),
        ("n_clusters (500) cannot exceed number of samples (120)", dict(split="random")),
    ]
    for message, fix in fixes:
        model = MoE(**params)
        with pytest.raises(ValueError) as info:
            model.fit(X, y)
        assert str(info.value) == message
        assert not hasattr(model, "random_state_")
        params.update(fix)
    assert len(MoE(**params).fit(X, y).estimators_) == 2


@pytest.mark.parametrize("n_rows,n_estimators,factor,expected", [(7, 2, 1.0, 4), (5, 2, 1.0, 2), (1, 10, 2.0, 1)])
def test_subset_size_rounding(n_rows, n_estimators, factor, expected):
    X = np.arange(n_rows * 2, dtype=float).reshape(n_rows, 2)
    model = MoE(
        RadialExpert(), n_estimators=n_estimators, n_active=1, split="random", sampling_factor=factor, random_state=0
    ).fit(X, X[:, 0])
    assert model.n_samples_ == expected
    assert [len(i) for i in model.estimator_train_indices_] == [expected] * n_estimators


@pytest.mark.parametrize(
    "cols,message",
    [
        ([True, False], "distance_cols mask length must equal n_features (3), got 2"),
        ([False] * 3, "distance_cols must select at least one column"),
    ],
)
def test_mask_errors(data, cols, message):
    model = MoE(BayesianRidge(), distance_cols=cols, random_state=0)
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        model.fit(*data)
    assert hasattr(model, "random_state_") and hasattr(model, "X_train_") and not hasattr(model, "estimators_")


def test_mask_is_elementwise_and_no_copies(data):
    model = MoE(BayesianRidge(), distance_cols=[0, 2, 0], copy_X_y_train=False, random_state=0).fit(*data)
    np.testing.assert_array_equal(model.distance_cols_, [False, True, False])
    assert model.cluster_centers_masked_.shape == (5, 1)
    assert not any(hasattr(model, a) for a in ("X_train_", "y_train_", "estimator_train_indices_"))


@pytest.mark.parametrize("split", ["random", "kmeans"])
def test_draws_match_reference_for_any_n_jobs(data, split):
    X, y = data
    indices, targets = ref_draws(X, 6, 2.0, 3, split)
    for n_jobs in (None, 2):
        model = MoE(BayesianRidge(), n_estimators=6, split=split, random_state=3, n_jobs=n_jobs).fit(X, y)
        for got, want in zip(model.estimator_train_indices_, indices, strict=True):
            np.testing.assert_array_equal(got, want)
        np.testing.assert_array_equal(model.estimator_centers_, [np.mean(X[i], axis=0) for i in indices])
        if targets is not None:
            np.testing.assert_array_equal(model.target_clusters_, targets)
        assert all(e is not model.estimator for e in model.estimators_)


def test_two_dimensional_y_reaches_experts(data):
    X, y = data
    Y = np.c_[y, 2 * y]
    model = MoE(RadialExpert(), n_estimators=3, random_state=0).fit(X, Y)
    for expert, idx in zip(model.estimators_, model.estimator_train_indices_, strict=True):
        np.testing.assert_array_equal(expert.level_, Y[idx].mean(axis=0))


@pytest.mark.parametrize("split,n_jobs", [("random", 2), ("kmeans", None), ("kmeans", 2)])
def test_expert_failure_leaves_model_unfitted(data, split, n_jobs):
    model = MoE(BayesianRidge(), n_estimators=3, split=split, random_state=0).fit(*data)
    model.set_params(estimator=RadialExpert(fail=True), n_jobs=n_jobs)
    with pytest.raises(RuntimeError, match=r"^Expert failed to fit: boom$") as info:
        model.fit(*data)
    if n_jobs is None:
        assert isinstance(info.value.__context__, ValueError)
    assert not hasattr(model, "estimators_")
    with pytest.raises(NotFittedError):
        model.predict(data[0])


def test_kmeans_failure_is_wrapped(data, monkeypatch):
    def broken(**kwargs):
        raise ValueError("no clusters")

    monkeypatch.setattr(moe_module, "KMeans", broken)
    model = MoE(BayesianRidge())
    with pytest.raises(RuntimeError, match=r"^K-means clustering failed: no clusters$"):
        model.fit(*data)
    assert not hasattr(model, "estimators_")


@pytest.mark.parametrize(
    "method,means,stds,mean,std",
    [
        ("mixture", [0.0, 2.0], [1.0, 1.0], 1.0, np.sqrt(2.0)),
        ("inverse_variance", [1.0, 0.0], [1.0, 2.0], 0.8, np.sqrt(1 / 1.25)),
        ("simple", [1.0, 3.0], [1.0, 2.0], 2.0, np.sqrt(2.5)),
    ],
)
def test_aggregation_values(method, means, stds, mean, std):
    model = MoE(aggregation_method=method)
    m, s = model._aggregate_predictions(np.array(means)[:, None], np.array(stds)[:, None])
    np.testing.assert_allclose([m[0], s[0]], [mean, std], rtol=1e-8)


def stacks(rng, k, shape, dtype):
    m = (rng.standard_normal((k,) + shape) * 10.0 ** rng.integers(-3, 3, (k,) + shape)).astype(dtype)
    return m, np.abs(rng.standard_normal((k,) + shape)).astype(dtype)


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("k,shape", [(1, (5,)), (3, (1,)), (9, (1,)), (20, (1, 1)), (9, (7,)), (4, (6, 3))])
def test_kernels_equal_numpy_expressions(dtype, k, shape):
    rng = np.random.default_rng(k)
    m, s = stacks(rng, k, shape, dtype)
    model = MoE()
    w = rng.random(k)
    for got, want in [
        (model._simple_aggregation(m, s), ref_simple(m, s)),
        (model._inverse_variance_aggregation(m, s), ref_inverse_variance(m, s)),
        (model._mixture_aggregation(m, s), ref_mixture(m, s)),
        (model._mixture_aggregation(m, s, w), ref_mixture(m, s, w)),
        (model._mixture_aggregation(m, s, list(w)), ref_mixture(m, s, w)),
    ]:
        for g, r in zip(got, want, strict=True):
            assert g.dtype == r.dtype and g.shape == r.shape
            np.testing.assert_array_equal(g, r)


def test_unusual_inputs_follow_numpy():
    m, s = stacks(np.random.default_rng(0), 4, (5,), np.float32)
    model = MoE(epsilon=np.float64(1e-3))
    for got, want in [
        (model._inverse_variance_aggregation(m, s), ref_inverse_variance(m, s, np.float64(1e-3))),
        (model._simple_aggregation(m.T.copy().T, s[:, ::-1]), ref_simple(m.T.copy().T, s[:, ::-1])),
        (
            model._mixture_aggregation(m, s, np.ones(4, np.float32)),
            ref_mixture(m, s, np.ones(4, np.float32), np.float64(1e-3)),
        ),
    ]:
        for g, r in zip(got, want, strict=True):
            assert g.dtype == r.dtype
            np.testing.assert_array_equal(g, r)
    with pytest.raises(TypeError):
        model._simple_aggregation([[1.0]], [[1.0]])
    with pytest.warns(RuntimeWarning, match="overflow"):
        model._simple_aggregation(np.ones((2, 2)), np.full((2, 2), 1e200))


@pytest.mark.parametrize("method", list(REFS))
def test_distance_routing_overflow_is_reported_like_numpy(data, method):
    class Huge(RadialExpert):
        def predict(self, X, return_std=False):
            mean, std = super().predict(X, return_std=True)
            return mean, std * 1e300

    model = MoE(Huge(), n_estimators=4, n_active=2, routing="distance", aggregation_method=method, random_state=0).fit(
        *data
    )
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got = model.predict(data[0], return_std=True)
    assert any("overflow" in str(w.message) for w in caught)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        want = ref_route_distance(model, data[0])
    for g, w in zip(got, want, strict=True):
        np.testing.assert_array_equal(g, w)


def test_confidence_picks_smallest_std():
    class Fixed(RadialExpert):
        def predict(self, X, return_std=False):
            return np.full(len(X), self.level_), np.full(len(X), 0.1 if self.level_ < 0.5 else 0.5)

    X = np.array([[0.0], [1.0]])
    for method in REFS:
        model = MoE(Fixed(), n_estimators=2, n_active=1, split="random", aggregation_method=method)
        model.estimators_ = [Fixed().fit(X, [0.0, 0.0]), Fixed().fit(X, [1.0, 1.0])]
        mean, std = model.predict(X, return_std=True)
        np.testing.assert_allclose(mean, 0.0, atol=1e-12)
        np.testing.assert_allclose(std, 0.1, rtol=1e-6)


@pytest.mark.parametrize("pattern", ["distinct", "ties", "signed_zero", "nan"])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("n_active", [1, 2, 7, -2])
@pytest.mark.parametrize("outputs", [0, 3])
def test_confidence_routing_equals_numpy_argsort(pattern, dtype, n_active, outputs):
    rng = np.random.default_rng(0)
    shape = (7, 300) if outputs == 0 else (7, 300, outputs)
    S = rng.random(shape)
    if pattern == "ties":
        S = np.round(S, 1)
    elif pattern == "signed_zero":
        S[:, ::2] = 0.0
        S[::2, ::2] = -0.0
    elif pattern == "nan":
        S[rng.random(shape) < 0.05] = np.nan
    S, M = S.astype(dtype), rng.standard_normal(shape).astype(dtype)
    model = MoE(n_active=n_active, aggregation_method="simple")
    model.estimators_ = [Table(m, s) for m, s in zip(M, S, strict=True)]
    X = np.zeros((300, 1))
    for g, w in zip(model._route_confidence(X), ref_route_confidence(model, X), strict=True):
        np.testing.assert_array_equal(g, w)


def test_distance_routing_with_tied_centres(data):
    X, y = data
    model = MoE(RadialExpert(), n_estimators=6, n_active=3, routing="distance", random_state=0).fit(X, y)
    model.estimator_centers_[[1, 4]] = model.estimator_centers_[0]
    for g, w in zip(model.predict(X, return_std=True), ref_route_distance(model, X), strict=True):
        np.testing.assert_array_equal(g, w)


@pytest.mark.parametrize("dtype,level", [(np.float32, 1e3), (np.float64, 1e8)])
@pytest.mark.parametrize("routing", ["confidence", "distance"])
def test_mixture_std_survives_large_means(dtype, level, routing):
    # sum(w * (var + mean**2)) - mean**2 would lose the variance entirely here
    X = np.linspace(0, 1, 50)[:, None].astype(dtype)
    model = MoE(RadialExpert(), n_estimators=4, n_active=1, routing=routing, random_state=0).fit(X, X[:, 0] + level)
    own = np.array([e.predict(X, return_std=True)[1] for e in model.estimators_])
    assert model.predict(X, return_std=True)[1] == pytest.approx(
        own.min(axis=0) if routing == "confidence" else ref_route_distance(model, X)[1], rel=1e-6
    )
    model.set_params(n_active=4, aggregation_method="mixture")
    assert np.all(model.predict(X, return_std=True)[1] >= own.min(axis=0) * (1 - 1e-6))


@pytest.mark.parametrize("routing", ["confidence", "distance"])
def test_all_experts_active_simple_is_plain_average(data, routing):
    X, y = data
    model = MoE(
        BayesianRidge(), n_estimators=4, n_active=4, routing=routing, aggregation_method="simple", random_state=0
    ).fit(X, y)
    expected = np.mean([e.predict(X) for e in model.estimators_], axis=0)
    np.testing.assert_allclose(model.predict(X), expected, rtol=1e-12)
    assert isinstance(model.predict(X), np.ndarray)


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("method", list(REFS))
@pytest.mark.parametrize("n_active", [1, 3, 10])
@pytest.mark.parametrize("outputs", [0, 2])
def test_batched_distance_routing_equals_row_at_a_time(data, dtype, method, n_active, outputs):
    X, y = (a.astype(dtype) for a in data)
    Y = y if outputs == 0 else np.c_[y, -y]
    model = MoE(
        RadialExpert(),
        n_estimators=10,
        n_active=n_active,
        routing="distance",
        aggregation_method=method,
        random_state=0,
    ).fit(X, Y)
    RadialExpert.calls.clear()
    got = model.predict(X, return_std=True)
    # one call per expert, on all of its rows
    ids = [c[0] for c in RadialExpert.calls]
    assert len(ids) == len(set(ids)) and sum(c[1] for c in RadialExpert.calls) == 120 * n_active
    want = ref_route_distance(model, X)
    for g, w in zip(got, want, strict=True):
        assert g.shape == w.shape == ((120,) if outputs == 0 else (120, 2)) and g.dtype == np.float64
        np.testing.assert_array_equal(g, w)
    assert model.predict(X[:1], return_std=True)[0].shape == ((1,) if outputs == 0 else (1, 2))


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("method", list(REFS))
def test_distance_routing_with_bayesian_ridge(data, dtype, method):
    # A linear model's one-row and many-row predictions may differ in the last bit.
    X, y = (a.astype(dtype) for a in data)
    model = MoE(BayesianRidge(), n_active=3, routing="distance", aggregation_method=method, random_state=0)
    model.fit(X, y)
    for n_jobs in (None, 2):
        model.set_params(n_jobs=n_jobs)
        (gm, gs), (wm, ws) = model.predict(X, return_std=True), ref_route_distance(model, X)
        # means are weighted sums of terms of size ~max|mean|
        tol = 1e-12 if dtype == np.float64 else 1e-6
        np.testing.assert_allclose(gm, wm, rtol=0, atol=tol * max(1.0, np.abs(wm).max()))
        # the mixture's spread subtracts the squared mean, which can cost float32 a digit
        np.testing.assert_allclose(gs, ws, rtol=tol if dtype == np.float64 or method != "mixture" else 1e-5)


@pytest.mark.parametrize("n_jobs", [None, 2])
@pytest.mark.parametrize("routing", ["confidence", "distance"])
def test_keyword_arguments_reach_experts(data, routing, n_jobs):
    model = MoE(RadialExpert(), n_estimators=3, routing=routing, n_jobs=n_jobs, random_state=0).fit(*data)
    np.testing.assert_allclose(model.predict(data[0], shift=5.0) - model.predict(data[0]), 5.0, rtol=1e-9)
    with pytest.raises(TypeError, match="multiple values for keyword argument 'return_std'"):
        getattr(model, "_route_" + routing)(data[0], return_std=False)


def test_options_changed_after_fit(data):
    model = MoE(BayesianRidge(), n_estimators=3, random_state=0).fit(*data)
    model.routing = "nearest"
    with pytest.raises(ValueError, match=r"^Unknown routing strategy: nearest$"):
        model.predict(data[0])
    for routing in ("confidence", "distance"):
        model.set_params(routing=routing, aggregation_method="median")
        with pytest.raises(ValueError, match=r"^Unknown aggregation method: median$"):
            model.predict(data[0])


def test_pickle_in_fresh_interpreter(data, fresh_python):
    X, y = data
    model = MoE(BayesianRidge(), n_estimators=4, routing="distance", random_state=0).fit(X, y)
    blob = pickle.dumps((model, X[:5])).hex()
    code = (
        f"import pickle; m, X = pickle.loads(bytes.fromhex('{blob}')); print(m.predict(X, return_std=True)[1].tolist())"
    )
    assert eval(fresh_python(code)) == model.predict(X[:5], return_std=True)[1].tolist()


def misaligned(a):
    buf = np.zeros(a.nbytes + 1, np.uint8)[1:]
    out = buf.view(a.dtype).reshape(a.shape)
    out[...] = a
    return out


def read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


@pytest.mark.parametrize(
    "layout",
    [
        lambda a: a.astype(a.dtype.newbyteorder(">")),
        lambda a: a.astype(a.dtype.newbyteorder("<")),
        misaligned,
        read_only,
        np.asfortranarray,
    ],
    ids=["big-endian", "little-endian", "misaligned", "read-only", "fortran"],
)
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_stack_layouts_follow_numpy(layout, dtype):
    m, s = stacks(np.random.default_rng(1), 4, (6, 3), dtype)
    w = np.random.default_rng(2).random(4)
    model = MoE()
    for got, want in [
        (model._simple_aggregation(layout(m), layout(s)), ref_simple(m, s)),
        (model._inverse_variance_aggregation(layout(m), layout(s)), ref_inverse_variance(m, s)),
        (model._mixture_aggregation(layout(m), layout(s), layout(w)), ref_mixture(m, s, w)),
    ]:
        for g, r in zip(got, want, strict=True):
            assert g.dtype == r.dtype and g.shape == r.shape
            np.testing.assert_array_equal(g, r)


@pytest.mark.parametrize(
    "name,routing",
    [("cdist", "distance"), ("Parallel", "confidence"), ("_predict_expert", "distance"), ("check_array", "confidence")],
)
def test_module_names_are_looked_up_at_call_time(data, monkeypatch, name, routing):
    model = MoE(RadialExpert(), n_estimators=3, routing=routing, random_state=0).fit(*data)
    calls, original = [], getattr(moe_module, name)

    def spy(*args, **kwargs):
        calls.append(name)
        return original(*args, **kwargs)

    monkeypatch.setattr(moe_module, name, spy)
    want = model.predict(data[0][:7])
    assert calls
    monkeypatch.undo()
    np.testing.assert_array_equal(want, model.predict(data[0][:7]))


def test_distance_routing_accepts_unaligned_expert_predictions():
    # Arrays rebuilt from a worker process's bytes (joblib's or dask's) can be contiguous but unaligned.
    def unaligned(a):
        a = np.ascontiguousarray(a, dtype=np.float64)
        raw = np.zeros(a.nbytes + 1, dtype=np.uint8)
        out = np.frombuffer(raw.data, dtype=np.float64, count=a.size, offset=1).reshape(a.shape)
        out[...] = a
        assert not out.flags.aligned
        return out

    class Unaligned(BayesianRidge):
        def predict(self, X, return_std=False):
            mean, std = super().predict(X, return_std=True)
            return (unaligned(mean), unaligned(std)) if return_std else mean

    rng = np.random.RandomState(0)
    X, y = rng.rand(60, 2), rng.rand(60)
    for aggregation in ["mixture", "simple", "inverse_variance"]:
        params = dict(n_estimators=3, n_clusters=2, routing="distance", aggregation_method=aggregation, random_state=0)
        plain = MoE(BayesianRidge(), **params).fit(X, y).predict(X, return_std=True)
        odd = MoE(Unaligned(), **params).fit(X, y).predict(X, return_std=True)
        np.testing.assert_array_equal(odd[0], plain[0])
        np.testing.assert_array_equal(odd[1], plain[1])


@pytest.mark.parametrize("routing", ["confidence", "distance"])
@pytest.mark.parametrize(
    "aggregation, names",
    [
        ("simple", {"argsort", "mean", "sqrt"}),
        ("inverse_variance", {"argsort", "sum", "sqrt"}),
        ("mixture", {"argsort", "sum", "maximum", "sqrt"}),
    ],
)
def test_rebound_numpy_runs_the_documented_calls(data, monkeypatch, routing, aggregation, names):
    model = MoE(RadialExpert(), n_estimators=4, routing=routing, aggregation_method=aggregation, random_state=0).fit(
        *data
    )
    want = model.predict(data[0][:9], return_std=True)
    calls = []
    monkeypatch.setattr(
        moe_module, "np", type("NP", (), {"__getattr__": lambda self, n: (calls.append(n), getattr(np, n))[1]})()
    )
    got = model.predict(data[0][:9], return_std=True)
    assert names <= set(calls)
    for g, w in zip(got, want, strict=True):
        np.testing.assert_array_equal(g, w)
