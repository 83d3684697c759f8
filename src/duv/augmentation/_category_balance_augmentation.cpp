#include "duv/augmentation/arrays.hpp"
#include "duv/augmentation/category_groups.hpp"
#include "duv/augmentation/meta_estimator.hpp"
#include "duv/augmentation/meta_estimator_tags.hpp"
#include "duv/interop/capi.hpp"
#include "duv/interop/klass.hpp"
#include "duv/interop/module.hpp"
#include "duv/interop/sklearn.hpp"
#include "duv/interop/unlocked.hpp"
#include "duv/interop/util.hpp"
#include "duv/kernels/gather.hpp"

#include <algorithm>

namespace {

namespace aug = duv::augmentation;
namespace cat = duv::augmentation::category;
using cat::RowKeys;
using cat::RowsByGroup;

DUV_ARGS(AsNumpyArgs, X);
DUV_ARGS(IsNanArgs, x);
DUV_ARGS(ResolveArgs, X, columns);
DUV_ARGS(ComputeArgs, keys);
DUV_ARGS(AugmentArgs, X, y, columns, balance_strength, shuffle, random_state, sample_weight, sample_weight_mode);

// Remembered by the regressor's fit beside estimator_: the column positions it removed
// before the inner fit (None when it removed none), which predict removes as well.
const char *const kRemovedColumns = "_removed_column_indexes";

nb::object item(nb::handle o, nb::handle key) { return duv::steal_checked(PyObject_GetItem(o.ptr(), key.ptr())); }

// `X[:, [i for i in range(X.shape[1]) if i not in removed]]`
nb::object without_columns(nb::handle X, nb::handle removed) {
    const Py_ssize_t width = PyNumber_AsSsize_t(nb::object(X.attr("shape"))[1].ptr(), PyExc_OverflowError);
    duv::check(width != -1 || !PyErr_Occurred());
    nb::list keep;
    for (Py_ssize_t i = 0; i < width; ++i) {
        nb::object index = nb::int_(i);
        const int contained = PySequence_Contains(removed.ptr(), index.ptr());
        duv::check(contained >= 0);
        if (!contained) keep.append(index);
    }
    return item(X, nb::make_tuple(duv::steal_checked(PySlice_New(nullptr, nullptr, nullptr)), keep));
}

nb::object as_numpy_2d(const duv::Globals &g, const AsNumpyArgs &a) {
    nb::object X_arr = g["np"].attr("asarray")(a.X);
    if (duv::compare(X_arr.attr("ndim"), nb::int_(1), Py_EQ)) X_arr = X_arr.attr("reshape")(-1, 1);
    return X_arr;
}

nb::object is_nan_scalar(const IsNanArgs &a) { return cat::is_nan_scalar(a.x); }

nb::object resolve_columns_and_groups(const duv::Globals &g, const ResolveArgs &a) {
    cat::Selection s = cat::select_columns(g, a.X, a.columns);
    RowKeys keys = RowKeys::of(g, s.values, s.n_samples);
    return nb::make_tuple(s.column_names, s.column_indexes, keys.array(g));
}

nb::object compute_group_indices(const ComputeArgs &a) {
    nb::dict groups;
    nb::object spare;
    Py_ssize_t i = 0;
    for (nb::handle k : a.keys) {
        if (!spare.is_valid()) spare = nb::list();
        nb::object idxs = duv::dict_setdefault(groups, k, spare);
        if (idxs.is(spare)) spare = nb::object();
        duv::check(PyList_Append(idxs.ptr(), duv::steal_checked(PyLong_FromSsize_t(i++)).ptr()) == 0);
    }
    return groups;
}

// `_resolve_columns_and_groups(X, columns)` as the keys of the rows: made here when the
// module's own function is bound, by the bound function otherwise.
RowKeys resolve_keys(const duv::Globals &g, nb::handle X, nb::handle columns) {
    nb::object resolve = g["_resolve_columns_and_groups"];
    if (cat::is_built_resolve(resolve)) {
        cat::Selection s = cat::select_columns(g, X, columns);
        return RowKeys::of(g, s.values, s.n_samples);
    }
    return RowKeys::given(duv::unpack(resolve(X, columns), 3)[2]);
}

// `group_to_indices = _compute_group_indices(keys)` as rows by group.
RowsByGroup group_indices(const duv::Globals &g, RowKeys &keys) {
    nb::object compute = g["_compute_group_indices"];
    if (cat::is_built_compute(compute)) return keys.groups();
    return cat::groups_of_dict(compute(keys.array(g)));
}

// str(sample_weight_mode).lower(): true for "generate", false for "passthrough".
bool generate_mode(nb::handle sample_weight_mode) {
    nb::object mode = nb::str(sample_weight_mode).attr("lower")();
    const bool generate = duv::compare(mode, nb::str("generate"), Py_EQ);
    if (!generate && !duv::compare(mode, nb::str("passthrough"), Py_EQ))
        duv::raise_value_error("sample_weight_mode must be one of {'passthrough','generate'}");
    return generate;
}

// Step 7: the data as validated, with the balancing weights times the caller's weights.
nb::object with_generated_weights(nb::handle np, nb::handle X_arr, nb::handle y_arr, nb::handle n_samples, nb::object w,
                                  nb::handle sample_weight) {
    if (!sample_weight.is_none()) {
        nb::object sw = np.attr("asarray")(sample_weight, "dtype"_a = duv::float_type());
        nb::object shape = sw.attr("shape");
        if (duv::compare(shape, nb::make_tuple(n_samples), Py_NE))
            duv::raise_value_error("sample_weight should have shape (" + duv::format(n_samples) + ",), got " +
                                   duv::format(shape));
        if (duv::truthy(np.attr("any")(duv::richcompare(sw, nb::int_(0), Py_LT))))
            duv::raise_value_error("sample_weight must be non-negative");
        w = duv::steal_checked(PyNumber_Multiply(w.ptr(), sw.ptr()));
    }
    return nb::make_tuple(X_arr, y_arr, w);
}

// Step 8.1-8.3: each group's rows followed by its duplicates, drawn with one
// rng.choice(idxs, size=add, replace=True) per group that grows, in group order.
nb::object duplicated_rows(nb::handle np, nb::handle rng, const RowsByGroup &groups, int64_t n_max, nb::handle target) {
    nb::object rows = np.attr("empty")(groups.rows.size(), "dtype"_a = "int64");
    std::copy(groups.rows.begin(), groups.rows.end(), duv::ArrayView(rows, true).vector<int64_t>());
    std::vector<nb::object> dups((size_t)groups.count());
    int64_t total = 0;
    for (int64_t g = 0; g < groups.count(); ++g) {
        const int64_t begin = groups.offsets[(size_t)g], n_g = groups.size(g);
        total += n_g;
        if (n_g >= n_max) continue;
        nb::object size = nb::int_(n_g);
        nb::object add = duv::steal_checked(
            PyNumber_Subtract(duv::compare(size, target, Py_GE) ? size.ptr() : target.ptr(), size.ptr()));
        if (!duv::compare(add, nb::int_(0), Py_GT)) continue;
        nb::object idxs =
            item(rows, duv::steal_checked(PySlice_New(nb::int_(begin).ptr(), nb::int_(begin + n_g).ptr(), nullptr)));
        nb::object dup = rng.attr("choice")(idxs, "size"_a = add, "replace"_a = true);
        dups[(size_t)g] = np.attr("ascontiguousarray")(dup, "dtype"_a = "int64");
        total += nb::len(dups[(size_t)g]);
    }
    nb::object out = np.attr("empty")(total, "dtype"_a = "int64");
    int64_t *dst = duv::ArrayView(out, true).vector<int64_t>();
    for (int64_t g = 0; g < groups.count(); ++g) {
        dst = std::copy(groups.rows.begin() + groups.offsets[(size_t)g],
                        groups.rows.begin() + groups.offsets[(size_t)g + 1], dst);
        if (!dups[(size_t)g].is_valid()) continue;
        duv::ArrayView dup(dups[(size_t)g]);
        const int64_t *d = dup.vector<int64_t>();
        dst = std::copy(d, d + dup.shape(0), dst);
    }
    return np.attr("asarray")(out, "dtype"_a = duv::int_type());
}

// aug_indices[order]: the two row selections of the shuffled result taken at once, written over
// `order` when nothing else holds it. `narrow`: the rows are for the package's own gathers, which
// take them as int32 when they fit (half the memory beside the output).
nb::object permuted(nb::handle np, nb::handle aug_indices, nb::object order, bool narrow) {
    duv::ArrayView a(aug_indices), o(order, true);
    const int64_t *ai = a ? a.vector<int64_t>() : nullptr;
    int64_t *oi = o ? o.vector<int64_t>() : nullptr;
    const int64_t n = ai ? a.shape(0) : 0;
    bool within = ai && oi && o.shape(0) == n;
    for (int64_t k = 0; within && k < n; ++k) within = oi[k] >= 0 && oi[k] < n;
    if (!within) {
        o.release();
        return item(aug_indices, order);
    }
    int64_t top = 0;
    for (int64_t k = 0; narrow && k < n; ++k) top = std::max(top, ai[k]);
    if (narrow && n <= INT32_MAX && top <= INT32_MAX) {
        nb::object out = np.attr("empty")(n, "dtype"_a = "int32");
        duv::ArrayView view(out, true);
        int32_t *dst = view.vector<int32_t>();
        duv::run_unlocked([&] { duv::kernels::compose(ai, oi, n, dst); });
        return out;
    }
    // Held: `order` here and the view.
    if (duv::compare(order.attr("dtype"), aug_indices.attr("dtype"), Py_EQ) && aug::is_private_array(order, 2)) {
        duv::run_unlocked([&] { duv::kernels::compose(ai, oi, n, oi); });
        return order;
    }
    nb::object out = np.attr("empty")(n, "dtype"_a = aug_indices.attr("dtype"));
    duv::ArrayView view(out, true);
    int64_t *dst = view.vector<int64_t>();
    duv::run_unlocked([&] { duv::kernels::compose(ai, oi, n, dst); });
    return out;
}

// `X.iloc[rows]` for pandas objects, `X_arr[rows]` otherwise. When `rows` stands for two
// selections (shuffled), a shallow copy drops the link that pandas before 3.0 keeps from a
// taken frame to its source for chained-assignment warnings: the two-step result links only
// to the intermediate frame, which is gone.
nb::object rows_of(nb::handle np, nb::handle original, bool frame, nb::handle validated, nb::handle rows, bool merged) {
    if (!frame) return aug::take_rows(np, validated, rows);
    nb::object taken = item(original.attr("iloc"), rows);
    return merged ? taken.attr("copy")("deep"_a = false) : taken;
}

nb::object category_balance_augment(const duv::Globals &g, const AugmentArgs &a) {
    nb::object np = g["np"];
    nb::object X_arr, y_arr, rng, rows;
    {
        RowKeys keys = resolve_keys(g, a.X, a.columns);
        auto Xy = duv::unpack(g["check_X_y"](a.X, a.y, "multi_output"_a = true, "dtype"_a = nb::none(),
                                             "ensure_all_finite"_a = "allow-nan"),
                              2);
        X_arr = std::move(Xy[0]);
        y_arr = std::move(Xy[1]);
        nb::object n_samples = nb::object(X_arr.attr("shape"))[0];
        rng = g["check_random_state"](a.random_state);
        const bool generate = generate_mode(a.sample_weight_mode);
        RowsByGroup groups = group_indices(g, keys);
        const int64_t n_max = cat::largest_group(groups);
        nb::object target = cat::target_size(np, n_max, a.balance_strength);
        if (generate) {
            nb::object w = cat::balancing_weights(np, groups, nb::cast<Py_ssize_t>(n_samples), n_max, target);
            return with_generated_weights(np, X_arr, y_arr, n_samples, w, a.sample_weight);
        }
        rows = duplicated_rows(np, rng, groups, n_max, target);
    }  // the keys and groups go before the output comes
    // Frames are taken by iloc: their validated arrays are not needed any more.
    const bool X_frame = duv::has_attr(a.X, "iloc"), y_frame = duv::has_attr(a.y, "iloc");
    if (X_frame) X_arr = nb::object();
    if (y_frame) y_arr = nb::object();
    const bool shuffle = duv::truthy(a.shuffle);
    if (shuffle) {
        nb::object order = rng.attr("permutation")(nb::len(rows));
        rows = permuted(np, rows, std::move(order), !X_frame && !y_frame);
    }
    nb::object X_aug = rows_of(np, a.X, X_frame, X_arr, rows, shuffle);
    X_arr = nb::object();
    nb::object y_aug = rows_of(np, a.y, y_frame, y_arr, rows, shuffle);
    return nb::make_tuple(X_aug, y_aug, nb::none());
}

// `col_names, col_idxs, _ = _resolve_columns_and_groups(X, self.columns)`
std::vector<nb::object> resolved_columns(const duv::Globals &g, nb::handle X, nb::handle columns) {
    nb::object resolve = g["_resolve_columns_and_groups"];
    if (!cat::is_built_resolve(resolve)) return duv::unpack(resolve(X, columns), 3);
    cat::Selection s = cat::select_columns(g, X, columns);
    RowKeys::of(g, s.values, s.n_samples);  // its NaN tests raise what the keys would
    return {s.column_names, s.column_indexes, nb::none()};
}

// Step 5 of the regressor: X_aug without the balancing columns in generate mode; X_aug
// itself (and no removed positions) when there are none or removing them fails.
std::pair<nb::object, nb::object> without_balancing_columns(nb::handle np, nb::handle self, nb::handle X_aug) {
    nb::object self_mode = self.attr("sample_weight_mode");
    if (!duv::truthy(duv::richcompare(self_mode, nb::str("generate"), Py_EQ)) ||
        !duv::truthy(self.attr("column_indexes_")))
        return {nb::borrow(X_aug), nb::none()};
    try {
        nb::object X_fit;
        if (duv::has_attr(X_aug, "drop") && !self.attr("column_names_").is_none())
            X_fit = X_aug.attr("drop")("columns"_a = self.attr("column_names_"));
        else
            X_fit = without_columns(np.attr("asarray")(X_aug), self.attr("column_indexes_"));
        return {X_fit, nb::tuple(self.attr("column_indexes_"))};
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return {nb::borrow(X_aug), nb::none()};
    }
}

nb::object fit(const duv::Globals &g, const aug::FitWithParamsArgs &a, bool regressor) {
    nb::handle self = a.self;
    duv::check_feature_names(self, a.X, true);
    auto Xy = duv::unpack(g["check_X_y"](a.X, a.y, "multi_output"_a = regressor, "dtype"_a = nb::none(),
                                         "ensure_all_finite"_a = "allow-nan"),
                          2);
    self.attr("n_features_in_") = nb::object(Xy[0].attr("shape"))[1];
    std::vector<nb::object> columns = resolved_columns(g, a.X, self.attr("columns"));
    self.attr("column_names_") = columns[0];
    self.attr("column_indexes_") = columns[1];
    auto augmented = duv::unpack(
        g["category_balance_augment"](
            a.X, a.y, "columns"_a = self.attr("columns"), "balance_strength"_a = self.attr("balance_strength"),
            "shuffle"_a = self.attr("shuffle"), "random_state"_a = self.attr("random_state"),
            "sample_weight"_a = a.sample_weight, "sample_weight_mode"_a = self.attr("sample_weight_mode")),
        3);
    nb::object X_aug = augmented[0], y_aug = augmented[1], sw_aug = augmented[2];
    auto [X_fit, removed] = regressor ? without_balancing_columns(g["np"], self, X_aug)
                                      : std::pair<nb::object, nb::object>{X_aug, nb::none()};
    aug::store_augmented(self, X_aug, y_aug);
    const bool weighted =
        duv::truthy(duv::richcompare(self.attr("sample_weight_mode"), nb::str("generate"), Py_EQ)) && !sw_aug.is_none();
    nb::object est =
        aug::fit_clone(g, self, weighted ? X_fit : X_aug, y_aug, weighted ? sw_aug : nb::none(), a.fit_params);
    if (regressor) self.attr(kRemovedColumns) = weighted ? removed : nb::none();
    self.attr("estimator_") = est;
    return nb::borrow(self);
}

nb::object fit_regressor(const duv::Globals &g, const aug::FitWithParamsArgs &a) { return fit(g, a, true); }
nb::object fit_classifier(const duv::Globals &g, const aug::FitWithParamsArgs &a) { return fit(g, a, false); }

nb::object check_fitted(const duv::Globals &g, nb::handle self) {
    return g["check_is_fitted"](self, "attributes"_a = duv::list_of("estimator_"));
}

// The regressor fitted without the balancing columns gets them removed here too.
nb::object predict_regressor(const duv::Globals &g, const aug::PredictArgs &a) {
    check_fitted(g, a.self);
    duv::check_feature_names(a.self, a.X, false);
    nb::object removed = duv::getattr_or_null(a.self, DUV_STR(kRemovedColumns));
    if (removed.is_valid() && duv::truthy(removed))
        return a.self.attr("estimator_").attr("predict")(without_columns(g["np"].attr("asarray")(a.X), removed));
    return a.self.attr("estimator_").attr("predict")(a.X);
}

nb::object predict_classifier(const duv::Globals &g, const aug::PredictArgs &a) {
    check_fitted(g, a.self);
    duv::check_feature_names(a.self, a.X, false);
    return a.self.attr("estimator_").attr("predict")(a.X);
}

void build_class(nb::module_ &m, const char *name, bool regressor) {
    duv::ClassBuilder cls = aug::meta_estimator_class(m, name, regressor);
    cls.init({duv::arg("self"), duv::arg("estimator"), duv::kwonly("columns"),
              duv::kwonly("balance_strength", 1.0).ann(nb::str("float")),
              duv::kwonly("sample_weight_mode", "passthrough").ann(nb::str("str")),
              duv::kwonly("shuffle", true).ann(nb::str("bool")), duv::kwonly("random_state", nb::none()),
              duv::kwonly("store_augmented", false).ann(nb::str("bool"))});
    nb::object built = regressor ? aug::def_fit_predict_and_build(cls, true, fit_regressor, predict_regressor)
                                 : aug::def_fit_predict_and_build(cls, false, fit_classifier, predict_classifier);
    aug::def_sklearn_tags(m, built, aug::InputCheck::AsGiven);
}

void def_category_balance_augment(nb::module_ &m) {
    nb::dict constraints;
    constraints["X"] = duv::list_of("array-like");
    constraints["y"] = duv::list_of("array-like");
    constraints["columns"] = duv::list_of(duv::str_type(), duv::int_type(), "array-like");
    constraints["balance_strength"] = duv::list_of(duv::interval(m, "Real", nb::float_(0.0), "neither"));
    constraints["shuffle"] = duv::list_of("boolean");
    constraints["random_state"] = duv::list_of("random_state");
    constraints["sample_weight_mode"] = duv::list_of(m.attr("StrOptions")(duv::set_of("passthrough", "generate")));
    duv::def_validated(m, "category_balance_augment",
                       {duv::arg("X"), duv::arg("y"), duv::kwonly("columns"),
                        duv::kwonly("balance_strength", 1.0).ann(nb::str("float")),
                        duv::kwonly("shuffle", true).ann(nb::str("bool")), duv::kwonly("random_state", nb::none()),
                        duv::kwonly("sample_weight", nb::none()),
                        duv::kwonly("sample_weight_mode", "passthrough").ann(nb::str("str"))},
                       category_balance_augment, constraints, true);
}

}  // namespace

