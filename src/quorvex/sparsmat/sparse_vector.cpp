// SparseVectorI / SparseVectorF / SparseVectorD: immutable compact sparse
// vectors, entries in ascending index order, one allocation per vector.
#include <cmath>
#include <cstring>
#include <type_traits>

#include "common/buffer_view.h"
#include "common/py_writer.h"
#include "common/repr.h"
#include "common/text_args.h"
#include "sparsmat/sparsmat_types.h"

namespace qv {

namespace {

inline std::size_t round8(std::size_t n) { return (n + 7) & ~static_cast<std::size_t>(7); }

template <class T>
struct SVType {
    static PyTypeObject type;
    static PyTypeObject iter_type;
    static char name[32];
    static char iter_name[40];
};
template <class T>
PyTypeObject SVType<T>::type = {PyVarObject_HEAD_INIT(nullptr, 0)};
template <class T>
PyTypeObject SVType<T>::iter_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
template <class T>
char SVType<T>::name[32];
template <class T>
char SVType<T>::iter_name[40];

template <class T>
using SV = SparseVectorObject<T>;

template <class T>
SV<T>* as_sv(PyObject* o) {
    return reinterpret_cast<SV<T>*>(o);
}

template <class T>
bool is_sv(PyObject* o) {
    return PyObject_TypeCheck(o, &SVType<T>::type);
}

// --- construction -----------------------------------------------------

template <class T>
PyObject* sv_new(PyTypeObject*, PyObject* args, PyObject* kwds) {
    static const char* const names[] = {"pairs", nullptr};
    static const ArgSpec spec{SVType<T>::name, names, 0, 0};
    PyObject* a[1];
    if (!parse_tuple(spec, args, kwds, a)) return nullptr;
    if (!refuse_text(a[0], "pairs", "(index, value) pairs")) return nullptr;
    OwnedAccum<T> acc;
    if (a[0] && a[0] != Py_None) {
        Ref it(PyObject_GetIter(a[0]));
        if (!it) return nullptr;
        while (Ref item{PyIter_Next(it.get())}) {
            Ref kv[2];
            if (!unpack_exact(item.get(), 2, kv)) return nullptr;
            coordinate_t k;
            T v;
            if (!to_coordinate(kv[0].get(), &k) || !ValueTraits<T>::from_py(kv[1].get(), &v)) return nullptr;
            QV_TRY acc.add(k, v);
            QV_CATCH(nullptr)
        }
        if (PyErr_Occurred()) return nullptr;
    }
    QV_TRY return reinterpret_cast<PyObject*>(sparse_from_accum(acc));
    QV_CATCH(nullptr)
}

template <class T>
void sv_dealloc(PyObject* self) {
    Py_TYPE(self)->tp_free(self);
}

// --- sequence-like protocol ---------------------------------------------

template <class T>
Py_ssize_t sv_len(PyObject* self) {
    return as_sv<T>(self)->my_len;
}

template <class T>
int sv_bool(PyObject* self) {
    return as_sv<T>(self)->my_len != 0;
}

struct SVIter {
    PyObject_HEAD
    PyObject* vec;
    uint32_t pos;
};

template <class T>
PyObject* sv_iter(PyObject* self) {
    SVIter* it = PyObject_GC_New(SVIter, &SVType<T>::iter_type);
    if (!it) return nullptr;
    Py_INCREF(self);
    it->vec = self;
    it->pos = 0;
    PyObject_GC_Track(it);
    return reinterpret_cast<PyObject*>(it);
}

template <class T>
PyObject* sv_iter_next(PyObject* self) {
    SVIter* it = reinterpret_cast<SVIter*>(self);
    if (!it->vec) return nullptr;
    SV<T>* v = as_sv<T>(it->vec);
    if (it->pos >= v->my_len) {
        Py_CLEAR(it->vec);
        return nullptr;
    }
    uint32_t i = it->pos++;
    Ref k(PyLong_FromUnsignedLong(v->idx_ptr[i]));
    Ref val(ValueTraits<T>::to_py(v->vals_ptr[i]));
    if (!k || !val) return nullptr;
    return PyTuple_Pack(2, k.get(), val.get());
}

void sv_iter_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(reinterpret_cast<SVIter*>(self)->vec);
    PyObject_GC_Del(self);
}

int sv_iter_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<SVIter*>(self)->vec);
    return 0;
}

