// StringAlphabet: words stored as bytes in a CPPAlphabet, numbered in order
// of first insertion; grows until `growing` is set to False.
#include <cstring>
#include <new>
#include <string>

#include "alphabet/alphabet_types.h"
#include "common/args.h"
#include "common/errors.h"
#include "common/py_writer.h"

namespace qv {

namespace {

// Word-list file written by tofile_utf8:
//   "quorvex-alphabet 1\n", then the word count in decimal and "\n",
//   then per word, in id order: its byte length in decimal, one blank,
//   the word's UTF-8 bytes, "\n".
// Lengths make any byte (newlines included) safe inside a word.
const char FILE_MAGIC[] = "quorvex-alphabet 1\n";

StringAlphabetObject* as_alph(PyObject* o) { return reinterpret_cast<StringAlphabetObject*>(o); }

// --- internal operations --------------------------------------------------

Py_ssize_t op_size(PyObject* self) { return static_cast<Py_ssize_t>(as_alph(self)->map.size()); }

PyObject* key_error(PyObject* key) {
    PyErr_SetObject(PyExc_KeyError, key);
    return nullptr;
}

// Id of the bytes (added while growing); -1 with KeyError(key_for_error)
// when absent and frozen, -1 with MemoryError/OverflowError on failure.
int lookup_bytes(StringAlphabetObject* a, const char* p, Py_ssize_t n, PyObject* key_for_error) {
    int32_t id;
    QV_TRY id = a->map.lookup(p, static_cast<std::size_t>(n));
    QV_CATCH(-1)
    if (id < 0) {
        if (key_for_error) {
            key_error(key_for_error);
        } else {
            Ref k(PyBytes_FromStringAndSize(p, n));
            if (k) key_error(k.get());
        }
    }
    return id;
}

int op_sym2num(PyObject* self, const char* word) {
    return lookup_bytes(as_alph(self), word, static_cast<Py_ssize_t>(std::strlen(word)), nullptr);
}

const char* op_num2sym(PyObject* self, int n) { return as_alph(self)->map.word(n); }

PyObject* op_get_sym(PyObject* self, int n) {
    StringAlphabetObject* a = as_alph(self);
    return alphabet_decode(a->use_utf8, a->map.word(n), a->map.word_len(n));
}

const AlphabetOps string_ops = {op_size, op_sym2num, op_num2sym, op_get_sym};

bool check_id(StringAlphabetObject* a, PyObject* arg, int32_t* n) {
    if (!to_int32(arg, n)) return false;
    if (*n < 0 || static_cast<std::size_t>(*n) >= a->map.size()) {
        PyErr_Format(PyExc_IndexError, "word id %d out of range (alphabet of %zu words)", *n, a->map.size());
        return false;
    }
    return true;
}

// --- type slots --------------------------------------------------------------

PyObject* alph_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    StringAlphabetObject* a = as_alph(self);
    a->base.ops = &string_ops;
    a->use_utf8 = 1;
    new (&a->map) CPPAlphabet();
    return self;
}

int alph_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* const names[] = {"want_utf8", nullptr};
    static const ArgSpec spec{"StringAlphabet", names, 0, 0};
    PyObject* a[1];
    if (!parse_tuple(spec, args, kwds, a)) return -1;
    int utf8 = 1;
    if (a[0] && !to_flag(a[0], &utf8)) return -1;
    StringAlphabetObject* alph = as_alph(self);
    alph->use_utf8 = utf8;
    alph->map.clear();
    alph->map.growing = true;
    return 0;
}

void alph_dealloc(PyObject* self) {
    as_alph(self)->map.~CPPAlphabet();
    Py_TYPE(self)->tp_free(self);
}

PyObject* alph_subscript(PyObject* self, PyObject* key) {
    StringAlphabetObject* a = as_alph(self);
    Ref holder;
    const char* p;
    Py_ssize_t n;
    if (!alphabet_key_bytes(a->use_utf8, key, &holder, &p, &n)) return nullptr;
    int id = lookup_bytes(a, p, n, key);
    return id < 0 ? nullptr : PyLong_FromLong(id);
}

