"""rare_target_augment: duv, its floor and a peer package's SMOTER on the same data.

Run as `python benchmarks/bench_rare_target.py [--scale N]` (see harness.py). The data are 8 normal features and a
log-normal target, `exp(X @ w + noise)` with `log(y)` standard normal. The floor is `check_X_y`,
`check_random_state`, for each side of the median in turn (low, then high) the neighbour search among its rare
rows (`NearestNeighbors(n_neighbors=k + 1)`, `fit` and `kneighbors`, on the side's rows gathered beforehand) and
the draws in the function's order (`choice` of the remainder's base rows, `randint` and `rand` for the
interpolation, `standard_normal` for the jitter, `permutation` for the shuffle), and one gather of the input rows,
which the output copies (`X[rows]`, `y[rows]`). The relevance, the median, the side split and the synthetic rows
are the package's own work.

The baseline column is the peer, `resreg.smoter` (install it with `pip install resreg`; duv does not depend on it),
given the same relevances, threshold 0.5 and k=5, oversampling the rare rows to as many as the ordinary rows (`over`
as a fraction, `under` removing one ordinary row, its smallest undersampling): the same number of output rows less
one. Its peak memory grows with the square of the rare rows (2.6 GiB for 11,770), so it runs up to 20,000 of them.
The check compares the package with a NumPy statement of its documented steps bit for bit and the floor's draws with
the package's.
"""

import importlib.util

import numpy as np
from sklearn.neighbors import NearestNeighbors
from sklearn.utils.validation import check_random_state, check_X_y

import harness
from duv.augmentation import rare_target_augment, target_relevance

M, THRESHOLD, K = 8, 0.5, 5
PEER_MAX_RARE = 20_000
HAVE_PEER = importlib.util.find_spec("resreg") is not None


def numpy_rare_target_augment(
    X,
    y,
    rel,
    *,
    threshold=0.5,
    balance=1.0,
    generator="smote",
    k_neighbors=5,
    max_factor=10.0,
    noise=0.05,
    shuffle=True,
    random_state=None,
):
    """The documented steps written with NumPy, without weights, for rows that are not all rare or all normal."""
    rare, med, n, m = rel >= threshold, np.median(y), len(y), X.shape[1]
    sides = [np.flatnonzero(rare & (y < med)), np.flatnonzero(rare & (y >= med))]
    wanted = max(0, int(round(balance * (n - rare.sum()))) - rare.sum())
    counts = [int(round(wanted * len(sides[0]) / rare.sum()))]
    counts = [min(c, int(max_factor) * len(s)) for c, s in zip(counts + [wanted - counts[0]], sides, strict=True)]
    rng = check_random_state(random_state)
    Xs, ys = [X], [y]
    for idx, c in zip(sides, counts, strict=True):
        if c == 0:
            continue
        Xd, yd, q, r = X[idx], y[idx], c // len(idx), c % len(idx)
        base = np.repeat(np.arange(len(idx)), q)
        if r:
            base = np.concatenate([base, rng.choice(len(idx), size=r, replace=False)])
        if generator != "gaussian" and len(idx) > 1:
            k = min(k_neighbors, len(idx) - 1)
            dist, ind = (a[:, 1:] for a in NearestNeighbors(n_neighbors=k + 1).fit(Xd).kneighbors(Xd))
            slot, alpha = rng.randint(0, k, size=c), rng.rand(c)
            nb = ind[base, slot]
            Xn = Xd[base] + alpha[:, None] * (Xd[nb] - Xd[base])
            yn = yd[base] + alpha * (yd[nb] - yd[base])
            close = np.ones(c, bool) if generator == "smote" else dist[base, slot] < np.median(dist) / 2
        else:
            close = np.zeros(c, bool)
        if generator != "smote" or len(idx) < 2:  # smogn draws the jitter even when it interpolates every row
            z = rng.standard_normal((c, m + 1))
            Xsd, ysd = (Xd, yd) if len(idx) > 1 else (X[rare], y[rare])
            Xj = Xd[base] + noise * Xsd.std(axis=0) * z[:, :-1]
            yj = yd[base] + noise * ysd.std() * z[:, -1]
            Xn, yn = (Xj, yj) if not close.any() else (np.where(close[:, None], Xn, Xj), np.where(close, yn, yj))
        Xs.append(Xn), ys.append(yn)
    X_aug, y_aug = np.vstack(Xs), np.concatenate(ys)
    if shuffle:
        perm = rng.permutation(len(y_aug))
        X_aug, y_aug = X_aug[perm], y_aug[perm]
    return X_aug, y_aug, None


