#include "common/dispatch.h"

#include <vector>

namespace qv {

static bool intern_name(Overridable& op) {
    if (!op.interned) {
        op.interned = PyUnicode_InternFromString(op.name);
        if (!op.interned) return false;
    }
    return true;
}

int find_override(PyObject* self, PyTypeObject* native_type, Overridable& op) {
    PyTypeObject* tp = Py_TYPE(self);
    if (tp == native_type) return 0;
    if (tp == op.cached_type && op.cached_version != 0 && tp->tp_version_tag == op.cached_version &&
        PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG))
        return op.cached_overridden ? 1 : 0;
    if (!intern_name(op)) return -1;
    // _PyType_Lookup walks the MRO (borrowed results) and assigns the
    // type a valid version tag that later changes of the type invalidate.
    PyObject* found = _PyType_Lookup(tp, op.interned);
    PyObject* native = _PyType_Lookup(native_type, op.interned);
    bool overridden = found != nullptr && found != native;
    op.cached_type = tp;
    op.cached_version = PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG) ? tp->tp_version_tag : 0;
    op.cached_overridden = overridden;
    return overridden ? 1 : 0;
}

PyObject* call_override(PyObject* self, Overridable& op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!intern_name(op)) return nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* small[8];
    std::vector<PyObject*> large;
    PyObject** stack = small;
    if (1 + nargs + nkw > 8) {
        large.resize(static_cast<size_t>(1 + nargs + nkw));
        stack = large.data();
    }
    stack[0] = self;
    for (Py_ssize_t i = 0; i < nargs + nkw; ++i) stack[1 + i] = args[i];
    return PyObject_VectorcallMethod(op.interned, stack, static_cast<size_t>(1 + nargs), kwnames);
}

}  // namespace qv
