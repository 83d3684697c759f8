#include "duv/interop/function.hpp"
#include "duv/interop/module.hpp"
#include "duv/interop/util.hpp"
#include "duv/metrics/log_metric_driver.hpp"

namespace {

namespace logm = duv::logm;
using logm::Family;
using logm::Kind;

DUV_ARGS(NanPolicyArgs, nan_policy);
DUV_ARGS(PrepareArgs, y_true, y_pred, sample_weight, multioutput, transform, family, nan_policy);
DUV_ARGS(MeanArgs, values, sample_weight);
DUV_ARGS(AggregateArgs, per_output, multioutput);
DUV_ARGS(MetricArgs, y_true, y_pred, sample_weight, multioutput, nan_policy);
DUV_ARGS(PercentageArgs, y_true, y_pred, sample_weight, multioutput, eps, nan_policy);

nb::object getitem(nb::handle x, nb::handle key) { return duv::steal_checked(PyObject_GetItem(x.ptr(), key.ptr())); }

// np.any(a <op> bound)
bool any_compares(nb::handle np, nb::handle a, int op, long bound) {
    return duv::truthy(np.attr("any")(duv::richcompare(a, nb::int_(bound), op)));
}

// np.any(~np.isfinite(a))
bool any_nonfinite(nb::handle np, nb::handle a) {
    nb::object finite = np.attr("isfinite")(a);
    return duv::truthy(np.attr("any")(duv::steal_checked(PyNumber_Invert(finite.ptr()))));
}

nb::object validate_nan_policy(const NanPolicyArgs &a) {
    logm::validate_nan_policy(a.nan_policy);
    return nb::none();
}

// The domain checks of the "log10" and "log1p" families; other families have none.
void check_domain(nb::handle np, nb::handle family, nb::handle y_true, nb::handle y_pred) {
    if (duv::compare(family, DUV_STR("log10"), Py_EQ)) {
        if (any_compares(np, y_true, Py_LE, 0) || any_compares(np, y_pred, Py_LE, 0))
            logm::raise_domain_error(Family::Log10);
    } else if (duv::compare(family, DUV_STR("log1p"), Py_EQ)) {
        if (any_compares(np, y_true, Py_LT, -1) || any_compares(np, y_pred, Py_LT, -1))
            logm::raise_domain_error(Family::Log1p);
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
        if (any_nonfinite(np, log_true) || any_nonfinite(np, log_pred)) duv::raise_value_error(logm::kNonFiniteMessage);
        return nb::make_tuple(log_true, log_pred, a.sample_weight, a.multioutput);
    }
    nb::object log_true = a.transform(a.y_true);
    nb::object log_pred = a.transform(a.y_pred);
    nb::object finite_rows = logm::finite_rows(np, log_true, log_pred);
    if (!duv::truthy(np.attr("any")(finite_rows))) duv::raise_value_error(logm::kAllDroppedMessage);
    log_true = getitem(log_true, finite_rows);
    log_pred = getitem(log_pred, finite_rows);
    nb::object sample_weight = nb::borrow(a.sample_weight);
    if (!sample_weight.is_none()) sample_weight = getitem(sample_weight, finite_rows);
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
        return duv::steal_checked(PyNumber_Float(np.attr("mean")(a.per_output).ptr()));
    }
    nb::object weights = np.attr("asarray")(a.multioutput, "dtype"_a = duv::float_type());
    return duv::steal_checked(PyNumber_Float(np.attr("average")(a.per_output, "weights"_a = weights).ptr()));
}

template <Kind K, Family F> nb::object metric(const duv::Globals &g, const MetricArgs &a) {
    return logm::evaluate(g, K, F, logm::Inputs::of(a));
}

template <Family F> nb::object percentage_metric(const duv::Globals &g, const PercentageArgs &a) {
    return logm::evaluate(g, Kind::AbsolutePercentageError, F, logm::Inputs::of(a));
}

}  // namespace

