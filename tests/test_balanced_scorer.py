import functools
import inspect

import numpy as np
import pandas as pd
import pytest
from sklearn.base import BaseEstimator, RegressorMixin
from sklearn.exceptions import NotFittedError
from sklearn.linear_model import LinearRegression, Ridge
from sklearn.metrics import mean_absolute_error, mean_squared_error
from sklearn.model_selection import GridSearchCV, KFold, cross_val_score
from sklearn.utils.validation import check_is_fitted

import duv.metrics._balanced_scorer as S
from duv.augmentation._category_balance_augmentation import _resolve_columns_and_groups
from duv.metrics import make_categorical_balanced_scorer


def ref_weights(keys, balance_strength, normalize="sum_to_n"):
    """The documented steps of _compute_balancing_weights, written with NumPy."""
    n = len(keys)
    groups = {}
    for i, k in enumerate(keys):
        groups.setdefault(k, []).append(i)
    if not groups:
        return np.ones(n, dtype=float)
    n_max = max(len(v) for v in groups.values())
    target = int(np.ceil(n_max * float(balance_strength)))
    w = np.ones(n, dtype=float)
    for idxs in groups.values():
        factor = float(max(len(idxs), target)) / float(len(idxs))
        if len(idxs) < n_max and factor > 1.0:
            w[idxs] = factor
    if normalize == "sum_to_n":
        s = float(w.sum())
        if s > 0 and np.isfinite(s):
            w *= n / s
    return w


def ref_score(
    score_func,
    estimator,
    X,
    y_true,
    columns,
    *,
    sign=1,
    balance_strength=1.0,
    normalize="sum_to_n",
    sample_weight=None,
    **kwargs,
):
    check_is_fitted(estimator)
    w = ref_weights(_resolve_columns_and_groups(X, columns)[2], balance_strength, normalize)
    if sample_weight is not None:
        w = w * np.asarray(sample_weight, dtype=float)
    return sign * score_func(y_true, estimator.predict(X), sample_weight=w, **kwargs)


@pytest.mark.parametrize(
    "keys, strength, normalize, want",
    [
        (list("aaab"), 1.0, "sum_to_n", [2 / 3, 2 / 3, 2 / 3, 2]),
        (list("aaab"), 1.0, "none", [1, 1, 1, 3]),
        (list("aaab"), 0.5, "other", [1, 1, 1, 2]),
        (list("aaab"), 0.0, "sum_to_n", [1, 1, 1, 1]),
        (list("aaab"), -3, "sum_to_n", [1, 1, 1, 1]),
        (list("aabb"), 7.0, "none", [1, 1, 1, 1]),
        (list("abbbcc"), 2.0, "none", [6, 1, 1, 1, 3, 3]),
        ([], 1.0, "sum_to_n", []),
        ((k for k in "ab"), 1.0, "none", None),  # no len(): TypeError
    ],
)
def test_weights_of_documented_cases(keys, strength, normalize, want):
    if want is None:
        with pytest.raises(TypeError):
            S._compute_balancing_weights(keys, strength, normalize)
        return
    w = S._compute_balancing_weights(keys, strength, normalize)
    assert w.dtype == np.float64 and w.shape == (len(keys),)
    np.testing.assert_allclose(w, want, rtol=1e-15)


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("strength", [0.3, 1.0, 1.7])
def test_weights_are_bit_identical_to_numpy(seed, strength):
    rng = np.random.RandomState(seed)
    X = np.c_[rng.choice(9, size=997, p=np.r_[0.5, np.full(8, 1 / 16)]), rng.randint(0, 3, 997)].astype(float)
    X[rng.rand(997) < 0.05, 1] = np.nan
    keys = _resolve_columns_and_groups(X, [0, 1])[2]
    for normalize in ("sum_to_n", "raw"):
        got = S._compute_balancing_weights(keys, strength, normalize)
        assert got.tobytes() == ref_weights(list(keys), strength, normalize).tobytes()


class NumericColumns(RegressorMixin, BaseEstimator):
    def fit(self, X, y):
        self.model_ = LinearRegression().fit(X[["x", "z"]], y)
        return self

    def predict(self, X):
        return self.model_.predict(X[["x", "z"]])


def responder(methods):
    """A fitted estimator answering with the name of the method called, for the methods it has."""

    def answer(name):
        return lambda self, X: np.full(len(X), name)

    names = {m: answer(m) for m in ("predict",) + tuple(methods)}
    estimator = type("Responder", (BaseEstimator,), {"fit": lambda self, X, y=None: self, **names})()
    estimator.fitted_ = True
    return estimator


