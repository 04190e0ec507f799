// CountingBloomFilter: approximate occurrence counts of hashable objects in
// a fixed array of 8-bit counters, without storing the objects.
//
// An object s is mapped to n_addrs counters by double hashing:
//     a = hash(s) mod 2^32,  b = hash("foo|" + str(s)) mod 2^32
//     position i = ((a + i*b) mod 2^32) mod size
// With hash="murmur3" a and b are the MurmurHash3 x86_32 values (with the
// filter's seed) of the key's bytes and of "foo|" followed by them, so
// positions are the same in every process.
// Adding raises each of its counters (wrapping modulo 256), removing lowers
// them (clamped at 0), and the estimated count is the smallest of them.
#include <algorithm>
#include <cstring>
#include <string>

#include "common/args.h"
#include "common/dispatch.h"
#include "common/errors.h"
#include "feature/reprs.h"
#include "feature/space/bloom.h"

namespace qv {

namespace {

CountingBloomFilterObject* as_cbf(PyObject* o) { return reinterpret_cast<CountingBloomFilterObject*>(o); }

const uint32_t DEFAULT_SIZE = 805306457;  // 768 MiB of counters
const int32_t DEFAULT_ADDRS = 5;
// Positions are used as signed 32-bit values when indexing.
const uint32_t MAX_SIZE = 0x7fffffffu;

const char QN_GET[] = "quorvex.feature.CountingBloomFilter.get_count";
const char QN_ADD[] = "quorvex.feature.CountingBloomFilter.add_count";
const char QN_REMOVE[] = "quorvex.feature.CountingBloomFilter.remove_count";

bool hash_a(const HashOption& opt, PyObject* s, uint32_t* a) {
    int64_t h;
    if (!option_hash(opt, s, &h)) return false;
    *a = static_cast<uint32_t>(static_cast<uint64_t>(h));
    return true;
}

// The hash of "foo|%s" % s (murmur3: of "foo|" and the key's bytes): a
// second, independent step width.
bool hash_b(const HashOption& opt, PyObject* s, uint32_t* b) {
    if (opt.kind == HashKind::Murmur3) {
        static const std::string prefix = "foo|";
        int32_t h;
        if (!murmur3_key(s, prefix, opt.seed, &h)) return false;
        *b = static_cast<uint32_t>(h);
        return true;
    }
    Ref text(PyUnicode_FromFormat("foo|%S", s));
    if (!text) return false;
    return hash_a(opt, text.get(), b);
}

// Counters are there and positions can be computed.
bool check_counters(const CountingBloomFilterObject* self) {
    if (!self->values) {
        PyErr_SetString(PyExc_ValueError,
                        "CountingBloomFilter has no counter array (__init__ did not run, or __del__() released it)");
        return false;
    }
    if (self->size == 0) {
        PyErr_SetString(PyExc_ZeroDivisionError, "integer division or modulo by zero");
        return false;
    }
    return true;
}

// The running position sum: starts at a, advances by b, wraps at 2^32.
struct Positions {
    uint32_t sum, step, size;
    uint32_t next() {
        uint32_t p = sum % size;
        sum += step;
        return p;
    }
};

// "Holy Blooming Filters! There's something wrong!" and a newline, on
// sys.stderr, as print() writes it.
bool warn_underflow() {
    PyObject* err = PySys_GetObject("stderr");  // borrowed
    if (!err || err == Py_None) return true;
    Ref hold = Ref::borrow(err);
    return PyFile_WriteString("Holy Blooming Filters! There's something wrong!", err) == 0 &&
           PyFile_WriteString("\n", err) == 0;
}

// --- the operations themselves (false with a Python error) ----------------------

bool get_count_native(CountingBloomFilterObject* self, PyObject* s, int32_t* out) {
    uint32_t a, b;
    if (!hash_a(self->hash, s, &a) || !check_counters(self)) return false;
    uint8_t first = self->values[a % self->size];
    if (first == 0) {
        *out = 0;
        return true;
    }
    if (!hash_b(self->hash, s, &b)) return false;
    if (!check_counters(self)) return false;  // str(s) may have run __del__()
    Positions pos{a, b, self->size};
    int32_t best = self->values[pos.next()];
    for (int32_t i = 1; i < self->n_addrs; ++i) best = std::min<int32_t>(best, self->values[pos.next()]);
    *out = best;
    return true;
}

bool add_count_native(CountingBloomFilterObject* self, PyObject* s, int32_t n, int32_t* out) {
    uint32_t a, b;
    if (!hash_a(self->hash, s, &a) || !hash_b(self->hash, s, &b)) return false;
    if (!check_counters(self)) return false;
    Positions pos{a, b, self->size};
    int64_t max_val = 255;
    for (int32_t i = 0; i < self->n_addrs; ++i) {
        uint8_t& c = self->values[pos.next()];
        int64_t v = static_cast<int64_t>(c) + n;
        c = static_cast<uint8_t>(v);  // wraps modulo 256
        max_val = std::min(max_val, v);
    }
    *out = static_cast<int32_t>(max_val);
    return true;
}

bool remove_count_native(CountingBloomFilterObject* self, PyObject* s, int32_t n, int32_t* out) {
    uint32_t a, b;
    if (!hash_a(self->hash, s, &a) || !hash_b(self->hash, s, &b)) return false;
    if (!check_counters(self)) return false;
    Positions pos{a, b, self->size};
    int64_t max_val = 255;
    for (int32_t i = 0; i < self->n_addrs; ++i) {
        uint32_t sum = pos.sum;
        uint32_t p = pos.next();
        int64_t v = static_cast<int64_t>(self->values[p]) - n;
        if (v < 0) {
            // Writing to sys.stderr may run Python code, even __del__() or
            // __init__(): the array may be gone or have another size.
            if (!warn_underflow() || !check_counters(self)) return false;
            pos.size = self->size;
            p = sum % pos.size;
            v = 0;
        }
        self->values[p] = static_cast<uint8_t>(v);
        max_val = std::min(max_val, v);
    }
    *out = static_cast<int32_t>(max_val);
    return true;
}

// --- internal operations: the override of a Python subclass wins -------------------

Overridable op_get_name{"get_count"};
Overridable op_add_name{"add_count"};
Overridable op_remove_name{"remove_count"};

int32_t unraisable_zero(const char* qualname) {
    report_unraisable(qualname);
    return 0;
}

// Calls the override self.<op>(*args) and converts its result.
int32_t call_overridden(CountingBloomFilterObject* self, Overridable& op, PyObject* s, const int32_t* n,
                        const char* qualname) {
    PyObject* me = reinterpret_cast<PyObject*>(self);
    Ref n_obj;
    if (n) {
        n_obj = Ref(PyLong_FromLong(*n));
        if (!n_obj) return unraisable_zero(qualname);
    }
    PyObject* args[] = {s, n_obj.get()};
    Ref result(call_override(me, op, args, n ? 2 : 1));
    int32_t v;
    if (!result || !to_int32(result.get(), &v)) return unraisable_zero(qualname);
    return v;
}

int32_t op_get_count(CountingBloomFilterObject* self, PyObject* s) {
    int r = find_override(reinterpret_cast<PyObject*>(self), &CountingBloomFilter_Type, op_get_name);
    if (r < 0) return unraisable_zero(QN_GET);
    if (r > 0) return call_overridden(self, op_get_name, s, nullptr, QN_GET);
    int32_t v;
    return get_count_native(self, s, &v) ? v : unraisable_zero(QN_GET);
}

int32_t op_add_count(CountingBloomFilterObject* self, PyObject* s, int32_t n) {
    int r = find_override(reinterpret_cast<PyObject*>(self), &CountingBloomFilter_Type, op_add_name);
    if (r < 0) return unraisable_zero(QN_ADD);
    if (r > 0) return call_overridden(self, op_add_name, s, &n, QN_ADD);
    int32_t v;
    return add_count_native(self, s, n, &v) ? v : unraisable_zero(QN_ADD);
}

int32_t op_remove_count(CountingBloomFilterObject* self, PyObject* s, int32_t n) {
    int r = find_override(reinterpret_cast<PyObject*>(self), &CountingBloomFilter_Type, op_remove_name);
    if (r < 0) return unraisable_zero(QN_REMOVE);
    if (r > 0) return call_overridden(self, op_remove_name, s, &n, QN_REMOVE);
    int32_t v;
    return remove_count_native(self, s, n, &v) ? v : unraisable_zero(QN_REMOVE);
}

const CountingBloomFilterOps cbf_ops = {op_get_count, op_add_count, op_remove_count};

// --- type slots ---------------------------------------------------------------------

PyObject* cbf_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self) as_cbf(self)->ops = &cbf_ops;
    return self;
}

