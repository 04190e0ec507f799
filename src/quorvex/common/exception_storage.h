// A thread's C++ exception storage is allocated on its first use: the C++
// runtime comes in with the extension modules, after the process started,
// so its per-thread data is made lazily. A thread whose first exception is
// std::bad_alloc, thrown when memory has run out, cannot get it, and the
// process ends ("cannot allocate memory for thread-local data") instead of
// raising MemoryError. Touched once up front (at import for the importing
// thread, at the start of every thread the modules start), it is there when
// needed.
#ifndef QUORVEX_COMMON_EXCEPTION_STORAGE_H
#define QUORVEX_COMMON_EXCEPTION_STORAGE_H

#include <exception>

namespace qv {

inline void touch_exception_storage() {
    volatile int in_flight = std::uncaught_exceptions();  // declared pure: an unused result would drop the call
    (void)in_flight;
}

}  // namespace qv

#endif
