#include "duv/interop/module.hpp"

#ifndef DUV_COMMIT_ID
#define DUV_COMMIT_ID "g000000000"
#endif

DUV_MODULE("duv._version", exec_version) {
    nb::list all;
    for (const char *n : {"__version__", "__version_tuple__", "version", "version_tuple", "__commit_id__", "commit_id"})
        all.append(n);
    m.attr("__all__") = all;
    m.attr("TYPE_CHECKING") = false;
    nb::handle object = reinterpret_cast<PyObject *>(&PyBaseObject_Type);
    m.attr("VERSION_TUPLE") = object;
    m.attr("COMMIT_ID") = object;
    nb::handle str = reinterpret_cast<PyObject *>(&PyUnicode_Type);
    nb::dict annotations;
    annotations["version"] = str;
    annotations["__version__"] = str;
    annotations["__version_tuple__"] = object;
    annotations["version_tuple"] = object;
    annotations["commit_id"] = object;
    annotations["__commit_id__"] = object;
    m.attr("__annotations__") = annotations;
    nb::str version("0.0.22");
    m.attr("__version__") = version;
    m.attr("version") = version;
    nb::tuple version_tuple = nb::make_tuple(0, 0, 22);
    m.attr("__version_tuple__") = version_tuple;
    m.attr("version_tuple") = version_tuple;
    nb::str commit(DUV_COMMIT_ID);
    m.attr("__commit_id__") = commit;
    m.attr("commit_id") = commit;
}
