// PythonAlphabet: the alphabet over arbitrary hashable Python objects.
#include "alphabet/alphabet_types.h"
#include "common/args.h"
#include "common/errors.h"

namespace qv {

namespace {

PythonAlphabetObject* as_palph(PyObject* o) { return reinterpret_cast<PythonAlphabetObject*>(o); }

// Creates the dict and list for an instance whose __init__ did not run.
bool ensure_storage(PythonAlphabetObject* a) {
    if (!a->mapping || !PyDict_Check(a->mapping)) {
        PyObject* d = PyDict_New();
        if (!d) return false;
        set_field(a->mapping, d);
    }
    if (!a->words || !PyList_Check(a->words)) {
        PyObject* l = PyList_New(0);
        if (!l) return false;
        set_field(a->words, l);
    }
    return true;
}

Py_ssize_t op_size(PyObject* self) {
    PythonAlphabetObject* a = as_palph(self);
    return a->words && PyList_Check(a->words) ? PyList_GET_SIZE(a->words) : 0;
}

// RuntimeError when a callback of the key replaced the alphabet's storage
// (for example by running __init__ again) during a lookup.
bool storage_unchanged(PythonAlphabetObject* a, PyObject* mapping, PyObject* words) {
    if (a->mapping == mapping && a->words == words) return true;
    PyErr_SetString(PyExc_RuntimeError, "PythonAlphabet changed during a lookup");
    return false;
}

// Id of obj; added while growing; -1 with KeyError when frozen. The key's
// __hash__ and __eq__ run inside the dict operations and may do anything
// to this alphabet, so the dict, the list and the found id are held across
// them, and the storage is checked to be the same afterwards.
long lookup(PythonAlphabetObject* a, PyObject* obj) {
    if (!ensure_storage(a)) return -1;
    Ref mapping = Ref::borrow(a->mapping), words = Ref::borrow(a->words);
    Ref id = Ref::borrow(PyDict_GetItemWithError(mapping.get(), obj));
    if (!storage_unchanged(a, mapping.get(), words.get())) return -1;
    if (id) return PyLong_AsLong(id.get());
    if (PyErr_Occurred()) return -1;
    if (!a->growing) {
        PyErr_SetObject(PyExc_KeyError, obj);
        return -1;
    }
    Py_ssize_t n = PyList_GET_SIZE(words.get());
    Ref num(PyLong_FromSsize_t(n));
    if (!num || PyList_Append(words.get(), obj) < 0) return -1;
    if (PyDict_SetItem(mapping.get(), obj, num.get()) < 0 || !storage_unchanged(a, mapping.get(), words.get())) {
        // Take the word back out unless the callback already changed the list.
        if (PyList_GET_SIZE(words.get()) == n + 1 && PyList_GET_ITEM(words.get(), n) == obj)
            PyList_SetSlice(words.get(), n, n + 1, nullptr);
        return -1;
    }
    return static_cast<long>(n);
}

int op_sym2num(PyObject* self, const char* word) {
    Ref w(PyUnicode_FromString(word));
    return w ? static_cast<int>(lookup(as_palph(self), w.get())) : -1;
}

PyObject* op_get_sym(PyObject* self, int n) {
    PyObject* w = PyList_GET_ITEM(as_palph(self)->words, n);
    Py_INCREF(w);
    return w;
}

const char* op_num2sym(PyObject* self, int n) {
    PyObject* w = PyList_GET_ITEM(as_palph(self)->words, n);
    return PyUnicode_Check(w) ? PyUnicode_AsUTF8(w) : nullptr;
}

const AlphabetOps python_ops = {op_size, op_sym2num, op_num2sym, op_get_sym};

PyObject* palph_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    PythonAlphabetObject* a = as_palph(self);
    a->base.ops = &python_ops;
    a->growing = 1;
    Py_INCREF(Py_None);
    a->mapping = Py_None;
    Py_INCREF(Py_None);
    a->words = Py_None;
    return self;
}

int palph_init(PyObject* self, PyObject* args, PyObject* kwds) {
    if (!parse_none("PythonAlphabet", args, kwds)) return -1;
    PythonAlphabetObject* a = as_palph(self);
    PyObject* d = PyDict_New();
    PyObject* l = PyList_New(0);
    if (!d || !l) {
        Py_XDECREF(d);
        Py_XDECREF(l);
        return -1;
    }
    set_field(a->mapping, d);
    set_field(a->words, l);
    a->growing = 1;
    return 0;
}

int palph_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_palph(self)->mapping);
    Py_VISIT(as_palph(self)->words);
    return 0;
}

int palph_clear(PyObject* self) {
    Py_CLEAR(as_palph(self)->mapping);
    Py_CLEAR(as_palph(self)->words);
    return 0;
}

