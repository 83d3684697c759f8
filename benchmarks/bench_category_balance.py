"""Category balancing and the balanced scorer: duv, its floor and a NumPy / Python statement of the same steps.

Run as `python benchmarks/bench_category_balance.py [--scale N]` (see harness.py). The data at scale 1: a
100,000-row DataFrame of 8 float columns and an integer column `cat` of 50 categories with Zipf frequencies
(exponent 1.5: the largest is 43% of the rows, so duplicate mode grows the set to about 2.1 million rows); the
two-column case adds an integer column `side` of 7 categories.

The floor of duplicate mode is the parameter validation, the selection of the balancing columns (`X[columns]`,
`np.asarray`), `check_X_y`, the draws (one `rng.choice(idxs, size=add, replace=True)` per growing group, in group
order, then `rng.permutation`) and the gather of the output rows: `X.iloc[rows]` and `y.iloc[rows]` for pandas
input, `X_arr[rows]` and `y_arr[rows]` for arrays. Generate mode's floor has no draws and no gather, but
`np.ones`; the scorer's is `check_is_fitted`, the estimator's `predict`, the column selection, the weights' sum and
the metric called with the weights.
"""

from itertools import pairwise

import numpy as np
import pandas as pd
from sklearn.linear_model import LinearRegression
from sklearn.metrics import mean_squared_error
from sklearn.utils.validation import check_is_fitted, check_random_state, check_X_y

import harness
from duv.augmentation import category_balance_augment
from duv.metrics import make_categorical_balanced_scorer

N = 100_000
_NAN_GROUP = object()


# ---- the baseline: the documented steps in NumPy and Python -------------------------------------------------


def _is_nan_scalar(x):
    try:
        return x != x
    except Exception:
        return False


def numpy_resolve(X, columns):
    spec = [columns] if isinstance(columns, (str, int)) else list(columns)
    if hasattr(X, "columns") and any(isinstance(c, str) for c in spec):
        names = [str(c) for c in spec]
        idxs = [int(X.columns.get_loc(c)) for c in spec]
        values = np.asarray(X[spec[0]] if len(spec) == 1 else X[spec])
    else:
        X_arr = np.asarray(X)
        idxs = [int(c) for c in spec]
        names = [str(X.columns[i]) for i in idxs] if hasattr(X, "columns") else None
        values = X_arr[:, idxs]
    if values.ndim == 1:
        values = values.reshape(-1, 1)
    keys = np.empty(len(X), dtype=object)
    if values.shape[1] == 1:
        v = values[:, 0]
        for i in range(len(X)):
            x = v[i]
            keys[i] = (_NAN_GROUP,) if _is_nan_scalar(x) else (x,)
    else:
        for i in range(len(X)):
            keys[i] = tuple(_NAN_GROUP if _is_nan_scalar(x) else x for x in values[i, :])
    return names, idxs, keys


def numpy_groups(keys):
    groups = {}
    for i, k in enumerate(keys):
        groups.setdefault(k, []).append(i)
    return groups


def numpy_augment(
    X, y, *, columns, balance_strength=1.0, shuffle=True, random_state=None, sample_weight_mode="passthrough"
):
    keys = numpy_resolve(X, columns)[2]
    X_arr, y_arr = check_X_y(X, y, multi_output=True, dtype=None, ensure_all_finite="allow-nan")
    rng = check_random_state(random_state)
    groups = numpy_groups(keys)
    n_max = max(len(v) for v in groups.values())
    target = int(np.ceil(n_max * float(balance_strength)))
    if sample_weight_mode == "generate":
        w = np.ones(X_arr.shape[0], dtype=float)
        for idxs in groups.values():
            factor = float(max(len(idxs), target)) / float(len(idxs))
            if len(idxs) < n_max and factor > 1.0:
                w[idxs] = factor
        return X_arr, y_arr, w
    aug = []
    for idxs in groups.values():
        add = (len(idxs) if len(idxs) >= n_max else max(len(idxs), target)) - len(idxs)
        if add > 0:
            aug.extend(idxs + rng.choice(idxs, size=add, replace=True).tolist())
        else:
            aug.extend(idxs)
    aug = np.asarray(aug, dtype=int)
    frame = hasattr(X, "iloc")
    X_aug, y_aug = (X.iloc[aug], y.iloc[aug]) if frame else (X_arr[aug], y_arr[aug])
    if shuffle:
        order = rng.permutation(len(aug))
        X_aug, y_aug = (X_aug.iloc[order], y_aug.iloc[order]) if frame else (X_aug[order], y_aug[order])
    return X_aug, y_aug, None


