// The native vectoriser behind FCombo.__call__ for dictionaries that are
// StringAlphabets (or subclasses that keep its lookup).
//
// Keys are built as bytes, never as Python strings: the enumeration writes
// each conjunction "f1^f2^...^fk" (optionally "label^..." in front) into a
// reusable prefix buffer, copies it into a batch, hashes it and records
// its weight. A full batch is then probed in order, with the table slots
// of keys a few places ahead prefetched, so the cache misses of a large
// dictionary overlap. Probing in emission order keeps the ids that a
// growing dictionary hands out identical to a key-by-key lookup.
#ifndef QUORVEX_FEATURE_COMBINER_H
#define QUORVEX_FEATURE_COMBINER_H

#include <string>
#include <vector>

#include "feature_types.h"

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
        const char* direct;  // nullptr: the bytes are keys_[off, off + len)
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
    std::string keys_;
    std::vector<Pending> pending_;
    std::vector<Level> levels_;

    void emit(std::size_t len, double w);
    void emit_direct(const char* p, std::size_t len, double w);
    bool raise_bad_name(Py_ssize_t i, Py_ssize_t position);
};

}  // namespace qv

#endif
