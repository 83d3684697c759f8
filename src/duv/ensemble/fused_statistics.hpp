// The voting ensemble's steps on its members' predictions in one pass each (kernels of
// member_statistics.hpp); nullopt where the kernels do not apply: the caller runs NumPy.
#pragma once

#include "duv/interop/module_state.hpp"

#include <optional>

namespace duv::ensemble {

struct VotingState : ModuleState {
    // The NumPy names the one-pass steps stand in for.
    AsImported numpy{*this, {"np", "np.ndarray", "np.average", "np.var", "np.sqrt", "np.stack"}};
    nb::handle cls;  // VotingRegressor, for super() in its methods
};

// np.stack(preds, axis=1) for a list of float64 vectors of one length.
std::optional<nb::object> fused_stack(const Globals &g, nb::handle preds);

// np.average(predictions, axis=1, weights=weights) or, when `return_std`, the tuple of it and
// the square root of the (weighted) average squared deviation from it.
std::optional<nb::object> fused_statistics(const Globals &g, nb::handle predictions, nb::handle weights,
                                           bool return_std);

}  // namespace duv::ensemble
