#include "duv/augmentation/arrays.hpp"
#include "duv/augmentation/balanced_rows.hpp"
#include "duv/augmentation/meta_estimator.hpp"
#include "duv/interop/capi.hpp"
#include "duv/interop/module.hpp"
#include "duv/interop/sklearn.hpp"
#include "duv/interop/unlocked.hpp"
#include "duv/interop/util.hpp"
#include "duv/kernels/gather.hpp"
#include "duv/tabular/category_groups.hpp"

#include <algorithm>

namespace {

namespace aug = duv::augmentation;
namespace tab = duv::tabular;
using tab::RowKeys;
using tab::RowsByGroup;

DUV_ARGS(AsNumpyArgs, X);
DUV_ARGS(IsNanArgs, x);
DUV_ARGS(ResolveArgs, X, columns);
DUV_ARGS(ComputeArgs, keys);
DUV_ARGS(AugmentArgs, X, y, columns, balance_strength, shuffle, random_state, sample_weight, sample_weight_mode);

struct CategoryState : tab::GroupingState {
    duv::OptionTable options{};
};

// Remembered by the regressor's fit beside estimator_: the column positions it removed
// before the inner fit (None when it removed none), which predict removes as well.
const char *const kRemovedColumns = "_removed_column_indexes";

// `X[:, [i for i in range(X.shape[1]) if i not in removed]]`
nb::object without_columns(nb::handle X, nb::handle removed) {
    const Py_ssize_t width = PyNumber_AsSsize_t(duv::shape_of(X, 1).ptr(), PyExc_OverflowError);
    duv::check(width != -1 || !PyErr_Occurred());
    nb::list keep;
    for (Py_ssize_t i = 0; i < width; ++i) {
        nb::object index = nb::int_(i);
        const int contained = PySequence_Contains(removed.ptr(), index.ptr());
        duv::check(contained >= 0);
        if (!contained) keep.append(index);
    }
    return duv::getitem(X, nb::make_tuple(duv::full_slice(), keep));
}

nb::object as_numpy_2d(const duv::Globals &g, const AsNumpyArgs &a) {
    return duv::vector_as_column(g["np"].attr("asarray")(a.X));
}

nb::object is_nan_scalar(const IsNanArgs &a) { return tab::is_nan_scalar(a.x); }

nb::object resolve_columns_and_groups(const duv::Globals &g, const ResolveArgs &a) {
    tab::Selection s = tab::select_columns(g, a.X, a.columns);
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
        duv::check(PyList_Append(idxs.ptr(), nb::int_(i++).ptr()) == 0);
    }
    return groups;
}

// Whether the module's helpers are as imported: the keys are then made and grouped here.
bool own_helpers(const duv::Globals &g) { return g.state<CategoryState>().helpers.intact(g); }

// `keys = _resolve_columns_and_groups(X, columns)[2]`
RowKeys resolved_keys(const duv::Globals &g, bool own, nb::handle X, nb::handle columns) {
    if (!own) return RowKeys::given(duv::unpack(g["_resolve_columns_and_groups"](X, columns), 3)[2]);
    tab::Selection s = tab::select_columns(g, X, columns);
    return RowKeys::of(g, s.values, s.n_samples);
}

// `X.iloc[rows]` for pandas objects, `X_arr[rows]` otherwise. When `rows` stands for two
// selections (shuffled), a shallow copy drops the link that pandas before 3.0 keeps from a
// taken frame to its source for chained-assignment warnings: the two-step result links only
// to the intermediate frame, which is gone.
nb::object rows_of(nb::handle np, nb::handle original, bool frame, nb::handle validated, nb::handle rows, bool merged) {
    if (!frame) return aug::take_rows(np, validated, rows);
    nb::object taken = duv::getitem(original.attr("iloc"), rows);
    return merged ? taken.attr("copy")("deep"_a = false) : taken;
}

