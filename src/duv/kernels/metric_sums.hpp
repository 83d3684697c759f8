// The sums of the regression metrics in one pass over targets and predictions, in
// cache-sized row blocks: the logarithm of a log-space metric applied on the way, its
// non-finite results classified (domain errors, NaN rows to drop, floating-point flags),
// and the per-output sums accumulated; then each output's metric from its sums.
#pragma once

#include "duv/kernels/dtype.hpp"
#include "duv/kernels/fp_flags.hpp"
#include "duv/kernels/pairwise_sum.hpp"
#include "duv/kernels/simd.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

namespace duv::kernels::metric_sums {

enum class Family : std::uint8_t { None, Log1p, Log10 };
enum class Kind : std::uint8_t {
    AbsoluteError,
    SquaredError,
    RootSquaredError,
    AbsolutePercentageError,
    R2,
    FractionUnexplained
};
// R² and the fraction of variance unexplained sum the residual and total sums of squares.
inline bool is_variance(Kind kind) { return kind == Kind::R2 || kind == Kind::FractionUnexplained; }
enum class Status : std::uint8_t {
    Ok,
    Anomaly,     // unchecked inputs hold a non-finite value or a negative weight
    Domain,      // a value outside the logarithm's domain under nan_policy="raise"
    NonFinite,   // a non-finite logarithm under nan_policy="raise"
    AllDropped,  // nan_policy="drop" left no row
};
// Floating-point exceptions that the logarithm of the whole array raises.
enum : unsigned { kDivide = 1, kInvalid = 2 };

using std::ptrdiff_t;

// Applies the logarithm elementwise; `in` may equal `out`. Leaves the floating-point
// exception flags as it found them.
using Transform = void (*)(const void *ctx, const double *in, double *out, ptrdiff_t n);

struct Options {
    Family family = Family::None;
    Kind kind = Kind::SquaredError;
    bool drop = false;       // nan_policy="drop"
    bool unchecked = false;  // inputs are float64 but not yet checked for finiteness and weight signs
    double eps = 0.0;
    Transform transform = nullptr;
    const void *ctx = nullptr;
};

struct Result {
    Status status = Status::Ok;
    unsigned true_flags = 0, pred_flags = 0;
    ptrdiff_t n_kept = 0;
    double weight_sum = 0.0;     // kept rows: their number, or the sum of their weights
    std::vector<double> sum;     // per output: sum of (weighted) errors; Variance: residual sum of squares
    std::vector<double> ss_tot;  // Variance: total sum of squares about the (weighted) mean
    // The arithmetic on kept rows raised division by zero, overflow or an invalid operation,
    // where NumPy's would warn (the logarithm's own exceptions are the transform's business).
    bool fp_exception = false;
};

// Element (r, j) of a float64 matrix.
inline double at(const Matrix &a, ptrdiff_t r, ptrdiff_t j) {
    return *reinterpret_cast<const double *>(a.data + r * a.rs + j * a.cs);
}

namespace detail {

constexpr ptrdiff_t kBlock = 4096;

inline const double *row(const Matrix &a, ptrdiff_t r) { return reinterpret_cast<const double *>(a.data + r * a.rs); }
inline bool contiguous_rows(const Matrix &a, ptrdiff_t rows) {
    return (a.m == 1 || a.cs == 8) && (rows == 1 || a.rs == 8 * a.m);
}

// Neumaier-compensated running sum, for adding block partial sums.
struct Sum {
    double s = 0.0, c = 0.0;
    void add(double x) {
        double t = s + x;
        if (std::isfinite(t)) c += std::fabs(s) >= std::fabs(x) ? (s - t) + x : (x - t) + s;
        s = t;
    }
    double value() const { return s + c; }
};

// Elementwise operations written once for doubles and for pairs of doubles.
inline double vabs(double x) { return std::fabs(x); }
inline F64x2 vabs(F64x2 x) {
    const I64x2 mask = {0x7fffffffffffffffLL, 0x7fffffffffffffffLL};
    return reinterpret_cast<F64x2>(reinterpret_cast<I64x2>(x) & mask);
}
// np.maximum(a, b) for a NaN-free `a`: a NaN `b` wins. (A NaN `a` comes only with a
// NaN difference in the numerator, which decides the result anyway.)
inline double vmax(double a, double b) { return a >= b ? a : b; }
inline F64x2 vmax(F64x2 a, F64x2 b) { return a >= b ? a : b; }

// The eight-lane case of lane_sums below, two lanes per vector; returns the elements done.
template <bool Weighted, bool LaneY, class Op1, class Op2>
inline ptrdiff_t lane_sums8(const double *__restrict x, const double *__restrict y, const double *__restrict w,
                            ptrdiff_t ne, double *__restrict acc1, double *__restrict acc2, Op1 op1, Op2 op2) {
    constexpr bool two = !std::is_same_v<Op2, std::nullptr_t>;
    F64x2 a[4] = {}, b[4] = {};
    ptrdiff_t e = 0;
    for (; e + 8 <= ne; e += 8) {
        for (ptrdiff_t q = 0; q < 4; ++q) {
            F64x2 xv = load2(x + e + 2 * q), yv = LaneY ? load2(y + 2 * q) : load2(y + e + 2 * q);
            if constexpr (Weighted) {
                F64x2 wv = load2(w + e + 2 * q);
                a[q] += wv * op1(xv, yv);
                if constexpr (two) b[q] += wv * op2(xv, yv);
            } else {
                a[q] += op1(xv, yv);
                if constexpr (two) b[q] += op2(xv, yv);
            }
        }
    }
    for (ptrdiff_t q = 0; q < 4; ++q) {
        std::memcpy(acc1 + 2 * q, &a[q], sizeof a[q]);
        if constexpr (two) std::memcpy(acc2 + 2 * q, &b[q], sizeof b[q]);
    }
    return e;
}

// acc[l] = sum over e = l (mod L) of op(x[e], y[e]), times w[e] if weighted; with
// LaneY, y holds one value per lane instead of per element. L is a multiple of the
// number of outputs, so lane l belongs to output l % k. Independent lanes fix the
// order of the additions while letting them run side by side.
template <bool Weighted, bool LaneY, class Op1, class Op2>
inline void lane_sums(const double *__restrict x, const double *__restrict y, const double *__restrict w, ptrdiff_t ne,
                      ptrdiff_t L, double *__restrict acc1, double *__restrict acc2, Op1 op1, Op2 op2) {
    constexpr bool two = !std::is_same_v<Op2, std::nullptr_t>;
    auto elem = [&](ptrdiff_t e, ptrdiff_t l) {
        double xv = x[e], yv = LaneY ? y[l] : y[e];
        double wv = Weighted ? w[e] : 1.0;
        acc1[l] += Weighted ? wv * op1(xv, yv) : op1(xv, yv);
        if constexpr (two) acc2[l] += Weighted ? wv * op2(xv, yv) : op2(xv, yv);
    };
    ptrdiff_t e = 0;
    if (L == 8) {
        e = lane_sums8<Weighted, LaneY>(x, y, w, ne, acc1, acc2, op1, op2);
    } else {
        std::fill(acc1, acc1 + L, 0.0);
        if constexpr (two) std::fill(acc2, acc2 + L, 0.0);
        for (; e + L <= ne; e += L)
            for (ptrdiff_t l = 0; l < L; ++l) elem(e + l, l);
    }
    for (ptrdiff_t l = 0; e < ne; ++e, ++l) elem(e, l);
}

// lane_sums with weights `w` that may be null (unweighted).
template <bool LaneY, class Op1, class Op2 = std::nullptr_t>
inline void sum_lanes(const double *x, const double *y, const double *w, ptrdiff_t ne, ptrdiff_t L, double *acc1,
                      double *acc2, Op1 op1, Op2 op2 = nullptr) {
    if (w)
        lane_sums<true, LaneY>(x, y, w, ne, L, acc1, acc2, op1, op2);
    else
        lane_sums<false, LaneY>(x, y, w, ne, L, acc1, acc2, op1, op2);
}

// One block of rows as the sums see it: logarithms (or inputs) t and p in row-major
// order, row weights wr and their copy per element we (both null when unweighted).
struct Block {
    const double *t = nullptr, *p = nullptr, *wr = nullptr, *we = nullptr;
    ptrdiff_t rows = 0;
    ptrdiff_t elements(ptrdiff_t k) const { return rows * k; }
};

class Runner {
public:
    Runner(const Matrix &yt, const Matrix &yp, const Matrix &w, const Options &o, Result &res)
        : yt_(yt), yp_(yp), w_(w), o_(o), res_(res), n_(yt.n), k_(yt.m) {
        L_ = k_ >= 8 ? k_ : k_ * ((8 + k_ - 1) / k_);
        B_ = std::max<ptrdiff_t>(1, kBlock / k_);
        allocate();
    }

