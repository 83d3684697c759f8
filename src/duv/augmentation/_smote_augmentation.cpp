#include "duv/augmentation/arrays.hpp"
#include "duv/augmentation/meta_estimator.hpp"
#include "duv/interop/klass.hpp"
#include "duv/interop/module.hpp"
#include "duv/interop/sklearn.hpp"
#include "duv/interop/util.hpp"
#include "duv/kernels/smote.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <type_traits>

namespace {

namespace aug = duv::augmentation;
namespace ks = duv::kernels::smote;
using aug::ArrayBuffer;
#define G(name) a.global(DUV_STR(name))

// ---- Python-level arithmetic on scalars, so that any numeric type behaves as in Python ----

nb::object num_op(binaryfunc op, nb::handle x, nb::handle y) { return duv::steal_checked(op(x.ptr(), y.ptr())); }
nb::object add(nb::handle x, nb::handle y) { return num_op(PyNumber_Add, x, y); }
nb::object sub(nb::handle x, nb::handle y) { return num_op(PyNumber_Subtract, x, y); }
nb::object mul(nb::handle x, nb::handle y) { return num_op(PyNumber_Multiply, x, y); }
nb::object div(nb::handle x, nb::handle y) { return num_op(PyNumber_TrueDivide, x, y); }

nb::object flt(double v) { return nb::float_(v); }
nb::handle float_type() { return (PyObject *)&PyFloat_Type; }

// int(round(n * (factor - 1.0)))
nb::object synthetic_count(const duv::Args &a, nb::handle n, nb::handle factor) {
    nb::object rounded = G("round")(mul(n, sub(factor, flt(1.0))));
    return duv::steal_checked(PyNumber_Long(rounded.ptr()));
}

// min(k_neighbors, n - 1)
nb::object capped_k(nb::handle k_neighbors, nb::handle n) {
    nb::object other = sub(n, nb::int_(1));
    return duv::compare(other, k_neighbors, Py_LT) ? other : nb::borrow(k_neighbors);
}

using duv::has_attr;
using duv::unpack;

nb::object slice_all() { return duv::steal_checked(PySlice_New(nullptr, nullptr, nullptr)); }
nb::object slice_from(long start) {
    nb::object s = nb::int_(start);
    return duv::steal_checked(PySlice_New(s.ptr(), nullptr, nullptr));
}

// True when nothing but our own `held` references (the object and our buffer views of it)
// reach `o` and it owns its data (a view's data may be held elsewhere): a fresh draw that
// may be overwritten in place.
bool only_ours(nb::handle o, Py_ssize_t held) {
    if (Py_REFCNT(o.ptr()) > held) return false;
    PyObject *base = PyObject_GetAttrString(o.ptr(), "base");
    if (!base) {
        PyErr_Clear();
        return false;
    }
    const bool owns = base == Py_None;
    Py_DECREF(base);
    return owns;
}

nb::object ones(nb::handle np, nb::handle n) { return np.attr("ones")(n, "dtype"_a = float_type()); }

// `if extrapolation and extrapolation > 0.0: alpha = (extrapolation + 1.0) * alpha - extrapolation / 2.0`,
// in place when the constants are plain floats.
nb::object stretch_alpha(nb::handle alpha, nb::handle extrapolation) {
    if (!duv::truthy(extrapolation) || !duv::compare(extrapolation, flt(0.0), Py_GT)) return nb::borrow(alpha);
    nb::object scale = add(extrapolation, flt(1.0));
    if (PyFloat_Check(scale.ptr())) {
        nb::object shift = div(extrapolation, flt(2.0));
        ArrayBuffer buf(alpha, true);
        double *values = buf && only_ours(alpha, 2) ? buf.float64_vector() : nullptr;
        if (values && PyFloat_Check(shift.ptr())) {
            double s = PyFloat_AS_DOUBLE(scale.ptr()), h = PyFloat_AS_DOUBLE(shift.ptr());
            nb::gil_scoped_release unlocked;
            ks::stretch(values, buf.shape(0), s, h);
            return nb::borrow(alpha);
        }
        return sub(mul(scale, alpha), shift);
    }
    nb::object scaled = mul(scale, alpha);
    return sub(scaled, div(extrapolation, flt(2.0)));
}

// The three draw vectors as kernel input, when they are plain vectors of one length whose
// row numbers address `n_rows` rows.
class SyntheticView {
public:
    SyntheticView(nb::handle base, nb::handle neigh, nb::handle alpha, int64_t n_rows)
        : base_(base), neigh_(neigh), alpha_(alpha) {
        const int64_t *b = base_ ? base_.int64_vector() : nullptr;
        const int64_t *q = neigh_ ? neigh_.int64_vector() : nullptr;
        const double *al = alpha_ ? alpha_.float64_vector() : nullptr;
        if (!b || !q || !al) return;
        const int64_t count = base_.shape(0);
        if (neigh_.shape(0) != count || alpha_.shape(0) != count) return;
        if (!ks::all_within(b, count, n_rows) || !ks::all_within(q, count, n_rows)) return;
        s = ks::Synthetic{b, q, al, count};
        ok = true;
    }
    bool ok = false;
    ks::Synthetic s;

