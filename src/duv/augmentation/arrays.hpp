// Raw access to NumPy arrays through the buffer protocol, for the generation kernels,
// and `arr[idx]` row selection done in C++ when the array allows it.
#pragma once

#include "duv/interop/core.hpp"
#include "duv/kernels/smote.hpp"

#include <optional>

namespace duv::augmentation {

class ArrayBuffer {
public:
    // Empty when `o` exports no strided buffer (the Python error is cleared).
    explicit ArrayBuffer(nb::handle o, bool writable = false);
    ~ArrayBuffer();
    ArrayBuffer(const ArrayBuffer &) = delete;
    ArrayBuffer &operator=(const ArrayBuffer &) = delete;

    explicit operator bool() const { return ok_; }
    // Gives the view up early (the object may then be freed).
    void release();
    int ndim() const { return view_.ndim; }
    int64_t shape(int i) const { return view_.shape[i]; }
    std::ptrdiff_t stride(int i) const { return view_.strides[i]; }
    char *data() const { return static_cast<char *>(view_.buf); }
    std::size_t itemsize() const { return static_cast<std::size_t>(view_.itemsize); }

    // Element type for the kernels: a plain numeric format in native byte order.
    std::optional<kernels::smote::Dtype> dtype() const;
    // 1-D or 2-D view as a kernel matrix (a vector is n x 1).
    kernels::smote::Matrix matrix(kernels::smote::Dtype dt) const;
    // Data of a C-contiguous 1-D int64 / float64 vector, else nullptr.
    int64_t *int64_vector() const;
    double *float64_vector() const;

private:
    Py_buffer view_{};
    bool ok_ = false;
};

// `arr[idx]` for a 1-D index vector: copied in C++ for a plain 1-D/2-D ndarray without
// object elements and indices within range, by NumPy otherwise.
nb::object take_rows(nb::handle np, nb::handle arr, nb::handle idx);

}  // namespace duv::augmentation
