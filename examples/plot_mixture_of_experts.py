"""Mixture of experts: predictions with their uncertainty

``MixtureOfExpertsRegressor`` fits clones of a regressor that reports its own uncertainty (here scikit-learn's
``BayesianRidge`` on spline features) on k-means-guided subsets of the data, and merges the experts' Gaussian
predictions into one mean and standard deviation, here weighting each expert by the distance from the point to the
centre of its training rows. The figure shows a noisy one-dimensional curve generated with NumPy, the mixture's mean
and a band of two standard deviations: the band widens where the experts disagree, in the gap without data and
outside the training range.
"""

import os

import matplotlib.pyplot as plt
import numpy as np
from sklearn.linear_model import BayesianRidge
from sklearn.preprocessing import SplineTransformer

from duv.ensemble import MixtureOfExpertsRegressor

IMAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "docs", "images", "mixture_of_experts.png")


class SplineBayesianRidge(BayesianRidge):
    """BayesianRidge on cubic B-spline features; predict(X, return_std=True) as the experts need it."""

    def fit(self, X, y):
        self.splines_ = SplineTransformer(n_knots=6, degree=3, extrapolation="linear").fit(X)
        return super().fit(self.splines_.transform(X), y)

    def predict(self, X, return_std=False):
        return super().predict(self.splines_.transform(X), return_std=return_std)


def main(path=IMAGE):
    rng = np.random.RandomState(0)
    x = np.sort(np.r_[rng.uniform(0, 4, 160), rng.uniform(6, 10, 60)])
    y = np.sin(x) * x / 3 + rng.normal(scale=0.15 + 0.05 * x, size=x.size)
    moe = MixtureOfExpertsRegressor(
        SplineBayesianRidge(), n_estimators=6, n_clusters=4, routing="distance", n_active=6, random_state=0
    ).fit(x[:, None], y)

    grid = np.linspace(-1, 11, 400)
    mean, std = moe.predict(grid[:, None], return_std=True)
    fig, ax = plt.subplots(figsize=(6.4, 3.8), dpi=100)
    ax.fill_between(grid, mean - 2 * std, mean + 2 * std, color="tab:green", alpha=0.25, label="mean ± 2 std")
    ax.plot(grid, mean, color="tab:green", label="mixture mean")
    ax.scatter(x, y, s=8, color="black", alpha=0.6, label="training data")
    ax.set_xlabel("x")
    ax.set_ylabel("y")
    ax.set_title("MixtureOfExpertsRegressor: 6 experts weighted by distance")
    ax.legend(fontsize="small", loc="upper left")
    fig.tight_layout()
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    fig.savefig(path)
    return fig


if __name__ == "__main__":
    main()