int alph_contains(PyObject* self, PyObject* key) {
    StringAlphabetObject* a = as_alph(self);
    Ref holder;
    const char* p;
    Py_ssize_t n;
    if (!alphabet_key_bytes(a->use_utf8, key, &holder, &p, &n)) return -1;
    return a->map.find(p, static_cast<std::size_t>(n)) >= 0;
}

Py_ssize_t alph_len(PyObject* self) { return op_size(self); }

PyObject* alph_repr(PyObject* self) {
    StringAlphabetObject* a = as_alph(self);
    return PyUnicode_FromFormat("<StringAlphabet: %zu words, %s, %s>", a->map.size(),
                                a->map.growing ? "growing" : "frozen", a->use_utf8 ? "UTF-8" : "ISO-8859-15");
}

// --- methods -----------------------------------------------------------------

PyObject* alph_get_sym(PyObject* self, PyObject* arg) {
    int32_t n;
    if (!check_id(as_alph(self), arg, &n)) return nullptr;
    return op_get_sym(self, n);
}

PyObject* alph_num2sym(PyObject* self, PyObject* arg) {
    StringAlphabetObject* a = as_alph(self);
    int32_t n;
    if (!check_id(a, arg, &n)) return nullptr;
    return PyBytes_FromStringAndSize(a->map.word(n), static_cast<Py_ssize_t>(a->map.word_len(n)));
}

PyObject* alph_sym2num(PyObject* self, PyObject* arg) { return alph_subscript(self, arg); }

// The stored bytes of word n in UTF-8 (transcoded for ISO-8859-15 alphabets).
bool utf8_bytes(StringAlphabetObject* a, int32_t n, Ref* holder, const char** p, Py_ssize_t* len) {
    *p = a->map.word(n);
    *len = static_cast<Py_ssize_t>(a->map.word_len(n));
    if (a->use_utf8) return true;
    Ref text(alphabet_decode(0, *p, static_cast<std::size_t>(*len)));
    if (!text) return false;
    *p = PyUnicode_AsUTF8AndSize(text.get(), len);
    *holder = std::move(text);
    return *p != nullptr;
}

bool write_chunk(PyObject* f, std::string& buf) {
    Ref data(PyBytes_FromStringAndSize(buf.data(), static_cast<Py_ssize_t>(buf.size())));
    if (!data) return false;
    buf.clear();
    return write_all(f, data.get());
}

