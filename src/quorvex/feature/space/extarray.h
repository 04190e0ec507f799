// ExtensibleArray: a growable one-dimensional NumPy array indexed by
// non-negative positions.
#ifndef QUORVEX_FEATURE_EXTARRAY_H
#define QUORVEX_FEATURE_EXTARRAY_H

#include "feature/siblings.h"

namespace qv {

struct ExtensibleArrayObject;

struct ExtensibleArrayOps {
    // Compacts the used positions with an int8 keep/drop mask; -1 on error.
    int (*do_remap)(ExtensibleArrayObject* self, PyObject* filt);
};

struct ExtensibleArrayObject {
    PyObject_HEAD
    const ExtensibleArrayOps* ops;
    PyObject* values;  // the storage, a 1-d ndarray; its length is the capacity
    PyObject* tp;      // the element type given to the constructor
    int32_t max_pos;   // positions in use
};

extern PyTypeObject ExtensibleArray_Type;
bool ready_extensible_array();

}  // namespace qv

#endif
