#include "duv/interop/klass.hpp"
#include "duv/interop/module.hpp"
#include "duv/interop/util.hpp"
#include "duv/kernels/mixture.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <stdexcept>

namespace {

namespace mk = duv::kernels::mixture;
using mk::Method;

#define G(name) a.global(DUV_STR(name))
#define ATTR(obj, name) (obj).attr(DUV_STR(name))

// ---- small Python idioms ---------------------------------------------------------

// raise ValueError(fmt % values), with Python's own %-formatting.
[[noreturn]] void raise_percent(const char *fmt, nb::handle values) {
    nb::object msg = duv::steal_checked(PyUnicode_Format(nb::str(fmt).ptr(), values.ptr()));
    PyErr_SetObject(PyExc_ValueError, msg.ptr());
    throw nb::python_error();
}

bool equals(nb::handle a, const char *b) { return duv::truthy(duv::richcompare(a, nb::str(b), Py_EQ)); }

using duv::unpack;

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
size_t range_count(nb::handle obj) {
    nb::object i = duv::steal_checked(PyNumber_Index(obj.ptr()));
    Py_ssize_t n = PyLong_AsSsize_t(i.ptr());
    if (n == -1 && PyErr_Occurred()) throw nb::python_error();
    return n > 0 ? (size_t)n : 0;
}

nb::object shape_at(nb::handle arr, Py_ssize_t i) { return nb::object(ATTR(arr, "shape"))[i]; }

// arr[:, mask]
nb::object columns(nb::handle arr, nb::handle mask) {
    nb::object colon = duv::steal_checked(PySlice_New(nullptr, nullptr, nullptr));
    return arr[nb::make_tuple(colon, mask)];
}

nb::handle bool_type() { return nb::handle((PyObject *)&PyBool_Type); }

// ---- buffers ----------------------------------------------------------------------

// A C-contiguous, aligned, native-order view of a float64/float32/intp array.
struct View {
    Py_buffer b{};
    bool held = false;
    char kind = 0;  // 'd', 'f' or 'i' (64-bit integer)
    View() = default;
    View(const View &) = delete;
    View &operator=(const View &) = delete;
    ~View() {
        if (held) PyBuffer_Release(&b);
    }
    bool acquire(nb::handle o, bool writable = false) {
        int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(o.ptr(), &b, flags) != 0) {
            PyErr_Clear();
            return false;
        }
        held = true;
        const char *f = b.format ? b.format : "B";
        if (*f == '@' || *f == '=') ++f;
        if (!std::strcmp(f, "d") && b.itemsize == 8)
            kind = 'd';
        else if (!std::strcmp(f, "f") && b.itemsize == 4)
            kind = 'f';
        else if ((!std::strcmp(f, "l") || !std::strcmp(f, "q")) && b.itemsize == 8)
            kind = 'i';
        else
            return false;
        return (uintptr_t)b.buf % (uintptr_t)b.itemsize == 0;
    }
    size_t dim(int i) const { return (size_t)b.shape[i]; }
    template <typename T> T *data() const { return static_cast<T *>(b.buf); }
};

bool exact_ndarray(const duv::Args &a, nb::handle o) { return o.type().is(G("np").attr("ndarray")); }

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
        if (overflow || v > (1LL << 53) || v < -(1LL << 53)) return false;
        out = (double)v;
    } else if (single ? PyFloat_CheckExact(o) : PyFloat_Check(o)) {
        out = PyFloat_AS_DOUBLE(o);
    } else {
        return false;
    }
    return !single || !std::isfinite(out) || std::isfinite((double)(float)out);
}

// NumPy reports floating-point trouble according to np.geterr(); underflow is ignored
// unless the caller asked otherwise.
bool underflow_reported(const duv::Args &a) {
    nb::object mode = G("np").attr("geterr")()["under"];
    return !equals(mode, "ignore");
}

// ---- the NumPy expressions (used when the kernels do not apply) --------------------

nb::object numpy_simple(const duv::Args &a, nb::handle means, nb::handle stds) {
    nb::object np = G("np");
    nb::object final_mean = np.attr("mean")(means, "axis"_a = 0);
    nb::object sq = duv::steal_checked(PyNumber_Power(stds.ptr(), nb::int_(2).ptr(), Py_None));
    nb::object final_std = np.attr("sqrt")(np.attr("mean")(sq, "axis"_a = 0));
    return nb::make_tuple(final_mean, final_std);
}

nb::object numpy_inverse_variance(const duv::Args &a, nb::handle means, nb::handle stds, nb::handle epsilon) {
    nb::object np = G("np");
    nb::object one = nb::float_(1.0);
    nb::object variances = duv::steal_checked(PyNumber_Power(stds.ptr(), nb::int_(2).ptr(), Py_None));
    nb::object inv = one / (variances + epsilon);
    nb::object weights = inv / np.attr("sum")(inv, "axis"_a = 0, "keepdims"_a = true);
    nb::object final_mean = np.attr("sum")(weights * means, "axis"_a = 0);
    nb::object final_variance = one / np.attr("sum")(inv, "axis"_a = 0);
    return nb::make_tuple(final_mean, np.attr("sqrt")(final_variance));
}

// The mixture's mean and variance; the variance as the weighted spread about the mean
// (law of total variance), which stays accurate when |mean| >> std.
nb::object numpy_mixture_core(const duv::Args &a, nb::handle means, nb::handle variances, nb::handle w,
                              nb::handle epsilon) {
    nb::object np = G("np");
    nb::object final_mean = np.attr("sum")(w * means, "axis"_a = 0);
    nb::object diff = means - final_mean;
    nb::object spread = duv::steal_checked(PyNumber_Power(diff.ptr(), nb::int_(2).ptr(), Py_None));
    nb::object final_variance = np.attr("sum")(w * (variances + spread), "axis"_a = 0);
    final_variance = np.attr("maximum")(final_variance, epsilon);
    return nb::make_tuple(final_mean, np.attr("sqrt")(final_variance));
}

