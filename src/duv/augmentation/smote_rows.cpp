#include "duv/augmentation/smote_rows.hpp"
#include "duv/interop/capi.hpp"

#include "duv/augmentation/arrays.hpp"
#include "duv/interop/unlocked.hpp"
#include "duv/interop/util.hpp"
#include "duv/kernels/extent.hpp"
#include "duv/kernels/gather.hpp"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>

namespace duv::augmentation::smote {

namespace ks = kernels::smote;
using kernels::Dtype;

namespace {

// base_rows + alpha[:, np.newaxis] * (neigh_rows - base_rows)
nb::object numpy_synthetic(nb::handle base_rows, nb::handle neigh_rows, nb::handle alpha) {
    nb::object column = alpha[nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), nb::none())];
    nb::object difference = neigh_rows - base_rows;
    nb::object step = column * difference;
    return base_rows + step;
}

// Element type of a 1-D/2-D array that the row kernel interpolates (NumPy cannot subtract booleans).
std::optional<Dtype> row_dtype(const ArrayView &view) {
    if (!view || (view.ndim() != 1 && view.ndim() != 2)) return std::nullopt;
    auto dt = view.dtype();
    if (!dt || *dt == Dtype::Bool) return std::nullopt;
    return dt;
}

// Whether base + alpha * (neighbour - base), for |alpha| <= alpha_max, stays finite for the
// values of `src`: otherwise NumPy's arithmetic warns, and it builds the rows itself. Integer
// differences wrap silently in NumPy as in the kernel.
// `top` is the largest magnitude in the source (float types only).
bool interpolates_quietly(Dtype dt, double top, double alpha_max) {
    if (dt != Dtype::F64 && dt != Dtype::F32) return true;
    const double limit = dt == Dtype::F32 ? static_cast<double>(std::numeric_limits<float>::max()) : DBL_MAX;
    return top <= limit / 2 && top <= DBL_MAX / (2.0 * (1.0 + alpha_max));
}

double extent(const ArrayView &view, Dtype dt) {
    const kernels::Matrix src = view.matrix(dt);
    return run_unlocked([&] { return kernels::max_abs(src); });
}

bool interpolates_quietly(const ArrayView &view, Dtype dt, double alpha_max) {
    return interpolates_quietly(dt, extent(view, dt), alpha_max);
}

// The largest |alpha|.
double largest(const double *alpha, int64_t n) {
    double top = 0.0;
    for (int64_t i = 0; i < n; ++i) {
        const double a = std::fabs(alpha[i]);
        top = a > top ? a : top;  // NaN is passed over, as by fmax
    }
    return top;
}

// Data of an int64 vector whose entries are row numbers of `n_rows` rows, else nullptr.
const int64_t *row_numbers(const ArrayView &view, int64_t n_rows) {
    const int64_t *p = view.vector<int64_t>();
    return p && kernels::all_within(p, view.shape(0), n_rows) ? p : nullptr;
}

// New float64 arrays that one kernel pass fills together, sharing the scattered reads.
class KernelOutputs {
public:
    // A (rows x src.m) matrix of augmented rows, or with `weights` a vector of augmented weights.
    nb::object add(nb::handle np, const kernels::Matrix &src, int64_t rows, bool weights) {
        nb::object shape = weights ? nb::make_tuple(rows) : nb::make_tuple(rows, src.m);
        NewArray out = new_array(np, shape, float_type());
        outputs_.push_back(ks::Output{src, reinterpret_cast<double *>(out.view.data()), weights});
        views_.push_back(std::move(out.view));
        return out.array;
    }

    void run(const ks::Synthetic &s, int64_t n, const int64_t *order, int64_t n_out) {
        if (outputs_.empty()) return;
        nb::gil_scoped_release unlocked;
        ks::write_augmented(outputs_.data(), static_cast<int>(outputs_.size()), s, n, order, n_out);
    }

private:
    std::vector<ks::Output> outputs_;
    std::vector<ArrayView> views_;
};

