#include "duv/interop/util.hpp"

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
    nb::object spec = nb::str("");
    return nb::borrow<nb::str>(steal_checked(PyObject_Format(o.ptr(), spec.ptr()))).c_str();
}

void raise(PyObject *type, const std::string &message) {
    PyErr_SetString(type, message.c_str());
    throw nb::python_error();
}

void raise_wrapped(PyObject *type, const std::string &prefix, nb::python_error &caught) {
    std::string text = prefix + str(caught.value());
    nb::object cause = nb::borrow(caught.value());
    nb::object exc = steal_checked(PyObject_CallOneArg(type, nb::str(text.c_str()).ptr()));
    PyException_SetContext(exc.ptr(), cause.release().ptr());
    // Restore rather than SetObject: the context must stay the caught exception.
    PyErr_Restore(Py_NewRef(type), exc.release().ptr(), nullptr);
    throw nb::python_error();
}

void warn(PyObject *category, const std::string &message) {
    check(PyErr_WarnEx(category, message.c_str(), 1) == 0);
}

void warn(nb::handle category, const std::string &message) { warn(category.ptr(), message); }

bool compare(nb::handle a, nb::handle b, int op) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    check(r >= 0);
    return r == 1;
}

double to_double(nb::handle o) {
    double v = PyFloat_AsDouble(o.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

}  // namespace duv