// np.ones(k) / k, or np.asarray(weights) / np.sum(weights).
nb::object mixture_weights(const duv::Args &a, nb::handle means, nb::handle weights) {
    nb::object np = G("np");
    if (weights.is_none()) {
        nb::object k = shape_at(means, 0);
        return np.attr("ones")(k) / k;
    }
    nb::object w = np.attr("asarray")(weights);
    return w / np.attr("sum")(w);
}

// `w` already normalised (from mixture_weights) or invalid.
nb::object numpy_mixture(const duv::Args &a, nb::handle means, nb::handle stds, nb::handle weights, nb::handle epsilon,
                         nb::handle normalized = nb::handle()) {
    nb::object variances = duv::steal_checked(PyNumber_Power(stds.ptr(), nb::int_(2).ptr(), Py_None));
    nb::object w = normalized.is_valid() ? nb::borrow(normalized) : mixture_weights(a, means, weights);
    Py_ssize_t ndim = nb::cast<Py_ssize_t>(ATTR(means, "ndim"));
    nb::list shape;
    shape.append(-1);
    for (Py_ssize_t i = 1; i < ndim; ++i) shape.append(1);
    w = ATTR(w, "reshape")(nb::tuple(shape));
    return numpy_mixture_core(a, means, variances, w, epsilon);
}

// ---- kernels on whole stacks -------------------------------------------------------

struct StackViews {
    View means, stds;
    size_t k = 0, ncols = 0;
    nb::tuple out_shape;
};

// True if the kernels can take (means, stds) as they are.
bool stack_eligible(const duv::Args &a, nb::handle means, nb::handle stds, StackViews &v) {
    if (!exact_ndarray(a, means) || !exact_ndarray(a, stds)) return false;
    if (!v.means.acquire(means) || !v.stds.acquire(stds)) return false;
    if (v.means.kind != v.stds.kind || v.means.kind == 'i') return false;
    int ndim = v.means.b.ndim;
    if (ndim < 2 || v.stds.b.ndim != ndim) return false;
    nb::list shape;
    size_t ncols = 1;
    for (int i = 0; i < ndim; ++i) {
        if (v.means.b.shape[i] != v.stds.b.shape[i]) return false;
        if (i) {
            ncols *= v.means.dim(i);
            shape.append(v.means.b.shape[i]);
        }
    }
    v.k = v.means.dim(0);
    v.ncols = ncols;
    v.out_shape = nb::tuple(shape);
    return v.k > 0 && ncols > 0;
}

template <typename T, typename O>
bool run_stack(Method method, const StackViews &v, const double *w, double eps, O *om, O *os, bool &underflow) {
    nb::gil_scoped_release release;
    mk::FpWatch watch;
    mk::aggregate_stack<T, O>(method, v.k, v.ncols, v.means.data<T>(), v.stds.data<T>(), w, eps, om, os);
    underflow = watch.underflowed();
    return !watch.troubled();
}

// The kernel result for an eligible stack, or nothing when NumPy must do the work
// (unsupported epsilon or weights, or floating-point trouble that NumPy reports).
std::optional<nb::object> stack_kernel(const duv::Args &a, Method method, StackViews &v, nb::handle epsilon,
                                       nb::handle w) {
    bool single = v.means.kind == 'f';
    double eps = 0.0;
    if (method != Method::Simple && !kernel_epsilon(epsilon, single, eps)) return std::nullopt;
    View wv;
    const double *wp = nullptr;
    if (method == Method::Mixture && w.is_valid() && !w.is_none()) {
        if (!exact_ndarray(a, w) || !wv.acquire(w) || wv.kind != 'd' || wv.b.ndim != 1 || wv.dim(0) != v.k)
            return std::nullopt;
        wp = wv.data<double>();
    }
    nb::object np = G("np");
    bool wide = method == Method::Mixture || !single;
    nb::object dtype = np.attr(wide ? "float64" : "float32");
    nb::object om = np.attr("empty")(v.out_shape, "dtype"_a = dtype);
    nb::object os = np.attr("empty")(v.out_shape, "dtype"_a = dtype);
    View omv, osv;
    if (!omv.acquire(om, true) || !osv.acquire(os, true)) return std::nullopt;
    bool ok, underflow = false;
    if (!single)
        ok = run_stack<double, double>(method, v, wp, eps, omv.data<double>(), osv.data<double>(), underflow);
    else if (wide)
        ok = run_stack<float, double>(method, v, wp, eps, omv.data<double>(), osv.data<double>(), underflow);
    else
        ok = run_stack<float, float>(method, v, wp, eps, omv.data<float>(), osv.data<float>(), underflow);
    if (!ok || (underflow && underflow_reported(a))) return std::nullopt;
    return nb::make_tuple(om, os);
}

// np.argsort(values, axis=0)[:n_active] or np.argsort(values, axis=1)[:, :n_active] for a
// 2-D array; the kernel selects the head when ties cannot matter, NumPy sorts otherwise.
nb::object argsort_head(const duv::Args &a, nb::handle values, int axis, nb::handle n_active) {
    nb::object np = G("np");
    nb::object head = duv::steal_checked(PySlice_New(nullptr, n_active.ptr(), nullptr));
    View v;
    if (exact_ndarray(a, values) && v.acquire(values) && v.kind != 'i' && v.b.ndim == 2) {
        size_t len = v.dim(axis), n = v.dim(1 - axis);
        Py_ssize_t start, stop, step;
        if (PySlice_Unpack(head.ptr(), &start, &stop, &step) < 0) {
            PyErr_Clear();
        } else {
            PySlice_AdjustIndices((Py_ssize_t)len, &start, &stop, step);
            size_t h = stop > 0 ? (size_t)stop : 0;
            nb::object out =
                np.attr("empty")(axis == 0 ? nb::make_tuple(h, n) : nb::make_tuple(n, h), "dtype"_a = np.attr("intp"));
            View ov;
            if (ov.acquire(out, true) && ov.kind == 'i') {
                int64_t *o = ov.data<int64_t>();
                std::ptrdiff_t step_k = axis == 0 ? (std::ptrdiff_t)n : 1, line = axis == 0 ? 1 : (std::ptrdiff_t)len;
                std::ptrdiff_t o_step = axis == 0 ? (std::ptrdiff_t)n : 1, o_line = axis == 0 ? 1 : (std::ptrdiff_t)h;
                bool ok;
                {
                    nb::gil_scoped_release release;
                    ok = v.kind == 'd' ? mk::argsort_head(v.data<double>(), n, len, step_k, line, h, o, o_step, o_line)
                                       : mk::argsort_head(v.data<float>(), n, len, step_k, line, h, o, o_step, o_line);
                }
                if (ok) return out;
            }
        }
    }
    nb::object order = np.attr("argsort")(values, "axis"_a = axis);
    if (axis == 0) return order[head];
    return order[nb::make_tuple(duv::steal_checked(PySlice_New(nullptr, nullptr, nullptr)), head)];
}