// alpha = scale * alpha - shift over a float64 draw that nothing else holds; false otherwise.
bool stretch_in_place(nb::handle alpha, double scale, double shift) {
    ArrayView view(alpha, true);
    // Held here: the caller's reference and this view.
    double *values = view && is_private_array(alpha, 2) ? view.vector<double>() : nullptr;
    if (!values) return false;
    nb::gil_scoped_release unlocked;
    ks::stretch(values, view.shape(0), scale, shift);
    return true;
}

// neighbours[selected, slots] written over `slots`; false, changing nothing, when an array is
// not plain, `slots` is held elsewhere or an index is out of range.
bool pick_over_slots(nb::handle neighbours, nb::handle selected, nb::handle slots, int64_t n_rows) {
    ArrayView nbr(neighbours), sel(selected), slot(slots, true);
    const int64_t *base = sel.vector<int64_t>();
    int64_t *slot_p = slot.vector<int64_t>();
    // Held: the caller's reference and the view above.
    if (!base || !slot_p || !is_private_array(slots, 2) || !nbr.has(Dtype::I64) || nbr.ndim() != 2 ||
        nbr.shape(0) != n_rows || sel.shape(0) != slot.shape(0))
        return false;
    const kernels::Matrix matrix = nbr.matrix(Dtype::I64);
    nb::gil_scoped_release unlocked;
    return ks::pick_neighbours(matrix, base, slot_p, sel.shape(0), n_rows);
}

// The permutation as a kernel row order, when it is a valid one for n_total rows.
const int64_t *row_order(const ArrayView &perm, int64_t n_total) {
    const int64_t *p = row_numbers(perm, n_total);
    return p && perm.shape(0) == n_total ? p : nullptr;
}

template <typename T> void free_vector(std::vector<T> &v) { std::vector<T>().swap(v); }

// A C++ vector as a new NumPy vector of the same element type.
template <typename T> nb::object as_array(nb::handle np, const std::vector<T> &v) {
    NewArray out = new_array(np, nb::int_(v.size()), nb::str(std::is_same_v<T, double> ? "float64" : "int64"));
    if (!v.empty()) std::memcpy(out.view.data(), v.data(), v.size() * sizeof(T));
    return out.array;
}

}  // namespace

nb::object stretch_alpha(nb::object alpha, nb::handle extrapolation) {
    if (!truthy(extrapolation) || !compare(extrapolation, nb::float_(0.0), Py_GT)) return alpha;
    nb::object scale = extrapolation + nb::float_(1.0);
    if (!PyFloat_Check(scale.ptr())) {
        nb::object scaled = scale * alpha;
        return scaled - extrapolation / nb::float_(2.0);
    }
    nb::object shift = extrapolation / nb::float_(2.0);
    if (PyFloat_Check(shift.ptr()) &&
        stretch_in_place(alpha, duv::float_value(scale.ptr()), duv::float_value(shift.ptr())))
        return alpha;
    nb::object scaled = scale * alpha;
    return scaled - shift;
}

nb::object neighbours_at(nb::handle neighbours, nb::handle selected, nb::object slots, int64_t n_rows) {
    if (pick_over_slots(neighbours, selected, slots, n_rows)) return slots;
    return neighbours[nb::make_tuple(selected, slots)];
}

// ---- smote_augment -----------------------------------------------------------------------

Interpolation::Interpolation(nb::handle X, nb::handle y, nb::object selected, nb::object chosen, int64_t n)
    : X_(X), y_(y), n_(n), selected_(std::move(selected)), chosen_(std::move(chosen)), selected_view_(selected_),
      chosen_view_(chosen_) {
    rows_checked_ = row_numbers(selected_view_, n) && row_numbers(chosen_view_, n);
    if (rows_checked_) return;
    X_ends_ = {X[selected_], X[chosen_]};
    y_ends_ = {y[selected_], y[chosen_]};
}