int cbf_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* const names[] = {"size", "n_addrs", "hash", "seed", nullptr};
    static const ArgSpec spec{"CountingBloomFilter", names, 0, 0};
    PyObject* a[4];
    if (!parse_tuple(spec, args, kwds, a)) return -1;
    int32_t n_addrs = DEFAULT_ADDRS;
    uint32_t size = DEFAULT_SIZE;
    HashOption hash;
    if (a[1] && !to_int32(a[1], &n_addrs)) return -1;
    if (a[0] && !to_uint32(a[0], &size)) return -1;
    if (!parse_hash_option(a[2], a[3], &hash)) return -1;
    if (n_addrs < 1) {
        // No address would ever touch a counter: every count would read as
        // full and a BloomFMap would admit every feature at first sight.
        PyErr_Format(PyExc_ValueError, "CountingBloomFilter needs at least one address per object (n_addrs=%d)",
                     n_addrs);
        return -1;
    }
    if (size > MAX_SIZE) {
        PyErr_Format(PyExc_OverflowError, "CountingBloomFilter size must be below 2**31 (got %u)", size);
        return -1;
    }
    // Zero-filled; large arrays come from the system allocator, whose
    // zeroed pages are only touched when counters are.
    uint8_t* fresh = static_cast<uint8_t*>(PyMem_Calloc(size ? size : 1, 1));
    if (!fresh) {
        PyErr_NoMemory();
        return -1;
    }
    CountingBloomFilterObject* f = as_cbf(self);
    uint8_t* old = f->values;
    f->values = fresh;
    f->size = size;
    f->n_addrs = n_addrs;
    f->hash = hash;
    PyMem_Free(old);
    return 0;
}

