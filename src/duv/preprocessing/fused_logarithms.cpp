#include "duv/preprocessing/fused_logarithms.hpp"

#include "duv/interop/buffer.hpp"
#include "duv/interop/capi.hpp"
#include "duv/interop/ufunc_loop.hpp"
#include "duv/interop/unlocked.hpp"
#include "duv/interop/util.hpp"
#include "duv/kernels/log_scale.hpp"

#include <cmath>
#include <vector>

namespace duv::preprocessing {

namespace ls = kernels::log_scale;

namespace {

// Deterministic pseudo-random numbers in [0, 1).
class Uniform {
public:
    double operator()() {
        state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(state_ >> 11) * 0x1.0p-53;
    }

private:
    unsigned long long state_ = 0x9e3779b97f4a7c15ULL;
};

// Probe values for a logarithm: positive numbers over the whole exponent range, numbers
// near 1 and, for log1p, numbers in (-1, 0); NaN and inf. log1p keeps a subnormal input as
// its result and may raise the underflow flag, which sends the kernel back to NumPy anyway,
// so its probe starts at the smallest normal number.
std::vector<double> log_probe(bool log1p) {
    Uniform u;
    std::vector<double> v;
    v.reserve(4009);
    const double lowest = log1p ? -1022.0 : -1074.0;
    for (int i = 0; i < 3000; ++i)
        v.push_back(std::ldexp(1.0 + u(), static_cast<int>(lowest + (1024.0 - lowest) * u())));
    for (int i = 0; i < 500; ++i) v.push_back(1.0 + (u() - 0.5) * std::ldexp(1.0, -(i % 53)));
    if (log1p)
        for (int i = 0; i < 500; ++i) v.push_back(-u() * (1.0 - 0x1.0p-40));
    for (double s : {std::nan(""), HUGE_VAL, 1.0, 2.0, 10.0, 0.5, 0x1.0p-1022, 1.7976931348623157e308}) v.push_back(s);
    if (!log1p) v.push_back(4.9e-324);
    return v;
}

// Probe values for an exponential whose results stay finite and normal for |x| <= limit:
// numbers spread over [-limit, limit], small numbers of both signs, NaN.
std::vector<double> exp_probe(double limit) {
    Uniform u;
    std::vector<double> v;
    v.reserve(4007);
    for (int i = 0; i < 3000; ++i) v.push_back((2.0 * u() - 1.0) * limit);
    for (int i = 0; i < 1000; ++i) v.push_back((u() - 0.5) * std::ldexp(1.0, -(i % 60)));
    for (double s : {std::nan(""), 0.0, -0.0, 1.0, -1.0, limit, -limit}) v.push_back(s);
    return v;
}

nb::object as_array(nb::handle np, const std::vector<double> &v) {
    nb::list l;
    for (double x : v) l.append(x);
    return np.attr("array")(l, "dtype"_a = float_type());
}

// expr() under np.errstate(all="ignore"): the probe must not warn at import.
template <typename F> nb::object numpy_reference(nb::handle np, F &&expr) {
    struct Errstate {
        nb::object cm;
        explicit Errstate(nb::handle np) : cm(np.attr("errstate")("all"_a = "ignore")) { cm.attr("__enter__")(); }
        ~Errstate() {
            nb::error_scope keep;  // an error already raised stays the one reported
            PyObject *r = PyObject_CallMethod(cm.ptr(), "__exit__", "OOO", Py_None, Py_None, Py_None);
            if (!r) PyErr_Clear();
            Py_XDECREF(r);
        }
    } ignore(np);
    return expr();
}

// The loop as the forward kernel runs it (whole array; blocks of an odd length, with sign
// and bound) must reproduce np.f(x) and np.f(np.clip(-(-x), bound, None)).
bool forward_reproduces(nb::handle np, nb::handle ufunc, const ls::Forward &f, const std::vector<double> &x) {
    const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(x.size());
    std::vector<double> neg(x.size()), out(x.size());
    for (size_t i = 0; i < x.size(); ++i) neg[i] = -x[i];
    nb::object arr = as_array(np, x);
    nb::object plain = numpy_reference(np, [&] { return ufunc(arr); });
    nb::object bounded = numpy_reference(np, [&] { return ufunc(np.attr("clip")(arr, f.bound, nb::none())); });
    if (!ls::forward({f.log, false, false, 0.0}, x.data(), out.data(), n) || !same_bits(plain, out.data(), x.size()))
        return false;
    return ls::forward({f.log, true, true, f.bound}, neg.data(), out.data(), n, 61) &&
           same_bits(bounded, out.data(), x.size());
}

// The loop as the inverse kernel runs it must reproduce np.f(x) and -np.f(x).
bool inverse_reproduces(nb::handle np, nb::handle ufunc, bool power, const std::vector<double> &x,
                        kernels::UfuncLoop loop) {
    const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(x.size());
    std::vector<double> out(x.size());
    nb::object arr = as_array(np, x);
    nb::object plain = numpy_reference(np, [&] { return power ? ufunc(10.0, arr) : ufunc(arr); });
    nb::object negated = numpy_reference(np, [&] { return np.attr("negative")(plain); });
    if (!ls::inverse({loop, power, false}, x.data(), out.data(), n) || !same_bits(plain, out.data(), x.size()))
        return false;
    return ls::inverse({loop, power, true}, x.data(), out.data(), n, 61) && same_bits(negated, out.data(), x.size());
}

}  // namespace

void probe_loops(ScalerState &st, nb::handle np) {
    const double bounds[] = {1e-3, 1e-3, -0.5};
    for (int m = kLog10; m <= kLog1p; ++m) {
        nb::object ufunc = np.attr(kLogName[m]);
        kernels::UfuncLoop loop = float64_loop(np, ufunc, 1);
        if (loop && forward_reproduces(np, ufunc, {loop, false, false, bounds[m]}, log_probe(m == kLog1p)))
            st.log[m] = loop;
    }
    const double limits[] = {300.0, 700.0, 700.0};
    for (int m = kLog10; m <= kLog1p; ++m) {
        nb::object ufunc = np.attr(kInverseName[m]);
        const bool power = m == kLog10;
        kernels::UfuncLoop loop = float64_loop(np, ufunc, power ? 2 : 1);
        if (loop && inverse_reproduces(np, ufunc, power, exp_probe(limits[m]), loop)) st.inverse[m] = loop;
    }
}

namespace {

// An exact float64 ndarray whose elements lie one after another (C or Fortran order),
// with its data pointer.
struct Flat {
    ArrayView view;
    double *data = nullptr;
    std::ptrdiff_t n = 0;

