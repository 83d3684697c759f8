"""Cost of calling duv's function type, against the same Python function; and `import duv` time.

Run: python benchmarks/bench_binding.py [--repeats N] (see harness.py)
"""

import statistics
import subprocess
import sys
import timeit

from sklearn.linear_model import Ridge

import harness
from duv.augmentation import ResampleAugmentedRegressor


class PyInit:
    def __init__(
        self,
        estimator,
        factor=10.0,
        shuffle=True,
        random_state=None,
        sample_weight_mode="passthrough",
        store_augmented=False,
    ):
        self.estimator = estimator
        self.factor = factor
        self.shuffle = shuffle
        self.random_state = random_state
        self.sample_weight_mode = sample_weight_mode
        self.store_augmented = store_augmented

    def fit(self, X, y, sample_weight=None):
        return self


REPEATS = 7


def per_call(stmt, number=200_000, **ns):
    # timeit runs the statement inline: a harness loop would add a call of its own to calls of 100 ns.
    times = timeit.repeat(stmt, globals=ns, number=number, repeat=REPEATS)
    return min(times) / number * 1e9


def main():
    global REPEATS
    REPEATS = harness.options(__doc__.splitlines()[1], repeats=REPEATS).repeats
    est, ref, inner = ResampleAugmentedRegressor(Ridge()), PyInit(None), Ridge()
    # The unbound __init__ binds self plus five arguments (a sixth stays at its default).
    rows = [
        ("5 positional args", "f(o, e, 2.0, True, None, 'consume')"),
        (
            "5 keyword args",
            "f(o, estimator=e, factor=2.0, shuffle=True, random_state=None, sample_weight_mode='consume')",
        ),
        ("1 arg + 4 defaults", "f(o, e)"),
    ]
    print(f"{'call (plus 6 setattr in both)':40s} {'duv ns':>8s} {'python ns':>10s} {'ratio':>6s}")
    for label, stmt in rows:
        ours = per_call(stmt, f=ResampleAugmentedRegressor.__init__, o=est, e=inner)
        base = per_call(stmt, f=PyInit.__init__, o=ref, e=inner)
        print(f"{label:40s} {ours:8.0f} {base:10.0f} {base / ours:6.2f}")
    # A method looked up without being called at once (getattr, a stored bound method) is bound.
    ours, base = per_call("o.fit", o=est), per_call("o.fit", o=ref)
    print(f"{'bind a method (o.fit)':40s} {ours:8.0f} {base:10.0f} {base / ours:6.2f}")
    setattr_only = per_call("o.a=1;o.b=2;o.c=3;o.d=4;o.e=5;o.f=6", o=ref)
    print(f"{'six setattr alone':40s} {setattr_only:8.0f}")

    code = "import time; t=time.perf_counter(); import duv; print(time.perf_counter()-t)"
    samples = [
        float(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout)
        for _ in range(15)
    ]
    print(f"import duv: median {statistics.median(samples) * 1e3:.2f} ms (goal < 5 ms)")


if __name__ == "__main__":
    main()
