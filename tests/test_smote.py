import pickle
import warnings

import numpy as np
import pytest
from scipy import sparse
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin, clone
from sklearn.dummy import DummyClassifier
from sklearn.exceptions import NotFittedError
from sklearn.linear_model import LinearRegression, LogisticRegression, Ridge
from sklearn.model_selection import cross_val_score
from sklearn.neighbors import KNeighborsClassifier, NearestNeighbors
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler
from sklearn.utils._param_validation import InvalidParameterError
from sklearn.utils.validation import check_array, check_random_state

from duv.augmentation import SMOTEAugmentedClassifier, SMOTEAugmentedRegressor, smote_augment


# ---- NumPy statement of the documented steps (the reference the C++ must match bit for bit) ----


def ref_smote(X, y, factor=10.0, k_neighbors=5, random_state=None, distance_weights=None, shuffle=True,
              algorithm="auto", n_jobs=None, extrapolation=0.0, *, sample_weight=None,
              sample_weight_mode="passthrough"):
    X = check_array(X, accept_sparse=False, ensure_2d=True)
    y = check_array(y, ensure_2d=False)
    y_was_1d = y.ndim == 1
    if y_was_1d:
        y = y.reshape(-1, 1)
    n = X.shape[0]
    mode = str(sample_weight_mode).lower()
    flat = (lambda t: t.reshape(-1)) if y_was_1d else (lambda t: t)

    def weights(idx=None):
        if mode == "consume":
            return np.ones(n, dtype=float)
        if sample_weight is None:
            return None
        w = np.asarray(sample_weight)
        return w if idx is None else w[idx]

    if factor == 1.0:
        if shuffle:
            idx = check_random_state(random_state).permutation(n)
            return X[idx], flat(y[idx]), weights(idx)
        return X, flat(y), weights()
    n_syn = int(round(n * (factor - 1.0)))
    k = min(k_neighbors, n - 1)
    if n_syn == 0 or k <= 0:
        return X, flat(y), weights()
    rs = check_random_state(random_state)
    mp = None if distance_weights is None else {"w": np.asarray(distance_weights)}
    nn = NearestNeighbors(n_neighbors=k + 1, algorithm=algorithm, n_jobs=n_jobs, metric="minkowski",
                          metric_params=mp).fit(X)
    nbr = nn.kneighbors(X)[1][:, 1:]
    if mode == "consume" and sample_weight is not None:
        sw = np.asarray(sample_weight)
        sel = rs.choice(n, size=n_syn, replace=True, p=sw / float(sw.sum()))
    else:
        sel = rs.randint(0, n, size=n_syn)
    ch = nbr[sel, rs.randint(0, k, size=n_syn)]
    alpha = rs.rand(n_syn)
    if extrapolation and extrapolation > 0.0:
        alpha = (extrapolation + 1.0) * alpha - extrapolation / 2.0
    Xs = X[sel] + alpha[:, np.newaxis] * (X[ch] - X[sel])
    ys = y[sel] + alpha[:, np.newaxis] * (y[ch] - y[sel])
    Xa, ya = np.vstack([X, Xs]), np.vstack([y, ys])
    if mode == "consume":
        swa = np.ones(Xa.shape[0], dtype=float)
    elif sample_weight is None:
        swa = None
    else:
        ac = np.clip(alpha, 0.0, 1.0)
        w = np.asarray(sample_weight)
        swa = np.concatenate([w, (1.0 - ac) * w[sel] + ac * w[ch]])
    if shuffle:
        p = rs.permutation(ya.shape[0])
        Xa, ya = Xa[p], ya[p]
        swa = None if swa is None else swa[p]
    return Xa, flat(ya), swa


def ref_classifier_data(X, y, factor=2.0, k_neighbors=5, random_state=None, shuffle=True, algorithm="auto",
                        extrapolation=0.0, sample_weight=None, sample_weight_mode="passthrough"):
    """Augmented (X, y, sw) of the classifier's documented generation loop (factor > 1)."""
    rng = check_random_state(random_state)
    n = X.shape[0]
    classes = np.unique(y)
    total_syn = int(round(n * (factor - 1.0)))
    counts = {c: int(np.sum(y == c)) for c in classes}
    per = {c: max(0, int(round(total_syn * (cnt / float(n))))) for c, cnt in counts.items()}
    delta = total_syn - sum(per.values())
    if delta:
        rem = {c: total_syn * (cnt / float(n)) - per[c] for c, cnt in counts.items()}
        order = sorted(classes, key=lambda c: rem[c], reverse=True)
        for i in range(abs(delta)):
            per[order[i % len(order)]] += 1 if delta > 0 else -1
    xs, ys = [], []
    for c in classes:
        if per[c] <= 0:
            continue
        mask = y == c
        Xc = X[mask]
        swc = None if sample_weight is None else np.asarray(sample_weight)[mask]
        k = min(k_neighbors, Xc.shape[0] - 1)
        if Xc.shape[0] <= 1 or k <= 0:
            continue
        nbr = NearestNeighbors(n_neighbors=k + 1, algorithm=algorithm).fit(Xc).kneighbors(Xc)[1][:, 1:]
        if sample_weight is not None and sample_weight_mode == "consume":
            b = rng.choice(Xc.shape[0], size=per[c], replace=True, p=swc / float(swc.sum()))
        else:
            b = rng.randint(0, Xc.shape[0], size=per[c])
        q = nbr[b, rng.randint(0, k, size=per[c])]
        alpha = rng.rand(per[c])
        if extrapolation and extrapolation > 0.0:
            alpha = (extrapolation + 1.0) * alpha - extrapolation / 2.0
        xs.append(Xc[b] + alpha[:, np.newaxis] * (Xc[q] - Xc[b]))
        ys.append(np.full(per[c], c))
    if not xs:
        Xa, ya, swa = X, y, (None if sample_weight is None else np.asarray(sample_weight))
    else:
        Xs = np.vstack(xs)
        Xa, ya = np.vstack([X, Xs]), np.concatenate([y, np.concatenate(ys)])
        swa = (np.concatenate([np.asarray(sample_weight), np.ones(Xs.shape[0])])
               if sample_weight is not None and sample_weight_mode == "passthrough" else None)
    if shuffle:
        p = rng.permutation(Xa.shape[0])
        Xa, ya = Xa[p], ya[p]
        swa = None if swa is None else swa[p]
    return Xa, ya, swa
