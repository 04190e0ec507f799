// Accumulators: VecI1/VecF1/VecD1 (index -> value, converted to sparse
// vectors), VecI2/F2/D2 and VecI3/F3/D3 (coordinate pairs and triples ->
// value; the 2-d ones convert to CSR matrices) and VecV1/V2/V3 (value-less:
// sets of coordinates).
#include <algorithm>
#include <array>
#include <memory>
#include <vector>

#include "common/repr.h"
#include "sparsmat/sparsmat_types.h"

namespace qv {

namespace {

// ---------------------------------------------------------------------------
// VecX1

template <class T>
struct Vec1Type {
    static PyTypeObject type;
    static char name[32];
};
template <class T>
PyTypeObject Vec1Type<T>::type = {PyVarObject_HEAD_INIT(nullptr, 0)};
template <class T>
char Vec1Type<T>::name[32];

template <class T>
Vec1Object<T>* as_vec1(PyObject* o) {
    return reinterpret_cast<Vec1Object<T>*>(o);
}

template <class T>
int vec1_init(PyObject* self, PyObject* args, PyObject* kwds) {
    if (!parse_none(Vec1Type<T>::name, args, kwds)) return -1;
    as_vec1<T>(self)->acc.clear();
    return 0;
}

template <class T>
void vec1_dealloc(PyObject* self) {
    as_vec1<T>(self)->acc.release();
    Py_TYPE(self)->tp_free(self);
}

template <class T>
PyObject* vec1_add_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"k", "v", nullptr};
    static const ArgSpec spec{"add_count", names, 0, 1};
    PyObject* a[2];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    coordinate_t k;
    T v = 1;
    if (!to_coordinate(a[0], &k)) return nullptr;
    if (a[1] && !ValueTraits<T>::from_py(a[1], &v)) return nullptr;
    QV_TRY as_vec1<T>(self)->acc.add(k, v);
    QV_CATCH(nullptr)
    Py_RETURN_NONE;
}

template <class T>
PyObject* vec1_to_sparse(PyObject* self, PyObject*) {
    SparseVectorObject<T>* v = nullptr;
    QV_TRY v = sparse_from_accum(as_vec1<T>(self)->acc);
    QV_CATCH(nullptr)
    return reinterpret_cast<PyObject*>(v);
}

template <class T>
PyObject* vec1_clear(PyObject* self, PyObject*) {
    as_vec1<T>(self)->acc.clear();
    Py_RETURN_NONE;
}

template <class T>
Py_ssize_t vec1_len(PyObject* self) {
    SparseAccum<T>& acc = as_vec1<T>(self)->acc;
    QV_TRY acc.compact();
    QV_CATCH(-1)
    return static_cast<Py_ssize_t>(acc.len);
}

template <class T>
PyObject* vec1_iter(PyObject* self) {
    Ref v(vec1_to_sparse<T>(self, nullptr));
    if (!v) return nullptr;
    return PyObject_GetIter(v.get());
}

template <class T>
PyObject* vec1_repr(PyObject* self) {
    Ref v(vec1_to_sparse<T>(self, nullptr));
    if (!v) return nullptr;
    Ref pairs(PySequence_List(v.get()));
    if (!pairs) return nullptr;
    return PyUnicode_FromFormat("%s(%R)", Vec1Type<T>::name, pairs.get());
}

// Pickles as (type(self), (), [(index, value), ...]): the merged entries.
template <class T>
PyObject* vec1_reduce(PyObject* self, PyObject*) {
    Ref v(vec1_to_sparse<T>(self, nullptr));
    Ref pairs(v ? PySequence_List(v.get()) : nullptr);
    if (!pairs) return nullptr;
    return Py_BuildValue("(O()O)", reinterpret_cast<PyObject*>(Py_TYPE(self)), pairs.get());
}