PyObject* alph_tofile_utf8(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"f", nullptr};
    static const ArgSpec spec{"tofile_utf8", names, 0, 1};
    PyObject* a[1];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    StringAlphabetObject* alph = as_alph(self);
    // f.write is Python code that may change the alphabet: the words counted
    // in the header are written, and only while they are still the same.
    const std::size_t count = alph->map.size();
    const uint64_t generation = alph->map.generation;
    std::string buf;
    QV_TRY
    buf.append(FILE_MAGIC);
    buf.append(std::to_string(count));
    buf.push_back('\n');
    for (std::size_t i = 0; i < count; ++i) {
        if (alph->map.generation != generation) {
            PyErr_SetString(PyExc_RuntimeError, "the alphabet changed while tofile_utf8 was writing it");
            return nullptr;
        }
        Ref holder;
        const char* p;
        Py_ssize_t n;
        if (!utf8_bytes(alph, static_cast<int32_t>(i), &holder, &p, &n)) return nullptr;
        buf.append(std::to_string(n));
        buf.push_back(' ');
        buf.append(p, static_cast<std::size_t>(n));
        buf.push_back('\n');
        if (buf.size() >= (1u << 20) && !write_chunk(a[0], buf)) return nullptr;
    }
    QV_CATCH(nullptr)
    if (!buf.empty() && !write_chunk(a[0], buf)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* bad_file(const char* what) {
    PyErr_Format(PyExc_ValueError, "not a quorvex alphabet file: %s", what);
    return nullptr;
}

// Reads a decimal number followed by `stop`; advances pos.
bool read_number(const char* data, std::size_t size, std::size_t& pos, char stop, uint64_t* out) {
    std::size_t start = pos;
    uint64_t v = 0;
    while (pos < size && data[pos] >= '0' && data[pos] <= '9' && pos - start < 19) v = v * 10 + (data[pos++] - '0');
    if (pos == start || pos >= size || data[pos] != stop) return false;
    ++pos;
    *out = v;
    return true;
}

// Replaces the alphabet's words by those of a file written by tofile_utf8:
// word i of the file gets id i. The file is read and checked completely
// before anything changes.
PyObject* alph_fromfile_utf8(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"f", nullptr};
    static const ArgSpec spec{"fromfile_utf8", names, 0, 1};
    PyObject* a[1];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    StringAlphabetObject* alph = as_alph(self);
    Ref content(PyObject_CallMethod(a[0], "read", nullptr));
    if (!content) return nullptr;
    if (!PyBytes_Check(content.get())) {
        PyErr_Format(PyExc_TypeError, "fromfile_utf8 needs a binary file (read() gave %.200s, not bytes)",
                     Py_TYPE(content.get())->tp_name);
        return nullptr;
    }
    const char* data = PyBytes_AS_STRING(content.get());
    std::size_t size = static_cast<std::size_t>(PyBytes_GET_SIZE(content.get()));
    const std::size_t magic_len = sizeof FILE_MAGIC - 1;
    if (size < magic_len || std::memcmp(data, FILE_MAGIC, magic_len) != 0) return bad_file("missing header");
    std::size_t pos = magic_len;
    uint64_t count;
    if (!read_number(data, size, pos, '\n', &count)) return bad_file("bad word count");
    if (count > static_cast<uint64_t>(CPPAlphabet::MAX_WORDS) || count > size) return bad_file("bad word count");
    CPPAlphabet fresh;
    QV_TRY
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t len;
        if (!read_number(data, size, pos, ' ', &len)) return bad_file("bad word length (truncated file?)");
        if (len > size - pos || size - pos - len < 1 || data[pos + len] != '\n') return bad_file("truncated word list");
        const char* word = data + pos;
        Ref holder;
        Py_ssize_t n = static_cast<Py_ssize_t>(len);
        if (!alph->use_utf8) {
            Ref text(PyUnicode_DecodeUTF8(word, n, "strict"));
            if (!text) return nullptr;
            holder = Ref(PyUnicode_AsEncodedString(text.get(), "iso8859-15", "strict"));
            if (!holder) return nullptr;
            word = PyBytes_AS_STRING(holder.get());
            n = PyBytes_GET_SIZE(holder.get());
        }
        uint64_t h = hash_bytes(word, static_cast<std::size_t>(n));
        if (fresh.find(word, static_cast<std::size_t>(n), h) >= 0) {
            PyErr_Format(PyExc_ValueError, "not a quorvex alphabet file: word %llu repeats an earlier word",
                         static_cast<unsigned long long>(i));
            return nullptr;
        }
        fresh.insert_new(word, static_cast<std::size_t>(n), h);
        pos += len + 1;
    }
    QV_CATCH(nullptr)
    if (pos != size) return bad_file("trailing data after the word list");
    fresh.growing = alph->map.growing;
    alph->map.swap(fresh);
    Py_RETURN_NONE;
}

PyObject* alph_reduce(PyObject* self, PyObject*) {
    StringAlphabetObject* a = as_alph(self);
    Ref words(PyList_New(static_cast<Py_ssize_t>(a->map.size())));
    if (!words) return nullptr;
    for (std::size_t i = 0; i < a->map.size(); ++i) {
        int32_t id = static_cast<int32_t>(i);
        PyObject* w = PyBytes_FromStringAndSize(a->map.word(id), static_cast<Py_ssize_t>(a->map.word_len(id)));
        if (!w) return nullptr;
        PyList_SET_ITEM(words.get(), static_cast<Py_ssize_t>(i), w);
    }
    return Py_BuildValue("(O(O)(Oi))", reinterpret_cast<PyObject*>(Py_TYPE(self)), a->use_utf8 ? Py_True : Py_False,
                         words.get(), a->map.growing ? 1 : 0);
}

