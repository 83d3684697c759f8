#include "duv/metrics/numpy_log.hpp"

#include "duv/interop/ufunc_loop.hpp"
#include "duv/interop/util.hpp"
#include "duv/kernels/fp_flags.hpp"
#include "duv/kernels/loop_probes.hpp"

#include <cfenv>
#include <vector>

namespace duv::metrics {

namespace ms = kernels::metric_sums;

namespace {

// Whether `loop` gives the ufunc's own results bit for bit on positive numbers over the whole
// range, subnormals, the extremes, NaN and inf.
bool reproduces(nb::handle np, nb::handle uf, const kernels::UfuncLoop &loop) {
    std::vector<double> xs = kernels::log_probe(false), mine(xs.size());
    {
        kernels::FpFlags keep;
        loop.unary(xs.data(), mine.data(), static_cast<std::ptrdiff_t>(xs.size()));
    }
    return same_bits(uf(float64_vector(np, xs)), mine.data(), mine.size());
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
