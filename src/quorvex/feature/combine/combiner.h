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
//
// With a ConjMemo and a dictionary that does not grow, the keys of a part
// without label are found by numbers instead (combine_memo): each key is
// the pair (its prefix's node, its last name's number); only pairs the
// memo has not seen yet are spelled out and looked up as bytes.
#ifndef QUORVEX_FEATURE_COMBINER_H
#define QUORVEX_FEATURE_COMBINER_H

#include <algorithm>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "common/args.h"
#include "common/errors.h"
#include "feature/combine/conj_memo.h"
#include "feature/combine/deferred_rows.h"
#include "feature/combine/memo_walk.h"
#include "feature/lists/feature_list.h"
#include "hash_bytes.h"
#include "prefetch.h"

namespace qv {

// The table probed is a template parameter: a CPPAlphabet (keys to ids,
// added while it grows) for FCombo, or any table with the same three
// probing calls, prefetch(h), prefetch_entry(h) and lookup(p, n, h) -> id
// or -1.
template <class Table>
struct BasicCombiner {
    SparseAccum<double> acc{};
    bool busy = false;

    ~BasicCombiner() {
        acc.release();
        for (SparseAccum<double>& a : label_accs) a.release();
    }

    // Where the values of the keys enumerated from now on go (acc by default).
    void target(SparseAccum<double>* a) { target_ = a ? a : &acc; }
    // Accumulators for building several vectors in one probe pass.
    std::vector<SparseAccum<double>> label_accs;

