// Instance layouts of quorvex.sparsmat's types and the C API table the
// module publishes in its "_C_API" capsule. Other extension modules include
// this header, import the table with qv::import_sparsmat() and then read
// and build these objects directly.
//
// Invariants of every SparseVector*: entries are in ascending index order
// with unique indices; the object is immutable once built; idx_ptr and
// vals_ptr point into the object's own allocation (one allocation per
// vector: header, then indices, then values).
#ifndef QUORVEX_SPARSMAT_API_H
#define QUORVEX_SPARSMAT_API_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/module_util.h"
#include "csr_rows.h"
#include "cxx_gram.h"
#include "sparse_accum.h"

namespace qv {

template <class T>
struct SparseVectorObject {
    PyObject_HEAD
    uint32_t my_len;
    coordinate_t* idx_ptr;
    T* vals_ptr;
};
using SparseVectorD = SparseVectorObject<double>;
using SparseVectorF = SparseVectorObject<float>;
using SparseVectorI = SparseVectorObject<int32_t>;

// VecD1 and its siblings: one-dimensional accumulators.
template <class T>
struct Vec1Object {
    PyObject_HEAD
    SparseAccum<T> acc;
};
using VecD1 = Vec1Object<double>;

// sum of vals_ptr[i] * w[idx_ptr[i]]
inline double sparse_dot(const SparseVectorD* v, const double* w) {
    double s = 0.0;
    const coordinate_t* idx = v->idx_ptr;
    const double* val = v->vals_ptr;
    for (uint32_t i = 0; i < v->my_len; ++i) s += val[i] * w[idx[i]];
    return s;
}

inline double sparse_dot_self(const SparseVectorD* v) {
    double s = 0.0;
    for (uint32_t i = 0; i < v->my_len; ++i) s += v->vals_ptr[i] * v->vals_ptr[i];
    return s;
}

// Largest index + 1 (0 for an empty vector): the shortest weight array a
// vector may be dotted with.
inline uint64_t sparse_extent(const SparseVectorD* v) {
    return v->my_len ? static_cast<uint64_t>(v->idx_ptr[v->my_len - 1]) + 1 : 0;
}

static const uint32_t SPARSMAT_API_VERSION = 2;

struct SparsmatAPI {
    uint32_t version;
    uint32_t size;
    // The types, in the order sibling modules bind them.
    PyTypeObject *CSRMatrixD, *CSRMatrixI, *SparseVectorI, *VecI1, *VecI2, *VecI3, *SparseVectorsI, *CSRMatrixF,
        *SparseVectorF, *VecF1, *VecF2, *VecF3, *SparseVectorsF, *SparseVectorD, *VecD1, *VecD2, *VecD3,
        *SparseVectorsD, *VecV1, *VecV2, *VecV3;
    // A new SparseVectorD with n entries whose indices and values the
    // caller fills (ascending, unique). nullptr with MemoryError.
    ::qv::SparseVectorD* (*new_sparse_d)(Py_ssize_t n);
    // Compacts the accumulator and returns its entries as a new
    // SparseVectorD; the accumulator keeps them and may be used again.
    ::qv::SparseVectorD* (*accum_to_sparse_d)(SparseAccum<double>* acc);
    // The internal operations of SparseVectorD.
    double (*dot_full)(const ::qv::SparseVectorD* v, const double* w);
    double (*dot_self)(const ::qv::SparseVectorD* v);
    // A scipy.sparse.csr_matrix of the rows with n_cols columns (SciPy is
    // imported on first use). Takes over the rows' arrays, also on failure;
    // nullptr with an error (ImportError without SciPy).
    PyObject* (*rows_to_scipy)(CsrRows<double>* rows, uint64_t n_cols);
    // The module scipy.sparse (a new reference), or ImportError saying how
    // to install SciPy: callers check it before work they could not undo.
    PyObject* (*scipy_sparse)();
};

// Imports quorvex.sparsmat's table and checks every type's instance size;
// ImportError on any mismatch.
inline const SparsmatAPI* import_sparsmat() {
    const char* mod = "quorvex.sparsmat";
    auto* api = static_cast<const SparsmatAPI*>(import_api(mod, SPARSMAT_API_VERSION, sizeof(SparsmatAPI)));
    if (!api) return nullptr;
    struct Expect {
        PyTypeObject* tp;
        const char* name;
        Py_ssize_t size;
    };
    // Types whose instances other modules read directly have a fixed size;
    // for the rest only their presence is checked.
    const Expect expected[] = {
        {api->CSRMatrixD, "CSRMatrixD", -1},
        {api->CSRMatrixI, "CSRMatrixI", -1},
        {api->SparseVectorI, "SparseVectorI", sizeof(SparseVectorI)},
        {api->VecI1, "VecI1", sizeof(Vec1Object<int32_t>)},
        {api->VecI2, "VecI2", -1},
        {api->VecI3, "VecI3", -1},
        {api->SparseVectorsI, "SparseVectorsI", -1},
        {api->CSRMatrixF, "CSRMatrixF", -1},
        {api->SparseVectorF, "SparseVectorF", sizeof(SparseVectorF)},
        {api->VecF1, "VecF1", sizeof(Vec1Object<float>)},
        {api->VecF2, "VecF2", -1},
        {api->VecF3, "VecF3", -1},
        {api->SparseVectorsF, "SparseVectorsF", -1},
        {api->SparseVectorD, "SparseVectorD", sizeof(SparseVectorD)},
        {api->VecD1, "VecD1", sizeof(VecD1)},
        {api->VecD2, "VecD2", -1},
        {api->VecD3, "VecD3", -1},
        {api->SparseVectorsD, "SparseVectorsD", -1},
        {api->VecV1, "VecV1", -1},
        {api->VecV2, "VecV2", -1},
        {api->VecV3, "VecV3", -1},
    };
    for (const Expect& e : expected)
        if (!check_sibling_type(e.tp, mod, e.name, e.size)) return nullptr;
    return api;
}

}  // namespace qv

#endif
