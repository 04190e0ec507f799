// Ref: owns exactly one reference to a Python object and gives it up in
// its destructor. Every temporary reference in the C++ code lives in one.
#ifndef QUORVEX_COMMON_REF_H
#define QUORVEX_COMMON_REF_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qv {

class Ref {
public:
    Ref() = default;
    // Takes over a new (owned) reference; nullptr is allowed.
    explicit Ref(PyObject* owned) : p_(owned) {}
    // Adds a reference to a borrowed pointer.
    static Ref borrow(PyObject* borrowed) {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    // Drops the held reference (after the new one is stored, so that a
    // destructor running Python code never sees a dangling field).
    void reset(PyObject* owned = nullptr) {
        PyObject* old = p_;
        p_ = owned;
        Py_XDECREF(old);
    }
    // A new reference for the caller, keeping ours.
    PyObject* new_ref() const {
        Py_XINCREF(p_);
        return p_;
    }

private:
    PyObject* p_ = nullptr;
};

// Replaces an object-valued field, releasing the old value last.
inline void set_field(PyObject*& field, PyObject* owned) {
    PyObject* old = field;
    field = owned;
    Py_XDECREF(old);
}

}  // namespace qv

#endif
