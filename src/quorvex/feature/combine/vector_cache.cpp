#include "feature/combine/vector_cache.h"

#include <utility>

namespace qv {

namespace {

// Appends the bytes of one name (a str) to the key; false when the name
// cannot be encoded.
bool append_name(PyObject* name, std::string* key) {
    Py_ssize_t n;
    const char* p;
    if (PyUnicode_IS_COMPACT_ASCII(name)) {
        p = static_cast<const char*>(PyUnicode_DATA(name));
        n = PyUnicode_GET_LENGTH(name);
    } else {
        p = PyUnicode_AsUTF8AndSize(name, &n);
        if (!p) {
            PyErr_Clear();
            return false;
        }
    }
    uint32_t len = static_cast<uint32_t>(n);
    key->append(reinterpret_cast<const char*>(&len), sizeof len);
    key->append(p, static_cast<std::size_t>(n));
    return true;
}

void append_value(double v, std::string* key) { key->append(reinterpret_cast<const char*>(&v), sizeof v); }

}  // namespace

bool VectorCache::current(const FComboObject* fc) const {
    const CPPAlphabet& map = as_alph(fc->dict)->map;
    return fc->dict == stamp_.dict.get() && map.generation == stamp_.generation && map.growing == stamp_.growing &&
           fc->n == stamp_.order && fc->bias_item == stamp_.bias;
}

void VectorCache::take_stamp(const FComboObject* fc) {
    const CPPAlphabet& map = as_alph(fc->dict)->map;
    stamp_.dict = Ref::borrow(fc->dict);
    stamp_.generation = map.generation;
    stamp_.growing = map.growing;
    stamp_.order = fc->n;
    stamp_.bias = fc->bias_item;
}

bool VectorCache::items_key(PyObject* flist, IdentityKey<kMaxItems>* key) {
    Py_ssize_t n = PyList_GET_SIZE(flist);
    if (n > kMaxItems) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(flist, i);
        if (!is_immutable_feature(item)) return false;
        key->item[i] = item;
    }
    key->n = static_cast<int>(n);
    return true;
}

bool VectorCache::shared_items(const IdentityKey<kMaxItems>& key) {
    for (int i = 0; i < key.n; ++i)
        if (Py_REFCNT(key.item[i]) < 2) return false;
    return true;
}

bool VectorCache::content_key(PyObject* flist, std::string* key) {
    key->clear();
    Py_ssize_t n = PyList_GET_SIZE(flist);
    key->push_back(static_cast<char>(n));  // never empty, also for an empty list
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(flist, i);
        if (PyUnicode_CheckExact(item)) {
            if (!append_name(item, key)) return false;
            append_value(1.0, key);
            continue;
        }
        PyObject* value = PyTuple_GET_ITEM(item, 1);
        double v;
        if (PyFloat_CheckExact(value)) {
            v = PyFloat_AS_DOUBLE(value);
        } else {
            v = PyLong_AsDouble(value);
            if (v == -1.0 && PyErr_Occurred()) {
                PyErr_Clear();
                return false;
            }
        }
        if (!append_name(PyTuple_GET_ITEM(item, 0), key)) return false;
        append_value(v, key);
    }
    return true;
}

PyObject* VectorCache::find(FComboObject* fc, PyObject* flist, Miss* miss) {
    miss->keepable = false;
    if (!PyList_CheckExact(flist) || !fc->dict || !dict_is_native(fc->dict)) return nullptr;
    if (!items_key(flist, &miss->items)) return nullptr;
    miss->generation = as_alph(fc->dict)->map.generation;
    if (!current(fc)) {
        if (stamp_.dict) clear();  // stale: nor should it keep an old dictionary alive
    } else {
        if (PyObject* v = by_items_.find(miss->items)) return Ref::borrow(v).release();
        if (!content_key(flist, &scratch_)) return nullptr;
        auto found = by_content_.find(scratch_);
        if (found != by_content_.end()) {
            Ref v = Ref::borrow(found->second.get());
            if (shared_items(miss->items)) by_items_.put(miss->items, v.get());
            return v.release();
        }
    }
    miss->keepable = true;
    return nullptr;
}

void VectorCache::keep(FComboObject* fc, PyObject* flist, const Miss& miss, PyObject* v) {
    if (!miss.keepable || !fc->dict || !dict_is_native(fc->dict)) return;
    if (as_alph(fc->dict)->map.generation != miss.generation) return;
    // Python code run while v was made (an override, say) may have changed
    // the list: v is kept only if it still holds the very same items.
    IdentityKey<kMaxItems> now;
    if (!PyList_CheckExact(flist) || !items_key(flist, &now) || !(now == miss.items)) return;
    if (!content_key(flist, &scratch_)) return;
    if (!current(fc)) {
        clear();
        take_stamp(fc);
    }
    if (by_content_.size() >= kMaxEntries) by_content_.clear();
    by_content_[scratch_] = Ref::borrow(v);
    if (shared_items(miss.items)) by_items_.put(miss.items, v);
}

void VectorCache::clear() {
    by_items_.clear();
    std::unordered_map<std::string, Ref> old;
    old.swap(by_content_);
    stamp_.dict.reset();
}

}  // namespace qv