    // Starts a vectorising call against the dictionary's table.
    // With parts_held, the caller keeps every part it loads alive (and
    // unchanged) until the call ends, so that keys of several parts can
    // wait in one batch: loading a part then probes nothing.
    // With a memo (and a Table that is a CPPAlphabet), keys are found
    // through it while the dictionary `dict` (whose table is map) does not
    // grow.
    void begin(Table* map, int use_utf8, bool parts_held = false, ConjMemo* memo = nullptr, PyObject* dict = nullptr);
    // Makes `fl` the part whose names the next combine() calls use.
    bool load_part(FeatureListObject* fl);
    // The same for the plain list `flist` (read by read_fast_items into
    // `items`), as load_part(FeatureList(flist)) would, without making the
    // FeatureList; the list is held until the next part is loaded. Not with
    // parts_held. Returns 1 when loaded, 0 when a name cannot be encoded
    // (load the FeatureList instead, which raises at the right key), -1
    // with a Python error (a value that is no float).
    int load_items(PyObject* flist, const FastItems& items);
    // Adds every conjunction of up to n features of the loaded part, in
    // depth-first order, each prefixed by `label` when has_label, with the
    // product of the values times w. Returns false with a Python error.
    bool combine(int n, bool has_label, const char* label, Py_ssize_t label_len, double w);
    // From now on, a call whose keys would all go through the memo into an
    // empty accumulator may record the list in `rows` instead (see
    // DeferredRows); nullptr walks every call at once again.
    void defer_to(DeferredRows* rows) { defer_ = rows; }
    // Walks a row recorded in the rows given to defer_to the usual way
    // (filing the keys the memo lacks), adding its entries to `into`.
    // Throws std::bad_alloc.
    void combine_recorded(const DeferredRows::Task& task, SparseAccum<double>& into);
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
    Table* map_ = nullptr;
    bool parts_held_ = false;
    SparseAccum<double>* target_ = &acc;
    int use_utf8_ = 1;
    Ref part_names_;  // the loaded part's name list, kept alive
    FeatureListObject* part_ = nullptr;
    const double* vals_ = nullptr;  // the loaded part's values
    std::vector<Name> names_;
    std::vector<double> item_vals_;  // the values of a part loaded by load_items
    std::vector<Ref> holders_;       // encoded names of non-UTF-8 dictionaries
    std::string prefix_;
    // The batch: key bytes keys_[0, keys_len_) and pending_[0, npending_).
    // Both vectors are only ever grown, and used up to the counts, so that
    // adding a key is a few plain stores.
    std::vector<char> keys_;
    std::size_t keys_len_ = 0;
    std::vector<Pending> pending_;
    std::size_t npending_ = 0;
    std::vector<Level> levels_;
    ConjMemo* memo_ = nullptr;
    PyObject* memo_dict_ = nullptr;
    std::vector<uint32_t> numbers_;  // the memo's numbers of the part's names
    MemoWalk walk_;
    DeferredRows* defer_ = nullptr;
    // The share of recent walks through the memo that filed no key (each
    // walk moves it an eighth of the way).
    double memo_whole_ = 0.0;
    // The entries and keys of recent walks through the memo (each walk
    // adds its own to seven eighths of the sums): the share of keys the
    // dictionary holds, weighted by the rows' sizes.
    double fill_entries_ = 0.0, fill_keys_ = 0.0;
    unsigned since_walk_ = 0;              // rows recorded since the last walk
    std::vector<PyObject*> name_objs_;     // the loaded part's name objects, for recording
    std::vector<const char*> name_bytes_;  // the names' bytes and lengths, for recording
    std::vector<std::size_t> name_lens_;
    std::size_t memo_known_ = 0;  // the memo's nodes before this call; later ones are new
    std::vector<char> spelled_;
    std::vector<std::size_t> offsets_;
    std::vector<uint64_t> hashes_;

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
    // names_[i] for the name object `name` (a holder goes to holders_).
    void read_name(PyObject* name, Name& nm);
    // Whether combine() can go through the memo for a part of m names, up
    // to depth_max names per key, without label; *keys receives the number
    // of keys.
    bool memo_usable(Py_ssize_t m, int depth_max, std::size_t* keys) const;
    bool combine_memo(int depth_max, double w);
    // Records the loaded part in defer_ instead of walking it.
    bool record_memo(int depth_max, double w);
    // The memo's numbers of the loaded part's names, in numbers_.
    void number_names();
    // Looks up the keys of the level that the memo lacked (walk_.misses)
    // as bytes, and files them.
    void resolve_misses(MemoLevel& level);
};

namespace combiner_limits {
constexpr std::size_t BATCH_KEYS = 4096;
constexpr std::size_t BATCH_BYTES = 1 << 20;
// Keys are probed in blocks of this many (see flush).
constexpr std::size_t PROBE_BLOCK = 128;
}  // namespace combiner_limits

template <class Table>
void BasicCombiner<Table>::begin(Table* map, int use_utf8, bool parts_held, ConjMemo* memo, PyObject* dict) {
    parts_held_ = parts_held;
    memo_ = memo;
    memo_dict_ = dict;
    defer_ = nullptr;
    map_ = map;
    use_utf8_ = use_utf8;
    target_ = &acc;
    acc.clear();
    part_ = nullptr;
    part_names_.reset();
    holders_.clear();
    keys_len_ = 0;
    npending_ = 0;
}

template <class Table>
void BasicCombiner<Table>::end() {
    defer_ = nullptr;  // the rows recorded into live no longer than the call
    part_ = nullptr;
    part_names_.reset();
    holders_.clear();
    memo_ = nullptr;
    memo_dict_ = nullptr;
}

template <class Table>
bool BasicCombiner<Table>::load_part(FeatureListObject* fl) {
    // A re-run constructor replaces the name list and the value array
    // together (never mutating them), so while the list we hold is still
    // the part's list, the names and values we read are current. Holding the
    // list keeps every name's bytes alive.
    if (fl == part_ && fl->features == part_names_.get()) return true;
    // Queued keys may point into the names (and encoded copies) of the part
    // loaded so far: probe them before letting go of it.
    if (!parts_held_ && !flush()) return false;
    Py_ssize_t m = feature_list_len(fl);
    part_ = fl;
    part_names_ = Ref::borrow(fl->features);
    vals_ = fl->vals;
    names_.resize(static_cast<std::size_t>(m));
    if (!parts_held_) holders_.clear();
    // The name objects lie anywhere in memory: start loading all of them
    // (a short str's bytes follow its header) before reading the first.
    for (Py_ssize_t i = 0; i < m; ++i) {
        const char* obj = reinterpret_cast<const char*>(PyList_GET_ITEM(part_names_.get(), i));
        prefetch_line(obj);
        prefetch_line(obj + 63);
    }
    name_objs_.resize(static_cast<std::size_t>(m));
    for (Py_ssize_t i = 0; i < m; ++i) {
        name_objs_[i] = PyList_GET_ITEM(part_names_.get(), i);
        read_name(name_objs_[i], names_[i]);
    }
    return true;
}

template <class Table>
int BasicCombiner<Table>::load_items(PyObject* flist, const FastItems& items) {
    if (!flush()) return -1;
    const Py_ssize_t m = items.n;
    item_vals_.resize(static_cast<std::size_t>(m));
    for (Py_ssize_t i = 0; i < m; ++i) {
        const FastItems::Key& k = items.keys[items.order[i]];
        double v = 1.0;
        if (k.value && !to_double(k.value, &v)) return -1;  // an int too large for a float
        item_vals_[i] = v;
    }
    part_ = nullptr;
    part_names_ = Ref::borrow(flist);
    vals_ = item_vals_.data();
    names_.resize(static_cast<std::size_t>(m));
    holders_.clear();
    bool all_ok = true;
    name_objs_.resize(static_cast<std::size_t>(m));
    for (Py_ssize_t i = 0; i < m; ++i) {
        name_objs_[i] = items.keys[items.order[i]].name;
        read_name(name_objs_[i], names_[i]);
        all_ok = all_ok && names_[i].ok;
    }
    return all_ok ? 1 : 0;
}

template <class Table>
void BasicCombiner<Table>::read_name(PyObject* name, Name& nm) {
    nm.ok = false;
    if (use_utf8_ && PyUnicode_CheckExact(name) && PyUnicode_IS_COMPACT_ASCII(name)) {
        nm.p = static_cast<const char*>(PyUnicode_DATA(name));  // ASCII is its own UTF-8
        nm.n = PyUnicode_GET_LENGTH(name);
        nm.ok = true;
        return;
    }
    if (!PyUnicode_Check(name)) return;
    Ref holder;
    if (alphabet_key_bytes(use_utf8_, name, &holder, &nm.p, &nm.n)) {
        nm.ok = true;
        if (holder) holders_.push_back(std::move(holder));
    } else {
        PyErr_Clear();  // raised again when the name is reached
    }
}

template <class Table>
bool BasicCombiner<Table>::raise_bad_name(Py_ssize_t i, Py_ssize_t position) {
    if (!flush()) return false;  // keys enumerated before this one are looked up first
    PyObject* name = PyList_GET_ITEM(part_names_.get(), i);
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found", position,
                     Py_TYPE(name)->tp_name);
        return false;
    }
    Ref holder;
    const char* p;
    Py_ssize_t n;
    if (!alphabet_key_bytes(use_utf8_, name, &holder, &p, &n)) return false;
    PyErr_SetString(PyExc_RuntimeError, "feature name became encodable");
    return false;
}

