#include "duv/augmentation/rare_rows.hpp"

#include "duv/augmentation/arrays.hpp"
#include "duv/interop/capi.hpp"
#include "duv/interop/unlocked.hpp"
#include "duv/interop/util.hpp"
#include "duv/kernels/fp_flags.hpp"
#include "duv/kernels/gather.hpp"
#include "duv/kernels/monotone_cubic.hpp"

#include <array>

namespace duv::augmentation::rare {

namespace kr = kernels::rare_target;
namespace mc = kernels::monotone_cubic;

namespace {

// A float64 vector of any stride, for the kernels; empty when `view` is not one.
kr::Vector vector_of(const ArrayView &view) {
    if (!view.has(Dtype::F64) || view.ndim() != 1) return {};
    return {view.data(), view.shape(0), view.stride(0)};
}

const char *const kPointsMessage =
    "control_points must be pairs of (value, relevance) with increasing values and relevances in [0, 1]";
const char *const kRelevanceMessage = "relevance must give one value in [0, 1] per row";

}  // namespace

// ---- relevance ---------------------------------------------------------------------------

nb::object target_vector(nb::handle np, nb::handle y) {
    nb::object v = np.attr("asarray")(y, "dtype"_a = np.attr("float64"));
    if (nb::cast<long>(v.attr("ndim")) != 2) return v;
    nb::object shape = v.attr("shape");
    if (!compare(nb::object(shape[1]), nb::int_(1), Py_EQ))
        raise_value_error("y must be one-dimensional or a single column, got shape " + format(shape));
    return v.attr("reshape")(-1);
}

Curve control_points(nb::handle np, nb::handle control_points) {
    nb::object cp;
    try {
        cp = np.attr("asarray")(control_points, "dtype"_a = float_type());
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
        raise_wrapped(PyExc_ValueError, std::string(kPointsMessage) + ": ", e);
    }
    ArrayView view(cp);
    if (!view.has(Dtype::F64) || view.ndim() != 2 || view.shape(1) != 2 || view.shape(0) < 1)
        raise_value_error(kPointsMessage);
    const kernels::Matrix points = view.matrix(Dtype::F64);
    Curve c;
    for (int64_t k = 0; k < points.n; ++k) {
        const char *row = points.data + k * points.rs;
        double value, relevance;
        std::memcpy(&value, row, sizeof value);
        std::memcpy(&relevance, row + points.cs, sizeof relevance);
        c.values.push_back(value);
        c.relevances.push_back(relevance);
    }
    if (!mc::valid_points(c.values.data(), c.relevances.data(), points.n)) raise_value_error(kPointsMessage);
    return c;
}

nb::object on_curve(nb::handle np, nb::handle y, const Curve &curve) {
    ArrayView view(y);
    const kr::Vector v = vector_of(view);
    if (!v.data) raise(PyExc_TypeError, "y must be a vector of float64 values");
    mc::Curve c =
        mc::through(curve.values.data(), curve.relevances.data(), static_cast<std::ptrdiff_t>(curve.values.size()));
    if (curve.step_below) c.below = 1.0;
    if (curve.step_above) c.above = 1.0;
    auto out = duv::new_array<double>(np, nb::make_tuple(v.n));
    run_unlocked(v.n, [&] { mc::evaluate(c, v.data, v.stride, v.n, out.data); });
    return out.array;
}

nb::object density(const Globals &g, nb::handle y, nb::handle counts, nb::handle edges, Extremes extremes,
                   nb::handle median) {
    const RareState &st = g.state<RareState>();
    nb::object np = g["np"];
    const bool plain_median = extremes == Extremes::Both || PyFloat_Check(median.ptr());
    if (st.numpy.intact(g) && plain_median) {
        ArrayView yv(y), cv(counts), ev(edges);
        const kr::Vector v = vector_of(yv);
        const int64_t *c = cv.vector<int64_t>();
        const double *e = ev.vector<double>();
        if (v.data && c && e && cv.shape(0) >= 1 && ev.shape(0) == cv.shape(0) + 1) {
            auto out = duv::new_array<double>(np, nb::make_tuple(v.n));
            const double med = extremes == Extremes::Both ? 0.0 : float_value(median.ptr());
            run_unlocked(v.n, [&] { kr::density(v, e, c, cv.shape(0), extremes, med, out.data); });
            return out.array;
        }
    }
    nb::object bins = np.attr("searchsorted")(edges, y, "side"_a = "right") - nb::int_(1);
    bins = np.attr("minimum")(bins, nb::len(counts) - 1);
    nb::object rel = nb::int_(1) - nb::object(counts[bins]) / nb::object(counts.attr("max")());
    if (extremes == Extremes::High) rel = np.attr("where")(richcompare(y, median, Py_LT), 0.0, rel);
    if (extremes == Extremes::Low) rel = np.attr("where")(richcompare(y, median, Py_GT), 0.0, rel);
    return rel;
}

bool constant(nb::handle y) {
    ArrayView view(y);
    const kr::Vector v = vector_of(view);
    if (v.data && v.n > 0) return kr::constant(v);
    return compare(y.attr("min")(), y.attr("max")(), Py_EQ);
}

nb::object checked_relevance(nb::handle np, nb::handle relevance, int64_t n) {
    nb::object rel;
    try {
        rel = np.attr("asarray")(relevance, "dtype"_a = float_type());
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
        raise_wrapped(PyExc_ValueError, std::string(kRelevanceMessage) + ": ", e);
    }
    nb::object shape = rel.attr("shape");
    if (!compare(shape, nb::make_tuple(n), Py_EQ))
        raise_value_error(std::string(kRelevanceMessage) + ", got shape " + format(shape));
    ArrayView view(rel);
    const kr::Vector v = vector_of(view);
    const bool ok =
        v.data ? kr::all_in_unit_interval(v)
               : truthy(np.attr("all")(richcompare(rel, nb::int_(0), Py_GE) & richcompare(rel, nb::int_(1), Py_LE)));
    if (!ok) raise_value_error(kRelevanceMessage);
    return rel;
}

// ---- sides -------------------------------------------------------------------------------

std::pair<Side, Side> split(const Globals &g, nb::handle relevance, nb::handle y, double threshold, nb::handle median) {
    const RareState &st = g.state<RareState>();
    nb::object np = g["np"];
    Side low{"low", {}}, high{"high", {}};
    if (st.numpy.intact(g) && PyFloat_Check(median.ptr())) {
        ArrayView rv(relevance), yv(y);
        const kr::Vector r = vector_of(rv), v = vector_of(yv);
        if (r.data && v.data && r.n == v.n) {
            const double med = float_value(median.ptr());
            const kr::Split counts = run_unlocked(v.n, [&] { return kr::count_sides(r, v, threshold, med); });
            NewArray lo = new_array(np, nb::make_tuple(counts.n_low), np.attr("int64"));
            NewArray hi = new_array(np, nb::make_tuple(counts.n_high), np.attr("int64"));
            run_unlocked(v.n, [&] {
                kr::fill_sides(r, v, threshold, med, reinterpret_cast<int64_t *>(lo.view.data()),
                               reinterpret_cast<int64_t *>(hi.view.data()));
            });
            low.rows = lo.array;
            high.rows = hi.array;
        }
    }
    if (!low.rows.is_valid()) {
        nb::object rare = richcompare(relevance, nb::float_(threshold), Py_GE);
        low.rows = np.attr("flatnonzero")(rare & richcompare(y, median, Py_LT));
        high.rows = np.attr("flatnonzero")(rare & richcompare(y, median, Py_GE));
    }
    low.n = static_cast<int64_t>(nb::len(low.rows));
    high.n = static_cast<int64_t>(nb::len(high.rows));
    return {std::move(low), std::move(high)};
}

// ---- synthetic rows ----------------------------------------------------------------------

struct SyntheticRows::Part {
    enum Kind { kJitter, kInterpolate, kMixed } kind = kJitter;
    nb::object rows, drawn, ind, dist, slot, alpha, z, scale_x, scale_y, limit;
    int64_t n_side = 0, count = 0, q = 0;
    // For the kernel: base and neighbour rows of X, which rows are interpolated, the scales.
    std::vector<int64_t> base, neigh;
    std::vector<uint8_t> close;
    std::vector<double> sx;
    double sy = 0.0;
    ArrayView z_view, alpha_view;

