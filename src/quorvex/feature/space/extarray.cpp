// ExtensibleArray: a growable one-dimensional NumPy array. Writing past
// the end grows the storage to 1.25 times the written position, reading
// past the end gives 0, and do_remap compacts the used positions with a
// keep/drop mask.
#include <algorithm>
#include <cstring>
#include <vector>

#include "common/args.h"
#include "common/buffer_view.h"
#include "common/dispatch.h"
#include "common/errors.h"
#include "feature/reprs.h"
#include "feature/space/extarray.h"

namespace qv {

namespace {

ExtensibleArrayObject* as_ea(PyObject* o) { return reinterpret_cast<ExtensibleArrayObject*>(o); }

const Py_ssize_t INITIAL_CAPACITY = 16;

// numpy.zeros(n, tp) (new reference).
PyObject* numpy_zeros(Py_ssize_t n, PyObject* tp) {
    static PyObject* zeros = nullptr;  // numpy.zeros, kept for the module's lifetime
    if (!zeros) {
        Ref numpy(PyImport_ImportModule("numpy"));
        if (!numpy) return nullptr;
        zeros = PyObject_GetAttrString(numpy.get(), "zeros");
        if (!zeros) return nullptr;
    }
    Ref count(PyLong_FromSsize_t(n));
    if (!count) return nullptr;
    PyObject* args[] = {count.get(), tp};
    return PyObject_Vectorcall(zeros, args, 2, nullptr);
}

// --- do_remap ------------------------------------------------------------------

struct ViewGuard {
    View1D v{};
    ~ViewGuard() { view_release(v); }
};

struct BufferGuard {
    Py_buffer b{};
    bool held = false;
    ~BufferGuard() {
        if (held) PyBuffer_Release(&b);
    }
};

// Moves item `from` of values to `to`, keeping the item it overwrites in
// `displaced`: dropping it there could run its __del__, and with it any
// code on the array, in the middle of the remap.
bool move_item(PyObject* values, Py_ssize_t to, PyObject* item, std::vector<Ref>& displaced) {
    Ref old(PySequence_GetItem(values, to));
    if (!old) return false;
    QV_TRY displaced.push_back(std::move(old));
    QV_CATCH(false)
    return PySequence_SetItem(values, to, item) == 0;
}

// The storage moved element by element through Python indexing, for
// element types whose bytes cannot be copied (Python objects). The items
// it overwrites are released only once the remap is complete.
int remap_generic(ExtensibleArrayObject* self, PyObject* values, const View1D& filt, int32_t old_max) {
    std::vector<Ref> displaced;
    int32_t k = 0;
    for (int32_t i = 0; i < old_max; ++i) {
        if (i >= filt.len) {
            raise_out_of_bounds();
            return -1;
        }
        if (filt.at<int8_t>(i) == 0) continue;
        if (k != i) {
            Ref item(PySequence_GetItem(values, i));
            if (!item || !move_item(values, k, item.get(), displaced)) return -1;
        }
        ++k;
    }
    Ref zero(PyLong_FromLong(0));
    if (!zero) return -1;
    for (int32_t i = k; i < old_max; ++i)
        if (!move_item(values, i, zero.get(), displaced)) return -1;
    self->max_pos = k;
    return 0;
}

int remap_native(ExtensibleArrayObject* self, PyObject* filt) {
    ViewGuard mask;
    if (!view_set(mask.v, filt, Elem::Int8, false)) return -1;
    const int32_t old_max = self->max_pos;
    if (old_max <= 0) {
        self->max_pos = 0;
        return 0;
    }
    Ref values = Ref::borrow(self->values);
    BufferGuard store;
    if (PyObject_GetBuffer(values.get(), &store.b, PyBUF_STRIDES | PyBUF_FORMAT | PyBUF_WRITABLE) < 0) {
        PyErr_Clear();
        return remap_generic(self, values.get(), mask.v, old_max);
    }
    store.held = true;
    const Py_buffer& b = store.b;
    bool plain = b.ndim == 1 && b.shape && b.shape[0] >= old_max && !(b.format && std::strchr(b.format, 'O'));
    if (!plain) return remap_generic(self, values.get(), mask.v, old_max);
    char* base = static_cast<char*>(b.buf);
    const Py_ssize_t stride = b.strides ? b.strides[0] : b.itemsize;
    const std::size_t item = static_cast<std::size_t>(b.itemsize);
    int32_t k = 0;
    for (int32_t i = 0; i < old_max; ++i) {
        if (i >= mask.v.len) {
            raise_out_of_bounds();
            return -1;
        }
        if (mask.v.at<int8_t>(i) == 0) continue;
        if (k != i) std::memmove(base + k * stride, base + i * stride, item);
        ++k;
    }
    // Zero bytes are the zero of every numeric (and string) element type.
    for (int32_t i = k; i < old_max; ++i) std::memset(base + i * stride, 0, item);
    self->max_pos = k;
    return 0;
}

Overridable op_remap_name{"do_remap"};

int op_do_remap(ExtensibleArrayObject* self, PyObject* filt) {
    PyObject* me = reinterpret_cast<PyObject*>(self);
    int r = find_override(me, &ExtensibleArray_Type, op_remap_name);
    if (r < 0) return -1;
    if (r == 0) return remap_native(self, filt);
    PyObject* args[] = {filt};
    Ref result(call_override(me, op_remap_name, args, 1));
    return result ? 0 : -1;
}

const ExtensibleArrayOps ea_ops = {op_do_remap};

// --- type slots ---------------------------------------------------------------------

PyObject* ea_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    ExtensibleArrayObject* ea = as_ea(self);
    ea->ops = &ea_ops;
    Py_INCREF(Py_None);
    ea->values = Py_None;
    Py_INCREF(Py_None);
    ea->tp = Py_None;
    return self;
}

int ea_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* const names[] = {"tp", nullptr};
    static const ArgSpec spec{"ExtensibleArray", names, 0, 0};
    PyObject* a[1];
    if (!parse_tuple(spec, args, kwds, a)) return -1;
    Ref tp;
    if (a[0]) {
        tp = Ref::borrow(a[0]);
    } else {
        tp = Ref(PyUnicode_FromString("i"));
        if (!tp) return -1;
    }
    Ref values(numpy_zeros(INITIAL_CAPACITY, tp.get()));
    if (!values) return -1;
    ExtensibleArrayObject* ea = as_ea(self);
    set_field(ea->values, values.release());
    set_field(ea->tp, tp.release());
    ea->max_pos = 0;
    return 0;
}

