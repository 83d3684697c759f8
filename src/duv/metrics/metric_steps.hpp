// The documented steps that the metric modules share, through the module names as bound now.
#pragma once

#include "duv/interop/function.hpp"
#include "duv/kernels/metric_sums.hpp"

#include <type_traits>

namespace duv::metrics {

using kernels::metric_sums::Family;
using kernels::metric_sums::Kind;

// Messages of _prepare_logs, raised by it and by the kernel's road.
inline constexpr const char *kNonFiniteMessage = "Non-finite values encountered after log transform.";
inline constexpr const char *kAllDroppedMessage = "All samples were dropped by nan_policy='drop'.";

// Raises the domain message of `family` (Log10 or Log1p).
[[noreturn]] void raise_domain_error(Family family);
[[noreturn]] void raise_zero_weights();

namespace detail {
template <typename A, typename = void> struct HasNanPolicy : std::false_type {};
template <typename A> struct HasNanPolicy<A, std::void_t<decltype(A::nan_policy)>> : std::true_type {};
template <typename A, typename = void> struct HasEps : std::false_type {};
template <typename A> struct HasEps<A, std::void_t<decltype(A::eps)>> : std::true_type {};
}  // namespace detail

// The arguments of one metric call; `nan_policy` and `eps` stay null for metrics without them.
struct Inputs {
    nb::handle y_true, y_pred, sample_weight, multioutput, nan_policy, eps;

    template <typename A> static Inputs of(const A &a) {
        Inputs in{a.y_true, a.y_pred, a.sample_weight, a.multioutput, {}, {}};
        if constexpr (detail::HasNanPolicy<A>::value) in.nan_policy = a.nan_policy;
        if constexpr (detail::HasEps<A>::value) in.eps = a.eps;
        return in;
    }
};

// The arrays after _prepare_logs (after the check, for the plain fraction of variance unexplained).
struct Prepared {
    nb::object lt, lp, sw, multioutput;
};

// The `family` argument and NumPy attribute name of a logarithm.
nb::handle family_name(Family family);

// allow_nan as the metrics compute it: nan_policy == "drop", False without a nan_policy.
nb::object allow_nan_of(nb::handle nan_policy);

// The rows kept by nan_policy="drop": np.all(np.isfinite(log_true), axis=1) & (the same for log_pred).
nb::object finite_rows(nb::handle np, nb::handle log_true, nb::handle log_pred);

// R²'s warning for fewer than two samples; returns NaN.
nb::object warn_undefined(const Globals &g, Kind kind);

// A metric's own steps on the arrays _prepare_logs returned.
using Arithmetic = nb::object (*)(const Globals &g, Kind kind, const Prepared &p, nb::handle eps);

struct Metric {
    Kind kind;
    Family family;  // None: the plain fraction of variance unexplained
    Arithmetic arithmetic;
};

// A whole metric call: the check, the logarithms, the metric's own steps.
nb::object documented_metric(const Globals &g, const Metric &metric, const Inputs &in);

struct SumsOfSquares {
    nb::object ss_res, ss_tot;
};
// Per-output scores from the sums of squares of `lt` (the prepared targets).
using Scores = nb::object (*)(nb::handle np, nb::handle lt, const SumsOfSquares &s);

// R² or the fraction of variance unexplained: the (weighted) sums of squares, the scores,
// their aggregate over outputs.
nb::object variance_metric(const Globals &g, Kind kind, const Prepared &p, Scores scores);

}  // namespace duv::metrics
