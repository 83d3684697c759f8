#include "duv/interop/function.hpp"

#include "duv/interop/capi.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
// CPython 3.12's names for the older ones, so they keep CPython's spelling.
#define Py_T_PYSSIZET T_PYSSIZET  // NOLINT(readability-identifier-naming)
#define Py_READONLY READONLY      // NOLINT(readability-identifier-naming)
#endif

namespace duv {

// Code flags, as inspect.CO_* names them.
constexpr int kCoOptimized = 0x1, kCoNewLocals = 0x2, kCoVarArgs = 0x4, kCoVarKeywords = 0x8, kCoNested = 0x10;
#ifndef Py_LIMITED_API
static_assert(kCoOptimized == CO_OPTIMIZED && kCoNewLocals == CO_NEWLOCALS && kCoVarArgs == CO_VARARGS &&
              kCoVarKeywords == CO_VARKEYWORDS && kCoNested == CO_NESTED);
#endif

Param posonly(const char *name) { return Param{name, Kind::PositionalOnly, {}, {}}; }
Param arg(const char *name) { return Param{name, Kind::PositionalOrKeyword, {}, {}}; }
Param kwonly(const char *name) { return Param{name, Kind::KeywordOnly, {}, {}}; }
Param varargs(const char *name) { return Param{name, Kind::VarPositional, {}, {}}; }
Param varkw(const char *name) { return Param{name, Kind::VarKeyword, {}, {}}; }

nb::object default_value(const char *text) { return steal_checked(PyUnicode_InternFromString(text)); }

struct FunctionInfo {
    std::vector<Param> params;
    std::vector<PyObject *> names;  // interned, owned
    size_t n_positional = 0;        // positional-only and positional-or-keyword parameters (always first)
    size_t n_posonly = 0;
    size_t n_pos_defaults = 0;  // trailing positional parameters with defaults
    Py_ssize_t varargs_slot = -1;
    Py_ssize_t varkw_slot = -1;
    detail::Body body{};
    nb::object return_annotation;

