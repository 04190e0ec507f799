// VectorCache: the vectors an FCombo made for short feature lists, kept for
// when the same list comes again. A CRF forest asks for the vector of the
// same few transition lists ("T<prev>-<label>", "STOP") at every position
// of every sentence; while the combiner and its dictionary are unchanged
// the answer cannot change, so it is made once and shared (sparse vectors
// are immutable).
//
// Only plain lists of at most four items (empty ones included), each an
// exact str or an exact (str, float|int) tuple, are kept, and only for a
// StringAlphabet with the native lookup (no Python code runs while such a
// list is vectorised). Such items are immutable all through, so a list is
// found by the identity of its items first (the cache keeps them alive;
// only items that something besides the list holds are filed so), then by
// its content.
//
// Staleness has one rule: a kept vector belongs to the combiner's state it
// was made in, its DictStamp (the dictionary object, its generation, which
// changes with every change of its words, whether it grows, the order and
// the bias id). Any change of the stamp empties the cache.
#ifndef QUORVEX_FEATURE_COMBINE_VECTOR_CACHE_H
#define QUORVEX_FEATURE_COMBINE_VECTOR_CACHE_H

#include <string>
#include <unordered_map>

#include "common/identity_map.h"
#include "feature/combine/fcombo.h"

namespace qv {

// Whether a feature-list item is immutable all through: an exact str, or
// an exact (str, float|int) tuple. Such items can be known by identity.
inline bool is_immutable_feature(PyObject* item) {
    if (PyUnicode_CheckExact(item)) return true;
    if (!PyTuple_CheckExact(item) || PyTuple_GET_SIZE(item) != 2 || !PyUnicode_CheckExact(PyTuple_GET_ITEM(item, 0)))
        return false;
    PyObject* v = PyTuple_GET_ITEM(item, 1);
    return PyFloat_CheckExact(v) || PyLong_CheckExact(v);
}

class VectorCache {
public:
    static const int kMaxItems = 4;
    // What a miss hands to keep(): the list's items and the dictionary's
    // generation before the vector was made.
    struct Miss {
        IdentityKey<kMaxItems> items;
        uint64_t generation = 0;
        bool keepable = false;
    };
    // The kept vector of fc(flist) (a new reference), or nullptr (no
    // error) when there is none; on a miss of a list that may be kept,
    // *miss receives its keys. Throws std::bad_alloc.
    PyObject* find(FComboObject* fc, PyObject* flist, Miss* miss);
    // Keeps v as the vector of the list that find() missed, if the list
    // still holds the items it held then. A list that brought new words
    // into a growing dictionary is not kept: the dictionary is still being
    // filled, and the next new word would make it stale anyway. Throws
    // std::bad_alloc.
    void keep(FComboObject* fc, PyObject* flist, const Miss& miss, PyObject* v);
    // Starts loading what find() reads first for the list (its identity
    // slot). Reads nothing but the list and its item pointers.
    void prefetch(PyObject* flist) const {
        if (!PyList_CheckExact(flist) || PyList_GET_SIZE(flist) > kMaxItems) return;
        IdentityKey<kMaxItems> key;
        key.n = static_cast<int>(PyList_GET_SIZE(flist));
        for (int i = 0; i < key.n; ++i) key.item[i] = PyList_GET_ITEM(flist, i);
        by_items_.prefetch(key);
    }
    // The same for a list of this one item (only its address is used: it
    // need not be alive).
    void prefetch_one(PyObject* item) const {
        IdentityKey<kMaxItems> key;
        key.n = 1;
        key.item[0] = item;
        by_items_.prefetch(key);
    }
    // Forgets everything, the dictionary included.
    void clear();
    // The dictionary the kept vectors belong to (for the collector).
    PyObject* dict() const { return stamp_.dict.get(); }
    std::size_t size() const { return by_items_.size(); }

private:
    static const std::size_t kMaxEntries = 1 << 16;
    // The state of the combiner that its vectors depend on.
    struct DictStamp {
        Ref dict;
        uint64_t generation = 0;
        bool growing = false;
        int32_t order = 0;
        int32_t bias = 0;
    };
    bool current(const FComboObject* fc) const;
    void take_stamp(const FComboObject* fc);
    // The identity key of a list of at most kMaxItems immutable items.
    static bool items_key(PyObject* flist, IdentityKey<kMaxItems>* key);
    // Whether every item is held by more than the list looked up: only such
    // items can come again by identity (a list of items made for one call
    // is found by its content, and is not worth an identity entry).
    static bool shared_items(const IdentityKey<kMaxItems>& key);
    // The content key (the names' UTF-8 bytes and the values) of such a
    // list; false when a name cannot be encoded.
    static bool content_key(PyObject* flist, std::string* key);

    DictStamp stamp_;
    IdentityMap<kMaxItems> by_items_{kMaxEntries};
    std::unordered_map<std::string, Ref> by_content_;
    std::string scratch_;  // the content key being looked up, reused
};

}  // namespace qv

#endif
