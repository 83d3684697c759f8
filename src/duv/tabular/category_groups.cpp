#include "duv/tabular/category_groups.hpp"

#include "duv/interop/capi.hpp"
#include "duv/interop/unlocked.hpp"
#include "duv/interop/util.hpp"

#include <cmath>

namespace duv::tabular {

namespace kg = kernels::grouping;

namespace {

// `if _is_nan_scalar(x)` with the module's own function: exact builtin types answer directly.
bool nan_key(PyObject *x) {
    if (PyFloat_CheckExact(x)) return std::isnan(float_value(x));
    if (x == Py_None || PyLong_CheckExact(x) || PyUnicode_CheckExact(x) || PyBool_Check(x)) return false;
    return truthy(is_nan_scalar(x));
}

void select_by_name(const Globals &g, nb::handle X, nb::handle spec, Selection &s) {
    nb::list cols = nb::borrow<nb::list>(steal_checked(PySequence_List(spec.ptr())));
    nb::object index = X.attr("columns");
    nb::list names, indexes;
    for (nb::handle c : cols) names.append(nb::str(c));
    for (nb::handle c : cols) indexes.append(int_of(index.attr("get_loc")(c)));
    s.values = g["np"].attr("asarray")(getitem(X, nb::len(cols) == 1 ? nb::object(cols[0]) : cols));
    s.column_names = std::move(names);
    s.column_indexes = std::move(indexes);
}

void select_by_position(const Globals &g, nb::handle X, nb::handle spec, bool has_columns, Selection &s) {
    nb::object X_arr = g["_as_numpy_2d"](X);
    nb::list idxs;
    for (nb::handle c : spec) idxs.append(int_of(c));
    nb::object zero = nb::int_(0), width;
    for (nb::handle i : idxs) {
        if (!compare(i, zero, Py_LT)) {
            if (!width.is_valid()) width = shape_of(X_arr, 1);
            if (!compare(i, width, Py_GE)) continue;
        }
        raise(PyExc_IndexError, "columns index out of bounds");
    }
    s.column_indexes = idxs;
    if (has_columns) {
        nb::list names;
        for (nb::handle i : idxs) names.append(nb::str(getitem(X.attr("columns"), i)));
        s.column_names = std::move(names);
    }
    s.values = getitem(X_arr, nb::make_tuple(full_slice(), idxs));
}

// Python objects -> rows by group, with dict semantics (one hash per key, as setdefault).
class ObjectGrouper {
public:
    void add(nb::handle key) {
        if (!spare_.is_valid()) spare_ = nb::int_(count_);
        nb::object id = dict_setdefault(groups_, key, spare_);
        if (id.is(spare_)) {
            spare_ = nb::object();
            of_row_.push_back(count_++);
        } else {
            of_row_.push_back(PyLong_AsSsize_t(id.ptr()));
        }
    }
    RowsByGroup finish() {
        kg::Groups g;
        g.of_row = std::move(of_row_);
        g.count = count_;
        return kg::rows_by_group(g);
    }

private:
    nb::dict groups_;
    nb::object spare_;
    std::vector<int64_t> of_row_;
    int64_t count_ = 0;
};

// The documented key loop, through whatever np, _is_nan_scalar and _NAN_GROUP are now.
nb::object documented_keys(const Globals &g, nb::handle values, Py_ssize_t n_samples) {
    nb::object keys = g["np"].attr("empty")(n_samples, "dtype"_a = object_type());
    nb::object is_nan = g["_is_nan_scalar"];
    auto key_part = [&](nb::handle x) { return truthy(is_nan(x)) ? g["_NAN_GROUP"] : nb::borrow(x); };
    if (compare(shape_of(values, 1), nb::int_(1), Py_EQ)) {
        nb::object v = getitem(values, nb::make_tuple(full_slice(), 0));
        for (Py_ssize_t i = 0; i < n_samples; ++i)
            op::setitem(keys, nb::int_(i), nb::make_tuple(key_part(getitem(v, nb::int_(i)))));
        return keys;
    }
    for (Py_ssize_t i = 0; i < n_samples; ++i) {
        nb::list tup;
        for (nb::handle x : getitem(values, nb::make_tuple(nb::int_(i), full_slice()))) tup.append(key_part(x));
        op::setitem(keys, nb::int_(i), nb::tuple(tup));
    }
    return keys;
}

// One key tuple per row of an object array, NaN cells as the sentinel.
std::vector<nb::object> key_tuples(nb::handle values, nb::handle sentinel, Py_ssize_t n_samples) {
    std::vector<nb::object> tuples;
    tuples.reserve(static_cast<size_t>(n_samples));
    for (nb::handle row : values.attr("tolist")()) {
        Py_ssize_t m = list_size(row.ptr());
        nb::object key = steal_checked(PyTuple_New(m));
        for (Py_ssize_t j = 0; j < m; ++j) {
            PyObject *x = list_item(row.ptr(), j);
            tuple_fill(key.ptr(), j, Py_NewRef(nan_key(x) ? sentinel.ptr() : x));
        }
        tuples.push_back(std::move(key));
    }
    return tuples;
}

std::vector<uint64_t> encoded(const kernels::Matrix &m, bool fold_signed_zero) {
    std::vector<uint64_t> words(static_cast<size_t>(m.n * m.m));
    run_unlocked(m.n * m.m, [&] { kg::encode(m, fold_signed_zero, words.data()); });
    return words;
}

kg::Groups grouped(const std::vector<uint64_t> &words, const kernels::Matrix &m) {
    const bool integral = !kg::floating(m.dtype) && m.dtype != Dtype::U64;
    return run_unlocked(m.n * m.m, [&] { return kg::group_rows(words.data(), m.n, m.m, integral); });
}

}  // namespace

std::optional<Globals> grouping_module(nb::handle resolve) {
    nb::handle module = defining_module(resolve);
    const auto *st = dynamic_cast<const GroupingState *>(detail::state_slot(module));
    if (!st) return std::nullopt;
    Globals g(PyModule_GetDict(module.ptr()), module);
    if (!st->helpers.intact(g) || !st->helpers["_resolve_columns_and_groups"].is(resolve)) return std::nullopt;
    return g;
}

nb::object is_nan_scalar(nb::handle x) {
    PyObject *r = PyObject_RichCompare(x.ptr(), x.ptr(), Py_NE);
    if (r) return nb::steal(r);
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw nb::python_error();
    PyErr_Clear();
    return nb::bool_(false);
}

Selection select_columns(const Globals &g, nb::handle X, nb::handle columns) {
    Selection s;
    s.n_samples = PyObject_Length(X.ptr());
    check(s.n_samples >= 0);
    s.column_names = s.column_indexes = nb::none();
    const bool has_columns = has_attr(X, "columns");
    const bool single = PyUnicode_Check(columns.ptr()) || PyLong_Check(columns.ptr());
    nb::list spec = single ? list_of(columns) : nb::borrow<nb::list>(steal_checked(PySequence_List(columns.ptr())));
    bool by_name = false;
    if (has_columns)
        for (nb::handle c : spec) by_name = by_name || PyUnicode_Check(c.ptr());
    if (by_name)
        select_by_name(g, X, spec, s);
    else
        select_by_position(g, X, spec, has_columns, s);
    s.values = vector_as_column(s.values);
    return s;
}

RowKeys RowKeys::of(const Globals &g, nb::handle values, Py_ssize_t n_samples) {
    RowKeys k;
    k.values_ = nb::borrow(values);
    const AsImported &helpers = g.state<GroupingState>().helpers;
    const bool plain =
        helpers.intact(g) && Py_TYPE(values.ptr()) == reinterpret_cast<PyTypeObject *>(helpers["np.ndarray"].ptr()) &&
        compare(values.attr("ndim"), nb::int_(2), Py_EQ) && compare(shape_of(values, 0), nb::int_(n_samples), Py_EQ);
    if (plain) {
        auto view = std::make_shared<ArrayView>(values);
        if (std::optional<Dtype> dt = view->dtype(); *view && dt) {
            k.kind_ = Kind::Typed;
            k.matrix_ = view->matrix(*dt);
            k.view_ = std::move(view);
            return k;
        }
        if (equals(nb::object(values.attr("dtype")).attr("kind"), "O")) {
            k.kind_ = Kind::Tuples;
            k.tuples_ = key_tuples(values, g["_NAN_GROUP"], n_samples);
            return k;
        }
    }
    k.kind_ = Kind::Array;
    k.array_ = documented_keys(g, values, n_samples);
    return k;
}

RowKeys RowKeys::given(nb::handle keys) {
    RowKeys k;
    k.array_ = nb::borrow(keys);
    return k;
}

nb::object RowKeys::array(const Globals &g) {
    if (array_.is_valid()) return array_;
    nb::object np = g["np"];
    if (kind_ == Kind::Tuples) {
        nb::list all;
        for (const nb::object &t : tuples_) all.append(t);
        array_ = np.attr("fromiter")(all, "dtype"_a = object_type(), "count"_a = nb::len(all));
        return array_;
    }
    // Rows with the same bit patterns share one key tuple.
    std::vector<uint64_t> words = encoded(matrix_, false);
    kg::Groups patterns = grouped(words, matrix_);
    nb::object sentinel = g["_NAN_GROUP"];
    nb::object distinct = np.attr("empty")(patterns.count, "dtype"_a = object_type());
    const int64_t m = matrix_.m;
    int64_t next = 0;
    for (int64_t i = 0; i < matrix_.n && next < patterns.count; ++i) {
        if (patterns.of_row[static_cast<size_t>(i)] != next) continue;
        nb::object key = steal_checked(PyTuple_New(static_cast<Py_ssize_t>(m)));
        for (int64_t j = 0; j < m; ++j) {
            const bool nan = kg::floating(matrix_.dtype) && words[static_cast<size_t>(i * m + j)] == kg::kNanWord;
            nb::object x = nan ? sentinel : getitem(values_, nb::make_tuple(i, j));
            tuple_fill(key.ptr(), static_cast<Py_ssize_t>(j), x.release().ptr());
        }
        op::setitem(distinct, nb::int_(next++), key);
    }
    nb::object ids = np.attr("empty")(matrix_.n, "dtype"_a = "int64");
    ArrayView out(ids, true);
    std::copy(patterns.of_row.begin(), patterns.of_row.end(), out.vector<int64_t>());
    array_ = getitem(distinct, ids);
    return array_;
}

RowsByGroup RowKeys::groups() const {
    if (kind_ == Kind::Typed) return kg::rows_by_group(grouped(encoded(matrix_, true), matrix_));
    if (kind_ == Kind::Array) return group_keys(array_);
    ObjectGrouper grouper;
    for (const nb::object &t : tuples_) grouper.add(t);
    return grouper.finish();
}

RowsByGroup group_keys(nb::handle keys) {
    ObjectGrouper grouper;
    for (nb::handle k : keys) grouper.add(k);
    return grouper.finish();
}

RowsByGroup groups_of_dict(nb::handle group_to_indices) {
    RowsByGroup out;
    out.offsets.push_back(0);
    for (nb::handle pair : group_to_indices.attr("items")()) {
        nb::object idxs = nb::borrow(nb::tuple(nb::borrow(pair))[1]);
        nb::object seq = steal_checked(PySequence_Fast(idxs.ptr(), "group indices must be a sequence"));
        const Py_ssize_t n = fast_size(seq.ptr());
        for (Py_ssize_t i = 0; i < n; ++i) {
            nb::object index = steal_checked(PyNumber_Index(fast_item(seq.ptr(), i)));
            long long v = PyLong_AsLongLong(index.ptr());
            if (v == -1 && PyErr_Occurred()) throw nb::python_error();
            out.rows.push_back(v);
        }
        out.offsets.push_back(static_cast<int64_t>(out.rows.size()));
    }
    return out;
}

int64_t largest_group(const RowsByGroup &groups) {
    if (groups.count() == 0) nb::module_::import_("builtins").attr("max")(nb::tuple());
    int64_t n_max = 0;
    for (int64_t g = 0; g < groups.count(); ++g) n_max = std::max(n_max, groups.size(g));
    return n_max;
}

nb::object target_size(nb::handle np, int64_t n_max, nb::handle balance_strength) {
    const double product = static_cast<double>(n_max) * to_double(balance_strength);
    return int_of(np.attr("ceil")(nb::float_(product)));
}

nb::object balancing_weights(nb::handle np, const RowsByGroup &groups, Py_ssize_t n, int64_t n_max, nb::handle target) {
    nb::object w = np.attr("ones")(n, "dtype"_a = float_type());
    const double t = PyLong_AsDouble(target.ptr());
    check(t != -1.0 || !PyErr_Occurred());
    for (int64_t g = 0; g < groups.count(); ++g)
        if (groups.size(g) == 0 && n_max > 0) raise(PyExc_ZeroDivisionError, "float division by zero");
    ArrayView view(w, true);
    double *data = view ? view.vector<double>() : nullptr;
    bool within = data && view.shape(0) == n;
    for (int64_t r : groups.rows) within = within && r >= 0 && r < n;
    if (within) {
        run_unlocked(n, [&] { kg::balancing_weights(groups, t, data); });
        return w;
    }
    view.release();
    // Positions the array cannot take directly: NumPy indexes (or rejects) them.
    for (int64_t g = 0; g < groups.count(); ++g) {
        const int64_t n_g = groups.size(g);
        if (n_g >= n_max) continue;
        const double factor = std::max(static_cast<double>(n_g), t) / static_cast<double>(n_g);
        if (!(factor > 1.0)) continue;
        nb::list idxs;
        for (int64_t k = groups.offsets[static_cast<size_t>(g)]; k < groups.offsets[static_cast<size_t>(g) + 1]; ++k)
            idxs.append(groups.rows[static_cast<size_t>(k)]);
        op::setitem(w, idxs, nb::float_(factor));
    }
    return w;
}

}  // namespace duv::tabular