DUV_MODULE("duv.metrics._log_metrics", exec_log_metrics) {
    duv::from_import(m, "__future__", {"annotations"});
    duv::import_as(m, "warnings");
    duv::from_import(m, "typing", {"Iterable", "Literal", "Optional", "Union"});
    duv::import_as(m, "numpy", "np");
    duv::from_import(m, "sklearn.exceptions", {"UndefinedMetricWarning"});
    duv::from_import(m, "sklearn.utils.validation", {"check_array", "check_consistent_length"});

    nb::object literal = m.attr("Literal")[nb::make_tuple("raw_values", "uniform_average")];
    nb::object iterable = m.attr("Iterable")[duv::float_type()];
    m.attr("MultioutputType") = m.attr("Union")[nb::make_tuple(literal, m.attr("np").attr("ndarray"), iterable)];

    nb::str sw_ann("Optional[Iterable[float]]"), mo_ann("MultioutputType"), str_ann("str");
    nb::str nd_ann("np.ndarray"), opt_nd_ann("Optional[np.ndarray]");

    duv::def(m, "_check_y_true_pred_sample_weight",
             {duv::arg("y_true"), duv::arg("y_pred"), duv::arg("sample_weight", nb::none()).ann(sw_ann),
              duv::arg("multioutput", "uniform_average").ann(mo_ann),
              duv::arg("allow_nan", false).ann(nb::str("bool"))},
             logm::check_y_true_pred_sample_weight);
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
    logm::init(m);

    auto params = [&]() -> std::vector<duv::Param> {
        return {duv::arg("y_true"), duv::arg("y_pred"), duv::kwonly("sample_weight", nb::none()).ann(sw_ann),
                duv::kwonly("multioutput", "uniform_average").ann(mo_ann),
                duv::kwonly("nan_policy", "raise").ann(str_ann)};
    };
    nb::object eps = m.attr("np").attr("finfo")(duv::float_type()).attr("eps");
    auto percentage_params = [&]() -> std::vector<duv::Param> {
        return {duv::arg("y_true"),
                duv::arg("y_pred"),
                duv::kwonly("sample_weight", nb::none()).ann(sw_ann),
                duv::kwonly("multioutput", "uniform_average").ann(mo_ann),
                duv::kwonly("eps", eps).ann(nb::str("float")),
                duv::kwonly("nan_policy", "raise").ann(str_ann)};
    };

    duv::def(m, "mean_absolute_log_error", params(), metric<Kind::AbsoluteError, Family::Log1p>);
    duv::def(m, "mean_squared_log_error", params(), metric<Kind::SquaredError, Family::Log1p>);
    duv::def(m, "root_mean_squared_log_error", params(), metric<Kind::RootSquaredError, Family::Log1p>);
    duv::def(m, "mean_absolute_percentage_log_error", percentage_params(), percentage_metric<Family::Log1p>);
    duv::def(m, "log_r2_score", params(), metric<Kind::R2, Family::Log1p>);
    duv::def(m, "mean_absolute_log10_error", params(), metric<Kind::AbsoluteError, Family::Log10>);
    duv::def(m, "mean_squared_log10_error", params(), metric<Kind::SquaredError, Family::Log10>);
    duv::def(m, "root_mean_squared_log10_error", params(), metric<Kind::RootSquaredError, Family::Log10>);
    duv::def(m, "mean_absolute_percentage_log10_error", percentage_params(), percentage_metric<Family::Log10>);
    duv::def(m, "log10_r2_score", params(), metric<Kind::R2, Family::Log10>);

    duv::set_all(m, {"mean_absolute_log_error", "mean_squared_log_error", "mean_absolute_percentage_log_error",
                     "log_r2_score", "root_mean_squared_log_error", "mean_absolute_log10_error",
                     "mean_squared_log10_error", "mean_absolute_percentage_log10_error", "log10_r2_score",
                     "root_mean_squared_log10_error"});
}
