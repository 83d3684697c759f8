#include "duv/metrics/metric_steps.hpp"

#include "duv/interop/buffer.hpp"
#include "duv/interop/util.hpp"

#include <cmath>

namespace duv::metrics {

namespace ms = kernels::metric_sums;
using kernels::Dtype;

void raise_domain_error(Family family) {
    raise_value_error(family == Family::Log10
                          ? "Targets and predictions for log10-space metrics must be strictly positive."
                          : "Targets and predictions for log1p-space metrics must be >= -1.");
}

void raise_zero_weights() { raise(PyExc_ZeroDivisionError, "Weights sum to zero, can't be normalized"); }

nb::handle family_name(Family family) { return family == Family::Log10 ? DUV_STR("log10") : DUV_STR("log1p"); }

nb::object allow_nan_of(nb::handle nan_policy) {
    if (!nan_policy.is_valid()) return nb::bool_(false);
    return richcompare(nan_policy, DUV_STR("drop"), Py_EQ);
}

namespace {

SumsOfSquares sums_of_squares(nb::handle np, nb::handle lt, nb::handle lp) {
    nb::object sum = np.attr("sum");
    nb::object residual = op::sub(lt, lp);
    nb::object ss_res = sum(op::pow(residual, nb::int_(2)), "axis"_a = 0);
    nb::object mean_true = np.attr("mean")(lt, "axis"_a = 0);
    return {ss_res, sum(op::pow(op::sub(lt, mean_true), nb::int_(2)), "axis"_a = 0)};
}

SumsOfSquares weighted_sums_of_squares(nb::handle np, nb::handle lt, nb::handle lp, nb::handle sw) {
    nb::object sum = np.attr("sum");
    nb::object w = np.attr("asarray")(sw, "dtype"_a = float_type()).attr("reshape")(-1, 1);
    nb::object w_sum = sum(w, "axis"_a = 0);
    if (truthy(np.attr("any")(richcompare(w_sum, nb::int_(0), Py_EQ)))) raise_zero_weights();
    nb::object residual = op::sub(lt, lp);
    nb::object ss_res = sum(op::mul(w, op::pow(residual, nb::int_(2))), "axis"_a = 0);
    nb::object mean_true = op::div(sum(op::mul(w, lt), "axis"_a = 0), w_sum);
    return {ss_res, sum(op::mul(w, op::pow(op::sub(lt, mean_true), nb::int_(2))), "axis"_a = 0)};
}

// A constant true column has no spread at all: its total is made exactly 0 (unless NaN),
// which the rounded mean would not always give. Nothing changes when the arrays are not
// what the documented steps produce.
void zero_constant_totals(nb::handle ss_tot, nb::handle lt, nb::handle sw) {
    ArrayView t(lt), w, tot(ss_tot, true);
    if (!t.has(Dtype::F64) || t.ndim() != 2) return;
    kernels::Matrix weights;
    if (!sw.is_none()) {
        w = ArrayView(sw);
        if (!w.has(Dtype::F64) || w.ndim() != 1 || w.shape(0) != t.shape(0)) return;
        weights = w.matrix(Dtype::F64);
    }
    if (!tot.has(Dtype::F64) || tot.ndim() != 1 || tot.shape(0) != t.shape(1)) return;
    std::vector<char> constant = ms::constant_columns(t.matrix(Dtype::F64), weights);
    for (std::size_t j = 0; j < constant.size(); ++j) {
        auto *total = reinterpret_cast<double *>(tot.data() + static_cast<std::ptrdiff_t>(j) * tot.stride(0));
        if (constant[j] && !std::isnan(*total)) *total = 0.0;
    }
}

}  // namespace

nb::object finite_rows(nb::handle np, nb::handle log_true, nb::handle log_pred) {
    nb::object all = np.attr("all"), isfinite = np.attr("isfinite");
    nb::object rows_true = all(isfinite(log_true), "axis"_a = 1);
    nb::object rows_pred = all(isfinite(log_pred), "axis"_a = 1);
    return op::and_(rows_true, rows_pred);
}

nb::object variance_metric(const Globals &g, Kind kind, const Prepared &p, Scores scores) {
    nb::object np = g["np"];
    if (compare(shape_of(p.lt, 0), nb::int_(2), Py_LT)) return warn_undefined(g, kind);
    SumsOfSquares s = p.sw.is_none() ? sums_of_squares(np, p.lt, p.lp) : weighted_sums_of_squares(np, p.lt, p.lp, p.sw);
    zero_constant_totals(s.ss_tot, p.lt, p.sw);
    nb::object per = scores(np, p.lt, s);
    return g["_aggregate_multioutput"](per, p.multioutput);
}

nb::object warn_undefined(const Globals &g, Kind kind) {
    // _fvu imports warnings in the function that warns, _log_metrics at module level.
    nb::object warnings = kind == Kind::R2 ? g["warnings"] : nb::module_::import_("warnings");
    nb::object warn = warnings.attr("warn");
    warn("R^2 score is not well-defined with less than two samples.", g["UndefinedMetricWarning"]);
    return nb::float_(NAN);
}

nb::object documented_metric(const Globals &g, const Metric &metric, const Inputs &in) {
    nb::object check = g["_check_y_true_pred_sample_weight"];
    nb::object allow_nan = allow_nan_of(in.nan_policy);
    auto c = unpack(check(in.y_true, in.y_pred, in.sample_weight, in.multioutput, "allow_nan"_a = allow_nan), 4);
    if (metric.family == Family::None) return metric.arithmetic(g, metric.kind, {c[0], c[1], c[2], c[3]}, in.eps);
    nb::object prepare_logs = g["_prepare_logs"];
    nb::object transform = g["np"].attr(family_name(metric.family));
    auto l = unpack(prepare_logs(c[0], c[1], c[2], c[3], "transform"_a = transform,
                                 "family"_a = family_name(metric.family), "nan_policy"_a = in.nan_policy),
                    4);
    return metric.arithmetic(g, metric.kind, {l[0], l[1], l[2], l[3]}, in.eps);
}

}  // namespace duv::metrics