def numpy_weights(keys, balance_strength, normalize="sum_to_n"):
    n = len(keys)
    groups = numpy_groups(keys)
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


def numpy_scorer(columns):
    def scorer(estimator, X, y_true):
        check_is_fitted(estimator)
        y_pred = estimator.predict(X)
        w = numpy_weights(numpy_resolve(X, columns)[2], 1.0)
        return -mean_squared_error(y_true, y_pred, sample_weight=w)

    return scorer


# ---- the floor -----------------------------------------------------------------------------------------------


class Plan:
    """The draws and rows of duplicate mode, worked out beforehand with NumPy: the row numbers of every group (in
    the order groups first occur, ascending within a group), the count each group grows by, and the output rows."""

    def __init__(self, X, y, columns, seed):
        values = np.asarray(X[columns]) if hasattr(X, "columns") else np.asarray(X)[:, columns]
        values = values.reshape(len(X), -1)
        codes = (
            pd.MultiIndex.from_arrays(list(values.T)).factorize()[0]
            if values.shape[1] > 1
            else pd.factorize(values[:, 0])[0]
        )
        by_group = np.argsort(codes, kind="stable")
        offsets = np.concatenate([[0], np.cumsum(np.bincount(codes))])
        self.groups = [by_group[a:b] for a, b in pairwise(offsets)]
        n_max = max(len(g) for g in self.groups)
        self.adds = [n_max - len(g) for g in self.groups]
        rng = np.random.RandomState(seed)
        parts = []
        for g, add in zip(self.groups, self.adds, strict=True):
            parts.append(g)
            if add > 0:
                parts.append(rng.choice(g, size=add, replace=True))
        rows = np.concatenate(parts)
        self.rows = rows[rng.permutation(len(rows))]
        self.total = len(rows)

    def draw(self, rng):
        for g, add in zip(self.groups, self.adds, strict=True):
            if add > 0:
                rng.choice(g, size=add, replace=True)
        rng.permutation(self.total)


def duplicate_floor(plan):
    def body(X, y, *, columns, random_state=None, **_):
        frame = hasattr(X, "iloc")
        np.asarray(X[columns]) if frame else np.asarray(X)[:, [columns] if np.ndim(columns) == 0 else columns]
        checked = check_X_y(X, y, multi_output=True, dtype=None, ensure_all_finite="allow-nan")
        plan.draw(check_random_state(random_state))
        if frame:  # the checked arrays are not needed for the rows of frames
            del checked
            return X.iloc[plan.rows], y.iloc[plan.rows]
        return checked[0][plan.rows], checked[1][plan.rows]

    return harness.validated_like(category_balance_augment, body)


def generate_floor():
    def body(X, y, *, columns, random_state=None, **_):
        np.asarray(X[columns])
        X_arr, y_arr = check_X_y(X, y, multi_output=True, dtype=None, ensure_all_finite="allow-nan")
        check_random_state(random_state)
        return X_arr, y_arr, np.ones(X_arr.shape[0], dtype=float)

    return harness.validated_like(category_balance_augment, body)


# ---- the cases ----------------------------------------------------------------------------------------------


def data(n, side=False, seed=0):
    rng = np.random.RandomState(seed)
    p = np.arange(1, 51) ** -1.5
    X = pd.DataFrame(rng.randn(n, 8), columns=[f"f{i}" for i in range(8)])
    X["cat"] = rng.choice(50, size=n, p=p / p.sum())
    if side:
        X["side"] = rng.randint(0, 7, size=n)
    return X, pd.Series(X["f0"] * 2 + X["cat"] + rng.randn(n), name="y")