bool Interpolation::kernel_reads_draws() const {
    const double *alpha = alpha_view_.vector<double>();
    if (!rows_checked_ || !alpha) return false;
    const int64_t count = selected_view_.shape(0);
    return chosen_view_.shape(0) == count && alpha_view_.shape(0) == count;
}

void Interpolation::interpolate(nb::handle np, nb::object alpha, nb::handle sample_weight) {
    alpha_ = std::move(alpha);
    alpha_view_ = ArrayView(alpha_);
    kernel_draws_ = kernel_reads_draws();
    if (kernel_draws_)
        draws_ = ks::Synthetic{selected_view_.vector<int64_t>(), chosen_view_.vector<int64_t>(),
                               alpha_view_.vector<double>(), selected_view_.shape(0)};
    X_view_ = ArrayView(X_);
    y_view_ = ArrayView(y_);
    if (kernel_draws_) {
        const double alpha_max = largest(draws_.alpha, draws_.count);
        X_dt_ = row_dtype(X_view_);
        if (X_dt_ && !interpolates_quietly(X_view_, *X_dt_, alpha_max)) X_dt_.reset();
        y_dt_ = row_dtype(y_view_);
        if (y_dt_ && !interpolates_quietly(y_view_, *y_dt_, alpha_max)) y_dt_.reset();
    }
    if (!X_dt_) X_aug_ = rows_by_numpy(np, X_, X_ends_);
    if (!y_dt_) y_aug_ = rows_by_numpy(np, y_, y_ends_);
    X_ends_ = y_ends_ = Endpoints();
    if (!sample_weight.is_none()) weights(np, sample_weight);
    pack_pairs();
}

// np.vstack([src, src[selected] + alpha[:, np.newaxis] * (src[chosen] - src[selected])])
nb::object Interpolation::rows_by_numpy(nb::handle np, nb::handle src, Endpoints &ends) const {
    if (!ends.base.is_valid()) ends = {src[selected_], src[chosen_]};
    return np.attr("vstack")(duv::list_of(nb::borrow(src), numpy_synthetic(ends.base, ends.neigh, alpha_)));
}

// Passthrough weights: np.concatenate([w, (1.0 - a) * w[selected] + a * w[chosen]]) with
// a = np.clip(alpha, 0.0, 1.0), by the kernel when w is a plain vector of one weight per row.
void Interpolation::weights(nb::handle np, nb::handle sample_weight) {
    weights_ = np.attr("asarray")(sample_weight);
    weights_view_ = ArrayView(weights_);
    if (kernel_draws_ && weights_view_ && weights_view_.ndim() == 1 && weights_view_.shape(0) == n_)
        weights_dt_ = weights_view_.dtype();
    // An infinite weight meets a zero coefficient (0 * inf), which NumPy reports.
    if (weights_dt_ && !std::isfinite(extent(weights_view_, *weights_dt_))) weights_dt_.reset();
    if (weights_dt_) return;
    nb::object clipped = np.attr("clip")(alpha_, 0.0, 1.0);
    nb::object complement = nb::float_(1.0) - clipped;
    nb::object lhs = complement * nb::object(weights_[selected_]);
    nb::object rhs = clipped * nb::object(weights_[chosen_]);
    sw_aug_ = np.attr("concatenate")(duv::list_of(weights_, lhs + rhs));
}

// Packs the row pairs over the `selected` draw, when nothing else holds it and row numbers fit
// in 32 bits, and lets go of the chosen vector: one vector less for the rest of the call, and
// one scattered read less per permuted row.
void Interpolation::pack_pairs() {
    if (!kernel_draws_ || n_ > INT32_MAX) return;
    ArrayView writable(selected_, true);
    int64_t *pairs = writable.vector<int64_t>();
    // Held: selected_, its view and `writable`.
    if (pairs != draws_.base || !is_private_array(selected_, 3)) return;
    {
        nb::gil_scoped_release unlocked;
        ks::pack_pairs(pairs, draws_.neigh, draws_.count);
    }
    draws_.pairs = reinterpret_cast<const uint64_t *>(pairs);
    draws_.neigh = nullptr;
    chosen_view_.release();
    chosen_ = nb::object();
}

