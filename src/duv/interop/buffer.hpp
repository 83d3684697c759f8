// Raw access to arrays through the buffer protocol: the one place that reads a buffer's
// format (byte order included), shape, strides and writability for the kernels.
#pragma once

#include "duv/interop/core.hpp"
#include "duv/kernels/dtype.hpp"

#include <memory>
#include <optional>
#include <type_traits>

namespace duv {

using kernels::Dtype;

class ArrayView {
public:
    ArrayView() = default;
    // Empty (false) when `o` exports no strided buffer, or no writable one when `writable`;
    // the Python error is cleared.
    explicit ArrayView(nb::handle o, bool writable = false);
    ~ArrayView() { release(); }
    ArrayView(ArrayView &&other) noexcept = default;
    ArrayView &operator=(ArrayView &&other) noexcept;
    ArrayView(const ArrayView &) = delete;
    ArrayView &operator=(const ArrayView &) = delete;

    explicit operator bool() const { return view_ != nullptr; }
    // Gives the view up early (the exporter may then be freed).
    void release();

    int ndim() const { return view_->ndim; }
    int64_t shape(int i) const { return view_->shape[i]; }
    std::ptrdiff_t stride(int i) const { return view_->strides[i]; }
    char *data() const { return static_cast<char *>(view_->buf); }
    std::size_t itemsize() const { return static_cast<std::size_t>(view_->itemsize); }
    bool readonly() const { return view_->readonly != 0; }
    int64_t size() const;

    // The element type when the format is one plain number in the host's byte order.
    std::optional<Dtype> dtype() const;
    bool has(Dtype dt) const { return view_ && dtype() == dt; }
    // Elements laid out one after another in C order.
    bool c_contiguous() const;
    // Elements laid out one after another in Fortran order.
    bool f_contiguous() const;
    // A 1-D or 2-D view as a kernel matrix (a vector is n x 1); `dt` is dtype().
    kernels::Matrix matrix(Dtype dt) const;

    // Data of a contiguous 1-D vector of T (int64_t, int32_t, double, float, bool), else nullptr.
    template <typename T> T *vector() const {
        if (!view_ || !has(dtype_of<T>()) || ndim() != 1) return nullptr;
        if (shape(0) > 1 && stride(0) != static_cast<std::ptrdiff_t>(sizeof(T))) return nullptr;
        return reinterpret_cast<T *>(data());
    }
    // Data of a C-contiguous array of T of any dimension, else nullptr.
    template <typename T> T *contiguous() const {
        if (!view_ || !has(dtype_of<T>()) || !c_contiguous()) return nullptr;
        return reinterpret_cast<T *>(data());
    }

private:
    template <typename T> static constexpr Dtype dtype_of() {
        if constexpr (std::is_same_v<T, double>)
            return Dtype::F64;
        else if constexpr (std::is_same_v<T, float>)
            return Dtype::F32;
        else if constexpr (std::is_same_v<T, int64_t>)
            return Dtype::I64;
        else if constexpr (std::is_same_v<T, int32_t>)
            return Dtype::I32;
        else if constexpr (std::is_same_v<T, bool>)
            return Dtype::Bool;
        else
            static_assert(sizeof(T) == 0, "no dtype for this element type");
    }

    std::unique_ptr<Py_buffer> view_;  // on the heap: some exporters point into the struct
};

}  // namespace duv
