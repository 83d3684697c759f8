// The neighbour search among the rare rows of one side.
#pragma once

#include "duv/interop/module_state.hpp"

#include <cstddef>
#include <utility>

namespace duv::augmentation::rare {

// dist, ind = NearestNeighbors(n_neighbors=count).fit(X).kneighbors(X). The exact kernel stands
// in while `NearestNeighbors` is as imported in `names`, the estimator would search a tree (count
// below half the rows, at most 15 features) and no two distances that decide a row's neighbours
// tie; the estimator's calls run otherwise.
std::pair<nb::object, nb::object> nearest_rows(const Globals &g, const AsImported &names, nb::handle X,
                                               std::ptrdiff_t count);

}  // namespace duv::augmentation::rare
