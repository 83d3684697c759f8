#include "duv/ensemble/expert_routing.hpp"

#include "duv/ensemble/gaussian_aggregation.hpp"
#include "duv/interop/unlocked.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace duv::ensemble {

namespace ea = kernels::expert_aggregation;

namespace {

// How many of `len` entries the slice `head` keeps (its stop, by Python's slice rules), or
// nothing when it does not unpack.
std::optional<std::size_t> head_length(nb::handle head, std::size_t len) {
    Py_ssize_t start, stop, step;
    if (PySlice_Unpack(head.ptr(), &start, &stop, &step) < 0) {
        PyErr_Clear();
        return std::nullopt;
    }
    PySlice_AdjustIndices(static_cast<Py_ssize_t>(len), &start, &stop, step);
    return stop > 0 ? static_cast<std::size_t>(stop) : 0;
}

// The argsort head through the kernel.
std::optional<nb::object> fused_argsort_head(const Globals &g, nb::handle values, int axis, nb::handle head) {
    const MixtureState &st = g.state<MixtureState>();
    if (!st.numpy.intact(g) || !st.exact_ndarray(values)) return std::nullopt;
    ArrayView v(values);
    std::optional<Dtype> dtype = float_dtype(v);
    if (!dtype || v.ndim() != 2) return std::nullopt;
    const auto rows = static_cast<std::size_t>(v.shape(0)), cols = static_cast<std::size_t>(v.shape(1));
    std::optional<std::size_t> h = head_length(head, axis == 0 ? rows : cols);
    if (!h) return std::nullopt;
    nb::object shape = axis == 0 ? nb::make_tuple(*h, cols) : nb::make_tuple(rows, *h);
    NewArray<int64_t> out = new_array<int64_t>(st.numpy["np"], shape);
    const bool ok = run_unlocked(static_cast<std::ptrdiff_t>(rows * cols), [&] {
        return *dtype == Dtype::F64
                   ? ea::argsort_head_of_matrix(aligned_data<double>(v), rows, cols, axis, *h, out.data)
                   : ea::argsort_head_of_matrix(aligned_data<float>(v), rows, cols, axis, *h, out.data);
    });
    if (!ok) return std::nullopt;
    return out.array;
}

// One expert's predictions for its rows.
struct ExpertPrediction {
    std::size_t expert;
    nb::object means, stds;
};

RoutedRows group_rows_by_expert(nb::handle np, nb::handle active_indices, std::size_t n_experts) {
    RoutedRows r;
    r.active = np.attr("ascontiguousarray")(active_indices, "dtype"_a = np.attr("intp"));
    ArrayView view(r.active);
    const int64_t *active = aligned_data<int64_t>(view);
    if (!active || view.ndim() != 2) throw std::runtime_error("unexpected index array");
    const auto n = static_cast<std::size_t>(view.shape(0)), k = static_cast<std::size_t>(view.shape(1));
    if (!r.groups.assign(active, n, k, n_experts)) raise(PyExc_IndexError, "list index out of range");
    return r;
}

// Each expert with rows predicts all of them in one call.
std::vector<ExpertPrediction> predict_row_groups(const Globals &g, nb::handle np, nb::handle self, nb::handle X,
                                                 nb::handle kwargs, nb::handle estimators,
                                                 const ea::RowGroups &groups) {
    NewArray<int64_t> rows = new_array<int64_t>(np, nb::int_(groups.rows.size()));
    std::copy(groups.rows.begin(), groups.rows.end(), rows.data);
    nb::object task = g["delayed"](g["_predict_expert"]);
    nb::list tasks;
    std::vector<ExpertPrediction> predicted;
    for (std::size_t j = 0; j < groups.n_experts; ++j) {
        if (groups.count(j) == 0) continue;
        nb::object X_rows = getitem(X, getitem(rows.array, nb::slice(groups.offsets[j], groups.offsets[j + 1])));
        tasks.append(task(estimators[nb::int_(j)], X_rows, kwargs));
        predicted.push_back({j, nb::object(), nb::object()});
    }
    std::size_t t = 0;
    for (nb::handle result : g["Parallel"]("n_jobs"_a = self.attr("n_jobs"))(tasks)) {
        if (t == predicted.size()) break;
        std::vector<nb::object> pair = unpack(result, 2);
        predicted[t].means = pair[0];
        predicted[t++].stds = pair[1];
    }
    if (t != predicted.size()) raise_value_error("expert predictions are missing");
    return predicted;
}

// np.asarray(values), which must have the shape `expected` (an expert's answer for its rows).
nb::object checked_shape(nb::handle np, nb::handle values, nb::handle expected, std::size_t expert, std::size_t n_rows,
                         const char *what) {
    nb::object arr = np.attr("asarray")(values);
    if (compare(arr.attr("shape"), expected, Py_NE))
        raise_value_error("expert " + std::to_string(expert) + " returned " + what + " of shape " +
                          format(arr.attr("shape")) + " for " + std::to_string(n_rows) + " rows, expected " +
                          format(expected));
    return arr;
}

// A C-contiguous, aligned view of `values` as `dtype`. Arrays rebuilt from another process's
// bytes (a joblib or dask worker's results) can be contiguous but unaligned: those are copied.
ArrayView kernel_view(nb::handle np, nb::handle values, nb::handle dtype) {
    ArrayView view(np.attr("ascontiguousarray")(values, "dtype"_a = dtype));
    if (float_dtype(view)) return view;
    view = ArrayView(np.attr("array")(values, "dtype"_a = dtype, "order"_a = "C"));
    if (!float_dtype(view)) throw std::runtime_error("unexpected array");
    return view;
}

template <typename T> std::pair<nb::object, nb::object> side_by_side_as(nb::handle np, const RoutedRows &r) {
    const RoutedRows::View<T> view(r);
    auto gather = [&](bool stds) {
        const ea::RowGroups &g = r.groups;
        nb::object shape = r.multi ? nb::make_tuple(g.k, g.n, r.width) : nb::make_tuple(g.k, g.n);
        NewArray<T> out = new_array<T>(np, shape);
        ea::gather_routed(view.routed(), stds, out.data);
        return out.array;
    };
    nb::object means = gather(false);
    return {means, gather(true)};
}

void take_predictions(nb::handle np, RoutedRows &r, std::vector<ExpertPrediction> &predicted) {
    const auto first = static_cast<std::size_t>(r.groups.active[0]);
    auto layout = std::find_if(predicted.begin(), predicted.end(), [&](auto &e) { return e.expert == first; });
    r.multi = compare(np.attr("ndim")(layout->means), nb::int_(2), Py_EQ);
    r.width = r.multi ? nb::cast<std::size_t>(shape_of(layout->means, 1)) : 1;
    bool all_single = true;
    for (ExpertPrediction &e : predicted) {
        const std::size_t m = r.groups.count(e.expert);
        nb::object expected = r.multi ? nb::make_tuple(m, r.width) : nb::make_tuple(m);
        auto checked = [&](nb::handle values, const char *what) {
            nb::object arr = checked_shape(np, values, expected, e.expert, m, what);
            if (!equals(arr.attr("dtype").attr("char"), "f")) all_single = false;
            return arr;
        };
        e.means = checked(e.means, "predictions");
        e.stds = checked(e.stds, "standard deviations");
    }
    r.single = all_single;
    nb::object dtype = np.attr(all_single ? "float32" : "float64");
    r.means_of.resize(r.groups.n_experts);
    r.stds_of.resize(r.groups.n_experts);
    for (ExpertPrediction &e : predicted) {
        r.means_of[e.expert] = kernel_view(np, e.means, dtype);
        r.stds_of[e.expert] = kernel_view(np, e.stds, dtype);
    }
}

}  // namespace