    FunctionInfo() = default;
    FunctionInfo(const FunctionInfo &) = delete;
    FunctionInfo &operator=(const FunctionInfo &) = delete;
    ~FunctionInfo() {
        for (PyObject *n : names) Py_XDECREF(n);
    }
};

namespace {

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyObject *dict;
    PyObject *weakrefs;
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *globals;
    PyObject *defining_module;  // the module object whose namespace `globals` is, for its state
    PyObject *signature;
    PyObject *code;
    PyObject *closure;  // tuple of cells, or null
    FunctionInfo *info;
};

PyTypeObject *function_type = nullptr;

// ---- argument binding, with the interpreter's own error messages -------------------

PyObject *format_names(const std::vector<PyObject *> &names) {
    // 'a'  |  'a' and 'b'  |  'a', 'b', and 'c'
    std::vector<nb::object> reprs;
    reprs.reserve(names.size());
    for (PyObject *n : names) reprs.push_back(steal_checked(PyObject_Repr(n)));
    std::string out;
    auto s = [](const nb::object &o) { return std::string(nb::borrow<nb::str>(o).c_str()); };
    size_t len = reprs.size();
    if (len == 1) {
        out = s(reprs[0]);
    } else if (len == 2) {
        out = s(reprs[0]) + " and " + s(reprs[1]);
    } else {
        for (size_t i = 0; i + 2 < len; ++i) out += (i ? ", " : "") + s(reprs[i]);
        out += ", " + s(reprs[len - 2]) + ", and " + s(reprs[len - 1]);
    }
    return PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

void missing_arguments(FunctionObject *f, PyObject **slots, bool kwonly) {
    const FunctionInfo &sp = *f->info;
    std::vector<PyObject *> names;
    for (size_t i = 0; i < sp.params.size(); ++i) {
        const Param &p = sp.params[i];
        if (slots[i]) continue;
        if (kwonly ? (p.kind == Kind::KeywordOnly && !p.default_.is_valid())
                   : (p.kind <= Kind::PositionalOrKeyword && i < sp.n_positional - sp.n_pos_defaults))
            names.push_back(sp.names[i]);
    }
    PyObject *joined = format_names(names);
    if (!joined) return;
    PyErr_Format(PyExc_TypeError, "%U() missing %i required %s argument%s: %U", f->qualname,
                 static_cast<int>(names.size()), kwonly ? "keyword-only" : "positional", names.size() == 1 ? "" : "s",
                 joined);
    Py_DECREF(joined);
}

void too_many_positional(FunctionObject *f, Py_ssize_t given, PyObject **slots) {
    const FunctionInfo &sp = *f->info;
    Py_ssize_t kwonly_given = 0;
    for (size_t i = 0; i < sp.params.size(); ++i)
        if (sp.params[i].kind == Kind::KeywordOnly && slots[i]) ++kwonly_given;
    Py_ssize_t argcount = static_cast<Py_ssize_t>(sp.n_positional),
               defcount = static_cast<Py_ssize_t>(sp.n_pos_defaults);
    nb::object sig;
    bool plural;
    if (defcount) {
        plural = true;
        sig = steal_checked(PyUnicode_FromFormat("from %zd to %zd", argcount - defcount, argcount));
    } else {
        plural = argcount != 1;
        sig = steal_checked(PyUnicode_FromFormat("%zd", argcount));
    }
    nb::object kwonly_sig;
    if (kwonly_given) {
        kwonly_sig =
            steal_checked(PyUnicode_FromFormat(" positional argument%s (and %zd keyword-only argument%s)",
                                               given != 1 ? "s" : "", kwonly_given, kwonly_given != 1 ? "s" : ""));
    } else {
        kwonly_sig = steal_checked(PyUnicode_FromString(""));
    }
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given", f->qualname, sig.ptr(),
                 plural ? "s" : "", given, kwonly_sig.ptr(), given == 1 && !kwonly_given ? "was" : "were");
}

// Closest parameter name, as the interpreter suggests it for a mistyped keyword.
constexpr size_t kMaxStringSize = 40;
constexpr size_t kMoveCost = 2;
constexpr size_t kCaseCost = 1;

size_t substitution_cost(char a, char b) {
    if ((a & 31) != (b & 31)) return kMoveCost;
    if (a == b) return 0;
    if ('A' <= a && a <= 'Z') a += ('a' - 'A');
    if ('A' <= b && b <= 'Z') b += ('a' - 'A');
    return a == b ? kCaseCost : kMoveCost;
}

// Drops the characters two strings share at their start and at their end.
void trim_common_ends(const char *&a, size_t &a_size, const char *&b, size_t &b_size) {
    while (a_size && b_size && a[0] == b[0]) {
        ++a;
        ++b;
        --a_size;
        --b_size;
    }
    while (a_size && b_size && a[a_size - 1] == b[b_size - 1]) {
        --a_size;
        --b_size;
    }
}

// The edit distance of a (the shorter, at most kMaxStringSize) and b, or max_cost + 1 once every
// path costs more.
size_t edit_distance(const char *a, size_t a_size, const char *b, size_t b_size, size_t max_cost) {
    size_t buffer[kMaxStringSize];
    size_t tmp = kMoveCost;
    for (size_t i = 0; i < a_size; ++i) {
        buffer[i] = tmp;
        tmp += kMoveCost;
    }
    size_t result = 0;
    for (size_t bi = 0; bi < b_size; ++bi) {
        char code = b[bi];
        size_t distance = result = bi * kMoveCost;
        size_t minimum = SIZE_MAX;
        for (size_t ai = 0; ai < a_size; ++ai) {
            size_t substitute = distance + substitution_cost(code, a[ai]);
            distance = buffer[ai];
            size_t insert_delete = std::min(result, distance) + kMoveCost;
            result = std::min(insert_delete, substitute);
            buffer[ai] = result;
            minimum = std::min(minimum, result);
        }
        if (minimum > max_cost) return max_cost + 1;
    }
    return result;
}

size_t levenshtein(const char *a, size_t a_size, const char *b, size_t b_size, size_t max_cost) {
    if (a == b) return 0;
    trim_common_ends(a, a_size, b, b_size);
    if (a_size == 0 || b_size == 0) return (a_size + b_size) * kMoveCost;
    if (a_size > kMaxStringSize || b_size > kMaxStringSize) return max_cost + 1;
    if (b_size < a_size) {
        std::swap(a, b);
        std::swap(a_size, b_size);
    }
    if ((b_size - a_size) * kMoveCost > max_cost) return max_cost + 1;
    return edit_distance(a, a_size, b, b_size, max_cost);
}

PyObject *suggest_keyword(const FunctionInfo &sp, PyObject *keyword) {
    Py_ssize_t name_size;
    const char *name = PyUnicode_AsUTF8AndSize(keyword, &name_size);
    if (!name) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject *best = nullptr;
    size_t best_distance = SIZE_MAX;
    for (size_t i = 0; i < sp.params.size(); ++i) {
        Kind k = sp.params[i].kind;
        if (k != Kind::PositionalOrKeyword && k != Kind::KeywordOnly) continue;
        PyObject *item = sp.names[i];
        Py_ssize_t item_size;
        const char *item_str = PyUnicode_AsUTF8AndSize(item, &item_size);
        size_t max_distance = static_cast<size_t>(name_size + item_size + 3) * kMoveCost / 6;
        if (best_distance != SIZE_MAX) max_distance = std::min(max_distance, best_distance - 1);
        size_t d =
            levenshtein(name, static_cast<size_t>(name_size), item_str, static_cast<size_t>(item_size), max_distance);
        if (d > max_distance) continue;
        if (!best || d < best_distance) {
            best = item;
            best_distance = d;
        }
    }
    return best;
}

void unexpected_keyword(FunctionObject *f, PyObject *keyword) {
    // The interpreter suggests a parameter name from 3.13 on.
    if (PyObject *suggestion = python_at_least(3, 13) ? suggest_keyword(*f->info, keyword) : nullptr) {
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?", f->qualname,
                     keyword, suggestion);
        return;
    }
    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, keyword);
}

