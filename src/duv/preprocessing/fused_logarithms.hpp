// The scaler's maps in one pass over the data by NumPy's own float64 loops, where a probe at
// import shows them reproducing NumPy bit for bit; nullopt where they do not apply.
#pragma once

#include "duv/interop/module_state.hpp"
#include "duv/kernels/inner_loop.hpp"

#include <optional>

namespace duv::preprocessing {

// The logarithms in the order `_forward` tests the mode, and their inverses.
enum Map : int { kLog10, kLog, kLog1p };
constexpr const char *kLogName[] = {"log10", "log", "log1p"};
constexpr const char *kInverseName[] = {"power", "exp", "expm1"};

struct ScalerState : ModuleState {
    // The NumPy names the fused maps stand in for.
    AsImported numpy{*this,
                     {"np", "np.ndarray", "np.clip", "np.empty_like", "np.log10", "np.log", "np.log1p", "np.power",
                      "np.exp", "np.expm1"}};
    kernels::UfuncLoop log[3], inverse[3];  // empty where the probe failed
    nb::handle forward;                     // LogarithmScaler._forward, to recognise it on instances
};

// Probes NumPy's loops (module `m` has imported numpy as np); fills the state's loops.
void probe_loops(ScalerState &st, nb::handle np);

// `np.f(np.clip(-X if negate else X, lb, None))` (no clip when lb is None), f the logarithm of `m`.
std::optional<nb::object> fused_forward(const Globals &g, nb::handle X, bool negate, nb::handle lb, Map m);

// `-f(X) if negate else f(X)`, f(X) being np.power(10.0, X), np.exp(X) or np.expm1(X).
std::optional<nb::object> fused_inverse(const Globals &g, nb::handle X, bool negate, Map m);

}  // namespace duv::preprocessing
