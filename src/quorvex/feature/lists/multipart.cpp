// Multipart: one example made of several feature lists (parts) and
// information trees (trees).
#include <cstddef>

#include "common/args.h"
#include "common/errors.h"
#include "common/getset.h"
#include "feature/infotree/infotree.h"
#include "feature/lists/feature_list.h"
#include "feature/lists/multipart.h"
#include "feature/reprs.h"

namespace qv {

namespace {

MultipartObject* as_mp(PyObject* o) { return reinterpret_cast<MultipartObject*>(o); }

PyObject* mp_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    Py_INCREF(Py_None);
    as_mp(self)->parts = Py_None;
    Py_INCREF(Py_None);
    as_mp(self)->trees = Py_None;
    return self;
}

int mp_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* const names[] = {"parts", nullptr};
    static const ArgSpec spec{"Multipart", names, 0, 1};
    PyObject* a[1];
    if (!parse_tuple(spec, args, kwds, a)) return -1;
    Ref parts(PyList_New(0));
    Ref trees(PyList_New(0));
    Ref it(PyObject_GetIter(a[0]));
    if (!parts || !trees || !it) return -1;
    while (Ref item{PyIter_Next(it.get())}) {
        Ref fl(feature_list_from(item.get()));
        if (!fl || PyList_Append(parts.get(), fl.get()) < 0) return -1;
    }
    if (PyErr_Occurred()) return -1;
    set_field(as_mp(self)->parts, parts.release());
    set_field(as_mp(self)->trees, trees.release());
    return 0;
}

int mp_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_mp(self)->parts);
    Py_VISIT(as_mp(self)->trees);
    return 0;
}

int mp_clear(PyObject* self) {
    Py_CLEAR(as_mp(self)->parts);
    Py_CLEAR(as_mp(self)->trees);
    return 0;
}

void mp_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    mp_clear(self);
    Py_TYPE(self)->tp_free(self);
}

PyObject* parts_of(PyObject* self) {
    PyObject* parts = as_mp(self)->parts;
    return parts ? parts : Py_None;
}

Py_ssize_t mp_len(PyObject* self) { return PyObject_Length(parts_of(self)); }

PyObject* mp_subscript(PyObject* self, PyObject* key) { return PyObject_GetItem(parts_of(self), key); }

PyObject* mp_item(PyObject* self, Py_ssize_t i) { return PySequence_GetItem(parts_of(self), i); }

// --- trees, JSON form and comparison ---------------------------------------------

// The tree list, where a tree list set to None counts as having no trees.
PyObject* trees_or_empty(PyObject* self) {
    PyObject* trees = as_mp(self)->trees;
    if (!trees || trees == Py_None) return PyTuple_New(0);
    Py_INCREF(trees);
    return trees;
}

PyObject* mp_add_tree(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"data", nullptr};
    static const ArgSpec spec{"add_tree", names, 0, 1};
    PyObject* a[1];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    if (!as_mp(self)->trees || as_mp(self)->trees == Py_None) {
        PyObject* fresh = PyList_New(0);
        if (!fresh) return nullptr;
        set_field(as_mp(self)->trees, fresh);
    }
    Ref tree(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&InfoTree_Type), a[0]));
    if (!tree) return nullptr;
    Ref trees = Ref::borrow(as_mp(self)->trees);
    if (!append_to(trees.get(), tree.get())) return nullptr;
    Py_RETURN_NONE;
}

PyObject* mp_as_json(PyObject* self, PyObject*) {
    Ref parts_in = Ref::borrow(parts_of(self));
    Ref trees_in(trees_or_empty(self));
    Ref parts(PyList_New(0));
    Ref trees(PyList_New(0));
    ItemCursor pc, tc;
    if (!trees_in || !parts || !trees || !pc.start(parts_in.get())) return nullptr;
    for (;;) {
        Ref x;
        int r = pc.next(&x);
        if (r < 0) return nullptr;
        if (r == 0) break;
        Ref items(PySequence_List(x.get()));
        if (!items || PyList_Append(parts.get(), items.get()) < 0) return nullptr;
    }
    if (!tc.start(trees_in.get())) return nullptr;
    for (;;) {
        Ref t;
        int r = tc.next(&t);
        if (r < 0) return nullptr;
        if (r == 0) break;
        Ref form(tree_json_of(t.get()));
        if (!form || PyList_Append(trees.get(), form.get()) < 0) return nullptr;
    }
    return Py_BuildValue("{s:s,s:O,s:O}", "type", "multipart", "parts", parts.get(), "trees", trees.get());
}

