"""Scale-out on a Dask cluster: model selection and expert fitting through joblib

duv starts no threads or processes of its own: where it works in parallel it hands ``n_jobs`` to joblib, as
scikit-learn does. Inside ``joblib.parallel_config(backend="dask")`` that work runs on a ``dask.distributed``
cluster instead: here a grid search over an augmented meta-estimator (each candidate and fold is one task) and the
expert fitting and routing of a mixture of experts (one task per expert; with ``split="random"`` the experts are
fitted on threads of the calling process whatever the backend, as that split states). The script starts a small
local cluster, runs both on it and on joblib's default backend, and checks that the results are the same.

    pip install ".[dask]" && python examples/dask_scale_out.py

To use an existing cluster, create ``Client("tcp://scheduler:8786")`` instead of ``LocalCluster``; every worker
needs duv installed.
"""

import time

import numpy as np
from distributed import Client, LocalCluster, get_task_stream
from joblib import parallel_config
from sklearn.datasets import load_diabetes
from sklearn.linear_model import BayesianRidge, Ridge
from sklearn.model_selection import GridSearchCV

from duv.augmentation import SMOTEAugmentedRegressor
from duv.ensemble import MixtureOfExpertsRegressor


def grid_search(X, y):
    grid = {"factor": [1.5, 2.0, 3.0], "k_neighbors": [3, 5], "estimator__alpha": [0.1, 1.0]}
    search = GridSearchCV(SMOTEAugmentedRegressor(Ridge(), random_state=0), grid, cv=5, n_jobs=-1)
    return search.fit(X, y)


def mixture(X, y):
    moe = MixtureOfExpertsRegressor(BayesianRidge(), n_estimators=8, n_clusters=4, random_state=0, n_jobs=-1)
    return moe.fit(X, y).predict(X, return_std=True)


def run(X, y):
    start = time.perf_counter()
    search = grid_search(X, y)
    mean, std = mixture(X, y)
    return search, mean, std, time.perf_counter() - start


def main():
    X, y = load_diabetes(return_X_y=True)
    local = run(X, y)
    with (
        LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster,
        Client(cluster) as client,
        parallel_config(backend="dask"),
        get_task_stream(client) as tasks,
    ):
        remote = run(X, y)
    for label, (search, mean, std, seconds) in (("default backend", local), ("dask cluster", remote)):
        print(
            f"{label:16} best {search.best_params_} R^2 {search.best_score_:.4f}; "
            f"mixture mean[:3] {np.round(mean[:3], 2)} std[:3] {np.round(std[:3], 2)}; {seconds:.1f} s"
        )
    print(f"{len(tasks.data)} tasks ran on the cluster's workers")
    same = (
        local[0].best_params_ == remote[0].best_params_
        and np.array_equal(local[0].cv_results_["mean_test_score"], remote[0].cv_results_["mean_test_score"])
        and np.array_equal(local[1], remote[1])
        and np.array_equal(local[2], remote[2])
    )
    print("same results on both backends:", same)
    return 0 if same else 1


if __name__ == "__main__":
    raise SystemExit(main())
