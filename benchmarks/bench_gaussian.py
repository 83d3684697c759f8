"""gaussian_augment: duv against a plain NumPy statement of the same steps.

Run as `python benchmarks/bench_gaussian.py [repeats]`. Prints, per case, the best-of-N time of
both sides (CPU time of this single-threaded process, which load from other processes disturbs
less than wall time; wall time alongside) and the ratio baseline / duv (above 1 means duv is
faster), then the peak memory each side adds (measured in a fresh child process) next to the
outputs plus the normal draws RandomState returns. Both sides produce the same arrays bit for
bit; the script checks that first.
"""

import multiprocessing as mp
import os
import sys
import time

import numpy as np
from sklearn.utils.validation import check_random_state, check_X_y

from duv.augmentation import gaussian_augment


def numpy_gaussian_augment(X, y, factor=10.0, X_std=None, y_std=None, rel_std=False, shuffle=True,
                           random_state=None):
    """The documented grow road in passthrough mode, without weights."""
    X, y = check_X_y(X, y, multi_output=True, y_numeric=(y_std is not None and float(y_std) > 0.0))
    y_was_1d = y.ndim == 1
    if y_was_1d:
        y = y.reshape(-1, 1)
    n = X.shape[0]
    rng = check_random_state(random_state)
    n_target = max(1, int(round(n * float(factor))))
    indices = rng.randint(0, n, size=n_target - n)
    X_aug, y_aug = X[indices].copy(), y[indices].copy()
    if X_std is not None and X_std > 0:
        noise_std = np.abs(X_aug * X_std) if rel_std else X_std
        X_aug = X_aug.astype(np.float64)
        X_aug += rng.normal(0, noise_std, X_aug.shape)
    if y_std is not None and y_std > 0:
        noise_std = np.abs(y_aug * y_std) if rel_std else y_std
        y_aug = y_aug.astype(np.float64)
        y_aug += rng.normal(0, noise_std, y_aug.shape)
    X_c, y_c = np.vstack([X, X_aug]), np.vstack([y, y_aug])
    if shuffle:
        perm = rng.permutation(len(X_c))
        X_c, y_c = X_c[perm], y_c[perm]
    return X_c, y_c.reshape(-1) if y_was_1d else y_c, None


N, M, FACTOR = 20_000, 16, 10.0
CASES = {
    # name: keyword arguments, speed goal
    "20000x16 factor 10, X_std and y_std": (dict(X_std=0.1, y_std=0.1), 1.0),
    "20000x16 factor 10, relative X_std and y_std": (dict(X_std=0.1, y_std=0.1, rel_std=True), 1.0),
    "20000x16 factor 10, X_std only": (dict(X_std=0.1), 1.0),
}


def data(seed=0):
    rng = np.random.RandomState(seed)
    X = rng.standard_normal((N, M))
    return X, X @ rng.rand(M)


def runners(name):
    kwargs = dict(CASES[name][0], factor=FACTOR, random_state=0)
    X, y = data()
    return (lambda: gaussian_augment(X, y, **kwargs)), (lambda: numpy_gaussian_augment(X, y, **kwargs))


def best_of(ours, baseline, repeat, block=3):
    """Best CPU and wall times of both sides, in alternating blocks of calls (alternation lets
    load from elsewhere hit both alike; blocks let each side run in its own steady state)."""
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
    os.environ["MALLOC_MMAP_THRESHOLD_"] = "131072"
    ctx = mp.get_context("spawn")
    queue = ctx.Queue()
    proc = ctx.Process(target=_peak_child, args=(name, side, queue))
    proc.start()
    result = queue.get()
    proc.join()
    return result


def bound_mib(name):
    """Outputs plus the draws: X and y of the grown set, the normal draws for X (and y), the
    source rows and the permutation."""
    kwargs = CASES[name][0]
    total = int(round(N * FACTOR))
    new = total - N
    outputs = total * (M + 1) * 8
    draws = new * M * 8 * ("X_std" in kwargs) + new * 8 * ("y_std" in kwargs) + new * 8 + total * 8
    return (outputs + draws) / 2**20


def main():
    repeat = int(sys.argv[1]) if len(sys.argv) > 1 else 9
    ok = True
    print(f"{'case':46s} {'duv s':>7s} {'numpy s':>8s} {'ratio':>6s} {'goal':>5s} {'wall ratio':>10s}")
    for name, (_, goal) in CASES.items():
        ours, baseline = runners(name)
        for a, b in zip(ours(), baseline()):
            assert (a is None and b is None) or (a.dtype == b.dtype and a.tobytes() == b.tobytes()), name
        t = best_of(ours, baseline, repeat)
        ratio = t["base"][0] / t["ours"][0]
        ok &= ratio >= goal
        print(f"{name:46s} {t['ours'][0]:7.4f} {t['base'][0]:8.4f} {ratio:6.2f} {goal:>5} "
              f"{t['base'][1] / t['ours'][1]:10.2f}")
    print()
    print(f"{'case (peak memory added by one call)':46s} {'duv MiB':>7s} {'numpy MiB':>9s} {'outputs+draws':>14s}")
    for name in CASES:
        duv_peak = peak_extra_mib(name, "duv")
        ok &= duv_peak <= bound_mib(name) * 1.02
        print(f"{name:46s} {duv_peak:7.1f} {peak_extra_mib(name, 'numpy'):9.1f} {bound_mib(name):14.1f}")
    print("\nall goals met" if ok else "\nsome goal missed")


if __name__ == "__main__":
    main()