nb::object category_balance_augment(const duv::Globals &g, const AugmentArgs &a) {
    nb::object np = g["np"];
    const bool own = own_helpers(g);
    nb::object X_arr, y_arr, rng, rows;
    {
        RowKeys keys = resolved_keys(g, own, a.X, a.columns);
        auto Xy = duv::unpack(g["check_X_y"](a.X, a.y, "multi_output"_a = true, "dtype"_a = nb::none(),
                                             "ensure_all_finite"_a = "allow-nan"),
                              2);
        X_arr = std::move(Xy[0]);
        y_arr = std::move(Xy[1]);
        nb::object n_samples = duv::shape_of(X_arr, 0);
        rng = g["check_random_state"](a.random_state);
        const bool generate = aug::sample_weight_mode_is(a.sample_weight_mode, "generate");
        // `group_to_indices = _compute_group_indices(keys)`
        RowsByGroup groups = own ? keys.groups() : tab::groups_of_dict(g["_compute_group_indices"](keys.array(g)));
        const int64_t n_max = tab::largest_group(groups);
        nb::object target = tab::target_size(np, n_max, a.balance_strength);
        if (generate) {
            // The data as validated, with the balancing weights times the caller's weights.
            nb::object w = tab::balancing_weights(np, groups, nb::cast<Py_ssize_t>(n_samples), n_max, target);
            if (!a.sample_weight.is_none()) {
                nb::object sw = np.attr("asarray")(a.sample_weight, "dtype"_a = duv::float_type());
                w = duv::op::mul(w, aug::checked_sample_weight(np, sw, n_samples));
            }
            return nb::make_tuple(X_arr, y_arr, w);
        }
        rows = aug::duplicated_rows(np, rng, groups, n_max, target);
    }  // the keys and groups go before the output comes
    // Frames are taken by iloc: their validated arrays are not needed any more.
    const bool X_frame = duv::has_attr(a.X, "iloc"), y_frame = duv::has_attr(a.y, "iloc");
    if (X_frame) X_arr = nb::object();
    if (y_frame) y_arr = nb::object();
    const bool shuffle = duv::truthy(a.shuffle);
    if (shuffle) {
        nb::object order = rng.attr("permutation")(nb::len(rows));
        rows = aug::permuted(np, rows, std::move(order), !X_frame && !y_frame);
    }
    nb::object X_aug = rows_of(np, a.X, X_frame, X_arr, rows, shuffle);
    X_arr = nb::object();
    nb::object y_aug = rows_of(np, a.y, y_frame, y_arr, rows, shuffle);
    return nb::make_tuple(X_aug, y_aug, nb::none());
}

// ---- meta-estimators ---------------------------------------------------------------------

// `col_names, col_idxs, _ = _resolve_columns_and_groups(X, self.columns)`
std::vector<nb::object> resolved_columns(const duv::Globals &g, nb::handle X, nb::handle columns) {
    if (!own_helpers(g)) return duv::unpack(g["_resolve_columns_and_groups"](X, columns), 3);
    tab::Selection s = tab::select_columns(g, X, columns);
    RowKeys::of(g, s.values, s.n_samples);  // its NaN tests raise what the keys would
    return {s.column_names, s.column_indexes, nb::none()};
}

bool generates_weights(nb::handle self) { return duv::equals(self.attr("sample_weight_mode"), "generate"); }

