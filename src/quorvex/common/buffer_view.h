// A typed one-dimensional view of an object exposing the buffer protocol
// (a NumPy array, array.array, ...), held by a native object as a field.
// A zero-filled View1D is "not initialized".
//
// Errors use the interface's messages:
//   ValueError "Buffer dtype mismatch, expected 'double' but got 'float'"
//   ValueError "Buffer has wrong number of dimensions (expected 1, got 2)"
//   IndexError "Out of bounds on buffer access (axis 0)"
//   AttributeError "Memoryview is not initialized"
#ifndef QUORVEX_COMMON_BUFFER_VIEW_H
#define QUORVEX_COMMON_BUFFER_VIEW_H

#include "common/ref.h"

namespace qv {

enum class Elem { Float64, Int64, Int32, Int8 };

struct View1D {
    Py_buffer buf;  // buf.obj is nullptr while the view is not set
    char* data;
    Py_ssize_t len;
    Py_ssize_t stride;  // in bytes
    // A weak reference to the exporter while a learner holds the view
    // (pin_view): NumPy refuses to resize an array in place, even with
    // refcheck=False, while it has weak references, so the view's data
    // cannot be freed under it. nullptr for exporters without weak
    // references (they refuse resizing while exported anyway).
    PyObject* resize_guard;

    bool valid() const { return buf.obj != nullptr; }
    bool contiguous() const { return stride == static_cast<Py_ssize_t>(buf.itemsize); }
    template <class T>
    T& at(Py_ssize_t i) const {
        return *reinterpret_cast<T*>(data + i * stride);
    }
};

// Acquires a view of obj; on failure the old view is kept and false
// returned with the error set. On success the old view is released.
bool view_set(View1D& v, PyObject* obj, Elem elem, bool writable);
void view_release(View1D& v);
// The exporting object (a new reference), or AttributeError
// "Memoryview is not initialized".
PyObject* view_object(const View1D& v);
// IndexError "Out of bounds on buffer access (axis 0)" unless 0 <= i < len
// (also for an unset view). Returns false after setting the error.
bool view_check_index(const View1D& v, Py_ssize_t i);
bool raise_out_of_bounds();
// The same IndexError for a sparse vector's feature beyond a weight array,
// naming both: "Out of bounds on buffer access (axis 0): feature 1234 is
// out of range for a weight array of 1000". Returns false.
bool raise_feature_out_of_range(uint64_t feature, Py_ssize_t size);
// AttributeError "Memoryview is not initialized"; returns false.
bool raise_view_not_initialized();

}  // namespace qv

#endif
