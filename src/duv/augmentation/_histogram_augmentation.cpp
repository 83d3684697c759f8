#include "duv/augmentation/arrays.hpp"
#include "duv/augmentation/grown_set.hpp"
#include "duv/augmentation/meta_estimator.hpp"
#include "duv/augmentation/meta_estimator_tags.hpp"
#include "duv/augmentation/row_weights.hpp"
#include "duv/interop/buffer.hpp"
#include "duv/interop/capi.hpp"
#include "duv/interop/klass.hpp"
#include "duv/interop/module.hpp"
#include "duv/interop/sklearn.hpp"
#include "duv/interop/unlocked.hpp"
#include "duv/interop/util.hpp"
#include "duv/kernels/fp_flags.hpp"
#include "duv/kernels/histogram.hpp"

#include <cmath>
#include <cstring>
#include <new>
#include <optional>

namespace {

namespace aug = duv::augmentation;
namespace kh = duv::kernels::histogram;

DUV_ARGS(ValidateArgs, n_bins, factor, smoothing_coeff);
DUV_ARGS(TargetArgs, y);
DUV_ARGS(ColumnArgs, values, bins, smoothing_coeff);
DUV_ARGS(AggregateArgs, weight_vectors, agg);
DUV_ARGS(AugmentArgs, X, y, n_bins, random_state, factor, shuffle, smoothing_coeff, target, x_bins, y_bins, agg,
         sample_weight, sample_weight_mode);

nb::object shape_of(nb::handle a, int axis) { return nb::object(a.attr("shape"))[axis]; }
int ndim(nb::handle a) { return nb::cast<int>(a.attr("ndim")); }
nb::object float_ones(nb::handle np, nb::handle n) { return np.attr("ones")(n, "dtype"_a = duv::float_type()); }
nb::object py_float(nb::handle o) { return duv::steal_checked(PyNumber_Float(o.ptr())); }
nb::object binary(binaryfunc op, nb::handle a, nb::handle b) { return duv::steal_checked(op(a.ptr(), b.ptr())); }
bool equals(nb::handle a, const char *text) { return duv::compare(a, nb::str(text), Py_EQ); }

// ---- _validate_histogram_params, _ensure_1d_target ---------------------------------------

nb::object validate_histogram_params(const ValidateArgs &a) {
    if (duv::compare(a.factor, nb::float_(0.0), Py_LE))
        duv::raise_value_error("factor must be > 0.0, got " + duv::format(a.factor));
    if (duv::compare(a.smoothing_coeff, nb::float_(0.0), Py_LT))
        duv::raise_value_error("smoothing_coeff must be >= 0.0, got " + duv::format(a.smoothing_coeff));
    return nb::make_tuple(a.n_bins, a.factor, a.smoothing_coeff);
}

nb::object ensure_1d_target(const duv::Globals &g, const TargetArgs &a) {
    nb::object y = g["np"].attr("asarray")(a.y);
    const int nd = ndim(y);
    if (nd == 0) return y.attr("reshape")(1);
    if (nd == 2) {
        if (duv::compare(shape_of(y, 1), nb::int_(1), Py_EQ)) return y.attr("ravel")();
        duv::raise_value_error("Target y must be 1D or 2D with single column, got shape " +
                               duv::format(y.attr("shape")));
    }
    if (nd > 2) duv::raise_value_error("Target y must be 1D or 2D, got " + duv::format(y.attr("ndim")) + "D");
    return y;
}

// ---- one column's histogram --------------------------------------------------------------

// Calls `fn(values, bins=bins)` (np.histogram or np.histogram_bin_edges); after a MemoryError,
// `fn(values, bins=100)` and the documented warning (`fell_back` then set).
nb::object with_memory_fallback(const duv::Globals &g, nb::handle fn, nb::handle values, nb::handle bins,
                                bool *fell_back = nullptr) {
    auto fallback = [&] {
        if (fell_back) *fell_back = true;
        nb::object result = fn(values, "bins"_a = 100);
        g["warnings"].attr("warn")("bin calculation failed due to MemoryError. Falling back to 100 bins.",
                                   nb::handle(PyExc_RuntimeWarning));
        return result;
    };
    try {
        return fn(values, "bins"_a = bins);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_MemoryError)) throw;
        return duv::while_handling(e, fallback);
    }
}

// A column placed into NumPy's bins by the kernel: the count of every bin and the bin in
// which each value's weight is looked up.
struct Placed {
    std::vector<int64_t> counts;
    std::vector<int32_t> bins;
};

// The column as the kernel reads it, and whether NumPy's histogram of it can be replayed
// here: a 1-D array of a plain numeric type whose range NumPy can bin without trouble.
// `known` is the column's range when it is known already.
class ColumnPlacement {
public:
    ColumnPlacement(nb::handle np, nb::handle values, nb::handle bins, const kh::Range *known) : view_(values) {
        const std::optional<duv::Dtype> dt = view_ ? view_.dtype() : std::nullopt;
        if (!dt || view_.ndim() != 1 || view_.shape(0) < 1) return;
        col_ = kh::Column{view_.data(), view_.shape(0), view_.stride(0), *dt};
        const int nd = PyUnicode_Check(bins.ptr()) ? 0 : nb::cast<int>(np.attr("ndim")(bins));
        if (nd > 1) return;
        if (known && kh::supported(col_.dtype))
            range_ = *known;
        else if (!duv::run_unlocked([&] { return kh::value_range(col_, range_); }))
            return;
        uniform_ = nd == 0;
        ok_ = !uniform_ || span_is_finite();
    }
    explicit operator bool() const { return ok_; }
    bool uniform() const { return uniform_; }

