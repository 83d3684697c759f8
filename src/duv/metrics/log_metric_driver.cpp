#include "duv/metrics/log_metric_driver.hpp"
#include "duv/interop/capi.hpp"

#include "duv/interop/buffer.hpp"
#include "duv/interop/util.hpp"
#include "duv/kernels/fp_flags.hpp"
#include "duv/kernels/pairwise_sum.hpp"
#include "duv/metrics/numpy_log.hpp"

#include <cmath>
#include <optional>

namespace duv::logm {

namespace k = duv::kernels::logm;
using duv::kernels::Dtype;
using duv::kernels::FpFlags;
using duv::kernels::Matrix;

namespace {

// --- what stays fixed once _log_metrics is imported --------------------------------------

// Objects that the kernel roads use as they are: NumPy's own (not module names: the roads
// run only while `np` is bound as on import) and the constants of the documented checks.
struct Constants {
    PyObject *ndarray = nullptr, *float64 = nullptr, *asarray = nullptr, *empty = nullptr, *errstate = nullptr;
    PyObject *multioutput_options = nullptr, *nan_policy_options = nullptr;  // frozensets
    PyObject *allow_nan = nullptr;                                           // "allow-nan"
    NumpyLog log1p, log10;
};

// What the names that the documented steps look up were bound to when _log_metrics was
// imported. While they still are, the kernel roads compute what those steps would.
struct ImportedNames {
    PyObject *log_metrics = nullptr;  // the namespace of _log_metrics, where its helpers look names up
    // Names of _log_metrics that its helpers use.
    PyObject *np = nullptr, *check_array = nullptr, *check_consistent_length = nullptr;
    PyObject *validate_nan_policy = nullptr;
    // The helpers as defined, which the metrics' modules call.
    PyObject *check = nullptr, *prepare_logs = nullptr, *weighted_mean = nullptr, *aggregate = nullptr;
};

Constants constants;
ImportedNames imported;

PyObject *leak(nb::object o) { return o.release().ptr(); }

// What `name` is bound to in the module namespace `ns`, or null when it is unbound.
PyObject *bound(PyObject *ns, nb::handle name) {
    PyObject *v = PyDict_GetItemWithError(ns, name.ptr());
    if (!v && PyErr_Occurred()) throw nb::python_error();
    return v;
}

bool is_variance(Kind kind) { return kind == Kind::R2 || kind == Kind::FractionUnexplained; }

const NumpyLog *numpy_log(Family family) {
    switch (family) {
    case Family::Log1p: return &constants.log1p;
    case Family::Log10: return &constants.log10;
    default: return nullptr;
    }
}

// The `family` argument and NumPy attribute name of a transform.
nb::handle family_name(Family family) { return family == Family::Log10 ? DUV_STR("log10") : DUV_STR("log1p"); }

// allow_nan as the metrics compute it: nan_policy == "drop", False without a nan_policy.
nb::object allow_nan_of(nb::handle nan_policy) {
    if (!nan_policy.is_valid()) return nb::bool_(false);
    return duv::richcompare(nan_policy, DUV_STR("drop"), Py_EQ);
}

[[noreturn]] void raise_zero_weights() {
    duv::raise(PyExc_ZeroDivisionError, "Weights sum to zero, can't be normalized");
}

nb::object as_float_array(nb::handle o) { return nb::handle(constants.asarray)(o, "dtype"_a = duv::float_type()); }

// Whether every name that the documented steps of this metric look up is bound as on import.
bool names_as_imported(const duv::Globals &g, Kind kind, Family family) {
    PyObject *helpers = imported.log_metrics, *own = g.dict().ptr();
    if (bound(helpers, DUV_STR("np")) != imported.np ||
        bound(helpers, DUV_STR("check_array")) != imported.check_array ||
        bound(helpers, DUV_STR("check_consistent_length")) != imported.check_consistent_length)
        return false;
    if (bound(own, DUV_STR("np")) != imported.np ||
        bound(own, DUV_STR("_check_y_true_pred_sample_weight")) != imported.check ||
        bound(own, DUV_STR("_aggregate_multioutput")) != imported.aggregate)
        return false;
    if (family != Family::None && (bound(own, DUV_STR("_prepare_logs")) != imported.prepare_logs ||
                                   bound(helpers, DUV_STR("_validate_nan_policy")) != imported.validate_nan_policy))
        return false;
    return is_variance(kind) || bound(own, DUV_STR("_weighted_mean_per_output")) == imported.weighted_mean;
}

// --- the documented input check ------------------------------------------------------------

nb::object as_column_if_1d(nb::object y) {
    if (duv::compare(y.attr("ndim"), nb::int_(1), Py_EQ)) return y.attr("reshape")(-1, 1);
    return y;
}

nb::object checked_sample_weight(const duv::Globals &g, nb::handle sample_weight, nb::handle y_true) {
    if (sample_weight.is_none()) return nb::none();
    nb::object np = g["np"];
    nb::object sw = np.attr("asarray")(sample_weight, "dtype"_a = duv::float_type());
    if (duv::compare(sw.attr("ndim"), nb::int_(1), Py_NE) ||
        duv::compare(nb::object(sw.attr("shape"))[0], nb::object(y_true.attr("shape"))[0], Py_NE))
        duv::raise_value_error("sample_weight must be 1D with length equal to n_samples");
    if (duv::truthy(np.attr("any")(duv::richcompare(sw, nb::int_(0), Py_LT))))
        duv::raise_value_error("sample_weight must be non-negative");
    return sw;
}

nb::object checked_multioutput(const duv::Globals &g, nb::handle multioutput, nb::handle y_true) {
    if (PyUnicode_Check(multioutput.ptr())) {
        int in = PySet_Contains(constants.multioutput_options, multioutput.ptr());
        duv::check(in >= 0);
        if (!in) duv::raise_value_error("multioutput must be 'raw_values' or 'uniform_average' when a string");
        return nb::borrow(multioutput);
    }
    if (multioutput.is_none())
        duv::raise_value_error(
            "multioutput must be 'raw_values', 'uniform_average' or an array of per-output weights, got None");
    nb::object asarray = g["np"].attr("asarray");
    nb::object mo = asarray(duv::steal_checked(PySequence_List(multioutput.ptr())), "dtype"_a = duv::float_type());
    if (duv::compare(mo.attr("ndim"), nb::int_(1), Py_NE) ||
        duv::compare(nb::object(mo.attr("shape"))[0], nb::object(y_true.attr("shape"))[1], Py_NE))
        duv::raise_value_error("multioutput weights must be 1D with length equal to n_outputs");
    return mo;
}

// --- validated inputs as the kernel sees them ----------------------------------------------

// Targets, predictions and weights as kernel matrices, with the views that keep them readable.
struct KernelInputs {
    duv::ArrayView t, p, w, mo;
    Matrix yt, yp, weights;  // weights.data is null when unweighted
    nb::handle multioutput;  // a string, or the per-output weights that `mo` views

