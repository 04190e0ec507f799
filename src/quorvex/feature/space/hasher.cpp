// FeatureHasher: maps hashable objects (as a rule feature strings) to the
// indices of a fixed-size feature space without a dictionary. The index of
// a feature s with target t is
//
//     (h(s) + 97 * h(t)) mod num_dimensions
//
// in wrapping signed 64-bit arithmetic with a floored modulo (the result
// has the sign of num_dimensions). h is Python's hash() (hash="python", the
// default: stable within one process only) or the signed MurmurHash3
// x86_32 of the key's bytes with the hasher's seed (hash="murmur3": the
// same everywhere); under murmur3 a target of None adds 0. Collisions are accepted; every produced
// index counts 1 in the resulting SparseVectorD.
#include <cstddef>
#include <memory>
#include <vector>

#include "common/args.h"
#include "common/errors.h"
#include "common/getset.h"
#include "common/text_args.h"
#include "feature/reprs.h"
#include "feature/space/hasher.h"

namespace qv {

namespace {

FeatureHasherObject* as_fh(PyObject* o) { return reinterpret_cast<FeatureHasherObject*>(o); }

const int32_t DEFAULT_DIMENSIONS = 514229;

// 97 * h, wrapping like two's complement.
inline int64_t scale97(int64_t h) { return static_cast<int64_t>(static_cast<uint64_t>(h) * 97u); }

// a + b, wrapping.
inline int64_t wrap_add(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

// Floored modulo: the remainder takes the sign of d (d != 0).
inline int64_t floor_mod(int64_t h, int32_t d) {
    if (d == -1) return 0;  // INT64_MIN % -1 would trap
    int64_t r = h % d;
    if (r != 0 && ((r < 0) != (d < 0))) r += d;
    return r;
}

bool raise_zero_dimensions() {
    PyErr_SetString(PyExc_ZeroDivisionError, "integer division or modulo by zero");
    return false;
}

// What VecD1.add_count does with an index: negative ones do not fit a
// coordinate (they only arise with negative num_dimensions).
inline bool add_index(SparseAccum<double>& acc, int64_t k) {
    if (k < 0) {
        PyErr_SetString(PyExc_OverflowError, "can't convert negative value to unsigned int");
        return false;
    }
    QV_TRY acc.add(static_cast<coordinate_t>(k), 1.0);
    QV_CATCH(false)
    return true;
}

// An accumulator released on every path.
struct LocalAccum {
    OwnedAccum<double> acc;
    PyObject* to_sparse() {
        QV_TRY return reinterpret_cast<PyObject*>(sparsmat->accum_to_sparse_d(&acc));
        QV_CATCH(nullptr)
    }
};

// Calls fn(item) (borrowed, kept alive during the call) for every element
// of lst in iteration order; lists and tuples are walked by index.
template <class Fn>
bool for_each_item(PyObject* lst, Fn fn) {
    if (PyList_CheckExact(lst) || PyTuple_CheckExact(lst)) {
        // Re-read the size every time: a __hash__ may shrink the list.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(lst); ++i) {
            PyObject* item = PySequence_Fast_GET_ITEM(lst, i);
            if (PyUnicode_CheckExact(item)) {  // hashing a str runs no Python code
                if (!fn(item)) return false;
                continue;
            }
            Ref hold = Ref::borrow(item);
            if (!fn(item)) return false;
        }
        return true;
    }
    Ref it(PyObject_GetIter(lst));
    if (!it) return false;
    while (Ref item{PyIter_Next(it.get())})
        if (!fn(item.get())) return false;
    return !PyErr_Occurred();
}

// The hash of a target: under murmur3 no target (None) adds 0.
bool target_hash(const HashOption& opt, PyObject* target, int64_t* out) {
    if (opt.kind == HashKind::Murmur3 && target == Py_None) {
        *out = 0;
        return true;
    }
    return option_hash(opt, target, out);
}

}  // namespace

bool hasher_target_hash(FeatureHasherObject* fh, PyObject* target, int64_t* out) {
    int64_t th;
    if (!target_hash(fh->hash, target, &th)) return false;
    *out = scale97(th);
    return true;
}

bool hasher_count(FeatureHasherObject* fh, PyObject* lst, int64_t tgt_hash, SparseAccum<double>& acc) {
    const int32_t dims = fh->num_dimensions;
    const HashOption opt = fh->hash;
    return for_each_item(lst, [&](PyObject* s) {
        int64_t h;
        if (!option_hash(opt, s, &h)) return false;
        if (dims == 0) return raise_zero_dimensions();
        return add_index(acc, floor_mod(wrap_add(h, tgt_hash), dims));
    });
}

namespace {

// --- type slots ---------------------------------------------------------------

PyObject* fh_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    Py_INCREF(Py_None);
    as_fh(self)->result_cache = Py_None;
    return self;
}

int fh_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* const names[] = {"dimensions", "hash", "seed", nullptr};
    static const ArgSpec spec{"FeatureHasher", names, 0, 0};
    PyObject* a[3];
    if (!parse_tuple(spec, args, kwds, a)) return -1;
    int32_t dims = DEFAULT_DIMENSIONS;
    HashOption hash;
    if ((a[0] && !to_int32(a[0], &dims)) || !parse_hash_option(a[1], a[2], &hash)) return -1;
    Ref cache(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(sparsmat->VecD1)));
    if (!cache) return -1;
    FeatureHasherObject* fh = as_fh(self);
    if (fh->cache_busy) {
        PyErr_SetString(PyExc_RuntimeError, "FeatureHasher.__init__ called during cross()");
        return -1;
    }
    fh->num_dimensions = dims;
    fh->hash = hash;
    PyMem_Free(fh->hash_cache);
    fh->hash_cache = nullptr;
    fh->hash_cache_size = 0;
    set_field(fh->result_cache, cache.release());
    return 0;
}

