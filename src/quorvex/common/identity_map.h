// IdentityMap: values found by the identity of up to N Python objects (a
// feature list's items, a pair of texts). The map keeps the key objects
// alive, so that an address cannot be reused by another object while its
// entry exists, and compares whole keys, so that two keys that hash alike
// are simply two entries. It grows with the keys it is given, up to a
// bound; when full it starts afresh.
#ifndef QUORVEX_COMMON_IDENTITY_MAP_H
#define QUORVEX_COMMON_IDENTITY_MAP_H

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <utility>

#include "common/ref.h"

namespace qv {

template <int N>
struct IdentityKey {
    PyObject* item[N];
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
    IdentityMap(const IdentityMap&) = delete;
    IdentityMap& operator=(const IdentityMap&) = delete;

    // The value kept under the key (borrowed), or nullptr.
    PyObject* find(const IdentityKey<N>& key) const {
        auto found = map_.find(key);
        return found == map_.end() ? nullptr : found->second.value.get();
    }
    // Keeps value under the key, replacing what was there; the key's
    // objects and the value are kept alive. Throws std::bad_alloc (nothing
    // changed then, or the map emptied when it was full).
    void put(const IdentityKey<N>& key, PyObject* value) {
        if (map_.size() >= max_entries_ && map_.find(key) == map_.end()) clear();
        Entry& e = map_[key];
        // New references in before the old ones go.
        Ref hold[N];
        for (int i = 0; i < N; ++i) {
            hold[i] = Ref::borrow(i < key.n ? key.item[i] : nullptr);
            std::swap(hold[i], e.item[i]);
        }
        Ref v = Ref::borrow(value);
        std::swap(v, e.value);
    }
    // Forgets every entry (the references are released after the map is
    // empty, so that a destructor never sees a half-cleared map).
    void clear() {
        std::unordered_map<IdentityKey<N>, Entry, Hash> old;
        old.swap(map_);
    }
    std::size_t size() const { return map_.size(); }

private:
    struct Hash {
        std::size_t operator()(const IdentityKey<N>& k) const {
            uint64_t h = static_cast<uint64_t>(k.n);
            for (int i = 0; i < k.n; ++i) {
                h ^= reinterpret_cast<uintptr_t>(k.item[i]);
                h *= 0x9e3779b97f4a7c15ull;
                h ^= h >> 29;
            }
            return static_cast<std::size_t>(h);
        }
    };
    struct Entry {
        Ref item[N];
        Ref value;
    };
    std::size_t max_entries_;
    std::unordered_map<IdentityKey<N>, Entry, Hash> map_;
};

}  // namespace qv

#endif
