#include "duv/interop/capi.hpp"

namespace duv {

#ifdef Py_LIMITED_API

namespace {

// types.FunctionType, MethodType, CellType, CodeType; set once, kept for the process.
PyObject *function_type_ = nullptr;
PyObject *method_type_ = nullptr;
PyObject *cell_type_ = nullptr;
PyObject *code_type_ = nullptr;
newfunc method_new_ = nullptr;

}  // namespace

void init_capi() {
    if (code_type_) return;
    nb::object types = nb::module_::import_("types");
    function_type_ = nb::object(types.attr("FunctionType")).release().ptr();
    method_type_ = nb::object(types.attr("MethodType")).release().ptr();
    cell_type_ = nb::object(types.attr("CellType")).release().ptr();
    code_type_ = nb::object(types.attr("CodeType")).release().ptr();
    method_new_ = reinterpret_cast<newfunc>(PyType_GetSlot(reinterpret_cast<PyTypeObject *>(method_type_), Py_tp_new));
}

nb::object dict_setdefault(nb::handle dict, nb::handle key, nb::handle value) {
    PyObject *args[] = {dict.ptr(), key.ptr(), value.ptr()};
    return steal_checked(
        PyObject_VectorcallMethod(DUV_STR("setdefault").ptr(), args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

nb::handle function_type_of_python() { return function_type_; }

PyObject *new_method(PyObject *func, PyObject *self) {
    // The type's own constructor, without the generic type call around it.
    PyObject *args = PyTuple_Pack(2, func, self);
    if (!args) return nullptr;
    PyObject *method = method_new_(reinterpret_cast<PyTypeObject *>(method_type_), args, nullptr);
    Py_DECREF(args);
    return method;
}

bool is_method_of(nb::handle bound, nb::handle func, nb::handle self) {
    if (Py_TYPE(bound.ptr()) != reinterpret_cast<PyTypeObject *>(method_type_)) return false;
    return bound.attr(DUV_STR("__func__")).is(func) && bound.attr(DUV_STR("__self__")).is(self);
}

nb::object new_cell(nb::handle value) { return call_one(cell_type_, value); }

nb::object cell_value(nb::handle cell) {
    PyObject *v = PyObject_GetAttr(cell.ptr(), DUV_STR("cell_contents").ptr());
    if (v) return nb::steal(v);
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw nb::python_error();
    PyErr_Clear();  // "Cell is empty"
    return nb::object();
}

nb::object empty_code(nb::handle filename, nb::handle name) {
    // RESUME 0; load AssertionError; RAISE_VARARGS 1; one line-table entry for the three
    // instructions, on the first line without columns.
    nb::dict opmap = nb::borrow<nb::dict>(nb::module_::import_("dis").attr("opmap"));
    const bool assertion_op = opmap.contains("LOAD_ASSERTION_ERROR");
    const char ops[] = {
        static_cast<char>(nb::cast<int>(opmap["RESUME"])),
        0,
        static_cast<char>(nb::cast<int>(opmap[assertion_op ? "LOAD_ASSERTION_ERROR" : "LOAD_COMMON_CONSTANT"])),
        0,
        static_cast<char>(nb::cast<int>(opmap["RAISE_VARARGS"])),
        1};
    const char lines[] = {static_cast<char>(0xea), 0};
    nb::tuple empty;
    nb::object code = nb::bytes(ops, sizeof ops), table = nb::bytes(lines, sizeof lines);
    return nb::handle(code_type_)(0, 0, 0, 0, 1, 0, code, empty, empty, empty, filename, name, name, 1, table,
                                  nb::bytes("", 0), empty, empty);
}

std::string type_display_name(PyTypeObject *type) {
    nb::handle t(reinterpret_cast<PyObject *>(type));
    nb::str name = nb::borrow<nb::str>(steal_checked(PyType_GetName(type)));
    if (PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE) return name.c_str();
    // A static type's module and name are cut from its C name at the last dot.
    nb::object module = t.attr("__module__");
    std::string m = nb::str(module).c_str();
    return m == "builtins" ? std::string(name.c_str()) : m + "." + name.c_str();
}

#else

void init_capi() {}

nb::object dict_setdefault(nb::handle dict, nb::handle key, nb::handle value) {
    PyObject *v = PyDict_SetDefault(dict.ptr(), key.ptr(), value.ptr());
    check(v != nullptr);
    return nb::borrow(v);
}

nb::handle function_type_of_python() { return reinterpret_cast<PyObject *>(&PyFunction_Type); }

PyObject *new_method(PyObject *func, PyObject *self) { return PyMethod_New(func, self); }

bool is_method_of(nb::handle bound, nb::handle func, nb::handle self) {
    return PyMethod_Check(bound.ptr()) && PyMethod_GET_FUNCTION(bound.ptr()) == func.ptr() &&
           PyMethod_GET_SELF(bound.ptr()) == self.ptr();
}

nb::object new_cell(nb::handle value) { return steal_checked(PyCell_New(value.ptr())); }

nb::object cell_value(nb::handle cell) { return nb::borrow(PyCell_GET(cell.ptr())); }

nb::object empty_code(nb::handle filename, nb::handle name) {
    const char *file = utf8(filename.ptr()), *text = utf8(name.ptr());
    check(file && text);
    PyCodeObject *code = PyCode_NewEmpty(file, text, 1);
    return steal_checked(reinterpret_cast<PyObject *>(code));
}

std::string type_display_name(PyTypeObject *type) { return type->tp_name; }

#endif

}  // namespace duv
