import pickle
import types
import warnings

import numpy as np
import pandas as pd
import pytest
from scipy.interpolate import PchipInterpolator
from sklearn.base import clone
from sklearn.linear_model import LinearRegression, Ridge
from sklearn.model_selection import GridSearchCV
from sklearn.neighbors import NearestNeighbors
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler
from sklearn.utils._param_validation import InvalidParameterError

import duv.augmentation._rare_target_augmentation as module
from duv.augmentation import RareTargetAugmentedRegressor, rare_target_augment, target_relevance


def pchip(points, y):
    """Relevance through (value, relevance) points by SciPy, constant beyond the ends, clipped."""
    x, r = np.asarray(points, dtype=float).T
    if len(x) == 1:
        return np.full(len(y), r[0])
    return np.clip(PchipInterpolator(x, r)(np.clip(y, x[0], x[-1])), 0.0, 1.0)


def boxplot_reference(y, extremes="both"):
    q1, med, q3 = np.percentile(y, [25, 50, 75])
    lo, hi = q1 - 1.5 * (q3 - q1), q3 + 1.5 * (q3 - q1)
    return pchip(
        {"both": [(lo, 1), (med, 0), (hi, 1)], "high": [(med, 0), (hi, 1)], "low": [(lo, 1), (med, 0)]}[extremes], y
    )


def augment_reference(
    X,
    y,
    rel,
    *,
    threshold=0.5,
    balance=1.0,
    generator="smote",
    k_neighbors=5,
    max_factor=10.0,
    noise=0.05,
    shuffle=True,
    random_state=None,
    sample_weight=None,
):
    """The documented steps written with NumPy, for rows that are not all rare or all normal."""
    rare, med, n, m = rel >= threshold, np.median(y), len(y), X.shape[1]
    sides = [np.flatnonzero(rare & (y < med)), np.flatnonzero(rare & (y >= med))]
    wanted = max(0, int(round(balance * (n - rare.sum()))) - rare.sum())
    counts = [int(round(wanted * len(sides[0]) / rare.sum()))]
    counts = [min(c, int(max_factor) * len(s)) for c, s in zip(counts + [wanted - counts[0]], sides, strict=True)]
    rng = np.random.RandomState(random_state) if isinstance(random_state, int) else random_state
    w = np.ones(n) if sample_weight is None else sample_weight
    Xs, ys, ws = [X], [y], [w]
    for idx, c in zip(sides, counts, strict=True):
        if c == 0:
            continue
        Xd, yd, wd, q, r = X[idx], y[idx], w[idx], c // len(idx), c % len(idx)
        base = np.repeat(np.arange(len(idx)), q)
        if r:
            base = np.concatenate([base, rng.choice(len(idx), size=r, replace=False)])
        if generator != "gaussian" and len(idx) > 1:
            k = min(k_neighbors, len(idx) - 1)
            dist, ind = (a[:, 1:] for a in NearestNeighbors(n_neighbors=k + 1).fit(Xd).kneighbors(Xd))
            slot, alpha = rng.randint(0, k, size=c), rng.rand(c)
            nb = ind[base, slot]
            Xn = Xd[base] + alpha[:, None] * (Xd[nb] - Xd[base])
            yn = yd[base] + alpha * (yd[nb] - yd[base])
            wn = (1 - alpha) * wd[base] + alpha * wd[nb]
            close = np.ones(c, bool) if generator == "smote" else dist[base, slot] < np.median(dist) / 2
        else:
            close = np.zeros(c, bool)
        if not close.all():
            z = rng.standard_normal((c, m + 1))
            Xsd, ysd = (Xd, yd) if len(idx) > 1 else (X[rare], y[rare])
            Xj = Xd[base] + noise * Xsd.std(axis=0) * z[:, :-1]
            yj = yd[base] + noise * ysd.std() * z[:, -1]
            Xn, yn, wn = (
                (Xj, yj, wd[base])
                if not close.any()
                else (np.where(close[:, None], Xn, Xj), np.where(close, yn, yj), np.where(close, wn, wd[base]))
            )
        Xs.append(Xn), ys.append(yn), ws.append(wn)
    out = [np.vstack(Xs), np.concatenate(ys), np.concatenate(ws)]
    if shuffle:
        perm = rng.permutation(len(out[1]))
        out = [a[perm] for a in out]
    return out[0], out[1], None if sample_weight is None else out[2]


