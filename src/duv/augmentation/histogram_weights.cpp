#include "duv/augmentation/histogram_weights.hpp"

#include "duv/interop/capi.hpp"
#include "duv/interop/unlocked.hpp"
#include "duv/interop/util.hpp"
#include "duv/kernels/histogram.hpp"

#include <new>

namespace duv::augmentation::histogram {

namespace {

namespace kh = kernels::histogram;

void warn_memory_fallback(const Globals &g) {
    g["warnings"].attr("warn")("bin calculation failed due to MemoryError. Falling back to 100 bins.",
                               nb::handle(PyExc_RuntimeWarning));
}

// A column placed into NumPy's bins: the count of every bin and the bin in which each value's
// weight is looked up.
struct Placed {
    std::vector<int64_t> counts;
    std::vector<int32_t> bins;
};

std::optional<Placed> place_over(const kh::Column &col, const kh::Range &range, nb::handle edges, bool uniform) {
    if (uniform && !kh::span_is_finite(col.dtype, range)) return std::nullopt;
    ArrayView e(edges);
    const std::optional<Dtype> dt = e ? e.dtype() : std::nullopt;
    std::vector<double> doubles;
    if (!dt || e.ndim() != 1 || !kh::edges_as_doubles({e.data(), e.shape(0), e.stride(0), *dt}, col.dtype, doubles))
        return std::nullopt;
    kh::Bins b{doubles.data(), static_cast<int64_t>(doubles.size()) - 1, false, false, 0, 0};
    if (uniform) kh::uniform_frame(col, range, b);
    Placed p;
    p.counts.resize(static_cast<size_t>(b.nb));  // std::bad_alloc: NumPy would be out of memory too
    p.bins.resize(static_cast<size_t>(col.n));
    if (!run_unlocked(col.n, [&] { return kh::count_and_locate(col, b, p.counts.data(), p.bins.data()); }))
        return std::nullopt;
    return p;
}

// The kernel's placement of a 1-D column of plain numbers over NumPy's edges, with the
// MemoryError fallback (also taken when the counts do not fit in memory, where np.histogram
// would fail as well). Empty when NumPy's histogram must be used: then nothing has been
// reported yet, or the bins were given as edges, whose handling reports nothing. `known` is
// the column's range when it is known already.
std::optional<Placed> place_column(const Globals &g, nb::handle np, nb::handle values, nb::handle bins,
                                   const kh::Range *known) {
    ArrayView view(values);
    const std::optional<Dtype> dt = view ? view.dtype() : std::nullopt;
    if (!dt || view.ndim() != 1 || view.shape(0) < 1) return std::nullopt;
    const kh::Column col{view.data(), view.shape(0), view.stride(0), *dt};
    const int bins_ndim = PyUnicode_Check(bins.ptr()) ? 0 : nb::cast<int>(np.attr("ndim")(bins));
    if (bins_ndim > 1) return std::nullopt;
    const bool uniform = bins_ndim == 0;
    kh::Range range;
    if (known && kh::supported(col.dtype))
        range = *known;
    else if (!run_unlocked(col.n, [&] { return kh::value_range(col, range); }))
        return std::nullopt;
    if (uniform && !kh::span_is_finite(col.dtype, range)) return std::nullopt;
    nb::object edges_of = np.attr("histogram_bin_edges");
    bool fell_back = false;
    try {
        nb::object edges = with_memory_fallback(g, edges_of, values, bins, &fell_back);
        return place_over(col, range, edges, uniform || fell_back);
    } catch (const std::bad_alloc &) {
        if (fell_back) throw;
    }
    nb::object edges = edges_of(values, "bins"_a = 100);
    warn_memory_fallback(g);
    return place_over(col, range, edges, true);
}

// The weight of every bin, 1.0 / (count + smoothing), or its logarithm np.log(np.maximum(w,
// 1e-12)) as NumPy takes it, worked out once per distinct count. When the division raises
// floating-point flags (an empty bin without smoothing), NumPy divides the whole histogram as
// documented, so that its warnings (or errors) are reported.
std::vector<double> bin_weights(nb::handle np, const Placed &p, nb::handle smoothing_coeff, bool logarithms) {
    const int64_t nb = static_cast<int64_t>(p.counts.size());
    std::vector<int64_t> distinct;
    std::vector<int32_t> slot;
    kh::distinct_counts(p.counts.data(), nb, distinct, slot);
    const double smoothing = to_double(smoothing_coeff);
    std::vector<double> weights(distinct.size());
    bool troubled;
    {
        kernels::FpFlags flags;
        kh::inverse_counts(distinct.data(), static_cast<int64_t>(distinct.size()), smoothing, weights.data());
        troubled = flags.troubled();
    }
    if (troubled) {
        nb::object hist = float64_vector(np, std::vector<double>(p.counts.begin(), p.counts.end()));
        op::div(nb::float_(1.0), op::add(hist, nb::float_(smoothing)));
    }
    if (logarithms) {
        nb::object logs = np.attr("log")(np.attr("maximum")(float64_vector(np, weights), 1e-12));
        const double *values = ArrayView(logs).vector<double>();
        if (!values) raise(PyExc_RuntimeError, "unexpected logarithm array");
        weights.assign(values, values + weights.size());
    }
    std::vector<double> table(static_cast<size_t>(nb));
    kh::spread(p.counts.data(), nb, slot, weights.data(), table.data());
    return table;
}

enum class Agg { Mean, Max, Geometric };

// The aggregation that `agg` names, for two samples or more and a smoothing that keeps every
// sum of weights finite.
std::optional<Agg> folded_aggregation(nb::handle agg, nb::handle smoothing_coeff, nb::handle n_samples) {
    if (compare(n_samples, nb::int_(2), Py_LT)) return std::nullopt;
    PyObject *s = PyNumber_Float(smoothing_coeff.ptr());
    if (!s) {
        PyErr_Clear();
        return std::nullopt;
    }
    const double smoothing = float_value(s);
    Py_DECREF(s);
    if (!std::isfinite(smoothing) || (smoothing != 0 && smoothing < 1e-280)) return std::nullopt;
    if (equals(agg, "mean")) return Agg::Mean;
    if (equals(agg, "max")) return Agg::Max;
    if (equals(agg, "geometric")) return Agg::Geometric;
    return std::nullopt;
}

// X's transpose in C order, whose contiguous rows NumPy and the kernel read faster than the
// columns of a row-major matrix, with each column's range when the kernel made it.
struct Transposed {
    nb::object rows;
    std::vector<kh::Range> ranges;

