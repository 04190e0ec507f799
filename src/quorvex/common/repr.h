// Short reprs: a class name and the sizes and parameters that tell objects
// apart, never the whole content of a large object.
//
//   return ReprBuilder(self).value("n", PyLong_FromLong(n)).attr("timestep", "timestep").finish();
//     -> "AvgPer(n=3, timestep=0)"
//
// Containers print all their items while they have at most kReprItems of
// them, else the first kReprItems and their length:
//   "SparseVectorD([(0, 1.0), (1, 1.0), ..., (9, 1.0), ...], len=1234)"
#ifndef QUORVEX_COMMON_REPR_H
#define QUORVEX_COMMON_REPR_H

#include <string>

#include "common/ref.h"

namespace qv {

constexpr Py_ssize_t kReprItems = 10;  // items a container's repr shows
constexpr Py_ssize_t kReprChars = 40;  // characters a part's repr keeps ("..." ends a cut one)

// Builds "Name(key=value, ...)" with Name the short name of the object's
// type. The first failing step leaves its Python error set; finish() then
// returns nullptr.
class ReprBuilder {
public:
    explicit ReprBuilder(PyObject* self);
    // key=repr(value), cut to kReprChars; value is a new reference (consumed),
    // nullptr meaning a raised error. A null key writes the value alone.
    ReprBuilder& value(const char* key, PyObject* value);
    // key=repr(self.<attribute>)
    ReprBuilder& attr(const char* key, const char* attribute);
    // key=len(obj) (obj a new reference, consumed); key=None for None and
    // key=repr(obj) for an object without a length.
    ReprBuilder& length(const char* key, PyObject* obj);
    // key=text, verbatim.
    ReprBuilder& text(const char* key, const char* text);
    // The repr as a new str, or nullptr after an error.
    PyObject* finish();

private:
    void start_part(const char* key);
    PyObject* self_;
    std::string out_;
    bool ok_ = true;
    bool first_ = true;
};

// The short name of an object's type (after the last dot of tp_name).
const char* short_type_name(PyObject* self);

// "Name([first kReprItems items of iter(self), each cut to kReprChars, ...], len=n)".
PyObject* head_repr(PyObject* self, Py_ssize_t n);

// A container's repr: Full(self) when it has at most kReprItems items and
// is not longer than they may be, else head_repr.
template <PyObject* (*Full)(PyObject*)>
PyObject* short_container_repr(PyObject* self) {
    Py_ssize_t n = PyObject_Length(self);
    if (n < 0) return nullptr;
    if (n > kReprItems) return head_repr(self, n);
    Ref full(Full(self));
    if (!full || PyUnicode_GET_LENGTH(full.get()) <= kReprItems * kReprChars) return full.release();
    return head_repr(self, n);
}

}  // namespace qv

#endif