def skewed(n=300, m=4, seed=0):
    rng = np.random.RandomState(seed)
    X = rng.randn(n, m)
    y = np.exp(X[:, 0] + 0.5 * rng.randn(n))
    y[:4] = -3.0 - rng.rand(4)  # a few rare rows below the median
    return X, y


def same(got, want):
    assert len(got) == len(want)
    for g, w in zip(got, want, strict=True):
        assert (g is None and w is None) or (g.dtype == np.float64 and np.array_equal(g, w))


# ---- target_relevance ----------------------------------------------------------------------------------------


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("m", [1, 2, 3, 5, 9])
def test_control_points_follow_scipy_pchip(seed, m):
    rng = np.random.RandomState(seed)
    points = np.c_[np.sort(rng.choice(1000, m, replace=False)) * rng.uniform(0.01, 3), rng.rand(m)]
    points[rng.rand(m) < 0.3, 1] = rng.choice([0.0, 1.0])  # flat stretches and extrema
    y = rng.uniform(points[0, 0] - 50, points[-1, 0] + 50, 400)
    y[:m] = points[:, 0]
    got = target_relevance(y, control_points=points, method="density", extremes="low")  # both ignored
    np.testing.assert_allclose(got, pchip(points, y), rtol=1e-12, atol=1e-15)


def test_control_points_may_span_the_whole_float_range():
    cp = np.array([[-1e308, 1.0], [0.0, 0.0], [1e308, 1.0]])
    y = np.array([-1.7e308, -1e308, -3e307, -1.0, 0.0, 1.0, 5e307, 1e308])
    scaled = target_relevance(y * 2.0**-1000, control_points=cp * [2.0**-1000, 1.0])
    np.testing.assert_allclose(target_relevance(y, control_points=cp), scaled, rtol=1e-12, atol=1e-300)
    assert scaled[0] == scaled[1] == scaled[-1] == 1.0 and 0 < scaled[2] < 1 and scaled[4] == 0.0


@pytest.mark.parametrize("extremes", ["both", "high", "low"])
@pytest.mark.parametrize(
    "y",
    [
        np.random.RandomState(1).lognormal(size=500),
        np.random.RandomState(2).randn(301),
        np.random.RandomState(3).uniform(size=50),
        np.r_[np.arange(40.0), 1e4, -1e4],
    ],
)
def test_boxplot_relevance_is_pchip_through_the_fences(y, extremes):
    got = target_relevance(y.reshape(-1, 1), extremes=extremes)
    np.testing.assert_allclose(got, boxplot_reference(y, extremes), rtol=1e-12, atol=1e-15)
    q1, med, q3 = np.percentile(y, [25, 50, 75])
    lo, hi = q1 - 1.5 * (q3 - q1), q3 + 1.5 * (q3 - q1)
    beyond = {"both": (y <= lo) | (y >= hi), "high": y >= hi, "low": y <= lo}[extremes]
    zero = {"both": y == med, "high": y <= med, "low": y >= med}[extremes]
    assert got.dtype == np.float64 and got.shape == y.shape and np.all((got >= 0) & (got <= 1))
    assert np.array_equal(got == 1.0, beyond) and np.all(got[zero] == 0.0) and np.all(got[~zero & ~beyond] > 0)


