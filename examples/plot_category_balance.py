"""Category counts before and after balancing

``category_balance_augment`` (and the ``CategoryBalanceAugmented*`` meta-estimators built on it) resamples rows so
that the categories of chosen columns become about equally frequent: every category is grown towards the size of
the largest one times ``balance_strength``. The figure counts the rows of each category of a column made from the
cluster labels of scikit-learn's ``make_blobs`` with clusters of very different sizes, before balancing, with
``balance_strength=0.5`` and with full balancing (``1.0``).
"""

import os

import matplotlib.pyplot as plt
import numpy as np
from sklearn.datasets import make_blobs

from duv.augmentation import category_balance_augment

IMAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "docs", "images", "category_balance.png")


def main(path=IMAGE):
    features, category = make_blobs(n_samples=[320, 120, 45, 15], n_features=2, random_state=0)
    X = np.c_[category, features]
    y = features.sum(axis=1)
    names = ["A", "B", "C", "D"]
    counts = {"before": np.bincount(category, minlength=4)}
    for strength in (0.5, 1.0):
        X_bal, _, _ = category_balance_augment(X, y, columns=0, balance_strength=strength, random_state=0)
        counts[f"balance_strength={strength}"] = np.bincount(X_bal[:, 0].astype(int), minlength=4)

    fig, ax = plt.subplots(figsize=(6.4, 3.6), dpi=100)
    width = 0.27
    for i, (label, c) in enumerate(counts.items()):
        bars = ax.bar(np.arange(4) + (i - 1) * width, c, width, label=f"{label}: {c.sum()} rows")
        ax.bar_label(bars, fontsize="x-small")
    ax.set_xticks(np.arange(4), [f"category {n}" for n in names])
    ax.set_ylim(0, 1.4 * max(c.max() for c in counts.values()))
    ax.set_ylabel("rows")
    ax.set_title("category_balance_augment(columns=0)")
    ax.legend(fontsize="small", loc="upper right")
    fig.tight_layout()
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    fig.savefig(path)
    return fig


if __name__ == "__main__":
    main()