// --- arithmetic -----------------------------------------------------------

// Merge of two sorted vectors; equal indices are summed.
template <class T>
PyObject* sv_add(PyObject* a, PyObject* b) {
    if (!is_sv<T>(a) || !is_sv<T>(b)) Py_RETURN_NOTIMPLEMENTED;
    SV<T>* x = as_sv<T>(a);
    SV<T>* y = as_sv<T>(b);
    uint32_t i = 0, j = 0, n = 0;
    while (i < x->my_len && j < y->my_len) {
        if (x->idx_ptr[i] < y->idx_ptr[j])
            ++i;
        else if (y->idx_ptr[j] < x->idx_ptr[i])
            ++j;
        else
            ++i, ++j;
        ++n;
    }
    n += (x->my_len - i) + (y->my_len - j);
    SV<T>* r = new_sparse<T>(n);
    if (!r) return nullptr;
    i = j = 0;
    uint32_t o = 0;
    while (i < x->my_len || j < y->my_len) {
        if (j >= y->my_len || (i < x->my_len && x->idx_ptr[i] < y->idx_ptr[j])) {
            r->idx_ptr[o] = x->idx_ptr[i];
            r->vals_ptr[o++] = x->vals_ptr[i++];
        } else if (i >= x->my_len || y->idx_ptr[j] < x->idx_ptr[i]) {
            r->idx_ptr[o] = y->idx_ptr[j];
            r->vals_ptr[o++] = y->vals_ptr[j++];
        } else {
            r->idx_ptr[o] = x->idx_ptr[i];
            if constexpr (std::is_integral_v<T>) {
                if (__builtin_add_overflow(x->vals_ptr[i], y->vals_ptr[j], &r->vals_ptr[o])) {
                    Py_DECREF(r);
                    PyErr_SetString(PyExc_OverflowError, "integer sum out of range");
                    return nullptr;
                }
                ++o, ++i, ++j;
            } else {
                r->vals_ptr[o++] = x->vals_ptr[i++] + y->vals_ptr[j++];
            }
        }
    }
    return reinterpret_cast<PyObject*>(r);
}

template <class T>
PyObject* sv_richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || !is_sv<T>(a) || !is_sv<T>(b)) Py_RETURN_NOTIMPLEMENTED;
    SV<T>* x = as_sv<T>(a);
    SV<T>* y = as_sv<T>(b);
    bool eq = x->my_len == y->my_len;
    for (uint32_t i = 0; eq && i < x->my_len; ++i)
        eq = x->idx_ptr[i] == y->idx_ptr[i] && x->vals_ptr[i] == y->vals_ptr[i];
    return PyBool_FromLong(eq == (op == Py_EQ));
}

// --- methods --------------------------------------------------------------

template <class T>
PyObject* sv_dot_full_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"weights", nullptr};
    static const ArgSpec spec{"dotFull", names, 0, 1};
    PyObject* a[1];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    View1D w{};
    if (!view_set(w, a[0], Elem::Float64, false)) return nullptr;
    SV<T>* v = as_sv<T>(self);
    double s = 0.0;
    bool ok = true;
    for (uint32_t i = 0; i < v->my_len; ++i) {
        if (v->idx_ptr[i] >= static_cast<uint64_t>(w.len)) {
            ok = raise_feature_out_of_range(v->idx_ptr[i], w.len);
            break;
        }
        s += static_cast<double>(v->vals_ptr[i]) * w.at<double>(v->idx_ptr[i]);
    }
    view_release(w);
    return ok ? PyFloat_FromDouble(s) : nullptr;
}