// ---- module-level tasks (picklable by reference for joblib's process workers) -------

// estimator.predict(X, return_std=True, **kwargs)
nb::object call_predict(nb::handle estimator, nb::handle X, nb::handle kwargs) {
    nb::object predict = ATTR(estimator, "predict");
    nb::dict kw;
    kw[DUV_STR("return_std")] = nb::handle(Py_True);
    if (!kwargs.is_none()) {
        nb::dict extra =
            nb::borrow<nb::dict>(PyDict_Check(kwargs.ptr())
                                     ? nb::borrow(kwargs)
                                     : duv::steal_checked(PyObject_CallOneArg((PyObject *)&PyDict_Type, kwargs.ptr())));
        for (auto [key, value] : extra) {
            if (kw.contains(key)) {
                nb::object fs = function_str(predict);
                PyErr_Format(PyExc_TypeError, "%U got multiple values for keyword argument '%S'", fs.ptr(), key.ptr());
                throw nb::python_error();
            }
            kw[key] = value;
        }
    }
    nb::object args = nb::make_tuple(X);
    return duv::steal_checked(PyObject_Call(predict.ptr(), args.ptr(), kw.ptr()));
}

nb::object predict_expert(const duv::Args &a) { return call_predict(a[0], a[1], a[2]); }

// Clones and fits one expert; returns (expert, column means of X_sample, sample_indices).
nb::object fit_expert(const duv::Args &a) {
    nb::handle estimator = a[0], X_sample = a[1], y_sample = a[2], sample_indices = a[3];
    try {
        nb::object expert = G("clone")(estimator);
        ATTR(expert, "fit")(X_sample, y_sample);
        nb::object center = G("np").attr("mean")(X_sample, "axis"_a = 0);
        return nb::make_tuple(expert, center, sample_indices);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        duv::raise_wrapped(PyExc_RuntimeError, "Expert failed to fit: ", e);
    }
}

// ---- fitting -------------------------------------------------------------------------

void check_parameters(nb::handle self, nb::handle X) {
    nb::object zero = nb::int_(0);
    if (ATTR(self, "estimator").is_none()) duv::raise_value_error("estimator must be provided");
    nb::object n_estimators = ATTR(self, "n_estimators");
    if (duv::compare(n_estimators, zero, Py_LE)) raise_percent("n_estimators must be positive, got %d", n_estimators);
    nb::object n_active = ATTR(self, "n_active");
    if (duv::compare(n_active, zero, Py_LE)) raise_percent("n_active must be positive, got %d", n_active);
    n_active = ATTR(self, "n_active");
    n_estimators = ATTR(self, "n_estimators");
    if (duv::compare(n_active, n_estimators, Py_GT))
        raise_percent("n_active cannot exceed n_estimators, got %d > %d", nb::make_tuple(n_active, n_estimators));
    nb::object split = ATTR(self, "split");
    nb::object splits = nb::make_tuple("random", "kmeans");
    int found = PySequence_Contains(splits.ptr(), split.ptr());
    duv::check(found >= 0);
    if (!found) raise_percent("split must be 'random' or 'kmeans', got %s", split);
    nb::object routing = ATTR(self, "routing");
    nb::object routings = nb::make_tuple("confidence", "distance");
    found = PySequence_Contains(routings.ptr(), routing.ptr());
    duv::check(found >= 0);
    if (!found) raise_percent("routing must be 'confidence' or 'distance', got %s", routing);
    nb::object method = ATTR(self, "aggregation_method");
    nb::object methods = nb::make_tuple("mixture", "inverse_variance", "simple");
    found = PySequence_Contains(methods.ptr(), method.ptr());
    duv::check(found >= 0);
    if (!found) raise_percent("aggregation_method must be 'mixture', 'inverse_variance', or 'simple', got %s", method);
    nb::object factor = ATTR(self, "sampling_factor");
    if (duv::compare(factor, zero, Py_LE)) raise_percent("sampling_factor must be positive, got %f", factor);
    nb::object n_clusters = ATTR(self, "n_clusters");
    if (duv::compare(n_clusters, zero, Py_LE)) raise_percent("n_clusters must be positive, got %d", n_clusters);
    nb::object epsilon = ATTR(self, "epsilon");
    if (duv::compare(epsilon, zero, Py_LE)) raise_percent("epsilon must be positive, got %f", epsilon);
    if (equals(ATTR(self, "split"), "kmeans")) {
        n_clusters = ATTR(self, "n_clusters");
        nb::object n_rows = shape_at(X, 0);
        if (duv::compare(n_clusters, n_rows, Py_GT))
            raise_percent("n_clusters (%d) cannot exceed number of samples (%d)", nb::make_tuple(n_clusters, n_rows));
    }
}

