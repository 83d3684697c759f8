// The module tree: every submodule of the package lives in this one library and is
// registered here; a finder/loader on sys.meta_path makes them importable by name.
#pragma once

#include "duv/interop/core.hpp"

#include <initializer_list>

namespace duv {

using ExecFn = void (*)(nb::module_ &);

// Static registration, one per module source file: each entry links itself into the
// registry (no allocation, so registering cannot fail before main). The module object is
// made from `def`, which gives it a slot for its state (module_state.hpp).
struct ModuleEntry {
    ModuleEntry(const char *dotted_name, bool package, ExecFn exec_fn) noexcept;

    const char *name;  // dotted module name
    bool is_package;
    ExecFn exec;
    ModuleEntry *next;
    PyModuleDef def;
};

#define DUV_MODULE_IMPL(name, is_pkg, fn)                                                                              \
    static void fn(nb::module_ &);                                                                                     \
    static ::duv::ModuleEntry fn##_registration(name, is_pkg, fn);                                                     \
    static void fn(nb::module_ &m)
// Defines the body that executes module `name` (a dotted name) on first import.
#define DUV_MODULE(name, fn) DUV_MODULE_IMPL(name, false, fn)
#define DUV_PACKAGE(name, fn) DUV_MODULE_IMPL(name, true, fn)

// True when a module of that dotted name is built into this library.
bool has_module(const char *name);

// Installs the finder/loader; called once by the package initialisation.
void install_finder(nb::module_ &package);

// `from <name> import a, b` executed in module `m` (relative names start with dots);
// binds each name in the module namespace.
void from_import(nb::module_ &m, const char *name, std::initializer_list<const char *> names);
// `from <name> import <attr> as <alias>`.
void from_import_as(nb::module_ &m, const char *name, const char *attr, const char *alias);
// As from_import, for a relative module that may not be built into this library yet;
// returns whether it was imported.
bool from_import_if_built(nb::module_ &m, const char *name, std::initializer_list<const char *> names);
// `import <name>` or `import <name> as <alias>`.
void import_as(nb::module_ &m, const char *name, const char *alias = nullptr);

// Sets `__all__` to the names of `names` that are bound in `m`, keeping their order.
void set_all(nb::module_ &m, std::initializer_list<const char *> names);

}  // namespace duv
