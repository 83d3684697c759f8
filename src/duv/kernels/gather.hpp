// Row selection over raw arrays, `out = src[idx]` for a vector of row numbers, copying raw
// elements of any fixed size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace duv::kernels {

// True when every index lies in [0, len).
inline bool all_within(const int64_t *idx, int64_t count, int64_t len) {
    for (int64_t j = 0; j < count; ++j)
        if (idx[j] < 0 || idx[j] >= len) return false;
    return true;
}

namespace detail {

template <std::size_t Bytes>
void gather_fixed(const char *src, std::ptrdiff_t rs, const int64_t *idx, int64_t n_out, char *out) {
    constexpr int64_t ahead = 16;
    for (int64_t i = 0; i < n_out; ++i) {
        if (i + ahead < n_out) __builtin_prefetch(src + idx[i + ahead] * rs);
        std::memcpy(out + static_cast<std::size_t>(i) * Bytes, src + idx[i] * rs, Bytes);
    }
}

}  // namespace detail

// Row i of the C-contiguous `out` is source row idx[i] (m elements of `itemsize` bytes, row and
// column strides rs and cs in bytes).
inline void gather_rows(const char *src, std::ptrdiff_t rs, std::ptrdiff_t cs, int64_t m, std::size_t itemsize,
                        const int64_t *idx, int64_t n_out, char *out) {
    const std::size_t row_bytes = itemsize * static_cast<std::size_t>(m);
    if (m == 1 || cs == static_cast<std::ptrdiff_t>(itemsize)) {
        switch (row_bytes) {
        case 1: return detail::gather_fixed<1>(src, rs, idx, n_out, out);
        case 2: return detail::gather_fixed<2>(src, rs, idx, n_out, out);
        case 4: return detail::gather_fixed<4>(src, rs, idx, n_out, out);
        case 8: return detail::gather_fixed<8>(src, rs, idx, n_out, out);
        case 16: return detail::gather_fixed<16>(src, rs, idx, n_out, out);
        case 24: return detail::gather_fixed<24>(src, rs, idx, n_out, out);
        case 32: return detail::gather_fixed<32>(src, rs, idx, n_out, out);
        default:
            for (int64_t i = 0; i < n_out; ++i)
                std::memcpy(out + static_cast<std::size_t>(i) * row_bytes, src + idx[i] * rs, row_bytes);
            return;
        }
    }
    for (int64_t i = 0; i < n_out; ++i) {
        const char *r = src + idx[i] * rs;
        char *o = out + static_cast<std::size_t>(i) * row_bytes;
        for (int64_t c = 0; c < m; ++c) std::memcpy(o + c * itemsize, r + c * cs, itemsize);
    }
}

}  // namespace duv::kernels