template <class T>
PyObject* sv_dot_self_py(PyObject* self, PyObject*) {
    SV<T>* v = as_sv<T>(self);
    double s = 0.0;
    for (uint32_t i = 0; i < v->my_len; ++i) s += static_cast<double>(v->vals_ptr[i]) * v->vals_ptr[i];
    return PyFloat_FromDouble(s);
}

// The text of write_pairs: a blank, then "index:value " for each entry,
// with the index counted from 1 (feature 0 is written as 1), because the
// sparse-vector learners that read this format reserve index 0.
template <class T>
std::string pairs_text(const SV<T>* v) {
    std::string out;
    out.reserve(1 + v->my_len * 16);
    out.push_back(' ');
    for (uint32_t i = 0; i < v->my_len; ++i) {
        append_number(out, static_cast<uint64_t>(v->idx_ptr[i]) + 1);
        out.push_back(':');
        append_number(out, v->vals_ptr[i]);
        out.push_back(' ');
    }
    return out;
}

template <class T>
PyObject* sv_write_pairs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"f", nullptr};
    static const ArgSpec spec{"write_pairs", names, 0, 1};
    PyObject* a[1];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    std::string text;
    QV_TRY text = pairs_text(as_sv<T>(self));
    QV_CATCH(nullptr)
    // Binary streams get bytes; a text stream refuses them with TypeError
    // and then gets the same text as str (it is pure ASCII).
    Ref data(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!data) return nullptr;
    bool ok = write_all(a[0], data.get());
    if (!ok && PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        Ref s(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        if (!s) return nullptr;
        ok = write_all(a[0], s.get());
    }
    if (!ok) return nullptr;
    Py_RETURN_NONE;
}

template <class T>
PyObject* sv_pairs_list(SV<T>* v) {
    Ref lst(PyList_New(v->my_len));
    if (!lst) return nullptr;
    for (uint32_t i = 0; i < v->my_len; ++i) {
        Ref k(PyLong_FromUnsignedLong(v->idx_ptr[i]));
        Ref val(ValueTraits<T>::to_py(v->vals_ptr[i]));
        if (!k || !val) return nullptr;
        PyObject* pair = PyTuple_Pack(2, k.get(), val.get());
        if (!pair) return nullptr;
        PyList_SET_ITEM(lst.get(), i, pair);
    }
    return lst.release();
}

template <class T>
PyObject* sv_reduce(PyObject* self, PyObject*) {
    Ref pairs(sv_pairs_list(as_sv<T>(self)));
    if (!pairs) return nullptr;
    return Py_BuildValue("(O(O))", reinterpret_cast<PyObject*>(Py_TYPE(self)), pairs.get());
}

template <class T>
PyObject* sv_repr(PyObject* self) {
    Ref pairs(sv_pairs_list(as_sv<T>(self)));
    if (!pairs) return nullptr;
    return PyUnicode_FromFormat("%s(%R)", SVType<T>::name, pairs.get());
}

template <class T>
PyObject* sv_sizeof(PyObject* self, PyObject*) {
    SV<T>* v = as_sv<T>(self);
    return PyLong_FromSize_t(round8(sizeof(SV<T>)) + round8(v->my_len * sizeof(coordinate_t)) + v->my_len * sizeof(T));
}

template <class T>
PyObject* sv_indices(PyObject* self, PyObject*) {
    SV<T>* v = as_sv<T>(self);
    Ref lst(PyList_New(v->my_len));
    if (!lst) return nullptr;
    for (uint32_t i = 0; i < v->my_len; ++i) {
        PyObject* k = PyLong_FromUnsignedLong(v->idx_ptr[i]);
        if (!k) return nullptr;
        PyList_SET_ITEM(lst.get(), i, k);
    }
    return lst.release();
}

template <class T>
PyObject* sv_values(PyObject* self, PyObject*) {
    SV<T>* v = as_sv<T>(self);
    Ref lst(PyList_New(v->my_len));
    if (!lst) return nullptr;
    for (uint32_t i = 0; i < v->my_len; ++i) {
        PyObject* x = ValueTraits<T>::to_py(v->vals_ptr[i]);
        if (!x) return nullptr;
        PyList_SET_ITEM(lst.get(), i, x);
    }
    return lst.release();
}

