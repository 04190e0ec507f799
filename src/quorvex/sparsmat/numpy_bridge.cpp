// The NumPy and SciPy bridges of quorvex.sparsmat: a sparse vector's
// indices and values as NumPy arrays and back (SparseVector.indices_array,
// values_array, from_arrays), sparse vectors stacked into a SciPy CSR matrix
// (to_csr), and CSR matrices to and from SciPy (CSRMatrix.to_scipy,
// from_scipy). Entries are copied at most once and no Python object is made
// per entry. SciPy is imported only when a SciPy matrix is asked for.
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#include "common/args.h"
#include "common/errors.h"
#include "common/numpy_handles.h"
#include "common/text_args.h"
#include "sparsmat/array_buffer.h"
#include "sparsmat/sparsmat_types.h"

namespace qv {

namespace {

// --- reading NumPy arrays and other buffers ---------------------------------------------

// The element code of a one-element buffer format in native byte order, or
// 0 for anything else (a foreign byte order, a structure).
char native_code(const char* fmt) {
    const bool little = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
    if (!fmt) return 'B';
    if (*fmt == '@' || *fmt == '=')
        ++fmt;
    else if (*fmt == '<') {
        if (!little) return 0;
        ++fmt;
    } else if (*fmt == '>' || *fmt == '!') {
        if (little) return 0;
        ++fmt;
    }
    return fmt[0] != '\0' && fmt[1] == '\0' ? fmt[0] : 0;
}

bool is_signed_code(char c) { return c && std::strchr("bhilqn", c); }
bool is_unsigned_code(char c) { return c && std::strchr("BHILQN", c); }

// A one-dimensional array of numbers read through the buffer protocol,
// with its stride; anything else that NumPy can make an array of (a list,
// a tuple) is made one first.
struct NumberArray {
    Py_buffer b{};
    bool held = false;
    Ref converted;
    const char* p = nullptr;
    Py_ssize_t len = 0, stride = 0;
    char code = 0;

    NumberArray() = default;
    NumberArray(const NumberArray&) = delete;
    NumberArray& operator=(const NumberArray&) = delete;
    ~NumberArray() { close(); }

    void close() {
        if (held) PyBuffer_Release(&b);
        held = false;
    }

    bool open(PyObject* obj, const char* what) {
        close();
        if (!PyObject_CheckBuffer(obj)) {
            PyObject* asarray = numpy_handle(Numpy::asarray);
            converted = Ref(asarray ? PyObject_CallOneArg(asarray, obj) : nullptr);
            if (!converted) return false;
            obj = converted.get();
        }
        if (PyObject_GetBuffer(obj, &b, PyBUF_STRIDES | PyBUF_FORMAT) < 0) return false;
        held = true;
        if (b.ndim != 1) {
            PyErr_Format(PyExc_ValueError, "%s must be one-dimensional (got %d dimensions)", what, b.ndim);
            return false;
        }
        code = native_code(b.format);
        p = static_cast<const char*>(b.buf);
        len = b.shape[0];
        stride = b.strides ? b.strides[0] : b.itemsize;
        return true;
    }

    // Converts the array to the element type with the given format code, as
    // NumPy's astype(..., casting='same_kind') does (TypeError for a
    // narrowing of kind, such as float to int).
    bool convert(const char* format) {
        Ref base(held ? Ref::borrow(b.obj) : Ref());
        PyObject* asarray = numpy_handle(Numpy::asarray);
        Ref arr(asarray && base ? PyObject_CallOneArg(asarray, base.get()) : nullptr);
        if (!arr) return false;
        Ref astype(PyObject_GetAttrString(arr.get(), "astype"));
        Ref args(Py_BuildValue("(s)", format));
        Ref kwargs(Py_BuildValue("{s:s}", "casting", "same_kind"));
        if (!astype || !args || !kwargs) return false;
        Ref out(PyObject_Call(astype.get(), args.get(), kwargs.get()));
        if (!out) return false;
        converted = std::move(out);
        return open(converted.get(), "the array");
    }

