#include "common/py_writer.h"

#include "common/errors.h"
#include "common/interned.h"

namespace qv {

bool PyWriter::put_object(PyObject* x) {
    if (PyUnicode_Check(x)) {
        Py_ssize_t n;
        const char* p = PyUnicode_AsUTF8AndSize(x, &n);
        if (p) {
            put(p, static_cast<std::size_t>(n));
            return true;
        }
        if (mode_ == Mode::Bytes || !PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
        PyErr_Clear();  // text with lone surrogates goes out as it is
        return flush() && write(x);
    }
    if (mode_ == Mode::Bytes && PyBytes_Check(x)) {
        put(PyBytes_AS_STRING(x), static_cast<std::size_t>(PyBytes_GET_SIZE(x)));
        return true;
    }
    return flush() && write(x);
}

bool PyWriter::flush() {
    if (buf_.empty()) return true;
    const Py_ssize_t n = static_cast<Py_ssize_t>(buf_.size());
    Ref run(mode_ == Mode::Bytes ? PyBytes_FromStringAndSize(buf_.data(), n)
                                 : PyUnicode_DecodeUTF8(buf_.data(), n, nullptr));
    buf_.clear();
    return run && write(run.get());
}

void PyWriter::flush_keeping_error() {
    PendingError keep;
    if (!flush()) PyErr_Clear();
}

bool PyWriter::write(PyObject* x) { return write_all(file_, x); }

bool write_all(PyObject* file, PyObject* data) {
    static Interned write_name("write");
    PyObject* name = write_name.get();
    if (!name) return false;
    Py_ssize_t left = PyObject_Length(data);
    if (left < 0) return false;
    Ref rest = Ref::borrow(data);
    for (;;) {
        Ref r(PyObject_CallMethodOneArg(file, name, rest.get()));
        if (!r) return false;
        if (!PyLong_Check(r.get())) return true;
        const Py_ssize_t n = PyLong_AsSsize_t(r.get());
        if (n == -1 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
            PyErr_Clear();
            return true;  // far beyond what was given
        }
        if (n >= left || n < 0) return true;
        if (n == 0) {
            PyErr_Format(PyExc_OSError, "the file's write took none of the %zd items it was given", left);
            return false;
        }
        rest = Ref(PySequence_GetSlice(rest.get(), n, left));
        if (!rest) return false;
        left -= n;
    }
}

}  // namespace qv
