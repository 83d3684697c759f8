#include "duv/interop/module.hpp"

#include <string>

#ifndef DUV_VERSION
#error "DUV_VERSION comes from pyproject.toml through the build"
#endif
#ifndef DUV_COMMIT_ID
#define DUV_COMMIT_ID "g000000000"
#endif

namespace {

// "X.Y.Z" -> (X, Y, Z)
nb::tuple version_tuple(const std::string &version) {
    nb::list parts;
    size_t start = 0;
    for (size_t dot = version.find('.'); start <= version.size(); dot = version.find('.', start)) {
        if (dot == std::string::npos) dot = version.size();
        parts.append(std::stol(version.substr(start, dot - start)));
        start = dot + 1;
    }
    return nb::tuple(parts);
}

}  // namespace

DUV_MODULE("duv._version", exec_version) {
    nb::list all;
    for (const char *n : {"__version__", "__version_tuple__", "version", "version_tuple", "__commit_id__", "commit_id"})
        all.append(n);
    m.attr("__all__") = all;
    m.attr("TYPE_CHECKING") = false;
    nb::handle object = duv::object_type();
    m.attr("VERSION_TUPLE") = object;
    m.attr("COMMIT_ID") = object;
    nb::dict annotations;
    annotations["version"] = duv::str_type();
    annotations["__version__"] = duv::str_type();
    annotations["__version_tuple__"] = object;
    annotations["version_tuple"] = object;
    annotations["commit_id"] = object;
    annotations["__commit_id__"] = object;
    m.attr("__annotations__") = annotations;
    nb::str version(DUV_VERSION);
    m.attr("__version__") = version;
    m.attr("version") = version;
    nb::tuple numbers = version_tuple(DUV_VERSION);
    m.attr("__version_tuple__") = numbers;
    m.attr("version_tuple") = numbers;
    nb::str commit(DUV_COMMIT_ID);
    m.attr("__commit_id__") = commit;
    m.attr("commit_id") = commit;
}
