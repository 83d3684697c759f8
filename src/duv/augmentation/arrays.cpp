#include "duv/augmentation/arrays.hpp"

#include "duv/interop/unlocked.hpp"
#include "duv/interop/util.hpp"

namespace duv::augmentation {

nb::object take_rows(nb::handle np, nb::handle arr, nb::handle idx) {
    nb::object dtype;
    if (Py_TYPE(arr.ptr()) == reinterpret_cast<PyTypeObject *>(np.attr("ndarray").ptr())) dtype = arr.attr("dtype");
    ArrayView src, index(idx);
    if (dtype.is_valid() && !truthy(dtype.attr("hasobject"))) src = ArrayView(arr);
    if (!src || (src.ndim() != 1 && src.ndim() != 2)) return getitem(arr, idx);
    const int64_t *ix64 = row_numbers<int64_t>(index, src.shape(0));
    const int32_t *ix32 = ix64 ? nullptr : row_numbers<int32_t>(index, src.shape(0));
    if (!ix64 && !ix32) return getitem(arr, idx);

    const bool matrix = src.ndim() == 2;
    const int64_t n_out = index.shape(0), m = matrix ? src.shape(1) : 1;
    NewArray out = new_array(np, matrix ? nb::make_tuple(n_out, m) : nb::make_tuple(n_out), dtype);
    const std::ptrdiff_t cs = matrix ? src.stride(1) : static_cast<std::ptrdiff_t>(src.itemsize());
    run_unlocked(n_out * m, [&] {
        if (ix64)
            kernels::gather_rows(src.data(), src.stride(0), cs, m, src.itemsize(), ix64, n_out, out.view.data());
        else
            kernels::gather_rows(src.data(), src.stride(0), cs, m, src.itemsize(), ix32, n_out, out.view.data());
    });
    return out.array;
}

nb::object take_rows_of(nb::handle np, nb::handle idx, nb::handle X, nb::handle y, nb::handle sample_weight) {
    nb::object sw = sample_weight.is_none() ? nb::none() : take_rows(np, np.attr("asarray")(sample_weight), idx);
    return nb::make_tuple(take_rows(np, X, idx), take_rows(np, y, idx), sw);
}

NewArray new_array(nb::handle np, nb::handle shape, nb::handle dtype) {
    nb::object array = np.attr("empty")(shape, "dtype"_a = dtype);
    ArrayView view(array, true);
    if (!view) raise(PyExc_RuntimeError, "cannot write into a new array");
    return {std::move(array), std::move(view)};
}

bool is_private_array(nb::handle array, Py_ssize_t held) {
    if (Py_REFCNT(array.ptr()) > held) return false;
    nb::object base = getattr_or_null(array, nb::str("base"));
    return base.is_valid() && base.is_none();
}

}  // namespace duv::augmentation