    // Counts and bins over `edges` (NumPy's for this column's bins, or for 100 bins after a
    // MemoryError); empty when the edges are not ones the kernel compares as NumPy does.
    std::optional<Placed> place(nb::handle edges, bool uniform) {
        uniform_ = uniform;
        if (uniform_ && !span_is_finite()) return std::nullopt;
        if (!read_edges(edges)) return std::nullopt;
        kh::Bins b{edges_.data(), static_cast<int64_t>(edges_.size()) - 1, false, false, 0, 0};
        if (uniform_) kh::uniform_frame(col_, range_, b);
        Placed p;
        p.counts.resize(static_cast<size_t>(b.nb));  // std::bad_alloc: NumPy would be out of memory too
        p.bins.resize(static_cast<size_t>(col_.n));
        if (!duv::run_unlocked([&] { return kh::count_and_locate(col_, b, p.counts.data(), p.bins.data()); }))
            return std::nullopt;
        return p;
    }

private:
    // NumPy's uniform bins need a finite range whose width it can compute without overflow.
    bool span_is_finite() const {
        if (!kh::is_float(col_.dtype)) return true;
        if (range_.nan || !std::isfinite(range_.lo) || !std::isfinite(range_.hi)) return false;
        if (col_.dtype == duv::Dtype::F32)
            return std::isfinite(static_cast<float>(range_.hi) - static_cast<float>(range_.lo));
        return std::isfinite(range_.hi - range_.lo);
    }

    // The edges as doubles. Given edges and values are compared by NumPy in their common
    // type, which is float64 unless both are integers (left to NumPy); NaN edges too.
    bool read_edges(nb::handle edges) {
        duv::ArrayView e(edges);
        auto dt = e ? e.dtype() : std::nullopt;
        if (!dt || e.ndim() != 1 || e.shape(0) < 2 || *dt == duv::Dtype::Bool) return false;
        if (!kh::is_float(*dt) && !kh::is_float(col_.dtype)) return false;
        const kh::Column c{e.data(), e.shape(0), e.stride(0), *dt};
        edges_.resize(static_cast<size_t>(c.n));
        bool read = kh::to_doubles(c, edges_.data());
        for (double v : edges_) read = read && v == v;
        return read;
    }

    duv::ArrayView view_;
    kh::Column col_;
    kh::Range range_;
    std::vector<double> edges_;
    bool uniform_ = false, ok_ = false;
};

// The kernel's placement of a column over NumPy's edges, with the MemoryError fallback (also
// taken when the counts do not fit in memory, where np.histogram would fail as well). Empty
// when NumPy's histogram must be used: then nothing has been reported yet, or the bins were
// given as edges, whose handling reports nothing.
std::optional<Placed> place_column(const duv::Globals &g, nb::handle np, nb::handle values, nb::handle bins,
                                   const kh::Range *known = nullptr) {
    ColumnPlacement column(np, values, bins, known);
    if (!column) return std::nullopt;
    nb::object edges_of = np.attr("histogram_bin_edges");
    bool fell_back = false;
    try {
        nb::object edges = with_memory_fallback(g, edges_of, values, bins, &fell_back);
        return column.place(edges, column.uniform() || fell_back);
    } catch (const std::bad_alloc &) {
        if (fell_back) throw;
    }
    nb::object edges = edges_of(values, "bins"_a = 100);
    g["warnings"].attr("warn")("bin calculation failed due to MemoryError. Falling back to 100 bins.",
                               nb::handle(PyExc_RuntimeWarning));
    return column.place(edges, true);
}

// The data of a new contiguous array (np.empty's), for the kernels to fill.
template <typename T> T *writable(nb::handle a) {
    duv::ArrayView view(a, true);
    T *data = view.contiguous<T>();
    if (!data) duv::raise(PyExc_RuntimeError, "cannot write into a new array");
    return data;  // the array, held by the caller, keeps the memory
}
double *writable_float64(nb::handle a) { return writable<double>(a); }

template <typename T> nb::object array_of(nb::handle np, const std::vector<T> &v, const char *dtype) {
    nb::object out = np.attr("empty")(v.size(), "dtype"_a = dtype);
    if (!v.empty()) std::memcpy(writable<T>(out), v.data(), v.size() * sizeof(T));
    return out;
}

// What each bin's values weigh, 1.0 / (count + smoothing), from the distinct counts. When that
// division raises floating-point flags (an empty bin without smoothing), NumPy divides the
// whole histogram as documented, so that its warnings (or errors) are reported.
struct BinWeights {
    std::vector<int64_t> distinct;
    std::vector<int32_t> slot;
    std::vector<double> inverse;  // per distinct count