@pytest.mark.parametrize(
    "kwargs, want",
    [
        ({}, [1, 1, 0, 0, 0, 0, 0, 1]),
        ({"extremes": "high"}, [0, 0, 0, 0, 0, 0, 0, 1]),
        ({"extremes": "low"}, [1, 1, 0, 0, 0, 0, 0, 0]),
        ({"control_points": [[0.0, 0.5]]}, [0.5] * 8),
        ({"control_points": [[-2.0, 0.0], [0.0, 1.0]], "extremes": "high"}, [0, 0.5, 1, 1, 1, 1, 1, 1]),
    ],
)
def test_a_target_without_spread_makes_the_fences_steps(kwargs, want):
    y = np.array([-2.0, -1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 3.0])  # q1 == q3 == 0
    np.testing.assert_allclose(target_relevance(y, **kwargs), want, rtol=1e-12)


@pytest.mark.parametrize("kwargs", [{}, {"method": "density"}, {"extremes": "low"}, {"control_points": [[0, 1]]}])
def test_a_constant_target_is_nowhere_rare(kwargs):
    np.testing.assert_array_equal(target_relevance([4.0] * 7, **kwargs), np.zeros(7))


@pytest.mark.parametrize("extremes", ["both", "high", "low"])
def test_density_relevance_is_one_minus_the_relative_bin_count(extremes):
    y = np.r_[np.random.RandomState(0).lognormal(size=997), 0.0, 40.0, 20.0]
    counts, edges = np.histogram(y, bins="auto")
    want = 1 - counts[np.minimum(np.searchsorted(edges, y, side="right") - 1, len(counts) - 1)] / counts.max()
    if extremes != "both":
        want[(y < np.median(y)) if extremes == "high" else (y > np.median(y))] = 0.0
    got = target_relevance(y, method="density", extremes=extremes)
    assert np.array_equal(got, want) and got[-2] == (0.0 if extremes == "low" else 1 - 1 / counts.max())


# ---- rare_target_augment -------------------------------------------------------------------------------------


