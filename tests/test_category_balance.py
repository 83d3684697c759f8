import inspect
import pickle
import warnings

import numpy as np
import pandas as pd
import pytest
import sklearn
from sklearn.base import BaseEstimator, RegressorMixin, clone
from sklearn.exceptions import NotFittedError
from sklearn.linear_model import LinearRegression, LogisticRegression
from sklearn.utils._param_validation import InvalidParameterError
from sklearn.utils.validation import check_random_state, check_X_y

import duv.augmentation._category_balance_augmentation as M
from duv.augmentation import (
    CategoryBalanceAugmentedClassifier,
    CategoryBalanceAugmentedRegressor,
    category_balance_augment,
)

NAN = object()  # the reference's missing-value key part


def ref_resolve(X, columns):
    """The documented column selection and key loop, written in Python."""

    def is_nan(x):
        try:
            return x != x
        except Exception:
            return False

    names, spec = None, [columns] if isinstance(columns, (str, int)) else list(columns)
    if hasattr(X, "columns") and any(isinstance(c, str) for c in spec):
        names, idxs = [str(c) for c in spec], [int(X.columns.get_loc(c)) for c in spec]
        values = np.asarray(X[spec[0]] if len(spec) == 1 else X[spec])
    else:
        X_arr = np.asarray(X).reshape(len(X), -1)
        idxs = [int(c) for c in spec]
        if any(i < 0 or i >= X_arr.shape[1] for i in idxs):
            raise IndexError("columns index out of bounds")
        names = [str(X.columns[i]) for i in idxs] if hasattr(X, "columns") else None
        values = X_arr[:, idxs]
    values = values.reshape(len(X), -1)
    return names, idxs, [tuple(NAN if is_nan(x) else x for x in values[i, :]) for i in range(len(X))]


def ref_augment(
    X,
    y,
    *,
    columns,
    balance_strength=1.0,
    shuffle=True,
    random_state=None,
    sample_weight=None,
    sample_weight_mode="passthrough",
):
    """The documented steps of category_balance_augment, written with NumPy."""
    keys = ref_resolve(X, columns)[2]
    X_arr, y_arr = check_X_y(X, y, multi_output=True, dtype=None, ensure_all_finite="allow-nan")
    rng = check_random_state(random_state)
    groups = {}
    for i, k in enumerate(keys):
        groups.setdefault(k, []).append(i)
    n_max = max(len(v) for v in groups.values())
    target = int(np.ceil(n_max * float(balance_strength)))
    if sample_weight_mode == "generate":
        w = np.ones(len(X_arr))
        for idxs in groups.values():
            factor = float(max(len(idxs), target)) / len(idxs)
            if len(idxs) < n_max and factor > 1.0:
                w[idxs] = factor
        return X_arr, y_arr, w if sample_weight is None else w * np.asarray(sample_weight, dtype=float)
    aug = []
    for idxs in groups.values():
        add = (len(idxs) if len(idxs) >= n_max else max(len(idxs), target)) - len(idxs)
        aug.extend(idxs + (rng.choice(idxs, size=add, replace=True).tolist() if add > 0 else []))
    aug = np.asarray(aug, dtype=int)
    X_aug = X.iloc[aug] if hasattr(X, "iloc") else X_arr[aug]
    y_aug = y.iloc[aug] if hasattr(y, "iloc") else y_arr[aug]
    if shuffle:
        order = rng.permutation(len(aug))
        X_aug = X_aug.iloc[order] if hasattr(X_aug, "iloc") else X_aug[order]
        y_aug = y_aug.iloc[order] if hasattr(y_aug, "iloc") else y_aug[order]
    return X_aug, y_aug, None


def assert_same(got, want):
    if isinstance(want, pd.DataFrame):
        pd.testing.assert_frame_equal(got, want)
    elif isinstance(want, pd.Series):
        pd.testing.assert_series_equal(got, want)
    elif want is None:
        assert got is None
    else:
        assert type(got) is np.ndarray and got.dtype == want.dtype and got.shape == want.shape
        assert list(map(repr, got.ravel())) == list(map(repr, want.ravel()))  # NaN cells too


