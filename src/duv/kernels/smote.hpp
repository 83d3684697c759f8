// SMOTE generation over raw arrays: picking neighbours, stretching the interpolation
// coefficients, and writing the augmented rows (input rows, then synthetic rows) in the
// requested output order. Every value equals NumPy's result for the same expression:
//   synthetic = base + alpha * (neighbour - base)
// where the subtraction runs in the element type (so float32 rounds to float32 and
// integers wrap) and the rest in double.
#pragma once

#include "duv/kernels/dtype.hpp"

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>
#include <vector>

namespace duv::kernels::smote {

// Synthetic row j interpolates rows base[j] and neigh[j] of the source with alpha[j]. The two
// row numbers may instead come packed as pairs[j] = base << 32 | neigh (see pack_pairs), which
// halves the scattered reads when the output is permuted.
struct Synthetic {
    const int64_t *base = nullptr;
    const int64_t *neigh = nullptr;
    const double *alpha = nullptr;
    int64_t count = 0;
    const uint64_t *pairs = nullptr;
};

namespace detail {

template <typename T> inline T load(const char *p) {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
}

template <typename T> inline double to_double(T v) {
    if constexpr (std::is_same_v<T, bool>)
        return v ? 1.0 : 0.0;
    else
        return static_cast<double>(v);
}

// neighbour - base in the element type, then widened: NumPy subtracts before promoting.
template <typename T> inline double difference(T neigh, T base) {
    if constexpr (std::is_integral_v<T>) {
        using U = std::make_unsigned_t<T>;
        return static_cast<double>(static_cast<T>(static_cast<U>(neigh) - static_cast<U>(base)));
    } else {
        T d = neigh - base;
        return static_cast<double>(d);
    }
}

// The rows of one block of output, resolved to their sources: `from` is the source row
// (input row below n, synthetic row n + j above); for synthetic rows base/neigh/alpha hold
// the draws of j. Resolving once per block lets every output array reuse the scattered reads.
constexpr int64_t kBlock = 1024;
struct Block {
    int64_t count = 0;
    int64_t from[kBlock];
    int64_t base[kBlock];
    int64_t neigh[kBlock];
    double alpha[kBlock];
};

inline void resolve(Block &blk, const Synthetic &s, int64_t n, const int64_t *order, int64_t start, int64_t count) {
    constexpr int64_t ahead = 16;
    blk.count = count;
    for (int64_t r = 0; r < count; ++r) {
        if (order && r + ahead < count) {
            const int64_t f = order[start + r + ahead] - n;
            if (f >= 0) {
                if (s.pairs) {
                    __builtin_prefetch(s.pairs + f);
                } else {
                    __builtin_prefetch(s.base + f);
                    __builtin_prefetch(s.neigh + f);
                }
                __builtin_prefetch(s.alpha + f);
            }
        }
        const int64_t from = order ? order[start + r] : start + r;
        blk.from[r] = from;
        if (from >= n) {
            const int64_t j = from - n;
            if (s.pairs) {
                blk.base[r] = static_cast<int64_t>(s.pairs[j] >> 32U);
                blk.neigh[r] = static_cast<int64_t>(s.pairs[j] & 0xffffffffu);
            } else {
                blk.base[r] = s.base[j];
                blk.neigh[r] = s.neigh[j];
            }
            blk.alpha[r] = s.alpha[j];
        }
    }
}

template <typename T> void rows(const Matrix &src, const Block &blk, double *out) {
    const int64_t n = src.n, m = src.m;
    const char *data = src.data;
    const std::ptrdiff_t rs = src.rs, cs = src.cs;
    for (int64_t r = 0; r < blk.count; ++r) {
        double *o = out + r * m;
        const int64_t from = blk.from[r];
        if (from < n) {
            const char *row = data + from * rs;
            for (int64_t c = 0; c < m; ++c) o[c] = to_double(load<T>(row + c * cs));
            continue;
        }
        const char *b = data + blk.base[r] * rs;
        const char *q = data + blk.neigh[r] * rs;
        const double a = blk.alpha[r];
        for (int64_t c = 0; c < m; ++c) {
            const T bv = load<T>(b + c * cs);
            const double step = a * difference<T>(load<T>(q + c * cs), bv);
            o[c] = to_double(bv) + step;
        }
    }
}

// np.clip(alpha, 0.0, 1.0) as NumPy evaluates it (NaN propagates).
inline double clip01(double a) {
    double lo = std::isnan(a) ? a : (a > 0.0 ? a : 0.0);
    return std::isnan(lo) ? lo : (lo < 1.0 ? lo : 1.0);
}

template <typename T> void weights(const Matrix &w, const Block &blk, double *out) {
    auto at = [&](int64_t i) { return to_double(load<T>(w.data + i * w.rs)); };
    for (int64_t r = 0; r < blk.count; ++r) {
        const int64_t from = blk.from[r];
        if (from < w.n) {
            out[r] = at(from);
            continue;
        }
        const double a = clip01(blk.alpha[r]);
        const double lhs = (1.0 - a) * at(blk.base[r]);
        const double rhs = a * at(blk.neigh[r]);
        out[r] = lhs + rhs;
    }
}

// True when every entry of the neighbour matrix lies in [0, limit) and every draw addresses
// one of its cells: row base[j] < neighbours.n, column slot[j] < neighbours.m.
inline bool picks_in_range(const Matrix &neighbours, int64_t limit, const int64_t *base, const int64_t *slot,
                           int64_t count) {
    for (int64_t r = 0; r < neighbours.n; ++r)
        for (int64_t c = 0; c < neighbours.m; ++c) {
            const int64_t v = load<int64_t>(neighbours.data + r * neighbours.rs + c * neighbours.cs);
            if (v < 0 || v >= limit) return false;
        }
    for (int64_t j = 0; j < count; ++j)
        if (base[j] < 0 || base[j] >= neighbours.n || slot[j] < 0 || slot[j] >= neighbours.m) return false;
    return true;
}

inline int64_t neighbour(const Matrix &neighbours, int64_t row, int64_t slot) {
    return load<int64_t>(neighbours.data + row * neighbours.rs + slot * neighbours.cs);
}

}  // namespace detail

// One output array: rows of `src` (input rows, then synthetic rows interpolated between
// them) or, with `weights`, the weight vector of the same rows, where a synthetic weight is
// (1 - a) * w[base] + a * w[neigh] with a = alpha clipped to [0, 1]. `out` is C-contiguous
// float64 with src.m columns (one for weights).
struct Output {
    Matrix src;
    double *out = nullptr;
    bool weights = false;
};

// Writes row i of every output from source row order[i] (or i without an order); source rows
// below n (the input row count, equal for all outputs) are copies, row n + j is synthetic row j.
// Bool sources are only read as weights (NumPy refuses to subtract booleans).
inline void write_augmented(const Output *outputs, int nout, const Synthetic &s, int64_t n, const int64_t *order,
                            int64_t n_out) {
    std::vector<detail::Block> holder(1);
    detail::Block &blk = holder[0];
    for (int64_t start = 0; start < n_out; start += detail::kBlock) {
        const int64_t count = n_out - start < detail::kBlock ? n_out - start : detail::kBlock;
        detail::resolve(blk, s, n, order, start, count);
        for (int t = 0; t < nout; ++t) {
            const Output &o = outputs[t];
            visit(o.src.dtype, [&](auto tag) {
                using T = decltype(tag);
                if (o.weights)
                    detail::weights<T>(o.src, blk, o.out + start);
                else if constexpr (!std::is_same_v<T, bool>)
                    detail::rows<T>(o.src, blk, o.out + start * o.src.m);
            });
        }
    }
}

// The largest |alpha[j]| (NaN passed over, as by fmax).
inline double largest_magnitude(const double *alpha, int64_t count) {
    double top = 0.0;
    for (int64_t j = 0; j < count; ++j) {
        const double a = std::fabs(alpha[j]);
        top = a > top ? a : top;
    }
    return top;
}

// Whether base + alpha * (neighbour - base), for |alpha| <= alpha_max, stays finite for values
// of type `dt` up to `top` in magnitude: otherwise NumPy's arithmetic warns, and NumPy builds
// the rows itself. Integer differences wrap silently in NumPy as here.
inline bool interpolates_quietly(Dtype dt, double top, double alpha_max) {
    if (dt != Dtype::F64 && dt != Dtype::F32) return true;
    const double limit = dt == Dtype::F32 ? static_cast<double>(std::numeric_limits<float>::max()) : DBL_MAX;
    return top <= limit / 2 && top <= DBL_MAX / (2.0 * (1.0 + alpha_max));
}

// alpha = (e + 1) * alpha - e / 2, with the two constants already evaluated.
inline void stretch(double *alpha, int64_t count, double scale, double shift) {
    for (int64_t j = 0; j < count; ++j) {
        const double scaled = scale * alpha[j];
        alpha[j] = scaled - shift;
    }
}

// neigh[j] = neighbours[base[j], slot[j]], written over `slot` (`neighbours` is the int64
// matrix without the self column). Every entry of the matrix must address one of `n_target`
// rows. Returns false, changing nothing, if any index is out of range.
inline bool pick_neighbours(const Matrix &neighbours, const int64_t *base, int64_t *slot, int64_t count,
                            int64_t n_target) {
    if (!detail::picks_in_range(neighbours, n_target, base, slot, count)) return false;
    for (int64_t j = 0; j < count; ++j) slot[j] = detail::neighbour(neighbours, base[j], slot[j]);
    return true;
}

// Packs base[j] << 32 | neigh[j] over `base` (row numbers must be below 2**32).
inline void pack_pairs(int64_t *base, const int64_t *neigh, int64_t count) {
    for (int64_t j = 0; j < count; ++j)
        base[j] = static_cast<int64_t>(static_cast<uint64_t>(base[j]) << 32U | static_cast<uint64_t>(neigh[j]));
}

// The draws of several classes, class after class, as rows of the full matrix, with their
// coefficients: what write_augmented reads for the synthetic rows of all classes.
struct ClassDraws {
    std::vector<int64_t> base, neigh;
    std::vector<double> alpha;
    size_t mark = 0;  // where the current class's draws start
    bool packed = false;

