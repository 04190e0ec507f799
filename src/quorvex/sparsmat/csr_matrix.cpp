// CSRMatrixI / CSRMatrixF / CSRMatrixD: Python wrappers of CSRMatrix<T>,
// and the matrix operations that cxx_gram.h declares.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <type_traits>

#include "common/py_writer.h"
#include "common/text_args.h"
#include "sparsmat/sparsmat_types.h"

// ---------------------------------------------------------------------------
// CSRMatrix<T> operations

// Binary layout (native byte order): 4-byte tag "CSR" + 'I'/'F'/'D',
// uint32 rows, uint32 entries, int32 offsets[rows + 1],
// uint32 columns[entries], T values[entries].
template <class T>
void CSRMatrix<T>::write_binary(std::vector<char>& out) const {
    auto put = [&out](const void* p, std::size_t n) {
        const char* c = static_cast<const char*>(p);
        out.insert(out.end(), c, c + n);
    };
    const char tag[4] = {'C', 'S', 'R', qv::ValueTraits<T>::suffix};
    uint32_t entries = static_cast<uint32_t>(offsets[num_rows]);
    put(tag, 4);
    put(&num_rows, 4);
    put(&entries, 4);
    put(offsets, sizeof(int) * (num_rows + 1));
    put(rightColumns, sizeof(coordinate_t) * entries);
    put(values, sizeof(T) * entries);
}

// The transpose has one row per column up to the largest column used; a
// column of 2**32 - 1 would need 2**32 rows, which a coordinate cannot
// count (std::length_error, an OverflowError for the caller).
template <class T>
CSRMatrix<T>* CSRMatrix<T>::transpose() const {
    std::size_t entries = static_cast<std::size_t>(offsets[num_rows]);
    std::size_t cols = 0;
    for (std::size_t e = 0; e < entries; ++e) cols = std::max(cols, static_cast<std::size_t>(rightColumns[e]) + 1);
    if (cols > UINT32_MAX) throw std::length_error("transpose needs more than 2**32 - 1 rows");
    qv::CsrPtr<T> t = qv::new_csr<T>(static_cast<coordinate_t>(cols), entries);
    if (!t) return nullptr;
    std::vector<int> fill(cols + 1, 0);
    for (std::size_t e = 0; e < entries; ++e) ++fill[static_cast<std::size_t>(rightColumns[e]) + 1];
    for (std::size_t c = 0; c < cols; ++c) fill[c + 1] += fill[c];
    std::memcpy(t->offsets, fill.data(), sizeof(int) * (cols + 1));
    for (coordinate_t r = 0; r < num_rows; ++r) {
        for (int e = offsets[r]; e < offsets[r + 1]; ++e) {
            int pos = fill[rightColumns[e]]++;
            t->rightColumns[pos] = r;
            t->values[pos] = values[e];
        }
    }
    return t.release();
}

namespace {

// x * x; for integer T, a square beyond the type's range throws
// std::overflow_error (like checked_sum) instead of wrapping.
template <class T>
T checked_square(T x) {
    if constexpr (std::is_integral_v<T>) {
        T r;
        if (__builtin_mul_overflow(x, x, &r)) throw std::overflow_error("integer square out of range");
        return r;
    } else {
        return x * x;
    }
}

}  // namespace

template <class T>
std::vector<T> CSRMatrix<T>::compute_left_marginals() const {
    std::vector<T> m(num_rows, T(0));
    for (coordinate_t r = 0; r < num_rows; ++r)
        for (int e = offsets[r]; e < offsets[r + 1]; ++e) m[r] = checked_sum(m[r], values[e]);
    return m;
}

template <class T>
std::vector<T> CSRMatrix<T>::compute_right_marginals() const {
    std::vector<T> m;
    for (int e = 0; e < offsets[num_rows]; ++e) {
        if (rightColumns[e] >= m.size()) m.resize(static_cast<std::size_t>(rightColumns[e]) + 1, T(0));
        m[rightColumns[e]] = checked_sum(m[rightColumns[e]], values[e]);
    }
    return m;
}

template <class T>
std::vector<T> CSRMatrix<T>::compute_right_squared_marginals() const {
    std::vector<T> m;
    for (int e = 0; e < offsets[num_rows]; ++e) {
        if (rightColumns[e] >= m.size()) m.resize(static_cast<std::size_t>(rightColumns[e]) + 1, T(0));
        m[rightColumns[e]] = checked_sum(m[rightColumns[e]], checked_square(values[e]));
    }
    return m;
}

