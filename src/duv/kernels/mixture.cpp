// The instantiations the extension uses, compiled with the kernels' optimisation flags.
#include "duv/kernels/mixture.hpp"

namespace duv::kernels::mixture {

template bool argsort_head<double>(const double *, size_t, size_t, std::ptrdiff_t, std::ptrdiff_t, size_t, int64_t *,
                                   std::ptrdiff_t, std::ptrdiff_t);
template bool argsort_head<float>(const float *, size_t, size_t, std::ptrdiff_t, std::ptrdiff_t, size_t, int64_t *,
                                  std::ptrdiff_t, std::ptrdiff_t);
template void aggregate_stack<double, double>(Method, size_t, size_t, const double *, const double *, const double *,
                                              double, double *, double *);
template void aggregate_stack<float, float>(Method, size_t, size_t, const float *, const float *, const double *,
                                            double, float *, float *);
template void aggregate_stack<float, double>(Method, size_t, size_t, const float *, const float *, const double *,
                                             double, double *, double *);
template void aggregate_routed<double>(Method, size_t, size_t, size_t, const int64_t *, const int64_t *,
                                       const double *const *, const double *const *, const double *, double, double *,
                                       double *);
template void aggregate_routed<float>(Method, size_t, size_t, size_t, const int64_t *, const int64_t *,
                                      const float *const *, const float *const *, const double *, double, double *,
                                      double *);

}  // namespace duv::kernels::mixture