Augmented Interpolation::assemble(nb::handle np, nb::handle perm, int64_t n_total) {
    ArrayView perm_view = perm.is_valid() ? ArrayView(perm) : ArrayView();
    const int64_t *order = row_order(perm_view, n_total);
    KernelOutputs kernel;
    if (X_dt_) X_aug_ = kernel.add(np, X_view_.matrix(*X_dt_), n_total, false);
    if (y_dt_) y_aug_ = kernel.add(np, y_view_.matrix(*y_dt_), n_total, false);
    if (weights_dt_) sw_aug_ = kernel.add(np, weights_view_.matrix(*weights_dt_), n_total, true);
    kernel.run(draws_, n_, order, n_total);
    // Kernel output already stands in permuted order.
    auto permuted = [&](const nb::object &arr, bool by_kernel) {
        if (!perm.is_valid() || (by_kernel && order)) return arr;
        return take_rows(np, arr, perm);
    };
    Augmented out;
    out.X = permuted(X_aug_, X_dt_.has_value());
    out.y = permuted(y_aug_, y_dt_.has_value());
    out.weights = sw_aug_.is_valid() ? permuted(sw_aug_, weights_dt_.has_value()) : nb::none();
    return out;
}

// ---- SMOTEAugmentedClassifier --------------------------------------------------------------

ClassInterpolation::ClassInterpolation(nb::handle np, nb::handle X, int64_t n, nb::handle expected)
    : np_(np), X_(X), n_(n), X_view_(X), X_dt_(row_dtype(X_view_)) {
    if (!X_dt_) return;
    // Room for every class's draws at once: growing class by class would copy them and touch
    // new memory at each step.
    int overflow = 0;
    const long long count = PyLong_AsLongLongAndOverflow(expected.ptr(), &overflow);
    if (count == -1 && PyErr_Occurred()) PyErr_Clear();
    if (overflow || count <= 0 || count > (1LL << 32)) return;
    try {
        base_.reserve(static_cast<size_t>(count));
        neigh_.reserve(static_cast<size_t>(count));
        alpha_.reserve(static_cast<size_t>(count));
    } catch (const std::bad_alloc &) {
        // The vectors grow as the classes come instead.
        free_vector(base_);
        free_vector(neigh_);
        free_vector(alpha_);
    }
}

void ClassInterpolation::pick(const ClassRows &c, nb::handle base_idx, nb::handle slots) {
    mark_ = base_.size();
    if (X_dt_ && record(c, base_idx, slots)) return;
    if (X_dt_) to_numpy();
    nb::object neigh_pick = c.neighbours[nb::make_tuple(base_idx, slots)];
    nb::object base_X = c.X[base_idx];
    pending_ = {base_X, c.X[neigh_pick]};
}

void ClassInterpolation::interpolate(const ClassRows &c, nb::handle base_idx, nb::handle slots, nb::handle alpha) {
    if (X_dt_) {
        if (record_alpha(alpha)) return;
        base_.resize(mark_);
        neigh_.resize(mark_);
        alpha_.resize(mark_);
        to_numpy();
        nb::object neigh_pick = c.neighbours[nb::make_tuple(base_idx, slots)];
        pending_ = {c.X[base_idx], c.X[neigh_pick]};
    }
    blocks_.append(numpy_synthetic(pending_.base, pending_.neigh, alpha));
    pending_ = Endpoints();
}

