// The non-template parts of the shared learner core (learner.h): gradient
// items, NumPy calls, dense copies, weight adoption and weight files.
#include "learn/learner.h"

#include <cstring>
#include <utility>
#include <vector>

#include "common/errors.h"
#include "common/getset.h"
#include "common/py_writer.h"

namespace qv {

bool gradient_pair(PyObject* item, double* a, SparseVectorD** vec, Ref* hold) {
    Ref kv[2];
    if (!unpack_exact(item, 2, kv) || !to_double(kv[0].get(), a) ||
        !check_convert(kv[1].get(), sparsmat->SparseVectorD, false))
        return false;
    *vec = reinterpret_cast<SparseVectorD*>(kv[1].get());
    *hold = std::move(kv[1]);
    return true;
}

bool check_vec_arg(PyObject* obj, const char* name) {
    return check_arg_type(obj, sparsmat->SparseVectorD, name, false);
}

PyObject* call_numpy(const char* fn, std::initializer_list<PyObject*> args) {
    Ref f(PyObject_GetAttrString(learn_numpy, fn));
    if (!f) return nullptr;
    return PyObject_Vectorcall(f.get(), args.begin(), args.size(), nullptr);
}

PyObject* new_zeros(int32_t n, const char* code) {
    Ref len(PyLong_FromLong(n));
    Ref tc(PyUnicode_FromString(code));
    if (!len || !tc) return nullptr;
    return call_numpy("zeros", {len.get(), tc.get()});
}

bool pin_view(View1D& v, PyObject* obj, Elem elem, bool writable) {
    PyObject* guard = nullptr;
    if (PyType_SUPPORTS_WEAKREFS(Py_TYPE(obj))) {
        guard = PyWeakref_NewRef(obj, nullptr);
        if (!guard) return false;
    }
    // The old view's extra reference and guard, dropped once it is replaced
    // (view_set clears the whole record).
    PyObject* old = v.buf.obj;
    PyObject* old_guard = v.resize_guard;
    if (!view_set(v, obj, elem, writable)) {
        Py_XDECREF(guard);
        return false;
    }
    Py_INCREF(obj);
    v.resize_guard = guard;
    Py_XDECREF(old);
    Py_XDECREF(old_guard);
    return true;
}

void unpin_view(View1D& v) {
    PyObject* old = v.buf.obj;
    PyObject* old_guard = v.resize_guard;
    view_release(v);
    Py_XDECREF(old);
    Py_XDECREF(old_guard);
}

bool fresh_arrays(int32_t n, std::initializer_list<ArraySlot> slots) {
    QV_TRY
    std::vector<Ref> made;
    made.reserve(slots.size());
    for (const ArraySlot& slot : slots) {
        made.emplace_back(new_zeros(n, slot.code));
        if (!made.back()) return false;
    }
    std::size_t k = 0;
    for (const ArraySlot& slot : slots) {
        const Elem elem = slot.code[0] == 'l' ? Elem::Int64 : Elem::Float64;
        if (!pin_view(*slot.view, made[k++].get(), elem, true)) return false;
    }
    return true;
    QV_CATCH(false)
}

int visit_views(std::initializer_list<const View1D*> views, visitproc visit, void* arg) {
    for (const View1D* v : views) {
        Py_VISIT(v->buf.obj);  // the buffer's reference
        Py_VISIT(v->buf.obj);  // and the extra one of pin_view
    }
    return 0;
}

void release_views(std::initializer_list<View1D*> views) {
    for (View1D* v : views) unpin_view(*v);
}

namespace {

// The element pointer and length of a float64 array we just created.
struct OwnedArray {
    Ref obj;
    double* data = nullptr;
    Py_ssize_t len = 0;
};

bool array_data(PyObject* arr, OwnedArray* out) {
    Py_buffer b;
    if (PyObject_GetBuffer(arr, &b, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) return false;
    out->data = static_cast<double*>(b.buf);
    out->len = b.len / static_cast<Py_ssize_t>(sizeof(double));
    PyBuffer_Release(&b);  // the array object itself keeps the memory
    return true;
}

// numpy.zeros(end - start) filled from src[start:end].
bool fill_slice(const View1D& src, int start, int end, OwnedArray* out) {
    const long long want = static_cast<long long>(end) - start;
    Ref len(PyLong_FromLongLong(want));
    Ref tc(PyUnicode_FromString("d"));
    if (!len || !tc) return false;
    out->obj = Ref(call_numpy("zeros", {len.get(), tc.get()}));
    if (!out->obj || !array_data(out->obj.get(), out)) return false;
    if (!src.valid()) return raise_view_not_initialized();
    Py_ssize_t s = start, e = end;
    const Py_ssize_t have = PySlice_AdjustIndices(src.len, &s, &e, 1);
    if (have != want) {
        PyErr_Format(PyExc_ValueError, "could not broadcast input array from shape (%zd,) into shape (%lld,)", have,
                     want);
        return false;
    }
    const Strided<double> a(src);
    for (Py_ssize_t i = 0; i < have; ++i) out->data[i] = a[static_cast<std::size_t>(s + i)];
    return true;
}

}  // namespace

PyObject* dense_slice(const View1D& src, int start, int end, bool scale, double factor) {
    OwnedArray out;
    if (!fill_slice(src, start, end, &out)) return nullptr;
    if (scale)
        for (Py_ssize_t i = 0; i < out.len; ++i) out.data[i] *= factor;
    return out.obj.release();
}

PyObject* averaged_slice(const View1D& avg, int start, int end, int64_t timestep) {
    OwnedArray out;
    if (!fill_slice(avg, start, end, &out)) return nullptr;
    if (timestep == 0) return raise_float_division();
    const double r = 1.0 / static_cast<double>(timestep);
    for (Py_ssize_t i = 0; i < out.len; ++i) out.data[i] *= r;
    return out.obj.release();
}

bool adopt_weights(View1D& weights, View1D& avg, PyObject* obj, bool copy) {
    if (!weights.valid()) return raise_view_not_initialized();
    const Py_ssize_t n = PyObject_Length(obj);
    if (n < 0) return false;
    if (n != weights.len) {
        PyErr_SetNone(PyExc_ValueError);
        return false;
    }
    // Check the buffer before anything changes (a list has none: TypeError;
    // another element type or dimension count: ValueError; a read-only
    // array shared without copy: the exporter's error, since update writes
    // into it).
    View1D probe{};
    if (!view_set(probe, obj, Elem::Float64, !copy)) return false;
    const bool same_length = probe.len == n;
    view_release(probe);
    if (!same_length) {
        PyErr_SetNone(PyExc_ValueError);
        return false;
    }
    Ref tc(PyUnicode_FromString("d"));
    Ref avg_copy(tc ? call_numpy("array", {obj, tc.get()}) : nullptr);
    if (!avg_copy) return false;
    Ref own;
    if (copy) {
        own = Ref(call_numpy("array", {obj, tc.get()}));
        if (!own) return false;
    }
    if (!pin_view(avg, avg_copy.get(), Elem::Float64, true)) return false;
    return pin_view(weights, copy ? own.get() : obj, Elem::Float64, true);
}

PyObject* averaged_weights(const View1D& avg, const View1D& weights, int64_t timestep) {
    if (timestep == 0) {
        // No step yet: the average of no weights is taken to be the
        // current weights (0 / 0 would make every weight NaN).
        Ref w(view_object(weights));
        Ref tc(PyUnicode_FromString("d"));
        if (!w || !tc) return nullptr;
        return call_numpy("array", {w.get(), tc.get()});
    }
    Ref obj(view_object(avg));
    if (!obj) return nullptr;
    Ref arr(call_numpy("asarray", {obj.get()}));
    Ref t(PyLong_FromLongLong(timestep));
    if (!arr || !t) return nullptr;
    return PyNumber_TrueDivide(arr.get(), t.get());
}

// The .npy image of array is made in memory first, so that a failing
// numpy.save leaves no half-written file, and a path is written through a
// temporary file renamed over it, so that a failing write leaves none
// either. `target` is a path (str, bytes or
// os.PathLike: the file is created under exactly that name) or a writable
// file object (written to, left open); anything else is a TypeError, and in
// particular an int is never taken for a file descriptor.
bool save_array(PyObject* array, PyObject* target) {
    Ref path(PyOS_FSPath(target));
    if (!path) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        PyErr_Clear();
        int writable = PyObject_HasAttrString(target, "write");
        if (!writable || PyLong_Check(target)) {
            PyErr_Format(PyExc_TypeError, "save_binary needs a path or a writable file object, not %.200s",
                         Py_TYPE(target)->tp_name);
            return false;
        }
    }
    Ref io(PyImport_ImportModule("io"));
    Ref image(io ? PyObject_CallMethod(io.get(), "BytesIO", nullptr) : nullptr);
    if (!image) return false;
    Ref saved(call_numpy("save", {image.get(), array}));
    Ref data(saved ? PyObject_CallMethod(image.get(), "getvalue", nullptr) : nullptr);
    if (!data) return false;
    if (!path) return write_all(target, data.get());
    // A file at path is replaced whole, or not at all if writing fails.
    Ref atomic(PyImport_ImportModule("quorvex._atomic"));
    return atomic && Ref(PyObject_CallMethod(atomic.get(), "write_bytes", "OO", path.get(), data.get()));
}

bool print_line(const char* stream, const char* text) {
    PyObject* f = PySys_GetObject(stream);  // borrowed
    if (!f || f == Py_None) return true;
    Ref hold = Ref::borrow(f);
    return PyFile_WriteString(text, f) == 0 && PyFile_WriteString("\n", f) == 0;
}

PyObject* get_view(PyObject* self, void* closure) { return view_object(field_at<View1D>(self, closure)); }

bool dense_args(PyObject* const* a, int* start, int* end, int* testing) {
    int32_t s, e;
    if (!to_int32(a[0], &s) || !to_int32(a[1], &e)) return false;
    *start = s;
    *end = e;
    *testing = 1;
    return !a[2] || to_flag(a[2], testing);
}

}  // namespace qv