namespace combiner_detail {

// memcpy for the short pieces of keys: two overlapping loads and stores
// instead of a library call.
inline void copy_short(char* dst, const char* src, std::size_t n) {
    if (n >= 8 && n <= 16) {
        uint64_t a, b;
        std::memcpy(&a, src, 8);
        std::memcpy(&b, src + n - 8, 8);
        std::memcpy(dst, &a, 8);
        std::memcpy(dst + n - 8, &b, 8);
    } else if (n >= 4 && n < 8) {
        uint32_t a, b;
        std::memcpy(&a, src, 4);
        std::memcpy(&b, src + n - 4, 4);
        std::memcpy(dst, &a, 4);
        std::memcpy(dst + n - 4, &b, 4);
    } else if (n < 4) {
        for (std::size_t i = 0; i < n; ++i) dst[i] = src[i];
    } else {
        std::memcpy(dst, src, n);
    }
}

}  // namespace combiner_detail

template <class Table>
#if defined(__GNUC__)
__attribute__((always_inline))
#endif
inline void BasicCombiner<Table>::emit_joined(std::size_t plen, const Name& nm, double w) {
    const std::size_t len = plen + 1 + static_cast<std::size_t>(nm.n);
    make_room(len);
    char* dst = keys_.data() + keys_len_;
    combiner_detail::copy_short(dst, prefix_.data(), plen);
    dst[plen] = '^';
    combiner_detail::copy_short(dst + plen + 1, nm.p, static_cast<std::size_t>(nm.n));
    queue_written(len, w);
}

