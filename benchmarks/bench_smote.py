"""SMOTE generation: duv, its floor and a NumPy / scikit-learn statement of the same steps.

Run as `python benchmarks/bench_smote.py [--scale N]` (see harness.py). The floor of `smote_augment` is the input
checks (`check_array` twice, `check_consistent_length`, `_num_samples`), `check_random_state`, the neighbour search
(`NearestNeighbors(...).fit(X).kneighbors(X)`) and the draws: `randint` for the base rows, `randint` for the neighbour
slots, `rand` for the coefficients, `permutation` for the shuffle. The classifier's floor is `check_X_y`, the class
labels and counts (`np.unique`, `np.sum(y == c)`), for every class its rows (`X[y == c]`), its search and its draws
and labels (`np.full`), the labels stacked and permuted, and the inner estimator's fit (which costs nothing here, so
that the generation is what is measured).
"""

import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin, clone
from sklearn.neighbors import NearestNeighbors
from sklearn.utils import check_consistent_length
from sklearn.utils.validation import _num_samples, check_array, check_random_state, check_X_y

import harness
from duv.augmentation import SMOTEAugmentedClassifier, smote_augment


class Cheap(ClassifierMixin, BaseEstimator):
    """An inner estimator whose fit costs nothing, so the generation is what is measured."""

    def fit(self, X, y, sample_weight=None):
        self.n_rows_ = len(X)
        return self

    def predict(self, X):
        return np.zeros(len(X))


# ---- the baselines --------------------------------------------------------------------------------------------


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


def class_split(y_arr, n, factor):
    """The synthetic rows of every class: largest-remainder shares of the total."""
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
    return classes, per


def numpy_classifier_fit(estimator, X, y, factor=2.0, k_neighbors=5, random_state=None, shuffle=True):
    X, y = check_X_y(X, y, multi_output=False)
    rng = check_random_state(random_state)
    y_arr = np.asarray(y)
    classes, per = class_split(y_arr, X.shape[0], factor)
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


# ---- the floors -----------------------------------------------------------------------------------------------


def smote_floor(X, y, factor, random_state, k_neighbors=5):
    X = check_array(X, accept_sparse=False, ensure_2d=True)
    y = check_array(y, ensure_2d=False)
    if y.ndim == 1:
        y = y.reshape(-1, 1)
    check_consistent_length(X, y)
    n = _num_samples(X)
    n_syn = int(round(n * (factor - 1.0)))
    k = min(k_neighbors, n - 1)
    rng = check_random_state(random_state)
    nn = NearestNeighbors(n_neighbors=k + 1, algorithm="auto", n_jobs=None, metric="minkowski", metric_params=None)
    nn.fit(X)
    nn.kneighbors(X)[1][:, 1:]
    rng.randint(0, n, size=n_syn)
    rng.randint(0, k, size=n_syn)
    rng.rand(n_syn)
    rng.permutation(n + n_syn)


def classifier_floor(X, y, factor, random_state, k_neighbors=5):
    X, y = check_X_y(X, y, multi_output=False)
    rng = check_random_state(random_state)
    y_arr = np.asarray(y)
    classes = np.unique(y_arr)
    for c in classes:
        np.sum(y_arr == c)
    per = class_split(y_arr, X.shape[0], factor)[1]  # Python arithmetic on the counts above
    labels = []
    for c in classes:
        Xc = X[y_arr == c]
        k = min(k_neighbors, Xc.shape[0] - 1)
        NearestNeighbors(n_neighbors=k + 1, algorithm="auto", n_jobs=None).fit(Xc).kneighbors(Xc)[1][:, 1:]
        rng.randint(0, Xc.shape[0], size=per[c])
        rng.randint(0, k, size=per[c])
        rng.rand(per[c])
        labels.append(np.full(per[c], c))
    y_aug = np.concatenate([y_arr, np.concatenate(labels)])
    y_aug = y_aug[rng.permutation(len(y_aug))]
    return clone(Cheap()).fit(X, y_aug)


# ---- the cases ------------------------------------------------------------------------------------------------


def data(n, m, n_classes=0, seed=0):
    rng = np.random.RandomState(seed)
    X = rng.rand(n, m)
    y = rng.randint(0, n_classes, n) if n_classes else X @ rng.rand(m) + 0.1 * rng.rand(n)
    return X, y


def augment_case(n, m, factor):
    X, y = data(n, m)

    def check(with_baseline):
        a, b = np.random.RandomState(0), np.random.RandomState(0)
        ours = smote_augment(X, y, factor=factor, random_state=a)
        smote_floor(X, y, factor, b)
        assert harness.same_draws(a, b), "the floor's draws are not the package's"
        if with_baseline:
            for u, v in zip(ours, numpy_smote(X, y, factor=factor, random_state=0), strict=True):
                assert (u is None and v is None) or (u.dtype == v.dtype and u.tobytes() == v.tobytes())

    total = n + int(round(n * (factor - 1.0)))
    return harness.Case(
        package=lambda: smote_augment(X, y, factor=factor, random_state=0),
        floor=lambda: smote_floor(X, y, factor, 0),
        baseline=lambda: numpy_smote(X, y, factor=factor, random_state=0),
        goal=1.2,
        check=check,
        output_mib=total * (m + 1) * 8 / 2**20,
    )


def classifier_case(n, m, n_classes, factor):
    X, y = data(n, m, n_classes)

    def fit(random_state):
        return SMOTEAugmentedClassifier(Cheap(), factor=factor, random_state=random_state).fit(X, y)

    def check(with_baseline):
        a, b = np.random.RandomState(0), np.random.RandomState(0)
        fit(a)
        classifier_floor(X, y, factor, b)
        assert harness.same_draws(a, b), "the floor's draws are not the package's"
        if with_baseline:
            ours = SMOTEAugmentedClassifier(Cheap(), factor=factor, random_state=0, store_augmented=True).fit(X, y)
            theirs = numpy_classifier_fit(Cheap(), X, y, factor=factor, random_state=0)
            assert ours.estimator_.n_rows_ == theirs.n_rows_

    total = n + int(round(n * (factor - 1.0)))
    return harness.Case(
        package=lambda: fit(0),
        floor=lambda: classifier_floor(X, y, factor, 0),
        baseline=lambda: numpy_classifier_fit(Cheap(), X, y, factor=factor, random_state=0),
        goal=1.2,
        check=check,
        output_mib=total * (m + 1) * 8 / 2**20,
    )


def cases(scale):
    n = harness.scaled(50_000, scale)
    n_wide = harness.scaled(20_000, scale)
    return [
        (f"smote_augment {n}x3 factor 20", lambda: augment_case(n, 3, 20.0)),
        (f"classifier fit {n}x3, 3 classes, factor 20", lambda: classifier_case(n, 3, 3, 20.0)),
        (f"smote_augment {n_wide}x16 factor 5", lambda: augment_case(n_wide, 16, 5.0)),
    ]


if __name__ == "__main__":
    raise SystemExit(harness.main(__file__, cases, __doc__.splitlines()[0]))
