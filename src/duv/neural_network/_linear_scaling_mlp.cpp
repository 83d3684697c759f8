#include "duv/interop/klass.hpp"
#include "duv/interop/module.hpp"
#include "duv/interop/util.hpp"

namespace {

DUV_ARGS(SizesArgs, n_hidden_layers, hidden_layer_width, shrink_factor, n_outputs);
DUV_ARGS(RegressorInitArgs, self, n_hidden_layers, hidden_layer_width, shrink_factor, loss, activation, solver, alpha,
         batch_size, learning_rate, learning_rate_init, power_t, max_iter, shuffle, random_state, tol, verbose,
         warm_start, momentum, nesterovs_momentum, early_stopping, validation_fraction, beta_1, beta_2, epsilon,
         n_iter_no_change, max_fun, store_training_data);
DUV_ARGS(ClassifierInitArgs, self, n_hidden_layers, hidden_layer_width, shrink_factor, activation, solver, alpha,
         batch_size, learning_rate, learning_rate_init, power_t, max_iter, shuffle, random_state, tol, verbose,
         warm_start, momentum, nesterovs_momentum, early_stopping, validation_fraction, beta_1, beta_2, epsilon,
         n_iter_no_change, max_fun, store_training_data);
DUV_ARGS(FitArgs, self, X, y, args, kwargs);

// Module state: the classes, for super() in their methods.
struct State {
    PyObject *regressor = nullptr, *classifier = nullptr;
};
State S;

nb::object compute_linear_scaled_hidden_sizes(const duv::Globals &g, const SizesArgs &a) {
    nb::object np = g["np"];
    nb::object constant_sizes = np.attr("full")(a.n_hidden_layers, a.hidden_layer_width);
    nb::object linear_sizes = np.attr("linspace")(a.hidden_layer_width, a.n_outputs, "num"_a = a.n_hidden_layers);
    auto binary = [](binaryfunc op, nb::handle x, nb::handle y) { return duv::steal_checked(op(x.ptr(), y.ptr())); };
    nb::object taper = binary(PyNumber_Subtract, nb::int_(1), a.shrink_factor);
    nb::object sizes = binary(PyNumber_Add, binary(PyNumber_Multiply, taper, constant_sizes),
                              binary(PyNumber_Multiply, a.shrink_factor, linear_sizes));
    sizes = np.attr("maximum")(np.attr("round")(sizes).attr("astype")(duv::int_type()), 1);
    return duv::steal_checked(PySequence_Tuple(sizes.ptr()));
}

// The parameters both perceptrons store after their layout ones, in order.
template <typename A> void store_training_parameters(const A &a) {
    nb::handle self = a.self;
    self.attr("activation") = a.activation;
    self.attr("solver") = a.solver;
    self.attr("alpha") = a.alpha;
    self.attr("batch_size") = a.batch_size;
    self.attr("learning_rate") = a.learning_rate;
    self.attr("learning_rate_init") = a.learning_rate_init;
    self.attr("power_t") = a.power_t;
    self.attr("max_iter") = a.max_iter;
    self.attr("shuffle") = a.shuffle;
    self.attr("random_state") = a.random_state;
    self.attr("tol") = a.tol;
    self.attr("verbose") = a.verbose;
    self.attr("warm_start") = a.warm_start;
    self.attr("momentum") = a.momentum;
    self.attr("nesterovs_momentum") = a.nesterovs_momentum;
    self.attr("early_stopping") = a.early_stopping;
    self.attr("validation_fraction") = a.validation_fraction;
    self.attr("beta_1") = a.beta_1;
    self.attr("beta_2") = a.beta_2;
    self.attr("epsilon") = a.epsilon;
    self.attr("n_iter_no_change") = a.n_iter_no_change;
    self.attr("max_fun") = a.max_fun;
    self.attr("store_training_data") = a.store_training_data;
}

// The layout parameters, the loss, then the one-layer configuration that makes the object a
// valid perceptron before fitting.
template <typename A> void store_layout(const A &a, nb::handle loss) {
    nb::handle self = a.self;
    self.attr("n_hidden_layers") = a.n_hidden_layers;
    self.attr("hidden_layer_width") = a.hidden_layer_width;
    self.attr("shrink_factor") = a.shrink_factor;
    self.attr("loss") = loss;
    self.attr("hidden_layer_sizes") = nb::make_tuple(a.hidden_layer_width);
}

nb::object init_regressor(const RegressorInitArgs &a) {
    store_layout(a, a.loss);
    store_training_parameters(a);
    return nb::none();
}

nb::object init_classifier(const ClassifierInitArgs &a) {
    store_layout(a, nb::str("log_loss"));
    store_training_parameters(a);
    return nb::none();
}

// A warm start continues the existing network, so its layer sizes (and, for the regressor,
// its outputs) must be those just computed: the base class would hand coefficients of
// another shape to its optimiser.
void check_warm_start(nb::handle self, nb::handle sizes, nb::handle n_outputs, bool regressor) {
    if (!duv::truthy(self.attr("warm_start")) || !duv::has_attr(self, "coefs_")) return;
    nb::list coefs(self.attr("coefs_"));
    auto width = [](nb::handle coef) { return nb::int_(nb::object(coef.attr("shape"))[1]); };
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
nb::object fit_sized(const duv::Globals &g, const FitArgs &a, PyObject *cls, nb::handle X, nb::handle y,
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
    nb::object n_outputs =
        nb::cast<int>(y.attr("ndim")) == 1 ? nb::object(nb::int_(1)) : nb::object(nb::object(y.attr("shape"))[1]);
    return fit_sized(g, a, S.regressor, X, y, n_outputs, true);
}

nb::object fit_classifier(const duv::Globals &g, const FitArgs &a) {
    nb::object np = g["np"];
    nb::object y_arr = np.attr("asarray")(a.y);
    // A column vector holds one label per row, as the base class reads it.
    if (nb::cast<int>(y_arr.attr("ndim")) == 2 && duv::compare(nb::object(y_arr.attr("shape"))[1], nb::int_(1), Py_EQ))
        y_arr = y_arr[nb::make_tuple(duv::full_slice(), 0)];
    nb::object n_outputs;
    if (nb::cast<int>(y_arr.attr("ndim")) == 1) {
        nb::object n_classes = np.attr("unique")(y_arr).attr("size");
        n_outputs =
            duv::compare(n_classes, nb::int_(2), Py_LE) ? nb::object(nb::int_(1)) : nb::object(nb::int_(n_classes));
    } else {
        n_outputs = nb::int_(nb::object(y_arr.attr("shape"))[1]);
    }
    return fit_sized(g, a, S.classifier, a.X, a.y, n_outputs, false);
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

    duv::def(m, "_compute_linear_scaled_hidden_sizes",
             {duv::arg("n_hidden_layers").ann(duv::int_type()), duv::arg("hidden_layer_width").ann(duv::int_type()),
              duv::arg("shrink_factor").ann(duv::float_type()), duv::arg("n_outputs").ann(duv::int_type())},
             compute_linear_scaled_hidden_sizes);

    duv::ClassBuilder regressor(m, "LinearScalingMLPRegressor", {m.attr("MLPRegressor")});
    regressor.def("__init__", init_params(true), init_regressor);
    regressor.def("fit", fit_params(), fit_regressor);
    S.regressor = regressor.build().release().ptr();

    duv::ClassBuilder classifier(m, "LinearScalingMLPClassifier", {m.attr("MLPClassifier")});
    classifier.def("__init__", init_params(false), init_classifier);
    classifier.def("fit", fit_params(), fit_classifier);
    S.classifier = classifier.build().release().ptr();
}
