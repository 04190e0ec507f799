#include "feature/combine/combiner.h"

#include <cstring>

#include "common/errors.h"

namespace qv {

namespace {
const std::size_t BATCH_KEYS = 4096;
const std::size_t BATCH_BYTES = 1 << 20;
// Keys are probed in blocks of this many (see flush).
const std::size_t PROBE_BLOCK = 128;
}  // namespace

void Combiner::begin(CPPAlphabet* map, int use_utf8) {
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

void Combiner::end() {
    part_ = nullptr;
    part_names_.reset();
    holders_.clear();
}

bool Combiner::load_part(FeatureListObject* fl) {
    // A re-run constructor replaces the name list and the value array
    // together (never mutating them), so while the list we hold is still
    // the part's list, the names and values we read are current. Holding the
    // list keeps every name's bytes alive.
    if (fl == part_ && fl->features == part_names_.get()) return true;
    // Queued keys may point into the names (and encoded copies) of the part
    // loaded so far: probe them before letting go of it.
    if (!flush()) return false;
    Py_ssize_t m = feature_list_len(fl);
    part_ = fl;
    part_names_ = Ref::borrow(fl->features);
    vals_ = fl->vals;
    names_.resize(static_cast<std::size_t>(m));
    holders_.clear();
    // The name objects lie anywhere in memory: start loading all of them
    // (a short str's bytes follow its header) before reading the first.
    for (Py_ssize_t i = 0; i < m; ++i) {
        const char* obj = reinterpret_cast<const char*>(PyList_GET_ITEM(part_names_.get(), i));
        prefetch_line(obj);
        prefetch_line(obj + 63);
    }
    for (Py_ssize_t i = 0; i < m; ++i) {
        PyObject* name = PyList_GET_ITEM(part_names_.get(), i);
        Name& nm = names_[i];
        nm.ok = false;
        if (use_utf8_ && PyUnicode_CheckExact(name) && PyUnicode_IS_COMPACT_ASCII(name)) {
            nm.p = static_cast<const char*>(PyUnicode_DATA(name));  // ASCII is its own UTF-8
            nm.n = PyUnicode_GET_LENGTH(name);
            nm.ok = true;
            continue;
        }
        if (!PyUnicode_Check(name)) continue;
        Ref holder;
        if (alphabet_key_bytes(use_utf8_, name, &holder, &nm.p, &nm.n)) {
            nm.ok = true;
            if (holder) holders_.push_back(std::move(holder));
        } else {
            PyErr_Clear();  // raised again when the name is reached
        }
    }
    return true;
}

bool Combiner::raise_bad_name(Py_ssize_t i, Py_ssize_t position) {
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

namespace {

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

}  // namespace

#if defined(__GNUC__)
__attribute__((always_inline))
#endif
inline void Combiner::emit_joined(std::size_t plen, const Name& nm, double w) {
    const std::size_t len = plen + 1 + static_cast<std::size_t>(nm.n);
    make_room(len);
    char* dst = keys_.data() + keys_len_;
    copy_short(dst, prefix_.data(), plen);
    dst[plen] = '^';
    copy_short(dst + plen + 1, nm.p, static_cast<std::size_t>(nm.n));
    queue_written(len, w);
}

void Combiner::emit_direct(const char* p, std::size_t len, double w) {
    make_room(0);
    Pending& k = pending_[npending_++];
    k.direct = p;
    k.off = 0;
    k.len = len;
    k.w = w;
    k.dest = target_;
}

bool Combiner::batch_full() const { return npending_ >= BATCH_KEYS || keys_len_ >= BATCH_BYTES; }

bool Combiner::combine(int n, bool has_label, const char* label, Py_ssize_t label_len, double w) {
    const Py_ssize_t m = static_cast<Py_ssize_t>(names_.size());
    if (m == 0) return true;
    const int depth_max = n < 1 ? 1 : n;
    const Py_ssize_t base_entries = has_label ? 1 : 0;
    prefix_.clear();
    if (has_label) prefix_.append(label, static_cast<std::size_t>(label_len));
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

bool Combiner::add_key(const char* key, std::size_t len, double w) {
    QV_TRY
    make_room(len);
    std::memcpy(keys_.data() + keys_len_, key, len);
    queue_written(len, w);
    QV_CATCH(false)
    return flush();
}

bool Combiner::flush() {
    QV_TRY
    const std::size_t count = npending_;
    // In blocks: hash every key and prefetch its table slot; then read the
    // slots (all in flight together) to prefetch the entries they point
    // to; then probe, in emission order. Keys are hashed here rather than
    // when they are written: reading bytes right after copying them would
    // wait for the copy's stores.
    for (std::size_t start = 0; start < count; start += PROBE_BLOCK) {
        const std::size_t end = start + PROBE_BLOCK < count ? start + PROBE_BLOCK : count;
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

}  // namespace qv