    BinWeights(nb::handle np, const Placed &p, nb::handle smoothing_coeff) {
        kh::distinct_counts(p.counts.data(), static_cast<int64_t>(p.counts.size()), distinct, slot);
        nb::object smoothing = py_float(smoothing_coeff);
        inverse.resize(distinct.size());
        bool troubled;
        {
            duv::kernels::FpFlags flags;
            kh::inverse_counts(distinct.data(), static_cast<int64_t>(distinct.size()),
                               duv::float_value(smoothing.ptr()), inverse.data());
            troubled = flags.troubled();
        }
        if (troubled) {
            nb::object hist = array_of(np, p.counts, "int64");
            nb::object smoothed = binary(PyNumber_Add, hist.attr("astype")(duv::float_type()), smoothing);
            binary(PyNumber_TrueDivide, nb::float_(1.0), smoothed);
        }
    }

    // table[b]: a per-count quantity (`per_distinct`) for every bin.
    std::vector<double> per_bin(const Placed &p, const double *per_distinct) const {
        std::vector<double> table(p.counts.size());
        kh::spread(p.counts.data(), static_cast<int64_t>(p.counts.size()), slot, per_distinct, table.data());
        return table;
    }
};

// _compute_histogram_weights_for_column, as documented in NumPy.
nb::object column_weights_numpy(const duv::Globals &g, nb::handle values, nb::handle bins, nb::handle smoothing_coeff) {
    nb::object np = g["np"];
    auto hist_edges = duv::unpack(with_memory_fallback(g, np.attr("histogram"), values, bins), 2);
    const nb::object &hist = hist_edges[0], &bin_edges = hist_edges[1];
    const Py_ssize_t n_bins = nb::len(hist);
    if (n_bins == 0) return float_ones(np, shape_of(values, 0));
    nb::object bin_idx =
        binary(PyNumber_Subtract, np.attr("searchsorted")(bin_edges, values, "side"_a = "right"), nb::int_(1));
    bin_idx = np.attr("clip")(bin_idx, 0, n_bins - 1);
    nb::object smoothed_hist = binary(PyNumber_Add, hist.attr("astype")(duv::float_type()), py_float(smoothing_coeff));
    nb::object inv_counts = binary(PyNumber_TrueDivide, nb::float_(1.0), smoothed_hist);
    return inv_counts[bin_idx];
}

nb::object compute_histogram_weights_for_column(const duv::Globals &g, const ColumnArgs &a) {
    nb::object np = g["np"];
    nb::object values = np.attr("asarray")(a.values);
    if (!aug::is_numpy_module(np)) return column_weights_numpy(g, values, a.bins, a.smoothing_coeff);
    std::optional<Placed> placed = place_column(g, np, values, a.bins);
    if (!placed) return column_weights_numpy(g, values, a.bins, a.smoothing_coeff);
    BinWeights weights(np, *placed, a.smoothing_coeff);
    std::vector<double> table = weights.per_bin(*placed, weights.inverse.data());
    nb::object out = np.attr("empty")(placed->bins.size(), "dtype"_a = "float64");
    double *w = writable_float64(out);
    duv::run_unlocked([&] {
        kh::fold_binned(w, placed->bins.data(), table.data(), static_cast<int64_t>(placed->bins.size()),
                        kh::Fold::First);
    });
    return out;
}

// ---- _aggregate_weights ------------------------------------------------------------------

nb::object aggregate_weights(const duv::Globals &g, const AggregateArgs &a) {
    if (nb::len(a.weight_vectors) == 0) return nb::none();
    nb::object np = g["np"];
    nb::object W = np.attr("vstack")(a.weight_vectors);
    if (equals(a.agg, "mean")) return np.attr("mean")(W, "axis"_a = 0);
    if (equals(a.agg, "max")) return np.attr("max")(W, "axis"_a = 0);
    if (equals(a.agg, "geometric"))
        return np.attr("exp")(np.attr("mean")(np.attr("log")(np.attr("maximum")(W, 1e-12)), "axis"_a = 0));
    duv::raise_value_error("Unsupported agg='" + duv::format(a.agg) + "'. Expected one of ['geometric','mean','max']");
}

// ---- histogram_augment's weights in one pass per column ----------------------------------

enum class Agg { Mean, Max, Geometric };

// The aggregated weights of the histogrammed columns, folded into one vector column by column
// in the order in which np.mean / np.max reduce the stacked weight vectors (sequentially along
// the first axis, for two samples or more). The geometric mean folds the logarithms, which
// NumPy takes (per distinct count) so that they are its own.
class FoldedWeights {
public:
    FoldedWeights(nb::handle np, nb::handle smoothing_coeff, int64_t n, Agg agg, int64_t k)
        : np_(nb::borrow(np)), smoothing_(nb::borrow(smoothing_coeff)), agg_(agg), k_(k), n_(n) {
        acc_ = np.attr("empty")(n, "dtype"_a = "float64");
        acc_data_ = writable_float64(acc_);
    }

