#include "common/errors.h"

#include <new>
#include <stdexcept>

namespace qv {

bool check_arg_type(PyObject* obj, PyTypeObject* tp, const char* name, bool none_ok) {
    if ((none_ok && obj == Py_None) || PyObject_TypeCheck(obj, tp)) return true;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 tp->tp_name, Py_TYPE(obj)->tp_name);
    return false;
}

bool check_convert(PyObject* obj, PyTypeObject* tp, bool none_ok) {
    if ((none_ok && obj == Py_None) || PyObject_TypeCheck(obj, tp)) return true;
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(obj)->tp_name, tp->tp_name);
    return false;
}

PyObject* raise_float_division() {
    PyErr_SetString(PyExc_ZeroDivisionError, "float division");
    return nullptr;
}

int raise_cannot_delete() {
    PyErr_SetString(PyExc_NotImplementedError, "__del__");
    return -1;
}

void report_unraisable(const char* qualname) {
    Ref ctx;
    {
        PendingError keep;
        ctx = Ref(PyUnicode_FromString(qualname));
    }
    PyErr_WriteUnraisable(ctx ? ctx.get() : Py_None);
}

PyObject* raise_no_memory() {
    PyErr_NoMemory();
    return nullptr;
}

void set_error_from_exception() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::overflow_error& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::length_error& e) {
        PyErr_Format(PyExc_OverflowError, "size limit exceeded (%s)", e.what());
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_RuntimeError, "internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "internal error");
    }
}

bool unpack_exact(PyObject* obj, Py_ssize_t n, Ref* out) {
    if ((PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) && PySequence_Fast_GET_SIZE(obj) == n) {
        PyObject** items = PySequence_Fast_ITEMS(obj);
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = Ref::borrow(items[i]);
        return true;
    }
    Ref it(PyObject_GetIter(obj));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(obj)->tp_name);
        }
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        out[i] = Ref(PyIter_Next(it.get()));
        if (!out[i]) {
            if (PyErr_Occurred()) return false;
            PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", i, i == 1 ? "" : "s");
            return false;
        }
    }
    Ref extra(PyIter_Next(it.get()));
    if (extra) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
        return false;
    }
    return !PyErr_Occurred();
}

#if PY_VERSION_HEX >= 0x030C0000

PendingError::PendingError() : exc_(PyErr_GetRaisedException()) {}

PendingError::operator bool() const { return exc_ != nullptr; }

PyObject* PendingError::value() { return exc_; }

PyObject* PendingError::take() {
    PyObject* e = exc_;
    exc_ = nullptr;
    return e;
}

void PendingError::restore() {
    if (!exc_) return;
    PyErr_SetRaisedException(exc_);
    exc_ = nullptr;
}

void PendingError::discard() { Py_CLEAR(exc_); }

#else

PendingError::PendingError() { PyErr_Fetch(&type_, &value_, &tb_); }

PendingError::operator bool() const { return type_ != nullptr; }

void PendingError::normalize() {
    if (!type_) return;
    PyErr_NormalizeException(&type_, &value_, &tb_);
    if (tb_ && value_) PyException_SetTraceback(value_, tb_);
}

PyObject* PendingError::value() {
    normalize();
    return value_;
}

PyObject* PendingError::take() {
    normalize();
    PyObject* v = value_;
    value_ = nullptr;
    Py_CLEAR(type_);
    Py_CLEAR(tb_);
    return v;
}

void PendingError::restore() {
    if (!type_) return;
    PyErr_Restore(type_, value_, tb_);
    type_ = value_ = tb_ = nullptr;
}

void PendingError::discard() {
    Py_CLEAR(type_);
    Py_CLEAR(value_);
    Py_CLEAR(tb_);
}

#endif

}  // namespace qv
