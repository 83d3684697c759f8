import pickle

import numpy as np
import pytest
from sklearn.base import clone, is_classifier, is_regressor
from sklearn.linear_model import LinearRegression, LogisticRegression, Ridge
from sklearn.model_selection import GridSearchCV
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler
from sklearn.utils._param_validation import InvalidParameterError

from duv.augmentation import ResampleAugmentedClassifier, ResampleAugmentedRegressor, resample_augment


def reference(
    X, y, *, factor=10.0, shuffle=True, random_state=None, sample_weight=None, sample_weight_mode="passthrough"
):
    """The documented steps written with NumPy."""
    X, y = np.asarray(X), np.asarray(y)
    y_was_1d = y.ndim == 1
    if y_was_1d:
        y = y.reshape(-1, 1)
    n = X.shape[0]
    consume = sample_weight_mode.lower() == "consume"
    rng = np.random.RandomState(random_state) if not isinstance(random_state, np.random.RandomState) else random_state
    n_target = int(round(n * float(factor)))
    if factor < 1.0:
        n_target = max(1, n_target)
    if n_target == n:
        idx = rng.permutation(n) if shuffle else np.arange(n)
    else:
        p = None
        if consume and sample_weight is not None:
            sw = np.asarray(sample_weight)
            p = sw / float(sw.sum())
        idx = rng.choice(n, size=n_target, replace=n_target > n, p=p)
        if shuffle:
            idx = idx[rng.permutation(n_target)]
    sw_out = np.ones(len(idx)) if consume else None if sample_weight is None else np.asarray(sample_weight)[idx]
    y_out = y[idx]
    return X[idx], (y_out.reshape(-1) if y_was_1d else y_out), sw_out


@pytest.fixture
def data():
    rng = np.random.RandomState(0)
    X = rng.rand(10, 3)
    return X, X @ [1.0, 2.0, 3.0], rng.rand(10) + 0.1


@pytest.mark.parametrize("factor", [0.01, 0.25, 0.5, 1.0, 1.25, 2.0, 3.7])
@pytest.mark.parametrize("shuffle", [True, False])
@pytest.mark.parametrize("mode", ["passthrough", "consume", "CONSUME"])
@pytest.mark.parametrize("weighted", [True, False])
def test_draws_match_numpy(data, factor, shuffle, mode, weighted):
    X, y, w = data
    sw = w if weighted else None
    got = resample_augment(
        X, y, factor=factor, shuffle=shuffle, random_state=7, sample_weight=sw, sample_weight_mode=mode
    )
    want = reference(X, y, factor=factor, shuffle=shuffle, random_state=7, sample_weight=sw, sample_weight_mode=mode)
    for g, e in zip(got, want, strict=True):
        if e is None:
            assert g is None
        else:
            np.testing.assert_array_equal(g, e)
            assert g.dtype == e.dtype


@pytest.mark.parametrize("layout", ["C", "F", "strided", "wide"])
@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int8, np.int16, np.longdouble])
@pytest.mark.parametrize("factor", [2.0, 0.5, 1.0])
def test_rows_of_every_layout_match_numpy(layout, dtype, factor):
    rng = np.random.RandomState(3)
    full = (rng.rand(40, 20) * 50).astype(dtype)
    X = {"C": full[:, :9].copy(), "F": np.asfortranarray(full[:, :9]), "strided": full[:, ::2], "wide": full}[layout]
    y = np.asfortranarray(full[:, :2].real.astype(float))
    got = resample_augment(X, y, factor=factor, random_state=4)
    want = reference(X, y, factor=factor, random_state=4)
    for g, e in zip(got[:2], want[:2], strict=True):
        assert g.dtype == e.dtype and g.flags.c_contiguous and g.tobytes() == e.tobytes()


def test_sizes_and_rows(data):
    X, y, _ = data
    assert resample_augment(X, y, factor=0.01)[0].shape == (1, 3)
    assert resample_augment(X, y, factor=0.25)[0].shape == (2, 3)  # round(2.5) == 2
    Xs = resample_augment(X, y, factor=0.7, random_state=0)[0]
    assert len({tuple(r) for r in Xs}) == 7  # shrinking never repeats a row
    Xg, yg, _ = resample_augment(X[:5], y[:5], factor=2.0, shuffle=False, random_state=0)
    assert Xg.shape == (10, 3)
    np.testing.assert_array_equal(Xg @ [1.0, 2.0, 3.0], yg)