@pytest.mark.parametrize("generator, noise", [("smote", 0.05), ("smogn", 0.0), ("gaussian", 0.0)])
@pytest.mark.parametrize("seed", [0, 1, 2])
def test_a_linear_target_stays_linear(generator, noise, seed):
    X, _ = skewed(seed=seed)
    coef = np.random.RandomState(seed).randn(4)
    y = np.exp(X[:, 0]) * 10 + X @ coef  # skewed and exactly linear in the columns and exp(X[:, 0])
    Xe = np.c_[X, np.exp(X[:, 0])]
    X_aug, y_aug, _ = rare_target_augment(Xe, y, generator=generator, noise=noise, random_state=seed)
    assert len(y_aug) > len(y)
    np.testing.assert_allclose(y_aug, X_aug[:, :4] @ coef + 10 * X_aug[:, 4], rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize(
    "balance, max_factor, n_low, n_high",
    [(1.0, 10.0, 13, 27), (1.0, 1.5, 10, 20), (3.0, 4.9, 40, 80), (3.0, 100.0, 60, 120), (0.3, 10.0, 0, 0)],
)
def test_synthetic_rows_split_by_side_and_capped(balance, max_factor, n_low, n_high):
    rng = np.random.RandomState(0)
    y = np.r_[rng.uniform(-10, -5, 10), rng.uniform(5, 10, 20), rng.uniform(-1, 1, 70)]
    X = rng.randn(100, 3)
    rel = np.r_[np.ones(30), np.zeros(70)]
    X_aug, y_aug, _ = rare_target_augment(
        X,
        y,
        relevance=rel,
        balance=balance,
        max_factor=max_factor,
        generator="gaussian",
        noise=0.0,
        shuffle=False,
        random_state=0,
    )
    new = y_aug[100:]
    assert np.array_equal(X_aug[:100], X) and ((new < 0).sum(), (new > 0).sum()) == (n_low, n_high)
    assert np.all(new[:n_low] < 0)  # the low side comes first
    uses = np.array([(new == v).sum() for v in y[:30]])
    assert uses.max() <= int(max_factor) and uses.max() - uses.min() <= 1


@pytest.mark.parametrize(
    "generator, data, kwargs",
    [
        ("smote", skewed(), {}),
        ("gaussian", skewed(seed=1), {"noise": 0.3}),
        ("smogn", skewed(seed=2), {"k_neighbors": 3}),
        ("smote", skewed(seed=3), {"balance": 2.5, "max_factor": 3.0, "shuffle": False}),
        ("smogn", (np.c_[np.arange(60.0)], np.r_[-50.0, np.arange(58.0), 500.0]), {"threshold": 0.9}),  # one row a side
    ],
)
@pytest.mark.parametrize("weighted", [False, True])
def test_results_and_draws_are_the_numpy_steps(generator, data, kwargs, weighted):
    X, y = data
    sw = np.random.RandomState(5).rand(len(y)) if weighted else None
    rng, ref_rng = np.random.RandomState(7), np.random.RandomState(7)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got = rare_target_augment(X, y, generator=generator, random_state=rng, sample_weight=sw, **kwargs)
        again = [
            rare_target_augment(X, y, generator=generator, random_state=3, sample_weight=sw, **kwargs) for _ in range(2)
        ]
    want = augment_reference(
        X, y, boxplot_reference(y), generator=generator, random_state=ref_rng, sample_weight=sw, **kwargs
    )
    same(got, want)
    same(*again)
    assert rng.randint(1 << 30) == ref_rng.randint(1 << 30)  # as many draws, in the same order
    assert any("fewer than two rare rows" in str(w.message) for w in caught) == (data[0].shape[1] == 1)


class ProxyNumpy(types.ModuleType):
    def __getattr__(self, name):
        return getattr(np, name)


@pytest.mark.parametrize(
    "call",
    [
        lambda X, y: rare_target_augment(X, y, random_state=0, sample_weight=np.arange(len(y)) + 1.0),
        lambda X, y: rare_target_augment(X, y, random_state=0, generator="smogn", shuffle=False),
        lambda X, y: rare_target_augment(X, y, random_state=0, generator="gaussian"),
        lambda X, y: target_relevance(y, method="density", extremes="high"),
    ],
)
def test_a_rebound_numpy_runs_the_documented_calls_with_the_same_results(call, monkeypatch):
    X, y = skewed()
    fast = call(X, y)
    monkeypatch.setattr(module, "np", ProxyNumpy("numpy"))
    same(call(X, y) if isinstance(fast, tuple) else [call(X, y)], fast if isinstance(fast, tuple) else [fast])


def with_copied_rows(X, y):
    return np.vstack([X[::-2], X, X[::3]]), np.concatenate([y[::-2], y, y[::3]])


def with_features(m):
    def make(X, y):
        return np.random.RandomState(1).randn(len(y), m), y

    return make


@pytest.mark.parametrize("generator", ["smote", "smogn"])
@pytest.mark.parametrize("reshape", [with_copied_rows, with_features(1), with_features(16), lambda X, y: (X, y)])
def test_own_neighbour_search_agrees_with_nearest_neighbors(generator, reshape, monkeypatch):
    # Copied rows tie, one feature makes a tree, sixteen a brute search in NearestNeighbors.
    X, y = reshape(*skewed(n=600))
    fast = rare_target_augment(X, y, generator=generator, k_neighbors=3, random_state=0)
    monkeypatch.setattr(module, "NearestNeighbors", lambda **kw: NearestNeighbors(**kw))
    same(rare_target_augment(X, y, generator=generator, k_neighbors=3, random_state=0), fast)


def test_overflowing_rows_are_made_by_numpy_which_warns():
    X, y = skewed()
    X[:, 1] = np.where(X[:, 1] > 0, 1e308, -1e308)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got = rare_target_augment(X, y, random_state=0)
    assert any(w.category is RuntimeWarning and "overflow" in str(w.message) for w in caught)
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        same(got, augment_reference(X, y, boxplot_reference(y), random_state=np.random.RandomState(0)))


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"y": np.full(50, 2.0)}, "the target is constant: no row is rare"),
        ({"relevance": np.full(50, 0.2)}, "no row has a relevance of at least threshold=0.5: the data are returned"),
        ({"threshold": 0.0}, "every row is rare: the data are returned unchanged"),
    ],
)
@pytest.mark.parametrize("mode", ["passthrough", "generate"])
def test_nothing_to_do_returns_the_data_unchanged(kwargs, message, mode):
    X, y = skewed(50)
    kwargs = {"y": y, **kwargs}
    sw = np.linspace(1, 2, 50)
    rng = np.random.RandomState(0)
    with pytest.warns(UserWarning, match=message):
        X_aug, y_aug, sw_aug = rare_target_augment(
            X, random_state=rng, sample_weight=sw, sample_weight_mode=mode, **kwargs
        )
    assert np.array_equal(X_aug, X) and np.array_equal(y_aug, kwargs["y"]) and np.array_equal(sw_aug, sw)
    assert rng.randint(1 << 30) == np.random.RandomState(0).randint(1 << 30)  # no draws


