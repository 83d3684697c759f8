#include "duv/interop/module.hpp"
#include "duv/interop/capi.hpp"

#include "duv/interop/function.hpp"
#include "duv/interop/module_state.hpp"

#include <cstring>
#include <string>

namespace duv {

namespace {

// Head of the registry; constant-initialised, so it is set before any entry links in.
ModuleEntry *registry = nullptr;

ModuleEntry *find_entry(const char *name) {
    for (ModuleEntry *e = registry; e; e = e->next)
        if (std::strcmp(e->name, name) == 0) return e;
    return nullptr;
}

// The module state's slot: visited, cleared and freed with the module.
int traverse_state(PyObject *module, visitproc visit, void *arg) {
    const ModuleState *s = detail::state_slot(module);
    return s ? s->traverse(visit, arg) : 0;
}

int clear_state(PyObject *module) {
    if (ModuleState *s = detail::state_slot(module)) s->clear();
    return 0;
}

void free_state(void *module) {
    void *slot = PyModule_GetState(static_cast<PyObject *>(module));
    if (!slot) {
        PyErr_Clear();
        return;
    }
    ModuleState *&s = *static_cast<ModuleState **>(slot);
    delete s;
    s = nullptr;
}

DUV_ARGS(FindSpecArgs, self, fullname, path, target);
DUV_ARGS(CreateModuleArgs, self, spec);
DUV_ARGS(ExecModuleArgs, self, module);

nb::object find_spec(const FindSpecArgs &a) {
    nb::handle fullname = a.fullname;
    if (!PyUnicode_Check(fullname.ptr())) return nb::none();
    const char *name = utf8(fullname.ptr());
    check(name != nullptr);
    const ModuleEntry *e = find_entry(name);
    if (!e) return nb::none();
    nb::object machinery = nb::module_::import_("importlib.machinery");
    nb::object spec = machinery.attr("ModuleSpec")(fullname, a.self, "origin"_a = a.self.attr("origin"),
                                                   "is_package"_a = e->is_package);
    spec.attr("has_location") = true;
    return spec;
}

nb::object create_module(const CreateModuleArgs &a) {
    nb::object name = a.spec.attr("name");
    ModuleEntry *e = PyUnicode_Check(name.ptr()) ? find_entry(utf8(name.ptr())) : nullptr;
    if (!e) {
        PyErr_Format(PyExc_ImportError, "no built-in module named %R", name.ptr());
        throw nb::python_error();
    }
    nb::object module = steal_checked(PyModule_FromDefAndSpec(&e->def, a.spec.ptr()));
    check(PyModule_ExecDef(module.ptr(), &e->def) == 0);  // allocates the state slot (the def has no slots to run)
    return module;
}

nb::object exec_module(const ExecModuleArgs &a) {
    nb::module_ m = nb::borrow<nb::module_>(a.module);
    nb::str name(m.attr("__name__"));
    const ModuleEntry *e = find_entry(name.c_str());
    if (!e) {
        PyErr_Format(PyExc_ImportError, "no built-in module named %U", name.ptr());
        throw nb::python_error();
    }
    e->exec(m);
    return nb::none();
}

}  // namespace

ModuleEntry::ModuleEntry(const char *dotted_name, bool package, ExecFn exec_fn) noexcept
    : name(dotted_name), is_package(package), exec(exec_fn), next(registry),
      def{PyModuleDef_HEAD_INIT,
          dotted_name,
          nullptr,
          static_cast<Py_ssize_t>(sizeof(ModuleState *)),
          nullptr,
          nullptr,
          traverse_state,
          clear_state,
          free_state} {
    registry = this;
}

bool has_module(const char *name) { return find_entry(name) != nullptr; }

void install_finder(nb::module_ &package) {
    nb::list meta_path = nb::borrow<nb::list>(nb::module_::import_("sys").attr("meta_path"));
    // A second initialisation (the package deleted from sys.modules and imported
    // again) keeps the importer it installed the first time.
    for (nb::handle finder : meta_path) {
        nb::handle type = reinterpret_cast<PyObject *>(Py_TYPE(finder.ptr()));
        if (nb::getattr(type, "__module__", nb::none()).equal(nb::str("duv")) &&
            nb::getattr(type, "__qualname__", nb::none()).equal(nb::str("_Importer")))
            return;
    }
    // The finder is an instance of a small class of its own: importlib calls
    // find_spec/create_module/exec_module on it. Its `origin`, the library's path, is
    // every submodule's __file__.
    nb::dict ns;
    ns["__module__"] = "duv";
    ns["__qualname__"] = "_Importer";
    ns["find_spec"] =
        make_function(package, "find_spec", "_Importer.find_spec",
                      {arg("self"), arg("fullname"), arg("path"), arg("target", nb::none())}, detail::body(find_spec));
    ns["create_module"] = make_function(package, "create_module", "_Importer.create_module", {arg("self"), arg("spec")},
                                        detail::body(create_module));
    ns["exec_module"] = make_function(package, "exec_module", "_Importer.exec_module", {arg("self"), arg("module")},
                                      detail::body(exec_module));
    nb::object cls = nb::borrow(reinterpret_cast<PyObject *>(&PyType_Type))("_Importer", nb::make_tuple(), ns);
    nb::object importer = cls();
    importer.attr("origin") = package.attr("__file__");
    meta_path.insert(0, importer);
}

namespace {

// One name of `from mod import name`, with the interpreter's fallback to a submodule
// and its ImportError (message, name and path).
nb::object import_name(nb::handle mod, const char *n) {
    PyObject *v = PyObject_GetAttrString(mod.ptr(), n);
    if (v) return nb::steal(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    nb::object pkgname = nb::getattr(mod, "__name__", nb::none());
    if (PyUnicode_Check(pkgname.ptr())) {
        nb::object full = steal_checked(PyUnicode_FromFormat("%U.%s", pkgname.ptr(), n));
        PyObject *sub = PyImport_GetModule(full.ptr());
        if (sub) return nb::steal(sub);
        if (PyErr_Occurred()) throw nb::python_error();
    } else {
        pkgname = nb::str("<unknown module name>");
    }
    nb::str name(n);
    PyObject *path = PyModule_Check(mod.ptr()) ? PyModule_GetFilenameObject(mod.ptr()) : nullptr;
    if (!path) PyErr_Clear();
    nb::object pkgpath = nb::steal(path);
    nb::object msg = pkgpath.is_valid() && PyUnicode_Check(pkgpath.ptr())
                         ? steal_checked(PyUnicode_FromFormat("cannot import name %R from %R (%S)", name.ptr(),
                                                              pkgname.ptr(), pkgpath.ptr()))
                         : steal_checked(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)",
                                                              name.ptr(), pkgname.ptr()));
    PyErr_SetImportError(msg.ptr(), pkgname.ptr(), pkgpath.is_valid() ? pkgpath.ptr() : nullptr);
    throw nb::python_error();
}

}  // namespace

