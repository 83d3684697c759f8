import inspect
import pickle
import warnings

import numpy as np
import pytest
from scipy import sparse
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin, clone
from sklearn.exceptions import NotFittedError
from sklearn.linear_model import LinearRegression, LogisticRegression, Ridge
from sklearn.model_selection import cross_val_score
from sklearn.neighbors import KNeighborsClassifier, NearestNeighbors
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler
from sklearn.utils._param_validation import InvalidParameterError
from sklearn.utils.validation import check_array, check_random_state

from duv.augmentation import SMOTEAugmentedClassifier, SMOTEAugmentedRegressor, smote_augment

# ---- NumPy statement of the documented steps (the reference the C++ must match bit for bit) ----


def ref_smote(
    X,
    y,
    factor=10.0,
    k_neighbors=5,
    random_state=None,
    distance_weights=None,
    shuffle=True,
    algorithm="auto",
    n_jobs=None,
    extrapolation=0.0,
    *,
    sample_weight=None,
    sample_weight_mode="passthrough",
):
    X = check_array(X, accept_sparse=False, ensure_2d=True)
    y = check_array(y, ensure_2d=False)
    y_was_1d = y.ndim == 1
    if y_was_1d:
        y = y.reshape(-1, 1)
    n = X.shape[0]
    mode = str(sample_weight_mode).lower()
    flat = (lambda t: t.reshape(-1)) if y_was_1d else (lambda t: t)

    def weights(idx=None):
        if mode == "consume":
            return np.ones(n, dtype=float)
        if sample_weight is None:
            return None
        w = np.asarray(sample_weight)
        return w if idx is None else w[idx]

    if factor == 1.0:
        if shuffle:
            idx = check_random_state(random_state).permutation(n)
            return X[idx], flat(y[idx]), weights(idx)
        return X, flat(y), weights()
    n_syn = int(round(n * (factor - 1.0)))
    k = min(k_neighbors, n - 1)
    if n_syn == 0 or k <= 0:
        return X, flat(y), weights()
    rs = check_random_state(random_state)
    mp = None if distance_weights is None else {"w": np.asarray(distance_weights)}
    nn = NearestNeighbors(
        n_neighbors=k + 1, algorithm=algorithm, n_jobs=n_jobs, metric="minkowski", metric_params=mp
    ).fit(X)
    nbr = nn.kneighbors(X)[1][:, 1:]
    if mode == "consume" and sample_weight is not None:
        sw = np.asarray(sample_weight)
        sel = rs.choice(n, size=n_syn, replace=True, p=sw / float(sw.sum()))
    else:
        sel = rs.randint(0, n, size=n_syn)
    ch = nbr[sel, rs.randint(0, k, size=n_syn)]
    alpha = rs.rand(n_syn)
    if extrapolation and extrapolation > 0.0:
        alpha = (extrapolation + 1.0) * alpha - extrapolation / 2.0
    Xs = X[sel] + alpha[:, np.newaxis] * (X[ch] - X[sel])
    ys = y[sel] + alpha[:, np.newaxis] * (y[ch] - y[sel])
    Xa, ya = np.vstack([X, Xs]), np.vstack([y, ys])
    if mode == "consume":
        swa = np.ones(Xa.shape[0], dtype=float)
    elif sample_weight is None:
        swa = None
    else:
        ac = np.clip(alpha, 0.0, 1.0)
        w = np.asarray(sample_weight)
        swa = np.concatenate([w, (1.0 - ac) * w[sel] + ac * w[ch]])
    if shuffle:
        p = rs.permutation(ya.shape[0])
        Xa, ya = Xa[p], ya[p]
        swa = None if swa is None else swa[p]
    return Xa, flat(ya), swa


