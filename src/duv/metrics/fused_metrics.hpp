// The regression metrics of _log_metrics and _fvu in one kernel pass (kernels/metric_sums.hpp)
// with the values, errors and warnings of their documented steps, while the names those steps
// look up are as imported.
#pragma once

#include "duv/interop/module_state.hpp"
#include "duv/metrics/metric_steps.hpp"
#include "duv/metrics/numpy_log.hpp"

#include <optional>

namespace duv::metrics {

// The names a metric module's steps look up, and the module whose helpers they call (none:
// the module itself).
struct MetricState : ModuleState {
    AsImported steps{*this, {"np", "_check_y_true_pred_sample_weight", "_aggregate_multioutput"}};
    AsImported logs{*this, {"_prepare_logs"}};  // the log-space metrics' step
    nb::handle helpers;

    // Called at the end of the exec function, once every name is bound.
    void take(nb::handle module, nb::handle helpers_module = nb::handle());
};

// _log_metrics keeps besides the names its helpers look up and what the kernel uses of NumPy.
struct LogMetricsState : MetricState {
    AsImported checks{*this, {"np", "check_array", "check_consistent_length"}};
    AsImported nan_policy{*this, {"_validate_nan_policy"}};
    AsImported mean{*this, {"_weighted_mean_per_output"}};  // the error metrics' step
    nb::handle ndarray, float64;
    NumpyLog log1p, log10;

    void take(nb::handle module);
};

// The metric call in one kernel pass; nullopt, having done nothing, when it may not run.
std::optional<nb::object> fused_metric(const Globals &g, const Metric &metric, const Inputs &in);

// A metric's body (`Steps`: its own, after the logarithms).
template <Kind K, Family F, Arithmetic Steps, typename A> nb::object metric(const Globals &g, const A &a) {
    const Metric m{K, F, Steps};
    const Inputs in = Inputs::of(a);
    if (std::optional<nb::object> fused = fused_metric(g, m, in)) return *fused;
    return documented_metric(g, m, in);
}

}  // namespace duv::metrics