// self.distance_cols_, or (outside fit) the mask derived from distance_cols without errors.
nb::object feature_mask(const duv::Args &a, nb::handle self, nb::handle X) {
    nb::object mask = duv::getattr_or_null(self, DUV_STR("distance_cols_"));
    if (mask.is_valid()) return mask;
    nb::object np = G("np");
    nb::object cols = duv::getattr_or_null(self, DUV_STR("distance_cols"));
    nb::object n_features = shape_at(X, 1);
    if (!cols.is_valid() || cols.is_none()) return np.attr("ones")(n_features, "dtype"_a = bool_type());
    mask = np.attr("asarray")(cols, "dtype"_a = bool_type());
    if (duv::compare(shape_at(mask, 0), n_features, Py_NE)) mask = np.attr("ones")(n_features, "dtype"_a = bool_type());
    return mask;
}

nb::object get_n_samples(const duv::Args &a) {
    nb::handle self = a[0], X = a[1];
    nb::object ratio = duv::steal_checked(PyNumber_TrueDivide(shape_at(X, 0).ptr(), ATTR(self, "n_estimators").ptr()));
    nb::object scaled = duv::steal_checked(PyNumber_Multiply(ratio.ptr(), ATTR(self, "sampling_factor").ptr()));
    nb::object n = G("max")(1, G("round")(scaled));
    ATTR(self, "n_samples_") = n;
    return n;
}

// Fits the experts on their drawn subsets and collects them in expert order.
void fit_experts(const duv::Args &a, nb::handle self, nb::handle sampled, bool threads) {
    nb::object task = G("delayed")(G("_fit_expert"));
    nb::list tasks;
    for (nb::handle data : sampled) {
        nb::tuple t = nb::borrow<nb::tuple>(data);
        tasks.append(task(ATTR(self, "estimator"), t[0], t[1], t[2]));
    }
    nb::object parallel = threads ? G("Parallel")("n_jobs"_a = ATTR(self, "n_jobs"), "backend"_a = "threading")
                                  : G("Parallel")("n_jobs"_a = ATTR(self, "n_jobs"));
    nb::object results = parallel(tasks);
    size_t i = 0;
    for (nb::handle r : results) {
        std::vector<nb::object> parts = unpack(r, 3);
        ATTR(ATTR(self, "estimators_"), "append")(parts[0]);
        nb::object centers = ATTR(self, "estimator_centers_");
        duv::check(PyObject_SetItem(centers.ptr(), nb::int_(i).ptr(), parts[1].ptr()) == 0);
        if (duv::truthy(ATTR(self, "copy_X_y_train"))) ATTR(ATTR(self, "estimator_train_indices_"), "append")(parts[2]);
        ++i;
    }
}

nb::object fit_random_split(const duv::Args &a) {
    nb::handle self = a[0], X = a[1], y = a[2];
    nb::object n_abs = ATTR(self, "_get_n_samples")(X);
    ATTR(self, "estimator_centers_") =
        G("np").attr("zeros")(nb::make_tuple(ATTR(self, "n_estimators"), shape_at(X, 1)));
    nb::list sampled;
    size_t n = range_count(ATTR(self, "n_estimators"));
    nb::object n_rows = nb::int_(PyObject_Length(X.ptr()));
    for (size_t i = 0; i < n; ++i) {
        nb::object idx = ATTR(ATTR(self, "random_state_"), "choice")(n_rows, "size"_a = n_abs, "replace"_a = true);
        sampled.append(nb::make_tuple(X[idx], y[idx], idx));
    }
    fit_experts(a, self, sampled, true);
    return nb::none();
}

nb::object fit_kmeans_split(const duv::Args &a) {
    nb::handle self = a[0], X = a[1], y = a[2];
    nb::object np = G("np");
    try {
        nb::object mask = feature_mask(a, self, X);
        nb::object X_masked = columns(X, mask);
        nb::object km = G("KMeans")("n_clusters"_a = ATTR(self, "n_clusters"),
                                    "random_state"_a = ATTR(self, "random_state_"), "n_init"_a = "auto");
        ATTR(self, "kmeans_") = ATTR(km, "fit")(X_masked);
        ATTR(self, "cluster_centers_masked_") = ATTR(ATTR(self, "kmeans_"), "cluster_centers_");
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        duv::raise_wrapped(PyExc_RuntimeError, "K-means clustering failed: ", e);
    }
    ATTR(self, "target_clusters_") =
        ATTR(ATTR(self, "random_state_"), "choice")(ATTR(self, "n_clusters"), ATTR(self, "n_estimators"));
    ATTR(self, "estimator_centers_") = np.attr("zeros")(nb::make_tuple(ATTR(self, "n_estimators"), shape_at(X, 1)));
    nb::object n_abs = ATTR(self, "_get_n_samples")(X);
    nb::object mask = feature_mask(a, self, X);
    nb::object all_distances = G("cdist")(columns(X, mask), ATTR(self, "cluster_centers_masked_"));
    nb::object all_weights = nb::float_(1.0) / (all_distances + ATTR(self, "epsilon"));
    all_weights = all_weights / np.attr("sum")(all_weights, "axis"_a = 0, "keepdims"_a = true);
    nb::list sampled;
    size_t n = range_count(ATTR(self, "n_estimators"));
    nb::object n_rows = nb::int_(PyObject_Length(X.ptr()));
    nb::object colon = duv::steal_checked(PySlice_New(nullptr, nullptr, nullptr));
    for (size_t i = 0; i < n; ++i) {
        nb::object target = nb::object(ATTR(self, "target_clusters_"))[nb::int_(i)];
        nb::object weights = all_weights[nb::make_tuple(colon, target)];
        nb::object idx =
            ATTR(ATTR(self, "random_state_"), "choice")(n_rows, "size"_a = n_abs, "replace"_a = true, "p"_a = weights);
        sampled.append(nb::make_tuple(X[idx], y[idx], idx));
    }
    fit_experts(a, self, sampled, false);
    return nb::none();
}

