#include "duv/metrics/log_metric_driver.hpp"

#include "duv/interop/util.hpp"

#include <cfenv>
#include <cmath>
#include <cstring>
#include <memory>

namespace duv::logm {

namespace k = duv::kernels::logm;

namespace {

using LoopFn = void (*)(char **, const Py_ssize_t *, const Py_ssize_t *, void *);

// Leading fields of NumPy's PyUFuncObject (public C API, unchanged since NumPy 1.0).
struct UFuncHead {
    PyObject_HEAD int nin, nout, nargs;
    int identity;
    LoopFn *functions;
    void *const *data;
    int ntypes;
    int reserved1;
    const char *name;
    const char *types;
};

constexpr char kNpyDouble = 12;

struct Ufunc {
    PyObject *ufunc = nullptr;
    LoopFn fn = nullptr;  // NumPy's own float64 loop (its SIMD code), when verified usable
    void *data = nullptr;
    PyObject *probe[4] = {};  // arrays whose logarithm raises exactly the flags i
};

struct State {
    PyObject *globals = nullptr;  // namespace of _log_metrics
    PyObject *ndarray = nullptr, *float64 = nullptr, *float_type = nullptr;
    PyObject *empty = nullptr, *asarray = nullptr, *frombuffer = nullptr, *errstate = nullptr;
    PyObject *multioutput_options = nullptr, *nan_policy_options = nullptr;
    Ufunc log1p, log10;
    // What the names that the documented steps look up at call time were bound to on import.
    PyObject *np = nullptr, *check_array = nullptr, *check_consistent_length = nullptr;
    PyObject *check_fn = nullptr, *prepare_fn = nullptr, *mean_fn = nullptr, *aggregate_fn = nullptr;
};

State S;  // references live for the whole process

PyObject *leak(nb::object o) { return o.release().ptr(); }

// Name lookup in _log_metrics' namespace at call time, then builtins.
nb::object global(const char *name) {
    PyObject *v = PyDict_GetItemString(S.globals, name);
    if (v) return nb::borrow(v);
    nb::object builtins = nb::module_::import_("builtins");
    return builtins.attr(name);
}

using duv::compare;

nb::object pyint(long v) { return duv::steal_checked(PyLong_FromLong(v)); }

// --- NumPy loops -----------------------------------------------------------------

void setup_ufunc(Ufunc &u, nb::handle np, const char *name, double divide_value, double invalid_value) {
    nb::object uf = np.attr(name);
    u.ufunc = leak(uf);
    nb::object array = np.attr("array");
    u.probe[k::kDivide] = leak(array(nb::make_tuple(divide_value)));
    u.probe[k::kInvalid] = leak(array(nb::make_tuple(invalid_value)));
    u.probe[k::kDivide | k::kInvalid] = leak(array(nb::make_tuple(divide_value, invalid_value)));

    // Use the ufunc's float64 inner loop directly only if the object is laid out as
    // expected and the loop reproduces the ufunc bit for bit on a probe set.
    if (Py_TYPE(uf.ptr()) != (PyTypeObject *)np.attr("ufunc").ptr()) return;
    auto *h = reinterpret_cast<UFuncHead *>(uf.ptr());
    if (h->nin != 1 || h->nout != 1 || h->nargs != 2) return;
    if (nb::cast<long>(uf.attr("ntypes")) != h->ntypes || !h->name || std::strcmp(h->name, name) != 0) return;
    nb::list types = nb::list(uf.attr("types"));
    if ((long)nb::len(types) != h->ntypes) return;
    int idx = -1;
    for (int i = 0; i < h->ntypes; ++i) {
        if (h->types[2 * i] == kNpyDouble && h->types[2 * i + 1] == kNpyDouble) {
            idx = i;
            break;
        }
    }
    if (idx < 0 || !h->functions || !h->functions[idx]) return;
    if (std::string(nb::str(types[idx]).c_str()) != "d->d") return;

    std::vector<double> xs;
    for (int i = 0; i < 300; ++i) xs.push_back(std::ldexp(1.0 + 0.37 * i, i % 40 - 20) - (i % 7 == 0 ? 0.0 : 0.5));
    for (double v : {1e-300, 5e-324, 1e300, 1.7976931348623157e308, 0.999, 1.0, 2.0, 10.0, 1e-17}) xs.push_back(v);
    for (double &v : xs)
        if (v <= -1.0 || v <= 0.0) v = std::fabs(v) + 0.25;
    Py_ssize_t n = (Py_ssize_t)xs.size();
    std::vector<double> mine(xs.size());
    char *args[2] = {(char *)xs.data(), (char *)mine.data()};
    Py_ssize_t dims[1] = {n}, steps[2] = {8, 8};
    std::fexcept_t saved;
    std::fegetexceptflag(&saved, FE_ALL_EXCEPT);
    h->functions[idx](args, dims, steps, h->data ? h->data[idx] : nullptr);
    std::fesetexceptflag(&saved, FE_ALL_EXCEPT);
    nb::list values;
    for (double v : xs) values.append(v);
    nb::object ref = uf(array(values));
    for (Py_ssize_t i = 0; i < n; ++i) {
        double r = nb::cast<double>(ref[nb::int_(i)]);
        if (std::memcmp(&r, &mine[i], sizeof r) != 0) return;
    }
    u.fn = h->functions[idx];
    u.data = h->data ? h->data[idx] : nullptr;
}

// The transforms keep the exception flags of the kernel's arithmetic as they were.
struct KeepFpFlags {
    std::fexcept_t saved;
    KeepFpFlags() { std::fegetexceptflag(&saved, FE_ALL_EXCEPT); }
    ~KeepFpFlags() { std::fesetexceptflag(&saved, FE_ALL_EXCEPT); }
};

void direct_transform(void *ctx, const double *in, double *out, std::ptrdiff_t n) {
    KeepFpFlags keep;
    auto *u = static_cast<Ufunc *>(ctx);
    char *args[2] = {(char *)in, (char *)out};
    Py_ssize_t dims[1] = {(Py_ssize_t)n}, steps[2] = {8, 8};
    u->fn(args, dims, steps, u->data);
}

// Fallback through the ufunc object itself (GIL held, floating-point errors ignored).
void python_transform(void *ctx, const double *in, double *out, std::ptrdiff_t n) {
    KeepFpFlags keep;
    auto *u = static_cast<Ufunc *>(ctx);
    nb::object mi = duv::steal_checked(PyMemoryView_FromMemory((char *)in, n * 8, PyBUF_READ));
    nb::object mo = duv::steal_checked(PyMemoryView_FromMemory((char *)out, n * 8, PyBUF_WRITE));
    nb::handle frombuffer(S.frombuffer), f64(S.float64);
    nb::handle(u->ufunc)(frombuffer(mi, "dtype"_a = f64), "out"_a = frombuffer(mo, "dtype"_a = f64));
}

// Replays the floating-point exceptions that the logarithm of a whole array raised,
// through NumPy itself, so that np.errstate and warning filters apply as they would.
void emit_flags(const Ufunc &u, unsigned flags) {
    if (flags) nb::handle(u.ufunc)(nb::handle(u.probe[flags]));
}

// --- buffers -----------------------------------------------------------------------

struct Buffer {
    Py_buffer v{};
    bool held = false;
    Buffer() = default;
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    ~Buffer() {
        if (held) PyBuffer_Release(&v);
    }
    bool get(nb::handle o, int flags = PyBUF_STRIDES | PyBUF_FORMAT) {
        if (PyObject_GetBuffer(o.ptr(), &v, flags) != 0) {
            PyErr_Clear();
            return false;
        }
        held = true;
        return true;
    }
    bool float64() const {
        const char *f = v.format;
        if (!f || v.itemsize != 8) return false;
        if (*f == '@' || *f == '=') ++f;
#if PY_BIG_ENDIAN
        else if (*f == '>')
            ++f;
#else
        else if (*f == '<')
            ++f;
#endif
        return f[0] == 'd' && f[1] == '\0';
    }
    const double *at(Py_ssize_t i) const { return (const double *)((const char *)v.buf + i * v.strides[0]); }
};

// Validated inputs as seen by the kernel.
struct Arrays {
    nb::object t_obj, p_obj, w_obj, mo_obj;
    Buffer t, p, w, mo;
    k::View vt, vp;
    k::WeightView wv;
    bool mo_weights = false;  // multioutput is an array of per-output weights
    std::ptrdiff_t n = 0, k = 0;
};

bool view_of(Buffer &b, k::View &v) {
    if (b.v.ndim < 1 || b.v.ndim > 2) return false;
    v.data = (const char *)b.v.buf;
    v.n = b.v.shape[0];
    v.s0 = b.v.strides[0];
    v.k = b.v.ndim == 2 ? b.v.shape[1] : 1;
    v.s1 = b.v.ndim == 2 ? b.v.strides[1] : 8;
    return true;
}

bool exact_numbers(nb::handle seq) {
    PyObject *o = seq.ptr();
    if (!PyList_CheckExact(o) && !PyTuple_CheckExact(o)) return false;
    Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
    PyObject **items = PySequence_Fast_ITEMS(o);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!PyFloat_CheckExact(items[i]) && !PyLong_CheckExact(items[i])) return false;
    return true;
}

nb::object as_float_array(nb::handle o) { return nb::handle(S.asarray)(o, "dtype"_a = nb::handle(S.float_type)); }

bool is_float_value(nb::handle o) {
    return PyFloat_CheckExact(o.ptr()) || Py_TYPE(o.ptr()) == (PyTypeObject *)S.float64;
}

// The shortcut past scikit-learn's checks: only float64 ndarrays (which check_array
// returns unchanged once their values are finite; the kernel reports any that is not),
// weights and output weights whose conversion cannot run user code, and exact strings.
bool fast_prepare(nb::handle y_true, nb::handle y_pred, nb::handle sw, nb::handle mo, nb::handle nan_policy, Arrays &A,
                  bool &drop) {
    PyTypeObject *nd = (PyTypeObject *)S.ndarray;
    if (Py_TYPE(y_true.ptr()) != nd || Py_TYPE(y_pred.ptr()) != nd) return false;
    if (nan_policy.is_valid()) {
        if (!PyUnicode_CheckExact(nan_policy.ptr())) return false;
        if (PyUnicode_CompareWithASCIIString(nan_policy.ptr(), "raise") == 0)
            drop = false;
        else if (PyUnicode_CompareWithASCIIString(nan_policy.ptr(), "drop") == 0)
            drop = true;
        else
            return false;
    }
    if (!A.t.get(y_true) || !A.p.get(y_pred) || !A.t.float64() || !A.p.float64()) return false;
    if (!view_of(A.t, A.vt) || !view_of(A.p, A.vp)) return false;
    if (A.vt.n < 1 || A.vt.k < 1 || A.vt.n != A.vp.n || A.vt.k != A.vp.k) return false;
    A.n = A.vt.n;
    A.k = A.vt.k;
    if (!sw.is_none()) {
        if (Py_TYPE(sw.ptr()) == nd) {
            A.w_obj = nb::borrow(sw);
        } else if (exact_numbers(sw)) {
            try {
                A.w_obj = as_float_array(sw);
            } catch (nb::python_error &) {
                return false;
            }
        } else {
            return false;
        }
        if (!A.w.get(A.w_obj) || !A.w.float64() || A.w.v.ndim != 1 || A.w.v.shape[0] != A.n) return false;
        A.wv.data = (const char *)A.w.v.buf;
        A.wv.s = A.w.v.strides[0];
    }
    if (PyUnicode_CheckExact(mo.ptr())) {
        if (PyUnicode_CompareWithASCIIString(mo.ptr(), "raw_values") != 0 &&
            PyUnicode_CompareWithASCIIString(mo.ptr(), "uniform_average") != 0)
            return false;
        A.mo_obj = nb::borrow(mo);
        return true;
    }
    if (Py_TYPE(mo.ptr()) == nd) {
        A.mo_obj = nb::borrow(mo);
    } else if (exact_numbers(mo)) {
        try {
            A.mo_obj = as_float_array(mo);
        } catch (nb::python_error &) {
            return false;
        }
    } else {
        return false;
    }
    if (!A.mo.get(A.mo_obj) || !A.mo.float64() || A.mo.v.ndim != 1 || A.mo.v.shape[0] != A.k) return false;
    A.mo_weights = true;
    return true;
}

void literal_prepare(nb::handle checked, Arrays &A) {
    nb::tuple c = nb::borrow<nb::tuple>(checked);
    auto float64_2d = [&](nb::handle o, nb::object &keep, Buffer &b, k::View &v) {
        keep = nb::borrow(o);
        if (!(b.get(keep) && b.float64() && b.v.ndim == 2)) {
            if (b.held) {
                PyBuffer_Release(&b.v);
                b.held = false;
            }
            keep = as_float_array(o);
            if (!(b.get(keep) && b.float64() && b.v.ndim == 2))
                duv::raise(PyExc_TypeError, "expected a 2-D float64 array");
        }
        view_of(b, v);
    };
    float64_2d(c[0], A.t_obj, A.t, A.vt);
    float64_2d(c[1], A.p_obj, A.p, A.vp);
    A.n = A.vt.n;
    A.k = A.vt.k;
    if (!c[2].is_none()) {
        A.w_obj = nb::borrow(c[2]);
        if (!(A.w.get(A.w_obj) && A.w.float64() && A.w.v.ndim == 1))
            duv::raise(PyExc_TypeError, "expected 1-D float64 weights");
        A.wv.data = (const char *)A.w.v.buf;
        A.wv.s = A.w.v.strides[0];
    }
    A.mo_obj = nb::borrow(c[3]);
    if (!PyUnicode_Check(A.mo_obj.ptr())) {
        if (!(A.mo.get(A.mo_obj) && A.mo.float64() && A.mo.v.ndim == 1))
            duv::raise(PyExc_TypeError, "expected 1-D float64 output weights");
        A.mo_weights = true;
    }
}

// --- the kernel pass -----------------------------------------------------------------

constexpr std::ptrdiff_t kReleaseGil = 1 << 14;

struct ErrstateIgnore {
    nb::object cm;
    ErrstateIgnore() {
        cm = nb::handle(S.errstate)("all"_a = "ignore");
        cm.attr("__enter__")();
    }
    ~ErrstateIgnore() {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyObject *r = PyObject_CallMethod(cm.ptr(), "__exit__", "OOO", Py_None, Py_None, Py_None);
        Py_XDECREF(r);
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
    }
};

k::Result run_kernel(const Arrays &A, k::Options o, Ufunc *u) {
    if (u) {
        o.transform = u->fn ? direct_transform : python_transform;
        o.ctx = u;
    }
    std::fexcept_t saved;
    std::fegetexceptflag(&saved, FE_ALL_EXCEPT);
    k::Result r;
    if (u && !u->fn) {
        ErrstateIgnore guard;
        r = k::run(A.vt, A.vp, A.wv, o);
    } else if (A.n * A.k >= kReleaseGil) {
        nb::gil_scoped_release release;
        r = k::run(A.vt, A.vp, A.wv, o);
    } else {
        r = k::run(A.vt, A.vp, A.wv, o);
    }
    std::fesetexceptflag(&saved, FE_ALL_EXCEPT);
    return r;
}

k::Metric metric_of(Kind kind) {
    switch (kind) {
    case Kind::AbsoluteError: return k::Metric::AbsoluteError;
    case Kind::SquaredError:
    case Kind::RootSquaredError: return k::Metric::SquaredError;
    case Kind::AbsolutePercentageError: return k::Metric::AbsolutePercentageError;
    default: return k::Metric::Variance;
    }
}

[[noreturn]] void raise_zero_weights() {
    duv::raise(PyExc_ZeroDivisionError, "Weights sum to zero, can't be normalized");
}

// The metric's numbers from the kernel's sums, before anything is said to Python.
struct Numbers {
    enum { Value, Undefined, ZeroWeights, ZeroOutputWeights } what = Value;
    std::vector<double> per;  // one value per output
    double value = 0.0;       // the average over outputs unless "raw_values"
    bool raw = false;
    bool fp_exception = false;  // NumPy's arithmetic would have warned: redo it literally
};

Numbers compute(Kind kind, const k::Result &r, const Arrays &A) {
    Numbers x;
    std::size_t kk = (std::size_t)A.k;
    bool weighted = A.wv.data != nullptr;
    bool variance = kind == Kind::R2 || kind == Kind::FractionUnexplained;
    // Returned before any arithmetic of the documented steps.
    if (variance && r.n_kept < 2) {
        x.what = Numbers::Undefined;
        return x;
    }
    if (variance && weighted && r.weight_sum == 0.0) {
        x.what = Numbers::ZeroWeights;
        return x;
    }
    x.fp_exception = r.fp_exception;
    if (weighted && r.weight_sum == 0.0) {
        x.what = Numbers::ZeroWeights;
        return x;
    }
    std::fexcept_t saved;
    std::fegetexceptflag(&saved, FE_ALL_EXCEPT);
    std::feclearexcept(FE_ALL_EXCEPT);
    x.per.resize(kk);
    std::vector<double> &per = x.per;
    if (variance) {
        for (std::size_t j = 0; j < kk; ++j) {
            double res = r.sum[j], tot = r.ss_tot[j];
            if (kind == Kind::R2) {
                if (res != 0.0 && tot != 0.0)
                    per[j] = 1.0 - res / tot;
                else
                    per[j] = res != 0.0 ? 0.0 : 1.0;
            } else {
                if (tot != 0.0)
                    per[j] = res / tot;
                else
                    per[j] = res == 0.0 ? 0.0 : 1.0;
            }
        }
    } else {
        double denom = weighted ? r.weight_sum : (double)r.n_kept;
        for (std::size_t j = 0; j < kk; ++j) {
            per[j] = r.sum[j] / denom;
            if (kind == Kind::RootSquaredError) per[j] = std::sqrt(per[j]);
        }
    }
    if (!A.mo_weights) {
        x.raw = compare(A.mo_obj, DUV_STR("raw_values"), Py_EQ);
        if (!x.raw) x.value = k::numpy_sum(per.data(), (std::ptrdiff_t)kk) / (double)kk;
    } else {
        // np.average's sums, in its order, so that a cancelling weight total is zero exactly when NumPy's is.
        std::vector<double> w(kk), prod(kk);
        for (std::size_t j = 0; j < kk; ++j) w[j] = *A.mo.at((Py_ssize_t)j);
        double ws = k::numpy_sum(w.data(), (std::ptrdiff_t)kk);
        if (ws == 0.0) {
            x.what = Numbers::ZeroOutputWeights;
        } else {
            for (std::size_t j = 0; j < kk; ++j) prod[j] = per[j] * w[j];
            x.value = k::numpy_sum(prod.data(), (std::ptrdiff_t)kk) / ws;
        }
    }
    x.fp_exception |= std::fetestexcept(FE_DIVBYZERO | FE_OVERFLOW | FE_INVALID) != 0;
    std::fesetexceptflag(&saved, FE_ALL_EXCEPT);
    return x;
}

nb::object present(const duv::Args &a, Kind kind, const Numbers &x) {
    switch (x.what) {
    case Numbers::Undefined: {
        nb::object warnings = kind == Kind::R2 ? a.global(DUV_STR("warnings")) : nb::module_::import_("warnings");
        warnings.attr("warn")("R^2 score is not well-defined with less than two samples.",
                              a.global(DUV_STR("UndefinedMetricWarning")));
        return duv::steal_checked(PyFloat_FromDouble(NAN));
    }
    case Numbers::ZeroWeights:
    case Numbers::ZeroOutputWeights: raise_zero_weights();
    case Numbers::Value: break;
    }
    if (!x.raw) return duv::steal_checked(PyFloat_FromDouble(x.value));
    nb::object out = nb::handle(S.empty)(x.per.size());
    Buffer b;
    if (!b.get(out, PyBUF_RECORDS)) throw nb::python_error();
    for (std::size_t j = 0; j < x.per.size(); ++j) *(double *)((char *)b.v.buf + j * b.v.strides[0]) = x.per[j];
    return out;
}

// --- the documented steps in NumPy: for inputs on which its arithmetic raises floating-point
// warnings, and for modules whose names have been rebound ---

nb::object pyop(PyObject *r) { return duv::steal_checked(r); }

// Columns of `a` whose values on rows of non-zero weight all equal the first such value.
// None when the arrays are not what the documented steps produce.
std::vector<char> constant_columns(nb::handle a, nb::handle sw) {
    Buffer ab, wb;
    k::View v;
    if (!ab.get(a) || !ab.float64() || ab.v.ndim != 2 || !view_of(ab, v)) return {};
    if (!sw.is_none() && (!wb.get(sw) || !wb.float64() || wb.v.ndim != 1 || wb.v.shape[0] != v.n)) return {};
    std::vector<char> constant((std::size_t)v.k, 1);
    Py_ssize_t first = -1;
    for (Py_ssize_t r = 0; r < v.n; ++r) {
        if (!sw.is_none() && *wb.at(r) == 0.0) continue;
        if (first < 0) {
            first = r;
            continue;
        }
        for (std::ptrdiff_t j = 0; j < v.k; ++j)
            if (v.at(r, j) != v.at(first, j)) constant[(std::size_t)j] = 0;
    }
    return constant;
}

// The metric's own steps on prepared arrays (`eps`: float(eps), or null).
nb::object arithmetic(const duv::Args &a, Kind kind, nb::handle lt, nb::handle lp, nb::handle sw,
                      nb::handle multioutput, nb::handle eps) {
    nb::object np = a.global(DUV_STR("np"));
    nb::object two = pyint(2), zero = pyint(0);
    auto sub = [](nb::handle x, nb::handle y) { return pyop(PyNumber_Subtract(x.ptr(), y.ptr())); };
    auto mul = [](nb::handle x, nb::handle y) { return pyop(PyNumber_Multiply(x.ptr(), y.ptr())); };
    auto div = [](nb::handle x, nb::handle y) { return pyop(PyNumber_TrueDivide(x.ptr(), y.ptr())); };
    auto square = [&](nb::handle x) { return pyop(PyNumber_Power(x.ptr(), two.ptr(), Py_None)); };
    if (kind == Kind::R2 || kind == Kind::FractionUnexplained) {
        if (compare(lt.attr("shape")[zero], two, Py_LT)) {
            Numbers undefined;
            undefined.what = Numbers::Undefined;
            return present(a, kind, undefined);
        }
        nb::object sum = np.attr("sum"), ss_res, ss_tot;
        if (sw.is_none()) {
            nb::object residual = sub(lt, lp);
            ss_res = sum(square(residual), "axis"_a = 0);
            nb::object mean_true = np.attr("mean")(lt, "axis"_a = 0);
            ss_tot = sum(square(sub(lt, mean_true)), "axis"_a = 0);
        } else {
            nb::object w =
                nb::handle(S.asarray)(sw, "dtype"_a = nb::handle(S.float_type)).attr("reshape")(pyint(-1), pyint(1));
            nb::object w_sum = sum(w, "axis"_a = 0);
            if (duv::truthy(np.attr("any")(pyop(PyObject_RichCompare(w_sum.ptr(), zero.ptr(), Py_EQ)))))
                raise_zero_weights();
            nb::object residual = sub(lt, lp);
            ss_res = sum(mul(w, square(residual)), "axis"_a = 0);
            nb::object mean_true = div(sum(mul(w, lt), "axis"_a = 0), w_sum);
            ss_tot = sum(mul(w, square(sub(lt, mean_true))), "axis"_a = 0);
        }
        std::vector<char> constant = constant_columns(lt, sw);
        Buffer b;
        if (b.get(ss_tot, PyBUF_RECORDS) && b.float64() && b.v.ndim == 1 &&
            b.v.shape[0] == (Py_ssize_t)constant.size()) {
            for (std::size_t j = 0; j < constant.size(); ++j) {
                double *t = (double *)((char *)b.v.buf + (Py_ssize_t)j * b.v.strides[0]);
                if (constant[j] && !std::isnan(*t)) *t = 0.0;
            }
        }
        nb::object per;
        nb::object nonzero_tot = pyop(PyObject_RichCompare(ss_tot.ptr(), zero.ptr(), Py_NE));
        auto set = [](nb::handle arr, nb::handle mask, nb::handle value) {
            duv::check(PyObject_SetItem(arr.ptr(), mask.ptr(), value.ptr()) == 0);
        };
        auto at = [](nb::handle arr, nb::handle mask) { return pyop(PyObject_GetItem(arr.ptr(), mask.ptr())); };
        if (kind == Kind::R2) {
            nb::object nonzero_res = pyop(PyObject_RichCompare(ss_res.ptr(), zero.ptr(), Py_NE));
            nb::object valid = pyop(PyNumber_And(nonzero_res.ptr(), nonzero_tot.ptr()));
            per = np.attr("ones")(lt.attr("shape")[pyint(1)], "dtype"_a = nb::handle(S.float_type));
            nb::object one = duv::steal_checked(PyFloat_FromDouble(1.0));
            set(per, valid, sub(one, div(at(ss_res, valid), at(ss_tot, valid))));
            nb::object mask = pyop(PyNumber_And(nonzero_res.ptr(), pyop(PyNumber_Invert(nonzero_tot.ptr())).ptr()));
            set(per, mask, duv::steal_checked(PyFloat_FromDouble(0.0)));
        } else {
            per = np.attr("empty")(lt.attr("shape")[pyint(1)], "dtype"_a = nb::handle(S.float_type));
            set(per, nonzero_tot, div(at(ss_res, nonzero_tot), at(ss_tot, nonzero_tot)));
            nb::object const_mask = pyop(PyNumber_Invert(nonzero_tot.ptr()));
            if (duv::truthy(np.attr("any")(const_mask))) {
                nb::object exact = pyop(PyObject_RichCompare(at(ss_res, const_mask).ptr(),
                                                             duv::steal_checked(PyFloat_FromDouble(0.0)).ptr(), Py_EQ));
                set(per, const_mask, np.attr("where")(exact, 0.0, 1.0));
            }
        }
        return a.global(DUV_STR("_aggregate_multioutput"))(per, multioutput);
    }
    nb::object values;
    if (kind == Kind::AbsolutePercentageError) {
        nb::object denom = np.attr("maximum")(np.attr("abs")(lt), pyop(PyNumber_Float(eps.ptr())));
        values = np.attr("abs")(div(sub(lt, lp), denom));
    } else if (kind == Kind::AbsoluteError) {
        values = np.attr("abs")(sub(lt, lp));
    } else {
        values = square(sub(lt, lp));
    }
    nb::object per = a.global(DUV_STR("_weighted_mean_per_output"))(values, sw);
    if (kind == Kind::RootSquaredError) per = np.attr("sqrt")(per);
    return a.global(DUV_STR("_aggregate_multioutput"))(per, multioutput);
}

// Checked inputs on which NumPy's arithmetic raises floating-point warnings: the logarithm
// has had its say already, so it is taken again quietly.
nb::object redo_arithmetic(const duv::Args &a, Kind kind, Family family, nb::handle y_true, nb::handle y_pred,
                           nb::handle sample_weight, nb::handle multioutput, bool drop, nb::handle eps) {
    nb::object np = a.global(DUV_STR("np"));
    nb::object lt = nb::borrow(y_true), lp = nb::borrow(y_pred), sw = nb::borrow(sample_weight);
    if (family != Family::None) {
        nb::object transform = np.attr(family == Family::Log10 ? "log10" : "log1p");
        {
            ErrstateIgnore quiet;
            lt = transform(lt);
            lp = transform(lp);
        }
        if (drop) {
            nb::object all = np.attr("all"), isfinite = np.attr("isfinite");
            nb::object rows =
                pyop(PyNumber_And(all(isfinite(lt), "axis"_a = 1).ptr(), all(isfinite(lp), "axis"_a = 1).ptr()));
            lt = pyop(PyObject_GetItem(lt.ptr(), rows.ptr()));
            lp = pyop(PyObject_GetItem(lp.ptr(), rows.ptr()));
            if (!sw.is_none()) sw = pyop(PyObject_GetItem(sw.ptr(), rows.ptr()));
        }
    }
    return arithmetic(a, kind, lt, lp, sw, multioutput, eps);
}

nb::tuple unpack4(nb::handle o) {
    nb::tuple t = nb::borrow<nb::tuple>(duv::steal_checked(PySequence_Tuple(o.ptr())));
    if (nb::len(t) > 4) duv::raise_value_error("too many values to unpack (expected 4)");
    if (nb::len(t) < 4)
        duv::raise_value_error("not enough values to unpack (expected 4, got " + std::to_string(nb::len(t)) + ")");
    return t;
}

// Whether every name the documented steps look up at call time is still bound as on import.
bool names_as_imported(const duv::Args &a, Family family, Kind kind) {
    auto same = [&](nb::handle name, PyObject *original) { return a.global(name).ptr() == original; };
    // Those of _log_metrics, which its helpers use whichever module the metric is in.
    PyObject *np = PyDict_GetItem(S.globals, DUV_STR("np").ptr());
    PyObject *ca = PyDict_GetItem(S.globals, DUV_STR("check_array").ptr());
    PyObject *ccl = PyDict_GetItem(S.globals, DUV_STR("check_consistent_length").ptr());
    if (np != S.np || ca != S.check_array || ccl != S.check_consistent_length) return false;
    if (!same(DUV_STR("np"), S.np) || !same(DUV_STR("_check_y_true_pred_sample_weight"), S.check_fn) ||
        !same(DUV_STR("_aggregate_multioutput"), S.aggregate_fn))
        return false;
    if (family != Family::None && !same(DUV_STR("_prepare_logs"), S.prepare_fn)) return false;
    if (kind != Kind::R2 && kind != Kind::FractionUnexplained && !same(DUV_STR("_weighted_mean_per_output"), S.mean_fn))
        return false;
    return true;
}

// The documented steps through whatever those names are bound to now.
nb::object documented(const duv::Args &a, Kind kind, Family family, nb::handle y_true, nb::handle y_pred,
                      nb::handle sample_weight, nb::handle multioutput, nb::handle nan_policy, nb::handle eps) {
    nb::object allow_nan =
        nan_policy.is_valid() ? duv::steal_checked(PyObject_RichCompare(nan_policy.ptr(), DUV_STR("drop").ptr(), Py_EQ))
                              : nb::object(nb::bool_(false));
    nb::tuple c = unpack4(a.global(DUV_STR("_check_y_true_pred_sample_weight"))(
        y_true, y_pred, sample_weight, multioutput, "allow_nan"_a = allow_nan));
    if (family == Family::None) return arithmetic(a, kind, c[0], c[1], c[2], c[3], eps);
    bool log10 = family == Family::Log10;
    nb::tuple l = unpack4(a.global(DUV_STR("_prepare_logs"))(
        c[0], c[1], c[2], c[3], "transform"_a = a.global(DUV_STR("np")).attr(log10 ? "log10" : "log1p"),
        "family"_a = log10 ? "log10" : "log1p", "nan_policy"_a = nan_policy));
    return arithmetic(a, kind, l[0], l[1], l[2], l[3], eps);
}

}  // namespace

