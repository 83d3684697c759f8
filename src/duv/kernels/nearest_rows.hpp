// Exact nearest rows by Euclidean distance, each distance summed over the features in their
// order, as a tree search of the same rows sums it; so the distances agree to the last bit.
#pragma once

#include <cstddef>
#include <cstdint>

namespace duv::kernels::nearest {

// For each of the n rows of x (n x m, C order), its `count` nearest rows, itself included, in
// increasing distance: indices in ind and distances in dist (n x count each). False (outputs
// partly written) when two of a row's count + 1 nearest distances are equal: their order is
// then not decided by the distance.
bool search(const double *x, std::ptrdiff_t n, std::ptrdiff_t m, std::ptrdiff_t count, std::int64_t *ind, double *dist);

}  // namespace duv::kernels::nearest