nb::object fit(const duv::Args &a) {
    nb::handle self = a[0];
    nb::object np = G("np");
    std::vector<nb::object> Xy =
        unpack(G("check_X_y")(a[1], a[2], "dtype"_a = G("FLOAT_DTYPES"), "multi_output"_a = true), 2);
    nb::object X = Xy[0], y = Xy[1];
    check_parameters(self, X);
    ATTR(self, "random_state_") = G("check_random_state")(ATTR(self, "random_state"));
    if (duv::truthy(ATTR(self, "copy_X_y_train"))) {
        ATTR(self, "X_train_") = ATTR(X, "copy")();
        ATTR(self, "y_train_") = ATTR(y, "copy")();
        ATTR(self, "estimator_train_indices_") = nb::list();
    }
    nb::object cols = ATTR(self, "distance_cols");
    if (cols.is_none()) {
        ATTR(self, "distance_cols_") = np.attr("ones")(shape_at(X, 1), "dtype"_a = bool_type());
    } else {
        nb::object mask = np.attr("asarray")(cols, "dtype"_a = bool_type());
        nb::object n_features = shape_at(X, 1), length = shape_at(mask, 0);
        if (duv::compare(length, n_features, Py_NE))
            raise_percent("distance_cols mask length must equal n_features (%d), got %d",
                          nb::make_tuple(n_features, length));
        if (!duv::truthy(np.attr("any")(mask))) duv::raise_value_error("distance_cols must select at least one column");
        ATTR(self, "distance_cols_") = mask;
    }
    ATTR(self, "estimators_") = nb::list();
    try {
        nb::object split = ATTR(self, "split");
        if (equals(split, "random"))
            ATTR(self, "_fit_random_split")(X, y);
        else if (equals(split, "kmeans"))
            ATTR(self, "_fit_kmeans_split")(X, y);
    } catch (...) {
        // A failed fit must not look fitted: no partial expert list survives it.
        if (PyObject_DelAttr(self.ptr(), DUV_STR("estimators_").ptr()) != 0) PyErr_Clear();
        throw;
    }
    return nb::borrow(self);
}

// ---- prediction ----------------------------------------------------------------------

nb::object predict(const duv::Args &a) {
    nb::handle self = a[0], return_std = a[2], kwargs = a[3];
    G("check_is_fitted")(self, duv::list_of("estimators_"));
    nb::object X = G("check_array")(a[1], "dtype"_a = G("FLOAT_DTYPES"));
    nb::object routing = ATTR(self, "routing");
    nb::object route;
    if (equals(routing, "confidence"))
        route = ATTR(self, "_route_confidence");
    else if (equals(routing, "distance"))
        route = ATTR(self, "_route_distance");
    else
        duv::raise_value_error("Unknown routing strategy: " + duv::format(routing));
    nb::object args = nb::make_tuple(X);
    std::vector<nb::object> r = unpack(duv::steal_checked(PyObject_Call(route.ptr(), args.ptr(), kwargs.ptr())), 2);
    if (duv::truthy(return_std)) return nb::make_tuple(r[0], r[1]);
    return r[0];
}

nb::object route_confidence(const duv::Args &a) {
    nb::handle self = a[0], X = a[1], kwargs = a[2];
    nb::object np = G("np");
    nb::object task = G("delayed")(G("_predict_expert"));
    nb::list tasks;
    for (nb::handle est : ATTR(self, "estimators_")) tasks.append(task(est, X, kwargs));
    nb::object all_predictions = G("Parallel")("n_jobs"_a = ATTR(self, "n_jobs"))(tasks);
    nb::list preds, stds;
    for (nb::handle p : all_predictions) preds.append(p[nb::int_(0)]);
    for (nb::handle p : all_predictions) stds.append(p[nb::int_(1)]);
    nb::object all_preds = np.attr("array")(preds), all_stds = np.attr("array")(stds);
    nb::object active_preds, active_stds;
    if (duv::compare(ATTR(all_stds, "ndim"), nb::int_(3), Py_EQ)) {
        nb::object mean_stds = np.attr("mean")(all_stds, "axis"_a = 2);
        nb::object active = argsort_head(a, mean_stds, 0, ATTR(self, "n_active"));
        nb::object colon = duv::steal_checked(PySlice_New(nullptr, nullptr, nullptr));
        nb::object gather = active[nb::make_tuple(colon, colon, nb::none())];
        active_preds = np.attr("take_along_axis")(all_preds, gather, "axis"_a = 0);
        active_stds = np.attr("take_along_axis")(all_stds, gather, "axis"_a = 0);
    } else {
        nb::object active = argsort_head(a, all_stds, 0, ATTR(self, "n_active"));
        active_preds = np.attr("take_along_axis")(all_preds, active, "axis"_a = 0);
        active_stds = np.attr("take_along_axis")(all_stds, active, "axis"_a = 0);
    }
    std::vector<nb::object> r = unpack(ATTR(self, "_aggregate_predictions")(active_preds, active_stds), 2);
    return nb::make_tuple(r[0], r[1]);
}

// One expert's predictions for its rows, checked against the layout and converted.
struct GroupResult {
    nb::object means, stds;
    View mv, sv;
};

template <typename T>
bool run_routed(Method method, size_t n, size_t k, size_t width, const std::vector<int64_t> &active,
                const std::vector<int64_t> &pos, const std::vector<GroupResult *> &groups, const double *w, double eps,
                double *om, double *os, bool &underflow) {
    std::vector<const T *> gm(groups.size(), nullptr), gs(groups.size(), nullptr);
    for (size_t j = 0; j < groups.size(); ++j)
        if (groups[j]) {
            gm[j] = groups[j]->mv.template data<T>();
            gs[j] = groups[j]->sv.template data<T>();
        }
    nb::gil_scoped_release release;
    mk::FpWatch watch;
    mk::aggregate_routed<T>(method, n, k, width, active.data(), pos.data(), gm.data(), gs.data(), w, eps, om, os);
    underflow = watch.underflowed();
    return !watch.troubled();
}