    // Packs the row pairs over the `base` draw (when it is private and row numbers fit in 32
    // bits) and lets go of the `neigh` vector, which the caller may then free: one vector
    // less for the rest of the call, and one scattered read less per permuted row.
    bool pack(nb::handle base, int64_t n_rows) {
        if (!ok || n_rows > INT32_MAX) return false;
        ArrayBuffer writable(base, true);
        int64_t *pairs = writable ? writable.int64_vector() : nullptr;
        if (pairs != s.base || !only_ours(base, 3)) return false;
        {
            nb::gil_scoped_release unlocked;
            ks::pack_pairs(pairs, s.neigh, s.count);
        }
        s.pairs = reinterpret_cast<const uint64_t *>(pairs);
        s.neigh = nullptr;
        neigh_.release();
        return true;
    }

private:
    ArrayBuffer base_, neigh_, alpha_;
};

// Element type of a 1-D/2-D array that the row kernel interpolates (NumPy cannot subtract booleans).
std::optional<ks::Dtype> row_dtype(const ArrayBuffer &buf) {
    if (!buf || (buf.ndim() != 1 && buf.ndim() != 2)) return std::nullopt;
    auto dt = buf.dtype();
    if (!dt || *dt == ks::Dtype::Bool) return std::nullopt;
    return dt;
}

// The permutation as a kernel row order, when it is a valid one for n_total rows.
const int64_t *row_order(const ArrayBuffer &perm, int64_t n_total) {
    const int64_t *p = perm ? perm.int64_vector() : nullptr;
    if (!p || perm.shape(0) != n_total || !ks::all_within(p, n_total, n_total)) return nullptr;
    return p;
}

// base_rows + alpha[:, np.newaxis] * (neigh_rows - base_rows)
nb::object numpy_synthetic(nb::handle base_rows, nb::handle neigh_rows, nb::handle alpha) {
    nb::object column = alpha[nb::make_tuple(slice_all(), nb::none())];
    return add(base_rows, mul(column, sub(neigh_rows, base_rows)));
}

// np.vstack([src, src[base] + alpha[:, np.newaxis] * (src[neigh] - src[base])])
nb::object numpy_rows(nb::handle np, nb::handle src, nb::handle base, nb::handle neigh, nb::handle alpha) {
    nb::object base_rows = src[base];
    nb::object synthetic = numpy_synthetic(base_rows, src[neigh], alpha);
    return np.attr("vstack")(duv::list_of(nb::borrow(src), synthetic));
}

// New float64 output arrays and the kernel run that fills them all in one pass.
class KernelOutputs {
public:
    // A (rows x src.m) matrix of augmented rows, or with `weights` a vector of augmented weights.
    nb::object add(nb::handle np, const ks::Matrix &src, int64_t rows, bool weights) {
        nb::object shape = weights ? nb::make_tuple(rows) : nb::make_tuple(rows, src.m);
        nb::object out = np.attr("empty")(shape, "dtype"_a = float_type());
        buffers_.push_back(std::make_unique<ArrayBuffer>(out, true));
        if (!*buffers_.back()) duv::raise(PyExc_RuntimeError, "cannot write into a new array");
        outputs_.push_back(ks::Output{src, reinterpret_cast<double *>(buffers_.back()->data()), weights});
        return out;
    }

