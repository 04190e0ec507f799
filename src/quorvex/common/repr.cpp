#include "common/repr.h"

#include <cstring>

namespace qv {

namespace {

// Appends repr(obj), cut to kReprChars; false on error.
bool append_repr(std::string& out, PyObject* obj) {
    Ref r(PyObject_Repr(obj));
    if (!r) return false;
    if (PyUnicode_GET_LENGTH(r.get()) > kReprChars) {
        Ref head(PyUnicode_Substring(r.get(), 0, kReprChars - 3));
        if (!head) return false;
        r = Ref(PyUnicode_FromFormat("%U...", head.get()));
        if (!r) return false;
    }
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(r.get(), &size);
    if (!utf8) return false;
    out.append(utf8, static_cast<std::size_t>(size));
    return true;
}

}  // namespace

const char* short_type_name(PyObject* self) {
    const char* name = Py_TYPE(self)->tp_name;
    const char* dot = std::strrchr(name, '.');
    return dot ? dot + 1 : name;
}

ReprBuilder::ReprBuilder(PyObject* self) : self_(self), out_(short_type_name(self)) { out_ += '('; }

void ReprBuilder::start_part(const char* key) {
    if (!first_) out_ += ", ";
    first_ = false;
    if (key) {
        out_ += key;
        out_ += '=';
    }
}

ReprBuilder& ReprBuilder::value(const char* key, PyObject* value) {
    Ref held(value);
    if (!ok_) return *this;
    if (!value) {
        ok_ = false;
        return *this;
    }
    start_part(key);
    ok_ = append_repr(out_, value);
    return *this;
}

ReprBuilder& ReprBuilder::attr(const char* key, const char* attribute) {
    return value(key, ok_ ? PyObject_GetAttrString(self_, attribute) : nullptr);
}

ReprBuilder& ReprBuilder::length(const char* key, PyObject* obj) {
    Ref held(obj);
    if (!ok_) return *this;
    if (!obj) {
        ok_ = false;
        return *this;
    }
    if (obj == Py_None) return text(key, "None");
    Py_ssize_t n = PyObject_Length(obj);
    if (n < 0) {
        // Something without a length shows as itself.
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
            ok_ = false;
            return *this;
        }
        PyErr_Clear();
        start_part(key);
        ok_ = append_repr(out_, obj);
        return *this;
    }
    start_part(key);
    out_ += std::to_string(n);
    return *this;
}

ReprBuilder& ReprBuilder::text(const char* key, const char* text) {
    if (!ok_) return *this;
    start_part(key);
    out_ += text;
    return *this;
}

PyObject* ReprBuilder::finish() {
    if (!ok_) return nullptr;
    out_ += ')';
    return PyUnicode_FromStringAndSize(out_.data(), static_cast<Py_ssize_t>(out_.size()));
}

PyObject* head_repr(PyObject* self, Py_ssize_t n) {
    Ref it(PyObject_GetIter(self));
    if (!it) return nullptr;
    std::string out = short_type_name(self);
    out += "([";
    Py_ssize_t shown = 0;
    for (; shown < kReprItems; ++shown) {
        Ref item(PyIter_Next(it.get()));
        if (!item) {
            if (PyErr_Occurred()) return nullptr;
            break;
        }
        if (shown) out += ", ";
        if (!append_repr(out, item.get())) return nullptr;
    }
    if (shown < n) out += shown ? ", ..." : "...";
    out += "], len=" + std::to_string(n) + ")";
    return PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

}  // namespace qv
