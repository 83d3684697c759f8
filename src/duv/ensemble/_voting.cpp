#include "duv/ensemble/fused_statistics.hpp"
#include "duv/interop/capi.hpp"
#include "duv/interop/klass.hpp"
#include "duv/interop/module.hpp"
#include "duv/interop/util.hpp"

namespace {

using duv::ensemble::VotingState;

DUV_ARGS(InitArgs, self, estimators, weights, n_jobs, verbose);
DUV_ARGS(FitArgs, self, X, y, fit_params);
DUV_ARGS(SelfArgs, self);
DUV_ARGS(AddModelsArgs, self, estimators);
DUV_ARGS(StatisticsArgs, self, predictions, return_std);
DUV_ARGS(PredictRawArgs, self, X, predict_params);
DUV_ARGS(PredictArgs, self, X, return_std, scale_func, predict_params);

nb::object super(const duv::Globals &g, nb::handle self) { return duv::super_of(g.state<VotingState>().cls, self); }

// raise ValueError("Estimator " + name + text), with Python's `+` (a name that is not a str
// fails as it would).
[[noreturn]] void raise_about(nb::handle name, nb::handle text) {
    nb::object message = duv::op::add(duv::op::add(nb::str("Estimator "), name), text);
    PyErr_SetObject(PyExc_ValueError, message.ptr());
    throw nb::python_error();
}

nb::object init(const duv::Globals &g, const InitArgs &a) {
    super(g, a.self).attr("__init__")("estimators"_a = a.estimators, "weights"_a = a.weights, "n_jobs"_a = a.n_jobs,
                                      "verbose"_a = a.verbose);
    return nb::none();
}

nb::object fit(const duv::Globals &g, const FitArgs &a) {
    // The target's layout is read from an array, so any array-like is accepted.
    nb::object y = g["np"].attr("asarray")(a.y);
    a.self.attr("n_outputs_") = nb::cast<int>(y.attr("ndim")) <= 1 ? nb::int_(1) : duv::shape_of(y, 1);
    return duv::call_with(super(g, a.self).attr("fit"), nb::make_tuple(a.X, a.y), a.fit_params);
}

// assume_fitted's checks and assignment, before its failures are wrapped.
void adopt_members(const duv::Globals &g, nb::handle self) {
    auto validated = duv::unpack(self.attr("_validate_estimators")(), 2);
    nb::object names = validated[0], clfs = validated[1];
    for (nb::handle pair : g["zip"](names, clfs)) {
        auto name_clf = duv::unpack(pair, 2);
        nb::handle name = name_clf[0], clf = name_clf[1];
        if (!duv::has_attr(clf, "predict")) raise_about(name, nb::str(" does not have a predict method"));
        try {
            g["check_is_fitted"](clf);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception)) throw;
            duv::while_handling(e, [&] { raise_about(name, nb::str(" is not fitted: ") + nb::str(e.value())); });
        }
    }
    self.attr("estimators_") = duv::steal_checked(PySequence_List(clfs.ptr()));
}

nb::object assume_fitted(const duv::Globals &g, const SelfArgs &a) {
    try {
        adopt_members(g, a.self);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        duv::raise_wrapped(PyExc_ValueError, "Failed to validate estimators: ", e);
    }
    return nb::borrow(a.self);
}

// add_models' checks of the new members, all before anything changes.
void check_new_members(const duv::Globals &g, nb::handle estimators) {
    if (!PyList_Check(estimators.ptr())) duv::raise_value_error("estimators must be a list");
    for (nb::handle item : estimators) {
        auto name_estimator = duv::unpack(item, 2);
        nb::handle name = name_estimator[0], estimator = name_estimator[1];
        if (!PyUnicode_Check(name.ptr()))
            duv::raise_value_error("Estimator name must be a string, got " + duv::str(name.type()));
        if (!duv::truthy(g["is_regressor"](estimator))) raise_about(name, nb::str(" is not a regressor"));
    }
}

nb::object add_models(const duv::Globals &g, const AddModelsArgs &a) {
    check_new_members(g, a.estimators);
    nb::object members = a.self.attr("estimators");
    nb::object extend = members.attr("extend");
    const Py_ssize_t n_before = PyObject_Size(members.ptr());
    duv::check(n_before >= 0);
    extend(a.estimators);
    try {
        return a.self.attr("assume_fitted")();
    } catch (nb::python_error &e) {
        // A failed re-validation leaves the ensemble as it was.
        duv::while_handling(e, [&] { duv::check(PySequence_DelSlice(members.ptr(), n_before, PY_SSIZE_T_MAX) == 0); });
        throw;
    }
}

nb::object numpy_statistics(nb::handle np, nb::handle predictions, nb::handle weights, bool return_std) {
    nb::object average = np.attr("average");
    nb::object mean = average(predictions, "axis"_a = 1, "weights"_a = weights);
    if (!return_std) return mean;
    nb::object variance;
    if (!weights.is_none()) {
        nb::object weighted_mean = average(predictions, "axis"_a = 1, "weights"_a = weights);
        nb::object colon = duv::full_slice();
        const bool two_d = nb::len(nb::object(predictions.attr("shape"))) == 2;
        nb::object index =
            two_d ? nb::make_tuple(colon, np.attr("newaxis")) : nb::make_tuple(colon, np.attr("newaxis"), colon);
        nb::object deviation = duv::op::sub(predictions, duv::getitem(weighted_mean, index));
        variance = average(duv::squared(deviation), "axis"_a = 1, "weights"_a = weights);
    } else {
        variance = np.attr("var")(predictions, "axis"_a = 1);
    }
    return nb::make_tuple(mean, np.attr("sqrt")(variance));
}