def ref_classifier_data(
    X,
    y,
    factor=2.0,
    k_neighbors=5,
    random_state=None,
    shuffle=True,
    algorithm="auto",
    extrapolation=0.0,
    sample_weight=None,
    sample_weight_mode="passthrough",
):
    """Augmented (X, y, sw) of the classifier's documented generation loop (factor > 1)."""
    rng = check_random_state(random_state)
    n = X.shape[0]
    classes = np.unique(y)
    total_syn = int(round(n * (factor - 1.0)))
    counts = {c: int(np.sum(y == c)) for c in classes}
    per = {c: max(0, int(round(total_syn * (cnt / float(n))))) for c, cnt in counts.items()}
    delta = total_syn - sum(per.values())
    if delta:
        rem = {c: total_syn * (cnt / float(n)) - per[c] for c, cnt in counts.items()}
        order = sorted(classes, key=lambda c: rem[c], reverse=True)
        for i in range(abs(delta)):
            per[order[i % len(order)]] += 1 if delta > 0 else -1
    xs, ys = [], []
    for c in classes:
        if per[c] <= 0:
            continue
        mask = y == c
        Xc = X[mask]
        swc = None if sample_weight is None else np.asarray(sample_weight)[mask]
        k = min(k_neighbors, Xc.shape[0] - 1)
        if Xc.shape[0] <= 1 or k <= 0:
            continue
        nbr = NearestNeighbors(n_neighbors=k + 1, algorithm=algorithm).fit(Xc).kneighbors(Xc)[1][:, 1:]
        if sample_weight is not None and sample_weight_mode == "consume":
            b = rng.choice(Xc.shape[0], size=per[c], replace=True, p=swc / float(swc.sum()))
        else:
            b = rng.randint(0, Xc.shape[0], size=per[c])
        q = nbr[b, rng.randint(0, k, size=per[c])]
        alpha = rng.rand(per[c])
        if extrapolation and extrapolation > 0.0:
            alpha = (extrapolation + 1.0) * alpha - extrapolation / 2.0
        xs.append(Xc[b] + alpha[:, np.newaxis] * (Xc[q] - Xc[b]))
        ys.append(np.full(per[c], c))
    if not xs:
        Xa, ya, swa = X, y, (None if sample_weight is None else np.asarray(sample_weight))
    else:
        Xs = np.vstack(xs)
        Xa, ya = np.vstack([X, Xs]), np.concatenate([y, np.concatenate(ys)])
        swa = (
            np.concatenate([np.asarray(sample_weight), np.ones(Xs.shape[0])])
            if sample_weight is not None and sample_weight_mode == "passthrough"
            else None
        )
    if shuffle:
        p = rng.permutation(Xa.shape[0])
        Xa, ya = Xa[p], ya[p]
        swa = None if swa is None else swa[p]
    return Xa, ya, swa


def assert_same(got, want):
    """Bit-identical arrays with NumPy's dtype and memory layout (or both None)."""
    if want is None:
        assert got is None
        return
    assert got.dtype == want.dtype and got.shape == want.shape
    assert got.flags.c_contiguous == want.flags.c_contiguous
    np.testing.assert_array_equal(got, want)


class Recorder(RegressorMixin, BaseEstimator):
    """Keeps what its fit received; `fit` has a sample_weight parameter."""

    def fit(self, X, y, sample_weight=None):
        self.X_, self.y_, self.sw_ = X, y, sample_weight
        return self

    def predict(self, X):
        return np.zeros((X.shape[0], 1))


class ClassRecorder(ClassifierMixin, Recorder):
    pass


class NoWeights(ClassifierMixin, BaseEstimator):
    def fit(self, X, y):
        self.n_ = len(X)
        return self

    def predict(self, X):
        return np.zeros(len(X))


RNG = np.random.RandomState(1)
X40 = RNG.rand(40, 3) * 10
Y40 = RNG.rand(40)

X_VARIANTS = {
    "float64": X40,
    "float32": X40.astype(np.float32),
    "int64": (X40 * 10).astype(np.int64),
    "uint8 (wraps)": (X40 * 10).astype(np.uint8),
    "int8 (wraps)": (X40 * 10).astype(np.int8),
    "float16 (NumPy path)": X40.astype(np.float16),
    "fortran": np.asfortranarray(X40),
    "strided view": np.hstack([X40, X40])[::1, ::-2],
}
Y_VARIANTS = {"1-D": Y40, "2-D": RNG.rand(40, 2), "one column": Y40[:, None], "int": (Y40 * 5).astype(int)}
OPTIONS = {
    "default": {},
    "no shuffle": dict(shuffle=False),
    "extrapolation": dict(extrapolation=1.0),
    "weights": dict(sample_weight=RNG.rand(40)),
    "int weights": dict(sample_weight=RNG.randint(0, 3, 40)),
    "bool weights, extrapolated": dict(sample_weight=RNG.rand(40) > 0.5, extrapolation=0.5),
    "float32 weights": dict(sample_weight=RNG.rand(40).astype(np.float32)),
    "consume": dict(sample_weight=RNG.rand(40), sample_weight_mode="Consume"),
    "consume without weights": dict(sample_weight_mode="consume"),
    "distance weights": dict(distance_weights=[1.0, 0.1, 3.0], k_neighbors=3),
    "numpy float extrapolation": dict(extrapolation=np.float32(0.3)),
}


