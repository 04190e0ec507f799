// Comparisons with Python's own semantics for user objects.
#ifndef QUORVEX_COMMON_COMPARE_H
#define QUORVEX_COMMON_COMPARE_H

#include "common/ref.h"

namespace qv {

// The truth of `a != b` (-1 on error). Unlike PyObject_RichCompareBool
// there is no shortcut for identical operands (so a NaN differs from
// itself, as `!=` says), and both operands are held for the call, so a
// comparison that drops their last other references cannot free them
// under us.
inline int py_ne(PyObject* a, PyObject* b) {
    Ref hold_a = Ref::borrow(a), hold_b = Ref::borrow(b);
    Ref r(PyObject_RichCompare(a, b, Py_NE));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

}  // namespace qv

#endif
