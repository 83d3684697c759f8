import inspect
import itertools
import pickle
import warnings

import numpy as np
import pytest
from sklearn.base import BaseEstimator, clone
from sklearn.linear_model import LinearRegression, LogisticRegression, Ridge
from sklearn.model_selection import GridSearchCV
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler
from sklearn.utils._param_validation import InvalidParameterError
from sklearn.utils.validation import _num_samples, check_array, check_random_state

import duv.augmentation._histogram_augmentation as module
from duv.augmentation import (
    GaussianAugmentedRegressor,
    HistogramAugmentedClassifier,
    HistogramAugmentedRegressor,
    ResampleAugmentedRegressor,
    SMOTEAugmentedRegressor,
    histogram_augment,
)


def column_reference(values, bins, smoothing_coeff):
    values = np.asarray(values)
    try:
        hist, bin_edges = np.histogram(values, bins=bins)
    except MemoryError:
        hist, bin_edges = np.histogram(values, bins=100)
        warnings.warn(
            "bin calculation failed due to MemoryError. Falling back to 100 bins.", RuntimeWarning, stacklevel=2
        )
    if len(hist) == 0:
        return np.ones(values.shape[0], dtype=float)
    bin_idx = np.clip(np.searchsorted(bin_edges, values, side="right") - 1, 0, len(hist) - 1)
    return (1.0 / (hist.astype(float) + float(smoothing_coeff)))[bin_idx]


def aggregate_reference(weight_vectors, agg):
    if len(weight_vectors) == 0:
        return None
    W = np.vstack(weight_vectors)
    return {
        "mean": lambda: np.mean(W, axis=0),
        "max": lambda: np.max(W, axis=0),
        "geometric": lambda: np.exp(np.mean(np.log(np.maximum(W, 1e-12)), axis=0)),
    }[agg]()


def reference(
    X,
    y,
    n_bins="auto",
    random_state=None,
    factor=10.0,
    shuffle=True,
    smoothing_coeff=1.0,
    target="y",
    x_bins=None,
    y_bins=None,
    agg="geometric",
    *,
    sample_weight=None,
    sample_weight_mode="passthrough",
):
    """The documented steps written with NumPy (valid arguments, non-empty data)."""
    X = check_array(X, accept_sparse=False, ensure_2d=True)
    y_arr = np.asarray(y)
    n = _num_samples(X)
    generate = sample_weight_mode.lower() == "generate"
    n_target = max(1, int(round(n * float(factor))))
    rng = check_random_state(random_state)
    sw = None if sample_weight is None else np.asarray(sample_weight)
    if n_target == n:
        if not shuffle:
            return X.copy(), y_arr.copy(), sw
        idx = np.arange(n)
        rng.shuffle(idx)
        return X[idx], y_arr[idx], None if sw is None else sw[idx]
    t = target.lower()
    xb, yb = (n_bins if x_bins is None else x_bins), (n_bins if y_bins is None else y_bins)
    vectors = [column_reference(X[:, j], xb, smoothing_coeff) for j in range(X.shape[1]) if t in ("x", "xy")]
    if t in ("y", "xy"):
        columns = [y_arr] if y_arr.ndim == 1 else [y_arr[:, c] for c in range(y_arr.shape[1])]
        vectors += [column_reference(c, yb, smoothing_coeff) for c in columns]
    aggregated = aggregate_reference(vectors, agg)
    if aggregated is None:
        warnings.warn("No weights computed; defaulting to uniform sampling.", UserWarning, stacklevel=2)
        p = np.ones(n, dtype=float) / float(n)
    else:
        total = float(np.sum(aggregated))
        if not np.isfinite(total) or total <= 1e-12:
            warnings.warn(
                "Sum of sampling weights is invalid or near zero. Defaulting to uniform sampling.",
                UserWarning,
                stacklevel=2,
            )
            p = np.ones(n, dtype=float) / float(n)
        else:
            p = aggregated / total
    if generate:
        w = np.ones(n, dtype=float) + (n_target - n) * p if n_target > n else float(n_target) * p
        if sw is not None:
            w = w * sw
        total_w = float(np.sum(w))
        if not np.isfinite(total_w) or total_w <= 1e-12:
            w = np.ones(n, dtype=float) * (float(n_target) / float(n))
        else:
            w = (float(n_target) / total_w) * w
        return X.copy(), y_arr.copy(), w
    if n_target < n:
        idx = rng.choice(np.arange(n), size=n_target, replace=False, p=p)
        if shuffle:
            idx = idx[rng.permutation(n_target)]
        return X[idx], y_arr[idx], None if sw is None else sw[idx]
    extra = rng.choice(np.arange(n), size=n_target - n, replace=True, p=p)
    X_c = np.vstack([X, X[extra]])
    y_c = np.concatenate([y_arr, y_arr[extra]]) if y_arr.ndim == 1 else np.vstack([y_arr, y_arr[extra]])
    sw_c = None if sw is None else sw[np.concatenate([np.arange(n), extra])]
    if shuffle:
        idx = np.arange(len(y_c))
        rng.shuffle(idx)
        X_c, y_c, sw_c = X_c[idx], y_c[idx], None if sw_c is None else sw_c[idx]
    return X_c, y_c, sw_c


