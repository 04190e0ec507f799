// Multipart: a multi-part example, feature lists plus information trees.
#ifndef QUORVEX_FEATURE_LISTS_MULTIPART_H
#define QUORVEX_FEATURE_LISTS_MULTIPART_H

#include "feature/siblings.h"

namespace qv {

struct MultipartObject {
    PyObject_HEAD
    PyObject* parts;
    PyObject* trees;
};

extern PyTypeObject Multipart_Type;
bool ready_multipart();

}  // namespace qv

#endif
