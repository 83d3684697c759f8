#include "duv/augmentation/row_weights.hpp"

#include "duv/interop/util.hpp"

namespace duv::augmentation {

void check_one_weight_per_row(nb::handle np, nb::handle sample_weight, nb::handle n_samples) {
    if (sample_weight.is_none()) return;
    nb::object shape = np.attr("asarray")(sample_weight).attr("shape");
    if (compare(shape, nb::make_tuple(n_samples), Py_NE))
        raise_value_error("sample_weight should have shape (" + format(n_samples) + ",), got " + format(shape));
}

bool passthrough_mode(nb::handle sample_weight_mode) {
    return compare(nb::str(sample_weight_mode).attr("lower")(), nb::str("passthrough"), Py_EQ);
}

}  // namespace duv::augmentation
