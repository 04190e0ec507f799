// Generic getset descriptors for fields of native objects. Each PyGetSetDef
// carries a pointer to a qv::Field describing where the field lives (and,
// for typed object fields, the type it must hold) as its closure:
//
//   static const qv::Field scale_field{offsetof(FComboObject, scale)};
//   {"scale", qv::get_double, qv::set_double, "doc", qv::closure(scale_field)},
//
// Deletion rules: object fields become None; numeric fields refuse with
// NotImplementedError("__del__"); read-only fields have no setter.
#ifndef QUORVEX_COMMON_GETSET_H
#define QUORVEX_COMMON_GETSET_H

#include <cstddef>

#include "common/ref.h"

namespace qv {

struct Field {
    Py_ssize_t offset;
    PyTypeObject** type = nullptr;  // for typed object fields: the required type
    bool none_ok = true;
};

// The closure of a getset entry over the field f (which must outlive the
// type: a namespace-scope or static Field).
inline void* closure(const Field& f) { return const_cast<Field*>(&f); }

template <class T>
inline T& field_at(PyObject* self, const void* closure) {
    return *reinterpret_cast<T*>(reinterpret_cast<char*>(self) + static_cast<const Field*>(closure)->offset);
}

PyObject* get_object(PyObject* self, void* closure);
int set_object(PyObject* self, PyObject* value, void* closure);        // any object
int set_typed_object(PyObject* self, PyObject* value, void* closure);  // Field::type or None
PyObject* get_double(PyObject* self, void* closure);
int set_double(PyObject* self, PyObject* value, void* closure);
PyObject* get_int32(PyObject* self, void* closure);
int set_int32(PyObject* self, PyObject* value, void* closure);
PyObject* get_int64(PyObject* self, void* closure);
PyObject* get_flag(PyObject* self, void* closure);  // an int field read as bool
int set_flag(PyObject* self, PyObject* value, void* closure);

}  // namespace qv

#endif
