// VectorMemo: the vectors an FCombo made for short feature lists, kept
// for when the same list comes again. A CRF forest asks for the vector of
// the same one-feature transition lists ("T<prev>-<label>", "STOP") in
// every sentence; with a frozen dictionary the answer cannot change, so it
// is made once and shared (sparse vectors are immutable).
//
// Only plain lists of at most four items, each a str or a (str, float|int)
// pair, are kept, and only while the combiner's dictionary is a frozen
// UTF-8 StringAlphabet with the native lookup. A kept vector is valid for
// the dictionary object, its words (CPPAlphabet::generation), the order and
// the bias id it was made with; any change empties the memo.
#ifndef QUORVEX_FEATURE_VECTOR_MEMO_H
#define QUORVEX_FEATURE_VECTOR_MEMO_H

#include <string>
#include <unordered_map>

#include "feature_types.h"

namespace qv {

class VectorMemo {
public:
    // The kept vector for fc(flist) (a new reference), or nullptr when
    // there is none. When flist may be kept, *key receives its key (only
    // on a miss, so a hit allocates nothing).
    PyObject* find(FComboObject* fc, PyObject* flist, std::string* key);
    // Keeps v as the vector of the key that find() gave.
    void keep(FComboObject* fc, std::string&& key, PyObject* v);
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
    bool current(FComboObject* fc) const;
    bool build_key(PyObject* flist);
    Ref dict_;
    uint64_t generation_ = 0;
    int32_t order_ = 0;
    int32_t bias_ = 0;
    std::string scratch_;  // the key being looked up, reused
    std::unordered_map<uint64_t, Entry> vectors_;  // by hash of the key
};

}  // namespace qv

#endif