// --- module-facing ---------------------------------------------------------------------

void init(nb::module_ &m) {
    S.globals = leak(nb::borrow(PyModule_GetDict(m.ptr())));
    nb::object np = m.attr("np");
    S.np = leak(np);
    S.check_array = leak(m.attr("check_array"));
    S.check_consistent_length = leak(m.attr("check_consistent_length"));
    S.ndarray = leak(np.attr("ndarray"));
    S.float64 = leak(np.attr("float64"));
    S.float_type = leak(nb::borrow((PyObject *)&PyFloat_Type));
    S.empty = leak(np.attr("empty"));
    S.asarray = leak(np.attr("asarray"));
    S.frombuffer = leak(np.attr("frombuffer"));
    S.errstate = leak(np.attr("errstate"));
    S.multioutput_options =
        leak(duv::steal_checked(PyFrozenSet_New(nb::make_tuple("raw_values", "uniform_average").ptr())));
    S.nan_policy_options = leak(duv::steal_checked(PyFrozenSet_New(nb::make_tuple("raise", "drop").ptr())));
    setup_ufunc(S.log1p, np, "log1p", -1.0, -2.0);
    setup_ufunc(S.log10, np, "log10", 0.0, -1.0);
}

void init_helpers(nb::module_ &m) {
    S.check_fn = leak(m.attr("_check_y_true_pred_sample_weight"));
    S.prepare_fn = leak(m.attr("_prepare_logs"));
    S.mean_fn = leak(m.attr("_weighted_mean_per_output"));
    S.aggregate_fn = leak(m.attr("_aggregate_multioutput"));
}

