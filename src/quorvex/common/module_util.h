// Module set-up helpers: publishing types, importing a sibling module's
// C API capsule with its layout check, and the interpreter-version check.
#ifndef QUORVEX_COMMON_MODULE_UTIL_H
#define QUORVEX_COMMON_MODULE_UTIL_H

#include "common/ref.h"

namespace qv {

// Readies tp and publishes it in the module under its short name.
bool add_type(PyObject* module, PyTypeObject* tp, const char* name);
// Stores obj (a new reference, consumed) as a module global.
bool add_object(PyObject* module, const char* name, PyObject* obj);

// Imports "<module>._C_API" and checks that the table's version and size
// are the ones this module was built against; ImportError otherwise.
const void* import_api(const char* module, uint32_t version, uint32_t size);

// Checks that a sibling type exists and has the instance size this module
// was built against; ImportError otherwise.
bool check_sibling_type(PyTypeObject* tp, const char* module, const char* name, Py_ssize_t basicsize);

// Declares that the module needs the GIL. Its classes keep native state
// (tables, accumulators, caches, static buffers) that no lock of their own
// guards, so on a free-threaded interpreter (3.13+ built with
// Py_GIL_DISABLED) importing the module keeps the GIL enabled. Elsewhere
// there is nothing to declare. Called right after PyModule_Create.
bool declare_gil_used(PyObject* module);

// Warns when the running interpreter's major.minor differs from the one
// the module was compiled for.
bool check_python_version(const char* module_name);

// The module-body import `import <modname>`, stored as <global>.
bool import_module_as(PyObject* module, const char* global, const char* modname);

}  // namespace qv

#endif
