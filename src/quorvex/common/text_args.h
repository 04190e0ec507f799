// Refusing a str or bytes where a collection of items is expected: Python
// would iterate it character by character (fc("dog") would combine the
// features d, g and o), which is never what the caller meant.
#ifndef QUORVEX_COMMON_TEXT_ARGS_H
#define QUORVEX_COMMON_TEXT_ARGS_H

#include "common/ref.h"

namespace qv {

// Whether obj is a str, bytes or bytearray (or a subclass of one).
bool is_text(PyObject* obj);
// TypeError "<param> must be a collection of <items>, not str (put a single
// one in a list)" when obj is text; true otherwise (also for nullptr).
bool refuse_text(PyObject* obj, const char* param, const char* items);

}  // namespace qv

#endif
