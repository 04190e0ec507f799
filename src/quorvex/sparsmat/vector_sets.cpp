// SparseVectorsI / SparseVectorsF / SparseVectorsD: weighted collections of
// sparse vectors whose to_vec() is the weighted sum of the members.
#include "common/repr.h"
#include "sparsmat/sparsmat_types.h"

namespace qv {

namespace {

template <class T>
struct SetObject {
    PyObject_HEAD
    PyObject* members;  // list of (weight, vector) tuples, or None
};

template <class T>
struct SetType {
    static PyTypeObject type;
    static char name[32];
    static PyMethodDef methods[];
    static PySequenceMethods sequence;
};
template <class T>
PyTypeObject SetType<T>::type = {PyVarObject_HEAD_INIT(nullptr, 0)};
template <class T>
char SetType<T>::name[32];

template <class T>
SetObject<T>* as_set(PyObject* o) {
    return reinterpret_cast<SetObject<T>*>(o);
}

template <class T>
PyObject* set_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    Py_INCREF(Py_None);
    as_set<T>(self)->members = Py_None;
    return self;
}

template <class T>
int set_init(PyObject* self, PyObject* args, PyObject* kwds) {
    if (!parse_none(SetType<T>::name, args, kwds)) return -1;
    PyObject* lst = PyList_New(0);
    if (!lst) return -1;
    set_field(as_set<T>(self)->members, lst);
    return 0;
}

template <class T>
int set_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_set<T>(self)->members);
    return 0;
}

template <class T>
int set_clear(PyObject* self) {
    Py_CLEAR(as_set<T>(self)->members);
    return 0;
}

template <class T>
void set_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    set_clear<T>(self);
    Py_TYPE(self)->tp_free(self);
}

// The member list, created on first use for an instance whose __init__
// did not run.
template <class T>
PyObject* members(PyObject* self) {
    SetObject<T>* s = as_set<T>(self);
    if (!s->members || !PyList_Check(s->members)) {
        PyObject* lst = PyList_New(0);
        if (!lst) return nullptr;
        set_field(s->members, lst);
    }
    return s->members;
}

