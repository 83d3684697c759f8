// Two doubles at a time with the compiler's vector extension: the same IEEE operations as
// the scalar code, lane by lane, so results are unchanged.
#pragma once

#include <cstring>

namespace duv::kernels {

typedef double F64x2 __attribute__((vector_size(16)));
typedef long long I64x2 __attribute__((vector_size(16)));

inline F64x2 load2(const double *p) {
    F64x2 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

}  // namespace duv::kernels
