#include "duv/interop/buffer.hpp"
#include "duv/interop/capi.hpp"
#include "duv/interop/klass.hpp"
#include "duv/interop/module.hpp"
#include "duv/interop/sklearn.hpp"
#include "duv/interop/tags.hpp"
#include "duv/interop/util.hpp"
#include "duv/kernels/expert_aggregation.hpp"
#include "duv/kernels/fp_flags.hpp"

#include <algorithm>
#include <optional>
#include <stdexcept>

namespace {

namespace mk = duv::kernels::expert_aggregation;
using duv::Dtype;
using mk::Method;

DUV_ARGS(FitExpertArgs, estimator, X_sample, y_sample, sample_indices);
DUV_ARGS(PredictExpertArgs, estimator, X, kwargs);
DUV_ARGS(SelfArgs, self);
DUV_ARGS(FitArgs, self, X, y);
DUV_ARGS(NSamplesArgs, self, X);
DUV_ARGS(PredictArgs, self, X, return_std, kwargs);
DUV_ARGS(RouteArgs, self, X, kwargs);
DUV_ARGS(StackArgs, self, means, stds);
DUV_ARGS(WeightedStackArgs, self, means, stds, weights);

// ---- small Python idioms ---------------------------------------------------------

// raise ValueError(fmt % values), with Python's own %-formatting.
[[noreturn]] void raise_percent(const char *fmt, nb::handle values) {
    nb::object msg = duv::steal_checked(PyUnicode_Format(nb::str(fmt).ptr(), values.ptr()));
    PyErr_SetObject(PyExc_ValueError, msg.ptr());
    throw nb::python_error();
}

bool equals(nb::handle a, const char *b) { return duv::truthy(duv::richcompare(a, nb::str(b), Py_EQ)); }

// How the interpreter names a callable in call errors ("module.Qual.name()").
nb::object function_str(nb::handle fn) {
    nb::object qualname = duv::getattr_or_null(fn, DUV_STR("__qualname__"));
    if (!qualname.is_valid()) return nb::str(fn);
    nb::object module = duv::getattr_or_null(fn, DUV_STR("__module__"));
    if (module.is_valid() && !module.is_none() && duv::compare(module, DUV_STR("builtins"), Py_NE))
        return duv::steal_checked(PyUnicode_FromFormat("%S.%S()", module.ptr(), qualname.ptr()));
    return duv::steal_checked(PyUnicode_FromFormat("%S()", qualname.ptr()));
}

// Number of iterations of range(obj).
std::size_t range_count(nb::handle obj) {
    nb::object i = duv::steal_checked(PyNumber_Index(obj.ptr()));
    Py_ssize_t n = PyLong_AsSsize_t(i.ptr());
    if (n == -1 && PyErr_Occurred()) throw nb::python_error();
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

// len(obj)
std::size_t py_len(nb::handle obj) {
    Py_ssize_t n = PyObject_Length(obj.ptr());
    duv::check(n >= 0);
    return static_cast<std::size_t>(n);
}

nb::object shape_at(nb::handle arr, Py_ssize_t i) { return nb::object(arr.attr("shape"))[i]; }

nb::object colon() { return duv::steal_checked(PySlice_New(nullptr, nullptr, nullptr)); }

// slice(start, stop)
nb::object slice(std::size_t start, std::size_t stop) {
    return duv::steal_checked(PySlice_New(nb::int_(start).ptr(), nb::int_(stop).ptr(), nullptr));
}

// arr[:, mask]
nb::object columns(nb::handle arr, nb::handle mask) { return arr[nb::make_tuple(colon(), mask)]; }

nb::object squared(nb::handle arr) { return duv::steal_checked(PyNumber_Power(arr.ptr(), nb::int_(2).ptr(), Py_None)); }

// Parallel(n_jobs=self.n_jobs): joblib's default backend.
nb::object parallel(const duv::Globals &g, nb::handle self) { return g["Parallel"]("n_jobs"_a = self.attr("n_jobs")); }

// ---- buffers ----------------------------------------------------------------------

bool exact_ndarray(nb::handle np, nb::handle o) { return o.type().is(np.attr("ndarray")); }

// The data of a C-contiguous, aligned array of T, else nullptr.
template <typename T> T *aligned(const duv::ArrayView &v) {
    T *p = v.contiguous<T>();
    return p && reinterpret_cast<std::uintptr_t>(p) % alignof(T) == 0 ? p : nullptr;
}

// float64 or float32 for a C-contiguous, aligned array of one of them.
std::optional<Dtype> float_dtype(const duv::ArrayView &v) {
    if (aligned<double>(v)) return Dtype::F64;
    if (aligned<float>(v)) return Dtype::F32;
    return std::nullopt;
}

// A fresh 1-D intp array holding `values`.
nb::object intp_array(nb::handle np, const std::vector<int64_t> &values) {
    nb::object arr = np.attr("empty")(values.size(), "dtype"_a = np.attr("intp"));
    duv::ArrayView view(arr, true);
    int64_t *data = aligned<int64_t>(view);
    if (!data) throw std::runtime_error("cannot write a fresh array");
    std::copy(values.begin(), values.end(), data);
    return arr;
}

// An epsilon that NumPy would combine with a float64 (single=false) or float32 stack
// without changing the stack's dtype, and its value.
bool kernel_epsilon(nb::handle eps, bool single, double &out) {
    PyObject *o = eps.ptr();
    if (PyLong_CheckExact(o)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (v == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        constexpr long long exact = 9007199254740992LL;  // 2**53: beyond it not every integer is a float64
        if (overflow || v > exact || v < -exact) return false;
        out = static_cast<double>(v);
    } else if (single ? PyFloat_CheckExact(o) : PyFloat_Check(o)) {
        out = duv::float_value(o);
    } else {
        return false;
    }
    return !single || !std::isfinite(out) || std::isfinite(static_cast<double>(static_cast<float>(out)));
}

// NumPy reports floating-point trouble according to np.geterr(); underflow is ignored
// unless the caller asked otherwise.
bool underflow_reported(nb::handle np) { return !equals(np.attr("geterr")()["under"], "ignore"); }

// Runs a kernel without the GIL; false when it raised a floating-point exception that
// NumPy would report, so that NumPy must redo the work.
template <typename F> bool run_kernel(nb::handle np, F &&kernel) {
    bool troubled, underflow;
    {
        nb::gil_scoped_release release;
        duv::kernels::FpFlags flags;
        kernel();
        troubled = flags.troubled();
        underflow = flags.underflowed();
    }
    return !troubled && !(underflow && underflow_reported(np));
}

// ---- the NumPy expressions (used when the kernels do not apply) --------------------

nb::object numpy_simple(nb::handle np, nb::handle means, nb::handle stds) {
    nb::object final_mean = np.attr("mean")(means, "axis"_a = 0);
    nb::object final_std = np.attr("sqrt")(np.attr("mean")(squared(stds), "axis"_a = 0));
    return nb::make_tuple(final_mean, final_std);
}

nb::object numpy_inverse_variance(nb::handle np, nb::handle means, nb::handle stds, nb::handle epsilon) {
    nb::object one = nb::float_(1.0);
    nb::object variances = squared(stds);
    nb::object inv = one / (variances + epsilon);
    nb::object weights = inv / np.attr("sum")(inv, "axis"_a = 0, "keepdims"_a = true);
    nb::object final_mean = np.attr("sum")(weights * means, "axis"_a = 0);
    nb::object final_variance = one / np.attr("sum")(inv, "axis"_a = 0);
    return nb::make_tuple(final_mean, np.attr("sqrt")(final_variance));
}

// The mixture's mean and variance; the variance as the weighted spread about the mean
// (law of total variance), which stays accurate when |mean| >> std.
nb::object numpy_mixture_core(nb::handle np, nb::handle means, nb::handle variances, nb::handle w, nb::handle epsilon) {
    nb::object final_mean = np.attr("sum")(w * means, "axis"_a = 0);
    nb::object spread = squared(means - final_mean);
    nb::object final_variance = np.attr("sum")(w * (variances + spread), "axis"_a = 0);
    final_variance = np.attr("maximum")(final_variance, epsilon);
    return nb::make_tuple(final_mean, np.attr("sqrt")(final_variance));
}

// np.ones(k) / k, or np.asarray(weights) / np.sum(weights).
nb::object mixture_weights(nb::handle np, nb::handle means, nb::handle weights) {
    if (weights.is_none()) {
        nb::object k = shape_at(means, 0);
        return np.attr("ones")(k) / k;
    }
    nb::object w = np.attr("asarray")(weights);
    return w / np.attr("sum")(w);
}

// `normalized`: the weights already normalised by mixture_weights, or None to do it here.
nb::object numpy_mixture(nb::handle np, nb::handle means, nb::handle stds, nb::handle weights, nb::handle epsilon,
                         nb::handle normalized = nb::none()) {
    nb::object variances = squared(stds);
    nb::object w = normalized.is_none() ? mixture_weights(np, means, weights) : nb::borrow(normalized);
    auto ndim = nb::cast<Py_ssize_t>(means.attr("ndim"));
    nb::list shape;  // (k, 1, ...): each expert's weight multiplies all of its entries
    shape.append(-1);
    for (Py_ssize_t i = 1; i < ndim; ++i) shape.append(1);
    w = w.attr("reshape")(nb::tuple(shape));
    return numpy_mixture_core(np, means, variances, w, epsilon);
}

// ---- kernels on whole stacks -------------------------------------------------------

// (means, stds) as the kernels take them.
struct StackBuffers {
    duv::ArrayView means, stds;
    bool single = false;  // float32, else float64
    std::size_t k = 0, ncols = 0;
    nb::tuple out_shape;  // the stack's shape without the expert axis
};

// The stack when the kernels can take it as it is: exact ndarrays of one float dtype,
// C-contiguous and aligned, of one shape with at least two axes, none of them empty.
std::optional<StackBuffers> kernel_stack(nb::handle np, nb::handle means, nb::handle stds) {
    if (!exact_ndarray(np, means) || !exact_ndarray(np, stds)) return std::nullopt;
    StackBuffers st;
    st.means = duv::ArrayView(means);
    st.stds = duv::ArrayView(stds);
    std::optional<Dtype> dtype = float_dtype(st.means);
    if (!dtype || float_dtype(st.stds) != dtype) return std::nullopt;
    const int ndim = st.means.ndim();
    if (ndim < 2 || st.stds.ndim() != ndim) return std::nullopt;
    nb::list shape;
    std::size_t ncols = 1;
    for (int i = 0; i < ndim; ++i) {
        if (st.means.shape(i) != st.stds.shape(i)) return std::nullopt;
        if (i == 0) continue;
        ncols *= static_cast<std::size_t>(st.means.shape(i));
        shape.append(st.means.shape(i));
    }
    st.single = *dtype == Dtype::F32;
    st.k = static_cast<std::size_t>(st.means.shape(0));
    st.ncols = ncols;
    st.out_shape = nb::tuple(shape);
    if (st.k == 0 || ncols == 0) return std::nullopt;
    return st;
}

// The kernel on a stack of T, into fresh arrays of R (the dtype NumPy computes in).
template <typename T, typename R>
std::optional<nb::object> stack_kernel_as(nb::handle np, Method method, const StackBuffers &st, const double *w,
                                          double eps) {
    nb::object dtype = np.attr(std::is_same_v<R, double> ? "float64" : "float32");
    nb::object out_mean = np.attr("empty")(st.out_shape, "dtype"_a = dtype);
    nb::object out_std = np.attr("empty")(st.out_shape, "dtype"_a = dtype);
    duv::ArrayView mean_view(out_mean, true), std_view(out_std, true);
    R *om = aligned<R>(mean_view), *os = aligned<R>(std_view);
    if (!om || !os) return std::nullopt;
    const mk::Stack<T> stack{st.k, st.ncols, aligned<T>(st.means), aligned<T>(st.stds)};
    if (!run_kernel(np, [&] { mk::aggregate_stack(method, stack, w, eps, om, os); })) return std::nullopt;
    return nb::make_tuple(out_mean, out_std);
}

// The kernel's result for a stack, or nothing when NumPy must do the work (an epsilon or
// weights the kernel does not take, or floating-point trouble that NumPy reports).
std::optional<nb::object> stack_kernel(nb::handle np, Method method, const StackBuffers &st, nb::handle epsilon,
                                       nb::handle w) {
    double eps = 0.0;
    if (method != Method::Simple && !kernel_epsilon(epsilon, st.single, eps)) return std::nullopt;
    duv::ArrayView weights;
    const double *wp = nullptr;
    if (method == Method::Mixture && w.is_valid() && !w.is_none()) {
        if (exact_ndarray(np, w)) weights = duv::ArrayView(w);
        wp = aligned<double>(weights);
        if (!wp || weights.ndim() != 1 || static_cast<std::size_t>(weights.shape(0)) != st.k) return std::nullopt;
    }
    if (!st.single) return stack_kernel_as<double, double>(np, method, st, wp, eps);
    if (method == Method::Mixture) return stack_kernel_as<float, double>(np, method, st, wp, eps);
    return stack_kernel_as<float, float>(np, method, st, wp, eps);
}

// ---- selecting the smallest scores ----------------------------------------------------

// How many of `len` entries `[:stop]` keeps (Python's slice rules), or nothing when
// `head` (the slice) does not unpack.
std::optional<std::size_t> head_length(nb::handle head, std::size_t len) {
    Py_ssize_t start, stop, step;
    if (PySlice_Unpack(head.ptr(), &start, &stop, &step) < 0) {
        PyErr_Clear();
        return std::nullopt;
    }
    PySlice_AdjustIndices(static_cast<Py_ssize_t>(len), &start, &stop, step);
    return stop > 0 ? static_cast<std::size_t>(stop) : 0;
}

// The kernel's argsort head of a float64/float32 matrix, or nothing when NumPy must sort.
std::optional<nb::object> argsort_head_kernel(nb::handle np, nb::handle values, int axis, nb::handle head) {
    if (!exact_ndarray(np, values)) return std::nullopt;
    duv::ArrayView v(values);
    std::optional<Dtype> dtype = float_dtype(v);
    if (!dtype || v.ndim() != 2) return std::nullopt;
    auto len = static_cast<std::size_t>(v.shape(axis)), n = static_cast<std::size_t>(v.shape(1 - axis));
    std::optional<std::size_t> h = head_length(head, len);
    if (!h) return std::nullopt;
    nb::object out =
        np.attr("empty")(axis == 0 ? nb::make_tuple(*h, n) : nb::make_tuple(n, *h), "dtype"_a = np.attr("intp"));
    duv::ArrayView out_view(out, true);
    int64_t *o = aligned<int64_t>(out_view);
    if (!o) return std::nullopt;
    // The lines run along `axis` (the columns for axis 0, the rows for axis 1). In a C-ordered
    // matrix whose rows hold r values, along(r) is the step within a line, across(r) between lines.
    auto along = [axis](std::size_t row_length) { return static_cast<std::ptrdiff_t>(axis == 0 ? row_length : 1); };
    auto across = [axis](std::size_t row_length) { return static_cast<std::ptrdiff_t>(axis == 0 ? 1 : row_length); };
    bool ok;
    {
        nb::gil_scoped_release release;
        ok = *dtype == Dtype::F64
                 ? mk::argsort_head(aligned<double>(v), n, len, along(n), across(len), *h, o, along(n), across(*h))
                 : mk::argsort_head(aligned<float>(v), n, len, along(n), across(len), *h, o, along(n), across(*h));
    }
    if (!ok) return std::nullopt;
    return out;
}

// np.argsort(values, axis=0)[:n_active] or np.argsort(values, axis=1)[:, :n_active] for a
// 2-D array; the kernel selects the head when ties cannot matter, NumPy sorts otherwise.
nb::object argsort_head(nb::handle np, nb::handle values, int axis, nb::handle n_active) {
    nb::object head = duv::steal_checked(PySlice_New(nullptr, n_active.ptr(), nullptr));
    if (auto selected = argsort_head_kernel(np, values, axis, head)) return *selected;
    nb::object order = np.attr("argsort")(values, "axis"_a = axis);
    if (axis == 0) return order[head];
    return order[nb::make_tuple(colon(), head)];
}

// ---- module-level tasks (picklable by reference for joblib's process workers) -------

// Adds `extra` to the keyword arguments `kw` of a call to `fn`, with the interpreter's
// error for a repeated keyword.
void add_keywords(nb::dict &kw, nb::handle extra, nb::handle fn) {
    nb::dict more = nb::borrow<nb::dict>(PyDict_Check(extra.ptr())
                                             ? nb::borrow(extra)
                                             : duv::call_one(reinterpret_cast<PyObject *>(&PyDict_Type), extra));
    for (auto [key, value] : more) {
        if (kw.contains(key)) {
            nb::object fs = function_str(fn);
            PyErr_Format(PyExc_TypeError, "%U got multiple values for keyword argument '%S'", fs.ptr(), key.ptr());
            throw nb::python_error();
        }
        kw[key] = value;
    }
}

// estimator.predict(X, return_std=True, **kwargs)
nb::object predict_expert(const PredictExpertArgs &a) {
    nb::object predict = a.estimator.attr("predict");
    nb::dict kw;
    kw[DUV_STR("return_std")] = nb::handle(Py_True);
    if (!a.kwargs.is_none()) add_keywords(kw, a.kwargs, predict);
    nb::object args = nb::make_tuple(a.X);
    return duv::steal_checked(PyObject_Call(predict.ptr(), args.ptr(), kw.ptr()));
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

// ---- fitting -------------------------------------------------------------------------

// `if self.<name> <= 0: raise ValueError(message % self.<name>)`
void require_positive(nb::handle self, const char *name, const char *message) {
    nb::object value = self.attr(name);
    if (duv::compare(value, nb::int_(0), Py_LE)) raise_percent(message, value);
}

// `if self.<name> not in options: raise ValueError(message % self.<name>)`
void require_one_of(nb::handle self, const char *name, nb::handle options, const char *message) {
    nb::object value = self.attr(name);
    int found = PySequence_Contains(options.ptr(), value.ptr());
    duv::check(found >= 0);
    if (!found) raise_percent(message, value);
}

void check_parameters(nb::handle self, nb::handle X) {
    if (self.attr("estimator").is_none()) duv::raise_value_error("estimator must be provided");
    require_positive(self, "n_estimators", "n_estimators must be positive, got %d");
    require_positive(self, "n_active", "n_active must be positive, got %d");
    nb::object n_active = self.attr("n_active"), n_estimators = self.attr("n_estimators");
    if (duv::compare(n_active, n_estimators, Py_GT))
        raise_percent("n_active cannot exceed n_estimators, got %d > %d", nb::make_tuple(n_active, n_estimators));
    require_one_of(self, "split", nb::make_tuple("random", "kmeans"), "split must be 'random' or 'kmeans', got %s");
    require_one_of(self, "routing", nb::make_tuple("confidence", "distance"),
                   "routing must be 'confidence' or 'distance', got %s");
    require_one_of(self, "aggregation_method", nb::make_tuple("mixture", "inverse_variance", "simple"),
                   "aggregation_method must be 'mixture', 'inverse_variance', or 'simple', got %s");
    require_positive(self, "sampling_factor", "sampling_factor must be positive, got %f");
    require_positive(self, "n_clusters", "n_clusters must be positive, got %d");
    require_positive(self, "epsilon", "epsilon must be positive, got %f");
    if (equals(self.attr("split"), "kmeans")) {
        nb::object n_clusters = self.attr("n_clusters"), n_rows = shape_at(X, 0);
        if (duv::compare(n_clusters, n_rows, Py_GT))
            raise_percent("n_clusters (%d) cannot exceed number of samples (%d)", nb::make_tuple(n_clusters, n_rows));
    }
}

nb::object all_columns(nb::handle np, nb::handle X) {
    return np.attr("ones")(shape_at(X, 1), "dtype"_a = duv::bool_type());
}

// The mask of `distance_cols` over the columns of X, with fit's checks.
nb::object checked_feature_mask(nb::handle np, nb::handle distance_cols, nb::handle X) {
    if (distance_cols.is_none()) return all_columns(np, X);
    nb::object mask = np.attr("asarray")(distance_cols, "dtype"_a = duv::bool_type());
    nb::object n_features = shape_at(X, 1), length = shape_at(mask, 0);
    if (duv::compare(length, n_features, Py_NE))
        raise_percent("distance_cols mask length must equal n_features (%d), got %d",
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
    if (duv::compare(shape_at(mask, 0), shape_at(X, 1), Py_NE)) return all_columns(np, X);
    return mask;
}

// max(1, round(X.shape[0] / n_estimators * sampling_factor)), with Python's operators.
nb::object get_n_samples(const duv::Globals &g, const NSamplesArgs &a) {
    nb::object ratio =
        duv::steal_checked(PyNumber_TrueDivide(shape_at(a.X, 0).ptr(), a.self.attr("n_estimators").ptr()));
    nb::object scaled = duv::steal_checked(PyNumber_Multiply(ratio.ptr(), a.self.attr("sampling_factor").ptr()));
    nb::object n = g["max"](1, g["round"](scaled));
    a.self.attr("n_samples_") = n;
    return n;
}

nb::object zero_centers(nb::handle np, nb::handle self, nb::handle X) {
    return np.attr("zeros")(nb::make_tuple(self.attr("n_estimators"), shape_at(X, 1)));
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
        nb::object centers = self.attr("estimator_centers_");
        duv::check(PyObject_SetItem(centers.ptr(), nb::int_(i).ptr(), expert_center_indices[1].ptr()) == 0);
        if (duv::truthy(self.attr("copy_X_y_train")))
            self.attr("estimator_train_indices_").attr("append")(expert_center_indices[2]);
        ++i;
    }
}

nb::object fit_random_split(const duv::Globals &g, const FitArgs &a) {
    nb::handle self = a.self, X = a.X, y = a.y;
    nb::object n_samples_abs = self.attr("_get_n_samples")(X);
    self.attr("estimator_centers_") = zero_centers(g["np"], self, X);
    // Every subset is drawn before any expert is fitted, so that n_jobs cannot change them.
    nb::list sampled;
    const std::size_t n_estimators = range_count(self.attr("n_estimators"));
    for (std::size_t i = 0; i < n_estimators; ++i) {
        nb::object idx =
            self.attr("random_state_").attr("choice")(py_len(X), "size"_a = n_samples_abs, "replace"_a = true);
        sampled.append(nb::make_tuple(X[idx], y[idx], idx));
    }
    fit_experts(g, self, sampled, true);
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

// Column c: the probabilities of drawing each row for cluster c, 1 / (distance + epsilon)
// to the cluster's centre, normalised.
nb::object cluster_weights(const duv::Globals &g, nb::handle np, nb::handle self, nb::handle X_masked) {
    nb::object all_distances = g["cdist"](X_masked, self.attr("cluster_centers_masked_"));
    nb::object all_weights = nb::float_(1.0) / (all_distances + self.attr("epsilon"));
    return all_weights / np.attr("sum")(all_weights, "axis"_a = 0, "keepdims"_a = true);
}

nb::object fit_kmeans_split(const duv::Globals &g, const FitArgs &a) {
    nb::handle self = a.self, X = a.X, y = a.y;
    nb::object np = g["np"];
    // Draws from random_state_, in order: KMeans's own, the experts' clusters, then one
    // weighted choice of rows per expert.
    fit_clusters(g, np, self, X);
    self.attr("target_clusters_") =
        self.attr("random_state_").attr("choice")(self.attr("n_clusters"), self.attr("n_estimators"));
    self.attr("estimator_centers_") = zero_centers(np, self, X);
    nb::object n_samples_abs = self.attr("_get_n_samples")(X);
    nb::object all_weights = cluster_weights(g, np, self, columns(X, feature_mask(np, self, X)));
    nb::list sampled;
    const std::size_t n_estimators = range_count(self.attr("n_estimators"));
    for (std::size_t i = 0; i < n_estimators; ++i) {
        nb::object target_cluster = nb::object(self.attr("target_clusters_"))[nb::int_(i)];
        nb::object weights = all_weights[nb::make_tuple(colon(), target_cluster)];
        nb::object idx = self.attr("random_state_")
                             .attr("choice")(py_len(X), "size"_a = n_samples_abs, "replace"_a = true, "p"_a = weights);
        sampled.append(nb::make_tuple(X[idx], y[idx], idx));
    }
    fit_experts(g, self, sampled, false);
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

// ---- prediction ----------------------------------------------------------------------

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
    nb::object args = nb::make_tuple(X);
    std::vector<nb::object> r =
        duv::unpack(duv::steal_checked(PyObject_Call(route.ptr(), args.ptr(), a.kwargs.ptr())), 2);
    if (duv::truthy(a.return_std)) return nb::make_tuple(r[0], r[1]);
    return r[0];
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
        nb::object active_indices = argsort_head(np, mean_stds, 0, self.attr("n_active"));
        gather = active_indices[nb::make_tuple(colon(), colon(), nb::none())];
    } else {
        gather = argsort_head(np, all_stds, 0, self.attr("n_active"));
    }
    nb::object active_preds = np.attr("take_along_axis")(all_preds, gather, "axis"_a = 0);
    nb::object active_stds = np.attr("take_along_axis")(all_stds, gather, "axis"_a = 0);
    std::vector<nb::object> r = duv::unpack(self.attr("_aggregate_predictions")(active_preds, active_stds), 2);
    return nb::make_tuple(r[0], r[1]);
}

// ---- distance routing, batched ----------------------------------------------------------
//
// Row by row, distance routing asks each of a row's experts for that row alone. Here each
// expert predicts all of its rows in one call, and the kernels merge every row's stack as
// the row-at-a-time steps would.

// The rows grouped by expert (mk::group_rows).
struct RowGroups {
    nb::object active;  // (n, k) intp: every row's experts, nearest first
    std::size_t n = 0, k = 0, n_experts = 0;
    std::vector<int64_t> flat_active, rows, pos;  // flat_active: `active` row after row
    std::vector<std::size_t> offsets;

    std::size_t count(std::size_t j) const { return offsets[j + 1] - offsets[j]; }
    // The kernels' view, given every expert's predictions for its rows.
    template <typename T> mk::Routed<T> routed(std::size_t width, const T *const *means, const T *const *stds) const {
        return {n, k, width, flat_active.data(), pos.data(), means, stds};
    }
};

RowGroups group_rows_by_expert(nb::handle np, nb::handle active_indices, std::size_t n_experts) {
    RowGroups groups;
    groups.active = np.attr("ascontiguousarray")(active_indices, "dtype"_a = np.attr("intp"));
    duv::ArrayView view(groups.active);
    const int64_t *active = aligned<int64_t>(view);
    if (!active || view.ndim() != 2) throw std::runtime_error("unexpected index array");
    groups.n = static_cast<std::size_t>(view.shape(0));
    groups.k = static_cast<std::size_t>(view.shape(1));
    groups.n_experts = n_experts;
    groups.flat_active.assign(active, active + groups.n * groups.k);
    if (!mk::group_rows(active, groups.n, groups.k, n_experts, groups.offsets, groups.rows, groups.pos))
        duv::raise(PyExc_IndexError, "list index out of range");
    return groups;
}

// One expert's predictions for its rows.
struct ExpertPrediction {
    std::size_t expert;
    nb::object means, stds;
};

// Each expert with rows predicts all of them in one call (one joblib task per expert).
std::vector<ExpertPrediction> predict_row_groups(const duv::Globals &g, nb::handle np, nb::handle self, nb::handle X,
                                                 nb::handle kwargs, nb::handle estimators, const RowGroups &groups) {
    nb::object rows = intp_array(np, groups.rows);
    nb::object task = g["delayed"](g["_predict_expert"]);
    nb::list tasks;
    std::vector<ExpertPrediction> predicted;
    for (std::size_t j = 0; j < groups.n_experts; ++j) {
        if (groups.count(j) == 0) continue;
        nb::object X_rows = X[rows[slice(groups.offsets[j], groups.offsets[j + 1])]];
        tasks.append(task(estimators[nb::int_(j)], X_rows, kwargs));
        predicted.push_back({j, nb::object(), nb::object()});
    }
    nb::object results = parallel(g, self)(tasks);
    std::size_t t = 0;
    for (nb::handle r : results) {
        if (t == predicted.size()) break;
        std::vector<nb::object> pair = duv::unpack(r, 2);
        predicted[t].means = pair[0];
        predicted[t].stds = pair[1];
        ++t;
    }
    if (t != predicted.size()) duv::raise_value_error("expert predictions are missing");
    return predicted;
}

// The experts' predictions in one layout and one float dtype, C-contiguous.
struct Predictions {
    bool multi = false;   // (rows, width) per expert, else (rows,)
    bool single = false;  // float32, else float64
    std::size_t width = 1;
    nb::object dtype;
    std::vector<duv::ArrayView> means_of, stds_of;  // by expert; empty for experts without rows
};

// np.asarray(values), which must have the shape `expected` (an expert's answer for its rows).
nb::object checked_shape(nb::handle np, nb::handle values, nb::handle expected, std::size_t expert, std::size_t n_rows,
                         const char *what) {
    nb::object arr = np.attr("asarray")(values);
    if (duv::compare(arr.attr("shape"), expected, Py_NE))
        duv::raise_value_error("expert " + std::to_string(expert) + " returned " + what + " of shape " +
                               duv::format(arr.attr("shape")) + " for " + std::to_string(n_rows) + " rows, expected " +
                               duv::format(expected));
    return arr;
}

// A C-contiguous, aligned view of `values` as `dtype`. Arrays rebuilt from another process's
// bytes (a joblib or dask worker's results) can be contiguous but unaligned: those are copied.
duv::ArrayView kernel_view(nb::handle np, nb::handle values, nb::handle dtype) {
    duv::ArrayView view(np.attr("ascontiguousarray")(values, "dtype"_a = dtype));
    if (float_dtype(view)) return view;
    view = duv::ArrayView(np.attr("array")(values, "dtype"_a = dtype, "order"_a = "C"));
    if (!float_dtype(view)) throw std::runtime_error("unexpected array");
    return view;
}

// The layout is the one the first row's nearest expert returns; float32 when every array is.
Predictions common_layout(nb::handle np, std::vector<ExpertPrediction> &predicted, const RowGroups &groups) {
    Predictions p;
    const auto first = static_cast<std::size_t>(groups.flat_active[0]);
    auto layout = std::find_if(predicted.begin(), predicted.end(), [&](auto &e) { return e.expert == first; });
    p.multi = duv::compare(np.attr("ndim")(layout->means), nb::int_(2), Py_EQ);
    p.width = p.multi ? nb::cast<std::size_t>(shape_at(layout->means, 1)) : 1;
    bool all_single = true;
    for (ExpertPrediction &e : predicted) {
        const std::size_t m = groups.count(e.expert);
        nb::object expected = p.multi ? nb::make_tuple(m, p.width) : nb::make_tuple(m);
        auto checked = [&](nb::handle values, const char *what) {
            nb::object arr = checked_shape(np, values, expected, e.expert, m, what);
            if (!equals(arr.attr("dtype").attr("char"), "f")) all_single = false;
            return arr;
        };
        e.means = checked(e.means, "predictions");
        e.stds = checked(e.stds, "standard deviations");
    }
    p.single = all_single;
    p.dtype = np.attr(all_single ? "float32" : "float64");
    p.means_of.resize(groups.n_experts);
    p.stds_of.resize(groups.n_experts);
    for (ExpertPrediction &e : predicted) {
        p.means_of[e.expert] = kernel_view(np, e.means, p.dtype);
        p.stds_of[e.expert] = kernel_view(np, e.stds, p.dtype);
    }
    return p;
}

// The kernels' view of the routed predictions, as arrays of T.
template <typename T> class RoutedStacks {
public:
    RoutedStacks(const RowGroups &groups, const Predictions &p)
        : means_(groups.n_experts, nullptr), stds_(groups.n_experts, nullptr) {
        for (std::size_t j = 0; j < groups.n_experts; ++j) {
            means_[j] = aligned<T>(p.means_of[j]);
            stds_[j] = aligned<T>(p.stds_of[j]);
        }
        view_ = groups.routed(p.width, means_.data(), stds_.data());
    }
    const mk::Routed<T> &view() const { return view_; }

private:
    std::vector<const T *> means_, stds_;
    mk::Routed<T> view_{};
};

// The per-row stacks side by side, (k, n) or (k, n, width): the means and the standard
// deviations, for NumPy's steps.
template <typename T>
std::pair<nb::object, nb::object> side_by_side_as(nb::handle np, const RowGroups &groups, const Predictions &p) {
    RoutedStacks<T> routed(groups, p);
    auto gather = [&](bool stds) {
        nb::object shape = p.multi ? nb::make_tuple(groups.k, groups.n, p.width) : nb::make_tuple(groups.k, groups.n);
        nb::object out = np.attr("empty")(shape, "dtype"_a = p.dtype);
        duv::ArrayView view(out, true);
        T *data = aligned<T>(view);
        if (!data) throw std::runtime_error("cannot write a fresh array");
        mk::gather_routed(routed.view(), stds, data);
        return out;
    };
    nb::object means = gather(false);
    return {means, gather(true)};
}

std::pair<nb::object, nb::object> side_by_side(nb::handle np, const RowGroups &groups, const Predictions &p) {
    return p.single ? side_by_side_as<float>(np, groups, p) : side_by_side_as<double>(np, groups, p);
}

// Every row's mixture weights, 1 / (distance + epsilon) to its experts' centres, normalised.
nb::object distance_weights(nb::handle np, nb::handle all_distances, const RowGroups &groups, nb::handle epsilon) {
    nb::object d = np.attr("take_along_axis")(all_distances, groups.active, "axis"_a = 1);
    nb::object w = nb::float_(1.0) / (d + epsilon);
    return w / np.attr("sum")(w, "axis"_a = 1, "keepdims"_a = true);
}

// The class's own aggregation methods, to tell them from overrides.
constexpr const char *kAggregationMethods[] = {"_aggregate_predictions", "_simple_aggregation",
                                               "_inverse_variance_aggregation", "_mixture_aggregation"};
PyObject *own_aggregation[4] = {};

// True if an instance or a subclass replaces one of the aggregation methods.
bool aggregation_overridden(nb::handle self) {
    for (int i = 0; i < 4; ++i) {
        nb::object bound = self.attr(kAggregationMethods[i]);
        if (!duv::is_method_of(bound, own_aggregation[i], self)) return true;
    }
    return false;
}

// Overridden aggregation methods get every row's stack, as the row-at-a-time steps hand it
// to them: (k, 1) or (k, 1, width), with the row's distance weights for a weighted mixture.
nb::object aggregate_rows_by_methods(nb::handle np, nb::handle self, const RowGroups &groups, const Predictions &p,
                                     nb::handle all_distances, bool weighted) {
    auto [P, S] = side_by_side(np, groups, p);
    nb::object w = weighted ? distance_weights(np, all_distances, groups, self.attr("epsilon")) : nb::object();
    nb::object out_shape = p.multi ? nb::make_tuple(groups.n, p.width) : nb::make_tuple(groups.n);
    nb::object final_preds = np.attr("zeros")(out_shape), final_stds = np.attr("zeros")(out_shape);
    nb::object zero = nb::int_(0);
    for (std::size_t i = 0; i < groups.n; ++i) {
        nb::object row = nb::make_tuple(colon(), slice(i, i + 1));
        nb::object pm = P[row].attr("copy")(), ps = S[row].attr("copy")();
        nb::object r = weighted ? self.attr("_mixture_aggregation")(pm, ps, w[nb::int_(i)])
                                : self.attr("_aggregate_predictions")(pm, ps);
        std::vector<nb::object> pair = duv::unpack(r, 2);
        final_preds[nb::int_(i)] = pair[0][zero];
        final_stds[nb::int_(i)] = pair[1][zero];
    }
    return nb::make_tuple(final_preds, final_stds);
}

Method method_named(nb::handle name) {
    if (equals(name, "simple")) return Method::Simple;
    if (equals(name, "inverse_variance")) return Method::InverseVariance;
    if (equals(name, "mixture")) return Method::Mixture;
    duv::raise_value_error("Unknown aggregation method: " + duv::format(name));
}

// The kernel's merge of every row, or nothing after floating-point trouble that NumPy reports.
std::optional<nb::object> aggregate_rows_kernel(nb::handle np, Method method, const RowGroups &groups,
                                                const Predictions &p, nb::handle weights, double eps) {
    nb::object out_shape = p.multi ? nb::make_tuple(groups.n, p.width) : nb::make_tuple(groups.n);
    nb::object final_preds = np.attr("empty")(out_shape, "dtype"_a = np.attr("float64"));
    nb::object final_stds = np.attr("empty")(out_shape, "dtype"_a = np.attr("float64"));
    duv::ArrayView w_view = weights.is_valid() ? duv::ArrayView(weights) : duv::ArrayView();
    duv::ArrayView mean_view(final_preds, true), std_view(final_stds, true);
    const double *w = aligned<double>(w_view);
    double *om = aligned<double>(mean_view), *os = aligned<double>(std_view);
    if (weights.is_valid() && !w) throw std::runtime_error("unexpected weights");
    if (!om || !os) throw std::runtime_error("cannot write a fresh array");
    bool ok;
    if (p.single) {
        RoutedStacks<float> routed(groups, p);
        ok = run_kernel(np, [&] { mk::aggregate_routed(method, routed.view(), w, eps, om, os); });
    } else {
        RoutedStacks<double> routed(groups, p);
        ok = run_kernel(np, [&] { mk::aggregate_routed(method, routed.view(), w, eps, om, os); });
    }
    if (!ok) return std::nullopt;
    return nb::make_tuple(final_preds, final_stds);
}

// NumPy's steps on the per-row stacks side by side (it computes and reports the trouble);
// results as float64.
nb::object aggregate_rows_numpy(nb::handle np, Method method, const RowGroups &groups, const Predictions &p,
                                nb::handle weights, nb::handle epsilon) {
    auto [P, S] = side_by_side(np, groups, p);
    nb::object res;
    if (method == Method::Simple) {
        res = numpy_simple(np, P, S);
    } else if (method == Method::InverseVariance) {
        res = numpy_inverse_variance(np, P, S, epsilon);
    } else if (weights.is_valid()) {
        nb::object w = weights.attr("T");
        if (p.multi) w = w[nb::make_tuple(colon(), colon(), nb::none())];
        res = numpy_mixture_core(np, P, squared(S), w, epsilon);
    } else {
        res = numpy_mixture(np, P, S, nb::none(), epsilon);
    }
    nb::object f64 = np.attr("float64");
    return nb::make_tuple(np.attr("asarray")(nb::tuple(res)[0], "dtype"_a = f64),
                          np.attr("asarray")(nb::tuple(res)[1], "dtype"_a = f64));
}

// Each row's stack merged by the configured method, or by the mixture with the row's
// distance weights (normalised once more, as _mixture_aggregation does with its weights).
nb::object aggregate_rows(nb::handle np, nb::handle self, const RowGroups &groups, const Predictions &p,
                          nb::handle all_distances, nb::handle method_name, bool weighted) {
    Method method = weighted ? Method::Mixture : method_named(method_name);
    nb::object epsilon = self.attr("epsilon");
    nb::object weights;
    if (weighted) {
        weights = distance_weights(np, all_distances, groups, epsilon);
        weights = weights / np.attr("sum")(weights, "axis"_a = 1, "keepdims"_a = true);
        weights = np.attr("ascontiguousarray")(weights, "dtype"_a = np.attr("float64"));
    }
    double eps = method == Method::Simple ? 0.0 : duv::to_double(epsilon);
    if (auto merged = aggregate_rows_kernel(np, method, groups, p, weights, eps)) return *merged;
    return aggregate_rows_numpy(np, method, groups, p, weights, epsilon);
}

nb::object route_distance(const duv::Globals &g, const RouteArgs &a) {
    nb::handle self = a.self, X = a.X;
    nb::object np = g["np"];
    nb::object mask = feature_mask(np, self, X);
    nb::object X_masked = columns(X, mask);
    nb::object centers_masked = columns(self.attr("estimator_centers_"), mask);
    nb::object all_distances = g["cdist"](X_masked, centers_masked);
    nb::object active_indices = argsort_head(np, all_distances, 1, self.attr("n_active"));
    // The first row's nearest expert sets the output layout; looked up here so that a
    // missing expert fails as it would for that row.
    nb::object estimators = self.attr("estimators_");
    [[maybe_unused]] nb::object layout_expert = estimators[active_indices[nb::make_tuple(0, 0)]];

    RowGroups groups = group_rows_by_expert(np, active_indices, py_len(estimators));
    std::vector<ExpertPrediction> predicted = predict_row_groups(g, np, self, X, a.kwargs, estimators, groups);
    Predictions p = common_layout(np, predicted, groups);

    nb::object method_name = self.attr("aggregation_method");
    bool weighted = equals(method_name, "mixture") && groups.k > 1;
    if (aggregation_overridden(self)) return aggregate_rows_by_methods(np, self, groups, p, all_distances, weighted);
    return aggregate_rows(np, self, groups, p, all_distances, method_name, weighted);
}

// ---- aggregation methods -----------------------------------------------------------------

nb::object aggregate_predictions(const duv::Globals &g, const WeightedStackArgs &a) {
    nb::object np = g["np"];
    nb::object means = np.attr("asarray")(a.means), stds = np.attr("asarray")(a.stds);
    nb::object method = a.self.attr("aggregation_method");
    if (equals(method, "simple")) return a.self.attr("_simple_aggregation")(means, stds);
    if (equals(method, "inverse_variance")) return a.self.attr("_inverse_variance_aggregation")(means, stds);
    if (equals(method, "mixture")) return a.self.attr("_mixture_aggregation")(means, stds, a.weights);
    duv::raise_value_error("Unknown aggregation method: " + duv::format(method));
}

nb::object simple_aggregation(const duv::Globals &g, const StackArgs &a) {
    nb::object np = g["np"];
    if (auto st = kernel_stack(np, a.means, a.stds))
        if (auto r = stack_kernel(np, Method::Simple, *st, nb::handle(), nb::handle())) return *r;
    return numpy_simple(np, a.means, a.stds);
}

nb::object inverse_variance_aggregation(const duv::Globals &g, const StackArgs &a) {
    nb::object np = g["np"];
    nb::object epsilon = a.self.attr("epsilon");
    if (auto st = kernel_stack(np, a.means, a.stds))
        if (auto r = stack_kernel(np, Method::InverseVariance, *st, epsilon, nb::handle())) return *r;
    return numpy_inverse_variance(np, a.means, a.stds, epsilon);
}

nb::object mixture_aggregation(const duv::Globals &g, const WeightedStackArgs &a) {
    nb::object np = g["np"];
    nb::object epsilon = a.self.attr("epsilon");
    std::optional<StackBuffers> st = kernel_stack(np, a.means, a.stds);
    if (!st) return numpy_mixture(np, a.means, a.stds, a.weights, epsilon);
    // With float stacks `stds ** 2` cannot fail, so normalising the weights first keeps
    // NumPy's order of errors.
    nb::object w = a.weights.is_none() ? nb::none() : mixture_weights(np, a.means, a.weights);
    if (auto r = stack_kernel(np, Method::Mixture, *st, epsilon, w)) return *r;
    return numpy_mixture(np, a.means, a.stds, a.weights, epsilon, w);
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

void build_class(nb::module_ &m) {
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
    nb::object own[] = {cls.def("_aggregate_predictions", weighted_stack, aggregate_predictions),
                        cls.def("_simple_aggregation", stack, simple_aggregation),
                        cls.def("_inverse_variance_aggregation", stack, inverse_variance_aggregation),
                        cls.def("_mixture_aggregation", weighted_stack, mixture_aggregation)};
    for (int i = 0; i < 4; ++i) own_aggregation[i] = own[i].release().ptr();
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

    // Module-level tasks, so that joblib's process workers find them by reference.
    duv::def(m, "_fit_expert",
             {duv::arg("estimator"), duv::arg("X_sample"), duv::arg("y_sample"), duv::arg("sample_indices")},
             fit_expert);
    duv::def(m, "_predict_expert", {duv::arg("estimator"), duv::arg("X"), duv::arg("kwargs")}, predict_expert);
    build_class(m);
}
