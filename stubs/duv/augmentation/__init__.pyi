"""Resize a training set with generated samples, and fit a wrapped scikit-learn estimator on the result.

Five generators, each a function returning ``(X_aug, y_aug, sw_aug)`` and a pair of meta-estimators that call it
in ``fit``: SMOTE interpolation, Gaussian jitter, histogram-weighted resampling, plain resampling and
category-balancing resampling. For regression, ``rare_target_augment`` and its meta-estimator add rows only
where the target is rare, as ``target_relevance`` measures it.
"""

from ._category_balance_augmentation import (
    CategoryBalanceAugmentedClassifier,
    CategoryBalanceAugmentedRegressor,
    category_balance_augment,
)
from ._gaussian_augmentation import GaussianAugmentedClassifier, GaussianAugmentedRegressor, gaussian_augment
from ._histogram_augmentation import HistogramAugmentedClassifier, HistogramAugmentedRegressor, histogram_augment
from ._meta_estimator_mixins import UnwrapMetaEstimatorMixin
from ._rare_target_augmentation import RareTargetAugmentedRegressor, rare_target_augment, target_relevance
from ._resample_augmentation import ResampleAugmentedClassifier, ResampleAugmentedRegressor, resample_augment
from ._smote_augmentation import SMOTEAugmentedClassifier, SMOTEAugmentedRegressor, smote_augment

__all__ = [
    "smote_augment",
    "gaussian_augment",
    "histogram_augment",
    "resample_augment",
    "category_balance_augment",
    "SMOTEAugmentedRegressor",
    "SMOTEAugmentedClassifier",
    "GaussianAugmentedRegressor",
    "GaussianAugmentedClassifier",
    "HistogramAugmentedRegressor",
    "HistogramAugmentedClassifier",
    "ResampleAugmentedRegressor",
    "ResampleAugmentedClassifier",
    "CategoryBalanceAugmentedRegressor",
    "CategoryBalanceAugmentedClassifier",
    "UnwrapMetaEstimatorMixin",
    "target_relevance",
    "rare_target_augment",
    "RareTargetAugmentedRegressor",
]