// __setstate__(pairs): the entries become exactly the (index, value) pairs
// (summed where an index repeats); on an error the accumulator is unchanged.
template <class T>
PyObject* vec1_setstate(PyObject* self, PyObject* state) {
    OwnedAccum<T> fresh;
    Ref it(PyObject_GetIter(state));
    if (!it) return nullptr;
    QV_TRY
    while (Ref item{PyIter_Next(it.get())}) {
        Ref kv[2];
        coordinate_t k;
        T v;
        if (!unpack_exact(item.get(), 2, kv) || !to_coordinate(kv[0].get(), &k) ||
            !ValueTraits<T>::from_py(kv[1].get(), &v))
            return nullptr;
        fresh.add(k, v);
    }
    if (PyErr_Occurred()) return nullptr;
    fresh.compact();
    QV_CATCH(nullptr)
    SparseAccum<T>& acc = as_vec1<T>(self)->acc;
    acc.release();
    acc = fresh.take();
    Py_RETURN_NONE;
}

template <class T>
struct Vec1Tables {
    static PyMethodDef methods[];
    static PySequenceMethods sequence;
};
template <class T>
PyMethodDef Vec1Tables<T>::methods[] = {
    {"add_count", reinterpret_cast<PyCFunction>(vec1_add_count<T>), METH_FASTCALL | METH_KEYWORDS,
     "add_count($self, k, v=1)\n--\n\n"
     "Adds v to the entry of index k."},
    {"to_sparse", vec1_to_sparse<T>, METH_NOARGS,
     "to_sparse($self, /)\n--\n\n"
     "-> a new sparse vector of the accumulated entries (ascending indices).\n"
     "The accumulator keeps its entries."},
    {"clear", vec1_clear<T>, METH_NOARGS, "clear($self, /)\n--\n\nRemoves every entry."},
    {"__reduce__", vec1_reduce<T>, METH_NOARGS,
     "__reduce__($self, /)\n--\n\nPickles the accumulated (index, value) pairs."},
    {"__setstate__", vec1_setstate<T>, METH_O, "__setstate__($self, pairs, /)\n--\n\nThe entries become the pairs."},
    {nullptr, nullptr, 0, nullptr}};
template <class T>
PySequenceMethods Vec1Tables<T>::sequence = [] {
    PySequenceMethods m{};
    m.sq_length = vec1_len<T>;
    return m;
}();

template <class T>
bool add_vec1_type(PyObject* module) {
    PyOS_snprintf(Vec1Type<T>::name, sizeof Vec1Type<T>::name, "Vec%c1", ValueTraits<T>::suffix);
    static char qualified[48];
    PyOS_snprintf(qualified, sizeof qualified, "quorvex.sparsmat.%s", Vec1Type<T>::name);
    PyTypeObject& t = Vec1Type<T>::type;
    t.tp_name = qualified;
    t.tp_basicsize = sizeof(Vec1Object<T>);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    static char doc[320];
    PyOS_snprintf(doc, sizeof doc,
                  "%s()\n--\n\n"
                  "Accumulator of (index, value) pairs: adding to an index that is present adds to its value.\n"
                  "len() counts distinct indices; iteration yields (index, value) in ascending index order.",
                  Vec1Type<T>::name);
    t.tp_doc = doc;
    t.tp_new = PyType_GenericNew;
    t.tp_init = vec1_init<T>;
    t.tp_dealloc = vec1_dealloc<T>;
    t.tp_repr = short_container_repr<vec1_repr<T>>;
    t.tp_str = vec1_repr<T>;  // every entry
    t.tp_iter = vec1_iter<T>;
    t.tp_as_sequence = &Vec1Tables<T>::sequence;
    t.tp_methods = Vec1Tables<T>::methods;
    return add_type(module, &t, Vec1Type<T>::name);
}

// ---------------------------------------------------------------------------
// Multi-dimensional and value-less accumulators

template <class T, int D>
struct GridEntry {
    std::array<coordinate_t, D> key;
    T val;
};

template <class T, int D>
struct GridAccum {
    std::vector<GridEntry<T, D>> entries;
    std::size_t merged = 0;