nb::object compute_weighted_statistics(const duv::Globals &g, const StatisticsArgs &a) {
    nb::object weights = a.self.attr("_weights_not_none");
    const bool return_std = duv::truthy(a.return_std);
    if (auto out = duv::ensemble::fused_statistics(g, a.predictions, weights, return_std)) return *out;
    return numpy_statistics(g["np"], a.predictions, weights, return_std);
}

nb::object predict_raw(const duv::Globals &g, const PredictRawArgs &a) {
    g["check_is_fitted"](a.self);
    nb::list preds;
    nb::object args = nb::make_tuple(a.X);
    for (nb::handle est : a.self.attr("estimators_"))
        preds.append(duv::call_with(est.attr("predict"), args, a.predict_params));
    nb::object np = g["np"];
    nb::object first = np.attr("asarray")(duv::steal_checked(PySequence_GetItem(preds.ptr(), 0)));
    const int ndim = nb::cast<int>(first.attr("ndim"));
    if (ndim == 1) {
        if (auto out = duv::ensemble::fused_stack(g, preds)) return *out;
        return np.attr("stack")(preds, "axis"_a = 1);
    }
    if (ndim == 2) {
        nb::object stacked = np.attr("stack")(preds, "axis"_a = 0);
        return np.attr("transpose")(stacked, nb::make_tuple(1, 0, 2));
    }
    duv::raise_value_error("Unsupported estimator prediction shape; expected 1D or 2D predictions");
}

nb::object predict(const PredictArgs &a) {
    nb::object predictions = duv::call_with(a.self.attr("predict_raw"), nb::make_tuple(a.X), a.predict_params);
    if (!a.scale_func.is_none()) {
        if (!PyCallable_Check(a.scale_func.ptr())) duv::raise_value_error("scale_func must be callable");
        try {
            predictions = a.scale_func(predictions);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception)) throw;
            duv::raise_wrapped(PyExc_ValueError, "scale_func failed: ", e);
        }
    }
    return a.self.attr("_compute_weighted_statistics")(predictions, "return_std"_a = a.return_std);
}

void build_class(nb::module_ &m, VotingState &st) {
    nb::object typing_list = m.attr("List"), typing_tuple = m.attr("Tuple"), typing_optional = m.attr("Optional");
    nb::object members = typing_list[typing_tuple[nb::make_tuple(duv::str_type(), duv::object_type())]];
    nb::object weights =
        typing_optional[m.attr("Union")[nb::make_tuple(typing_list[m.attr("Real")], m.attr("np").attr("ndarray"))]];
    nb::dict constraints;
    constraints["estimators"] = duv::list_of(nb::handle(reinterpret_cast<PyObject *>(&PyList_Type)));
    constraints["weights"] = duv::list_of("array-like", nb::none());
    constraints["n_jobs"] = duv::list_of(nb::none(), duv::int_type());
    constraints["verbose"] = duv::list_of("boolean");

    duv::ClassBuilder cls(m, "VotingRegressor", {m.attr("_BaseVotingRegressor")});
    cls.def_validated("__init__",
                      {duv::arg("self"), duv::arg("estimators").ann(members),
                       duv::kwonly("weights", nb::none()).ann(weights),
                       duv::kwonly("n_jobs", nb::none()).ann(typing_optional[duv::int_type()]),
                       duv::kwonly("verbose", false).ann(duv::bool_type())},
                      init, constraints, false);
    cls.def("fit", {duv::arg("self"), duv::arg("X"), duv::arg("y"), duv::varkw("fit_params")}, fit);
    nb::str self_type("VotingRegressor");
    cls.def("assume_fitted", {duv::arg("self")}, assume_fitted, self_type);
    cls.def("add_models", {duv::arg("self"), duv::arg("estimators").ann(members)}, add_models, self_type);
    cls.def("_compute_weighted_statistics",
            {duv::arg("self"), duv::arg("predictions").ann(m.attr("np").attr("ndarray")),
             duv::arg("return_std", false).ann(duv::bool_type())},
            compute_weighted_statistics);
    cls.def("predict_raw", {duv::arg("self"), duv::arg("X"), duv::varkw("predict_params")}, predict_raw);
    cls.def("predict",
            {duv::arg("self"), duv::arg("X"), duv::arg("return_std", false), duv::arg("scale_func", nb::none()),
             duv::varkw("predict_params")},
            predict);
    st.cls = st.keep(cls.build());
}

}  // namespace

DUV_MODULE("duv.ensemble._voting", exec_voting) {
    duv::from_import(m, "numbers", {"Real"});
    duv::from_import(m, "typing", {"Callable", "List", "Optional", "Tuple", "Union"});
    duv::import_as(m, "numpy", "np");
    duv::from_import(m, "sklearn.base", {"is_regressor"});
    duv::from_import_as(m, "sklearn.ensemble", "VotingRegressor", "_BaseVotingRegressor");
    duv::from_import(m, "sklearn.utils._param_validation", {"validate_params"});
    duv::from_import(m, "sklearn.utils.validation", {"check_is_fitted"});

    VotingState &st = duv::make_state<VotingState>(m);
    build_class(m, st);
    st.numpy.take(m);
}
