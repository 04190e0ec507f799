#include "common/text_args.h"

namespace qv {

bool is_text(PyObject* obj) { return PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj); }

bool refuse_text(PyObject* obj, const char* param, const char* items) {
    if (!obj || !is_text(obj)) return true;
    PyErr_Format(PyExc_TypeError, "%s must be a collection of %s, not %.200s (put a single one in a list)", param,
                 items, Py_TYPE(obj)->tp_name);
    return false;
}

}  // namespace qv
