#include "duv/metrics/fused_metrics.hpp"

#include "duv/interop/buffer.hpp"
#include "duv/interop/capi.hpp"
#include "duv/interop/unlocked.hpp"
#include "duv/interop/util.hpp"

namespace duv::metrics {

namespace ms = kernels::metric_sums;
using kernels::Dtype;
using kernels::FpFlags;
using kernels::Matrix;

void MetricState::take(nb::handle module, nb::handle helpers_module) {
    steps.take(module);
    logs.take(module);
    if (helpers_module.is_valid()) helpers = keep(helpers_module);
}

void LogMetricsState::take(nb::handle module) {
    MetricState::take(module);
    checks.take(module);
    nan_policy.take(module);
    mean.take(module);
    nb::handle np = checks["np"];
    ndarray = keep(np.attr("ndarray"));
    float64 = keep(np.attr("float64"));
    log1p.init(*this, np, "log1p", -1.0, -2.0);
    log10.init(*this, np, "log10", 0.0, -1.0);
}

namespace {

// One metric call on the kernel's road.
struct Call : Metric {
    const Globals &g;           // the metric's module
    const MetricState &st;      // its state
    const LogMetricsState &hs;  // that of _log_metrics: NumPy's objects and logarithms
    const Inputs &in;

    nb::handle np() const { return hs.checks["np"]; }
    const NumpyLog *log() const {
        return family == Family::None ? nullptr : family == Family::Log10 ? &hs.log10 : &hs.log1p;
    }
};

// Targets, predictions and weights as kernel matrices, with the views that keep them readable.
struct KernelInputs {
    ArrayView t, p, w;
    Matrix yt, yp, weights;              // weights.data is null when unweighted
    nb::handle multioutput;              // a string, or per-output weights
    std::vector<double> output_weights;  // those weights

