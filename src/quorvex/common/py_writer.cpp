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

bool PyWriter::write(PyObject* x) {
    static Interned write_name("write");
    PyObject* name = write_name.get();
    return name && Ref(PyObject_CallMethodOneArg(file_, name, x));
}

}  // namespace qv
