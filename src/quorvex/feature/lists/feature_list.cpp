// FeatureList: an immutable list of (name, value) features sorted by name,
// and flist_sort_order, its sort key.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "common/args.h"
#include "common/compare.h"
#include "common/errors.h"
#include "common/repr.h"
#include "common/text_args.h"
#include "feature/lists/feature_list.h"

namespace qv {

namespace {

FeatureListObject* as_fl(PyObject* o) { return reinterpret_cast<FeatureListObject*>(o); }

// --- internal operations --------------------------------------------------

PyObject* op_get_feat(FeatureListObject* self, int n) {
    Py_ssize_t len = feature_list_len(self);
    Py_ssize_t i = n < 0 ? n + len : n;
    if (i < 0 || i >= len) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return nullptr;
    }
    PyObject* name = PyList_GET_ITEM(self->features, i);
    Py_INCREF(name);
    return name;
}

double op_get_val(FeatureListObject* self, int n) { return self->vals[n]; }

double op_get_p_norm(FeatureListObject* self, PyObject* p) {
    double s = 0.0;
    for (Py_ssize_t i = 0; i < feature_list_len(self); ++i) {
        double pf;
        if (!to_double(p, &pf)) {
            report_unraisable("quorvex.feature.FeatureList.get_p_norm");
            return 0.0;
        }
        s += std::pow(self->vals[i], pf);
    }
    double r;
    if (PyFloat_Check(p) || PyLong_Check(p)) {
        double pf;
        if (!to_double(p, &pf)) {
            report_unraisable("quorvex.feature.FeatureList.get_p_norm");
            return 0.0;
        }
        r = 1.0 / pf;
    } else {
        Ref one(PyFloat_FromDouble(1.0));
        Ref q(one ? PyNumber_TrueDivide(one.get(), p) : nullptr);
        if (!q || !to_double(q.get(), &r)) {
            report_unraisable("quorvex.feature.FeatureList.get_p_norm");
            return 0.0;
        }
    }
    return std::pow(s, r);
}

const FeatureListOps flist_ops = {op_get_feat, op_get_val, op_get_p_norm};

// --- construction -----------------------------------------------------------

struct SortKey {
    const char* p;
    Py_ssize_t n;
};

// The UTF-8 bytes of a simple item's name: the item itself when it is an
// exact str, else element 0 of an exact 2-tuple or 2-list whose element 0
// is an exact str. Returns false for anything else (then the generic sort
// runs). Byte order of UTF-8 equals code-point order, so sorting these
// keys orders exactly like Python's str comparison.
bool simple_key(PyObject* item, SortKey* key) {
    PyObject* name = item;
    if (!PyUnicode_CheckExact(item)) {
        if ((PyTuple_CheckExact(item) || PyList_CheckExact(item)) && PySequence_Fast_GET_SIZE(item) == 2)
            name = PySequence_Fast_GET_ITEM(item, 0);
        else
            return false;
        if (!PyUnicode_CheckExact(name)) return false;
    }
    key->p = PyUnicode_AsUTF8AndSize(name, &key->n);
    if (!key->p) {
        PyErr_Clear();  // lone surrogates: let the generic sort decide
        return false;
    }
    return true;
}

// The items in key order: a native stable sort when every item is simple,
// else sorted(items, key=flist_sort_order). Returns a new list.
PyObject* sorted_items(PyObject* items) {
    Ref seq(PySequence_List(items));
    if (!seq) return nullptr;
    Py_ssize_t n = PyList_GET_SIZE(seq.get());
    std::vector<SortKey> keys(static_cast<std::size_t>(n));
    bool simple = true;
    for (Py_ssize_t i = 0; i < n && simple; ++i) simple = simple_key(PyList_GET_ITEM(seq.get(), i), &keys[i]);
    if (!simple) {
        Ref key_fn(PyCFunction_New(&flist_sort_order_def, nullptr));
        Ref kwargs(key_fn ? Py_BuildValue("{s:O}", "key", key_fn.get()) : nullptr);
        if (!kwargs) return nullptr;
        Ref meth(PyObject_GetAttrString(seq.get(), "sort"));
        Ref noargs(PyTuple_New(0));
        if (!meth || !noargs) return nullptr;
        Ref r(PyObject_Call(meth.get(), noargs.get(), kwargs.get()));
        if (!r) return nullptr;
        return seq.release();
    }
    std::vector<Py_ssize_t> order(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&keys](Py_ssize_t a, Py_ssize_t b) {
        const SortKey &x = keys[a], &y = keys[b];
        int c = std::memcmp(x.p, y.p, static_cast<std::size_t>(std::min(x.n, y.n)));
        return c < 0 || (c == 0 && x.n < y.n);
    });
    Ref out(PyList_New(n));
    if (!out) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(seq.get(), order[i]);
        Py_INCREF(item);
        PyList_SET_ITEM(out.get(), i, item);
    }
    return out.release();
}

