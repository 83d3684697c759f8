#include "duv/interop/module_state.hpp"

#include <stdexcept>

namespace duv {

ModuleState::~ModuleState() { clear(); }

nb::handle ModuleState::keep(nb::handle o) {
    refs_.push_back(Py_NewRef(o.ptr()));
    return o;
}

int ModuleState::traverse(visitproc visit, void *arg) const {
    for (PyObject *o : refs_) Py_VISIT(o);
    return 0;
}

void ModuleState::clear() {
    cleared_ = true;
    std::vector<PyObject *> refs;
    refs.swap(refs_);
    for (PyObject *o : refs) Py_DECREF(o);
}

namespace detail {

ModuleState *state_slot(nb::handle module) {
    if (!module.is_valid() || !PyModule_Check(module.ptr())) return nullptr;
    void *slot = PyModule_GetState(module.ptr());
    if (!slot) {
        PyErr_Clear();  // a module without a state slot
        return nullptr;
    }
    return *static_cast<ModuleState **>(slot);
}

void set_state(nb::handle module, ModuleState *state) {
    void *slot = PyModule_GetState(module.ptr());
    if (!slot) {
        delete state;
        if (!PyErr_Occurred()) PyErr_Format(PyExc_SystemError, "module %R has no state slot", module.ptr());
        throw nb::python_error();
    }
    ModuleState *&current = *static_cast<ModuleState **>(slot);
    delete current;
    current = state;
}

void missing_state(nb::handle module) {
    PyErr_Format(PyExc_SystemError, "the state of module %R is missing or of another kind", module.ptr());
    throw nb::python_error();
}

}  // namespace detail

AsImported::AsImported(ModuleState &state, std::initializer_list<const char *> names) : state_(state) {
    for (const char *dotted : names) {
        Name n;
        n.dotted = dotted;
        std::string part;
        for (const char *c = dotted;; ++c) {
            if (*c == '.' || *c == '\0') {
                n.path.push_back(part);
                part.clear();
                if (!*c) break;
            } else {
                part += *c;
            }
        }
        n.key = intern(n.path[0].c_str()).ptr();
        names_.push_back(std::move(n));
    }
}

// The object `n` names in the namespace, or an invalid object when a link is missing and
// `missing_ok` (otherwise the NameError or AttributeError propagates).
nb::object AsImported::resolve(nb::handle namespace_dict, const Name &n, bool missing_ok) const {
    PyObject *root = PyDict_GetItem(namespace_dict.ptr(), n.key);
    if (!root) {
        if (missing_ok) return nb::object();
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", n.path[0].c_str());
        throw nb::python_error();
    }
    nb::object o = nb::borrow(root);
    for (size_t i = 1; i < n.path.size(); ++i) {
        PyObject *next = PyObject_GetAttrString(o.ptr(), n.path[i].c_str());
        if (!next) {
            if (!missing_ok) throw nb::python_error();
            PyErr_Clear();
            return nb::object();
        }
        o = nb::steal(next);
    }
    return o;
}

void AsImported::take(nb::handle module) {
    nb::handle dict = PyModule_GetDict(module.ptr());
    for (Name &n : names_) n.taken = state_.keep(resolve(dict, n, false)).ptr();
    taken_ = true;
}

bool AsImported::intact(const Globals &g) const {
    if (!taken_ || state_.cleared()) return false;
    for (const Name &n : names_) {
        if (n.path.size() == 1) {  // a module name: one lookup, no reference taken
            PyObject *now = PyDict_GetItemWithError(g.dict().ptr(), n.key);
            if (!now && PyErr_Occurred()) PyErr_Clear();
            if (now != n.taken) return false;
            continue;
        }
        nb::object now = resolve(g.dict(), n, true);
        if (now.ptr() != n.taken) return false;
    }
    return true;
}

nb::handle AsImported::operator[](const char *name) const {
    for (const Name &n : names_)
        if (n.dotted == name) return n.taken;
    throw std::logic_error(std::string("no name '") + name + "' was declared as imported");
}

}  // namespace duv
