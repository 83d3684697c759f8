"""A skewed target before and after rare-target augmentation

``target_relevance`` rates each target value from 0 (the median) to 1 (the boxplot fences and beyond), and
``RareTargetAugmentedRegressor`` adds synthetic rows where the relevance reaches ``threshold`` until the rare rows
are as many as the ordinary ones. The left panel shows the relevance curve of a log-normal target with the
threshold; the right panel the histogram of the target before and after augmentation: the bulk is untouched and
the rows are added to the long right tail, each between a rare row and one of its nearest rare neighbours.
"""

import os

import matplotlib.pyplot as plt
import numpy as np
from sklearn.ensemble import HistGradientBoostingRegressor

from duv.augmentation import RareTargetAugmentedRegressor, target_relevance

IMAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "docs", "images", "rare_target.png")


def main(path=IMAGE):
    rng = np.random.RandomState(0)
    X = rng.standard_normal((1000, 4))
    y = np.exp(X @ [0.6, 0.4, 0.3, 0.2] + 0.5 * rng.standard_normal(1000))
    model = RareTargetAugmentedRegressor(
        HistGradientBoostingRegressor(random_state=0), threshold=0.5, store_augmented=True, random_state=0
    ).fit(X, y)
    rel = target_relevance(y)
    rare = rel >= model.threshold

    fig, (left, right) = plt.subplots(1, 2, figsize=(9.6, 4.0), dpi=100)
    order = np.argsort(y)
    left.plot(y[order], rel[order], color="black", linewidth=1, label="relevance")
    left.axhline(model.threshold, color="tab:red", linestyle="--", linewidth=1, label="threshold 0.5")
    left.scatter(y, rel, s=6, c=np.where(rare, "tab:red", "tab:blue"), zorder=3)
    left.set_xlabel("target")
    left.set_ylabel("relevance")
    left.set_title(f"target_relevance: {rare.sum()} of {len(y)} rows rare")
    left.legend(loc="lower right", fontsize="small")

    bins = np.linspace(0.0, y.max(), 50)
    right.hist(
        model.augmented_y_, bins=bins, color="tab:orange", alpha=0.6, label=f"augmented: {len(model.augmented_y_)} rows"
    )
    right.hist(y, bins=bins, color="tab:blue", alpha=0.8, label=f"original: {len(y)} rows")
    right.axvline(
        y[rare & (y > np.median(y))].min(), color="tab:red", linestyle="--", linewidth=1, label="rare from here"
    )
    right.set_yscale("log")
    right.set_xlabel("target")
    right.set_ylabel("rows (log scale)")
    right.set_title('the target before and after (generator="smote")')
    right.legend(fontsize="small")
    fig.tight_layout()
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    fig.savefig(path)
    return fig


if __name__ == "__main__":
    main()
