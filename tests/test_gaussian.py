import inspect
import pickle
import warnings

import numpy as np
import pytest
from sklearn.base import BaseEstimator, clone
from sklearn.linear_model import LinearRegression, LogisticRegression, Ridge
from sklearn.model_selection import GridSearchCV
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler
from sklearn.utils.validation import check_random_state, check_X_y

import duv.augmentation._gaussian_augmentation as module
from duv.augmentation import (
    GaussianAugmentedClassifier,
    GaussianAugmentedRegressor,
    ResampleAugmentedRegressor,
    SMOTEAugmentedRegressor,
    gaussian_augment,
)


def reference(
    X,
    y,
    factor=10.0,
    sample_weight=None,
    sample_weight_mode="passthrough",
    X_std=None,
    y_std=None,
    rel_std=False,
    shuffle=True,
    random_state=None,
):
    """The documented steps written with NumPy."""
    X, y = check_X_y(X, y, multi_output=True, y_numeric=(y_std is not None and float(y_std) > 0.0))
    y_was_1d = y.ndim == 1
    if y_was_1d:
        y = y.reshape(-1, 1)
    n = X.shape[0]
    rng = check_random_state(random_state)
    n_target = max(1, int(round(n * float(factor))))
    consume = str(sample_weight_mode).lower() == "consume"
    p = None
    if consume and sample_weight is not None:
        sw = np.asarray(sample_weight)
        p = sw / float(sw.sum())

    def weights(count, idx):
        if consume:
            return np.ones(count, dtype=float)
        if sample_weight is None:
            return None
        return np.asarray(sample_weight) if idx is None else np.asarray(sample_weight)[idx]

    flat = (lambda a: a.reshape(-1)) if y_was_1d else (lambda a: a)
    if n_target == n:
        if not shuffle:
            return X, flat(y), weights(n, None)
        idx = rng.permutation(n)
        return X[idx], flat(y[idx]), weights(n, idx)
    if n_target < n:
        idx = rng.choice(n, size=n_target, replace=False, p=p)
        if shuffle:
            idx = idx[rng.permutation(n_target)]
        return X[idx], flat(y[idx]), weights(n_target, idx)
    n_new = n_target - n
    idx = rng.choice(n, size=n_new, replace=True, p=p) if consume else rng.randint(0, n, size=n_new)
    X_aug, y_aug = X[idx].copy(), y[idx].copy()
    if X_std is not None and X_std > 0:
        noise_std = np.abs(X_aug * X_std) if rel_std else X_std
        X_aug = X_aug.astype(np.float64)
        X_aug += rng.normal(0, noise_std, X_aug.shape)
    if y_std is not None and y_std > 0:
        noise_std = np.abs(y_aug * y_std) if rel_std else y_std
        y_aug = y_aug.astype(np.float64)
        y_aug += rng.normal(0, noise_std, y_aug.shape)
    X_c, y_c = np.vstack([X, X_aug]), np.vstack([y, y_aug])
    w = weights(n_target, None)
    if w is not None and not consume:
        w = np.concatenate([w, w[idx]])
    if shuffle:
        perm = rng.permutation(len(X_c))
        X_c, y_c = X_c[perm], y_c[perm]
        w = None if w is None else w[perm]
    return X_c, flat(y_c), w


def assert_same(got, want):
    """Bit for bit, dtypes and shapes included; warnings with their categories and texts."""
    for g, e in zip(got, want, strict=True):
        if e is None:
            assert g is None
        else:
            assert (g.dtype, g.shape) == (e.dtype, e.shape)
            assert g.tobytes() == e.tobytes()


def both(X, y, **kwargs):
    out = []
    for fn in (gaussian_augment, reference):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            result = fn(X, y, **kwargs)
        out.append((result, [(w.category, str(w.message)) for w in caught]))
    (got, got_warnings), (want, want_warnings) = out
    assert_same(got, want)
    assert got_warnings == want_warnings
    return got


RNG = np.random.RandomState(0)
X10 = RNG.rand(10, 3) * 10 - 5
Y10 = X10 @ [1.0, 2.0, 3.0]
W10 = RNG.rand(10) + 0.1

