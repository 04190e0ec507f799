// VectorMemo: the vectors an FCombo made for short feature lists, kept
// for when the same list comes again. A CRF forest asks for the vector of
// the same one-feature transition lists ("T<prev>-<label>", "STOP") in
// every sentence; with a frozen dictionary the answer cannot change, so it
// is made once and shared (sparse vectors are immutable).
//
// Only plain lists of at most four items (empty ones included), each a str
// or a (str, float|int) pair, are kept, and only while the combiner's
// dictionary is a frozen UTF-8 StringAlphabet with the native lookup. A
// kept vector is valid for the dictionary object, its words
// (CPPAlphabet::generation), the order and the bias id it was made with;
// any change empties the memo.
//
// A list whose items are the very objects of a list seen before (CRF
// forests share their transition pairs) is found by the identity of its
// items, before any key is built; the memo keeps those items alive, and
// since they are immutable (exact str, or exact tuples of an exact str and
// an exact float or int) their identity stands for their content.
#ifndef QUORVEX_FEATURE_VECTOR_MEMO_H
#define QUORVEX_FEATURE_VECTOR_MEMO_H

#include <string>
#include <unordered_map>
#include <vector>

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

class VectorMemo {
public:
    // The kept vector for fc(flist) (a new reference), or nullptr when
    // there is none. When flist may be kept, *key receives its key (only
    // on a miss, so a hit allocates nothing).
    PyObject* find(FComboObject* fc, PyObject* flist, std::string* key);
    // The kept vector of a list found by the identity of its items alone
    // (a new reference), or nullptr (no error) when there is none: a
    // lookup that never builds a key and never runs Python code.
    PyObject* find_by_items(FComboObject* fc, PyObject* flist);
    // Keeps v as the vector of the key that find() gave for flist.
    void keep(FComboObject* fc, std::string&& key, PyObject* flist, PyObject* v);
    // Forgets everything, the dictionary included.
    void clear();
    // The dictionary the kept vectors belong to (for the collector).
    PyObject* dict() const { return dict_.get(); }

private:
    static const std::size_t kMaxEntries = 1 << 14;
    struct Entry {
        std::string key;
        Ref vector;
    };
    static const int kMaxItems = 4;
    // The items of a list, by identity.
    struct ItemsKey {
        PyObject* item[kMaxItems];
        Py_ssize_t n;
        bool operator==(const ItemsKey& o) const {
            if (n != o.n) return false;
            for (Py_ssize_t i = 0; i < n; ++i)
                if (item[i] != o.item[i]) return false;
            return true;
        }
    };
    static std::size_t items_hash(const ItemsKey& k) {
        uint64_t h = static_cast<uint64_t>(k.n);
        for (Py_ssize_t i = 0; i < k.n; ++i) h = (h ^ reinterpret_cast<uintptr_t>(k.item[i])) * 0x9e3779b97f4a7c15ull;
        return static_cast<std::size_t>(h >> 40);
    }
    // A direct-mapped table: a new list replaces whatever sat in its slot,
    // so it never allocates after the first use and stays small.
    static const std::size_t kItemSlots = 2048;
    struct ItemsEntry {
        ItemsKey key{};
        Ref item[kMaxItems];  // keep the keyed items alive
        Ref vector;
    };
    bool current(FComboObject* fc) const;
    bool build_key(PyObject* flist);
    // The identity key of a list of at most kMaxItems immutable items.
    static bool items_key(PyObject* flist, ItemsKey* key);
    void forget();
    // Files v under the identity of flist's items too (when they qualify).
    void keep_items(PyObject* flist, PyObject* v);
    Ref dict_;
    uint64_t generation_ = 0;
    int32_t order_ = 0;
    int32_t bias_ = 0;
    std::string scratch_;  // the key being looked up, reused
    std::unordered_map<uint64_t, Entry> vectors_;  // by hash of the key
    std::vector<ItemsEntry> by_items_;  // kItemSlots entries once used
};

}  // namespace qv

#endif
