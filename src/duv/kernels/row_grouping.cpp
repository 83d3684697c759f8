#include "duv/kernels/row_grouping.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace duv::kernels::grouping {

namespace {

template <typename T> T load(const char *p) {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
}

uint64_t float_word(double v, bool fold_signed_zero) {
    if (std::isnan(v)) return kNanWord;
    if (fold_signed_zero && v == 0.0) v = 0.0;
    uint64_t w;
    std::memcpy(&w, &v, sizeof w);
    return w;
}

template <typename T> void encode_as(const Matrix &a, bool fold_signed_zero, uint64_t *words) {
    for (int64_t i = 0; i < a.n; ++i) {
        const char *row = a.data + i * a.rs;
        for (int64_t j = 0; j < a.m; ++j) {
            T v = load<T>(row + j * a.cs);
            uint64_t &w = words[i * a.m + j];
            if constexpr (std::is_floating_point_v<T>)
                w = float_word(static_cast<double>(v), fold_signed_zero);
            else if constexpr (std::is_signed_v<T>)
                w = static_cast<uint64_t>(static_cast<int64_t>(v));
            else
                w = static_cast<uint64_t>(v);
        }
    }
}

uint64_t mix(uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    return h ^ (h >> 33);
}

uint64_t hash_row(const uint64_t *w, int64_t m) {
    uint64_t h = 0x9e3779b97f4a7c15ULL;
    for (int64_t j = 0; j < m; ++j) h = mix(h ^ w[j]);
    return h;
}

bool same_row(const uint64_t *a, const uint64_t *b, int64_t m) {
    for (int64_t j = 0; j < m; ++j)
        if (a[j] != b[j]) return false;
    return true;
}

// Open addressing over group numbers; each group keeps its first row's words.
Groups group_by_hash(const uint64_t *words, int64_t n, int64_t m) {
    Groups g;
    g.of_row.resize(static_cast<size_t>(n));
    std::vector<uint64_t> first;  // the words of each group's first row
    std::vector<uint64_t> hashes;
    std::vector<int64_t> table(64, -1);
    uint64_t mask = table.size() - 1;
    auto place = [&](uint64_t h, int64_t id) {
        uint64_t s = h & mask;
        while (table[s] >= 0) s = (s + 1) & mask;
        table[s] = id;
    };
    for (int64_t i = 0; i < n; ++i) {
        const uint64_t *row = words + i * m;
        if (i > 0 && same_row(row, row - m, m)) {
            g.of_row[static_cast<size_t>(i)] = g.of_row[static_cast<size_t>(i) - 1];
            continue;
        }
        const uint64_t h = hash_row(row, m);
        uint64_t s = h & mask;
        int64_t id = -1;
        for (; table[s] >= 0; s = (s + 1) & mask) {
            const int64_t c = table[s];
            if (hashes[static_cast<size_t>(c)] == h && same_row(&first[static_cast<size_t>(c * m)], row, m)) {
                id = c;
                break;
            }
        }
        if (id < 0) {
            id = g.count++;
            table[s] = id;
            first.insert(first.end(), row, row + m);
            hashes.push_back(h);
            if (static_cast<uint64_t>(g.count) * 2 > table.size()) {
                table.assign(table.size() * 2, -1);
                mask = table.size() - 1;
                for (int64_t c = 0; c < g.count; ++c) place(hashes[static_cast<size_t>(c)], c);
            }
        }
        g.of_row[static_cast<size_t>(i)] = id;
    }
    return g;
}

// Integer rows whose value ranges span few cells: a direct table indexed by the row's
// position in the box of its values. Empty when the box is too large.
bool group_by_table(const uint64_t *words, int64_t n, int64_t m, Groups &g) {
    const uint64_t limit = std::max<uint64_t>(1u << 16, 4 * static_cast<uint64_t>(n));
    std::vector<int64_t> lo(static_cast<size_t>(m)), stride(static_cast<size_t>(m));
    uint64_t cells = 1;
    for (int64_t j = 0; j < m; ++j) {
        int64_t mn = static_cast<int64_t>(words[j]), mx = mn;
        for (int64_t i = 1; i < n; ++i) {
            const int64_t v = static_cast<int64_t>(words[i * m + j]);
            mn = std::min(mn, v);
            mx = std::max(mx, v);
        }
        const uint64_t span = static_cast<uint64_t>(mx) - static_cast<uint64_t>(mn);
        if (span >= limit) return false;
        lo[static_cast<size_t>(j)] = mn;
        stride[static_cast<size_t>(j)] = static_cast<int64_t>(cells);
        cells *= span + 1;
        if (cells > limit) return false;
    }
    std::vector<int64_t> table(static_cast<size_t>(cells), -1);
    g.of_row.resize(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; ++i) {
        uint64_t cell = 0;
        for (int64_t j = 0; j < m; ++j)
            cell += (words[i * m + j] - static_cast<uint64_t>(lo[static_cast<size_t>(j)])) *
                    static_cast<uint64_t>(stride[static_cast<size_t>(j)]);
        int64_t &id = table[cell];
        if (id < 0) id = g.count++;
        g.of_row[static_cast<size_t>(i)] = id;
    }
    return true;
}

}  // namespace