inline bool fast_less(const FastItems::Key& x, const FastItems::Key& y) {
    if (x.prefix != y.prefix) return x.prefix < y.prefix;
    int c = std::memcmp(x.p, y.p, static_cast<std::size_t>(std::min(x.n, y.n)));
    return c < 0 || (c == 0 && x.n < y.n);
}

}  // namespace

int read_fast_items(PyObject* flist, FastItems* out) {
    if (!PyList_CheckExact(flist) && !PyTuple_CheckExact(flist)) return 0;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(flist);
    if (n > FastItems::kMax) return 0;
    PyObject** items = PySequence_Fast_ITEMS(flist);
    FastItems::Key* keys = out->keys;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = items[i];
        FastItems::Key& k = keys[i];
        k.name = item;
        k.value = nullptr;
        if (!PyUnicode_CheckExact(item)) {
            if ((!PyTuple_CheckExact(item) && !PyList_CheckExact(item)) || PySequence_Fast_GET_SIZE(item) != 2)
                return 0;
            k.name = PySequence_Fast_GET_ITEM(item, 0);
            k.value = PySequence_Fast_GET_ITEM(item, 1);
            if (!PyUnicode_CheckExact(k.name) || (!PyFloat_CheckExact(k.value) && !PyLong_CheckExact(k.value)))
                return 0;
        }
        if (PyUnicode_IS_COMPACT_ASCII(k.name)) {
            k.p = static_cast<const char*>(PyUnicode_DATA(k.name));
            k.n = PyUnicode_GET_LENGTH(k.name);
        } else if (!(k.p = PyUnicode_AsUTF8AndSize(k.name, &k.n))) {
            PyErr_Clear();  // lone surrogates: the generic sort decides
            return 0;
        }
        unsigned char head[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        std::memcpy(head, k.p, static_cast<std::size_t>(std::min<Py_ssize_t>(k.n, 8)));
        uint64_t prefix = 0;
        for (unsigned char b : head) prefix = (prefix << 8) | b;
        k.prefix = prefix;
    }
    uint8_t* order = out->order;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_ssize_t j = i;
        for (; j > 0 && fast_less(keys[i], keys[order[j - 1]]); --j) order[j] = order[j - 1];
        order[j] = static_cast<uint8_t>(i);
    }
    out->n = n;
    return 1;
}

namespace {

// The common input (see read_fast_items), built without copies: the items
// are read in place and copied straight into the names list and values.
// Returns 1 when done, 0 when the input does not qualify (nothing set, no
// error), -1 on error (self unchanged).
int fill_fast(FeatureListObject* self, PyObject* flist) {
    FastItems fast;
    const int r = read_fast_items(flist, &fast);
    if (r <= 0) return r;
    const Py_ssize_t n = fast.n;
    const FastItems::Key* keys = fast.keys;
    const uint8_t* order = fast.order;
    Ref names(PyList_New(n));
    if (!names) return -1;
    double* vals = static_cast<double*>(PyMem_Malloc(static_cast<std::size_t>(n ? n : 1) * sizeof(double)));
    if (!vals) {
        PyErr_NoMemory();
        return -1;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        const FastItems::Key& k = keys[order[i]];
        double v = 1.0;
        if (k.value && !to_double(k.value, &v)) {  // an int too large for a float
            PyMem_Free(vals);
            return -1;
        }
        vals[i] = v;
        Py_INCREF(k.name);
        PyList_SET_ITEM(names.get(), i, k.name);
    }
    set_field(self->features, names.release());
    double* old = self->vals;
    self->vals = vals;
    self->n_vals = n;
    PyMem_Free(old);
    return 1;
}

// Fills self from flist; on error self is left as it was.
bool fill(FeatureListObject* self, PyObject* flist) {
    if (!refuse_text(flist, "flist", "features")) return false;
    int fast = fill_fast(self, flist);
    if (fast != 0) return fast > 0;
    if (PyObject_Length(flist) < 0) return false;  // the argument must have a length
    Ref sorted(sorted_items(flist));
    if (!sorted) return false;
    Py_ssize_t n = PyList_GET_SIZE(sorted.get());
    Ref names(PyList_New(n));
    if (!names) return false;
    double* vals = static_cast<double*>(PyMem_Malloc(static_cast<std::size_t>(n ? n : 1) * sizeof(double)));
    if (!vals) {
        PyErr_NoMemory();
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(sorted.get(), i);
        PyObject* name;
        if (PyUnicode_Check(item)) {
            name = item;
            Py_INCREF(name);
            vals[i] = 1.0;
        } else {
            Ref pair[2];
            if (!unpack_exact(item, 2, pair) || !to_double(pair[1].get(), &vals[i])) {
                PyMem_Free(vals);
                return false;
            }
            name = pair[0].release();
        }
        PyList_SET_ITEM(names.get(), i, name);
    }
    set_field(self->features, names.release());
    double* old = self->vals;
    self->vals = vals;
    self->n_vals = n;
    PyMem_Free(old);
    return true;
}

// --- type slots -------------------------------------------------------------

PyObject* fl_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    as_fl(self)->ops = &flist_ops;
    Py_INCREF(Py_None);
    as_fl(self)->features = Py_None;
    return self;
}