    void add(const std::array<coordinate_t, D>& key, T val) {
        if (entries.size() == entries.capacity() && entries.size() >= 2 * merged + 1024) compact();
        entries.push_back({key, val});
    }
    void compact() {
        if (merged == entries.size()) return;
        // Sorted and merged into a copy, so that an integer sum out of range
        // (std::overflow_error) leaves the entries as they were.
        std::vector<GridEntry<T, D>> sorted(entries);
        std::stable_sort(sorted.begin(), sorted.end(),
                         [](const GridEntry<T, D>& a, const GridEntry<T, D>& b) { return a.key < b.key; });
        std::size_t out = 0;
        for (std::size_t i = 0; i < sorted.size(); ++i) {
            if (out > 0 && sorted[out - 1].key == sorted[i].key)
                sorted[out - 1].val = checked_sum(sorted[out - 1].val, sorted[i].val);
            else
                sorted[out++] = sorted[i];
        }
        sorted.resize(out);
        entries.swap(sorted);
        merged = out;
    }
};

// Valued = false: the value-less variant (T is a dummy).
template <class T, int D, bool Valued>
struct GridObject {
    PyObject_HEAD
    GridAccum<T, D>* acc;
};

template <class T, int D, bool Valued>
struct GridType {
    static PyTypeObject type;
    static char name[32];
    static PyMethodDef methods[];
    static PySequenceMethods sequence;
};
template <class T, int D, bool Valued>
PyTypeObject GridType<T, D, Valued>::type = {PyVarObject_HEAD_INIT(nullptr, 0)};
template <class T, int D, bool Valued>
char GridType<T, D, Valued>::name[32];

template <class T, int D, bool Valued>
using Grid = GridObject<T, D, Valued>;

template <class T, int D, bool Valued>
Grid<T, D, Valued>* as_grid(PyObject* o) {
    return reinterpret_cast<Grid<T, D, Valued>*>(o);
}

template <class T, int D, bool Valued>
GridAccum<T, D>* grid_acc(PyObject* self) {
    Grid<T, D, Valued>* g = as_grid<T, D, Valued>(self);
    if (!g->acc) g->acc = new GridAccum<T, D>();
    return g->acc;
}

template <class T, int D, bool Valued>
int grid_init(PyObject* self, PyObject* args, PyObject* kwds) {
    if (!parse_none(GridType<T, D, Valued>::name, args, kwds)) return -1;
    Grid<T, D, Valued>* g = as_grid<T, D, Valued>(self);
    delete g->acc;
    g->acc = nullptr;
    return 0;
}

template <class T, int D, bool Valued>
void grid_dealloc(PyObject* self) {
    delete as_grid<T, D, Valued>(self)->acc;
    Py_TYPE(self)->tp_free(self);
}

static const char* const coord_names[] = {"i", "j", "k", "v", nullptr};

// add_count(i[, j[, k]], v=1) or, value-less, add(i[, j[, k]]).
template <class T, int D, bool Valued>
PyObject* grid_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names2[] = {"i", "j", "v", nullptr};
    static const char* const names1[] = {"i", "v", nullptr};
    static const char* const* names = D == 3 ? coord_names : D == 2 ? names2 : names1;
    static const char* const vnames3[] = {"i", "j", "k", nullptr};
    static const char* const vnames2[] = {"i", "j", nullptr};
    static const char* const vnames1[] = {"i", nullptr};
    static const char* const* vnames = D == 3 ? vnames3 : D == 2 ? vnames2 : vnames1;
    static const ArgSpec spec{Valued ? "add_count" : "add", Valued ? names : vnames, 0, D};
    PyObject* a[D + 1];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    std::array<coordinate_t, D> key;
    for (int d = 0; d < D; ++d)
        if (!to_coordinate(a[d], &key[d])) return nullptr;
    T v = 1;
    if (Valued && a[D] && !ValueTraits<T>::from_py(a[D], &v)) return nullptr;
    QV_TRY grid_acc<T, D, Valued>(self)->add(key, v);
    QV_CATCH(nullptr)
    Py_RETURN_NONE;
}