template <class T>
struct SVTables {
    static PyMethodDef methods[];
    static PyNumberMethods number;
    static PySequenceMethods sequence;
};

template <class T>
PyMethodDef SVTables<T>::methods[] = {
    {"dotFull", reinterpret_cast<PyCFunction>(sv_dot_full_py<T>), METH_FASTCALL | METH_KEYWORDS,
     "dotFull($self, weights)\n--\n\n"
     "-> float: dot product with a one-dimensional float64 array.\n"
     "An index beyond the array raises IndexError."},
    {"dotSelf", sv_dot_self_py<T>, METH_NOARGS, "dotSelf($self, /)\n--\n\n-> float: sum of the squared values."},
    {"write_pairs", reinterpret_cast<PyCFunction>(sv_write_pairs<T>), METH_FASTCALL | METH_KEYWORDS,
     "write_pairs($self, f)\n--\n\n"
     "Writes the entries to f as text: a blank, then 'index:value ' per entry,\n"
     "with indices counted from 1 (entry index + 1) as sparse-vector learners expect, and values\n"
     "in their shortest exact decimal form. Binary streams receive bytes, text streams str."},
    {"indices", sv_indices<T>, METH_NOARGS, "indices($self, /)\n--\n\n-> list of the entries' indices."},
    {"values", sv_values<T>, METH_NOARGS, "values($self, /)\n--\n\n-> list of the entries' values."},
    {"indices_array", sv_indices_array<T>, METH_NOARGS,
     "indices_array($self, /)\n--\n\n"
     "-> numpy.ndarray: the entries' indices as a read-only uint32 array, a view of\n"
     "the vector's own memory (no copy; the vector is immutable and stays alive with the view)."},
    {"values_array", sv_values_array<T>, METH_NOARGS,
     "values_array($self, /)\n--\n\n"
     "-> numpy.ndarray: the entries' values as a read-only array of the vector's\n"
     "element type, a view of the vector's own memory (no copy)."},
    {"from_arrays", reinterpret_cast<PyCFunction>(sv_from_arrays<T>), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_arrays($type, idx, vals)\n--\n\n"
     "-> a new vector from an array of indices and an array of values of the\n"
     "same length (NumPy arrays, anything with the buffer protocol, or lists). Indices are integers\n"
     "0 to 2**32 - 1 in any order; repeated ones are summed, as the constructor does with pairs.\n"
     "Values are converted as NumPy's astype(casting='same_kind') would (integer vectors check\n"
     "the range instead). Ascending indices are copied straight in."},
    {"__reduce__", sv_reduce<T>, METH_NOARGS, "__reduce__($self, /)\n--\n\n"},
    {"__sizeof__", sv_sizeof<T>, METH_NOARGS, "__sizeof__($self, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

template <class T>
PyNumberMethods SVTables<T>::number = [] {
    PyNumberMethods m{};
    m.nb_add = sv_add<T>;
    m.nb_bool = sv_bool<T>;
    return m;
}();

template <class T>
PySequenceMethods SVTables<T>::sequence = [] {
    PySequenceMethods m{};
    m.sq_length = sv_len<T>;
    return m;
}();

template <class T>
bool add_sv_type(PyObject* module) {
    PyOS_snprintf(SVType<T>::name, sizeof SVType<T>::name, "SparseVector%c", ValueTraits<T>::suffix);
    PyOS_snprintf(SVType<T>::iter_name, sizeof SVType<T>::iter_name, "quorvex.sparsmat.SparseVector%cIter",
                  ValueTraits<T>::suffix);
    static char qualified[48];
    PyOS_snprintf(qualified, sizeof qualified, "quorvex.sparsmat.%s", SVType<T>::name);

    PyTypeObject& it = SVType<T>::iter_type;
    it.tp_name = SVType<T>::iter_name;
    it.tp_basicsize = sizeof(SVIter);
    it.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    it.tp_dealloc = sv_iter_dealloc;
    it.tp_traverse = sv_iter_traverse;
    it.tp_iter = PyObject_SelfIter;
    it.tp_iternext = sv_iter_next<T>;
    if (PyType_Ready(&it) < 0) return false;

    PyTypeObject& t = SVType<T>::type;
    t.tp_name = qualified;
    t.tp_basicsize = sizeof(SV<T>);
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    static char doc[512];
    PyOS_snprintf(doc, sizeof doc,
                  "%s(pairs=())\n--\n\n"
                  "Immutable sparse vector: (index, value) entries in ascending index order.\n"
                  "%s(pairs) builds one from (index, value) pairs, summing repeated indices.\n"
                  "len() is the number of entries, iteration yields (index, value) pairs, and v + w is a new vector.",
                  SVType<T>::name, SVType<T>::name);
    t.tp_doc = doc;
    t.tp_new = sv_new<T>;
    t.tp_dealloc = sv_dealloc<T>;
    t.tp_free = PyObject_Free;
    t.tp_repr = short_container_repr<sv_repr<T>>;
    t.tp_str = sv_repr<T>;  // every entry
    t.tp_as_number = &SVTables<T>::number;
    t.tp_as_sequence = &SVTables<T>::sequence;
    t.tp_iter = sv_iter<T>;
    t.tp_richcompare = sv_richcompare<T>;
    t.tp_methods = SVTables<T>::methods;
    return add_type(module, &t, SVType<T>::name);
}

}  // namespace

bool to_coordinate(PyObject* o, coordinate_t* out) { return to_uint32(o, out); }

template <class T>
PyTypeObject* sparse_vector_type() {
    return &SVType<T>::type;
}

template <class T>
SparseVectorObject<T>* new_sparse(Py_ssize_t n) {
    if (n < 0 || static_cast<uint64_t>(n) > UINT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "sparse vector too long");
        return nullptr;
    }
    std::size_t off_idx = round8(sizeof(SV<T>));
    std::size_t off_val = round8(off_idx + static_cast<std::size_t>(n) * sizeof(coordinate_t));
    std::size_t total = off_val + static_cast<std::size_t>(n) * sizeof(T);
    void* mem = PyObject_Malloc(total);
    if (!mem) {
        PyErr_NoMemory();
        return nullptr;
    }
    SV<T>* v = reinterpret_cast<SV<T>*>(PyObject_Init(static_cast<PyObject*>(mem), &SVType<T>::type));
    v->my_len = static_cast<uint32_t>(n);
    v->idx_ptr = reinterpret_cast<coordinate_t*>(static_cast<char*>(mem) + off_idx);
    v->vals_ptr = reinterpret_cast<T*>(static_cast<char*>(mem) + off_val);
    return v;
}