Py_ssize_t find_keyword(const FunctionInfo &sp, PyObject *key) {
    for (size_t i = 0; i < sp.params.size(); ++i)
        if (sp.names[i] == key &&
            (sp.params[i].kind == Kind::PositionalOrKeyword || sp.params[i].kind == Kind::KeywordOnly))
            return static_cast<Py_ssize_t>(i);
    for (size_t i = 0; i < sp.params.size(); ++i) {
        Kind k = sp.params[i].kind;
        if (k != Kind::PositionalOrKeyword && k != Kind::KeywordOnly) continue;
        int eq = PyUnicode_Compare(sp.names[i], key);
        if (eq == 0) return static_cast<Py_ssize_t>(i);
        if (eq == -1 && PyErr_Occurred()) PyErr_Clear();
    }
    return -1;
}

bool is_posonly_name(const FunctionInfo &sp, PyObject *key) {
    for (size_t i = 0; i < sp.n_posonly; ++i) {
        int eq = PyUnicode_Compare(sp.names[i], key);
        if (eq == 0) return true;
        if (eq == -1 && PyErr_Occurred()) PyErr_Clear();
    }
    return false;
}

// True, with the interpreter's error naming them, when positional-only parameters were passed by keyword.
bool posonly_passed_as_keywords(FunctionObject *f, PyObject *kwnames) {
    if (!f->info->n_posonly) return false;
    std::string names;
    for (Py_ssize_t i = 0; i < tuple_size(kwnames); ++i) {
        PyObject *key = tuple_item(kwnames, i);
        if (!is_posonly_name(*f->info, key)) continue;
        const char *utf8 = PyUnicode_AsUTF8AndSize(key, nullptr);
        if (!utf8) return true;
        names += (names.empty() ? "" : ", ") + std::string(utf8);
    }
    if (names.empty()) return false;
    PyErr_Format(PyExc_TypeError, "%U() got some positional-only arguments passed as keyword arguments: '%s'",
                 f->qualname, names.c_str());
    return true;
}

struct SlotGuard {
    PyObject *varargs = nullptr, *varkw = nullptr;
    ~SlotGuard() {
        Py_XDECREF(varargs);
        Py_XDECREF(varkw);
    }
};

PyObject *call_impl(FunctionObject *f, PyObject **slots, size_t n) {
    try {
        RawCall call;
        call.slots_ = slots;
        call.names_ = f->info->names.data();
        call.n_ = n;
        call.globals_ = f->globals;
        call.module_ = f->defining_module;
        call.closure_ = f->closure;
        const detail::Body &body = f->info->body;
        nb::object result = body.trampoline(body.fn, call);
        return result.release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const nb::cast_error &e) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "unable to convert a Python object (%s)", e.what());
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    }
    return nullptr;
}

