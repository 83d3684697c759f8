#include "duv/augmentation/smote_rows.hpp"

#include "duv/augmentation/arrays.hpp"
#include "duv/interop/capi.hpp"
#include "duv/interop/unlocked.hpp"
#include "duv/interop/util.hpp"
#include "duv/kernels/extent.hpp"

#include <algorithm>
#include <cmath>
#include <new>

namespace duv::augmentation::smote {

namespace ks = kernels::smote;

namespace {

// base_rows + alpha[:, np.newaxis] * (neigh_rows - base_rows)
nb::object numpy_synthetic(nb::handle base_rows, nb::handle neigh_rows, nb::handle alpha) {
    nb::object column = getitem(alpha, nb::make_tuple(full_slice(), nb::none()));
    nb::object difference = op::sub(neigh_rows, base_rows);
    return op::add(base_rows, op::mul(column, difference));
}

// Element type of a 1-D/2-D array that the row kernel interpolates (NumPy cannot subtract booleans).
std::optional<Dtype> row_dtype(const ArrayView &view) {
    if (!view || (view.ndim() != 1 && view.ndim() != 2)) return std::nullopt;
    auto dt = view.dtype();
    if (!dt || *dt == Dtype::Bool) return std::nullopt;
    return dt;
}

// The largest magnitude in the array (its float values, for the overflow checks).
double extent(const ArrayView &view, Dtype dt) {
    const kernels::Matrix src = view.matrix(dt);
    return run_unlocked(src.n * src.m, [&] { return kernels::max_abs(src); });
}

bool interpolates_quietly(const ArrayView &view, Dtype dt, double alpha_max) {
    return ks::interpolates_quietly(dt, extent(view, dt), alpha_max);
}

// The permutation as a kernel row order, when it is a valid one for n_total rows.
const int64_t *row_order(nb::handle perm, ArrayView &view, int64_t n_total) {
    if (!perm.is_valid()) return nullptr;
    view = ArrayView(perm);
    const int64_t *p = row_numbers<int64_t>(view, n_total);
    return p && view.shape(0) == n_total ? p : nullptr;
}

// New float64 arrays that one kernel pass fills together, sharing the scattered reads.
class KernelOutputs {
public:
    // A (rows x src.m) matrix of augmented rows, or with `weights` a vector of augmented weights.
    nb::object add(nb::handle np, const kernels::Matrix &src, int64_t rows, bool weights) {
        duv::NewArray<double> out =
            duv::new_array<double>(np, weights ? nb::make_tuple(rows) : nb::make_tuple(rows, src.m));
        outputs_.push_back(ks::Output{src, out.data, weights});
        width_ += weights ? 1 : src.m;
        return out.array;
    }

