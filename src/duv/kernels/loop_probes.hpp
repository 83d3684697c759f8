// Probe values on which one of NumPy's float64 inner loops, called directly, must reproduce
// its ufunc bit for bit before a kernel may use it.
#pragma once

#include <vector>

namespace duv::kernels {

// For a logarithm: log10 and log over the whole positive range, log1p from the smallest
// normal number on and over (-1, 0).
std::vector<double> log_probe(bool log1p);

// For an exponential whose results stay finite and normal for |x| <= limit.
std::vector<double> exp_probe(double limit);

}  // namespace duv::kernels
