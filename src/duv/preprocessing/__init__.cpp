#include "duv/interop/module.hpp"

DUV_PACKAGE("duv.preprocessing", exec_preprocessing) {
    duv::from_import_if_built(m, "._logarithm_scaler", {"LogarithmScaler"});
    duv::set_all(m, {"LogarithmScaler"});
}
