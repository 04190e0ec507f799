#include "feature/combine/vector_memo.h"

#include <cstring>
#include <utility>

#include "feature/combine/fcombo.h"

namespace qv {

namespace {

// Appends the bytes of one name (a UTF-8 str) to the key; false when the
// item cannot be part of a key.
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

bool VectorMemo::current(FComboObject* fc) const {
    return fc->dict == dict_.get() && as_alph(fc->dict)->map.generation == generation_ && fc->n == order_ &&
           fc->bias_item == bias_;
}

bool VectorMemo::build_key(PyObject* flist) {
    std::string* key = &scratch_;
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
        if (!PyTuple_CheckExact(item) || PyTuple_GET_SIZE(item) != 2) return false;
        PyObject* name = PyTuple_GET_ITEM(item, 0);
        PyObject* value = PyTuple_GET_ITEM(item, 1);
        double v;
        if (PyFloat_CheckExact(value)) {
            v = PyFloat_AS_DOUBLE(value);
        } else if (PyLong_CheckExact(value)) {
            v = PyLong_AsDouble(value);
            if (v == -1.0 && PyErr_Occurred()) {
                PyErr_Clear();
                return false;
            }
        } else {
            return false;
        }
        if (!PyUnicode_CheckExact(name) || !append_name(name, key)) return false;
        append_value(v, key);
    }
    return true;
}

bool VectorMemo::items_key(PyObject* flist, ItemsKey* key) {
    Py_ssize_t n = PyList_GET_SIZE(flist);
    if (n > kMaxItems) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(flist, i);
        if (!is_immutable_feature(item)) return false;
        key->item[i] = item;
    }
    key->n = n;
    return true;
}

void VectorMemo::forget() {
    vectors_.clear();
    for (ItemsEntry& e : by_items_) {
        e.vector.reset();
        for (Ref& r : e.item) r.reset();
    }
}

PyObject* VectorMemo::find_by_items(FComboObject* fc, PyObject* flist) {
    if (by_items_.empty() || !PyList_CheckExact(flist) || !fc->dict || !dict_is_native(fc->dict)) return nullptr;
    const StringAlphabetObject* alph = as_alph(fc->dict);
    if (alph->map.growing || !alph->use_utf8 || !current(fc)) return nullptr;
    ItemsKey ik;
    if (!items_key(flist, &ik)) return nullptr;
    const ItemsEntry& e = by_items_[items_hash(ik) % kItemSlots];
    return e.vector && e.key == ik ? e.vector.new_ref() : nullptr;
}

PyObject* VectorMemo::find(FComboObject* fc, PyObject* flist, std::string* key) {
    key->clear();
    if (!PyList_CheckExact(flist)) return nullptr;
    Py_ssize_t n = PyList_GET_SIZE(flist);
    if (n > kMaxItems || !dict_is_native(fc->dict)) return nullptr;
    const StringAlphabetObject* alph = as_alph(fc->dict);
    if (alph->map.growing || !alph->use_utf8) return nullptr;
    const bool is_current = current(fc);
    ItemsKey ik;
    if (is_current && !by_items_.empty() && items_key(flist, &ik)) {
        const ItemsEntry& e = by_items_[items_hash(ik) % kItemSlots];
        if (e.vector && e.key == ik) return e.vector.new_ref();
    }
    if (!build_key(flist)) return nullptr;
    if (!is_current) {
        clear();  // stale: nor should it keep an old dictionary alive
    } else {
        auto found = vectors_.find(hash_bytes(scratch_.data(), scratch_.size()));
        if (found != vectors_.end() && found->second.key == scratch_) {
            keep_items(flist, found->second.vector.get());
            return found->second.vector.new_ref();
        }
    }
    *key = scratch_;
    return nullptr;
}

void VectorMemo::clear() {
    forget();
    dict_.reset();
}

void VectorMemo::keep_items(PyObject* flist, PyObject* v) {
    ItemsKey ik;
    if (!items_key(flist, &ik)) return;
    if (by_items_.empty()) by_items_.resize(kItemSlots);
    ItemsEntry& e = by_items_[items_hash(ik) % kItemSlots];
    // The new references are taken before the old ones are dropped.
    Ref hold[kMaxItems];
    for (Py_ssize_t i = 0; i < kMaxItems; ++i) {
        hold[i] = Ref::borrow(i < ik.n ? ik.item[i] : nullptr);
        std::swap(hold[i], e.item[i]);
    }
    Ref vec = Ref::borrow(v);
    std::swap(vec, e.vector);
    e.key = ik;
}

void VectorMemo::keep(FComboObject* fc, std::string&& key, PyObject* flist, PyObject* v) {
    if (key.empty() || !dict_is_native(fc->dict) || as_alph(fc->dict)->map.growing) return;
    // Python code run while v was made (an override, say) may have changed
    // the list: v is kept only if it still matches the key it was looked
    // up under.
    if (!PyList_CheckExact(flist) || !build_key(flist) || scratch_ != key) return;
    if (!current(fc)) {
        forget();
        dict_ = Ref::borrow(fc->dict);
        generation_ = as_alph(fc->dict)->map.generation;
        order_ = fc->n;
        bias_ = fc->bias_item;
    }
    if (vectors_.size() >= kMaxEntries) vectors_.clear();
    uint64_t h = hash_bytes(key.data(), key.size());
    vectors_[h] = Entry{std::move(key), Ref::borrow(v)};
    keep_items(flist, v);
}

}  // namespace qv
