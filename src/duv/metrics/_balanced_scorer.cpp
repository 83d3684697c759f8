#include "duv/interop/capi.hpp"
#include "duv/interop/function.hpp"
#include "duv/interop/module.hpp"
#include "duv/interop/module_state.hpp"
#include "duv/interop/util.hpp"
#include "duv/tabular/category_groups.hpp"

namespace {

namespace tab = duv::tabular;
using tab::RowsByGroup;

DUV_ARGS(WeightsArgs, keys, balance_strength, normalize);
DUV_ARGS(FactoryArgs, score_func, response_method, greater_is_better, columns, balance_strength, normalize_weights,
         kwargs);
DUV_ARGS(ResponseArgs, response_method, estimator, X);
DUV_ARGS(ScoreArgs, score_func, response_method, sign, columns, balance_strength, normalize_weights, kwargs, estimator,
         X, y_true, score_kwargs);

// The helpers whose steps the scorer runs without making the group keys.
struct ScorerState : duv::ModuleState {
    duv::AsImported helpers{*this, {"_compute_balancing_weights", "_resolve_columns_and_groups"}};
};

// _compute_balancing_weights after its grouping of the keys: the weights of the groups, scaled
// to sum to n when asked.
nb::object weights_of(const duv::Globals &g, const RowsByGroup &groups, Py_ssize_t n, nb::handle balance_strength,
                      nb::handle normalize) {
    nb::object np = g["np"];
    if (groups.count() == 0) return np.attr("ones")(n, "dtype"_a = duv::float_type());
    const int64_t n_max = tab::largest_group(groups);
    nb::object target = tab::target_size(np, n_max, balance_strength);
    nb::object w = tab::balancing_weights(np, groups, n, n_max, target);
    if (duv::equals(normalize, "sum_to_n")) {
        const double s = duv::to_double(w.attr("sum")());
        if (s > 0 && duv::truthy(np.attr("isfinite")(s))) {
            nb::object scale = nb::float_(static_cast<double>(n) / s);
            w = duv::steal_checked(PyNumber_InPlaceMultiply(w.ptr(), scale.ptr()));
        }
    }
    return w;
}

nb::object compute_balancing_weights(const duv::Globals &g, const WeightsArgs &a) {
    const Py_ssize_t n = PyObject_Length(a.keys.ptr());
    duv::check(n >= 0);
    return weights_of(g, tab::group_keys(a.keys), n, a.balance_strength, a.normalize);
}

// `getattr(estimator, name)(X)` if the estimator has it.
nb::object respond_with(nb::handle estimator, nb::handle name, nb::handle X) {
    if (!duv::getattr_or_null(estimator, name).is_valid()) return nb::object();
    return duv::steal_checked(PyObject_GetAttr(estimator.ptr(), name.ptr()))(X);
}

nb::object get_response(const ResponseArgs &a) {
    nb::handle methods = a.response_method.is_none() ? nb::handle(DUV_STR("predict")) : a.response_method;
    if (PyList_Check(methods.ptr()) || PyTuple_Check(methods.ptr())) {
        for (nb::handle m : methods)
            if (nb::object y = respond_with(a.estimator, m, a.X); y.is_valid()) return y;
    } else if (nb::object y = respond_with(a.estimator, methods, a.X); y.is_valid()) {
        return y;
    }
    return a.estimator.attr("predict")(a.X);
}

// `_, _, keys = _resolve_columns_and_groups(X, columns)` and the weights of those keys; the
// rows are grouped without making the keys while both names, and the helpers of the module
// that defines the first, are as imported.
nb::object balancing_weights(const duv::Globals &g, const ScoreArgs &a) {
    const duv::AsImported &helpers = g.state<ScorerState>().helpers;
    std::optional<duv::Globals> grouping;
    if (helpers.intact(g)) grouping = tab::grouping_module(helpers["_resolve_columns_and_groups"]);
    if (!grouping) {
        nb::object resolve = g["_resolve_columns_and_groups"], compute = g["_compute_balancing_weights"];
        nb::object keys = duv::unpack(resolve(a.X, a.columns), 3)[2];
        return compute(keys, a.balance_strength, a.normalize_weights);
    }
    tab::Selection s = tab::select_columns(*grouping, a.X, a.columns);
    RowsByGroup groups = tab::RowKeys::of(*grouping, s.values, s.n_samples).groups();
    return weights_of(g, groups, s.n_samples, a.balance_strength, a.normalize_weights);
}

// The scorer's body: the factory's arguments come first, positional-only, then the scorer's own.
nb::object balanced_score(const duv::Globals &g, const ScoreArgs &a) {
    g["check_is_fitted"](a.estimator);
    nb::object y_pred = g["_get_response"](a.response_method, a.estimator, a.X);
    nb::object w_bal = balancing_weights(g, a);
    nb::object user_sw = a.score_kwargs.attr("pop")("sample_weight", nb::none());
    nb::object w_final = w_bal;
    if (!user_sw.is_none()) {
        user_sw = g["np"].attr("asarray")(user_sw, "dtype"_a = duv::float_type());
        nb::object shape = user_sw.attr("shape"), expected = w_bal.attr("shape");
        if (duv::compare(shape, expected, Py_NE))
            duv::raise_value_error("user sample_weight shape " + duv::format(shape) + " does not match (n_samples,) " +
                                   duv::format(expected));
        w_final = duv::op::mul(w_bal, user_sw);
    }
    nb::dict keywords;
    keywords["sample_weight"] = w_final;
    duv::merge_keywords(keywords, a.kwargs, a.score_func);
    duv::merge_keywords(keywords, a.score_kwargs, a.score_func);
    nb::object args = nb::make_tuple(a.y_true, y_pred);
    nb::object result = duv::steal_checked(PyObject_Call(a.score_func.ptr(), args.ptr(), keywords.ptr()));
    return duv::op::mul(a.sign, result);
}

nb::object make_categorical_balanced_scorer(const duv::Globals &g, const FactoryArgs &a) {
    if (a.columns.is_none()) duv::raise_value_error("columns must be specified to make_categorical_balanced_scorer");
    nb::object sign = nb::int_(duv::truthy(a.greater_is_better) ? 1 : -1);
    // A partial of a module-level function rather than a closure: process workers and pickle
    // find it by reference, where a closure would be copied by value.
    nb::object scorer = g["functools"].attr("partial")(g["_balanced_score"], a.score_func, a.response_method, sign,
                                                       a.columns, a.balance_strength, a.normalize_weights, a.kwargs);
    scorer.attr("__name__") = DUV_STR("scorer");
    scorer.attr("__qualname__") = DUV_STR("make_categorical_balanced_scorer.<locals>.scorer");
    scorer.attr("__module__") = g["__name__"];
    return scorer;
}

}  // namespace

