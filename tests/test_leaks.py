"""Repeated calls of every public callable, successful and failing, leak neither memory nor references.

Each case runs warm-up calls, then DUV_LEAK_CALLS calls (default 500) of the same call on the same inputs;
resident memory (/proc/self/statm) may grow by less than 1 MiB, and the reference counts of the inputs and of
the package's cached objects (module and class attributes, default values) must come back unchanged.
"""

import contextlib
import gc
import inspect
import os
import resource
import sys
import warnings

import numpy as np
import pytest
from sklearn.dummy import DummyClassifier, DummyRegressor
from sklearn.linear_model import BayesianRidge
from threadpoolctl import threadpool_limits

import duv.augmentation as A
import duv.ensemble as E
import duv.metrics as M
import duv.neural_network as N
import duv.preprocessing as P
from public_surface import public_callables, public_objects

CALLS = int(os.environ.get("DUV_LEAK_CALLS", "500"))
WARMUP = max(20, min(200, CALLS // 10))
RSS_LIMIT = 1 << 20
with open("/proc/self/maps") as _maps:
    # AddressSanitizer holds freed memory in quarantine, so the resident size grows by design;
    # its leak checker covers memory there, and reference counts are still compared.
    SANITIZED = "asan" in _maps.read()
NOISE = 2  # shared interned strings move by a reference or two; a leak moves by one per call

rng = np.random.default_rng(0)
X = rng.uniform(1.0, 5.0, (12, 3))
X[:, 0] = np.arange(12) % 3 + 1.0
Y = rng.uniform(1.0, 5.0, 12)
LABELS = np.arange(12) % 2
BAD_X = np.full((12, 3), np.nan)
NARROW = X[:, :2].copy()
SW = np.ones(12)

META = {
    "SMOTEAugmented": {"factor": 2.0, "k_neighbors": 3},
    "GaussianAugmented": {"factor": 2.0},
    "HistogramAugmented": {"factor": 2.0, "n_bins": 3},
    "ResampleAugmented": {"factor": 2.0},
    "CategoryBalanceAugmented": {"columns": [0]},
    "RareTargetAugmented": {"threshold": 0.3, "k_neighbors": 2},
}


def meta_params(name):
    return next(v for k, v in META.items() if name.startswith(k))


def build(name):
    """A fresh, valid, unfitted estimator of the public class `name`, and its training targets."""
    cls = getattr(A, name, None) or getattr(E, name, None) or getattr(N, name, None) or getattr(P, name)
    if name.endswith("Classifier") and name.startswith(tuple(META)):
        return cls(DummyClassifier(), random_state=0, **meta_params(name)), LABELS
    if name.endswith("Regressor") and name.startswith(tuple(META)):
        return cls(DummyRegressor(), random_state=0, **meta_params(name)), Y
    if name == "MixtureOfExpertsRegressor":
        return cls(BayesianRidge(), n_estimators=2, n_clusters=2, random_state=0), Y
    if name == "VotingRegressor":
        return cls([("a", DummyRegressor()), ("b", DummyRegressor(strategy="median"))]), Y
    if name.startswith("LinearScalingMLP"):
        return cls(1, 2, max_iter=1, random_state=0), (LABELS if "Classifier" in name else Y)
    return cls(), None


def fitted(name):
    est, y = build(name)
    return est.fit(X, y) if y is not None else est.fit(X)


def fitted_members():
    return [("c", DummyRegressor().fit(X, Y))]


METRIC_CASES = {
    name: [(getattr(M, name), (Y, Y[::-1].copy()), {"sample_weight": SW}), (getattr(M, name), (Y, Y[:5]), {})]
    for name in M.__all__
    if name != "make_categorical_balanced_scorer"
}
SCORER = M.make_categorical_balanced_scorer(M.mean_squared_log_error, columns=[0])
FITTED_DUMMY = DummyRegressor().fit(X, Y)

FUNCTION_CASES = {
    **METRIC_CASES,
    "smote_augment": [
        (A.smote_augment, (X, Y), {"factor": 2.0, "k_neighbors": 3, "random_state": 0}),
        (A.smote_augment, (X, Y[:5]), {}),
    ],
    "gaussian_augment": [
        (A.gaussian_augment, (X, Y), {"factor": 2.0, "X_std": 0.1, "random_state": 0}),
        (A.gaussian_augment, (BAD_X, Y), {"random_state": 0}),
    ],
    "histogram_augment": [
        (A.histogram_augment, (X, Y), {"factor": 2.0, "n_bins": 3, "random_state": 0}),
        (A.histogram_augment, (X, Y), {"agg": "nonsense", "random_state": 0}),
    ],
    "resample_augment": [
        (A.resample_augment, (X, Y), {"factor": 2.0, "random_state": 0}),
        (A.resample_augment, (X, Y), {"factor": -1.0}),
    ],
    "category_balance_augment": [
        (A.category_balance_augment, (X, Y), {"columns": [0], "random_state": 0}),
        (A.category_balance_augment, (X, Y), {"columns": [7]}),
    ],
    "target_relevance": [
        (A.target_relevance, (Y,), {"method": "density", "extremes": "high"}),
        (A.target_relevance, (Y,), {"control_points": [[0.0, 2.0]]}),
    ],
    "rare_target_augment": [
        (
            A.rare_target_augment,
            (X, Y),
            {"threshold": 0.3, "generator": "smogn", "k_neighbors": 2, "sample_weight": SW, "random_state": 0},
        ),
        (A.rare_target_augment, (X, Y), {"relevance": np.ones(5)}),
    ],
    "make_categorical_balanced_scorer": [
        (M.make_categorical_balanced_scorer, (M.mean_squared_log_error,), {"columns": [0]}),
        (M.make_categorical_balanced_scorer, (M.mean_squared_log_error,), {"normalize_weights": 3}),
        (SCORER, (FITTED_DUMMY, X, Y), {}),
        (SCORER, (FITTED_DUMMY, X, -Y), {}),
    ],
}


def member_cases(name, member):
    """(callable, args, kwargs) pairs: a successful call, then a failing one."""
    cls = {n: o for _, n, o in public_objects()}[name]
    if member == "__init__":
        est, _ = build(name)
        params = est.get_params(deep=False)
        return [(cls, (), params), (cls, (), {**params, "unknown_parameter": 1})]
    if member == "fit":
        est, y = build(name)
        args = (X, y) if y is not None else (X,)
        return [(est.fit, args, {}), (est.fit, (BAD_X,) + args[1:], {})]
    if member == "unwrap" and name == "UnwrapMetaEstimatorMixin":
        return [
            (cls.unwrap, (fitted("ResampleAugmentedRegressor"),), {}),
            (cls.unwrap, (build("ResampleAugmentedRegressor")[0],), {}),
        ]
    if member == "classes_":
        return [(getattr, (fitted(name), "classes_"), {}), (getattr, (build(name)[0], "classes_"), {})]
    if member == "assume_fitted":
        good = E.VotingRegressor(fitted_members())
        bad = E.VotingRegressor([("u", DummyRegressor())])
        return [(good.assume_fitted, (), {}), (bad.assume_fitted, (), {})]
    if member == "add_models":
        return [
            (lambda members: E.VotingRegressor([]).add_models(members), (fitted_members(),), {}),
            (lambda members: E.VotingRegressor([]).add_models(members), ("not a list",), {}),
        ]
    est = fitted(name)
    method = getattr(est, member)
    extra = {"return_std": True} if member == "predict" and "return_std" in inspect.signature(method).parameters else {}
    return [(method, (X,), extra), (method, (NARROW,), {})]


def cases(key):
    if "." not in key:
        return FUNCTION_CASES[key]
    return member_cases(*key.split("."))


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


def tracked(value):
    """Objects whose reference count is meaningful (not shared singletons)."""
    if value is None or value is Ellipsis or value is NotImplemented or isinstance(value, bool):
        return False
    if type(value) is int:
        return not -5 <= value <= 256
    return not (type(value) in (tuple, str, bytes) and len(value) == 0)


def cached_objects(key):
    """The package's objects a call might leak references to: attributes of the defining module and class,
    and the default values of the callable."""
    objs = {}
    name = key.split(".")[0]
    obj = {n: o for _, n, o in public_objects()}[name]
    module = sys.modules[obj.__module__]
    objs.update({f"{module.__name__}.{k}": v for k, v in vars(module).items()})
    if isinstance(obj, type):
        for klass in obj.__mro__:
            if klass.__module__.startswith("duv."):
                objs.update({f"{klass.__name__}.{k}": v for k, v in vars(klass).items()})
    fns = [obj] if not isinstance(obj, type) else [getattr(obj, key.split(".")[1], None)]
    while fns:
        fn = fns.pop()
        for attr in ("__defaults__", "__kwdefaults__"):
            values = getattr(fn, attr, None) or ()
            values = values.values() if isinstance(values, dict) else values
            objs.update({f"{key} default {i}": v for i, v in enumerate(values)})
        if hasattr(fn, "__wrapped__"):
            fns.append(fn.__wrapped__)
    return {k: v for k, v in objs.items() if tracked(v)}


def run(fn, args, kwargs, times):
    for _ in range(times):
        with contextlib.suppress(Exception):  # failing calls are measured as well
            fn(*args, **kwargs)


@pytest.fixture(scope="module", autouse=True)
def frozen_heap():
    """Objects alive before the tests are left out of garbage collection, which then stays quick; one
    thread per native pool, as thread start-up would dominate these tiny inputs."""
    gc.collect()
    gc.freeze()
    with threadpool_limits(1):
        yield
    gc.unfreeze()


@pytest.mark.parametrize("key", sorted(public_callables()))
def test_repeated_calls_leak_nothing(key):
    watched = cached_objects(key)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for fn, args, kwargs in cases(key):
            inputs = {f"arg {i}": a for i, a in enumerate(args)}
            inputs.update({f"kwarg {k}": v for k, v in kwargs.items()})
            objs = {**watched, **{k: v for k, v in inputs.items() if tracked(v)}}
            run(fn, args, kwargs, WARMUP)
            gc.collect()
            counts = {k: sys.getrefcount(v) for k, v in objs.items()}
            rss = resident_bytes()
            run(fn, args, kwargs, CALLS)
            gc.collect()
            grown = resident_bytes() - rss
            changed = {
                k: sys.getrefcount(v) - counts[k]
                for k, v in objs.items()
                if abs(sys.getrefcount(v) - counts[k]) > NOISE
            }
            assert SANITIZED or grown < RSS_LIMIT, f"{key}: resident memory grew by {grown} bytes over {CALLS} calls"
            assert not changed, f"{key}: reference counts changed over {CALLS} calls: {changed}"


def test_every_public_callable_has_cases():
    keys = public_callables()
    assert {k for k in keys if "." not in k} == set(FUNCTION_CASES)
    for key in keys:
        assert len(cases(key)) >= 2, key