    template <class V>
    V at(Py_ssize_t i) const {
        V v;
        std::memcpy(&v, p + i * stride, sizeof v);
        return v;
    }
};

template <class V>
struct Tag {
    using type = V;
};

// fn(Tag<V>{}) with V the array's integer element type; TypeError for an
// array of anything but integers.
template <class Fn>
bool with_int_type(const NumberArray& a, const char* what, Fn&& fn) {
    const bool s = is_signed_code(a.code), u = is_unsigned_code(a.code);
    if (s || u) {
        switch (a.b.itemsize) {
        case 1: return s ? fn(Tag<int8_t>{}) : fn(Tag<uint8_t>{});
        case 2: return s ? fn(Tag<int16_t>{}) : fn(Tag<uint16_t>{});
        case 4: return s ? fn(Tag<int32_t>{}) : fn(Tag<uint32_t>{});
        case 8: return s ? fn(Tag<int64_t>{}) : fn(Tag<uint64_t>{});
        default: break;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s must be an array of integers, not of format '%s'", what,
                 a.b.format ? a.b.format : "B");
    return false;
}

// v as a coordinate (0 to 2**32 - 1); false when it is out of that range.
template <class V>
bool fits_coordinate(V v) {
    if constexpr (std::is_signed_v<V>) {
        if (v < 0) return false;
    }
    return static_cast<uint64_t>(v) <= UINT32_MAX;
}

template <class V>
bool raise_bad_index(V v, const char* what) {
    if constexpr (std::is_signed_v<V>)
        PyErr_Format(PyExc_OverflowError, "%s %lld is out of the index range 0 to 4294967295", what,
                     static_cast<long long>(v));
    else
        PyErr_Format(PyExc_OverflowError, "%s %llu is out of the index range 0 to 4294967295", what,
                     static_cast<unsigned long long>(v));
    return false;
}

// The values of an array as T: read as they are when the array holds T,
// else converted. Integer T takes any integer array and checks each value's
// range (NumPy's conversion would wrap); floating T takes what NumPy
// converts with casting='same_kind'.
template <class T>
struct ValueArray {
    NumberArray a;
    bool exact = false;

    bool open(PyObject* obj, const char* what) {
        if (!a.open(obj, what)) return false;
        // An empty array of any type is empty values (NumPy makes float64 of []).
        exact = a.len == 0 || (a.code == ArrayFormat<T>::code[0] && a.b.itemsize == static_cast<Py_ssize_t>(sizeof(T)));
        if (exact || std::is_integral_v<T>) {
            if (!exact && !is_signed_code(a.code) && !is_unsigned_code(a.code)) {
                PyErr_Format(PyExc_TypeError, "%s must be an array of integers, not of format '%s'", what,
                             a.b.format ? a.b.format : "B");
                return false;
            }
            return true;
        }
        if (!a.convert(ArrayFormat<T>::code)) return false;
        exact = true;
        return true;
    }

    // Value i; false with OverflowError for an integer out of T's range.
    bool get(Py_ssize_t i, T* out) const {
        if (exact) {
            *out = a.at<T>(i);
            return true;
        }
        if constexpr (std::is_integral_v<T>) {
            return with_int_type(a, "values", [&](auto tag) {
                using V = typename decltype(tag)::type;
                V v = a.at<V>(i);
                bool ok;
                if constexpr (std::is_signed_v<V>)
                    ok = v >= std::numeric_limits<T>::min() && v <= std::numeric_limits<T>::max();
                else
                    ok = static_cast<uint64_t>(v) <= static_cast<uint64_t>(std::numeric_limits<T>::max());
                if (!ok) {
                    PyErr_SetString(PyExc_OverflowError, "value out of the range of the element type");
                    return false;
                }
                *out = static_cast<T>(v);
                return true;
            });
        }
        return false;
    }
};

// --- SciPy ------------------------------------------------------------------------------------

}  // namespace

PyObject* scipy_sparse() {
    PyObject* m = PyImport_ImportModule("scipy.sparse");
    if (m || !PyErr_ExceptionMatches(PyExc_ImportError)) return m;
    PyObject* cause = PendingError().take();
    PyErr_SetString(PyExc_ImportError,
                    "SciPy is needed for sparse matrices; install it with: pip install 'quorvex[scipy]'");
    PendingError error;
    PyException_SetCause(error.value(), cause);  // steals cause
    return nullptr;
}

namespace {

// scipy.sparse.csr_matrix((data, indices, indptr), shape=(rows, cols)); the
// arrays are adopted as they are (same index dtype for indices and indptr).
PyObject* scipy_csr(PyObject* data, PyObject* indices, PyObject* indptr, uint64_t rows, uint64_t cols) {
    Ref sp(scipy_sparse());
    Ref cls(sp ? PyObject_GetAttrString(sp.get(), "csr_matrix") : nullptr);
    if (!cls) return nullptr;
    Ref arrays(PyTuple_Pack(3, data, indices, indptr));
    Ref args(arrays ? PyTuple_Pack(1, arrays.get()) : nullptr);
    Ref kwargs(Py_BuildValue("{s:(KK)}", "shape", static_cast<unsigned long long>(rows),
                             static_cast<unsigned long long>(cols)));
    if (!args || !kwargs) return nullptr;
    return PyObject_Call(cls.get(), args.get(), kwargs.get());
}

// Whether a matrix of this size needs 64-bit indices (SciPy's own rule:
// 32 bits while every index, count and dimension fits them).
bool needs_wide_index(uint64_t rows, uint64_t cols, uint64_t nnz) {
    const uint64_t top = static_cast<uint64_t>(INT32_MAX);
    return rows > top || cols > top || nnz > top;
}

// n_features as the number of columns: at least the largest column + 1
// (ValueError naming the column otherwise); None (nullptr) gives exactly that.
bool column_count(PyObject* n_features, bool any_entry, coordinate_t max_column, uint64_t* cols) {
    const uint64_t need = any_entry ? static_cast<uint64_t>(max_column) + 1 : 0;
    if (!n_features || n_features == Py_None) {
        *cols = need;
        return true;
    }
    unsigned long long n = PyLong_AsUnsignedLongLong(n_features);
    if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    if (n < need) {
        PyErr_Format(PyExc_ValueError, "feature %u is out of range for n_features=%llu", max_column, n);
        return false;
    }
    *cols = n;
    return true;
}

// A malloc'd array released unless handed on.
template <class T>
struct Owned {
    T* p = nullptr;
    std::size_t n = 0;
    bool alloc(std::size_t count) {
        n = count;
        p = static_cast<T*>(std::malloc((count ? count : 1) * sizeof(T)));
        if (!p) PyErr_NoMemory();
        return p != nullptr;
    }
    // A NumPy array that owns the memory from now on.
    PyObject* to_numpy() {
        T* q = p;
        p = nullptr;
        return numpy_adopt(q, n);
    }
    ~Owned() { std::free(p); }
};

// The SciPy matrix of rows (whose arrays it takes over, also on failure).
PyObject* rows_to_scipy(CsrRows<double>& rows, uint64_t cols) {
    QV_TRY rows.reserve(0, 0);  // an indptr of one entry even without rows
    QV_CATCH((rows.release(), nullptr))
    const std::size_t nrows = rows.rows, nnz = rows.nnz;
    const bool wide = needs_wide_index(nrows, cols, nnz);
    Owned<int64_t> indptr64;
    Owned<coordinate_t> cols32;
    Owned<double> data;
    indptr64.p = rows.indptr, indptr64.n = nrows + 1;
    cols32.p = rows.indices, cols32.n = nnz;
    data.p = rows.data, data.n = nnz;
    rows.indptr = nullptr, rows.indices = nullptr, rows.data = nullptr;
    rows.release();
    Ref py_indptr, py_indices;
    if (wide) {
        Owned<int64_t> idx;
        if (!idx.alloc(nnz)) return nullptr;
        for (std::size_t i = 0; i < nnz; ++i) idx.p[i] = cols32.p[i];
        py_indices = Ref(idx.to_numpy());
        py_indptr = Ref(indptr64.to_numpy());
    } else {
        // Narrowed in place: entry i's 4 bytes lie at or before entry i's
        // 8-byte source, which has been read by then.
        for (std::size_t i = 0; i <= nrows; ++i) {
            int32_t v = static_cast<int32_t>(indptr64.p[i]);
            std::memcpy(reinterpret_cast<char*>(indptr64.p) + 4 * i, &v, 4);
        }
        Owned<int32_t> ip;
        ip.p = reinterpret_cast<int32_t*>(indptr64.p), ip.n = nrows + 1;
        indptr64.p = nullptr;
        py_indptr = Ref(ip.to_numpy());
        Owned<int32_t> ix;  // the columns are below 2**31: the same bits as int32
        ix.p = reinterpret_cast<int32_t*>(cols32.p), ix.n = nnz;
        cols32.p = nullptr;
        py_indices = Ref(ix.to_numpy());
    }
    Ref py_data(data.to_numpy());
    if (!py_indptr || !py_indices || !py_data) return nullptr;
    return scipy_csr(py_data.get(), py_indices.get(), py_indptr.get(), nrows, cols);
}

}  // namespace

// --- SparseVector -----------------------------------------------------------------------------

template <class T>
PyObject* sv_indices_array(PyObject* self, PyObject*) {
    auto* v = reinterpret_cast<SparseVectorObject<T>*>(self);
    return numpy_view_of<uint32_t>(self, v->idx_ptr, v->my_len);
}

template <class T>
PyObject* sv_values_array(PyObject* self, PyObject*) {
    auto* v = reinterpret_cast<SparseVectorObject<T>*>(self);
    return numpy_view_of<T>(self, v->vals_ptr, v->my_len);
}

template <class T>
PyObject* sv_from_arrays(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"idx", "vals", nullptr};
    static const ArgSpec spec{"from_arrays", names, 0, 2};
    PyObject* a[2];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    if (!refuse_text(a[0], "idx", "indices") || !refuse_text(a[1], "vals", "values")) return nullptr;
    NumberArray idx;
    ValueArray<T> vals;
    if (!idx.open(a[0], "idx") || !vals.open(a[1], "vals")) return nullptr;
    if (idx.len != vals.a.len) {
        PyErr_Format(PyExc_ValueError, "from_arrays: %zd indices but %zd values", idx.len, vals.a.len);
        return nullptr;
    }
    const Py_ssize_t n = idx.len;
    if (n == 0) return reinterpret_cast<PyObject*>(new_sparse<T>(0));
    PyObject* result = nullptr;
    bool ok = with_int_type(idx, "idx", [&](auto tag) -> bool {
        using V = typename decltype(tag)::type;
        bool ascending = true;
        for (Py_ssize_t i = 0; i < n; ++i) {
            V k = idx.at<V>(i);
            if (!fits_coordinate(k)) return raise_bad_index(k, "index");
            if (i > 0 && !(idx.at<V>(i - 1) < k)) ascending = false;
        }
        if (ascending) {
            // Already a sparse vector's layout: copied straight in.
            SparseVectorObject<T>* v = new_sparse<T>(n);
            if (!v) return false;
            Ref hold(reinterpret_cast<PyObject*>(v));
            for (Py_ssize_t i = 0; i < n; ++i) {
                v->idx_ptr[i] = static_cast<coordinate_t>(idx.at<V>(i));
                if (!vals.get(i, &v->vals_ptr[i])) return false;
            }
            result = hold.release();
            return true;
        }
        // Any order, repeated indices summed (as the constructor does).
        OwnedAccum<T> acc;
        QV_TRY
        acc.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            T x;
            if (!vals.get(i, &x)) return false;
            acc.add(static_cast<coordinate_t>(idx.at<V>(i)), x);
        }
        result = reinterpret_cast<PyObject*>(sparse_from_accum<T>(acc));
        QV_CATCH(false)
        return result != nullptr;
    });
    return ok ? result : nullptr;
}

