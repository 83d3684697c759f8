#include "duv/interop/function.hpp"
#include "duv/interop/module.hpp"
#include "duv/interop/util.hpp"
#include "duv/metrics/log_metric_driver.hpp"

namespace {

using duv::logm::Family;
using duv::logm::Kind;

nb::object op(PyObject *r) { return duv::steal_checked(r); }
using duv::compare;

nb::object check_y_true_pred_sample_weight(const duv::Args &a) {
    return duv::logm::check_inputs(a[0], a[1], a[2], a[3], a[4]);
}

nb::object validate_nan_policy(const duv::Args &a) {
    duv::logm::validate_nan_policy(a[0]);
    return nb::none();
}

// The documented steps spelled out with Python operators, for any transform and any
// array-like that supports them.
nb::object prepare_logs(const duv::Args &a) {
    nb::handle y_true = a[0], y_pred = a[1], transform = a[4], family = a[5], nan_policy = a[6];
    nb::object sample_weight = nb::borrow(a[2]);
    a.global(DUV_STR("_validate_nan_policy"))(nan_policy);
    nb::object np = a.global(DUV_STR("np"));
    nb::object any = np.attr("any"), isfinite = np.attr("isfinite");
    if (compare(nan_policy, DUV_STR("raise"), Py_EQ)) {
        if (compare(family, DUV_STR("log10"), Py_EQ)) {
            nb::object zero = op(PyLong_FromLong(0));
            if (duv::truthy(any(op(PyObject_RichCompare(y_true.ptr(), zero.ptr(), Py_LE)))) ||
                duv::truthy(any(op(PyObject_RichCompare(y_pred.ptr(), zero.ptr(), Py_LE)))))
                duv::raise_value_error("Targets and predictions for log10-space metrics must be strictly positive.");
        } else if (compare(family, DUV_STR("log1p"), Py_EQ)) {
            nb::object minus_one = op(PyLong_FromLong(-1));
            if (duv::truthy(any(op(PyObject_RichCompare(y_true.ptr(), minus_one.ptr(), Py_LT)))) ||
                duv::truthy(any(op(PyObject_RichCompare(y_pred.ptr(), minus_one.ptr(), Py_LT)))))
                duv::raise_value_error("Targets and predictions for log1p-space metrics must be >= -1.");
        }
        nb::object log_true = transform(y_true);
        nb::object log_pred = transform(y_pred);
        if (duv::truthy(any(op(PyNumber_Invert(isfinite(log_true).ptr())))) ||
            duv::truthy(any(op(PyNumber_Invert(isfinite(log_pred).ptr())))))
            duv::raise_value_error("Non-finite values encountered after log transform.");
        return nb::make_tuple(log_true, log_pred, sample_weight, a[3]);
    }
    nb::object log_true = transform(y_true);
    nb::object log_pred = transform(y_pred);
    nb::object all = np.attr("all");
    nb::object finite_rows =
        op(PyNumber_And(all(isfinite(log_true), "axis"_a = 1).ptr(), all(isfinite(log_pred), "axis"_a = 1).ptr()));
    if (!duv::truthy(any(finite_rows))) duv::raise_value_error("All samples were dropped by nan_policy='drop'.");
    log_true = op(PyObject_GetItem(log_true.ptr(), finite_rows.ptr()));
    log_pred = op(PyObject_GetItem(log_pred.ptr(), finite_rows.ptr()));
    if (!sample_weight.is_none()) sample_weight = op(PyObject_GetItem(sample_weight.ptr(), finite_rows.ptr()));
    return nb::make_tuple(log_true, log_pred, sample_weight, a[3]);
}

nb::object weighted_mean_per_output(const duv::Args &a) {
    nb::object np = a.global(DUV_STR("np"));
    if (a[1].is_none()) return np.attr("mean")(a[0], "axis"_a = 0);
    return np.attr("average")(a[0], "axis"_a = 0, "weights"_a = a[1]);
}

nb::object aggregate_multioutput(const duv::Args &a) {
    nb::handle per_output = a[0], multioutput = a[1];
    nb::object np = a.global(DUV_STR("np"));
    if (PyUnicode_Check(multioutput.ptr())) {
        if (compare(multioutput, DUV_STR("raw_values"), Py_EQ)) return nb::borrow(per_output);
        return op(PyNumber_Float(np.attr("mean")(per_output).ptr()));
    }
    nb::object w = np.attr("asarray")(multioutput, "dtype"_a = nb::handle((PyObject *)&PyFloat_Type));
    return op(PyNumber_Float(np.attr("average")(per_output, "weights"_a = w).ptr()));
}

// Parameters: y_true, y_pred, *, sample_weight, multioutput, [eps,] nan_policy.
template <Kind K, Family F> nb::object metric(const duv::Args &a) {
    return duv::logm::evaluate(a, K, F, a[0], a[1], a[2], a[3], a[4], nb::handle());
}

template <Family F> nb::object percentage_metric(const duv::Args &a) {
    return duv::logm::evaluate(a, Kind::AbsolutePercentageError, F, a[0], a[1], a[2], a[3], a[5], a[4]);
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
    nb::object iterable = m.attr("Iterable")[nb::handle((PyObject *)&PyFloat_Type)];
    m.attr("MultioutputType") = m.attr("Union")[nb::make_tuple(literal, m.attr("np").attr("ndarray"), iterable)];

    duv::logm::init(m);

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
    duv::logm::init_helpers(m);

    auto params = [&]() -> std::vector<duv::Param> {
        return {duv::arg("y_true"), duv::arg("y_pred"), duv::kwonly("sample_weight", nb::none()).ann(sw_ann),
                duv::kwonly("multioutput", "uniform_average").ann(mo_ann),
                duv::kwonly("nan_policy", "raise").ann(str_ann)};
    };
    nb::object eps = m.attr("np").attr("finfo")(nb::handle((PyObject *)&PyFloat_Type)).attr("eps");
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