template <class Table>
void BasicCombiner<Table>::emit_direct(const char* p, std::size_t len, double w) {
    make_room(0);
    Pending& k = pending_[npending_++];
    k.direct = p;
    k.off = 0;
    k.len = len;
    k.w = w;
    k.dest = target_;
}

template <class Table>
bool BasicCombiner<Table>::batch_full() const {
    return npending_ >= combiner_limits::BATCH_KEYS || keys_len_ >= combiner_limits::BATCH_BYTES;
}

template <class Table>
bool BasicCombiner<Table>::combine(int n, bool has_label, const char* label, Py_ssize_t label_len, double w) {
    const Py_ssize_t m = static_cast<Py_ssize_t>(names_.size());
    if (m == 0) return true;
    const int depth_max = std::max(n, 1);
    const Py_ssize_t base_entries = has_label ? 1 : 0;
    prefix_.clear();
    if (has_label) prefix_.append(label, static_cast<std::size_t>(label_len));
    if constexpr (std::is_same_v<Table, CPPAlphabet>) {
        std::size_t keys = 0;
        if (!has_label && memo_usable(m, depth_max, &keys) && memo_->ready(memo_dict_, *map_, keys)) {
            // Recorded only while the memo answers nearly every row whole
            // (a recorded row it cannot answer is walked twice) and the
            // dictionary holds more than half the keys (a recorded row gets
            // room for all of them), and one row in 32 is walked at once
            // all the same, to keep both known.
            if (defer_ && memo_whole_ > 0.9 && 2 * fill_entries_ > fill_keys_ && since_walk_ < 32 && target_ == &acc &&
                acc.len == 0 && holders_.empty()) {
                ++since_walk_;
                return record_memo(depth_max, w);
            }
            return combine_memo(depth_max, w);
        }
    }
    if (depth_max == 1 && has_label) {
        // Single features after a label (a tagger's emissions): the keys
        // "label^name", in order, without the enumeration's bookkeeping.
        const std::size_t plen = prefix_.size();
        for (Py_ssize_t i = 0; i < m; ++i) {
            const Name& nm = names_[i];
            if (!nm.ok) return raise_bad_name(i, 1);
            emit_joined(plen, nm, w * vals_[i]);
            if (batch_full() && !flush()) return false;
        }
        return true;
    }
    levels_.clear();
    levels_.push_back({0, prefix_.size(), w});
    // Iterative depth-first enumeration: level d holds the position of the
    // next name to append after a partial key of d names; prefix_ holds the
    // partial key of the deepest level.
    while (!levels_.empty()) {
        Level& top = levels_.back();
        if (top.next >= m) {
            levels_.pop_back();
            continue;
        }
        const Py_ssize_t i = top.next++;
        const Py_ssize_t depth = static_cast<Py_ssize_t>(levels_.size()) - 1;
        const Name& nm = names_[i];
        if (!nm.ok) return raise_bad_name(i, base_entries + depth);
        const double ww = top.w * vals_[i];
        const bool descend = depth + 1 < depth_max && i + 1 < m;
        if (base_entries + depth == 0) {
            // A single feature without label: the key is the name itself.
            emit_direct(nm.p, static_cast<std::size_t>(nm.n), ww);
            if (batch_full() && !flush()) return false;
            if (descend) {
                prefix_.assign(nm.p, static_cast<std::size_t>(nm.n));
                levels_.push_back({i + 1, prefix_.size(), ww});
            }
            continue;
        }
        const std::size_t plen = top.prefix_len;
        emit_joined(plen, nm, ww);
        if (descend) {
            // The key just made is the partial key of the next level.
            prefix_.resize(plen);
            prefix_.push_back('^');
            prefix_.append(nm.p, static_cast<std::size_t>(nm.n));
            levels_.push_back({i + 1, prefix_.size(), ww});
        }
        if (batch_full() && !flush()) return false;
    }
    return true;
}

