#include "duv/metrics/numpy_log.hpp"

#include "duv/kernels/fp_flags.hpp"

#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace duv::logm {

namespace k = duv::kernels::logm;

namespace {

using Loop = void (*)(char **, const Py_ssize_t *, const Py_ssize_t *, void *);

// Leading fields of NumPy's PyUFuncObject (public C API, unchanged since NumPy 1.0).
struct UFuncHead {
    PyObject_HEAD int nin, nout, nargs;
    int identity;
    Loop *functions;
    void *const *data;
    int ntypes;
    int reserved1;
    const char *name;
    const char *types;
};

constexpr char kNpyDouble = 12;

PyObject *leak(nb::object o) { return o.release().ptr(); }

// `uf` as a PyUFuncObject, when it is one with the attributes that its Python face reports.
const UFuncHead *ufunc_head(nb::handle np, nb::handle uf, const char *name) {
    if (Py_TYPE(uf.ptr()) != reinterpret_cast<PyTypeObject *>(np.attr("ufunc").ptr())) return nullptr;
    const auto *h = reinterpret_cast<const UFuncHead *>(uf.ptr());
    if (h->nin != 1 || h->nout != 1 || h->nargs != 2) return nullptr;
    if (nb::cast<long>(uf.attr("ntypes")) != h->ntypes || !h->name || std::strcmp(h->name, name) != 0) return nullptr;
    return h;
}

// Index of the float64 -> float64 loop, confirmed by the ufunc's `types`.
std::optional<int> float64_loop_index(nb::handle uf, const UFuncHead &h) {
    nb::list types = nb::list(uf.attr("types"));
    if (static_cast<long>(nb::len(types)) != h.ntypes) return std::nullopt;
    for (int i = 0; i < h.ntypes; ++i) {
        if (h.types[2 * i] != kNpyDouble || h.types[2 * i + 1] != kNpyDouble) continue;
        if (!h.functions || !h.functions[i] || std::string(nb::str(types[i]).c_str()) != "d->d") return std::nullopt;
        return i;
    }
    return std::nullopt;
}

// Positive values over many binades, subnormals and the extremes.
std::vector<double> probe_inputs() {
    std::vector<double> xs;
    for (int i = 0; i < 300; ++i) xs.push_back(std::ldexp(1.0 + 0.37 * i, i % 40 - 20) - (i % 7 == 0 ? 0.0 : 0.5));
    for (double v : {1e-300, 5e-324, 1e300, 1.7976931348623157e308, 0.999, 1.0, 2.0, 10.0, 1e-17}) xs.push_back(v);
    for (double &v : xs)
        if (v <= 0.0) v = std::fabs(v) + 0.25;
    return xs;
}

void run_loop(Loop loop, void *data, const double *in, double *out, std::ptrdiff_t n) {
    char *args[2] = {reinterpret_cast<char *>(const_cast<double *>(in)), reinterpret_cast<char *>(out)};
    Py_ssize_t dims[1] = {static_cast<Py_ssize_t>(n)}, steps[2] = {8, 8};
    loop(args, dims, steps, data);
}

// Whether `loop` gives the ufunc's own results bit for bit on the probe inputs.
bool reproduces(nb::handle np, nb::handle uf, Loop loop, void *data) {
    std::vector<double> xs = probe_inputs(), mine(xs.size());
    {
        kernels::FpFlags keep;
        run_loop(loop, data, xs.data(), mine.data(), static_cast<std::ptrdiff_t>(xs.size()));
    }
    nb::list values;
    for (double v : xs) values.append(v);
    nb::object ref = uf(np.attr("array")(values));
    for (std::size_t i = 0; i < xs.size(); ++i) {
        double r = nb::cast<double>(ref[nb::int_(i)]);
        if (std::memcmp(&r, &mine[i], sizeof r) != 0) return false;
    }
    return true;
}

}  // namespace

void NumpyLog::init(nb::handle np, const char *name, double divide_at, double invalid_at) {
    nb::object uf = np.attr(name);
    ufunc_ = leak(uf);
    frombuffer_ = leak(np.attr("frombuffer"));
    float64_ = leak(np.attr("float64"));
    nb::object array = np.attr("array");
    probe_[k::kDivide] = leak(array(nb::make_tuple(divide_at)));
    probe_[k::kInvalid] = leak(array(nb::make_tuple(invalid_at)));
    probe_[k::kDivide | k::kInvalid] = leak(array(nb::make_tuple(divide_at, invalid_at)));
    find_loop(np, name);
}

// NumPy's float64 loop is used directly only if the ufunc object is laid out as expected
// and the loop reproduces the ufunc.
void NumpyLog::find_loop(nb::handle np, const char *name) {
    nb::handle uf(ufunc_);
    const UFuncHead *h = ufunc_head(np, uf, name);
    if (!h) return;
    std::optional<int> i = float64_loop_index(uf, *h);
    if (!i) return;
    void *data = h->data ? h->data[*i] : nullptr;
    if (!reproduces(np, uf, h->functions[*i], data)) return;
    loop_ = h->functions[*i];
    loop_data_ = data;
}

// Both transforms leave the exception flags of the kernel's arithmetic as they were.
void NumpyLog::direct_transform(const void *self, const double *in, double *out, std::ptrdiff_t n) {
    const auto *log = static_cast<const NumpyLog *>(self);
    const std::fexcept_t flags = kernels::FpFlags::snapshot();  // NumPy's C loop cannot throw
    run_loop(log->loop_, log->loop_data_, in, out, n);
    kernels::FpFlags::restore(flags);
}

// Through the ufunc object (GIL held; the caller ignores NumPy's floating-point errors).
void NumpyLog::ufunc_transform(const void *self, const double *in, double *out, std::ptrdiff_t n) {
    kernels::FpFlags keep;
    const auto *log = static_cast<const NumpyLog *>(self);
    Py_ssize_t bytes = static_cast<Py_ssize_t>(n) * 8;
    nb::object mi =
        steal_checked(PyMemoryView_FromMemory(reinterpret_cast<char *>(const_cast<double *>(in)), bytes, PyBUF_READ));
    nb::object mo = steal_checked(PyMemoryView_FromMemory(reinterpret_cast<char *>(out), bytes, PyBUF_WRITE));
    nb::handle frombuffer(log->frombuffer_), f64(log->float64_);
    nb::handle(log->ufunc_)(frombuffer(mi, "dtype"_a = f64), "out"_a = frombuffer(mo, "dtype"_a = f64));
}

void NumpyLog::replay(unsigned flags) const {
    if (!flags) return;
    nb::handle ufunc(ufunc_);
    ufunc(nb::handle(probe_[flags]));
}

}  // namespace duv::logm