def outcome(fn, *args, **kwargs):
    """Result (or exception) and warnings of a call."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = fn(*args, **kwargs)
        except Exception as e:  # compared by type and text
            result = (type(e), str(e))
    return result, [(w.category, str(w.message)) for w in caught]


def assert_same(got, want):
    (g, g_warn), (e, e_warn) = got, want
    assert g_warn == e_warn
    if isinstance(e, tuple) and isinstance(e[0], type):
        assert g == e
        return
    if isinstance(e, np.ndarray):
        g, e = (g,), (e,)
    assert len(g) == len(e)
    for a, b in zip(g, e, strict=True):
        if b is None:
            assert a is None
        else:
            assert (a.dtype, a.shape, a.tobytes()) == (b.dtype, b.shape, b.tobytes())


RNG = np.random.RandomState(0)
N = 200
X_BASE = np.c_[RNG.rand(N), RNG.standard_cauchy(N), RNG.randint(0, 5, N)]
Y_HEAVY = np.exp(2 * RNG.standard_normal(N))
W = RNG.rand(N)
BINS = ["auto", "fd", "sturges", "doane", 7, [0.0, 1.0, 5.0, 10.0], np.array([-1, 0, 0, 3, 3, 50])]
DTYPES = [np.float64, np.float32, np.int64, np.uint8]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("bins", BINS, ids=str)
def test_draws_weights_and_warnings_match_numpy(dtype, bins):
    X = (X_BASE * (1 if dtype in (np.float64, np.float32) else 50)).astype(dtype)
    combos = itertools.product(["geometric", "mean", "max"], ["y", "XY", "x"], [0.5, 2.3], [1.0, 0.0, 0.25])
    for i, (agg, target, factor, smoothing) in enumerate(combos):
        kwargs = dict(
            n_bins=bins,
            random_state=i,
            factor=factor,
            smoothing_coeff=smoothing,
            target=target,
            agg=agg,
            shuffle=i % 2 == 0,
            sample_weight=W if i % 3 else None,
            sample_weight_mode="generate" if i % 5 == 0 else "passthrough",
        )
        assert_same(outcome(histogram_augment, X, Y_HEAVY, **kwargs), outcome(reference, X, Y_HEAVY, **kwargs))


@pytest.mark.parametrize(
    "y",
    [Y_HEAVY[:, None], np.c_[Y_HEAVY, -Y_HEAVY], np.zeros((N, 0)), Y_HEAVY.astype(np.int32), list(Y_HEAVY)],
    ids=["column", "two", "none", "int32", "list"],
)
@pytest.mark.parametrize("target", ["y", "xy"])
def test_targets_of_every_shape(y, target):
    for factor, agg in ((3.0, "geometric"), (0.4, "max")):
        kwargs = dict(random_state=3, factor=factor, target=target, agg=agg, sample_weight=W)
        assert_same(outcome(histogram_augment, X_BASE, y, **kwargs), outcome(reference, X_BASE, y, **kwargs))


def test_column_helper_matches_numpy():
    rng = np.random.RandomState(1)
    columns = [
        rng.standard_cauchy(500) * 1e3,
        (rng.standard_normal(500) * 1e3).astype(np.float32),
        rng.randint(-(2**62), 2**62, 500),
        rng.randint(0, 3, 500).astype(np.uint64) * np.uint64(2**63),
        np.round(rng.rand(500) * 20) / 4,
        np.full(50, -0.0),
        np.r_[np.nan, 1.0, 2.0, np.nan],
        np.array([True, False, True]),
    ]
    for values in columns:
        for bins in ["auto", "fd", "stone", 1, 999, [-np.inf, 0, np.inf], [0.0, 0.5, 0.5, 3.0], [2.0], [1, 2, 3]]:
            for smoothing in (1.0, 0.0, 1e-320):
                assert_same(
                    outcome(module._compute_histogram_weights_for_column, values, bins, smoothing),
                    outcome(column_reference, values, bins, smoothing),
                )
    # An estimator asking for more bins than fit in memory.
    wide = np.r_[np.linspace(0, 1e-6, 1000), 1e9]
    got = outcome(module._compute_histogram_weights_for_column, wide, "fd", 1.0)
    assert got[1] == [(RuntimeWarning, "bin calculation failed due to MemoryError. Falling back to 100 bins.")]
    assert_same(got, outcome(column_reference, wide, "fd", 1.0))
    with np.errstate(divide="raise"), pytest.raises(FloatingPointError):
        module._compute_histogram_weights_for_column([0.0, 1.0, 9.0], 3, 0.0)


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_values_on_and_beside_bin_edges(dtype):
    # NumPy's bin estimate is corrected by one step either way for such values.
    rng = np.random.RandomState(2)
    for _ in range(40):
        lo, hi = sorted(rng.standard_normal(2) * 10.0 ** rng.randint(-3, 4))
        n_bins = rng.randint(2, 50)
        edges = np.linspace(lo, hi, n_bins + 1).astype(dtype)
        values = np.r_[edges, np.nextafter(edges, dtype(-np.inf)), np.nextafter(edges, dtype(np.inf))].astype(dtype)
        values = np.clip(values, edges[0], edges[-1])
        for bins in (n_bins, list(edges)):
            assert_same(
                outcome(module._compute_histogram_weights_for_column, values, bins, 0.5),
                outcome(column_reference, values, bins, 0.5),
            )


def test_documented_helper_values():
    w = module._compute_histogram_weights_for_column([0.0, 1.0, 1.0, 1.0], [0.0, 0.5, 1.0], 1.0)
    np.testing.assert_array_equal(w, [0.5, 0.25, 0.25, 0.25])
    vectors = [np.array([0.25]), np.array([1.0])]
    assert [module._aggregate_weights(vectors, a)[0] for a in ("geometric", "mean", "max")] == [0.5, 0.625, 1.0]
    assert module._aggregate_weights([], "anything") is None
    with pytest.raises(ValueError, match=r"^Unsupported agg='Mean'\. Expected one of \['geometric','mean','max'\]$"):
        module._aggregate_weights(vectors, "Mean")
    assert module._validate_histogram_params("auto", 2, 0) == ("auto", 2, 0)
    for args, message in (
        (("a", 0.0, 1.0), "factor must be > 0.0, got 0.0"),
        (("a", 1.0, -1), "smoothing_coeff must be >= 0.0, got -1"),
    ):
        with pytest.raises(ValueError, match=f"^{message}$"):
            module._validate_histogram_params(*args)
    ensure = module._ensure_1d_target
    assert ensure(5.0).shape == (1,) and ensure([[1], [2]]).shape == (2,) and ensure([1, 2]).shape == (2,)
    with pytest.raises(ValueError, match=r"^Target y must be 1D or 2D with single column, got shape \(1, 2\)$"):
        ensure([[1, 2]])
    with pytest.raises(ValueError, match=r"^Target y must be 1D or 2D, got 3D$"):
        ensure(np.zeros((1, 1, 1)))


def test_rebound_helpers_are_called():
    calls = []
    original = module._compute_histogram_weights_for_column

    def spy(values, bins, smoothing_coeff):
        calls.append(bins)
        return original(values, bins, smoothing_coeff)

    kwargs = dict(random_state=0, factor=2.0, target="xy", x_bins=5, agg="mean")
    try:
        module._compute_histogram_weights_for_column = spy
        got = outcome(histogram_augment, X_BASE, Y_HEAVY, **kwargs)
    finally:
        module._compute_histogram_weights_for_column = original
    assert calls == [5, 5, 5, "auto"]
    assert_same(got, outcome(reference, X_BASE, Y_HEAVY, **kwargs))


X6 = np.arange(12.0).reshape(6, 2)
Y6 = np.arange(6.0)


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"factor": 0}, InvalidParameterError, "The 'factor' parameter of histogram_augment must be"),
        ({"n_bins": 0}, InvalidParameterError, "The 'n_bins' parameter of histogram_augment must be"),
        ({"agg": 1}, InvalidParameterError, "The 'agg' parameter of histogram_augment must be"),
        ({"y": np.zeros((6, 1, 1))}, ValueError, "Target y must be 1D or 2D, got 3D"),
        (
            {"y": np.arange(5.0)},
            ValueError,
            "X and y have inconsistent numbers of samples: X has 6 samples, y has 5 samples",
        ),
        (
            {"sample_weight_mode": "draw"},
            ValueError,
            "sample_weight_mode must be one of {'passthrough','consume','generate'}",
        ),
        (
            {"sample_weight_mode": "Consume"},
            ValueError,
            "histogram_augment does not support sample_weight_mode='consume'",
        ),
        ({"target": "z"}, ValueError, "target must be one of {'x','y','xy'}"),
        ({"agg": "Mean"}, ValueError, "Unsupported agg='Mean'. Expected one of ['geometric','mean','max']"),
        (
            {"sample_weight_mode": "generate", "sample_weight": np.ones(3)},
            ValueError,
            "sample_weight should have shape (6,), got (3,)",
        ),
        (
            {"sample_weight_mode": "generate", "sample_weight": -np.ones(6)},
            ValueError,
            "sample_weight must be non-negative",
        ),
        ({"n_bins": 2.5}, TypeError, "`bins` must be an integer, a string, or an array"),
    ],
)
def test_messages(kwargs, exc, message):
    kwargs = {"X": X6, "y": Y6, "factor": 2.0, **kwargs}
    with pytest.raises(exc) as info:
        histogram_augment(**kwargs)
    assert str(info.value).startswith(message)


def test_roads_without_histograms():
    rs = np.random.RandomState(0)
    state = rs.get_state()[1].copy()
    # Same size: nothing but the arguments is looked at.
    got = histogram_augment(X6, Y6, factor=1.0, target="z", agg="?", sample_weight_mode="generate", random_state=rs)
    assert_same(outcome(lambda: got), outcome(reference, X6, Y6, factor=1.0, random_state=np.random.RandomState(0)))
    # Generate mode draws nothing and keeps the input order.
    Xg, yg, wg = histogram_augment(X6, Y6, factor=2.5, sample_weight_mode="generate", random_state=rs)
    assert np.array_equal(Xg, X6) and Xg is not X6 and np.array_equal(yg, Y6) and np.isclose(wg.sum(), 15.0)
    rs2 = np.random.RandomState(0)
    rs2.shuffle(np.arange(6))
    assert np.array_equal(rs.get_state()[1], rs2.get_state()[1]) and not np.array_equal(state, rs2.get_state()[1])
    # Sizes, halves to even, and rows drawn once when shrinking.
    assert histogram_augment(X6[:5], Y6[:5], factor=0.5)[0].shape == (2, 2)
    assert histogram_augment(X6, Y6, factor=0.001)[0].shape == (1, 2)
    Xs = histogram_augment(X6, Y6, factor=0.67, random_state=1)[0]
    assert len({tuple(r) for r in Xs}) == 4
    Xu, yu, _ = histogram_augment(X6, Y6, factor=3.0, shuffle=False, random_state=1)
    assert np.array_equal(Xu[:6], X6) and Xu.shape == (18, 2) and np.array_equal(Xu.sum(axis=1), 4 * yu + 1)


@pytest.mark.parametrize(
    "X, y, shape",
    [
        ([], [], (0, 1)),
        (np.zeros((0, 4)), [1.0], (0, 4)),
        ([], [1.0], (0, 1)),
        (np.zeros((3, 2), np.int32), [], (0, 2)),
    ],
)
def test_empty_input(X, y, shape):
    with pytest.warns(UserWarning, match="^Input data is empty. Returning empty arrays.$"):
        X_out, y_out, w_out = histogram_augment(X, y)
    assert X_out.shape == shape and y_out.shape == w_out.shape == (0,)
    assert X_out.dtype == (np.asarray(X).dtype if len(y) == 0 and len(X) else np.float64)


def test_uniform_fallbacks_warn():
    got = outcome(histogram_augment, X6, Y6, factor=2.0, smoothing_coeff=1e20, agg="mean", random_state=0)
    assert got[1] == [(UserWarning, "Sum of sampling weights is invalid or near zero. Defaulting to uniform sampling.")]
    got = outcome(histogram_augment, X6, np.zeros((6, 0)), factor=2.0, random_state=0)
    assert got[1] == [(UserWarning, "No weights computed; defaulting to uniform sampling.")]


def test_caller_arrays_untouched():
    X, y, w = X_BASE.copy(), Y_HEAVY.copy(), W.copy()
    for kwargs in (
        dict(factor=3.0),
        dict(factor=0.5),
        dict(factor=1.0, shuffle=False),
        dict(factor=2.0, sample_weight_mode="generate"),
    ):
        out = histogram_augment(X, y, target="xy", sample_weight=w, **kwargs)
        out[0][:] = -1
    assert np.array_equal(X, X_BASE) and np.array_equal(y, Y_HEAVY) and np.array_equal(w, W)


class Recorder(LinearRegression):
    def fit(self, X, y, sample_weight=None):
        self.seen_ = (X, y, sample_weight)
        return super().fit(X, y, sample_weight)


class NoWeights(LinearRegression):
    def fit(self, X, y):
        self.rows_ = len(X)
        return super().fit(X, y)


def test_regressor_fit():
    model = HistogramAugmentedRegressor(Recorder(), factor=3.0, random_state=0, target="xy", store_augmented=True)
    assert model.fit(X_BASE, Y_HEAVY, sample_weight=list(W)) is model
    want = histogram_augment(X_BASE, Y_HEAVY, factor=3.0, random_state=0, target="xy", sample_weight=W)
    assert_same((model.estimator_.seen_, []), (want, []))
    assert [k for k in vars(model) if k.endswith("_")] == [
        "n_features_in_",
        "n_outputs_",
        "augmented_X_",
        "augmented_y_",
        "estimator_",
    ]
    gen = HistogramAugmentedRegressor(Recorder(), factor=2.5, sample_weight_mode="generate").fit(X6, Y6)
    X_seen, _, w_seen = gen.estimator_.seen_
    assert np.array_equal(X_seen, X6) and np.isclose(w_seen.sum(), 15.0)
    assert HistogramAugmentedRegressor(NoWeights(), factor=2.0).fit(X6, Y6, W[:6]).estimator_.rows_ == 12
    two_d = HistogramAugmentedRegressor(LinearRegression(), factor=2.0).fit(X6, Y6[:, None])
    assert two_d.n_outputs_ == 1 and two_d.predict(X6).shape == (6, 1)
    with pytest.raises(ValueError, match=r"^X has 1 features, but this estimator was fitted with 2 features$"):
        two_d.predict(X6[:, :1])
    with pytest.raises(ValueError, match=r"^sample_weight.shape == \(5,\), expected \(6,\)!$"):
        HistogramAugmentedRegressor(Ridge()).fit(X6, Y6, sample_weight=np.ones(5))
    with pytest.raises(InvalidParameterError, match="The 'factor' parameter of histogram_augment"):
        HistogramAugmentedRegressor(Ridge(), factor=-1).fit(X6, Y6)


def test_classifier_fit():
    labels = (Y_HEAVY > 1).astype(int)
    clf = HistogramAugmentedClassifier(LogisticRegression(), factor=2.0, random_state=0, store_augmented=True)
    clf.fit(X_BASE, labels)
    assert clf.augmented_X_.shape == (2 * N, 3) and not hasattr(clf, "n_outputs_")
    assert list(clf.classes_) == [0, 1] and set(clf.predict(X_BASE)) <= {0, 1}
    with pytest.raises(AttributeError):
        clf.classes_ = None


def test_scikit_learn_integration_and_nesting():
    model = HistogramAugmentedRegressor(Ridge(alpha=2.0), factor=2.0, random_state=0, agg="max")
    assert list(model.get_params(deep=False)) == sorted(HistogramAugmentedRegressor._parameter_constraints)
    cloned = clone(model)
    assert repr(cloned) == repr(model) and cloned.estimator is not model.estimator
    assert model.set_params(estimator__alpha=1.0) is model and model.estimator.alpha == 1.0
    restored = pickle.loads(pickle.dumps(model.fit(X_BASE, Y_HEAVY)))
    np.testing.assert_array_equal(restored.predict(X_BASE), model.predict(X_BASE))
    grid = GridSearchCV(HistogramAugmentedRegressor(Ridge(), random_state=0), {"agg": ["mean", "max"]}, cv=2)
    assert grid.fit(X_BASE, Y_HEAVY).best_params_["agg"] in ("mean", "max")
    assert make_pipeline(StandardScaler(), model).fit(X_BASE, Y_HEAVY).predict(X_BASE).shape == (N,)
    for outer in (
        SMOTEAugmentedRegressor,
        ResampleAugmentedRegressor,
        HistogramAugmentedRegressor,
        GaussianAugmentedRegressor,
    ):
        for middle in (
            HistogramAugmentedRegressor(GaussianAugmentedRegressor(Ridge(), factor=1.5, X_std=0.1), factor=2.0),
            GaussianAugmentedRegressor(HistogramAugmentedRegressor(Ridge(), factor=2.0), factor=1.5),
        ):
            nested = outer(middle, factor=2.0, random_state=0).fit(X_BASE, Y_HEAVY)
            assert isinstance(nested.unwrap(), Ridge) and nested.unwrap(deep=False).__class__ is middle.__class__


def test_signatures_constraints_and_namespace():
    params = inspect.signature(histogram_augment).parameters.values()
    assert [(p.name, p.kind.name[:3], p.default) for p in params][2:] == [
        ("n_bins", "POS", "auto"),
        ("random_state", "POS", None),
        ("factor", "POS", 10.0),
        ("shuffle", "POS", True),
        ("smoothing_coeff", "POS", 1.0),
        ("target", "POS", "y"),
        ("x_bins", "POS", None),
        ("y_bins", "POS", None),
        ("agg", "POS", "geometric"),
        ("sample_weight", "KEY", None),
        ("sample_weight_mode", "KEY", "passthrough"),
    ]
    fn_constraints = histogram_augment.__wrapped__._skl_parameter_constraints
    assert list(fn_constraints) == [
        "X",
        "y",
        "n_bins",
        "random_state",
        "factor",
        "shuffle",
        "smoothing_coeff",
        "target",
        "x_bins",
        "y_bins",
        "agg",
    ]
    names = [
        "estimator",
        "n_bins",
        "random_state",
        "factor",
        "shuffle",
        "smoothing_coeff",
        "target",
        "x_bins",
        "y_bins",
        "agg",
        "sample_weight_mode",
        "store_augmented",
    ]
    for cls in (HistogramAugmentedRegressor, HistogramAugmentedClassifier):
        assert [p.name for p in inspect.signature(cls.__init__).parameters.values()] == ["self"] + names
        c = cls._parameter_constraints
        assert list(c) == names and c["target"] == c["agg"] == [str]
        assert (c["n_bins"][0].left, type(c["n_bins"][0].left), c["n_bins"][1:]) == (1, int, [str, "array-like"])
        assert c["x_bins"][0] is None and c["sample_weight_mode"][0].options == {"passthrough", "generate"}
        assert cls.__bases__[1:] == (module.UnwrapMetaEstimatorMixin, BaseEstimator)
    assert [n for n in vars(module) if not n.startswith("__")] == [
        "warnings",
        "np",
        "BaseEstimator",
        "ClassifierMixin",
        "RegressorMixin",
        "clone",
        "Interval",
        "Real",
        "StrOptions",
        "validate_params",
        "_check_sample_weight",
        "_num_samples",
        "check_array",
        "check_is_fitted",
        "check_random_state",
        "check_X_y",
        "UnwrapMetaEstimatorMixin",
        "_validate_histogram_params",
        "_ensure_1d_target",
        "_compute_histogram_weights_for_column",
        "_aggregate_weights",
        "histogram_augment",
        "HistogramAugmentedRegressor",
        "HistogramAugmentedClassifier",
    ]