int ea_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_ea(self)->values);
    Py_VISIT(as_ea(self)->tp);
    return 0;
}

int ea_clear(PyObject* self) {
    Py_CLEAR(as_ea(self)->values);
    Py_CLEAR(as_ea(self)->tp);
    return 0;
}

void ea_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    ea_clear(self);
    Py_TYPE(self)->tp_free(self);
}

PyObject* values_of(ExtensibleArrayObject* ea) { return ea->values ? ea->values : Py_None; }

Py_ssize_t ea_length(PyObject* self) { return as_ea(self)->max_pos; }

PyObject* ea_subscript(PyObject* self, PyObject* pos) {
    Ref values = Ref::borrow(values_of(as_ea(self)));
    Py_ssize_t cap = PyObject_Length(values.get());
    if (cap < 0) return nullptr;
    Ref cap_obj(PyLong_FromSsize_t(cap));
    if (!cap_obj) return nullptr;
    int past_end = PyObject_RichCompareBool(pos, cap_obj.get(), Py_GE);
    if (past_end < 0) return nullptr;
    if (past_end) return PyLong_FromLong(0);
    return PyObject_GetItem(values.get(), pos);
}

int store_at(ExtensibleArrayObject* ea, int32_t pos, PyObject* val, bool retry);

// The storage was replaced by Python code run while val was being stored:
// store again, once (RuntimeError when it is replaced a second time).
int store_again(ExtensibleArrayObject* ea, int32_t pos, PyObject* val, bool retry) {
    if (!retry) {
        PyErr_SetString(PyExc_RuntimeError, "the ExtensibleArray was changed again while a value was stored in it");
        return -1;
    }
    return store_at(ea, pos, val, false);
}

// a[pos] = val for a valid position.
int store_at(ExtensibleArrayObject* ea, int32_t pos, PyObject* val, bool retry) {
    Ref values = Ref::borrow(values_of(ea));
    Py_ssize_t cap = PyObject_Length(values.get());
    if (cap < 0) return -1;
    if (pos >= cap) {
        // Grow to 1.25 times the position; on failure the old storage stays.
        Py_ssize_t ncap = std::max<Py_ssize_t>(static_cast<Py_ssize_t>(pos * 1.25), static_cast<Py_ssize_t>(pos) + 1);
        // Held: reading the element type may run Python code (a dtype
        // attribute) that replaces it, and the storage with it.
        Ref tp = Ref::borrow(ea->tp ? ea->tp : Py_None);
        Ref fresh(numpy_zeros(ncap, tp.get()));
        if (!fresh) return -1;
        if (values.get() != ea->values) return store_again(ea, pos, val, retry);
        if (cap > 0 && PySequence_SetSlice(fresh.get(), 0, cap, values.get()) < 0) return -1;
        set_field(ea->values, fresh.release());
    }
    Ref k(PyLong_FromLong(pos));
    if (!k) return -1;
    // Storing converts val, which may run Python code (even __init__ on
    // this array, or a write that grows it): the storage is held across the
    // call, and len() moves only once the value is in.
    Ref target = Ref::borrow(values_of(ea));
    if (PyObject_SetItem(target.get(), k.get(), val) < 0) return -1;
    if (target.get() != ea->values) {
        // That code replaced the storage, so the value went into the old
        // one: store it again as converted, which runs no Python code.
        Ref converted(PyObject_GetItem(target.get(), k.get()));
        return converted ? store_again(ea, pos, converted.get(), retry) : -1;
    }
    if (pos >= ea->max_pos) ea->max_pos = pos + 1;
    return 0;
}

