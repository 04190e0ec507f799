#include "feature/space/stable_hash.h"

#include <cstring>

#include "common/args.h"
#include "common/errors.h"
#include "murmur3.h"

namespace qv {

namespace {

const char* const kNames[] = {"python", "murmur3"};

// The key's bytes: a view into the key itself (str, bytes) or into `hold`
// (the decimal text of an int).
bool key_bytes(PyObject* key, Ref* hold, const char** data, Py_ssize_t* len) {
    if (PyUnicode_Check(key)) {
        *data = PyUnicode_AsUTF8AndSize(key, len);
        return *data != nullptr;
    }
    if (PyBytes_Check(key)) {
        *data = PyBytes_AS_STRING(key);
        *len = PyBytes_GET_SIZE(key);
        return true;
    }
    if (PyLong_Check(key)) {
        // int.__repr__ itself, so that True hashes like 1 (as it does in Python).
        *hold = Ref(PyLong_Type.tp_repr(key));
        if (!*hold) return false;
        *data = PyUnicode_AsUTF8AndSize(hold->get(), len);
        return *data != nullptr;
    }
    PyErr_Format(PyExc_TypeError, "murmur3 hashes str, bytes or int keys, not %.200s", Py_TYPE(key)->tp_name);
    return false;
}

}  // namespace

bool parse_hash_option(PyObject* hash, PyObject* seed, HashOption* out) {
    HashOption opt;
    if (hash && hash != Py_None) {
        if (!PyUnicode_Check(hash)) {
            PyErr_Format(PyExc_TypeError, "hash must be 'python' or 'murmur3', not %.200s", Py_TYPE(hash)->tp_name);
            return false;
        }
        const char* name = PyUnicode_AsUTF8(hash);
        if (!name) return false;
        if (std::strcmp(name, "python") == 0) {
            opt.kind = HashKind::Python;
        } else if (std::strcmp(name, "murmur3") == 0) {
            opt.kind = HashKind::Murmur3;
        } else {
            PyErr_Format(PyExc_ValueError, "hash must be 'python' or 'murmur3', not %R", hash);
            return false;
        }
    }
    if (seed && !to_uint32(seed, &opt.seed)) return false;
    *out = opt;
    return true;
}

PyObject* hash_kind_name(HashKind kind) { return PyUnicode_FromString(kNames[static_cast<int>(kind)]); }

bool murmur3_key(PyObject* key, const std::string& prefix, uint32_t seed, int32_t* out) {
    Ref hold;
    const char* data;
    Py_ssize_t len;
    if (!key_bytes(key, &hold, &data, &len)) return false;
    if (prefix.empty()) {
        *out = murmur3_32_signed(data, static_cast<std::size_t>(len), seed);
        return true;
    }
    std::string joined;
    QV_TRY joined.reserve(prefix.size() + static_cast<std::size_t>(len));
    joined.append(prefix);
    joined.append(data, static_cast<std::size_t>(len));
    QV_CATCH(false)
    *out = murmur3_32_signed(joined.data(), joined.size(), seed);
    return true;
}

bool option_hash(const HashOption& opt, PyObject* key, int64_t* out) {
    if (opt.kind == HashKind::Murmur3) {
        int32_t h;
        if (!murmur3_key(key, std::string(), opt.seed, &h)) return false;
        *out = h;
        return true;
    }
    Py_hash_t h = PyObject_Hash(key);
    if (h == -1 && PyErr_Occurred()) return false;
    *out = static_cast<int64_t>(h);
    return true;
}

}  // namespace qv
