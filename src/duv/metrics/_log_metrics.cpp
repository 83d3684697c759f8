#include "duv/interop/module.hpp"
#include "duv/interop/util.hpp"
#include "duv/metrics/fused_metrics.hpp"

namespace {

using namespace duv::metrics;
namespace op = duv::op;

DUV_ARGS(CheckArgs, y_true, y_pred, sample_weight, multioutput, allow_nan);
DUV_ARGS(NanPolicyArgs, nan_policy);
DUV_ARGS(PrepareArgs, y_true, y_pred, sample_weight, multioutput, transform, family, nan_policy);
DUV_ARGS(MeanArgs, values, sample_weight);
DUV_ARGS(AggregateArgs, per_output, multioutput);
DUV_ARGS(MetricArgs, y_true, y_pred, sample_weight, multioutput, nan_policy);
DUV_ARGS(PercentageArgs, y_true, y_pred, sample_weight, multioutput, eps, nan_policy);

nb::object checked_sample_weight(const duv::Globals &g, nb::handle sample_weight, nb::handle y_true) {
    if (sample_weight.is_none()) return nb::none();
    nb::object np = g["np"];
    nb::object sw = np.attr("asarray")(sample_weight, "dtype"_a = duv::float_type());
    if (duv::compare(sw.attr("ndim"), nb::int_(1), Py_NE) ||
        duv::compare(duv::shape_of(sw, 0), duv::shape_of(y_true, 0), Py_NE))
        duv::raise_value_error("sample_weight must be 1D with length equal to n_samples");
    if (duv::truthy(np.attr("any")(duv::richcompare(sw, nb::int_(0), Py_LT))))
        duv::raise_value_error("sample_weight must be non-negative");
    return sw;
}

// `x in {...}` for a hashable x.
bool one_of(nb::handle x, nb::handle options) {
    const int in = PySet_Contains(options.ptr(), x.ptr());
    duv::check(in >= 0);
    return in == 1;
}

nb::object checked_multioutput(const duv::Globals &g, nb::handle multioutput, nb::handle y_true) {
    if (PyUnicode_Check(multioutput.ptr())) {
        if (!one_of(multioutput, duv::set_of("raw_values", "uniform_average")))
            duv::raise_value_error("multioutput must be 'raw_values' or 'uniform_average' when a string");
        return nb::borrow(multioutput);
    }
    if (multioutput.is_none())
        duv::raise_value_error(
            "multioutput must be 'raw_values', 'uniform_average' or an array of per-output weights, got None");
    nb::object asarray = g["np"].attr("asarray");
    nb::object mo = asarray(duv::steal_checked(PySequence_List(multioutput.ptr())), "dtype"_a = duv::float_type());
    if (duv::compare(mo.attr("ndim"), nb::int_(1), Py_NE) ||
        duv::compare(duv::shape_of(mo, 0), duv::shape_of(y_true, 1), Py_NE))
        duv::raise_value_error("multioutput weights must be 1D with length equal to n_outputs");
    return mo;
}

nb::object check_y_true_pred_sample_weight(const duv::Globals &g, const CheckArgs &a) {
    g["check_consistent_length"](a.y_true, a.y_pred);
    nb::object force = duv::truthy(a.allow_nan) ? nb::borrow(DUV_STR("allow-nan")) : nb::object(nb::bool_(true));
    nb::object check_array = g["check_array"];
    nb::object y_true =
        check_array(a.y_true, "ensure_2d"_a = false, "dtype"_a = duv::float_type(), "ensure_all_finite"_a = force);
    nb::object y_pred =
        check_array(a.y_pred, "ensure_2d"_a = false, "dtype"_a = duv::float_type(), "ensure_all_finite"_a = force);
    y_true = duv::vector_as_column(y_true);
    y_pred = duv::vector_as_column(y_pred);
    if (duv::compare(y_true.attr("shape"), y_pred.attr("shape"), Py_NE))
        duv::raise_value_error("y_true and y_pred have different shapes: " + duv::format(y_true.attr("shape")) +
                               " vs " + duv::format(y_pred.attr("shape")));
    nb::object sample_weight = checked_sample_weight(g, a.sample_weight, y_true);
    nb::object multioutput = checked_multioutput(g, a.multioutput, y_true);
    return nb::make_tuple(y_true, y_pred, sample_weight, multioutput);
}

nb::object validate_nan_policy(const NanPolicyArgs &a) {
    if (!one_of(a.nan_policy, duv::set_of("raise", "drop")))
        duv::raise_value_error("nan_policy must be one of {'raise','drop'}");
    return nb::none();
}

// np.any(a <op> bound)
bool any_compares(nb::handle np, nb::handle a, int op, long bound) {
    return duv::truthy(np.attr("any")(duv::richcompare(a, nb::int_(bound), op)));
}

// np.any(~np.isfinite(a))
bool any_nonfinite(nb::handle np, nb::handle a) {
    nb::object finite = np.attr("isfinite")(a);
    return duv::truthy(np.attr("any")(duv::op::invert(finite)));
}

// The domain checks of the "log10" and "log1p" families; other families have none.
void check_domain(nb::handle np, nb::handle family, nb::handle y_true, nb::handle y_pred) {
    if (duv::compare(family, DUV_STR("log10"), Py_EQ)) {
        if (any_compares(np, y_true, Py_LE, 0) || any_compares(np, y_pred, Py_LE, 0)) raise_domain_error(Family::Log10);
    } else if (duv::compare(family, DUV_STR("log1p"), Py_EQ)) {
        if (any_compares(np, y_true, Py_LT, -1) || any_compares(np, y_pred, Py_LT, -1))
            raise_domain_error(Family::Log1p);
    }
}

// The documented steps with Python operators, for any transform and any array-like that
// supports them.
nb::object prepare_logs(const duv::Globals &g, const PrepareArgs &a) {
    g["_validate_nan_policy"](a.nan_policy);
    nb::object np = g["np"];
    if (duv::compare(a.nan_policy, DUV_STR("raise"), Py_EQ)) {
        check_domain(np, a.family, a.y_true, a.y_pred);
        nb::object log_true = a.transform(a.y_true);
        nb::object log_pred = a.transform(a.y_pred);
        if (any_nonfinite(np, log_true) || any_nonfinite(np, log_pred)) duv::raise_value_error(kNonFiniteMessage);
        return nb::make_tuple(log_true, log_pred, a.sample_weight, a.multioutput);
    }
    nb::object log_true = a.transform(a.y_true);
    nb::object log_pred = a.transform(a.y_pred);
    nb::object kept = finite_rows(np, log_true, log_pred);
    if (!duv::truthy(np.attr("any")(kept))) duv::raise_value_error(kAllDroppedMessage);
    log_true = duv::getitem(log_true, kept);
    log_pred = duv::getitem(log_pred, kept);
    nb::object sample_weight = nb::borrow(a.sample_weight);
    if (!sample_weight.is_none()) sample_weight = duv::getitem(sample_weight, kept);
    return nb::make_tuple(log_true, log_pred, sample_weight, a.multioutput);
}

nb::object weighted_mean_per_output(const duv::Globals &g, const MeanArgs &a) {
    nb::object np = g["np"];
    if (a.sample_weight.is_none()) return np.attr("mean")(a.values, "axis"_a = 0);
    return np.attr("average")(a.values, "axis"_a = 0, "weights"_a = a.sample_weight);
}

nb::object aggregate_multioutput(const duv::Globals &g, const AggregateArgs &a) {
    nb::object np = g["np"];
    if (PyUnicode_Check(a.multioutput.ptr())) {
        if (duv::compare(a.multioutput, DUV_STR("raw_values"), Py_EQ)) return nb::borrow(a.per_output);
        return duv::float_of(np.attr("mean")(a.per_output));
    }
    nb::object weights = np.attr("asarray")(a.multioutput, "dtype"_a = duv::float_type());
    return duv::float_of(np.attr("average")(a.per_output, "weights"_a = weights));
}

// The per-element error of the error metrics (`eps`: converted with float() here).
nb::object errors(nb::handle np, Kind kind, nb::handle lt, nb::handle lp, nb::handle eps) {
    if (kind == Kind::AbsoluteError) return np.attr("abs")(op::sub(lt, lp));
    if (kind != Kind::AbsolutePercentageError) return op::pow(op::sub(lt, lp), nb::int_(2));
    nb::object magnitude = np.attr("abs")(lt);
    nb::object floor = duv::float_of(eps);
    nb::object denom = np.attr("maximum")(magnitude, floor);
    return np.attr("abs")(op::div(op::sub(lt, lp), denom));
}

// R² per output: 1 - ss_res / ss_tot where both are non-zero, 0.0 for a constant column
// predicted with any error, 1.0 for a perfect prediction.
nb::object r2_scores(nb::handle np, nb::handle lt, const SumsOfSquares &s) {
    nb::object nonzero_res = duv::richcompare(s.ss_res, nb::int_(0), Py_NE);
    nb::object nonzero_tot = duv::richcompare(s.ss_tot, nb::int_(0), Py_NE);
    nb::object valid = op::and_(nonzero_res, nonzero_tot);
    nb::object scores = np.attr("ones")(duv::shape_of(lt, 1), "dtype"_a = duv::float_type());
    op::setitem(scores, valid,
                op::sub(nb::float_(1.0), op::div(duv::getitem(s.ss_res, valid), duv::getitem(s.ss_tot, valid))));
    op::setitem(scores, op::and_(nonzero_res, op::invert(nonzero_tot)), nb::float_(0.0));
    return scores;
}

// A metric's own steps on the arrays _prepare_logs returned.
nb::object log_space_steps(const duv::Globals &g, Kind kind, const Prepared &p, nb::handle eps) {
    if (kind == Kind::R2) return variance_metric(g, kind, p, r2_scores);
    nb::object np = g["np"];
    nb::object values = errors(np, kind, p.lt, p.lp, eps);
    nb::object per = g["_weighted_mean_per_output"](values, p.sw);
    if (kind == Kind::RootSquaredError) per = np.attr("sqrt")(per);
    return g["_aggregate_multioutput"](per, p.multioutput);
}

// A metric function by another name, so named like a function; the template arguments are no cast.
// NOLINTBEGIN(readability-identifier-naming,google-readability-casting)
template <Kind K, Family F, typename A = MetricArgs> constexpr auto log_metric = metric<K, F, log_space_steps, A>;
// NOLINTEND(readability-identifier-naming,google-readability-casting)

}  // namespace