def skewed_frame(n=300, seed=0):
    rng = np.random.RandomState(seed)
    df = pd.DataFrame(rng.randn(n, 3), columns=["a", "b", "c"])
    df["cat"] = rng.choice(5, size=n, p=[0.6, 0.2, 0.1, 0.07, 0.03])
    df["side"] = rng.randint(0, 3, size=n)
    df["label"] = rng.choice(["x", "y", None, np.nan], size=n, p=[0.7, 0.2, 0.05, 0.05])
    df.index = rng.permutation(n) * 10
    return df


INPUTS = {
    "int": (np.array([[3, 1], [3, 2], [1, 2], [3, 1], [-4, 2]]), [0, 1, [1, 0], [1, 1], []]),
    "nan_and_zeros": (np.array([[1.5, 0.0], [np.nan, -0.0], [1.5, 0.0], [np.nan, 2.0], [0.0, -0.0]]), [0, [1, 0]]),
    "float32": (np.array([[0.1, 1], [np.nan, 2], [0.1, 1], [0.2, 1]], dtype=np.float32), [0, [0, 1]]),
    "uint64": (np.array([[2**64 - 1, 0], [2**63, 1], [2**64 - 1, 0]], dtype=np.uint64), [0, [0, 1]]),
    "bool": (np.array([[True, False], [True, True], [True, False]]), [[0, 1]]),
    "strided": (np.arange(40, dtype=np.int16).reshape(10, 4)[::-2, ::2] % 3, [[1, 0]]),
    "object": (
        np.array([["a", None], [np.nan, 1], ["a", None], [float("nan"), 1.0], [True, 1], [1, 1]], dtype=object),
        [0, 1, [1, 0]],
    ),
    "strings": (np.array([["u", "v"], ["u", "w"], ["u", "v"]]), [[0, 1]]),
    "datetime": (np.array(["2020-01-01", "NaT", "2020-01-01", "NaT"], dtype="datetime64[D]"), [0]),
    "float16": (np.array([[1.0], [np.nan], [1.0]], dtype=np.float16), [0]),
    # many groups (a growing hash table), wide integer ranges (no direct table)
    "many_floats": (
        np.where(
            np.arange(6000).reshape(3000, 2) % 17 == 0, np.nan, np.round(np.random.RandomState(0).randn(3000, 2), 1)
        ),
        [[0, 1], 1],
    ),
    "wide_ints": (np.random.RandomState(1).choice([-(2**62), 7, 2**62], size=(400, 2)), [[1, 0]]),
    "frame": (skewed_frame(60), ["cat", ["cat", "side"], ["label"], 3, [5, 3], ["side", "cat"]]),
}


@pytest.mark.parametrize("X, columns", [(X, c) for X, cs in INPUTS.values() for c in cs])
def test_keys_and_groups_match_the_documented_loop(X, columns):
    names, idxs, keys = M._resolve_columns_and_groups(X, columns)
    want_names, want_idxs, want_keys = ref_resolve(X, columns)
    assert (names, idxs) == (want_names, want_idxs) and all(type(i) is int for i in idxs)
    assert keys.dtype == object and keys.shape == (len(X),) and all(type(k) is tuple for k in keys)
    plain = [tuple("NaN" if x is M._NAN_GROUP else (type(x), x) for x in k) for k in keys]
    assert plain == [tuple("NaN" if x is NAN else (type(x), x) for x in k) for k in want_keys]
    want_groups = {}
    for i, k in enumerate(want_keys):
        want_groups.setdefault(k, []).append(i)
    assert list(M._compute_group_indices(keys).values()) == list(want_groups.values())
    y = np.arange(len(X))
    for mode in ("passthrough", "generate") if np.ndim(X) == 2 else ():
        want = ref_augment(X, y, columns=columns, random_state=0, sample_weight_mode=mode)
        for g, w in zip(
            category_balance_augment(X, y, columns=columns, random_state=0, sample_weight_mode=mode), want, strict=True
        ):
            assert_same(g, w)