@pytest.mark.parametrize("x_name", X_VARIANTS)
@pytest.mark.parametrize("y_name", Y_VARIANTS)
@pytest.mark.parametrize("opt_name", OPTIONS)
def test_smote_augment_matches_numpy_steps(x_name, y_name, opt_name):
    X, y, opts = X_VARIANTS[x_name], Y_VARIANTS[y_name], OPTIONS[opt_name]
    ours, ref = np.random.RandomState(7), np.random.RandomState(7)
    X_in, y_in = X.copy(), y.copy()
    got = smote_augment(X, y, factor=3.3, random_state=ours, **opts)
    want = ref_smote(X, y, factor=3.3, random_state=ref, **opts)
    for g, w in zip(got, want, strict=True):
        assert_same(g, w)
    assert ours.randint(2**31) == ref.randint(2**31)  # the same number of draws was made
    np.testing.assert_array_equal(X, X_in)
    np.testing.assert_array_equal(y, y_in)


def test_synthetic_rows_lie_on_segments_and_counts():
    X = np.arange(10.0).reshape(5, 2)
    for n, factor, expected in [(5, 1.5, 7), (3, 1.5, 5), (5, 3.0, 15)]:
        X_aug, y_aug, _ = smote_augment(X[:n], X[:n, 0], factor=factor, random_state=0, shuffle=False)
        assert X_aug.shape == (expected, 2) and y_aug.shape == (expected,)
        # X rows lie on the line x1 = x0 + 1, and targets are interpolated with the row's alpha
        np.testing.assert_allclose(X_aug[:, 1], X_aug[:, 0] + 1)
        np.testing.assert_array_equal(y_aug, X_aug[:, 0])


def test_capped_k_uses_the_other_rows():
    X = np.array([[0.0], [1.0], [10.0]])
    capped = smote_augment(X, np.zeros(3), factor=101.0, random_state=0, shuffle=False)[0]
    two = smote_augment(X, np.zeros(3), factor=101.0, k_neighbors=2, random_state=0, shuffle=False)[0]
    one = smote_augment(X, np.zeros(3), factor=101.0, k_neighbors=1, random_state=0, shuffle=False)[0]
    assert capped.shape == (303, 1) and capped[3:].min() >= 0.0 and capped[3:].max() <= 10.0
    np.testing.assert_array_equal(capped, two)
    assert not np.array_equal(capped, one)


def test_duplicate_rows_may_interpolate_with_themselves():
    X = np.array([[0.0, 0.0], [0.0, 0.0], [5.0, 5.0], [9.0, 1.0]])
    y = np.arange(4.0)
    got = smote_augment(X, y, factor=5.0, k_neighbors=1, random_state=3)
    want = ref_smote(X, y, factor=5.0, k_neighbors=1, random_state=3)
    for g, w in zip(got, want, strict=True):
        assert_same(g, w)
    assert ((got[0] == 0.0).all(axis=1)).sum() > 2  # copies of the duplicated row


def test_extrapolated_weights_take_nearer_endpoint():
    X = np.array([[0.0], [1.0]])
    w = np.array([2.0, 4.0])
    X_aug, _, sw = smote_augment(
        X, np.zeros(2), factor=500.0, extrapolation=1.0, random_state=0, shuffle=False, sample_weight=w
    )
    syn, syn_w = X_aug[2:, 0], sw[2:]
    assert -0.5 <= syn.min() < -0.4 and 1.4 < syn.max() < 1.5  # alpha in [-0.5, 1.5)
    np.testing.assert_array_equal(syn_w[syn <= 0], 2.0)  # beyond an endpoint: its full weight
    np.testing.assert_array_equal(syn_w[syn >= 1], 4.0)
    inside = (syn > 0) & (syn < 1)
    np.testing.assert_allclose(syn_w[inside], 2.0 + 2.0 * syn[inside])


@pytest.mark.parametrize("mode", ["passthrough", "consume"])
def test_early_returns(mode):
    X, y, w = X40[:5], Y40[:5], np.arange(1.0, 6.0)
    rng = np.random.RandomState(0)
    state = rng.get_state()[1].copy()
    ones = np.ones(5)

    X_out, y_out, sw = smote_augment(
        X, y, factor=1.0, shuffle=False, random_state=rng, sample_weight=w, sample_weight_mode=mode
    )
    assert X_out is X and y_out.shape == (5,)
    np.testing.assert_array_equal(sw, ones if mode == "consume" else w)

    perm = np.random.RandomState(4).permutation(5)
    X_out, y_out, sw = smote_augment(
        X, y, factor=1.0, random_state=4, sample_weight=w, sample_weight_mode=mode, distance_weights=[1.0]
    )  # never looked at
    np.testing.assert_array_equal(X_out, X[perm])
    np.testing.assert_array_equal(y_out, y[perm])
    np.testing.assert_array_equal(sw, ones if mode == "consume" else w[perm])

    X_out, _, _ = smote_augment(X, y, factor=1.05, random_state=rng, sample_weight_mode=mode)
    assert X_out is X  # round(0.25) == 0: unshuffled, no draws
    with pytest.warns(UserWarning, match="^Not enough samples for k-nearest neighbors. Returning original data"):
        X_out, _, _ = smote_augment(X, y, factor=3.0, k_neighbors=0, random_state=rng, sample_weight_mode=mode)
    assert X_out is X
    with pytest.warns(UserWarning, match="Not enough samples"):
        smote_augment(X[:1], y[:1], factor=3.0, random_state=rng)
    np.testing.assert_array_equal(rng.get_state()[1], state)