    void run() {
        for (ptrdiff_t r0 = 0; r0 < n_; r0 += B_) {
            if (!block(r0, std::min(B_, n_ - r0))) return;
        }
        if (nonfinite_) {
            res_.status = Status::NonFinite;
            return;
        }
        if (o_.drop && res_.n_kept == 0) {
            res_.status = Status::AllDropped;
            return;
        }
        res_.weight_sum = wsum_.value();
        res_.sum.resize(static_cast<std::size_t>(k_));
        for (ptrdiff_t j = 0; j < k_; ++j) res_.sum[j] = tot1_[j].value();
        if (is_variance(o_.kind)) finish_spread();
    }

private:
    void allocate() {
        ptrdiff_t cap = B_ * k_;
        auto size = [](ptrdiff_t n) { return static_cast<std::size_t>(n); };
        T_.resize(size(cap));
        P_.resize(size(cap));
        if (w_.data) {
            Wr_.resize(size(B_));
            if (k_ > 1) We_.resize(size(cap));
        }
        keep_.resize(size(B_));
        for (auto *v : {&lane1_, &lane2_}) v->resize(size(L_));
        for (auto *v : {&col1_, &col2_, &col3_}) v->resize(size(k_));
        tot1_.resize(size(k_));
        if (is_variance(o_.kind)) {
            lane3_.resize(size(L_));
            mb_lanes_.resize(size(L_));
            for (auto *v : {&mean_, &mb_, &c0_}) v->resize(size(k_));
            varies_.assign(size(k_), 0);
            tot2_.resize(size(k_));
        }
    }