// The leading positional arguments into their slots, the rest into *args' tuple when there is one.
bool bind_positional(const FunctionInfo &sp, PyObject *const *args, Py_ssize_t nargs, PyObject **slots,
                     SlotGuard &guard) {
    Py_ssize_t n = std::min<Py_ssize_t>(nargs, static_cast<Py_ssize_t>(sp.n_positional));
    for (Py_ssize_t i = 0; i < n; ++i) slots[i] = args[i];
    if (sp.varargs_slot < 0) return true;
    Py_ssize_t extra = nargs > n ? nargs - n : 0;
    guard.varargs = PyTuple_New(extra);
    if (!guard.varargs) return false;
    for (Py_ssize_t i = 0; i < extra; ++i) tuple_fill(guard.varargs, i, Py_NewRef(args[n + i]));
    return true;
}

// Keyword arguments into their slots, or into **kwargs' dict when no parameter takes them.
bool bind_keywords(FunctionObject *f, PyObject *const *values, PyObject *kwnames, PyObject **slots, SlotGuard &guard) {
    const FunctionInfo &sp = *f->info;
    for (Py_ssize_t i = 0; i < tuple_size(kwnames); ++i) {
        PyObject *key = tuple_item(kwnames, i);
        PyObject *value = values[i];
        Py_ssize_t j = find_keyword(sp, key);
        if (j < 0) {
            if (!guard.varkw && posonly_passed_as_keywords(f, kwnames)) return false;
            if (guard.varkw) {
                if (PyDict_SetItem(guard.varkw, key, value) < 0) return false;
                continue;
            }
            unexpected_keyword(f, key);
            return false;
        }
        if (slots[j]) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, key);
            return false;
        }
        slots[j] = value;
    }
    return true;
}

// Defaults into the slots left empty, with the interpreter's error for a missing argument.
bool fill_defaults(FunctionObject *f, Py_ssize_t nargs, PyObject **slots) {
    const FunctionInfo &sp = *f->info;
    if (nargs < static_cast<Py_ssize_t>(sp.n_positional)) {
        size_t first_default = sp.n_positional - sp.n_pos_defaults;
        for (size_t i = static_cast<size_t>(nargs); i < first_default; ++i) {
            if (!slots[i]) {
                missing_arguments(f, slots, false);
                return false;
            }
        }
        for (size_t i = first_default; i < sp.n_positional; ++i)
            if (!slots[i]) slots[i] = sp.params[i].default_.ptr();
    }
    bool kw_missing = false;
    for (size_t i = sp.n_positional; i < sp.params.size(); ++i) {
        const Param &p = sp.params[i];
        if (p.kind != Kind::KeywordOnly || slots[i]) continue;
        if (p.default_.is_valid())
            slots[i] = p.default_.ptr();
        else
            kw_missing = true;
    }
    if (kw_missing) missing_arguments(f, slots, true);
    return !kw_missing;
}

PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    const FunctionInfo &sp = *f->info;
    const size_t n_params = sp.params.size();
    std::array<PyObject *, 48> small;
    std::vector<PyObject *> large;
    PyObject **slots = small.data();
    if (n_params > small.size()) {
        large.resize(n_params);
        slots = large.data();
    }
    std::fill_n(slots, n_params, nullptr);
    SlotGuard guard;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);

    if (sp.varkw_slot >= 0) {
        guard.varkw = PyDict_New();
        if (!guard.varkw) return nullptr;
    }
    if (!bind_positional(sp, args, nargs, slots, guard)) return nullptr;
    if (kwnames && !bind_keywords(f, args + nargs, kwnames, slots, guard)) return nullptr;
    if (nargs > static_cast<Py_ssize_t>(sp.n_positional) && sp.varargs_slot < 0) {
        too_many_positional(f, nargs, slots);
        return nullptr;
    }
    if (!fill_defaults(f, nargs, slots)) return nullptr;
    if (sp.varargs_slot >= 0) slots[sp.varargs_slot] = guard.varargs;
    if (sp.varkw_slot >= 0) slots[sp.varkw_slot] = guard.varkw;
    return call_impl(f, slots, n_params);
}

