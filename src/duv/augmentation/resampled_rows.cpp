#include "duv/augmentation/resampled_rows.hpp"

#include "duv/augmentation/arrays.hpp"
#include "duv/interop/capi.hpp"
#include "duv/interop/unlocked.hpp"
#include "duv/interop/util.hpp"

#include <cmath>

namespace duv::augmentation {

void Resampling::take_data(nb::handle checked) {
    auto Xy = unpack(checked, 2);
    X = std::move(Xy[0]);
    y_was_1d = nb::cast<int>(Xy[1].attr("ndim")) == 1;
    y = y_was_1d ? nb::object(Xy[1].attr("reshape")(-1, 1)) : std::move(Xy[1]);
    n_samples = shape_of(X, 0);
}

nb::object Resampling::result(nb::handle X_out, const nb::object &y_out, nb::handle w) const {
    return nb::make_tuple(X_out, y_was_1d ? y_out.attr("reshape")(-1) : y_out, w);
}

nb::object Resampling::weights_of(nb::handle n_rows, nb::handle indices) const {
    if (consume) return float_ones(np, n_rows);
    if (sample_weight.is_none()) return nb::none();
    nb::object sw = np.attr("asarray")(sample_weight);
    return indices.is_valid() ? take_rows(np, sw, indices) : sw;
}

nb::object kept_size(const Resampling &r, bool copy) {
    if (r.shuffle) {
        nb::object indices = r.rng.attr("permutation")(r.n_samples);
        return r.result(take_rows(r.np, r.X, indices), take_rows(r.np, r.y, indices),
                        r.weights_of(r.n_samples, indices));
    }
    if (copy) return r.result(r.X.attr("copy")(), r.y.attr("copy")(), r.weights_of(r.n_samples, {}));
    return r.result(r.X, r.y, r.weights_of(r.n_samples, {}));
}

nb::object drawn(const Resampling &r, nb::handle p, bool replace) {
    nb::object indices = r.rng.attr("choice")(r.n_samples, "size"_a = r.n_target, "replace"_a = replace, "p"_a = p);
    // X[indices][order] is X[indices[order]]: the rows are gathered once, in their final order.
    if (r.shuffle) indices = take_rows(r.np, indices, r.rng.attr("permutation")(r.n_target));
    return r.result(take_rows(r.np, r.X, indices), take_rows(r.np, r.y, indices), r.weights_of(r.n_target, indices));
}

namespace kg = kernels::grown;

namespace {

nb::object inplace_add(nb::handle a, nb::handle b) { return steal_checked(PyNumber_InPlaceAdd(a.ptr(), b.ptr())); }

// `std is not None and std > 0`
bool has_noise(nb::handle std_) { return !std_.is_none() && compare(std_, nb::int_(0), Py_GT); }

}  // namespace

NoisyCopies::NoisyCopies(nb::handle np, nb::handle rng, bool plain, nb::handle src, nb::handle indices, nb::handle std_,
                         nb::handle rel_std)
    : np_(nb::borrow(np)), src_(nb::borrow(src)) {
    if (!has_noise(std_)) {
        if (!plain) {
            copies_ = src[indices].attr("copy")();
            road_ = Road::NumPy;
        }
        return;
    }
    const bool relative = truthy(rel_std);
    nb::object shape = nb::make_tuple(shape_of(indices, 0), shape_of(src, 1));
    if (plain && kernel_applies(std_, relative, indices)) {
        // Relative noise is drawn as standard normals and scaled by the kernel:
        // normal(0, s) returns 0 + s * gauss, which the kernel computes from them.
        draws_ = rng.attr("normal")(0, relative ? nb::object(nb::float_(1.0)) : nb::borrow(std_), shape);
        road_ = Road::Kernel;
        return;
    }
    nb::object copies = src[indices].attr("copy")();
    nb::object noise_std = relative ? np.attr("abs")(copies * std_) : nb::borrow(std_);
    copies = copies.attr("astype")(np.attr("float64"));
    copies_ = inplace_add(copies, rng.attr("normal")(0, noise_std, shape));
    road_ = Road::NumPy;
}

nb::object NoisyCopies::assemble(GrownSet &grown, nb::handle indices, nb::handle perm) {
    switch (road_) {
    case Road::Copy: return grown.take(src_);
    case Road::Kernel:
        if (grown.rows()) {
            if (auto out = by_kernel(*grown.rows(), grown.source_rows())) {
                draws_ = nb::object();  // spent: the next block's output may take its memory
                return *out;
            }
        }
        replay_relative_scaling();
        copies_ = inplace_add(src_[indices].attr("astype")(np_.attr("float64")), draws_);
        draws_ = nb::object();
        [[fallthrough]];
    case Road::NumPy: break;
    }
    nb::object rows = np_.attr("vstack")(list_of(src_, copies_));
    return perm.is_none() ? rows : take_rows(np_, rows, perm);
}

bool NoisyCopies::kernel_applies(nb::handle std_, bool relative, nb::handle indices) {
    view_ = ArrayView(src_);
    auto dt = view_ ? view_.dtype() : std::nullopt;
    if (!dt || view_.ndim() != 2) return false;
    if (!relative) return true;
    // |x * std| must be what NumPy computes in float64 (Python float std; float32 data
    // would multiply in float32) and must not overflow, which NumPy would warn about.
    if (!PyFloat_Check(std_.ptr()) || *dt == Dtype::F32) return false;
    scale_ = float_value(std_.ptr());
    const kernels::Matrix x = view_.matrix(*dt);
    const double top = run_unlocked(x.n * x.m, [&] { return kernels::max_abs(x); });
    if (!std::isfinite(scale_) || !std::isfinite(top * scale_)) return false;
    // The copies' rows, to scale the draws by should NumPy have to add them.
    idx_ = ArrayView(indices);
    const int64_t *idx = idx_.vector<int64_t>();
    if (!idx) return false;
    copies_of_ = kg::Rows{idx, view_.shape(0), idx_.shape(0), nullptr};
    relative_ = kg::valid(copies_of_);
    return relative_;
}

// The float64 rows with noise written by the kernel; empty when it raised floating-point
// flags (NumPy then adds the same draws and reports them).
std::optional<nb::object> NoisyCopies::by_kernel(const kg::Rows &rows, const int64_t *src) {
    nb::object out = np_.attr("empty")(nb::make_tuple(rows.total(), view_.shape(1)), "dtype"_a = "float64");
    ArrayView o(out, true), d(draws_);
    double *dst = o.contiguous<double>();
    const double *g = d.contiguous<double>();
    const std::optional<Dtype> dt = view_.dtype();
    if (!dst || !g || !dt || d.size() != rows.n_new * view_.shape(1)) return std::nullopt;
    const kg::Noise noise{g, relative_, scale_};
    const kernels::Matrix x = view_.matrix(*dt);
    const bool quiet = run_unlocked(rows.total() * x.m, [&] {
        kg::noisy_rows(x, noise, rows, src, dst);
        return !kernels::FpFlags::troubled();
    });
    if (!quiet) return std::nullopt;
    return out;
}

// Before NumPy adds relative draws, they become what normal(0, |x * std|) returns.
void NoisyCopies::replay_relative_scaling() {
    if (!relative_) return;
    ArrayView d(draws_, true);
    double *g = d.contiguous<double>();
    const std::optional<Dtype> dt = view_.dtype();
    if (!g || !dt || d.size() != copies_of_.n_new * view_.shape(1))
        raise(PyExc_RuntimeError, "cannot write into the drawn noise");
    const kernels::Matrix x = view_.matrix(*dt);
    run_unlocked(copies_of_.n_new * x.m, [&] { kg::scale_draws(x, copies_of_, g, scale_); });
}

}  // namespace duv::augmentation
