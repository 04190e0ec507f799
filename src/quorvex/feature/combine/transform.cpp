// FCombo.transform: many inputs vectorised in one call, straight into the
// arrays of a SciPy CSR matrix (no sparse vector per row, no Python call
// per row), for users who hand the result to scikit-learn and friends.
#include "common/args.h"
#include "common/errors.h"
#include "common/text_args.h"
#include "feature/combine/fcombo.h"

namespace qv {

namespace {

PyObject* fc_transform(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"flists", "labels", nullptr};
    static const ArgSpec spec{"transform", names, 0, 1};
    PyObject* a[2];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    if (!refuse_text(a[0], "flists", "feature lists")) return nullptr;
    PyObject* labels_arg = a[1] && a[1] != Py_None ? a[1] : nullptr;
    if (labels_arg && !refuse_text(labels_arg, "labels", "labels")) return nullptr;
    // SciPy first: without it nothing is done (a growing dictionary would
    // otherwise keep the keys of a result that is never returned).
    Ref scipy(sparsmat->scipy_sparse());
    if (!scipy) return nullptr;
    // Private copies: Python code run while vectorising (a feature's
    // conversion, a label's iteration) cannot change what is walked, and
    // the labels are read once, not once per row.
    Ref inputs(PySequence_List(a[0]));
    if (!inputs) return nullptr;
    Ref labels(labels_arg ? PySequence_Tuple(labels_arg) : nullptr);
    if (labels_arg && !labels) return nullptr;
    CsrRows<double> rows;
    uint64_t n_cols = 0;
    QV_TRY rows.reserve(static_cast<std::size_t>(PyList_GET_SIZE(inputs.get())), 0);
    QV_CATCH(nullptr)
    if (!fcombo_vectorise_rows(reinterpret_cast<FComboObject*>(self), inputs.get(), labels.get(), rows, &n_cols))
        return nullptr;
    return sparsmat->rows_to_scipy(&rows, n_cols);
}

}  // namespace

PyMethodDef fc_transform_methods[] = {
    {"transform", reinterpret_cast<PyCFunction>(fc_transform), METH_FASTCALL | METH_KEYWORDS,
     "transform($self, flists, labels=None)\n--\n\n"
     "-> scipy.sparse.csr_matrix: row i is fc(flists[i], labels)\n"
     "(the same labels for every row), built straight into the matrix's arrays. The inputs are\n"
     "processed in order, so a growing dictionary hands out the same ids as one call per input;\n"
     "the matrix has len(dict) columns (its size after the call). Needs SciPy\n"
     "(pip install 'quorvex[scipy]'); without it nothing is looked up. Over a frozen\n"
     "dictionary, a large batch of lists and FeatureLists is walked on two threads while\n"
     "the GIL stays held (see the README's Threads)."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace qv