int fl_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* const names[] = {"flist", nullptr};
    static const ArgSpec spec{"FeatureList", names, 0, 1};
    PyObject* a[1];
    if (!parse_tuple(spec, args, kwds, a)) return -1;
    return fill(as_fl(self), a[0]) ? 0 : -1;
}

int fl_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_fl(self)->features);
    return 0;
}

int fl_clear(PyObject* self) {
    Py_CLEAR(as_fl(self)->features);
    return 0;
}

void fl_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    fl_clear(self);
    PyMem_Free(as_fl(self)->vals);
    Py_TYPE(self)->tp_free(self);
}

Py_ssize_t fl_len(PyObject* self) { return feature_list_len(as_fl(self)); }

PyObject* fl_item(PyObject* self, Py_ssize_t i) {
    FeatureListObject* fl = as_fl(self);
    if (i < 0 || i >= feature_list_len(fl)) {
        PyErr_SetString(PyExc_IndexError, "FeatureList index out of range");
        return nullptr;
    }
    Ref val(PyFloat_FromDouble(fl->vals[i]));
    if (!val) return nullptr;
    return PyTuple_Pack(2, PyList_GET_ITEM(fl->features, i), val.get());
}

PyObject* pairs_of(PyObject* self) {
    Py_ssize_t n = fl_len(self);
    Ref lst(PyList_New(n));
    if (!lst) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* pair = fl_item(self, i);
        if (!pair) return nullptr;
        PyList_SET_ITEM(lst.get(), i, pair);
    }
    return lst.release();
}

PyObject* fl_repr(PyObject* self) {
    Ref pairs(pairs_of(self));
    return pairs ? PyUnicode_FromFormat("FeatureList(%R)", pairs.get()) : nullptr;
}

// fl + other: the items of both operands (in order) as a new, re-sorted list.
PyObject* fl_add(PyObject* a, PyObject* b) {
    if (!refuse_text(a, "the left operand", "features") || !refuse_text(b, "the right operand", "features"))
        return nullptr;
    Ref left(PySequence_List(a));
    if (!left) return nullptr;
    Ref right(PySequence_List(b));
    if (!right) return nullptr;
    Ref both(PySequence_Concat(left.get(), right.get()));
    return both ? feature_list_from(both.get()) : nullptr;
}

PyObject* fl_diff_with(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"other", nullptr};
    static const ArgSpec spec{"diff_with", names, 0, 1};
    PyObject* a[1];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    if (!check_arg_type(a[0], &FeatureList_Type, "other", true)) return nullptr;
    if (a[0] == Py_None) {
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        return nullptr;
    }
    // Comparing names runs Python code that may re-run either list's
    // constructor: work on snapshots of the names and values.
    struct Snapshot {
        Ref names;
        std::vector<double> vals;
        explicit Snapshot(FeatureListObject* fl)
            : names(Ref::borrow(fl->features)), vals(fl->vals, fl->vals + feature_list_len(fl)) {}
        PyObject* name(Py_ssize_t i) const { return PyList_GET_ITEM(names.get(), i); }
    };
    std::unique_ptr<Snapshot> sx, sy;
    QV_TRY sx.reset(new Snapshot(as_fl(self)));
    sy.reset(new Snapshot(as_fl(a[0])));
    QV_CATCH(nullptr)
    const Snapshot& x = *sx;
    const Snapshot& y = *sy;
    Py_ssize_t nx = static_cast<Py_ssize_t>(x.vals.size()), ny = static_cast<Py_ssize_t>(y.vals.size());
    if (nx == ny) {
        bool same = true;
        for (Py_ssize_t i = 0; i < nx && same; ++i) {
            int ne = py_ne(x.name(i), y.name(i));
            if (ne < 0) return nullptr;
            same = !ne && x.vals[i] == y.vals[i];
        }
        if (same) Py_RETURN_NONE;
    }
    Ref result(PyList_New(0));
    if (!result) return nullptr;
    auto append = [&result](const char* mark, PyObject* name, double v) {
        Ref val(PyFloat_FromDouble(v));
        Ref triple(val ? Py_BuildValue("(sOO)", mark, name, val.get()) : nullptr);
        return triple && PyList_Append(result.get(), triple.get()) == 0;
    };
    Py_ssize_t i = 0, j = 0;
    while (i < nx && j < ny) {
        PyObject* n1 = x.name(i);
        PyObject* n2 = y.name(j);
        int lt = PyObject_RichCompareBool(n1, n2, Py_LT);
        if (lt < 0) return nullptr;
        if (lt) {
            if (!append("-", n1, x.vals[i])) return nullptr;
            ++i;
            continue;
        }
        int gt = PyObject_RichCompareBool(n2, n1, Py_LT);
        if (gt < 0) return nullptr;
        if (gt) {
            if (!append("+", n2, y.vals[j])) return nullptr;
            ++j;
        } else {
            if (!append(" ", n1, x.vals[i])) return nullptr;
            ++i, ++j;
        }
    }
    for (; i < nx; ++i)
        if (!append("-", x.name(i), x.vals[i])) return nullptr;
    for (; j < ny; ++j)
        if (!append("+", y.name(j), y.vals[j])) return nullptr;
    return result.release();
}