template <class T, int D, bool Valued>
PyObject* grid_clear(PyObject* self, PyObject*) {
    Grid<T, D, Valued>* g = as_grid<T, D, Valued>(self);
    if (g->acc) {
        g->acc->entries.clear();
        g->acc->merged = 0;
    }
    Py_RETURN_NONE;
}

template <class T, int D, bool Valued>
Py_ssize_t grid_len(PyObject* self) {
    GridAccum<T, D>* acc = as_grid<T, D, Valued>(self)->acc;
    if (!acc) return 0;
    QV_TRY acc->compact();
    QV_CATCH(-1)
    return static_cast<Py_ssize_t>(acc->entries.size());
}

// One item: a coordinate (value-less, 1-d), a coordinate tuple, or the
// coordinates followed by the value.
template <class T, int D, bool Valued>
PyObject* grid_item(const GridEntry<T, D>& e) {
    if (!Valued && D == 1) return PyLong_FromUnsignedLong(e.key[0]);
    Ref t(PyTuple_New(D + (Valued ? 1 : 0)));
    if (!t) return nullptr;
    for (int d = 0; d < D; ++d) {
        PyObject* c = PyLong_FromUnsignedLong(e.key[d]);
        if (!c) return nullptr;
        PyTuple_SET_ITEM(t.get(), d, c);
    }
    if (Valued) {
        PyObject* v = ValueTraits<T>::to_py(e.val);
        if (!v) return nullptr;
        PyTuple_SET_ITEM(t.get(), D, v);
    }
    return t.release();
}

template <class T, int D, bool Valued>
PyObject* grid_to_list(PyObject* self, PyObject*) {
    if (grid_len<T, D, Valued>(self) < 0) return nullptr;
    GridAccum<T, D>* acc = as_grid<T, D, Valued>(self)->acc;
    std::size_t n = acc ? acc->entries.size() : 0;
    Ref lst(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!lst) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item = grid_item<T, D, Valued>(acc->entries[i]);
        if (!item) return nullptr;
        PyList_SET_ITEM(lst.get(), static_cast<Py_ssize_t>(i), item);
    }
    return lst.release();
}

template <class T, int D, bool Valued>
PyObject* grid_iter(PyObject* self) {
    Ref lst(grid_to_list<T, D, Valued>(self, nullptr));
    return lst ? PyObject_GetIter(lst.get()) : nullptr;
}

template <class T, int D, bool Valued>
int grid_contains(PyObject* self, PyObject* key) {
    std::array<coordinate_t, D> k;
    if (D == 1 && PyLong_Check(key)) {
        if (!to_coordinate(key, &k[0])) return -1;
    } else {
        Ref parts[D];
        if (!unpack_exact(key, D, parts)) return -1;
        for (int d = 0; d < D; ++d)
            if (!to_coordinate(parts[d].get(), &k[d])) return -1;
    }
    if (grid_len<T, D, Valued>(self) < 0) return -1;
    GridAccum<T, D>* acc = as_grid<T, D, Valued>(self)->acc;
    if (!acc) return 0;
    auto it =
        std::lower_bound(acc->entries.begin(), acc->entries.end(), k,
                         [](const GridEntry<T, D>& e, const std::array<coordinate_t, D>& x) { return e.key < x; });
    return it != acc->entries.end() && it->key == k;
}

// VecX2 -> CSR matrix with one row per first coordinate (up to the largest).
template <class T, int D, bool Valued>
PyObject* grid_to_csr(PyObject* self, PyObject*) {
    if constexpr (D != 2 || !Valued) {
        (void)self;
        Py_RETURN_NONE;
    } else {
        if (grid_len<T, D, Valued>(self) < 0) return nullptr;
        GridAccum<T, 2>* acc = as_grid<T, D, Valued>(self)->acc;
        std::size_t n = acc ? acc->entries.size() : 0;
        // The row count is one more than the largest first coordinate,
        // which must stay a coordinate itself.
        const uint64_t rows64 = n ? static_cast<uint64_t>(acc->entries[n - 1].key[0]) + 1 : 0;
        if (n > static_cast<std::size_t>(INT32_MAX) || rows64 > UINT32_MAX) {
            PyErr_SetString(PyExc_OverflowError, "too many entries or rows for a CSR matrix");
            return nullptr;
        }
        const coordinate_t rows = static_cast<coordinate_t>(rows64);
        CsrPtr<T> m = new_csr<T>(rows, n);
        if (!m) return nullptr;
        std::size_t e = 0;
        for (coordinate_t r = 0; r < rows; ++r) {
            m->offsets[r] = static_cast<int>(e);
            while (e < n && acc->entries[e].key[0] == r) {
                m->rightColumns[e] = acc->entries[e].key[1];
                m->values[e] = acc->entries[e].val;
                ++e;
            }
        }
        m->offsets[rows] = static_cast<int>(e);
        return wrap_csr<T>(m.release());
    }
}

