#include "common/public_names.h"

namespace qv {

bool set_public_names(PyObject* module, std::initializer_list<const char*> names) {
    Ref all(PyList_New(0));
    if (!all) return false;
    for (const char* name : names) {
        if (!PyObject_HasAttrString(module, name)) {
            PyErr_Format(PyExc_SystemError, "%s: __all__ names the missing global %s", PyModule_GetName(module), name);
            return false;
        }
        Ref str(PyUnicode_FromString(name));
        if (!str || PyList_Append(all.get(), str.get()) < 0) return false;
    }
    if (PyModule_AddObject(module, "__all__", all.get()) < 0) return false;
    all.release();  // the module holds it now
    return true;
}

}  // namespace qv