// state: (list of word bytes in id order, growing flag)
PyObject* alph_setstate(PyObject* self, PyObject* state) {
    StringAlphabetObject* a = as_alph(self);
    PyObject *words, *growing;
    if (!PyTuple_Check(state)) {  // PyArg_ParseTuple would raise SystemError
        PyErr_Format(PyExc_TypeError, "__setstate__ needs a (words, growing) tuple, not %.200s",
                     Py_TYPE(state)->tp_name);
        return nullptr;
    }
    if (!PyArg_ParseTuple(state, "OO:__setstate__", &words, &growing)) return nullptr;
    int grow;
    if (!to_flag(growing, &grow)) return nullptr;
    Ref seq(PySequence_Fast(words, "StringAlphabet state needs a word list"));
    if (!seq) return nullptr;
    CPPAlphabet fresh;
    QV_TRY
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        PyObject* w = PySequence_Fast_GET_ITEM(seq.get(), i);
        if (!PyBytes_Check(w)) {
            PyErr_SetString(PyExc_TypeError, "StringAlphabet state words must be bytes");
            return nullptr;
        }
        std::size_t n = static_cast<std::size_t>(PyBytes_GET_SIZE(w));
        uint64_t h = hash_bytes(PyBytes_AS_STRING(w), n);
        if (fresh.find(PyBytes_AS_STRING(w), n, h) >= 0) {
            PyErr_SetString(PyExc_ValueError, "StringAlphabet state repeats a word");
            return nullptr;
        }
        fresh.insert_new(PyBytes_AS_STRING(w), n, h);
    }
    QV_CATCH(nullptr)
    fresh.growing = grow != 0;
    a->map.swap(fresh);
    Py_RETURN_NONE;
}

PyObject* alph_get_growing(PyObject* self, void*) { return PyBool_FromLong(as_alph(self)->map.growing); }

int alph_set_growing(PyObject* self, PyObject* value, void*) {
    if (!value) return raise_cannot_delete();
    int flag;
    if (!to_flag(value, &flag)) return -1;
    as_alph(self)->map.growing = flag != 0;
    return 0;
}

PyObject* alph_get_use_utf8(PyObject* self, void*) { return PyBool_FromLong(as_alph(self)->use_utf8); }

PyObject* alph_get_words(PyObject* self, void*);

PyObject* alph_memory(PyObject* self, PyObject*) { return PyLong_FromSize_t(as_alph(self)->map.memory_bytes()); }