    void run(const ks::Synthetic &s, int64_t n, const int64_t *order, int64_t n_out) {
        if (outputs_.empty()) return;
        nb::gil_scoped_release unlocked;
        ks::write_augmented(outputs_.data(), static_cast<int>(outputs_.size()), s, n, order, n_out);
    }

private:
    std::vector<ks::Output> outputs_;
    std::vector<std::unique_ptr<ArrayBuffer>> buffers_;
};

// ---- smote_augment -----------------------------------------------------------------------

nb::object smote_augment(const duv::Args &a) {
    nb::handle factor = a[2], k_neighbors = a[3], random_state = a[4], distance_weights = a[5], shuffle = a[6],
               algorithm = a[7], n_jobs = a[8], extrapolation = a[9], sample_weight = a[10];
    nb::object np = G("np");
    nb::object X = G("check_array")(a[0], "accept_sparse"_a = false, "ensure_2d"_a = true);
    nb::object y = G("check_array")(a[1], "ensure_2d"_a = false);
    const bool y_was_1d = nb::cast<long>(y.attr("ndim")) == 1;
    if (y_was_1d) y = y.attr("reshape")(-1, 1);
    G("check_consistent_length")(X, y);
    nb::object n_samples = G("_num_samples")(X);

    if (duv::compare(factor, flt(1.0), Py_LT))
        duv::raise_value_error("factor must be >= 1.0 for SMOTE augmentation, got " + duv::repr(factor));
    const bool consume = aug::consume_mode(a[11]);

    auto target = [&](nb::handle t) { return y_was_1d ? t.attr("reshape")(-1) : nb::borrow(t); };
    auto unchanged = [&]() {
        nb::object w = consume                   ? ones(np, n_samples)
                       : sample_weight.is_none() ? nb::none()
                                                 : np.attr("asarray")(sample_weight);
        return nb::make_tuple(X, target(y), w);
    };

    if (duv::compare(factor, flt(1.0), Py_EQ)) {
        if (!duv::truthy(shuffle)) return unchanged();
        nb::object rng = G("check_random_state")(random_state);
        nb::object indices = rng.attr("permutation")(n_samples);
        nb::object X_out = aug::take_rows(np, X, indices);
        nb::object y_out = target(aug::take_rows(np, y, indices));
        nb::object w = consume                   ? ones(np, n_samples)
                       : sample_weight.is_none() ? nb::none()
                                                 : aug::take_rows(np, np.attr("asarray")(sample_weight), indices);
        return nb::make_tuple(X_out, y_out, w);
    }

    nb::object n_synthetic = synthetic_count(a, n_samples, factor);
    if (duv::compare(n_synthetic, nb::int_(0), Py_EQ)) return unchanged();
    nb::object k = capped_k(k_neighbors, n_samples);
    if (duv::compare(k, nb::int_(0), Py_LE)) {
        G("warnings")
            .attr("warn")("Not enough samples for k-nearest neighbors. Returning original data without "
                          "augmentation.",
                          nb::handle(PyExc_UserWarning));
        return unchanged();
    }
    nb::object rng = G("check_random_state")(random_state);

    nb::object metric_params = nb::none();
    if (!distance_weights.is_none()) {
        nb::object dw = np.attr("asarray")(distance_weights);
        nb::object n_features = nb::object(X.attr("shape"))[1];
        nb::object dw_shape = dw.attr("shape");
        if (duv::compare(dw_shape, nb::make_tuple(n_features), Py_NE))
            duv::raise_value_error("distance_weights must have shape (" + duv::format(n_features) + ",), got " +
                                   duv::format(dw_shape));
        nb::dict params;
        params["w"] = dw;
        metric_params = params;
    }
    nb::object nn =
        G("NearestNeighbors")("n_neighbors"_a = add(k, nb::int_(1)), "algorithm"_a = algorithm, "n_jobs"_a = n_jobs,
                              "metric"_a = "minkowski", "metric_params"_a = metric_params);
    nn.attr("fit")(X);
    nb::object neighbor_indices = unpack(nn.attr("kneighbors")(X), 2)[1][nb::make_tuple(slice_all(), slice_from(1))];

    nb::object selected;
    if (consume && !sample_weight.is_none()) {
        nb::object p = aug::consume_probabilities(np, sample_weight, n_samples);
        selected = rng.attr("choice")(n_samples, "size"_a = n_synthetic, "replace"_a = true, "p"_a = p);
    } else {
        selected = rng.attr("randint")(0, n_samples, "size"_a = n_synthetic);
    }
    nb::object slots = rng.attr("randint")(0, k, "size"_a = n_synthetic);

    // neighbor_indices[selected, slots], picked in place over the fresh slot draws.
    const int64_t n = nb::cast<int64_t>(n_samples);
    nb::object chosen;
    {
        ArrayBuffer nbr(neighbor_indices), sel(selected), slot(slots, true);
        const int64_t *sel_p = sel ? sel.int64_vector() : nullptr;
        int64_t *slot_p = slot ? slot.int64_vector() : nullptr;
        auto nbr_dt = nbr.dtype();
        if (sel_p && slot_p && only_ours(slots, 2) && nbr_dt == ks::Dtype::I64 && nbr.ndim() == 2 &&
            nbr.shape(0) == n && sel.shape(0) == slot.shape(0)) {
            const char *base = nbr.data();
            int64_t rows = nbr.shape(0), cols = nbr.shape(1), count = sel.shape(0);
            std::ptrdiff_t rs = nbr.stride(0), cs = nbr.stride(1);
            bool picked;
            {
                nb::gil_scoped_release unlocked;
                picked = ks::pick_neighbours(base, rows, cols, rs, cs, sel_p, slot_p, count, n);
            }
            if (picked) chosen = slots;
        }
    }
    if (!chosen.is_valid()) chosen = neighbor_indices[nb::make_tuple(selected, slots)];

    // Rows that are not plainly addressable are taken by NumPy before alpha is drawn, as
    // documented, so that an unusable neighbour index fails before that draw.
    nb::object picked[4];
    {
        ArrayBuffer sel(selected), ch(chosen);
        const int64_t *sp = sel ? sel.int64_vector() : nullptr, *cp = ch ? ch.int64_vector() : nullptr;
        if (!sp || !cp || !ks::all_within(sp, sel.shape(0), n) || !ks::all_within(cp, ch.shape(0), n)) {
            picked[0] = X[selected];
            picked[1] = X[chosen];
            picked[2] = y[selected];
            picked[3] = y[chosen];
        }
    }
    auto rows_by_numpy = [&](nb::handle src, int at, nb::handle alpha) {
        if (!picked[at].is_valid()) return numpy_rows(np, src, selected, chosen, alpha);
        return np.attr("vstack")(duv::list_of(nb::borrow(src), numpy_synthetic(picked[at], picked[at + 1], alpha)));
    };

    nb::object alpha = stretch_alpha(rng.attr("rand")(n_synthetic), extrapolation);

    // Arrays the kernels cannot take are built by NumPy now, in the documented order, so that
    // any error surfaces before the permutation is drawn.
    SyntheticView view(selected, chosen, alpha, n);
    ArrayBuffer X_buf(X), y_buf(y);
    std::optional<ks::Dtype> X_dt = view.ok ? row_dtype(X_buf) : std::nullopt;
    std::optional<ks::Dtype> y_dt = view.ok ? row_dtype(y_buf) : std::nullopt;
    nb::object X_aug, y_aug, sw_aug = nb::none();
    if (!X_dt) X_aug = rows_by_numpy(X, 0, alpha);
    if (!y_dt) y_aug = rows_by_numpy(y, 2, alpha);
    for (nb::object &rows : picked) rows = nb::object();

    nb::object w = nb::none();
    std::unique_ptr<ArrayBuffer> w_buf;
    std::optional<ks::Dtype> w_dt;
    if (!consume && !sample_weight.is_none()) {
        w = np.attr("asarray")(sample_weight);
        w_buf = std::make_unique<ArrayBuffer>(w);
        if (view.ok && *w_buf && w_buf->ndim() == 1 && w_buf->shape(0) == n) w_dt = w_buf->dtype();
        if (!w_dt) {
            nb::object clipped = np.attr("clip")(alpha, 0.0, 1.0);
            nb::object complement = sub(flt(1.0), clipped);
            nb::object lhs = mul(complement, w[selected]);
            nb::object rhs = mul(clipped, w[chosen]);
            sw_aug = np.attr("concatenate")(duv::list_of(w, add(lhs, rhs)));
        }
    }

    if (view.pack(selected, n)) chosen = slots = nb::object();

    nb::object n_total_obj = add(n_samples, n_synthetic);
    const int64_t n_total = nb::cast<int64_t>(n_total_obj);
    nb::object perm = duv::truthy(shuffle) ? rng.attr("permutation")(n_total_obj) : nb::object();
    ArrayBuffer perm_buf(perm.is_valid() ? perm : nb::none());
    const int64_t *order = perm.is_valid() ? row_order(perm_buf, n_total) : nullptr;
    // Kernel output already in permuted order needs no further indexing.
    auto permuted = [&](nb::object arr, bool by_kernel) {
        if (!perm.is_valid() || (by_kernel && order)) return arr;
        return aug::take_rows(np, arr, perm);
    };

    KernelOutputs kernel;
    if (X_dt) X_aug = kernel.add(np, X_buf.matrix(*X_dt), n_total, false);
    if (y_dt) y_aug = kernel.add(np, y_buf.matrix(*y_dt), n_total, false);
    if (w_dt) sw_aug = kernel.add(np, w_buf->matrix(*w_dt), n_total, true);
    kernel.run(view.s, n, order, n_total);
    X_aug = permuted(X_aug, X_dt.has_value());
    y_aug = permuted(y_aug, y_dt.has_value());
    if (consume)
        sw_aug = ones(np, n_total_obj);
    else if (!sw_aug.is_none())
        sw_aug = permuted(sw_aug, w_dt.has_value());
    return nb::make_tuple(X_aug, target(y_aug), sw_aug);
}

// ---- meta-estimators ---------------------------------------------------------------------

nb::object validate_estimator(const duv::Args &a) {
    nb::handle self = a[0];
    if (!has_attr(self.attr("estimator"), "fit"))
        duv::raise_value_error("estimator " + duv::format(self.attr("estimator")) + " does not have a 'fit' method");
    if (!has_attr(self.attr("estimator"), "predict"))
        duv::raise_value_error("estimator " + duv::format(self.attr("estimator")) +
                               " does not have a 'predict' method");
    return nb::none();
}

nb::object fit_regressor(const duv::Args &a) {
    nb::handle self = a[0], sample_weight = a[3];
    nb::object np = G("np");
    auto Xy = unpack(G("check_X_y")(a[1], a[2], "multi_output"_a = true, "y_numeric"_a = true), 2);
    nb::object X = Xy[0], y = Xy[1];
    G("check_consistent_length")(X, y);
    self.attr("_validate_estimator")();
    self.attr("random_state_") = G("check_random_state")(self.attr("random_state"));
    self.attr("n_samples_") = G("_num_samples")(X);
    self.attr("n_features_in_") = nb::object(X.attr("shape"))[1];
    const bool y_was_1d = nb::len(nb::object(y.attr("shape"))) == 1;
    self.attr("_y_was_1d") = nb::bool_(y_was_1d);
    if (y_was_1d) y = y.attr("reshape")(-1, 1);
    self.attr("n_outputs_") = nb::object(y.attr("shape"))[1];

    nb::object result =
        G("smote_augment")(X, y, "factor"_a = self.attr("factor"), "distance_weights"_a = self.attr("distance_weights"),
                           "k_neighbors"_a = self.attr("k_neighbors"), "random_state"_a = self.attr("random_state_"),
                           "shuffle"_a = false, "algorithm"_a = self.attr("algorithm"),
                           "n_jobs"_a = self.attr("n_jobs"), "extrapolation"_a = self.attr("extrapolation"),
                           "sample_weight"_a = sample_weight, "sample_weight_mode"_a = self.attr("sample_weight_mode"));
    auto parts = unpack(result, 3);
    nb::object X_aug = parts[0], y_aug = parts[1], sw_aug = parts[2];
    self.attr("n_synthetic_") = sub(G("_num_samples")(X_aug), self.attr("n_samples_"));

    if (duv::truthy(self.attr("shuffle"))) {
        nb::object indices = np.attr("arange")(G("_num_samples")(X_aug));
        self.attr("random_state_").attr("shuffle")(indices);
        X_aug = aug::take_rows(np, X_aug, indices);
        y_aug = aug::take_rows(np, y_aug, indices);
        if (!sw_aug.is_none()) sw_aug = aug::take_rows(np, sw_aug, indices);
    }
    if (duv::truthy(self.attr("_y_was_1d"))) y_aug = y_aug.attr("ravel")();
    aug::store_augmented(self, X_aug, y_aug);
    self.attr("estimator_") = aug::fit_clone(a.globals(), self, X_aug, y_aug, sw_aug);
    return nb::borrow(self);
}

// Largest-remainder split of `total` synthetic rows over classes of the given sizes, in Python
// integers (a huge factor gives counts beyond 64 bits). The `abs(delta)` single-row steps over
// the classes in remainder order are taken in one pass per class.
std::vector<nb::object> allocate(const duv::Args &a, nb::handle total, const std::vector<nb::object> &counts,
                                 nb::handle n_samples) {
    nb::object denom = duv::steal_checked(PyNumber_Float(n_samples.ptr()));
    nb::object zero = nb::int_(0);
    std::vector<nb::object> share, per_class;
    nb::object assigned = zero;
    for (const nb::object &count : counts) {
        share.push_back(mul(total, div(count, denom)));
        nb::object rounded = duv::steal_checked(PyNumber_Long(G("round")(share.back()).ptr()));
        per_class.push_back(duv::compare(rounded, zero, Py_GT) ? rounded : zero);
        assigned = add(assigned, per_class.back());
    }
    nb::object delta = sub(total, assigned);
    if (duv::compare(delta, zero, Py_NE)) {
        std::vector<double> remainder;
        for (size_t c = 0; c < counts.size(); ++c) remainder.push_back(duv::to_double(sub(share[c], per_class[c])));
        std::vector<size_t> order(counts.size());
        for (size_t c = 0; c < order.size(); ++c) order[c] = c;
        std::stable_sort(order.begin(), order.end(), [&](size_t l, size_t r) { return remainder[l] > remainder[r]; });
        const bool grow = duv::compare(delta, zero, Py_GT);
        nb::object steps = duv::steal_checked(PyNumber_Absolute(delta.ptr()));
        nb::object m = nb::int_(order.size());
        nb::object rounds = duv::steal_checked(PyNumber_FloorDivide(steps.ptr(), m.ptr()));
        const long long extra =
            nb::cast<long long>(nb::object(duv::steal_checked(PyNumber_Remainder(steps.ptr(), m.ptr()))));
        for (size_t j = 0; j < order.size(); ++j) {
            nb::object moved = static_cast<long long>(j) < extra ? add(rounds, nb::int_(1)) : rounds;
            per_class[order[j]] = grow ? add(per_class[order[j]], moved) : sub(per_class[order[j]], moved);
        }
    }
    return per_class;
}

// The synthetic rows of all classes as rows of the full matrix, for the row kernel.
struct ClassDraws {
    std::vector<int64_t> base, neigh;
    std::vector<double> alpha;