void fh_dealloc(PyObject* self) {
    FeatureHasherObject* fh = as_fh(self);
    PyMem_Free(fh->hash_cache);
    fh->hash_cache = nullptr;
    Py_CLEAR(fh->result_cache);
    Py_TYPE(self)->tp_free(self);
}

PyObject* fh_call(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* const names[] = {"lst", "target", nullptr};
    static const ArgSpec spec{"__call__", names, 0, 1};
    PyObject* a[2];
    if (!parse_tuple(spec, args, kwds, a)) return nullptr;
    int64_t tgt_hash;
    if (!refuse_text(a[0], "lst", "features") || !hasher_target_hash(as_fh(self), a[1] ? a[1] : Py_None, &tgt_hash))
        return nullptr;
    LocalAccum result;
    return hasher_count(as_fh(self), a[0], tgt_hash, result.acc) ? result.to_sparse() : nullptr;
}

// Makes sure the scratch array holds at least n entries; on failure it is
// left as it was (MemoryError).
bool reserve_cache(FeatureHasherObject* fh, Py_ssize_t n) {
    if (fh->hash_cache && fh->hash_cache_size >= n) return true;
    if (static_cast<std::size_t>(n) > PY_SSIZE_T_MAX / sizeof(int64_t)) {
        PyErr_NoMemory();
        return false;
    }
    std::size_t bytes = static_cast<std::size_t>(n) * sizeof(int64_t);
    void* p = fh->hash_cache ? PyMem_Realloc(fh->hash_cache, bytes) : PyMem_Malloc(bytes);
    if (!p) {
        PyErr_NoMemory();
        return false;
    }
    fh->hash_cache = static_cast<int64_t*>(p);
    fh->hash_cache_size = n;
    return true;
}

// lst2[i] for a sequence or any object indexable by int (new reference).
PyObject* item_at(PyObject* seq, Py_ssize_t i) {
    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
        if (i < PySequence_Fast_GET_SIZE(seq)) {
            PyObject* item = PySequence_Fast_GET_ITEM(seq, i);
            Py_INCREF(item);
            return item;
        }
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return nullptr;
    }
    Ref key(PyLong_FromSsize_t(i));
    return key ? PyObject_GetItem(seq, key.get()) : nullptr;
}

// Marks the scratch array as in use for the duration of one cross() call.
struct BusyGuard {
    bool& flag;
    explicit BusyGuard(bool& f) : flag(f) { flag = true; }
    ~BusyGuard() { flag = false; }
};

PyObject* fh_cross(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"lst", "lst2", nullptr};
    static const ArgSpec spec{"cross", names, 0, 2};
    PyObject* a[2];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    if (!refuse_text(a[0], "lst", "features") || !refuse_text(a[1], "lst2", "targets")) return nullptr;
    FeatureHasherObject* fh = as_fh(self);
    const HashOption opt = fh->hash;
    PyObject* rc = fh->result_cache;
    if (rc && Py_TYPE(rc) == sparsmat->VecD1) {
        reinterpret_cast<VecD1*>(rc)->acc.clear();
    } else {
        Ref r(PyObject_CallMethod(rc ? rc : Py_None, "clear", nullptr));
        if (!r) return nullptr;
    }
    Py_ssize_t len2 = PyObject_Length(a[1]);
    if (len2 < 0) return nullptr;
    if (len2 > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return nullptr;
    }
    // A cross() re-entered from a __hash__ or __getitem__ of this call
    // must not overwrite the scratch array in use: it gets its own.
    std::vector<int64_t> own;
    int64_t* cache;
    std::unique_ptr<BusyGuard> busy;
    if (fh->cache_busy) {
        QV_TRY own.resize(static_cast<std::size_t>(len2));
        QV_CATCH(nullptr)
        cache = own.data();
    } else {
        if (!reserve_cache(fh, len2)) return nullptr;
        cache = fh->hash_cache;
        busy.reset(new BusyGuard(fh->cache_busy));
    }
    for (Py_ssize_t i = 0; i < len2; ++i) {
        Ref t(item_at(a[1], i));
        if (!t) return nullptr;
        int64_t h;
        if (!target_hash(opt, t.get(), &h)) return nullptr;
        cache[i] = scale97(h);
    }
    const int32_t dims = fh->num_dimensions;
    LocalAccum result;
    bool ok = for_each_item(a[0], [&](PyObject* s) {
        int64_t h;
        if (!option_hash(opt, s, &h)) return false;
        if (len2 == 0) return true;
        if (dims == 0) return raise_zero_dimensions();
        QV_TRY result.acc.reserve(result.acc.len + static_cast<std::size_t>(len2));
        QV_CATCH(false)
        for (Py_ssize_t i = 0; i < len2; ++i)
            if (!add_index(result.acc, floor_mod(wrap_add(h, cache[i]), dims))) return false;
        return true;
    });
    return ok ? result.to_sparse() : nullptr;
}

