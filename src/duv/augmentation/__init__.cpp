#include "duv/interop/module.hpp"

DUV_PACKAGE("duv.augmentation", exec_augmentation) {
    using duv::from_import_if_built;
    from_import_if_built(
        m, "._category_balance_augmentation",
        {"CategoryBalanceAugmentedClassifier", "CategoryBalanceAugmentedRegressor", "category_balance_augment"});
    from_import_if_built(m, "._gaussian_augmentation",
                         {"GaussianAugmentedClassifier", "GaussianAugmentedRegressor", "gaussian_augment"});
    from_import_if_built(m, "._histogram_augmentation",
                         {"HistogramAugmentedClassifier", "HistogramAugmentedRegressor", "histogram_augment"});
    from_import_if_built(m, "._meta_estimator_mixins", {"UnwrapMetaEstimatorMixin"});
    from_import_if_built(m, "._rare_target_augmentation",
                         {"RareTargetAugmentedRegressor", "rare_target_augment", "target_relevance"});
    from_import_if_built(m, "._resample_augmentation",
                         {"ResampleAugmentedClassifier", "ResampleAugmentedRegressor", "resample_augment"});
    from_import_if_built(m, "._smote_augmentation",
                         {"SMOTEAugmentedClassifier", "SMOTEAugmentedRegressor", "smote_augment"});
    duv::set_all(m,
                 {"smote_augment", "gaussian_augment", "histogram_augment", "resample_augment",
                  "category_balance_augment", "SMOTEAugmentedRegressor", "SMOTEAugmentedClassifier",
                  "GaussianAugmentedRegressor", "GaussianAugmentedClassifier", "HistogramAugmentedRegressor",
                  "HistogramAugmentedClassifier", "ResampleAugmentedRegressor", "ResampleAugmentedClassifier",
                  "CategoryBalanceAugmentedRegressor", "CategoryBalanceAugmentedClassifier", "UnwrapMetaEstimatorMixin",
                  "target_relevance", "rare_target_augment", "RareTargetAugmentedRegressor"});
}