// ---- type slots ------------------------------------------------------------------

int function_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->dict);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->globals);
    Py_VISIT(f->defining_module);
    Py_VISIT(f->signature);
    Py_VISIT(f->code);
    Py_VISIT(f->closure);
    return 0;
}

int function_clear(PyObject *self) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->defining_module);
    Py_CLEAR(f->signature);
    Py_CLEAR(f->code);
    Py_CLEAR(f->closure);
    return 0;
}

void function_dealloc(PyObject *self) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    delete f->info;
    reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free))(self);
    Py_DECREF(tp);
}

PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return new_method(self, obj);
}

PyObject *function_repr(PyObject *self) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

PyObject *get_name(PyObject *self, void *) { return Py_NewRef(reinterpret_cast<FunctionObject *>(self)->name); }
PyObject *get_qualname(PyObject *self, void *) { return Py_NewRef(reinterpret_cast<FunctionObject *>(self)->qualname); }
PyObject *get_module(PyObject *self, void *) { return Py_NewRef(reinterpret_cast<FunctionObject *>(self)->module); }
PyObject *get_doc(PyObject *self, void *) { return Py_NewRef(reinterpret_cast<FunctionObject *>(self)->doc); }
PyObject *get_globals(PyObject *self, void *) { return Py_NewRef(reinterpret_cast<FunctionObject *>(self)->globals); }

int set_str_field(PyObject **field, PyObject *value, const char *what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    replace_ref(*field, Py_NewRef(value));
    return 0;
}
int set_name(PyObject *self, PyObject *v, void *) {
    return set_str_field(&reinterpret_cast<FunctionObject *>(self)->name, v, "__name__");
}
int set_qualname(PyObject *self, PyObject *v, void *) {
    return set_str_field(&reinterpret_cast<FunctionObject *>(self)->qualname, v, "__qualname__");
}
int set_any_field(PyObject **field, PyObject *value) {
    replace_ref(*field, Py_NewRef(value ? value : Py_None));
    return 0;
}
int set_module(PyObject *self, PyObject *v, void *) {
    return set_any_field(&reinterpret_cast<FunctionObject *>(self)->module, v);
}
int set_doc(PyObject *self, PyObject *v, void *) {
    return set_any_field(&reinterpret_cast<FunctionObject *>(self)->doc, v);
}

PyObject *get_defaults(PyObject *self, void *) {
    const FunctionInfo &sp = *reinterpret_cast<FunctionObject *>(self)->info;
    if (!sp.n_pos_defaults) Py_RETURN_NONE;
    PyObject *t = PyTuple_New(static_cast<Py_ssize_t>(sp.n_pos_defaults));
    if (!t) return nullptr;
    size_t first = sp.n_positional - sp.n_pos_defaults;
    for (size_t i = 0; i < sp.n_pos_defaults; ++i)
        tuple_fill(t, static_cast<Py_ssize_t>(i), Py_NewRef(sp.params[first + i].default_.ptr()));
    return t;
}

PyObject *get_kwdefaults(PyObject *self, void *) {
    const FunctionInfo &sp = *reinterpret_cast<FunctionObject *>(self)->info;
    PyObject *d = nullptr;
    for (size_t i = 0; i < sp.params.size(); ++i) {
        const Param &p = sp.params[i];
        if (p.kind != Kind::KeywordOnly || !p.default_.is_valid()) continue;
        if (!d) {
            d = PyDict_New();
            if (!d) return nullptr;
        }
        if (PyDict_SetItem(d, sp.names[i], p.default_.ptr()) < 0) {
            Py_DECREF(d);
            return nullptr;
        }
    }
    if (!d) Py_RETURN_NONE;
    return d;
}

PyObject *get_annotations(PyObject *self, void *) {
    const FunctionInfo &sp = *reinterpret_cast<FunctionObject *>(self)->info;
    PyObject *d = PyDict_New();
    if (!d) return nullptr;
    for (size_t i = 0; i < sp.params.size(); ++i) {
        if (!sp.params[i].annotation.is_valid()) continue;
        if (PyDict_SetItem(d, sp.names[i], sp.params[i].annotation.ptr()) < 0) {
            Py_DECREF(d);
            return nullptr;
        }
    }
    if (sp.return_annotation.is_valid() && PyDict_SetItemString(d, "return", sp.return_annotation.ptr()) < 0) {
        Py_DECREF(d);
        return nullptr;
    }
    return d;
}