// --- to_csr -----------------------------------------------------------------------------------

PyObject* sparsmat_to_csr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"vectors", "n_features", nullptr};
    static const ArgSpec spec{"to_csr", names, 0, 1};
    PyObject* a[2];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    if (!refuse_text(a[0], "vectors", "sparse vectors")) return nullptr;
    Ref seq(PySequence_Fast(a[0], "to_csr() needs an iterable of SparseVectorD"));
    if (!seq) return nullptr;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    PyObject** items = PySequence_Fast_ITEMS(seq.get());
    std::size_t total = 0;
    PyTypeObject* sv_type = sparse_vector_type<double>();
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!PyObject_TypeCheck(items[i], sv_type)) {
            PyErr_Format(PyExc_TypeError, "to_csr: item %zd is %.200s, not a SparseVectorD", i,
                         Py_TYPE(items[i])->tp_name);
            return nullptr;
        }
        total += reinterpret_cast<SparseVectorD*>(items[i])->my_len;
    }
    CsrRows<double> rows;
    QV_TRY
    rows.reserve(static_cast<std::size_t>(n), total);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const SparseVectorD* v = reinterpret_cast<SparseVectorD*>(items[i]);
        rows.append_row(v->idx_ptr, v->vals_ptr, v->my_len);
    }
    QV_CATCH(nullptr)
    uint64_t cols;
    if (!column_count(a[1], rows.nnz > 0, rows.max_column, &cols)) return nullptr;
    return rows_to_scipy(rows, cols);
}

