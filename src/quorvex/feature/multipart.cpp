// Multipart: one example made of several feature lists (parts) and
// information trees (trees).
#include <cstddef>

#include "args.h"
#include "errors.h"
#include "feature_types.h"
#include "getset.h"

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

const Field parts_field{offsetof(MultipartObject, parts)};
const Field trees_field{offsetof(MultipartObject, trees)};

PyGetSetDef mp_getset[] = {
    {"parts", get_object, set_object, "the feature-list parts, in order", const_cast<Field*>(&parts_field)},
    {"trees", get_object, set_object, "the information trees, in order", const_cast<Field*>(&trees_field)},
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
        "Multipart(parts): one example of several parts: `parts`, a list of FeatureList (each\n"
        "element of `parts` converted with FeatureList), and `trees`, a list of information trees.\n"
        "len(m) and m[i] address the feature-list parts.";
    t.tp_new = mp_new;
    t.tp_init = mp_init;
    t.tp_dealloc = mp_dealloc;
    t.tp_traverse = mp_traverse;
    t.tp_clear = mp_clear;
    t.tp_as_mapping = &mp_mapping;
    t.tp_as_sequence = &mp_sequence;
    t.tp_getset = mp_getset;
    return PyType_Ready(&t) == 0;
}

}  // namespace qv