// __annotate__(format), as the interpreter generates it for functions: the annotations
// for VALUE (1) and VALUE_WITH_FAKE_GLOBALS (2), NotImplementedError otherwise.
PyObject *annotate(PyObject *self, PyObject *format) {
    long f = PyLong_AsLong(format);
    if (f == -1 && PyErr_Occurred()) return nullptr;
    if (f > 2) {
        PyErr_SetNone(PyExc_NotImplementedError);
        return nullptr;
    }
    return get_annotations(self, nullptr);
}

PyMethodDef annotate_def = {"__annotate__", annotate, METH_O, nullptr};

PyObject *get_annotate(PyObject *self, void *) { return PyCFunction_New(&annotate_def, self); }

nb::object build_signature(const FunctionInfo &sp) {
    nb::object inspect = nb::module_::import_("inspect");
    nb::object parameter = inspect.attr("Parameter");
    nb::object empty = parameter.attr("empty");
    const char *kinds[] = {"POSITIONAL_ONLY", "POSITIONAL_OR_KEYWORD", "VAR_POSITIONAL", "KEYWORD_ONLY", "VAR_KEYWORD"};
    nb::list params;
    for (const Param &p : sp.params) {
        nb::object kind = parameter.attr(kinds[static_cast<int>(p.kind)]);
        params.append(parameter(p.name.c_str(), kind, "default"_a = p.default_.is_valid() ? p.default_ : empty,
                                "annotation"_a = p.annotation.is_valid() ? p.annotation : empty));
    }
    nb::object ret = sp.return_annotation.is_valid() ? sp.return_annotation : empty;
    return inspect.attr("Signature")(params, "return_annotation"_a = ret);
}

PyObject *get_signature(PyObject *self, void *) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    if (!f->signature) {
        try {
            f->signature = build_signature(*f->info).release().ptr();
        } catch (nb::python_error &e) {
            e.restore();
            return nullptr;
        }
    }
    return Py_NewRef(f->signature);
}

int set_signature(PyObject *self, PyObject *v, void *) {
    replace_ref(reinterpret_cast<FunctionObject *>(self)->signature, Py_XNewRef(v));
    return 0;
}

PyObject *function_reduce(PyObject *self, PyObject *) {
    // A string makes pickle store a reference to module.qualname.
    return Py_NewRef(reinterpret_cast<FunctionObject *>(self)->qualname);
}

std::vector<std::string> split_names(const char *list);

// A code object describing the parameters as the compiler would (argument counts, local
// names, flags), so that `inspect`'s code-flag predicates and pydoc answer as for a Python
// function. It is never executed.
nb::object build_code(FunctionObject *f) {
    const FunctionInfo &sp = *f->info;
    nb::list names;
    int flags = kCoOptimized | kCoNewLocals;
    Py_ssize_t n_kwonly = 0;
    for (size_t i = 0; i < sp.params.size(); ++i) {
        if (sp.params[i].kind <= Kind::PositionalOrKeyword) names.append(nb::handle(sp.names[i]));
        if (sp.params[i].kind == Kind::KeywordOnly) {
            names.append(nb::handle(sp.names[i]));
            ++n_kwonly;
        }
    }
    if (sp.varargs_slot >= 0) {
        names.append(nb::handle(sp.names[static_cast<size_t>(sp.varargs_slot)]));
        flags |= kCoVarArgs;
    }
    if (sp.varkw_slot >= 0) {
        names.append(nb::handle(sp.names[static_cast<size_t>(sp.varkw_slot)]));
        flags |= kCoVarKeywords;
    }
    nb::list freevars;
    if (sp.body.free_names) {
        for (const std::string &n : split_names(sp.body.free_names)) freevars.append(nb::str(n.c_str()));
        flags |= kCoNested;
    }
    nb::object file = nb::borrow(PyDict_GetItemString(f->globals, "__file__"));
    if (!file.is_valid() || !PyUnicode_Check(file.ptr())) file = nb::str("<duv>");
    nb::object code = empty_code(nb::str(file), nb::str(nb::handle(f->name)));
    nb::tuple varnames(names);
    return code.attr("replace")("co_argcount"_a = sp.n_positional, "co_posonlyargcount"_a = sp.n_posonly,
                                "co_kwonlyargcount"_a = n_kwonly, "co_nlocals"_a = nb::len(varnames),
                                "co_varnames"_a = varnames, "co_flags"_a = flags, "co_freevars"_a = nb::tuple(freevars),
                                "co_qualname"_a = nb::handle(f->qualname));
}

