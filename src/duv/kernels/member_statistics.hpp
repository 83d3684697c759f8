// Statistics of a voting ensemble's prediction stack over the member axis, in one pass,
// with NumPy's arithmetic: np.average (plain or weighted) and the population standard
// deviation about it, each sum in the order NumPy's reduction adds.
#pragma once

#include <cstddef>

namespace duv::kernels::member_statistics {

// predictions[i, j, c] (sample i, member j, output c) at data + i*s0 + j*s1 + c*s2 bytes.
struct Stack {
    const char *data = nullptr;
    std::ptrdiff_t n = 0, k = 0, o = 1;
    std::ptrdiff_t s0 = 0, s1 = 0, s2 = 0;
    // Members summed in NumPy's pairwise order (the reduction runs along the member axis,
    // as for a C-ordered (n, k) stack), else one after another.
    bool pairwise = true;
};

// mean[i*o + c] = np.average(predictions, axis=1, weights)[i, c] and, when `std` is not
// null, std[i*o + c] = sqrt of the (weighted) average squared deviation from it. `weights`
// holds k values or is null (unweighted). Returns false where NumPy would raise (weights
// summing to zero) or report a floating-point exception (division by zero, overflow,
// invalid, underflow); the outputs are then unspecified. The caller's floating-point flags
// are left as they were.
bool statistics(const Stack &p, const double *weights, double *mean, double *std);

// out[i*k + j] = columns[j][i]: np.stack of k contiguous float64 vectors along axis 1.
void stack_columns(const double *const *columns, std::ptrdiff_t k, std::ptrdiff_t n, double *out);

}  // namespace duv::kernels::member_statistics