int ea_ass_subscript(PyObject* self, PyObject* key, PyObject* val) {
    if (!val) {
        PyErr_Format(PyExc_NotImplementedError, "Subscript deletion not supported by %.200s", Py_TYPE(self)->tp_name);
        return -1;
    }
    int32_t pos;
    if (!to_int32(key, &pos)) return -1;
    if (pos < 0) {
        // A write counts from the start only: a negative position would land
        // in the hidden capacity past len() and surface later elsewhere.
        PyErr_Format(PyExc_IndexError, "ExtensibleArray position must not be negative (got %d)", pos);
        return -1;
    }
    if (pos == INT32_MAX) {
        // len() (max_pos = pos + 1) must stay a 32-bit int.
        PyErr_SetString(PyExc_OverflowError, "ExtensibleArray positions must be below 2**31 - 1");
        return -1;
    }
    return store_at(as_ea(self), pos, val, true);
}

PyObject* ea_get_array(PyObject* self, PyObject*) {
    ExtensibleArrayObject* ea = as_ea(self);
    return PySequence_GetSlice(values_of(ea), 0, ea->max_pos);
}

PyObject* ea_do_remap(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"filt", nullptr};
    static const ArgSpec spec{"do_remap", names, 0, 1};
    PyObject* a[1];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    if (remap_native(as_ea(self), a[0]) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef ea_methods[] = {
    {"get_array", ea_get_array, METH_NOARGS,
     "get_array($self, /)\n--\n\n"
     "-> the used positions as a NumPy view (values[:len(self)]); it shares storage\n"
     "with the array until the next growth."},
    {"do_remap", reinterpret_cast<PyCFunction>(ea_do_remap), METH_FASTCALL | METH_KEYWORDS,
     "do_remap($self, filt)\n--\n\n"
     "Keeps the used positions whose entry of filt (a 1-d int8 buffer) is\n"
     "non-zero, moved to the front in their old order; the rest of the used part becomes 0 and\n"
     "len() the number kept. A mask shorter than len() raises IndexError after moving the\n"
     "positions before its end (len() then unchanged)."},
    {nullptr, nullptr, 0, nullptr}};

PyMappingMethods ea_mapping = {ea_length, ea_subscript, ea_ass_subscript};

// Integer indexing from native code (PySequence_GetItem) goes through the
// same __getitem__. No sq_length: a negative index reaches it unchanged and
// counts from the end of the capacity, as a[-1] does.
PyObject* ea_item(PyObject* self, Py_ssize_t i) {
    Ref pos(PyLong_FromSsize_t(i));
    return pos ? ea_subscript(self, pos.get()) : nullptr;
}

PySequenceMethods ea_sequence = [] {
    PySequenceMethods m{};
    m.sq_item = ea_item;
    return m;
}();

// Iteration covers the used part (reads past it would give 0 forever).
PyObject* ea_iter(PyObject* self) {
    Ref used(ea_get_array(self, nullptr));
    return used ? PyObject_GetIter(used.get()) : nullptr;
}

}  // namespace

PyTypeObject ExtensibleArray_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};

bool ready_extensible_array() {
    PyTypeObject& t = ExtensibleArray_Type;
    t.tp_name = "quorvex.feature.ExtensibleArray";
    t.tp_basicsize = sizeof(ExtensibleArrayObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc =
        "ExtensibleArray(tp='i')\n--\n\n"
        "A growable one-dimensional NumPy array of element type tp (capacity 16 at first).\n"
        "a[pos] = val stores val, growing the capacity to int(1.25 * pos) when pos is past the end;\n"
        "a[pos] past the capacity reads 0; len(a) is one more than the highest position written\n"
        "(positions must be below 2**31 - 1). get_array() returns the used part, do_remap(mask)\n"
        "compacts it.";
    t.tp_new = ea_new;
    t.tp_repr = extensible_array_repr;
    t.tp_init = ea_init;
    t.tp_dealloc = ea_dealloc;
    t.tp_traverse = ea_traverse;
    t.tp_clear = ea_clear;
    t.tp_as_mapping = &ea_mapping;
    t.tp_as_sequence = &ea_sequence;
    t.tp_iter = ea_iter;
    t.tp_methods = ea_methods;
    return PyType_Ready(&t) == 0;
}

}  // namespace qv