    bool output_weights() const { return static_cast<bool>(mo); }
    double output_weight(std::ptrdiff_t j) const {
        return *reinterpret_cast<const double *>(mo.data() + j * mo.stride(0));
    }
};

bool is_ndarray(nb::handle o) { return Py_TYPE(o.ptr()) == reinterpret_cast<PyTypeObject *>(constants.ndarray); }

// A list or tuple of exact ints and floats: converting it to an array runs no user code.
bool exact_numbers(nb::handle seq) {
    PyObject *o = seq.ptr();
    if (!PyList_CheckExact(o) && !PyTuple_CheckExact(o)) return false;
    Py_ssize_t n = fast_size(o);
    for (Py_ssize_t i = 0; i < n; ++i) {
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
bool eps_is_float(nb::handle eps) {
    return !eps.is_valid() || PyFloat_CheckExact(eps.ptr()) ||
           Py_TYPE(eps.ptr()) == reinterpret_cast<PyTypeObject *>(constants.float64);
}

// A 1-D or 2-D float64 view as an (n, k) matrix.
bool float64_matrix(const duv::ArrayView &v, Matrix &m) {
    if (!v.has(Dtype::F64) || v.ndim() < 1 || v.ndim() > 2) return false;
    m = v.matrix(Dtype::F64);
    return true;
}

// `o` as a 1-D float64 vector of `length`, when it is an ndarray of that kind or a list or
// tuple of exact numbers; empty otherwise.
duv::ArrayView plain_vector(nb::handle o, std::ptrdiff_t length) {
    duv::ArrayView v;
    if (is_ndarray(o)) {
        v = duv::ArrayView(o);
    } else if (exact_numbers(o)) {
        try {
            v = duv::ArrayView(as_float_array(o));
        } catch (nb::python_error &) {
            return {};
        }
    }
    if (!v.has(Dtype::F64) || v.ndim() != 1 || v.shape(0) != length) return {};
    return v;
}

bool take_float64_targets(nb::handle y_true, nb::handle y_pred, KernelInputs &A) {
    A.t = duv::ArrayView(y_true);
    A.p = duv::ArrayView(y_pred);
    if (!float64_matrix(A.t, A.yt) || !float64_matrix(A.p, A.yp)) return false;
    return A.yt.n >= 1 && A.yt.m >= 1 && A.yt.n == A.yp.n && A.yt.m == A.yp.m;
}

bool take_plain_weights(nb::handle sample_weight, KernelInputs &A) {
    if (sample_weight.is_none()) return true;
    A.w = plain_vector(sample_weight, A.yt.n);
    if (!A.w) return false;
    A.weights = A.w.matrix(Dtype::F64);
    return true;
}

bool take_plain_multioutput(nb::handle multioutput, KernelInputs &A) {
    A.multioutput = multioutput;
    if (PyUnicode_CheckExact(multioutput.ptr()))
        return PyUnicode_CompareWithASCIIString(multioutput.ptr(), "raw_values") == 0 ||
               PyUnicode_CompareWithASCIIString(multioutput.ptr(), "uniform_average") == 0;
    A.mo = plain_vector(multioutput, A.yt.m);
    return static_cast<bool>(A.mo);
}

// Inputs that may go to the kernel before scikit-learn's checks: float64 ndarrays (which
// check_array returns unchanged once their values are finite; the kernel reports any that
// is not), weights whose conversion runs no user code, and exact option strings.
bool take_unchecked(const Inputs &in, KernelInputs &A, bool &drop) {
    if (!is_ndarray(in.y_true) || !is_ndarray(in.y_pred)) return false;
    std::optional<bool> exact = exact_drop(in.nan_policy);
    if (!exact) return false;
    drop = *exact;
    return take_float64_targets(in.y_true, in.y_pred, A) && take_plain_weights(in.sample_weight, A) &&
           take_plain_multioutput(in.multioutput, A);
}

// A checked target array as a 2-D float64 matrix (converted again should a configured
// check_array have returned something else).
duv::ArrayView checked_matrix(nb::handle o, Matrix &m) {
    duv::ArrayView v(o);
    if (!v.has(Dtype::F64) || v.ndim() != 2) {
        v = duv::ArrayView(as_float_array(o));
        if (!v.has(Dtype::F64) || v.ndim() != 2) duv::raise(PyExc_TypeError, "expected a 2-D float64 array");
    }
    m = v.matrix(Dtype::F64);
    return v;
}

// The tuple that _check_y_true_pred_sample_weight returned.
void take_checked(nb::handle checked, KernelInputs &A) {
    auto item = [&](Py_ssize_t i) { return nb::handle(tuple_item(checked.ptr(), i)); };
    A.t = checked_matrix(item(0), A.yt);
    A.p = checked_matrix(item(1), A.yp);
    if (!item(2).is_none()) {
        A.w = duv::ArrayView(item(2));
        if (!A.w.has(Dtype::F64) || A.w.ndim() != 1) duv::raise(PyExc_TypeError, "expected 1-D float64 weights");
        A.weights = A.w.matrix(Dtype::F64);
    }
    A.multioutput = item(3);
    if (!PyUnicode_Check(A.multioutput.ptr())) {
        A.mo = duv::ArrayView(A.multioutput);
        if (!A.mo.has(Dtype::F64) || A.mo.ndim() != 1)
            duv::raise(PyExc_TypeError, "expected 1-D float64 output weights");
    }
}

// --- the kernel pass -----------------------------------------------------------------------

constexpr std::ptrdiff_t kReleaseGil = 1 << 14;

// np.errstate(all="ignore") while in scope.
class QuietNumpy {
public:
    QuietNumpy() : cm_(nb::handle(constants.errstate)("all"_a = "ignore")) { cm_.attr("__enter__")(); }
    ~QuietNumpy() {
        // Leaves an exception on its way out as it was.
#if PY_VERSION_HEX >= 0x030C0000
        PyObject *pending = PyErr_GetRaisedException();
        PyObject *r = PyObject_CallMethod(cm_.ptr(), "__exit__", "OOO", Py_None, Py_None, Py_None);
        Py_XDECREF(r);
        PyErr_Clear();
        PyErr_SetRaisedException(pending);
#else
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyObject *r = PyObject_CallMethod(cm_.ptr(), "__exit__", "OOO", Py_None, Py_None, Py_None);
        Py_XDECREF(r);
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
#endif
    }
    QuietNumpy(const QuietNumpy &) = delete;
    QuietNumpy &operator=(const QuietNumpy &) = delete;

private:
    nb::object cm_;
};

k::Options options_for(Kind kind, Family family, nb::handle eps) {
    k::Options o;
    o.family = family;
    switch (kind) {
    case Kind::AbsoluteError: o.metric = k::Metric::AbsoluteError; break;
    case Kind::SquaredError:
    case Kind::RootSquaredError: o.metric = k::Metric::SquaredError; break;
    case Kind::AbsolutePercentageError: o.metric = k::Metric::AbsolutePercentageError; break;
    default: o.metric = k::Metric::Variance; break;
    }
    if (eps.is_valid() && eps_is_float(eps)) o.eps = duv::float_value(eps.ptr());
    return o;
}

k::Result run_kernel(const KernelInputs &A, k::Options o, const NumpyLog *log) {
    if (log) {
        o.transform = log->transform();
        o.ctx = log;
    }
    if (log && !log->direct()) {
        QuietNumpy quiet;  // the ufunc object runs on each block, with the GIL
        return k::run(A.yt, A.yp, A.weights, o);
    }
    if (A.yt.n * A.yt.m >= kReleaseGil) {
        nb::gil_scoped_release release;
        return k::run(A.yt, A.yp, A.weights, o);
    }
    return k::run(A.yt, A.yp, A.weights, o);
}

void replay_log_warnings(const NumpyLog *log, const k::Result &r) {
    if (!log) return;
    log->replay(r.true_flags);
    log->replay(r.pred_flags);
}

// What _prepare_logs says about the logarithms, in its order: the domain check, NumPy's
// warnings for the logarithms, the finiteness check, no row left by nan_policy="drop".
void raise_as_prepare_logs(Family family, const NumpyLog *log, const k::Result &r) {
    if (r.status == k::Status::Domain) raise_domain_error(family);
    replay_log_warnings(log, r);
    if (r.status == k::Status::NonFinite) duv::raise_value_error(kNonFiniteMessage);
    if (r.status == k::Status::AllDropped) duv::raise_value_error(kAllDroppedMessage);
}

// --- from the kernel's sums to the result ------------------------------------------------

// The metric's numbers, before anything is said to Python.
struct Numbers {
    enum { Value, Undefined, ZeroWeights } what = Value;
    std::vector<double> per;  // one value per output
    double value = 0.0;       // the average over outputs unless "raw_values"
    bool raw = false;
    bool fp_exception = false;  // NumPy's arithmetic would have warned: redo it in NumPy
};

// A perfect prediction scores 1.0 even for a constant column; a constant column predicted
// with any error scores 0.0.
double r2_score(double ss_res, double ss_tot) {
    if (ss_res != 0.0 && ss_tot != 0.0) return 1.0 - ss_res / ss_tot;
    return ss_res != 0.0 ? 0.0 : 1.0;
}

double fraction_unexplained(double ss_res, double ss_tot) {
    if (ss_tot != 0.0) return ss_res / ss_tot;
    return ss_res == 0.0 ? 0.0 : 1.0;
}

std::vector<double> per_output(Kind kind, const k::Result &r, bool weighted) {
    std::vector<double> per(r.sum.size());
    const double denom = weighted ? r.weight_sum : static_cast<double>(r.n_kept);
    for (std::size_t j = 0; j < per.size(); ++j) {
        if (kind == Kind::R2)
            per[j] = r2_score(r.sum[j], r.ss_tot[j]);
        else if (kind == Kind::FractionUnexplained)
            per[j] = fraction_unexplained(r.sum[j], r.ss_tot[j]);
        else
            per[j] = kind == Kind::RootSquaredError ? std::sqrt(r.sum[j] / denom) : r.sum[j] / denom;
    }
    return per;
}

// _aggregate_multioutput's reduction: NumPy's mean, or np.average with the output weights,
// its sums taken in NumPy's order so that a cancelling weight total is zero exactly when
// NumPy's is.
void average_over_outputs(const KernelInputs &A, Numbers &x) {
    const auto n_outputs = static_cast<std::ptrdiff_t>(x.per.size());
    if (!A.output_weights()) {
        x.raw = duv::compare(A.multioutput, DUV_STR("raw_values"), Py_EQ);
        if (!x.raw) x.value = kernels::numpy_sum(x.per.data(), n_outputs) / static_cast<double>(n_outputs);
        return;
    }
    std::vector<double> w(x.per.size()), weighted(x.per.size());
    for (std::ptrdiff_t j = 0; j < n_outputs; ++j) w[j] = A.output_weight(j);
    const double total = kernels::numpy_sum(w.data(), n_outputs);
    if (total == 0.0) {
        x.what = Numbers::ZeroWeights;
        return;
    }
    for (std::ptrdiff_t j = 0; j < n_outputs; ++j) weighted[j] = x.per[j] * w[j];
    x.value = kernels::numpy_sum(weighted.data(), n_outputs) / total;
}

Numbers numbers_of(Kind kind, const k::Result &r, const KernelInputs &A) {
    Numbers x;
    const bool weighted = A.weights.data != nullptr;
    const bool weightless = weighted && r.weight_sum == 0.0;
    // R² and the fraction of variance unexplained stop before any arithmetic of theirs.
    if (is_variance(kind) && (r.n_kept < 2 || weightless)) {
        x.what = r.n_kept < 2 ? Numbers::Undefined : Numbers::ZeroWeights;
        return x;
    }
    x.fp_exception = r.fp_exception;
    if (weightless) {
        x.what = Numbers::ZeroWeights;
        return x;
    }
    FpFlags flags;
    x.per = per_output(kind, r, weighted);
    average_over_outputs(A, x);
    x.fp_exception |= FpFlags::troubled();
    return x;
}

nb::object warn_undefined(const duv::Globals &g, Kind kind) {
    // _fvu imports warnings in the function that warns, _log_metrics at module level.
    nb::object warnings = kind == Kind::R2 ? g["warnings"] : nb::module_::import_("warnings");
    nb::object warn = warnings.attr("warn");
    warn("R^2 score is not well-defined with less than two samples.", g["UndefinedMetricWarning"]);
    return nb::float_(NAN);
}

nb::object float64_array(const std::vector<double> &values) {
    nb::object out = nb::handle(constants.empty)(values.size());
    duv::ArrayView v(out, true);
    if (!v.has(Dtype::F64) || v.ndim() != 1) duv::raise(PyExc_RuntimeError, "numpy.empty gave an unexpected array");
    for (std::size_t j = 0; j < values.size(); ++j)
        *reinterpret_cast<double *>(v.data() + static_cast<std::ptrdiff_t>(j) * v.stride(0)) = values[j];
    return out;
}

nb::object present(const duv::Globals &g, Kind kind, const Numbers &x) {
    switch (x.what) {
    case Numbers::Undefined: return warn_undefined(g, kind);
    case Numbers::ZeroWeights: raise_zero_weights();
    case Numbers::Value: break;
    }
    if (x.raw) return float64_array(x.per);
    return nb::float_(x.value);
}

// --- the documented steps in NumPy: for modules whose names have been rebound, and for
// inputs on which NumPy's arithmetic raises floating-point warnings ------------------------

nb::object sub(nb::handle x, nb::handle y) { return duv::steal_checked(PyNumber_Subtract(x.ptr(), y.ptr())); }
nb::object mul(nb::handle x, nb::handle y) { return duv::steal_checked(PyNumber_Multiply(x.ptr(), y.ptr())); }
nb::object div(nb::handle x, nb::handle y) { return duv::steal_checked(PyNumber_TrueDivide(x.ptr(), y.ptr())); }
nb::object and_(nb::handle x, nb::handle y) { return duv::steal_checked(PyNumber_And(x.ptr(), y.ptr())); }
nb::object invert(nb::handle x) { return duv::steal_checked(PyNumber_Invert(x.ptr())); }
nb::object square(nb::handle x) { return duv::steal_checked(PyNumber_Power(x.ptr(), nb::int_(2).ptr(), Py_None)); }
nb::object getitem(nb::handle x, nb::handle key) { return duv::steal_checked(PyObject_GetItem(x.ptr(), key.ptr())); }
void setitem(nb::handle x, nb::handle key, nb::handle value) {
    duv::check(PyObject_SetItem(x.ptr(), key.ptr(), value.ptr()) == 0);
}

// The arrays after _prepare_logs (after the check, for the plain fraction of variance unexplained).
struct Prepared {
    nb::object lt, lp, sw, multioutput;
};

struct SumsOfSquares {
    nb::object ss_res, ss_tot;
};

SumsOfSquares numpy_sums_of_squares(nb::handle np, nb::handle lt, nb::handle lp) {
    nb::object sum = np.attr("sum");
    nb::object residual = sub(lt, lp);
    nb::object ss_res = sum(square(residual), "axis"_a = 0);
    nb::object mean_true = np.attr("mean")(lt, "axis"_a = 0);
    return {ss_res, sum(square(sub(lt, mean_true)), "axis"_a = 0)};
}

SumsOfSquares numpy_weighted_sums_of_squares(nb::handle np, nb::handle lt, nb::handle lp, nb::handle sw) {
    nb::object sum = np.attr("sum");
    nb::object w = np.attr("asarray")(sw, "dtype"_a = duv::float_type()).attr("reshape")(-1, 1);
    nb::object w_sum = sum(w, "axis"_a = 0);
    if (duv::truthy(np.attr("any")(duv::richcompare(w_sum, nb::int_(0), Py_EQ)))) raise_zero_weights();
    nb::object residual = sub(lt, lp);
    nb::object ss_res = sum(mul(w, square(residual)), "axis"_a = 0);
    nb::object mean_true = div(sum(mul(w, lt), "axis"_a = 0), w_sum);
    return {ss_res, sum(mul(w, square(sub(lt, mean_true))), "axis"_a = 0)};
}

// Columns of `a` whose values on rows of non-zero weight all equal the first such value;
// empty when the arrays are not what the documented steps produce.
std::vector<char> constant_columns(nb::handle a, nb::handle sw) {
    duv::ArrayView av(a), wv;
    if (!av.has(Dtype::F64) || av.ndim() != 2) return {};
    const Matrix m = av.matrix(Dtype::F64);
    Matrix w;
    if (!sw.is_none()) {
        wv = duv::ArrayView(sw);
        if (!wv.has(Dtype::F64) || wv.ndim() != 1 || wv.shape(0) != m.n) return {};
        w = wv.matrix(Dtype::F64);
    }
    std::vector<char> constant(static_cast<std::size_t>(m.m), 1);
    std::ptrdiff_t first = -1;
    for (std::ptrdiff_t r = 0; r < m.n; ++r) {
        if (w.data && k::at(w, r, 0) == 0.0) continue;
        if (first < 0) {
            first = r;
            continue;
        }
        for (std::ptrdiff_t j = 0; j < m.m; ++j)
            if (k::at(m, r, j) != k::at(m, first, j)) constant[j] = 0;
    }
    return constant;
}

// A constant true column has no spread at all: its total is made exactly 0 (unless NaN),
// which the rounded mean would not always give.
void zero_constant_totals(nb::handle ss_tot, nb::handle lt, nb::handle sw) {
    std::vector<char> constant = constant_columns(lt, sw);
    duv::ArrayView tot(ss_tot, true);
    if (!tot.has(Dtype::F64) || tot.ndim() != 1 || tot.shape(0) != static_cast<int64_t>(constant.size())) return;
    for (std::size_t j = 0; j < constant.size(); ++j) {
        auto *t = reinterpret_cast<double *>(tot.data() + static_cast<std::ptrdiff_t>(j) * tot.stride(0));
        if (constant[j] && !std::isnan(*t)) *t = 0.0;
    }
}

nb::object numpy_r2_scores(nb::handle np, nb::handle lt, const SumsOfSquares &s) {
    nb::object nonzero_res = duv::richcompare(s.ss_res, nb::int_(0), Py_NE);
    nb::object nonzero_tot = duv::richcompare(s.ss_tot, nb::int_(0), Py_NE);
    nb::object valid = and_(nonzero_res, nonzero_tot);
    nb::object scores = np.attr("ones")(nb::object(lt.attr("shape"))[1], "dtype"_a = duv::float_type());
    setitem(scores, valid, sub(nb::float_(1.0), div(getitem(s.ss_res, valid), getitem(s.ss_tot, valid))));
    setitem(scores, and_(nonzero_res, invert(nonzero_tot)), nb::float_(0.0));
    return scores;
}

nb::object numpy_fractions_unexplained(nb::handle np, nb::handle lt, const SumsOfSquares &s) {
    nb::object nonzero_tot = duv::richcompare(s.ss_tot, nb::int_(0), Py_NE);
    nb::object fvu = np.attr("empty")(nb::object(lt.attr("shape"))[1], "dtype"_a = duv::float_type());
    setitem(fvu, nonzero_tot, div(getitem(s.ss_res, nonzero_tot), getitem(s.ss_tot, nonzero_tot)));
    nb::object const_mask = invert(nonzero_tot);
    if (duv::truthy(np.attr("any")(const_mask))) {
        nb::object exact = duv::richcompare(getitem(s.ss_res, const_mask), nb::float_(0.0), Py_EQ);
        setitem(fvu, const_mask, np.attr("where")(exact, 0.0, 1.0));
    }
    return fvu;
}

// R² and the fraction of variance unexplained, which sum for themselves.
nb::object numpy_variance_metric(const duv::Globals &g, Kind kind, const Prepared &p) {
    nb::object np = g["np"];
    if (duv::compare(nb::object(p.lt.attr("shape"))[0], nb::int_(2), Py_LT)) return warn_undefined(g, kind);
    SumsOfSquares s =
        p.sw.is_none() ? numpy_sums_of_squares(np, p.lt, p.lp) : numpy_weighted_sums_of_squares(np, p.lt, p.lp, p.sw);
    zero_constant_totals(s.ss_tot, p.lt, p.sw);
    nb::object per = kind == Kind::R2 ? numpy_r2_scores(np, p.lt, s) : numpy_fractions_unexplained(np, p.lt, s);
    return g["_aggregate_multioutput"](per, p.multioutput);
}

// The per-element error of the error metrics (`eps`: converted with float() here).
nb::object numpy_errors(nb::handle np, Kind kind, nb::handle lt, nb::handle lp, nb::handle eps) {
    if (kind == Kind::AbsoluteError) return np.attr("abs")(sub(lt, lp));
    if (kind != Kind::AbsolutePercentageError) return square(sub(lt, lp));
    nb::object magnitude = np.attr("abs")(lt);
    nb::object floor = duv::steal_checked(PyNumber_Float(eps.ptr()));
    nb::object denom = np.attr("maximum")(magnitude, floor);
    return np.attr("abs")(div(sub(lt, lp), denom));
}

// The metric's own steps on prepared arrays.
nb::object numpy_arithmetic(const duv::Globals &g, Kind kind, const Prepared &p, nb::handle eps) {
    if (is_variance(kind)) return numpy_variance_metric(g, kind, p);
    nb::object np = g["np"];
    nb::object values = numpy_errors(np, kind, p.lt, p.lp, eps);
    nb::object per = g["_weighted_mean_per_output"](values, p.sw);
    if (kind == Kind::RootSquaredError) per = np.attr("sqrt")(per);
    return g["_aggregate_multioutput"](per, p.multioutput);
}

// The documented steps through whatever the module names are bound to now.
nb::object documented_steps(const duv::Globals &g, Kind kind, Family family, const Inputs &in) {
    nb::object check = g["_check_y_true_pred_sample_weight"];
    nb::object allow_nan = allow_nan_of(in.nan_policy);
    auto c = duv::unpack(check(in.y_true, in.y_pred, in.sample_weight, in.multioutput, "allow_nan"_a = allow_nan), 4);
    if (family == Family::None) return numpy_arithmetic(g, kind, {c[0], c[1], c[2], c[3]}, in.eps);
    nb::object prepare_logs = g["_prepare_logs"];
    nb::object transform = g["np"].attr(family_name(family));
    auto l = duv::unpack(prepare_logs(c[0], c[1], c[2], c[3], "transform"_a = transform,
                                      "family"_a = family_name(family), "nan_policy"_a = in.nan_policy),
                         4);
    return numpy_arithmetic(g, kind, {l[0], l[1], l[2], l[3]}, in.eps);
}

// Checked inputs on which NumPy's arithmetic raises floating-point warnings: the logarithm
// has had its say already, so it is taken again quietly before the arithmetic.
nb::object numpy_after_quiet_logs(const duv::Globals &g, Kind kind, Family family, nb::handle checked, bool drop,
                                  nb::handle eps) {
    auto item = [&](Py_ssize_t i) { return nb::borrow(tuple_item(checked.ptr(), i)); };
    Prepared p{item(0), item(1), item(2), item(3)};
    if (family != Family::None) {
        nb::object np = g["np"];
        nb::object transform = np.attr(family_name(family));
        {
            QuietNumpy quiet;
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
    return numpy_arithmetic(g, kind, p, eps);
}

// --- the roads -----------------------------------------------------------------------------

// Float64 ndarrays and exact options go to the kernel before any check; nullopt when the
// inputs are not of that kind or the kernel found something that the checked road must
// report (a non-finite input, a negative weight, a domain error, a floating-point warning).
std::optional<nb::object> unchecked_road(const duv::Globals &g, Kind kind, Family family, const Inputs &in) {
    KernelInputs A;
    bool drop = false;
    if (!eps_is_float(in.eps) || !take_unchecked(in, A, drop)) return std::nullopt;
    k::Options o = options_for(kind, family, in.eps);
    o.drop = drop;
    o.unchecked = true;
    const NumpyLog *log = numpy_log(family);
    k::Result r = run_kernel(A, o, log);
    if (r.status != k::Status::Ok) return std::nullopt;
    Numbers x = numbers_of(kind, r, A);
    if (x.fp_exception) return std::nullopt;
    replay_log_warnings(log, r);
    return present(g, kind, x);
}

// scikit-learn's checks first, so that their conversions, configuration and messages
// apply, then the kernel on the checked arrays.
nb::object checked_road(const duv::Globals &g, Kind kind, Family family, const Inputs &in) {
    nb::object allow_nan = allow_nan_of(in.nan_policy);
    CheckArgs check;
    check.y_true = in.y_true;
    check.y_pred = in.y_pred;
    check.sample_weight = in.sample_weight;
    check.multioutput = in.multioutput;
    check.allow_nan = allow_nan;
    nb::object checked = check_y_true_pred_sample_weight(duv::Globals(imported.log_metrics), check);
    bool drop = false;
    if (in.nan_policy.is_valid()) {
        validate_nan_policy(in.nan_policy);
        drop = !duv::compare(in.nan_policy, DUV_STR("raise"), Py_EQ);
    }
    KernelInputs A;
    take_checked(checked, A);
    k::Options o = options_for(kind, family, in.eps);
    o.drop = drop;
    // float(eps) comes after the log checks: until then the kernel runs as for the absolute error.
    const bool eps_later = !eps_is_float(in.eps);
    if (eps_later) o.metric = k::Metric::AbsoluteError;
    const NumpyLog *log = numpy_log(family);
    k::Result r = run_kernel(A, o, log);
    raise_as_prepare_logs(family, log, r);
    nb::object eps = in.eps.is_valid() ? duv::steal_checked(PyNumber_Float(in.eps.ptr())) : nb::object();
    if (eps_later) {
        o.eps = duv::float_value(eps.ptr());
        o.metric = k::Metric::AbsolutePercentageError;
        r = run_kernel(A, o, log);
    }
    Numbers x = numbers_of(kind, r, A);
    if (x.fp_exception) return numpy_after_quiet_logs(g, kind, family, checked, drop, eps);
    return present(g, kind, x);
}

}  // namespace

// --- module-facing ---------------------------------------------------------------------------

void raise_domain_error(Family family) {
    duv::raise_value_error(family == Family::Log10
                               ? "Targets and predictions for log10-space metrics must be strictly positive."
                               : "Targets and predictions for log1p-space metrics must be >= -1.");
}

void init(nb::module_ &m) {
    nb::object np = m.attr("np");
    constants.ndarray = leak(np.attr("ndarray"));
    constants.float64 = leak(np.attr("float64"));
    constants.asarray = leak(np.attr("asarray"));
    constants.empty = leak(np.attr("empty"));
    constants.errstate = leak(np.attr("errstate"));
    constants.multioutput_options =
        leak(duv::steal_checked(PyFrozenSet_New(nb::make_tuple("raw_values", "uniform_average").ptr())));
    constants.nan_policy_options = leak(duv::steal_checked(PyFrozenSet_New(nb::make_tuple("raise", "drop").ptr())));
    constants.allow_nan = leak(nb::str("allow-nan"));
    constants.log1p.init(np, "log1p", -1.0, -2.0);
    constants.log10.init(np, "log10", 0.0, -1.0);

    imported.log_metrics = leak(nb::borrow(PyModule_GetDict(m.ptr())));
    imported.np = leak(np);
    imported.check_array = leak(m.attr("check_array"));
    imported.check_consistent_length = leak(m.attr("check_consistent_length"));
    imported.validate_nan_policy = leak(m.attr("_validate_nan_policy"));
    imported.check = leak(m.attr("_check_y_true_pred_sample_weight"));
    imported.prepare_logs = leak(m.attr("_prepare_logs"));
    imported.weighted_mean = leak(m.attr("_weighted_mean_per_output"));
    imported.aggregate = leak(m.attr("_aggregate_multioutput"));
}

nb::object check_y_true_pred_sample_weight(const duv::Globals &g, const CheckArgs &a) {
    g["check_consistent_length"](a.y_true, a.y_pred);
    nb::object force = duv::truthy(a.allow_nan) ? nb::borrow(constants.allow_nan) : nb::object(nb::bool_(true));
    nb::object check_array = g["check_array"];
    nb::object y_true =
        check_array(a.y_true, "ensure_2d"_a = false, "dtype"_a = duv::float_type(), "ensure_all_finite"_a = force);
    nb::object y_pred =
        check_array(a.y_pred, "ensure_2d"_a = false, "dtype"_a = duv::float_type(), "ensure_all_finite"_a = force);
    y_true = as_column_if_1d(y_true);
    y_pred = as_column_if_1d(y_pred);
    if (duv::compare(y_true.attr("shape"), y_pred.attr("shape"), Py_NE))
        duv::raise_value_error("y_true and y_pred have different shapes: " + duv::format(y_true.attr("shape")) +
                               " vs " + duv::format(y_pred.attr("shape")));
    nb::object sample_weight = checked_sample_weight(g, a.sample_weight, y_true);
    nb::object multioutput = checked_multioutput(g, a.multioutput, y_true);
    return nb::make_tuple(y_true, y_pred, sample_weight, multioutput);
}

void validate_nan_policy(nb::handle nan_policy) {
    int in = PySet_Contains(constants.nan_policy_options, nan_policy.ptr());
    duv::check(in >= 0);
    if (!in) duv::raise_value_error("nan_policy must be one of {'raise','drop'}");
}

nb::object finite_rows(nb::handle np, nb::handle log_true, nb::handle log_pred) {
    nb::object all = np.attr("all"), isfinite = np.attr("isfinite");
    nb::object rows_true = all(isfinite(log_true), "axis"_a = 1);
    nb::object rows_pred = all(isfinite(log_pred), "axis"_a = 1);
    return and_(rows_true, rows_pred);
}

nb::object evaluate(const duv::Globals &g, Kind kind, Family family, const Inputs &in) {
    if (!names_as_imported(g, kind, family)) return documented_steps(g, kind, family, in);
    if (std::optional<nb::object> result = unchecked_road(g, kind, family, in)) return *result;
    return checked_road(g, kind, family, in);
}

}  // namespace duv::logm
