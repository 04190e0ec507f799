// Dispatch of overridable internal operations.
//
// A native class whose operations may be overridden by Python subclasses
// calls them through this helper: on an instance of the native type itself
// the C++ function runs directly; on an instance of a subclass the
// operation's name is looked up on the subclass and, if it resolves to
// something other than the native type's own method, the override is
// called (for internal calls too). The answer is cached per operation and
// per type, keyed by the type's version tag, so repeated calls on the same
// subclass cost one comparison.
//
//   static qv::Overridable op_score{"score"};
//   PyObject* method = nullptr;
//   int r = qv::find_override(self, &AvgPer_Type, op_score);
//   if (r < 0) ...error...; if (r > 0) ...call op_score via qv::call_override...
#ifndef QUORVEX_COMMON_DISPATCH_H
#define QUORVEX_COMMON_DISPATCH_H

#include "common/ref.h"

namespace qv {

struct Overridable {
    const char* name;
    PyObject* interned = nullptr;         // the name as an interned str
    PyTypeObject* cached_type = nullptr;  // last subclass looked at (not owned)
    unsigned int cached_version = 0;
    bool cached_overridden = false;
};

// 1 when Py_TYPE(self) overrides op, 0 when the native function should
// run, -1 on error.
int find_override(PyObject* self, PyTypeObject* native_type, Overridable& op);

// Calls the override as a method: self.<name>(*args). Returns a new
// reference or nullptr.
PyObject* call_override(PyObject* self, Overridable& op, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames = nullptr);

}  // namespace qv

#endif
