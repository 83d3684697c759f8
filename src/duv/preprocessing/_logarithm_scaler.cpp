#include "duv/interop/capi.hpp"
#include "duv/interop/klass.hpp"
#include "duv/interop/module.hpp"
#include "duv/interop/sklearn.hpp"
#include "duv/interop/tags.hpp"
#include "duv/interop/util.hpp"
#include "duv/preprocessing/fused_logarithms.hpp"

namespace {

using namespace duv::preprocessing;

DUV_ARGS(InitArgs, self, mode, inverted, eps, vmin);
DUV_ARGS(FitArgs, self, X, y);
DUV_ARGS(SelfArgs, self);
DUV_ARGS(ForwardArgs, self, Z);
DUV_ARGS(TransformArgs, self, X);

// `self.mode` as `_forward` and `inverse_transform` test it: equality with "log10", then
// "log"; anything else means "log1p".
Map map_of(nb::handle mode) {
    if (duv::equals(mode, "log10")) return kLog10;
    if (duv::equals(mode, "log")) return kLog;
    return kLog1p;
}

nb::object init(const InitArgs &a) {
    a.self.attr("mode") = a.mode;
    a.self.attr("inverted") = a.inverted;
    a.self.attr("eps") = a.eps;
    a.self.attr("vmin") = a.vmin;
    return nb::none();
}

nb::object validated_X(const duv::Globals &g, nb::handle X) {
    return g["check_array"](X, "ensure_2d"_a = true, "dtype"_a = duv::float_type(), "ensure_all_finite"_a = false);
}

nb::object fit(const duv::Globals &g, const FitArgs &a) {
    // The constraints the constructor checks, on the parameters as they are now.
    nb::object constraints = g["LogarithmScaler"].attr("__init__").attr("_skl_parameter_constraints");
    duv::revalidate_params(a.self, constraints, "LogarithmScaler.__init__");
    duv::check_feature_names(a.self, a.X, true);
    nb::object X = validated_X(g, a.X);
    a.self.attr("n_features_in_") = duv::shape_of(X, 1);
    return nb::borrow(a.self);
}

// The checks shared by transform and inverse_transform (which does not check feature names);
// returns the validated X.
nb::object checked_X(const duv::Globals &g, nb::handle self, nb::handle X_in, bool feature_names) {
    g["check_is_fitted"](self, "attributes"_a = duv::list_of("n_features_in_"));
    if (feature_names) duv::check_feature_names(self, X_in, false);
    nb::object X = validated_X(g, X_in);
    nb::object n_features = duv::shape_of(X, 1);
    nb::object expected = self.attr("n_features_in_");
    if (duv::compare(n_features, expected, Py_NE))
        duv::raise_value_error("X has " + duv::format(n_features) + " features, expected " + duv::format(expected) +
                               ".");
    return X;
}

nb::object lower_bound(const SelfArgs &a) {
    nb::handle self = a.self;
    if (duv::contains(nb::make_tuple("log10", "log"), self.attr("mode"))) {
        nb::object vmin = self.attr("vmin");
        return vmin.is_none() ? nb::none() : nb::object(nb::float_(duv::to_double(vmin)));
    }
    if (nb::object(self.attr("vmin")).is_none() && duv::compare(self.attr("eps"), nb::float_(0.0), Py_LE))
        return nb::none();
    const double eps = duv::to_double(self.attr("eps"));
    nb::object vmin = self.attr("vmin");
    const double floor = duv::to_double(duv::truthy(vmin) ? nb::handle(vmin) : nb::handle(nb::float_(0.0)));
    const double delta = floor > eps ? floor : eps;  // max(eps, floor): the first of equals
    return nb::float_(-1.0 + delta);
}

// `_forward`'s steps applied to `-X if negate else X`: the bound, the logarithm chosen by
// the mode, the clip from below.
nb::object forward_steps(const duv::Globals &g, nb::handle self, nb::handle X, bool negate) {
    nb::object lb = self.attr("_lower_bound")();
    const Map m = map_of(self.attr("mode"));
    if (auto out = fused_forward(g, X, negate, lb, m)) return *out;
    nb::object np = g["np"];
    nb::object Z = negate ? duv::op::neg(X) : nb::borrow(X);
    nb::object f = np.attr(kLogName[m]);
    return lb.is_none() ? f(Z) : f(np.attr("clip")(Z, lb, nb::none()));
}

nb::object forward(const duv::Globals &g, const ForwardArgs &a) { return forward_steps(g, a.self, a.Z, false); }

// True when `self._forward` is this class's own, so transform may fuse the sign into it.
bool own_forward(const duv::Globals &g, nb::handle self) {
    nb::object bound = self.attr("_forward");
    return duv::is_method_of(bound, g.state<ScalerState>().forward, self);
}

nb::object transform(const duv::Globals &g, const TransformArgs &a) {
    nb::object X = checked_X(g, a.self, a.X, true);
    const bool negate = duv::truthy(a.self.attr("inverted"));
    if (own_forward(g, a.self)) return forward_steps(g, a.self, X, negate);
    nb::object Z = negate ? duv::op::neg(X) : X;
    return a.self.attr("_forward")(Z);
}

nb::object inverse_transform(const duv::Globals &g, const TransformArgs &a) {
    nb::object X = checked_X(g, a.self, a.X, false);
    const Map m = map_of(a.self.attr("mode"));
    const bool negate = duv::truthy(a.self.attr("inverted"));
    if (auto out = fused_inverse(g, X, negate, m)) return *out;
    nb::object np = g["np"];
    nb::object Z = m == kLog10 ? np.attr("power")(10.0, X) : np.attr(kInverseName[m])(X);
    return negate ? duv::op::neg(Z) : Z;
}

nb::dict init_constraints(nb::module_ &m) {
    nb::dict c;
    c["mode"] = duv::list_of(m.attr("StrOptions")(duv::set_of("log", "log10", "log1p")));
    c["inverted"] = duv::list_of("boolean");
    c["eps"] = duv::list_of(duv::interval(m, "Real", nb::float_(0.0), "left"));
    c["vmin"] = duv::list_of(duv::interval(m, "Real", nb::float_(0.0), "left"), nb::none());
    return c;
}

// NaN is a valid input (it stays NaN), as are the infinities.
nb::object sklearn_tags(const duv::Globals &, const duv::OwnerCell &c, const SelfArgs &a) {
    nb::object tags = duv::base_tags(c.owner, a.self);
    tags.attr("input_tags").attr("allow_nan") = true;
    return tags;
}

void build_class(nb::module_ &m, ScalerState &st) {
    // `from __future__ import annotations`: annotations are kept as their source text.
    auto ann = [](const char *text) { return nb::str(text); };
    duv::ClassBuilder cls(m, "LogarithmScaler",
                          {m.attr("OneToOneFeatureMixin"), m.attr("TransformerMixin"), m.attr("BaseEstimator")});
    cls.def_validated("__init__",
                      {duv::arg("self"), duv::arg("mode", "log10").ann(ann("str")),
                       duv::kwonly("inverted", false).ann(ann("bool")), duv::kwonly("eps", 0.0).ann(ann("float")),
                       duv::kwonly("vmin", nb::none()).ann(ann("Optional[float]"))},
                      init, init_constraints(m), true, ann("None"));
    cls.def("fit", {duv::arg("self"), duv::arg("X"), duv::arg("y", nb::none())}, fit);
    cls.def("transform", {duv::arg("self"), duv::arg("X")}, transform);
    cls.def("inverse_transform", {duv::arg("self"), duv::arg("X")}, inverse_transform);
    cls.def("_lower_bound", {duv::arg("self")}, lower_bound, ann("Optional[float]"));
    st.forward = st.keep(
        cls.def("_forward", {duv::arg("self"), duv::arg("Z").ann(ann("np.ndarray"))}, forward, ann("np.ndarray")));
    duv::def_owned(m, cls.build(), "__sklearn_tags__", {duv::arg("self")}, sklearn_tags);
}

}  // namespace

DUV_MODULE("duv.preprocessing._logarithm_scaler", exec_logarithm_scaler) {
    duv::from_import(m, "__future__", {"annotations"});
    duv::from_import(m, "typing", {"Optional", "Union"});
    duv::import_as(m, "numpy", "np");
    duv::from_import(m, "sklearn.base", {"BaseEstimator", "OneToOneFeatureMixin", "TransformerMixin"});
    duv::from_import(m, "sklearn.utils._param_validation", {"Interval", "Real", "StrOptions", "validate_params"});
    duv::from_import(m, "sklearn.utils.validation", {"check_array", "check_is_fitted"});

    ScalerState &st = duv::make_state<ScalerState>(m);
    probe_loops(st, m.attr("np"));
    build_class(m, st);
    st.numpy.take(m);
}
