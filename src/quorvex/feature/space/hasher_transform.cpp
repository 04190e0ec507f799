// FeatureHasher.transform: many feature lists hashed in one call, straight
// into the arrays of a SciPy CSR matrix (no sparse vector per row).
#include "common/args.h"
#include "common/errors.h"
#include "common/text_args.h"
#include "feature/space/hasher.h"

namespace qv {

PyObject* fh_transform(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"lists", "target", nullptr};
    static const ArgSpec spec{"transform", names, 0, 1};
    PyObject* a[2];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    if (!refuse_text(a[0], "lists", "feature lists")) return nullptr;
    auto* fh = reinterpret_cast<FeatureHasherObject*>(self);
    if (fh->num_dimensions <= 0) {
        PyErr_Format(PyExc_ValueError, "transform needs a positive number of dimensions, not %d",
                     static_cast<int>(fh->num_dimensions));
        return nullptr;
    }
    Ref scipy(sparsmat->scipy_sparse());
    if (!scipy) return nullptr;
    int64_t tgt_hash;
    if (!hasher_target_hash(fh, a[1] ? a[1] : Py_None, &tgt_hash)) return nullptr;
    Ref lists(PySequence_List(a[0]));  // our own copy: hashing may run Python code
    if (!lists) return nullptr;
    const Py_ssize_t count = PyList_GET_SIZE(lists.get());
    const uint64_t n_cols = static_cast<uint64_t>(fh->num_dimensions);
    CsrRows<double> rows;
    OwnedAccum<double> acc;
    QV_TRY
    rows.reserve(static_cast<std::size_t>(count), 0);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* lst = PyList_GET_ITEM(lists.get(), i);
        if (!refuse_text(lst, "each list", "features")) return nullptr;
        acc.clear();
        Ref hold = Ref::borrow(lst);
        if (!hasher_count(fh, lst, tgt_hash, acc)) return nullptr;
        acc.compact();
        rows.append_row(acc.entries, acc.len);
    }
    QV_CATCH(nullptr)
    return sparsmat->rows_to_scipy(&rows, n_cols);
}

}  // namespace qv
