// One argument parser for every method (METH_FASTCALL | METH_KEYWORDS) and
// constructor (tp_init) of the package.
//
//   static const char* const names[] = {"n", "mydict", nullptr};
//   static const qv::ArgSpec spec{"FCombo", names, 0, 1};
//   PyObject* v[2];
//   if (!qv::parse_args(spec, args, nargs, kwnames, v)) return nullptr;
//
// Afterwards v[i] is the borrowed argument, or nullptr when an optional
// one was not given. The first `positional_only` parameters cannot be given
// by keyword; the first `required` must be given.
#ifndef QUORVEX_COMMON_ARGS_H
#define QUORVEX_COMMON_ARGS_H

#include "common/ref.h"

namespace qv {

struct ArgSpec {
    const char* fname;         // function name used in messages
    const char* const* names;  // parameter names, nullptr-terminated
    int positional_only;
    int required;
};

bool parse_args(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
// The same for the (tuple, dict) convention of tp_init and tp_call.
bool parse_tuple(const ArgSpec& spec, PyObject* args, PyObject* kwds, PyObject** out);
// Refuses any argument (for constructors without parameters).
bool parse_none(const char* fname, PyObject* args, PyObject* kwds);

// Numeric conversions with the interface's overflow rules.
bool to_int32(PyObject* obj, int32_t* out);
bool to_uint32(PyObject* obj, uint32_t* out);
bool to_double(PyObject* obj, double* out);
// Truth value; false on error.
bool to_flag(PyObject* obj, int* out);

// PySequence_Fast whose items stay put: a list is copied into a tuple, so
// that Python code run while the items are read (an item's __float__,
// __index__, __lt__...) can neither shrink it nor free an item under the
// reader. message is the TypeError of what is no sequence.
PyObject* fixed_sequence(PyObject* obj, const char* message);

}  // namespace qv

#endif