void from_import(nb::module_ &m, const char *name, std::initializer_list<const char *> names) {
    int level = 0;
    while (name[level] == '.') ++level;
    nb::list fromlist;
    for (const char *n : names) fromlist.append(n);
    nb::object globals = nb::borrow(PyModule_GetDict(m.ptr()));
    nb::object mod =
        steal_checked(PyImport_ImportModuleLevel(name + level, globals.ptr(), nullptr, fromlist.ptr(), level));
    for (const char *n : names) {
        nb::object v = import_name(mod, n);
        check(PyModule_AddObjectRef(m.ptr(), n, v.ptr()) == 0);
    }
}

void from_import_as(nb::module_ &m, const char *name, const char *attr, const char *alias) {
    int level = 0;
    while (name[level] == '.') ++level;
    nb::list fromlist;
    fromlist.append(attr);
    nb::object globals = nb::borrow(PyModule_GetDict(m.ptr()));
    nb::object mod =
        steal_checked(PyImport_ImportModuleLevel(name + level, globals.ptr(), nullptr, fromlist.ptr(), level));
    nb::object v = import_name(mod, attr);
    check(PyModule_AddObjectRef(m.ptr(), alias, v.ptr()) == 0);
}

bool from_import_if_built(nb::module_ &m, const char *name, std::initializer_list<const char *> names) {
    std::string full = nb::str(m.attr("__name__")).c_str();
    const char *rest = name;
    for (++rest; *rest == '.'; ++rest) full = full.substr(0, full.rfind('.'));
    full += std::string(".") + rest;
    if (!has_module(full.c_str())) return false;
    from_import(m, name, names);
    return true;
}

void import_as(nb::module_ &m, const char *name, const char *alias) {
    nb::object mod = steal_checked(PyImport_ImportModule(name));
    if (alias) {
        check(PyModule_AddObjectRef(m.ptr(), alias, mod.ptr()) == 0);
        return;
    }
    // `import a.b` binds the top-level package `a`.
    std::string top(name);
    top = top.substr(0, top.find('.'));
    nb::object top_mod = steal_checked(PyImport_ImportModule(top.c_str()));
    check(PyModule_AddObjectRef(m.ptr(), top.c_str(), top_mod.ptr()) == 0);
}

void set_all(nb::module_ &m, std::initializer_list<const char *> names) {
    nb::list all;
    for (const char *n : names)
        if (PyObject_HasAttrString(m.ptr(), n)) all.append(n);
    m.attr("__all__") = all;
}

}  // namespace duv
