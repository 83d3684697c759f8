"""MixtureOfExpertsRegressor against plain Python/NumPy/joblib versions of the same steps.

Distance routing is compared with the row-at-a-time algorithm (one joblib task per row, one
predict call per row and active expert); confidence routing and both fit splits with the
same NumPy/joblib calls written in Python.

Run: python benchmarks/bench_mixture_of_experts.py [--scale N] [--repeats N] (see harness.py)
"""

from functools import partial

import numpy as np
from joblib import Parallel, delayed
from scipy.spatial.distance import cdist
from sklearn.base import clone
from sklearn.cluster import KMeans
from sklearn.linear_model import BayesianRidge
from sklearn.utils import check_array, check_random_state, check_X_y
from sklearn.utils.validation import FLOAT_DTYPES, check_is_fitted

import harness
from duv.ensemble import MixtureOfExpertsRegressor


def best_pair(ours, base, repeat):
    """Best times of two callables, measured alternately (the machine is shared)."""
    t = harness.measure({"duv": ours, "baseline": base}, repeat, number=1)
    return t["duv"].best, t["baseline"].best


def mixture(means, stds, weights, eps):
    w = weights.reshape((-1,) + (1,) * (means.ndim - 1))
    mean = np.sum(w * means, axis=0)
    return mean, np.sqrt(np.maximum(np.sum(w * (stds**2 + (means - mean) ** 2), axis=0), eps))


def distance_row_at_a_time(model, X):
    mask = model.distance_cols_
    dist = cdist(X[:, mask], model.estimator_centers_[:, mask])
    active = np.argsort(dist, axis=1)[:, : model.n_active]
    model.estimators_[active[0, 0]].predict(X[0:1], return_std=True)

    def point(i):
        out = [model.estimators_[j].predict(X[i].reshape(1, -1), return_std=True) for j in active[i]]
        pm = np.array([o[0] for o in out]).reshape(-1, 1)
        ps = np.array([o[1] for o in out]).reshape(-1, 1)
        w = 1.0 / (dist[i, active[i]] + model.epsilon)
        w = w / np.sum(w)
        p, s = mixture(pm, ps, w / np.sum(w), model.epsilon)
        return p[0], s[0]

    results = Parallel(n_jobs=model.n_jobs)(delayed(point)(i) for i in range(X.shape[0]))
    return np.array([r[0] for r in results]), np.array([r[1] for r in results])


def confidence_numpy(model, X):
    check_is_fitted(model, ["estimators_"])
    X = check_array(X, dtype=FLOAT_DTYPES)
    out = Parallel(n_jobs=model.n_jobs)(delayed(lambda e: e.predict(X, return_std=True))(e) for e in model.estimators_)
    preds, stds = np.array([p[0] for p in out]), np.array([p[1] for p in out])
    active = np.argsort(stds, axis=0)[: model.n_active]
    k = model.n_active
    return mixture(
        np.take_along_axis(preds, active, axis=0),
        np.take_along_axis(stds, active, axis=0),
        np.ones(k) / k,
        model.epsilon,
    )


def fit_task(estimator, data):
    Xs, ys, idx = data
    expert = clone(estimator).fit(Xs, ys)
    return expert, np.mean(Xs, axis=0), idx


def fit_numpy(X, y, split, n_estimators=10, seed=0, eps=1e-9):
    X, y = check_X_y(X, y, dtype=FLOAT_DTYPES, multi_output=True)
    rs = check_random_state(seed)
    mask = np.ones(X.shape[1], dtype=bool)
    n = max(1, round(X.shape[0] / n_estimators * 2.0))
    est = BayesianRidge()
    if split == "random":
        sampled = []
        for _ in range(n_estimators):
            idx = rs.choice(len(X), size=n, replace=True)
            sampled.append((X[idx], y[idx], idx))
        return Parallel(n_jobs=None, backend="threading")(delayed(fit_task)(est, d) for d in sampled)
    km = KMeans(n_clusters=5, random_state=rs, n_init="auto").fit(X[:, mask])
    targets = rs.choice(5, n_estimators)
    w = 1.0 / (cdist(X[:, mask], km.cluster_centers_) + eps)
    w = w / np.sum(w, axis=0, keepdims=True)
    sampled = []
    for t in targets:
        idx = rs.choice(len(X), size=n, replace=True, p=w[:, t])
        sampled.append((X[idx], y[idx], idx))
    return Parallel(n_jobs=None)(delayed(fit_task)(est, d) for d in sampled)


def main():
    args = harness.options(__doc__.splitlines()[0], repeats=1)
    n = harness.scaled(20_000, args.scale)
    rng = np.random.RandomState(0)
    X = rng.rand(n, 8)
    y = X @ rng.randn(8) + 0.1 * rng.randn(n)
    model = MixtureOfExpertsRegressor(
        BayesianRidge(), n_estimators=10, n_active=3, routing="distance", random_state=0
    ).fit(X, y)
    X2 = X[:2000]
    got, want = model.predict(X2, return_std=True), distance_row_at_a_time(model, X2)
    # BayesianRidge's one-row predictions may differ from its many-row ones in the last bit
    scale = np.abs(want[0]).max()
    assert np.allclose(got[0], want[0], rtol=0, atol=1e-12 * scale)
    assert np.allclose(got[1] ** 2, want[1] ** 2, rtol=0, atol=1e-12 * scale**2)

    print(f"{'step':46s} {'duv s':>9s} {'baseline s':>11s} {'speed-up':>9s}")

    def row(label, ours, base, goal):
        print(f"{label:46s} {ours:9.4f} {base:11.4f} {base / ours:8.1f}x  (goal {goal})")

    ours, base = best_pair(
        lambda: model.predict(X2, return_std=True), lambda: distance_row_at_a_time(model, X2), 2 * args.repeats
    )
    row("distance predict, 2,000 rows, 10 experts, k=3", ours, base, ">= 50x")

    model.set_params(routing="confidence")
    ours, base = best_pair(
        lambda: model.predict(X, return_std=True), lambda: confidence_numpy(model, X), 15 * args.repeats
    )
    row(f"confidence predict, {n:,} rows", ours, base, ">= 1x")

    for split in ("random", "kmeans"):
        m = MixtureOfExpertsRegressor(BayesianRidge(), split=split, random_state=0)
        ours, base = best_pair(partial(m.fit, X, y), partial(fit_numpy, X, y, split), 7 * args.repeats)
        row(f"fit, split={split}, {n:,} rows", ours, base, ">= 1x")


if __name__ == "__main__":
    main()
