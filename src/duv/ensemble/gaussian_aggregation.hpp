// Merging the experts' Gaussian predictions (a mean and a standard deviation each) by the
// three aggregation methods: NumPy's expressions, and the kernels of expert_aggregation.hpp
// that stand in for them where they apply and raise no floating-point exception NumPy would
// report.
#pragma once

#include "duv/ensemble/expert_routing.hpp"
#include "duv/interop/module_state.hpp"

namespace duv::ensemble {

using kernels::expert_aggregation::Method;

struct MixtureState : ModuleState {
    // The NumPy names the kernels stand in for.
    AsImported numpy{*this, {"np", "np.ndarray", "np.argsort", "np.mean", "np.sum", "np.sqrt", "np.maximum"}};
    // The class's own aggregation methods, to tell them from overrides.
    nb::handle own_aggregation[4];

    bool exact_ndarray(nb::handle o) const { return o.type().is(numpy["np.ndarray"]); }
};

// The method an `aggregation_method` names; ValueError for another name.
Method method_named(nb::handle name);

// (mean, std) of `method` on a stack, the experts along axis 0:
//   simple: (np.mean(means, axis=0), np.sqrt(np.mean(stds ** 2, axis=0)))
//   inverse variance: inv = 1 / (stds ** 2 + epsilon);
//     (np.sum(inv / np.sum(inv, axis=0, keepdims=True) * means, axis=0), np.sqrt(1 / np.sum(inv, axis=0)))
//   mixture: w = np.ones(k) / k, or np.asarray(weights) / np.sum(weights), shaped (k, 1, ...);
//     mean = np.sum(w * means, axis=0) and
//     (mean, np.sqrt(np.maximum(np.sum(w * (stds ** 2 + (means - mean) ** 2), axis=0), epsilon))):
//     the variance as the weighted spread about the mean (law of total variance), which stays
//     accurate when |mean| >> std.
nb::object aggregate_stack(const Globals &g, Method method, nb::handle means, nb::handle stds,
                           nb::handle epsilon = nb::handle(), nb::handle weights = nb::none());

// Every routed row's stack merged by `method` as the row-at-a-time steps merge it, or by the
// mixture with `weights`, each row's distance weights (normalised once more, as
// _mixture_aggregation does with its weights), when they are given; (mean, std) as float64.
nb::object merge_rows(const Globals &g, Method method, const RoutedRows &r, nb::handle weights, nb::handle epsilon);

}  // namespace duv::ensemble