// FeatureHasher(dimensions, hash, seed): the scratch array and the result
// cache are rebuilt; nothing else is state.
PyObject* fh_reduce(PyObject* self, PyObject*) {
    FeatureHasherObject* fh = as_fh(self);
    Ref name(hash_kind_name(fh->hash.kind));
    if (!name) return nullptr;
    return Py_BuildValue("(O(iOk))", reinterpret_cast<PyObject*>(Py_TYPE(self)), fh->num_dimensions, name.get(),
                         static_cast<unsigned long>(fh->hash.seed));
}

PyObject* fh_get_hash(PyObject* self, void*) { return hash_kind_name(as_fh(self)->hash.kind); }

PyObject* fh_get_seed(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(static_cast<unsigned long>(as_fh(self)->hash.seed));
}

PyMethodDef fh_methods[] = {
    {"transform", reinterpret_cast<PyCFunction>(fh_transform), METH_FASTCALL | METH_KEYWORDS,
     "transform($self, lists, target=None)\n--\n\n"
     "-> scipy.sparse.csr_matrix: row i is self(lists[i], target)\n"
     "(the same target for every row), built straight into the matrix's arrays; num_dimensions\n"
     "columns, which must be positive (ValueError otherwise). Needs SciPy\n"
     "(pip install 'quorvex[scipy]')."},
    {"cross", reinterpret_cast<PyCFunction>(fh_cross), METH_FASTCALL | METH_KEYWORDS,
     "cross($self, lst, lst2)\n--\n\n"
     "-> SparseVectorD: every feature of lst conjoined with every target of lst2.\n\n"
     "Equals the sum of self(lst, t) over the elements t of lst2. lst is any iterable of hashable\n"
     "objects; lst2 must support len() and indexing by int (a list or tuple). The scaled hashes of\n"
     "lst2 are computed once per call, into a scratch array the hasher keeps and reuses."},
    {"__reduce__", fh_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\n"
     "Pickles as FeatureHasher(dimensions, hash, seed). Only murmur3 indices are the same in the\n"
     "process that unpickles it; Python's hash() of str and bytes is salted per process."},
    {nullptr, nullptr, 0, nullptr}};

const Field dims_field{offsetof(FeatureHasherObject, num_dimensions)};

PyGetSetDef fh_getset[] = {
    {"num_dimensions", get_int32, nullptr, "size of the feature space (read-only)", closure(dims_field)},
    {"hash", fh_get_hash, nullptr, "'python' (Python's hash(), per process) or 'murmur3' (stable everywhere)", nullptr},
    {"seed", fh_get_seed, nullptr, "seed of the murmur3 hash (read-only)", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

}  // namespace

PyTypeObject FeatureHasher_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};

bool ready_feature_hasher() {
    PyTypeObject& t = FeatureHasher_Type;
    t.tp_name = "quorvex.feature.FeatureHasher";
    t.tp_basicsize = sizeof(FeatureHasherObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    t.tp_doc =
        "FeatureHasher(dimensions=514229, hash='python', seed=0)\n--\n\n"
        "Maps features (as a rule strings) to indices without a dictionary.\n"
        "h(lst, target=None) returns a SparseVectorD in which every element s of lst counts 1 at\n"
        "(h(s) + 97 * h(target)) mod dimensions, computed in wrapping signed 64-bit\n"
        "arithmetic with a floored modulo; cross(lst, lst2) sums h(lst, t) over the t of lst2.\n"
        "hash='python': h is Python's hash() of any hashable object, so indices are stable within\n"
        "one interpreter process only (str hashing is salted per process, hash(None) may vary).\n"
        "hash='murmur3': h is the signed 32-bit MurmurHash3 (x86_32) with `seed` of a str's UTF-8\n"
        "bytes, of bytes as they are, or of an int's decimal text (any other key: TypeError), and a\n"
        "target of None adds 0: indices are the same in every process and on every machine.\n"
        "dimensions 0 raises ZeroDivisionError at the first index; negative dimensions give\n"
        "indices in (dimensions, 0], and the sparse vector refuses the negative ones\n"
        "(OverflowError).";
    t.tp_new = fh_new;
    t.tp_repr = feature_hasher_repr;
    t.tp_init = fh_init;
    t.tp_dealloc = fh_dealloc;
    t.tp_call = fh_call;
    t.tp_methods = fh_methods;
    t.tp_getset = fh_getset;
    return PyType_Ready(&t) == 0;
}

}  // namespace qv