    void add(const duv::Globals &g, nb::handle values, nb::handle bins, const kh::Range *range) {
        const kh::Fold fold = done_ == 0 ? kh::Fold::First : agg_ == Agg::Max ? kh::Fold::Max : kh::Fold::Add;
        ++done_;
        std::optional<Placed> placed = place_column(g, np_, values, bins, range);
        if (!placed) return add_vector(column_weights_numpy(g, values, bins, smoothing_), fold);
        BinWeights weights(np_, *placed, smoothing_);
        std::vector<double> logs;
        if (agg_ == Agg::Geometric) logs = logarithms(weights.inverse);
        std::vector<double> table =
            weights.per_bin(*placed, agg_ == Agg::Geometric ? logs.data() : weights.inverse.data());
        duv::run_unlocked([&] { kh::fold_binned(acc(), placed->bins.data(), table.data(), n_, fold); });
    }

    nb::object finish() {
        if (agg_ == Agg::Max) return acc_;
        duv::run_unlocked([&] { kh::divide(acc(), n_, k_); });
        return agg_ == Agg::Geometric ? np_.attr("exp")(acc_) : acc_;
    }

private:
    double *acc() const { return acc_data_; }

    // np.log(np.maximum(w, 1e-12))
    std::vector<double> logarithms(const std::vector<double> &w) const {
        nb::object logs = np_.attr("log")(np_.attr("maximum")(array_of(np_, w, "float64"), 1e-12));
        duv::ArrayView v(logs);
        const double *p = v.vector<double>();
        if (!p) duv::raise(PyExc_RuntimeError, "unexpected logarithm array");
        return std::vector<double>(p, p + w.size());
    }

    void add_vector(nb::object w, kh::Fold fold) {
        if (agg_ == Agg::Geometric) w = np_.attr("log")(np_.attr("maximum")(w, 1e-12));
        duv::ArrayView v(w);
        if (!v.has(duv::Dtype::F64) || v.ndim() != 1 || v.shape(0) != n_)
            duv::raise(PyExc_RuntimeError, "unexpected column weight array");
        duv::run_unlocked([&] { kh::fold_values(acc(), v.data(), v.stride(0), n_, fold); });
    }

    nb::object np_, smoothing_, acc_;
    double *acc_data_ = nullptr;
    Agg agg_;
    int64_t k_, n_, done_ = 0;
};

// X's transpose in C order, whose contiguous rows NumPy and the kernel read faster than the
// columns of a row-major matrix, with each column's range when the kernel made it.
struct Transposed {
    nb::object rows;
    std::vector<kh::Range> ranges;

    Transposed(nb::handle np, nb::handle X) {
        duv::ArrayView x(X);
        auto dt = x ? x.dtype() : std::nullopt;
        if (!dt || x.ndim() != 2 || !kh::supported(*dt)) {
            rows = np.attr("ascontiguousarray")(X.attr("T"));
            return;
        }
        rows = np.attr("empty")(nb::make_tuple(x.shape(1), x.shape(0)), "dtype"_a = X.attr("dtype"));
        duv::ArrayView out(rows, true);
        if (!out || !out.c_contiguous()) duv::raise(PyExc_RuntimeError, "cannot write into a new array");
        ranges.resize(static_cast<size_t>(x.shape(1)));
        const duv::kernels::Matrix m = x.matrix(*dt);
        if (!duv::run_unlocked([&] { return kh::transpose_columns(m, out.data(), ranges.data()); })) ranges.clear();
    }
};

// The histogrammed columns of steps 12 and 13 with their bins: feature column j is X[:, j],
// or row j of X's transpose (with its range, when known).
struct WeightColumns {
    struct Entry {
        nb::object values, bins;
        const kh::Range *range;
    };
    std::vector<Entry> columns;

    WeightColumns(nb::handle X, nb::handle y_arr, nb::handle target_lower, nb::handle x_bins, nb::handle y_bins,
                  const Transposed *transposed = nullptr) {
        if (equals(target_lower, "x") || equals(target_lower, "xy")) {
            const int64_t m = nb::cast<int64_t>(shape_of(X, 1));
            for (int64_t j = 0; j < m; ++j) {
                if (!transposed) {
                    columns.push_back({column(X, j), nb::borrow(x_bins), nullptr});
                    continue;
                }
                const bool known = !transposed->ranges.empty();
                columns.push_back({transposed->rows[nb::int_(j)], nb::borrow(x_bins),
                                   known ? &transposed->ranges[static_cast<size_t>(j)] : nullptr});
            }
        }
        if (equals(target_lower, "y") || equals(target_lower, "xy")) {
            if (ndim(y_arr) == 1) {
                columns.push_back({nb::borrow(y_arr), nb::borrow(y_bins), nullptr});
            } else {
                const int64_t t = nb::cast<int64_t>(shape_of(y_arr, 1));
                for (int64_t c = 0; c < t; ++c) columns.push_back({column(y_arr, c), nb::borrow(y_bins), nullptr});
            }
        }
    }

    static nb::object column(nb::handle a, int64_t j) {
        nb::object all = duv::steal_checked(PySlice_New(nullptr, nullptr, nullptr));
        return a[nb::make_tuple(all, j)];
    }
};

