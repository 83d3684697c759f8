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

kernels::UfuncLoop float64_loop(nb::handle np, nb::handle ufunc, int nin) {
    if (Py_TYPE(ufunc.ptr()) != reinterpret_cast<PyTypeObject *>(np.attr("ufunc").ptr())) return {};
    const auto *h = reinterpret_cast<const UfuncHead *>(ufunc.ptr());
    if (h->nin != nin || h->nout != 1 || h->nargs != nin + 1) return {};
    // The layout is as expected only if the fields agree with what Python reports.
    nb::object name = ufunc.attr("__name__");
    if (!h->name || std::strcmp(h->name, nb::str(name).c_str()) != 0) return {};
    nb::list types(ufunc.attr("types"));
    if (nb::cast<long>(ufunc.attr("ntypes")) != h->ntypes || static_cast<long>(nb::len(types)) != h->ntypes) return {};
    const std::string signature = std::string(static_cast<size_t>(nin), 'd') + "->d";
    for (int i = 0; i < h->ntypes; ++i) {
        const char *t = h->types + static_cast<std::ptrdiff_t>(i) * h->nargs;
        bool all_double = true;
        for (int j = 0; j < h->nargs; ++j) all_double = all_double && t[j] == kNpyDouble;
        if (!all_double) continue;
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
