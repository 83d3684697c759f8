// What a module keeps between calls (NumPy's functions, its own classes, probed kernels) lives
// in its state, owned by the module object: visited by the garbage collector with the module
// and released when it is cleared. Nothing is held in process globals, so a module can be
// executed again (reload, a second interpreter) and finds nothing left over.
//
//     struct ScalerState : duv::ModuleState {
//         duv::AsImported numpy{*this, {"np", "np.log1p"}};
//         nb::handle forward;  // kept with keep()
//     };
//     DUV_MODULE("duv.preprocessing._scaler", exec_scaler) {
//         duv::import_as(m, "numpy", "np");
//         ScalerState &st = duv::make_state<ScalerState>(m);
//         ...
//         st.numpy.take(m);  // the names as the module bound them
//     }
//     nb::object transform(const duv::Globals &g, const TransformArgs &a) {
//         const ScalerState &st = g.state<ScalerState>();
//         if (st.numpy.intact(g)) ...  // the fast path
//     }
#pragma once

#include "duv/interop/function.hpp"

#include <initializer_list>
#include <string>
#include <vector>

namespace duv {

class ModuleState {
public:
    ModuleState() = default;
    ModuleState(const ModuleState &) = delete;
    ModuleState &operator=(const ModuleState &) = delete;
    virtual ~ModuleState();

    // Holds a strong reference to `o` for the module's life; returns `o`.
    nb::handle keep(nb::handle o);
    // True once the module was cleared: the kept objects are gone.
    bool cleared() const { return cleared_; }

    int traverse(visitproc visit, void *arg) const;
    void clear();

private:
    std::vector<PyObject *> refs_;
    bool cleared_ = false;
};

namespace detail {
ModuleState *state_slot(nb::handle module);             // null when the module has none yet
void set_state(nb::handle module, ModuleState *state);  // takes ownership, replacing an earlier one
[[noreturn]] void missing_state(nb::handle module);
}  // namespace detail

// Creates the state of module `m` (from its exec function), replacing an earlier one.
template <typename S> S &make_state(nb::handle m) {
    S *s = new S();
    detail::set_state(m, s);
    return *s;
}

template <typename S> S &Globals::state() const {
    S *s = dynamic_cast<S *>(detail::state_slot(module_));
    if (!s) detail::missing_state(module_);
    return *s;
}

// The module names a fast path relies on ("np", "np.log1p", "NearestNeighbors"), as the module
// bound them when it was executed. The fast path runs only while `intact(g)`: every name still
// bound to that object. Otherwise the documented Python calls run, so a rebound module attribute
// (a patched np, a spy on a helper) is honoured.
class AsImported {
public:
    AsImported(ModuleState &state, std::initializer_list<const char *> names);
    // Records the objects the names are bound to now; called at the end of the exec function.
    void take(nb::handle module);
    bool intact(const Globals &g) const;
    // The object recorded for `name` (one of the declared names).
    nb::handle operator[](const char *name) const;

private:
    struct Name {
        std::vector<std::string> path;  // "np.log1p" -> {"np", "log1p"}
        std::string dotted;
        PyObject *key = nullptr;    // path[0], interned: looked up at every intact()
        PyObject *taken = nullptr;  // kept by the state
    };
    nb::object resolve(nb::handle namespace_dict, const Name &n, bool missing_ok) const;

    ModuleState &state_;
    std::vector<Name> names_;
    bool taken_ = false;
};

}  // namespace duv