@pytest.mark.parametrize(
    "mode, kwargs",
    [
        ("passthrough", {}),
        ("passthrough", {"shuffle": False}),
        ("passthrough", {"balance_strength": 0.5}),
        ("passthrough", {"balance_strength": 2.0, "sample_weight": np.full(300, -1.0)}),  # weights ignored
        ("generate", {}),
        ("generate", {"balance_strength": 0.3, "sample_weight": np.linspace(0, 2, 300)}),
        ("generate", {"balance_strength": 4.0}),
    ],
)
@pytest.mark.parametrize("columns", [["cat"], ["cat", "side"], ["label"], ["label", "cat"]])
@pytest.mark.parametrize("kind", ["frame", "frame-by-position", "array", "2d-target"])
def test_augment_matches_the_documented_steps(mode, kwargs, columns, kind):
    df = skewed_frame()
    X, y = df, pd.Series(np.arange(300.0), index=df.index, name="t")
    if kind != "frame":
        columns = [list(df.columns).index(c) for c in columns]
    if kind in ("array", "2d-target"):
        X = df.to_numpy()
        y = np.c_[np.arange(300.0), -np.arange(300.0)] if kind == "2d-target" else np.arange(300)
    got_rs, want_rs = np.random.RandomState(5), np.random.RandomState(5)
    got = category_balance_augment(X, y, columns=columns, random_state=got_rs, sample_weight_mode=mode, **kwargs)
    want = ref_augment(X, y, columns=columns, random_state=want_rs, sample_weight_mode=mode, **kwargs)
    for g, w in zip(got, want, strict=True):
        assert_same(g, w)
    assert got_rs.randint(1 << 30) == want_rs.randint(1 << 30)  # same draws, in the same order


def numeric_layout(layout, dtype, n=300, seed=1):
    """Numeric X (category in column 0) in one of the layouts the package gathers rows from itself."""
    rng = np.random.RandomState(seed)
    X = (rng.rand(n, 20) * 50).astype(dtype)
    X[:, 0] = rng.choice(4, size=n, p=[0.7, 0.2, 0.07, 0.03])
    return {"C": X[:, :9].copy(), "F": np.asfortranarray(X[:, :9]), "strided": X[:, ::2], "wide": X}[layout]


@pytest.mark.parametrize(
    "layout, dtype",
    [
        (lay, dt)
        for lay in ("C", "F", "strided", "wide")
        for dt in (np.float64, np.float32, np.int8, np.int16, np.longdouble, np.bool_)
    ],
)
@pytest.mark.parametrize("shuffle", [True, False])
@pytest.mark.parametrize("target", ["1d", "2d-F"])
def test_numeric_arrays_match_the_documented_steps(layout, dtype, shuffle, target):
    X = numeric_layout(layout, dtype)
    y = np.arange(300.0) if target == "1d" else np.asfortranarray(np.c_[np.arange(300), -np.arange(300)])
    got_rs, want_rs = np.random.RandomState(5), np.random.RandomState(5)
    got = category_balance_augment(X, y, columns=0, shuffle=shuffle, random_state=got_rs)
    want = ref_augment(X, y, columns=0, shuffle=shuffle, random_state=want_rs)
    for g, w in zip(got, want, strict=True):
        assert_same(g, w)
        assert g is None or g.flags.c_contiguous == w.flags.c_contiguous
    assert got_rs.randint(1 << 30) == want_rs.randint(1 << 30)


