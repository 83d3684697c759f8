"""histogram_augment: duv, its floor and a plain NumPy statement of the same steps.

Run as `python benchmarks/bench_histogram.py [--scale N]` (see harness.py). The floor is the parameter validation,
`check_array`, `np.asarray(y)`, `_num_samples`, `check_random_state`, NumPy's bin edges of every histogrammed column
(`np.histogram_bin_edges(values, bins)`: the edges must be NumPy's), the geometric mean's `np.exp`, the weights' sum
and division into probabilities, the draws (`rng.choice(np.arange(n), size, replace=True, p=p)`, then
`rng.shuffle` of `np.arange(n_target)`) and the output rows gathered once by NumPy (`X[rows]`, `y[rows]`).
"""

import numpy as np
from sklearn.utils.validation import _num_samples, check_array, check_random_state

import harness
from duv.augmentation import histogram_augment


def numpy_column(values, bins, smoothing_coeff):
    hist, bin_edges = np.histogram(values, bins=bins)
    if len(hist) == 0:
        return np.ones(values.shape[0], dtype=float)
    bin_idx = np.clip(np.searchsorted(bin_edges, values, side="right") - 1, 0, len(hist) - 1)
    return (1.0 / (hist.astype(float) + float(smoothing_coeff)))[bin_idx]


def numpy_vectors(X, y_arr, target, n_bins="auto", smoothing_coeff=1.0):
    vectors = []
    if target in ("x", "xy"):
        vectors += [numpy_column(X[:, j], n_bins, smoothing_coeff) for j in range(X.shape[1])]
    if target in ("y", "xy"):
        vectors.append(numpy_column(y_arr, n_bins, smoothing_coeff))
    return np.vstack(vectors)


def numpy_histogram_augment(
    X, y, n_bins="auto", random_state=None, factor=10.0, shuffle=True, smoothing_coeff=1.0, target="y", agg="geometric"
):
    """The documented passthrough up-sampling road, without weights."""
    X = check_array(X, accept_sparse=False, ensure_2d=True)
    y_arr = np.asarray(y)
    n = _num_samples(X)
    n_target = max(1, int(round(n * float(factor))))
    rng = check_random_state(random_state)
    W = numpy_vectors(X, y_arr, target, n_bins, smoothing_coeff)
    aggregated = np.max(W, axis=0) if agg == "max" else np.exp(np.mean(np.log(np.maximum(W, 1e-12)), axis=0))
    p = aggregated / float(np.sum(aggregated))
    extra = rng.choice(np.arange(n), size=n_target - n, replace=True, p=p)
    X_c = np.vstack([X, X[extra]])
    y_c = np.concatenate([y_arr, y_arr[extra]])
    if shuffle:
        order = np.arange(len(y_c))
        rng.shuffle(order)
        X_c, y_c = X_c[order], y_c[order]
    return X_c, y_c, None


def make_floor(X, y, target, agg, factor):
    """The validated floor, with what only the package computes (the per-row weights) worked out beforehand."""
    W = numpy_vectors(X, y, target)
    before_exp = np.mean(np.log(np.maximum(W, 1e-12)), axis=0) if agg == "geometric" else np.max(W, axis=0)
    n = len(X)
    n_target = int(round(n * factor))
    aggregated = np.exp(before_exp) if agg == "geometric" else before_exp
    rng = np.random.RandomState(0)
    extra = rng.choice(np.arange(n), size=n_target - n, replace=True, p=aggregated / float(np.sum(aggregated)))
    order = np.arange(n_target)
    rng.shuffle(order)
    rows = np.concatenate([np.arange(n), extra])[order]

    def body(X, y, *, random_state=None, factor=10.0, target="y", agg="geometric", **_):
        X = check_array(X, accept_sparse=False, ensure_2d=True)
        y_arr = np.asarray(y)
        n = _num_samples(X)
        rng = check_random_state(random_state)
        columns = [X[:, j] for j in range(X.shape[1])] if target in ("x", "xy") else []
        for values in columns + ([y_arr] if target in ("y", "xy") else []):
            np.histogram_bin_edges(values, bins="auto")
        weights = np.exp(before_exp) if agg == "geometric" else before_exp
        p = weights / float(np.sum(weights))
        rng.choice(np.arange(n), size=n_target - n, replace=True, p=p)
        rng.shuffle(np.arange(n_target))
        return X[rows], y_arr[rows]

    return harness.validated_like(histogram_augment, body), n_target


def data(n, m=10, seed=0):
    rng = np.random.RandomState(seed)
    X = rng.standard_normal((n, m))
    y = np.exp(1.5 * X[:, 0] + rng.standard_normal(n))  # log-normal: a long right tail
    return X, y


def case(n, target, agg):
    X, y = data(n)
    kw = dict(factor=2.0, target=target, agg=agg)
    floor, n_target = make_floor(X, y, target, agg, 2.0)

    def check(with_baseline):
        a, b = np.random.RandomState(0), np.random.RandomState(0)
        ours = histogram_augment(X, y, random_state=a, **kw)
        theirs = floor(X, y, random_state=b, **kw)
        assert harness.same_draws(a, b), "the floor's draws are not the package's"
        assert all(u.tobytes() == v.tobytes() for u, v in zip(ours[:2], theirs, strict=True))  # the floor makes X and y
        if with_baseline:
            for u, v in zip(ours, numpy_histogram_augment(X, y, random_state=0, **kw), strict=True):
                assert (u is None and v is None) or (u.dtype == v.dtype and u.tobytes() == v.tobytes())

    return harness.Case(
        package=lambda: histogram_augment(X, y, random_state=0, **kw),
        floor=lambda: floor(X, y, random_state=0, **kw),
        baseline=lambda: numpy_histogram_augment(X, y, random_state=0, **kw),
        goal=1.3,
        check=check,
        output_mib=n_target * 11 * 8 / 2**20,
    )


def cases(scale):
    n = harness.scaled(100_000, scale)
    return [
        (f"{n}x10 factor 2, target {t}, {a}", lambda t=t, a=a: case(n, t, a))
        for t in ("xy", "y")
        for a in ("geometric", "max")
    ]


if __name__ == "__main__":
    raise SystemExit(harness.main(__file__, cases, __doc__.splitlines()[0], repeats=9))