def test_weights_travel_with_their_rows(data):
    X, y, w = data
    for factor in (0.5, 1.0, 3.0):
        Xr, _, sr = resample_augment(X, y, factor=factor, random_state=1, sample_weight=w)
        rows = {tuple(r): wi for r, wi in zip(X, w, strict=True)}
        assert [rows[tuple(r)] for r in Xr] == list(sr)


def test_consume_draws_by_weight(data):
    X, y, _ = data
    X4, y4 = X[:4], y[:4]
    Xr, yr, sr = resample_augment(
        X4, y4, factor=2.0, random_state=0, sample_weight=[0, 0, 1, 0], sample_weight_mode="consume"
    )
    assert (Xr == X4[2]).all() and (yr == y4[2]).all() and (sr == 1.0).all() and sr.dtype == np.float64
    # Same size: weights are neither checked nor used, but consumed.
    _, _, s1 = resample_augment(X4, y4, factor=1.0, sample_weight=[-1, 0, 0, 0], sample_weight_mode="consume")
    np.testing.assert_array_equal(s1, np.ones(4))


def test_targets_keep_their_dimensionality(data):
    X, y, _ = data
    assert resample_augment(X, y, factor=2.0)[1].shape == (20,)
    assert resample_augment(X, y[:, None], factor=2.0)[1].shape == (20, 1)
    labels = np.array(list("abcdefghij"))
    assert resample_augment(X, labels, factor=0.5)[1].dtype == labels.dtype


def test_same_seed_same_result_and_shared_state_advances(data):
    X, y, _ = data
    a, b = resample_augment(X, y, random_state=3), resample_augment(X, y, random_state=3)
    np.testing.assert_array_equal(a[0], b[0])
    rs = np.random.RandomState(3)
    c, d = resample_augment(X, y, random_state=rs), resample_augment(X, y, random_state=rs)
    assert not np.array_equal(c[0], d[0])


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"factor": 0}, InvalidParameterError, "The 'factor' parameter of resample_augment must be"),
        ({"shuffle": "yes"}, InvalidParameterError, "The 'shuffle' parameter of resample_augment must be"),
        ({"random_state": "x"}, InvalidParameterError, "The 'random_state' parameter of resample_augment"),
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
            {"sample_weight_mode": "consume", "sample_weight": np.zeros(10)},
            ValueError,
            "Sum of sample_weight must be positive",
        ),
        (
            {"sample_weight_mode": "consume", "sample_weight": np.full(10, np.inf)},
            ValueError,
            "Sum of sample_weight must be positive",
        ),
    ],
)
def test_messages(data, kwargs, exc, message):
    X, y, _ = data
    kwargs = {"factor": 2.0, **kwargs}
    with pytest.raises(exc) as info:
        resample_augment(X, y, **kwargs)
    assert str(info.value).startswith(message)


def test_caller_arrays_untouched(data):
    X, y, w = data
    X0, y0, w0 = X.copy(), y.copy(), w.copy()
    resample_augment(X, y, factor=1.0, shuffle=False, sample_weight=w)[0][:] = -1
    resample_augment(X, y, factor=3.0, sample_weight=w, sample_weight_mode="consume")
    np.testing.assert_array_equal(X, X0)
    np.testing.assert_array_equal(y, y0)
    np.testing.assert_array_equal(w, w0)


class NoWeightRegressor(LinearRegression):
    def fit(self, X, y):  # no sample_weight parameter
        self.seen_rows_ = len(X)
        return super().fit(X, y)


class WeightRecorder(LinearRegression):
    def fit(self, X, y, sample_weight=None):
        self.seen_weight_ = sample_weight
        return super().fit(X, y, sample_weight)


