// quorvex.sparsmat: sparse vectors, accumulators, weighted vector sets and
// CSR matrices, plus the C API capsule other modules bind at import.
#include "common/exception_storage.h"
#include "common/module_util.h"
#include "common/public_names.h"
#include "sparsmat/array_buffer.h"
#include "sparsmat/sparsmat_types.h"

namespace qv {
namespace {

SparseVectorD* api_new_sparse_d(Py_ssize_t n) { return new_sparse<double>(n); }

SparseVectorD* api_accum_to_sparse_d(SparseAccum<double>* acc) {
    QV_TRY return sparse_from_accum<double>(*acc);
    QV_CATCH(nullptr)
}

double api_dot_full(const SparseVectorD* v, const double* w) { return sparse_dot(v, w); }
double api_dot_self(const SparseVectorD* v) { return sparse_dot_self(v); }

SparsmatAPI api;

PyMethodDef module_functions[] = {
    {"to_csr", reinterpret_cast<PyCFunction>(sparsmat_to_csr), METH_FASTCALL | METH_KEYWORDS,
     "to_csr($module, vectors, n_features=None)\n--\n\n"
     "-> scipy.sparse.csr_matrix: the SparseVectorDs of `vectors`\n"
     "stacked as the rows of a SciPy CSR matrix (entries copied once). n_features is the number\n"
     "of columns (default: the largest index + 1); an index at or beyond it raises ValueError.\n"
     "Indices are int32 while every index and count fits, else int64. Needs SciPy\n"
     "(pip install 'quorvex[scipy]'), imported on first use."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quorvex.sparsmat",
                          "Sparse vectors, accumulators, weighted vector sets and CSR matrices.", -1, module_functions};

}  // namespace
}  // namespace qv

PyMODINIT_FUNC PyInit_sparsmat(void) {
    using namespace qv;
    touch_exception_storage();
    if (!check_python_version("quorvex.sparsmat")) return nullptr;
    Ref m(PyModule_Create(&module_def));
    if (!m || !declare_gil_used(m.get())) return nullptr;
    if (!ready_array_buffer() || !add_csr_types(m.get()) || !add_sparse_vector_types(m.get()) ||
        !add_accumulator_types(m.get()) || !add_sparse_vectors_types(m.get()))
        return nullptr;
    api.version = SPARSMAT_API_VERSION;
    api.size = sizeof(SparsmatAPI);
    api.CSRMatrixD = csr_matrix_type<double>();
    api.CSRMatrixI = csr_matrix_type<int32_t>();
    api.SparseVectorI = sparse_vector_type<int32_t>();
    api.VecI1 = vec1_type<int32_t>();
    api.VecI2 = grid_type('I', 2);
    api.VecI3 = grid_type('I', 3);
    api.SparseVectorsI = sparse_vectors_type<int32_t>();
    api.CSRMatrixF = csr_matrix_type<float>();
    api.SparseVectorF = sparse_vector_type<float>();
    api.VecF1 = vec1_type<float>();
    api.VecF2 = grid_type('F', 2);
    api.VecF3 = grid_type('F', 3);
    api.SparseVectorsF = sparse_vectors_type<float>();
    api.SparseVectorD = sparse_vector_type<double>();
    api.VecD1 = vec1_type<double>();
    api.VecD2 = grid_type('D', 2);
    api.VecD3 = grid_type('D', 3);
    api.SparseVectorsD = sparse_vectors_type<double>();
    api.VecV1 = grid_type('V', 1);
    api.VecV2 = grid_type('V', 2);
    api.VecV3 = grid_type('V', 3);
    api.new_sparse_d = api_new_sparse_d;
    api.accum_to_sparse_d = api_accum_to_sparse_d;
    api.dot_full = api_dot_full;
    api.dot_self = api_dot_self;
    api.rows_to_scipy = api_rows_to_scipy;
    api.scipy_sparse = scipy_sparse;
    if (!add_object(m.get(), "_C_API", PyCapsule_New(&api, "quorvex.sparsmat._C_API", nullptr))) return nullptr;
    if (!set_public_names(
            m.get(),
            {"CSRMatrixD",     "CSRMatrixF",     "CSRMatrixI",     "SparseVectorD", "SparseVectorF", "SparseVectorI",
             "SparseVectorsD", "SparseVectorsF", "SparseVectorsI", "VecD1",         "VecD2",         "VecD3",
             "VecF1",          "VecF2",          "VecF3",          "VecI1",         "VecI2",         "VecI3",
             "VecV1",          "VecV2",          "VecV3",          "to_csr"}))
        return nullptr;
    return m.release();
}