DUV_MODULE("duv.metrics._balanced_scorer", exec_balanced_scorer) {
    duv::from_import(m, "__future__", {"annotations"});
    duv::import_as(m, "functools");
    duv::import_as(m, "numpy", "np");
    duv::from_import(m, "sklearn.utils.validation", {"check_is_fitted"});
    duv::from_import(m, "duv.augmentation._category_balance_augmentation", {"_resolve_columns_and_groups"});

    ScorerState &st = duv::make_state<ScorerState>(m);
    duv::def(m, "_compute_balancing_weights",
             {duv::arg("keys"), duv::arg("balance_strength").ann(nb::str("float")),
              duv::arg("normalize", "sum_to_n").ann(nb::str("str"))},
             compute_balancing_weights);
    duv::def(m, "_get_response", {duv::arg("response_method"), duv::arg("estimator"), duv::arg("X")}, get_response);
    duv::def(m, "_balanced_score",
             {duv::posonly("score_func"), duv::posonly("response_method"), duv::posonly("sign"),
              duv::posonly("columns"), duv::posonly("balance_strength"), duv::posonly("normalize_weights"),
              duv::posonly("kwargs"), duv::arg("estimator"), duv::arg("X"), duv::arg("y_true"),
              duv::varkw("score_kwargs")},
             balanced_score);
    duv::def(m, "make_categorical_balanced_scorer",
             {duv::arg("score_func"), duv::kwonly("response_method", "predict"), duv::kwonly("greater_is_better", true),
              duv::kwonly("columns", nb::none()), duv::kwonly("balance_strength", 1.0).ann(nb::str("float")),
              duv::kwonly("normalize_weights", "sum_to_n").ann(nb::str("str")), duv::varkw("kwargs")},
             make_categorical_balanced_scorer);
    st.helpers.take(m);
}
