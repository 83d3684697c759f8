"""Workflows as a data scientist runs them: process workers, saved searches, DataFrames, parameter grids."""

import pickle
import warnings

import joblib
import numpy as np
import pandas as pd
import pytest
import sklearn
from sklearn.datasets import load_diabetes, load_digits
from sklearn.linear_model import BayesianRidge, LogisticRegression, Ridge
from sklearn.metrics import r2_score
from sklearn.model_selection import GridSearchCV, KFold, cross_val_score
from sklearn.utils._param_validation import InvalidParameterError

import duv.augmentation as A
from duv.ensemble import MixtureOfExpertsRegressor
from duv.metrics import make_categorical_balanced_scorer
from duv.neural_network import LinearScalingMLPClassifier
from duv.preprocessing import LogarithmScaler
from public_surface import own_members, public_objects

try:
    from joblib.externals import cloudpickle
except ImportError:  # joblib built without its vendored copy
    cloudpickle = pytest.importorskip("cloudpickle")


@pytest.fixture(scope="module")
def sites():
    rng = np.random.RandomState(0)
    X = pd.DataFrame(rng.randn(90, 3), columns=["a", "b", "c"])
    X["site"] = rng.choice([0.0, 1.0, 2.0], 90, p=[0.6, 0.3, 0.1])
    y = X["a"] + 2 * X["site"] + 0.3 * rng.randn(90)
    return X, y.to_numpy()


# ---- the balanced scorer in process workers and on disk ------------------------------------------------------------


def test_balanced_scorer_in_process_workers(sites):
    X, y = sites
    scorer = make_categorical_balanced_scorer(r2_score, columns="site")
    cv = KFold(3, shuffle=True, random_state=0)
    serial = cross_val_score(Ridge(), X, y, scoring=scorer, cv=cv, n_jobs=1)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # "Scoring failed" would be a warning and a nan
        parallel = cross_val_score(Ridge(), X, y, scoring=scorer, cv=cv, n_jobs=2)
    np.testing.assert_array_equal(parallel, serial)
    assert np.isfinite(serial).all()
    grid = {"alpha": [1e-3, 30.0, 1e4]}
    searches = [GridSearchCV(Ridge(), grid, scoring=scorer, cv=cv, n_jobs=n).fit(X, y) for n in (1, 2)]
    np.testing.assert_array_equal(*(s.cv_results_["mean_test_score"] for s in searches))
    assert searches[1].best_params_ == searches[0].best_params_ == {"alpha": 1e-3}


def test_fitted_search_with_the_scorer_is_saved_and_restored(sites, tmp_path):
    X, y = sites
    scorer = make_categorical_balanced_scorer(r2_score, columns="site", balance_strength=0.5)
    search = GridSearchCV(Ridge(), {"alpha": [0.1, 10.0]}, scoring=scorer, cv=3).fit(X, y)
    joblib.dump(search, tmp_path / "search.joblib")
    for restored in (pickle.loads(pickle.dumps(search)), joblib.load(tmp_path / "search.joblib")):
        assert restored.score(X, y) == search.score(X, y)
    for dumps in (pickle.dumps, cloudpickle.dumps):
        copy = pickle.loads(dumps(scorer))
        assert copy.__qualname__ == "make_categorical_balanced_scorer.<locals>.scorer"
        assert copy(search.best_estimator_, X, y) == scorer(search.best_estimator_, X, y)


def _public_callables():
    for _, name, obj in public_objects():
        yield name, obj
        if isinstance(obj, type):
            for member in own_members(obj):
                value = getattr(obj, member)
                if callable(value):
                    yield f"{name}.{member}", value


def test_every_public_callable_travels_by_reference():
    names = []
    for name, obj in _public_callables():
        assert pickle.loads(cloudpickle.dumps(obj)) is obj, name
        names.append(name)
    assert "smote_augment" in names and "LogarithmScaler.fit" in names


# ---- feature names -------------------------------------------------------------------------------------------------


def _diabetes_frame():
    X, y = load_diabetes(return_X_y=True, as_frame=True)
    return X.iloc[:150], y.to_numpy()[:150]


def _with_site(X):
    return X.assign(site=(X["sex"] > 0).astype(float))


