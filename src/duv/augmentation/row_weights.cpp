#include "duv/augmentation/row_weights.hpp"

#include "duv/interop/util.hpp"

namespace duv::augmentation {

nb::object weights_per_row(nb::handle np, nb::handle sample_weight, nb::handle n_samples) {
    nb::object sw = np.attr("asarray")(sample_weight);
    nb::object shape = sw.attr("shape");
    if (compare(shape, nb::make_tuple(n_samples), Py_NE))
        raise_value_error("sample_weight should have shape (" + format(n_samples) + ",), got " + format(shape));
    return sw;
}

void check_one_weight_per_row(nb::handle np, nb::handle sample_weight, nb::handle n_samples) {
    if (!sample_weight.is_none()) weights_per_row(np, sample_weight, n_samples);
}

bool passthrough_mode(nb::handle sample_weight_mode) {
    return equals(nb::str(sample_weight_mode).attr("lower")(), "passthrough");
}

}  // namespace duv::augmentation
