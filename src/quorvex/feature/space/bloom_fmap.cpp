// BloomFMap: a growing feature map that admits a feature into its
// dictionary only at its min_count-th sighting. Until then the feature is
// counted approximately in a CountingBloomFilter and contributes nothing;
// at admission its sightings are taken back out of the filter.
#include <cstddef>

#include "common/args.h"
#include "common/errors.h"
#include "common/getset.h"
#include "common/text_args.h"
#include "feature/reprs.h"
#include "feature/space/bloom.h"

namespace qv {

namespace {

BloomFMapObject* as_map(PyObject* o) { return reinterpret_cast<BloomFMapObject*>(o); }

PyTypeObject* CountingBloomFilter_ref = nullptr;
PyTypeObject* StringAlphabet_ref = nullptr;

PyObject* bm_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    Py_INCREF(Py_None);
    as_map(self)->bloom = Py_None;
    Py_INCREF(Py_None);
    as_map(self)->dict = Py_None;
    return self;
}

// BloomFMap(*, hash="python", seed=0): the options go to the filter.
int bm_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* const names[] = {"hash", "seed", nullptr};
    static const ArgSpec spec{"BloomFMap", names, 0, 0};
    PyObject* a[2];
    if (PyTuple_GET_SIZE(args) != 0) return parse_none("BloomFMap", args, nullptr) ? 0 : -1;
    HashOption hash;
    if (!parse_tuple(spec, args, kwds, a) || !parse_hash_option(a[0], a[1], &hash)) return -1;
    Ref empty(PyTuple_New(0));
    Ref options(PyDict_New());
    Ref name(hash_kind_name(hash.kind));
    Ref seed(PyLong_FromUnsignedLong(static_cast<unsigned long>(hash.seed)));
    if (!empty || !options || !name || !seed || PyDict_SetItemString(options.get(), "hash", name.get()) < 0 ||
        PyDict_SetItemString(options.get(), "seed", seed.get()) < 0)
        return -1;
    Ref bloom(PyObject_Call(reinterpret_cast<PyObject*>(&CountingBloomFilter_Type), empty.get(), options.get()));
    if (!bloom) return -1;
    Ref dict(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(alphabet->StringAlphabet)));
    if (!dict) return -1;
    BloomFMapObject* m = as_map(self);
    set_field(m->bloom, bloom.release());
    m->min_count = 3;
    set_field(m->dict, dict.release());
    return 0;
}

int bm_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_map(self)->bloom);
    Py_VISIT(as_map(self)->dict);
    return 0;
}

int bm_clear(PyObject* self) {
    Py_CLEAR(as_map(self)->bloom);
    Py_CLEAR(as_map(self)->dict);
    return 0;
}

void bm_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    bm_clear(self);
    Py_TYPE(self)->tp_free(self);
}

// The current value of an object field, held for the caller, or TypeError
// when it is None.
Ref required_field(PyObject* value, const char* name) {
    if (!value || value == Py_None) {
        PyErr_Format(PyExc_TypeError, "BloomFMap.%s is None: the map needs a %s", name,
                     name[0] == 'b' ? "CountingBloomFilter" : "StringAlphabet");
        return Ref();
    }
    return Ref::borrow(value);
}

// Adds 1 at the id that the lookup result `id` holds (VecD1.add_count(id)).
bool add_id(SparseAccum<double>& acc, PyObject* id) {
    coordinate_t k;
    if (!to_uint32(id, &k)) return false;
    QV_TRY acc.add(k, 1.0);
    QV_CATCH(false)
    return true;
}

// Handles one feature; false with a Python error.
bool see_feature(BloomFMapObject* self, PyObject* s, SparseAccum<double>& acc) {
    // The fields are read per feature: Python code run by a hash or a
    // subclass may replace them between features.
    Ref dict = required_field(self->dict, "dict");
    if (!dict) return false;
    Ref bloom = required_field(self->bloom, "bloom");
    if (!bloom) return false;
    PyObject* d = dict.get();
    if (Py_TYPE(d) == alphabet->StringAlphabet) {
        // One probe of the table decides (and gives the id of) a known feature.
        StringAlphabetObject* alph = reinterpret_cast<StringAlphabetObject*>(d);
        Ref holder;
        const char* p;
        Py_ssize_t n;
        if (!alphabet_key_bytes(alph->use_utf8, s, &holder, &p, &n)) return false;
        int32_t id = alph->map.find(p, static_cast<std::size_t>(n));
        if (id >= 0) {
            QV_TRY acc.add(static_cast<coordinate_t>(id), 1.0);
            QV_CATCH(false)
            return true;
        }
    } else {
        int known = PySequence_Contains(d, s);
        if (known < 0) return false;
        if (known) {
            Ref id(PyObject_GetItem(d, s));
            return id && add_id(acc, id.get());
        }
    }
    CountingBloomFilterObject* f = reinterpret_cast<CountingBloomFilterObject*>(bloom.get());
    int32_t count = f->ops->add_count(f, s, 1);
    int32_t min_count = self->min_count;
    if (count < min_count) return true;
    Ref id(PyObject_GetItem(d, s));  // admits the feature
    if (!id || !add_id(acc, id.get())) return false;
    f->ops->remove_count(f, s, min_count);
    return true;
}