// The fused road applies when the documented helpers and NumPy are the module's own, `agg`
// names an aggregation, there are at least two samples (NumPy reduces a single one pairwise)
// and the smoothing keeps every sum of weights finite.
std::optional<Agg> fused_aggregation(const duv::Globals &g, nb::handle agg, nb::handle smoothing_coeff,
                                     nb::handle n_samples, int64_t k) {
    auto own = [&](const char *name) {
        nb::object f = g[name];
        return duv::is_function(f) && nb::object(f.attr("__globals__")).ptr() == g.dict().ptr() &&
               equals(f.attr("__name__"), name);
    };
    if (k == 0 || duv::compare(n_samples, nb::int_(2), Py_LT) || !aug::is_numpy_module(g["np"]) ||
        !own("_compute_histogram_weights_for_column") || !own("_aggregate_weights"))
        return std::nullopt;
    PyObject *s = PyNumber_Float(smoothing_coeff.ptr());
    if (!s) {
        PyErr_Clear();
        return std::nullopt;
    }
    const double smoothing = duv::float_value(s);
    Py_DECREF(s);
    if (!std::isfinite(smoothing) || (smoothing != 0 && smoothing < 1e-280)) return std::nullopt;
    if (equals(agg, "mean")) return Agg::Mean;
    if (equals(agg, "max")) return Agg::Max;
    if (equals(agg, "geometric")) return Agg::Geometric;
    return std::nullopt;
}

// Steps 11 to 14: the aggregated weights (None when no column is histogrammed).
nb::object aggregated_weights(const duv::Globals &g, const AugmentArgs &a, nb::handle X, nb::handle y_arr,
                              nb::handle target_lower, nb::handle n_samples) {
    nb::handle x_bins = a.x_bins.is_none() ? a.n_bins : a.x_bins;
    nb::handle y_bins = a.y_bins.is_none() ? a.n_bins : a.y_bins;
    const bool features = equals(target_lower, "x") || equals(target_lower, "xy");
    const bool targets = equals(target_lower, "y") || equals(target_lower, "xy");
    const int64_t k = (features ? nb::cast<int64_t>(shape_of(X, 1)) : 0) +
                      (targets ? (ndim(y_arr) == 1 ? 1 : nb::cast<int64_t>(shape_of(y_arr, 1))) : 0);
    std::optional<Agg> agg = fused_aggregation(g, a.agg, a.smoothing_coeff, n_samples, k);
    if (!agg) {
        nb::list weight_vectors;
        WeightColumns documented(X, y_arr, target_lower, x_bins, y_bins);
        for (const auto &c : documented.columns)
            weight_vectors.append(g["_compute_histogram_weights_for_column"](c.values, c.bins, a.smoothing_coeff));
        return g["_aggregate_weights"](weight_vectors, a.agg);
    }
    nb::object np = g["np"];
    std::optional<Transposed> transposed;
    if (features) transposed.emplace(np, X);
    WeightColumns contiguous(X, y_arr, target_lower, x_bins, y_bins, transposed ? &*transposed : nullptr);
    FoldedWeights folded(np, a.smoothing_coeff, nb::cast<int64_t>(n_samples), *agg, k);
    for (const auto &c : contiguous.columns) folded.add(g, c.values, c.bins, c.range);
    return folded.finish();
}

// Step 15.
nb::object sampling_probabilities(const duv::Globals &g, nb::handle aggregated, nb::handle n_samples) {
    nb::object np = g["np"];
    auto uniform = [&](const char *message) {
        g["warnings"].attr("warn")(message, nb::handle(PyExc_UserWarning));
        return binary(PyNumber_TrueDivide, float_ones(np, n_samples), py_float(n_samples));
    };
    if (aggregated.is_none()) return uniform("No weights computed; defaulting to uniform sampling.");
    nb::object total = py_float(np.attr("sum")(aggregated));
    const double t = duv::float_value(total.ptr());
    if (!std::isfinite(t) || t <= 1e-12)
        return uniform("Sum of sampling weights is invalid or near zero. Defaulting to uniform sampling.");
    return binary(PyNumber_TrueDivide, aggregated, total);
}

// ---- histogram_augment -------------------------------------------------------------------

// Step 2: the empty result (X_empty, np.array([]), np.array([])), after the warning.
nb::object empty_result(const duv::Globals &g, nb::handle X, bool X_empty, nb::handle y) {
    nb::object np = g["np"];
    g["warnings"].attr("warn")("Input data is empty. Returning empty arrays.", nb::handle(PyExc_UserWarning));
    nb::object empty = np.attr("array")(nb::list());
    nb::object rows;
    if (X_empty && nb::len(y) == 0) {
        rows = empty.attr("reshape")(0, 1);
    } else if (X_empty) {
        rows = empty.attr("reshape")(0, duv::has_attr(X, "shape") ? shape_of(X, 1) : nb::object(nb::int_(1)));
    } else {
        nb::object X_arr = np.attr("asarray")(X);
        rows = np.attr("empty")(nb::make_tuple(0, shape_of(X_arr, 1)), "dtype"_a = X_arr.attr("dtype"));
    }
    return nb::make_tuple(rows, np.attr("array")(nb::list()), np.attr("array")(nb::list()));
}

// Step 4: the target as an array of one or two dimensions.
nb::object target_array(nb::handle np, nb::handle y) {
    nb::object y_arr = np.attr("asarray")(y);
    const int nd = ndim(y_arr);
    if (nd == 0) return y_arr.attr("reshape")(1);
    if (nd > 2) duv::raise_value_error("Target y must be 1D or 2D, got " + duv::format(y_arr.attr("ndim")) + "D");
    return y_arr;
}

