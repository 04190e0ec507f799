// Internal declarations shared by the files of quorvex.sparsmat: value
// traits of the three element types and access to each type object.
#ifndef QUORVEX_SPARSMAT_TYPES_H
#define QUORVEX_SPARSMAT_TYPES_H

#include <charconv>
#include <string>

#include "common/args.h"
#include "common/errors.h"
#include "sparsmat/sparsmat_api.h"

namespace qv {

template <class T>
struct ValueTraits;

template <>
struct ValueTraits<double> {
    static constexpr char suffix = 'D';
    static PyObject* to_py(double v) { return PyFloat_FromDouble(v); }
    static bool from_py(PyObject* o, double* out) { return to_double(o, out); }
};
template <>
struct ValueTraits<float> {
    static constexpr char suffix = 'F';
    static PyObject* to_py(float v) { return PyFloat_FromDouble(v); }
    static bool from_py(PyObject* o, float* out) {
        double d;
        if (!to_double(o, &d)) return false;
        *out = static_cast<float>(d);
        return true;
    }
};
template <>
struct ValueTraits<int32_t> {
    static constexpr char suffix = 'I';
    static PyObject* to_py(int32_t v) { return PyLong_FromLong(v); }
    static bool from_py(PyObject* o, int32_t* out) { return to_int32(o, out); }
};

// The dummy value type of the value-less accumulators.
template <>
struct ValueTraits<unsigned char> {
    static constexpr char suffix = 'V';
    static PyObject* to_py(unsigned char v) { return PyLong_FromLong(v); }
    static bool from_py(PyObject*, unsigned char* out) {
        *out = 1;
        return true;
    }
};

// Shortest text that reads back as the same value.
template <class T>
inline void append_number(std::string& out, T v) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

bool to_coordinate(PyObject* o, coordinate_t* out);

// Type objects, one per element type (defined in the family's file).
template <class T>
PyTypeObject* sparse_vector_type();
template <class T>
PyTypeObject* vec1_type();
template <class T>
PyTypeObject* sparse_vectors_type();
template <class T>
PyTypeObject* csr_matrix_type();

template <class T>
SparseVectorObject<T>* new_sparse(Py_ssize_t n);
template <class T>
SparseVectorObject<T>* sparse_from_accum(SparseAccum<T>& acc);

template <class T>
struct CSRMatrixObject {
    PyObject_HEAD
    CSRMatrix<T>* mat;
};
// Takes ownership of mat (released on failure).
template <class T>
PyObject* wrap_csr(CSRMatrix<T>* mat);
template <class T>
CSRMatrix<T>* new_csr(coordinate_t rows, std::size_t entries);
template <class T>
void free_csr(CSRMatrix<T>* m);

// Registration, one function per family.
bool add_sparse_vector_types(PyObject* module);
bool add_accumulator_types(PyObject* module);
bool add_sparse_vectors_types(PyObject* module);
bool add_csr_types(PyObject* module);
PyTypeObject* grid_type(char suffix, int dims);

}  // namespace qv

#endif