void encode(const Matrix &values, bool fold_signed_zero, uint64_t *words) {
    switch (values.dtype) {
    case Dtype::F64: encode_as<double>(values, fold_signed_zero, words); break;
    case Dtype::F32: encode_as<float>(values, fold_signed_zero, words); break;
    case Dtype::I8: encode_as<int8_t>(values, fold_signed_zero, words); break;
    case Dtype::I16: encode_as<int16_t>(values, fold_signed_zero, words); break;
    case Dtype::I32: encode_as<int32_t>(values, fold_signed_zero, words); break;
    case Dtype::I64: encode_as<int64_t>(values, fold_signed_zero, words); break;
    case Dtype::U8: encode_as<uint8_t>(values, fold_signed_zero, words); break;
    case Dtype::U16: encode_as<uint16_t>(values, fold_signed_zero, words); break;
    case Dtype::U32: encode_as<uint32_t>(values, fold_signed_zero, words); break;
    case Dtype::U64: encode_as<uint64_t>(values, fold_signed_zero, words); break;
    case Dtype::Bool: encode_as<uint8_t>(values, fold_signed_zero, words); break;
    }
}

Groups group_rows(const uint64_t *words, int64_t n, int64_t m, bool integral) {
    Groups g;
    if (n > 0 && m > 0 && integral && group_by_table(words, n, m, g)) return g;
    if (m == 0) {
        g.of_row.assign(static_cast<size_t>(n), 0);
        g.count = n > 0 ? 1 : 0;
        return g;
    }
    return group_by_hash(words, n, m);
}

RowsByGroup rows_by_group(const Groups &groups) {
    RowsByGroup out;
    out.offsets.assign(static_cast<size_t>(groups.count) + 1, 0);
    for (int64_t id : groups.of_row) ++out.offsets[static_cast<size_t>(id) + 1];
    for (size_t g = 1; g < out.offsets.size(); ++g) out.offsets[g] += out.offsets[g - 1];
    std::vector<int64_t> next(out.offsets.begin(), out.offsets.end() - 1);
    out.rows.resize(groups.of_row.size());
    for (size_t i = 0; i < groups.of_row.size(); ++i)
        out.rows[static_cast<size_t>(next[static_cast<size_t>(groups.of_row[i])]++)] = static_cast<int64_t>(i);
    return out;
}

void balancing_weights(const RowsByGroup &groups, double target, double *w) {
    int64_t n_max = 0;
    for (int64_t g = 0; g < groups.count(); ++g) n_max = std::max(n_max, groups.size(g));
    for (int64_t g = 0; g < groups.count(); ++g) {
        const int64_t n_g = groups.size(g);
        if (n_g >= n_max) continue;
        const double t = std::max(static_cast<double>(n_g), target);
        const double factor = t / static_cast<double>(n_g);
        if (!(factor > 1.0)) continue;
        for (int64_t k = groups.offsets[static_cast<size_t>(g)]; k < groups.offsets[static_cast<size_t>(g) + 1]; ++k)
            w[groups.rows[static_cast<size_t>(k)]] = factor;
    }
}

}  // namespace duv::kernels::grouping
