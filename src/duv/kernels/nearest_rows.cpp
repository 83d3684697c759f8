#include "duv/kernels/nearest_rows.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace duv::kernels::nearest {

namespace {

constexpr std::ptrdiff_t kLeafRows = 128;
constexpr std::ptrdiff_t kChunk = 8;  // two vectors of four lanes

std::size_t at(std::ptrdiff_t i) { return static_cast<std::size_t>(i); }

typedef double F64x4 __attribute__((vector_size(32)));

// The squared distances of kChunk rows from `q` (m values), the rows' values feature by feature
// in `columns` (each feature `stride` apart): lane by lane the scalar sum over the features.
// Whether one is below `bound`. Made for AVX2 too, four lanes to an instruction; without FMA,
// each lane rounds as the scalar.
__attribute__((target_clones("avx2", "default"))) bool chunk_distances(const double *q, const double *columns,
                                                                       std::ptrdiff_t stride, std::ptrdiff_t m,
                                                                       double bound, double *out) {
    F64x4 a0{}, a1{};
    for (std::ptrdiff_t f = 0; f < m; ++f) {
        const double *col = columns + f * stride;
        F64x4 c0, c1;
        std::memcpy(&c0, col, sizeof c0);
        std::memcpy(&c1, col + 4, sizeof c1);
        const F64x4 d0 = q[f] - c0, d1 = q[f] - c1;
        a0 += d0 * d0;
        a1 += d1 * d1;
    }
    std::memcpy(out, &a0, sizeof a0);
    std::memcpy(out + 4, &a1, sizeof a1);
    const auto below = (a0 < bound) | (a1 < bound);
    return (below[0] | below[1] | below[2] | below[3]) != 0;
}

// The `size` smallest squared distances seen so far, ascending, with their rows.
class Nearest {
public:
    explicit Nearest(std::ptrdiff_t size) : d_(at(size)), i_(at(size)) {}

    void reset() { n_ = 0; }
    // A squared distance at or above this cannot change the rows kept.
    double bound() const { return n_ < size() ? INFINITY : d_[at(n_ - 1)]; }
    void offer(double d, std::int64_t row) {
        std::ptrdiff_t k = std::min(n_, size() - 1);
        for (; k > 0 && d_[at(k - 1)] > d; --k) {
            d_[at(k)] = d_[at(k - 1)];
            i_[at(k)] = i_[at(k - 1)];
        }
        d_[at(k)] = d;
        i_[at(k)] = row;
        n_ = std::min(n_ + 1, size());
    }
    bool ties() const { return std::adjacent_find(d_.begin(), d_.begin() + n_) != d_.begin() + n_; }
    double distance(std::ptrdiff_t t) const { return d_[at(t)]; }
    std::int64_t row(std::ptrdiff_t t) const { return i_[at(t)]; }

private:
    std::ptrdiff_t size() const { return static_cast<std::ptrdiff_t>(d_.size()); }

    std::vector<double> d_;
    std::vector<std::int64_t> i_;
    std::ptrdiff_t n_ = 0;
};

// A tree of boxes over the rows: each node holds rows [begin, end) of `order` and their
// bounding box; a split node's children halve its rows at the median of its widest feature.
class Tree {
public:
    Tree(const double *x, std::ptrdiff_t n, std::ptrdiff_t m)
        : x_(x), n_(n), m_(m), order_(at(n)), columns_(at(n * m + kChunk)) {
        for (std::ptrdiff_t i = 0; i < n; ++i) order_[at(i)] = i;
        build(0, n);
        // The rows in tree order, feature by feature, for the leaves' distances.
        for (std::ptrdiff_t f = 0; f < m; ++f)
            for (std::ptrdiff_t i = 0; i < n; ++i) columns_[at(f * n + i)] = x[order_[at(i)] * m + f];
    }

    // Offers every row that can be nearer to `q` than the bound to `nearest`.
    void search(const double *q, Nearest &nearest) const { visit(0, q, nearest); }

private:
    struct Node {
        std::ptrdiff_t begin, end, left = -1, right = -1;
    };

