#include "duv/ensemble/fused_statistics.hpp"

#include "duv/interop/capi.hpp"
#include "duv/interop/unlocked.hpp"
#include "duv/interop/util.hpp"
#include "duv/kernels/member_statistics.hpp"

#include <vector>

namespace duv::ensemble {

namespace ms = kernels::member_statistics;

namespace {

bool exact_ndarray(const VotingState &st, nb::handle o) { return o.type().is(st.numpy["np.ndarray"]); }

// The stack as the kernel reads it, when NumPy's reductions over axis 1 add its members in
// an order the kernel reproduces: a C-ordered (n, k) stack (pairwise), or an (n, k, o)
// stack with o > 1 whose outputs lie next to each other (members one after another).
std::optional<ms::Stack> kernel_stack(const ArrayView &v) {
    if (!v.has(Dtype::F64) || reinterpret_cast<std::uintptr_t>(v.data()) % alignof(double) != 0) return {};
    ms::Stack s;
    s.data = v.data();
    s.n = v.shape(0);
    if (v.ndim() == 2 && v.c_contiguous()) {
        s.k = v.shape(1);
        s.s0 = v.stride(0), s.s1 = v.stride(1), s.s2 = 0;
        s.pairwise = true;
        return s;
    }
    if (v.ndim() == 3 && v.shape(2) > 1 && v.stride(2) == sizeof(double)) {
        s.k = v.shape(1), s.o = v.shape(2);
        s.s0 = v.stride(0), s.s1 = v.stride(1), s.s2 = v.stride(2);
        const std::ptrdiff_t row = s.o * static_cast<std::ptrdiff_t>(sizeof(double));
        if ((s.n > 1 && s.s0 < row) || (s.k > 1 && s.s1 < row)) return {};
        s.pairwise = false;
        return s;
    }
    return {};
}

// The weights as k doubles (int64 or float64 values, as NumPy casts them), or nullopt.
std::optional<std::vector<double>> kernel_weights(nb::handle np, nb::handle weights, std::ptrdiff_t k) {
    nb::object w = np.attr("asarray")(weights);
    ArrayView v(w);
    if (!v || v.ndim() != 1 || v.shape(0) != k) return {};
    std::vector<double> out(static_cast<size_t>(k));
    if (const double *d = v.vector<double>())
        out.assign(d, d + k);
    else if (const int64_t *i = v.vector<int64_t>())
        for (std::ptrdiff_t j = 0; j < k; ++j) out[static_cast<size_t>(j)] = static_cast<double>(i[j]);
    else
        return {};
    return out;
}

}  // namespace

std::optional<nb::object> fused_stack(const Globals &g, nb::handle preds) {
    const VotingState &st = g.state<VotingState>();
    if (!st.numpy.intact(g)) return {};
    const Py_ssize_t k = list_size(preds.ptr());
    std::vector<ArrayView> views;
    std::vector<const double *> columns;
    for (Py_ssize_t j = 0; j < k; ++j) {
        nb::handle p = list_item(preds.ptr(), j);
        if (!exact_ndarray(st, p)) return {};
        views.emplace_back(p);
        const double *d = views.back().vector<double>();
        if (!d || views.back().shape(0) != views.front().shape(0)) return {};
        columns.push_back(d);
    }
    const std::ptrdiff_t n = views.front().shape(0);
    NewArray<double> out = new_array<double>(st.numpy["np"], nb::make_tuple(n, k));
    run_unlocked(n * k, [&] { ms::stack_columns(columns.data(), k, n, out.data); });
    return out.array;
}

std::optional<nb::object> fused_statistics(const Globals &g, nb::handle predictions, nb::handle weights,
                                           bool return_std) {
    const VotingState &st = g.state<VotingState>();
    if (!st.numpy.intact(g) || !exact_ndarray(st, predictions)) return {};
    ArrayView v(predictions);
    std::optional<ms::Stack> stack = kernel_stack(v);
    if (!stack) return {};
    nb::handle np = st.numpy["np"];
    std::optional<std::vector<double>> w;
    if (!weights.is_none()) {
        w = kernel_weights(np, weights, stack->k);
        if (!w) return {};
    }
    nb::object shape = v.ndim() == 3 ? nb::make_tuple(stack->n, stack->o) : nb::make_tuple(stack->n);
    NewArray<double> mean = new_array<double>(np, shape);
    NewArray<double> std = return_std ? new_array<double>(np, shape) : NewArray<double>{nb::none(), nullptr};
    const double *wp = w ? w->data() : nullptr;
    if (!run_unlocked(stack->n * stack->k * stack->o, [&] { return ms::statistics(*stack, wp, mean.data, std.data); }))
        return {};
    return return_std ? nb::object(nb::make_tuple(mean.array, std.array)) : mean.array;
}

}  // namespace duv::ensemble
