"""SMOTE synthetic points on a two-class problem

``SMOTEAugmentedClassifier`` grows each class with synthetic rows interpolated between a row and one of its nearest
neighbours of the same class, so every new point lies on a segment inside its class and keeps an exact label. The
figure shows an imbalanced two-dimensional set generated with scikit-learn's ``make_classification`` and the points
that a doubling (``factor=2.0``) adds to it, shared between the classes in proportion to their sizes.
"""

import os

import matplotlib.pyplot as plt
import numpy as np
from sklearn.datasets import make_classification
from sklearn.linear_model import LogisticRegression

from duv.augmentation import SMOTEAugmentedClassifier

IMAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "docs", "images", "smote.png")


def main(path=IMAGE):
    X, y = make_classification(
        n_samples=120,
        n_features=2,
        n_informative=2,
        n_redundant=0,
        n_clusters_per_class=1,
        weights=[0.8, 0.2],
        class_sep=1.2,
        random_state=3,
    )
    model = SMOTEAugmentedClassifier(
        LogisticRegression(), factor=2.0, k_neighbors=5, shuffle=False, store_augmented=True, random_state=0
    ).fit(X, y)
    X_syn, y_syn = model.augmented_X_[len(X) :], model.augmented_y_[len(X) :]

    fig, ax = plt.subplots(figsize=(6.4, 4.4), dpi=100)
    for label, colour in zip(np.unique(y), ["tab:blue", "tab:red"], strict=True):
        ax.scatter(
            *X[y == label].T,
            s=28,
            color=colour,
            edgecolor="black",
            linewidth=0.5,
            label=f"class {label}: {np.sum(y == label)} rows",
        )
        ax.scatter(
            *X_syn[y_syn == label].T,
            s=18,
            marker="x",
            color=colour,
            label=f"class {label}: {np.sum(y_syn == label)} synthetic",
        )
    ax.set_xlabel("feature 0")
    ax.set_ylabel("feature 1")
    ax.set_title("SMOTEAugmentedClassifier(factor=2.0): points between neighbours")
    ax.legend(fontsize="small")
    fig.tight_layout()
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    fig.savefig(path)
    return fig


if __name__ == "__main__":
    main()