NOISE = [
    dict(),
    dict(X_std=0.3),
    dict(y_std=0.2),
    dict(X_std=0.3, y_std=0.2, rel_std=True),
    dict(X_std=0.0),
    dict(X_std=2, y_std=np.float64(0.5)),
    dict(X_std=0.1, rel_std=True),
]


@pytest.mark.parametrize("factor", [0.01, 0.5, 1.0, 1.25, 3.7])
@pytest.mark.parametrize("noise", NOISE)
@pytest.mark.parametrize(
    "mode, weighted", [("passthrough", False), ("passthrough", True), ("Consume", True), ("consume", False)]
)
@pytest.mark.parametrize("shuffle", [True, False])
def test_draws_and_noise_match_numpy(factor, noise, mode, weighted, shuffle):
    both(
        X10,
        Y10,
        factor=factor,
        sample_weight=W10 if weighted else None,
        sample_weight_mode=mode,
        shuffle=shuffle,
        random_state=7,
        **noise,
    )


@pytest.mark.parametrize("dtype", [np.float32, np.int64, np.int8, np.uint16, bool])
@pytest.mark.parametrize("noise", NOISE)
def test_dtypes_of_copies(dtype, noise):
    X = (X10 * 3).astype(dtype)
    got = both(X, np.c_[Y10, -Y10], factor=2.0, random_state=1, **noise)
    noisy = noise.get("X_std", 0) > 0
    assert got[0].dtype == (np.float64 if noisy else X.dtype)


def test_edge_values_and_warnings_match_numpy():
    X = np.array([[0.0, 1e308], [-1e308, 2.0], [3.0, 0.0]])
    y = np.array([1.0, 2.0, 3.0])
    for kwargs in (
        dict(X_std=1e308),
        dict(X_std=10.0, rel_std=True),
        dict(X_std=np.inf),
        dict(X_std=0.5, rel_std=True),
        dict(X_std=1.5, rel_std=True),
        dict(y_std=1e308, X_std=1e-320),
    ):
        both(X, y, factor=4.0, random_state=0, **kwargs)


def test_rebound_numpy_runs_the_documented_calls(monkeypatch):
    calls = []

    class Spy:
        def __getattr__(self, name):
            calls.append(name)
            return getattr(np, name)

    monkeypatch.setattr(module, "np", Spy())
    both(X10, Y10, factor=3.0, X_std=0.2, y_std=0.1, rel_std=True, random_state=2, sample_weight=W10)
    assert {"abs", "float64", "vstack", "concatenate"} <= set(calls)


def test_documented_cases():
    X, y, sw = gaussian_augment(X10, Y10, factor=1.0, shuffle=False, sample_weight=W10, sample_weight_mode="consume")
    assert np.array_equal(X, X10) and y.shape == (10,) and (sw == 1.0).all()
    X, _, sw = gaussian_augment(X10, Y10, factor=0.5, X_std=5.0, sample_weight=W10, random_state=0)
    rows = {tuple(r): w for r, w in zip(X10, W10, strict=True)}
    assert len(rows.keys() & {tuple(r) for r in X}) == 5 and [rows[tuple(r)] for r in X] == list(sw)
    assert gaussian_augment(X10, Y10, factor=0.01)[0].shape == (1, 3)
    assert gaussian_augment(X10, Y10, factor=1.25)[0].shape == (12, 3)  # round(12.5) == 12
    Xz = np.zeros((4, 2))
    assert (gaussian_augment(Xz, np.ones(4), factor=3.0, X_std=0.1, rel_std=True)[0] == 0.0).all()
    a = gaussian_augment(X10, Y10, factor=3.0, X_std=0.1, random_state=5)
    b = gaussian_augment(X10, Y10, factor=3.0, X_std=0.1, random_state=5)
    assert_same(a, b)
    labels = np.array(list("abababcccc"))
    X, y, _ = gaussian_augment(X10, labels, factor=2.0, X_std=0.5, random_state=0)
    assert set(y) == set(labels) and y.dtype == labels.dtype


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"factor": 0}, ValueError, "factor must be positive, got 0"),
        ({"factor": -1.5}, ValueError, "factor must be positive, got -1.5"),
        ({"sample_weight_mode": "generate"}, ValueError, "sample_weight_mode must be one of {'passthrough','consume'}"),
        (
            {"sample_weight_mode": "consume", "sample_weight": np.ones(3)},
            ValueError,
            "sample_weight should have shape (10,), got (3,)",
        ),
        (
            {"sample_weight_mode": "consume", "sample_weight": -np.ones(10)},
            ValueError,
            "sample_weight must be non-negative",
        ),
        (
            {"sample_weight_mode": "consume", "sample_weight": np.full(10, np.inf)},
            ValueError,
            "Sum of sample_weight must be positive",
        ),
        ({"y_std": "wide"}, ValueError, "could not convert string to float: 'wide'"),
        ({"y_std": [1.0]}, TypeError, "float() argument must be"),
    ],
)
def test_messages(kwargs, exc, message):
    with pytest.raises(exc) as info:
        gaussian_augment(X10, Y10, **{"factor": 2.0, **kwargs})
    assert str(info.value).startswith(message)