    // Never above the summed distance of any row of the box: each term is a gap no larger than
    // that row's own, and the terms are added in the same order.
    double box_distance(std::ptrdiff_t node, const double *q) const {
        const double *lo = &boxes_[at(2 * node * m_)], *hi = lo + m_;
        double s = 0.0;
        for (std::ptrdiff_t f = 0; f < m_; ++f) {
            const double d = q[f] < lo[f] ? lo[f] - q[f] : q[f] > hi[f] ? q[f] - hi[f] : 0.0;
            s += d * d;
        }
        return s;
    }

    std::ptrdiff_t build(std::ptrdiff_t begin, std::ptrdiff_t end) {
        const auto node = static_cast<std::ptrdiff_t>(nodes_.size());
        nodes_.push_back({begin, end});
        boxes_.resize(boxes_.size() + at(2 * m_));
        double *lo = &boxes_[at(2 * node * m_)], *hi = lo + m_;
        std::fill(lo, lo + m_, INFINITY);
        std::fill(hi, hi + m_, -INFINITY);
        for (std::ptrdiff_t i = begin; i < end; ++i)
            for (std::ptrdiff_t f = 0; f < m_; ++f) {
                lo[f] = std::min(lo[f], x_[order_[at(i)] * m_ + f]);
                hi[f] = std::max(hi[f], x_[order_[at(i)] * m_ + f]);
            }
        if (end - begin <= kLeafRows) return node;
        std::ptrdiff_t widest = 0;
        for (std::ptrdiff_t f = 1; f < m_; ++f)
            if (hi[f] - lo[f] > hi[widest] - lo[widest]) widest = f;
        const std::ptrdiff_t mid = begin + (end - begin) / 2;
        std::nth_element(order_.begin() + begin, order_.begin() + mid, order_.begin() + end,
                         [&](std::ptrdiff_t a, std::ptrdiff_t b) { return x_[a * m_ + widest] < x_[b * m_ + widest]; });
        const std::ptrdiff_t left = build(begin, mid);
        const std::ptrdiff_t right = build(mid, end);
        nodes_[at(node)].left = left;
        nodes_[at(node)].right = right;
        return node;
    }

    // The leaf's rows kChunk at a time; a chunk may read past the
    // leaf (into the next rows, or the padding after the last feature) and offers only its own.
    void scan_leaf(const Node &nd, const double *q, Nearest &nearest) const {
        for (std::ptrdiff_t start = nd.begin; start < nd.end; start += kChunk) {
            double d[kChunk];
            if (!chunk_distances(q, &columns_[at(start)], n_, m_, nearest.bound(), d)) continue;
            const std::ptrdiff_t width = std::min(kChunk, nd.end - start);
            for (std::ptrdiff_t j = 0; j < width; ++j)
                if (d[j] < nearest.bound()) nearest.offer(d[j], order_[at(start + j)]);
        }
    }

    void visit(std::ptrdiff_t node, const double *q, Nearest &nearest) const {
        const Node &nd = nodes_[at(node)];
        if (nd.left < 0) {
            scan_leaf(nd, q, nearest);
            return;
        }
        const double to_left = box_distance(nd.left, q), to_right = box_distance(nd.right, q);
        const bool left_first = to_left <= to_right;
        const std::ptrdiff_t near = left_first ? nd.left : nd.right, far = left_first ? nd.right : nd.left;
        if ((left_first ? to_left : to_right) < nearest.bound()) visit(near, q, nearest);
        if ((left_first ? to_right : to_left) < nearest.bound()) visit(far, q, nearest);
    }

    const double *x_;
    std::ptrdiff_t n_, m_;
    std::vector<std::ptrdiff_t> order_;
    std::vector<double> columns_;
    std::vector<Node> nodes_;
    std::vector<double> boxes_;  // per node, its low then its high corner
};

}  // namespace

bool search(const double *x, std::ptrdiff_t n, std::ptrdiff_t m, std::ptrdiff_t count, std::int64_t *ind,
            double *dist) {
    const std::ptrdiff_t keep = std::min(count + 1, n);
    const Tree tree(x, n, m);
    Nearest nearest(keep);
    for (std::ptrdiff_t q = 0; q < n; ++q) {
        nearest.reset();
        tree.search(x + q * m, nearest);
        if (nearest.ties()) return false;
        for (std::ptrdiff_t t = 0; t < count; ++t) {
            ind[q * count + t] = nearest.row(t);
            dist[q * count + t] = std::sqrt(nearest.distance(t));
        }
    }
    return true;
}

}  // namespace duv::kernels::nearest
