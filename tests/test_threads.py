"""Calls from four threads at once on shared inputs give the results of serial calls, bit for bit.

The inputs are large enough for the kernels to run without the GIL, so that the threads overlap inside them.
"""

import threading
import warnings

import numpy as np
import pytest
from sklearn.base import clone
from sklearn.dummy import DummyClassifier
from sklearn.linear_model import BayesianRidge, LinearRegression, Ridge

import duv.augmentation as A
import duv.ensemble as E
import duv.metrics as M
import duv.neural_network as N
import duv.preprocessing as P

THREADS = 4
ROUNDS = 3

rng = np.random.default_rng(0)
Y_TRUE = rng.uniform(0.5, 50.0, (60_000, 2))
Y_PRED = Y_TRUE * rng.uniform(0.8, 1.2, Y_TRUE.shape)
SW = rng.uniform(0.0, 2.0, len(Y_TRUE))
X = rng.normal(size=(3_000, 4))
X[:, 0] = rng.integers(0, 4, len(X))
Y = X @ [0.5, 1.0, -2.0, 0.3] + rng.normal(size=len(X))
LABELS = (Y > np.median(Y)).astype(int)
POSITIVE = np.abs(X) + 0.1
for shared in (Y_TRUE, Y_PRED, SW, X, Y, LABELS, POSITIVE):
    shared.flags.writeable = False


def metric_calls():
    out = {}
    for name in M.__all__:
        if name == "make_categorical_balanced_scorer":
            continue
        fn = getattr(M, name)
        out[name] = lambda fn=fn: fn(Y_TRUE, Y_PRED, sample_weight=SW, multioutput="raw_values")
    return out


FITTED_VOTING = E.VotingRegressor([("lr", LinearRegression()), ("r", Ridge())]).fit(X, Y)
FITTED_MOE = E.MixtureOfExpertsRegressor(BayesianRidge(), n_estimators=3, n_clusters=2, random_state=0).fit(X, Y)
FITTED_SCALER = P.LogarithmScaler("log1p").fit(POSITIVE)
SCORER = M.make_categorical_balanced_scorer(M.mean_squared_log_error, columns=[0])
FITTED_RIDGE = Ridge().fit(X, np.abs(Y))


def fit_predict(estimator, y):
    def call():
        est = clone(estimator).fit(X, y)
        return est.predict(X[:500])

    return call


CALLS = {
    **metric_calls(),
    "smote_augment": lambda: A.smote_augment(X, Y, factor=2.0, random_state=0),
    "gaussian_augment": lambda: A.gaussian_augment(X, Y, factor=2.0, X_std=0.1, y_std=0.1, random_state=0),
    "histogram_augment": lambda: A.histogram_augment(X, Y, factor=2.0, target="Xy", random_state=0),
    "resample_augment": lambda: A.resample_augment(X, Y, factor=2.0, random_state=0),
    "category_balance_augment": lambda: A.category_balance_augment(X, Y, columns=[0], random_state=0),
    "rare_target_augment": lambda: A.rare_target_augment(
        X, np.exp(Y), generator="smogn", sample_weight=SW[:3_000], random_state=0
    ),
    "target_relevance": lambda: A.target_relevance(Y_TRUE[:, 0]),
    "categorical_balanced_scorer": lambda: SCORER(FITTED_RIDGE, X, np.abs(Y)),
    "LogarithmScaler.transform": lambda: FITTED_SCALER.transform(POSITIVE),
    "LogarithmScaler.inverse_transform": lambda: FITTED_SCALER.inverse_transform(POSITIVE),
    "LogarithmScaler.fit": lambda: P.LogarithmScaler("log10", eps=0.5).fit(POSITIVE).transform(POSITIVE),
    "VotingRegressor.predict": lambda: FITTED_VOTING.predict(X, return_std=True),
    "VotingRegressor.predict_raw": lambda: FITTED_VOTING.predict_raw(X),
    "MixtureOfExpertsRegressor.predict": lambda: FITTED_MOE.predict(X, return_std=True),
    "MixtureOfExpertsRegressor.fit": fit_predict(FITTED_MOE, Y),
    "SMOTEAugmentedRegressor": fit_predict(A.SMOTEAugmentedRegressor(Ridge(), factor=2.0, random_state=0), Y),
    "SMOTEAugmentedClassifier": fit_predict(A.SMOTEAugmentedClassifier(DummyClassifier(), random_state=0), LABELS),
    "GaussianAugmentedRegressor": fit_predict(A.GaussianAugmentedRegressor(Ridge(), factor=2.0, random_state=0), Y),
    "HistogramAugmentedRegressor": fit_predict(A.HistogramAugmentedRegressor(Ridge(), factor=2.0, random_state=0), Y),
    "ResampleAugmentedRegressor": fit_predict(A.ResampleAugmentedRegressor(Ridge(), factor=2.0, random_state=0), Y),
    "CategoryBalanceAugmentedClassifier": fit_predict(
        A.CategoryBalanceAugmentedClassifier(DummyClassifier(), columns=[0], random_state=0), LABELS
    ),
    "LinearScalingMLPRegressor": fit_predict(N.LinearScalingMLPRegressor(2, 8, max_iter=5, random_state=0), Y),
    "LinearScalingMLPClassifier": fit_predict(N.LinearScalingMLPClassifier(2, 8, max_iter=5, random_state=0), LABELS),
    "GaussianAugmentedClassifier": fit_predict(
        A.GaussianAugmentedClassifier(DummyClassifier(), random_state=0), LABELS
    ),
    "HistogramAugmentedClassifier": fit_predict(
        A.HistogramAugmentedClassifier(DummyClassifier(), random_state=0), LABELS
    ),
    "ResampleAugmentedClassifier": fit_predict(
        A.ResampleAugmentedClassifier(DummyClassifier(), random_state=0), LABELS
    ),
    "CategoryBalanceAugmentedRegressor": fit_predict(
        A.CategoryBalanceAugmentedRegressor(Ridge(), columns=[0], random_state=0), Y
    ),
    "RareTargetAugmentedRegressor": fit_predict(A.RareTargetAugmentedRegressor(Ridge(), random_state=0), np.exp(Y)),
}


def fingerprint(result):
    """The result as bytes: arrays by dtype, shape and content, floats by their bits."""
    if isinstance(result, (tuple, list)):
        return tuple(fingerprint(r) for r in result)
    if isinstance(result, (np.ndarray, float, np.floating)):
        a = np.asarray(result)
        return (a.dtype.str, a.shape, a.tobytes())
    return repr(result)


def run_together(call):
    barrier = threading.Barrier(THREADS)
    results = [None] * THREADS

    def work(i):
        barrier.wait()
        try:
            results[i] = fingerprint(call())
        except Exception as e:  # reported as a mismatch against the serial result
            results[i] = repr(e)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return results


@pytest.mark.parametrize("name", sorted(CALLS))
def test_threads_match_serial_calls(name):
    call = CALLS[name]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        serial = fingerprint(call())
        assert fingerprint(call()) == serial, "the call is not deterministic on its own"
        for _ in range(ROUNDS):
            assert run_together(call) == [serial] * THREADS