// The per-row stacks side by side, shape (k, n) or (k, n, width), for the NumPy path.
template <typename T>
nb::object gathered(const duv::Args &a, nb::handle dtype, size_t n, size_t k, size_t width, bool multi,
                    const std::vector<int64_t> &active, const std::vector<int64_t> &pos,
                    const std::vector<GroupResult *> &groups, bool stds) {
    nb::object shape = multi ? nb::make_tuple(k, n, width) : nb::make_tuple(k, n);
    nb::object out = G("np").attr("empty")(shape, "dtype"_a = dtype);
    View ov;
    if (!ov.acquire(out, true)) throw std::runtime_error("cannot write a fresh array");
    std::vector<const T *> g(groups.size(), nullptr);
    for (size_t j = 0; j < groups.size(); ++j)
        if (groups[j]) g[j] = (stds ? groups[j]->sv : groups[j]->mv).template data<T>();
    mk::gather_routed<T>(n, k, width, active.data(), pos.data(), g.data(), ov.data<T>());
    return out;
}

// The class's own aggregation methods, to tell them from overrides.
constexpr const char *kAggregationMethods[] = {"_aggregate_predictions", "_simple_aggregation",
                                               "_inverse_variance_aggregation", "_mixture_aggregation"};
PyObject *own_aggregation[4] = {};

// True if an instance or a subclass replaces one of the aggregation methods: distance
// routing then hands every row's stacks to them, as the row-at-a-time steps do.
bool aggregation_overridden(nb::handle self) {
    for (int i = 0; i < 4; ++i) {
        nb::object bound = self.attr(kAggregationMethods[i]);
        if (!PyMethod_Check(bound.ptr()) || PyMethod_GET_FUNCTION(bound.ptr()) != own_aggregation[i] ||
            PyMethod_GET_SELF(bound.ptr()) != self.ptr())
            return true;
    }
    return false;
}

