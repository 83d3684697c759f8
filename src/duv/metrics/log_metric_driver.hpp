// What duv.metrics._log_metrics and duv.metrics._fvu share: the documented input checks,
// their messages, and `evaluate`, which runs a whole metric call. While the module names
// that the documented steps look up are bound as on import, it runs them as one fused
// kernel pass (kernels/log_metrics.hpp) that reproduces their values, errors and
// warnings; otherwise it runs the steps through whatever the names are bound to now.
#pragma once

#include "duv/interop/function.hpp"
#include "duv/kernels/log_metrics.hpp"

#include <type_traits>

namespace duv::logm {

using kernels::logm::Family;

enum class Kind { AbsoluteError, SquaredError, RootSquaredError, AbsolutePercentageError, R2, FractionUnexplained };

// Messages of _prepare_logs, raised by it and by the kernel roads.
inline constexpr const char *kNonFiniteMessage = "Non-finite values encountered after log transform.";
inline constexpr const char *kAllDroppedMessage = "All samples were dropped by nan_policy='drop'.";

// Raises the domain message of `family` (Log10 or Log1p).
[[noreturn]] void raise_domain_error(Family family);

// Records NumPy's objects and loops, and what the names that the documented steps look up
// are bound to. Called by the body of _log_metrics once its helpers are defined.
void init(nb::module_ &m);

// _check_y_true_pred_sample_weight; `g` is the namespace of _log_metrics.
DUV_ARGS(CheckArgs, y_true, y_pred, sample_weight, multioutput, allow_nan);
nb::object check_y_true_pred_sample_weight(const duv::Globals &g, const CheckArgs &a);

// _validate_nan_policy: raises unless nan_policy is "raise" or "drop".
void validate_nan_policy(nb::handle nan_policy);

// The rows kept by nan_policy="drop": np.all(np.isfinite(log_true), axis=1) & (the same for log_pred).
nb::object finite_rows(nb::handle np, nb::handle log_true, nb::handle log_pred);

namespace detail {
template <typename A, typename = void> struct has_nan_policy : std::false_type {};
template <typename A> struct has_nan_policy<A, std::void_t<decltype(A::nan_policy)>> : std::true_type {};
template <typename A, typename = void> struct has_eps : std::false_type {};
template <typename A> struct has_eps<A, std::void_t<decltype(A::eps)>> : std::true_type {};
}  // namespace detail

// The arguments of one metric call, taken by name from its DUV_ARGS struct; `nan_policy`
// and `eps` stay null for metrics without them.
struct Inputs {
    nb::handle y_true, y_pred, sample_weight, multioutput, nan_policy, eps;

    template <typename A> static Inputs of(const A &a) {
        Inputs in;
        in.y_true = a.y_true;
        in.y_pred = a.y_pred;
        in.sample_weight = a.sample_weight;
        in.multioutput = a.multioutput;
        if constexpr (detail::has_nan_policy<A>::value) in.nan_policy = a.nan_policy;
        if constexpr (detail::has_eps<A>::value) in.eps = a.eps;
        return in;
    }
};

// A whole metric call; `g` is the namespace of the module that defines the metric and
// `family` is Family::None for the plain fraction of variance unexplained.
nb::object evaluate(const duv::Globals &g, Kind kind, Family family, const Inputs &in);

}  // namespace duv::logm
