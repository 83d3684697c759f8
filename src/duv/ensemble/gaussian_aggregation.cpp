#include "duv/ensemble/gaussian_aggregation.hpp"

#include "duv/interop/capi.hpp"
#include "duv/interop/unlocked.hpp"
#include "duv/kernels/fp_flags.hpp"

#include <cmath>
#include <stdexcept>

namespace duv::ensemble {

namespace ea = kernels::expert_aggregation;

Method method_named(nb::handle name) {
    if (equals(name, "simple")) return Method::Simple;
    if (equals(name, "inverse_variance")) return Method::InverseVariance;
    if (equals(name, "mixture")) return Method::Mixture;
    raise_value_error("Unknown aggregation method: " + format(name));
}

namespace {

nb::object numpy_simple(nb::handle np, nb::handle means, nb::handle stds) {
    nb::object final_mean = np.attr("mean")(means, "axis"_a = 0);
    nb::object final_std = np.attr("sqrt")(np.attr("mean")(squared(stds), "axis"_a = 0));
    return nb::make_tuple(final_mean, final_std);
}

nb::object numpy_inverse_variance(nb::handle np, nb::handle means, nb::handle stds, nb::handle epsilon) {
    nb::object one = nb::float_(1.0);
    nb::object inv = one / (squared(stds) + epsilon);
    nb::object weights = inv / np.attr("sum")(inv, "axis"_a = 0, "keepdims"_a = true);
    nb::object final_mean = np.attr("sum")(weights * means, "axis"_a = 0);
    nb::object final_variance = one / np.attr("sum")(inv, "axis"_a = 0);
    return nb::make_tuple(final_mean, np.attr("sqrt")(final_variance));
}

// np.ones(k) / k, or np.asarray(weights) / np.sum(weights).
nb::object mixture_weights(nb::handle np, nb::handle means, nb::handle weights) {
    if (weights.is_none()) {
        nb::object k = shape_of(means, 0);
        return np.attr("ones")(k) / k;
    }
    nb::object w = np.attr("asarray")(weights);
    return w / np.attr("sum")(w);
}

// The mixture's mean and standard deviation for weights `w` shaped to broadcast over the stack.
nb::object numpy_mixture_core(nb::handle np, nb::handle means, nb::handle variances, nb::handle w, nb::handle epsilon) {
    nb::object final_mean = np.attr("sum")(w * means, "axis"_a = 0);
    nb::object spread = squared(means - final_mean);
    nb::object final_variance = np.attr("sum")(w * (variances + spread), "axis"_a = 0);
    final_variance = np.attr("maximum")(final_variance, epsilon);
    return nb::make_tuple(final_mean, np.attr("sqrt")(final_variance));
}

// `normalized`: the weights already made by mixture_weights, or None to make them here.
nb::object numpy_mixture(nb::handle np, nb::handle means, nb::handle stds, nb::handle weights, nb::handle epsilon,
                         nb::handle normalized = nb::none()) {
    nb::object variances = squared(stds);
    nb::object w = normalized.is_none() ? mixture_weights(np, means, weights) : nb::borrow(normalized);
    nb::list shape;  // (k, 1, ...): each expert's weight multiplies all of its entries
    shape.append(-1);
    for (auto i = nb::cast<Py_ssize_t>(means.attr("ndim")); i > 1; --i) shape.append(1);
    return numpy_mixture_core(np, means, variances, w.attr("reshape")(nb::tuple(shape)), epsilon);
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
        out = float_value(o);
    } else {
        return false;
    }
    return !single || !std::isfinite(out) || std::isfinite(static_cast<double>(static_cast<float>(out)));
}

// Runs kernel() over n elements; false when it raised a floating-point exception that NumPy
// would report (underflow only where np.geterr() asks for it), so that NumPy must redo the work.
template <typename F> bool run_kernel(nb::handle np, std::size_t n, F &&kernel) {
    auto [troubled, underflow] = run_unlocked(static_cast<std::ptrdiff_t>(n), [&] {
        kernels::FpFlags flags;
        kernel();
        return std::pair(flags.troubled(), flags.underflowed());
    });
    return !troubled && !(underflow && !equals(np.attr("geterr")()["under"], "ignore"));
}

// A stack of means and standard deviations as the kernels take it.
struct KernelStack {
    ArrayView means, stds;
    bool single = false;  // float32, else float64
    std::size_t k = 0, ncols = 0;
    nb::tuple out_shape;  // the stack's shape without the expert axis
};

std::optional<KernelStack> kernel_stack(const Globals &g, nb::handle means, nb::handle stds) {
    const MixtureState &st = g.state<MixtureState>();
    if (!st.numpy.intact(g) || !st.exact_ndarray(means) || !st.exact_ndarray(stds)) return std::nullopt;
    KernelStack s;
    s.means = ArrayView(means);
    s.stds = ArrayView(stds);
    std::optional<Dtype> dtype = float_dtype(s.means);
    const int ndim = s.means.ndim();
    if (!dtype || float_dtype(s.stds) != dtype || ndim < 2 || s.stds.ndim() != ndim) return std::nullopt;
    nb::list shape;
    s.ncols = 1;
    for (int i = 0; i < ndim; ++i) {
        if (s.means.shape(i) != s.stds.shape(i)) return std::nullopt;
        if (i == 0) continue;
        s.ncols *= static_cast<std::size_t>(s.means.shape(i));
        shape.append(s.means.shape(i));
    }
    s.single = *dtype == Dtype::F32;
    s.k = static_cast<std::size_t>(s.means.shape(0));
    s.out_shape = nb::tuple(shape);
    if (s.k == 0 || s.ncols == 0) return std::nullopt;
    return s;
}

// The kernel on a stack of T, into new arrays of R (the dtype NumPy computes in); invalid
// when NumPy must redo the work.
template <typename T, typename R>
nb::object stack_as(nb::handle np, Method method, const KernelStack &s, const double *w, double eps) {
    NewArray<R> mean = new_array<R>(np, s.out_shape), std = new_array<R>(np, s.out_shape);
    const ea::Stack<T> stack{s.k, s.ncols, aligned_data<T>(s.means), aligned_data<T>(s.stds)};
    if (!run_kernel(np, s.k * s.ncols, [&] { ea::aggregate_stack(method, stack, w, eps, mean.data, std.data); }))
        return nb::object();
    return nb::make_tuple(mean.array, std.array);
}

// The rows' merge through the kernel; `weights` (n, k) float64, C-ordered, or null.
std::optional<nb::object> fused_rows(const Globals &g, Method method, const RoutedRows &r, nb::handle weights,
                                     double eps) {
    const MixtureState &st = g.state<MixtureState>();
    if (!st.numpy.intact(g)) return std::nullopt;
    nb::handle np = st.numpy["np"];
    nb::object shape = r.multi ? nb::make_tuple(r.groups.n, r.width) : nb::make_tuple(r.groups.n);
    NewArray<double> mean = new_array<double>(np, shape), std = new_array<double>(np, shape);
    ArrayView w_view = weights.is_valid() ? ArrayView(weights) : ArrayView();
    const double *w = aligned_data<double>(w_view);
    if (weights.is_valid() && !w) throw std::runtime_error("unexpected weights");
    auto merge = [&](const auto &view) {
        return run_kernel(np, r.groups.n * r.groups.k * r.width,
                          [&] { ea::aggregate_routed(method, view.routed(), w, eps, mean.data, std.data); });
    };
    if (!(r.single ? merge(RoutedRows::View<float>(r)) : merge(RoutedRows::View<double>(r)))) return std::nullopt;
    return nb::make_tuple(mean.array, std.array);
}

// NumPy's steps on the per-row stacks side by side; results as float64.
nb::object numpy_rows(nb::handle np, Method method, const RoutedRows &r, nb::handle weights, nb::handle epsilon) {
    auto [P, S] = side_by_side(np, r);
    nb::object res;
    if (method == Method::Simple) {
        res = numpy_simple(np, P, S);
    } else if (method == Method::InverseVariance) {
        res = numpy_inverse_variance(np, P, S, epsilon);
    } else if (weights.is_valid()) {
        nb::object w = weights.attr("T");
        if (r.multi) w = getitem(w, nb::make_tuple(full_slice(), full_slice(), nb::none()));
        res = numpy_mixture_core(np, P, squared(S), w, epsilon);
    } else {
        res = numpy_mixture(np, P, S, nb::none(), epsilon);
    }
    nb::object f64 = np.attr("float64");
    return nb::make_tuple(np.attr("asarray")(nb::tuple(res)[0], "dtype"_a = f64),
                          np.attr("asarray")(nb::tuple(res)[1], "dtype"_a = f64));
}

// Normalised mixture weights as the kernel reads them (k aligned float64 values of an exact
// ndarray, viewed by `view`), or null.
const double *kernel_weights(const MixtureState &st, nb::handle weights, std::size_t k, ArrayView &view) {
    if (st.exact_ndarray(weights)) view = ArrayView(weights);
    const double *w = aligned_data<double>(view);
    return w && view.ndim() == 1 && static_cast<std::size_t>(view.shape(0)) == k ? w : nullptr;
}

// (mean, std) through the kernels, where they take the stack as it is: exact ndarrays of one
// float dtype, C-contiguous and aligned, of one shape with at least two axes, none of them
// empty. The mixture's `weights`, unless None, are then normalised first into `*normalized`,
// for NumPy's steps to reuse.
std::optional<nb::object> fused_stack(const Globals &g, Method method, nb::handle means, nb::handle stds,
                                      nb::handle epsilon, nb::handle weights, nb::object *normalized) {
    std::optional<KernelStack> stack = kernel_stack(g, means, stds);
    if (!stack) return std::nullopt;
    const MixtureState &st = g.state<MixtureState>();
    nb::handle np = st.numpy["np"];
    const bool weighted = method == Method::Mixture && !weights.is_none();
    if (weighted) {
        // With float stacks `stds ** 2` cannot fail, so normalising the weights first keeps
        // NumPy's order of errors.
        *normalized = mixture_weights(np, means, weights);
        weights = *normalized;
    }
    double eps = 0.0;
    if (method != Method::Simple && !kernel_epsilon(epsilon, stack->single, eps)) return std::nullopt;
    ArrayView w_view;
    const double *w = weighted ? kernel_weights(st, weights, stack->k, w_view) : nullptr;
    if (weighted && !w) return std::nullopt;
    nb::object r = !stack->single              ? stack_as<double, double>(np, method, *stack, w, eps)
                   : method == Method::Mixture ? stack_as<float, double>(np, method, *stack, w, eps)
                                               : stack_as<float, float>(np, method, *stack, w, eps);
    if (!r.is_valid()) return std::nullopt;
    return r;
}

}  // namespace

nb::object aggregate_stack(const Globals &g, Method method, nb::handle means, nb::handle stds, nb::handle epsilon,
                           nb::handle weights) {
    nb::object normalized = nb::none();
    if (auto r = fused_stack(g, method, means, stds, epsilon, weights, &normalized)) return *r;
    nb::object np = g["np"];
    if (method == Method::Simple) return numpy_simple(np, means, stds);
    if (method == Method::InverseVariance) return numpy_inverse_variance(np, means, stds, epsilon);
    return numpy_mixture(np, means, stds, weights, epsilon, normalized);
}

nb::object merge_rows(const Globals &g, Method method, const RoutedRows &r, nb::handle weights, nb::handle epsilon) {
    nb::object np = g["np"], w;
    if (weights.is_valid()) {
        w = weights / np.attr("sum")(weights, "axis"_a = 1, "keepdims"_a = true);
        w = np.attr("ascontiguousarray")(w, "dtype"_a = np.attr("float64"));
    }
    const double eps = method == Method::Simple ? 0.0 : to_double(epsilon);
    if (auto merged = fused_rows(g, method, r, w, eps)) return *merged;
    return numpy_rows(np, method, r, w, epsilon);
}

}  // namespace duv::ensemble
