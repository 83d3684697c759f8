"""The fixture that checks that calls leave the caller's inputs unchanged notices every kind of change."""

import numpy as np
import pandas as pd
import pytest
from sklearn.linear_model import Ridge

import duv.metrics
from conftest import _key, _untouched


def _frame():
    return pd.DataFrame({"a": [1.0, 2.0, 3.0], "b": ["x", "y", "z"]}, index=[10, 11, 12])


def _assign(target, key, value):
    target[key] = value


def _fit(estimator):
    estimator.fit([[0.0], [1.0]], [0.0, 1.0])


@pytest.mark.parametrize(
    "make, change",
    [
        (lambda: np.arange(6.0), lambda a: _assign(a, 5, -0.0)),
        (lambda: np.arange(6.0), lambda a: a.resize((2, 3), refcheck=False)),
        (lambda: np.arange(6.0), lambda a: setattr(a.flags, "writeable", False)),
        (lambda: np.arange(6.0).reshape(2, 3), lambda a: setattr(a, "shape", (3, 2))),
        (lambda: np.array(["x", None], dtype=object), lambda a: _assign(a, 1, "y")),
        (lambda: np.array([1, 2], dtype="datetime64[s]"), lambda a: _assign(a, 0, 5)),
        (_frame, lambda f: _assign(f, "c", 0)),
        (_frame, lambda f: f.iloc.__setitem__((0, 0), 9.0)),
        (_frame, lambda f: _assign(f, "b", ["x", "y", "w"])),
        (_frame, lambda f: setattr(f, "index", [1, 2, 3])),
        (_frame, lambda f: setattr(f, "columns", ["a", "c"])),
        (_frame, lambda f: _assign(f, "a", f["a"].astype("float32"))),
        (lambda: _frame()["a"], lambda s: setattr(s, "name", "z")),
        (lambda: pd.Series([1.0, np.nan]), lambda s: s.fillna(0.0, inplace=True)),
        (lambda: [np.zeros(2), 1.0], lambda v: _assign(v[0], 0, 1.0)),
        (lambda: [0.5, 1.5], lambda v: v.sort(reverse=True)),
        (lambda: {"w": np.ones(2)}, lambda d: _assign(d["w"], 1, 2.0)),
        (lambda: (np.ones(2),), lambda t: _assign(t[0], 0, 2.0)),
        (lambda: Ridge(), lambda e: e.set_params(alpha=2.0)),
        (lambda: Ridge(), _fit),
        (lambda: [("r", Ridge())], lambda v: v[0][1].set_params(fit_intercept=False)),
    ],
)
def test_a_change_changes_the_fingerprint(make, change):
    obj, same = make(), make()
    assert _key(obj) == _key(same)
    change(obj)
    assert _key(obj) != _key(same)


def test_a_wrapped_callable_reports_a_changed_argument():
    # The package's own functions are wrapped for this test; a stand-in that writes into its input is caught.
    assert duv.metrics.mean_squared_log_error.__wrapped__ is not duv.metrics.mean_squared_log_error
    checked = _untouched.wrap(lambda X, y=None: y is not None and _assign(y, 0, -1.0), 0)
    X, y = np.ones(3), np.zeros(2)
    checked(X)
    assert _untouched.violations == []
    checked(X, y=y)
    assert len(_untouched.violations) == 1 and "argument y=" in _untouched.violations[0]
    del _untouched.violations[:]