DUV_MODULE("duv.metrics._log_metrics", exec_log_metrics) {
    duv::from_import(m, "__future__", {"annotations"});
    duv::import_as(m, "warnings");
    duv::from_import(m, "typing", {"Iterable", "Literal", "Optional", "Union"});
    duv::import_as(m, "numpy", "np");
    duv::from_import(m, "sklearn.exceptions", {"UndefinedMetricWarning"});
    duv::from_import(m, "sklearn.utils.validation", {"check_array", "check_consistent_length"});
    LogMetricsState &st = duv::make_state<LogMetricsState>(m);

    nb::object literal = m.attr("Literal")[nb::make_tuple("raw_values", "uniform_average")];
    nb::object iterable = m.attr("Iterable")[duv::float_type()];
    m.attr("MultioutputType") = m.attr("Union")[nb::make_tuple(literal, m.attr("np").attr("ndarray"), iterable)];

    nb::str sw_ann("Optional[Iterable[float]]"), mo_ann("MultioutputType"), str_ann("str");
    nb::str nd_ann("np.ndarray"), opt_nd_ann("Optional[np.ndarray]");

    duv::def(m, "_check_y_true_pred_sample_weight",
             {duv::arg("y_true"), duv::arg("y_pred"), duv::arg("sample_weight", nb::none()).ann(sw_ann),
              duv::arg("multioutput", "uniform_average").ann(mo_ann),
              duv::arg("allow_nan", false).ann(nb::str("bool"))},
             check_y_true_pred_sample_weight);
    duv::def(m, "_validate_nan_policy", {duv::arg("nan_policy").ann(str_ann)}, validate_nan_policy);
    duv::def(m, "_prepare_logs",
             {duv::arg("y_true").ann(nd_ann), duv::arg("y_pred").ann(nd_ann), duv::arg("sample_weight").ann(opt_nd_ann),
              duv::arg("multioutput").ann(mo_ann), duv::kwonly("transform"), duv::kwonly("family").ann(str_ann),
              duv::kwonly("nan_policy").ann(str_ann)},
             prepare_logs);
    duv::def(m, "_weighted_mean_per_output",
             {duv::arg("values").ann(nd_ann), duv::arg("sample_weight").ann(opt_nd_ann)}, weighted_mean_per_output);
    duv::def(m, "_aggregate_multioutput", {duv::arg("per_output").ann(nd_ann), duv::arg("multioutput").ann(mo_ann)},
             aggregate_multioutput);

    nb::object eps = m.attr("np").attr("finfo")(duv::float_type()).attr("eps");
    auto params = [&](bool percentage = false) {
        std::vector<duv::Param> p{duv::arg("y_true"), duv::arg("y_pred"),
                                  duv::kwonly("sample_weight", nb::none()).ann(sw_ann),
                                  duv::kwonly("multioutput", "uniform_average").ann(mo_ann)};
        if (percentage) p.push_back(duv::kwonly("eps", eps).ann(nb::str("float")));
        p.push_back(duv::kwonly("nan_policy", "raise").ann(str_ann));
        return p;
    };

    duv::def(m, "mean_absolute_log_error", params(), log_metric<Kind::AbsoluteError, Family::Log1p>);
    duv::def(m, "mean_squared_log_error", params(), log_metric<Kind::SquaredError, Family::Log1p>);
    duv::def(m, "root_mean_squared_log_error", params(), log_metric<Kind::RootSquaredError, Family::Log1p>);
    duv::def(m, "mean_absolute_percentage_log_error", params(true),
             log_metric<Kind::AbsolutePercentageError, Family::Log1p, PercentageArgs>);
    duv::def(m, "log_r2_score", params(), log_metric<Kind::R2, Family::Log1p>);
    duv::def(m, "mean_absolute_log10_error", params(), log_metric<Kind::AbsoluteError, Family::Log10>);
    duv::def(m, "mean_squared_log10_error", params(), log_metric<Kind::SquaredError, Family::Log10>);
    duv::def(m, "root_mean_squared_log10_error", params(), log_metric<Kind::RootSquaredError, Family::Log10>);
    duv::def(m, "mean_absolute_percentage_log10_error", params(true),
             log_metric<Kind::AbsolutePercentageError, Family::Log10, PercentageArgs>);
    duv::def(m, "log10_r2_score", params(), log_metric<Kind::R2, Family::Log10>);

    duv::set_all(m, {"mean_absolute_log_error", "mean_squared_log_error", "mean_absolute_percentage_log_error",
                     "log_r2_score", "root_mean_squared_log_error", "mean_absolute_log10_error",
                     "mean_squared_log10_error", "mean_absolute_percentage_log10_error", "log10_r2_score",
                     "root_mean_squared_log10_error"});
    st.take(m);
}