template struct CSRMatrix<int32_t>;
template struct CSRMatrix<float>;
template struct CSRMatrix<double>;

namespace qv {

template <class T>
CsrPtr<T> new_csr(coordinate_t rows, std::size_t entries) {
    CsrPtr<T> m(static_cast<CSRMatrix<T>*>(std::calloc(1, sizeof(CSRMatrix<T>))));
    if (m) {
        m->num_rows = rows;
        m->offsets = static_cast<int*>(std::calloc(static_cast<std::size_t>(rows) + 1, sizeof(int)));
        m->rightColumns = static_cast<coordinate_t*>(std::malloc((entries ? entries : 1) * sizeof(coordinate_t)));
        m->values = static_cast<T*>(std::malloc((entries ? entries : 1) * sizeof(T)));
    }
    if (!m || !m->offsets || !m->rightColumns || !m->values) {
        PyErr_NoMemory();
        return nullptr;
    }
    return m;
}

template <class T>
void free_csr(CSRMatrix<T>* m) {
    if (!m) return;
    std::free(m->offsets);
    std::free(m->rightColumns);
    std::free(m->values);
    std::free(m);
}

namespace {

template <class T>
struct CSRType {
    static PyTypeObject type;
    static char name[32];
    static PyMethodDef methods[];
    static PyGetSetDef getset[];
    static PySequenceMethods sequence;
};
template <class T>
PyTypeObject CSRType<T>::type = {PyVarObject_HEAD_INIT(nullptr, 0)};
template <class T>
char CSRType<T>::name[32];

template <class T>
CSRMatrixObject<T>* as_csr(PyObject* o) {
    return reinterpret_cast<CSRMatrixObject<T>*>(o);
}

// A matrix with no rows stands in for an instance whose __init__ never ran.
template <class T>
const CSRMatrix<T>& matrix_of(PyObject* self) {
    static int zero_offset = 0;
    static CSRMatrix<T> empty{0, &zero_offset, nullptr, nullptr};
    CSRMatrix<T>* m = as_csr<T>(self)->mat;
    return m ? *m : empty;
}

template <class T>
void replace_matrix(PyObject* self, CSRMatrix<T>* m) {
    CSRMatrix<T>* old = as_csr<T>(self)->mat;
    as_csr<T>(self)->mat = m;
    free_csr(old);
}

// CSRMatrix(rows=()): rows is an iterable of rows, each an iterable of
// (column, value) pairs.
template <class T>
int csr_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* const names[] = {"rows", nullptr};
    static const ArgSpec spec{CSRType<T>::name, names, 0, 0};
    PyObject* a[1];
    if (!parse_tuple(spec, args, kwds, a)) return -1;
    if (!refuse_text(a[0], "rows", "rows")) return -1;
    std::vector<int> offsets{0};
    std::vector<coordinate_t> cols;
    std::vector<T> vals;
    OwnedAccum<T> acc;
    QV_TRY
    if (a[0] && a[0] != Py_None) {
        Ref rows(PyObject_GetIter(a[0]));
        if (!rows) return -1;
        while (Ref row{PyIter_Next(rows.get())}) {
            Ref it(PyObject_GetIter(row.get()));
            if (!it) return -1;
            acc.clear();
            while (Ref item{PyIter_Next(it.get())}) {
                Ref kv[2];
                coordinate_t k;
                T v;
                if (!unpack_exact(item.get(), 2, kv) || !to_coordinate(kv[0].get(), &k) ||
                    !ValueTraits<T>::from_py(kv[1].get(), &v))
                    return -1;
                acc.add(k, v);
            }
            if (PyErr_Occurred()) return -1;
            acc.compact();
            for (std::size_t e = 0; e < acc.len; ++e) {
                cols.push_back(acc.entries[e].idx);
                vals.push_back(acc.entries[e].val);
            }
            if (cols.size() > static_cast<std::size_t>(INT32_MAX) || offsets.size() > UINT32_MAX) {
                PyErr_SetString(PyExc_OverflowError, "matrix too large");
                return -1;
            }
            offsets.push_back(static_cast<int>(cols.size()));
        }
        if (PyErr_Occurred()) return -1;
    }
    QV_CATCH(-1)
    CsrPtr<T> m = new_csr<T>(static_cast<coordinate_t>(offsets.size() - 1), cols.size());
    if (!m) return -1;
    // An empty vector's data() may be null, which memcpy must never see.
    std::memcpy(m->offsets, offsets.data(), offsets.size() * sizeof(int));
    if (!cols.empty()) {
        std::memcpy(m->rightColumns, cols.data(), cols.size() * sizeof(coordinate_t));
        std::memcpy(m->values, vals.data(), vals.size() * sizeof(T));
    }
    replace_matrix<T>(self, m.release());
    return 0;
}

template <class T>
void csr_dealloc(PyObject* self) {
    free_csr(as_csr<T>(self)->mat);
    Py_TYPE(self)->tp_free(self);
}

template <class T>
Py_ssize_t csr_len(PyObject* self) {
    return matrix_of<T>(self).num_rows;
}

// Row i as a sparse vector.
template <class T>
PyObject* csr_item(PyObject* self, Py_ssize_t i) {
    const CSRMatrix<T>& m = matrix_of<T>(self);
    if (i < 0 || i >= static_cast<Py_ssize_t>(m.num_rows)) {
        PyErr_SetString(PyExc_IndexError, "row index out of range");
        return nullptr;
    }
    int begin = m.offsets[i], end = m.offsets[i + 1];
    SparseVectorObject<T>* v = new_sparse<T>(end - begin);
    if (!v) return nullptr;
    for (int e = begin; e < end; ++e) {
        v->idx_ptr[e - begin] = m.rightColumns[e];
        v->vals_ptr[e - begin] = m.values[e];
    }
    return reinterpret_cast<PyObject*>(v);
}

template <class T>
PyObject* csr_transpose(PyObject* self, PyObject*) {
    CSRMatrix<T>* t = nullptr;
    QV_TRY t = matrix_of<T>(self).transpose();
    QV_CATCH(nullptr)
    return t ? wrap_csr<T>(t) : nullptr;
}

template <class T>
PyObject* to_pylist(const std::vector<T>& v) {
    Ref lst(PyList_New(static_cast<Py_ssize_t>(v.size())));
    if (!lst) return nullptr;
    for (std::size_t i = 0; i < v.size(); ++i) {
        PyObject* x = ValueTraits<T>::to_py(v[i]);
        if (!x) return nullptr;
        PyList_SET_ITEM(lst.get(), static_cast<Py_ssize_t>(i), x);
    }
    return lst.release();
}

template <class T>
PyObject* csr_left_marginals(PyObject* self, PyObject*) {
    QV_TRY return to_pylist(matrix_of<T>(self).compute_left_marginals());
    QV_CATCH(nullptr)
}

template <class T>
PyObject* csr_right_marginals(PyObject* self, PyObject*) {
    QV_TRY return to_pylist(matrix_of<T>(self).compute_right_marginals());
    QV_CATCH(nullptr)
}

template <class T>
PyObject* csr_right_squared_marginals(PyObject* self, PyObject*) {
    QV_TRY return to_pylist(matrix_of<T>(self).compute_right_squared_marginals());
    QV_CATCH(nullptr)
}

template <class T>
PyObject* csr_write_binary(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"f", nullptr};
    static const ArgSpec spec{"write_binary", names, 0, 1};
    PyObject* a[1];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    std::vector<char> out;
    QV_TRY matrix_of<T>(self).write_binary(out);
    QV_CATCH(nullptr)
    Ref data(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
    if (!data) return nullptr;
    if (!write_all(a[0], data.get())) return nullptr;
    Py_RETURN_NONE;
}

// The matrix of a binary image (write_binary's form), checked; nullptr
// with ValueError for anything else.
template <class T>
CSRMatrix<T>* parse_image(PyObject* data) {
    Py_buffer b;
    if (PyObject_GetBuffer(data, &b, PyBUF_SIMPLE) < 0) return nullptr;
    struct Release {
        Py_buffer& b;
        ~Release() { PyBuffer_Release(&b); }
    } release{b};
    const char* p = static_cast<const char*>(b.buf);
    std::size_t n = static_cast<std::size_t>(b.len);
    uint32_t rows, entries;
    const char tag[4] = {'C', 'S', 'R', ValueTraits<T>::suffix};
    if (n < 12 || std::memcmp(p, tag, 4) != 0) {
        PyErr_Format(PyExc_ValueError, "not a %s binary image", CSRType<T>::name);
        return nullptr;
    }
    std::memcpy(&rows, p + 4, 4);
    std::memcpy(&entries, p + 8, 4);
    std::size_t need = 12 + (static_cast<std::size_t>(rows) + 1) * sizeof(int) +
                       static_cast<std::size_t>(entries) * (sizeof(coordinate_t) + sizeof(T));
    if (n != need) {
        PyErr_Format(PyExc_ValueError, "truncated or oversized %s binary image", CSRType<T>::name);
        return nullptr;
    }
    CsrPtr<T> m = new_csr<T>(rows, entries);
    if (!m) return nullptr;
    p += 12;
    std::memcpy(m->offsets, p, (static_cast<std::size_t>(rows) + 1) * sizeof(int));
    p += (static_cast<std::size_t>(rows) + 1) * sizeof(int);
    std::memcpy(m->rightColumns, p, entries * sizeof(coordinate_t));
    p += entries * sizeof(coordinate_t);
    std::memcpy(m->values, p, entries * sizeof(T));
    bool valid = m->offsets[0] == 0 && static_cast<uint32_t>(m->offsets[rows]) == entries;
    for (uint32_t r = 0; valid && r < rows; ++r) valid = m->offsets[r] <= m->offsets[r + 1];
    if (!valid) {
        PyErr_Format(PyExc_ValueError, "corrupt %s binary image (bad row offsets)", CSRType<T>::name);
        return nullptr;
    }
    return m.release();
}

// CSRMatrix.from_binary(data): the inverse of write_binary.
template <class T>
PyObject* csr_from_binary(PyObject* cls, PyObject* data) {
    CSRMatrix<T>* m = parse_image<T>(data);
    if (!m) return nullptr;
    return csr_instance<T>(cls, m);
}

// Pickles as (type(self), (), binary image): the image is in native byte
// order, like write_binary's.
template <class T>
PyObject* csr_reduce(PyObject* self, PyObject*) {
    std::vector<char> out;
    QV_TRY matrix_of<T>(self).write_binary(out);
    QV_CATCH(nullptr)
    Ref data(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
    if (!data) return nullptr;
    return Py_BuildValue("(O()O)", reinterpret_cast<PyObject*>(Py_TYPE(self)), data.get());
}

template <class T>
PyObject* csr_setstate(PyObject* self, PyObject* data) {
    CSRMatrix<T>* m = parse_image<T>(data);
    if (!m) return nullptr;
    replace_matrix<T>(self, m);
    Py_RETURN_NONE;
}

template <class T>
PyObject* csr_get_num_rows(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(matrix_of<T>(self).num_rows);
}

template <class T>
PyObject* csr_repr(PyObject* self) {
    const CSRMatrix<T>& m = matrix_of<T>(self);
    return PyUnicode_FromFormat("<%s: %u rows, %d entries>", CSRType<T>::name, static_cast<unsigned>(m.num_rows),
                                m.offsets[m.num_rows]);
}

template <class T>
PyMethodDef CSRType<T>::methods[] = {
    {"transpose", csr_transpose<T>, METH_NOARGS,
     "transpose($self, /)\n--\n\n-> a new matrix with rows and columns swapped."},
    {"left_marginals", csr_left_marginals<T>, METH_NOARGS, "left_marginals($self, /)\n--\n\n-> list of the row sums."},
    {"right_marginals", csr_right_marginals<T>, METH_NOARGS,
     "right_marginals($self, /)\n--\n\n-> list of the column sums."},
    {"right_squared_marginals", csr_right_squared_marginals<T>, METH_NOARGS,
     "right_squared_marginals($self, /)\n--\n\n"
     "-> list of the column sums of squared values."},
    {"write_binary", reinterpret_cast<PyCFunction>(csr_write_binary<T>), METH_FASTCALL | METH_KEYWORDS,
     "write_binary($self, f)\n--\n\n"
     "Writes the matrix's binary image (bytes) to f."},
    {"from_binary", csr_from_binary<T>, METH_O | METH_CLASS,
     "from_binary($type, data, /)\n--\n\n"
     "-> the matrix whose binary image write_binary wrote."},
    {"to_scipy", reinterpret_cast<PyCFunction>(csr_to_scipy<T>), METH_FASTCALL | METH_KEYWORDS,
     "to_scipy($self, n_features=None)\n--\n\n"
     "-> scipy.sparse.csr_matrix with the same rows, entries copied once.\n"
     "n_features is the number of columns (default: the largest column + 1). Needs SciPy."},
    {"from_scipy", csr_from_scipy<T>, METH_O | METH_CLASS,
     "from_scipy($type, m, /)\n--\n\n"
     "-> a matrix with the rows of the SciPy sparse matrix or array m (converted with\n"
     "m.tocsr() when it is in another format), entries copied once. Columns must lie in 0 to\n"
     "2**32 - 1; rows with unsorted or repeated columns are sorted and their repeats summed.\n"
     "The column count of m is not kept (the matrix has none): pass it to to_scipy."},
    {"__reduce__", csr_reduce<T>, METH_NOARGS, "__reduce__($self, /)\n--\n\nPickles the matrix as its binary image."},
    {"__setstate__", csr_setstate<T>, METH_O,
     "__setstate__($self, image, /)\n--\n\nThe matrix of a binary image (checked)."},
    {nullptr, nullptr, 0, nullptr}};

template <class T>
PyGetSetDef CSRType<T>::getset[] = {{"num_rows", csr_get_num_rows<T>, nullptr, "number of rows", nullptr},
                                    {nullptr, nullptr, nullptr, nullptr, nullptr}};

template <class T>
PySequenceMethods CSRType<T>::sequence = [] {
    PySequenceMethods m{};
    m.sq_length = csr_len<T>;
    m.sq_item = csr_item<T>;
    return m;
}();

template <class T>
bool add_csr_type(PyObject* module) {
    using C = CSRType<T>;
    PyOS_snprintf(C::name, sizeof C::name, "CSRMatrix%c", ValueTraits<T>::suffix);
    static char qualified[48];
    PyOS_snprintf(qualified, sizeof qualified, "quorvex.sparsmat.%s", C::name);
    PyTypeObject& t = C::type;
    t.tp_name = qualified;
    t.tp_basicsize = sizeof(CSRMatrixObject<T>);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    static char doc[320];
    PyOS_snprintf(doc, sizeof doc,
                  "%s(rows=())\n--\n\n"
                  "Compressed-sparse-row matrix, built from rows of (column, value) pairs;\n"
                  "m[i] is row i as a sparse vector and iteration yields the rows.",
                  C::name);
    t.tp_doc = doc;
    t.tp_new = PyType_GenericNew;
    t.tp_init = csr_init<T>;
    t.tp_dealloc = csr_dealloc<T>;
    t.tp_repr = csr_repr<T>;
    t.tp_as_sequence = &C::sequence;
    t.tp_methods = C::methods;
    t.tp_getset = C::getset;
    return add_type(module, &t, C::name);
}

}  // namespace

template <class T>
PyObject* wrap_csr(CSRMatrix<T>* mat) {
    PyObject* obj = PyType_GenericNew(&CSRType<T>::type, nullptr, nullptr);
    if (!obj) {
        free_csr(mat);
        return nullptr;
    }
    as_csr<T>(obj)->mat = mat;
    return obj;
}

template <class T>
PyObject* csr_instance(PyObject* cls, CSRMatrix<T>* m) {
    Ref obj(PyObject_CallNoArgs(cls));
    if (!obj) {
        free_csr(m);
        return nullptr;
    }
    if (!PyObject_TypeCheck(obj.get(), &CSRType<T>::type)) {
        free_csr(m);
        PyErr_Format(PyExc_TypeError, "%.200s is not a %s class", Py_TYPE(obj.get())->tp_name, CSRType<T>::name);
        return nullptr;
    }
    replace_matrix<T>(obj.get(), m);
    return obj.release();
}

template <class T>
PyTypeObject* csr_matrix_type() {
    return &CSRType<T>::type;
}

template PyObject* wrap_csr<int32_t>(CSRMatrix<int32_t>*);
template PyObject* wrap_csr<float>(CSRMatrix<float>*);
template PyObject* wrap_csr<double>(CSRMatrix<double>*);
template CsrPtr<int32_t> new_csr<int32_t>(coordinate_t, std::size_t);
template CsrPtr<float> new_csr<float>(coordinate_t, std::size_t);
template CsrPtr<double> new_csr<double>(coordinate_t, std::size_t);
template PyTypeObject* csr_matrix_type<int32_t>();
template void free_csr<int32_t>(CSRMatrix<int32_t>*);
template void free_csr<float>(CSRMatrix<float>*);
template void free_csr<double>(CSRMatrix<double>*);
template PyObject* csr_instance<int32_t>(PyObject*, CSRMatrix<int32_t>*);
template PyObject* csr_instance<float>(PyObject*, CSRMatrix<float>*);
template PyObject* csr_instance<double>(PyObject*, CSRMatrix<double>*);
template PyTypeObject* csr_matrix_type<float>();
template PyTypeObject* csr_matrix_type<double>();

bool add_csr_types(PyObject* module) {
    return add_csr_type<double>(module) && add_csr_type<int32_t>(module) && add_csr_type<float>(module);
}

}  // namespace qv
