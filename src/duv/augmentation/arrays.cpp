#include "duv/augmentation/arrays.hpp"

#include "duv/interop/util.hpp"
#include "duv/kernels/gather.hpp"

namespace duv::augmentation {

nb::object take_rows(nb::handle np, nb::handle arr, nb::handle idx) {
    auto by_numpy = [&] { return arr[idx]; };
    if (Py_TYPE(arr.ptr()) != reinterpret_cast<PyTypeObject *>(np.attr("ndarray").ptr())) return by_numpy();
    nb::object dtype = arr.attr("dtype");
    if (truthy(dtype.attr("hasobject"))) return by_numpy();
    ArrayView src(arr), index(idx);
    if (!src || (src.ndim() != 1 && src.ndim() != 2)) return by_numpy();
    const int64_t *ix64 = index.vector<int64_t>();
    const int32_t *ix32 = ix64 ? nullptr : index.vector<int32_t>();
    if (!ix64 && !ix32) return by_numpy();
    const int64_t n_out = index.shape(0), len = src.shape(0);
    if (ix64 ? !kernels::all_within(ix64, n_out, len) : !kernels::all_within(ix32, n_out, len)) return by_numpy();

    const bool matrix = src.ndim() == 2;
    NewArray out = new_array(np, matrix ? nb::make_tuple(n_out, src.shape(1)) : nb::make_tuple(n_out), dtype);
    const int64_t m = matrix ? src.shape(1) : 1;
    const std::ptrdiff_t cs = matrix ? src.stride(1) : static_cast<std::ptrdiff_t>(src.itemsize());
    {
        nb::gil_scoped_release unlocked;
        if (ix64)
            kernels::gather_rows(src.data(), src.stride(0), cs, m, src.itemsize(), ix64, n_out, out.view.data());
        else
            kernels::gather_rows(src.data(), src.stride(0), cs, m, src.itemsize(), ix32, n_out, out.view.data());
    }
    return out.array;
}

NewArray new_array(nb::handle np, nb::handle shape, nb::handle dtype) {
    nb::object array = np.attr("empty")(shape, "dtype"_a = dtype);
    ArrayView view(array, true);
    if (!view) raise(PyExc_RuntimeError, "cannot write into a new array");
    return {std::move(array), std::move(view)};
}

bool is_private_array(nb::handle array, Py_ssize_t held) {
    if (Py_REFCNT(array.ptr()) > held) return false;
    PyObject *base = PyObject_GetAttrString(array.ptr(), "base");
    if (!base) {
        PyErr_Clear();
        return false;
    }
    const bool owns = base == Py_None;
    Py_DECREF(base);
    return owns;
}

}  // namespace duv::augmentation
