// The room of a large vector kept from one decoding to the next.
//
// The decoder's records of a large forest (the numbering walk's order, the
// builder's record of it) take megabytes to tens of megabytes. Memory that
// fresh from the system costs a page fault for every page filled, which on
// a forest of a few thousand positions adds up to about a microsecond per
// position; keeping the room of the last record for the next one avoids
// that. Only room up to kMaxBytes is kept.
#ifndef QUORVEX_FEATURE_FOREST_SPARE_ROOM_H
#define QUORVEX_FEATURE_FOREST_SPARE_ROOM_H

#include <cstddef>
#include <utility>
#include <vector>

namespace qv {
namespace forest {

template <class T>
class SpareRoom {
public:
    static const std::size_t kMaxBytes = std::size_t(64) << 20;

    // Hands the kept room to an empty v when it holds n elements.
    void lend(std::vector<T>& v, std::size_t n) {
        if (room_ && v.empty() && room_->capacity() >= n && room_->capacity() > v.capacity()) room_->swap(v);
    }
    // Keeps v's room (its elements are dropped) when it is more than the
    // room kept and at most kMaxBytes.
    void keep(std::vector<T>& v) {
        if (v.capacity() > kMaxBytes / sizeof(T)) return;
        if (room_ && room_->capacity() >= v.capacity()) return;
        try {
            if (!room_) room_ = new std::vector<T>();
        } catch (...) {
            return;
        }
        v.clear();
        room_->swap(v);
    }

private:
    std::vector<T>* room_ = nullptr;  // never freed: it lives as long as the process
};

}  // namespace forest
}  // namespace qv

#endif
