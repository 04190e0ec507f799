#include "common/module_util.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace qv {

bool add_type(PyObject* module, PyTypeObject* tp, const char* name) {
    if (PyType_Ready(tp) < 0) return false;
    Py_INCREF(tp);
    if (PyModule_AddObject(module, name, reinterpret_cast<PyObject*>(tp)) < 0) {
        Py_DECREF(tp);
        return false;
    }
    return true;
}

bool add_object(PyObject* module, const char* name, PyObject* obj) {
    if (!obj) return false;
    if (PyModule_AddObject(module, name, obj) < 0) {
        Py_DECREF(obj);
        return false;
    }
    return true;
}

// The header every API table starts with.
struct ApiHeader {
    uint32_t version;
    uint32_t size;
};

const void* import_api(const char* module, uint32_t version, uint32_t size) {
    std::string name = std::string(module) + "._C_API";
    Ref mod(PyImport_ImportModule(module));
    if (!mod) return nullptr;
    Ref capsule(PyObject_GetAttrString(mod.get(), "_C_API"));
    if (!capsule || !PyCapsule_IsValid(capsule.get(), name.c_str())) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "%s does not provide the expected C API", module);
        return nullptr;
    }
    const ApiHeader* api = static_cast<const ApiHeader*>(PyCapsule_GetPointer(capsule.get(), name.c_str()));
    if (!api) return nullptr;
    if (api->version != version || api->size != size) {
        PyErr_Format(PyExc_ImportError, "%s C API version %u (size %u) does not match the expected %u (size %u)",
                     module, api->version, api->size, version, size);
        return nullptr;
    }
    return api;
}

bool check_sibling_type(PyTypeObject* tp, const char* module, const char* name, Py_ssize_t basicsize) {
    if (!tp || !PyType_Check(reinterpret_cast<PyObject*>(tp))) {
        PyErr_Format(PyExc_ImportError, "%s.%s is missing or not a type", module, name);
        return false;
    }
    if (basicsize >= 0 && tp->tp_basicsize != basicsize) {
        PyErr_Format(PyExc_ImportError, "%s.%s has the wrong size: expected %zd, got %zd", module, name, basicsize,
                     tp->tp_basicsize);
        return false;
    }
    return true;
}

bool check_python_version(const char* module_name) {
    char compiled[32];
    std::snprintf(compiled, sizeof compiled, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    const char* rt = Py_GetVersion();
    // The runtime version starts with "major.minor"; compare up to the
    // second dot (or the first non-digit after it).
    size_t n = std::strlen(compiled);
    bool same = std::strncmp(rt, compiled, n) == 0 && (rt[n] < '0' || rt[n] > '9');
    if (same) return true;
    char runtime[32];
    size_t k = 0;
    for (int dots = 0; rt[k] && k < sizeof runtime - 1; ++k) {
        if (rt[k] == '.' && ++dots == 2) break;
        if (rt[k] != '.' && (rt[k] < '0' || rt[k] > '9')) break;
        runtime[k] = rt[k];
    }
    runtime[k] = '\0';
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compiletime version %s of module '%.100s' does not match runtime version %s", compiled,
                            module_name, runtime) == 0;
}

bool import_module_as(PyObject* module, const char* global, const char* modname) {
    return add_object(module, global, PyImport_ImportModule(modname));
}

bool declare_gil_used(PyObject* module) {
#if PY_VERSION_HEX >= 0x030D0000 && defined(Py_GIL_DISABLED)
    // Single-phase initialisation: the Py_mod_gil slot's counterpart.
    return PyUnstable_Module_SetGIL(module, Py_MOD_GIL_USED) == 0;
#else
    (void)module;
    return true;
#endif
}

}  // namespace qv
