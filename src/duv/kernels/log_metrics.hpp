// Fused kernels of the log-space regression metrics: one pass over targets and
// predictions in cache-sized row blocks that applies the logarithm, classifies
// non-finite results (domain errors, NaN rows to drop, floating-point flags) and
// accumulates the per-output sums of the metric.
#pragma once

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

namespace duv::kernels::logm {

enum class Family : std::uint8_t { None, Log1p, Log10 };
// Root mean squared error reuses SquaredError; R² and the fraction of variance
// unexplained both need Variance (residual and total sums of squares).
enum class Metric : std::uint8_t { AbsoluteError, SquaredError, AbsolutePercentageError, Variance };
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

// A (n, k) float64 array with byte strides.
struct View {
    const char *data = nullptr;
    ptrdiff_t n = 0, k = 1, s0 = 8, s1 = 8;
    double at(ptrdiff_t r, ptrdiff_t j) const { return *reinterpret_cast<const double *>(data + r * s0 + j * s1); }
    const double *row(ptrdiff_t r) const { return reinterpret_cast<const double *>(data + r * s0); }
    bool contiguous_rows(ptrdiff_t rows) const { return (k == 1 || s1 == 8) && (rows == 1 || s0 == 8 * k); }
};

struct WeightView {
    const char *data = nullptr;  // null: unweighted
    ptrdiff_t s = 8;
    double at(ptrdiff_t r) const { return *reinterpret_cast<const double *>(data + r * s); }
};

// Applies the logarithm elementwise; `in` may equal `out`. Leaves the floating-point
// exception flags as it found them.
using Transform = void (*)(void *ctx, const double *in, double *out, ptrdiff_t n);

struct Options {
    Family family = Family::None;
    Metric metric = Metric::SquaredError;
    bool drop = false;       // nan_policy="drop"
    bool unchecked = false;  // inputs are float64 but not yet checked for finiteness and weight signs
    double eps = 0.0;
    Transform transform = nullptr;
    void *ctx = nullptr;
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

namespace detail {

constexpr ptrdiff_t kBlock = 4096;

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
typedef double v2d __attribute__((vector_size(16)));
typedef long long v2i __attribute__((vector_size(16)));

inline v2d load2(const double *p) {
    v2d v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline double vabs(double x) { return std::fabs(x); }
inline v2d vabs(v2d x) {
    const v2i mask = {0x7fffffffffffffffLL, 0x7fffffffffffffffLL};
    return (v2d)((v2i)x & mask);
}
// np.maximum(a, b) for a NaN-free `a`: a NaN `b` wins. (A NaN `a` comes only with a
// NaN difference in the numerator, which decides the result anyway.)
inline double vmax(double a, double b) { return a >= b ? a : b; }
inline v2d vmax(v2d a, v2d b) { return a >= b ? a : b; }

// acc[l] = sum over e = l (mod L) of op(x[e], y[e]), times w[e] if weighted; with
// LaneY, y holds one value per lane instead of per element. L is a multiple of the
// number of outputs, so lane l belongs to output l % k. Independent lanes fix the
// order of the additions while letting them run side by side.
template <bool Weighted, bool LaneY, class Op1, class Op2>
inline void lane_sums(const double *__restrict x, const double *__restrict y, const double *__restrict w, ptrdiff_t ne,
                      ptrdiff_t L, double *__restrict acc1, double *__restrict acc2, Op1 op1, Op2 op2) {
    constexpr bool two = !std::is_same_v<Op2, std::nullptr_t>;
    auto elem = [&](ptrdiff_t e, ptrdiff_t l, double *a1, double *a2) {
        double xv = x[e], yv = LaneY ? y[l] : y[e];
        double wv = Weighted ? w[e] : 1.0;
        a1[l] += Weighted ? wv * op1(xv, yv) : op1(xv, yv);
        if constexpr (two) a2[l] += Weighted ? wv * op2(xv, yv) : op2(xv, yv);
    };
    ptrdiff_t e = 0;
    if (L == 8) {
        v2d a[4] = {}, b[4] = {};
        for (; e + 8 <= ne; e += 8) {
            for (int q = 0; q < 4; ++q) {
                v2d xv = load2(x + e + 2 * q), yv = LaneY ? load2(y + 2 * q) : load2(y + e + 2 * q);
                if constexpr (Weighted) {
                    v2d wv = load2(w + e + 2 * q);
                    a[q] += wv * op1(xv, yv);
                    if constexpr (two) b[q] += wv * op2(xv, yv);
                } else {
                    a[q] += op1(xv, yv);
                    if constexpr (two) b[q] += op2(xv, yv);
                }
            }
        }
        for (int q = 0; q < 4; ++q) {
            std::memcpy(acc1 + 2 * q, &a[q], sizeof a[q]);
            if constexpr (two) std::memcpy(acc2 + 2 * q, &b[q], sizeof b[q]);
        }
    } else {
        std::fill(acc1, acc1 + L, 0.0);
        if constexpr (two) std::fill(acc2, acc2 + L, 0.0);
        for (; e + L <= ne; e += L)
            for (ptrdiff_t l = 0; l < L; ++l) elem(e + l, l, acc1, acc2);
    }
    for (ptrdiff_t l = 0; e < ne; ++e, ++l) elem(e, l, acc1, acc2);
}

template <class Op1, class Op2 = std::nullptr_t>
inline void lane_sums(const double *x, const double *y, const double *w, ptrdiff_t ne, ptrdiff_t L, double *acc1,
                      double *acc2, Op1 op1, Op2 op2 = nullptr) {
    if (w)
        lane_sums<true, false>(x, y, w, ne, L, acc1, acc2, op1, op2);
    else
        lane_sums<false, false>(x, y, w, ne, L, acc1, acc2, op1, op2);
}

class Runner {
public:
    Runner(const View &yt, const View &yp, const WeightView &w, const Options &o, Result &res)
        : yt_(yt), yp_(yp), w_(w), o_(o), res_(res), n_(yt.n), k_(yt.k) {
        L_ = k_ >= 8 ? k_ : k_ * ((8 + k_ - 1) / k_);
        B_ = std::max<ptrdiff_t>(1, kBlock / k_);
        ptrdiff_t cap = B_ * k_;
        T_.resize(cap);
        P_.resize(cap);
        if (w_.data) {
            Wr_.resize(B_);
            if (k_ > 1) We_.resize(cap);
        }
        keep_.resize(B_);
        lane1_.resize(L_);
        lane2_.resize(L_);
        col1_.resize(k_);
        col2_.resize(k_);
        col3_.resize(k_);
        tot1_.resize(k_);
        if (o_.metric == Metric::Variance) {
            lane3_.resize(L_);
            mean_.resize(k_);
            mb_.resize(k_);
            mbL_.resize(L_);
            c0_.resize(k_);
            varies_.assign(k_, 0);
            tot2_.resize(k_);
        }
    }

    void run() {
        for (ptrdiff_t r0 = 0; r0 < n_; r0 += B_) {
            ptrdiff_t rows = std::min(B_, n_ - r0);
            if (!block(r0, rows)) return;
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
        res_.sum.resize(k_);
        for (ptrdiff_t j = 0; j < k_; ++j) res_.sum[j] = tot1_[j].value();
        if (o_.metric == Metric::Variance) {
            res_.ss_tot.resize(k_);
            for (ptrdiff_t j = 0; j < k_; ++j) {
                double ss = tot2_[j].value();
                // A column whose weighted values are all equal has no spread; the
                // rounded mean must not turn that into a tiny positive total.
                if (have_c0_ && !varies_[j] && !std::isnan(ss)) ss = 0.0;
                res_.ss_tot[j] = ss;
            }
        }
    }

private:
    const double *load(const View &v, ptrdiff_t r0, ptrdiff_t rows, double *buf) {
        ptrdiff_t ne = rows * k_;
        const double *src;
        if (v.contiguous_rows(rows)) {
            src = v.row(r0);
        } else {
            for (ptrdiff_t r = 0; r < rows; ++r)
                for (ptrdiff_t j = 0; j < k_; ++j) buf[r * k_ + j] = v.at(r0 + r, j);
            src = buf;
        }
        if (o_.family == Family::None) return src;
        o_.transform(o_.ctx, src, buf, ne);
        return buf;
    }

    const double *load_weights(ptrdiff_t r0, ptrdiff_t rows) {
        if (w_.s == 8) return reinterpret_cast<const double *>(w_.data + r0 * 8);
        for (ptrdiff_t r = 0; r < rows; ++r) Wr_[r] = w_.at(r0 + r);
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

    // Block partial sums into col1_ (and col2_/col3_); false when a sum is not finite,
    // which any non-finite logarithm guarantees.
    bool stats(const double *t, const double *p, const double *we, ptrdiff_t ne) {
        double *a1 = lane1_.data(), *a2 = lane2_.data();
        switch (o_.metric) {
        case Metric::AbsoluteError:
            lane_sums(t, p, we, ne, L_, a1, a2, [](auto x, auto y) { return vabs(x - y); });
            break;
        case Metric::SquaredError:
            lane_sums(t, p, we, ne, L_, a1, a2, [](auto x, auto y) {
                auto d = x - y;
                return d * d;
            });
            break;
        case Metric::AbsolutePercentageError: {
            const double eps = o_.eps;
            lane_sums(t, p, we, ne, L_, a1, a2, [eps](auto x, auto y) {
                using T = decltype(x);
                return vabs((x - y) / vmax(vabs(x), T{} + eps));
            });
            break;
        }
        case Metric::Variance:
            lane_sums(
                t, p, we, ne, L_, a1, a2, [](auto x, auto) { return x; },
                [](auto x, auto y) {
                    auto d = x - y;
                    return d * d;
                });
            fold(a2, col2_.data());
            break;
        }
        fold(a1, col1_.data());
        return all_finite(col1_.data(), k_) && (o_.metric != Metric::Variance || all_finite(col2_.data(), k_));
    }

    // Whether any weighted value of a column differs from the first one seen. Usually every
    // column differs within a few rows; only constant columns are scanned to the end.
    void track_constant(const double *t, const double *wr, ptrdiff_t rows) {
        for (ptrdiff_t r = 0; r < rows && varying_ < k_; ++r) {
            if (wr && wr[r] == 0.0) continue;
            if (!have_c0_) {
                for (ptrdiff_t j = 0; j < k_; ++j) c0_[j] = t[r * k_ + j];
                have_c0_ = true;
                continue;
            }
            for (ptrdiff_t j = 0; j < k_; ++j) {
                if (!varies_[j] && t[r * k_ + j] != c0_[j]) {
                    varies_[j] = 1;
                    ++varying_;
                }
            }
        }
    }

    // Spread of the block about its own (weighted) mean. Means are kept relative to the
    // first weighted value of each column: relative to zero, their rounding would cost
    // digits of the differences between them when the values are large.
    void spread(const double *t, const double *we, ptrdiff_t rows, double bw) {
        ptrdiff_t ne = rows * k_;
        double *a3 = lane3_.data();
        auto diff = [](auto x, auto c) { return x - c; };
        auto sq = [](auto x, auto m) {
            auto d = x - m;
            return d * d;
        };
        for (ptrdiff_t l = 0; l < L_; ++l) mbL_[l] = c0_[l % k_];
        if (we)
            lane_sums<true, true>(t, mbL_.data(), we, ne, L_, a3, nullptr, diff, nullptr);
        else
            lane_sums<false, true>(t, mbL_.data(), we, ne, L_, a3, nullptr, diff, nullptr);
        fold(a3, col3_.data());
        for (ptrdiff_t j = 0; j < k_; ++j) mb_[j] = col3_[j] / bw;
        for (ptrdiff_t l = 0; l < L_; ++l) mbL_[l] = c0_[l % k_] + mb_[l % k_];
        if (we)
            lane_sums<true, true>(t, mbL_.data(), we, ne, L_, a3, nullptr, sq, nullptr);
        else
            lane_sums<false, true>(t, mbL_.data(), we, ne, L_, a3, nullptr, sq, nullptr);
        fold(a3, col3_.data());
    }

    void merge(const double *t, const double *we, const double *wr, ptrdiff_t rows) {
        double bw;
        if (wr) {
            double s = 0.0;
            for (ptrdiff_t r = 0; r < rows; ++r) s += wr[r];
            bw = s;
        } else {
            bw = static_cast<double>(rows);
        }
        res_.n_kept += rows;
        wsum_.add(bw);
        if (o_.metric != Metric::Variance) {
            for (ptrdiff_t j = 0; j < k_; ++j) tot1_[j].add(col1_[j]);
            return;
        }
        for (ptrdiff_t j = 0; j < k_; ++j) tot1_[j].add(col2_[j]);
        track_constant(t, wr, rows);
        if (bw == 0.0) return;  // rows of zero weight carry no spread
        spread(t, we, rows, bw);
        // Chan et al.: combine (weight, mean, M2) of the rows so far with the block's.
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

    bool block(ptrdiff_t r0, ptrdiff_t rows) {
        const double *wr = w_.data ? load_weights(r0, rows) : nullptr;
        if (wr && o_.unchecked) {
            bool neg = false;
            for (ptrdiff_t r = 0; r < rows; ++r) neg |= wr[r] < 0.0;
            if (neg) {
                res_.status = Status::Anomaly;
                return false;
            }
        }
        const double *t = load(yt_, r0, rows, T_.data());
        const double *p = load(yp_, r0, rows, P_.data());
        const double *we = expand(wr, rows);
        std::fexcept_t before;
        std::fegetexceptflag(&before, FE_ALL_EXCEPT);
        if (stats(t, p, we, rows * k_)) {
            if (!nonfinite_) merge(t, we, wr, rows);
            return true;
        }
        if (o_.family == Family::None) {
            // No transform: non-finite values come from the inputs themselves.
            if (o_.unchecked) {
                res_.status = Status::Anomaly;
                return false;
            }
            merge(t, we, wr, rows);
            return true;
        }
        ptrdiff_t kept = 0;
        for (ptrdiff_t r = 0; r < rows; ++r) {
            bool keep = true;
            for (ptrdiff_t j = 0; j < k_; ++j) {
                ptrdiff_t e = r * k_ + j;
                if (!std::isfinite(t[e])) {
                    keep = false;
                    Status s = classify(yt_.at(r0 + r, j), res_.true_flags);
                    if (s != Status::Ok) return fail(s);
                }
                if (!std::isfinite(p[e])) {
                    keep = false;
                    Status s = classify(yp_.at(r0 + r, j), res_.pred_flags);
                    if (s != Status::Ok) return fail(s);
                }
            }
            keep_[r] = keep;
            kept += keep;
        }
        // Exceptions raised by the sums over rows that are dropped are not the metric's.
        if (kept < rows) std::fesetexceptflag(&before, FE_ALL_EXCEPT);
        if (nonfinite_ || kept == 0) return true;
        if (kept < rows) {
            // t and p are our own buffers here (the logarithm wrote them); the weights
            // may still be the caller's, so they are copied.
            double *T = T_.data(), *P = P_.data(), *W = Wr_.data();
            ptrdiff_t m = 0;
            for (ptrdiff_t r = 0; r < rows; ++r) {
                if (!keep_[r]) continue;
                for (ptrdiff_t j = 0; j < k_; ++j) {
                    T[m * k_ + j] = t[r * k_ + j];
                    P[m * k_ + j] = p[r * k_ + j];
                }
                if (wr) W[m] = wr[r];
                ++m;
            }
            t = T;
            p = P;
            wr = wr ? W : nullptr;
            rows = m;
            we = expand(wr, rows);
            stats(t, p, we, rows * k_);
        }
        merge(t, we, wr, rows);
        return true;
    }

    bool fail(Status s) {
        res_.status = s;
        return false;
    }

    const View &yt_, &yp_;
    const WeightView &w_;
    const Options &o_;
    Result &res_;
    ptrdiff_t n_, k_, L_ = 8, B_ = 1;
    std::vector<double> T_, P_, Wr_, We_, lane1_, lane2_, lane3_, col1_, col2_, col3_;
    std::vector<double> mean_, mb_, mbL_, c0_;
    std::vector<unsigned char> keep_, varies_;
    std::vector<Sum> tot1_, tot2_;
    Sum wsum_;
    double cw_ = 0.0;
    ptrdiff_t varying_ = 0;
    bool have_c0_ = false;
    bool nonfinite_ = false;
};

}  // namespace detail

// np.add.reduce of a contiguous float64 vector, in NumPy's order: pairwise over blocks of
// at most 128 with eight interleaved partial sums, added to the identity.
inline double numpy_sum(const double *a, ptrdiff_t n) {
    struct P {
        static double sum(const double *a, ptrdiff_t n) {
            if (n < 8) {
                double res = -0.0;
                for (ptrdiff_t i = 0; i < n; ++i) res += a[i];
                return res;
            }
            if (n <= 128) {
                double r[8];
                for (int j = 0; j < 8; ++j) r[j] = a[j];
                ptrdiff_t i = 8;
                for (; i < n - (n % 8); i += 8)
                    for (int j = 0; j < 8; ++j) r[j] += a[i + j];
                double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
                for (; i < n; ++i) res += a[i];
                return res;
            }
            ptrdiff_t n2 = n / 2;
            n2 -= n2 % 8;
            return sum(a, n2) + sum(a + n2, n - n2);
        }
    };
    return 0.0 + P::sum(a, n);
}

// Runs the fused pass. Both views are (n, k) with n >= 1; `w` has n entries or none.
inline Result run(const View &yt, const View &yp, const WeightView &w, const Options &o) {
    Result res;
    std::fexcept_t saved;
    std::fegetexceptflag(&saved, FE_ALL_EXCEPT);
    std::feclearexcept(FE_ALL_EXCEPT);
    detail::Runner(yt, yp, w, o, res).run();
    res.fp_exception = std::fetestexcept(FE_DIVBYZERO | FE_OVERFLOW | FE_INVALID) != 0;
    std::fesetexceptflag(&saved, FE_ALL_EXCEPT);
    return res;
}

}  // namespace duv::kernels::logm
