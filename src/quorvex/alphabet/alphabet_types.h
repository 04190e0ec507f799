// Internal declarations shared by the files of quorvex.alphabet.
#ifndef QUORVEX_ALPHABET_TYPES_H
#define QUORVEX_ALPHABET_TYPES_H

#include "alphabet/alphabet_api.h"

namespace qv {

extern PyTypeObject AbstractAlphabet_Type;
extern PyTypeObject Alphabet_iter_Type;
extern PyTypeObject PythonAlphabet_Type;
extern PyTypeObject StringAlphabet_Type;
extern PyTypeObject AlphabetWords_Type;

inline const AlphabetOps* alphabet_ops(PyObject* self) { return reinterpret_cast<AbstractAlphabetObject*>(self)->ops; }

// An iterator over the words of an alphabet, by id.
PyObject* alphabet_iter_new(PyObject* alphabet);

bool ready_abstract_alphabet();
bool ready_string_alphabet();
bool ready_python_alphabet();

}  // namespace qv

#endif