def test_reproducibility_int_seed_vs_shared_random_state():
    a = smote_augment(X40, Y40, factor=2.0, random_state=11)
    b = smote_augment(X40, Y40, factor=2.0, random_state=11)
    np.testing.assert_array_equal(a[0], b[0])
    shared = np.random.RandomState(11)
    c = smote_augment(X40, Y40, factor=2.0, random_state=shared)
    d = smote_augment(X40, Y40, factor=2.0, random_state=shared)
    np.testing.assert_array_equal(a[0], c[0])
    assert not np.array_equal(c[0], d[0])


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(factor=0.5, sample_weight_mode="bad"), "factor must be >= 1.0 for SMOTE augmentation, got 0.5"),
        (dict(factor=np.float64(0.9)), "factor must be >= 1.0 for SMOTE augmentation, got np.float64(0.9)"),
        (
            dict(sample_weight_mode="bad", distance_weights=[1.0]),
            "sample_weight_mode must be one of {'passthrough','consume'}",
        ),
        (dict(distance_weights=[1.0, 2.0]), "distance_weights must have shape (3,), got (2,)"),
        (
            dict(distance_weights=[1.0], sample_weight=[1.0], sample_weight_mode="consume"),
            "distance_weights must have shape (3,), got (1,)",
        ),
        (
            dict(sample_weight=np.ones(3), sample_weight_mode="consume"),
            "sample_weight should have shape (40,), got (3,)",
        ),
        (dict(sample_weight=-np.ones(40), sample_weight_mode="consume"), "sample_weight must be non-negative"),
        (dict(sample_weight=np.zeros(40), sample_weight_mode="consume"), "Sum of sample_weight must be positive"),
        (
            dict(sample_weight=np.r_[np.inf, np.ones(39)], sample_weight_mode="consume"),
            "Sum of sample_weight must be positive",
        ),
    ],
)
def test_smote_augment_messages(kwargs, message):
    with pytest.raises(ValueError) as info:
        smote_augment(X40, Y40, random_state=0, **kwargs)
    assert str(info.value) == message


def test_weights_not_checked_in_passthrough_beyond_numpy():
    with pytest.raises(IndexError):  # NumPy's own indexing error, as the documented expression raises
        smote_augment(X40, Y40, factor=2.0, random_state=0, sample_weight=np.ones(3))


# ---- classifier ----


def synthetic_counts(y, factor, **kw):
    X = np.random.RandomState(0).rand(len(y), 2)
    model = SMOTEAugmentedClassifier(
        ClassRecorder(), factor=factor, shuffle=False, store_augmented=True, random_state=0, **kw
    ).fit(X, y)
    added = model.augmented_y_[len(y) :]
    return [int(np.sum(added == c)) for c in np.unique(y)]


@pytest.mark.parametrize(
    "y, factor, expected",
    [
        (np.repeat(["A", "B"], [7, 3]), 2.0, [7, 3]),
        (np.repeat([0, 1, 2], 3), 1.45, [2, 1, 1]),  # 4 rows, equal remainders: first label gains
        (np.repeat([0, 1, 2], 3), 1.55, [1, 2, 2]),  # 5 rows over-allocated: first label loses
        (np.repeat([5, 9], 5), 1.5, [3, 2]),  # shares 2.5 round to 2 each
        (np.repeat([0, 1, 2, 3], [3, 3, 2, 2]), 1.5, [2, 2, 0, 1]),
        (np.repeat([0, 1], [9, 1]), 2.0, [9, 0]),  # a single-row class gets nothing, its share is lost
    ],
)
def test_classifier_allocation(y, factor, expected):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert synthetic_counts(y, factor) == expected


