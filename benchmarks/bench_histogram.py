"""histogram_augment: duv against a plain NumPy statement of the same steps.

Run as `python benchmarks/bench_histogram.py [repeats]`. Prints, per case, the best-of-N time of
both sides (CPU time of this single-threaded process, which load from other processes disturbs
less than wall time; wall time alongside) and the ratio baseline / duv (above 1 means duv is
faster), then the peak memory each side adds (measured in a fresh child process) next to the
size of the outputs. Both sides produce the same arrays bit for bit; the script checks that first.
"""

import multiprocessing as mp
import sys
import time

import numpy as np
from sklearn.utils.validation import _num_samples, check_array, check_random_state

from duv.augmentation import histogram_augment


def numpy_column(values, bins, smoothing_coeff):
    hist, bin_edges = np.histogram(values, bins=bins)
    if len(hist) == 0:
        return np.ones(values.shape[0], dtype=float)
    bin_idx = np.clip(np.searchsorted(bin_edges, values, side="right") - 1, 0, len(hist) - 1)
    return (1.0 / (hist.astype(float) + float(smoothing_coeff)))[bin_idx]


def numpy_histogram_augment(X, y, n_bins="auto", random_state=None, factor=10.0, shuffle=True, smoothing_coeff=1.0,
                            target="y", agg="geometric"):
    """The documented passthrough up-sampling road, without weights."""
    X = check_array(X, accept_sparse=False, ensure_2d=True)
    y_arr = np.asarray(y)
    n = _num_samples(X)
    n_target = max(1, int(round(n * float(factor))))
    rng = check_random_state(random_state)
    vectors = []
    if target in ("x", "xy"):
        vectors += [numpy_column(X[:, j], n_bins, smoothing_coeff) for j in range(X.shape[1])]
    if target in ("y", "xy"):
        vectors.append(numpy_column(y_arr, n_bins, smoothing_coeff))
    W = np.vstack(vectors)
    if agg == "max":
        aggregated = np.max(W, axis=0)
    else:
        aggregated = np.exp(np.mean(np.log(np.maximum(W, 1e-12)), axis=0))
    p = aggregated / float(np.sum(aggregated))
    extra = rng.choice(np.arange(n), size=n_target - n, replace=True, p=p)
    X_c = np.vstack([X, X[extra]])
    y_c = np.concatenate([y_arr, y_arr[extra]])
    if shuffle:
        order = np.arange(len(y_c))
        rng.shuffle(order)
        X_c, y_c = X_c[order], y_c[order]
    return X_c, y_c, None


CASES = {
    # name: (target, agg, speed goal)
    "100000x10 factor 2, target xy, geometric": ("xy", "geometric", 2.0),
    "100000x10 factor 2, target xy, max": ("xy", "max", 2.0),
    "100000x10 factor 2, target y, geometric": ("y", "geometric", 2.0),
    "100000x10 factor 2, target y, max": ("y", "max", 2.0),
}


def data(n=100_000, m=10, seed=0):
    rng = np.random.RandomState(seed)
    X = rng.standard_normal((n, m))
    y = np.exp(1.5 * X[:, 0] + rng.standard_normal(n))  # log-normal: a long right tail
    return X, y


def runners(name):
    target, agg, _ = CASES[name]
    X, y = data()
    kwargs = dict(factor=2.0, random_state=0, target=target, agg=agg)
    return (lambda: histogram_augment(X, y, **kwargs)), (lambda: numpy_histogram_augment(X, y, **kwargs))


def best_of(ours, baseline, repeat, block=5):
    """Best CPU and wall times of both sides, in alternating blocks of calls: alternation lets
    load from elsewhere hit both alike, and blocks let each side run in its own steady state
    (a single call right after the baseline's finds memory laid out by the baseline's frees)."""
    times = {"ours": ([], []), "base": ([], [])}
    for _ in range(max(1, repeat // block)):
        for fn, side in ((ours, "ours"), (baseline, "base")):
            for _ in range(block):
                c0, w0 = time.process_time(), time.perf_counter()
                fn()
                times[side][0].append(time.process_time() - c0)
                times[side][1].append(time.perf_counter() - w0)
    return {side: (min(cpu), min(wall)) for side, (cpu, wall) in times.items()}


def _rss_kib(field):
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith(field):
                return int(line.split()[1])
    raise RuntimeError(field)


def _peak_child(name, side, queue):
    ours, baseline = runners(name)
    fn = ours if side == "duv" else baseline
    fn()
    with open("/proc/self/clear_refs", "w") as fh:
        fh.write("5")  # resets the peak-RSS mark
    before = _rss_kib("VmRSS:")
    result = fn()
    queue.put((_rss_kib("VmHWM:") - before) / 1024.0)
    del result


def peak_extra_mib(name, side):
    # A fresh interpreter whose malloc maps every large block on its own, so that freed
    # arrays leave the resident set at once.
    import os

    os.environ["MALLOC_MMAP_THRESHOLD_"] = "131072"
    ctx = mp.get_context("spawn")
    queue = ctx.Queue()
    proc = ctx.Process(target=_peak_child, args=(name, side, queue))
    proc.start()
    result = queue.get()
    proc.join()
    return result


def main():
    repeat = int(sys.argv[1]) if len(sys.argv) > 1 else 15
    ok = True
    print(f"{'case':44s} {'duv s':>7s} {'numpy s':>8s} {'ratio':>6s} {'goal':>5s} {'wall ratio':>10s}")
    for name, (*_, goal) in CASES.items():
        ours, baseline = runners(name)
        for a, b in zip(ours(), baseline()):
            assert (a is None and b is None) or (a.dtype == b.dtype and a.tobytes() == b.tobytes()), name
        t = best_of(ours, baseline, repeat)
        ratio = t["base"][0] / t["ours"][0]
        ok &= ratio >= goal
        print(f"{name:44s} {t['ours'][0]:7.4f} {t['base'][0]:8.4f} {ratio:6.2f} {goal:>5} "
              f"{t['base'][1] / t['ours'][1]:10.2f}")
    print()
    out_mib = (200_000 * 10 * 8 + 200_000 * 8) / 2**20
    print(f"{'case (peak memory added by one call)':44s} {'duv MiB':>7s} {'numpy MiB':>9s} {'outputs':>8s}")
    for name in CASES:
        print(f"{name:44s} {peak_extra_mib(name, 'duv'):7.1f} {peak_extra_mib(name, 'numpy'):9.1f} {out_mib:8.1f}")
    print("\nall speed goals met" if ok else "\nsome speed goal missed")


if __name__ == "__main__":
    main()
