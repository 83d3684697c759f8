#include "duv/ensemble/gaussian_aggregation.hpp"
#include "duv/interop/capi.hpp"
#include "duv/interop/klass.hpp"
#include "duv/interop/module.hpp"
#include "duv/interop/sklearn.hpp"
#include "duv/interop/tags.hpp"
#include "duv/interop/util.hpp"

namespace {

using namespace duv::ensemble;
using duv::equals;
using duv::full_slice;
using duv::getitem;
using duv::shape_of;

DUV_ARGS(FitExpertArgs, estimator, X_sample, y_sample, sample_indices);
DUV_ARGS(PredictExpertArgs, estimator, X, kwargs);
DUV_ARGS(SelfArgs, self);
DUV_ARGS(FitArgs, self, X, y);
DUV_ARGS(NSamplesArgs, self, X);
DUV_ARGS(PredictArgs, self, X, return_std, kwargs);
DUV_ARGS(RouteArgs, self, X, kwargs);
DUV_ARGS(StackArgs, self, means, stds);
DUV_ARGS(WeightedStackArgs, self, means, stds, weights);

// arr[:, mask]
nb::object columns(nb::handle arr, nb::handle mask) { return getitem(arr, nb::make_tuple(full_slice(), mask)); }

// Parallel(n_jobs=self.n_jobs): joblib's default backend.
nb::object parallel(const duv::Globals &g, nb::handle self) { return g["Parallel"]("n_jobs"_a = self.attr("n_jobs")); }

// estimator.predict(X, return_std=True, **kwargs)
nb::object predict_expert(const PredictExpertArgs &a) {
    nb::object predict = a.estimator.attr("predict");
    nb::dict kw;
    kw[DUV_STR("return_std")] = nb::handle(Py_True);
    if (!a.kwargs.is_none()) duv::merge_keywords(kw, a.kwargs, predict);
    return duv::call_with(predict, nb::make_tuple(a.X), kw);
}

// Clones and fits one expert; returns (expert, column means of X_sample, sample_indices).
nb::object fit_expert(const duv::Globals &g, const FitExpertArgs &a) {
    try {
        nb::object expert = g["clone"](a.estimator);
        expert.attr("fit")(a.X_sample, a.y_sample);
        nb::object center = g["np"].attr("mean")(a.X_sample, "axis"_a = 0);
        return nb::make_tuple(expert, center, a.sample_indices);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        duv::raise_wrapped(PyExc_RuntimeError, "Expert failed to fit: ", e);
    }
}

// `if self.<name> <= 0: raise ValueError(message % self.<name>)`
void require_positive(nb::handle self, const char *name, const char *message) {
    nb::object value = self.attr(name);
    if (duv::compare(value, nb::int_(0), Py_LE)) duv::raise_formatted(PyExc_ValueError, message, value);
}

// `if self.<name> not in options: raise ValueError(message % self.<name>)`
void require_one_of(nb::handle self, const char *name, nb::handle options, const char *message) {
    nb::object value = self.attr(name);
    if (!duv::contains(options, value)) duv::raise_formatted(PyExc_ValueError, message, value);
}

void check_parameters(nb::handle self, nb::handle X) {
    if (self.attr("estimator").is_none()) duv::raise_value_error("estimator must be provided");
    require_positive(self, "n_estimators", "n_estimators must be positive, got %d");
    require_positive(self, "n_active", "n_active must be positive, got %d");
    nb::object n_active = self.attr("n_active"), n_estimators = self.attr("n_estimators");
    if (duv::compare(n_active, n_estimators, Py_GT))
        duv::raise_formatted(PyExc_ValueError, "n_active cannot exceed n_estimators, got %d > %d",
                             nb::make_tuple(n_active, n_estimators));
    require_one_of(self, "split", nb::make_tuple("random", "kmeans"), "split must be 'random' or 'kmeans', got %s");
    require_one_of(self, "routing", nb::make_tuple("confidence", "distance"),
                   "routing must be 'confidence' or 'distance', got %s");
    require_one_of(self, "aggregation_method", nb::make_tuple("mixture", "inverse_variance", "simple"),
                   "aggregation_method must be 'mixture', 'inverse_variance', or 'simple', got %s");
    require_positive(self, "sampling_factor", "sampling_factor must be positive, got %f");
    require_positive(self, "n_clusters", "n_clusters must be positive, got %d");
    require_positive(self, "epsilon", "epsilon must be positive, got %f");
    if (equals(self.attr("split"), "kmeans")) {
        nb::object n_clusters = self.attr("n_clusters"), n_rows = shape_of(X, 0);
        if (duv::compare(n_clusters, n_rows, Py_GT))
            duv::raise_formatted(PyExc_ValueError, "n_clusters (%d) cannot exceed number of samples (%d)",
                                 nb::make_tuple(n_clusters, n_rows));
    }
}

nb::object all_columns(nb::handle np, nb::handle X) {
    return np.attr("ones")(shape_of(X, 1), "dtype"_a = duv::bool_type());
}

// The mask of `distance_cols` over the columns of X, with fit's checks.
nb::object checked_feature_mask(nb::handle np, nb::handle distance_cols, nb::handle X) {
    if (distance_cols.is_none()) return all_columns(np, X);
    nb::object mask = np.attr("asarray")(distance_cols, "dtype"_a = duv::bool_type());
    nb::object n_features = shape_of(X, 1), length = shape_of(mask, 0);
    if (duv::compare(length, n_features, Py_NE))
        duv::raise_formatted(PyExc_ValueError, "distance_cols mask length must equal n_features (%d), got %d",
                             nb::make_tuple(n_features, length));
    if (!duv::truthy(np.attr("any")(mask))) duv::raise_value_error("distance_cols must select at least one column");
    return mask;
}

// self.distance_cols_, or (outside fit) the mask derived from distance_cols without errors.
nb::object feature_mask(nb::handle np, nb::handle self, nb::handle X) {
    nb::object mask = duv::getattr_or_null(self, DUV_STR("distance_cols_"));
    if (mask.is_valid()) return mask;
    nb::object cols = duv::getattr_or_null(self, DUV_STR("distance_cols"));
    if (!cols.is_valid() || cols.is_none()) return all_columns(np, X);
    mask = np.attr("asarray")(cols, "dtype"_a = duv::bool_type());
    if (duv::compare(shape_of(mask, 0), shape_of(X, 1), Py_NE)) return all_columns(np, X);
    return mask;
}

// max(1, round(X.shape[0] / n_estimators * sampling_factor)), with Python's operators.
nb::object get_n_samples(const duv::Globals &g, const NSamplesArgs &a) {
    nb::object ratio = duv::op::div(shape_of(a.X, 0), a.self.attr("n_estimators"));
    nb::object scaled = duv::op::mul(ratio, a.self.attr("sampling_factor"));
    nb::object n = g["max"](1, g["round"](scaled));
    a.self.attr("n_samples_") = n;
    return n;
}

nb::object zero_centers(nb::handle np, nb::handle self, nb::handle X) {
    return np.attr("zeros")(nb::make_tuple(self.attr("n_estimators"), shape_of(X, 1)));
}

// For each of range(self.n_estimators), (X[idx], y[idx], idx) with idx drawn by
// random_state_.choice(len(X), size=n_samples_abs, replace=True), with p= the weights of the
// expert's target cluster when `cluster_weights` is given. Every subset is drawn before any
// expert is fitted, so that n_jobs cannot change them.
nb::list draw_subsets(const duv::Globals &g, nb::handle self, nb::handle X, nb::handle y, nb::handle n_samples_abs,
                      nb::handle cluster_weights) {
    nb::list sampled;
    for (nb::handle i : g["range"](self.attr("n_estimators"))) {
        nb::object p;
        if (cluster_weights.is_valid())
            p = getitem(cluster_weights, nb::make_tuple(full_slice(), getitem(self.attr("target_clusters_"), i)));
        nb::object choice = self.attr("random_state_").attr("choice");
        nb::object idx = p.is_valid() ? choice(nb::len(X), "size"_a = n_samples_abs, "replace"_a = true, "p"_a = p)
                                      : choice(nb::len(X), "size"_a = n_samples_abs, "replace"_a = true);
        sampled.append(nb::make_tuple(X[idx], y[idx], idx));
    }
    return sampled;
}

// Fits the experts on their drawn subsets (X_sample, y_sample, sample_indices), threads or
// joblib's default backend, and collects them in expert order.
void fit_experts(const duv::Globals &g, nb::handle self, nb::handle sampled, bool threads) {
    nb::object task = g["delayed"](g["_fit_expert"]);
    nb::list tasks;
    for (nb::handle data : sampled) {
        nb::tuple t = nb::borrow<nb::tuple>(data);
        tasks.append(task(self.attr("estimator"), t[0], t[1], t[2]));
    }
    nb::object results = threads ? g["Parallel"]("n_jobs"_a = self.attr("n_jobs"), "backend"_a = "threading")(tasks)
                                 : parallel(g, self)(tasks);
    std::size_t i = 0;
    for (nb::handle r : results) {
        std::vector<nb::object> expert_center_indices = duv::unpack(r, 3);
        self.attr("estimators_").attr("append")(expert_center_indices[0]);
        duv::op::setitem(self.attr("estimator_centers_"), nb::int_(i++), expert_center_indices[1]);
        if (duv::truthy(self.attr("copy_X_y_train")))
            self.attr("estimator_train_indices_").attr("append")(expert_center_indices[2]);
    }
}

nb::object fit_random_split(const duv::Globals &g, const FitArgs &a) {
    nb::object n_samples_abs = a.self.attr("_get_n_samples")(a.X);
    a.self.attr("estimator_centers_") = zero_centers(g["np"], a.self, a.X);
    fit_experts(g, a.self, draw_subsets(g, a.self, a.X, a.y, n_samples_abs, nb::handle()), true);
    return nb::none();
}

// kmeans_ and cluster_centers_masked_: KMeans on the masked columns, drawing from random_state_.
void fit_clusters(const duv::Globals &g, nb::handle np, nb::handle self, nb::handle X) {
    try {
        nb::object X_masked = columns(X, feature_mask(np, self, X));
        nb::object kmeans = g["KMeans"]("n_clusters"_a = self.attr("n_clusters"),
                                        "random_state"_a = self.attr("random_state_"), "n_init"_a = "auto");
        self.attr("kmeans_") = kmeans.attr("fit")(X_masked);
        self.attr("cluster_centers_masked_") = self.attr("kmeans_").attr("cluster_centers_");
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        duv::raise_wrapped(PyExc_RuntimeError, "K-means clustering failed: ", e);
    }
}

// 1 / (distance + epsilon), normalised to sum to 1 along `axis`.
nb::object inverse_distance_weights(nb::handle np, nb::handle distances, nb::handle epsilon, int axis) {
    nb::object w = nb::float_(1.0) / (distances + epsilon);
    return w / np.attr("sum")(w, "axis"_a = axis, "keepdims"_a = true);
}

// Column c: the probabilities of drawing each row for cluster c, by distance to its centre.
nb::object cluster_weights(const duv::Globals &g, nb::handle np, nb::handle self, nb::handle X_masked) {
    nb::object all_distances = g["cdist"](X_masked, self.attr("cluster_centers_masked_"));
    return inverse_distance_weights(np, all_distances, self.attr("epsilon"), 0);
}

nb::object fit_kmeans_split(const duv::Globals &g, const FitArgs &a) {
    nb::handle self = a.self, X = a.X;
    nb::object np = g["np"];
    // Draws from random_state_, in order: KMeans's own, the experts' clusters, then one
    // weighted choice of rows per expert.
    fit_clusters(g, np, self, X);
    self.attr("target_clusters_") =
        self.attr("random_state_").attr("choice")(self.attr("n_clusters"), self.attr("n_estimators"));
    self.attr("estimator_centers_") = zero_centers(np, self, X);
    nb::object n_samples_abs = self.attr("_get_n_samples")(X);
    nb::object all_weights = cluster_weights(g, np, self, columns(X, feature_mask(np, self, X)));
    fit_experts(g, self, draw_subsets(g, self, X, a.y, n_samples_abs, all_weights), false);
    return nb::none();
}

// self._fit_random_split(X, y) or self._fit_kmeans_split(X, y). A failed fit must not look
// fitted: no partial expert list survives it.
void fit_split(nb::handle self, nb::handle X, nb::handle y) {
    try {
        nb::object split = self.attr("split");
        if (equals(split, "random"))
            self.attr("_fit_random_split")(X, y);
        else if (equals(split, "kmeans"))
            self.attr("_fit_kmeans_split")(X, y);
    } catch (...) {
        if (PyObject_DelAttr(self.ptr(), DUV_STR("estimators_").ptr()) != 0) PyErr_Clear();
        throw;
    }
}

nb::object fit(const duv::Globals &g, const FitArgs &a) {
    nb::handle self = a.self;
    duv::check_feature_names(self, a.X, true);
    std::vector<nb::object> Xy =
        duv::unpack(g["check_X_y"](a.X, a.y, "dtype"_a = g["FLOAT_DTYPES"], "multi_output"_a = true), 2);
    const nb::object &X = Xy[0], &y = Xy[1];
    check_parameters(self, X);
    self.attr("random_state_") = g["check_random_state"](self.attr("random_state"));
    if (duv::truthy(self.attr("copy_X_y_train"))) {
        self.attr("X_train_") = X.attr("copy")();
        self.attr("y_train_") = y.attr("copy")();
        self.attr("estimator_train_indices_") = nb::list();
    }
    self.attr("distance_cols_") = checked_feature_mask(g["np"], self.attr("distance_cols"), X);
    self.attr("estimators_") = nb::list();
    fit_split(self, X, y);
    return nb::borrow(self);
}

// self._route_confidence or self._route_distance, as `routing` says.
nb::object routing_method(nb::handle self) {
    nb::object routing = self.attr("routing");
    if (equals(routing, "confidence")) return self.attr("_route_confidence");
    if (equals(routing, "distance")) return self.attr("_route_distance");
    duv::raise_value_error("Unknown routing strategy: " + duv::format(routing));
}

nb::object predict(const duv::Globals &g, const PredictArgs &a) {
    g["check_is_fitted"](a.self, duv::list_of("estimators_"));
    duv::check_feature_names(a.self, a.X, false);
    nb::object X = g["check_array"](a.X, "dtype"_a = g["FLOAT_DTYPES"]);
    nb::object route = routing_method(a.self);
    std::vector<nb::object> r = duv::unpack(duv::call_with(route, nb::make_tuple(X), a.kwargs), 2);
    return duv::truthy(a.return_std) ? nb::object(nb::make_tuple(r[0], r[1])) : r[0];
}

// np.array([p[i] for p in pairs])
nb::object stacked(nb::handle np, nb::handle pairs, int i) {
    nb::list items;
    for (nb::handle p : pairs) items.append(p[nb::int_(i)]);
    return np.attr("array")(items);
}

nb::object route_confidence(const duv::Globals &g, const RouteArgs &a) {
    nb::handle self = a.self;
    nb::object np = g["np"];
    nb::object task = g["delayed"](g["_predict_expert"]);
    nb::list tasks;
    for (nb::handle est : self.attr("estimators_")) tasks.append(task(est, a.X, a.kwargs));
    nb::object all_predictions = parallel(g, self)(tasks);
    nb::object all_preds = stacked(np, all_predictions, 0), all_stds = stacked(np, all_predictions, 1);
    // Per sample, the n_active experts reporting the smallest standard deviation (for
    // several outputs their mean), the same experts for every output.
    nb::object gather;
    if (duv::compare(all_stds.attr("ndim"), nb::int_(3), Py_EQ)) {
        nb::object mean_stds = np.attr("mean")(all_stds, "axis"_a = 2);
        nb::object active_indices = argsort_head(g, mean_stds, 0, self.attr("n_active"));
        gather = getitem(active_indices, nb::make_tuple(full_slice(), full_slice(), nb::none()));
    } else {
        gather = argsort_head(g, all_stds, 0, self.attr("n_active"));
    }
    nb::object active_preds = np.attr("take_along_axis")(all_preds, gather, "axis"_a = 0);
    nb::object active_stds = np.attr("take_along_axis")(all_stds, gather, "axis"_a = 0);
    std::vector<nb::object> r = duv::unpack(self.attr("_aggregate_predictions")(active_preds, active_stds), 2);
    return nb::make_tuple(r[0], r[1]);
}

// Every row's mixture weights, by distance to its experts' centres.
nb::object distance_weights(nb::handle np, nb::handle all_distances, const RoutedRows &r, nb::handle epsilon) {
    nb::object d = np.attr("take_along_axis")(all_distances, r.active, "axis"_a = 1);
    return inverse_distance_weights(np, d, epsilon, 1);
}

// True if an instance or a subclass replaces one of the aggregation methods.
bool aggregation_overridden(const duv::Globals &g, nb::handle self) {
    const nb::handle *own = g.state<MixtureState>().own_aggregation;
    for (const char *name :
         {"_aggregate_predictions", "_simple_aggregation", "_inverse_variance_aggregation", "_mixture_aggregation"})
        if (!duv::is_method_of(self.attr(name), *own++, self)) return true;
    return false;
}

// Row by row, distance routing asks each of a row's experts for that row alone, then merges
// the row's stack by the configured method, or by the mixture with the row's distance
// weights. Here each expert predicts all of its rows at once, and every row's stack is
// merged as the row-at-a-time steps would merge it.
nb::object route_distance(const duv::Globals &g, const RouteArgs &a) {
    nb::handle self = a.self, X = a.X;
    nb::object np = g["np"];
    nb::object mask = feature_mask(np, self, X);
    nb::object X_masked = columns(X, mask);
    nb::object centers_masked = columns(self.attr("estimator_centers_"), mask);
    nb::object all_distances = g["cdist"](X_masked, centers_masked);
    nb::object active_indices = argsort_head(g, all_distances, 1, self.attr("n_active"));
    // The first row's nearest expert sets the output layout; looked up here so that a
    // missing expert fails as it would for that row.
    nb::object estimators = self.attr("estimators_");
    [[maybe_unused]] nb::object layout_expert = estimators[active_indices[nb::make_tuple(0, 0)]];
    RoutedRows r = predict_routed_rows(g, self, X, a.kwargs, active_indices, estimators);

    nb::object method_name = self.attr("aggregation_method");
    const bool weighted = equals(method_name, "mixture") && r.groups.k > 1;
    if (aggregation_overridden(g, self)) {
        nb::object w = weighted ? distance_weights(np, all_distances, r, self.attr("epsilon")) : nb::object();
        return merge_rows_by_methods(np, self, r, w);
    }
    const Method method = weighted ? Method::Mixture : method_named(method_name);
    nb::object epsilon = self.attr("epsilon");
    return merge_rows(g, method, r, weighted ? distance_weights(np, all_distances, r, epsilon) : nb::object(), epsilon);
}

nb::object aggregate_predictions(const duv::Globals &g, const WeightedStackArgs &a) {
    nb::object np = g["np"];
    nb::object means = np.attr("asarray")(a.means), stds = np.attr("asarray")(a.stds);
    const Method method = method_named(a.self.attr("aggregation_method"));
    if (method == Method::Simple) return a.self.attr("_simple_aggregation")(means, stds);
    if (method == Method::InverseVariance) return a.self.attr("_inverse_variance_aggregation")(means, stds);
    return a.self.attr("_mixture_aggregation")(means, stds, a.weights);
}

nb::object simple_aggregation(const duv::Globals &g, const StackArgs &a) {
    return aggregate_stack(g, Method::Simple, a.means, a.stds);
}

nb::object inverse_variance_aggregation(const duv::Globals &g, const StackArgs &a) {
    return aggregate_stack(g, Method::InverseVariance, a.means, a.stds, a.self.attr("epsilon"));
}

nb::object mixture_aggregation(const duv::Globals &g, const WeightedStackArgs &a) {
    return aggregate_stack(g, Method::Mixture, a.means, a.stds, a.self.attr("epsilon"), a.weights);
}

// Every expert is a clone of `estimator`, fitted on rows of the validated (multi-output) target:
// the experts' needs and abilities are the mixture's.
nb::object sklearn_tags(const duv::Globals &, const duv::OwnerCell &c, const SelfArgs &a) {
    nb::object tags = duv::base_tags(c.owner, a.self);
    nb::object inner = duv::tags_or_none(a.self.attr("estimator"));
    if (inner.is_none()) return tags;
    duv::copy_tag(tags, inner, "input_tags", "positive_only");
    duv::copy_tag(tags, inner, "target_tags", "positive_only");
    duv::copy_tag(tags, inner, "target_tags", "multi_output");
    duv::copy_tag(tags, inner, "regressor_tags", "poor_score");
    duv::copy_tag(tags, inner, nullptr, "non_deterministic");
    return tags;
}

void build_class(nb::module_ &m, MixtureState &st) {
    // RegressorMixin first, so that scikit-learn's tags see the estimator type.
    duv::ClassBuilder cls(m, "MixtureOfExpertsRegressor", {m.attr("RegressorMixin"), m.attr("BaseEstimator")});
    cls.init({duv::arg("self"), duv::arg("estimator", nb::none()), duv::arg("n_estimators", 10),
              duv::arg("split", "kmeans"), duv::arg("sampling_factor", 2.0), duv::arg("n_clusters", 5),
              duv::arg("random_state", nb::none()), duv::arg("routing", "confidence"), duv::arg("n_active", 2),
              duv::arg("aggregation_method", "mixture"), duv::arg("copy_X_y_train", true), duv::arg("epsilon", 1e-09),
              duv::arg("n_jobs", nb::none()), duv::arg("distance_cols", nb::none())});
    const std::vector<duv::Param> self_X_y{duv::arg("self"), duv::arg("X"), duv::arg("y")};
    cls.def("fit", self_X_y, fit);
    cls.def("_fit_random_split", self_X_y, fit_random_split);
    cls.def("_fit_kmeans_split", self_X_y, fit_kmeans_split);
    cls.def("_get_n_samples", {duv::arg("self"), duv::arg("X")}, get_n_samples);
    cls.def("predict", {duv::arg("self"), duv::arg("X"), duv::arg("return_std", false), duv::varkw("kwargs")}, predict);
    cls.def("_route_confidence", {duv::arg("self"), duv::arg("X"), duv::varkw("kwargs")}, route_confidence);
    cls.def("_route_distance", {duv::arg("self"), duv::arg("X"), duv::varkw("kwargs")}, route_distance);
    const std::vector<duv::Param> stack{duv::arg("self"), duv::arg("means"), duv::arg("stds")};
    const std::vector<duv::Param> weighted_stack{duv::arg("self"), duv::arg("means"), duv::arg("stds"),
                                                 duv::arg("weights", nb::none())};
    st.own_aggregation[0] = st.keep(cls.def("_aggregate_predictions", weighted_stack, aggregate_predictions));
    st.own_aggregation[1] = st.keep(cls.def("_simple_aggregation", stack, simple_aggregation));
    st.own_aggregation[2] = st.keep(cls.def("_inverse_variance_aggregation", stack, inverse_variance_aggregation));
    st.own_aggregation[3] = st.keep(cls.def("_mixture_aggregation", weighted_stack, mixture_aggregation));
    duv::def_owned(m, cls.build(), "__sklearn_tags__", {duv::arg("self")}, sklearn_tags);
}

}  // namespace

DUV_MODULE("duv.ensemble._mixture_of_experts", exec_mixture_of_experts) {
    duv::import_as(m, "numpy", "np");
    duv::from_import(m, "joblib", {"Parallel", "delayed"});
    duv::from_import(m, "scipy.spatial.distance", {"cdist"});
    duv::from_import(m, "sklearn.base", {"BaseEstimator", "RegressorMixin", "clone"});
    duv::from_import(m, "sklearn.cluster", {"KMeans"});
    duv::from_import(m, "sklearn.utils", {"check_array", "check_random_state", "check_X_y"});
    duv::from_import(m, "sklearn.utils.validation", {"FLOAT_DTYPES", "check_is_fitted"});

    MixtureState &st = duv::make_state<MixtureState>(m);
    // Module-level tasks, so that joblib's process workers find them by reference.
    duv::def(m, "_fit_expert",
             {duv::arg("estimator"), duv::arg("X_sample"), duv::arg("y_sample"), duv::arg("sample_indices")},
             fit_expert);
    duv::def(m, "_predict_expert", {duv::arg("estimator"), duv::arg("X"), duv::arg("kwargs")}, predict_expert);
    build_class(m, st);
    st.numpy.take(m);
}
