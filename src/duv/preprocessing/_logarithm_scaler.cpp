#include "duv/interop/buffer.hpp"
#include "duv/interop/capi.hpp"
#include "duv/interop/klass.hpp"
#include "duv/interop/module.hpp"
#include "duv/interop/sklearn.hpp"
#include "duv/interop/tags.hpp"
#include "duv/interop/ufunc_loop.hpp"
#include "duv/interop/util.hpp"
#include "duv/kernels/log_scale.hpp"

#include <cmath>
#include <optional>

namespace {

namespace ls = duv::kernels::log_scale;

DUV_ARGS(InitArgs, self, mode, inverted, eps, vmin);
DUV_ARGS(FitArgs, self, X, y);
DUV_ARGS(SelfArgs, self);
DUV_ARGS(ForwardArgs, self, Z);
DUV_ARGS(TransformArgs, self, X);

// The logarithms in the order `_forward` tests the mode, and their inverses.
enum Map : int { Log10, Log, Log1p };
constexpr const char *kLogName[] = {"log10", "log", "log1p"};
constexpr const char *kInverseName[] = {"power", "exp", "expm1"};

struct Loop {
    PyObject *ufunc = nullptr;  // the NumPy function the loop was verified against
    duv::kernels::UfuncLoop loop;
};

// Module state, set once when the module is executed.
struct State {
    PyObject *np = nullptr, *ndarray = nullptr, *clip = nullptr;
    PyObject *forward = nullptr;  // LogarithmScaler._forward, to recognise it on instances
    Loop log[3], inverse[3];
};
State S;

// ---- NumPy's loops, taken into the kernels only where they reproduce NumPy bit for bit ----

// Deterministic pseudo-random numbers in [0, 1).
class Uniform {
public:
    double operator()() {
        state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(state_ >> 11) * 0x1.0p-53;
    }

private:
    unsigned long long state_ = 0x9e3779b97f4a7c15ULL;
};

// Probe values for a logarithm: positive numbers over the whole exponent range, numbers
// near 1 and, for log1p, numbers in (-1, 0); NaN and inf. log1p keeps a subnormal input as
// its result and may raise the underflow flag, which sends the kernel back to NumPy anyway,
// so its probe starts at the smallest normal number.
std::vector<double> log_probe(bool log1p) {
    Uniform u;
    std::vector<double> v;
    v.reserve(4009);
    const double lowest = log1p ? -1022.0 : -1074.0;
    for (int i = 0; i < 3000; ++i)
        v.push_back(std::ldexp(1.0 + u(), static_cast<int>(lowest + (1024.0 - lowest) * u())));
    for (int i = 0; i < 500; ++i) v.push_back(1.0 + (u() - 0.5) * std::ldexp(1.0, -(i % 53)));
    if (log1p)
        for (int i = 0; i < 500; ++i) v.push_back(-u() * (1.0 - 0x1.0p-40));
    for (double s : {std::nan(""), HUGE_VAL, 1.0, 2.0, 10.0, 0.5, 0x1.0p-1022, 1.7976931348623157e308}) v.push_back(s);
    if (!log1p) v.push_back(4.9e-324);
    return v;
}

// Probe values for an exponential whose results stay finite and normal for |x| <= limit:
// numbers spread over [-limit, limit], small numbers of both signs, NaN.
std::vector<double> exp_probe(double limit) {
    Uniform u;
    std::vector<double> v;
    v.reserve(4007);
    for (int i = 0; i < 3000; ++i) v.push_back((2.0 * u() - 1.0) * limit);
    for (int i = 0; i < 1000; ++i) v.push_back((u() - 0.5) * std::ldexp(1.0, -(i % 60)));
    for (double s : {std::nan(""), 0.0, -0.0, 1.0, -1.0, limit, -limit}) v.push_back(s);
    return v;
}

nb::object as_array(nb::handle np, const std::vector<double> &v) {
    nb::list l;
    for (double x : v) l.append(x);
    return np.attr("array")(l, "dtype"_a = duv::float_type());
}

// expr() under np.errstate(all="ignore"): the probe must not warn at import.
template <typename F> nb::object numpy_reference(nb::handle np, F &&expr) {
    struct Errstate {
        nb::object cm;
        explicit Errstate(nb::handle np) : cm(np.attr("errstate")("all"_a = "ignore")) { cm.attr("__enter__")(); }
        ~Errstate() {
            nb::error_scope keep;  // an error already raised stays the one reported
            PyObject *r = PyObject_CallMethod(cm.ptr(), "__exit__", "OOO", Py_None, Py_None, Py_None);
            if (!r) PyErr_Clear();
            Py_XDECREF(r);
        }
    } ignore(np);
    return expr();
}

// The loop as the forward kernel runs it (whole array; blocks of an odd length, with sign
// and bound) must reproduce np.f(x) and np.f(np.clip(-(-x), bound, None)).
bool forward_reproduces(nb::handle np, nb::handle ufunc, const ls::Forward &f, const std::vector<double> &x) {
    const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(x.size());
    std::vector<double> neg(x.size()), out(x.size());
    for (size_t i = 0; i < x.size(); ++i) neg[i] = -x[i];
    nb::object arr = as_array(np, x);
    nb::object plain = numpy_reference(np, [&] { return ufunc(arr); });
    nb::object bounded = numpy_reference(np, [&] { return ufunc(np.attr("clip")(arr, f.bound, nb::none())); });
    if (!ls::forward({f.log, false, false, 0.0}, x.data(), out.data(), n) ||
        !duv::same_bits(plain, out.data(), x.size()))
        return false;
    return ls::forward({f.log, true, true, f.bound}, neg.data(), out.data(), n, 61) &&
           duv::same_bits(bounded, out.data(), x.size());
}

// The loop as the inverse kernel runs it must reproduce np.f(x) and -np.f(x).
bool inverse_reproduces(nb::handle np, nb::handle ufunc, bool power, const std::vector<double> &x,
                        duv::kernels::UfuncLoop loop) {
    const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(x.size());
    std::vector<double> out(x.size());
    nb::object arr = as_array(np, x);
    nb::object plain = numpy_reference(np, [&] { return power ? ufunc(10.0, arr) : ufunc(arr); });
    nb::object negated = numpy_reference(np, [&] { return np.attr("negative")(plain); });
    if (!ls::inverse({loop, power, false}, x.data(), out.data(), n) || !duv::same_bits(plain, out.data(), x.size()))
        return false;
    return ls::inverse({loop, power, true}, x.data(), out.data(), n, 61) &&
           duv::same_bits(negated, out.data(), x.size());
}

void setup_loops(nb::handle np) {
    S.np = np.inc_ref().ptr();
    S.ndarray = np.attr("ndarray").inc_ref().ptr();
    S.clip = np.attr("clip").inc_ref().ptr();
    const double bounds[] = {1e-3, 1e-3, -0.5};
    for (int m = Log10; m <= Log1p; ++m) {
        nb::object ufunc = np.attr(kLogName[m]);
        S.log[m].ufunc = ufunc.inc_ref().ptr();
        duv::kernels::UfuncLoop loop = duv::float64_loop(np, ufunc, 1);
        if (loop && forward_reproduces(np, ufunc, {loop, false, false, bounds[m]}, log_probe(m == Log1p)))
            S.log[m].loop = loop;
    }
    const double limits[] = {300.0, 700.0, 700.0};
    for (int m = Log10; m <= Log1p; ++m) {
        nb::object ufunc = np.attr(kInverseName[m]);
        S.inverse[m].ufunc = ufunc.inc_ref().ptr();
        const bool power = m == Log10;
        duv::kernels::UfuncLoop loop = duv::float64_loop(np, ufunc, power ? 2 : 1);
        if (loop && inverse_reproduces(np, ufunc, power, exp_probe(limits[m]), loop)) S.inverse[m].loop = loop;
    }
}

// ---- the fused maps -----------------------------------------------------------------

constexpr std::ptrdiff_t kReleaseGil = 1 << 15;

// An exact float64 ndarray whose elements lie one after another (C or Fortran order),
// with its data pointer.
struct Flat {
    duv::ArrayView view;
    double *data = nullptr;
    std::ptrdiff_t n = 0;

