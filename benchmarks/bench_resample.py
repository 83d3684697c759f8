"""resample_augment: duv, its floor and a plain NumPy statement of the same steps.

Run as `python benchmarks/bench_resample.py [--scale N]` (see harness.py). The floor is the parameter validation,
`check_X_y`, `check_random_state`, the draws (`rng.choice(n, size=n_target, replace=..., p=None)`, then
`rng.permutation(n_target)`) and the output rows gathered once by NumPy (`X[rows]`, `y[rows]`).
"""

import numpy as np
from sklearn.utils.validation import check_random_state, check_X_y

import harness
from duv.augmentation import resample_augment

M = 10


def numpy_resample(X, y, factor=10.0, shuffle=True, random_state=None):
    """The documented steps without weights."""
    X, y = check_X_y(X, y, multi_output=True)
    n = X.shape[0]
    rng = check_random_state(random_state)
    n_target = int(round(n * float(factor)))
    if factor < 1.0:
        n_target = max(1, n_target)
    indices = rng.choice(n, size=n_target, replace=n_target > n, p=None)
    X_res, y_res = X[indices], y[indices]
    if shuffle:
        order = rng.permutation(n_target)
        X_res, y_res = X_res[order], y_res[order]
    return X_res, y_res, None


def make_floor(n, factor):
    n_target = max(1, int(round(n * factor)))
    rng = np.random.RandomState(0)
    rows = rng.choice(n, size=n_target, replace=n_target > n)[rng.permutation(n_target)]

    def body(X, y, *, factor=10.0, random_state=None, **_):
        X, y = check_X_y(X, y, multi_output=True)
        rng = check_random_state(random_state)
        rng.choice(X.shape[0], size=n_target, replace=n_target > X.shape[0], p=None)
        rng.permutation(n_target)
        return X[rows], y[rows]

    return harness.validated_like(resample_augment, body), n_target


def case(n, factor):
    rng = np.random.RandomState(0)
    X = rng.standard_normal((n, M))
    y = X @ rng.rand(M)
    floor, n_target = make_floor(n, factor)

    def check(with_baseline):
        a, b = np.random.RandomState(0), np.random.RandomState(0)
        ours = resample_augment(X, y, factor=factor, random_state=a)
        theirs = floor(X, y, factor=factor, random_state=b)
        assert harness.same_draws(a, b), "the floor's draws are not the package's"
        assert all(u.tobytes() == v.tobytes() for u, v in zip(ours[:2], theirs, strict=True))  # the floor makes X and y
        if with_baseline:
            for u, v in zip(ours, numpy_resample(X, y, factor=factor, random_state=0), strict=True):
                assert (u is None and v is None) or (u.dtype == v.dtype and u.tobytes() == v.tobytes())

    return harness.Case(
        package=lambda: resample_augment(X, y, factor=factor, random_state=0),
        floor=lambda: floor(X, y, factor=factor, random_state=0),
        baseline=lambda: numpy_resample(X, y, factor=factor, random_state=0),
        goal=1.3,
        check=check,
        output_mib=n_target * (M + 1) * 8 / 2**20,
        memory_goal=1.1,
    )


def cases(scale):
    n = harness.scaled(100_000, scale)
    return [
        (f"{n}x{M} factor 2 (bootstrap)", lambda: case(n, 2.0)),
        (f"{n}x{M} factor 0.5 (without replacement)", lambda: case(n, 0.5)),
    ]


if __name__ == "__main__":
    raise SystemExit(harness.main(__file__, cases, __doc__.splitlines()[0], repeats=9))
