#include "duv/interop/buffer.hpp"
#include "duv/interop/capi.hpp"
#include "duv/interop/klass.hpp"
#include "duv/interop/module.hpp"
#include "duv/interop/util.hpp"
#include "duv/kernels/member_statistics.hpp"

#include <iterator>
#include <optional>
#include <vector>

namespace {

namespace kv = duv::kernels::member_statistics;

DUV_ARGS(InitArgs, self, estimators, weights, n_jobs, verbose);
DUV_ARGS(FitArgs, self, X, y, fit_params);
DUV_ARGS(SelfArgs, self);
DUV_ARGS(AddModelsArgs, self, estimators);
DUV_ARGS(StatisticsArgs, self, predictions, return_std);
DUV_ARGS(PredictRawArgs, self, X, predict_params);
DUV_ARGS(PredictArgs, self, X, return_std, scale_func, predict_params);

// The NumPy functions whose documented calls the kernels stand in for.
constexpr const char *kNumpyFunctions[] = {"average", "var", "sqrt", "stack"};

// Module state, set once when the module is executed.
struct State {
    PyObject *cls = nullptr;  // VotingRegressor, for super() in its methods
    PyObject *np = nullptr, *ndarray = nullptr;
    PyObject *functions[std::size(kNumpyFunctions)] = {};  // as imported
};
State S;

constexpr std::ptrdiff_t kReleaseGil = 1 << 15;

nb::object super(nb::handle self) { return duv::super_of(S.cls, self); }

// "Estimator " + name + rest, with Python's `+` (a name that is not a str fails as it would).
nb::object estimator_text(nb::handle name, const char *rest) {
    nb::object head = duv::steal_checked(PyNumber_Add(nb::str("Estimator ").ptr(), name.ptr()));
    return duv::steal_checked(PyNumber_Add(head.ptr(), nb::str(rest).ptr()));
}

[[noreturn]] void raise_value_error(nb::handle message) {
    PyErr_SetObject(PyExc_ValueError, message.ptr());
    throw nb::python_error();
}

// fn(*args, **kwargs) with the keyword dict of a **-parameter.
nb::object call_with(nb::handle fn, nb::handle args, nb::handle kwargs) {
    return duv::steal_checked(PyObject_Call(fn.ptr(), args.ptr(), kwargs.ptr()));
}

nb::object init(const InitArgs &a) {
    super(a.self).attr("__init__")("estimators"_a = a.estimators, "weights"_a = a.weights, "n_jobs"_a = a.n_jobs,
                                   "verbose"_a = a.verbose);
    return nb::none();
}

nb::object fit(const duv::Globals &g, const FitArgs &a) {
    // The target's layout is read from an array, so any array-like is accepted.
    nb::object y = g["np"].attr("asarray")(a.y);
    const int ndim = nb::cast<int>(y.attr("ndim"));
    a.self.attr("n_outputs_") = ndim <= 1 ? nb::object(nb::int_(1)) : nb::object(nb::object(y.attr("shape"))[1]);
    return call_with(super(a.self).attr("fit"), nb::make_tuple(a.X, a.y), a.fit_params);
}

// assume_fitted's checks and assignment, before its failures are wrapped.
void adopt_members(const duv::Globals &g, nb::handle self) {
    auto validated = duv::unpack(self.attr("_validate_estimators")(), 2);
    nb::object names = validated[0], clfs = validated[1];
    for (nb::handle pair : g["zip"](names, clfs)) {
        auto name_clf = duv::unpack(pair, 2);
        nb::handle name = name_clf[0], clf = name_clf[1];
        if (!duv::has_attr(clf, "predict")) raise_value_error(estimator_text(name, " does not have a predict method"));
        try {
            g["check_is_fitted"](clf);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception)) throw;
            duv::while_handling(e, [&] {
                nb::object head = estimator_text(name, " is not fitted: ");
                raise_value_error(duv::steal_checked(PyNumber_Add(head.ptr(), nb::str(e.value()).ptr())));
            });
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
        if (!duv::truthy(g["is_regressor"](estimator))) raise_value_error(estimator_text(name, " is not a regressor"));
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

// ---- the statistics kernel ----------------------------------------------------------------

// True while `np` and the functions above are what they were when the module was executed.
bool numpy_as_imported(nb::handle np) {
    if (np.ptr() != S.np) return false;
    for (size_t i = 0; i < std::size(kNumpyFunctions); ++i)
        if (np.attr(kNumpyFunctions[i]).ptr() != S.functions[i]) return false;
    return true;
}

// The stack as the kernel reads it, when NumPy's reductions over axis 1 add its members in
// an order the kernel reproduces: a C-ordered (n, k) stack (pairwise), or an (n, k, o)
// stack with o > 1 whose outputs lie next to each other (members one after another).
std::optional<kv::Stack> kernel_stack(const duv::ArrayView &v) {
    if (!v.has(duv::Dtype::F64) || reinterpret_cast<std::uintptr_t>(v.data()) % alignof(double) != 0) return {};
    kv::Stack s;
    s.data = v.data();
    s.n = v.shape(0);
    if (v.ndim() == 2 && v.c_contiguous()) {
        s.k = v.shape(1);
        s.s0 = v.stride(0), s.s1 = v.stride(1), s.s2 = 0;
        s.pairwise = true;
        return s;
    }
    if (v.ndim() == 3 && v.shape(2) > 1 && v.stride(2) == sizeof(double)) {
        s.k = v.shape(1), s.o = v.shape(2);
        s.s0 = v.stride(0), s.s1 = v.stride(1), s.s2 = v.stride(2);
        const std::ptrdiff_t row = s.o * static_cast<std::ptrdiff_t>(sizeof(double));
        if ((s.n > 1 && s.s0 < row) || (s.k > 1 && s.s1 < row)) return {};
        s.pairwise = false;
        return s;
    }
    return {};
}

// The weights as k doubles (int64 or float64 values, as NumPy casts them), or nullopt.
std::optional<std::vector<double>> kernel_weights(nb::handle np, nb::handle weights, std::ptrdiff_t k) {
    nb::object w = np.attr("asarray")(weights);
    duv::ArrayView v(w);
    if (!v || v.ndim() != 1 || v.shape(0) != k) return {};
    std::vector<double> out(static_cast<size_t>(k));
    if (const double *d = v.vector<double>())
        out.assign(d, d + k);
    else if (const int64_t *i = v.vector<int64_t>())
        for (std::ptrdiff_t j = 0; j < k; ++j) out[static_cast<size_t>(j)] = static_cast<double>(i[j]);
    else
        return {};
    return out;
}

// mean, or (mean, std), through the kernel; nullopt where NumPy's expression must run.
std::optional<nb::object> fused_statistics(nb::handle np, nb::handle predictions, nb::handle weights, bool return_std) {
    if (Py_TYPE(predictions.ptr()) != reinterpret_cast<PyTypeObject *>(S.ndarray)) return {};
    duv::ArrayView v(predictions);
    std::optional<kv::Stack> stack = kernel_stack(v);
    if (!stack) return {};
    std::optional<std::vector<double>> w;
    if (!weights.is_none()) {
        w = kernel_weights(np, weights, stack->k);
        if (!w) return {};
    }
    nb::object shape = stack->o > 1 && v.ndim() == 3 ? nb::object(nb::make_tuple(stack->n, stack->o))
                                                     : nb::object(nb::make_tuple(stack->n));
    nb::object mean = np.attr("empty")(shape, "dtype"_a = duv::float_type());
    nb::object std = return_std ? np.attr("empty")(shape, "dtype"_a = duv::float_type()) : nb::none();
    duv::ArrayView mv(mean, true), sv;
    if (return_std) sv = duv::ArrayView(std, true);
    double *m = mv.contiguous<double>(), *s = return_std ? sv.contiguous<double>() : nullptr;
    if (!m || (return_std && !s)) return {};
    const double *wp = w ? w->data() : nullptr;
    bool ok;
    if (stack->n * stack->k * stack->o >= kReleaseGil) {
        nb::gil_scoped_release unlocked;
        ok = kv::statistics(*stack, wp, m, s);
    } else {
        ok = kv::statistics(*stack, wp, m, s);
    }
    if (!ok) return {};
    return return_std ? nb::object(nb::make_tuple(mean, std)) : mean;
}

// ---- prediction ----------------------------------------------------------------------------

nb::object numpy_statistics(nb::handle np, nb::handle predictions, nb::handle weights, bool return_std) {
    nb::object average = np.attr("average");
    nb::object mean = average(predictions, "axis"_a = 1, "weights"_a = weights);
    if (!return_std) return mean;
    nb::object variance;
    if (!weights.is_none()) {
        nb::object weighted_mean = average(predictions, "axis"_a = 1, "weights"_a = weights);
        nb::object colon = duv::steal_checked(PySlice_New(nullptr, nullptr, nullptr));
        const bool two_d = nb::len(nb::object(predictions.attr("shape"))) == 2;
        nb::object index =
            two_d ? nb::make_tuple(colon, np.attr("newaxis")) : nb::make_tuple(colon, np.attr("newaxis"), colon);
        nb::object deviation =
            duv::steal_checked(PyNumber_Subtract(predictions.ptr(), nb::object(weighted_mean[index]).ptr()));
        nb::object squared = duv::steal_checked(PyNumber_Power(deviation.ptr(), nb::int_(2).ptr(), Py_None));
        variance = average(squared, "axis"_a = 1, "weights"_a = weights);
    } else {
        variance = np.attr("var")(predictions, "axis"_a = 1);
    }
    return nb::make_tuple(mean, np.attr("sqrt")(variance));
}

nb::object compute_weighted_statistics(const duv::Globals &g, const StatisticsArgs &a) {
    nb::object weights = a.self.attr("_weights_not_none");
    const bool return_std = duv::truthy(a.return_std);
    nb::object np = g["np"];
    if (numpy_as_imported(np))
        if (auto out = fused_statistics(np, a.predictions, weights, return_std)) return *out;
    return numpy_statistics(np, a.predictions, weights, return_std);
}

// np.stack(preds, axis=1) of float64 vectors of one length, copied in one pass; nullopt
// for anything else.
std::optional<nb::object> stacked_columns(nb::handle np, nb::handle preds) {
    const Py_ssize_t k = duv::list_size(preds.ptr());
    std::vector<duv::ArrayView> views;
    std::vector<const double *> columns;
    for (Py_ssize_t j = 0; j < k; ++j) {
        nb::handle p = duv::list_item(preds.ptr(), j);
        if (Py_TYPE(p.ptr()) != reinterpret_cast<PyTypeObject *>(S.ndarray)) return {};
        views.emplace_back(p);
        const double *d = views.back().vector<double>();
        if (!d || views.back().shape(0) != views.front().shape(0)) return {};
        columns.push_back(d);
    }
    const std::ptrdiff_t n = views.front().shape(0);
    nb::object out = np.attr("empty")(nb::make_tuple(n, k), "dtype"_a = duv::float_type());
    duv::ArrayView ov(out, true);
    double *o = ov.contiguous<double>();
    if (!o) return {};
    if (n * k >= kReleaseGil) {
        nb::gil_scoped_release unlocked;
        kv::stack_columns(columns.data(), k, n, o);
    } else {
        kv::stack_columns(columns.data(), k, n, o);
    }
    return out;
}

nb::object predict_raw(const duv::Globals &g, const PredictRawArgs &a) {
    g["check_is_fitted"](a.self);
    nb::list preds;
    nb::object args = nb::make_tuple(a.X);
    for (nb::handle est : a.self.attr("estimators_"))
        preds.append(call_with(est.attr("predict"), args, a.predict_params));
    nb::object np = g["np"];
    nb::object first = np.attr("asarray")(duv::steal_checked(PySequence_GetItem(preds.ptr(), 0)));
    const int ndim = nb::cast<int>(first.attr("ndim"));
    if (ndim == 1) {
        if (numpy_as_imported(np))
            if (auto out = stacked_columns(np, preds)) return *out;
        return np.attr("stack")(preds, "axis"_a = 1);
    }
    if (ndim == 2) {
        nb::object stacked = np.attr("stack")(preds, "axis"_a = 0);
        return np.attr("transpose")(stacked, nb::make_tuple(1, 0, 2));
    }
    duv::raise_value_error("Unsupported estimator prediction shape; expected 1D or 2D predictions");
}

nb::object predict(const PredictArgs &a) {
    nb::object predictions = call_with(a.self.attr("predict_raw"), nb::make_tuple(a.X), a.predict_params);
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

void build_class(nb::module_ &m) {
    nb::object List = m.attr("List"), Tuple = m.attr("Tuple"), Optional = m.attr("Optional");
    nb::object members = List[Tuple[nb::make_tuple(duv::str_type(), duv::object_type())]];
    nb::object weights = Optional[m.attr("Union")[nb::make_tuple(List[m.attr("Real")], m.attr("np").attr("ndarray"))]];
    nb::dict constraints;
    constraints["estimators"] = duv::list_of(nb::handle(reinterpret_cast<PyObject *>(&PyList_Type)));
    constraints["weights"] = duv::list_of("array-like", nb::none());
    constraints["n_jobs"] = duv::list_of(nb::none(), duv::int_type());
    constraints["verbose"] = duv::list_of("boolean");

    duv::ClassBuilder cls(m, "VotingRegressor", {m.attr("_BaseVotingRegressor")});
    cls.def_validated("__init__",
                      {duv::arg("self"), duv::arg("estimators").ann(members),
                       duv::kwonly("weights", nb::none()).ann(weights),
                       duv::kwonly("n_jobs", nb::none()).ann(Optional[duv::int_type()]),
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
    S.cls = cls.build().release().ptr();
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

    if (!S.np) {
        nb::object np = m.attr("np");
        S.np = np.inc_ref().ptr();
        S.ndarray = np.attr("ndarray").inc_ref().ptr();
        for (size_t i = 0; i < std::size(kNumpyFunctions); ++i)
            S.functions[i] = np.attr(kNumpyFunctions[i]).inc_ref().ptr();
    }
    build_class(m);
}
