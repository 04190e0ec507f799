// FeatureHasher: dictionary-free feature indices from the runtime's object
// hash, reduced modulo a fixed number of dimensions.
#ifndef QUORVEX_FEATURE_HASHER_H
#define QUORVEX_FEATURE_HASHER_H

#include "feature/siblings.h"

namespace qv {

struct FeatureHasherObject {
    PyObject_HEAD
    int32_t num_dimensions;
    int64_t* hash_cache;      // scaled hashes of cross()'s second list (PyMem)
    int64_t hash_cache_size;  // entries in hash_cache
    PyObject* result_cache;   // a VecD1, cleared by cross(); None before __init__
    bool cache_busy;          // a cross() call is using hash_cache
};

extern PyTypeObject FeatureHasher_Type;
bool ready_feature_hasher();

}  // namespace qv

#endif