    void finish_spread() {
        res_.ss_tot.resize(static_cast<std::size_t>(k_));
        for (ptrdiff_t j = 0; j < k_; ++j) {
            double ss = tot2_[j].value();
            // A column whose weighted values are all equal has no spread; the
            // rounded mean must not turn that into a tiny positive total.
            if (have_c0_ && !varies_[j] && !std::isnan(ss)) ss = 0.0;
            res_.ss_tot[j] = ss;
        }
    }

    // Rows r0 .. r0 + rows of `v`, row-major (in `buf` unless already so), through the logarithm.
    const double *load(const Matrix &v, ptrdiff_t r0, ptrdiff_t rows, double *buf) {
        const double *src;
        if (contiguous_rows(v, rows)) {
            src = row(v, r0);
        } else {
            for (ptrdiff_t r = 0; r < rows; ++r)
                for (ptrdiff_t j = 0; j < k_; ++j) buf[r * k_ + j] = at(v, r0 + r, j);
            src = buf;
        }
        if (o_.family == Family::None) return src;
        o_.transform(o_.ctx, src, buf, rows * k_);
        return buf;
    }

    const double *load_weights(ptrdiff_t r0, ptrdiff_t rows) {
        if (w_.rs == 8) return row(w_, r0);
        for (ptrdiff_t r = 0; r < rows; ++r) Wr_[r] = at(w_, r0 + r, 0);
        return Wr_.data();
    }

    const double *expand(const double *wr, ptrdiff_t rows) {
        if (!wr || k_ == 1) return wr;
        for (ptrdiff_t r = 0; r < rows; ++r)
            for (ptrdiff_t j = 0; j < k_; ++j) We_[r * k_ + j] = wr[r];
        return We_.data();
    }

    void fold(const double *lanes, double *col) const {
        std::fill(col, col + k_, 0.0);
        for (ptrdiff_t l = 0; l < L_; ++l) col[l % k_] += lanes[l];
    }

    static bool all_finite(const double *col, ptrdiff_t k) {
        bool ok = true;
        for (ptrdiff_t j = 0; j < k; ++j) ok &= std::isfinite(col[j]);
        return ok;
    }