PyObject *get_code(PyObject *self, void *) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    if (!f->code) {
        try {
            f->code = build_code(f).release().ptr();
        } catch (nb::python_error &e) {
            e.restore();
            return nullptr;
        }
    }
    return Py_NewRef(f->code);
}

PyObject *get_closure(PyObject *self, void *) {
    PyObject *closure = reinterpret_cast<FunctionObject *>(self)->closure;
    return Py_NewRef(closure ? closure : Py_None);
}
PyObject *get_builtins(PyObject *, void *) { return Py_NewRef(PyEval_GetBuiltins()); }
PyObject *get_type_params(PyObject *, void *) { return PyTuple_New(0); }

// Code that asks "is this a Python function?" (inspect.isfunction, so scikit-learn's
// metadata-request discovery, doctest, cloudpickle) goes through isinstance, which
// consults __class__.
PyObject *get_class(PyObject *, void *) { return Py_NewRef(function_type_of_python().ptr()); }

PyGetSetDef function_getset[] = {
    {"__class__", get_class, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__annotate__", get_annotate, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, set_signature, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__builtins__", get_builtins, nullptr, nullptr, nullptr},
    {"__type_params__", get_type_params, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_type_spec = {
    "duv.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

}  // namespace

namespace {

nb::object lookup(nb::handle dict, nb::handle name) {
    PyObject *v = PyDict_GetItemWithError(dict.ptr(), name.ptr());
    if (!v) {
        if (PyErr_Occurred()) throw nb::python_error();
        v = PyDict_GetItemWithError(PyEval_GetBuiltins(), name.ptr());
        if (!v) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
            throw nb::python_error();
        }
    }
    return nb::borrow(v);
}

// "a, b,  c" -> {"a", "b", "c"}
std::vector<std::string> split_names(const char *list) {
    std::vector<std::string> out;
    std::string current;
    for (const char *c = list;; ++c) {
        if (*c == ',' || *c == '\0') {
            out.push_back(current);
            current.clear();
            if (!*c) break;
        } else if (*c != ' ' && *c != '\n' && *c != '\t') {
            current += *c;
        }
    }
    return out;
}

void check_body_names(const detail::Body &body, const std::vector<Param> &params, const char *qualname) {
    if (!body.names) return;
    std::vector<std::string> names = split_names(body.names);
    bool same = names.size() == params.size();
    for (size_t i = 0; same && i < names.size(); ++i) same = names[i] == params[i].name;
    if (same) return;
    std::string declared;
    for (const Param &p : params) declared += (declared.empty() ? "" : ", ") + p.name;
    throw std::logic_error(std::string("the body of ") + qualname + " reads (" + body.names +
                           ") but the parameters are (" + declared + ")");
}

}  // namespace

nb::object Globals::operator[](const char *name) const { return lookup(dict_, intern(name)); }

nb::object Globals::operator[](nb::handle name) const { return lookup(dict_, name); }

nb::object store_params(const RawCall &call) {
    for (size_t i = 1; i < call.size(); ++i)
        check(PyObject_SetAttr(call[0].ptr(), call.name(i).ptr(), call[i].ptr()) == 0);
    return nb::none();
}

void init_function_type() {
    if (function_type) return;
    init_capi();
    function_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&function_type_spec));
    check(function_type != nullptr);
}

bool is_function(nb::handle o) { return function_type && Py_TYPE(o.ptr()) == function_type; }

