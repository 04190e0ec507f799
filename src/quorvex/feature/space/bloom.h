// CountingBloomFilter (approximate counts in 8-bit counters) and BloomFMap
// (a feature map that admits a feature only after min_count sightings).
#ifndef QUORVEX_FEATURE_BLOOM_H
#define QUORVEX_FEATURE_BLOOM_H

#include "feature/siblings.h"
#include "feature/space/stable_hash.h"

namespace qv {

struct CountingBloomFilterObject;

// Internal operations; each dispatches to the override of a Python
// subclass. They have no error channel: an error is reported as
// unraisable and the result is 0.
struct CountingBloomFilterOps {
    int32_t (*get_count)(CountingBloomFilterObject* self, PyObject* s);
    int32_t (*add_count)(CountingBloomFilterObject* self, PyObject* s, int32_t n);
    int32_t (*remove_count)(CountingBloomFilterObject* self, PyObject* s, int32_t n);
};

struct CountingBloomFilterObject {
    PyObject_HEAD
    const CountingBloomFilterOps* ops;
    uint8_t* values;  // size counters (PyMem); nullptr before __init__ and after __del__()
    uint32_t size;
    int32_t n_addrs;
    HashOption hash;  // python (per process) or murmur3 (stable) positions
};

struct BloomFMapObject {
    PyObject_HEAD
    PyObject* bloom;  // CountingBloomFilter or None
    int32_t min_count;
    PyObject* dict;  // StringAlphabet or None
};

extern PyTypeObject CountingBloomFilter_Type;
extern PyTypeObject BloomFMap_Type;
bool ready_counting_bloom_filter();
bool ready_bloom_fmap();

}  // namespace qv

#endif