    // Block partial sums into col1_ (and col2_); false when a sum is not finite,
    // which any non-finite logarithm guarantees.
    bool stats(const Block &b) {
        double *a1 = lane1_.data(), *a2 = lane2_.data();
        const ptrdiff_t ne = b.elements(k_);
        auto square = [](auto x, auto y) {
            auto d = x - y;
            return d * d;
        };
        switch (o_.kind) {
        case Kind::AbsoluteError:
            sum_lanes<false>(b.t, b.p, b.we, ne, L_, a1, a2, [](auto x, auto y) { return vabs(x - y); });
            break;
        case Kind::SquaredError:
        case Kind::RootSquaredError: sum_lanes<false>(b.t, b.p, b.we, ne, L_, a1, a2, square); break;
        case Kind::AbsolutePercentageError: {
            const double eps = o_.eps;
            sum_lanes<false>(b.t, b.p, b.we, ne, L_, a1, a2, [eps](auto x, auto y) {
                using T = decltype(x);
                return vabs((x - y) / vmax(vabs(x), T{} + eps));
            });
            break;
        }
        case Kind::R2:
        case Kind::FractionUnexplained:
            sum_lanes<false>(b.t, b.p, b.we, ne, L_, a1, a2, [](auto x, auto) { return x; }, square);
            fold(a2, col2_.data());
            break;
        }
        fold(a1, col1_.data());
        return all_finite(col1_.data(), k_) && (!is_variance(o_.kind) || all_finite(col2_.data(), k_));
    }

    // Whether any weighted value of a column differs from the first one seen. Usually every
    // column differs within a few rows; only constant columns are scanned to the end.
    void track_constant(const Block &b) {
        for (ptrdiff_t r = 0; r < b.rows && varying_ < k_; ++r) {
            if (b.wr && b.wr[r] == 0.0) continue;
            const double *t = b.t + r * k_;
            if (!have_c0_) {
                std::copy(t, t + k_, c0_.begin());
                have_c0_ = true;
                continue;
            }
            for (ptrdiff_t j = 0; j < k_; ++j) {
                if (!varies_[j] && t[j] != c0_[j]) {
                    varies_[j] = 1;
                    ++varying_;
                }
            }
        }
    }

    // Spread of the block about its own (weighted) mean, into mb_ (mean) and col3_ (sum of
    // squares). Means are kept relative to the first weighted value of each column:
    // relative to zero, their rounding would cost digits of the differences between them
    // when the values are large.
    void spread(const Block &b, double bw) {
        const ptrdiff_t ne = b.elements(k_);
        double *a3 = lane3_.data();
        for (ptrdiff_t l = 0; l < L_; ++l) mb_lanes_[l] = c0_[l % k_];
        sum_lanes<true>(b.t, mb_lanes_.data(), b.we, ne, L_, a3, nullptr, [](auto x, auto c) { return x - c; });
        fold(a3, col3_.data());
        for (ptrdiff_t j = 0; j < k_; ++j) mb_[j] = col3_[j] / bw;
        for (ptrdiff_t l = 0; l < L_; ++l) mb_lanes_[l] = c0_[l % k_] + mb_[l % k_];
        sum_lanes<true>(b.t, mb_lanes_.data(), b.we, ne, L_, a3, nullptr, [](auto x, auto m) {
            auto d = x - m;
            return d * d;
        });
        fold(a3, col3_.data());
    }

    // Chan et al.: combine (weight, mean, M2) of the rows so far with the block's.
    void combine_spread(double bw) {
        if (cw_ == 0.0) {
            for (ptrdiff_t j = 0; j < k_; ++j) {
                mean_[j] = mb_[j];
                tot2_[j].add(col3_[j]);
            }
            cw_ = bw;
            return;
        }
        double nw = cw_ + bw;
        for (ptrdiff_t j = 0; j < k_; ++j) {
            double delta = mb_[j] - mean_[j];
            mean_[j] += delta * (bw / nw);
            tot2_[j].add(col3_[j]);
            tot2_[j].add(delta * delta * (cw_ / nw * bw));  // cw_ * bw alone overflows for large weights
        }
        cw_ = nw;
    }