CLF_Y = {
    "int": RNG.randint(0, 3, 60),
    "str": np.array(["a", "bb", "c"])[RNG.randint(0, 3, 60)],
    "object": RNG.randint(0, 3, 60).astype(object),
}
CLF_X = {
    "float64": RNG.rand(60, 3),
    "float32": RNG.rand(60, 3).astype(np.float32),
    "int": RNG.randint(0, 50, (60, 3)),
    "float16 (NumPy path)": RNG.rand(60, 3).astype(np.float16),
}
CLF_OPTIONS = {
    "default": {},
    "no shuffle": dict(shuffle=False),
    "extrapolation": dict(extrapolation=1.0),
    "passthrough": dict(sample_weight=RNG.rand(60)),
    "consume": dict(sample_weight=RNG.rand(60), sample_weight_mode="consume"),
    "factor 3.7, k 1": dict(factor=3.7, k_neighbors=1),
}


@pytest.mark.parametrize("x_name", CLF_X)
@pytest.mark.parametrize("y_name", CLF_Y)
@pytest.mark.parametrize("opt_name", CLF_OPTIONS)
def test_classifier_matches_numpy_steps(x_name, y_name, opt_name):
    X, y, opts = CLF_X[x_name], CLF_Y[y_name], dict(CLF_OPTIONS[opt_name])
    sw = opts.pop("sample_weight", None)
    model = SMOTEAugmentedClassifier(ClassRecorder(), random_state=5, **opts).fit(X, y, sample_weight=sw)
    opts.setdefault("factor", 2.0)
    want = ref_classifier_data(check_array(X), y, random_state=5, sample_weight=sw, **opts)
    inner = model.estimator_
    for g, w in zip((inner.X_, inner.y_, inner.sw_), want, strict=True):
        assert_same(g, w)
    if opt_name == "consume":
        assert inner.sw_ is None
    if opt_name == "passthrough":
        np.testing.assert_array_equal(np.sort(inner.sw_)[-60:], np.sort(np.r_[sw, np.ones(60)])[-60:])


def test_classifier_string_labels_keep_dtype():
    y = np.array(["x", "yy", "zzz"])[RNG.randint(0, 3, 30)]
    model = SMOTEAugmentedClassifier(KNeighborsClassifier(1), store_augmented=True, random_state=0).fit(
        RNG.rand(30, 2), y
    )
    assert model.augmented_y_.dtype == y.dtype and set(model.augmented_y_) == set(y)
    assert model.predict(RNG.rand(4, 2)).dtype == y.dtype


def test_classifier_without_synthetic_rows_keeps_weights():
    X, y, w = RNG.rand(10, 2), np.repeat([0, 1], 5), np.arange(1.0, 11.0)
    model = SMOTEAugmentedClassifier(ClassRecorder(), factor=1.01, random_state=0).fit(X, y, sample_weight=w)
    assert model.estimator_.X_ is X and model.estimator_.sw_ is w  # unshuffled, weights kept
    model = SMOTEAugmentedClassifier(NoWeights(), factor=1.01).fit(X, y, sample_weight=w)
    assert model.estimator_.n_ == 10


def test_classifier_plain_fit_at_factor_one():
    X, y, w = RNG.rand(10, 2), np.repeat([0, 1], 5), np.arange(1.0, 11.0)
    model = SMOTEAugmentedClassifier(ClassRecorder(), factor=1.0, random_state=3).fit(X, y, sample_weight=w)
    perm = np.random.RandomState(3).permutation(10)
    np.testing.assert_array_equal(model.estimator_.X_, X[perm])
    np.testing.assert_array_equal(model.estimator_.sw_, w[perm])


def test_classifier_mode_is_case_sensitive_and_unchecked():
    X, y, w = RNG.rand(30, 2), np.repeat([0, 1, 2], 10), RNG.rand(30)
    model = SMOTEAugmentedClassifier(ClassRecorder(), sample_weight_mode="CONSUME", random_state=0).fit(
        X, y, sample_weight=w
    )
    assert model.estimator_.sw_ is None
    want = ref_classifier_data(X, y, random_state=0)  # uniform base rows, as without weights
    assert_same(model.estimator_.X_, want[0])


def test_classifier_errors():
    X, y = RNG.rand(10, 2), np.repeat([0, 1], 5)
    with pytest.raises(ValueError, match=r"^factor must be >= 1.0 for SMOTE augmentation$"):
        SMOTEAugmentedClassifier(ClassRecorder(), factor=0.5).fit(X, y)
    with pytest.raises(ValueError, match=r"^Sum of sample_weight must be positive$"):
        SMOTEAugmentedClassifier(ClassRecorder(), sample_weight_mode="consume").fit(
            X, y, sample_weight=np.r_[np.ones(5), np.zeros(5)]
        )


