// Interned str objects for attribute and method names, made on first use
// and kept for the life of the process:
//
//   static Interned write_name("write");
//   PyObject* name = write_name.get();
//   if (!name) return false;
#ifndef QUORVEX_COMMON_INTERNED_H
#define QUORVEX_COMMON_INTERNED_H

#include "common/ref.h"

namespace qv {

class Interned {
public:
    explicit constexpr Interned(const char* text) : text_(text) {}
    Interned(const Interned&) = delete;
    Interned& operator=(const Interned&) = delete;

    // The str (borrowed); nullptr with the error set when it cannot be made,
    // in which case the next call tries again.
    PyObject* get() {
        if (!obj_) obj_ = PyUnicode_InternFromString(text_);
        return obj_;
    }

private:
    const char* text_;
    PyObject* obj_ = nullptr;
};

}  // namespace qv

#endif