    void run(const ks::Synthetic &s, int64_t n, const int64_t *order, int64_t n_out) {
        if (outputs_.empty()) return;
        run_unlocked(n_out * width_, [&] {
            ks::write_augmented(outputs_.data(), static_cast<int>(outputs_.size()), s, n, order, n_out);
        });
    }

private:
    std::vector<ks::Output> outputs_;
    int64_t width_ = 0;
};

// `arr`, permuted by `perm` unless it is invalid or the kernel wrote it in that order already.
nb::object permuted(nb::handle np, const nb::object &arr, nb::handle perm, bool in_order) {
    return !perm.is_valid() || in_order ? arr : take_rows(np, arr, perm);
}

// alpha = scale * alpha - shift over a float64 draw that nothing else holds; false otherwise.
bool stretch_in_place(nb::handle alpha, double scale, double shift) {
    ArrayView view(alpha, true);
    // Held here: the caller's reference and this view.
    double *values = view && is_private_array(alpha, 2) ? view.vector<double>() : nullptr;
    if (!values) return false;
    run_unlocked(view.shape(0), [&] { ks::stretch(values, view.shape(0), scale, shift); });
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
    return run_unlocked(nbr.size(), [&] { return ks::pick_neighbours(matrix, base, slot_p, sel.shape(0), n_rows); });
}

// An int64 row-number vector as a new NumPy vector.
nb::object as_array(nb::handle np, const std::vector<int64_t> &v) {
    duv::NewArray<int64_t> out = duv::new_array<int64_t>(np, nb::int_(v.size()));
    std::copy(v.begin(), v.end(), out.data);
    return out.array;
}

}  // namespace

nb::object stretch_alpha(nb::object alpha, nb::handle extrapolation) {
    if (!truthy(extrapolation) || !compare(extrapolation, nb::float_(0.0), Py_GT)) return alpha;
    nb::object scale = op::add(extrapolation, nb::float_(1.0));
    if (!PyFloat_Check(scale.ptr())) {
        nb::object scaled = op::mul(scale, alpha);
        return op::sub(scaled, op::div(extrapolation, nb::float_(2.0)));
    }
    nb::object shift = op::div(extrapolation, nb::float_(2.0));
    if (PyFloat_Check(shift.ptr()) && stretch_in_place(alpha, float_value(scale.ptr()), float_value(shift.ptr())))
        return alpha;
    return op::sub(op::mul(scale, alpha), shift);
}

nb::object neighbours_at(nb::handle neighbours, nb::handle selected, nb::object slots, int64_t n_rows) {
    if (pick_over_slots(neighbours, selected, slots, n_rows)) return slots;
    return getitem(neighbours, nb::make_tuple(selected, slots));
}

// ---- smote_augment -----------------------------------------------------------------------

Interpolation::Interpolation(nb::handle X, nb::handle y, nb::object selected, nb::object chosen, int64_t n, bool kernel)
    : n_(n), selected_(std::move(selected)), chosen_(std::move(chosen)), selected_view_(selected_),
      chosen_view_(chosen_) {
    rows_[0].src = X;
    rows_[1].src = y;
    rows_checked_ = kernel && row_numbers<int64_t>(selected_view_, n) && row_numbers<int64_t>(chosen_view_, n);
    if (rows_checked_) return;
    for (Rows &r : rows_) r.ends = {getitem(r.src, selected_), getitem(r.src, chosen_)};
}

void Interpolation::interpolate(nb::handle np, nb::object alpha, nb::handle sample_weight) {
    alpha_ = std::move(alpha);
    alpha_view_ = ArrayView(alpha_);
    const double *a = alpha_view_.vector<double>();
    const int64_t count = rows_checked_ ? selected_view_.shape(0) : 0;
    kernel_draws_ = rows_checked_ && a && chosen_view_.shape(0) == count && alpha_view_.shape(0) == count;
    if (kernel_draws_)
        draws_ = ks::Synthetic{selected_view_.vector<int64_t>(), chosen_view_.vector<int64_t>(), a, count};
    const double alpha_max = kernel_draws_ ? ks::largest_magnitude(a, count) : 0.0;
    for (Rows &r : rows_) {
        r.view = ArrayView(r.src);
        if (kernel_draws_) r.dt = row_dtype(r.view);
        if (r.dt && !interpolates_quietly(r.view, *r.dt, alpha_max)) r.dt.reset();
        if (r.dt) continue;
        // np.vstack([src, src[selected] + alpha[:, np.newaxis] * (src[chosen] - src[selected])])
        if (!r.ends.base.is_valid()) r.ends = {getitem(r.src, selected_), getitem(r.src, chosen_)};
        r.aug = np.attr("vstack")(list_of(r.src, numpy_synthetic(r.ends.base, r.ends.neigh, alpha_)));
        r.ends = Endpoints();
    }
    if (!sample_weight.is_none()) weights(np, sample_weight);
    pack_pairs();
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
    nb::object complement = op::sub(nb::float_(1.0), clipped);
    nb::object lhs = op::mul(complement, getitem(weights_, selected_));
    nb::object rhs = op::mul(clipped, getitem(weights_, chosen_));
    sw_aug_ = np.attr("concatenate")(list_of(weights_, op::add(lhs, rhs)));
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
    run_unlocked(draws_.count, [&] { ks::pack_pairs(pairs, draws_.neigh, draws_.count); });
    draws_.pairs = reinterpret_cast<const uint64_t *>(pairs);
    draws_.neigh = nullptr;
    chosen_view_.release();
    chosen_ = nb::object();
}

Augmented Interpolation::assemble(nb::handle np, nb::handle perm, int64_t n_total) {
    ArrayView perm_view;
    const int64_t *order = row_order(perm, perm_view, n_total);
    KernelOutputs kernel;
    for (Rows &r : rows_)
        if (r.dt) r.aug = kernel.add(np, r.view.matrix(*r.dt), n_total, false);
    if (weights_dt_) sw_aug_ = kernel.add(np, weights_view_.matrix(*weights_dt_), n_total, true);
    kernel.run(draws_, n_, order, n_total);
    Augmented out;
    out.X = permuted(np, rows_[0].aug, perm, order && rows_[0].dt);
    out.y = permuted(np, rows_[1].aug, perm, order && rows_[1].dt);
    out.weights = sw_aug_.is_valid() ? permuted(np, sw_aug_, perm, order && weights_dt_) : nb::none();
    return out;
}

// ---- SMOTEAugmentedClassifier --------------------------------------------------------------

ClassInterpolation::ClassInterpolation(nb::handle np, nb::handle X, int64_t n, nb::handle expected, bool kernel)
    : np_(np), X_(X), n_(n), X_view_(X), X_dt_(kernel ? row_dtype(X_view_) : std::nullopt) {
    int overflow = 0;
    const long long count = PyLong_AsLongLongAndOverflow(expected.ptr(), &overflow);
    if (count == -1 && PyErr_Occurred()) PyErr_Clear();
    if (X_dt_ && !overflow && count > 0 && count <= (1LL << 32)) draws_.reserve(static_cast<size_t>(count));
}

// neighbours[base_idx, slots], then the class's rows at base_idx and at those neighbours.
void ClassInterpolation::take_by_numpy(const ClassRows &c, nb::handle base_idx, nb::handle slots) {
    nb::object neigh_pick = getitem(c.neighbours, nb::make_tuple(base_idx, slots));
    nb::object base_X = getitem(c.X, base_idx);
    pending_ = {base_X, getitem(c.X, neigh_pick)};
}

void ClassInterpolation::pick(const ClassRows &c, nb::handle base_idx, nb::handle slots) {
    if (X_dt_ && record(c, base_idx, slots)) return;
    if (X_dt_) to_numpy();
    take_by_numpy(c, base_idx, slots);
}

void ClassInterpolation::interpolate(const ClassRows &c, nb::handle base_idx, nb::handle slots, nb::handle alpha) {
    if (X_dt_) {
        if (record_alpha(*X_dt_, alpha)) return;
        draws_.drop_class();
        to_numpy();
        take_by_numpy(c, base_idx, slots);
    }
    blocks_.append(numpy_synthetic(pending_.base, pending_.neigh, alpha));
    pending_ = Endpoints();
}

// Records the class's base rows and picked neighbours as rows of X; false, recording nothing,
// when the arrays are not plain or an index is out of range.
bool ClassInterpolation::record(const ClassRows &c, nb::handle base_idx, nb::handle slots) {
    ArrayView mask(c.mask), nbr(c.neighbours), b(base_idx), s(slots);
    const int64_t *bp = b.vector<int64_t>(), *sp = s.vector<int64_t>();
    if (!bp || !sp || !mask.has(Dtype::Bool) || mask.ndim() != 1 || mask.shape(0) != n_ || !nbr.has(Dtype::I64) ||
        nbr.ndim() != 2 || nbr.shape(0) != nb::cast<int64_t>(c.n) || s.shape(0) != b.shape(0))
        return false;
    const kernels::Matrix neighbours = nbr.matrix(Dtype::I64);
    return run_unlocked(n_ + b.shape(0),
                        [&] { return draws_.pick(neighbours, mask.data(), n_, mask.stride(0), bp, sp, b.shape(0)); });
}

// Records the class's coefficients; false if they are not a float64 vector of one per drawn row
// or the interpolation would overflow.
bool ClassInterpolation::record_alpha(Dtype dt, nb::handle alpha) {
    ArrayView view(alpha);
    const double *values = view.vector<double>();
    if (!values) return false;
    if (X_top_ < 0) X_top_ = extent(X_view_, dt);
    return ks::interpolates_quietly(dt, X_top_, ks::largest_magnitude(values, view.shape(0))) &&
           draws_.add_alpha(values, view.shape(0));
}

// Leaves the kernel for NumPy: the rows drawn so far become one synthetic block, equal element by
// element to the per-class NumPy blocks.
void ClassInterpolation::to_numpy() {
    if (!draws_.base.empty()) {
        nb::object base_X = getitem(X_, as_array(np_, draws_.base));
        blocks_.append(
            numpy_synthetic(base_X, getitem(X_, as_array(np_, draws_.neigh)), float64_vector(np_, draws_.alpha)));
    }
    draws_.clear();
    X_dt_.reset();
}

int64_t ClassInterpolation::finish() {
    if (X_dt_) {
        draws_.pack(n_);  // before the permutation is allocated
        return static_cast<int64_t>(draws_.base.size());
    }
    if (nb::len(blocks_) == 0) return 0;
    nb::object X_synth = np_.attr("vstack")(blocks_);
    blocks_ = nb::list();
    X_aug_ = np_.attr("vstack")(list_of(X_, X_synth));
    return nb::cast<int64_t>(shape_of(X_synth, 0));
}

nb::object ClassInterpolation::augmented_rows(nb::handle idx, int64_t n_total) {
    if (!X_dt_ || draws_.base.empty()) return permuted(np_, X_aug_.is_valid() ? X_aug_ : nb::borrow(X_), idx, false);
    ArrayView idx_view;
    const int64_t *order = row_order(idx, idx_view, n_total);
    KernelOutputs kernel;
    nb::object X_aug = kernel.add(np_, X_view_.matrix(*X_dt_), n_total, false);
    kernel.run(draws_.synthetic(), n_, order, n_total);
    draws_.clear();
    return permuted(np_, X_aug, idx, order != nullptr);
}

}  // namespace duv::augmentation::smote
