"""`classes_` of the augmented classifiers: read through to the fitted inner estimator, so that
scikit-learn's scorers work on them, without becoming a fitted attribute of the wrapper."""

import numpy as np
import pytest
from sklearn.base import BaseEstimator, ClassifierMixin
from sklearn.linear_model import LogisticRegression
from sklearn.model_selection import cross_val_score

from duv.augmentation import ResampleAugmentedClassifier, SMOTEAugmentedClassifier

CLASSIFIERS = [SMOTEAugmentedClassifier, ResampleAugmentedClassifier]

RNG = np.random.RandomState(0)
X = RNG.rand(60, 3)
Y = (X[:, 0] + 0.3 * RNG.rand(60) > 0.6).astype(int)


class WithoutClasses(ClassifierMixin, BaseEstimator):
    def fit(self, X, y, sample_weight=None):
        self.n_ = len(X)
        return self

    def predict(self, X):
        return np.zeros(len(X), dtype=int)


@pytest.mark.parametrize("cls", CLASSIFIERS)
def test_scorers_work_through_classes(cls):
    scores = cross_val_score(cls(LogisticRegression()), X, Y, scoring="balanced_accuracy", cv=3, error_score="raise")
    assert scores.shape == (3,) and np.all(np.isfinite(scores)) and np.all(scores > 0.5)


@pytest.mark.parametrize("cls", CLASSIFIERS)
def test_classes_is_read_only_and_never_stored(cls):
    clf = cls(LogisticRegression(), random_state=0)
    assert not hasattr(clf, "classes_")
    clf.fit(X, np.array(["no", "yes"])[Y])
    assert "classes_" not in vars(clf)
    assert clf.classes_ is clf.estimator_.classes_
    np.testing.assert_array_equal(clf.classes_, ["no", "yes"])
    with pytest.raises(AttributeError):
        clf.classes_ = np.array([0, 1])


@pytest.mark.parametrize("cls", CLASSIFIERS)
def test_no_classes_without_them_on_the_inner_estimator(cls):
    clf = cls(WithoutClasses(), random_state=0).fit(X, Y)
    assert not hasattr(clf, "classes_") and "classes_" not in vars(clf)