// Appends a.diff_with(b) to out for each pair of a zip of xs and ys, unless
// it is None. Plain InfoTrees are compared directly.
bool diff_pairs(PyObject* xs, PyObject* ys, PyObject* out) {
    ItemCursor cx, cy;
    if (!cx.start(xs) || !cy.start(ys)) return false;
    for (;;) {
        Ref a, b;
        int r = cx.next(&a);
        if (r <= 0) return r == 0;
        r = cy.next(&b);
        if (r <= 0) return r == 0;
        Ref d;
        if (Py_TYPE(a.get()) == &InfoTree_Type) {
            if (!check_arg_type(b.get(), &InfoTree_Type, "other", false)) return false;
            d = Ref(tree_diff(a.get(), b.get()));
        } else {
            d = Ref(PyObject_CallMethod(a.get(), "diff_with", "O", b.get()));
        }
        if (!d) return false;
        if (d.get() != Py_None && PyList_Append(out, d.get()) < 0) return false;
    }
}

PyObject* mp_diff_with(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"other", nullptr};
    static const ArgSpec spec{"diff_with", names, 0, 1};
    PyObject* a[1];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    if (!check_arg_type(a[0], &Multipart_Type, "other", false)) return nullptr;
    Ref other = Ref::borrow(a[0]);
    Ref parts1 = Ref::borrow(parts_of(self)), parts2 = Ref::borrow(parts_of(other.get()));
    Ref result_p(PyList_New(0));
    if (!result_p || !diff_pairs(parts1.get(), parts2.get(), result_p.get())) return nullptr;
    Ref result_m(PyDict_New());
    if (!result_m) return nullptr;
    if (PyList_GET_SIZE(result_p.get()) && PyDict_SetItemString(result_m.get(), "parts", result_p.get()) < 0)
        return nullptr;
    Ref trees1(trees_or_empty(self));
    Ref trees2(trees1 ? trees_or_empty(other.get()) : nullptr);
    Ref result_g(PyList_New(0));
    if (!trees2 || !result_g || !diff_pairs(trees1.get(), trees2.get(), result_g.get())) return nullptr;
    if (PyList_GET_SIZE(result_g.get()) && PyDict_SetItemString(result_m.get(), "trees", result_g.get()) < 0)
        return nullptr;
    if (PyDict_GET_SIZE(result_m.get()) == 0) Py_RETURN_NONE;
    return result_m.release();
}

PyMethodDef mp_methods[] = {{"add_tree", reinterpret_cast<PyCFunction>(mp_add_tree), METH_FASTCALL | METH_KEYWORDS,
                             "add_tree($self, data)\n--\n\n"
                             "Appends InfoTree(data) (the JSON form of a tree) to `trees`, which is\n"
                             "created first when it is None. A failed construction appends nothing."},
                            {"as_json", reinterpret_cast<PyCFunction>(mp_as_json), METH_NOARGS,
                             "as_json($self, /)\n--\n\n"
                             "-> {'type': 'multipart', 'parts': [list(part), ...], 'trees': [tree.as_json(), ...]}\n"
                             "(a tree list set to None gives no trees)."},
                            {"diff_with", reinterpret_cast<PyCFunction>(mp_diff_with), METH_FASTCALL | METH_KEYWORDS,
                             "diff_with($self, other)\n--\n\n"
                             "-> None when the parts and trees of both examples compare equal pairwise\n"
                             "(up to the shorter list), else a dict with 'parts': [part differences] and/or\n"
                             "'trees': [(tree, other tree), ...] for the pairs that differ. A tree list set to None\n"
                             "counts as empty."},
                            {nullptr, nullptr, 0, nullptr}};

const Field parts_field{offsetof(MultipartObject, parts)};
const Field trees_field{offsetof(MultipartObject, trees)};

PyGetSetDef mp_getset[] = {{"parts", get_object, set_object, "the feature-list parts, in order", closure(parts_field)},
                           {"trees", get_object, set_object, "the information trees, in order", closure(trees_field)},
                           {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMappingMethods mp_mapping = {mp_len, mp_subscript, nullptr};

PySequenceMethods mp_sequence = [] {
    PySequenceMethods m{};
    m.sq_length = mp_len;
    m.sq_item = mp_item;
    return m;
}();

}  // namespace

PyTypeObject Multipart_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};

bool ready_multipart() {
    PyTypeObject& t = Multipart_Type;
    t.tp_name = "quorvex.feature.Multipart";
    t.tp_basicsize = sizeof(MultipartObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc =
        "Multipart(parts)\n--\n\n"
        "One example of several parts: `parts`, a list of FeatureList (each\n"
        "element of `parts` converted with FeatureList), and `trees`, a list of information trees.\n"
        "len(m) and m[i] address the feature-list parts.";
    t.tp_new = mp_new;
    t.tp_repr = multipart_repr;
    t.tp_init = mp_init;
    t.tp_dealloc = mp_dealloc;
    t.tp_traverse = mp_traverse;
    t.tp_clear = mp_clear;
    t.tp_as_mapping = &mp_mapping;
    t.tp_as_sequence = &mp_sequence;
    t.tp_getset = mp_getset;
    t.tp_methods = mp_methods;
    return PyType_Ready(&t) == 0;
}

}  // namespace qv
