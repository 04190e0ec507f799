// Internal declarations shared by the files of quorvex.sparsmat: value
// traits of the three element types and access to each type object.
#ifndef QUORVEX_SPARSMAT_TYPES_H
#define QUORVEX_SPARSMAT_TYPES_H

#include <charconv>
#include <memory>
#include <string>

#include "common/args.h"
#include "common/errors.h"
#include "common/module_util.h"
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
void free_csr(CSRMatrix<T>* m);
// A CSR matrix record that is freed when it goes out of scope.
template <class T>
struct CsrFree {
    void operator()(CSRMatrix<T>* m) const { free_csr(m); }
};
template <class T>
using CsrPtr = std::unique_ptr<CSRMatrix<T>, CsrFree<T>>;
// A matrix of `rows` rows with room for `entries` entries (offsets zeroed);
// empty with MemoryError set when memory runs out.
template <class T>
CsrPtr<T> new_csr(coordinate_t rows, std::size_t entries);

// An instance of cls (a CSR matrix class) holding m, which it takes over
// (m is freed on failure).
template <class T>
PyObject* csr_instance(PyObject* cls, CSRMatrix<T>* m);

// The NumPy and SciPy bridges (numpy_bridge.cpp).
template <class T>
PyObject* sv_indices_array(PyObject* self, PyObject*);
template <class T>
PyObject* sv_values_array(PyObject* self, PyObject*);
template <class T>
PyObject* sv_from_arrays(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
template <class T>
PyObject* csr_to_scipy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
template <class T>
PyObject* csr_from_scipy(PyObject* cls, PyObject* matrix);
PyObject* sparsmat_to_csr(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// The SciPy CSR matrix of rows with n_cols columns; takes over the rows'
// arrays (also on failure).
PyObject* api_rows_to_scipy(CsrRows<double>* rows, uint64_t n_cols);
// scipy.sparse (a new reference), or ImportError saying how to get it.
PyObject* scipy_sparse();

// Registration, one function per family.
bool add_sparse_vector_types(PyObject* module);
bool add_accumulator_types(PyObject* module);
bool add_sparse_vectors_types(PyObject* module);
bool add_csr_types(PyObject* module);
PyTypeObject* grid_type(char suffix, int dims);

}  // namespace qv

#endif