# rows: the rows of the unshuffled result, None where a duplicate is drawn from `pool`
@pytest.mark.parametrize(
    "X, kwargs, rows, pool, weights",
    [
        ([0, 0, 0, 1], {}, [0, 1, 2, 3, 3, 3], (), [1, 1, 1, 3]),
        ([0, 0, 0, 1], {"sample_weight": [1, 2, 1, 0.5]}, [0, 1, 2, 3, 3, 3], (), [1, 2, 1, 1.5]),
        ([0] * 10 + [1] * 2, {"balance_strength": 0.5}, list(range(12)) + [None] * 3, (10, 11), [1] * 10 + [2.5] * 2),
        ([0, 0, 0, 1], {"balance_strength": 2.0}, [0, 1, 2] + [3] * 6, (), [1, 1, 1, 6]),
        ([np.nan, 1, np.nan, np.nan], {}, [0, 2, 3, 1, 1, 1], (), [1, 3, 1, 1]),
        ([2, 1, 2, 2, 1, 7], {}, [0, 2, 3, 1, 4, None, 5, 5, 5], (1, 4), [1, 1.5, 1, 1, 1.5, 3]),
    ],
)
def test_documented_examples(X, kwargs, rows, pool, weights):
    X, y = np.asarray(X, dtype=float).reshape(-1, 1), np.arange(len(X))
    Xa, ya, sw = category_balance_augment(X, y, columns=0, shuffle=False, random_state=0, **kwargs)
    assert sw is None and len(ya) == len(rows)
    assert all(r == got if r is not None else got in pool for r, got in zip(rows, ya, strict=True))
    np.testing.assert_array_equal(Xa, X[ya])
    Xg, yg, w = category_balance_augment(X, y, columns=0, sample_weight_mode="generate", **kwargs)
    assert np.array_equal(Xg, X, equal_nan=True) and np.array_equal(yg, y) and w.tolist() == weights


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"columns": -1}, IndexError, "columns index out of bounds"),
        ({"columns": [0, 5]}, IndexError, "columns index out of bounds"),
        ({"columns": "a"}, ValueError, "invalid literal for int()"),
        ({"columns": 1.5}, InvalidParameterError, "The 'columns' parameter of category_balance_augment must be"),
        (
            {"balance_strength": 0},
            InvalidParameterError,
            "The 'balance_strength' parameter of category_balance_augment",
        ),
        ({"sample_weight_mode": "Generate"}, InvalidParameterError, "The 'sample_weight_mode' parameter of"),
        ({"y": np.arange(3)}, ValueError, "Found input variables with inconsistent numbers of samples"),
        (
            {"sample_weight_mode": "generate", "sample_weight": [1, 2]},
            ValueError,
            "sample_weight should have shape (4,), got (2,)",
        ),
        (
            {"sample_weight_mode": "generate", "sample_weight": [1, 1, -1, 1]},
            ValueError,
            "sample_weight must be non-neg",
        ),
        ({"X": pd.DataFrame(np.zeros((4, 2)), columns=["p", "q"]), "columns": "r"}, KeyError, "r"),
        ({"X": np.array([[1], [pd.NA], [1], [2]], dtype=object)}, TypeError, "boolean value of NA is ambiguous"),
    ],
)
def test_messages(kwargs, exc, message):
    kwargs = {"X": np.array([[0.0, 1], [0, 2], [1, 2], [1, 3]]), "y": np.arange(4.0), "columns": 0, **kwargs}
    with pytest.raises(exc) as info:
        category_balance_augment(**kwargs)
    assert message in str(info.value)


def test_body_checks_when_validation_is_off():
    X, y = np.zeros((3, 1)), np.arange(3)
    with sklearn.config_context(skip_parameter_validation=True):
        with pytest.raises(ValueError, match=r"must be one of \{'passthrough','generate'\}"):
            category_balance_augment(X, y, columns=0, sample_weight_mode="consume")
        assert category_balance_augment(X, y, columns=0, sample_weight_mode="GENERATE")[2] is not None
        with pytest.raises(OverflowError, match="cannot convert float infinity to integer"):
            category_balance_augment(X, y, columns=0, balance_strength=np.inf)


class Spy:
    def __init__(self, fn):
        self.fn, self.calls = fn, 0

    def __call__(self, *args, **kwargs):
        self.calls += 1
        return self.fn(*args, **kwargs)


class NumpyProxy:
    def __getattr__(self, name):
        return getattr(np, name)


