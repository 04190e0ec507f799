// IdentityMap: values found by the identity of up to N Python objects (a
// feature list's items, a pair of texts). The map keeps the key objects
// alive, so that an address cannot be reused by another object while its
// entry exists, and compares whole keys, so that two keys that hash alike
// are simply two entries. It grows with the keys it is given, up to a
// bound; when full it starts afresh.
//
// The entries sit in one open-addressed table (a power of two of slots, at
// most a quarter of them used, probed one after the other): a lookup is a
// hash, a mask and nearly always one slot, with no division and no node to
// chase. Its callers look up once per transition of a CRF forest, where a
// fuller table cost more in probes (and their mispredicted branches) than
// the room it saved.
#ifndef QUORVEX_COMMON_IDENTITY_MAP_H
#define QUORVEX_COMMON_IDENTITY_MAP_H

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "common/ref.h"
#include "prefetch.h"

namespace qv {

template <int N>
struct IdentityKey {
    PyObject* item[N] = {};
    int n = 0;
    bool operator==(const IdentityKey& o) const {
        if (n != o.n) return false;
        for (int i = 0; i < n; ++i)
            if (item[i] != o.item[i]) return false;
        return true;
    }
};

template <int N>
class IdentityMap {
public:
    explicit IdentityMap(std::size_t max_entries) : max_entries_(max_entries) {}
    ~IdentityMap() { clear(); }
    IdentityMap(const IdentityMap&) = delete;
    IdentityMap& operator=(const IdentityMap&) = delete;

    // The value kept under the key (borrowed), or nullptr.
    PyObject* find(const IdentityKey<N>& key) const {
        const Slot* s = slot_of(key);
        return s && s->value ? s->value : nullptr;
    }
    // Keeps value under the key, replacing what was there; the key's
    // objects and the value are kept alive. Throws std::bad_alloc (nothing
    // changed then, or the map emptied when it was full).
    void put(const IdentityKey<N>& key, PyObject* value) {
        Slot* s = const_cast<Slot*>(slot_of(key));
        if (s && s->value) {
            // New reference in before the old one goes.
            Py_INCREF(value);
            PyObject* old = s->value;
            s->value = value;
            Py_DECREF(old);
            return;
        }
        if (size_ >= max_entries_) clear();
        if (4 * (size_ + 1) > slots_.size()) grow();
        s = const_cast<Slot*>(slot_of(key));
        s->key.n = key.n;
        for (int i = 0; i < key.n; ++i) {
            s->key.item[i] = key.item[i];
            Py_INCREF(key.item[i]);
        }
        Py_INCREF(value);
        s->value = value;
        ++size_;
    }
    // Forgets every entry (the references are released after the map is
    // empty, so that a destructor never sees a half-cleared map).
    void clear() {
        std::vector<Slot> old;
        old.swap(slots_);
        size_ = 0;
        for (Slot& s : old) {
            if (!s.value) continue;
            for (int i = 0; i < s.key.n; ++i) Py_DECREF(s.key.item[i]);
            Py_DECREF(s.value);
        }
    }
    std::size_t size() const { return size_; }
    // Starts loading the slot where a lookup of the key begins.
    void prefetch(const IdentityKey<N>& key) const {
        if (!slots_.empty()) prefetch_line(&slots_[hash(key) & (slots_.size() - 1)]);
    }

private:
    struct Slot {
        IdentityKey<N> key;
        PyObject* value = nullptr;  // nullptr: the slot is free
    };
    static std::size_t hash(const IdentityKey<N>& k) {
        uint64_t h = static_cast<uint64_t>(k.n);
        for (int i = 0; i < k.n; ++i) {
            h ^= reinterpret_cast<uintptr_t>(k.item[i]);
            h *= 0x9e3779b97f4a7c15ull;
            h ^= h >> 29;
        }
        h *= 0xbf58476d1ce4e5b9ull;
        return static_cast<std::size_t>(h ^ (h >> 32));
    }
    // The slot holding the key, or the free slot where it would go;
    // nullptr while the table is empty.
    const Slot* slot_of(const IdentityKey<N>& key) const {
        if (slots_.empty()) return nullptr;
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = hash(key) & mask;; i = (i + 1) & mask) {
            const Slot& s = slots_[i];
            if (!s.value || s.key == key) return &s;
        }
    }
    // Twice the slots (16 at first), the entries moved over as they are.
    void grow() {
        std::vector<Slot> bigger(slots_.empty() ? 16 : 2 * slots_.size());
        const std::size_t mask = bigger.size() - 1;
        for (Slot& s : slots_) {
            if (!s.value) continue;
            std::size_t i = hash(s.key) & mask;
            while (bigger[i].value) i = (i + 1) & mask;
            bigger[i] = s;
        }
        slots_.swap(bigger);
    }

    std::size_t max_entries_;
    std::size_t size_ = 0;
    std::vector<Slot> slots_;
};

}  // namespace qv

#endif