template <class T>
SparseVectorObject<T>* sparse_from_accum(SparseAccum<T>& acc) {
    acc.compact();
    SV<T>* v = new_sparse<T>(static_cast<Py_ssize_t>(acc.len));
    if (!v) return nullptr;
    for (std::size_t i = 0; i < acc.len; ++i) {
        v->idx_ptr[i] = acc.entries[i].idx;
        v->vals_ptr[i] = acc.entries[i].val;
    }
    return v;
}

template PyTypeObject* sparse_vector_type<double>();
template PyTypeObject* sparse_vector_type<float>();
template PyTypeObject* sparse_vector_type<int32_t>();
template SparseVectorObject<double>* new_sparse<double>(Py_ssize_t);
template SparseVectorObject<float>* new_sparse<float>(Py_ssize_t);
template SparseVectorObject<int32_t>* new_sparse<int32_t>(Py_ssize_t);
template SparseVectorObject<double>* sparse_from_accum<double>(SparseAccum<double>&);
template SparseVectorObject<float>* sparse_from_accum<float>(SparseAccum<float>&);
template SparseVectorObject<int32_t>* sparse_from_accum<int32_t>(SparseAccum<int32_t>&);

bool add_sparse_vector_types(PyObject* module) {
    return add_sv_type<int32_t>(module) && add_sv_type<float>(module) && add_sv_type<double>(module);
}

}  // namespace qv