nb::object check_inputs(nb::handle y_true, nb::handle y_pred, nb::handle sample_weight, nb::handle multioutput,
                        nb::handle allow_nan) {
    global("check_consistent_length")(y_true, y_pred);
    nb::object force = duv::truthy(allow_nan) ? nb::object(nb::str("allow-nan")) : nb::object(nb::bool_(true));
    nb::object check_array = global("check_array");
    nb::handle float_type(S.float_type);
    nb::object yt = check_array(y_true, "ensure_2d"_a = false, "dtype"_a = float_type, "ensure_all_finite"_a = force);
    nb::object yp = check_array(y_pred, "ensure_2d"_a = false, "dtype"_a = float_type, "ensure_all_finite"_a = force);
    nb::object one = pyint(1), minus_one = pyint(-1), zero = pyint(0);
    if (compare(yt.attr("ndim"), one, Py_EQ)) yt = yt.attr("reshape")(minus_one, one);
    if (compare(yp.attr("ndim"), one, Py_EQ)) yp = yp.attr("reshape")(minus_one, one);
    if (compare(yt.attr("shape"), yp.attr("shape"), Py_NE))
        duv::raise_value_error("y_true and y_pred have different shapes: " + duv::format(yt.attr("shape")) + " vs " +
                               duv::format(yp.attr("shape")));
    nb::object np = global("np");
    nb::object sw = nb::borrow(sample_weight);
    if (!sw.is_none()) {
        sw = np.attr("asarray")(sw, "dtype"_a = float_type);
        if (compare(sw.attr("ndim"), one, Py_NE) || compare(sw.attr("shape")[zero], yt.attr("shape")[zero], Py_NE))
            duv::raise_value_error("sample_weight must be 1D with length equal to n_samples");
        if (duv::truthy(np.attr("any")(duv::steal_checked(PyObject_RichCompare(sw.ptr(), zero.ptr(), Py_LT)))))
            duv::raise_value_error("sample_weight must be non-negative");
    }
    nb::object mo = nb::borrow(multioutput);
    if (PyUnicode_Check(mo.ptr())) {
        int in = PySet_Contains(S.multioutput_options, mo.ptr());
        duv::check(in >= 0);
        if (!in) duv::raise_value_error("multioutput must be 'raw_values' or 'uniform_average' when a string");
    } else if (mo.is_none()) {
        duv::raise_value_error(
            "multioutput must be 'raw_values', 'uniform_average' or an array of per-output weights, got None");
    } else {
        mo = np.attr("asarray")(duv::steal_checked(PySequence_List(mo.ptr())), "dtype"_a = float_type);
        if (compare(mo.attr("ndim"), one, Py_NE) || compare(mo.attr("shape")[zero], yt.attr("shape")[one], Py_NE))
            duv::raise_value_error("multioutput weights must be 1D with length equal to n_outputs");
    }
    return nb::make_tuple(yt, yp, sw, mo);
}

