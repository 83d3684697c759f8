"""gaussian_augment: duv, its floor and a plain NumPy statement of the same steps.

Run as `python benchmarks/bench_gaussian.py [--scale N]` (see harness.py). The floor is `check_X_y`,
`check_random_state`, the draws (`randint` for the copied rows, `normal` for the noise of X and of y, `permutation`
for the shuffle; relative noise is drawn as standard normals, `normal(0, 1.0, shape)`, which the package scales) and
the output rows gathered once by NumPy (`X[rows]`, `y[rows]`): the noisy rows are written once in any case. The
peak memory is compared with the outputs plus the normal draws that RandomState returns.
"""

import numpy as np
from sklearn.utils.validation import check_random_state, check_X_y

import harness
from duv.augmentation import gaussian_augment

M, FACTOR = 16, 10.0


def numpy_gaussian_augment(X, y, factor=10.0, X_std=None, y_std=None, rel_std=False, shuffle=True, random_state=None):
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


def floor(X, y, factor=10.0, X_std=None, y_std=None, rel_std=False, random_state=None, rows=None):
    y_numeric = y_std is not None and float(y_std) > 0.0
    X, y = check_X_y(X, y, multi_output=True, y_numeric=y_numeric)
    y = y.reshape(-1, 1)
    n = X.shape[0]
    rng = check_random_state(random_state)
    n_target = max(1, int(round(n * float(factor))))
    rng.randint(0, n, size=n_target - n)
    if X_std:
        rng.normal(0, 1.0 if rel_std else X_std, (n_target - n, X.shape[1]))
    if y_std:
        rng.normal(0, 1.0 if rel_std else y_std, (n_target - n, 1))
    rng.permutation(n_target)
    return X[rows], y[rows]


def output_rows(n, n_target, kw):
    """The output's source rows, from a replay of the draws."""
    rng = np.random.RandomState(0)
    indices = rng.randint(0, n, size=n_target - n)
    if kw.get("X_std"):
        rng.normal(0, 1.0, (n_target - n, M))
    if kw.get("y_std"):
        rng.normal(0, 1.0, (n_target - n, 1))
    return np.concatenate([np.arange(n), indices])[rng.permutation(n_target)]


def case(n, kw):
    rng = np.random.RandomState(0)
    X = rng.standard_normal((n, M))
    y = X @ rng.rand(M)
    kwargs = dict(kw, factor=FACTOR)
    n_target = int(round(n * FACTOR))
    rows = output_rows(n, n_target, kw)

    def check(with_baseline):
        a, b = np.random.RandomState(0), np.random.RandomState(0)
        gaussian_augment(X, y, random_state=a, **kwargs)
        floor(X, y, random_state=b, rows=rows, **kwargs)
        assert harness.same_draws(a, b), "the floor's draws are not the package's"
        if with_baseline:
            for u, v in zip(
                gaussian_augment(X, y, random_state=0, **kwargs),
                numpy_gaussian_augment(X, y, random_state=0, **kwargs),
                strict=True,
            ):
                assert (u is None and v is None) or (u.dtype == v.dtype and u.tobytes() == v.tobytes())

    new = n_target - n
    outputs = n_target * (M + 1) * 8
    draws = new * M * 8 * ("X_std" in kw) + new * 8 * ("y_std" in kw) + new * 8 + n_target * 8
    return harness.Case(
        package=lambda: gaussian_augment(X, y, random_state=0, **kwargs),
        floor=lambda: floor(X, y, random_state=0, rows=rows, **kwargs),
        baseline=lambda: numpy_gaussian_augment(X, y, random_state=0, **kwargs),
        goal=1.3,
        check=check,
        output_mib=(outputs + draws) / 2**20,
        memory_goal=1.02,
    )


def cases(scale):
    n = harness.scaled(20_000, scale)
    return [
        (f"{n}x{M} factor 10, X_std and y_std", lambda: case(n, dict(X_std=0.1, y_std=0.1))),
        (f"{n}x{M} factor 10, relative X_std and y_std", lambda: case(n, dict(X_std=0.1, y_std=0.1, rel_std=True))),
        (f"{n}x{M} factor 10, X_std only", lambda: case(n, dict(X_std=0.1))),
    ]


if __name__ == "__main__":
    raise SystemExit(harness.main(__file__, cases, __doc__.splitlines()[0], repeats=9))
