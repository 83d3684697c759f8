"""SMOTE generation: duv against a plain NumPy / scikit-learn statement of the same steps.

Run as `python benchmarks/bench_smote.py [repeats]`. Prints, per case, the best-of-N wall
time of both sides and the ratio baseline / duv (above 1 means duv is faster), then the
peak memory each side adds (measured in a fresh child process) next to the size of the
output arrays plus the neighbour matrix. Rows marked "search replayed" answer the
NearestNeighbors call from a cache on both sides, to show the generation's own speed.
"""

import multiprocessing as mp
import os
import sys
import time

import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin, clone
from sklearn.neighbors import NearestNeighbors
from sklearn.utils.validation import check_array, check_random_state, check_X_y

from duv.augmentation import SMOTEAugmentedClassifier, smote_augment


class Cheap(ClassifierMixin, BaseEstimator):
    """An inner estimator whose fit costs nothing, so the generation is what is measured."""

    def fit(self, X, y, sample_weight=None):
        self.n_rows_ = len(X)
        return self

    def predict(self, X):
        return np.zeros(len(X))


def numpy_smote(X, y, factor=10.0, k_neighbors=5, random_state=None, shuffle=True):
    X = check_array(X, accept_sparse=False, ensure_2d=True)
    y = check_array(y, ensure_2d=False)
    y_was_1d = y.ndim == 1
    if y_was_1d:
        y = y.reshape(-1, 1)
    n = X.shape[0]
    n_syn = int(round(n * (factor - 1.0)))
    k = min(k_neighbors, n - 1)
    rs = check_random_state(random_state)
    nn = NearestNeighbors(n_neighbors=k + 1, metric="minkowski").fit(X)
    nbr = nn.kneighbors(X)[1][:, 1:]
    sel = rs.randint(0, n, size=n_syn)
    ch = nbr[sel, rs.randint(0, k, size=n_syn)]
    base_X, neigh_X, base_y, neigh_y = X[sel], X[ch], y[sel], y[ch]
    alpha = rs.rand(n_syn)
    Xs = base_X + alpha[:, np.newaxis] * (neigh_X - base_X)
    ys = base_y + alpha[:, np.newaxis] * (neigh_y - base_y)
    Xa, ya = np.vstack([X, Xs]), np.vstack([y, ys])
    if shuffle:
        p = rs.permutation(ya.shape[0])
        Xa, ya = Xa[p], ya[p]
    return Xa, ya.reshape(-1) if y_was_1d else ya, None


def numpy_classifier_fit(estimator, X, y, factor=2.0, k_neighbors=5, random_state=None, shuffle=True):
    X, y = check_X_y(X, y, multi_output=False)
    rng = check_random_state(random_state)
    n = X.shape[0]
    y_arr = np.asarray(y)
    classes = np.unique(y_arr)
    total = int(round(n * (factor - 1.0)))
    counts = {c: int(np.sum(y_arr == c)) for c in classes}
    per = {c: max(0, int(round(total * (cnt / float(n))))) for c, cnt in counts.items()}
    delta = total - sum(per.values())
    if delta:
        rem = {c: total * (cnt / float(n)) - per[c] for c, cnt in counts.items()}
        order = sorted(classes, key=lambda c: rem[c], reverse=True)
        for i in range(abs(delta)):
            per[order[i % len(order)]] += 1 if delta > 0 else -1
    xs, ys = [], []
    for c in classes:
        Xc = X[y_arr == c]
        k = min(k_neighbors, Xc.shape[0] - 1)
        nbr = NearestNeighbors(n_neighbors=k + 1).fit(Xc).kneighbors(Xc)[1][:, 1:]
        b = rng.randint(0, Xc.shape[0], size=per[c])
        q = nbr[b, rng.randint(0, k, size=per[c])]
        base_X, neigh_X = Xc[b], Xc[q]
        alpha = rng.rand(per[c])
        xs.append(base_X + alpha[:, np.newaxis] * (neigh_X - base_X))
        ys.append(np.full(per[c], c))
    Xs = np.vstack(xs)
    Xa, ya = np.vstack([X, Xs]), np.concatenate([y_arr, np.concatenate(ys)])
    if shuffle:
        p = rng.permutation(Xa.shape[0])
        Xa, ya = Xa[p], ya[p]
    return clone(estimator).fit(Xa, ya)


def data(n, m, n_classes=0, seed=0):
    rng = np.random.RandomState(seed)
    X = rng.rand(n, m)
    y = rng.randint(0, n_classes, n) if n_classes else X @ rng.rand(m) + 0.1 * rng.rand(n)
    return X, y


class ReplayedSearch:
    """Stands in for NearestNeighbors on both sides, answering from the real search's results,
    so that what is timed is the generation (draws included) and not the shared search."""

    cache = {}

    def __init__(self, n_neighbors=5, **params):
        self.n_neighbors = n_neighbors
        self.params = params

    def fit(self, X):
        self.key_ = (self.n_neighbors, X.shape, hash(X.tobytes()))
        if self.key_ not in self.cache:
            self.cache[self.key_] = _REAL_SEARCH(n_neighbors=self.n_neighbors, **self.params).fit(X).kneighbors(X)
        return self

    def kneighbors(self, X):
        return self.cache[self.key_]


