#include "duv/interop/module.hpp"

DUV_PACKAGE("duv.ensemble", exec_ensemble) {
    duv::from_import_if_built(m, "._mixture_of_experts", {"MixtureOfExpertsRegressor"});
    duv::from_import_if_built(m, "._voting", {"VotingRegressor"});
    duv::set_all(m, {"VotingRegressor", "MixtureOfExpertsRegressor"});
}