@pytest.mark.parametrize("shuffle", [False, True])
def test_generate_mode_weighs_rare_rows_instead_of_adding_rows(shuffle):
    X, y = skewed()
    sw = np.linspace(0.5, 1.5, len(y))
    rel = target_relevance(y)
    X_aug, y_aug, w = rare_target_augment(
        X, y, sample_weight=sw, sample_weight_mode="generate", shuffle=shuffle, random_state=0
    )
    perm = np.random.RandomState(0).permutation(len(y)) if shuffle else np.arange(len(y))
    _, y_syn, _ = rare_target_augment(X, y, shuffle=False, random_state=0)
    new = y_syn[len(y) :]
    n_low, n_high = (new < np.median(y)).sum(), (new >= np.median(y)).sum()
    low, high = (rel >= 0.5) & (y < np.median(y)), (rel >= 0.5) & (y >= np.median(y))
    want = np.ones(len(y))
    want[low], want[high] = 1 + n_low / low.sum(), 1 + n_high / high.sum()
    assert np.array_equal(X_aug, X[perm]) and np.array_equal(y_aug, y[perm])
    np.testing.assert_array_equal(w, (want * sw)[perm])


@pytest.mark.parametrize(
    "fn, kwargs, error, match",
    [
        (rare_target_augment, {"y": np.r_[np.nan, np.ones(29)]}, ValueError, "Input y contains NaN"),
        (target_relevance, {"y": np.r_[np.inf, np.ones(29)]}, ValueError, "Input y contains infinity"),
        (rare_target_augment, {"threshold": 1.5}, InvalidParameterError, "'threshold' parameter"),
        (rare_target_augment, {"balance": -0.5}, InvalidParameterError, "'balance' parameter"),
        (rare_target_augment, {"generator": "smoter"}, InvalidParameterError, "'generator' parameter"),
        (rare_target_augment, {"X": np.full((30, 2), "a")}, ValueError, "dtype='numeric' is not compatible"),
        (rare_target_augment, {"y": np.array(list("abcdef") * 5)}, ValueError, "y must hold numbers, got dtype <U1"),
        (rare_target_augment, {"y": np.ones((30, 2))}, ValueError, r"or a single column, got shape \(30, 2\)"),
        (
            target_relevance,
            {"y": np.ones((30, 2))},
            ValueError,
            r"one-dimensional or a single column, got shape \(30, 2\)",
        ),
        (
            rare_target_augment,
            {"relevance": np.ones(29)},
            ValueError,
            r"one value in \[0, 1\] per row, got shape \(29,\)",
        ),
        (rare_target_augment, {"relevance": np.ones((30, 1))}, ValueError, r"per row, got shape \(30, 1\)"),
        (rare_target_augment, {"relevance": lambda y: y}, ValueError, r"one value in \[0, 1\] per row$"),
        (rare_target_augment, {"relevance": np.r_[np.nan, np.zeros(29)]}, ValueError, r"per row$"),
        (rare_target_augment, {"relevance": ["x"] * 30}, ValueError, "per row: could not convert"),
        (rare_target_augment, {"sample_weight": np.ones(31)}, ValueError, r"shape \(30,\), got \(31,\)"),
        (
            rare_target_augment,
            {"sample_weight": np.r_[np.inf, np.ones(29)]},
            ValueError,
            "sample_weight must be finite",
        ),
        (target_relevance, {"control_points": [0.0, 1.0]}, ValueError, "control_points must be pairs"),
        (target_relevance, {"control_points": [[1.0, 0.0], [0.0, 1.0]]}, ValueError, "increasing values"),
        (target_relevance, {"control_points": [[0.0, 0.0], [1.0, 1.5]]}, ValueError, r"relevances in \[0, 1\]"),
        (target_relevance, {"control_points": [[0.0, np.nan]]}, ValueError, "control_points must be pairs"),
        (target_relevance, {"control_points": [["a", 0.0]]}, ValueError, "control_points must be pairs"),
        (target_relevance, {"extremes": "upper"}, InvalidParameterError, "'extremes' parameter"),
    ],
)
def test_bad_inputs_are_rejected_clearly(fn, kwargs, error, match):
    X, y = skewed(30, 2)
    args = {"X": X, "y": y, **kwargs} if fn is rare_target_augment else {"y": y, **kwargs}
    with pytest.raises(error, match=match):
        fn(**args)