    explicit Flat(nb::handle a, bool writable = false) {
        if (Py_TYPE(a.ptr()) != reinterpret_cast<PyTypeObject *>(S.ndarray)) return;
        view = duv::ArrayView(a, writable);
        // A 0-d array would come back from NumPy as a scalar.
        if (!view.has(duv::Dtype::F64) || view.ndim() < 1 || !(view.c_contiguous() || view.f_contiguous())) return;
        if (reinterpret_cast<std::uintptr_t>(view.data()) % alignof(double) != 0) return;
        data = reinterpret_cast<double *>(view.data());
        n = static_cast<std::ptrdiff_t>(view.size());
    }
    explicit operator bool() const { return data != nullptr; }
};

// Runs `kernel(in, out, n)` into a new array laid out like `X`, without the GIL on large
// inputs; nullopt when the kernel hands the work back to NumPy.
template <typename K> std::optional<nb::object> run_fused(nb::handle np, nb::handle X, K &&kernel) {
    Flat in(X);
    if (!in) return std::nullopt;
    nb::object out = np.attr("empty_like")(X);
    Flat o(out, true);
    if (!o || o.n != in.n) return std::nullopt;
    bool ok;
    if (in.n >= kReleaseGil) {
        nb::gil_scoped_release unlocked;
        ok = kernel(in.data, o.data, in.n);
    } else {
        ok = kernel(in.data, o.data, in.n);
    }
    if (!ok) return std::nullopt;
    return out;
}

bool uses(nb::handle np, const char *name, const Loop &l) {
    return np.ptr() == S.np && l.loop && np.attr(name).ptr() == l.ufunc;
}

// `f(np.clip(-X if negate else X, lb, None))` (no clip when lb is None) in one pass.
std::optional<nb::object> fused_forward(nb::handle np, nb::handle X, bool negate, nb::handle lb, Map m) {
    const Loop &l = S.log[m];
    const bool clip = !lb.is_none();
    if (!uses(np, kLogName[m], l) || (clip && np.attr("clip").ptr() != S.clip)) return std::nullopt;
    if (clip && (!PyFloat_CheckExact(lb.ptr()) || std::isnan(duv::float_value(lb.ptr())))) return std::nullopt;
    const ls::Forward f{l.loop, negate, clip, clip ? duv::float_value(lb.ptr()) : 0.0};
    return run_fused(np, X, [&f](const double *x, double *out, std::ptrdiff_t n) { return ls::forward(f, x, out, n); });
}

// `-f(X) if negate else f(X)`, f(X) being np.power(10.0, X), np.exp(X) or np.expm1(X), in one pass.
std::optional<nb::object> fused_inverse(nb::handle np, nb::handle X, bool negate, Map m) {
    const Loop &l = S.inverse[m];
    if (!uses(np, kInverseName[m], l)) return std::nullopt;
    const ls::Inverse f{l.loop, m == Log10, negate};
    return run_fused(np, X, [&f](const double *x, double *out, std::ptrdiff_t n) { return ls::inverse(f, x, out, n); });
}

// ---- the estimator ----------------------------------------------------------------------

bool equals(nb::handle a, const char *b) { return duv::truthy(duv::richcompare(a, nb::str(b), Py_EQ)); }

// `self.mode` as `_forward` and `inverse_transform` test it: equality with "log10", then
// "log"; anything else means "log1p".
Map map_of(nb::handle mode) {
    if (equals(mode, "log10")) return Log10;
    if (equals(mode, "log")) return Log;
    return Log1p;
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
    a.self.attr("n_features_in_") = nb::object(X.attr("shape"))[1];
    return nb::borrow(a.self);
}

// The checks shared by transform and inverse_transform (which does not check feature names);
// returns the validated X.
nb::object checked_X(const duv::Globals &g, nb::handle self, nb::handle X_in, bool feature_names) {
    g["check_is_fitted"](self, "attributes"_a = duv::list_of("n_features_in_"));
    if (feature_names) duv::check_feature_names(self, X_in, false);
    nb::object X = validated_X(g, X_in);
    nb::object n_features = nb::object(X.attr("shape"))[1];
    nb::object expected = self.attr("n_features_in_");
    if (duv::compare(n_features, expected, Py_NE))
        duv::raise_value_error("X has " + duv::format(n_features) + " features, expected " + duv::format(expected) +
                               ".");
    return X;
}

nb::object lower_bound(const SelfArgs &a) {
    nb::handle self = a.self;
    nb::object bounded_modes = nb::make_tuple("log10", "log");
    const int direct = PySequence_Contains(bounded_modes.ptr(), nb::object(self.attr("mode")).ptr());
    duv::check(direct >= 0);
    if (direct) {
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
    nb::object np = g["np"];
    if (auto out = fused_forward(np, X, negate, lb, m)) return *out;
    nb::object Z = negate ? duv::steal_checked(PyNumber_Negative(X.ptr())) : nb::borrow(X);
    nb::object f = np.attr(kLogName[m]);
    return lb.is_none() ? f(Z) : f(np.attr("clip")(Z, lb, nb::none()));
}

nb::object forward(const duv::Globals &g, const ForwardArgs &a) { return forward_steps(g, a.self, a.Z, false); }

// True when `self._forward` is this class's own, so transform may fuse the sign into it.
bool own_forward(nb::handle self) {
    nb::object bound = self.attr("_forward");
    return duv::is_method_of(bound, S.forward, self);
}

nb::object transform(const duv::Globals &g, const TransformArgs &a) {
    nb::object X = checked_X(g, a.self, a.X, true);
    const bool negate = duv::truthy(a.self.attr("inverted"));
    if (own_forward(a.self)) return forward_steps(g, a.self, X, negate);
    nb::object Z = negate ? duv::steal_checked(PyNumber_Negative(X.ptr())) : X;
    return a.self.attr("_forward")(Z);
}

nb::object inverse_transform(const duv::Globals &g, const TransformArgs &a) {
    nb::object X = checked_X(g, a.self, a.X, false);
    const Map m = map_of(a.self.attr("mode"));
    const bool negate = duv::truthy(a.self.attr("inverted"));
    nb::object np = g["np"];
    if (auto out = fused_inverse(np, X, negate, m)) return *out;
    nb::object Z = m == Log10 ? np.attr("power")(10.0, X) : np.attr(kInverseName[m])(X);
    return negate ? duv::steal_checked(PyNumber_Negative(Z.ptr())) : Z;
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

void build_class(nb::module_ &m) {
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
    S.forward =
        cls.def("_forward", {duv::arg("self"), duv::arg("Z").ann(ann("np.ndarray"))}, forward, ann("np.ndarray"))
            .inc_ref()
            .ptr();
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

    if (!S.np) setup_loops(m.attr("np"));
    build_class(m);
}