// Appends the class's base rows and picked neighbours as rows of X (through the class mask);
// false, appending nothing, when the arrays are not plain or an index is out of range.
bool ClassInterpolation::record(const ClassRows &c, nb::handle base_idx, nb::handle slots) {
    ArrayView mask(c.mask), nbr(c.neighbours), b(base_idx), s(slots);
    const int64_t *bp = b.vector<int64_t>(), *sp = s.vector<int64_t>();
    const int64_t n_class = nb::cast<int64_t>(c.n);
    if (!bp || !sp || !mask.has(Dtype::Bool) || mask.ndim() != 1 || mask.shape(0) != n_ || !nbr.has(Dtype::I64) ||
        nbr.ndim() != 2 || nbr.shape(0) != n_class || s.shape(0) != b.shape(0))
        return false;
    const int64_t count = b.shape(0);
    const size_t at = base_.size();
    base_.resize(at + static_cast<size_t>(count));
    neigh_.resize(at + static_cast<size_t>(count));
    const kernels::Matrix neighbours = nbr.matrix(Dtype::I64);
    bool ok;
    {
        nb::gil_scoped_release unlocked;
        std::vector<int64_t> pos = ks::positions(mask.data(), n_, mask.stride(0));
        ok = ks::pick_global(neighbours, pos, bp, sp, count, base_.data() + at, neigh_.data() + at);
    }
    if (!ok) {
        base_.resize(at);
        neigh_.resize(at);
    }
    return ok;
}

// Appends the class's coefficients; false if they are not a float64 vector of one per drawn row.
bool ClassInterpolation::record_alpha(nb::handle alpha) {
    ArrayView view(alpha);
    const double *values = view.vector<double>();
    if (!values || !X_dt_ || static_cast<size_t>(view.shape(0)) + alpha_.size() != base_.size()) return false;
    if (X_top_ < 0) X_top_ = extent(X_view_, *X_dt_);
    if (!interpolates_quietly(*X_dt_, X_top_, largest(values, view.shape(0)))) return false;
    alpha_.insert(alpha_.end(), values, values + view.shape(0));
    return true;
}

// Leaves the kernel for NumPy: the rows drawn so far become one synthetic block, equal element by
// element to the per-class NumPy blocks.
void ClassInterpolation::to_numpy() {
    if (!base_.empty()) {
        nb::object base_X = X_[as_array(np_, base_)];
        blocks_.append(numpy_synthetic(base_X, X_[as_array(np_, neigh_)], as_array(np_, alpha_)));
    }
    free_vector(base_);
    free_vector(neigh_);
    free_vector(alpha_);
    X_dt_.reset();
}

int64_t ClassInterpolation::finish() {
    if (X_dt_) {
        const int64_t count = static_cast<int64_t>(base_.size());
        if (count && n_ <= INT32_MAX) {
            // One vector of row pairs instead of two, before the permutation is allocated.
            ks::pack_pairs(base_.data(), neigh_.data(), count);
            free_vector(neigh_);
            packed_ = true;
        }
        return count;
    }
    if (nb::len(blocks_) == 0) return 0;
    nb::object X_synth = np_.attr("vstack")(blocks_);
    blocks_ = nb::list();
    X_aug_ = np_.attr("vstack")(duv::list_of(X_, X_synth));
    return nb::cast<int64_t>(nb::object(X_synth.attr("shape"))[0]);
}

nb::object ClassInterpolation::augmented_rows(nb::handle idx, int64_t n_total) {
    if (!X_dt_ || base_.empty()) {
        nb::object rows = X_aug_.is_valid() ? X_aug_ : nb::borrow(X_);
        return idx.is_valid() ? take_rows(np_, rows, idx) : rows;
    }
    ArrayView idx_view = idx.is_valid() ? ArrayView(idx) : ArrayView();
    const int64_t *order = row_order(idx_view, n_total);
    KernelOutputs kernel;
    nb::object X_aug = kernel.add(np_, X_view_.matrix(*X_dt_), n_total, false);
    ks::Synthetic s{base_.data(), neigh_.data(), alpha_.data(), static_cast<int64_t>(base_.size())};
    if (packed_) s.pairs = reinterpret_cast<const uint64_t *>(base_.data());
    kernel.run(s, n_, order, n_total);
    free_vector(base_);
    free_vector(neigh_);
    free_vector(alpha_);
    if (idx.is_valid() && !order) X_aug = take_rows(np_, X_aug, idx);
    return X_aug;
}

}  // namespace duv::augmentation::smote