    // Appends one class's base rows and picked neighbours (neighbours[base_idx, neigh_choice]),
    // mapping class-local row numbers through the class mask. False if unusable.
    bool pick(nb::handle mask, nb::handle neighbours, nb::handle base_idx, nb::handle neigh_choice, int64_t n_rows,
              int64_t n_class) {
        ArrayBuffer m(mask), nbr(neighbours), b(base_idx), s(neigh_choice);
        const int64_t *bp = b ? b.int64_vector() : nullptr, *sp = s ? s.int64_vector() : nullptr;
        if (!bp || !sp || !m || m.dtype() != ks::Dtype::Bool || m.ndim() != 1 || m.shape(0) != n_rows ||
            nbr.dtype() != ks::Dtype::I64 || nbr.ndim() != 2 || nbr.shape(0) != n_class || s.shape(0) != b.shape(0))
            return false;
        const int64_t count = b.shape(0);
        const size_t at = base.size();
        base.resize(at + count);
        neigh.resize(at + count);
        bool ok;
        {
            nb::gil_scoped_release unlocked;
            std::vector<int64_t> pos = ks::positions(m.data(), n_rows, m.stride(0));
            ok = ks::pick_global(nbr.data(), n_class, nbr.shape(1), nbr.stride(0), nbr.stride(1), pos, bp, sp, count,
                                 base.data() + at, neigh.data() + at);
        }
        if (!ok) {
            base.resize(at);
            neigh.resize(at);
        }
        return ok;
    }

