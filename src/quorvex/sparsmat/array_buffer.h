// Plain native arrays handed to NumPy without copying: an ArrayBuffer
// exports one typed one-dimensional array through the buffer protocol, and
// numpy.asarray() of it is a view whose base keeps the ArrayBuffer alive.
//
// The memory either belongs to the ArrayBuffer (malloc'd; freed with it) or
// to another object the ArrayBuffer holds a reference to (the index or value
// array inside an immutable sparse vector, exported read-only).
#ifndef QUORVEX_SPARSMAT_ARRAY_BUFFER_H
#define QUORVEX_SPARSMAT_ARRAY_BUFFER_H

#include <cstdint>

#include "common/ref.h"
#include "cxx_gram.h"

namespace qv {

// The buffer-protocol format of each element type (native byte order).
template <class T>
struct ArrayFormat;
template <>
struct ArrayFormat<double> {
    static constexpr const char* code = "d";
};
template <>
struct ArrayFormat<float> {
    static constexpr const char* code = "f";
};
template <>
struct ArrayFormat<int32_t> {
    static constexpr const char* code = "i";
};
template <>
struct ArrayFormat<uint32_t> {
    static constexpr const char* code = "I";
};
template <>
struct ArrayFormat<int64_t> {
    // NumPy's int64 is the C long where that has 64 bits.
    static constexpr const char* code = sizeof(long) == 8 ? "l" : "q";
};

// A NumPy array over the n elements at mem, which the array then owns
// (malloc'd; freed when the array goes, and at once on failure). A new
// reference, or nullptr with an error.
template <class T>
PyObject* numpy_adopt(T* mem, std::size_t n);
// A read-only NumPy view of n elements inside owner, which the view keeps
// alive (owner must never change or free them).
template <class T>
PyObject* numpy_view_of(PyObject* owner, const T* mem, std::size_t n);

bool ready_array_buffer();

}  // namespace qv

#endif
