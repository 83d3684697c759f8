#include "duv/kernels/member_statistics.hpp"

#include "duv/kernels/fp_flags.hpp"
#include "duv/kernels/pairwise_sum.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace duv::kernels::member_statistics {

namespace {

// Each (sample, output) pair is a lane holding k member predictions s1 bytes apart.
// Lanes are processed in blocks, member by member, so that the arithmetic of
// neighbouring lanes overlaps (and divisions and square roots vectorise).
constexpr std::ptrdiff_t kLanes = 256;

struct Block {
    const char *lane[kLanes];
    double sum[kLanes];
    std::ptrdiff_t size = 0;
};

inline double at(const Block &b, std::ptrdiff_t q, std::ptrdiff_t j, std::ptrdiff_t s1) {
    return *reinterpret_cast<const double *>(b.lane[q] + j * s1);
}

// np.add.reduce over the members, members one after another from the identity +0: NumPy's
// order when the outputs are the inner loop, and its pairwise order too below 8 members
// (the pairwise sum's -0 start and the identity give the same bits then).
template <typename Term> void member_sums(Block &b, std::ptrdiff_t k, std::ptrdiff_t s1, Term term) {
    std::fill(b.sum, b.sum + b.size, 0.0);
    for (std::ptrdiff_t j = 0; j < k; ++j)
        for (std::ptrdiff_t q = 0; q < b.size; ++q) b.sum[q] += term(at(b, q, j, s1), j, q);
}

// The same sums in NumPy's pairwise order (the members contiguous, 8 or more of them).
template <typename Term> void pairwise_member_sums(Block &b, std::ptrdiff_t k, std::ptrdiff_t s1, Term term) {
    std::vector<double> t(static_cast<size_t>(k));
    for (std::ptrdiff_t q = 0; q < b.size; ++q) {
        for (std::ptrdiff_t j = 0; j < k; ++j) t[static_cast<size_t>(j)] = term(at(b, q, j, s1), j, q);
        b.sum[q] = numpy_sum(t.data(), k);
    }
}

template <typename Term> void sums(Block &b, const Stack &p, Term term) {
    if (p.pairwise && p.k >= 8)
        pairwise_member_sums(b, p.k, p.s1, term);
    else
        member_sums(b, p.k, p.s1, term);
}

// mean = sum(a * w) / sum(w) (or sum(a) / k), then the same average of (a - mean) ** 2.
void block_statistics(Block &b, const Stack &p, const double *w, double divisor, double *mean, double *std) {
    if (w)
        sums(b, p, [w](double a, std::ptrdiff_t j, std::ptrdiff_t) { return a * w[j]; });
    else
        sums(b, p, [](double a, std::ptrdiff_t, std::ptrdiff_t) { return a; });
    for (std::ptrdiff_t q = 0; q < b.size; ++q) mean[q] = b.sum[q] / divisor;
    if (!std) return;
    const auto squared = [mean](double a, std::ptrdiff_t q) {
        const double d = a - mean[q];
        return d * d;
    };
    if (w)
        sums(b, p, [&](double a, std::ptrdiff_t j, std::ptrdiff_t q) { return squared(a, q) * w[j]; });
    else
        sums(b, p, [&](double a, std::ptrdiff_t, std::ptrdiff_t q) { return squared(a, q); });
    for (std::ptrdiff_t q = 0; q < b.size; ++q) std[q] = std::sqrt(b.sum[q] / divisor);
}

}  // namespace

bool statistics(const Stack &p, const double *weights, double *mean, double *std) {
    FpFlags guard;
    // wgt.sum() over the broadcast weights: a contiguous reduction.
    const double divisor = weights ? numpy_sum(weights, p.k) : static_cast<double>(p.k);
    if (weights && divisor == 0.0) return false;
    Block b;
    std::ptrdiff_t done = 0;  // lanes finished, in (sample, output) order
    auto flush = [&] {
        block_statistics(b, p, weights, divisor, mean + done, std ? std + done : nullptr);
        done += b.size;
        b.size = 0;
    };
    for (std::ptrdiff_t i = 0; i < p.n; ++i)
        for (std::ptrdiff_t c = 0; c < p.o; ++c) {
            b.lane[b.size++] = p.data + i * p.s0 + c * p.s2;
            if (b.size == kLanes) flush();
        }
    if (b.size) flush();
    return !FpFlags::troubled() && !FpFlags::underflowed();
}

void stack_columns(const double *const *columns, std::ptrdiff_t k, std::ptrdiff_t n, double *out) {
    for (std::ptrdiff_t i = 0; i < n; ++i)
        for (std::ptrdiff_t j = 0; j < k; ++j) out[i * k + j] = columns[j][i];
}

}  // namespace duv::kernels::member_statistics
