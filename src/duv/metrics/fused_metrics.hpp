// The regression metrics of _log_metrics and _fvu in one kernel pass (kernels/metric_sums.hpp)
// that reproduces the values, errors and warnings of their documented steps. It runs only
// while the module names those steps look up are bound as on import; otherwise the steps run
// through whatever the names are bound to now.
#pragma once

#include "duv/interop/module_state.hpp"
#include "duv/metrics/metric_steps.hpp"
#include "duv/metrics/numpy_log.hpp"

#include <optional>

namespace duv::metrics {

// What a metric module keeps: the names its documented steps look up, as imported, and the
// module whose helpers those steps call, where the helpers look their own names up (none:
// the module itself).
struct MetricState : ModuleState {
    AsImported steps{*this, {"np", "_check_y_true_pred_sample_weight", "_aggregate_multioutput"}};
    AsImported logs{*this, {"_prepare_logs"}};  // the log-space metrics' step
    nb::handle helpers;

    // Called at the end of the exec function, once every name is bound.
    void take(nb::handle module, nb::handle helpers_module = nb::handle());
};

// _log_metrics keeps, besides, the names its helpers look up and what the kernel uses of NumPy.
struct LogMetricsState : MetricState {
    AsImported checks{*this, {"np", "check_array", "check_consistent_length"}};
    AsImported nan_policy{*this, {"_validate_nan_policy"}};
    AsImported mean{*this, {"_weighted_mean_per_output"}};  // the error metrics' step
    nb::handle ndarray, float64;
    NumpyLog log1p, log10;

    void take(nb::handle module);
};

// The metric call in one kernel pass; nullopt, having done nothing, while a name its
// documented steps look up is not as imported.
std::optional<nb::object> fused_metric(const Globals &g, const Metric &metric, const Inputs &in);

// A metric's body (`Steps`: its own, after the logarithms): one kernel pass where it
// applies, the documented steps otherwise.
template <Kind K, Family F, Arithmetic Steps, typename A> nb::object metric(const Globals &g, const A &a) {
    const Metric m{K, F, Steps};
    const Inputs in = Inputs::of(a);
    if (std::optional<nb::object> fused = fused_metric(g, m, in)) return *fused;
    return documented_metric(g, m, in);
}

}  // namespace duv::metrics