void cbf_dealloc(PyObject* self) {
    CountingBloomFilterObject* f = as_cbf(self);
    PyMem_Free(f->values);
    f->values = nullptr;
    Py_TYPE(self)->tp_free(self);
}

// --- Python methods -------------------------------------------------------------------

PyObject* cbf_get_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"s", nullptr};
    static const ArgSpec spec{"get_count", names, 0, 1};
    PyObject* a[1];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    int32_t v;
    if (!get_count_native(as_cbf(self), a[0], &v)) v = unraisable_zero(QN_GET);
    return PyLong_FromLong(v);
}

template <bool (*Native)(CountingBloomFilterObject*, PyObject*, int32_t, int32_t*), const char* Name,
          const char* Qualname>
PyObject* cbf_change(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"s", "n", nullptr};
    static const ArgSpec spec{Name, names, 0, 2};
    PyObject* a[2];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    int32_t n, v;
    if (!to_int32(a[1], &n)) return nullptr;
    if (!Native(as_cbf(self), a[0], n, &v)) v = unraisable_zero(Qualname);
    return PyLong_FromLong(v);
}

const char NAME_ADD[] = "add_count";
const char NAME_REMOVE[] = "remove_count";

PyObject* cbf_del(PyObject* self, PyObject*) {
    CountingBloomFilterObject* f = as_cbf(self);
    uint8_t* old = f->values;
    f->values = nullptr;
    f->size = 0;
    PyMem_Free(old);
    Py_RETURN_NONE;
}

// CountingBloomFilter(size, n_addrs, hash, seed) with the counters as the
// state (bytes, `size` of them).
PyObject* cbf_reduce(PyObject* self, PyObject*) {
    CountingBloomFilterObject* f = as_cbf(self);
    if (!f->values) {
        PyErr_SetString(PyExc_TypeError, "cannot pickle a CountingBloomFilter without counters");
        return nullptr;
    }
    Ref name(hash_kind_name(f->hash.kind));
    Ref counters(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(f->values), f->size));
    if (!name || !counters) return nullptr;
    return Py_BuildValue("(O(kiOk)O)", reinterpret_cast<PyObject*>(Py_TYPE(self)), static_cast<unsigned long>(f->size),
                         f->n_addrs, name.get(), static_cast<unsigned long>(f->hash.seed), counters.get());
}