    Transposed(nb::handle np, nb::handle X) {
        ArrayView x(X);
        const std::optional<Dtype> dt = x ? x.dtype() : std::nullopt;
        if (!dt || x.ndim() != 2 || !kh::supported(*dt)) {
            rows = np.attr("ascontiguousarray")(X.attr("T"));
            return;
        }
        rows = np.attr("empty")(nb::make_tuple(x.shape(1), x.shape(0)), "dtype"_a = X.attr("dtype"));
        ArrayView out(rows, true);
        if (!out || !out.c_contiguous()) raise(PyExc_RuntimeError, "cannot write into a new array");
        ranges.resize(static_cast<size_t>(x.shape(1)));
        const kernels::Matrix m = x.matrix(*dt);
        if (!run_unlocked(x.size(), [&] { return kh::transpose_columns(m, out.data(), ranges.data()); }))
            ranges.clear();
    }
    const kh::Range *range(int64_t j) const { return ranges.empty() ? nullptr : &ranges[static_cast<size_t>(j)]; }
};

// The aggregate of k columns' weights, folded in column by column: the first column is copied,
// later ones are added (mean, geometric mean of the logarithms) or compared (max), in column
// order, as NumPy reduces a stacked array along its first axis.
class FoldedWeights {
public:
    FoldedWeights(nb::handle np, nb::handle smoothing_coeff, int64_t n, Agg agg, int64_t k)
        : np_(nb::borrow(np)), smoothing_(nb::borrow(smoothing_coeff)), acc_(duv::new_array<double>(np, nb::int_(n))),
          agg_(agg), n_(n), k_(k) {}

    // Folds in one column's weights by the kernel; false, with nothing folded or reported, when
    // NumPy must compute them (then add() them).
    bool add_column(const Globals &g, nb::handle values, nb::handle bins, const kh::Range *range) {
        std::optional<Placed> placed = place_column(g, np_, values, bins, range);
        if (!placed) return false;
        const std::vector<double> table = bin_weights(np_, *placed, smoothing_, agg_ == Agg::Geometric);
        const kh::Fold fold = next_fold();
        run_unlocked(n_, [&] { kh::fold_binned(acc_.data, placed->bins.data(), table.data(), n_, fold); });
        return true;
    }

