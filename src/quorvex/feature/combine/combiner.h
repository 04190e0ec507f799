// The native vectoriser behind FCombo.__call__ for dictionaries that are
// StringAlphabets (or subclasses that keep its lookup).
//
// Keys are built as bytes, never as Python strings: the enumeration writes
// each conjunction "f1^f2^...^fk" (optionally "label^..." in front) into a
// batch, with its weight; a partial key that longer conjunctions extend is
// kept in a prefix buffer. A full batch is then hashed and probed in
// order, with the table slots of keys a few places ahead prefetched, so
// the cache misses of a large dictionary overlap. Probing in emission order keeps the ids that a
// growing dictionary hands out identical to a key-by-key lookup.
#ifndef QUORVEX_FEATURE_COMBINER_H
#define QUORVEX_FEATURE_COMBINER_H

#include <string>
#include <vector>

#include "feature/lists/feature_list.h"

namespace qv {

struct Combiner {
    SparseAccum<double> acc{};
    bool busy = false;

    ~Combiner() {
        acc.release();
        for (SparseAccum<double>& a : label_accs) a.release();
    }

    // Where the values of the keys enumerated from now on go (acc by default).
    void target(SparseAccum<double>* a) { target_ = a ? a : &acc; }
    // Accumulators for building several vectors in one probe pass.
    std::vector<SparseAccum<double>> label_accs;

    // Starts a vectorising call against the dictionary's table.
    void begin(CPPAlphabet* map, int use_utf8);
    // Makes `fl` the part whose names the next combine() calls use.
    bool load_part(FeatureListObject* fl);
    // Adds every conjunction of up to n features of the loaded part, in
    // depth-first order, each prefixed by `label` when has_label, with the
    // product of the values times w. Returns false with a Python error.
    bool combine(int n, bool has_label, const char* label, Py_ssize_t label_len, double w);
    // Looks up one complete key now (after everything pending) and adds w.
    bool add_key(const char* key, std::size_t len, double w);
    // Probes every pending key; false with a Python error.
    bool flush();
    // Ends a call: drops the references the call held.
    void end();

private:
    struct Name {
        const char* p;
        Py_ssize_t n;
        bool ok;  // false: not a str, or not encodable (the error is raised when the name is reached)
    };
    // A key to probe: its bytes are either a name's own bytes (a single
    // feature without label: no copy) or a stretch of keys_.
    struct Pending {
        const char* direct;  // nullptr: the bytes are keys_[off, off + len) (set by flush)
        std::size_t off;
        std::size_t len;
        uint64_t hash;
        double w;
        SparseAccum<double>* dest;
    };
    struct Level {
        Py_ssize_t next;
        std::size_t prefix_len;
        double w;
    };

    CPPAlphabet* map_ = nullptr;
    SparseAccum<double>* target_ = &acc;
    int use_utf8_ = 1;
    Ref part_names_;  // the loaded part's name list, kept alive
    FeatureListObject* part_ = nullptr;
    const double* vals_ = nullptr;  // the loaded part's values
    std::vector<Name> names_;
    std::vector<Ref> holders_;  // encoded names of non-UTF-8 dictionaries
    std::string prefix_;
    // The batch: key bytes keys_[0, keys_len_) and pending_[0, npending_).
    // Both vectors are only ever grown, and used up to the counts, so that
    // adding a key is a few plain stores.
    std::vector<char> keys_;
    std::size_t keys_len_ = 0;
    std::vector<Pending> pending_;
    std::size_t npending_ = 0;
    std::vector<Level> levels_;

    // Room for one more pending key of up to `len` bytes (throws
    // std::bad_alloc).
    void make_room(std::size_t len) {
        if (npending_ == pending_.size()) pending_.resize(pending_.empty() ? 256 : 2 * pending_.size());
        if (keys_len_ + len > keys_.size()) {
            std::size_t cap = keys_.empty() ? 16384 : keys_.size();
            while (cap < keys_len_ + len) cap *= 2;
            keys_.resize(cap);
        }
    }
    // Queues the len bytes just written at keys_[keys_len_] as a key.
    void queue_written(std::size_t len, double w) {
        Pending& k = pending_[npending_++];
        k.direct = nullptr;
        k.off = keys_len_;
        k.len = len;
        k.w = w;
        k.dest = target_;
        keys_len_ += len;
    }
    // A pending key whose bytes are prefix_[0, plen) + "^" + name.
    void emit_joined(std::size_t plen, const Name& nm, double w);
    void emit_direct(const char* p, std::size_t len, double w);
    bool batch_full() const;
    bool raise_bad_name(Py_ssize_t i, Py_ssize_t position);
};

}  // namespace qv

#endif