nb::object make_function(nb::handle module, const char *name, const char *qualname, std::vector<Param> params,
                         detail::Body body, nb::handle return_annotation) {
    nb::handle module_globals = PyModule_GetDict(module.ptr());
    check(module_globals.is_valid());
    check_body_names(body, params, qualname);
    auto info = std::make_unique<FunctionInfo>();
    info->body = body;
    if (return_annotation.is_valid()) info->return_annotation = nb::borrow(return_annotation);
    Kind last = Kind::PositionalOnly;
    bool seen_default = false;
    for (size_t i = 0; i < params.size(); ++i) {
        const Param &p = params[i];
        if (static_cast<int>(p.kind) < static_cast<int>(last))
            throw std::logic_error("parameters out of order in " + std::string(qualname));
        last = p.kind;
        if (p.kind <= Kind::PositionalOrKeyword) {
            ++info->n_positional;
            if (p.kind == Kind::PositionalOnly) ++info->n_posonly;
            if (p.default_.is_valid())
                seen_default = true;
            else if (seen_default)
                throw std::logic_error("non-default parameter follows default in " + std::string(qualname));
            if (p.default_.is_valid()) ++info->n_pos_defaults;
        } else if (p.kind == Kind::VarPositional) {
            info->varargs_slot = static_cast<Py_ssize_t>(i);
        } else if (p.kind == Kind::VarKeyword) {
            info->varkw_slot = static_cast<Py_ssize_t>(i);
        }
        PyObject *s = PyUnicode_InternFromString(p.name.c_str());
        check(s != nullptr);
        info->names.push_back(s);
    }
    info->params = std::move(params);

    auto *f = PyObject_GC_New(FunctionObject, function_type);
    check(f != nullptr);
    f->vectorcall = function_vectorcall;
    f->dict = nullptr;
    f->weakrefs = nullptr;
    f->name = PyUnicode_InternFromString(name);
    f->qualname = PyUnicode_InternFromString(qualname);
    f->doc = Py_NewRef(Py_None);
    f->globals = Py_NewRef(module_globals.ptr());
    f->defining_module = Py_NewRef(module.ptr());
    f->signature = nullptr;
    f->code = nullptr;
    f->closure = nullptr;
    f->info = info.release();
    PyObject *mod = PyDict_GetItemString(module_globals.ptr(), "__name__");
    f->module = Py_NewRef(mod ? mod : Py_None);
    nb::object result = nb::steal(reinterpret_cast<PyObject *>(f));
    PyObject_GC_Track(reinterpret_cast<PyObject *>(f));
    check(f->name && f->qualname);
    return result;
}

nb::object def_function(nb::handle module, const char *name, std::vector<Param> params, detail::Body body,
                        nb::handle return_annotation) {
    nb::object fn = make_function(module, name, name, std::move(params), body, return_annotation);
    check(PyModule_AddObjectRef(module.ptr(), name, fn.ptr()) == 0);
    return fn;
}

nb::object detail::cell_contents(const RawCall &call, size_t i, const char *names) {
    nb::object value = cell_value(tuple_item(call.closure_, static_cast<Py_ssize_t>(i)));
    if (!value.is_valid()) {
        std::string name = split_names(names)[i];
        PyErr_Format(PyExc_NameError,
                     "cannot access free variable '%s' where it is not associated with a value in enclosing scope",
                     name.c_str());
        throw nb::python_error();
    }
    return value;
}

nb::object make_closure_function(nb::handle module, const char *name, const char *qualname, std::vector<Param> params,
                                 detail::Body body, nb::handle values) {
    std::vector<std::string> free = split_names(body.free_names ? body.free_names : "");
    if (!body.free_names || !std::is_sorted(free.begin(), free.end()))
        throw std::logic_error(std::string("the captured names of ") + qualname + " must be listed sorted");
    nb::tuple cells = nb::borrow<nb::tuple>(steal_checked(PyTuple_New(static_cast<Py_ssize_t>(free.size()))));
    if (nb::len(values) != free.size())
        throw std::logic_error(std::string("one captured value per name is needed for ") + qualname);
    for (size_t i = 0; i < free.size(); ++i) {
        tuple_fill(cells.ptr(), static_cast<Py_ssize_t>(i), new_cell(nb::object(values[i])).release().ptr());
    }
    nb::object fn = make_function(module, name, qualname, std::move(params), body);
    reinterpret_cast<FunctionObject *>(fn.ptr())->closure = cells.release().ptr();
    return fn;
}

}  // namespace duv

namespace duv {

nb::handle defining_module(nb::handle fn) {
    return is_function(fn) ? nb::handle(reinterpret_cast<FunctionObject *>(fn.ptr())->defining_module) : nb::handle();
}

}  // namespace duv