def check_equal(a, b):
    for x, y in zip(a, b, strict=True):
        if isinstance(x, (pd.DataFrame, pd.Series)):
            assert x.equals(y) and (x.index == y.index).all() and np.all(x.dtypes == y.dtypes)
        elif x is not None:
            assert x.dtype == y.dtype and np.array_equal(x, y)


def duplicate_case(n, columns, arrays=False, side=False, goal=1.3):
    X, y = data(n, side)
    if arrays:
        columns = [X.columns.get_loc(c) for c in columns] if isinstance(columns, list) else X.columns.get_loc(columns)
        X, y = X.to_numpy(), y.to_numpy()
    plan = Plan(X, y, columns, 0)
    floor = duplicate_floor(plan)
    kw = dict(columns=columns, random_state=0)

    def check(with_baseline):
        ours = category_balance_augment(X, y, **kw)
        check_equal(ours[:2], floor(X, y, **kw))
        a, b = np.random.RandomState(0), np.random.RandomState(0)
        category_balance_augment(X, y, columns=columns, random_state=a)
        floor(X, y, columns=columns, random_state=b)
        assert harness.same_draws(a, b), "the floor's draws are not the package's"
        if with_baseline:
            check_equal(ours, numpy_augment(X, y, **kw))

    width = X.shape[1] * 8 + 8 + (0 if arrays else 16)  # X and y, with an index each for pandas
    return harness.Case(
        package=lambda: category_balance_augment(X, y, **kw),
        floor=lambda: floor(X, y, **kw),
        baseline=lambda: numpy_augment(X, y, **kw),
        goal=goal,
        check=check,
        output_mib=plan.total * width / 2**20,
        memory_goal=1.1,
        note=f"{plan.total:,} rows out",
    )


def generate_case(n, columns):
    X, y = data(n, side=isinstance(columns, list))
    kw = dict(columns=columns, random_state=0, sample_weight_mode="generate")
    floor = generate_floor()

    def check(with_baseline):
        if with_baseline:
            check_equal(category_balance_augment(X, y, **kw), numpy_augment(X, y, **kw))

    # No goal: the grouping of the rows is work that only the package does, beside calls that cost little.
    return harness.Case(
        package=lambda: category_balance_augment(X, y, **kw),
        floor=lambda: floor(X, y, **kw),
        baseline=lambda: numpy_augment(X, y, **kw),
        check=check,
    )


def scorer_case(n):
    X, y = data(n)
    model = LinearRegression().fit(X, y)
    ours = make_categorical_balanced_scorer(mean_squared_error, greater_is_better=False, columns="cat")
    theirs = numpy_scorer("cat")
    w = numpy_weights(numpy_resolve(X, "cat")[2], 1.0) if n <= 10 * N else None

    def floor():
        check_is_fitted(model)
        y_pred = model.predict(X)
        np.asarray(X["cat"])
        weights.sum()
        return -mean_squared_error(y, y_pred, sample_weight=weights)

    weights = w if w is not None else np.ones(len(X))

    def check(with_baseline):
        if with_baseline:
            assert ours(model, X, y) == theirs(model, X, y) == floor()

    return harness.Case(
        package=lambda: ours(model, X, y), floor=floor, baseline=lambda: theirs(model, X, y), goal=1.3, check=check
    )


def cases(scale):
    n = harness.scaled(N, scale)
    return [
        ("augment duplicate 'cat'", lambda: duplicate_case(n, "cat")),
        ("augment duplicate 'cat' (arrays)", lambda: duplicate_case(n, "cat", arrays=True)),
        ("augment duplicate ['cat', 'side']", lambda: duplicate_case(n, ["cat", "side"], side=True)),
        ("augment generate 'cat'", lambda: generate_case(n, "cat")),
        ("augment generate ['cat', 'side']", lambda: generate_case(n, ["cat", "side"])),
        ("scorer mean_squared_error 'cat'", lambda: scorer_case(n)),
    ]


if __name__ == "__main__":
    raise SystemExit(harness.main(__file__, cases, __doc__.splitlines()[0]))
