#include "duv/interop/core.hpp"

#include <string>
#include <unordered_map>

namespace duv {

nb::handle intern(const char *text) {
    // Called with the GIL held; the strings stay alive with the cache.
    static std::unordered_map<std::string, PyObject *> cache;
    auto it = cache.find(text);
    if (it != cache.end()) return it->second;
    PyObject *s = PyUnicode_InternFromString(text);
    check(s != nullptr);
    cache.emplace(text, s);
    return s;
}

}  // namespace duv