# ---- regressor ----


def test_regressor_matches_function_then_wrapper_shuffle():
    w = RNG.rand(40)
    model = SMOTEAugmentedRegressor(
        Recorder(), factor=2.5, random_state=9, store_augmented=True, extrapolation=0.2
    ).fit(X40, Y40, sample_weight=w)
    rs = np.random.RandomState(9)
    X_aug, y_aug, sw = ref_smote(
        X40, Y40[:, None], factor=2.5, random_state=rs, shuffle=False, extrapolation=0.2, sample_weight=w
    )
    idx = np.arange(len(X_aug))
    rs.shuffle(idx)
    assert_same(model.estimator_.X_, X_aug[idx])
    assert_same(model.estimator_.y_, y_aug[idx].ravel())
    assert_same(model.estimator_.sw_, sw[idx])
    assert model.augmented_y_.ndim == 1 and model.n_outputs_ == 1 and model._y_was_1d is True
    assert (model.n_samples_, model.n_synthetic_, model.n_features_in_) == (40, 60, 3)


def test_regressor_attributes_and_random_state():
    rs = np.random.RandomState(0)
    model = SMOTEAugmentedRegressor(Recorder(), factor=1.0, random_state=rs).fit(X40, Y40)
    assert model.random_state_ is rs and model.n_synthetic_ == 0
    order = np.arange(40)
    np.random.RandomState(0).shuffle(order)
    np.testing.assert_array_equal(model.estimator_.X_, X40[order])

    a = SMOTEAugmentedRegressor(Recorder(), random_state=3, store_augmented=True)
    first = a.fit(X40, Y40).augmented_X_
    np.testing.assert_array_equal(first, a.fit(X40, Y40).augmented_X_)
    Y2 = RNG.rand(40, 2)
    b = SMOTEAugmentedRegressor(Recorder(), store_augmented=True, random_state=0).fit(X40, Y2)
    assert b.n_outputs_ == 2 and b.augmented_y_.shape == (400, 2) and not b._y_was_1d
    assert not hasattr(SMOTEAugmentedRegressor(Recorder()).fit(X40, Y40), "augmented_X_")


def test_regressor_consume_gives_ones():
    model = SMOTEAugmentedRegressor(Recorder(), factor=2.0, sample_weight_mode="consume", random_state=0)
    model.fit(X40, Y40, sample_weight=RNG.rand(40))
    np.testing.assert_array_equal(model.estimator_.sw_, np.ones(80))


def test_regressor_fit_validation():
    model = SMOTEAugmentedRegressor(Ridge())
    with pytest.raises(InvalidParameterError, match=r"'X' parameter of SMOTEAugmentedRegressor\.fit"):
        model.fit(5, Y40)
    with pytest.raises(TypeError, match="dense data is required"):
        model.fit(sparse.csr_matrix(X40), Y40)
    with pytest.raises(ValueError, match=r"^factor must be >= 1.0 for SMOTE augmentation, got 0.5$"):
        SMOTEAugmentedRegressor(Ridge(), factor=0.5).fit(X40, Y40)


@pytest.mark.parametrize("cls", [SMOTEAugmentedRegressor, SMOTEAugmentedClassifier])
def test_meta_estimator_protocol(cls):
    regressor = cls is SMOTEAugmentedRegressor
    X, y = X40, (Y40 if regressor else (Y40 > 0.5).astype(int))
    base = LinearRegression() if regressor else LogisticRegression()
    params = list(inspect.signature(cls).parameters)
    assert params == list(cls._parameter_constraints) and params[0] == "estimator"
    assert sorted(cls(base).get_params(deep=False)) == sorted(params)
    assert len(params) == (11 if regressor else 10)
    assert cls(base).factor == (10.0 if regressor else 2.0)

    model = cls(base, factor=1.5, random_state=0)
    with pytest.raises(NotFittedError):
        model.predict(X)
    model.fit(X, y)
    assert model.estimator_ is not base and not hasattr(base, "coef_")
    np.testing.assert_array_equal(model.predict(X), model.estimator_.predict(X))
    assert model.unwrap() is model.estimator_
    with pytest.raises(ValueError, match=r"^X has 2 features, but this estimator was fitted with 3 features$"):
        model.predict(X[:, :2])
    restored = pickle.loads(pickle.dumps(model))
    np.testing.assert_array_equal(restored.predict(X), model.predict(X))
    assert clone(model).get_params()["factor"] == 1.5

    scores = cross_val_score(make_pipeline(StandardScaler(), cls(base, factor=1.5, random_state=0)), X, y, cv=3)
    assert np.all(np.isfinite(scores))
    nested = cls(cls(base, factor=1.2, random_state=0), factor=1.2, random_state=0).fit(X, y)
    assert nested.unwrap() is nested.estimator_.estimator_

    for estimator, message in [
        ("text", "estimator text does not have a 'fit' method"),
        (NoPredict(), "estimator NoPredict() does not have a 'predict' method"),
    ]:
        with pytest.raises(ValueError) as info:
            cls(estimator).fit(X, y)
        assert str(info.value) == message
    assert cls(NoWeights(), factor=2.0, random_state=0).fit(X, y, sample_weight=np.ones(40)).estimator_.n_ == 80


