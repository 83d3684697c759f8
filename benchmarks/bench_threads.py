"""Speed-up of 2 and 4 threads over serial calls of the large-input kernels, in the same run.

Run as `python benchmarks/bench_threads.py [--repeats N]` (see harness.py). The same 4 calls run one after the
other in one thread (the baseline), split over 2 threads, and one per thread over 4 threads; the ratios are
baseline time / threaded time, so the number of cores is the ceiling. Native thread pools are limited to one
thread so that only these threads run in parallel.

The last column is the share of a call's time during which another Python thread could run: a thread spins on
the GIL while the call runs, and its progress is compared with its progress when nothing else runs (1.0 when
the GIL is released for the whole call, lower the longer it is held). Two reference rows calibrate it: a
NumPy sort, which releases the GIL, and a builtin sum, which holds it.
"""

import sys
import threading
import time

import numpy as np
from threadpoolctl import threadpool_limits

import duv.augmentation as A
import duv.metrics as M
import duv.preprocessing as P
import harness

CALLS = 4
REPEAT = 3

rng = np.random.default_rng(0)
Y_TRUE = rng.uniform(0.5, 50.0, (1_000_000, 4))
Y_PRED = Y_TRUE * rng.uniform(0.8, 1.2, Y_TRUE.shape)
X_SMOTE = rng.normal(size=(5_000, 8))
Y_SMOTE = X_SMOTE @ rng.normal(size=8)
X_HIST = rng.lognormal(size=(400_000, 4))
Y_HIST = rng.lognormal(size=400_000)
SCALER = P.LogarithmScaler("log1p").fit(Y_TRUE)

SORTED = rng.uniform(size=2_000_000)
REFERENCES = [
    ("reference: numpy.sort (2e6), GIL released", lambda: np.sort(SORTED)),
    ("reference: sum(range(2e6)), GIL held", lambda: sum(range(2_000_000))),
]
KERNELS = [
    ("mean_squared_log_error (1e6, 4)", lambda: M.mean_squared_log_error(Y_TRUE, Y_PRED)),
    ("log10_r2_score (1e6, 4)", lambda: M.log10_r2_score(Y_TRUE, Y_PRED)),
    ("fraction_of_variance_unexplained (1e6, 4)", lambda: M.fraction_of_variance_unexplained(Y_TRUE, Y_PRED)),
    ("smote_augment (5000, 8) x3", lambda: A.smote_augment(X_SMOTE, Y_SMOTE, factor=3.0, random_state=0)),
    (
        "histogram_augment (4e5, 4) Xy x2",
        lambda: A.histogram_augment(X_HIST, Y_HIST, factor=2.0, target="Xy", random_state=0),
    ),
    ("gaussian_augment (4e5, 4) x2", lambda: A.gaussian_augment(X_HIST, Y_HIST, factor=2.0, X_std=0.1, random_state=0)),
    ("LogarithmScaler.transform (1e6, 4)", lambda: SCALER.transform(Y_TRUE)),
    ("LogarithmScaler.inverse_transform (1e6, 4)", lambda: SCALER.inverse_transform(Y_TRUE)),
]


def threaded(fn, threads):
    """Seconds for CALLS calls of fn spread evenly over `threads` threads started together."""
    barrier = threading.Barrier(threads + 1)

    def work():
        barrier.wait()
        for _ in range(CALLS // threads):
            fn()

    pool = [threading.Thread(target=work) for _ in range(threads)]
    for t in pool:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in pool:
        t.join()
    return time.perf_counter() - start


def best(fn, threads):
    return min(threaded(fn, threads) for _ in range(REPEAT))


def options():
    global REPEAT
    REPEAT = harness.options(__doc__.splitlines()[0], repeats=REPEAT).repeats


def spinner_rate(seconds, during=None):
    """Counter increments per second of a spinning Python thread, alone or while `during` runs."""
    stop = threading.Event()
    count = [0]

    def spin():
        n = 0
        while not stop.is_set():
            n += 1
        count[0] = n

    t = threading.Thread(target=spin)
    t.start()
    start = time.perf_counter()
    if during is None:
        time.sleep(seconds)
    else:
        while time.perf_counter() - start < seconds:
            during()
    elapsed = time.perf_counter() - start
    stop.set()
    t.join()
    return count[0] / elapsed


def main():
    options()
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(0.0005)
    with threadpool_limits(1):
        for _, fn in KERNELS:
            fn()  # warm-up
        idle = spinner_rate(0.5)
        print(f"{'kernel':44s} {'serial':>9s}  2 threads  4 threads  GIL free")
        for name, fn in REFERENCES + KERNELS:
            serial = best(fn, 1)
            two, four = best(fn, 2), best(fn, 4)
            free = spinner_rate(0.5, fn) / idle
            print(f"{name:44s} {serial / CALLS * 1e3:7.1f}ms  {serial / two:8.2f}x  {serial / four:8.2f}x  {free:7.2f}")
    sys.setswitchinterval(old_interval)
    return 0


if __name__ == "__main__":
    sys.exit(main())
