#include "duv/interop/function.hpp"
#include "duv/interop/module.hpp"
#include "duv/metrics/log_metric_driver.hpp"

namespace {

using duv::logm::Family;
using duv::logm::Kind;

nb::object fraction_of_variance_unexplained(const duv::Args &a) {
    return duv::logm::evaluate(a, Kind::FractionUnexplained, Family::None, a[0], a[1], a[2], a[3], nb::handle(),
                               nb::handle());
}

template <Family F> nb::object log_fraction(const duv::Args &a) {
    return duv::logm::evaluate(a, Kind::FractionUnexplained, F, a[0], a[1], a[2], a[3], a[4], nb::handle());
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