class NoPredict(BaseEstimator):
    def fit(self, X, y):
        return self


class KeepingRandomState(np.random.RandomState):
    """Keeps every array it hands out, to check that none is changed afterwards."""

    def __init__(self, seed):
        super().__init__(seed)
        self.kept = []

    def _keep(self, arr):
        self.kept.append((arr, arr.copy()))
        return arr

    def randint(self, *args, **kwargs):
        return self._keep(super().randint(*args, **kwargs))

    def rand(self, *args):
        return self._keep(super().rand(*args))

    def permutation(self, n):
        return self._keep(super().permutation(n))


@pytest.mark.parametrize("extrapolation", [0.0, 0.5])
def test_draws_held_elsewhere_are_not_overwritten(extrapolation):
    rs = KeepingRandomState(2)
    got = smote_augment(X40, Y40, factor=3.0, random_state=rs, extrapolation=extrapolation)
    want = ref_smote(X40, Y40, factor=3.0, random_state=np.random.RandomState(2), extrapolation=extrapolation)
    for g, w in zip(got, want, strict=True):
        assert_same(g, w)
    assert len(rs.kept) == 4
    for arr, copy in rs.kept:
        np.testing.assert_array_equal(arr, copy)
    rs = KeepingRandomState(2)
    SMOTEAugmentedClassifier(ClassRecorder(), random_state=rs, extrapolation=extrapolation).fit(
        X40, np.repeat([0, 1], 20)
    )
    for arr, copy in rs.kept:
        np.testing.assert_array_equal(arr, copy)


def fixed_search(indices):
    class Search:
        def __init__(self, **params):
            pass

        def fit(self, X):
            self.n_ = X.shape[0]
            return self

        def kneighbors(self, X):
            ind = np.array(indices(self.n_))
            return np.zeros(ind.shape), ind

    return Search


def test_unusable_neighbour_indices_raise_or_follow_numpy(monkeypatch):
    import duv.augmentation._smote_augmentation as module

    # negative indices count from the end, as NumPy's indexing does
    def wrapped(n):
        return np.c_[np.arange(n), -np.arange(1, n + 1)]

    monkeypatch.setattr(module, "NearestNeighbors", fixed_search(wrapped))
    got = smote_augment(X40, Y40, factor=2.0, k_neighbors=1, random_state=0)
    X_ref, y_ref = X40, Y40[:, None]
    rs = np.random.RandomState(0)
    sel = rs.randint(0, 40, size=40)
    ch = wrapped(40)[:, 1:][sel, rs.randint(0, 1, size=40)]
    alpha = rs.rand(40)
    perm = rs.permutation(80)
    np.testing.assert_array_equal(
        got[0], np.vstack([X_ref, X_ref[sel] + alpha[:, None] * (X_ref[ch] - X_ref[sel])])[perm]
    )
    np.testing.assert_array_equal(
        got[1], np.vstack([y_ref, y_ref[sel] + alpha[:, None] * (y_ref[ch] - y_ref[sel])])[perm].ravel()
    )

    monkeypatch.setattr(module, "NearestNeighbors", fixed_search(lambda n: np.c_[np.arange(n), np.full(n, n + 3)]))
    with pytest.raises(IndexError):
        smote_augment(X40, Y40, factor=2.0, k_neighbors=1, random_state=0)
    with pytest.raises(IndexError):
        SMOTEAugmentedClassifier(ClassRecorder(), k_neighbors=1).fit(X40, np.repeat([0, 1], 20))