void palph_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    palph_clear(self);
    Py_TYPE(self)->tp_free(self);
}

PyObject* palph_subscript(PyObject* self, PyObject* key) {
    long id = lookup(as_palph(self), key);
    return id < 0 ? nullptr : PyLong_FromLong(id);
}

int palph_contains(PyObject* self, PyObject* key) {
    PythonAlphabetObject* a = as_palph(self);
    if (!ensure_storage(a)) return -1;
    Ref mapping = Ref::borrow(a->mapping);  // the key's __eq__ may replace it
    return PyDict_Contains(mapping.get(), key);
}

PyObject* palph_get_words(PyObject* self, void*) {
    PythonAlphabetObject* a = as_palph(self);
    if (!ensure_storage(a)) return nullptr;
    Py_INCREF(a->words);
    return a->words;
}

PyObject* palph_get_growing(PyObject* self, void*) { return PyBool_FromLong(as_palph(self)->growing); }

int palph_set_growing(PyObject* self, PyObject* value, void*) {
    if (!value) return raise_cannot_delete();
    return to_flag(value, &as_palph(self)->growing) ? 0 : -1;
}

PyObject* palph_reduce(PyObject* self, PyObject*) {
    PythonAlphabetObject* a = as_palph(self);
    if (!ensure_storage(a)) return nullptr;
    return Py_BuildValue("(O()(Oi))", reinterpret_cast<PyObject*>(Py_TYPE(self)), a->words, a->growing);
}

PyObject* palph_setstate(PyObject* self, PyObject* state) {
    PyObject* words;
    int growing;
    if (!PyTuple_Check(state)) {  // PyArg_ParseTuple would raise SystemError
        PyErr_Format(PyExc_TypeError, "__setstate__ needs a (words, growing) tuple, not %.200s",
                     Py_TYPE(state)->tp_name);
        return nullptr;
    }
    if (!PyArg_ParseTuple(state, "Op:__setstate__", &words, &growing)) return nullptr;
    PythonAlphabetObject* a = as_palph(self);
    Ref d(PyDict_New());
    Ref l(PySequence_List(words));
    if (!d || !l) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(l.get()); ++i) {
        Ref num(PyLong_FromSsize_t(i));
        if (!num || PyDict_SetItem(d.get(), PyList_GET_ITEM(l.get(), i), num.get()) < 0) return nullptr;
    }
    if (PyDict_GET_SIZE(d.get()) != PyList_GET_SIZE(l.get())) {
        PyErr_SetString(PyExc_ValueError, "PythonAlphabet state repeats a word");
        return nullptr;
    }
    set_field(a->mapping, d.release());
    set_field(a->words, l.release());
    a->growing = growing;
    Py_RETURN_NONE;
}

PyObject* palph_repr(PyObject* self) {
    return PyUnicode_FromFormat("<PythonAlphabet: %zd words, %s>", op_size(self),
                                as_palph(self)->growing ? "growing" : "frozen");
}

PyMethodDef palph_methods[] = {{"__reduce__", palph_reduce, METH_NOARGS, "__reduce__($self, /)\n--\n\n"},
                               {"__setstate__", palph_setstate, METH_O, "__setstate__($self, state, /)\n--\n\n"},
                               {nullptr, nullptr, 0, nullptr}};

PyGetSetDef palph_getset[] = {
    {"growing", palph_get_growing, palph_set_growing, "whether unknown words are added on lookup", nullptr},
    {"words", palph_get_words, nullptr, "the list of words by id", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMappingMethods palph_mapping = {op_size, palph_subscript, nullptr};

PySequenceMethods palph_sequence = [] {
    PySequenceMethods m{};
    m.sq_length = op_size;
    m.sq_contains = palph_contains;
    return m;
}();

}  // namespace

PyTypeObject PythonAlphabet_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};

bool ready_python_alphabet() {
    PyTypeObject& t = PythonAlphabet_Type;
    t.tp_name = "quorvex.alphabet.PythonAlphabet";
    t.tp_basicsize = sizeof(PythonAlphabetObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc =
        "PythonAlphabet()\n--\n\n"
        "A growing two-way map between hashable Python objects and ids 0, 1, 2, ...\n"
        "alph[obj] gives the id (added while growing, KeyError when frozen); `words` is the list by id.";
    t.tp_base = &AbstractAlphabet_Type;
    t.tp_new = palph_new;
    t.tp_init = palph_init;
    t.tp_dealloc = palph_dealloc;
    t.tp_traverse = palph_traverse;
    t.tp_clear = palph_clear;
    t.tp_repr = palph_repr;
    t.tp_as_mapping = &palph_mapping;
    t.tp_as_sequence = &palph_sequence;
    t.tp_methods = palph_methods;
    t.tp_getset = palph_getset;
    return PyType_Ready(&t) == 0;
}

}  // namespace qv