CASES = {
    # name: (rows, features, classes (0: regression), factor, speed goal, search replayed)
    "smote_augment 50000x3 factor 20": (50_000, 3, 0, 20.0, 2.0, False),
    "smote_augment 50000x3 factor 20, search replayed": (50_000, 3, 0, 20.0, None, True),
    "classifier fit 50000x3, 3 classes, factor 20": (50_000, 3, 3, 20.0, 1.5, False),
    "classifier fit 50000x3, 3 classes, search replayed": (50_000, 3, 3, 20.0, None, True),
    "smote_augment 20000x16 factor 5": (20_000, 16, 0, 5.0, 1.0, False),
}


def runners(name):
    import duv.augmentation._smote_augmentation as duv_module

    n, m, n_classes, factor, _, replayed = CASES[name]
    search = ReplayedSearch if replayed else NearestNeighbors
    X, y = data(n, m, n_classes)

    def with_search(fn):
        def run():
            duv_module.NearestNeighbors = globals()["NearestNeighbors"] = search
            try:
                return fn()
            finally:
                duv_module.NearestNeighbors = globals()["NearestNeighbors"] = _REAL_SEARCH

        return run

    if n_classes:
        model = SMOTEAugmentedClassifier(Cheap(), factor=factor, random_state=0)
        return (with_search(lambda: model.fit(X, y)),
                with_search(lambda: numpy_classifier_fit(Cheap(), X, y, factor=factor, random_state=0)))
    return (with_search(lambda: smote_augment(X, y, factor=factor, random_state=0)),
            with_search(lambda: numpy_smote(X, y, factor=factor, random_state=0)))


_REAL_SEARCH = NearestNeighbors


def best_of(ours, baseline, repeat):
    """Best times of both sides, alternating so that load from elsewhere hits both alike."""
    t_ours, t_base = [], []
    for _ in range(repeat):
        for fn, times in ((ours, t_ours), (baseline, t_base)):
            t0 = time.perf_counter()
            fn()
            times.append(time.perf_counter() - t0)
    return min(t_ours), min(t_base)


def _rss_kib(field):
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith(field):
                return int(line.split()[1])
    raise RuntimeError(field)


def _peak_child(name, side, queue):
    ours, baseline = runners(name)
    fn = ours if side == "duv" else baseline
    fn()  # warm caches and lazy imports; the measured call below starts from the same state
    with open("/proc/self/clear_refs", "w") as fh:
        fh.write("5")  # resets the peak-RSS mark
    before = _rss_kib("VmRSS:")
    fn()
    queue.put((_rss_kib("VmHWM:") - before) / 1024.0)


def peak_extra_mib(name, side):
    # A fresh interpreter (forking after OpenMP has run can hang the child), whose malloc maps
    # every large block on its own, so that freed arrays leave the resident set at once.
    os.environ["MALLOC_MMAP_THRESHOLD_"] = "131072"
    ctx = mp.get_context("spawn")
    queue = ctx.Queue()
    proc = ctx.Process(target=_peak_child, args=(name, side, queue))
    proc.start()
    result = queue.get()
    proc.join()
    return result


def bound_mib(name):
    n, m, n_classes, factor, *_ = CASES[name]
    total = n + int(round(n * (factor - 1.0)))
    out = total * m * 8 + total * 8  # X and y (float64 for regression, int64 labels)
    neighbours = n * 6 * 8
    return (out + neighbours) / 2**20


def main():
    repeat = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    ok = True
    baseline_times = {}
    print(f"{'case':56s} {'duv s':>7s} {'numpy s':>8s} {'ratio':>6s} {'goal':>5s}")
    for name, (*_, goal, replayed) in CASES.items():
        ours, baseline = runners(name)
        ours(), baseline()
        t_ours, t_base = best_of(ours, baseline, repeat)
        baseline_times[name] = t_base
        ratio = t_base / t_ours
        if goal is not None:
            ok &= ratio >= goal
        print(f"{name:56s} {t_ours:7.3f} {t_base:8.3f} {ratio:6.2f} {'' if goal is None else goal:>5}")
    names = list(CASES)
    for full, replayed in zip(names, names[1:]):
        if CASES[replayed][5] and not CASES[full][5]:
            search = baseline_times[full] - baseline_times[replayed]
            print(f"  {full}: the shared search takes ~{search:.3f} s of the baseline's "
                  f"{baseline_times[full]:.3f} s, so no generation can exceed a ratio of "
                  f"{baseline_times[full] / search:.2f}")
    print()
    print(f"{'case (peak memory added by one call)':56s} {'duv MiB':>7s} {'numpy MiB':>9s} {'outputs+neighbours':>19s}")
    for name, case in CASES.items():
        if case[5]:
            continue
        print(f"{name:56s} {peak_extra_mib(name, 'duv'):7.1f} {peak_extra_mib(name, 'numpy'):9.1f} "
              f"{bound_mib(name):19.1f}")
    print("\nall speed goals met" if ok else "\nsome speed goal missed")


if __name__ == "__main__":
    main()
