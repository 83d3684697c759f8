#include "duv/interop/module.hpp"

DUV_PACKAGE("duv.metrics", exec_metrics) {
    duv::from_import_if_built(m, "._balanced_scorer", {"make_categorical_balanced_scorer"});
    duv::from_import_if_built(m, "._fvu",
                              {"fraction_of_variance_unexplained", "log10_fraction_of_variance_unexplained",
                               "log_fraction_of_variance_unexplained"});
    duv::from_import_if_built(m, "._log_metrics",
                              {"log10_r2_score", "log_r2_score", "mean_absolute_log10_error", "mean_absolute_log_error",
                               "mean_absolute_percentage_log10_error", "mean_absolute_percentage_log_error",
                               "mean_squared_log10_error", "mean_squared_log_error", "root_mean_squared_log10_error",
                               "root_mean_squared_log_error"});
    duv::set_all(m, {"mean_absolute_log_error", "mean_squared_log_error", "mean_absolute_percentage_log_error",
                     "log_r2_score", "root_mean_squared_log_error", "mean_absolute_log10_error",
                     "mean_squared_log10_error", "mean_absolute_percentage_log10_error", "log10_r2_score",
                     "root_mean_squared_log10_error", "fraction_of_variance_unexplained",
                     "log_fraction_of_variance_unexplained", "log10_fraction_of_variance_unexplained",
                     "make_categorical_balanced_scorer"});
}
