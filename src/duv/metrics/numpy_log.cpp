#include "duv/metrics/numpy_log.hpp"

#include "duv/interop/ufunc_loop.hpp"
#include "duv/kernels/fp_flags.hpp"

#include <cfenv>
#include <cmath>
#include <vector>

namespace duv::metrics {

namespace ms = kernels::metric_sums;

namespace {

// Positive values over many binades, subnormals and the extremes.
std::vector<double> probe_inputs() {
    std::vector<double> xs;
    xs.reserve(309);
    for (int i = 0; i < 300; ++i) xs.push_back(std::ldexp(1.0 + 0.37 * i, i % 40 - 20) - (i % 7 == 0 ? 0.0 : 0.5));
    for (double v : {1e-300, 5e-324, 1e300, 1.7976931348623157e308, 0.999, 1.0, 2.0, 10.0, 1e-17}) xs.push_back(v);
    for (double &v : xs)
        if (v <= 0.0) v = std::fabs(v) + 0.25;
    return xs;
}

// Whether `loop` gives the ufunc's own results bit for bit on the probe inputs.
bool reproduces(nb::handle np, nb::handle uf, const kernels::UfuncLoop &loop) {
    std::vector<double> xs = probe_inputs(), mine(xs.size());
    {
        kernels::FpFlags keep;
        loop.unary(xs.data(), mine.data(), static_cast<std::ptrdiff_t>(xs.size()));
    }
    nb::list values;
    for (double v : xs) values.append(v);
    return same_bits(uf(np.attr("array")(values)), mine.data(), mine.size());
}

}  // namespace

void NumpyLog::init(ModuleState &st, nb::handle np, const char *name, double divide_at, double invalid_at) {
    ufunc_ = st.keep(np.attr(name));
    frombuffer_ = st.keep(np.attr("frombuffer"));
    float64_ = st.keep(np.attr("float64"));
    nb::object array = np.attr("array");
    probe_[ms::kDivide] = st.keep(array(nb::make_tuple(divide_at)));
    probe_[ms::kInvalid] = st.keep(array(nb::make_tuple(invalid_at)));
    probe_[ms::kDivide | ms::kInvalid] = st.keep(array(nb::make_tuple(divide_at, invalid_at)));
    // NumPy's float64 loop is used directly only if the ufunc object is laid out as expected
    // and the loop reproduces the ufunc.
    kernels::UfuncLoop loop = float64_loop(np, ufunc_, 1);
    if (loop && reproduces(np, ufunc_, loop)) loop_ = loop;
}

// Both transforms leave the exception flags of the kernel's arithmetic as they were.
void NumpyLog::direct_transform(const void *self, const double *in, double *out, std::ptrdiff_t n) {
    const auto *log = static_cast<const NumpyLog *>(self);
    // Usually no flag is raised yet: then clearing what the loop raised restores them, and
    // saving and restoring the whole environment (slow on x86) is not needed.
    if (std::fetestexcept(FE_ALL_EXCEPT) == 0) {
        log->loop_.unary(in, out, n);
        if (std::fetestexcept(FE_ALL_EXCEPT) != 0) std::feclearexcept(FE_ALL_EXCEPT);
        return;
    }
    const std::fexcept_t flags = kernels::FpFlags::snapshot();  // NumPy's C loop cannot throw
    log->loop_.unary(in, out, n);
    kernels::FpFlags::restore(flags);
}

// Through the ufunc object (GIL held; the caller ignores NumPy's floating-point errors).
void NumpyLog::ufunc_transform(const void *self, const double *in, double *out, std::ptrdiff_t n) {
    kernels::FpFlags keep;
    const auto *log = static_cast<const NumpyLog *>(self);
    Py_ssize_t bytes = static_cast<Py_ssize_t>(n) * 8;
    // PyMemoryView_FromMemory takes `char *` even for a PyBUF_READ view, which never writes through it.
    nb::object mi = steal_checked(
        PyMemoryView_FromMemory(reinterpret_cast<char *>(const_cast<double *>(in)),  // NOLINT(*-const-cast)
                                bytes, PyBUF_READ));
    nb::object mo = steal_checked(PyMemoryView_FromMemory(reinterpret_cast<char *>(out), bytes, PyBUF_WRITE));
    nb::handle f64 = log->float64_;
    log->ufunc_(log->frombuffer_(mi, "dtype"_a = f64), "out"_a = log->frombuffer_(mo, "dtype"_a = f64));
}

void NumpyLog::replay(unsigned flags) const {
    if (flags) ufunc_(probe_[flags]);
}

}  // namespace duv::metrics