def test_caller_arrays_untouched():
    X, y, w = X10.copy(), Y10.copy(), W10.copy()
    gaussian_augment(X, y, factor=3.0, X_std=0.1, y_std=0.1, rel_std=True, sample_weight=w)
    gaussian_augment(X, y, factor=0.5, sample_weight=w, sample_weight_mode="consume")
    assert np.array_equal(X, X10) and np.array_equal(y, Y10) and np.array_equal(w, W10)


class Recorder(LinearRegression):
    def fit(self, X, y, sample_weight=None, **extra):
        self.seen_ = (sample_weight, extra)
        return super().fit(X, y, sample_weight)


class NoWeights(LinearRegression):
    def fit(self, X, y, note=None):
        self.note_ = note
        return super().fit(X, y)


def test_regressor_fit_forwards_fit_params_and_sets_attributes_in_order():
    model = GaussianAugmentedRegressor(Recorder(), factor=3.0, X_std=0.1, random_state=0, store_augmented=True)
    assert model.fit(X10, Y10, sample_weight=W10, note="n") is model
    Xa, ya, sa = gaussian_augment(X10, Y10, factor=3.0, X_std=0.1, random_state=0, sample_weight=W10)
    assert_same((model.augmented_X_, model.augmented_y_, model.estimator_.seen_[0]), (Xa, ya, sa))
    assert model.estimator_.seen_[1] == {"note": "n"}
    fitted = [k for k in vars(model) if k.endswith("_")]
    assert fitted == ["n_features_in_", "n_outputs_", "augmented_X_", "augmented_y_", "estimator_"]
    fallback = GaussianAugmentedRegressor(NoWeights(), factor=2.0).fit(X10, Y10, sample_weight=W10, note="kept")
    assert fallback.estimator_.note_ == "kept"
    with pytest.raises(
        ValueError,
        match=r"^X has 2 features, but GaussianAugmentedRegressor is expecting 3 "
        r"features as input\.$",
    ):
        model.predict(X10[:, :2])
    assert GaussianAugmentedRegressor(Ridge()).fit(X10, Y10[:, None]).n_outputs_ == 1


def test_classifier_copies_labels_exactly():
    labels = np.where(Y10 > 0, "hi", "lo")
    clf = GaussianAugmentedClassifier(
        LogisticRegression(), factor=3.0, X_std=0.5, random_state=0, store_augmented=True
    ).fit(X10, labels)
    assert set(clf.augmented_y_) == {"hi", "lo"} and clf.augmented_X_.dtype == np.float64
    assert list(clf.classes_) == ["hi", "lo"] and set(clf.predict(X10)) <= {"hi", "lo"}
    assert not hasattr(clf, "n_outputs_") and "y_std" not in clf.get_params()
    with pytest.raises(AttributeError):
        clf.classes_ = None


