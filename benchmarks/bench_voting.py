"""Cost of VotingRegressor's statistics over its members' own predictions, in the same run.

Run as `python benchmarks/bench_voting.py [--scale N] [--repeats N]` (see harness.py). Goal:
`predict(X, return_std=True)` with 5 members on 100,000 rows spends under 10% more than the members' predict
calls alone.

Members are fitted ridge regressions on 10 features: cheap members make the statistics weigh
the most. "members" is the sum of the five predict calls; "duv" is predict(return_std=True);
"numpy" is the members' calls followed by the documented NumPy steps (np.stack, np.average,
np.var or the weighted variance, np.sqrt). Overheads are (total - members) / members. On a
shared machine the members' own time varies from run to run by more than the statistics
cost, so the last column also times predict(return_std=True) of an ensemble whose members
replay the same predictions (their predict costs nothing): that is the statistics' own cost,
relative to the members' time. Times are the best of the interleaved runs: the
machine's other load only ever adds to them.
"""

from functools import partial

import numpy as np
from sklearn.base import BaseEstimator, RegressorMixin
from sklearn.linear_model import Ridge

import harness
from duv.ensemble import VotingRegressor

N, FEATURES, MEMBERS, REPEATS = 100_000, 10, 5, 41


def numpy_predict(models, weights, X):
    preds = [m.predict(X) for m in models]
    P = np.stack(preds, axis=1)
    mean = np.average(P, axis=1, weights=weights)
    if weights is None:
        variance = np.var(P, axis=1)
    else:
        wm = np.average(P, axis=1, weights=weights)
        variance = np.average((P - wm[:, np.newaxis]) ** 2, axis=1, weights=weights)
    return mean, np.sqrt(variance)


class Replay(RegressorMixin, BaseEstimator):
    """A fitted member that returns a stored prediction."""

    def __init__(self, prediction=None):
        self.prediction = prediction
        self.fitted_ = True

    def fit(self, X, y=None):
        return self

    def predict(self, X):
        return self.prediction


def main():
    args = harness.options(__doc__.splitlines()[0], repeats=REPEATS)
    N = harness.scaled(globals()["N"], args.scale)
    rng = np.random.default_rng(0)
    X = rng.normal(size=(N, FEATURES))
    y = X @ rng.normal(size=FEATURES) + rng.normal(size=N)
    models = [Ridge(alpha=a).fit(X, y) for a in np.logspace(-2, 2, MEMBERS)]
    print(
        f"VotingRegressor.predict(return_std=True), {MEMBERS} ridge members, {N:,} rows, "
        f"best of {args.repeats} interleaved runs"
    )
    print(
        f"{'weights':10} {'members ms':>10} {'duv ms':>8} {'numpy ms':>9} {'duv overhead':>13} "
        f"{'numpy overhead':>15} {'replayed ms':>12} {'own cost':>9}"
    )
    for weights in (None, [1, 2, 3, 4, 5]):
        v = VotingRegressor([(f"m{i}", m) for i, m in enumerate(models)], weights=weights).assume_fitted()
        ours, theirs = v.predict(X, return_std=True), numpy_predict(models, weights, X)
        assert all(np.array_equal(a, b) for a, b in zip(ours, theirs, strict=True))
        replay = VotingRegressor(
            [(f"m{i}", Replay(m.predict(X))) for i, m in enumerate(models)], weights=weights
        ).assume_fitted()
        times = harness.measure(
            {
                "members": lambda: [m.predict(X) for m in models],
                "duv": partial(v.predict, X, return_std=True),
                "numpy": partial(numpy_predict, models, weights, X),
                "replay": partial(replay.predict, X, return_std=True),
            },
            args.repeats,
            number=1,
        )
        t = {k: r.best for k, r in times.items()}
        print(
            f"{weights is not None!s:10} {t['members'] * 1e3:10.2f} {t['duv'] * 1e3:8.2f} "
            f"{t['numpy'] * 1e3:9.2f} {100 * (t['duv'] / t['members'] - 1):12.1f}% "
            f"{100 * (t['numpy'] / t['members'] - 1):14.1f}% {t['replay'] * 1e3:12.2f} "
            f"{100 * t['replay'] / t['members']:8.1f}%"
        )


if __name__ == "__main__":
    main()