    // Appends the class's interpolation coefficients; false if they are not a float64 vector
    // of one per drawn row.
    bool add_alpha(nb::handle values) {
        ArrayBuffer al(values);
        const double *ap = al ? al.float64_vector() : nullptr;
        if (!ap || static_cast<size_t>(al.shape(0)) + alpha.size() != base.size()) return false;
        alpha.insert(alpha.end(), ap, ap + al.shape(0));
        return true;
    }

    void truncate(size_t count) {
        base.resize(count);
        neigh.resize(count);
        alpha.resize(count);
    }

    // X[base] + alpha[:, np.newaxis] * (X[neigh] - X[base]): the rows the kernel would write,
    // equal element by element to the per-class NumPy blocks.
    nb::object numpy_rows(nb::handle np, nb::handle X) const {
        return numpy_synthetic(X[as_array(np, base)], X[as_array(np, neigh)], as_array(np, alpha));
    }

private:
    template <typename T> static nb::object as_array(nb::handle np, const std::vector<T> &v) {
        nb::object out = np.attr("empty")(v.size(), "dtype"_a = std::is_same_v<T, double> ? "float64" : "int64");
        ArrayBuffer buf(out, true);
        if (!buf) duv::raise(PyExc_RuntimeError, "cannot write into a new array");
        if (!v.empty()) std::memcpy(buf.data(), v.data(), v.size() * sizeof(T));
        return out;
    }
};

nb::object fit_classifier(const duv::Args &a) {
    nb::handle self = a[0];
    nb::object sample_weight = nb::borrow(a[3]);
    nb::object np = G("np");
    auto Xy = unpack(G("check_X_y")(a[1], a[2], "multi_output"_a = false), 2);
    nb::object X = Xy[0], y = Xy[1];
    self.attr("_validate_estimator")();
    nb::object rng = G("check_random_state")(self.attr("random_state"));
    self.attr("n_features_in_") = nb::object(X.attr("shape"))[1];
    nb::object n_samples = G("_num_samples")(X);

    if (duv::compare(self.attr("factor"), flt(1.0), Py_LT))
        duv::raise_value_error("factor must be >= 1.0 for SMOTE augmentation");
    if (duv::compare(self.attr("factor"), flt(1.0), Py_EQ)) {
        if (duv::truthy(self.attr("shuffle"))) {
            nb::object idx = rng.attr("permutation")(n_samples);
            X = aug::take_rows(np, X, idx);
            y = aug::take_rows(np, y, idx);
            if (!sample_weight.is_none()) sample_weight = aug::take_rows(np, np.attr("asarray")(sample_weight), idx);
        }
        aug::store_augmented(self, X, y);
        self.attr("estimator_") = aug::fit_clone(a.globals(), self, X, y, sample_weight);
        return nb::borrow(self);
    }

    nb::object y_arr = np.attr("asarray")(y);
    nb::object classes = np.attr("unique")(y_arr);
    nb::object n_total_synth = synthetic_count(a, n_samples, self.attr("factor"));
    if (duv::compare(n_total_synth, nb::int_(0), Py_LE)) {
        // Nothing to generate: the plain fit, keeping the caller's weights.
        aug::store_augmented(self, X, y);
        self.attr("estimator_") = aug::fit_clone(a.globals(), self, X, y, sample_weight);
        return nb::borrow(self);
    }

    std::vector<nb::object> labels, counts;
    for (nb::handle c : classes) {
        labels.push_back(nb::borrow(c));
        counts.push_back(nb::int_(np.attr("sum")(duv::richcompare(y_arr, c, Py_EQ))));
    }
    std::vector<nb::object> per_class = allocate(a, n_total_synth, counts, n_samples);

    const int64_t n = nb::cast<int64_t>(n_samples);
    ArrayBuffer X_buf(X);
    std::optional<ks::Dtype> X_dt = row_dtype(X_buf);
    ClassDraws draws;
    nb::list X_synth_list, y_synth_list;
    // Leaves the row kernel for NumPy: the rows drawn so far become one synthetic block.
    auto to_numpy = [&] {
        if (!draws.base.empty()) X_synth_list.append(draws.numpy_rows(np, X));
        draws = ClassDraws();
        X_dt.reset();
    };
    nb::object extrapolation = self.attr("extrapolation");
    for (size_t ci = 0; ci < labels.size(); ++ci) {
        nb::handle n_synth_c = per_class[ci];
        if (duv::compare(n_synth_c, nb::int_(0), Py_LE)) continue;
        nb::handle c = labels[ci];
        nb::object mask = duv::richcompare(y_arr, c, Py_EQ);
        nb::object X_c = X[mask];
        nb::object sw_c = sample_weight.is_none() ? nb::none() : np.attr("asarray")(sample_weight)[mask];
        nb::object n_c = nb::object(X_c.attr("shape"))[0];
        if (duv::compare(n_c, nb::int_(1), Py_LE)) continue;
        nb::object k = capped_k(self.attr("k_neighbors"), n_c);
        if (duv::compare(k, nb::int_(0), Py_LE)) continue;
        nb::object nn = G("NearestNeighbors")("n_neighbors"_a = add(k, nb::int_(1)),
                                              "algorithm"_a = self.attr("algorithm"), "n_jobs"_a = self.attr("n_jobs"));
        nn.attr("fit")(X_c);
        nb::object neigh_idx = unpack(nn.attr("kneighbors")(X_c), 2)[1][nb::make_tuple(slice_all(), slice_from(1))];

        nb::object base_idx;
        if (!sample_weight.is_none() && duv::compare(self.attr("sample_weight_mode"), nb::str("consume"), Py_EQ)) {
            double total = duv::to_double(sw_c.attr("sum")());
            if (!std::isfinite(total) || total <= 0) duv::raise_value_error("Sum of sample_weight must be positive");
            nb::object p_c = div(sw_c, flt(total));
            base_idx = rng.attr("choice")(n_c, "size"_a = n_synth_c, "replace"_a = true, "p"_a = p_c);
        } else {
            base_idx = rng.attr("randint")(0, n_c, "size"_a = n_synth_c);
        }
        nb::object neigh_choice = rng.attr("randint")(0, k, "size"_a = n_synth_c);
        const size_t mark = draws.base.size();
        if (X_dt && !draws.pick(mask, neigh_idx, base_idx, neigh_choice, n, nb::cast<int64_t>(n_c))) to_numpy();
        if (X_dt) {
            nb::object alpha = stretch_alpha(rng.attr("rand")(n_synth_c), extrapolation);
            if (!draws.add_alpha(alpha)) {
                draws.truncate(mark);
                to_numpy();
                nb::object neigh_pick = neigh_idx[nb::make_tuple(base_idx, neigh_choice)];
                X_synth_list.append(numpy_synthetic(X_c[base_idx], X_c[neigh_pick], alpha));
            }
        } else {
            nb::object neigh_pick = neigh_idx[nb::make_tuple(base_idx, neigh_choice)];
            nb::object base_X = X_c[base_idx], neigh_X = X_c[neigh_pick];
            nb::object alpha = stretch_alpha(rng.attr("rand")(n_synth_c), extrapolation);
            X_synth_list.append(numpy_synthetic(base_X, neigh_X, alpha));
        }
        y_synth_list.append(np.attr("full")(n_synth_c, c));
    }

    nb::object X_aug, y_aug, sw_aug = nb::none();
    int64_t n_added = X_dt ? static_cast<int64_t>(draws.base.size()) : static_cast<int64_t>(nb::len(X_synth_list));
    if (!X_dt && n_added) {
        nb::object X_synth = np.attr("vstack")(X_synth_list);
        n_added = nb::cast<int64_t>(nb::object(X_synth.attr("shape"))[0]);
        X_aug = np.attr("vstack")(duv::list_of(X, X_synth));
    }
    if (n_added == 0) {
        X_aug = X;
        y_aug = y;
        if (!sample_weight.is_none()) sw_aug = np.attr("asarray")(sample_weight);
    } else {
        y_aug = np.attr("concatenate")(duv::list_of(y_arr, np.attr("concatenate")(y_synth_list)));
        y_synth_list.clear();
        if (!sample_weight.is_none() && duv::compare(self.attr("sample_weight_mode"), nb::str("passthrough"), Py_EQ))
            sw_aug = np.attr("concatenate")(
                duv::list_of(np.attr("asarray")(sample_weight), np.attr("ones")(n_added, "dtype"_a = float_type())));
    }

    if (X_dt && n_added && n <= INT32_MAX) {
        // One vector of row pairs instead of two, before the permutation is allocated.
        ks::pack_pairs(draws.base.data(), draws.neigh.data(), n_added);
        std::vector<int64_t>().swap(draws.neigh);
    }
    const int64_t n_total = n + n_added;
    nb::object idx;
    const int64_t *order = nullptr;
    std::unique_ptr<ArrayBuffer> idx_buf;
    if (duv::truthy(self.attr("shuffle"))) {
        idx = rng.attr("permutation")(n_total);
        idx_buf = std::make_unique<ArrayBuffer>(idx);
        order = row_order(*idx_buf, n_total);
    }
    if (X_dt && n_added) {
        KernelOutputs kernel;
        X_aug = kernel.add(np, X_buf.matrix(*X_dt), n_total, false);
        ks::Synthetic s{draws.base.data(), draws.neigh.data(), draws.alpha.data(), n_added};
        if (draws.neigh.empty()) s.pairs = reinterpret_cast<const uint64_t *>(draws.base.data());
        kernel.run(s, n, order, n_total);
        draws = ClassDraws();
        if (idx.is_valid() && !order) X_aug = aug::take_rows(np, X_aug, idx);
    } else if (idx.is_valid()) {
        X_aug = aug::take_rows(np, X_aug, idx);
    }
    if (idx.is_valid()) {
        y_aug = aug::take_rows(np, y_aug, idx);
        if (!sw_aug.is_none()) sw_aug = aug::take_rows(np, sw_aug, idx);
    }
    aug::store_augmented(self, X_aug, y_aug);
    self.attr("estimator_") = aug::fit_clone(a.globals(), self, X_aug, y_aug, sw_aug);
    return nb::borrow(self);
}

// ---- class construction ------------------------------------------------------------------

nb::dict constraints(nb::module_ &m, bool regressor) {
    nb::handle Interval = m.attr("Interval"), Real = m.attr("Real"), Integral = m.attr("Integral");
    nb::dict d;
    d["estimator"] = duv::list_of(nb::handle((PyObject *)&PyBaseObject_Type));
    d["factor"] = duv::list_of(Interval(Real, 1.0, nb::none(), "closed"_a = "left"));
    d["k_neighbors"] = duv::list_of(Interval(Integral, 1, nb::none(), "closed"_a = "left"));
    if (regressor) d["distance_weights"] = duv::list_of("array-like", nb::none());
    d["random_state"] = duv::list_of("random_state");
    d["shuffle"] = duv::list_of("boolean");
    d["algorithm"] = duv::list_of(m.attr("StrOptions")(duv::set_of("auto", "brute", "ball_tree", "kd_tree")));
    d["n_jobs"] = duv::list_of(Integral, nb::none());
    d["extrapolation"] = duv::list_of(Interval(Real, 0.0, nb::none(), "closed"_a = "left"));
    d["sample_weight_mode"] = duv::list_of(m.attr("StrOptions")(duv::set_of("consume", "passthrough")));
    d["store_augmented"] = duv::list_of("boolean");
    return d;
}

void build_regressor(nb::module_ &m) {
    duv::ClassBuilder cls(m, "SMOTEAugmentedRegressor",
                          {m.attr("RegressorMixin"), m.attr("UnwrapMetaEstimatorMixin"), m.attr("BaseEstimator")});
    cls.attr("_parameter_constraints", constraints(m, true));
    cls.init({duv::arg("self"), duv::arg("estimator"), duv::arg("factor", 10.0), duv::arg("k_neighbors", 5),
              duv::arg("distance_weights", nb::none()), duv::arg("random_state", nb::none()), duv::arg("shuffle", true),
              duv::arg("algorithm", "auto"), duv::arg("n_jobs", nb::none()), duv::arg("extrapolation", 0.0),
              duv::arg("sample_weight_mode", "passthrough"), duv::arg("store_augmented", false)});
    cls.def("_validate_estimator", {duv::arg("self")}, validate_estimator);
    nb::object fit = duv::make_function(
        PyModule_GetDict(m.ptr()), "fit", "SMOTEAugmentedRegressor.fit",
        {duv::arg("self"), duv::arg("X"), duv::arg("y"), duv::arg("sample_weight", nb::none())}, fit_regressor);
    nb::dict fit_constraints;
    fit_constraints["X"] = duv::list_of("array-like", "sparse matrix");
    fit_constraints["y"] = duv::list_of("array-like");
    fit_constraints["sample_weight"] = duv::list_of("array-like", nb::none());
    cls.attr("fit", duv::validate_params(m, fit, fit_constraints, true));
    cls.def("predict", {duv::arg("self"), duv::arg("X")}, aug::predict_fitted_with);
    cls.build();
}

void build_classifier(nb::module_ &m) {
    duv::ClassBuilder cls(m, "SMOTEAugmentedClassifier",
                          {m.attr("ClassifierMixin"), m.attr("UnwrapMetaEstimatorMixin"), m.attr("BaseEstimator")});
    cls.attr("_parameter_constraints", constraints(m, false));
    cls.init({duv::arg("self"), duv::arg("estimator"), duv::arg("factor", 2.0), duv::arg("k_neighbors", 5),
              duv::arg("random_state", nb::none()), duv::arg("shuffle", true), duv::arg("algorithm", "auto"),
              duv::arg("n_jobs", nb::none()), duv::arg("extrapolation", 0.0),
              duv::arg("sample_weight_mode", "passthrough"), duv::arg("store_augmented", false)});
    cls.def("_validate_estimator", {duv::arg("self")}, validate_estimator);
    cls.def("fit", {duv::arg("self"), duv::arg("X"), duv::arg("y"), duv::arg("sample_weight", nb::none())},
            fit_classifier);
    cls.def("predict", {duv::arg("self"), duv::arg("X")}, aug::predict_fitted_with);
    aug::def_classes_property(cls);
    cls.build();
}

}  // namespace

