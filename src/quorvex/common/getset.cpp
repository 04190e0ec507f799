#include "common/getset.h"

#include "common/args.h"
#include "common/errors.h"

namespace qv {

PyObject* get_object(PyObject* self, void* closure) {
    PyObject* v = field_at<PyObject*>(self, closure);
    if (!v) v = Py_None;
    Py_INCREF(v);
    return v;
}

int set_object(PyObject* self, PyObject* value, void* closure) {
    if (!value) value = Py_None;
    Py_INCREF(value);
    set_field(field_at<PyObject*>(self, closure), value);
    return 0;
}

int set_typed_object(PyObject* self, PyObject* value, void* closure) {
    const Field* f = static_cast<const Field*>(closure);
    if (!value) value = Py_None;
    if (!check_convert(value, *f->type, f->none_ok)) return -1;
    Py_INCREF(value);
    set_field(field_at<PyObject*>(self, closure), value);
    return 0;
}

PyObject* get_double(PyObject* self, void* closure) { return PyFloat_FromDouble(field_at<double>(self, closure)); }

int set_double(PyObject* self, PyObject* value, void* closure) {
    if (!value) return raise_cannot_delete();
    double v;
    if (!to_double(value, &v)) return -1;
    field_at<double>(self, closure) = v;
    return 0;
}

PyObject* get_int32(PyObject* self, void* closure) { return PyLong_FromLong(field_at<int32_t>(self, closure)); }

int set_int32(PyObject* self, PyObject* value, void* closure) {
    if (!value) return raise_cannot_delete();
    int32_t v;
    if (!to_int32(value, &v)) return -1;
    field_at<int32_t>(self, closure) = v;
    return 0;
}

PyObject* get_int64(PyObject* self, void* closure) { return PyLong_FromLongLong(field_at<int64_t>(self, closure)); }

PyObject* get_flag(PyObject* self, void* closure) { return PyBool_FromLong(field_at<int>(self, closure)); }

int set_flag(PyObject* self, PyObject* value, void* closure) {
    if (!value) return raise_cannot_delete();
    return to_flag(value, &field_at<int>(self, closure)) ? 0 : -1;
}

}  // namespace qv