    // Room for `count` draws at once: growing class by class would copy them and touch new
    // memory at each step. When memory is short they grow as the classes come instead.
    void reserve(size_t count) {
        try {
            base.reserve(count);
            neigh.reserve(count);
            alpha.reserve(count);
        } catch (const std::bad_alloc &) {
            clear();
        }
    }

    // Appends a class's draws: base[j] = pos[local_base[j]] and neigh[j] =
    // pos[neighbours[local_base[j], slot[j]]], where pos are the rows of the class's `mask` (n
    // entries `stride` bytes apart) and `neighbours` is its int64 matrix without the self column,
    // one row per class row. False, appending nothing, if any index is out of range.
    bool pick(const Matrix &neighbours, const char *mask, int64_t n, std::ptrdiff_t stride, const int64_t *local_base,
              const int64_t *slot, int64_t count) {
        mark = base.size();
        std::vector<int64_t> pos;
        for (int64_t i = 0; i < n; ++i)
            if (mask[i * stride]) pos.push_back(i);
        if (static_cast<int64_t>(pos.size()) != neighbours.n ||
            !detail::picks_in_range(neighbours, neighbours.n, local_base, slot, count))
            return false;
        for (int64_t j = 0; j < count; ++j) {
            base.push_back(pos[static_cast<size_t>(local_base[j])]);
            neigh.push_back(pos[static_cast<size_t>(detail::neighbour(neighbours, local_base[j], slot[j]))]);
        }
        return true;
    }

    // Appends the class's coefficients; false when they are not one per drawn row.
    bool add_alpha(const double *a, int64_t count) {
        if (static_cast<size_t>(count) + alpha.size() != base.size()) return false;
        alpha.insert(alpha.end(), a, a + count);
        return true;
    }

    // Drops the current class's draws.
    void drop_class() {
        base.resize(mark);
        neigh.resize(mark);
        alpha.resize(mark);
    }

    // One vector of row pairs instead of two, for row numbers below 2**32.
    void pack(int64_t n_rows) {
        if (base.empty() || n_rows > INT32_MAX) return;
        pack_pairs(base.data(), neigh.data(), static_cast<int64_t>(base.size()));
        std::vector<int64_t>().swap(neigh);
        packed = true;
    }

    Synthetic synthetic() const {
        Synthetic s{base.data(), neigh.data(), alpha.data(), static_cast<int64_t>(base.size())};
        if (packed) s.pairs = reinterpret_cast<const uint64_t *>(base.data());
        return s;
    }

    void clear() {
        std::vector<int64_t>().swap(base);
        std::vector<int64_t>().swap(neigh);
        std::vector<double>().swap(alpha);
    }
};

}  // namespace duv::kernels::smote
