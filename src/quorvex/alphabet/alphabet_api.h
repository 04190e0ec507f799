// Instance layouts of quorvex.alphabet's types and the C API table the
// module publishes in its "_C_API" capsule.
//
// A StringAlphabet stores words as bytes: str keys are encoded in UTF-8
// (with surrogateescape, so every byte string round-trips through its
// decoded text) when use_utf8 is set, else in ISO-8859-15; bytes and
// bytearray keys are used as they are.
#ifndef QUORVEX_ALPHABET_API_H
#define QUORVEX_ALPHABET_API_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/module_util.h"
#include "common/ref.h"
#include "cxx_alph.h"

namespace qv {

// The internal operations of every alphabet, in table order.
struct AlphabetOps {
    Py_ssize_t (*size)(PyObject* self);
    // Id of a NUL-terminated word (added while growing); -1 with KeyError
    // when absent from a frozen alphabet, or another error.
    int (*sym2num)(PyObject* self, const char* word);
    // The word's bytes; n must be below size(). Valid until the next insertion.
    const char* (*num2sym)(PyObject* self, int n);
    // The word as a Python object (new reference).
    PyObject* (*get_sym)(PyObject* self, int n);
};

struct AbstractAlphabetObject {
    PyObject_HEAD
    const AlphabetOps* ops;
};

struct StringAlphabetObject {
    AbstractAlphabetObject base;
    int use_utf8;
    CPPAlphabet map;  // constructed in tp_new, destroyed in tp_dealloc
};

struct PythonAlphabetObject {
    AbstractAlphabetObject base;
    PyObject* mapping;  // dict: word -> id
    PyObject* words;    // list: id -> word
    int growing;
};

// The bytes that a StringAlphabet with the given encoding stores for key
// (a str, bytes or bytearray). *holder keeps any temporary alive. Returns
// false with TypeError/UnicodeEncodeError set.
inline bool alphabet_key_bytes(int use_utf8, PyObject* key, Ref* holder, const char** p, Py_ssize_t* n) {
    if (PyUnicode_Check(key)) {
        if (use_utf8) {
            *p = PyUnicode_AsUTF8AndSize(key, n);
            if (*p) return true;
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
            PyErr_Clear();  // lone surrogates: fall back to surrogateescape
            *holder = Ref(PyUnicode_AsEncodedString(key, "utf-8", "surrogateescape"));
        } else {
            *holder = Ref(PyUnicode_AsEncodedString(key, "iso8859-15", "strict"));
        }
        if (!*holder) return false;
        *p = PyBytes_AS_STRING(holder->get());
        *n = PyBytes_GET_SIZE(holder->get());
        return true;
    }
    if (PyBytes_Check(key)) {
        *p = PyBytes_AS_STRING(key);
        *n = PyBytes_GET_SIZE(key);
        return true;
    }
    if (PyByteArray_Check(key)) {
        *p = PyByteArray_AS_STRING(key);
        *n = PyByteArray_GET_SIZE(key);
        return true;
    }
    PyErr_Format(PyExc_TypeError, "alphabet words must be str or bytes, not %.200s", Py_TYPE(key)->tp_name);
    return false;
}

// The text of stored bytes under the alphabet's encoding (new reference).
inline PyObject* alphabet_decode(int use_utf8, const char* p, std::size_t n) {
    Py_ssize_t len = static_cast<Py_ssize_t>(n);
    return use_utf8 ? PyUnicode_DecodeUTF8(p, len, "surrogateescape")
                    : PyUnicode_Decode(p, len, "iso8859-15", "strict");
}

static const uint32_t ALPHABET_API_VERSION = 1;

struct AlphabetAPI {
    uint32_t version;
    uint32_t size;
    PyTypeObject *AbstractAlphabet, *Alphabet_iter, *PythonAlphabet, *StringAlphabet;
};

// Imports quorvex.alphabet's table and checks the types' instance sizes;
// ImportError on any mismatch.
inline const AlphabetAPI* import_alphabet() {
    const char* mod = "quorvex.alphabet";
    auto* api = static_cast<const AlphabetAPI*>(import_api(mod, ALPHABET_API_VERSION, sizeof(AlphabetAPI)));
    if (!api) return nullptr;
    if (!check_sibling_type(api->AbstractAlphabet, mod, "AbstractAlphabet", sizeof(AbstractAlphabetObject)) ||
        !check_sibling_type(api->Alphabet_iter, mod, "Alphabet_iter", -1) ||
        !check_sibling_type(api->PythonAlphabet, mod, "PythonAlphabet", sizeof(PythonAlphabetObject)) ||
        !check_sibling_type(api->StringAlphabet, mod, "StringAlphabet", sizeof(StringAlphabetObject)))
        return nullptr;
    return api;
}

// `import alphabet`: the package's quorvex.alphabet first, then a
// top-level module of that name (new reference).
inline PyObject* import_alphabet_package() {
    PyObject* mod = PyImport_ImportModule("quorvex.alphabet");
    if (!mod && PyErr_ExceptionMatches(PyExc_ImportError)) {
        PyErr_Clear();
        mod = PyImport_ImportModule("alphabet");
    }
    return mod;
}

}  // namespace qv

#endif