@pytest.mark.parametrize(
    "make",
    [
        lambda: smote_augment(X40, Y40, factor=3.0, random_state=0, sample_weight=np.linspace(1, 2, 40)),
        lambda: (
            SMOTEAugmentedClassifier(ClassRecorder(), factor=3.0, random_state=0, store_augmented=True)
            .fit(X40, np.repeat([0, 1], 20))
            .augmented_X_,
        ),
    ],
)
def test_a_rebound_np_builds_the_rows(make, monkeypatch):
    import duv.augmentation._smote_augmentation as module

    stacked = []
    proxy = type("np", (), {"__getattr__": lambda self, name: getattr(np, name)})()
    proxy.vstack = lambda arrays: stacked.append(len(arrays)) or np.vstack(arrays)
    expected = make()
    monkeypatch.setattr(module, "np", proxy)
    got = make()
    assert stacked
    for a, b in zip(got, expected, strict=True):
        np.testing.assert_array_equal(a, b)


def test_signatures_are_exactly_the_documented_ones():
    import inspect

    from duv.augmentation import SMOTEAugmentedClassifier, SMOTEAugmentedRegressor, smote_augment

    assert str(inspect.signature(smote_augment)) == (
        "(X, y, factor=10.0, k_neighbors=5, random_state=None, distance_weights=None, shuffle=True, "
        "algorithm='auto', n_jobs=None, extrapolation=0.0, *, sample_weight=None, sample_weight_mode='passthrough')"
    )
    assert str(inspect.signature(SMOTEAugmentedRegressor)) == (
        "(estimator, factor=10.0, k_neighbors=5, distance_weights=None, random_state=None, shuffle=True, "
        "algorithm='auto', n_jobs=None, extrapolation=0.0, sample_weight_mode='passthrough', store_augmented=False)"
    )
    assert str(inspect.signature(SMOTEAugmentedClassifier)) == (
        "(estimator, factor=2.0, k_neighbors=5, random_state=None, shuffle=True, algorithm='auto', n_jobs=None, "
        "extrapolation=0.0, sample_weight_mode='passthrough', store_augmented=False)"
    )


# ---- byte order: the kernels read only native numbers, anything else goes through NumPy ----

SWAPPED = {
    "X": dict(X=X40.astype(">f8")),
    "float32 X": dict(X=X40.astype(">f4")),
    "int X": dict(X=(X40 * 10).astype(">i4")),
    "y": dict(y=Y40.astype(">f8")),
    "2-D y": dict(y=RNG.rand(40, 2).astype(">f8")),
    "weights": dict(sample_weight=RNG.rand(40).astype(">f8")),
    "int weights, extrapolated": dict(sample_weight=RNG.randint(0, 3, 40).astype(">i8"), extrapolation=0.5),
    "explicit little-endian": dict(X=X40.astype("<f8"), sample_weight=RNG.rand(40).astype("<f4")),
}


@pytest.mark.parametrize("name", SWAPPED)
def test_byte_order_of_inputs(name):
    kwargs = dict(X=X40, y=Y40) | SWAPPED[name]
    got = smote_augment(factor=2.5, random_state=3, **kwargs)
    want = ref_smote(factor=2.5, random_state=3, **kwargs)
    for g, w in zip(got, want, strict=True):
        assert_same(g, w)


@pytest.mark.parametrize("dtype", [">f8", ">i8", "<f4"])
def test_classifier_byte_order_of_X(dtype):
    X, y, sw = (CLF_X["float64"] * 50).astype(dtype), CLF_Y["int"], RNG.rand(60).astype(">f8")
    model = SMOTEAugmentedClassifier(ClassRecorder(), factor=2.5, extrapolation=0.5, random_state=4)
    model.fit(X, y, sample_weight=sw)
    want = ref_classifier_data(check_array(X), y, factor=2.5, extrapolation=0.5, random_state=4, sample_weight=sw)
    for g, w in zip((model.estimator_.X_, model.estimator_.y_, model.estimator_.sw_), want, strict=True):
        assert_same(g, w)


@pytest.mark.parametrize("X", [np.array([[3e38], [-3e38]], dtype=np.float32), np.array([[1e308], [-1e308]])])
def test_overflowing_interpolation_warns_as_numpy(X):
    y = np.arange(2.0)
    with pytest.warns(RuntimeWarning, match="overflow encountered in subtract"):
        X_aug, _, _ = smote_augment(X, y, factor=3.0, random_state=0, k_neighbors=1)
    assert np.isinf(X_aug).any()
    with np.errstate(over="raise"), pytest.raises(FloatingPointError, match="overflow encountered in subtract"):
        smote_augment(X, y, factor=3.0, random_state=0, k_neighbors=1)
    with np.errstate(over="raise"), pytest.raises(FloatingPointError):
        SMOTEAugmentedClassifier(Ridge(), factor=3.0, k_neighbors=1, random_state=0).fit(
            np.vstack([X, X / 2]), [0, 0, 1, 1]
        )