PyObject* api_rows_to_scipy(CsrRows<double>* rows, uint64_t n_cols) {
    if (rows->nnz && static_cast<uint64_t>(rows->max_column) >= n_cols) {
        PyErr_Format(PyExc_ValueError, "feature %u is out of range for %llu columns", rows->max_column,
                     static_cast<unsigned long long>(n_cols));
        rows->release();
        return nullptr;
    }
    return rows_to_scipy(*rows, n_cols);
}

// --- CSRMatrix <-> SciPy ------------------------------------------------------------------------

template <class T>
PyObject* csr_to_scipy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"n_features", nullptr};
    static const ArgSpec spec{"to_scipy", names, 0, 0};
    PyObject* a[1];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    const CSRMatrix<T>* m = reinterpret_cast<CSRMatrixObject<T>*>(self)->mat;
    const std::size_t rows = m ? m->num_rows : 0;
    const std::size_t nnz = m ? static_cast<std::size_t>(m->offsets[rows]) : 0;
    coordinate_t top = 0;
    for (std::size_t e = 0; e < nnz; ++e) top = m->rightColumns[e] > top ? m->rightColumns[e] : top;
    uint64_t cols;
    if (!column_count(a[0], nnz > 0, top, &cols)) return nullptr;
    Owned<T> data;
    if (!data.alloc(nnz)) return nullptr;
    if (nnz) std::memcpy(data.p, m->values, nnz * sizeof(T));
    Ref py_indptr, py_indices;
    if (needs_wide_index(rows, cols, nnz)) {
        Owned<int64_t> ip, ix;
        if (!ip.alloc(rows + 1) || !ix.alloc(nnz)) return nullptr;
        for (std::size_t r = 0; r <= rows; ++r) ip.p[r] = m ? m->offsets[r] : 0;
        for (std::size_t e = 0; e < nnz; ++e) ix.p[e] = m->rightColumns[e];
        py_indptr = Ref(ip.to_numpy());
        py_indices = Ref(ix.to_numpy());
    } else {
        Owned<int32_t> ip, ix;
        if (!ip.alloc(rows + 1) || !ix.alloc(nnz)) return nullptr;
        if (m)
            std::memcpy(ip.p, m->offsets, (rows + 1) * sizeof(int32_t));
        else
            ip.p[0] = 0;
        for (std::size_t e = 0; e < nnz; ++e) ix.p[e] = static_cast<int32_t>(m->rightColumns[e]);
        py_indptr = Ref(ip.to_numpy());
        py_indices = Ref(ix.to_numpy());
    }
    Ref py_data(data.to_numpy());
    if (!py_indptr || !py_indices || !py_data) return nullptr;
    return scipy_csr(py_data.get(), py_indices.get(), py_indptr.get(), rows, cols);
}

