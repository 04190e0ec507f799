// PyWriter: output for a Python file object, gathered in a buffer and handed
// to its write method in runs. A run ends where the caller flushes (before
// anything other code could observe) and at the end, so the file sees the
// output in the order it arises, only in fewer pieces.
#ifndef QUORVEX_COMMON_PY_WRITER_H
#define QUORVEX_COMMON_PY_WRITER_H

#include <cstddef>
#include <string>

#include "common/ref.h"

namespace qv {

// Hands data (bytes or str) to file.write until the file has taken all of
// it. A write may take less than it is given (a raw file near a full disk,
// a pipe): it then gets the rest, and a write that takes nothing is an
// OSError. A result that is not an int (None, which many file-like objects
// return) counts as everything taken, as does a count beyond what was given.
bool write_all(PyObject* file, PyObject* data);

class PyWriter {
public:
    enum class Mode {
        Bytes,  // runs go out as bytes (a binary stream)
        Text,   // runs go out as str decoded from UTF-8 (a text stream)
    };

    PyWriter(PyObject* file, Mode mode) : file_(file), mode_(mode) {}
    PyWriter(const PyWriter&) = delete;
    PyWriter& operator=(const PyWriter&) = delete;

    // Appends raw UTF-8 (text mode) or bytes; throws std::bad_alloc when the
    // buffer cannot grow.
    void put(const char* s) { buf_.append(s); }
    void put(const char* p, std::size_t n) { buf_.append(p, n); }

    // Appends a str as UTF-8 and, in bytes mode, a bytes object as it is.
    // Anything else goes to write on its own after what is pending, and so
    // does, in text mode, a str that has no UTF-8 form (lone surrogates).
    bool put_object(PyObject* x);

    // Hands what is pending to write.
    bool flush();
    // Hands what is pending to write after an error, keeping that error (an
    // error of the write itself is dropped).
    void flush_keeping_error();

private:
    bool write(PyObject* x);

    PyObject* file_;
    Mode mode_;
    std::string buf_;
};

}  // namespace qv

#endif
