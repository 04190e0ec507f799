#include "common/args.h"

#include <climits>
#include <cstring>

namespace qv {

namespace {

int count_names(const ArgSpec& spec) {
    int n = 0;
    while (spec.names[n]) ++n;
    return n;
}

bool too_many_positional(const ArgSpec& spec, int total, Py_ssize_t given) {
    const char* how = spec.required == total ? "exactly" : "at most";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %s %d positional argument%s (%zd given)", spec.fname, how, total,
                 total == 1 ? "" : "s", given);
    return false;
}

bool missing(const ArgSpec& spec, int total, int index) {
    PyErr_Format(PyExc_TypeError, "%.200s() missing required argument '%s' (pos %d)", spec.fname, spec.names[index],
                 index + 1);
    (void)total;
    return false;
}

// Stores one keyword argument; false on error.
bool place_keyword(const ArgSpec& spec, int total, PyObject* key, PyObject* value, PyObject** out) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.fname);
        return false;
    }
    for (int i = spec.positional_only; i < total; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, spec.names[i]) == 0) {
            if (out[i]) {
                PyErr_Format(PyExc_TypeError, "%.200s() got multiple values for keyword argument '%U'", spec.fname,
                             key);
                return false;
            }
            out[i] = value;
            return true;
        }
    }
    PyErr_Format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%U'", spec.fname, key);
    return false;
}

bool check_required(const ArgSpec& spec, int total, PyObject** out) {
    for (int i = 0; i < spec.required; ++i)
        if (!out[i]) return missing(spec, total, i);
    return true;
}

}  // namespace

bool parse_args(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    const int total = count_names(spec);
    if (nargs > total) return too_many_positional(spec, total, nargs);
    for (int i = 0; i < total; ++i) out[i] = i < nargs ? args[i] : nullptr;
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            if (!place_keyword(spec, total, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
    }
    return check_required(spec, total, out);
}

bool parse_tuple(const ArgSpec& spec, PyObject* args, PyObject* kwds, PyObject** out) {
    const int total = count_names(spec);
    Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    if (nargs > total) return too_many_positional(spec, total, nargs);
    for (int i = 0; i < total; ++i) out[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
    if (kwds) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwds, &pos, &key, &value))
            if (!place_keyword(spec, total, key, value, out)) return false;
    }
    return check_required(spec, total, out);
}

bool parse_none(const char* fname, PyObject* args, PyObject* kwds) {
    if (args && PyTuple_GET_SIZE(args) > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes exactly 0 positional arguments (%zd given)", fname,
                     PyTuple_GET_SIZE(args));
        return false;
    }
    if (kwds && PyDict_GET_SIZE(kwds) > 0) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        PyDict_Next(kwds, &pos, &key, &value);
        PyErr_Format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%S'", fname, key);
        return false;
    }
    return true;
}

bool to_int32(PyObject* obj, int32_t* out) {
    long v = PyLong_AsLong(obj);
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < INT32_MIN || v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    *out = static_cast<int32_t>(v);
    return true;
}

bool to_uint32(PyObject* obj, uint32_t* out) {
    if (!PyLong_Check(obj)) {
        Ref idx(PyNumber_Index(obj));
        if (!idx) return false;
        return to_uint32(idx.get(), out);
    }
    if (Py_SIZE(obj) < 0) {
        PyErr_SetString(PyExc_OverflowError, "can't convert negative value to unsigned int");
        return false;
    }
    unsigned long v = PyLong_AsUnsignedLong(obj);
    if (v == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
    if (v > UINT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to unsigned int");
        return false;
    }
    *out = static_cast<uint32_t>(v);
    return true;
}

bool to_double(PyObject* obj, double* out) {
    double v = PyFloat_CheckExact(obj) ? PyFloat_AS_DOUBLE(obj) : PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) return false;
    *out = v;
    return true;
}

PyObject* fixed_sequence(PyObject* obj, const char* message) {
    if (PyList_Check(obj)) return PyList_AsTuple(obj);
    return PySequence_Fast(obj, message);
}

bool to_flag(PyObject* obj, int* out) {
    int t = PyObject_IsTrue(obj);
    if (t < 0) return false;
    *out = t;
    return true;
}

}  // namespace qv
