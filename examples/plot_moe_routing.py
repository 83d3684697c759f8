"""Mixture of experts: routings and aggregations

A :class:`~duv.ensemble.MixtureOfExpertsRegressor` fits six Gaussian-process experts, each
on rows drawn around one k-means cluster of a curved, noisy 1-D data set. Every prediction
consults ``n_active=2`` of them: the two that report the smallest standard deviation
(``routing="confidence"``) or the two whose training rows' centre lies closest
(``routing="distance"``). Their Gaussian predictions are then merged in one of three ways:

- ``"simple"``: the average of the means and the root of the average variance;
- ``"inverse_variance"``: means weighted by precision; the merged variance is that of a
  precision-weighted average, smaller than any expert's;
- ``"mixture"``: mean and spread of the mixture of the experts' Gaussians, so experts that
  disagree widen the band.

Routing and aggregation are read by ``predict``, so one fitted model serves all six panels.
Each panel shows the merged mean and a band of two standard deviations.
"""

import os
import warnings

import matplotlib.pyplot as plt
import numpy as np
from sklearn.exceptions import ConvergenceWarning
from sklearn.gaussian_process import GaussianProcessRegressor
from sklearn.gaussian_process.kernels import RBF, WhiteKernel

from duv.ensemble import MixtureOfExpertsRegressor

IMAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "docs", "images", "moe_routing.png")


def main(path=IMAGE):
    rng = np.random.RandomState(0)
    X = np.sort(rng.uniform(-3.0, 3.0, 160))[:, None]
    noise = rng.normal(0.0, 0.15 + 0.1 * np.abs(X[:, 0]))
    y = np.sin(1.3 * X[:, 0]) * X[:, 0] + noise
    grid = np.linspace(-3.5, 3.5, 141)[:, None]

    # The experts draw their rows with replacement, with weights that fall off as one over the distance to their
    # cluster's centre; an expert may therefore see one row many times over, and its Gaussian process then settles on
    # the shortest length scale allowed (scikit-learn warns that it reaches the bound).
    kernel = RBF(1.0, (0.3, 10.0)) + WhiteKernel(0.1, (1e-3, 1.0))
    expert = GaussianProcessRegressor(kernel, normalize_y=True)
    model = MixtureOfExpertsRegressor(
        expert, n_estimators=6, split="kmeans", n_clusters=6, sampling_factor=4.0, n_active=2, random_state=0
    )
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        model.fit(X, y)

    # Every routing with every aggregation, on the same fitted experts.
    fig, axes = plt.subplots(2, 3, figsize=(12, 6.5), sharex=True, sharey=True, layout="constrained")
    for row, routing in zip(axes, ["confidence", "distance"], strict=True):
        for ax, aggregation in zip(row, ["simple", "inverse_variance", "mixture"], strict=True):
            model.set_params(routing=routing, aggregation_method=aggregation)
            mean, std = model.predict(grid, return_std=True)
            ax.scatter(X[:, 0], y, s=6, color="0.6", label="training data")
            ax.fill_between(grid[:, 0], mean - 2 * std, mean + 2 * std, alpha=0.3, label="mean ± 2 std")
            ax.plot(grid[:, 0], mean, lw=2, label="merged mean")
            ax.set_title(f'routing="{routing}"\naggregation_method="{aggregation}"', fontsize=10)
    axes[0, 0].legend(loc="upper center", fontsize=8)
    fig.suptitle("MixtureOfExpertsRegressor: 6 Gaussian-process experts, 2 active per prediction")
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    fig.savefig(path, dpi=80)
    return fig


if __name__ == "__main__":
    main()