    // Adds the block's sums (in col1_ / col2_) to the totals.
    void merge(const Block &b) {
        double bw = static_cast<double>(b.rows);
        if (b.wr) {
            double s = 0.0;
            for (ptrdiff_t r = 0; r < b.rows; ++r) s += b.wr[r];
            bw = s;
        }
        res_.n_kept += b.rows;
        wsum_.add(bw);
        if (!is_variance(o_.kind)) {
            for (ptrdiff_t j = 0; j < k_; ++j) tot1_[j].add(col1_[j]);
            return;
        }
        for (ptrdiff_t j = 0; j < k_; ++j) tot1_[j].add(col2_[j]);
        track_constant(b);
        if (bw == 0.0) return;  // rows of zero weight carry no spread
        spread(b, bw);
        combine_spread(bw);
    }

    // Why a logarithm is not finite, from the input value `x`: records floating-point
    // flags, marks a pending non-finite error, or returns the error status.
    Status classify(double x, unsigned &flags) {
        bool raise = !o_.drop;
        if (std::isnan(x)) {
            if (o_.unchecked && raise) return Status::Anomaly;
            nonfinite_ |= raise;
            return Status::Ok;
        }
        if (std::isinf(x) && o_.unchecked) return Status::Anomaly;
        if (o_.family == Family::Log1p) {
            if (x < -1.0) {
                if (raise) return Status::Domain;
                flags |= kInvalid;
            } else if (x == -1.0) {
                flags |= kDivide;
                nonfinite_ |= raise;
            } else {
                nonfinite_ |= raise;
            }
        } else {
            if (x <= 0.0) {
                if (raise) return Status::Domain;
                flags |= x == 0.0 ? kDivide : kInvalid;
            } else {
                nonfinite_ |= raise;
            }
        }
        return Status::Ok;
    }

    // Marks in keep_ the rows of the block whose logarithms are all finite and counts them;
    // false (with the status set) when a value is an error.
    bool classify_rows(ptrdiff_t r0, const Block &b, ptrdiff_t &kept) {
        kept = 0;
        for (ptrdiff_t r = 0; r < b.rows; ++r) {
            bool keep = true;
            for (ptrdiff_t j = 0; j < k_; ++j) {
                ptrdiff_t e = r * k_ + j;
                if (!std::isfinite(b.t[e])) {
                    keep = false;
                    Status s = classify(at(yt_, r0 + r, j), res_.true_flags);
                    if (s != Status::Ok) return fail(s);
                }
                if (!std::isfinite(b.p[e])) {
                    keep = false;
                    Status s = classify(at(yp_, r0 + r, j), res_.pred_flags);
                    if (s != Status::Ok) return fail(s);
                }
            }
            keep_[r] = keep;
            kept += keep;
        }
        return true;
    }

    // Moves the kept rows to the front of the block. t and p are our own buffers here (the
    // logarithm wrote them); the weights may still be the caller's, so they are copied.
    void compact(Block &b) {
        double *T = T_.data(), *P = P_.data(), *W = Wr_.data();
        ptrdiff_t m = 0;
        for (ptrdiff_t r = 0; r < b.rows; ++r) {
            if (!keep_[r]) continue;
            std::copy(b.t + r * k_, b.t + (r + 1) * k_, T + m * k_);
            std::copy(b.p + r * k_, b.p + (r + 1) * k_, P + m * k_);
            if (b.wr) W[m] = b.wr[r];
            ++m;
        }
        b.t = T;
        b.p = P;
        b.wr = b.wr ? W : nullptr;
        b.rows = m;
        b.we = expand(b.wr, m);
    }

    bool any_negative(const double *wr, ptrdiff_t rows) const {
        bool neg = false;
        for (ptrdiff_t r = 0; r < rows; ++r) neg |= wr[r] < 0.0;
        return neg;
    }

    bool block(ptrdiff_t r0, ptrdiff_t rows) {
        Block b;
        b.rows = rows;
        b.wr = w_.data ? load_weights(r0, rows) : nullptr;
        if (b.wr && o_.unchecked && any_negative(b.wr, rows)) return fail(Status::Anomaly);
        b.t = load(yt_, r0, rows, T_.data());
        b.p = load(yp_, r0, rows, P_.data());
        b.we = expand(b.wr, rows);
        const std::fexcept_t before = FpFlags::snapshot();
        if (stats(b)) {  // every logarithm finite: the common case
            if (!nonfinite_) merge(b);
            return true;
        }
        if (o_.family == Family::None) {
            // No transform: non-finite values come from the inputs themselves.
            if (o_.unchecked) return fail(Status::Anomaly);
            merge(b);
            return true;
        }
        ptrdiff_t kept = 0;
        if (!classify_rows(r0, b, kept)) return false;
        // Exceptions raised by the sums over rows that are dropped are not the metric's.
        if (kept < rows) FpFlags::restore(before);
        if (nonfinite_ || kept == 0) return true;
        if (kept < rows) {
            compact(b);
            stats(b);
        }
        merge(b);
        return true;
    }