def test_scikit_learn_integration_and_nesting():
    model = GaussianAugmentedRegressor(Ridge(alpha=2.0), factor=2.0, X_std=0.1, random_state=0)
    assert " ".join(repr(model).split()) == (
        "GaussianAugmentedRegressor(X_std=0.1, estimator=Ridge(alpha=2.0), factor=2.0, random_state=0)"
    )
    cloned = clone(model)
    assert repr(cloned) == repr(model) and cloned.estimator is not model.estimator
    assert model.set_params(estimator__alpha=1.0) is model and model.estimator.alpha == 1.0
    restored = pickle.loads(pickle.dumps(model.fit(X10, Y10)))
    np.testing.assert_array_equal(restored.predict(X10), model.predict(X10))
    X20, y20 = np.vstack([X10, X10 + 1]), np.concatenate([Y10, Y10 + 6])
    grid = GridSearchCV(GaussianAugmentedRegressor(Ridge(), random_state=0), {"X_std": [None, 0.1]}, cv=2).fit(X20, y20)
    assert grid.best_params_["X_std"] in (None, 0.1)
    assert make_pipeline(StandardScaler(), model).fit(X10, Y10).predict(X10).shape == (10,)
    for outer in (SMOTEAugmentedRegressor, ResampleAugmentedRegressor):
        inner = GaussianAugmentedRegressor(
            ResampleAugmentedRegressor(Ridge(), factor=2.0, random_state=0), factor=2.0, X_std=0.1, random_state=0
        )
        nested = outer(inner, factor=2.0, random_state=0).fit(X20, y20)
        assert isinstance(nested.unwrap(), Ridge) and nested.predict(X20).shape == (20,)
        assert isinstance(nested.unwrap(deep=False), GaussianAugmentedRegressor)


def test_signatures_constraints_and_namespace():
    def shape(fn):
        return [(p.name, p.kind.name, p.default) for p in inspect.signature(fn).parameters.values()]

    E = inspect.Parameter.empty
    assert shape(gaussian_augment) == [("X", "POSITIONAL_OR_KEYWORD", E), ("y", "POSITIONAL_OR_KEYWORD", E)] + [
        (k, "POSITIONAL_OR_KEYWORD", v)
        for k, v in [
            ("factor", 10.0),
            ("sample_weight", None),
            ("sample_weight_mode", "passthrough"),
            ("X_std", None),
            ("y_std", None),
            ("rel_std", False),
            ("shuffle", True),
            ("random_state", None),
        ]
    ]
    reg = [
        "estimator",
        "factor",
        "sample_weight_mode",
        "X_std",
        "y_std",
        "rel_std",
        "shuffle",
        "random_state",
        "store_augmented",
    ]
    for cls, names in ((GaussianAugmentedRegressor, reg), (GaussianAugmentedClassifier, reg[:4] + reg[5:])):
        assert [p[0] for p in shape(cls.__init__)] == ["self"] + names
        assert list(cls._parameter_constraints) == names
        assert shape(cls.fit)[-1] == ("fit_params", "VAR_KEYWORD", E)
        assert cls.__bases__[1:] == (module.UnwrapMetaEstimatorMixin, BaseEstimator)
    c = GaussianAugmentedRegressor._parameter_constraints
    assert (c["factor"][0].left, c["factor"][0].closed, c["X_std"][0].closed, c["X_std"][1]) == (
        0.0,
        "neither",
        "left",
        None,
    )
    assert c["sample_weight_mode"][0].options == {"consume", "passthrough"}
    names = [n for n in vars(module) if not n.startswith("__")]
    assert names == [
        "np",
        "BaseEstimator",
        "ClassifierMixin",
        "RegressorMixin",
        "clone",
        "Interval",
        "Real",
        "StrOptions",
        "validate_params",
        "check_array",
        "check_is_fitted",
        "check_random_state",
        "check_X_y",
        "UnwrapMetaEstimatorMixin",
        "gaussian_augment",
        "GaussianAugmentedRegressor",
        "GaussianAugmentedClassifier",
    ]
