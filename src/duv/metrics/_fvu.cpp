#include "duv/interop/function.hpp"
#include "duv/interop/module.hpp"
#include "duv/metrics/fused_metrics.hpp"

namespace {

using namespace duv::metrics;

DUV_ARGS(FvuArgs, y_true, y_pred, sample_weight, multioutput);
DUV_ARGS(LogFvuArgs, y_true, y_pred, sample_weight, multioutput, nan_policy);

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
    duv::def(m, "fraction_of_variance_unexplained", params(false),
             metric<Kind::FractionUnexplained, Family::None, FvuArgs>);
    duv::def(m, "log_fraction_of_variance_unexplained", params(true),
             metric<Kind::FractionUnexplained, Family::Log1p, LogFvuArgs>);
    duv::def(m, "log10_fraction_of_variance_unexplained", params(true),
             metric<Kind::FractionUnexplained, Family::Log10, LogFvuArgs>);
    // The helpers look their names up in the module that defines them.
    st.take(m, nb::module_::import_("duv.metrics._log_metrics"));
}
