// ItemCursor: walks a sequence one item at a time, as a for loop over it
// sees it. An exact list is read by index (re-reading its size, so items
// appended meanwhile are seen and changes cannot read outside it), an
// exact tuple by index as well; anything else goes through its iterator.
#ifndef QUORVEX_COMMON_ITEM_CURSOR_H
#define QUORVEX_COMMON_ITEM_CURSOR_H

#include "common/ref.h"

namespace qv {

class ItemCursor {
public:
    // False with a Python error when seq cannot be iterated.
    bool start(PyObject* seq) {
        pos_ = 0;
        indexed_ = PyList_CheckExact(seq) || PyTuple_CheckExact(seq);
        seq_ = indexed_ ? Ref::borrow(seq) : Ref(PyObject_GetIter(seq));
        return static_cast<bool>(seq_);
    }
    // Whether the sequence is a list or tuple read by index (no Python code
    // runs while it is walked).
    bool indexed() const { return indexed_; }
    // 1 with *item set, 0 at the end, -1 on error.
    int next(Ref* item) {
        if (indexed_) {
            PyObject* s = seq_.get();
            const bool list = PyList_CheckExact(s);
            if (pos_ >= (list ? PyList_GET_SIZE(s) : PyTuple_GET_SIZE(s))) return 0;
            *item = Ref::borrow(list ? PyList_GET_ITEM(s, pos_) : PyTuple_GET_ITEM(s, pos_));
            ++pos_;
            return 1;
        }
        *item = Ref(PyIter_Next(seq_.get()));
        if (*item) return 1;
        return PyErr_Occurred() ? -1 : 0;
    }
    // The items still to come (*rest points at the next one), borrowed
    // from the list or tuple; none for an iterator. Meant for prefetching:
    // the sequence may change before they are reached.
    Py_ssize_t ahead(PyObject* const** rest) const {
        if (!indexed_) return 0;
        PyObject* s = seq_.get();
        const bool list = PyList_CheckExact(s);
        const Py_ssize_t n = (list ? PyList_GET_SIZE(s) : PyTuple_GET_SIZE(s)) - pos_;
        if (n <= 0) return 0;
        *rest =
            (list ? reinterpret_cast<PyListObject*>(s)->ob_item : reinterpret_cast<PyTupleObject*>(s)->ob_item) + pos_;
        return n;
    }

private:
    Ref seq_;  // the list or tuple, or the iterator
    Py_ssize_t pos_ = 0;
    bool indexed_ = false;
};

}  // namespace qv

#endif