PyMethodDef alph_methods[] = {
    {"get_sym", alph_get_sym, METH_O, "get_sym($self, n, /)\n--\n\n-> the word with id n, as text."},
    {"num2sym", alph_num2sym, METH_O, "num2sym($self, n, /)\n--\n\n-> the stored bytes of the word with id n."},
    {"sym2num", alph_sym2num, METH_O,
     "sym2num($self, word, /)\n--\n\n-> the word's id (added while growing); same as alph[word]."},
    {"tofile_utf8", reinterpret_cast<PyCFunction>(alph_tofile_utf8), METH_FASTCALL | METH_KEYWORDS,
     "tofile_utf8($self, f)\n--\n\n"
     "Writes every word, in id order, to the binary file f.\n\n"
     "Format (version 1): the line 'quorvex-alphabet 1', the word count on a line of its own,\n"
     "then per word its UTF-8 byte length, a blank, the bytes and a newline."},
    {"fromfile_utf8", reinterpret_cast<PyCFunction>(alph_fromfile_utf8), METH_FASTCALL | METH_KEYWORDS,
     "fromfile_utf8($self, f)\n--\n\n"
     "Replaces the words by those of a file written by tofile_utf8, so that\n"
     "every word gets the id it had when saved. The whole file is checked first: a truncated or\n"
     "foreign file raises ValueError and leaves the alphabet unchanged. `growing` is kept."},
    {"memory_bytes", alph_memory, METH_NOARGS,
     "memory_bytes($self, /)\n--\n\n-> bytes held by the table and the word arena."},
    {"__reduce__", alph_reduce, METH_NOARGS, "__reduce__($self, /)\n--\n\n"},
    {"__setstate__", alph_setstate, METH_O, "__setstate__($self, state, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef alph_getset[] = {
    {"growing", alph_get_growing, alph_set_growing, "whether unknown words are added on lookup (False freezes)",
     nullptr},
    {"use_utf8", alph_get_use_utf8, nullptr, "whether text is stored as UTF-8 (else ISO-8859-15)", nullptr},
    {"words", alph_get_words, nullptr, "the words by id, as a read-only sequence of text", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMappingMethods alph_mapping = {alph_len, alph_subscript, nullptr};

PySequenceMethods alph_sequence = [] {
    PySequenceMethods m{};
    m.sq_length = alph_len;
    m.sq_contains = alph_contains;
    return m;
}();

// --- the `words` view --------------------------------------------------------

struct WordsView {
    PyObject_HEAD
    PyObject* alphabet;
};

PyObject* alph_get_words(PyObject* self, void*) {
    WordsView* v = PyObject_GC_New(WordsView, &AlphabetWords_Type);
    if (!v) return nullptr;
    Py_INCREF(self);
    v->alphabet = self;
    PyObject_GC_Track(v);
    return reinterpret_cast<PyObject*>(v);
}

PyObject* view_alphabet(PyObject* self) { return reinterpret_cast<WordsView*>(self)->alphabet; }

Py_ssize_t words_len(PyObject* self) { return op_size(view_alphabet(self)); }

PyObject* words_item(PyObject* self, Py_ssize_t i) {
    PyObject* alph = view_alphabet(self);
    if (i < 0 || i >= op_size(alph)) {
        PyErr_SetString(PyExc_IndexError, "word id out of range");
        return nullptr;
    }
    return op_get_sym(alph, static_cast<int>(i));
}

PyObject* words_iter(PyObject* self) { return alphabet_iter_new(view_alphabet(self)); }

PyObject* words_repr(PyObject* self) {
    Ref lst(PySequence_List(self));
    return lst ? PyObject_Repr(lst.get()) : nullptr;
}

PyObject* words_richcompare(PyObject* self, PyObject* other, int op) {
    Ref lst(PySequence_List(self));
    if (!lst) return nullptr;
    return PyObject_RichCompare(lst.get(), other, op);
}

void words_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(reinterpret_cast<WordsView*>(self)->alphabet);
    PyObject_GC_Del(self);
}

int words_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<WordsView*>(self)->alphabet);
    return 0;
}

PySequenceMethods words_sequence = [] {
    PySequenceMethods m{};
    m.sq_length = words_len;
    m.sq_item = words_item;
    return m;
}();

}  // namespace

PyTypeObject StringAlphabet_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject AlphabetWords_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};

bool ready_string_alphabet() {
    PyTypeObject& t = StringAlphabet_Type;
    t.tp_name = "quorvex.alphabet.StringAlphabet";
    t.tp_basicsize = sizeof(StringAlphabetObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    t.tp_doc =
        "StringAlphabet(want_utf8=True)\n--\n\n"
        "A growing two-way map between words and ids 0, 1, 2, ...\n\n"
        "alph[word] gives the word's id, adding it while the alphabet grows and raising KeyError\n"
        "when it is absent from a frozen one (growing = False); `word in alph` never adds.\n"
        "Words are str (stored as UTF-8, or ISO-8859-15 when want_utf8 is false) or bytes (stored\n"
        "as they are). `words[i]` gives word i back as text.";
    t.tp_base = &AbstractAlphabet_Type;
    t.tp_new = alph_new;
    t.tp_init = alph_init;
    t.tp_dealloc = alph_dealloc;
    t.tp_repr = alph_repr;
    t.tp_as_mapping = &alph_mapping;
    t.tp_as_sequence = &alph_sequence;
    t.tp_methods = alph_methods;
    t.tp_getset = alph_getset;
    if (PyType_Ready(&t) < 0) return false;

    PyTypeObject& w = AlphabetWords_Type;
    w.tp_name = "quorvex.alphabet.AlphabetWords";
    w.tp_basicsize = sizeof(WordsView);
    w.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    w.tp_doc = "Read-only live view of a StringAlphabet's words by id.";
    w.tp_dealloc = words_dealloc;
    w.tp_traverse = words_traverse;
    w.tp_repr = words_repr;
    w.tp_richcompare = words_richcompare;
    w.tp_iter = words_iter;
    w.tp_as_sequence = &words_sequence;
    return PyType_Ready(&w) == 0;
}

}  // namespace qv
