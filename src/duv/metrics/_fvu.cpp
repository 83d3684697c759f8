#include "duv/interop/function.hpp"
#include "duv/interop/module.hpp"
#include "duv/interop/util.hpp"
#include "duv/metrics/fused_metrics.hpp"

namespace {

using namespace duv::metrics;
namespace op = duv::op;

DUV_ARGS(FvuArgs, y_true, y_pred, sample_weight, multioutput);
DUV_ARGS(LogFvuArgs, y_true, y_pred, sample_weight, multioutput, nan_policy);

// The fraction per output: ss_res / ss_tot where the column varies; a constant column is
// explained fully by an exact prediction, not at all otherwise.
nb::object fractions_unexplained(nb::handle np, nb::handle lt, const SumsOfSquares &s) {
    nb::object nonzero_tot = duv::richcompare(s.ss_tot, nb::int_(0), Py_NE);
    nb::object fvu = np.attr("empty")(duv::shape_of(lt, 1), "dtype"_a = duv::float_type());
    op::setitem(fvu, nonzero_tot, op::div(duv::getitem(s.ss_res, nonzero_tot), duv::getitem(s.ss_tot, nonzero_tot)));
    nb::object const_mask = op::invert(nonzero_tot);
    if (duv::truthy(np.attr("any")(const_mask))) {
        nb::object exact = duv::richcompare(duv::getitem(s.ss_res, const_mask), nb::float_(0.0), Py_EQ);
        op::setitem(fvu, const_mask, np.attr("where")(exact, 0.0, 1.0));
    }
    return fvu;
}

nb::object fvu_steps(const duv::Globals &g, Kind kind, const Prepared &p, nb::handle) {
    return variance_metric(g, kind, p, fractions_unexplained);
}

// A metric function by another name, so named like a function; the template arguments are no cast.
// NOLINTBEGIN(readability-identifier-naming,google-readability-casting)
template <Family F, typename A = LogFvuArgs>
constexpr auto fvu_metric = metric<Kind::FractionUnexplained, F, fvu_steps, A>;
// NOLINTEND(readability-identifier-naming,google-readability-casting)

}  // namespace

DUV_MODULE("duv.metrics._fvu", exec_fvu) {
    duv::from_import(m, "__future__", {"annotations"});
    duv::from_import(m, "typing", {"Iterable", "Literal", "Optional", "Union"});
    duv::import_as(m, "numpy", "np");
    duv::from_import(m, "sklearn.exceptions", {"UndefinedMetricWarning"});
    duv::from_import(
        m, "._log_metrics",
        {"MultioutputType", "_aggregate_multioutput", "_check_y_true_pred_sample_weight", "_prepare_logs"});
    MetricState &st = duv::make_state<MetricState>(m);

    nb::str sw_ann("Optional[Iterable[float]]"), mo_ann("MultioutputType");
    auto params = [&](bool with_nan_policy) {
        std::vector<duv::Param> p{duv::arg("y_true"), duv::arg("y_pred"),
                                  duv::kwonly("sample_weight", nb::none()).ann(sw_ann),
                                  duv::kwonly("multioutput", "uniform_average").ann(mo_ann)};
        if (with_nan_policy) p.push_back(duv::kwonly("nan_policy", "raise").ann(nb::str("str")));
        return p;
    };
    duv::def(m, "fraction_of_variance_unexplained", params(false), fvu_metric<Family::None, FvuArgs>);
    duv::def(m, "log_fraction_of_variance_unexplained", params(true), fvu_metric<Family::Log1p>);
    duv::def(m, "log10_fraction_of_variance_unexplained", params(true), fvu_metric<Family::Log10>);
    // The helpers look their names up in the module that defines them.
    st.take(m, nb::module_::import_("duv.metrics._log_metrics"));
}
