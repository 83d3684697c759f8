// Row selection over raw arrays, `out = src[idx]` for a vector of row numbers (int64 or int32),
// copying raw elements of any fixed size.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

namespace duv::kernels {

// True when every index lies in [0, len).
template <typename I> inline bool all_within(const I *idx, int64_t count, int64_t len) {
    for (int64_t j = 0; j < count; ++j)
        if (idx[j] < 0 || static_cast<int64_t>(idx[j]) >= len) return false;
    return true;
}

// out[k] = values[order[k]] for k < n; `out` may be `order` itself. The reads are scattered
// over `values`: they are started well ahead, so that they overlap when `values` is larger
// than the caches.
template <typename O> void compose(const int64_t *values, const int64_t *order, int64_t n, O *out) {
    constexpr int64_t ahead = 32;
    for (int64_t k = 0; k < n; ++k) {
        if (k + ahead < n) __builtin_prefetch(values + order[k + ahead]);
        out[k] = static_cast<O>(values[order[k]]);
    }
}

namespace detail {

constexpr int64_t kAhead = 16;

template <std::size_t Bytes, typename I>
void gather_fixed(const char *src, std::ptrdiff_t rs, const I *idx, int64_t n_out, char *out) {
    for (int64_t i = 0; i < n_out; ++i) {
        if (i + kAhead < n_out) __builtin_prefetch(src + static_cast<std::ptrdiff_t>(idx[i + kAhead]) * rs);
        std::memcpy(out + static_cast<std::size_t>(i) * Bytes, src + static_cast<std::ptrdiff_t>(idx[i]) * rs, Bytes);
    }
}

// Rows of 8-byte words, copied without a loop per row for up to 16 words.
template <typename I, int... Words>
bool gather_words(std::size_t bytes, const char *src, std::ptrdiff_t rs, const I *idx, int64_t n_out, char *out,
                  std::integer_sequence<int, Words...>) {
    return ((bytes == std::size_t{8} * (Words + 1)
                 ? (gather_fixed<std::size_t{8} * (Words + 1)>(src, rs, idx, n_out, out), true)
                 : false) ||
            ...);
}

// Elements `cs` bytes apart within a row (a Fortran-ordered matrix, a view): column by column over
// blocks of output rows, so that the block being written stays in cache while the reads of one
// column stay close together.
template <typename T, typename I>
void gather_columns(const char *src, std::ptrdiff_t rs, std::ptrdiff_t cs, int64_t m, const I *idx, int64_t n_out,
                    char *out) {
    constexpr int64_t block = 256;
    for (int64_t start = 0; start < n_out; start += block) {
        const int64_t end = std::min(n_out, start + block);
        for (int64_t c = 0; c < m; ++c) {
            const char *column = src + c * cs;
            char *o = out + static_cast<std::size_t>(c) * sizeof(T);
            for (int64_t i = start; i < end; ++i)
                std::memcpy(o + static_cast<std::size_t>(i * m) * sizeof(T),
                            column + static_cast<std::ptrdiff_t>(idx[i]) * rs, sizeof(T));
        }
    }
}

}  // namespace detail

// Row i of the C-contiguous `out` is source row idx[i] (m elements of `itemsize` bytes, row and
// column strides rs and cs in bytes).
template <typename I>
void gather_rows(const char *src, std::ptrdiff_t rs, std::ptrdiff_t cs, int64_t m, std::size_t itemsize, const I *idx,
                 int64_t n_out, char *out) {
    const std::size_t row_bytes = itemsize * static_cast<std::size_t>(m);
    if (m == 1 || cs == static_cast<std::ptrdiff_t>(itemsize)) {
        switch (row_bytes) {
        case 1: return detail::gather_fixed<1>(src, rs, idx, n_out, out);
        case 2: return detail::gather_fixed<2>(src, rs, idx, n_out, out);
        case 4: return detail::gather_fixed<4>(src, rs, idx, n_out, out);
        default: break;
        }
        if (row_bytes % 8 == 0 &&
            detail::gather_words(row_bytes, src, rs, idx, n_out, out, std::make_integer_sequence<int, 16>()))
            return;
        for (int64_t i = 0; i < n_out; ++i)
            std::memcpy(out + static_cast<std::size_t>(i) * row_bytes, src + static_cast<std::ptrdiff_t>(idx[i]) * rs,
                        row_bytes);
        return;
    }
    switch (itemsize) {
    case 1: return detail::gather_columns<uint8_t>(src, rs, cs, m, idx, n_out, out);
    case 2: return detail::gather_columns<uint16_t>(src, rs, cs, m, idx, n_out, out);
    case 4: return detail::gather_columns<uint32_t>(src, rs, cs, m, idx, n_out, out);
    case 8: return detail::gather_columns<uint64_t>(src, rs, cs, m, idx, n_out, out);
    default: break;
    }
    for (int64_t i = 0; i < n_out; ++i) {
        const char *r = src + static_cast<std::ptrdiff_t>(idx[i]) * rs;
        char *o = out + static_cast<std::size_t>(i) * row_bytes;
        for (int64_t c = 0; c < m; ++c) std::memcpy(o + c * itemsize, r + c * cs, itemsize);
    }
}

}  // namespace duv::kernels
