#include "duv/interop/klass.hpp"
#include "duv/interop/module.hpp"
#include "duv/interop/module_state.hpp"
#include "duv/interop/util.hpp"

namespace {

DUV_ARGS(SizesArgs, n_hidden_layers, hidden_layer_width, shrink_factor, n_outputs);
DUV_ARGS(FitArgs, self, X, y, args, kwargs);

// The classes, for super() in their methods.
struct MlpState : duv::ModuleState {
    nb::handle regressor, classifier;
};

nb::object compute_linear_scaled_hidden_sizes(const duv::Globals &g, const SizesArgs &a) {
    nb::object np = g["np"];
    nb::object constant_sizes = np.attr("full")(a.n_hidden_layers, a.hidden_layer_width);
    nb::object linear_sizes = np.attr("linspace")(a.hidden_layer_width, a.n_outputs, "num"_a = a.n_hidden_layers);
    nb::object taper = duv::op::sub(nb::int_(1), a.shrink_factor);
    nb::object sizes = duv::op::add(duv::op::mul(taper, constant_sizes), duv::op::mul(a.shrink_factor, linear_sizes));
    sizes = np.attr("maximum")(np.attr("round")(sizes).attr("astype")(duv::int_type()), 1);
    return duv::steal_checked(PySequence_Tuple(sizes.ptr()));
}

// Stores each argument under its parameter's name, in order; right after the layout
// parameters (`last`: shrink_factor, or the regressor's loss) come the loss and the one-layer
// configuration that makes the object a valid perceptron before fitting.
nb::object store_perceptron_params(const duv::RawCall &c, const char *last, nb::handle loss) {
    nb::handle self = c[0];
    for (size_t i = 1; i < c.size(); ++i) {
        duv::check(PyObject_SetAttr(self.ptr(), c.name(i).ptr(), c[i].ptr()) == 0);
        if (PyUnicode_CompareWithASCIIString(c.name(i).ptr(), last) != 0) continue;
        if (loss.is_valid()) self.attr("loss") = loss;
        self.attr("hidden_layer_sizes") = nb::make_tuple(c[2]);  // (hidden_layer_width,)
    }
    return nb::none();
}

nb::object init_regressor(const duv::RawCall &c) { return store_perceptron_params(c, "loss", nb::handle()); }
nb::object init_classifier(const duv::RawCall &c) {
    return store_perceptron_params(c, "shrink_factor", DUV_STR("log_loss"));
}

// A warm start continues the existing network, so its layer sizes (and, for the regressor,
// its outputs) must be those just computed: the base class would hand coefficients of
// another shape to its optimiser.
void check_warm_start(nb::handle self, nb::handle sizes, nb::handle n_outputs, bool regressor) {
    if (!duv::truthy(self.attr("warm_start")) || !duv::has_attr(self, "coefs_")) return;
    nb::list coefs(self.attr("coefs_"));
    auto width = [](nb::handle coef) { return nb::int_(duv::shape_of(coef, 1)); };
    nb::list old_list, new_list;
    for (size_t i = 0; i + 1 < nb::len(coefs); ++i) old_list.append(width(coefs[i]));
    for (nb::handle v : sizes) new_list.append(nb::int_(v));
    nb::object old = nb::tuple(old_list), fresh = nb::tuple(new_list);
    nb::object old_out = width(duv::steal_checked(PySequence_GetItem(coefs.ptr(), -1)));
    if (!duv::compare(old, fresh, Py_NE) && !(regressor && duv::compare(old_out, n_outputs, Py_NE))) return;
    duv::raise_value_error("warm_start cannot continue a network with hidden layer sizes " + duv::format(old) +
                           " and " + duv::format(old_out) + " outputs as one with hidden layer sizes " +
                           duv::format(fresh) + " and " + duv::format(n_outputs) +
                           " outputs; set warm_start=False to train a new network");
}

// The steps after the output count: the sizes, the warm-start check, the attributes, the
// base class's fit with the given data.
nb::object fit_sized(const duv::Globals &g, const FitArgs &a, nb::handle cls, nb::handle X, nb::handle y,
                     nb::handle n_outputs, bool regressor) {
    nb::handle self = a.self;
    nb::object sizes = g["_compute_linear_scaled_hidden_sizes"](
        "n_hidden_layers"_a = self.attr("n_hidden_layers"), "hidden_layer_width"_a = self.attr("hidden_layer_width"),
        "shrink_factor"_a = self.attr("shrink_factor"), "n_outputs"_a = n_outputs);
    check_warm_start(self, sizes, n_outputs, regressor);
    self.attr("hidden_layer_sizes") = sizes;
    self.attr("hidden_layer_sizes_") = self.attr("hidden_layer_sizes");
    if (duv::truthy(self.attr("store_training_data"))) {
        self.attr("X_train_") = X;
        self.attr("y_train_") = y;
    }
    nb::object args = duv::steal_checked(PySequence_Concat(nb::make_tuple(X, y).ptr(), a.args.ptr()));
    nb::object fit = duv::super_of(cls, self).attr("fit");
    return duv::steal_checked(PyObject_Call(fit.ptr(), args.ptr(), a.kwargs.ptr()));
}

nb::object fit_regressor(const duv::Globals &g, const FitArgs &a) {
    auto Xy = duv::unpack(a.self.attr("_validate_input")(a.X, a.y, "incremental"_a = false, "reset"_a = true), 2);
    const nb::object &X = Xy[0], &y = Xy[1];
    nb::object n_outputs = nb::cast<int>(y.attr("ndim")) == 1 ? nb::object(nb::int_(1)) : duv::shape_of(y, 1);
    return fit_sized(g, a, g.state<MlpState>().regressor, X, y, n_outputs, true);
}

nb::object fit_classifier(const duv::Globals &g, const FitArgs &a) {
    nb::object np = g["np"];
    nb::object y_arr = np.attr("asarray")(a.y);
    // A column vector holds one label per row, as the base class reads it.
    if (nb::cast<int>(y_arr.attr("ndim")) == 2 && duv::compare(duv::shape_of(y_arr, 1), nb::int_(1), Py_EQ))
        y_arr = duv::getitem(y_arr, nb::make_tuple(duv::full_slice(), 0));
    nb::object n_outputs;
    if (nb::cast<int>(y_arr.attr("ndim")) == 1) {
        nb::object n_classes = np.attr("unique")(y_arr).attr("size");
        n_outputs =
            duv::compare(n_classes, nb::int_(2), Py_LE) ? nb::object(nb::int_(1)) : nb::object(nb::int_(n_classes));
    } else {
        n_outputs = nb::int_(duv::shape_of(y_arr, 1));
    }
    return fit_sized(g, a, g.state<MlpState>().classifier, a.X, a.y, n_outputs, false);
}

// The constructor's parameters: the layout ones positional, then (the regressor's loss and)
// the base perceptron's, keyword-only, with its defaults.
std::vector<duv::Param> init_params(bool regressor) {
    std::vector<duv::Param> p{duv::arg("self"), duv::arg("n_hidden_layers", 1), duv::arg("hidden_layer_width", 100),
                              duv::arg("shrink_factor", 1.0)};
    if (regressor) p.push_back(duv::kwonly("loss", "squared_error"));
    for (const duv::Param &q : {duv::kwonly("activation", "relu"),
                                duv::kwonly("solver", "adam"),
                                duv::kwonly("alpha", 0.0001),
                                duv::kwonly("batch_size", "auto"),
                                duv::kwonly("learning_rate", "constant"),
                                duv::kwonly("learning_rate_init", 0.001),
                                duv::kwonly("power_t", 0.5),
                                duv::kwonly("max_iter", 200),
                                duv::kwonly("shuffle", true),
                                duv::kwonly("random_state", nb::none()),
                                duv::kwonly("tol", 0.0001),
                                duv::kwonly("verbose", false),
                                duv::kwonly("warm_start", false),
                                duv::kwonly("momentum", 0.9),
                                duv::kwonly("nesterovs_momentum", true),
                                duv::kwonly("early_stopping", false),
                                duv::kwonly("validation_fraction", 0.1),
                                duv::kwonly("beta_1", 0.9),
                                duv::kwonly("beta_2", 0.999),
                                duv::kwonly("epsilon", 1e-08),
                                duv::kwonly("n_iter_no_change", 10),
                                duv::kwonly("max_fun", 15000),
                                duv::kwonly("store_training_data", false)})
        p.push_back(q);
    return p;
}

std::vector<duv::Param> fit_params() {
    return {duv::arg("self"), duv::arg("X"), duv::arg("y"), duv::varargs("args"), duv::varkw("kwargs")};
}

}  // namespace