    bool fail(Status s) {
        res_.status = s;
        return false;
    }

    const Matrix &yt_, &yp_, &w_;
    const Options &o_;
    Result &res_;
    ptrdiff_t n_, k_, L_ = 8, B_ = 1;
    std::vector<double> T_, P_, Wr_, We_, lane1_, lane2_, lane3_, col1_, col2_, col3_;
    std::vector<double> mean_, mb_, mb_lanes_, c0_;
    std::vector<unsigned char> keep_, varies_;
    std::vector<Sum> tot1_, tot2_;
    Sum wsum_;
    double cw_ = 0.0;
    ptrdiff_t varying_ = 0;
    bool have_c0_ = false;
    bool nonfinite_ = false;
};

}  // namespace detail

// Runs the fused pass over float64 matrices. yt and yp are (n, k) with n >= 1; `w` is an
// (n, 1) column of weights, or has no data for an unweighted metric.
inline Result run(const Matrix &yt, const Matrix &yp, const Matrix &w, const Options &o) {
    Result res;
    FpFlags flags;
    detail::Runner(yt, yp, w, o, res).run();
    res.fp_exception = FpFlags::troubled();
    return res;
}

// Each output's metric from the sums of a run: the mean error over the kept rows (weighted:
// over their weight), its root, or R² and the fraction unexplained from the sums of squares.
// A perfect prediction scores R² 1.0 even for a constant column; a constant column predicted
// with any error scores 0.0 (and leaves all its variance unexplained).
inline std::vector<double> per_output(Kind kind, const Result &r, bool weighted) {
    std::vector<double> per(r.sum.size());
    const double denom = weighted ? r.weight_sum : static_cast<double>(r.n_kept);
    for (std::size_t j = 0; j < per.size(); ++j) {
        const double res = r.sum[j], tot = is_variance(kind) ? r.ss_tot[j] : 0.0;
        if (kind == Kind::R2)
            per[j] = res != 0.0 && tot != 0.0 ? 1.0 - res / tot : (res != 0.0 ? 0.0 : 1.0);
        else if (kind == Kind::FractionUnexplained)
            per[j] = tot != 0.0 ? res / tot : (res == 0.0 ? 0.0 : 1.0);
        else
            per[j] = kind == Kind::RootSquaredError ? std::sqrt(res / denom) : res / denom;
    }
    return per;
}

// np.mean(per), or np.average(per, weights=w) when `w` is not empty, with the sums in NumPy's
// order so that a cancelling weight total is zero exactly when NumPy's is; false when it is.
inline bool average(const std::vector<double> &per, const std::vector<double> &w, double &out) {
    const auto n = static_cast<ptrdiff_t>(per.size());
    if (w.empty()) {
        out = numpy_sum(per.data(), n) / static_cast<double>(n);
        return true;
    }
    const double total = numpy_sum(w.data(), n);
    if (total == 0.0) return false;
    std::vector<double> weighted(per.size());
    for (std::size_t j = 0; j < per.size(); ++j) weighted[j] = per[j] * w[j];
    out = numpy_sum(weighted.data(), n) / total;
    return true;
}

// Columns of `a` whose values on rows of non-zero weight (every row when `w` has no data)
// all equal the first such value.
inline std::vector<char> constant_columns(const Matrix &a, const Matrix &w) {
    std::vector<char> constant(static_cast<std::size_t>(a.m), 1);
    ptrdiff_t first = -1;
    for (ptrdiff_t r = 0; r < a.n; ++r) {
        if (w.data && at(w, r, 0) == 0.0) continue;
        if (first < 0) {
            first = r;
            continue;
        }
        for (ptrdiff_t j = 0; j < a.m; ++j)
            if (at(a, r, j) != at(a, first, j)) constant[static_cast<std::size_t>(j)] = 0;
    }
    return constant;
}

}  // namespace duv::kernels::metric_sums
