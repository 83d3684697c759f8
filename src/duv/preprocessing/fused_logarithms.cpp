#include "duv/preprocessing/fused_logarithms.hpp"

#include "duv/interop/buffer.hpp"
#include "duv/interop/capi.hpp"
#include "duv/interop/ufunc_loop.hpp"
#include "duv/interop/unlocked.hpp"
#include "duv/interop/util.hpp"
#include "duv/kernels/log_scale.hpp"
#include "duv/kernels/loop_probes.hpp"

#include <cmath>

namespace duv::preprocessing {

namespace ls = kernels::log_scale;

namespace {

// The loop as the forward kernel runs it (whole array; blocks of an odd length, with sign
// and bound) must reproduce np.f(x) and np.f(np.clip(-(-x), bound, None)).
bool forward_reproduces(nb::handle np, nb::handle ufunc, const ls::Forward &f, const std::vector<double> &x) {
    const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(x.size());
    std::vector<double> neg(x.size()), out(x.size());
    for (size_t i = 0; i < x.size(); ++i) neg[i] = -x[i];
    nb::object arr = float64_vector(np, x), plain, bounded;
    {
        IgnoringNumpyErrors quiet(np);  // the probe must not warn at import
        plain = ufunc(arr);
        bounded = ufunc(np.attr("clip")(arr, f.bound, nb::none()));
    }
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
    nb::object arr = float64_vector(np, x), plain, negated;
    {
        IgnoringNumpyErrors quiet(np);
        plain = power ? ufunc(10.0, arr) : ufunc(arr);
        negated = np.attr("negative")(plain);
    }
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
        if (loop && forward_reproduces(np, ufunc, {loop, false, false, bounds[m]}, kernels::log_probe(m == kLog1p)))
            st.log[m] = loop;
    }
    const double limits[] = {300.0, 700.0, 700.0};
    for (int m = kLog10; m <= kLog1p; ++m) {
        nb::object ufunc = np.attr(kInverseName[m]);
        const bool power = m == kLog10;
        kernels::UfuncLoop loop = float64_loop(np, ufunc, power ? 2 : 1);
        if (loop && inverse_reproduces(np, ufunc, power, kernels::exp_probe(limits[m]), loop)) st.inverse[m] = loop;
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