template <class T, int D, bool Valued>
PyObject* grid_repr(PyObject* self) {
    Ref lst(grid_to_list<T, D, Valued>(self, nullptr));
    if (!lst) return nullptr;
    return PyUnicode_FromFormat("%s(%R)", GridType<T, D, Valued>::name, lst.get());
}

// Pickles as (type(self), (), to_list()).
template <class T, int D, bool Valued>
PyObject* grid_reduce(PyObject* self, PyObject*) {
    Ref lst(grid_to_list<T, D, Valued>(self, nullptr));
    if (!lst) return nullptr;
    return Py_BuildValue("(O()O)", reinterpret_cast<PyObject*>(Py_TYPE(self)), lst.get());
}

// __setstate__(items): the entries become the items of to_list's form; on
// an error the accumulator is unchanged.
template <class T, int D, bool Valued>
PyObject* grid_setstate(PyObject* self, PyObject* state) {
    Ref it(PyObject_GetIter(state));
    if (!it) return nullptr;
    QV_TRY
    auto fresh = std::make_unique<GridAccum<T, D>>();
    constexpr int width = D + (Valued ? 1 : 0);
    while (Ref item{PyIter_Next(it.get())}) {
        std::array<coordinate_t, D> key;
        T v = 1;
        if (!Valued && D == 1) {
            if (!to_coordinate(item.get(), &key[0])) return nullptr;
        } else {
            Ref parts[width];
            if (!unpack_exact(item.get(), width, parts)) return nullptr;
            for (int d = 0; d < D; ++d)
                if (!to_coordinate(parts[d].get(), &key[d])) return nullptr;
            if (Valued && !ValueTraits<T>::from_py(parts[width - 1].get(), &v)) return nullptr;
        }
        fresh->add(key, v);
    }
    if (PyErr_Occurred()) return nullptr;
    fresh->compact();
    Grid<T, D, Valued>* g = as_grid<T, D, Valued>(self);
    delete g->acc;
    g->acc = fresh.release();
    QV_CATCH(nullptr)
    Py_RETURN_NONE;
}

template <class T, int D, bool Valued>
PyMethodDef GridType<T, D, Valued>::methods[] = {
    {Valued ? "add_count" : "add", reinterpret_cast<PyCFunction>(grid_add<T, D, Valued>), METH_FASTCALL | METH_KEYWORDS,
     Valued ? (D == 3 ? "add_count($self, i, j, k, v=1)\n--\n\nAdds v to the entry at the coordinates."
                      : "add_count($self, i, j, v=1)\n--\n\nAdds v to the entry at the coordinates.")
            : (D == 3   ? "add($self, i, j, k)\n--\n\nAdds the coordinates to the set."
               : D == 2 ? "add($self, i, j)\n--\n\nAdds the coordinates to the set."
                        : "add($self, i)\n--\n\nAdds the coordinate to the set.")},
    {"to_list", grid_to_list<T, D, Valued>, METH_NOARGS,
     "to_list($self, /)\n--\n\n-> the entries in ascending coordinate order."},
    {"clear", grid_clear<T, D, Valued>, METH_NOARGS, "clear($self, /)\n--\n\nRemoves every entry."},
    {"__reduce__", grid_reduce<T, D, Valued>, METH_NOARGS,
     "__reduce__($self, /)\n--\n\nPickles the entries (to_list())."},
    {"__setstate__", grid_setstate<T, D, Valued>, METH_O,
     "__setstate__($self, items, /)\n--\n\nThe entries become the items."},
    {(D == 2 && Valued) ? "to_csr" : nullptr, grid_to_csr<T, D, Valued>, METH_NOARGS,
     "to_csr($self, /)\n--\n\n-> a CSR matrix with one row per first coordinate."},
    {nullptr, nullptr, 0, nullptr}};

