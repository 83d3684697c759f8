"""The SMOTE family against a line-by-line Python statement of its documented behaviour."""

import inspect
import itertools
import warnings

import numpy as np
import pytest
from scipy import sparse
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin, clone
from sklearn.neighbors import NearestNeighbors
from sklearn.utils import check_consistent_length
from sklearn.utils._param_validation import InvalidParameterError, validate_params
from sklearn.utils.validation import _num_samples, check_array, check_random_state, check_X_y

import duv.augmentation._smote_augmentation as module
from duv.augmentation import SMOTEAugmentedClassifier, SMOTEAugmentedRegressor, smote_augment

# ---- reference --------------------------------------------------------------------------------


def ref_smote_augment(
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
    check_consistent_length(X, y)
    n_samples = _num_samples(X)
    if factor < 1.0:
        raise ValueError(f"factor must be >= 1.0 for SMOTE augmentation, got {factor!r}")
    mode = str(sample_weight_mode).lower()
    if mode not in ("consume", "passthrough"):
        raise ValueError("sample_weight_mode must be one of {'passthrough','consume'}")

    def target(t):
        return t.reshape(-1) if y_was_1d else t

    def early():
        if mode == "consume":
            w = np.ones(n_samples, dtype=float)
        else:
            w = None if sample_weight is None else np.asarray(sample_weight)
        return X, target(y), w

    if factor == 1.0:
        if shuffle:
            rng = check_random_state(random_state)
            indices = rng.permutation(n_samples)
            if mode == "consume":
                w = np.ones(n_samples, dtype=float)
            else:
                w = None if sample_weight is None else np.asarray(sample_weight)[indices]
            return X[indices], target(y[indices]), w
        return early()
    n_synthetic = int(round(n_samples * (factor - 1.0)))
    if n_synthetic == 0:
        return early()
    k = min(k_neighbors, n_samples - 1)
    if k <= 0:
        warnings.warn(
            "Not enough samples for k-nearest neighbors. Returning original data without augmentation.",
            UserWarning,
            stacklevel=2,
        )
        return early()
    random_state = check_random_state(random_state)
    metric_params = None
    if distance_weights is not None:
        dw = np.asarray(distance_weights)
        if dw.shape != (X.shape[1],):
            raise ValueError(f"distance_weights must have shape ({X.shape[1]},), got {dw.shape}")
        metric_params = {"w": dw}
    nn = NearestNeighbors(
        n_neighbors=k + 1, algorithm=algorithm, n_jobs=n_jobs, metric="minkowski", metric_params=metric_params
    )
    nn.fit(X)
    _, all_neighbor_indices = nn.kneighbors(X)
    neighbor_indices = all_neighbor_indices[:, 1:]
    if mode == "consume" and sample_weight is not None:
        sw = np.asarray(sample_weight)
        if sw.shape != (n_samples,):
            raise ValueError(f"sample_weight should have shape ({n_samples},), got {sw.shape}")
        if np.any(sw < 0):
            raise ValueError("sample_weight must be non-negative")
        total = float(sw.sum())
        if not np.isfinite(total) or total <= 0:
            raise ValueError("Sum of sample_weight must be positive")
        p = sw / total
        selected_indices = random_state.choice(n_samples, size=n_synthetic, replace=True, p=p)
    else:
        selected_indices = random_state.randint(0, n_samples, size=n_synthetic)
    selected_neighbors = random_state.randint(0, k, size=n_synthetic)
    chosen = neighbor_indices[selected_indices, selected_neighbors]
    base_X, neigh_X = X[selected_indices], X[chosen]
    base_y, neigh_y = y[selected_indices], y[chosen]
    alpha = random_state.rand(n_synthetic)
    if extrapolation and extrapolation > 0.0:
        alpha = (extrapolation + 1.0) * alpha - extrapolation / 2.0
    X_synthetic = base_X + alpha[:, np.newaxis] * (neigh_X - base_X)
    y_synthetic = base_y + alpha[:, np.newaxis] * (neigh_y - base_y)
    X_augmented = np.vstack([X, X_synthetic])
    y_augmented = np.vstack([y, y_synthetic])
    if mode == "consume":
        sw_augmented = np.ones(X_augmented.shape[0], dtype=float)
    elif sample_weight is None:
        sw_augmented = None
    else:
        alpha_clip = np.clip(alpha, 0.0, 1.0)
        w = np.asarray(sample_weight)
        w_syn = (1.0 - alpha_clip) * w[selected_indices] + alpha_clip * w[chosen]
        sw_augmented = np.concatenate([w, w_syn])
    if shuffle:
        perm = random_state.permutation(y_augmented.shape[0])
        X_augmented, y_augmented = X_augmented[perm], y_augmented[perm]
        if sw_augmented is not None:
            sw_augmented = sw_augmented[perm]
    return X_augmented, target(y_augmented), sw_augmented


class Fitted:
    """Attributes in assignment order, as a fit of the documented code leaves them."""


def ref_inner_fit(est, X, y, sw):
    try:
        if sw is not None:
            est.fit(X, y, sample_weight=sw)
        else:
            est.fit(X, y)
    except TypeError:
        est.fit(X, y)
    return est


def ref_validate_estimator(estimator):
    if not hasattr(estimator, "fit"):
        raise ValueError(f"estimator {estimator} does not have a 'fit' method")
    if not hasattr(estimator, "predict"):
        raise ValueError(f"estimator {estimator} does not have a 'predict' method")


def ref_regressor_fit(params, X, y, sample_weight=None, self=None):
    self = Fitted() if self is None else self
    X, y = check_X_y(X, y, multi_output=True, y_numeric=True)
    check_consistent_length(X, y)
    ref_validate_estimator(params["estimator"])
    self.random_state_ = check_random_state(params["random_state"])
    self.n_samples_ = _num_samples(X)
    self.n_features_in_ = X.shape[1]
    self._y_was_1d = len(y.shape) == 1
    if self._y_was_1d:
        y = y.reshape(-1, 1)
    self.n_outputs_ = y.shape[1]
    X_aug, y_aug, sw_aug = ref_smote_augment(
        X,
        y,
        factor=params["factor"],
        distance_weights=params["distance_weights"],
        k_neighbors=params["k_neighbors"],
        random_state=self.random_state_,
        shuffle=False,
        algorithm=params["algorithm"],
        n_jobs=params["n_jobs"],
        extrapolation=params["extrapolation"],
        sample_weight=sample_weight,
        sample_weight_mode=params["sample_weight_mode"],
    )
    self.n_synthetic_ = _num_samples(X_aug) - self.n_samples_
    if params["shuffle"]:
        indices = np.arange(_num_samples(X_aug))
        self.random_state_.shuffle(indices)
        X_aug, y_aug = X_aug[indices], y_aug[indices]
        if sw_aug is not None:
            sw_aug = sw_aug[indices]
    if self._y_was_1d:
        y_aug = y_aug.ravel()
    if params["store_augmented"]:
        self.augmented_X_ = X_aug
        self.augmented_y_ = y_aug
    self.estimator_ = ref_inner_fit(clone(params["estimator"]), X_aug, y_aug, sw_aug)
    return self


ref_regressor_fit = validate_params(
    {"X": ["array-like", "sparse matrix"], "y": ["array-like"], "sample_weight": ["array-like", None]},
    prefer_skip_nested_validation=True,
)(ref_regressor_fit)


def ref_classifier_fit(params, X, y, sample_weight=None, self=None):
    self = Fitted() if self is None else self
    X, y = check_X_y(X, y, multi_output=False)
    ref_validate_estimator(params["estimator"])
    rng = check_random_state(params["random_state"])
    self.n_features_in_ = X.shape[1]
    n_samples = _num_samples(X)
    factor = params["factor"]
    mode = params["sample_weight_mode"]

    def finish(X_aug, y_aug, sw_aug):
        if params["store_augmented"]:
            self.augmented_X_ = X_aug
            self.augmented_y_ = y_aug
        self.estimator_ = ref_inner_fit(clone(params["estimator"]), X_aug, y_aug, sw_aug)
        return self

    if factor < 1.0:
        raise ValueError("factor must be >= 1.0 for SMOTE augmentation")
    if factor == 1.0:
        if params["shuffle"]:
            idx = rng.permutation(n_samples)
            X, y = X[idx], y[idx]
            if sample_weight is not None:
                sample_weight = np.asarray(sample_weight)[idx]
        return finish(X, y, sample_weight)
    y_arr = np.asarray(y)
    classes = np.unique(y_arr)
    n_synthetic_total = int(round(n_samples * (factor - 1.0)))
    if n_synthetic_total <= 0:
        return finish(X, y, sample_weight)  # the mended road: weights kept, no shuffle
    class_counts = {c: int(np.sum(y_arr == c)) for c in classes}
    total = float(n_samples)
    synth_per_class = {c: max(0, int(round(n_synthetic_total * (count / total)))) for c, count in class_counts.items()}
    delta = n_synthetic_total - sum(synth_per_class.values())
    if delta != 0:
        remainders = {c: n_synthetic_total * (count / total) - synth_per_class[c] for c, count in class_counts.items()}
        order = sorted(classes, key=lambda c: remainders[c], reverse=True)
        for i in range(abs(delta)):
            c = order[i % len(order)]
            synth_per_class[c] += 1 if delta > 0 else -1
    X_synth_list, y_synth_list = [], []
    for c in classes:
        n_synth_c = synth_per_class[c]
        if n_synth_c <= 0:
            continue
        mask = y_arr == c
        X_c = X[mask]
        sw_c = np.asarray(sample_weight)[mask] if sample_weight is not None else None
        if X_c.shape[0] <= 1:
            continue
        k = min(params["k_neighbors"], X_c.shape[0] - 1)
        if k <= 0:
            continue
        nn = NearestNeighbors(n_neighbors=k + 1, algorithm=params["algorithm"], n_jobs=params["n_jobs"])
        nn.fit(X_c)
        _, all_neighbors = nn.kneighbors(X_c)
        neigh_idx = all_neighbors[:, 1:]
        if sample_weight is not None and mode == "consume":
            total = float(sw_c.sum())
            if not np.isfinite(total) or total <= 0:
                raise ValueError("Sum of sample_weight must be positive")
            p_c = sw_c / total
            base_idx = rng.choice(X_c.shape[0], size=n_synth_c, replace=True, p=p_c)
        else:
            base_idx = rng.randint(0, X_c.shape[0], size=n_synth_c)
        neigh_choice = rng.randint(0, k, size=n_synth_c)
        neigh_pick = neigh_idx[base_idx, neigh_choice]
        base_X, neigh_X = X_c[base_idx], X_c[neigh_pick]
        alpha = rng.rand(n_synth_c)
        extrapolation = params["extrapolation"]
        if extrapolation and extrapolation > 0.0:
            alpha = (extrapolation + 1.0) * alpha - extrapolation / 2.0
        X_synth_list.append(base_X + alpha[:, np.newaxis] * (neigh_X - base_X))
        y_synth_list.append(np.full(n_synth_c, c))
    if not X_synth_list:
        X_aug, y_aug = X, y
        sw_aug = np.asarray(sample_weight) if sample_weight is not None else None
    else:
        X_synth = np.vstack(X_synth_list)
        y_synth = np.concatenate(y_synth_list)
        X_aug = np.vstack([X, X_synth])
        y_aug = np.concatenate([y_arr, y_synth])
        if sample_weight is not None and mode == "passthrough":
            sw_aug = np.concatenate([np.asarray(sample_weight), np.ones(X_synth.shape[0], dtype=float)])
        else:
            sw_aug = None
    if params["shuffle"]:
        idx = rng.permutation(X_aug.shape[0])
        X_aug, y_aug = X_aug[idx], y_aug[idx]
        if sw_aug is not None:
            sw_aug = sw_aug[idx]
    return finish(X_aug, y_aug, sw_aug)


# ---- helpers ------------------------------------------------------------------------------------


class Log(RegressorMixin, BaseEstimator):
    """Records every fit call; `fail_weighted` raises TypeError when given weights."""

    def __init__(self, fail_weighted=False):
        self.fail_weighted = fail_weighted

    def fit(self, X, y, sample_weight=None):
        self.calls_ = getattr(self, "calls_", []) + [(X, y, sample_weight)]
        if self.fail_weighted and sample_weight is not None:
            raise TypeError("no weights here")
        return self

    def predict(self, X):
        return np.zeros(len(X))


class ClassLog(ClassifierMixin, Log):
    pass


def same(got, want):
    if want is None:
        assert got is None
        return
    assert type(got) is type(want)
    if not isinstance(want, np.ndarray):
        assert got == want
        return
    assert got.dtype == want.dtype and got.shape == want.shape
    np.testing.assert_array_equal(got, want)


def outcome(fn, *args, **kwargs):
    """(result, None) or (None, (type, message)), with the warnings it emitted."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result, error = fn(*args, **kwargs), None
        except Exception as exc:  # compared, never swallowed
            result, error = None, (type(exc), str(exc))
    return result, error, [(w.category, str(w.message)) for w in caught]


def same_state(a, b):
    sa = a if isinstance(a, tuple) else a.get_state()
    sb = b if isinstance(b, tuple) else b.get_state()
    np.testing.assert_array_equal(sa[1], sb[1])
    assert sa[2:] == sb[2:]


def compare_fits(ours, ref):
    got_vars, want_vars = vars(ours), vars(ref)
    fitted = list(got_vars)[len(ours.get_params(deep=False)) :]
    assert fitted == list(want_vars)
    for name, want in want_vars.items():
        got = got_vars[name]
        if name == "estimator_":
            assert len(got.calls_) == len(want.calls_)
            for call_got, call_want in zip(got.calls_, want.calls_, strict=True):
                for g, w in zip(call_got, call_want, strict=True):
                    same(g, w)
        elif name == "random_state_":
            same_state(got, want)
        elif isinstance(want, np.ndarray):
            same(got, want)
        else:
            assert type(got) is type(want) and got == want


RNG = np.random.RandomState(12)
BASE_X = RNG.rand(9, 3) * 10

X_KINDS = {
    "float64": BASE_X,
    "float32": BASE_X.astype(np.float32),
    "int64": (BASE_X * 3).astype(np.int64),
    "int32 fortran": np.asfortranarray((BASE_X * 3).astype(np.int32)),
    "uint8": (BASE_X * 30).astype(np.uint8),
    "int16": (BASE_X * 30).astype(np.int16) - 100,
    "float16": BASE_X.astype(np.float16),
    "list": BASE_X.round(2).tolist(),
    "strided": np.hstack([BASE_X, BASE_X])[:, ::2],
    "big-endian": BASE_X.astype(">f8"),
    "bool": BASE_X > 5,
}
Y_KINDS = {
    "float": RNG.rand(9),
    "2-D": RNG.rand(9, 2),
    "column": RNG.rand(9, 1),
    "int": RNG.randint(0, 4, 9),
    "list": [1.5, 2, 3, 4, 5, 6, 7, 8, 9],
    "float32": RNG.rand(9).astype(np.float32),
}
CALLS = [
    dict(factor=1.0),
    dict(factor=1.0, shuffle=False),
    dict(factor=1.05),
    dict(factor=1.5, k_neighbors=0),
    dict(factor=2),
    dict(factor=np.float32(2.5)),
    dict(factor=3.3, extrapolation=1),
    dict(factor=2.0, extrapolation=np.float32(0.5), k_neighbors=np.int64(2)),
    dict(factor=2.0, extrapolation=-1.0, shuffle=0),
    dict(factor=1.5, distance_weights=[1, 0.5, 2]),
    dict(factor=1.5, distance_weights=np.ones(2)),
    dict(factor=0.5, sample_weight_mode="nope"),
    dict(factor=2.0, sample_weight_mode="nope"),
    dict(factor=1.0, sample_weight_mode="CONSUME", sample_weight=[1.0] * 9),
    dict(factor=1.0, sample_weight=np.arange(9.0)),
    dict(factor=1.05, sample_weight=np.arange(9)),
    dict(factor=2.0, sample_weight=np.arange(9)),
    dict(factor=2.0, sample_weight=np.arange(9) % 2 == 0, extrapolation=0.4),
    dict(factor=2.0, sample_weight=np.arange(9.0).astype(np.float32)),
    dict(factor=2.0, sample_weight=np.arange(9.0).astype(np.float16)),
    dict(factor=2.0, sample_weight=list(range(9))),
    dict(factor=2.0, sample_weight=np.arange(9.0), sample_weight_mode="Consume"),
    dict(factor=2.0, sample_weight_mode="consume"),
    dict(factor=2.0, sample_weight=np.ones(4), sample_weight_mode="consume"),
    dict(factor=2.0, sample_weight=-np.ones(9), sample_weight_mode="consume"),
    dict(factor=2.0, sample_weight=np.zeros(9), sample_weight_mode="consume"),
    dict(factor=2.0, sample_weight=np.r_[np.nan, np.ones(8)], sample_weight_mode="consume"),
    dict(factor=2.0, sample_weight=np.ones(12)),
    dict(factor=2.0, sample_weight=np.ones((9, 2))),
    dict(factor=2.0, algorithm="nope"),
    dict(factor=float("nan")),
    dict(factor=2.0, k_neighbors=2.0),
]


def run_both(fn_ours, fn_ref, seed, *args, **kwargs):
    """Runs both with equal random states (an int, a RandomState object, or the global one)."""
    results = []
    for fn in (fn_ours, fn_ref):
        if seed == "global":
            np.random.seed(4)
            rs = None
        elif seed == "object":
            rs = np.random.RandomState(4)
        else:
            rs = seed
        res = outcome(fn, *args, random_state=rs, **kwargs)
        results.append((res, (rs if seed == "object" else np.random.mtrand._rand).get_state()))
    return results


@pytest.mark.parametrize(
    "x_name, y_name",
    [(x, "float") for x in X_KINDS] + [("float64", y) for y in Y_KINDS] + [("int64", "int"), ("float32", "2-D")],
)
@pytest.mark.parametrize("call", range(len(CALLS)))
def test_smote_augment_against_reference(x_name, y_name, call):
    X, y, kwargs = X_KINDS[x_name], Y_KINDS[y_name], CALLS[call]
    seed = ["object", "global", 5][call % 3]
    X_before = np.array(X, copy=True)
    (got, got_rs), (want, want_rs) = run_both(smote_augment, ref_smote_augment, seed, X, y, **kwargs)
    assert got[1:] == want[1:]  # errors and warnings
    if want[0] is not None:
        for g, w in zip(got[0], want[0], strict=True):
            same(g, w)
    same_state(got_rs, want_rs)
    np.testing.assert_array_equal(np.asarray(X), X_before)


def test_early_returns_hand_back_validated_arrays():
    X, y, w = BASE_X, Y_KINDS["float"], np.arange(9.0)
    for kwargs in (dict(factor=1.0, shuffle=False), dict(factor=1.05), dict(factor=2.0, k_neighbors=0)):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            X_out, y_out, w_out = smote_augment(X, y, sample_weight=w, **kwargs)
        assert X_out is X and w_out is w and y_out.base is y


# ---- meta-estimators ------------------------------------------------------------------------------

REG_DEFAULTS = dict(
    factor=10.0,
    k_neighbors=5,
    distance_weights=None,
    random_state=None,
    shuffle=True,
    algorithm="auto",
    n_jobs=None,
    extrapolation=0.0,
    sample_weight_mode="passthrough",
    store_augmented=False,
)
CLF_DEFAULTS = {k: v for k, v in REG_DEFAULTS.items() if k != "distance_weights"} | {"factor": 2.0}

REG_CASES = [
    dict(),
    dict(factor=1.0),
    dict(factor=1.0, shuffle=False),
    dict(factor=1.05, store_augmented=True),
    dict(factor=2, store_augmented=1, extrapolation=0.5),
    dict(factor=2.5, shuffle=False, store_augmented=True),
    dict(factor=2.0, distance_weights=[1, 2, 3]),
    dict(factor=2.0, sample_weight_mode="consume"),
    dict(factor=2.0, k_neighbors=0),
    dict(factor=0.5),
    dict(factor=2.0, estimator=Log(fail_weighted=True)),
    dict(factor=2.0, sample_weight_mode="bad"),
    dict(factor=np.float64(1.5), random_state=np.int64(3)),
    dict(factor=2.0, algorithm="nope"),
    dict(factor=2.0, estimator="not an estimator"),
]
FIT_INPUTS = {
    "float": (BASE_X, Y_KINDS["float"], None),
    "weights": (BASE_X, Y_KINDS["float"], np.arange(1.0, 10.0)),
    "2-D y, int X": ((BASE_X * 3).astype(int), Y_KINDS["2-D"], None),
    "int y, list weights": (BASE_X, Y_KINDS["int"], list(range(1, 10))),
    "column y": (BASE_X.astype(np.float32), Y_KINDS["column"], np.arange(9)),
}


@pytest.mark.parametrize("case", range(len(REG_CASES)))
@pytest.mark.parametrize("data", FIT_INPUTS)
@pytest.mark.parametrize("seed", ["object", 7, "global"])
def test_regressor_fit_against_reference(case, data, seed):
    params = dict(dict(REG_DEFAULTS, estimator=Log()), **REG_CASES[case])
    X, y, sw = FIT_INPUTS[data]
    results = []
    for kind in ("ours", "ref"):
        p = dict(params)
        if seed == "global":
            np.random.seed(4)
        p["random_state"] = np.random.RandomState(4) if seed == "object" else (None if seed == "global" else seed)
        if kind == "ours":
            model = SMOTEAugmentedRegressor(**p)
            res = outcome(model.fit, X, y, sample_weight=sw)
            results.append((model, res))
        else:
            ref = Fitted()
            results.append((ref, outcome(ref_regressor_fit, p, X, y, sw, ref)))
    (model, got), (ref, want) = results
    assert got[1:] == want[1:]
    assert (got[0] is model) == (want[0] is ref)
    compare_fits(model, ref)


CLF_Y = {
    "int": np.repeat([3, 1, 2], [5, 4, 3]),
    "str": np.repeat(["b", "a", "cc"], [5, 4, 3]),
    "object": np.repeat(["b", "a", "cc"], [5, 4, 3]).astype(object),
    "bool": np.repeat([True, False], [7, 5]),
    "float": np.repeat([0.5, -1.0, 2.0], [5, 4, 3]),
    "single row class": np.repeat([0, 1, 2], [7, 4, 1]),
}
CLF_CASES = [
    dict(),
    dict(factor=1.0),
    dict(factor=1.0, shuffle=False, store_augmented=True),
    dict(factor=1.04),
    dict(factor=1.04, estimator=ClassLog(fail_weighted=True)),
    dict(factor=1.5, extrapolation=1),
    dict(factor=1.45, k_neighbors=1),
    dict(factor=3.1, store_augmented=True),
    dict(factor=2.0, k_neighbors=0),
    dict(factor=2.0, sample_weight_mode="consume"),
    dict(factor=2.0, sample_weight_mode="CONSUME"),
    dict(factor=2.0, sample_weight_mode="other"),
    dict(factor=0.2),
    dict(factor=2.0, shuffle=False),
    dict(factor=2.0, estimator=ClassLog(fail_weighted=True)),
    dict(factor=float("nan")),
    dict(factor=float("inf")),
    dict(factor=2.0, k_neighbors=None),
    dict(factor=2.0, estimator="not an estimator"),
]
CLF_X = {"float": RNG.rand(12, 2), "int": RNG.randint(0, 9, (12, 2)), "float32": RNG.rand(12, 2).astype(np.float32)}


CLF_INPUTS = [("float", None, 1), ("int", "float", "object"), ("float32", "list", "global"), ("float", "zero class", 2)]


@pytest.mark.parametrize("case", range(len(CLF_CASES)))
@pytest.mark.parametrize("y_index", range(len(CLF_Y)))
def test_classifier_fit_against_reference(case, y_index):
    y_name = list(CLF_Y)[y_index]
    # every input kind meets every case across the label kinds
    x_name, weights, seed = CLF_INPUTS[(case + y_index) % len(CLF_INPUTS)]
    params = dict(dict(CLF_DEFAULTS, estimator=ClassLog()), **CLF_CASES[case])
    X, y = CLF_X[x_name], CLF_Y[y_name]
    sw = {None: None, "float": RNG.rand(12), "list": list(range(12)), "zero class": np.r_[np.ones(11), 0.0]}[weights]
    results = []
    for kind in ("ours", "ref"):
        p = dict(params)
        if seed == "global":
            np.random.seed(4)
        p["random_state"] = np.random.RandomState(4) if seed == "object" else (None if seed == "global" else seed)
        rs = p["random_state"] if seed == "object" else np.random.mtrand._rand
        if kind == "ours":
            model = SMOTEAugmentedClassifier(**p)
            results.append((model, outcome(model.fit, X, y, sample_weight=sw), rs.get_state()))
        else:
            ref = Fitted()
            results.append((ref, outcome(ref_classifier_fit, p, X, y, sw, ref), rs.get_state()))
    (model, got, got_rs), (ref, want, want_rs) = results
    assert got[1:] == want[1:]
    assert (got[0] is model) == (want[0] is ref)
    same_state(got_rs, want_rs)
    compare_fits(model, ref)


def test_classifier_without_synthetic_rows_fits_like_factor_one():
    X, y, w = CLF_X["float"], CLF_Y["int"], np.arange(1.0, 13.0)
    model = SMOTEAugmentedClassifier(ClassLog(fail_weighted=True), factor=1.04, random_state=0)
    model.fit(X, y, sample_weight=w)
    (X1, y1, w1), (X2, y2, w2) = model.estimator_.calls_
    assert X1 is X2 and y1 is y2 and w1 is w and w2 is None
    np.testing.assert_array_equal(X1, X)
    np.testing.assert_array_equal(y1, y)


# ---- namespace, signatures, constraints --------------------------------------------------------------


def test_module_namespace():
    names = [n for n in vars(module) if not n.startswith("__")]
    assert names == [
        "warnings",
        "np",
        "BaseEstimator",
        "ClassifierMixin",
        "RegressorMixin",
        "clone",
        "NearestNeighbors",
        "check_consistent_length",
        "Integral",
        "Interval",
        "Real",
        "StrOptions",
        "validate_params",
        "_check_sample_weight",
        "_num_samples",
        "check_array",
        "check_is_fitted",
        "check_random_state",
        "check_X_y",
        "UnwrapMetaEstimatorMixin",
        "smote_augment",
        "SMOTEAugmentedRegressor",
        "SMOTEAugmentedClassifier",
    ]
    assert not hasattr(module, "__all__")


def test_signatures_and_constraints():
    def shape(fn):
        return [(p.name, p.kind, p.default) for p in inspect.signature(fn).parameters.values()]

    P, K = inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.KEYWORD_ONLY
    E = inspect.Parameter.empty
    assert shape(smote_augment) == [
        ("X", P, E),
        ("y", P, E),
        ("factor", P, 10.0),
        ("k_neighbors", P, 5),
        ("random_state", P, None),
        ("distance_weights", P, None),
        ("shuffle", P, True),
        ("algorithm", P, "auto"),
        ("n_jobs", P, None),
        ("extrapolation", P, 0.0),
        ("sample_weight", K, None),
        ("sample_weight_mode", K, "passthrough"),
    ]
    for cls, defaults in ((SMOTEAugmentedRegressor, REG_DEFAULTS), (SMOTEAugmentedClassifier, CLF_DEFAULTS)):
        assert shape(cls.__init__) == [("self", P, E), ("estimator", P, E)] + [(k, P, v) for k, v in defaults.items()]
        assert shape(cls.fit) == [("self", P, E), ("X", P, E), ("y", P, E), ("sample_weight", P, None)]
        constraints = cls._parameter_constraints
        assert list(constraints) == ["estimator"] + list(defaults)
        assert constraints["estimator"] == [object] and constraints["random_state"] == ["random_state"]
        for name, low, typ in (("factor", 1.0, "Real"), ("k_neighbors", 1, "Integral"), ("extrapolation", 0.0, "Real")):
            (iv,) = constraints[name]
            assert (iv.type.__name__, iv.left, type(iv.left), iv.right, iv.closed) == (
                typ,
                low,
                type(low),
                None,
                "left",
            )
        assert constraints["algorithm"][0].options == {"auto", "brute", "ball_tree", "kd_tree"}
        assert constraints["sample_weight_mode"][0].options == {"consume", "passthrough"}
        assert constraints["n_jobs"] == [module.Integral, None]
        assert constraints["shuffle"] == constraints["store_augmented"] == ["boolean"]
        assert cls.__bases__[1:] == (module.UnwrapMetaEstimatorMixin, BaseEstimator)
    assert SMOTEAugmentedRegressor._parameter_constraints["distance_weights"] == ["array-like", None]


def test_regressor_fit_wrapper():
    model = SMOTEAugmentedRegressor(Log())
    for kwargs, name in (
        (dict(X="abc", y=[1.0]), "X"),
        (dict(X=BASE_X, y=3), "y"),
        (dict(X=BASE_X, y=Y_KINDS["float"], sample_weight="w"), "sample_weight"),
    ):
        with pytest.raises(InvalidParameterError, match=rf"^The '{name}' parameter of SMOTEAugmentedRegressor.fit "):
            model.fit(**kwargs)
    with pytest.raises(TypeError, match="Sparse data was passed"):
        model.fit(sparse.csr_matrix(BASE_X), Y_KINDS["float"])
    assert not hasattr(model, "random_state_")


def test_repeated_fit_keeps_stored_arrays_and_estimator_on_failure():
    model = SMOTEAugmentedRegressor(Log(), factor=2.0, store_augmented=True, random_state=0)
    model.fit(BASE_X, Y_KINDS["float"])
    stored, fitted = model.augmented_X_, model.estimator_
    model.set_params(store_augmented=False, estimator=Log(fail_weighted=True))
    model.fit(BASE_X, Y_KINDS["float"])
    assert model.augmented_X_ is stored and model.estimator_ is not fitted

    class Broken(Log):
        def fit(self, X, y, sample_weight=None):
            raise RuntimeError("broken")

    before = model.estimator_
    model.set_params(estimator=Broken(), store_augmented=True)
    with pytest.raises(RuntimeError, match=r"^broken$"):
        model.fit(BASE_X, Y_KINDS["float"])
    assert model.estimator_ is before and model.augmented_X_ is not stored


def test_predict_and_feature_message():
    for cls, y in ((SMOTEAugmentedRegressor, Y_KINDS["2-D"]), (SMOTEAugmentedClassifier, CLF_Y["str"][:9])):
        model = cls(Log(), random_state=0).fit(BASE_X, y)
        out = model.predict(BASE_X.tolist())
        assert isinstance(out, np.ndarray) and out.shape == (9,)
        with pytest.raises(ValueError) as info:
            model.predict(BASE_X[:, :2])
        assert str(info.value) == "X has 2 features, but this estimator was fitted with 3 features"


@pytest.mark.parametrize("pair", list(itertools.product(["int", "str", "object", "bool"], [1.3, 2.0])))
def test_classifier_label_dtype(pair):
    y_name, factor = pair
    y = CLF_Y[y_name]
    model = SMOTEAugmentedClassifier(ClassLog(), factor=factor, store_augmented=True, random_state=0)
    model.fit(CLF_X["float"], y)
    assert model.augmented_y_.dtype == y.dtype
    assert [type(v) for v in model.augmented_y_[:3]] == [type(v) for v in y[:3]] or y.dtype != object


class ViewingRandomState(np.random.RandomState):
    """Hands out fresh views of arrays it keeps: the views are private, their data is not."""

    def __init__(self, seed):
        super().__init__(seed)
        self.kept = []

    def _view(self, arr):
        self.kept.append((arr, arr.copy()))
        return arr[:]

    def randint(self, *args, **kwargs):
        return self._view(super().randint(*args, **kwargs))

    def rand(self, *args):
        return self._view(super().rand(*args))

    def choice(self, *args, **kwargs):
        return self._view(super().choice(*args, **kwargs))


@pytest.mark.parametrize(
    "kwargs",
    [
        dict(extrapolation=0.5),
        dict(sample_weight=np.arange(1.0, 10.0)),
        dict(sample_weight=np.arange(1.0, 10.0), sample_weight_mode="consume"),
    ],
)
def test_draws_seen_through_views_are_left_alone(kwargs):
    rs = ViewingRandomState(3)
    got = smote_augment(BASE_X, Y_KINDS["float"], factor=3.0, random_state=rs, **kwargs)
    want = ref_smote_augment(BASE_X, Y_KINDS["float"], factor=3.0, random_state=np.random.RandomState(3), **kwargs)
    for g, w in zip(got, want, strict=True):
        same(g, w)
    for arr, copy in rs.kept:
        np.testing.assert_array_equal(arr, copy)
    rs = ViewingRandomState(3)
    SMOTEAugmentedClassifier(ClassLog(), random_state=rs, extrapolation=0.5).fit(CLF_X["float"], CLF_Y["int"])
    for arr, copy in rs.kept:
        np.testing.assert_array_equal(arr, copy)


def test_mode_with_embedded_nul_is_rejected():
    with pytest.raises(ValueError, match=r"^sample_weight_mode must be one of \{'passthrough','consume'\}$"):
        smote_augment(BASE_X, Y_KINDS["float"], factor=2.0, sample_weight_mode="consume\0x")


def test_classifier_weight_sum_goes_through_float():
    # float() parses the string sum of object weights; the division then fails as in Python
    sw = np.array(["1"] * 12, dtype=object)
    model = SMOTEAugmentedClassifier(ClassLog(), sample_weight_mode="consume", random_state=0)
    _, want, _ = outcome(
        ref_classifier_fit,
        dict(CLF_DEFAULTS, estimator=ClassLog(), random_state=0, sample_weight_mode="consume"),
        CLF_X["float"],
        CLF_Y["int"],
        sw,
    )
    _, got, _ = outcome(model.fit, CLF_X["float"], CLF_Y["int"], sample_weight=sw)
    assert got == want and want[0] is TypeError


class OddDraws(np.random.RandomState):
    """Draws of other types than NumPy's usual: lists of indices, float32 coefficients."""

    def randint(self, *args, **kwargs):
        return super().randint(*args, **kwargs).tolist()

    def rand(self, *args):
        return super().rand(*args).astype(np.float32)


def wrapped_search(n_neighbors, **params):
    """A neighbour search answering with negative indices, which NumPy's indexing wraps."""
    nn = SKLEARN_NN(n_neighbors=n_neighbors, **params)

    class Search:
        def fit(self, X):
            nn.fit(X)
            return self

        def kneighbors(self, X):
            dist, ind = nn.kneighbors(X)
            return dist, ind - len(X)

    return Search()


SKLEARN_NN = NearestNeighbors


@pytest.mark.parametrize("odd", ["draws", "search"])
def test_classifier_follows_numpy_for_unusual_draws_and_indices(odd, monkeypatch):
    X, y = CLF_X["int"], CLF_Y["int"]
    params = dict(CLF_DEFAULTS, estimator=ClassLog(), factor=2.5, store_augmented=True)
    if odd == "search":
        monkeypatch.setattr(module, "NearestNeighbors", wrapped_search)
        monkeypatch.setitem(globals(), "NearestNeighbors", wrapped_search)
    seeds = [OddDraws(1), OddDraws(1)] if odd == "draws" else [1, 1]
    model = SMOTEAugmentedClassifier(**dict(params, random_state=seeds[0])).fit(X, y)
    ref = ref_classifier_fit(dict(params, random_state=seeds[1]), X, y)
    compare_fits(model, ref)


@pytest.mark.parametrize("factor, k_neighbors", [(1e12, 0), (1e19, 0), (1e12, 5), (1e19, 5)])
def test_classifier_huge_factor(factor, k_neighbors):
    params = dict(CLF_DEFAULTS, estimator=ClassLog(), factor=factor, k_neighbors=k_neighbors, random_state=0)
    _, want, _ = outcome(ref_classifier_fit, params, CLF_X["float"], CLF_Y["int"])
    model = SMOTEAugmentedClassifier(**params)
    _, got, _ = outcome(model.fit, CLF_X["float"], CLF_Y["int"])
    assert got == want


def far_search(n_neighbors, **params):
    """A neighbour search naming a row past the end."""

    class Search:
        def fit(self, X):
            self.n_ = len(X)
            return self

        def kneighbors(self, X):
            ind = np.tile(np.arange(n_neighbors), (self.n_, 1))
            ind[:, -1] = self.n_ + 2
            return np.zeros(ind.shape), ind

    return Search()


@pytest.mark.parametrize("odd", ["draws", "wrapped search", "far search"])
def test_smote_augment_follows_numpy_for_unusual_draws_and_indices(odd, monkeypatch):
    search = {"wrapped search": wrapped_search, "far search": far_search}.get(odd)
    if search is not None:
        monkeypatch.setattr(module, "NearestNeighbors", search)
        monkeypatch.setitem(globals(), "NearestNeighbors", search)
    seeds = [OddDraws(2), OddDraws(2)] if odd == "draws" else [np.random.RandomState(2), np.random.RandomState(2)]
    kwargs = dict(factor=2.5, k_neighbors=1, sample_weight=np.arange(9.0))
    got = outcome(smote_augment, BASE_X, Y_KINDS["2-D"], random_state=seeds[0], **kwargs)
    want = outcome(ref_smote_augment, BASE_X, Y_KINDS["2-D"], random_state=seeds[1], **kwargs)
    assert got[1:] == want[1:]
    if want[0] is not None:
        for g, w in zip(got[0], want[0], strict=True):
            same(g, w)
    same_state(seeds[0], seeds[1])