namespace combiner_limits {
// The most keys of one part that combine_memo enumerates at once.
constexpr std::size_t MEMO_KEYS = std::size_t(1) << 16;
}  // namespace combiner_limits

template <class Table>
bool BasicCombiner<Table>::memo_usable(Py_ssize_t m, int depth_max, std::size_t* keys) const {
    if (!memo_ || map_->growing || npending_ != 0 || depth_max < 2 || depth_max > 3) return false;
    // The keys: the sum of C(m, k) for k = 1..depth_max, within the bound.
    std::size_t total = 0, ck = 1;
    for (int k = 1; k <= depth_max && k <= m; ++k) {
        ck = ck * static_cast<std::size_t>(m - k + 1) / static_cast<std::size_t>(k);
        total += ck;
        if (ck > combiner_limits::MEMO_KEYS || total > combiner_limits::MEMO_KEYS) return false;
    }
    for (const Name& nm : names_)
        if (!nm.ok) return false;  // the general path raises at the right key
    *keys = total;
    return true;
}

template <class Table>
void BasicCombiner<Table>::resolve_misses(MemoLevel& level) {
    // In blocks, as flush() does: spell every key out and hash it, prefetch
    // its dictionary slot and memo slot, then its entry; then look up and
    // file, in order.
    constexpr std::size_t block = combiner_limits::PROBE_BLOCK;
    const std::vector<uint32_t>& misses = walk_.misses;
    const std::size_t count = misses.size();
    offsets_.resize(block + 1);
    hashes_.resize(block);
    for (std::size_t start = 0; start < count; start += block) {
        const std::size_t end = std::min(start + block, count);
        std::size_t bytes = 0;
        for (std::size_t i = start; i < end; ++i)
            for (uint64_t at = level.names[misses[i]];; at = (at >> 16) - 1) {
                bytes += static_cast<std::size_t>(names_[at & 0xffff].n) + 1;
                if ((at >> 16) == 0) break;
            }
        if (spelled_.size() < bytes) spelled_.resize(bytes);
        char* out = spelled_.data();
        std::size_t len = 0;
        for (std::size_t i = start; i < end; ++i) {
            offsets_[i - start] = len;
            for (uint64_t at = level.names[misses[i]];; at = (at >> 16) - 1) {
                const Name& nm = names_[at & 0xffff];
                combiner_detail::copy_short(out + len, nm.p, static_cast<std::size_t>(nm.n));
                len += static_cast<std::size_t>(nm.n);
                if ((at >> 16) == 0) break;
                out[len++] = '^';
            }
        }
        offsets_[end - start] = len;
        for (std::size_t i = start; i < end; ++i) {
            const std::size_t o = offsets_[i - start];
            const uint64_t h = hash_bytes(out + o, offsets_[i - start + 1] - o);
            hashes_[i - start] = h;
            map_->prefetch(h);
            memo_->prefetch(level.hash[misses[i]]);
        }
        for (std::size_t i = start; i < end; ++i) map_->prefetch_entry(hashes_[i - start]);
        for (std::size_t i = start; i < end; ++i) {
            const uint32_t q = misses[i];
            const std::size_t o = offsets_[i - start];
            const int32_t id = map_->find(out + o, offsets_[i - start + 1] - o, hashes_[i - start]);
            level.id[q] = id;
            level.node[q] = memo_->add(level.pair[q], level.hash[q], id);
        }
    }
}

template <class Table>
bool BasicCombiner<Table>::combine_memo(int depth_max, double w) {
    ConjMemo& memo = *memo_;
    const std::size_t m = names_.size();
    memo.make_room(m + MemoWalk::key_count(m, depth_max));
    memo.reserve_for(*map_);
    memo_known_ = memo.count();
    // Pairs whose prefix was filed during this call are not in the memo.
    const uint64_t known = static_cast<uint64_t>(memo_known_) << 32 | UINT32_MAX;
    number_names();
    // Depth by depth, as the enumeration orders them: the keys of one
    // depth need the nodes of the depth before.
    bool whole = true;
    for (int d = 0; d < depth_max && static_cast<std::size_t>(d) < m; ++d) {
        walk_.fill(d, numbers_.data(), m);
        walk_.probe(memo, d, known);
        if (walk_.misses.empty()) continue;
        whole = false;
        resolve_misses(walk_.levels[d]);
    }
    const std::size_t before = target_->len;
    walk_.values(depth_max, vals_, m, w, *target_);
    const std::size_t keys = MemoWalk::key_count(m, depth_max);
    memo_whole_ += ((whole ? 1.0 : 0.0) - memo_whole_) / 8;
    fill_entries_ = fill_entries_ * 7 / 8 + static_cast<double>(target_->len - before);
    fill_keys_ = fill_keys_ * 7 / 8 + static_cast<double>(keys);
    since_walk_ = 0;
    return true;
}

