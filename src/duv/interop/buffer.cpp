#include "duv/interop/buffer.hpp"

#include <cstring>

namespace duv {

namespace {

constexpr bool kLittleEndian = PY_LITTLE_ENDIAN != 0;

// The format past its byte-order prefix, or null when the order is not the host's.
const char *past_byte_order(const char *f) {
    switch (*f) {
    case '@':
    case '=': return f + 1;
    case '<': return kLittleEndian ? f + 1 : nullptr;
    case '>':
    case '!': return kLittleEndian ? nullptr : f + 1;
    default: return f;
    }
}

std::optional<Dtype> integer_of_size(std::size_t size, bool is_signed) {
    switch (size) {
    case 1: return is_signed ? Dtype::I8 : Dtype::U8;
    case 2: return is_signed ? Dtype::I16 : Dtype::U16;
    case 4: return is_signed ? Dtype::I32 : Dtype::U32;
    case 8: return is_signed ? Dtype::I64 : Dtype::U64;
    default: return std::nullopt;
    }
}

// A struct-module format of one number, with its byte-order prefix read.
std::optional<Dtype> parse_format(const char *f, std::size_t size) {
    f = past_byte_order(f ? f : "B");
    if (!f || !f[0] || f[1]) return std::nullopt;
    const char code = f[0];
    if (code == 'd') return size == 8 ? std::optional(Dtype::F64) : std::nullopt;
    if (code == 'f') return size == 4 ? std::optional(Dtype::F32) : std::nullopt;
    if (code == '?') return size == 1 ? std::optional(Dtype::Bool) : std::nullopt;
    if (std::strchr("bhilqn", code)) return integer_of_size(size, true);
    if (std::strchr("BHILQN", code)) return integer_of_size(size, false);
    return std::nullopt;
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