nb::object route_distance(const duv::Args &a) {
    nb::handle self = a[0], X = a[1], kwargs = a[2];
    nb::object np = G("np");
    nb::object mask = feature_mask(a, self, X);
    nb::object X_masked = columns(X, mask);
    nb::object centers_masked = columns(ATTR(self, "estimator_centers_"), mask);
    nb::object all_distances = G("cdist")(X_masked, centers_masked);
    nb::object colon = duv::steal_checked(PySlice_New(nullptr, nullptr, nullptr));
    nb::object active_indices = argsort_head(a, all_distances, 1, ATTR(self, "n_active"));

    // The first row's nearest expert sets the output layout (looked up here so that a
    // missing expert fails as it would for that row).
    nb::object estimators = ATTR(self, "estimators_");
    nb::object first = estimators[active_indices[nb::make_tuple(0, 0)]];

    nb::object intp = np.attr("intp");
    nb::object active_arr = np.attr("ascontiguousarray")(active_indices, "dtype"_a = intp);
    View av;
    if (!av.acquire(active_arr) || av.kind != 'i' || av.b.ndim != 2) throw std::runtime_error("unexpected index array");
    size_t n = av.dim(0), k = av.dim(1);
    size_t n_experts = (size_t)PyObject_Length(estimators.ptr());
    if (PyErr_Occurred()) throw nb::python_error();
    std::vector<size_t> offsets;
    std::vector<int64_t> rows, pos, active(av.data<int64_t>(), av.data<int64_t>() + n * k);
    if (!mk::group_rows(active.data(), n, k, n_experts, offsets, rows, pos))
        duv::raise(PyExc_IndexError, "list index out of range");

    // Each expert predicts all of its rows in one call.
    nb::object rows_arr = np.attr("empty")(n * k, "dtype"_a = intp);
    {
        View rv;
        if (!rv.acquire(rows_arr, true) || rv.kind != 'i') throw std::runtime_error("cannot write a fresh array");
        std::copy(rows.begin(), rows.end(), rv.data<int64_t>());
    }
    nb::object task = G("delayed")(G("_predict_expert"));
    nb::list tasks;
    std::vector<size_t> experts;
    for (size_t j = 0; j < n_experts; ++j) {
        if (offsets[j + 1] == offsets[j]) continue;
        nb::object sel = rows_arr[duv::steal_checked(
            PySlice_New(nb::int_(offsets[j]).ptr(), nb::int_(offsets[j + 1]).ptr(), nullptr))];
        tasks.append(task(estimators[nb::int_(j)], X[sel], kwargs));
        experts.push_back(j);
    }
    nb::object results = G("Parallel")("n_jobs"_a = ATTR(self, "n_jobs"))(tasks);

    std::vector<GroupResult> group_results(experts.size());
    std::vector<std::vector<nb::object>> pairs;
    for (nb::handle r : results) {
        if (pairs.size() >= experts.size()) break;
        pairs.push_back(unpack(r, 2));
    }
    if (pairs.size() != experts.size()) duv::raise_value_error("expert predictions are missing");
    size_t g0 = (size_t)(std::find(experts.begin(), experts.end(), (size_t)active[0]) - experts.begin());
    bool multi = duv::compare(np.attr("ndim")(pairs[g0][0]), nb::int_(2), Py_EQ);
    size_t width = multi ? nb::cast<size_t>(shape_at(pairs[g0][0], 1)) : 1;
    bool all_single = true;
    for (size_t g = 0; g < experts.size(); ++g) {
        const std::vector<nb::object> &pair = pairs[g];
        size_t j = experts[g], m = offsets[j + 1] - offsets[j];
        nb::object expected = multi ? nb::make_tuple(m, width) : nb::make_tuple(m);
        for (int t = 0; t < 2; ++t) {
            nb::object arr = np.attr("asarray")(pair[t]);
            if (duv::compare(ATTR(arr, "shape"), expected, Py_NE))
                duv::raise_value_error("expert " + std::to_string(j) + " returned " +
                                       (t ? "standard deviations" : "predictions") + " of shape " +
                                       duv::format(ATTR(arr, "shape")) + " for " + std::to_string(m) +
                                       " rows, expected " + duv::format(expected));
            if (!equals(ATTR(ATTR(arr, "dtype"), "char"), "f")) all_single = false;
            (t ? group_results[g].stds : group_results[g].means) = arr;
        }
    }
    nb::object dtype = np.attr(all_single ? "float32" : "float64");
    std::vector<GroupResult *> groups(n_experts, nullptr);
    for (size_t t = 0; t < experts.size(); ++t) {
        GroupResult &gr = group_results[t];
        gr.means = np.attr("ascontiguousarray")(gr.means, "dtype"_a = dtype);
        gr.stds = np.attr("ascontiguousarray")(gr.stds, "dtype"_a = dtype);
        if (!gr.mv.acquire(gr.means) || !gr.sv.acquire(gr.stds)) throw std::runtime_error("unexpected array");
        groups[experts[t]] = &gr;
    }

    // The aggregation each row gets: distance-weighted mixture, or the configured method.
    nb::object agg = ATTR(self, "aggregation_method");
    bool weighted = equals(agg, "mixture") && k > 1;
    if (aggregation_overridden(self)) {
        nb::object P = all_single ? gathered<float>(a, dtype, n, k, width, multi, active, pos, groups, false)
                                  : gathered<double>(a, dtype, n, k, width, multi, active, pos, groups, false);
        nb::object S = all_single ? gathered<float>(a, dtype, n, k, width, multi, active, pos, groups, true)
                                  : gathered<double>(a, dtype, n, k, width, multi, active, pos, groups, true);
        nb::object w;
        if (weighted) {
            nb::object d = np.attr("take_along_axis")(all_distances, active_arr, "axis"_a = 1);
            w = nb::float_(1.0) / (d + ATTR(self, "epsilon"));
            w = w / np.attr("sum")(w, "axis"_a = 1, "keepdims"_a = true);
        }
        nb::object out_shape = multi ? nb::make_tuple(n, width) : nb::make_tuple(n);
        nb::object final_preds = np.attr("zeros")(out_shape), final_stds = np.attr("zeros")(out_shape);
        nb::object zero = nb::int_(0);
        for (size_t i = 0; i < n; ++i) {
            nb::object row = duv::steal_checked(PySlice_New(nb::int_(i).ptr(), nb::int_(i + 1).ptr(), nullptr));
            nb::object pm = ATTR(P[nb::make_tuple(colon, row)], "copy")();
            nb::object ps = ATTR(S[nb::make_tuple(colon, row)], "copy")();
            nb::object r = weighted ? ATTR(self, "_mixture_aggregation")(pm, ps, w[nb::int_(i)])
                                    : ATTR(self, "_aggregate_predictions")(pm, ps);
            std::vector<nb::object> pair = unpack(r, 2);
            final_preds[nb::int_(i)] = pair[0][zero];
            final_stds[nb::int_(i)] = pair[1][zero];
        }
        return nb::make_tuple(final_preds, final_stds);
    }
    Method method;
    if (weighted)
        method = Method::Mixture;
    else if (equals(agg, "simple"))
        method = Method::Simple;
    else if (equals(agg, "inverse_variance"))
        method = Method::InverseVariance;
    else if (equals(agg, "mixture"))
        method = Method::Mixture;
    else
        duv::raise_value_error("Unknown aggregation method: " + duv::format(agg));
    nb::object epsilon = ATTR(self, "epsilon");
    nb::object weights;
    View wv;
    if (weighted) {
        nb::object d = np.attr("take_along_axis")(all_distances, active_arr, "axis"_a = 1);
        weights = nb::float_(1.0) / (d + epsilon);
        weights = weights / np.attr("sum")(weights, "axis"_a = 1, "keepdims"_a = true);
        weights = weights / np.attr("sum")(weights, "axis"_a = 1, "keepdims"_a = true);
        weights = np.attr("ascontiguousarray")(weights, "dtype"_a = np.attr("float64"));
        if (!wv.acquire(weights) || wv.kind != 'd') throw std::runtime_error("unexpected weights");
    }
    double eps = method == Method::Simple ? 0.0 : duv::to_double(epsilon);

    nb::object out_shape = multi ? nb::make_tuple(n, width) : nb::make_tuple(n);
    nb::object final_preds = np.attr("empty")(out_shape, "dtype"_a = np.attr("float64"));
    nb::object final_stds = np.attr("empty")(out_shape, "dtype"_a = np.attr("float64"));
    bool ok, underflow = false;
    {
        View pv, sv;
        if (!pv.acquire(final_preds, true) || !sv.acquire(final_stds, true))
            throw std::runtime_error("cannot write a fresh array");
        const double *wp = weighted ? wv.data<double>() : nullptr;
        ok = all_single ? run_routed<float>(method, n, k, width, active, pos, groups, wp, eps, pv.data<double>(),
                                            sv.data<double>(), underflow)
                        : run_routed<double>(method, n, k, width, active, pos, groups, wp, eps, pv.data<double>(),
                                             sv.data<double>(), underflow);
    }
    if (ok && !(underflow && underflow_reported(a))) return nb::make_tuple(final_preds, final_stds);

    // Floating-point trouble: NumPy computes (and reports) it on the stacks side by side.
    nb::object P = all_single ? gathered<float>(a, dtype, n, k, width, multi, active, pos, groups, false)
                              : gathered<double>(a, dtype, n, k, width, multi, active, pos, groups, false);
    nb::object S = all_single ? gathered<float>(a, dtype, n, k, width, multi, active, pos, groups, true)
                              : gathered<double>(a, dtype, n, k, width, multi, active, pos, groups, true);
    nb::object res;
    if (method == Method::Simple) {
        res = numpy_simple(a, P, S);
    } else if (method == Method::InverseVariance) {
        res = numpy_inverse_variance(a, P, S, epsilon);
    } else if (weighted) {
        nb::object w = ATTR(weights, "T");
        if (multi) w = w[nb::make_tuple(colon, colon, nb::none())];
        nb::object variances = duv::steal_checked(PyNumber_Power(S.ptr(), nb::int_(2).ptr(), Py_None));
        res = numpy_mixture_core(a, P, variances, w, epsilon);
    } else {
        res = numpy_mixture(a, P, S, nb::none(), epsilon);
    }
    nb::object f64 = np.attr("float64");
    return nb::make_tuple(np.attr("asarray")(nb::tuple(res)[0], "dtype"_a = f64),
                          np.attr("asarray")(nb::tuple(res)[1], "dtype"_a = f64));
}