    // The kernel's view of the part, once prepare_kernel() accepted it.
    kr::Side side() const {
        kr::Side k;
        k.count = count;
        k.base = base.data();
        if (kind != kJitter) {
            k.neigh = neigh.data();
            k.alpha = alpha_view.vector<double>();
        }
        if (kind == kMixed) k.close = close.data();
        if (kind != kInterpolate) {
            k.z = z_view.contiguous<double>();
            k.scale_x = sx.data();
            k.scale_y = sy;
        }
        return k;
    }
};

SyntheticRows::SyntheticRows(const Globals &g, nb::handle X, nb::handle y, nb::handle weights)
    : np_(g["np"]), X_(nb::borrow(X)), y_(nb::borrow(y)), w_(nb::borrow(weights)),
      kernel_(g.state<RareState>().numpy.intact(g)) {}

SyntheticRows::~SyntheticRows() = default;

SyntheticRows::Part &SyntheticRows::current() { return parts_.back(); }

nb::object SyntheticRows::X_of(const Side &side) const { return take_rows(np_, X_, side.rows); }
nb::object SyntheticRows::y_of(const Side &side) const { return take_rows(np_, y_, side.rows); }

void SyntheticRows::base_rows(const Side &side, int64_t q, nb::handle drawn) {
    Part &p = parts_.emplace_back();
    p.rows = side.rows;
    p.n_side = side.n;
    p.count = side.n_syn;
    p.q = q;
    p.drawn = nb::borrow(drawn);
    if (!kernel_) return;
    ArrayView dv = drawn.is_none() ? ArrayView() : ArrayView(drawn);
    const int64_t *d = dv.vector<int64_t>();
    const int64_t r = d ? dv.shape(0) : 0;
    kernel_ = (drawn.is_none() || d) && side.n * q + r == side.n_syn;
    if (kernel_) {
        p.base.resize(static_cast<size_t>(side.n_syn));
        kernel_ = kr::base_positions(side.n, q, d, r, p.base.data());
    }
}

void SyntheticRows::jittered(nb::handle z, nb::handle scale_x, nb::handle scale_y) {
    Part &p = current();
    p.kind = Part::kJitter;
    p.z = nb::borrow(z);
    p.scale_x = nb::borrow(scale_x);
    p.scale_y = nb::borrow(scale_y);
    prepare_kernel(p);
}

void SyntheticRows::interpolated(nb::handle ind, nb::handle slot, nb::handle alpha) {
    Part &p = current();
    p.kind = Part::kInterpolate;
    p.ind = nb::borrow(ind);
    p.slot = nb::borrow(slot);
    p.alpha = nb::borrow(alpha);
    prepare_kernel(p);
}

void SyntheticRows::interpolated_or_jittered(nb::handle ind, nb::handle dist, nb::handle slot, nb::handle alpha,
                                             nb::handle z, nb::handle scale_x, nb::handle scale_y, nb::handle limit) {
    Part &p = current();
    p.kind = Part::kMixed;
    p.ind = nb::borrow(ind);
    p.dist = nb::borrow(dist);
    p.slot = nb::borrow(slot);
    p.alpha = nb::borrow(alpha);
    p.z = nb::borrow(z);
    p.scale_x = nb::borrow(scale_x);
    p.scale_y = nb::borrow(scale_y);
    p.limit = nb::borrow(limit);
    prepare_kernel(p);
}

namespace {

bool is_matrix(const ArrayView &v, Dtype dtype, int64_t rows, int64_t cols) {
    return v.has(dtype) && v.ndim() == 2 && v.shape(0) == rows && v.shape(1) == cols;
}

template <typename T> const T *vector_of(const ArrayView &v, int64_t n) {
    const T *data = v.vector<T>();
    return data && v.shape(0) == n ? data : nullptr;
}

// The normal draws z (count x (m + 1), C-ordered) and the float scales of a jittering part.
bool read_jitter(SyntheticRows::Part &p, int64_t m) {
    p.z_view = ArrayView(p.z);
    ArrayView sx(p.scale_x);
    const double *scale = vector_of<double>(sx, m);
    if (!p.z_view.contiguous<double>() || !is_matrix(p.z_view, Dtype::F64, p.count, m + 1) || !scale ||
        !PyFloat_Check(p.scale_y.ptr()))
        return false;
    p.sx.assign(scale, scale + m);
    p.sy = float_value(p.scale_y.ptr());
    return true;
}

// The neighbour (and, mixed, whether it is close) of every synthetic row of an interpolating
// part, as positions within its side.
bool read_neighbours(SyntheticRows::Part &p) {
    ArrayView iv(p.ind), sv(p.slot), dv;
    p.alpha_view = ArrayView(p.alpha);
    const int64_t *slot = vector_of<int64_t>(sv, p.count);
    if (!iv.has(Dtype::I64) || iv.ndim() != 2 || iv.shape(0) != p.n_side || !slot ||
        !vector_of<double>(p.alpha_view, p.count))
        return false;
    const bool mixed = p.kind == SyntheticRows::Part::kMixed;
    if (mixed) {
        dv = ArrayView(p.dist);
        if (!is_matrix(dv, Dtype::F64, iv.shape(0), iv.shape(1)) || !PyFloat_Check(p.limit.ptr())) return false;
        p.close.resize(static_cast<size_t>(p.count));
    }
    p.neigh.resize(static_cast<size_t>(p.count));
    return kr::pick_neighbours(iv.matrix(Dtype::I64), mixed ? dv.matrix(Dtype::F64) : kernels::Matrix{}, p.base.data(),
                               slot, p.count, mixed ? float_value(p.limit.ptr()) : 0.0, p.neigh.data(),
                               mixed ? p.close.data() : nullptr);
}

// X (n x m), y and the weights as the kernel reads them; nullopt unless they are float64 and
// of one length.
std::optional<kr::Input> kernel_input(const ArrayView &Xv, const ArrayView &yv, const ArrayView &wv, bool weighted) {
    kr::Input in{{}, vector_of(yv), vector_of(wv)};
    if (!Xv.has(Dtype::F64) || Xv.ndim() != 2 || !in.y.data || (weighted && !in.w.data)) return std::nullopt;
    in.X = Xv.matrix(Dtype::F64);
    if (in.y.n != in.X.n || (in.w.data && in.w.n != in.X.n)) return std::nullopt;
    return in;
}

}  // namespace

// Reads the part's draws and neighbours for the kernel, as rows of X; on anything that is not
// a plain array of the expected shape the kernel steps aside for the whole call.
void SyntheticRows::prepare_kernel(Part &p) {
    if (!kernel_) return;
    ArrayView rows_view(p.rows);
    const int64_t *rows = vector_of<int64_t>(rows_view, p.n_side);
    kernel_ = rows && kernels::all_within(rows, p.n_side, nb::len(X_)) &&
              (p.kind == Part::kInterpolate || read_jitter(p, nb::cast<int64_t>(shape_of(X_, 1)))) &&
              (p.kind == Part::kJitter || read_neighbours(p));
    if (!kernel_) return;
    if (p.kind != Part::kJitter) kr::to_input_rows(rows, p.neigh.data(), p.count);
    kr::to_input_rows(rows, p.base.data(), p.count);
}

nb::object SyntheticRows::assemble(nb::handle perm) {
    if (kernel_)
        if (auto out = by_kernel(perm)) return *out;
    return by_numpy(perm);
}

std::optional<nb::object> SyntheticRows::by_kernel(nb::handle perm) {
    ArrayView Xv(X_), yv(y_), wv = w_.is_none() ? ArrayView() : ArrayView(w_);
    const std::optional<kr::Input> in = kernel_input(Xv, yv, wv, !w_.is_none());
    if (!in) return std::nullopt;
    kr::Side sides[2];
    int64_t n_total = in->X.n;
    for (size_t s = 0; s < parts_.size() && s < 2; ++s) {
        sides[s] = parts_[s].side();
        n_total += parts_[s].count;
    }
    ArrayView pv = perm.is_none() ? ArrayView() : ArrayView(perm);
    const int64_t *order = perm.is_none() ? nullptr : vector_of<int64_t>(pv, n_total);
    if (!perm.is_none() && (!order || !kernels::all_within(order, n_total, n_total))) return std::nullopt;

    const int64_t m = in->X.m;
    auto X_out = duv::new_array<double>(np_, nb::make_tuple(n_total, m));
    auto y_out = duv::new_array<double>(np_, nb::make_tuple(n_total));
    std::optional<duv::NewArray<double>> w_out;
    if (in->w.data) w_out = duv::new_array<double>(np_, nb::make_tuple(n_total));
    const bool quiet = run_unlocked(n_total * (m + 2), [&] {
        kr::write(*in, sides[0], sides[1], order, n_total, X_out.data, y_out.data, w_out ? w_out->data : nullptr);
        return !kernels::FpFlags::troubled();
    });
    // NumPy's arithmetic reports what overflowed; its expressions run again for that.
    if (!quiet) return std::nullopt;
    return nb::make_tuple(X_out.array, y_out.array, w_out ? w_out->array : nb::none());
}

// The part's rows by the NumPy expressions: X_new, y_new and (with weights) w_new.
std::array<nb::object, 3> SyntheticRows::numpy_rows(const Part &p) const {
    nb::handle np = np_;
    const bool weighted = !w_.is_none();
    nb::object base = np.attr("repeat")(np.attr("arange")(p.n_side), p.q);
    if (!p.drawn.is_none()) base = np.attr("concatenate")(duv::list_of(base, p.drawn));
    nb::object X_side = X_[p.rows], y_side = y_[p.rows];
    nb::object w_side = weighted ? nb::object(w_[p.rows]) : nb::none();
    nb::object Xb = X_side[base], yb = y_side[base];
    nb::object X_new, y_new, w_new;
    if (p.kind != Part::kInterpolate) {
        X_new = Xb + p.scale_x * nb::object(p.z[nb::make_tuple(full_slice(), slice_to(-1))]);
        y_new = yb + p.scale_y * nb::object(p.z[nb::make_tuple(full_slice(), nb::int_(-1))]);
        if (weighted) w_new = w_side[base];
    }
    if (p.kind == Part::kJitter) return {X_new, y_new, w_new};
    nb::object at = nb::make_tuple(base, p.slot);
    nb::object nbr = nb::object(p.ind[nb::make_tuple(full_slice(), slice_from(1))])[at];
    nb::object column = p.alpha[nb::make_tuple(full_slice(), nb::none())];
    nb::object Xi = Xb + column * (nb::object(X_side[nbr]) - Xb);
    nb::object yi = yb + p.alpha * (nb::object(y_side[nbr]) - yb);
    nb::object wi;
    if (weighted) wi = (nb::int_(1) - p.alpha) * nb::object(w_side[base]) + p.alpha * nb::object(w_side[nbr]);
    if (p.kind == Part::kInterpolate) return {Xi, yi, wi};
    nb::object dist = nb::object(p.dist[nb::make_tuple(full_slice(), slice_from(1))])[at];
    nb::object close = richcompare(dist, p.limit, Py_LT);
    X_new = np.attr("where")(close[nb::make_tuple(full_slice(), nb::none())], Xi, X_new);
    y_new = np.attr("where")(close, yi, y_new);
    if (weighted) w_new = np.attr("where")(close, wi, w_new);
    return {X_new, y_new, w_new};
}

nb::object SyntheticRows::by_numpy(nb::handle perm) {
    nb::handle np = np_;
    const bool weighted = !w_.is_none();
    nb::list Xs = list_of(X_), ys = list_of(y_), ws = weighted ? list_of(w_) : nb::list();
    for (const Part &p : parts_) {
        auto [X_new, y_new, w_new] = numpy_rows(p);
        Xs.append(X_new);
        ys.append(y_new);
        if (weighted) ws.append(w_new);
    }
    nb::object X_aug = np.attr("vstack")(Xs), y_aug = np.attr("concatenate")(ys);
    nb::object w_aug = weighted ? nb::object(np.attr("concatenate")(ws)) : nb::none();
    if (!perm.is_none()) {
        X_aug = X_aug[perm];
        y_aug = y_aug[perm];
        if (weighted) w_aug = w_aug[perm];
    }
    return nb::make_tuple(X_aug, y_aug, w_aug);
}

}  // namespace duv::augmentation::rare
