#include "duv/interop/ufunc_loop.hpp"

#include "duv/interop/buffer.hpp"

#include <cstring>
#include <string>

namespace duv {

namespace {

// Leading fields of NumPy's PyUFuncObject (public C API, unchanged since NumPy 1.0).
struct UfuncHead {
    PyObject_HEAD int nin, nout, nargs;
    int identity;
    kernels::UfuncLoopFn *functions;
    void *const *data;
    int ntypes;
    int reserved1;
    const char *name;
    const char *types;
};

constexpr char kNpyDouble = 12;

}  // namespace

namespace {

// The ufunc's head, when it is a ufunc of `nin` inputs and one output whose fields agree with
// what Python reports (so the layout is the one expected); else null.
const UfuncHead *checked_head(nb::handle np, nb::handle ufunc, int nin) {
    if (Py_TYPE(ufunc.ptr()) != reinterpret_cast<PyTypeObject *>(np.attr("ufunc").ptr())) return nullptr;
    const auto *h = reinterpret_cast<const UfuncHead *>(ufunc.ptr());
    if (h->nin != nin || h->nout != 1 || h->nargs != nin + 1) return nullptr;
    nb::object name = ufunc.attr("__name__");
    if (!h->name || std::strcmp(h->name, nb::str(name).c_str()) != 0) return nullptr;
    if (nb::cast<long>(ufunc.attr("ntypes")) != h->ntypes) return nullptr;
    return h;
}

bool all_double(const char *types, int nargs) {
    for (int j = 0; j < nargs; ++j)
        if (types[j] != kNpyDouble) return false;
    return true;
}

}  // namespace

kernels::UfuncLoop float64_loop(nb::handle np, nb::handle ufunc, int nin) {
    const UfuncHead *h = checked_head(np, ufunc, nin);
    if (!h) return {};
    nb::list types(ufunc.attr("types"));
    if (static_cast<long>(nb::len(types)) != h->ntypes) return {};
    const std::string signature = std::string(static_cast<size_t>(nin), 'd') + "->d";
    for (int i = 0; i < h->ntypes; ++i) {
        if (!all_double(h->types + static_cast<std::ptrdiff_t>(i) * h->nargs, h->nargs)) continue;
        if (std::string(nb::str(types[static_cast<size_t>(i)]).c_str()) != signature) return {};
        if (!h->functions || !h->functions[i]) return {};
        return {h->functions[i], h->data ? h->data[i] : nullptr};
    }
    return {};
}

bool same_bits(nb::handle expected, const double *got, std::size_t n) {
    ArrayView v(expected);
    const double *e = v.contiguous<double>();
    return e && static_cast<std::size_t>(v.size()) == n && std::memcmp(e, got, n * sizeof(double)) == 0;
}

}  // namespace duv