// The regressor's X_aug without the balancing columns in generate mode; X_aug itself (and no
// removed positions) when there are none or removing them fails.
std::pair<nb::object, nb::object> without_balancing_columns(nb::handle np, nb::handle self, nb::handle X_aug) {
    if (!generates_weights(self) || !duv::truthy(self.attr("column_indexes_"))) return {nb::borrow(X_aug), nb::none()};
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

template <unsigned Surface> nb::object fit(const duv::Globals &g, const aug::FitWithParamsArgs &a) {
    nb::handle self = a.self;
    const bool regressor = Surface == duv::kRegressor;
    duv::check_feature_names(self, a.X, true);
    auto Xy = duv::unpack(g["check_X_y"](a.X, a.y, "multi_output"_a = regressor, "dtype"_a = nb::none(),
                                         "ensure_all_finite"_a = "allow-nan"),
                          2);
    self.attr("n_features_in_") = duv::shape_of(Xy[0], 1);
    std::vector<nb::object> columns = resolved_columns(g, a.X, self.attr("columns"));
    self.attr("column_names_") = columns[0];
    self.attr("column_indexes_") = columns[1];
    nb::dict options = g.state<CategoryState>().options.forwarded(Surface, self);
    options["sample_weight"] = a.sample_weight;
    auto augmented = duv::unpack(duv::call_with(g["category_balance_augment"], nb::make_tuple(a.X, a.y), options), 3);
    nb::object X_aug = augmented[0], y_aug = augmented[1], sw_aug = augmented[2];
    auto [X_fit, removed] = regressor ? without_balancing_columns(g["np"], self, X_aug)
                                      : std::pair<nb::object, nb::object>{X_aug, nb::none()};
    aug::store_augmented(self, X_aug, y_aug);
    const bool weighted = generates_weights(self) && !sw_aug.is_none();
    nb::object est =
        aug::fit_clone(g, self, weighted ? X_fit : X_aug, y_aug, weighted ? sw_aug : nb::none(), a.fit_params);
    if (regressor) self.attr(kRemovedColumns) = weighted ? removed : nb::none();
    self.attr("estimator_") = est;
    return nb::borrow(self);
}

// check_is_fitted(self, attributes=["estimator_"]) and the feature names, then the inner predict;
// the regressor fitted without the balancing columns gets them removed here too.
template <bool Regressor> nb::object predict(const duv::Globals &g, const aug::PredictArgs &a) {
    g["check_is_fitted"](a.self, "attributes"_a = duv::list_of("estimator_"));
    duv::check_feature_names(a.self, a.X, false);
    nb::object removed = Regressor ? duv::getattr_or_null(a.self, DUV_STR(kRemovedColumns)) : nb::object();
    if (removed.is_valid() && duv::truthy(removed))
        return a.self.attr("estimator_").attr("predict")(without_columns(g["np"].attr("asarray")(a.X), removed));
    return a.self.attr("estimator_").attr("predict")(a.X);
}

duv::OptionTable family_options(nb::module_ &m) {
    // Every option is keyword-only, after the data or the estimator.
    auto option = [](const char *name, auto value) { return duv::option(name, value).keyword_only(); };
    return duv::OptionTable{
        duv::Option::required("columns").keyword_only().constraint(
            duv::list_of(duv::str_type(), duv::int_type(), "array-like")),
        option("balance_strength", 1.0)
            .ann(nb::str("float"))
            .constraint(duv::list_of(duv::interval(m, "Real", nb::float_(0.0), "neither"))),
        option("shuffle", true).ann(nb::str("bool")).constraint(duv::list_of("boolean")),
        option("random_state", nb::none()).constraint(duv::list_of("random_state")),
        option("sample_weight", nb::none()).on(duv::kFunction),
        option("sample_weight_mode", "passthrough")
            .ann(nb::str("str"))
            .constraint(duv::list_of(m.attr("StrOptions")(duv::set_of("passthrough", "generate")))),
        option("store_augmented", false).ann(nb::str("bool")).on(duv::kEstimators).not_forwarded(),
    };
}

// The classes set no _parameter_constraints, and list the options in another order.
void build_classes(nb::module_ &m, const duv::OptionTable &options) {
    for (auto [name, surface] : {std::pair{"CategoryBalanceAugmentedRegressor", duv::kRegressor},
                                 std::pair{"CategoryBalanceAugmentedClassifier", duv::kClassifier}}) {
        duv::ClassBuilder cls = aug::meta_estimator_class(m, name, surface == duv::kRegressor);
        cls.init(options.params_in_order(
            surface, {duv::arg("self"), duv::arg("estimator")},
            {"columns", "balance_strength", "sample_weight_mode", "shuffle", "random_state", "store_augmented"}));
        const bool regressor = surface == duv::kRegressor;
        nb::object built =
            aug::def_fit_predict_and_build(cls, regressor, regressor ? fit<duv::kRegressor> : fit<duv::kClassifier>,
                                           regressor ? predict<true> : predict<false>);
        aug::def_sklearn_tags(m, built, aug::InputCheck::AsGiven);
    }
}

}  // namespace

DUV_MODULE("duv.augmentation._category_balance_augmentation", exec_category_balance_augmentation) {
    duv::from_import(m, "__future__", {"annotations"});
    duv::import_as(m, "numpy", "np");
    duv::from_import(m, "sklearn.base", {"BaseEstimator", "ClassifierMixin", "RegressorMixin", "clone"});
    duv::from_import(m, "sklearn.utils._param_validation", {"Interval", "Real", "StrOptions", "validate_params"});
    duv::from_import(m, "sklearn.utils.validation", {"check_is_fitted", "check_random_state", "check_X_y"});
    duv::from_import(m, "._meta_estimator_mixins", {"UnwrapMetaEstimatorMixin"});

    CategoryState &st = duv::make_state<CategoryState>(m);
    st.options = family_options(m);
    m.attr("_NAN_GROUP") = duv::steal_checked(PyObject_CallNoArgs(duv::object_type().ptr()));
    duv::def(m, "_as_numpy_2d", {duv::arg("X")}, as_numpy_2d);
    duv::def(m, "_is_nan_scalar", {duv::arg("x")}, is_nan_scalar);
    duv::def(m, "_resolve_columns_and_groups", {duv::arg("X"), duv::arg("columns")}, resolve_columns_and_groups);
    duv::def(m, "_compute_group_indices", {duv::arg("keys")}, compute_group_indices);
    aug::def_family_function(m, "category_balance_augment", st.options, category_balance_augment);
    build_classes(m, st.options);
    st.helpers.take(m);
}