    // The per-output weights from a 1-D float64 view of `k` of them.
    bool take_output_weights(const ArrayView &mo, std::ptrdiff_t k) {
        if (!mo.has(Dtype::F64) || mo.ndim() != 1 || mo.shape(0) != k) return false;
        for (std::ptrdiff_t j = 0; j < k; ++j)
            output_weights.push_back(*reinterpret_cast<const double *>(mo.data() + j * mo.stride(0)));
        return true;
    }
};

bool is_ndarray(const Call &c, nb::handle o) {
    return Py_TYPE(o.ptr()) == reinterpret_cast<PyTypeObject *>(c.hs.ndarray.ptr());
}

nb::object as_float_array(const Call &c, nb::handle o) { return c.np().attr("asarray")(o, "dtype"_a = float_type()); }

// A list or tuple of exact ints and floats: converting it to an array runs no user code.
bool exact_numbers(nb::handle seq) {
    PyObject *o = seq.ptr();
    if (!PyList_CheckExact(o) && !PyTuple_CheckExact(o)) return false;
    for (Py_ssize_t i = 0, n = fast_size(o); i < n; ++i) {
        PyObject *x = fast_item(o, i);
        if (!PyFloat_CheckExact(x) && !PyLong_CheckExact(x)) return false;
    }
    return true;
}

// nan_policy as an exact "raise" or "drop" (true for "drop"; "raise" when the metric has
// none); nullopt for anything else.
std::optional<bool> exact_drop(nb::handle nan_policy) {
    if (!nan_policy.is_valid()) return false;
    if (!PyUnicode_CheckExact(nan_policy.ptr())) return std::nullopt;
    if (PyUnicode_CompareWithASCIIString(nan_policy.ptr(), "raise") == 0) return false;
    if (PyUnicode_CompareWithASCIIString(nan_policy.ptr(), "drop") == 0) return true;
    return std::nullopt;
}

// eps as a float already, so that float(eps) runs no user code (true when there is none).
bool eps_is_float(const Call &c) {
    PyObject *eps = c.in.eps.ptr();
    return !eps || PyFloat_CheckExact(eps) || Py_TYPE(eps) == reinterpret_cast<PyTypeObject *>(c.hs.float64.ptr());
}

// A 1-D or 2-D float64 view as an (n, k) matrix.
bool float64_matrix(const ArrayView &v, Matrix &m) {
    if (!v.has(Dtype::F64) || v.ndim() < 1 || v.ndim() > 2) return false;
    m = v.matrix(Dtype::F64);
    return true;
}

// `o` as a 1-D float64 vector of `length`, when it is an ndarray of that kind or a list or
// tuple of exact numbers; empty otherwise.
ArrayView plain_vector(const Call &c, nb::handle o, std::ptrdiff_t length) {
    ArrayView v;
    if (is_ndarray(c, o)) {
        v = ArrayView(o);
    } else if (exact_numbers(o)) {
        try {
            v = ArrayView(as_float_array(c, o));
        } catch (nb::python_error &) {
            return {};
        }
    }
    if (!v.has(Dtype::F64) || v.ndim() != 1 || v.shape(0) != length) return {};
    return v;
}

bool take_plain_multioutput(const Call &c, KernelInputs &A) {
    PyObject *mo = c.in.multioutput.ptr();
    A.multioutput = mo;
    if (PyUnicode_CheckExact(mo))
        return PyUnicode_CompareWithASCIIString(mo, "raw_values") == 0 ||
               PyUnicode_CompareWithASCIIString(mo, "uniform_average") == 0;
    return A.take_output_weights(plain_vector(c, mo, A.yt.m), A.yt.m);
}

// Inputs that may go to the kernel before scikit-learn's checks: float64 ndarrays (which
// check_array returns unchanged once their values are finite; the kernel reports any that
// is not), weights whose conversion runs no user code, and exact option strings.
bool take_unchecked(const Call &c, KernelInputs &A, bool &drop) {
    if (!is_ndarray(c, c.in.y_true) || !is_ndarray(c, c.in.y_pred)) return false;
    std::optional<bool> exact = exact_drop(c.in.nan_policy);
    if (!exact) return false;
    drop = *exact;
    A.t = ArrayView(c.in.y_true);
    A.p = ArrayView(c.in.y_pred);
    if (!float64_matrix(A.t, A.yt) || !float64_matrix(A.p, A.yp)) return false;
    if (A.yt.n < 1 || A.yt.m < 1 || A.yt.n != A.yp.n || A.yt.m != A.yp.m) return false;
    if (!c.in.sample_weight.is_none()) {
        A.w = plain_vector(c, c.in.sample_weight, A.yt.n);
        if (!A.w) return false;
        A.weights = A.w.matrix(Dtype::F64);
    }
    return take_plain_multioutput(c, A);
}

// A checked target array as a 2-D float64 matrix (converted again should a configured
// check_array have returned something else).
ArrayView checked_matrix(const Call &c, nb::handle o, Matrix &m) {
    ArrayView v(o);
    if (!v.has(Dtype::F64) || v.ndim() != 2) {
        v = ArrayView(as_float_array(c, o));
        if (!v.has(Dtype::F64) || v.ndim() != 2) raise(PyExc_TypeError, "expected a 2-D float64 array");
    }
    m = v.matrix(Dtype::F64);
    return v;
}

// The tuple that _check_y_true_pred_sample_weight returned.
void take_checked(const Call &c, nb::handle checked, KernelInputs &A) {
    auto item = [&](Py_ssize_t i) { return nb::handle(tuple_item(checked.ptr(), i)); };
    A.t = checked_matrix(c, item(0), A.yt);
    A.p = checked_matrix(c, item(1), A.yp);
    if (!item(2).is_none()) {
        A.w = ArrayView(item(2));
        if (!A.w.has(Dtype::F64) || A.w.ndim() != 1) raise(PyExc_TypeError, "expected 1-D float64 weights");
        A.weights = A.w.matrix(Dtype::F64);
    }
    A.multioutput = item(3);
    if (!PyUnicode_Check(A.multioutput.ptr()) && !A.take_output_weights(ArrayView(A.multioutput), A.yt.m))
        raise(PyExc_TypeError, "expected 1-D float64 output weights");
}

ms::Options options(const Call &c, bool drop) {
    ms::Options o;
    o.family = c.family;
    o.kind = c.kind;
    o.drop = drop;
    if (c.in.eps.is_valid() && eps_is_float(c)) o.eps = float_value(c.in.eps.ptr());
    if (const NumpyLog *log = c.log()) {
        o.transform = log->transform();
        o.ctx = log;
    }
    return o;
}

ms::Result run_kernel(const Call &c, const KernelInputs &A, const ms::Options &o) {
    auto run = [&] { return ms::run(A.yt, A.yp, A.weights, o); };
    if (c.log() && !c.log()->direct()) {
        IgnoringNumpyErrors quiet(c.np());  // the ufunc object runs on each block, with the GIL
        return run();
    }
    return run_unlocked(A.yt.n * A.yt.m, run);
}

void replay_log_warnings(const Call &c, const ms::Result &r) {
    if (!c.log()) return;
    c.log()->replay(r.true_flags);
    c.log()->replay(r.pred_flags);
}

// What _prepare_logs says about the logarithms, in its order: the domain check, NumPy's
// warnings for the logarithms, the finiteness check, no row left by nan_policy="drop".
void raise_as_prepare_logs(const Call &c, const ms::Result &r) {
    if (r.status == ms::Status::Domain) raise_domain_error(c.family);
    replay_log_warnings(c, r);
    if (r.status == ms::Status::NonFinite) raise_value_error(kNonFiniteMessage);
    if (r.status == ms::Status::AllDropped) raise_value_error(kAllDroppedMessage);
}

// The metric's numbers, before anything is said to Python.
struct Numbers {
    enum { kValue, kUndefined, kZeroWeights } what = kValue;
    std::vector<double> per;  // one value per output
    double value = 0.0;       // the average over outputs unless "raw_values"
    bool raw = false;
    bool fp_exception = false;  // NumPy's arithmetic would have warned: redo it in NumPy
};

Numbers numbers_of(Kind kind, const ms::Result &r, const KernelInputs &A) {
    Numbers x;
    const bool weighted = A.weights.data != nullptr;
    const bool weightless = weighted && r.weight_sum == 0.0;
    // R² and the fraction of variance unexplained stop before any arithmetic of theirs.
    if (ms::is_variance(kind) && (r.n_kept < 2 || weightless)) {
        x.what = r.n_kept < 2 ? Numbers::kUndefined : Numbers::kZeroWeights;
        return x;
    }
    x.fp_exception = r.fp_exception;
    if (weightless) {
        x.what = Numbers::kZeroWeights;
        return x;
    }
    FpFlags flags;
    x.per = ms::per_output(kind, r, weighted);
    // _aggregate_multioutput's reduction.
    if (A.output_weights.empty()) x.raw = compare(A.multioutput, DUV_STR("raw_values"), Py_EQ);
    if (!x.raw && !ms::average(x.per, A.output_weights, x.value)) x.what = Numbers::kZeroWeights;
    x.fp_exception |= FpFlags::troubled();
    return x;
}

nb::object present(const Call &c, const Numbers &x) {
    switch (x.what) {
    case Numbers::kUndefined: return warn_undefined(c.g, c.kind);
    case Numbers::kZeroWeights: raise_zero_weights();
    case Numbers::kValue: break;
    }
    if (x.raw) return float64_vector(c.np(), x.per);
    return nb::float_(x.value);
}

// Checked inputs on which NumPy's arithmetic raises floating-point warnings: the logarithm
// has had its say already, so it is taken again quietly before the arithmetic.
nb::object numpy_after_quiet_logs(const Call &c, nb::handle checked, bool drop, nb::handle eps) {
    auto item = [&](Py_ssize_t i) { return nb::borrow(tuple_item(checked.ptr(), i)); };
    Prepared p{item(0), item(1), item(2), item(3)};
    if (c.family != Family::None) {
        nb::object np = c.g["np"];
        nb::object transform = np.attr(family_name(c.family));
        {
            IgnoringNumpyErrors quiet(np);
            p.lt = transform(p.lt);
            p.lp = transform(p.lp);
        }
        if (drop) {
            nb::object rows = finite_rows(np, p.lt, p.lp);
            p.lt = getitem(p.lt, rows);
            p.lp = getitem(p.lp, rows);
            if (!p.sw.is_none()) p.sw = getitem(p.sw, rows);
        }
    }
    return c.arithmetic(c.g, c.kind, p, eps);
}

// Float64 ndarrays and exact options go to the kernel before any check; nullopt when the
// inputs are not of that kind or the kernel found something that the checked road must
// report (a non-finite input, a negative weight, a domain error, a floating-point warning).
std::optional<nb::object> unchecked_road(const Call &c) {
    KernelInputs A;
    bool drop = false;
    if (!eps_is_float(c) || !take_unchecked(c, A, drop)) return std::nullopt;
    ms::Options o = options(c, drop);
    o.unchecked = true;
    ms::Result r = run_kernel(c, A, o);
    if (r.status != ms::Status::Ok) return std::nullopt;
    Numbers x = numbers_of(c.kind, r, A);
    if (x.fp_exception) return std::nullopt;
    replay_log_warnings(c, r);
    return present(c, x);
}

// scikit-learn's checks first, so that their conversions, configuration and messages
// apply, then the kernel on the checked arrays.
nb::object checked_road(const Call &c) {
    nb::object allow_nan = allow_nan_of(c.in.nan_policy);
    nb::object checked = c.st.steps["_check_y_true_pred_sample_weight"](c.in.y_true, c.in.y_pred, c.in.sample_weight,
                                                                        c.in.multioutput, "allow_nan"_a = allow_nan);
    bool drop = false;
    if (c.in.nan_policy.is_valid()) {
        c.hs.nan_policy["_validate_nan_policy"](c.in.nan_policy);
        drop = !compare(c.in.nan_policy, DUV_STR("raise"), Py_EQ);
    }
    KernelInputs A;
    take_checked(c, checked, A);
    ms::Options o = options(c, drop);
    // float(eps) comes after the log checks: until then the kernel runs as for the absolute error.
    const bool eps_later = !eps_is_float(c);
    if (eps_later) o.kind = Kind::AbsoluteError;
    ms::Result r = run_kernel(c, A, o);
    raise_as_prepare_logs(c, r);
    nb::object eps = c.in.eps.is_valid() ? float_of(c.in.eps) : nb::object();
    if (eps_later) {
        o.eps = float_value(eps.ptr());
        o.kind = Kind::AbsolutePercentageError;
        r = run_kernel(c, A, o);
    }
    Numbers x = numbers_of(c.kind, r, A);
    if (x.fp_exception) return numpy_after_quiet_logs(c, checked, drop, eps);
    return present(c, x);
}

}  // namespace

std::optional<nb::object> fused_metric(const Globals &g, const Metric &metric, const Inputs &in) {
    const MetricState &st = g.state<MetricState>();
    if (!st.steps.intact(g)) return std::nullopt;
    const Globals hg = st.helpers.is_valid() ? Globals(PyModule_GetDict(st.helpers.ptr()), st.helpers) : g;
    const LogMetricsState &hs = hg.state<LogMetricsState>();
    if (!hs.checks.intact(hg) || (!ms::is_variance(metric.kind) && !hs.mean.intact(hg))) return std::nullopt;
    if (metric.family != Family::None && (!st.logs.intact(g) || !hs.nan_policy.intact(hg))) return std::nullopt;
    const Call c{metric, g, st, hs, in};
    if (std::optional<nb::object> result = unchecked_road(c)) return result;
    return checked_road(c);
}

}  // namespace duv::metrics