PyObject* cbf_setstate(PyObject* self, PyObject* state) {
    CountingBloomFilterObject* f = as_cbf(self);
    if (!PyBytes_Check(state)) {
        PyErr_Format(PyExc_TypeError, "CountingBloomFilter state must be bytes, not %.200s", Py_TYPE(state)->tp_name);
        return nullptr;
    }
    if (!f->values || PyBytes_GET_SIZE(state) != static_cast<Py_ssize_t>(f->size)) {
        PyErr_Format(PyExc_ValueError, "CountingBloomFilter state holds %zd counters, the filter %u",
                     PyBytes_GET_SIZE(state), f->values ? f->size : 0u);
        return nullptr;
    }
    std::memcpy(f->values, PyBytes_AS_STRING(state), f->size);
    Py_RETURN_NONE;
}

PyObject* cbf_get_hash(PyObject* self, void*) { return hash_kind_name(as_cbf(self)->hash.kind); }
PyObject* cbf_get_seed(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(static_cast<unsigned long>(as_cbf(self)->hash.seed));
}

PyGetSetDef cbf_getset[] = {{"hash", cbf_get_hash, nullptr,
                             "'python' (Python's hash(), per process) or 'murmur3' (stable everywhere)", nullptr},
                            {"seed", cbf_get_seed, nullptr, "seed of the murmur3 hash", nullptr},
                            {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef cbf_methods[] = {
    {"get_count", reinterpret_cast<PyCFunction>(cbf_get_count), METH_FASTCALL | METH_KEYWORDS,
     "get_count($self, s)\n--\n\n"
     "-> int: the estimated count of s, the smallest of its counters (0 for an\n"
     "object never added). Errors are reported as unraisable and give 0."},
    {"add_count", reinterpret_cast<PyCFunction>(cbf_change<add_count_native, NAME_ADD, QN_ADD>),
     METH_FASTCALL | METH_KEYWORDS,
     "add_count($self, s, n)\n--\n\n"
     "-> int: adds n to each counter of s (counters wrap modulo 256) and returns\n"
     "min(255, smallest counter + n before wrapping). Errors are reported as unraisable and give 0."},
    {"remove_count", reinterpret_cast<PyCFunction>(cbf_change<remove_count_native, NAME_REMOVE, QN_REMOVE>),
     METH_FASTCALL | METH_KEYWORDS,
     "remove_count($self, s, n)\n--\n\n"
     "-> int: subtracts n from each counter of s, never below 0 (an underflow\n"
     "prints a warning line on sys.stderr per counter), and returns the smallest counter after.\n"
     "Errors are reported as unraisable and give 0."},
    {"__del__", cbf_del, METH_NOARGS,
     "__del__($self, /)\n--\n\n"
     "Releases the counter array. Afterwards the counting operations report a\n"
     "ValueError as unraisable and give 0; a second call does nothing. The array is also\n"
     "released when the filter is destroyed."},
    {"__reduce__", cbf_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\n"
     "Pickles with its counters (size bytes). Only murmur3 positions are the same in the process\n"
     "that unpickles it."},
    {"__setstate__", cbf_setstate, METH_O,
     "__setstate__($self, counters, /)\n--\n\nRestores the counters (bytes of length size)."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyTypeObject CountingBloomFilter_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};

bool ready_counting_bloom_filter() {
    PyTypeObject& t = CountingBloomFilter_Type;
    t.tp_name = "quorvex.feature.CountingBloomFilter";
    t.tp_basicsize = sizeof(CountingBloomFilterObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    t.tp_doc =
        "CountingBloomFilter(size=805306457, n_addrs=5, hash='python', seed=0)\n--\n\n"
        "Approximate occurrence counts of hashable objects in `size` 8-bit counters (one byte each;\n"
        "the default takes 768 MiB, below 2**31 counters). Each object is mapped to n_addrs\n"
        "counters by double hashing of hash(s) and hash('foo|%s' % s); add_count raises them,\n"
        "remove_count lowers them and get_count returns the smallest. Positions depend on Python's\n"
        "hash(), so counts are meaningful within one interpreter process only; with hash='murmur3'\n"
        "the MurmurHash3 of a str's UTF-8 bytes, of bytes or of an int's decimal text (with `seed`)\n"
        "is used instead, the same in every process (other keys: TypeError, reported as unraisable).\n"
        "Python subclasses may override the three counting methods; internal callers (BloomFMap)\n"
        "then call the overrides.";
    t.tp_new = cbf_new;
    t.tp_repr = bloom_filter_repr;
    t.tp_init = cbf_init;
    t.tp_dealloc = cbf_dealloc;
    t.tp_methods = cbf_methods;
    t.tp_getset = cbf_getset;
    return PyType_Ready(&t) == 0;
}

}  // namespace qv