template <class T>
PyObject* set_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"vec", "weight", nullptr};
    static const ArgSpec spec{"add", names, 0, 1};
    PyObject* a[2];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    if (!check_arg_type(a[0], sparse_vector_type<T>(), "vec", false)) return nullptr;
    double w = 1.0;
    if (a[1] && !to_double(a[1], &w)) return nullptr;
    PyObject* lst = members<T>(self);
    if (!lst) return nullptr;
    Ref weight(PyFloat_FromDouble(w));
    if (!weight) return nullptr;
    Ref pair(PyTuple_Pack(2, weight.get(), a[0]));
    if (!pair || PyList_Append(lst, pair.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

template <class T>
PyObject* set_to_vec(PyObject* self, PyObject*) {
    PyObject* lst = members<T>(self);
    if (!lst) return nullptr;
    OwnedAccum<T> acc;
    QV_TRY
    for (Py_ssize_t m = 0; m < PyList_GET_SIZE(lst); ++m) {
        PyObject* pair = PyList_GET_ITEM(lst, m);
        double w = PyFloat_AS_DOUBLE(PyTuple_GET_ITEM(pair, 0));
        auto* v = reinterpret_cast<SparseVectorObject<T>*>(PyTuple_GET_ITEM(pair, 1));
        for (uint32_t i = 0; i < v->my_len; ++i) acc.add(v->idx_ptr[i], checked_value<T>(w * v->vals_ptr[i]));
    }
    return reinterpret_cast<PyObject*>(sparse_from_accum(acc));
    QV_CATCH(nullptr)
}

template <class T>
Py_ssize_t set_len(PyObject* self) {
    PyObject* lst = members<T>(self);
    return lst ? PyList_GET_SIZE(lst) : -1;
}

template <class T>
PyObject* set_iter(PyObject* self) {
    PyObject* lst = members<T>(self);
    if (!lst) return nullptr;
    Ref copy(PyList_GetSlice(lst, 0, PyList_GET_SIZE(lst)));
    return copy ? PyObject_GetIter(copy.get()) : nullptr;
}

// Pickles as (type(self), (), [(weight, vector), ...]).
template <class T>
PyObject* set_reduce(PyObject* self, PyObject*) {
    PyObject* lst = members<T>(self);
    if (!lst) return nullptr;
    Ref copy(PyList_GetSlice(lst, 0, PyList_GET_SIZE(lst)));
    if (!copy) return nullptr;
    return Py_BuildValue("(O()O)", reinterpret_cast<PyObject*>(Py_TYPE(self)), copy.get());
}

// __setstate__(members): each a (weight, vector) pair as add() takes them;
// on an error the collection is unchanged.
template <class T>
PyObject* set_setstate(PyObject* self, PyObject* state) {
    Ref fresh(PyList_New(0));
    Ref it(fresh ? PyObject_GetIter(state) : nullptr);
    if (!it) return nullptr;
    while (Ref item{PyIter_Next(it.get())}) {
        Ref wv[2];
        double w;
        if (!unpack_exact(item.get(), 2, wv) || !to_double(wv[0].get(), &w) ||
            !check_arg_type(wv[1].get(), sparse_vector_type<T>(), "vec", false))
            return nullptr;
        Ref weight(PyFloat_FromDouble(w));
        Ref pair(weight ? PyTuple_Pack(2, weight.get(), wv[1].get()) : nullptr);
        if (!pair || PyList_Append(fresh.get(), pair.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    set_field(as_set<T>(self)->members, fresh.release());
    Py_RETURN_NONE;
}

template <class T>
PyMethodDef SetType<T>::methods[] = {
    {"add", reinterpret_cast<PyCFunction>(set_add<T>), METH_FASTCALL | METH_KEYWORDS,
     "add($self, vec, weight=1.0)\n--\n\n"
     "Adds a member vector with its weight."},
    {"to_vec", set_to_vec<T>, METH_NOARGS,
     "to_vec($self, /)\n--\n\n-> the weighted sum of the members as one sparse vector."},
    {"__reduce__", set_reduce<T>, METH_NOARGS, "__reduce__($self, /)\n--\n\nPickles the (weight, vector) members."},
    {"__setstate__", set_setstate<T>, METH_O,
     "__setstate__($self, members, /)\n--\n\nThe members become the (weight, vector) pairs."},
    {nullptr, nullptr, 0, nullptr}};

template <class T>
PySequenceMethods SetType<T>::sequence = [] {
    PySequenceMethods m{};
    m.sq_length = set_len<T>;
    return m;
}();

template <class T>
bool add_set_type(PyObject* module) {
    using S = SetType<T>;
    PyOS_snprintf(S::name, sizeof S::name, "SparseVectors%c", ValueTraits<T>::suffix);
    static char qualified[48];
    PyOS_snprintf(qualified, sizeof qualified, "quorvex.sparsmat.%s", S::name);
    PyTypeObject& t = S::type;
    t.tp_name = qualified;
    t.tp_basicsize = sizeof(SetObject<T>);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    static char doc[160];
    PyOS_snprintf(doc, sizeof doc,
                  "%s()\n--\n\nWeighted collection of sparse vectors; iteration yields (weight, vector) pairs.",
                  S::name);
    t.tp_doc = doc;
    t.tp_new = set_new<T>;
    t.tp_repr = [](PyObject* self) { return ReprBuilder(self).length("members", Py_NewRef(self)).finish(); };
    t.tp_init = set_init<T>;
    t.tp_dealloc = set_dealloc<T>;
    t.tp_traverse = set_traverse<T>;
    t.tp_clear = set_clear<T>;
    t.tp_iter = set_iter<T>;
    t.tp_as_sequence = &S::sequence;
    t.tp_methods = S::methods;
    return add_type(module, &t, S::name);
}

}  // namespace

template <class T>
PyTypeObject* sparse_vectors_type() {
    return &SetType<T>::type;
}
template PyTypeObject* sparse_vectors_type<double>();
template PyTypeObject* sparse_vectors_type<float>();
template PyTypeObject* sparse_vectors_type<int32_t>();

bool add_sparse_vectors_types(PyObject* module) {
    return add_set_type<int32_t>(module) && add_set_type<float>(module) && add_set_type<double>(module);
}

}  // namespace qv