DUV_MODULE("duv.neural_network._linear_scaling_mlp", exec_linear_scaling_mlp) {
    duv::import_as(m, "numpy", "np");
    duv::from_import(m, "sklearn.neural_network", {"MLPClassifier", "MLPRegressor"});
    MlpState &st = duv::make_state<MlpState>(m);

    duv::def(m, "_compute_linear_scaled_hidden_sizes",
             {duv::arg("n_hidden_layers").ann(duv::int_type()), duv::arg("hidden_layer_width").ann(duv::int_type()),
              duv::arg("shrink_factor").ann(duv::float_type()), duv::arg("n_outputs").ann(duv::int_type())},
             compute_linear_scaled_hidden_sizes);

    duv::ClassBuilder regressor(m, "LinearScalingMLPRegressor", {m.attr("MLPRegressor")});
    regressor.def("__init__", init_params(true), init_regressor);
    regressor.def("fit", fit_params(), fit_regressor);
    st.regressor = st.keep(regressor.build());

    duv::ClassBuilder classifier(m, "LinearScalingMLPClassifier", {m.attr("MLPClassifier")});
    classifier.def("__init__", init_params(false), init_classifier);
    classifier.def("fit", fit_params(), fit_classifier);
    st.classifier = st.keep(classifier.build());
}