template <class Table>
void BasicCombiner<Table>::number_names() {
    const std::size_t m = names_.size();
    numbers_.resize(m);
    for (std::size_t i = 0; i < m; ++i)
        numbers_[i] = memo_->name_number(names_[i].p, static_cast<std::size_t>(names_[i].n));
}

template <class Table>
bool BasicCombiner<Table>::record_memo(int depth_max, double w) {
    const std::size_t m = names_.size();
    // The same bound on the memo's memory as walking now would keep.
    memo_->make_room(m + MemoWalk::key_count(m, depth_max));
    number_names();
    name_bytes_.resize(m);
    name_lens_.resize(m);
    for (std::size_t i = 0; i < m; ++i) {
        name_bytes_[i] = names_[i].p;
        name_lens_[i] = static_cast<std::size_t>(names_[i].n);
    }
    defer_->record(numbers_.data(), vals_, name_objs_.data(), name_bytes_.data(), name_lens_.data(), m, depth_max, w,
                   memo_->epoch());
    return true;
}

template <class Table>
void BasicCombiner<Table>::combine_recorded(const DeferredRows::Task& task, SparseAccum<double>& into) {
    // The names replace the loaded part's: the next part is loaded afresh.
    part_ = nullptr;
    part_names_.reset();
    names_.resize(task.m);
    const char* const* bytes = defer_->name_bytes(task);
    const std::size_t* lens = defer_->name_lens(task);
    for (std::size_t i = 0; i < task.m; ++i) names_[i] = Name{bytes[i], static_cast<Py_ssize_t>(lens[i]), true};
    vals_ = defer_->vals(task);
    SparseAccum<double>* target = target_;
    target_ = &into;
    combine_memo(task.depth_max, task.w);
    target_ = target;
}

template <class Table>
bool BasicCombiner<Table>::add_key(const char* key, std::size_t len, double w) {
    QV_TRY
    make_room(len);
    std::memcpy(keys_.data() + keys_len_, key, len);
    queue_written(len, w);
    QV_CATCH(false)
    return flush();
}

template <class Table>
bool BasicCombiner<Table>::flush() {
    QV_TRY
    const std::size_t count = npending_;
    // In blocks: hash every key and prefetch its table slot; then read the
    // slots (all in flight together) to prefetch the entries they point
    // to; then probe, in emission order. Keys are hashed here rather than
    // when they are written: reading bytes right after copying them would
    // wait for the copy's stores.
    for (std::size_t start = 0; start < count; start += combiner_limits::PROBE_BLOCK) {
        const std::size_t end =
            start + combiner_limits::PROBE_BLOCK < count ? start + combiner_limits::PROBE_BLOCK : count;
        for (std::size_t i = start; i < end; ++i) {
            Pending& k = pending_[i];
            if (!k.direct) k.direct = keys_.data() + k.off;
            k.hash = hash_bytes(k.direct, k.len);
            map_->prefetch(k.hash);
        }
        for (std::size_t i = start; i < end; ++i) map_->prefetch_entry(pending_[i].hash);
        for (std::size_t i = start; i < end; ++i) {
            const Pending& k = pending_[i];
            int32_t id = map_->lookup(k.direct, k.len, k.hash);
            if (id >= 0) k.dest->add(static_cast<coordinate_t>(id), k.w);
        }
    }
    npending_ = 0;
    keys_len_ = 0;
    QV_CATCH(false)
    return true;
}

using Combiner = BasicCombiner<CPPAlphabet>;

}  // namespace qv

#endif
