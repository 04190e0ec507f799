// Work split into chunks taken in turn by the calling thread and one helper
// thread. Neither waits for the other: a helper that starts late (the
// processor busy elsewhere) leaves the rest to the calling thread. The
// helper must touch no Python object; the calling thread keeps the GIL.
#ifndef QUORVEX_COMMON_CHUNK_THREADS_H
#define QUORVEX_COMMON_CHUNK_THREADS_H

#include <atomic>
#include <cstddef>
#include <exception>
#include <system_error>
#include <thread>

#include "common/exception_storage.h"

#if defined(__linux__)
#include <sched.h>
#endif

namespace qv {

// The most threads worth using: two when the process may run on two
// processors or more, else one.
inline unsigned available_threads() {
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return CPU_COUNT(&set) >= 2 ? 2 : 1;
#endif
    return std::thread::hardware_concurrency() >= 2 ? 2 : 1;
}

// Runs walk(next, chunk) on the calling thread and, with threads >= 2, on
// a helper thread at once. A walk takes the items [b, b + chunk) with
// b = next.fetch_add(chunk) until b reaches count; storing count in next
// stops both. With one thread (or none to be had) the calling thread walks
// everything as one chunk. An exception from either walk stops the other
// and is thrown here once both are done.
template <class Walk>
void run_chunks(unsigned threads, std::size_t count, std::size_t chunk, Walk&& walk) {
    std::atomic<std::size_t> next{0};
    if (threads < 2 || chunk >= count) {
        walk(next, count);
        return;
    }
    touch_exception_storage();
    std::exception_ptr failure;
    std::thread helper;
    try {
        helper = std::thread([&] {
            touch_exception_storage();
            try {
                walk(next, chunk);
            } catch (...) {
                failure = std::current_exception();
                next.store(count);  // the other thread stops too
            }
        });
    } catch (const std::system_error&) {
        walk(next, count);  // no thread to be had
        return;
    }
    try {
        walk(next, chunk);
    } catch (...) {
        next.store(count);
        helper.join();
        throw;
    }
    helper.join();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace qv

#endif