def test_regressor_fits_a_clone_on_the_resampled_data(data):
    X, y, w = data
    inner = WeightRecorder()
    model = ResampleAugmentedRegressor(inner, factor=3.0, random_state=0, store_augmented=True)
    assert model.fit(X, y, sample_weight=w) is model
    Xa, ya, sa = resample_augment(X, y, factor=3.0, random_state=0, sample_weight=w)
    np.testing.assert_array_equal(model.augmented_X_, Xa)
    np.testing.assert_array_equal(model.augmented_y_, ya)
    np.testing.assert_array_equal(model.estimator_.seen_weight_, sa)
    assert model.estimator_ is not inner and not hasattr(inner, "coef_")
    assert (model.n_features_in_, model.n_outputs_) == (3, 1)
    np.testing.assert_allclose(model.predict(X), model.estimator_.predict(X))
    assert not hasattr(ResampleAugmentedRegressor(Ridge()).fit(X, y), "augmented_X_")


def test_type_error_fallback_and_passthrough_of_other_errors(data):
    X, y, w = data
    model = ResampleAugmentedRegressor(NoWeightRegressor(), factor=2.0).fit(X, y, sample_weight=w)
    assert model.estimator_.seen_rows_ == 20

    class Broken(LinearRegression):
        def fit(self, X, y, sample_weight=None):
            raise TypeError("always")

    with pytest.raises(TypeError, match="always") as info:
        ResampleAugmentedRegressor(Broken()).fit(X, y, sample_weight=w)
    assert isinstance(info.value.__context__, TypeError)

    class Failing(LinearRegression):
        calls = 0

        def fit(self, X, y, sample_weight=None):
            type(self).calls += 1
            raise ValueError("no retry")

    with pytest.raises(ValueError, match="no retry"):
        ResampleAugmentedRegressor(Failing()).fit(X, y, sample_weight=w)
    assert Failing.calls == 1


def test_predict_checks(data):
    X, y, _ = data
    model = ResampleAugmentedRegressor(Ridge())
    with pytest.raises(Exception, match="not fitted"):
        model.predict(X)
    model.fit(X, y[:, None])
    assert model.n_outputs_ == 1
    np.testing.assert_array_equal(model.predict(X), model.estimator_.predict(X))
    with pytest.raises(ValueError, match=r"^X has 2 features, but this estimator was fitted with 3 features$"):
        model.predict(X[:, :2])


def test_classifier_with_string_labels(data):
    X, y, _ = data
    labels = np.where(y > np.median(y), "hi", "lo")
    clf = ResampleAugmentedClassifier(LogisticRegression(), factor=2.0, random_state=0).fit(X, labels)
    assert set(clf.predict(X)) <= {"hi", "lo"} and not hasattr(clf, "n_outputs_")
    assert is_classifier(clf) and is_regressor(ResampleAugmentedRegressor(Ridge()))
    with pytest.raises(ValueError):
        ResampleAugmentedClassifier(LogisticRegression()).fit(X, np.c_[labels, labels])


def test_scikit_learn_integration(data):
    X, y, _ = data
    model = ResampleAugmentedRegressor(Ridge(alpha=2.0), factor=2.0, random_state=0)
    params = model.get_params(deep=False)
    assert list(params) == sorted(
        ["estimator", "factor", "shuffle", "random_state", "sample_weight_mode", "store_augmented"]
    )
    assert model.get_params()["estimator__alpha"] == 2.0
    cloned = clone(model)
    assert cloned.get_params(deep=False)["factor"] == 2.0 and cloned.estimator is not model.estimator
    assert model.set_params(factor=3.0, estimator__alpha=1.0) is model and model.estimator.alpha == 1.0
    assert repr(model) == "ResampleAugmentedRegressor(estimator=Ridge(), factor=3.0, random_state=0)"
    model.fit(X, y)
    restored = pickle.loads(pickle.dumps(model))
    np.testing.assert_array_equal(restored.predict(X), model.predict(X))
    grid = GridSearchCV(ResampleAugmentedRegressor(Ridge(), random_state=0), {"factor": [0.5, 2.0]}, cv=2)
    grid.fit(np.vstack([X, X]), np.concatenate([y, y]))
    assert grid.best_params_["factor"] in (0.5, 2.0)
    pipe = make_pipeline(StandardScaler(), ResampleAugmentedRegressor(Ridge(), random_state=0)).fit(X, y)
    assert pipe.predict(X).shape == (10,)
    keys = list(ResampleAugmentedRegressor._parameter_constraints)
    assert keys == ["estimator", "factor", "shuffle", "random_state", "sample_weight_mode", "store_augmented"]