PyObject* fl_reduce(PyObject* self, PyObject*) {
    Ref pairs(pairs_of(self));
    return pairs ? Py_BuildValue("(O(O))", reinterpret_cast<PyObject*>(Py_TYPE(self)), pairs.get()) : nullptr;
}

PyMethodDef fl_methods[] = {{"diff_with", reinterpret_cast<PyCFunction>(fl_diff_with), METH_FASTCALL | METH_KEYWORDS,
                             "diff_with($self, other)\n--\n\n"
                             "-> None when both lists hold the same names and values, else a list of\n"
                             "(mark, name, value) triples from merging the two sorted lists: '-' only in self,\n"
                             "'+' only in other, ' ' in both (with self's value)."},
                            {"__reduce__", fl_reduce, METH_NOARGS, "__reduce__($self, /)\n--\n\n"},
                            {nullptr, nullptr, 0, nullptr}};

PySequenceMethods fl_sequence = [] {
    PySequenceMethods m{};
    m.sq_length = fl_len;
    m.sq_item = fl_item;
    return m;
}();

PyNumberMethods fl_number = [] {
    PyNumberMethods m{};
    m.nb_add = fl_add;
    return m;
}();

// x for a str, else x[0] for any object that can be subscripted (a
// sequence, a mapping with the key 0, ...).
PyObject* sort_key(PyObject* x) {
    if (PyUnicode_Check(x)) {
        Py_INCREF(x);
        return x;
    }
    if (PyList_CheckExact(x) || PyTuple_CheckExact(x)) return PySequence_GetItem(x, 0);
    static PyObject* zero = PyLong_FromLong(0);  // kept for the process
    if (!zero) return nullptr;
    return PyObject_GetItem(x, zero);
}

PyObject* flist_sort_order(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"x", nullptr};
    static const ArgSpec spec{"flist_sort_order", names, 0, 1};
    PyObject* a[1];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    return sort_key(a[0]);
}

}  // namespace

PyMethodDef flist_sort_order_def = {"flist_sort_order", reinterpret_cast<PyCFunction>(flist_sort_order),
                                    METH_FASTCALL | METH_KEYWORDS,
                                    "flist_sort_order(x)\n--\n\n"
                                    "-> x for a str, else x[0]: the sort key of FeatureList."};

PyTypeObject FeatureList_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};

PyObject* feature_list_from(PyObject* items) {
    return PyObject_CallOneArg(reinterpret_cast<PyObject*>(&FeatureList_Type), items);
}

double p_norm_of(const double* vals, Py_ssize_t n, double p) {
    double s = 0.0;
    for (Py_ssize_t i = 0; i < n; ++i) s += std::pow(vals[i], p);
    return std::pow(s, 1.0 / p);
}

bool ready_feature_list() {
    PyTypeObject& t = FeatureList_Type;
    t.tp_name = "quorvex.feature.FeatureList";
    t.tp_basicsize = sizeof(FeatureListObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc =
        "FeatureList(flist)\n--\n\n"
        "An immutable list of features sorted by name.\n\n"
        "Items are names (value 1.0) or (name, value) pairs; the sort is stable, so equal names keep\n"
        "their order, and duplicates are kept. fl[i] is the pair (name, value); fl + other re-sorts.";
    t.tp_new = fl_new;
    t.tp_init = fl_init;
    t.tp_dealloc = fl_dealloc;
    t.tp_traverse = fl_traverse;
    t.tp_clear = fl_clear;
    t.tp_repr = short_container_repr<fl_repr>;  // str() keeps every item
    t.tp_str = fl_repr;
    t.tp_as_sequence = &fl_sequence;
    t.tp_as_number = &fl_number;
    t.tp_methods = fl_methods;
    return PyType_Ready(&t) == 0;
}

}  // namespace qv