// Step 6: true for "generate", false for "passthrough".
bool generate_mode(nb::handle sample_weight_mode) {
    nb::object mode = nb::str(sample_weight_mode).attr("lower")();
    if (equals(mode, "generate")) return true;
    if (equals(mode, "passthrough")) return false;
    if (equals(mode, "consume"))
        duv::raise_value_error("histogram_augment does not support sample_weight_mode='consume'");
    duv::raise_value_error("sample_weight_mode must be one of {'passthrough','consume','generate'}");
}

// What the roads after step 8 share.
struct Data {
    nb::object np, X, y_arr, rng, n_samples, n_target;
    nb::handle sample_weight;
    bool shuffle = false;

    nb::object sample_weights() const { return np.attr("asarray")(sample_weight); }
};

// Step 9.
nb::object same_size(const Data &d) {
    if (!d.shuffle) {
        nb::object sw = d.sample_weight.is_none() ? nb::none() : d.sample_weights();
        return nb::make_tuple(d.X.attr("copy")(), d.y_arr.attr("copy")(), sw);
    }
    nb::object order = d.np.attr("arange")(d.n_samples);
    d.rng.attr("shuffle")(order);
    nb::object sw = d.sample_weight.is_none() ? nb::none() : aug::take_rows(d.np, d.sample_weights(), order);
    return nb::make_tuple(aug::take_rows(d.np, d.X, order), aug::take_rows(d.np, d.y_arr, order), sw);
}

// Step 16: the data unchanged, with weights that sum to n_target.
nb::object generated(const Data &d, nb::handle probas) {
    nb::object np = d.np;
    nb::object w = duv::compare(d.n_target, d.n_samples, Py_GT)
                       ? binary(PyNumber_Add, float_ones(np, d.n_samples),
                                binary(PyNumber_Multiply, d.n_target - d.n_samples, probas))
                       : binary(PyNumber_Multiply, py_float(d.n_target), probas);
    if (!d.sample_weight.is_none()) {
        nb::object sw = d.sample_weights();
        nb::object shape = sw.attr("shape");
        if (duv::compare(shape, nb::make_tuple(d.n_samples), Py_NE))
            duv::raise_value_error("sample_weight should have shape (" + duv::format(d.n_samples) + ",), got " +
                                   duv::format(shape));
        if (duv::truthy(np.attr("any")(duv::richcompare(sw, nb::int_(0), Py_LT))))
            duv::raise_value_error("sample_weight must be non-negative");
        w = binary(PyNumber_Multiply, w, sw);
    }
    nb::object total_w = py_float(np.attr("sum")(w));
    const double t = duv::float_value(total_w.ptr());
    nb::object n_target = py_float(d.n_target);
    if (!std::isfinite(t) || t <= 1e-12)
        w = binary(PyNumber_Multiply, float_ones(np, d.n_samples),
                   binary(PyNumber_TrueDivide, n_target, py_float(d.n_samples)));
    else
        w = binary(PyNumber_Multiply, binary(PyNumber_TrueDivide, n_target, total_w), w);
    return nb::make_tuple(d.X.attr("copy")(), d.y_arr.attr("copy")(), w);
}

// Step 17: a weighted draw without replacement, gathered once in its final order.
nb::object down_sampled(const Data &d, nb::handle probas) {
    nb::object indices = d.rng.attr("choice")(d.np.attr("arange")(d.n_samples), "size"_a = d.n_target,
                                              "replace"_a = false, "p"_a = probas);
    nb::object order = d.shuffle ? d.rng.attr("permutation")(d.n_target) : nb::object();
    nb::object rows = order.is_valid() ? indices[order] : indices;
    nb::object sw = nb::none();
    if (aug::rows_of_weights(d.np, d.sample_weight, d.n_samples)) {
        sw = aug::take_rows(d.np, d.sample_weights(), rows);
    } else if (!d.sample_weight.is_none()) {
        sw = d.sample_weights()[indices];
        if (order.is_valid()) sw = sw[order];
    }
    return nb::make_tuple(aug::take_rows(d.np, d.X, rows), aug::take_rows(d.np, d.y_arr, rows), sw);
}

// Step 18 as documented, for a rebound `np`.
nb::object up_sampled_numpy(const Data &d, nb::handle augmented_indices) {
    nb::object np = d.np;
    nb::object X_combined = np.attr("vstack")(duv::list_of(d.X, d.X[augmented_indices]));
    nb::object y_parts = duv::list_of(d.y_arr, d.y_arr[augmented_indices]);
    nb::object y_combined = ndim(d.y_arr) == 1 ? np.attr("concatenate")(y_parts) : np.attr("vstack")(y_parts);
    nb::object sw = nb::none();
    if (!d.sample_weight.is_none())
        sw =
            d.sample_weights()[np.attr("concatenate")(duv::list_of(np.attr("arange")(d.n_samples), augmented_indices))];
    if (d.shuffle) {
        nb::object order = np.attr("arange")(nb::len(y_combined));
        d.rng.attr("shuffle")(order);
        X_combined = X_combined[order];
        y_combined = y_combined[order];
        if (!sw.is_none()) sw = sw[order];
    }
    return nb::make_tuple(X_combined, y_combined, sw);
}

