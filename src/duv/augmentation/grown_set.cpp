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
    if ((order && perm_view_.shape(0) != rows_.total()) ||
        !run_unlocked(rows_.total(), [&] { return kernels::grown::valid(rows_); }))
        return;
    duv::NewArray<int64_t> sources = duv::new_array<int64_t>(np_, nb::int_(rows_.total()));
    run_unlocked(rows_.total(), [&] { kernels::grown::sources(rows_, sources.data); });
    sources_ = sources.array;
    src_ = sources.data;  // the array is kept in sources_
}

nb::handle GrownSet::sources() {
    if (!sources_.is_valid()) {
        nb::object all = np_.attr("concatenate")(list_of(np_.attr("arange")(n_samples_), indices_));
        sources_ = perm_.is_none() ? all : getitem(all, perm_);
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
        augmentation::NewArray dst = augmentation::new_array(np_, shape, arr.attr("dtype"));
        const std::ptrdiff_t cs = src.ndim() == 2 ? src.stride(1) : static_cast<std::ptrdiff_t>(src.itemsize());
        const kernels::grown::RowCopy copy{src.data(), src.stride(0), cs, m, src.itemsize(), dst.view.data()};
        run_unlocked(rows_.total() * m, [&] { kernels::grown::copy_rows(copy, src_, rows_.total()); });
        out.push_back(std::move(dst.array));
    }
    return out;
}

nb::object resized_count(nb::handle n_samples, nb::handle factor) {
    nb::object scaled = op::mul(n_samples, nb::float_(to_double(factor)));
    nb::object n = steal_checked(PyLong_FromDouble(py_round(to_double(scaled))));
    return compare(n, nb::int_(1), Py_LT) ? nb::object(nb::int_(1)) : n;
}

bool rows_of_weights(nb::handle np, nb::handle sample_weight, nb::handle n_samples) {
    if (sample_weight.is_none()) return false;
    nb::object sw = np.attr("asarray")(sample_weight);
    return nb::cast<int>(sw.attr("ndim")) >= 1 && compare(shape_of(sw, 0), n_samples, Py_EQ);
}

}  // namespace duv::augmentation