@pytest.mark.parametrize(
    "names",
    [
        ["_resolve_columns_and_groups"],
        ["_compute_group_indices"],
        ["_is_nan_scalar"],
        ["_as_numpy_2d", "check_X_y", "check_random_state"],
        ["np"],
    ],
)
@pytest.mark.parametrize("mode", ["passthrough", "generate"])
def test_names_are_looked_up_at_call_time(names, mode, monkeypatch):
    df = skewed_frame(80)
    want = category_balance_augment(df, df["a"], columns=[3, 5], random_state=1, sample_weight_mode=mode)
    spies = {n: Spy(getattr(M, n)) if n != "np" else NumpyProxy() for n in names}
    for n, spy in spies.items():
        monkeypatch.setattr(M, n, spy)
    got = category_balance_augment(df, df["a"], columns=[3, 5], random_state=1, sample_weight_mode=mode)
    for g, w in zip(got, want, strict=True):
        assert_same(g, w)
    assert all(s.calls > 0 for s in spies.values() if isinstance(s, Spy))


@pytest.mark.parametrize("shuffle", [True, False])
def test_frames_warn_on_assignment_as_the_documented_steps_do(shuffle):
    df = skewed_frame(50)
    caught = []
    for augment in (category_balance_augment, ref_augment):
        X_aug, y_aug, _ = augment(df, df["a"], columns="cat", shuffle=shuffle, random_state=0)
        with warnings.catch_warnings(record=True) as record:
            warnings.simplefilter("always")
            X_aug["a"] = 0.0
            y_aug.iloc[0] = 1.0
        caught.append([w.category for w in record])
    assert caught[0] == caught[1]


def test_inputs_are_not_modified():
    df = skewed_frame(50)
    before, X = df.copy(), df.drop(columns="label").to_numpy(dtype=float)
    X0 = X.copy()
    out = category_balance_augment(df, df["a"], columns="cat")[0]
    out.iloc[:, 0] = 0
    category_balance_augment(X, X[:, 0], columns=[3])[0][:] = 0
    category_balance_augment(df, df["a"], columns="cat", sample_weight_mode="generate", sample_weight=df["a"] ** 2)
    pd.testing.assert_frame_equal(df, before)
    np.testing.assert_array_equal(X, X0)


def test_signatures_and_module_layout():
    assert category_balance_augment.__wrapped__.__annotations__ == {
        "balance_strength": "float",
        "shuffle": "bool",
        "sample_weight_mode": "str",
    }
    assert list(category_balance_augment._skl_parameter_constraints) == [
        "X",
        "y",
        "columns",
        "balance_strength",
        "shuffle",
        "random_state",
        "sample_weight_mode",
    ]
    assert [n for n in vars(M) if not n.startswith("__")] == [
        "annotations",
        "np",
        "BaseEstimator",
        "ClassifierMixin",
        "RegressorMixin",
        "clone",
        "Interval",
        "Real",
        "StrOptions",
        "validate_params",
        "check_is_fitted",
        "check_random_state",
        "check_X_y",
        "UnwrapMetaEstimatorMixin",
        "_NAN_GROUP",
        "_as_numpy_2d",
        "_is_nan_scalar",
        "_resolve_columns_and_groups",
        "_compute_group_indices",
        "category_balance_augment",
        "CategoryBalanceAugmentedRegressor",
        "CategoryBalanceAugmentedClassifier",
    ]
    init = inspect.signature(CategoryBalanceAugmentedClassifier.__init__)
    assert str(init) == (
        "(self, estimator, *, columns, balance_strength: 'float' = 1.0, sample_weight_mode: 'str' = "
        "'passthrough', shuffle: 'bool' = True, random_state=None, store_augmented: 'bool' = False)"
    )
    assert not hasattr(CategoryBalanceAugmentedRegressor, "_parameter_constraints")


class Recorder(RegressorMixin, BaseEstimator):
    """Records what its fit received; predicts the column count."""

    def __init__(self, weighted=True):
        self.weighted = weighted

    def fit(self, X, y, sample_weight=None, **params):
        if not self.weighted and sample_weight is not None:
            raise TypeError("no weights")
        self.X_, self.sw_, self.params_ = X, sample_weight, params
        return self

    def predict(self, X):
        return np.full(len(X), np.shape(X)[1], dtype=float)