// Step 18: every input row once, then the drawn copies, gathered once in the shuffled order.
nb::object up_sampled(const Data &d, nb::handle probas) {
    nb::object np = d.np;
    nb::object augmented_indices = d.rng.attr("choice")(
        np.attr("arange")(d.n_samples), "size"_a = d.n_target - d.n_samples, "replace"_a = true, "p"_a = probas);
    if (!aug::is_numpy_module(np)) return up_sampled_numpy(d, augmented_indices);
    // Weights that are not one per input row fail (or not) at the documented step.
    const bool weights_by_row = aug::rows_of_weights(np, d.sample_weight, d.n_samples);
    nb::object sw = nb::none();
    if (!weights_by_row && !d.sample_weight.is_none())
        sw =
            d.sample_weights()[np.attr("concatenate")(duv::list_of(np.attr("arange")(d.n_samples), augmented_indices))];
    nb::object order = nb::none();
    if (d.shuffle) {
        order = np.attr("arange")(d.n_target);
        d.rng.attr("shuffle")(order);
    }
    aug::GrownSet grown(np, augmented_indices, d.n_samples, order);
    if (weights_by_row) {
        auto rows = grown.take({d.X, d.y_arr, d.sample_weights()});
        return nb::make_tuple(rows[0], rows[1], rows[2]);
    }
    if (!sw.is_none() && !order.is_none()) sw = aug::take_rows(np, sw, order);
    auto rows = grown.take({d.X, d.y_arr});
    return nb::make_tuple(rows[0], rows[1], sw);
}

nb::object histogram_augment(const duv::Globals &g, const AugmentArgs &a) {
    auto checked = duv::unpack(g["_validate_histogram_params"](a.n_bins, a.factor, a.smoothing_coeff), 3);
    AugmentArgs args = a;
    args.n_bins = checked[0];
    args.factor = checked[1];
    args.smoothing_coeff = checked[2];
    const bool X_empty = nb::len(a.X) == 0;
    if (X_empty || nb::len(a.y) == 0) return empty_result(g, a.X, X_empty, a.y);

    Data d;
    d.np = g["np"];
    d.X = g["check_array"](a.X, "accept_sparse"_a = false, "ensure_2d"_a = true);
    d.y_arr = target_array(d.np, a.y);
    d.n_samples = g["_num_samples"](d.X);
    nb::object y_len = shape_of(d.y_arr, 0);
    if (duv::compare(d.n_samples, y_len, Py_NE))
        duv::raise_value_error("X and y have inconsistent numbers of samples: X has " + duv::format(d.n_samples) +
                               " samples, y has " + duv::format(y_len) + " samples");
    const bool generate = generate_mode(a.sample_weight_mode);
    d.n_target = aug::resized_count(d.n_samples, args.factor);
    d.rng = g["check_random_state"](a.random_state);
    d.sample_weight = a.sample_weight;
    d.shuffle = duv::truthy(a.shuffle);
    if (duv::compare(d.n_target, d.n_samples, Py_EQ)) return same_size(d);

    nb::object target_lower = nb::str(a.target).attr("lower")();
    if (!equals(target_lower, "x") && !equals(target_lower, "y") && !equals(target_lower, "xy"))
        duv::raise_value_error("target must be one of {'x','y','xy'}");
    nb::object aggregated = aggregated_weights(g, args, d.X, d.y_arr, target_lower, d.n_samples);
    nb::object probas = sampling_probabilities(g, aggregated, d.n_samples);
    aggregated = nb::object();
    if (generate) return generated(d, probas);
    if (duv::compare(d.n_target, d.n_samples, Py_LT)) return down_sampled(d, probas);
    return up_sampled(d, probas);
}

// ---- meta-estimators ---------------------------------------------------------------------

nb::object fit(const duv::Globals &g, const aug::FitArgs &a, bool regressor) {
    duv::check_feature_names(a.self, a.X, true);
    nb::object checked = regressor ? g["check_X_y"](a.X, a.y, "multi_output"_a = true, "y_numeric"_a = true)
                                   : g["check_X_y"](a.X, a.y, "multi_output"_a = false);
    auto Xy = duv::unpack(checked, 2);
    nb::object X = Xy[0], y = Xy[1];
    nb::object sample_weight = nb::borrow(a.sample_weight);
    if (regressor && !sample_weight.is_none()) sample_weight = g["_check_sample_weight"](sample_weight, X);
    nb::handle self = a.self;
    if (!regressor && aug::passthrough_mode(self.attr("sample_weight_mode")))
        aug::check_one_weight_per_row(g["np"], sample_weight, shape_of(X, 0));
    self.attr("n_features_in_") = shape_of(X, 1);
    if (regressor) self.attr("n_outputs_") = aug::n_outputs(y);
    auto augmented =
        duv::unpack(g["histogram_augment"](
                        X, y, "n_bins"_a = self.attr("n_bins"), "random_state"_a = self.attr("random_state"),
                        "factor"_a = self.attr("factor"), "shuffle"_a = self.attr("shuffle"),
                        "smoothing_coeff"_a = self.attr("smoothing_coeff"), "target"_a = self.attr("target"),
                        "x_bins"_a = self.attr("x_bins"), "y_bins"_a = self.attr("y_bins"), "agg"_a = self.attr("agg"),
                        "sample_weight"_a = sample_weight, "sample_weight_mode"_a = self.attr("sample_weight_mode")),
                    3);
    return aug::finish_fit(g, self, augmented[0], augmented[1], augmented[2]);
}