nb::object argsort_head(const Globals &g, nb::handle values, int axis, nb::handle n_active) {
    nb::object head = nb::slice(nb::none(), n_active, nb::none());
    if (auto selected = fused_argsort_head(g, values, axis, head)) return *selected;
    nb::object order = g["np"].attr("argsort")(values, "axis"_a = axis);
    return getitem(order, axis == 0 ? nb::object(head) : nb::make_tuple(full_slice(), head));
}

RoutedRows predict_routed_rows(const Globals &g, nb::handle self, nb::handle X, nb::handle kwargs,
                               nb::handle active_indices, nb::handle estimators) {
    nb::object np = g["np"];
    RoutedRows r = group_rows_by_expert(np, active_indices, nb::len(estimators));
    std::vector<ExpertPrediction> predicted = predict_row_groups(g, np, self, X, kwargs, estimators, r.groups);
    take_predictions(np, r, predicted);
    return r;
}

std::pair<nb::object, nb::object> side_by_side(nb::handle np, const RoutedRows &r) {
    return r.single ? side_by_side_as<float>(np, r) : side_by_side_as<double>(np, r);
}

nb::object merge_rows_by_methods(nb::handle np, nb::handle self, const RoutedRows &r, nb::handle weights) {
    auto [P, S] = side_by_side(np, r);
    nb::object out_shape = r.multi ? nb::make_tuple(r.groups.n, r.width) : nb::make_tuple(r.groups.n);
    nb::object final_preds = np.attr("zeros")(out_shape), final_stds = np.attr("zeros")(out_shape);
    nb::object zero = nb::int_(0);
    for (std::size_t i = 0; i < r.groups.n; ++i) {
        nb::object row = nb::make_tuple(full_slice(), nb::slice(i, i + 1));
        nb::object pm = getitem(P, row).attr("copy")(), ps = getitem(S, row).attr("copy")();
        nb::object merged = weights.is_valid() ? self.attr("_mixture_aggregation")(pm, ps, weights[nb::int_(i)])
                                               : self.attr("_aggregate_predictions")(pm, ps);
        std::vector<nb::object> pair = unpack(merged, 2);
        final_preds[nb::int_(i)] = pair[0][zero];
        final_stds[nb::int_(i)] = pair[1][zero];
    }
    return nb::make_tuple(final_preds, final_stds);
}

}  // namespace duv::ensemble
