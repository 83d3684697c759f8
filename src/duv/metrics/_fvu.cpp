#include "duv/interop/function.hpp"
#include "duv/interop/module.hpp"
#include "duv/metrics/log_metric_driver.hpp"

namespace {

namespace logm = duv::logm;
using logm::Family;
using logm::Kind;

DUV_ARGS(FvuArgs, y_true, y_pred, sample_weight, multioutput);
DUV_ARGS(LogFvuArgs, y_true, y_pred, sample_weight, multioutput, nan_policy);

nb::object fraction_of_variance_unexplained(const duv::Globals &g, const FvuArgs &a) {
    return logm::evaluate(g, Kind::FractionUnexplained, Family::None, logm::Inputs::of(a));
}

template <Family F> nb::object log_fraction(const duv::Globals &g, const LogFvuArgs &a) {
    return logm::evaluate(g, Kind::FractionUnexplained, F, logm::Inputs::of(a));
}

}  // namespace

DUV_MODULE("duv.metrics._fvu", exec_fvu) {
    duv::from_import(m, "__future__", {"annotations"});
    duv::from_import(m, "typing", {"Iterable", "Literal", "Optional", "Union"});
    duv::import_as(m, "numpy", "np");
    duv::from_import(m, "sklearn.exceptions", {"UndefinedMetricWarning"});
    duv::from_import(
        m, "._log_metrics",
        {"MultioutputType", "_aggregate_multioutput", "_check_y_true_pred_sample_weight", "_prepare_logs"});

    nb::str sw_ann("Optional[Iterable[float]]"), mo_ann("MultioutputType");
    auto params = [&](bool with_nan_policy) {
        std::vector<duv::Param> p{duv::arg("y_true"), duv::arg("y_pred"),
                                  duv::kwonly("sample_weight", nb::none()).ann(sw_ann),
                                  duv::kwonly("multioutput", "uniform_average").ann(mo_ann)};
        if (with_nan_policy) p.push_back(duv::kwonly("nan_policy", "raise").ann(nb::str("str")));
        return p;
    };
    duv::def(m, "fraction_of_variance_unexplained", params(false), fraction_of_variance_unexplained);
    duv::def(m, "log_fraction_of_variance_unexplained", params(true), log_fraction<Family::Log1p>);
    duv::def(m, "log10_fraction_of_variance_unexplained", params(true), log_fraction<Family::Log10>);
}
