// Entry point of the extension library: the package `duv` itself.
#include "duv/interop/function.hpp"
#include "duv/interop/module.hpp"

NB_MODULE(duv, m) {
    duv::init_function_type();
    duv::install_finder(m);
    duv::from_import(m, "._version", {"__version__"});
}
