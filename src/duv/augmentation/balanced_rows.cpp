#include "duv/augmentation/balanced_rows.hpp"

#include "duv/augmentation/arrays.hpp"
#include "duv/interop/unlocked.hpp"
#include "duv/interop/util.hpp"
#include "duv/kernels/gather.hpp"

#include <algorithm>

namespace duv::augmentation {

namespace {

// values[order] into a new array of `dtype`.
template <typename T>
nb::object composed(nb::handle np, nb::handle dtype, const int64_t *values, const int64_t *order, int64_t n) {
    NewArray out = new_array(np, nb::int_(n), dtype);
    T *dst = out.view.vector<T>();
    run_unlocked(n, [&] { kernels::compose(values, order, n, dst); });
    return out.array;
}

}  // namespace

nb::object duplicated_rows(nb::handle np, nb::handle rng, const kernels::grouping::RowsByGroup &groups, int64_t n_max,
                           nb::handle target) {
    nb::object rows = np.attr("empty")(groups.rows.size(), "dtype"_a = "int64");
    std::copy(groups.rows.begin(), groups.rows.end(), ArrayView(rows, true).vector<int64_t>());
    std::vector<nb::object> dups(static_cast<size_t>(groups.count()));
    int64_t total = 0;
    for (int64_t g = 0; g < groups.count(); ++g) {
        const int64_t begin = groups.offsets[static_cast<size_t>(g)], n_g = groups.size(g);
        total += n_g;
        if (n_g >= n_max) continue;
        nb::object size = nb::int_(n_g);
        nb::object add = op::sub(compare(size, target, Py_GE) ? size : nb::borrow(target), size);
        if (!compare(add, nb::int_(0), Py_GT)) continue;
        nb::object idxs = getitem(rows, nb::slice(nb::int_(begin), nb::int_(begin + n_g), nb::none()));
        nb::object dup = rng.attr("choice")(idxs, "size"_a = add, "replace"_a = true);
        dups[static_cast<size_t>(g)] = np.attr("ascontiguousarray")(dup, "dtype"_a = "int64");
        total += nb::len(dups[static_cast<size_t>(g)]);
    }
    nb::object out = np.attr("empty")(total, "dtype"_a = "int64");
    int64_t *dst = ArrayView(out, true).vector<int64_t>();
    for (int64_t g = 0; g < groups.count(); ++g) {
        dst = std::copy(groups.rows.begin() + groups.offsets[static_cast<size_t>(g)],
                        groups.rows.begin() + groups.offsets[static_cast<size_t>(g) + 1], dst);
        if (!dups[static_cast<size_t>(g)].is_valid()) continue;
        ArrayView dup(dups[static_cast<size_t>(g)]);
        const int64_t *d = dup.vector<int64_t>();
        dst = std::copy(d, d + dup.shape(0), dst);
    }
    return np.attr("asarray")(out, "dtype"_a = int_type());
}

nb::object permuted(nb::handle np, nb::handle rows, nb::object order, bool narrow) {
    ArrayView a(rows), o(order, true);
    const int64_t *ai = a ? a.vector<int64_t>() : nullptr;
    int64_t *oi = o ? o.vector<int64_t>() : nullptr;
    const int64_t n = ai ? a.shape(0) : 0;
    if (!ai || !oi || o.shape(0) != n || !kernels::all_within(oi, n, n)) {
        o.release();
        return getitem(rows, order);
    }
    if (narrow && n <= INT32_MAX && (n == 0 || *std::max_element(ai, ai + n) <= INT32_MAX))
        return composed<int32_t>(np, nb::str("int32"), ai, oi, n);
    // Held: `order` here and the view.
    if (compare(order.attr("dtype"), rows.attr("dtype"), Py_EQ) && is_private_array(order, 2)) {
        run_unlocked(n, [&] { kernels::compose(ai, oi, n, oi); });
        return order;
    }
    return composed<int64_t>(np, rows.attr("dtype"), ai, oi, n);
}

}  // namespace duv::augmentation
