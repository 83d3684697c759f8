// Two doubles at a time with the compiler's vector extension: the same IEEE operations as
// the scalar code, lane by lane, so results are unchanged.
#pragma once

#include <cstring>

namespace duv::kernels {

typedef double v2d __attribute__((vector_size(16)));
typedef long long v2i __attribute__((vector_size(16)));

inline v2d load2(const double *p) {
    v2d v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

}  // namespace duv::kernels