@pytest.mark.parametrize(
    "response_method, methods, called",
    [
        ("predict", ("predict",), "predict"),
        (None, ("predict_proba",), "predict"),
        ("predict_proba", ("predict_proba",), "predict_proba"),
        ("predict_proba", (), "predict"),
        (["decision_function", "predict_proba"], ("predict_proba",), "predict_proba"),
        (("decision_function", "predict_proba"), ("decision_function", "predict_proba"), "decision_function"),
        (["score_samples"], (), "predict"),
        ([], ("predict_proba",), "predict"),
    ],
)
def test_response_getter(response_method, methods, called):
    seen = []

    def metric(y_true, y_pred, sample_weight=None):
        seen.append(y_pred)
        return 0.0

    scorer = make_categorical_balanced_scorer(metric, response_method=response_method, columns=0)
    scorer(responder(methods), np.zeros((3, 1)), np.zeros(3))
    assert list(seen[0]) == [called] * 3


def test_scorer_matches_the_documented_steps_and_forwards_keywords():
    rng = np.random.RandomState(0)
    df = pd.DataFrame({"x": rng.randn(200), "cat": rng.choice(["a", "b", None], 200, p=[0.8, 0.15, 0.05])})
    df["z"] = rng.randint(0, 4, 200)
    y = 3 * df["x"] + rng.randn(200)
    X = df[["x", "z", "cat"]]
    est = NumericColumns().fit(X, y)
    sw = rng.rand(200)
    for columns, kwargs in [("cat", {}), (["cat", "z"], {"balance_strength": 0.5}), ([2], {"normalize": "no"})]:
        options = {
            "balance_strength": kwargs.get("balance_strength", 1.0),
            "normalize_weights": kwargs.get("normalize", "sum_to_n"),
        }
        scorer = make_categorical_balanced_scorer(
            mean_squared_error, greater_is_better=False, columns=columns, multioutput="raw_values", **options
        )
        score_kwargs = {"sample_weight": sw}
        got = scorer(est, X, y, **score_kwargs)
        assert score_kwargs == {"sample_weight": sw}
        want = ref_score(
            mean_squared_error, est, X, y, columns, sign=-1, sample_weight=sw, multioutput="raw_values", **kwargs
        )
        assert got.tobytes() == want.tobytes()


@pytest.mark.parametrize(
    "make, call, exc, message",
    [
        (
            lambda: make_categorical_balanced_scorer(mean_squared_error),
            None,
            ValueError,
            "columns must be specified to make_categorical_balanced_scorer",
        ),
        (
            lambda: make_categorical_balanced_scorer(mean_squared_error, columns=0),
            {"sample_weight": [1, 2]},
            ValueError,
            "user sample_weight shape (2,) does not match (n_samples,) (3,)",
        ),
        (
            lambda: make_categorical_balanced_scorer(mean_squared_error, columns=0, sample_weight=1),
            {},
            TypeError,
            "sklearn.metrics._regression.mean_squared_error() got multiple values for keyword argument 'sample_weight'",
        ),
        (
            lambda: make_categorical_balanced_scorer(mean_squared_error, columns=0, multioutput="raw_values"),
            {"multioutput": "raw_values"},
            TypeError,
            "got multiple values for keyword argument 'multioutput'",
        ),
        (
            lambda: make_categorical_balanced_scorer(mean_squared_error, columns=5),
            {},
            IndexError,
            "columns index out of bounds",
        ),
        (
            lambda: make_categorical_balanced_scorer(mean_squared_error, columns=0, balance_strength="x"),
            {},
            ValueError,
            "could not convert string to float: 'x'",
        ),
        (
            lambda: make_categorical_balanced_scorer(lambda y, p: 0.0, columns=0),
            {},
            TypeError,
            "got an unexpected keyword argument 'sample_weight'",
        ),
    ],
)
def test_messages(make, call, exc, message):
    X, y = np.array([[0.0], [0.0], [1.0]]), np.array([1.0, 2.0, 3.0])
    with pytest.raises(exc) as info:
        make()(LinearRegression().fit(X, y), X, y, **call)
    assert message in str(info.value)


def test_unfitted_estimator_is_rejected_before_predicting():
    scorer = make_categorical_balanced_scorer(mean_squared_error, columns=0)
    with pytest.raises(NotFittedError):
        scorer(LinearRegression(), np.zeros((3, 1)), np.zeros(3))


