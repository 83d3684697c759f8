"""LogarithmScaler: duv, its floor and the NumPy expression of the same steps.

Run as `python benchmarks/bench_logarithm_scaler.py [--scale N]` (see harness.py); scale 1 is 100,000 x 8 float64,
scale 10 the 1,000,000 x 8 of the goal: transform in modes "log1p" and "log10" at least 1.3x faster than NumPy
where a sign or a bound adds a pass, with no temporary larger than one output array.

The floor is `check_is_fitted`, `check_array` and NumPy's own function over the values it maps (`np.log1p(Z)`,
`np.log10(Z)` of the signed and bounded values Z; `np.expm1(X)`, `np.power(10.0, X)`), which writes a fresh output
as the package does; the sign and the bound are the package's own work. The baseline
runs the documented steps one NumPy call at a time (input check, sign, clip, logarithm; exponential, sign). Where a
configuration has no pass besides NumPy's own function (no bound and no sign for transform, no sign for
inverse_transform), the baseline is the floor and the expected ratio is 1.0.
"""

import numpy as np
from sklearn.utils.validation import check_array, check_is_fitted

import harness
from duv.preprocessing import LogarithmScaler

M = 8
FORWARD = {"log10": np.log10, "log": np.log, "log1p": np.log1p}
INVERSE = {"log10": lambda X: np.power(10.0, X), "log": np.exp, "log1p": np.expm1}


def numpy_transform(s, X):
    X = check_array(X, ensure_2d=True, dtype=float, ensure_all_finite=False)
    if X.shape[1] != s.n_features_in_:
        raise ValueError("feature count")
    Z = -X if s.inverted else X
    lb = s._lower_bound()
    f = FORWARD[s.mode]
    return f(Z) if lb is None else f(np.clip(Z, lb, None))


def numpy_inverse(s, X):
    X = check_array(X, ensure_2d=True, dtype=float, ensure_all_finite=False)
    if X.shape[1] != s.n_features_in_:
        raise ValueError("feature count")
    Z = INVERSE[s.mode](X)
    return -Z if s.inverted else Z


def floor(s, X, f):
    check_is_fitted(s, attributes=["n_features_in_"])
    X = check_array(X, ensure_2d=True, dtype=float, ensure_all_finite=False)
    return f(X)


CONFIGS = [
    ("log1p", dict(eps=0.1, inverted=True)),
    ("log1p", dict(eps=0.1)),
    ("log1p", {}),
    ("log1p", dict(inverted=True)),
    ("log10", dict(vmin=1e-3, inverted=True)),
    ("log10", dict(vmin=1e-3)),
    ("log10", {}),
    ("log10", dict(inverted=True)),
]


def case(n, mode, kw, inverse):
    positive = np.random.default_rng(0).lognormal(sigma=2.0, size=(n, M))
    s = LogarithmScaler(mode, **kw).fit(positive[:2])
    X = -positive if s.inverted else positive
    if inverse:
        Y = s.transform(X)
        ours, theirs, f = (lambda: s.inverse_transform(Y)), (lambda: numpy_inverse(s, Y)), INVERSE[mode]
        fl = lambda: floor(s, Y, f)  # noqa: E731
    else:
        ours, theirs, f = (lambda: s.transform(X)), (lambda: numpy_transform(s, X)), FORWARD[mode]
        lb = s._lower_bound()
        Z = (-X if s.inverted else X) if lb is None else np.clip(-X if s.inverted else X, lb, None)
        fl = lambda: floor(s, Z, f)  # noqa: E731

    def check(with_baseline):
        assert np.array_equal(ours().view(np.uint64), theirs().view(np.uint64))

    # A sign or a bound is a pass of the package's own, fused into NumPy's: within 1.35x of the floor then, else 1.1x.
    # Against the baseline, 1.3x where its passes are an inverse_transform's sign after the costly np.power or
    # np.expm1 cannot be reached: the sign is a small part of the baseline there.
    sign_or_bound = kw.get("inverted") or (not inverse and (kw.get("eps") or kw.get("vmin")))
    return harness.Case(
        package=ours,
        floor=fl,
        baseline=theirs,
        goal=1.35 if sign_or_bound else 1.1,
        baseline_goal=1.3 if sign_or_bound and not inverse else None,
        check=check,
        output_mib=X.nbytes / 2**20 if not kw else None,
        memory_goal=1.05,
    )


def cases(scale):
    n = harness.scaled(100_000, scale)
    out = []
    for mode, kw in CONFIGS:
        text = ", ".join(f"{k}={v}" for k, v in kw.items()) or "defaults"
        for inverse in (False, True):
            name = f"{mode} {text} {'inverse_transform' if inverse else 'transform'}"
            out.append((name, lambda mode=mode, kw=kw, inverse=inverse: case(n, mode, kw, inverse)))
    return out


if __name__ == "__main__":
    raise SystemExit(harness.main(__file__, cases, __doc__.splitlines()[0], repeats=15))