template <class T>
PyObject* csr_from_scipy(PyObject* cls, PyObject* matrix) {
    Ref sp(scipy_sparse());
    Ref issparse(sp ? PyObject_GetAttrString(sp.get(), "issparse") : nullptr);
    Ref answer(issparse ? PyObject_CallOneArg(issparse.get(), matrix) : nullptr);
    if (!answer) return nullptr;
    int is_sparse = PyObject_IsTrue(answer.get());
    if (is_sparse < 0) return nullptr;
    if (!is_sparse) {
        PyErr_Format(PyExc_TypeError, "from_scipy needs a SciPy sparse matrix or array, not %.200s",
                     Py_TYPE(matrix)->tp_name);
        return nullptr;
    }
    Ref csr(PyObject_CallMethod(matrix, "tocsr", nullptr));  // a CSR matrix is returned as it is
    if (!csr) return nullptr;
    Ref shape(PyObject_GetAttrString(csr.get(), "shape"));
    Ref dims[2];
    if (!shape || !unpack_exact(shape.get(), 2, dims)) return nullptr;
    Py_ssize_t nrows = PyNumber_AsSsize_t(dims[0].get(), PyExc_OverflowError);
    if (nrows == -1 && PyErr_Occurred()) return nullptr;
    unsigned long long ncols = PyLong_AsUnsignedLongLong(dims[1].get());
    if (ncols == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    if (nrows < 0 || static_cast<uint64_t>(nrows) > UINT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "a CSR matrix holds at most 2**32 - 1 rows");
        return nullptr;
    }
    Ref py_indptr(PyObject_GetAttrString(csr.get(), "indptr"));
    Ref py_indices(py_indptr ? PyObject_GetAttrString(csr.get(), "indices") : nullptr);
    Ref py_data(py_indices ? PyObject_GetAttrString(csr.get(), "data") : nullptr);
    if (!py_data) return nullptr;
    NumberArray indptr, indices;
    ValueArray<T> data;
    if (!indptr.open(py_indptr.get(), "indptr") || !indices.open(py_indices.get(), "indices") ||
        !data.open(py_data.get(), "data"))
        return nullptr;
    if (indptr.len != nrows + 1) {
        PyErr_Format(PyExc_ValueError, "from_scipy: indptr has %zd entries for %zd rows", indptr.len, nrows);
        return nullptr;
    }
    // The row offsets, checked: from 0, never decreasing, within the arrays.
    std::vector<int64_t> offsets;
    QV_TRY offsets.resize(static_cast<std::size_t>(nrows) + 1);
    QV_CATCH(nullptr)
    bool ok = with_int_type(indptr, "indptr", [&](auto tag) -> bool {
        using V = typename decltype(tag)::type;
        for (Py_ssize_t r = 0; r <= nrows; ++r) {
            V v = indptr.at<V>(r);
            bool bad = false;
            if constexpr (std::is_signed_v<V>) bad = v < 0;
            if (!bad) bad = static_cast<uint64_t>(v) > static_cast<uint64_t>(INT64_MAX);
            if (bad) {
                PyErr_SetString(PyExc_ValueError, "from_scipy: the matrix's indptr is not a valid row index");
                return false;
            }
            offsets[r] = static_cast<int64_t>(v);
        }
        return true;
    });
    if (!ok) return nullptr;
    const int64_t nnz = offsets[nrows];
    bool valid = offsets[0] == 0 && nnz <= indices.len && nnz <= data.a.len;
    for (Py_ssize_t r = 0; valid && r < nrows; ++r) valid = offsets[r] >= 0 && offsets[r] <= offsets[r + 1];
    if (!valid) {
        PyErr_SetString(PyExc_ValueError, "from_scipy: the matrix's indptr is not a valid row index");
        return nullptr;
    }
    if (nnz > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "matrix too large");
        return nullptr;
    }
    CsrPtr<T> out = new_csr<T>(static_cast<coordinate_t>(nrows), static_cast<std::size_t>(nnz));
    if (!out) return nullptr;
    OwnedAccum<T> acc;
    // Rows are copied as they are when their columns ascend strictly (SciPy's
    // canonical form); others are sorted and their repeated columns summed.
    ok = with_int_type(indices, "indices", [&](auto tag) -> bool {
        using V = typename decltype(tag)::type;
        int32_t put = 0;
        out->offsets[0] = 0;
        for (Py_ssize_t r = 0; r < nrows; ++r) {
            const int64_t begin = offsets[r], end = offsets[r + 1];
            bool ascending = true;
            for (int64_t e = begin; e < end; ++e) {
                V c = indices.at<V>(e);
                bool in_range = fits_coordinate(c) && static_cast<uint64_t>(c) < ncols;
                if (!in_range) {
                    if constexpr (std::is_signed_v<V>)
                        PyErr_Format(PyExc_ValueError,
                                     "from_scipy: column %lld of row %zd is out of range for %llu columns",
                                     static_cast<long long>(c), r, ncols);
                    else
                        PyErr_Format(PyExc_ValueError,
                                     "from_scipy: column %llu of row %zd is out of range for %llu columns",
                                     static_cast<unsigned long long>(c), r, ncols);
                    return false;
                }
                if (e > begin && !(indices.at<V>(e - 1) < c)) ascending = false;
            }
            if (ascending) {
                for (int64_t e = begin; e < end; ++e, ++put) {
                    out->rightColumns[put] = static_cast<coordinate_t>(indices.at<V>(e));
                    if (!data.get(e, &out->values[put])) return false;
                }
            } else {
                QV_TRY
                acc.clear();
                for (int64_t e = begin; e < end; ++e) {
                    T x;
                    if (!data.get(e, &x)) return false;
                    acc.add(static_cast<coordinate_t>(indices.at<V>(e)), x);
                }
                acc.compact();
                QV_CATCH(false)
                for (std::size_t k = 0; k < acc.len; ++k, ++put) {
                    out->rightColumns[put] = acc.entries[k].idx;
                    out->values[put] = acc.entries[k].val;
                }
            }
            out->offsets[r + 1] = put;
        }
        return true;
    });
    if (!ok) return nullptr;
    return csr_instance<T>(cls, out.release());
}

template PyObject* sv_indices_array<double>(PyObject*, PyObject*);
template PyObject* sv_indices_array<float>(PyObject*, PyObject*);
template PyObject* sv_indices_array<int32_t>(PyObject*, PyObject*);
template PyObject* sv_values_array<double>(PyObject*, PyObject*);
template PyObject* sv_values_array<float>(PyObject*, PyObject*);
template PyObject* sv_values_array<int32_t>(PyObject*, PyObject*);
template PyObject* sv_from_arrays<double>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* sv_from_arrays<float>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* sv_from_arrays<int32_t>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* csr_to_scipy<double>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* csr_to_scipy<float>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* csr_to_scipy<int32_t>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* csr_from_scipy<double>(PyObject*, PyObject*);
template PyObject* csr_from_scipy<float>(PyObject*, PyObject*);
template PyObject* csr_from_scipy<int32_t>(PyObject*, PyObject*);

}  // namespace qv
