#include "duv/augmentation/arrays.hpp"

#include "duv/interop/util.hpp"

#include <cstring>

namespace duv::augmentation {

namespace ks = kernels::smote;

ArrayBuffer::ArrayBuffer(nb::handle o, bool writable) {
    int flags = writable ? PyBUF_RECORDS : PyBUF_RECORDS_RO;
    if (PyObject_GetBuffer(o.ptr(), &view_, flags) == 0)
        ok_ = true;
    else
        PyErr_Clear();
}

ArrayBuffer::~ArrayBuffer() { release(); }

void ArrayBuffer::release() {
    if (ok_) PyBuffer_Release(&view_);
    ok_ = false;
}

std::optional<ks::Dtype> ArrayBuffer::dtype() const {
    if (!ok_ || !view_.format) return std::nullopt;
    const char *f = view_.format;
    if (*f == '@' || *f == '=' || *f == '<') ++f;  // little-endian host: all native
    if (!f[0] || f[1]) return std::nullopt;
    const std::size_t size = itemsize();
    auto by_size = [&](ks::Dtype d1, ks::Dtype d2, ks::Dtype d4, ks::Dtype d8) -> std::optional<ks::Dtype> {
        switch (size) {
        case 1: return d1;
        case 2: return d2;
        case 4: return d4;
        case 8: return d8;
        default: return std::nullopt;
        }
    };
    switch (*f) {
    case 'd': return size == 8 ? std::optional(ks::Dtype::F64) : std::nullopt;
    case 'f': return size == 4 ? std::optional(ks::Dtype::F32) : std::nullopt;
    case '?': return size == 1 ? std::optional(ks::Dtype::Bool) : std::nullopt;
    case 'b':
    case 'h':
    case 'i':
    case 'l':
    case 'q': return by_size(ks::Dtype::I8, ks::Dtype::I16, ks::Dtype::I32, ks::Dtype::I64);
    case 'B':
    case 'H':
    case 'I':
    case 'L':
    case 'Q': return by_size(ks::Dtype::U8, ks::Dtype::U16, ks::Dtype::U32, ks::Dtype::U64);
    default: return std::nullopt;
    }
}

ks::Matrix ArrayBuffer::matrix(ks::Dtype dt) const {
    ks::Matrix mat;
    mat.data = data();
    mat.n = view_.ndim >= 1 ? view_.shape[0] : 1;
    mat.m = view_.ndim == 2 ? view_.shape[1] : 1;
    mat.rs = view_.ndim >= 1 ? view_.strides[0] : 0;
    mat.cs = view_.ndim == 2 ? view_.strides[1] : 0;
    mat.dtype = dt;
    return mat;
}

int64_t *ArrayBuffer::int64_vector() const {
    auto dt = dtype();
    if (!dt || *dt != ks::Dtype::I64 || view_.ndim != 1 || (view_.shape[0] > 1 && view_.strides[0] != 8))
        return nullptr;
    return reinterpret_cast<int64_t *>(data());
}

double *ArrayBuffer::float64_vector() const {
    auto dt = dtype();
    if (!dt || *dt != ks::Dtype::F64 || view_.ndim != 1 || (view_.shape[0] > 1 && view_.strides[0] != 8))
        return nullptr;
    return reinterpret_cast<double *>(data());
}

nb::object take_rows(nb::handle np, nb::handle arr, nb::handle idx) {
    auto by_numpy = [&] { return arr[idx]; };
    if (Py_TYPE(arr.ptr()) != (PyTypeObject *)np.attr("ndarray").ptr()) return by_numpy();
    nb::object dtype = arr.attr("dtype");
    if (truthy(dtype.attr("hasobject"))) return by_numpy();
    ArrayBuffer src(arr), index(idx);
    if (!src || (src.ndim() != 1 && src.ndim() != 2)) return by_numpy();
    const int64_t *ix = index ? index.int64_vector() : nullptr;
    if (!ix) return by_numpy();
    const int64_t n_out = index.shape(0), len = src.shape(0);
    if (!kernels::smote::all_within(ix, n_out, len)) return by_numpy();

    nb::object shape = src.ndim() == 1 ? nb::make_tuple(n_out) : nb::make_tuple(n_out, src.shape(1));
    nb::object out = np.attr("empty")(shape, "dtype"_a = dtype);
    ArrayBuffer dst(out, true);
    if (!dst) raise(PyExc_RuntimeError, "cannot write into a new array");
    const int64_t m = src.ndim() == 2 ? src.shape(1) : 1;
    const std::ptrdiff_t rs = src.stride(0), cs = src.ndim() == 2 ? src.stride(1) : (std::ptrdiff_t)src.itemsize();
    {
        nb::gil_scoped_release unlocked;
        kernels::smote::gather_rows(src.data(), rs, cs, m, src.itemsize(), ix, n_out, dst.data());
    }
    return out;
}

}  // namespace duv::augmentation
