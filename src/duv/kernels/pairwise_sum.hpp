// NumPy's pairwise summation (the inner loop of np.add.reduce): blocks of at most 128
// values summed with eight interleaved partial sums, halves added recursively.
#pragma once

#include <cstddef>

namespace duv::kernels {

// The sum of n values `stride` elements apart, without the reduction's identity.
template <typename T> T pairwise_sum(const T *a, std::ptrdiff_t n, std::ptrdiff_t stride = 1) {
    if (n < 8) {
        T res = T(-0.0);
        for (std::ptrdiff_t i = 0; i < n; ++i) res += a[i * stride];
        return res;
    }
    if (n <= 128) {
        T r[8];
        for (int j = 0; j < 8; ++j) r[j] = a[j * stride];
        std::ptrdiff_t i = 8;
        for (; i < n - (n % 8); i += 8)
            for (int j = 0; j < 8; ++j) r[j] += a[(i + j) * stride];
        T res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += a[i * stride];
        return res;
    }
    std::ptrdiff_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum(a, n2, stride) + pairwise_sum(a + n2 * stride, n - n2, stride);
}

// np.add.reduce of a contiguous vector: the pairwise sum added to the identity +0.
template <typename T> T numpy_sum(const T *a, std::ptrdiff_t n) { return T(0) + pairwise_sum(a, n, 1); }

}  // namespace duv::kernels
