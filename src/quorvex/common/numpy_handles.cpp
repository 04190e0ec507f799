#include "common/numpy_handles.h"

#include <cstddef>
#include <initializer_list>

namespace qv {

namespace {

const char* const kNames[] = {"asarray", "empty", "zeros", "ndarray"};
static_assert(sizeof kNames / sizeof kNames[0] == static_cast<std::size_t>(Numpy::count), "one name per handle");

PyObject* handles[static_cast<std::size_t>(Numpy::count)];

}  // namespace

PyObject* numpy_handle(Numpy which) {
    PyObject*& h = handles[static_cast<std::size_t>(which)];
    if (!h) {
        Ref numpy(PyImport_ImportModule("numpy"));
        if (numpy) h = PyObject_GetAttrString(numpy.get(), kNames[static_cast<std::size_t>(which)]);
    }
    return h;
}

bool bind_numpy_types() {
    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return false;
    for (const char* name : {"dtype", "flatiter", "broadcast", "ndarray", "ufunc"}) {
        Ref tp(PyObject_GetAttrString(numpy.get(), name));
        if (!tp || !PyType_Check(tp.get())) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "numpy.%s is missing or not a type", name);
            return false;
        }
    }
    return true;
}

}  // namespace qv