    Flat(const ScalerState &st, nb::handle a, bool writable = false) {
        if (Py_TYPE(a.ptr()) != reinterpret_cast<PyTypeObject *>(st.numpy["np.ndarray"].ptr())) return;
        view = ArrayView(a, writable);
        // A 0-d array would come back from NumPy as a scalar.
        if (!view.has(Dtype::F64) || view.ndim() < 1 || !(view.c_contiguous() || view.f_contiguous())) return;
        if (reinterpret_cast<std::uintptr_t>(view.data()) % alignof(double) != 0) return;
        data = reinterpret_cast<double *>(view.data());
        n = static_cast<std::ptrdiff_t>(view.size());
    }
    explicit operator bool() const { return data != nullptr; }
};

// Runs `kernel(in, out, n)` into a new array laid out like `X`; nullopt when the kernel hands
// the work back to NumPy.
template <typename K> std::optional<nb::object> run_fused(const ScalerState &st, nb::handle X, K &&kernel) {
    Flat in(st, X);
    if (!in) return std::nullopt;
    nb::object out = st.numpy["np.empty_like"](X);
    Flat o(st, out, true);
    if (!o || o.n != in.n) return std::nullopt;
    if (!run_unlocked(in.n, [&] { return kernel(in.data, o.data, in.n); })) return std::nullopt;
    return out;
}

}  // namespace

std::optional<nb::object> fused_forward(const Globals &g, nb::handle X, bool negate, nb::handle lb, Map m) {
    const ScalerState &st = g.state<ScalerState>();
    const bool clip = !lb.is_none();
    if (!st.log[m] || !st.numpy.intact(g)) return std::nullopt;
    if (clip && (!PyFloat_CheckExact(lb.ptr()) || std::isnan(float_value(lb.ptr())))) return std::nullopt;
    const ls::Forward f{st.log[m], negate, clip, clip ? float_value(lb.ptr()) : 0.0};
    return run_fused(st, X, [&f](const double *x, double *out, std::ptrdiff_t n) { return ls::forward(f, x, out, n); });
}

std::optional<nb::object> fused_inverse(const Globals &g, nb::handle X, bool negate, Map m) {
    const ScalerState &st = g.state<ScalerState>();
    if (!st.inverse[m] || !st.numpy.intact(g)) return std::nullopt;
    const ls::Inverse f{st.inverse[m], m == kLog10, negate};
    return run_fused(st, X, [&f](const double *x, double *out, std::ptrdiff_t n) { return ls::inverse(f, x, out, n); });
}

}  // namespace duv::preprocessing
