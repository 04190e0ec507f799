#include "common/buffer_view.h"

#include <cstring>

namespace qv {

namespace {

const char* elem_name(Elem e) {
    switch (e) {
    case Elem::Float64: return "double";
    case Elem::Int64: return "long";
    case Elem::Int32: return "int";
    case Elem::Int8: return "signed char";
    }
    return "?";
}

// Strips a native byte-order prefix; returns nullptr for a foreign order.
const char* native_format(const char* fmt) {
    if (!fmt) return "B";
    if (*fmt == '@' || *fmt == '=') return fmt + 1;
    if (*fmt == '<') return __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? fmt + 1 : nullptr;
    if (*fmt == '>' || *fmt == '!') return __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? fmt + 1 : nullptr;
    return fmt;
}

const char* describe_format(const char* fmt) {
    const char* f = native_format(fmt);
    if (!f || f[0] == '\0' || f[1] != '\0') return nullptr;
    switch (f[0]) {
    case 'd': return "double";
    case 'f': return "float";
    case 'e': return "half";
    case 'g': return "long double";
    case 'b': return "signed char";
    case 'B': return "unsigned char";
    case 'h': return "short";
    case 'H': return "unsigned short";
    case 'i': return "int";
    case 'I': return "unsigned int";
    case 'l': return "long";
    case 'L': return "unsigned long";
    case 'q': return "long long";
    case 'Q': return "unsigned long long";
    case '?': return "bool";
    case 'c': return "char";
    case 'O': return "Python object";
    default: return nullptr;
    }
}

bool format_matches(const Py_buffer& b, Elem e) {
    const char* f = native_format(b.format);
    if (!f || f[0] == '\0' || f[1] != '\0') return false;
    switch (e) {
    case Elem::Float64: return f[0] == 'd' && b.itemsize == 8;
    case Elem::Int64: return (f[0] == 'l' || f[0] == 'q') && b.itemsize == 8;
    case Elem::Int32: return (f[0] == 'i' || f[0] == 'l') && b.itemsize == 4;
    case Elem::Int8: return f[0] == 'b' && b.itemsize == 1;
    }
    return false;
}

}  // namespace

bool view_set(View1D& v, PyObject* obj, Elem elem, bool writable) {
    Py_buffer b;
    int flags = PyBUF_FORMAT | PyBUF_STRIDES | (writable ? PyBUF_WRITABLE : 0);
    if (PyObject_GetBuffer(obj, &b, flags) < 0) return false;
    if (b.ndim != 1) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", 1, b.ndim);
        PyBuffer_Release(&b);
        return false;
    }
    if (!format_matches(b, elem)) {
        const char* got = describe_format(b.format);
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s%s%s", "'", elem_name(elem),
                     "'", "'", got ? got : (b.format ? b.format : "B"), "'");
        PyBuffer_Release(&b);
        return false;
    }
    view_release(v);
    v.buf = b;
    v.data = static_cast<char*>(b.buf);
    v.len = b.shape ? b.shape[0] : b.len / b.itemsize;
    v.stride = b.strides ? b.strides[0] : b.itemsize;
    return true;
}

void view_release(View1D& v) {
    if (v.buf.obj) PyBuffer_Release(&v.buf);
    std::memset(&v, 0, sizeof v);
}

PyObject* view_object(const View1D& v) {
    if (!v.valid()) {
        raise_view_not_initialized();
        return nullptr;
    }
    Py_INCREF(v.buf.obj);
    return v.buf.obj;
}

bool raise_out_of_bounds() {
    PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", 0);
    return false;
}

bool raise_feature_out_of_range(uint64_t feature, Py_ssize_t size) {
    PyErr_Format(PyExc_IndexError,
                 "Out of bounds on buffer access (axis %d): feature %llu is out of range for a weight array of %zd", 0,
                 static_cast<unsigned long long>(feature), size);
    return false;
}

bool raise_view_not_initialized() {
    PyErr_SetString(PyExc_AttributeError, "Memoryview is not initialized");
    return false;
}

bool view_check_index(const View1D& v, Py_ssize_t i) {
    if (!v.valid()) return raise_view_not_initialized();
    if (i < 0 || i >= v.len) return raise_out_of_bounds();
    return true;
}

}  // namespace qv