    void add(nb::object weights) {
        if (agg_ == Agg::Geometric) weights = np_.attr("log")(np_.attr("maximum")(weights, 1e-12));
        ArrayView v(weights);
        if (!v.has(Dtype::F64) || v.ndim() != 1 || v.shape(0) != n_)
            raise(PyExc_RuntimeError, "unexpected column weight array");
        const kh::Fold fold = next_fold();
        run_unlocked(n_, [&] { kh::fold_values(acc_.data, v.data(), v.stride(0), n_, fold); });
    }

    nb::object finish() {
        if (agg_ == Agg::Max) return acc_.array;
        run_unlocked(n_, [&] { kh::divide(acc_.data, n_, k_); });
        return agg_ == Agg::Geometric ? np_.attr("exp")(acc_.array) : acc_.array;
    }

private:
    kh::Fold next_fold() { return done_++ == 0 ? kh::Fold::First : agg_ == Agg::Max ? kh::Fold::Max : kh::Fold::Add; }

    nb::object np_, smoothing_;
    duv::NewArray<double> acc_;
    Agg agg_;
    int64_t n_, k_, done_ = 0;
};

nb::object column(nb::handle a, int64_t j) { return getitem(a, nb::make_tuple(full_slice(), j)); }

}  // namespace

nb::object with_memory_fallback(const Globals &g, nb::handle fn, nb::handle values, nb::handle bins, bool *fell_back) {
    try {
        return fn(values, "bins"_a = bins);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_MemoryError)) throw;
        return while_handling(e, [&] {
            if (fell_back) *fell_back = true;
            nb::object result = fn(values, "bins"_a = 100);
            warn_memory_fallback(g);
            return result;
        });
    }
}

std::optional<nb::object> column_weights(const Globals &g, nb::handle np, nb::handle values, nb::handle bins,
                                         nb::handle smoothing_coeff) {
    std::optional<Placed> placed = place_column(g, np, values, bins, nullptr);
    if (!placed) return std::nullopt;
    const std::vector<double> table = bin_weights(np, *placed, smoothing_coeff, false);
    const int64_t n = static_cast<int64_t>(placed->bins.size());
    duv::NewArray<double> out = duv::new_array<double>(np, nb::int_(n));
    run_unlocked(n, [&] { kh::fold_binned(out.data, placed->bins.data(), table.data(), n, kh::Fold::First); });
    return out.array;
}

Histogrammed::Histogrammed(nb::handle X_, nb::handle y_arr, nb::handle target_lower, nb::handle n_bins,
                           nb::handle x_bins_, nb::handle y_bins_)
    : X(X_), x_bins(x_bins_.is_none() ? n_bins : x_bins_), y_bins(y_bins_.is_none() ? n_bins : y_bins_) {
    if (equals(target_lower, "x") || equals(target_lower, "xy")) n_features = nb::cast<int64_t>(shape_of(X, 1));
    if (!equals(target_lower, "y") && !equals(target_lower, "xy")) return;
    const int nd = nb::cast<int>(y_arr.attr("ndim"));
    if (nd == 1) targets.push_back(nb::borrow(y_arr));
    const int64_t t = nd == 2 ? nb::cast<int64_t>(shape_of(y_arr, 1)) : 0;
    for (int64_t c = 0; c < t; ++c) targets.push_back(column(y_arr, c));
}

nb::object Histogrammed::feature(int64_t j) const { return column(X, j); }

std::optional<nb::object> folded_weights(const Globals &g, const Histogrammed &h, nb::handle agg,
                                         nb::handle smoothing_coeff, nb::handle n_samples,
                                         NumpyColumnWeights numpy_column) {
    std::optional<Agg> aggregation = folded_aggregation(agg, smoothing_coeff, n_samples);
    if (!aggregation) return std::nullopt;
    nb::object np = g["np"];
    std::optional<Transposed> transposed;
    if (h.n_features > 0) transposed.emplace(np, h.X);
    FoldedWeights folded(np, smoothing_coeff, nb::cast<int64_t>(n_samples), *aggregation, h.count());
    auto fold = [&](nb::handle values, nb::handle bins, const kh::Range *range) {
        if (!folded.add_column(g, values, bins, range)) folded.add(numpy_column(g, values, bins, smoothing_coeff));
    };
    if (transposed)  // engaged exactly when there are features
        for (int64_t j = 0; j < h.n_features; ++j) fold(transposed->rows[nb::int_(j)], h.x_bins, transposed->range(j));
    for (const nb::object &c : h.targets) fold(c, h.y_bins, nullptr);
    return folded.finish();
}

}  // namespace duv::augmentation::histogram
