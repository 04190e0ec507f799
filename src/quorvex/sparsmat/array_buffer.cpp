// ArrayBuffer: one typed native array exported through the buffer protocol,
// so that NumPy can wrap it without a copy (see array_buffer.h).
#include "sparsmat/array_buffer.h"

#include <cstdlib>

#include "common/numpy_handles.h"

namespace qv {

namespace {

struct ArrayBufferObject {
    PyObject_HEAD
    void* mem;            // the elements (never null)
    Py_ssize_t n;         // number of elements
    Py_ssize_t itemsize;  // bytes per element
    const char* format;   // buffer-protocol format of an element
    PyObject* owner;      // holds mem, or nullptr when mem is ours (malloc'd)
    int readonly;
};

PyTypeObject ArrayBuffer_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};

// The address exported for an empty array (a buffer never points at null).
char empty_elements[8];

int ab_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* a = reinterpret_cast<ArrayBufferObject*>(self);
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE && a->readonly) {
        PyErr_SetString(PyExc_BufferError, "the array is read-only");
        view->obj = nullptr;
        return -1;
    }
    view->buf = a->mem;
    view->obj = Py_NewRef(self);
    view->len = a->n * a->itemsize;
    view->readonly = a->readonly;
    view->itemsize = a->itemsize;
    view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>(a->format) : nullptr;
    view->ndim = 1;
    view->shape = (flags & PyBUF_ND) == PyBUF_ND ? &a->n : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &a->itemsize : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

void ab_dealloc(PyObject* self) {
    auto* a = reinterpret_cast<ArrayBufferObject*>(self);
    if (a->owner)
        Py_DECREF(a->owner);
    else if (a->mem != empty_elements)
        std::free(a->mem);
    Py_TYPE(self)->tp_free(self);
}

PyBufferProcs ab_buffer = {ab_getbuffer, nullptr};

// numpy.asarray(buffer): the view NumPy makes of an exporter.
PyObject* as_numpy(PyObject* buffer) {
    PyObject* asarray = numpy_handle(Numpy::asarray);
    return asarray ? PyObject_CallOneArg(asarray, buffer) : nullptr;
}

PyObject* new_buffer(void* mem, std::size_t n, std::size_t itemsize, const char* format, PyObject* owner,
                     bool readonly) {
    auto* a = PyObject_New(ArrayBufferObject, &ArrayBuffer_Type);
    if (!a) return nullptr;
    a->mem = mem ? mem : empty_elements;
    a->n = static_cast<Py_ssize_t>(n);
    a->itemsize = static_cast<Py_ssize_t>(itemsize);
    a->format = format;
    a->owner = owner ? Py_NewRef(owner) : nullptr;
    a->readonly = readonly;
    return reinterpret_cast<PyObject*>(a);
}

}  // namespace

template <class T>
PyObject* numpy_adopt(T* mem, std::size_t n) {
    Ref buf(new_buffer(mem, n, sizeof(T), ArrayFormat<T>::code, nullptr, false));
    if (!buf) {
        std::free(mem);
        return nullptr;
    }
    return as_numpy(buf.get());
}

template <class T>
PyObject* numpy_view_of(PyObject* owner, const T* mem, std::size_t n) {
    Ref buf(new_buffer(const_cast<T*>(mem), n, sizeof(T), ArrayFormat<T>::code, owner, true));
    return buf ? as_numpy(buf.get()) : nullptr;
}

template PyObject* numpy_adopt<double>(double*, std::size_t);
template PyObject* numpy_adopt<float>(float*, std::size_t);
template PyObject* numpy_adopt<int32_t>(int32_t*, std::size_t);
template PyObject* numpy_adopt<int64_t>(int64_t*, std::size_t);
template PyObject* numpy_view_of<double>(PyObject*, const double*, std::size_t);
template PyObject* numpy_view_of<float>(PyObject*, const float*, std::size_t);
template PyObject* numpy_view_of<int32_t>(PyObject*, const int32_t*, std::size_t);
template PyObject* numpy_view_of<uint32_t>(PyObject*, const uint32_t*, std::size_t);

bool ready_array_buffer() {
    PyTypeObject& t = ArrayBuffer_Type;
    t.tp_name = "quorvex.sparsmat.ArrayBuffer";
    t.tp_basicsize = sizeof(ArrayBufferObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;  // made only by the module
    t.tp_doc = "The native memory behind a NumPy array that quorvex.sparsmat handed out.";
    t.tp_dealloc = ab_dealloc;
    t.tp_as_buffer = &ab_buffer;
    return PyType_Ready(&t) == 0;
}

}  // namespace qv