def plan(X, y, rel, balance=1.0, max_factor=10.0):
    """What only the package computes, worked out beforehand: per side (low, high) its rare rows, its synthetic row
    count and k."""
    rare, med = rel >= THRESHOLD, np.median(y)
    n_rare, n_normal = int(rare.sum()), int(len(y) - rare.sum())
    sides = [np.flatnonzero(rare & (y < med)), np.flatnonzero(rare & (y >= med))]
    wanted = max(0, int(round(balance * n_normal)) - n_rare)
    low = int(round(wanted * len(sides[0]) / n_rare))
    counts = [min(c, int(max_factor) * len(s)) for c, s in zip((low, wanted - low), sides, strict=True)]
    return [(X[s], c, min(K, len(s) - 1)) for s, c in zip(sides, counts, strict=True)], n_rare, n_normal


def floor(X, y, sides, generator, random_state, rows=None):
    X, y = check_X_y(X, y, y_numeric=True, ensure_all_finite=True, dtype="numeric")
    rng = check_random_state(random_state)
    total = len(y)
    for X_side, n_syn, k in sides:
        if n_syn == 0:
            continue
        total += n_syn
        n_side = len(X_side)
        if n_syn % n_side:
            rng.choice(n_side, size=n_syn % n_side, replace=False)
        interpolated = generator != "gaussian" and n_side > 1
        if interpolated:
            NearestNeighbors(n_neighbors=k + 1).fit(X_side).kneighbors(X_side)
            rng.randint(0, k, size=n_syn)
            rng.rand(n_syn)
        if generator != "smote" or not interpolated:
            rng.standard_normal((n_syn, X.shape[1] + 1))
    perm = rng.permutation(total)
    if rows is None:
        return perm
    return X[rows], y[rows]


def peer(X, y, rel, n_rare, n_normal):
    import resreg

    return resreg.smoter(
        X,
        y,
        rel,
        relevance_threshold=THRESHOLD,
        k=K,
        over=float((n_normal - n_rare) / n_rare),
        under=float(1.0 / n_normal),
        random_state=0,
    )


def data(n, seed=0):
    rng = np.random.RandomState(seed)
    X = rng.standard_normal((n, M))
    w = rng.rand(M)
    y = np.exp(X @ (w * np.sqrt(0.75) / np.linalg.norm(w)) + 0.5 * rng.standard_normal(n))  # log(y) ~ N(0, 1)
    return X, y


def case(n, generator):
    X, y = data(n)
    rel = target_relevance(y)
    sides, n_rare, n_normal = plan(X, y, rel)
    perm = floor(X, y, sides, generator, 0)
    rows = perm[perm < n]  # the input rows in the order the shuffled output holds them
    with_peer = HAVE_PEER and n_rare <= PEER_MAX_RARE

    def check(with_baseline):
        a, b = np.random.RandomState(0), np.random.RandomState(0)
        ours = rare_target_augment(X, y, generator=generator, random_state=a)
        floor(X, y, sides, generator, b)
        assert harness.same_draws(a, b), "the floor's draws are not the package's"
        for u, v in zip(ours, numpy_rare_target_augment(X, y, rel, generator=generator, random_state=0), strict=True):
            assert (u is None and v is None) or (u.dtype == v.dtype and u.tobytes() == v.tobytes())
        if with_peer and with_baseline:
            assert len(peer(X, y, rel, n_rare, n_normal)[1]) == len(ours[1]) - 1, "the peer's output size"

    total = len(rows) + sum(c for _, c, _ in sides)
    return harness.Case(
        package=lambda: rare_target_augment(X, y, generator=generator, random_state=0),
        floor=lambda: floor(X, y, sides, generator, 0, rows),
        baseline=(lambda: peer(X, y, rel, n_rare, n_normal)) if with_peer else None,
        goal=1.3,
        baseline_goal=20.0,
        check=check,
        output_mib=total * (M + 1) * 8 / 2**20,
        memory_over_baseline=100.0,
        note=f"{n_rare} rare rows, {total - n} new",
    )


def cases(scale):
    return [
        (f"{generator} {n}x{M}", lambda n=n, generator=generator: case(n, generator))
        for n in (harness.scaled(10_000, scale), harness.scaled(100_000, scale))
        for generator in ("smote", "gaussian", "smogn")
    ]


if __name__ == "__main__":
    if not HAVE_PEER:
        print(
            "The peer package is not installed: `pip install resreg` (into a throw-away virtual environment made "
            "with --system-site-packages) adds its SMOTER as the baseline. Floor comparison only.\n"
        )
    raise SystemExit(harness.main(__file__, cases, __doc__.splitlines()[0], baseline_name="peer"))