def test_regressor_passthrough_fits_on_duplicated_frame_rows():
    df = skewed_frame()
    model = CategoryBalanceAugmentedRegressor(Recorder(), columns="cat", random_state=3, store_augmented=True)
    model.fit(df, df["a"], sample_weight=np.ones(300), tag=1)
    want = ref_augment(df, df["a"], columns="cat", random_state=3)[0]
    assert_same(model.estimator_.X_, want)
    assert_same(model.augmented_X_, want)
    assert model.estimator_.sw_ is None and model.estimator_.params_ == {"tag": 1}
    assert (model.column_names_, model.column_indexes_, model.n_features_in_) == (["cat"], [3], 6)
    assert model.predict(df.iloc[:4]).tolist() == [6] * 4


def test_regressor_generate_fits_and_predicts_without_the_balancing_columns():
    X = np.random.RandomState(0).rand(30, 3)
    X[:, 0] = np.r_[np.zeros(20), np.ones(10)]
    model = CategoryBalanceAugmentedRegressor(
        Recorder(), columns=0, sample_weight_mode="generate", store_augmented=True
    ).fit(X, X[:, 1], sample_weight=np.full(30, 2.0))
    np.testing.assert_array_equal(model.estimator_.X_, X[:, 1:])
    assert model.estimator_.sw_.tolist() == [2.0] * 20 + [4.0] * 10 and model.augmented_X_.shape == (30, 3)
    # predict removes the same positions, whatever the input's column labels
    assert model.predict(pd.DataFrame(X, columns=["z", "y", "x"])).tolist() == [2] * 30
    assert model.predict(X.tolist()).tolist() == [2] * 30
    # an inner fit that rejects weights is refitted unweighted, still without the columns
    unweighted = clone(model).set_params(estimator=Recorder(weighted=False)).fit(X, X[:, 1])
    assert unweighted.estimator_.sw_ is None and unweighted.estimator_.X_.shape == (30, 2)
    # a refit in passthrough mode keeps all columns, in fit and in predict
    model.set_params(sample_weight_mode="passthrough").fit(X, X[:, 1])
    assert model.estimator_.X_.shape[1] == 3 and model.predict(X).tolist() == [3] * 30
    # a failed refit leaves the earlier estimator and the columns it was fitted without
    model.set_params(sample_weight_mode="generate").fit(X, X[:, 1])
    with pytest.raises(ValueError):
        model.set_params(sample_weight_mode="passthrough", estimator=LogisticRegression()).fit(X, X[:, 1])
    assert model.predict(X).tolist() == [2] * 30


def test_classifier_generate_keeps_all_columns_and_delegates():
    X = np.c_[np.r_[np.zeros(8), np.ones(2)], np.arange(10.0)]
    y = np.r_[np.zeros(5, int), np.ones(5, int)]
    model = CategoryBalanceAugmentedClassifier(LogisticRegression(), columns=[0], sample_weight_mode="generate")
    model.fit(X, y)
    assert model.estimator_.coef_.shape == (1, 2) and list(model.classes_) == [0, 1]
    assert model.predict(X.tolist()).tolist() == model.estimator_.predict(X).tolist()
    with pytest.raises(AttributeError):
        model.classes_ = [1]


@pytest.mark.parametrize("cls", [CategoryBalanceAugmentedRegressor, CategoryBalanceAugmentedClassifier])
def test_estimator_protocol(cls):
    X = np.c_[np.r_[np.zeros(6), np.ones(3)], np.arange(9.0)]
    with pytest.raises(TypeError, match="columns"):
        cls(LinearRegression())
    model = cls(LinearRegression(), columns="missing", random_state=2)
    assert model.get_params(deep=False) == {
        "estimator": model.estimator,
        "columns": "missing",
        "balance_strength": 1.0,
        "sample_weight_mode": "passthrough",
        "shuffle": True,
        "random_state": 2,
        "store_augmented": False,
    }
    copy = clone(model.set_params(columns=0, balance_strength=0.5, sample_weight_mode="generate"))
    assert copy.columns == 0 and copy.balance_strength == 0.5 and not hasattr(copy, "estimator_")
    with pytest.raises(NotFittedError):
        copy.predict(X)
    restored = pickle.loads(pickle.dumps(copy.fit(X, np.arange(9) % 2)))
    np.testing.assert_array_equal(restored.predict(X), copy.predict(X))
    assert isinstance(restored.unwrap(), LinearRegression)