def test_a_relevance_callable_sees_the_target_read_only():
    X, y = skewed()
    seen = []
    got = rare_target_augment(X, y, relevance=lambda t: seen.append(t) or target_relevance(t), random_state=0)
    assert seen[0].flags.writeable is False and np.array_equal(seen[0], y)
    same(got, rare_target_augment(X, y, random_state=0))


# ---- RareTargetAugmentedRegressor ----------------------------------------------------------------------------


def test_the_regressor_fits_its_estimator_on_the_augmented_data():
    X, y = skewed()
    model = RareTargetAugmentedRegressor(
        LinearRegression(), generator="smogn", threshold=0.4, random_state=0, store_augmented=True
    ).fit(X, y, sample_weight=np.ones(len(y)))
    X_aug, y_aug, sw_aug = rare_target_augment(
        X, y, generator="smogn", threshold=0.4, random_state=0, sample_weight=np.ones(len(y))
    )
    same((model.augmented_X_, model.augmented_y_), (X_aug, y_aug))
    inner = LinearRegression().fit(X_aug, y_aug, sample_weight=sw_aug)
    np.testing.assert_array_equal(model.predict(X), inner.predict(X))
    assert model.unwrap() is model.estimator_ and model.n_features_in_ == 4 and model.n_outputs_ == 1
    with pytest.raises(ValueError, match="X has 3 features, but this estimator was fitted with 4 features"):
        model.predict(X[:, :3])


def test_the_regressor_keeps_the_estimator_protocol():
    X, y = skewed()
    model = RareTargetAugmentedRegressor(Ridge(), balance=0.8, noise=0.1, random_state=0)
    params = model.get_params(deep=False)
    assert repr(clone(model)) == repr(model) and clone(model).get_params()["estimator__alpha"] == 1.0
    assert model.set_params(**params).get_params(deep=False) == params
    fitted = model.fit(X, y)
    np.testing.assert_array_equal(pickle.loads(pickle.dumps(fitted)).predict(X), fitted.predict(X))
    pipe = make_pipeline(StandardScaler(), clone(model)).fit(X, y)
    assert pipe.predict(X).shape == (len(y),)
    grid = {"generator": ["smote", "gaussian", "smogn"], "threshold": [0.3, 0.6], "estimator__alpha": [1.0]}
    search = GridSearchCV(clone(model), grid, cv=3).fit(X, y)
    assert len(search.cv_results_["params"]) == 6 and np.isfinite(search.cv_results_["mean_test_score"]).all()
    frame = pd.DataFrame(X, columns=list("abcd"))
    named = clone(model).fit(frame, y)
    assert list(named.feature_names_in_) == list("abcd")
    with pytest.raises(ValueError, match="feature names should match"):
        named.predict(frame[list("dcba")])
