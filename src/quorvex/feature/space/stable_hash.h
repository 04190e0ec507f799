// The hash option of the hashing classes (FeatureHasher, CountingBloomFilter,
// BloomFMap): "python", the runtime's object hash (salted per process for
// str and bytes), or "murmur3", MurmurHash3 x86_32 of a key's bytes with a
// seed, the same in every process and on every machine.
//
// The bytes of a key under murmur3: a str its UTF-8 encoding, bytes as they
// are, an int (bool included) its decimal text; any other object is a
// TypeError, since no stable byte form is known for it.
#ifndef QUORVEX_FEATURE_STABLE_HASH_H
#define QUORVEX_FEATURE_STABLE_HASH_H

#include <cstdint>
#include <string>

#include "common/ref.h"

namespace qv {

enum class HashKind : int32_t { Python = 0, Murmur3 = 1 };

struct HashOption {
    HashKind kind = HashKind::Python;
    uint32_t seed = 0;
};

// Reads the `hash` (None or absent: "python") and `seed` (absent: 0; an int
// in [0, 2**32)) arguments. ValueError for an unknown hash name, TypeError
// for a non-str name, OverflowError for a seed out of range.
bool parse_hash_option(PyObject* hash, PyObject* seed, HashOption* out);
// "python" or "murmur3" (a new reference).
PyObject* hash_kind_name(HashKind kind);

// The signed MurmurHash3 x86_32 of key's bytes, with the key's bytes
// preceded by `prefix` (may be empty). False with TypeError for a key of
// another type (UnicodeEncodeError for a str that has no UTF-8 form).
bool murmur3_key(PyObject* key, const std::string& prefix, uint32_t seed, int32_t* out);

// The key's hash under opt as a signed 64-bit value: Python's hash() or
// the signed murmur3 value.
bool option_hash(const HashOption& opt, PyObject* key, int64_t* out);

}  // namespace qv

#endif