DUV_MODULE("duv.augmentation._smote_augmentation", exec_smote_augmentation) {
    duv::import_as(m, "warnings");
    duv::import_as(m, "numpy", "np");
    duv::from_import(m, "sklearn.base", {"BaseEstimator", "ClassifierMixin", "RegressorMixin", "clone"});
    duv::from_import(m, "sklearn.neighbors", {"NearestNeighbors"});
    duv::from_import(m, "sklearn.utils", {"check_consistent_length"});
    duv::from_import(m, "sklearn.utils._param_validation",
                     {"Integral", "Interval", "Real", "StrOptions", "validate_params"});
    duv::from_import(
        m, "sklearn.utils.validation",
        {"_check_sample_weight", "_num_samples", "check_array", "check_is_fitted", "check_random_state", "check_X_y"});
    duv::from_import(m, "._meta_estimator_mixins", {"UnwrapMetaEstimatorMixin"});

    duv::def(m, "smote_augment",
             {duv::arg("X"), duv::arg("y"), duv::arg("factor", 10.0), duv::arg("k_neighbors", 5),
              duv::arg("random_state", nb::none()), duv::arg("distance_weights", nb::none()), duv::arg("shuffle", true),
              duv::arg("algorithm", "auto"), duv::arg("n_jobs", nb::none()), duv::arg("extrapolation", 0.0),
              duv::kwonly("sample_weight", nb::none()), duv::kwonly("sample_weight_mode", "passthrough")},
             smote_augment);
    build_regressor(m);
    build_classifier(m);
}