template <class T, int D, bool Valued>
PySequenceMethods GridType<T, D, Valued>::sequence = [] {
    PySequenceMethods m{};
    m.sq_length = grid_len<T, D, Valued>;
    m.sq_contains = grid_contains<T, D, Valued>;
    return m;
}();

template <class T, int D, bool Valued>
bool add_grid_type(PyObject* module, char suffix) {
    using G = GridType<T, D, Valued>;
    PyOS_snprintf(G::name, sizeof G::name, "Vec%c%d", suffix, D);
    static char qualified[48];
    PyOS_snprintf(qualified, sizeof qualified, "quorvex.sparsmat.%s", G::name);
    PyTypeObject& t = G::type;
    t.tp_name = qualified;
    t.tp_basicsize = sizeof(Grid<T, D, Valued>);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    static char doc[320];
    PyOS_snprintf(doc, sizeof doc, "%s()\n--\n\n%s", G::name,
                  Valued ? "Accumulator of values keyed by coordinate tuples; adding to a present key adds to its\n"
                           "value. Iteration yields (coordinates..., value) in ascending coordinate order."
                         : "Set of coordinate tuples (a value-less accumulator).\n"
                           "Iteration yields the coordinates in ascending order.");
    t.tp_doc = doc;
    t.tp_new = PyType_GenericNew;
    t.tp_init = grid_init<T, D, Valued>;
    t.tp_dealloc = grid_dealloc<T, D, Valued>;
    t.tp_repr = short_container_repr<grid_repr<T, D, Valued>>;
    t.tp_str = grid_repr<T, D, Valued>;  // every entry
    t.tp_iter = grid_iter<T, D, Valued>;
    t.tp_as_sequence = &G::sequence;
    t.tp_methods = G::methods;
    return add_type(module, &t, G::name);
}

}  // namespace

template <class T>
PyTypeObject* vec1_type() {
    return &Vec1Type<T>::type;
}
template PyTypeObject* vec1_type<double>();
template PyTypeObject* vec1_type<float>();
template PyTypeObject* vec1_type<int32_t>();

PyTypeObject* grid_type(char suffix, int dims) {
    switch (suffix) {
    case 'I': return dims == 2 ? &GridType<int32_t, 2, true>::type : &GridType<int32_t, 3, true>::type;
    case 'F': return dims == 2 ? &GridType<float, 2, true>::type : &GridType<float, 3, true>::type;
    case 'D': return dims == 2 ? &GridType<double, 2, true>::type : &GridType<double, 3, true>::type;
    default:
        return dims == 1   ? &GridType<unsigned char, 1, false>::type
               : dims == 2 ? &GridType<unsigned char, 2, false>::type
                           : &GridType<unsigned char, 3, false>::type;
    }
}

bool add_accumulator_types(PyObject* module) {
    return add_vec1_type<int32_t>(module) && add_grid_type<int32_t, 2, true>(module, 'I') &&
           add_grid_type<int32_t, 3, true>(module, 'I') && add_vec1_type<float>(module) &&
           add_grid_type<float, 2, true>(module, 'F') && add_grid_type<float, 3, true>(module, 'F') &&
           add_vec1_type<double>(module) && add_grid_type<double, 2, true>(module, 'D') &&
           add_grid_type<double, 3, true>(module, 'D') && add_grid_type<unsigned char, 1, false>(module, 'V') &&
           add_grid_type<unsigned char, 2, false>(module, 'V') && add_grid_type<unsigned char, 3, false>(module, 'V');
}

}  // namespace qv