DUV_MODULE("duv.augmentation._category_balance_augmentation", exec_category_balance_augmentation) {
    duv::from_import(m, "__future__", {"annotations"});
    duv::import_as(m, "numpy", "np");
    duv::from_import(m, "sklearn.base", {"BaseEstimator", "ClassifierMixin", "RegressorMixin", "clone"});
    duv::from_import(m, "sklearn.utils._param_validation", {"Interval", "Real", "StrOptions", "validate_params"});
    duv::from_import(m, "sklearn.utils.validation", {"check_is_fitted", "check_random_state", "check_X_y"});
    duv::from_import(m, "._meta_estimator_mixins", {"UnwrapMetaEstimatorMixin"});

    m.attr("_NAN_GROUP") = duv::steal_checked(PyObject_CallNoArgs(duv::object_type().ptr()));
    duv::def(m, "_as_numpy_2d", {duv::arg("X")}, as_numpy_2d);
    duv::def(m, "_is_nan_scalar", {duv::arg("x")}, is_nan_scalar);
    duv::def(m, "_resolve_columns_and_groups", {duv::arg("X"), duv::arg("columns")}, resolve_columns_and_groups);
    duv::def(m, "_compute_group_indices", {duv::arg("keys")}, compute_group_indices);
    def_category_balance_augment(m);
    build_class(m, "CategoryBalanceAugmentedRegressor", true);
    build_class(m, "CategoryBalanceAugmentedClassifier", false);
    cat::remember_built(m);
}
