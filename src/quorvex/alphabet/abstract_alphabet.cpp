// AbstractAlphabet, the base of every alphabet, and Alphabet_iter, the
// iterator over an alphabet's words in id order.
#include "alphabet/alphabet_types.h"
#include "common/args.h"
#include "common/errors.h"

namespace qv {

namespace {

PyObject* abstract_missing() {
    PyErr_SetString(PyExc_NotImplementedError, "AbstractAlphabet has no words; use StringAlphabet or PythonAlphabet");
    return nullptr;
}

Py_ssize_t abstract_size(PyObject*) { return 0; }
int abstract_sym2num(PyObject*, const char*) {
    abstract_missing();
    return -1;
}
const char* abstract_num2sym(PyObject*, int) {
    abstract_missing();
    return nullptr;
}
PyObject* abstract_get_sym(PyObject*, int) { return abstract_missing(); }

const AlphabetOps abstract_ops = {abstract_size, abstract_sym2num, abstract_num2sym, abstract_get_sym};

PyObject* abstract_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self) reinterpret_cast<AbstractAlphabetObject*>(self)->ops = &abstract_ops;
    return self;
}

Py_ssize_t abstract_len(PyObject* self) { return alphabet_ops(self)->size(self); }

PyObject* abstract_get_sym_py(PyObject* self, PyObject* arg) {
    int32_t n;
    if (!to_int32(arg, &n)) return nullptr;
    Py_ssize_t size = alphabet_ops(self)->size(self);
    if (size < 0) return nullptr;
    if (n < 0 || n >= size) {
        PyErr_Format(PyExc_IndexError, "word id %d out of range (alphabet of %zd words)", n, size);
        return nullptr;
    }
    return alphabet_ops(self)->get_sym(self, n);
}

PyMethodDef abstract_methods[] = {
    {"get_sym", abstract_get_sym_py, METH_O, "get_sym($self, n, /)\n--\n\n-> the word with id n."},
    {nullptr, nullptr, 0, nullptr}};

PySequenceMethods abstract_sequence = [] {
    PySequenceMethods m{};
    m.sq_length = abstract_len;
    return m;
}();

struct AlphabetIter {
    PyObject_HEAD
    PyObject* alphabet;
    Py_ssize_t pos;
};

PyObject* iter_next(PyObject* self) {
    AlphabetIter* it = reinterpret_cast<AlphabetIter*>(self);
    if (!it->alphabet) return nullptr;
    Py_ssize_t size = alphabet_ops(it->alphabet)->size(it->alphabet);
    if (size < 0) return nullptr;
    if (it->pos >= size) {
        Py_CLEAR(it->alphabet);
        return nullptr;
    }
    return alphabet_ops(it->alphabet)->get_sym(it->alphabet, static_cast<int>(it->pos++));
}

void iter_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(reinterpret_cast<AlphabetIter*>(self)->alphabet);
    PyObject_GC_Del(self);
}

int iter_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<AlphabetIter*>(self)->alphabet);
    return 0;
}

}  // namespace

PyTypeObject AbstractAlphabet_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject Alphabet_iter_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};

PyObject* alphabet_iter_new(PyObject* alphabet) {
    AlphabetIter* it = PyObject_GC_New(AlphabetIter, &Alphabet_iter_Type);
    if (!it) return nullptr;
    Py_INCREF(alphabet);
    it->alphabet = alphabet;
    it->pos = 0;
    PyObject_GC_Track(it);
    return reinterpret_cast<PyObject*>(it);
}

bool ready_abstract_alphabet() {
    PyTypeObject& t = AbstractAlphabet_Type;
    t.tp_name = "quorvex.alphabet.AbstractAlphabet";
    t.tp_basicsize = sizeof(AbstractAlphabetObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    t.tp_doc =
        "AbstractAlphabet(*args, **kwargs)\n--\n\n"
        "Base of the alphabets: two-way maps between words and the ids 0, 1, 2, ...";
    t.tp_new = abstract_new;
    t.tp_iter = alphabet_iter_new;
    t.tp_as_sequence = &abstract_sequence;
    t.tp_methods = abstract_methods;
    if (PyType_Ready(&t) < 0) return false;

    PyTypeObject& it = Alphabet_iter_Type;
    it.tp_name = "quorvex.alphabet.Alphabet_iter";
    it.tp_basicsize = sizeof(AlphabetIter);
    it.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    it.tp_doc = "Iterator over an alphabet's words in id order.";
    it.tp_dealloc = iter_dealloc;
    it.tp_traverse = iter_traverse;
    it.tp_iter = PyObject_SelfIter;
    it.tp_iternext = iter_next;
    return PyType_Ready(&it) == 0;
}

}  // namespace qv
