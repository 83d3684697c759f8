#include "duv/interop/module.hpp"

DUV_PACKAGE("duv.neural_network", exec_neural_network) {
    duv::from_import_if_built(m, "._linear_scaling_mlp", {"LinearScalingMLPClassifier", "LinearScalingMLPRegressor"});
    duv::set_all(m, {"LinearScalingMLPRegressor", "LinearScalingMLPClassifier"});
}
