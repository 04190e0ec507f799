// FeatureHasher: dictionary-free feature indices from the runtime's object
// hash or from MurmurHash3, reduced modulo a fixed number of dimensions.
#ifndef QUORVEX_FEATURE_HASHER_H
#define QUORVEX_FEATURE_HASHER_H

#include "feature/siblings.h"
#include "feature/space/stable_hash.h"

namespace qv {

struct FeatureHasherObject {
    PyObject_HEAD
    int32_t num_dimensions;
    int64_t* hash_cache;      // scaled hashes of cross()'s second list (PyMem)
    int64_t hash_cache_size;  // entries in hash_cache
    PyObject* result_cache;   // a VecD1, cleared by cross(); None before __init__
    bool cache_busy;          // a cross() call is using hash_cache
    HashOption hash;          // python (per process) or murmur3 (stable) keys
};

extern PyTypeObject FeatureHasher_Type;
bool ready_feature_hasher();

// 97 * h(target), the shift of every index made for that target (h: the
// hasher's hash; under murmur3 a target of None shifts by 0).
bool hasher_target_hash(FeatureHasherObject* fh, PyObject* target, int64_t* out);
// Counts 1 in acc at the index of every element of lst (any iterable)
// shifted by tgt_hash: what h(lst, target) accumulates. False with an error.
bool hasher_count(FeatureHasherObject* fh, PyObject* lst, int64_t tgt_hash, SparseAccum<double>& acc);
// FeatureHasher.transform (hasher_transform.cpp).
PyObject* fh_transform(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace qv

#endif
