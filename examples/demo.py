"""A one-minute tour of duv on data that ships with scikit-learn.

Every subpackage once: augmented fits against their plain baselines, the mixture of experts and the voting regressor
with their uncertainty, the log-space metrics and the fraction of variance unexplained, the logarithm scaler in a
pipeline, the perceptron with tapered layers, and the category-balanced scorer. Prints one table.
"""

import time
import warnings

import numpy as np
from sklearn.compose import TransformedTargetRegressor
from sklearn.datasets import load_diabetes
from sklearn.linear_model import BayesianRidge, Ridge
from sklearn.metrics import mean_squared_error, r2_score
from sklearn.model_selection import KFold, cross_val_score, train_test_split
from sklearn.neighbors import KNeighborsRegressor
from sklearn.neural_network import MLPRegressor
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler
from sklearn.tree import DecisionTreeRegressor
from sklearn.utils.class_weight import compute_sample_weight

from duv.augmentation import SMOTEAugmentedRegressor
from duv.ensemble import MixtureOfExpertsRegressor, VotingRegressor
from duv.metrics import (
    fraction_of_variance_unexplained,
    log_r2_score,
    make_categorical_balanced_scorer,
    mean_squared_log_error,
)
from duv.neural_network import LinearScalingMLPRegressor
from duv.preprocessing import LogarithmScaler

warnings.filterwarnings("ignore", category=UserWarning)  # joblib's note about this machine's core count
start = time.perf_counter()
rows = []


def row(what, baseline, duv_value, note=""):
    rows.append((what, baseline, duv_value, note))


# Diabetes progression: 442 patients, 10 features (column 1 is the patient's sex).
X, y = load_diabetes(return_X_y=True)
X_tr, X_te, y_tr, y_te = train_test_split(X, y, random_state=0)

# 1. Augmentation: a shallow tree fitted on the training folds grown threefold with SMOTE rows (interpolated between
#    neighbours), against the same tree on the folds as they are.
tree = DecisionTreeRegressor(max_depth=4, random_state=0)
smote_tree = SMOTEAugmentedRegressor(tree, factor=3.0, random_state=0)
row(
    "depth-4 tree, CV R^2",
    cross_val_score(tree, X, y, cv=5).mean(),
    cross_val_score(smote_tree, X, y, cv=5).mean(),
    "SMOTE-augmented x3",
)

# 3. Mixture of experts: Bayesian ridges on k-means-guided subsets, merged Gaussian predictions.
moe = MixtureOfExpertsRegressor(BayesianRidge(), n_estimators=5, random_state=0).fit(X_tr, y_tr)
mean, std = moe.predict(X_te, return_std=True)
row(
    "mixture of experts, test R^2",
    BayesianRidge().fit(X_tr, y_tr).score(X_te, y_te),
    moe.score(X_te, y_te),
    f"mean predicted std {std.mean():.1f}",
)

# 4. Voting regressor: the members' weighted spread as a standard deviation.
members = [("ridge", Ridge(alpha=0.1)), ("knn", KNeighborsRegressor(15)), ("bayes", BayesianRidge())]
vote = VotingRegressor(members)
best = max(cross_val_score(est, X, y, cv=5).mean() for _, est in members)
_, spread = vote.fit(X_tr, y_tr).predict(X_te, return_std=True)
row(
    "voting, CV R^2", best, cross_val_score(vote, X, y, cv=5).mean(), f"vs best member; mean spread {spread.mean():.1f}"
)

# 5. Metrics in log space, and the fraction of variance unexplained, against scikit-learn's computation of each.
pred = Ridge().fit(X_tr, y_tr).predict(X_te)
row(
    "ridge, test log1p R^2",
    r2_score(np.log1p(y_te), np.log1p(pred)),
    log_r2_score(y_te, pred),
    "r2_score of log1p values",
)
row("ridge, test FVU", 1.0 - r2_score(y_te, pred), fraction_of_variance_unexplained(y_te, pred), "1 - r2_score")

# 6. The logarithm scaler as a target transformer: ridge fitted in log1p space, judged by the error in that space.
log_target = TransformedTargetRegressor(regressor=Ridge(), transformer=LogarithmScaler(mode="log1p")).fit(X_tr, y_tr)
row(
    "ridge, test RMSLE",
    mean_squared_log_error(y_te, Ridge().fit(X_tr, y_tr).predict(X_te)) ** 0.5,
    mean_squared_log_error(y_te, log_target.predict(X_te)) ** 0.5,
    "target through LogarithmScaler",
)


# 7. A perceptron whose three hidden layers taper linearly from 64 units, against one layer of 64.
def scaled(mlp):
    return TransformedTargetRegressor(regressor=make_pipeline(StandardScaler(), mlp), transformer=StandardScaler())


plain_mlp = scaled(MLPRegressor(hidden_layer_sizes=(64,), alpha=10.0, max_iter=2000, random_state=0))
taper = LinearScalingMLPRegressor(
    n_hidden_layers=3, hidden_layer_width=64, shrink_factor=0.5, alpha=10.0, max_iter=2000, random_state=0
)
tapered = scaled(taper).fit(X_tr, y_tr)
row(
    "MLP, test R^2",
    plain_mlp.fit(X_tr, y_tr).score(X_te, y_te),
    tapered.score(X_te, y_te),
    f"hidden widths {tuple(int(w) for w in tapered.regressor_[-1].hidden_layer_sizes)}",
)

# 8. A scorer that weighs both sexes equally, whatever their counts in each fold, against the weights computed
#    by hand in a loop over the same folds.
balanced = make_categorical_balanced_scorer(mean_squared_error, greater_is_better=False, columns=[1])
by_hand = [
    mean_squared_error(
        y[te], Ridge().fit(X[tr], y[tr]).predict(X[te]), sample_weight=compute_sample_weight("balanced", X[te, 1])
    )
    for tr, te in KFold(5).split(X)
]
row(
    "ridge, CV sex-balanced MSE",
    np.mean(by_hand),
    -cross_val_score(Ridge(), X, y, cv=5, scoring=balanced).mean(),
    "balanced scorer vs weights by hand",
)

print(f"{'':32}{'baseline':>10}{'duv':>10}  note")
for what, base, ours, note in rows:
    base_text = "" if np.isnan(base) else f"{base:10.3f}"
    print(f"{what:32}{base_text:>10}{ours:10.3f}  {note}")
print(f"\n{len(rows)} comparisons in {time.perf_counter() - start:.1f} s")
