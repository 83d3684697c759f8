"""Model selection over duv estimators and the mixture's expert fitting run on a dask.distributed cluster through
joblib's dask backend, with the same results as joblib's default backend."""

import numpy as np
import pytest
from joblib import parallel_config
from sklearn.datasets import load_diabetes
from sklearn.linear_model import BayesianRidge, LogisticRegression, Ridge
from sklearn.model_selection import GridSearchCV

from duv.augmentation import GaussianAugmentedClassifier, SMOTEAugmentedRegressor
from duv.ensemble import MixtureOfExpertsRegressor

distributed = pytest.importorskip("distributed")
pytest.importorskip("dask")


@pytest.fixture(scope="module")
def client():
    # Worker processes: the estimators and the experts' tasks travel pickled, as to a real cluster.
    with (
        distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster,
        distributed.Client(cluster) as c,
    ):
        yield c


@pytest.fixture(scope="module")
def data():
    X, y = load_diabetes(return_X_y=True)
    return X[:200], y[:200]


def on_both_backends(client, fit):
    """fit() on joblib's default backend, then on the cluster; the second result and the keys of its tasks."""
    local = fit()
    with parallel_config(backend="dask"), distributed.get_task_stream(client) as tasks:
        remote = fit()
    return local, remote, [str(t["key"]) for t in tasks.data]


@pytest.mark.parametrize(
    "make, grid",
    [
        (
            lambda: SMOTEAugmentedRegressor(Ridge(), random_state=0),
            {"factor": [1.5, 3.0], "estimator__alpha": [0.1, 1]},
        ),
        (lambda: GaussianAugmentedClassifier(LogisticRegression(), X_std=0.01, random_state=0), {"factor": [2.0, 4.0]}),
    ],
    ids=["smote-regressor", "gaussian-classifier"],
)
def test_grid_search_gives_the_same_scores_on_the_cluster(client, data, make, grid):
    X, y = data
    if "Classifier" in type(make()).__name__:
        y = (y > np.median(y)).astype(int)
    local, remote, keys = on_both_backends(client, lambda: GridSearchCV(make(), grid, cv=3, n_jobs=2).fit(X, y))
    assert keys, "no task ran on the cluster"
    assert remote.best_params_ == local.best_params_
    np.testing.assert_array_equal(remote.cv_results_["mean_test_score"], local.cv_results_["mean_test_score"])
    np.testing.assert_array_equal(remote.predict(X), local.predict(X))


@pytest.mark.parametrize("routing", ["confidence", "distance"])
def test_mixture_of_experts_fits_its_experts_on_the_cluster(client, data, routing):
    X, y = data

    def fit():
        moe = MixtureOfExpertsRegressor(
            BayesianRidge(), n_estimators=4, n_clusters=3, routing=routing, random_state=0, n_jobs=2
        ).fit(X, y)
        return moe, moe.predict(X[:20], return_std=True)

    (local, (mean, std)), (remote, (r_mean, r_std)), keys = on_both_backends(client, fit)
    assert any("_fit_expert" in k for k in keys), keys[:5]
    np.testing.assert_array_equal(remote.estimator_centers_, local.estimator_centers_)
    for a, b in zip(remote.estimator_train_indices_, local.estimator_train_indices_, strict=True):
        np.testing.assert_array_equal(a, b)
    np.testing.assert_array_equal(r_mean, mean)
    np.testing.assert_array_equal(r_std, std)