// ---- aggregation methods -----------------------------------------------------------------

nb::object aggregate_predictions(const duv::Args &a) {
    nb::handle self = a[0], weights = a[3];
    nb::object np = G("np");
    nb::object means = np.attr("asarray")(a[1]), stds = np.attr("asarray")(a[2]);
    nb::object method = ATTR(self, "aggregation_method");
    if (equals(method, "simple")) return ATTR(self, "_simple_aggregation")(means, stds);
    if (equals(method, "inverse_variance")) return ATTR(self, "_inverse_variance_aggregation")(means, stds);
    if (equals(method, "mixture")) return ATTR(self, "_mixture_aggregation")(means, stds, weights);
    duv::raise_value_error("Unknown aggregation method: " + duv::format(method));
}

nb::object simple_aggregation(const duv::Args &a) {
    nb::handle means = a[1], stds = a[2];
    StackViews v;
    if (stack_eligible(a, means, stds, v))
        if (auto r = stack_kernel(a, Method::Simple, v, nb::handle(), nb::handle())) return *r;
    return numpy_simple(a, means, stds);
}

nb::object inverse_variance_aggregation(const duv::Args &a) {
    nb::handle self = a[0], means = a[1], stds = a[2];
    nb::object epsilon = ATTR(self, "epsilon");
    StackViews v;
    if (stack_eligible(a, means, stds, v))
        if (auto r = stack_kernel(a, Method::InverseVariance, v, epsilon, nb::handle())) return *r;
    return numpy_inverse_variance(a, means, stds, epsilon);
}

nb::object mixture_aggregation(const duv::Args &a) {
    nb::handle self = a[0], means = a[1], stds = a[2], weights = a[3];
    nb::object epsilon = ATTR(self, "epsilon");
    StackViews v;
    if (!stack_eligible(a, means, stds, v)) return numpy_mixture(a, means, stds, weights, epsilon);
    // With float stacks `stds ** 2` cannot fail, so normalising the weights first keeps
    // NumPy's order of errors.
    nb::object w = weights.is_none() ? nb::none() : mixture_weights(a, means, weights);
    if (auto r = stack_kernel(a, Method::Mixture, v, epsilon, w)) return *r;
    if (w.is_none()) return numpy_mixture(a, means, stds, weights, epsilon);
    return numpy_mixture(a, means, stds, weights, epsilon, w);
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

    duv::def(m, "_fit_expert",
             {duv::arg("estimator"), duv::arg("X_sample"), duv::arg("y_sample"), duv::arg("sample_indices")},
             fit_expert);
    duv::def(m, "_predict_expert", {duv::arg("estimator"), duv::arg("X"), duv::arg("kwargs")}, predict_expert);

    // RegressorMixin first, so that scikit-learn's tags see the estimator type.
    duv::ClassBuilder cls(m, "MixtureOfExpertsRegressor", {m.attr("RegressorMixin"), m.attr("BaseEstimator")});
    cls.def("__init__",
            {duv::arg("self"), duv::arg("estimator", nb::none()), duv::arg("n_estimators", 10),
             duv::arg("split", "kmeans"), duv::arg("sampling_factor", 2.0), duv::arg("n_clusters", 5),
             duv::arg("random_state", nb::none()), duv::arg("routing", "confidence"), duv::arg("n_active", 2),
             duv::arg("aggregation_method", "mixture"), duv::arg("copy_X_y_train", true), duv::arg("epsilon", 1e-09),
             duv::arg("n_jobs", nb::none()), duv::arg("distance_cols", nb::none())},
            duv::store_params);
    cls.def("fit", {duv::arg("self"), duv::arg("X"), duv::arg("y")}, fit);
    cls.def("_fit_random_split", {duv::arg("self"), duv::arg("X"), duv::arg("y")}, fit_random_split);
    cls.def("_fit_kmeans_split", {duv::arg("self"), duv::arg("X"), duv::arg("y")}, fit_kmeans_split);
    cls.def("_get_n_samples", {duv::arg("self"), duv::arg("X")}, get_n_samples);
    cls.def("predict", {duv::arg("self"), duv::arg("X"), duv::arg("return_std", false), duv::varkw("kwargs")}, predict);
    cls.def("_route_confidence", {duv::arg("self"), duv::arg("X"), duv::varkw("kwargs")}, route_confidence);
    cls.def("_route_distance", {duv::arg("self"), duv::arg("X"), duv::varkw("kwargs")}, route_distance);
    nb::object own[] = {
        cls.def("_aggregate_predictions",
                {duv::arg("self"), duv::arg("means"), duv::arg("stds"), duv::arg("weights", nb::none())},
                aggregate_predictions),
        cls.def("_simple_aggregation", {duv::arg("self"), duv::arg("means"), duv::arg("stds")}, simple_aggregation),
        cls.def("_inverse_variance_aggregation", {duv::arg("self"), duv::arg("means"), duv::arg("stds")},
                inverse_variance_aggregation),
        cls.def("_mixture_aggregation",
                {duv::arg("self"), duv::arg("means"), duv::arg("stds"), duv::arg("weights", nb::none())},
                mixture_aggregation)};
    for (int i = 0; i < 4; ++i) own_aggregation[i] = own[i].release().ptr();
    cls.build();
}
