// The exact error messages of the Python interface, in one place.
#ifndef QUORVEX_COMMON_ERRORS_H
#define QUORVEX_COMMON_ERRORS_H

#include "common/ref.h"

namespace qv {

// TypeError "Argument 'name' has incorrect type (expected T, got U)".
// Returns false after setting the error when obj is not an instance of tp
// (None passes only when none_ok).
bool check_arg_type(PyObject* obj, PyTypeObject* tp, const char* name, bool none_ok);
// TypeError "Cannot convert U to T" for typed attributes and fields.
// Returns false after setting the error.
bool check_convert(PyObject* obj, PyTypeObject* tp, bool none_ok);
// ZeroDivisionError "float division"; returns nullptr.
PyObject* raise_float_division();
// NotImplementedError "__del__" for numeric attributes; returns -1.
int raise_cannot_delete();
// Reports the pending exception as unraisable, in the context of the
// operation's qualified name (for example "quorvex.feature.FeatureList.get_p_norm").
void report_unraisable(const char* qualname);
// Sets MemoryError for a failed native allocation; returns nullptr.
PyObject* raise_no_memory();

// Converts a C++ exception escaping from pure C++ code into a Python error.
// Use inside a catch(...) block.
void set_error_from_exception();

// Python-style unpacking of obj into exactly n items (ValueError with the
// interpreter's messages otherwise). Returns false on error.
bool unpack_exact(PyObject* obj, Py_ssize_t n, Ref* out);

// Keeps the pending exception aside while other calls run, and puts it back
// when it goes out of scope, replacing any error those calls left. When no
// exception was pending, nothing is kept and nothing is put back.
//
//   PendingError keep;            // the error of the write...
//   if (!flush()) PyErr_Clear();  // ...wins over one of the flush
class PendingError {
public:
    PendingError();
    ~PendingError() { restore(); }
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;

    explicit operator bool() const;
    // The kept exception instance (borrowed), or nullptr when none was pending.
    PyObject* value();
    // Hands the kept exception instance, with its traceback, to the caller
    // (a new reference or nullptr); nothing is put back afterwards.
    PyObject* take();
    // Puts the kept exception back now.
    void restore();
    // Drops the kept exception; the indicator stays as it is.
    void discard();

private:
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc_;
#else
    void normalize();
    PyObject *type_, *value_, *tb_;
#endif
};

}  // namespace qv

// Wraps a block of C++ code that may throw (std::bad_alloc and friends)
// so that the exception becomes a Python error and `fail` is returned.
#define QV_TRY try {
#define QV_CATCH(fail)                    \
    }                                     \
    catch (...) {                         \
        ::qv::set_error_from_exception(); \
        return fail;                      \
    }

#endif
