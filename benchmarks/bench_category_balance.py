"""Category balancing and the balanced scorer: duv against a NumPy / Python statement of the same steps.

Run as `python benchmarks/bench_category_balance.py [repeats]`. The data: a 100,000-row DataFrame of
8 float columns, an integer column `cat` of 50 categories with geometrically falling frequencies (the
largest about 15% of the rows, the smallest a handful) and an integer column `side` of 7 categories.
Prints, per case, the best-of-N wall time of both sides and the ratio baseline / duv (above 1 means
duv is faster), with the goal the ratio is held to.
"""

import sys
import time

import numpy as np
import pandas as pd
from sklearn.linear_model import LinearRegression
from sklearn.metrics import mean_squared_error
from sklearn.utils.validation import check_is_fitted, check_random_state, check_X_y

from duv.augmentation import category_balance_augment
from duv.metrics import make_categorical_balanced_scorer

_NAN_GROUP = object()


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


def numpy_augment(X, y, *, columns, balance_strength=1.0, shuffle=True, random_state=None,
                  sample_weight_mode="passthrough"):
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


def data(n=100_000, seed=0):
    rng = np.random.RandomState(seed)
    p = 0.88 ** np.arange(50)
    X = pd.DataFrame(rng.randn(n, 8), columns=[f"f{i}" for i in range(8)])
    X["cat"] = rng.choice(50, size=n, p=p / p.sum())
    X["side"] = rng.randint(0, 7, size=n)
    return X, pd.Series(X["f0"] * 2 + X["cat"] + rng.randn(n), name="y")


def best(f, repeats):
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        f()
        times.append(time.perf_counter() - t0)
    return min(times)


def check_equal(a, b):
    for x, y in zip(a, b):
        if isinstance(x, (pd.DataFrame, pd.Series)):
            assert x.equals(y) and (x.index == y.index).all()
        elif x is not None:
            assert np.array_equal(x, y)


def main():
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    X, y = data()
    model = LinearRegression().fit(X, y)
    print(f"rows {len(X)}, largest 'cat' group {X['cat'].value_counts().max()}")
    print(f"{'case':44s} {'numpy':>9s} {'duv':>9s} {'ratio':>7s} {'goal':>5s}")
    cases = []
    for columns in ("cat", ["cat", "side"]):
        for mode, goal in (("passthrough", 10), ("generate", 5)):
            kw = dict(columns=columns, random_state=0, sample_weight_mode=mode)
            check_equal(category_balance_augment(X, y, **kw), numpy_augment(X, y, **kw))
            cases.append((f"augment {mode} {columns}", goal, lambda kw=kw: numpy_augment(X, y, **kw),
                          lambda kw=kw: category_balance_augment(X, y, **kw)))
    # The same steps on NumPy arrays, for reference (no goal): the rows are taken without pandas.
    Xa, ya = X.to_numpy(), y.to_numpy()
    for columns in (8, [8, 9]):
        kw = dict(columns=columns, random_state=0)
        check_equal(category_balance_augment(Xa, ya, **kw), numpy_augment(Xa, ya, **kw))
        cases.append((f"augment passthrough {columns} (arrays)", None, lambda kw=kw: numpy_augment(Xa, ya, **kw),
                      lambda kw=kw: category_balance_augment(Xa, ya, **kw)))
    ours, theirs = make_categorical_balanced_scorer(mean_squared_error, greater_is_better=False, columns="cat"), \
        numpy_scorer("cat")
    assert ours(model, X, y) == theirs(model, X, y)
    cases.append(("scorer mean_squared_error 'cat'", 3, lambda: theirs(model, X, y), lambda: ours(model, X, y)))
    for name, goal, baseline, duv in cases:
        t_np, t_duv = best(baseline, repeats), best(duv, repeats)
        goal = f"{goal:4d}x" if goal else "    -"
        print(f"{name:44s} {t_np * 1e3:8.1f}ms {t_duv * 1e3:8.1f}ms {t_np / t_duv:6.1f}x {goal}")


if __name__ == "__main__":
    main()
