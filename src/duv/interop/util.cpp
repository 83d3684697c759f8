#include "duv/interop/util.hpp"
#include "duv/interop/capi.hpp"

namespace duv {

long long py_round_int(double x) {
    nb::object i = steal_checked(PyLong_FromDouble(py_round(x)));
    long long v = PyLong_AsLongLong(i.ptr());
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

std::string repr(nb::handle o) { return nb::borrow<nb::str>(steal_checked(PyObject_Repr(o.ptr()))).c_str(); }

std::string str(nb::handle o) { return nb::borrow<nb::str>(steal_checked(PyObject_Str(o.ptr()))).c_str(); }

std::string format(nb::handle o) {
    nb::object empty = nb::str("");
    return nb::borrow<nb::str>(steal_checked(PyObject_Format(o.ptr(), empty.ptr()))).c_str();
}

std::string type_name(nb::handle o) {
    return nb::str(nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(o.ptr()))).attr("__name__")).c_str();
}

void raise(PyObject *type, const std::string &message) {
    PyErr_SetString(type, message.c_str());
    throw nb::python_error();
}

void raise_wrapped(PyObject *type, const std::string &prefix, nb::python_error &caught) {
    std::string text = prefix + str(caught.value());
    nb::object cause = nb::borrow(caught.value());
    nb::object exc = call_one(type, nb::str(text.c_str()));
    PyException_SetContext(exc.ptr(), cause.release().ptr());
    // Restore rather than SetObject: the context must stay the caught exception.
    PyErr_Restore(Py_NewRef(type), exc.release().ptr(), nullptr);
    throw nb::python_error();
}

void warn(PyObject *category, const std::string &message) { check(PyErr_WarnEx(category, message.c_str(), 1) == 0); }

void warn(nb::handle category, const std::string &message) { warn(category.ptr(), message); }

bool compare(nb::handle a, nb::handle b, int op) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    check(r >= 0);
    return r == 1;
}

double to_double(nb::handle o) {
    if (PyFloat_CheckExact(o.ptr())) return float_value(o.ptr());
    return float_value(steal_checked(PyNumber_Float(o.ptr())).ptr());
}

nb::object getattr_or_null(nb::handle o, nb::handle name) {
    PyObject *v = PyObject_GetAttr(o.ptr(), name.ptr());
    if (v) return nb::steal(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    return nb::object();
}

bool has_attr(nb::handle o, const char *name) {
    nb::object n = steal_checked(PyUnicode_FromString(name));
    return getattr_or_null(o, n).is_valid();
}

std::vector<nb::object> unpack(nb::handle value, size_t n) {
    PyObject *it = PyObject_GetIter(value.ptr());
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && PyType_GetSlot(Py_TYPE(value.ptr()), Py_tp_iter) == nullptr &&
            !PySequence_Check(value.ptr())) {
            PyErr_Clear();
            std::string name = type_display_name(Py_TYPE(value.ptr()));
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", name.c_str());
        }
        throw nb::python_error();
    }
    nb::object iter = nb::steal(it);
    std::vector<nb::object> out;
    for (size_t i = 0; i < n; ++i) {
        PyObject *v = PyIter_Next(it);
        if (!v) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", n, i);
            throw nb::python_error();
        }
        out.push_back(nb::steal(v));
    }
    PyObject *extra = PyIter_Next(it);
    if (extra) {
        Py_DECREF(extra);
        // From 3.14 the interpreter counts the values of an exact list, tuple or dict.
        PyObject *v = value.ptr();
        if (python_at_least(3, 14) && (PyList_CheckExact(v) || PyTuple_CheckExact(v) || PyDict_CheckExact(v))) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu, got %zd)", n,
                         PyObject_Length(value.ptr()));
            throw nb::python_error();
        }
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", n);
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return out;
}

}  // namespace duv

#include "duv/interop/buffer.hpp"

namespace duv {

nb::object call_with(nb::handle fn, nb::handle args, nb::handle kwargs) {
    return steal_checked(PyObject_Call(fn.ptr(), args.ptr(), kwargs.ptr()));
}

IgnoringNumpyErrors::IgnoringNumpyErrors(nb::handle np) : cm_(np.attr("errstate")("all"_a = "ignore")) {
    cm_.attr("__enter__")();
}

IgnoringNumpyErrors::~IgnoringNumpyErrors() {
    nb::error_scope keep;  // an error already raised stays the one reported
    PyObject *r = PyObject_CallMethod(cm_.ptr(), "__exit__", "OOO", Py_None, Py_None, Py_None);
    if (!r) PyErr_Clear();
    Py_XDECREF(r);
}

nb::object float64_vector(nb::handle np, const std::vector<double> &values) {
    nb::object out = np.attr("empty")(values.size());
    ArrayView v(out, true);
    if (!v.has(Dtype::F64) || v.ndim() != 1) raise(PyExc_RuntimeError, "numpy.empty gave an unexpected array");
    for (std::size_t j = 0; j < values.size(); ++j)
        *reinterpret_cast<double *>(v.data() + static_cast<std::ptrdiff_t>(j) * v.stride(0)) = values[j];
    return out;
}

std::string function_str(nb::handle f) {
    nb::object qualname = getattr_or_null(f, DUV_STR("__qualname__"));
    if (!qualname.is_valid()) return str(f);
    nb::object module = getattr_or_null(f, DUV_STR("__module__"));
    if (module.is_valid() && !module.is_none() && compare(module, DUV_STR("builtins"), Py_NE))
        return str(module) + "." + str(qualname) + "()";
    return str(qualname) + "()";
}

void merge_keywords(nb::dict &keywords, nb::handle more, nb::handle callee) {
    nb::object items =
        PyDict_Check(more.ptr()) ? nb::borrow(more) : call_one(reinterpret_cast<PyObject *>(&PyDict_Type), more);
    for (auto [key, value] : nb::borrow<nb::dict>(items)) {
        if (keywords.contains(key))
            raise(PyExc_TypeError,
                  function_str(callee) + " got multiple values for keyword argument '" + str(key) + "'");
        keywords[key] = value;
    }
}

void raise_formatted(PyObject *type, const char *fmt, nb::handle values) {
    nb::object message = steal_checked(PyUnicode_Format(nb::str(fmt).ptr(), values.ptr()));
    PyErr_SetObject(type, message.ptr());
    throw nb::python_error();
}

nb::object squared(nb::handle o) { return steal_checked(PyNumber_Power(o.ptr(), nb::int_(2).ptr(), Py_None)); }

}  // namespace duv

namespace duv {

nb::object vector_as_column(nb::handle a) {
    if (compare(a.attr("ndim"), nb::int_(1), Py_EQ)) return a.attr("reshape")(-1, 1);
    return nb::borrow(a);
}

}  // namespace duv