nb::object fit_regressor(const duv::Globals &g, const aug::FitArgs &a) { return fit(g, a, true); }
nb::object fit_classifier(const duv::Globals &g, const aug::FitArgs &a) { return fit(g, a, false); }

// The generator's options, in their order, as the function and the classes constrain them.
void add_option_constraints(nb::module_ &m, nb::dict &constraints) {
    nb::handle str = duv::str_type();
    nb::object at_least_one = duv::interval(m, "Real", nb::int_(1), "left");
    constraints["n_bins"] = duv::list_of(at_least_one, str, "array-like");
    constraints["random_state"] = duv::list_of("random_state");
    constraints["factor"] = duv::list_of(duv::interval(m, "Real", nb::float_(0.0), "neither"));
    constraints["shuffle"] = duv::list_of("boolean");
    constraints["smoothing_coeff"] = duv::list_of(duv::interval(m, "Real", nb::float_(0.0), "left"));
    constraints["target"] = duv::list_of(str);
    constraints["x_bins"] = duv::list_of(nb::none(), at_least_one, str, "array-like");
    constraints["y_bins"] = duv::list_of(nb::none(), at_least_one, str, "array-like");
    constraints["agg"] = duv::list_of(str);
}

void build_class(nb::module_ &m, const char *name, bool regressor) {
    duv::ClassBuilder cls = aug::meta_estimator_class(m, name, regressor);
    nb::dict constraints;
    constraints["estimator"] = duv::list_of(m.attr("BaseEstimator"));
    add_option_constraints(m, constraints);
    constraints["sample_weight_mode"] = duv::list_of(m.attr("StrOptions")(duv::set_of("passthrough", "generate")));
    constraints["store_augmented"] = duv::list_of("boolean");
    cls.attr("_parameter_constraints", constraints);
    cls.init({duv::arg("self"), duv::arg("estimator"), duv::arg("n_bins", "auto"), duv::arg("random_state", nb::none()),
              duv::arg("factor", 10.0), duv::arg("shuffle", true), duv::arg("smoothing_coeff", 1.0),
              duv::arg("target", "y"), duv::arg("x_bins", nb::none()), duv::arg("y_bins", nb::none()),
              duv::arg("agg", "geometric"), duv::arg("sample_weight_mode", "passthrough"),
              duv::arg("store_augmented", false)});
    nb::object built = aug::def_fit_predict_and_build(cls, regressor, regressor ? fit_regressor : fit_classifier,
                                                      aug::predict_fitted_with);
    aug::def_sklearn_tags(m, built, aug::InputCheck::Numeric);
}

void def_histogram_augment(nb::module_ &m) {
    nb::dict constraints;
    constraints["X"] = duv::list_of("array-like");
    constraints["y"] = duv::list_of("array-like");
    add_option_constraints(m, constraints);
    duv::def_validated(m, "histogram_augment",
                       {duv::arg("X"), duv::arg("y"), duv::arg("n_bins", "auto"), duv::arg("random_state", nb::none()),
                        duv::arg("factor", 10.0), duv::arg("shuffle", true), duv::arg("smoothing_coeff", 1.0),
                        duv::arg("target", "y"), duv::arg("x_bins", nb::none()), duv::arg("y_bins", nb::none()),
                        duv::arg("agg", "geometric"), duv::kwonly("sample_weight", nb::none()),
                        duv::kwonly("sample_weight_mode", "passthrough")},
                       histogram_augment, constraints, true);
}

}  // namespace

DUV_MODULE("duv.augmentation._histogram_augmentation", exec_histogram_augmentation) {
    duv::import_as(m, "warnings");
    duv::import_as(m, "numpy", "np");
    duv::from_import(m, "sklearn.base", {"BaseEstimator", "ClassifierMixin", "RegressorMixin", "clone"});
    duv::from_import(m, "sklearn.utils._param_validation", {"Interval", "Real", "StrOptions", "validate_params"});
    duv::from_import(
        m, "sklearn.utils.validation",
        {"_check_sample_weight", "_num_samples", "check_array", "check_is_fitted", "check_random_state", "check_X_y"});
    duv::from_import(m, "._meta_estimator_mixins", {"UnwrapMetaEstimatorMixin"});

    duv::def(m, "_validate_histogram_params", {duv::arg("n_bins"), duv::arg("factor"), duv::arg("smoothing_coeff")},
             validate_histogram_params);
    duv::def(m, "_ensure_1d_target", {duv::arg("y")}, ensure_1d_target);
    duv::def(m, "_compute_histogram_weights_for_column",
             {duv::arg("values"), duv::arg("bins"), duv::arg("smoothing_coeff")}, compute_histogram_weights_for_column);
    duv::def(m, "_aggregate_weights", {duv::arg("weight_vectors"), duv::arg("agg")}, aggregate_weights);
    def_histogram_augment(m);
    build_class(m, "HistogramAugmentedRegressor", true);
    build_class(m, "HistogramAugmentedClassifier", false);
}