FEATURE_NAMED = [
    (A.SMOTEAugmentedRegressor(Ridge(), factor=2.0, random_state=0), None),
    (A.SMOTEAugmentedClassifier(LogisticRegression(), factor=2.0, random_state=0), "label"),
    (A.GaussianAugmentedRegressor(Ridge(), factor=2.0, random_state=0), None),
    (A.GaussianAugmentedClassifier(LogisticRegression(), factor=2.0, random_state=0), "label"),
    (A.HistogramAugmentedRegressor(Ridge(), factor=2.0, random_state=0), None),
    (A.HistogramAugmentedClassifier(LogisticRegression(), factor=2.0, random_state=0), "label"),
    (A.ResampleAugmentedRegressor(Ridge(), factor=2.0, random_state=0), None),
    (A.ResampleAugmentedClassifier(LogisticRegression(), factor=2.0, random_state=0), "label"),
    (A.CategoryBalanceAugmentedRegressor(Ridge(), columns="site", random_state=0), "site"),
    (A.CategoryBalanceAugmentedClassifier(LogisticRegression(), columns="site", random_state=0), "site label"),
    (A.RareTargetAugmentedRegressor(Ridge(), generator="smogn", random_state=0), None),
    (MixtureOfExpertsRegressor(BayesianRidge(), n_estimators=2, random_state=0), None),
]


@pytest.mark.parametrize("model, kind", FEATURE_NAMED, ids=lambda p: type(p).__name__ if p is not None else "")
def test_feature_names_are_learnt_and_checked(model, kind):
    X, y = _diabetes_frame()
    if kind and "site" in kind:
        X = _with_site(X)
    if kind and "label" in kind:
        y = (y > np.median(y)).astype(int)
    model.fit(X, y)
    assert list(model.feature_names_in_) == list(X.columns)
    expected = model.predict(X)
    for changed in (X[X.columns[::-1]], X.rename(columns={"bmi": "BMI"})):
        with pytest.raises(ValueError, match="The feature names should match those that were passed during fit"):
            model.predict(changed)
    with pytest.warns(UserWarning, match="X does not have valid feature names"):
        np.testing.assert_array_equal(model.predict(X.to_numpy()), expected)
    if kind and "site" in kind:
        model.set_params(columns=X.columns.get_loc("site"))
    model.fit(X.to_numpy(), y)
    assert not hasattr(model, "feature_names_in_")


def test_scaler_learns_feature_names_and_names_its_pandas_output():
    X = _diabetes_frame()[0].abs()
    scaler = LogarithmScaler(mode="log1p").set_output(transform="pandas").fit(X)
    assert list(scaler.transform(X).columns) == list(X.columns) == list(scaler.get_feature_names_out())
    with pytest.raises(ValueError, match="The feature names should match"):
        scaler.transform(X[X.columns[::-1]])
    # inverse_transform takes what transform gave, whatever its columns are called
    back = scaler.inverse_transform(scaler.transform(X).rename(columns=str.upper))
    np.testing.assert_allclose(back, X.to_numpy())
    assert not hasattr(LogarithmScaler().fit(X.to_numpy()), "feature_names_in_")


# ---- parameters set after construction -----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "params, message",
    [
        ({"mode": "LOG"}, "The 'mode' parameter of LogarithmScaler.__init__ must be a str among"),
        ({"inverted": "no"}, "The 'inverted' parameter of LogarithmScaler.__init__ must be an instance of 'bool'"),
        ({"eps": -1.0}, "The 'eps' parameter of LogarithmScaler.__init__ must be a float in the range [0.0, inf)"),
        ({"mode": "log2", "vmin": -1.0}, "The 'mode' parameter of LogarithmScaler.__init__"),
    ],
)
def test_scaler_checks_its_parameters_when_fitted(params, message):
    X = np.abs(np.random.RandomState(0).randn(5, 2))
    with pytest.raises(InvalidParameterError) as info:
        LogarithmScaler().set_params(**params).fit(np.array([["x", "y"]]))  # before any input check
    assert str(info.value).startswith(message)
    with pytest.raises(InvalidParameterError, match=r"'mode' parameter of LogarithmScaler\.__init__"):
        GridSearchCV(
            LogarithmScaler(), {"mode": ["log", "ln"]}, scoring=lambda e, X, y=None: 0.0, cv=2, error_score="raise"
        ).fit(X)
    with sklearn.config_context(skip_parameter_validation=True):
        LogarithmScaler().set_params(**params).fit(X)


# ---- a column-vector target ----------------------------------------------------------------------------------------


def test_column_vector_target_is_sized_as_its_labels():
    X, y = load_digits(return_X_y=True)
    X, y = X[:300] / 16.0, y[:300]
    kw = dict(n_hidden_layers=2, hidden_layer_width=32, shrink_factor=0.5, max_iter=5, random_state=0)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        flat = LinearScalingMLPClassifier(**kw).fit(X, y)
        column = LinearScalingMLPClassifier(**kw, store_training_data=True).fit(X, y.reshape(-1, 1))
    assert column.hidden_layer_sizes_ == flat.hidden_layer_sizes_ and column.n_outputs_ == 10
    assert column.y_train_.shape == (300, 1)
    np.testing.assert_array_equal(column.predict(X), flat.predict(X))
