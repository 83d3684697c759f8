#include "duv/augmentation/grown_set.hpp"

#include "duv/augmentation/arrays.hpp"
#include "duv/interop/unlocked.hpp"
#include "duv/interop/util.hpp"

namespace duv::augmentation {

GrownSet::GrownSet(nb::handle np, nb::handle indices, nb::handle n_samples, nb::handle perm)
    : np_(nb::borrow(np)), indices_(nb::borrow(indices)), n_samples_(nb::borrow(n_samples)), perm_(nb::borrow(perm)),
      idx_view_(indices) {
    if (!perm.is_none()) perm_view_ = ArrayView(perm);
    const int64_t *idx = idx_view_.vector<int64_t>();
    const int64_t *order = perm.is_none() ? nullptr : perm_view_.vector<int64_t>();
    if (!idx || (!perm.is_none() && !order)) return;
    rows_ = kernels::grown::Rows{idx, nb::cast<int64_t>(n_samples), idx_view_.shape(0), order};
    if (order && perm_view_.shape(0) != rows_.total()) return;
    if (!run_unlocked([&] { return kernels::grown::valid(rows_); })) return;
    sources_ = np_.attr("empty")(rows_.total(), "dtype"_a = "int64");
    ArrayView out(sources_, true);
    int64_t *src = out.vector<int64_t>();
    if (!src) raise(PyExc_RuntimeError, "cannot write into a new array");
    run_unlocked([&] { kernels::grown::sources(rows_, src); });
    src_ = src;  // the array is kept in sources_
}

nb::handle GrownSet::sources() {
    if (!sources_.is_valid()) {
        nb::object all = np_.attr("concatenate")(list_of(np_.attr("arange")(n_samples_), indices_));
        sources_ = perm_.is_none() ? all : all[perm_];
    }
    return sources_;
}

std::vector<nb::object> GrownSet::take(std::initializer_list<nb::handle> arrays) {
    std::vector<nb::object> out;
    nb::handle ndarray = np_.attr("ndarray");
    for (nb::handle arr : arrays) {
        ArrayView src;
        if (src_ && Py_TYPE(arr.ptr()) == reinterpret_cast<PyTypeObject *>(ndarray.ptr()) &&
            !truthy(nb::object(arr.attr("dtype")).attr("hasobject")))
            src = ArrayView(arr);
        if (!src || src.ndim() < 1 || src.ndim() > 2 || src.shape(0) != rows_.n) {
            out.push_back(take_rows(np_, arr, sources()));
            continue;
        }
        const int64_t m = src.ndim() == 2 ? src.shape(1) : 1;
        nb::object shape = src.ndim() == 2 ? nb::make_tuple(rows_.total(), m) : nb::make_tuple(rows_.total());
        out.push_back(np_.attr("empty")(shape, "dtype"_a = arr.attr("dtype")));
        ArrayView dst(out.back(), true);
        if (!dst) raise(PyExc_RuntimeError, "cannot write into a new array");
        const std::ptrdiff_t cs = src.ndim() == 2 ? src.stride(1) : static_cast<std::ptrdiff_t>(src.itemsize());
        const kernels::grown::RowCopy copy{src.data(), src.stride(0), cs, m, src.itemsize(), dst.data()};
        run_unlocked([&] { kernels::grown::copy_rows(copy, src_, rows_.total()); });
    }
    return out;
}

nb::object resized_count(nb::handle n_samples, nb::handle factor) {
    nb::object scaled = steal_checked(PyNumber_Multiply(n_samples.ptr(), nb::float_(to_double(factor)).ptr()));
    nb::object n = steal_checked(PyLong_FromDouble(py_round(to_double(scaled))));
    return compare(n, nb::int_(1), Py_LT) ? nb::object(nb::int_(1)) : n;
}

bool is_numpy_module(nb::handle np) {
    PyObject *numpy = PyImport_GetModule(nb::str("numpy").ptr());
    if (!numpy && PyErr_Occurred()) throw nb::python_error();
    Py_XDECREF(numpy);
    return numpy == np.ptr();
}

bool rows_of_weights(nb::handle np, nb::handle sample_weight, nb::handle n_samples) {
    if (sample_weight.is_none()) return false;
    nb::object sw = np.attr("asarray")(sample_weight);
    return nb::cast<int>(sw.attr("ndim")) >= 1 && compare(nb::object(sw.attr("shape"))[0], n_samples, Py_EQ);
}

}  // namespace duv::augmentation