void validate_nan_policy(nb::handle nan_policy) {
    int in = PySet_Contains(S.nan_policy_options, nan_policy.ptr());
    duv::check(in >= 0);
    if (!in) duv::raise_value_error("nan_policy must be one of {'raise','drop'}");
}

nb::object evaluate(const duv::Args &a, Kind kind, Family family, nb::handle y_true, nb::handle y_pred,
                    nb::handle sample_weight, nb::handle multioutput, nb::handle nan_policy, nb::handle eps) {
    Ufunc *u = family == Family::Log1p ? &S.log1p : family == Family::Log10 ? &S.log10 : nullptr;
    k::Options o;
    o.family = family;
    o.metric = metric_of(kind);
    bool eps_ready = !eps.is_valid() || is_float_value(eps);
    if (eps.is_valid() && eps_ready) o.eps = PyFloat_AS_DOUBLE(eps.ptr());
    if (!names_as_imported(a, family, kind))
        return documented(a, kind, family, y_true, y_pred, sample_weight, multioutput, nan_policy, eps);

    {
        Arrays A;
        bool drop = false;
        if (eps_ready && fast_prepare(y_true, y_pred, sample_weight, multioutput, nan_policy, A, drop)) {
            o.drop = drop;
            o.unchecked = true;
            k::Result r = run_kernel(A, o, u);
            if (r.status == k::Status::Ok) {
                Numbers x = compute(kind, r, A);
                if (!x.fp_exception) {
                    if (u) {
                        emit_flags(*u, r.true_flags);
                        emit_flags(*u, r.pred_flags);
                    }
                    return present(a, kind, x);
                }
            }
        }
    }

    // Anything unusual takes the documented road: scikit-learn's checks first, so that
    // their conversions, configuration and messages apply, then the kernel on the result.
    Arrays A;
    nb::object allow_nan =
        nan_policy.is_valid() ? duv::steal_checked(PyObject_RichCompare(nan_policy.ptr(), DUV_STR("drop").ptr(), Py_EQ))
                              : nb::object(nb::bool_(false));
    nb::object checked = check_inputs(y_true, y_pred, sample_weight, multioutput, allow_nan);
    o.drop = false;
    if (nan_policy.is_valid()) {
        validate_nan_policy(nan_policy);
        o.drop = !compare(nan_policy, DUV_STR("raise"), Py_EQ);
    }
    literal_prepare(checked, A);
    o.unchecked = false;
    if (!eps_ready) o.metric = k::Metric::AbsoluteError;  // eps is converted only after the log checks
    k::Result r = run_kernel(A, o, u);
    if (r.status == k::Status::Domain) {
        duv::raise_value_error(family == Family::Log10
                                   ? "Targets and predictions for log10-space metrics must be strictly positive."
                                   : "Targets and predictions for log1p-space metrics must be >= -1.");
    }
    if (u) {
        emit_flags(*u, r.true_flags);
        emit_flags(*u, r.pred_flags);
    }
    if (r.status == k::Status::NonFinite) duv::raise_value_error("Non-finite values encountered after log transform.");
    if (r.status == k::Status::AllDropped) duv::raise_value_error("All samples were dropped by nan_policy='drop'.");
    nb::object e;
    if (eps.is_valid()) {
        e = duv::steal_checked(PyNumber_Float(eps.ptr()));
        if (!eps_ready) {
            o.eps = PyFloat_AS_DOUBLE(e.ptr());
            o.metric = k::Metric::AbsolutePercentageError;
            r = run_kernel(A, o, u);
        }
    }
    Numbers x = compute(kind, r, A);
    if (x.fp_exception) {
        nb::tuple c = nb::borrow<nb::tuple>(checked);
        return redo_arithmetic(a, kind, family, c[0], c[1], c[2], c[3], o.drop, e);
    }
    return present(a, kind, x);
}

}  // namespace duv::logm