PyObject* bm_call(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* const names[] = {"lst", nullptr};
    static const ArgSpec spec{"__call__", names, 0, 1};
    PyObject* a[1];
    if (!parse_tuple(spec, args, kwds, a)) return nullptr;
    if (!refuse_text(a[0], "lst", "features")) return nullptr;
    OwnedAccum<double> acc;
    Ref it(PyObject_GetIter(a[0]));
    if (!it) return nullptr;
    while (Ref s{PyIter_Next(it.get())})
        if (!see_feature(as_map(self), s.get(), acc)) return nullptr;
    if (PyErr_Occurred()) return nullptr;
    QV_TRY return reinterpret_cast<PyObject*>(sparsmat->accum_to_sparse_d(&acc));
    QV_CATCH(nullptr)
}

// BloomFMap() whose __setstate__ puts back the filter, min_count and dict.
PyObject* bm_reduce(PyObject* self, PyObject*) {
    BloomFMapObject* m = as_map(self);
    return Py_BuildValue("(O()(OiO))", reinterpret_cast<PyObject*>(Py_TYPE(self)), m->bloom, m->min_count, m->dict);
}

PyObject* bm_setstate(PyObject* self, PyObject* state) {
    PyObject *bloom, *dict;
    int min_count;
    if (!PyTuple_Check(state) || !PyArg_ParseTuple(state, "OiO", &bloom, &min_count, &dict)) {
        if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError, "BloomFMap state must be a (bloom, min_count, dict) tuple");
        }
        return nullptr;
    }
    if (!check_convert(bloom, &CountingBloomFilter_Type, true) || !check_convert(dict, alphabet->StringAlphabet, true))
        return nullptr;
    BloomFMapObject* m = as_map(self);
    Py_INCREF(bloom);
    set_field(m->bloom, bloom);
    m->min_count = min_count;
    Py_INCREF(dict);
    set_field(m->dict, dict);
    Py_RETURN_NONE;
}

PyMethodDef bm_methods[] = {
    {"__reduce__", bm_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\nPickles with its filter, min_count and dictionary."},
    {"__setstate__", bm_setstate, METH_O,
     "__setstate__($self, state, /)\n--\n\nRestores a pickle: state is (bloom, min_count, dict)."},
    {nullptr, nullptr, 0, nullptr}};

const Field bloom_field{offsetof(BloomFMapObject, bloom), &CountingBloomFilter_ref, true};
const Field min_count_field{offsetof(BloomFMapObject, min_count)};
const Field dict_field{offsetof(BloomFMapObject, dict), &StringAlphabet_ref, true};

PyGetSetDef bm_getset[] = {
    {"bloom", get_object, set_typed_object, "the CountingBloomFilter counting features not yet admitted",
     closure(bloom_field)},
    {"min_count", get_int32, set_int32, "number of sightings at which a feature is admitted", closure(min_count_field)},
    {"dict", get_object, set_typed_object, "the StringAlphabet of admitted features", closure(dict_field)},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

}  // namespace

PyTypeObject BloomFMap_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};

bool ready_bloom_fmap() {
    CountingBloomFilter_ref = &CountingBloomFilter_Type;
    StringAlphabet_ref = alphabet->StringAlphabet;
    PyTypeObject& t = BloomFMap_Type;
    t.tp_name = "quorvex.feature.BloomFMap";
    t.tp_basicsize = sizeof(BloomFMapObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc =
        "BloomFMap(*, hash='python', seed=0)\n--\n\n"
        "m(lst) -> SparseVectorD of feature counts over the growing StringAlphabet `dict`, admitting\n"
        "a new feature only at its min_count-th sighting (default 3). Until then the feature is\n"
        "counted in the CountingBloomFilter `bloom` (default: 768 MiB of counters) and adds\n"
        "nothing; at admission it counts once and its sightings are removed from the filter.\n"
        "The filter caps counts at 255, so a min_count above 255 admits nothing. Replace `bloom`\n"
        "by a smaller CountingBloomFilter(size) to save memory. hash and seed choose the filter's\n"
        "hash (see CountingBloomFilter): 'murmur3' counts the same in every process.";
    t.tp_new = bm_new;
    t.tp_repr = bloom_fmap_repr;
    t.tp_init = bm_init;
    t.tp_dealloc = bm_dealloc;
    t.tp_traverse = bm_traverse;
    t.tp_clear = bm_clear;
    t.tp_call = bm_call;
    t.tp_getset = bm_getset;
    t.tp_methods = bm_methods;
    return PyType_Ready(&t) == 0;
}

}  // namespace qv
