#include "duv/interop/buffer.hpp"

namespace duv {

namespace {

constexpr bool kLittleEndian = PY_LITTLE_ENDIAN != 0;

// A struct-module format of one number, with its byte-order prefix read.
std::optional<Dtype> parse_format(const char *f, std::size_t size) {
    if (!f) f = "B";
    switch (*f) {
    case '@':
    case '=': ++f; break;
    case '<':
        if (!kLittleEndian) return std::nullopt;
        ++f;
        break;
    case '>':
    case '!':
        if (kLittleEndian) return std::nullopt;
        ++f;
        break;
    default: break;
    }
    if (!f[0] || f[1]) return std::nullopt;
    auto by_size = [size](Dtype d1, Dtype d2, Dtype d4, Dtype d8) -> std::optional<Dtype> {
        switch (size) {
        case 1: return d1;
        case 2: return d2;
        case 4: return d4;
        case 8: return d8;
        default: return std::nullopt;
        }
    };
    switch (*f) {
    case 'd': return size == 8 ? std::optional(Dtype::F64) : std::nullopt;
    case 'f': return size == 4 ? std::optional(Dtype::F32) : std::nullopt;
    case '?': return size == 1 ? std::optional(Dtype::Bool) : std::nullopt;
    case 'b':
    case 'h':
    case 'i':
    case 'l':
    case 'q':
    case 'n': return by_size(Dtype::I8, Dtype::I16, Dtype::I32, Dtype::I64);
    case 'B':
    case 'H':
    case 'I':
    case 'L':
    case 'Q':
    case 'N': return by_size(Dtype::U8, Dtype::U16, Dtype::U32, Dtype::U64);
    default: return std::nullopt;
    }
}

}  // namespace

ArrayView::ArrayView(nb::handle o, bool writable) {
    auto view = std::make_unique<Py_buffer>();
    if (PyObject_GetBuffer(o.ptr(), view.get(), writable ? PyBUF_RECORDS : PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();
        return;
    }
    view_ = std::move(view);
}

ArrayView &ArrayView::operator=(ArrayView &&other) noexcept {
    if (this != &other) {
        release();
        view_ = std::move(other.view_);
    }
    return *this;
}

void ArrayView::release() {
    if (view_) PyBuffer_Release(view_.get());
    view_.reset();
}

int64_t ArrayView::size() const {
    int64_t n = 1;
    for (int i = 0; i < ndim(); ++i) n *= shape(i);
    return n;
}

std::optional<Dtype> ArrayView::dtype() const {
    if (!view_) return std::nullopt;
    return parse_format(view_->format, itemsize());
}

bool ArrayView::c_contiguous() const { return view_ && PyBuffer_IsContiguous(view_.get(), 'C') != 0; }

bool ArrayView::f_contiguous() const { return view_ && PyBuffer_IsContiguous(view_.get(), 'F') != 0; }

kernels::Matrix ArrayView::matrix(Dtype dt) const {
    kernels::Matrix mat;
    mat.data = data();
    mat.n = ndim() >= 1 ? shape(0) : 1;
    mat.m = ndim() == 2 ? shape(1) : 1;
    mat.rs = ndim() >= 1 ? stride(0) : 0;
    mat.cs = ndim() == 2 ? stride(1) : 0;
    mat.dtype = dt;
    return mat;
}

}  // namespace duv