def test_scorer_is_a_partial_of_a_module_level_function():
    scorer = make_categorical_balanced_scorer(
        mean_absolute_error, response_method=["predict"], columns=[1], balance_strength=0.5, extra=1
    )
    assert (scorer.__name__, scorer.__qualname__, scorer.__module__) == (
        "scorer",
        "make_categorical_balanced_scorer.<locals>.scorer",
        S.__name__,
    )
    assert isinstance(scorer, functools.partial) and scorer.func is S._balanced_score and not scorer.keywords
    assert scorer.args == (mean_absolute_error, ["predict"], 1, [1], 0.5, "sum_to_n", {"extra": 1})
    assert str(inspect.signature(scorer)) == "(estimator, X, y_true, **score_kwargs)"
    assert str(inspect.signature(S._balanced_score)) == (
        "(score_func, response_method, sign, columns, balance_strength, normalize_weights, kwargs, /, estimator, X, "
        "y_true, **score_kwargs)"
    )
    assert str(inspect.signature(S._get_response)) == "(response_method, estimator, X)"
    # the factory's arguments are positional-only, so a call-time keyword of the same name reaches the metric
    X = np.array([[0.0, 1.0], [1.0, 1.0], [1.0, 0.0]])
    model = LinearRegression().fit(X, [0.0, 2.0, 1.0])
    seen = {}
    scorer = make_categorical_balanced_scorer(
        lambda y, p, sample_weight, **kw: seen.update(kw) or 3.0, columns=[1], greater_is_better=False
    )
    assert scorer(model, X, np.zeros(3), sign=7, columns="c") == -3.0 and seen == {"sign": 7, "columns": "c"}
    params = inspect.signature(make_categorical_balanced_scorer).parameters
    assert [(p.name, p.kind.name[:3], p.default) for p in params.values()] == [
        ("score_func", "POS", inspect.Parameter.empty),
        ("response_method", "KEY", "predict"),
        ("greater_is_better", "KEY", True),
        ("columns", "KEY", None),
        ("balance_strength", "KEY", 1.0),
        ("normalize_weights", "KEY", "sum_to_n"),
        ("kwargs", "VAR", inspect.Parameter.empty),
    ]
    assert [n for n in vars(S) if not n.startswith("__")] == [
        "annotations",
        "functools",
        "np",
        "check_is_fitted",
        "_resolve_columns_and_groups",
        "_compute_balancing_weights",
        "_get_response",
        "_balanced_score",
        "make_categorical_balanced_scorer",
    ]


class Spy:
    def __init__(self, fn):
        self.fn, self.calls = fn, 0

    def __call__(self, *args, **kwargs):
        self.calls += 1
        return self.fn(*args, **kwargs)


@pytest.mark.parametrize("names", [["_resolve_columns_and_groups"], ["_compute_balancing_weights", "check_is_fitted"]])
def test_names_are_looked_up_at_call_time(names, monkeypatch):
    X = np.c_[np.r_[np.zeros(7), np.ones(3)], np.arange(10.0)]
    model = LinearRegression().fit(X, X[:, 1] ** 2)
    scorer = make_categorical_balanced_scorer(mean_squared_error, columns=0)
    want = scorer(model, X, X[:, 1] ** 2)
    spies = {n: Spy(getattr(S, n)) for n in names}
    for n, spy in spies.items():
        monkeypatch.setattr(S, n, spy)
    assert scorer(model, X, X[:, 1] ** 2) == want
    assert all(s.calls == 1 for s in spies.values())


@pytest.mark.parametrize("frame", [True, False])
def test_as_scoring_in_model_selection(frame):
    rng = np.random.RandomState(1)
    X = np.c_[rng.randn(120, 2), rng.choice(3, 120, p=[0.7, 0.2, 0.1])]
    y = X[:, 0] + X[:, 2] + 0.1 * rng.randn(120)
    if frame:
        X = pd.DataFrame(X, columns=["u", "v", "g"])
    columns = "g" if frame else 2
    scorer = make_categorical_balanced_scorer(mean_squared_error, greater_is_better=False, columns=columns)
    cv = KFold(4, shuffle=True, random_state=0)
    scores = cross_val_score(Ridge(alpha=0.01), X, y, scoring=scorer, cv=cv)
    Xa = np.asarray(X)
    want = [
        ref_score(
            mean_squared_error,
            Ridge(alpha=0.01).fit(X.iloc[tr] if frame else Xa[tr], y[tr]),
            X.iloc[te] if frame else Xa[te],
            y[te],
            columns,
            sign=-1,
        )
        for tr, te in cv.split(Xa)
    ]
    np.testing.assert_array_equal(scores, want)
    search = GridSearchCV(Ridge(), {"alpha": [0.01, 100.0]}, scoring=scorer, cv=cv).fit(X, y)
    assert search.best_params_ == {"alpha": 0.01} and search.best_score_ == pytest.approx(np.mean(want), rel=1e-12)


def test_importing_metrics_imports_augmentation(fresh_python):
    out = fresh_python(
        "import sys, duv.metrics; print('duv.augmentation._smote_augmentation' in sys.modules, "
        "duv.metrics.make_categorical_balanced_scorer.__module__)"
    )
    assert out.split() == ["True", "duv.metrics._balanced_scorer"]
