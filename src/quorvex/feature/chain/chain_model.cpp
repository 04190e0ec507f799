// ChainModel and CompiledSentence: the types, building a model from a
// combiner, and the checks every method shares.
#include "feature/chain/chain_model.h"

#include <cmath>
#include <cstddef>

#include "common/args.h"
#include "common/errors.h"
#include "common/getset.h"
#include "feature/reprs.h"

namespace qv {

namespace {

// --- building -------------------------------------------------------------------

// fc([("T<prev>-<label>", 1.0)]), with ("STOP", 1.0) after it when last.
PyObject* transition_vector(FComboObject* fc, PyObject* prev, PyObject* label, bool last) {
    Ref key(PyUnicode_FromFormat("T%S-%S", prev, label));
    Ref pair(key ? Py_BuildValue("(Od)", key.get(), 1.0) : nullptr);
    Ref feats(pair ? (last ? Py_BuildValue("[O(sd)]", pair.get(), "STOP", 1.0) : Py_BuildValue("[O]", pair.get()))
                   : nullptr);
    return feats ? fcombo_vectorise(fc, feats.get(), nullptr) : nullptr;
}

bool store_vector(ChainCore& core, PyObject* v) {
    const SparseVectorD* sv = reinterpret_cast<const SparseVectorD*>(v);
    QV_TRY core.vectors.store.add(sv->idx_ptr, sv->vals_ptr, sv->my_len);
    QV_CATCH(false)
    return true;
}

// Whether the dictionary holds any transition key of the labels.
bool has_transition_keys(const CPPAlphabet& map, PyObject* labels, int use_utf8) {
    const Py_ssize_t count = PyTuple_GET_SIZE(labels);
    for (Py_ssize_t p = -1; p < count; ++p) {
        PyObject* prev = p < 0 ? Py_None : PyTuple_GET_ITEM(labels, p);
        for (Py_ssize_t l = 0; l < count; ++l) {
            Ref key(PyUnicode_FromFormat("T%S-%S", prev, PyTuple_GET_ITEM(labels, l)));
            if (!key) {
                PyErr_Clear();
                continue;
            }
            Ref holder;
            const char* s;
            Py_ssize_t n;
            if (!alphabet_key_bytes(use_utf8, key.get(), &holder, &s, &n)) {
                PyErr_Clear();
                continue;
            }
            if (map.find(s, static_cast<std::size_t>(n)) >= 0) return true;
        }
    }
    return false;
}

// The checks on the combiner: an FCombo whose dictionary is a frozen
// StringAlphabet read natively.
bool check_combiner(PyObject* fc) {
    if (!check_arg_type(fc, &FCombo_Type, "fc", false)) return false;
    PyObject* dict = as_fc(fc)->dict;
    if (!dict || dict == Py_None) {
        raise_no_dict("a chain model");
        return false;
    }
    if (!dict_is_native(dict)) {
        PyErr_SetString(PyExc_TypeError, "a chain model needs a combiner whose dictionary is a StringAlphabet");
        return false;
    }
    if (as_alph(dict)->map.growing) {
        PyErr_SetString(PyExc_ValueError,
                        "the combiner's dictionary must be frozen (fc.dict.growing = False) before a chain model is "
                        "built from it");
        return false;
    }
    return true;
}

// A new core for (fc, labels), with the transition vectors in `vectors`.
ChainCore* build_core(FComboObject* fc, PyObject* labels, PyObject* vectors, const KnownRows* rows) {
    std::unique_ptr<ChainCore> core;
    QV_TRY core.reset(new ChainCore());
    QV_CATCH(nullptr)
    StringAlphabetObject* dict = as_alph(fc->dict);
    core->use_utf8 = dict->use_utf8;
    core->n = fc->n;
    core->bias_item = fc->bias_item;
    if (!init_labels(*core, labels)) return nullptr;
    const Py_ssize_t count = PyTuple_GET_SIZE(labels);
    QV_TRY
    // The transition vectors were made by fc, so the dictionary may only
    // now be read: making them may have run Python code.
    core->vectors.labels = static_cast<uint32_t>(count);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(vectors); ++i)
        if (!store_vector(*core, PyTuple_GET_ITEM(vectors, i))) return nullptr;
    if (rows)
        core->table.layout(*rows->bases, *rows->start, *rows->cells, core->label_bytes.size());
    else
        core->table.build(dict->map, core->label_bytes);
    core->dict_generation = dict->map.generation;
    core->n_features = dict->map.size();
    int64_t bias_row = -1;
    if (fc->bias_item >= 0 && static_cast<std::size_t>(fc->bias_item) < dict->map.size())
        bias_row = core->table.find(dict->map.word(fc->bias_item), dict->map.word_len(fc->bias_item));
    core->compiler.reset(new EmissionCompiler(core->table, core->use_utf8, fc->n, bias_row, core->label_bytes.size()));
    QV_CATCH(nullptr)
    return core.release();
}

// --- ChainModel slots --------------------------------------------------------------

PyObject* cm_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    ChainModelObject* m = as_chain(self);
    for (PyObject** f : {&m->fc, &m->dict, &m->labels, &m->transitions}) {
        Py_INCREF(Py_None);
        *f = Py_None;
    }
    return self;
}

int cm_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* const names[] = {"fc", "labels", nullptr};
    static const ArgSpec spec{"ChainModel", names, 0, 2};
    PyObject* a[2];
    if (!parse_tuple(spec, args, kwds, a)) return -1;
    return init_chain_model(as_chain(self), a[0], a[1], nullptr) ? 0 : -1;
}
int cm_traverse(PyObject* self, visitproc visit, void* arg) {
    ChainModelObject* m = as_chain(self);
    Py_VISIT(m->fc);
    Py_VISIT(m->dict);
    Py_VISIT(m->labels);
    Py_VISIT(m->transitions);
    return 0;
}

int cm_clear(PyObject* self) {
    ChainModelObject* m = as_chain(self);
    // The core goes first, so that code run by a released field finds an
    // uninitialised model, never a core without its combiner.
    std::unique_ptr<ChainCore> core(m->core);
    m->core = nullptr;
    for (PyObject** f : {&m->fc, &m->dict, &m->labels, &m->transitions}) {
        Py_INCREF(Py_None);
        set_field(*f, Py_None);
    }
    return 0;
}

void cm_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    ChainModelObject* m = as_chain(self);
    Py_CLEAR(m->fc);
    Py_CLEAR(m->dict);
    Py_CLEAR(m->labels);
    Py_CLEAR(m->transitions);
    delete m->core;
    m->core = nullptr;
    Py_TYPE(self)->tp_free(self);
}

PyObject* cm_repr(PyObject* self) {
    ChainModelObject* m = as_chain(self);
    if (!m->core) return PyUnicode_FromString("ChainModel(not initialised)");
    return PyUnicode_FromFormat("ChainModel(labels=%zd, features=%zu)", PyTuple_GET_SIZE(m->labels),
                                m->core->n_features);
}

PyObject* cm_get_n_features(PyObject* self, void*) {
    ChainCore* core = chain_core(as_chain(self));
    return core ? PyLong_FromSize_t(core->n_features) : nullptr;
}

PyObject* cm_get_floor(PyObject* self, void*) {
    ChainCore* core = chain_core(as_chain(self));
    return core ? PyFloat_FromDouble(core->floor) : nullptr;
}

int cm_set_floor(PyObject* self, PyObject* value, void*) {
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "the floor cannot be deleted");
        return -1;
    }
    double floor;
    if (!to_double(value, &floor)) return -1;
    if (std::isnan(floor) || floor == HUGE_VAL) {
        PyErr_Format(PyExc_ValueError, "the floor must be a number below +inf, not %R", value);
        return -1;
    }
    ChainCore* core = chain_core(as_chain(self));
    if (!core) return -1;
    core->floor = floor;
    return 0;
}

PyObject* cm_get_monotone(PyObject* self, void*) {
    ChainCore* core = chain_core(as_chain(self));
    return core ? PyBool_FromLong(core->table.monotone()) : nullptr;
}

const Field fc_field{offsetof(ChainModelObject, fc)};
const Field labels_field{offsetof(ChainModelObject, labels)};

PyGetSetDef cm_getset[] = {
    {"fc", get_object, nullptr, "the FCombo the model was built from", closure(fc_field)},
    {"labels", get_object, nullptr, "the labels (a tuple of str); candidate label i is labels[i]",
     closure(labels_field)},
    {"n_features", cm_get_n_features, nullptr,
     "the size of the combiner's dictionary: weight arrays must be at least this long", nullptr},
    {"floor", cm_get_floor, cm_set_floor,
     "the score floor of decoding: a state never takes a previous state whose path scores below it,\n"
     "and a chosen state without one fails the decode (AssertionError). -1000.0, as in\n"
     "decode_simple_crf; -inf keeps every path, so long sentences with negative scores decode",
     nullptr},
    {"monotone", cm_get_monotone, nullptr,
     "whether every label's keys were registered in the order of their features (the fast path of\n"
     "compiling; ChainModel.register_keys registers them so)",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// --- CompiledSentence slots -----------------------------------------------------------

int cs_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_compiled(self)->model);
    return 0;
}

int cs_clear(PyObject* self) {
    Py_CLEAR(as_compiled(self)->model);
    return 0;
}

void cs_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_compiled(self)->model);
    delete as_compiled(self)->chain;
    Py_TYPE(self)->tp_free(self);
}

Py_ssize_t cs_len(PyObject* self) {
    const CompiledChain* c = as_compiled(self)->chain;
    return c ? static_cast<Py_ssize_t>(c->positions()) : 0;
}

// The label objects of label indices (a new tuple).
PyObject* label_objects(PyObject* model, const uint32_t* idx, std::size_t n) {
    PyObject* labels = as_chain(model)->labels;
    Ref out(PyTuple_New(static_cast<Py_ssize_t>(n)));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* l = PyTuple_GET_ITEM(labels, idx[i]);
        Py_INCREF(l);
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), l);
    }
    return out.release();
}

// Whether the sentence's model is still the one that compiled it (its
// label indices then index the model's labels).
bool check_compiled_alive(PyObject* self) {
    CompiledSentenceObject* s = as_compiled(self);
    if (!s->model || !PyObject_TypeCheck(s->model, &ChainModel_Type) || !PyTuple_Check(as_chain(s->model)->labels)) {
        PyErr_SetString(PyExc_ValueError, "this CompiledSentence is no longer usable: its ChainModel was cleared");
        return false;
    }
    return compiled_of(as_chain(s->model), self) != nullptr;
}

PyObject* cs_get_gold(PyObject* self, void*) {
    if (!check_compiled_alive(self)) return nullptr;
    const CompiledChain* c = as_compiled(self)->chain;
    if (c->gold.empty() && c->positions() > 0) Py_RETURN_NONE;
    return label_objects(as_compiled(self)->model, c->gold.data(), c->gold.size());
}

PyObject* cs_get_candidates(PyObject* self, void*) {
    if (!check_compiled_alive(self)) return nullptr;
    const CompiledChain* c = as_compiled(self)->chain;
    Ref out(PyList_New(static_cast<Py_ssize_t>(c->positions())));
    if (!out) return nullptr;
    for (std::size_t k = 0; k < c->positions(); ++k) {
        PyObject* t = label_objects(as_compiled(self)->model, c->cand_label.data() + c->cand_start[k],
                                    c->cand_start[k + 1] - c->cand_start[k]);
        if (!t) return nullptr;
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k), t);
    }
    return out.release();
}

PyObject* cs_get_nbytes(PyObject* self, void*) {
    const CompiledChain* c = as_compiled(self)->chain;
    return PyLong_FromSize_t(c ? c->bytes() : 0);
}

PyObject* cs_emission(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"position", "label", nullptr};
    static const ArgSpec spec{"emission", names, 0, 2};
    PyObject* a[2];
    if (!parse_args(spec, args, nargs, kwnames, a) || !check_compiled_alive(self)) return nullptr;
    CompiledSentenceObject* s = as_compiled(self);
    ModelPin pin(as_chain(s->model));  // the position's __index__ may run Python code
    ChainCore* core = chain_core(as_chain(s->model));
    if (!core) return nullptr;
    Py_ssize_t k = PyNumber_AsSsize_t(a[0], PyExc_IndexError);
    if (k == -1 && PyErr_Occurred()) return nullptr;
    const Py_ssize_t K = static_cast<Py_ssize_t>(s->chain->positions());
    if (k < 0) k += K;
    if (k < 0 || k >= K) {
        PyErr_Format(PyExc_IndexError, "position %zd is not in a sentence of %zd positions", k, K);
        return nullptr;
    }
    const int64_t l = label_index(core, a[1], "the label", k);
    if (l < 0) return nullptr;
    const int64_t c = s->chain->find(static_cast<std::size_t>(k), static_cast<uint32_t>(l));
    if (c < 0) {
        PyErr_Format(PyExc_ValueError, "%R is not a candidate at position %zd", a[1], k);
        return nullptr;
    }
    return emission_vector(*s->chain, static_cast<std::size_t>(c));
}

PyMethodDef cs_methods[] = {{"emission", reinterpret_cast<PyCFunction>(cs_emission), METH_FASTCALL | METH_KEYWORDS,
                             "emission($self, position, label)\n--\n\n"
                             "-> SparseVectorD: the emission vector of a candidate label, the\n"
                             "vector fc(features, labels=[label]) of the position's features."},
                            {nullptr, nullptr, 0, nullptr}};

const Field model_field{offsetof(CompiledSentenceObject, model)};

PyGetSetDef cs_getset[] = {
    {"model", get_object, nullptr, "the ChainModel that compiled the sentence", closure(model_field)},
    {"gold", cs_get_gold, nullptr, "the gold labels (a tuple), or None", nullptr},
    {"candidates", cs_get_candidates, nullptr, "the candidate labels of each position (a list of tuples)", nullptr},
    {"nbytes", cs_get_nbytes, nullptr, "memory held by the compiled arrays", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PySequenceMethods cs_sequence = {cs_len};

}  // namespace

// --- shared checks -------------------------------------------------------------------

// The labels as a tuple of distinct str.
PyObject* label_tuple(PyObject* labels) {
    if (PyUnicode_Check(labels) || PyBytes_Check(labels)) {
        PyErr_SetString(PyExc_TypeError, "labels must be a sequence of str, not a single string");
        return nullptr;
    }
    Ref tuple(PySequence_Tuple(labels));
    if (!tuple) return nullptr;
    const Py_ssize_t count = PyTuple_GET_SIZE(tuple.get());
    if (count == 0) {
        PyErr_SetString(PyExc_ValueError, "a chain model needs at least one label");
        return nullptr;
    }
    // Exact str copies: formatting a key of a str subclass ("T%S-%S") would
    // call its __str__, Python code that may change the combiner while the
    // model's vectors are being made from it.
    Ref exact(PyTuple_New(count));
    Ref seen(PySet_New(nullptr));
    if (!exact || !seen) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* given = PyTuple_GET_ITEM(tuple.get(), i);
        if (!PyUnicode_Check(given)) {
            PyErr_Format(PyExc_TypeError, "labels must be str, not %.200s", Py_TYPE(given)->tp_name);
            return nullptr;
        }
        PyObject* l = PyUnicode_FromObject(given);
        if (!l) return nullptr;
        PyTuple_SET_ITEM(exact.get(), i, l);
        int r = PySet_Contains(seen.get(), l);
        if (r < 0 || (r == 0 && PySet_Add(seen.get(), l) < 0)) return nullptr;
        if (r == 1) {
            PyErr_Format(PyExc_ValueError, "label %R is given twice", l);
            return nullptr;
        }
    }
    return exact.release();
}

bool init_labels(ChainCore& core, PyObject* labels) {
    QV_TRY
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(labels); ++i) {
        PyObject* l = PyTuple_GET_ITEM(labels, i);
        Ref holder;
        const char* p;
        Py_ssize_t n;
        if (!alphabet_key_bytes(core.use_utf8, l, &holder, &p, &n)) return false;
        core.label_bytes.emplace_back(p, static_cast<std::size_t>(n));
        core.label_ids.lookup(p, static_cast<std::size_t>(n));
        core.label_objects.emplace(l, static_cast<uint32_t>(i));
    }
    core.label_ids.growing = false;
    QV_CATCH(false)
    return true;
}

namespace {

bool refuse_in_use(ChainModelObject* self) {
    if (self->uses == 0) return true;
    PyErr_SetString(PyExc_RuntimeError,
                    "the ChainModel cannot be re-initialised while a call on it is running (from a callback)");
    return false;
}

}  // namespace

bool init_chain_model(ChainModelObject* self, PyObject* fc_arg, PyObject* labels_arg, const KnownRows* rows) {
    if (!refuse_in_use(self) || !check_combiner(fc_arg)) return false;
    Ref fc = Ref::borrow(fc_arg);
    Ref labels(label_tuple(labels_arg));
    if (!labels) return false;
    FComboObject* f = as_fc(fc.get());
    // The vectors hold ids of the dictionary as it is now.
    Ref dict = Ref::borrow(f->dict);
    const uint64_t dict_generation = as_alph(dict.get())->map.generation;
    const Py_ssize_t count = PyTuple_GET_SIZE(labels.get());
    // Vector 0 is fc([]), then per (previous label or start, label) the
    // transition vector and its variant into the last position.
    Ref vectors(PyTuple_New(1 + 2 * (count + 1) * count));
    if (!vectors) return false;
    Ref empty(PyList_New(0));
    PyObject* v0 = empty ? fcombo_vectorise(f, empty.get(), nullptr) : nullptr;
    if (!v0) return false;
    PyTuple_SET_ITEM(vectors.get(), 0, v0);
    Py_ssize_t at = 1;
    for (Py_ssize_t p = -1; p < count; ++p) {
        PyObject* prev = p < 0 ? Py_None : PyTuple_GET_ITEM(labels.get(), p);
        for (Py_ssize_t l = 0; l < count; ++l)
            for (bool last : {false, true}) {
                PyObject* v = transition_vector(f, prev, PyTuple_GET_ITEM(labels.get(), l), last);
                if (!v) return false;
                PyTuple_SET_ITEM(vectors.get(), at++, v);
            }
    }
    // Converting the features may have run Python code: check again.
    if (!check_combiner(fc.get())) return false;
    if (f->dict != dict.get() || as_alph(dict.get())->map.generation != dict_generation) {
        PyErr_SetString(PyExc_RuntimeError, "the combiner's dictionary changed while the ChainModel was built");
        return false;
    }
    if (!has_transition_keys(as_alph(f->dict)->map, labels.get(), as_alph(f->dict)->use_utf8)) {
        PyErr_SetString(PyExc_ValueError,
                        "the combiner's dictionary holds no transition key 'T<previous>-<label>' of these labels: "
                        "register the keys (ChainModel.register_keys) before freezing it");
        return false;
    }
    // Building ran Python code, which may have started a call on the model.
    if (!refuse_in_use(self)) return false;
    ChainCore* core = build_core(f, labels.get(), vectors.get(), rows);
    if (!core) return false;
    ChainModelObject* m = self;
    // Everything is replaced before the old values are released: releasing
    // may run Python code, which must see the new model whole.
    std::unique_ptr<ChainCore> old_core(m->core);
    Ref old_fc(m->fc), old_dict(m->dict), old_labels(m->labels), old_transitions(m->transitions);
    m->core = core;
    ++m->generation;
    m->fc = fc.release();
    m->dict = Ref::borrow(f->dict).release();
    m->labels = labels.release();
    m->transitions = vectors.release();
    return true;
}

ChainCore* chain_core(ChainModelObject* self) {
    ChainCore* core = self->core;
    if (!core) {
        PyErr_SetString(PyExc_ValueError, "ChainModel is not initialised: call ChainModel(fc, labels)");
        return nullptr;
    }
    FComboObject* fc = as_fc(self->fc);
    PyObject* dict = fc->dict;
    if (dict != self->dict || !dict_is_native(dict) || as_alph(dict)->map.generation != core->dict_generation ||
        as_alph(dict)->map.growing || fc->n != core->n || fc->bias_item != core->bias_item) {
        PyErr_SetString(PyExc_ValueError,
                        "the combiner changed after this ChainModel was built (its dictionary, n or bias_item): "
                        "build a new ChainModel");
        return nullptr;
    }
    return core;
}

int64_t label_index(ChainCore* core, PyObject* label, const char* what, Py_ssize_t position) {
    auto it = core->label_objects.find(label);
    if (it != core->label_objects.end()) return it->second;
    if (!PyUnicode_Check(label)) {
        PyErr_Format(PyExc_TypeError, "%s at position %zd: labels are str, not %.200s", what, position,
                     Py_TYPE(label)->tp_name);
        return -1;
    }
    Ref holder;
    const char* p;
    Py_ssize_t n;
    if (!alphabet_key_bytes(core->use_utf8, label, &holder, &p, &n)) return -1;
    const int32_t id = core->label_ids.find(p, static_cast<std::size_t>(n));
    if (id < 0) {
        PyErr_Format(PyExc_ValueError, "%s at position %zd: %R is not a label of the model", what, position, label);
        return -1;
    }
    return id;
}

bool WeightsView::acquire(PyObject* weights, const ChainCore* core) {
    if (PyList_Check(weights) || PyTuple_Check(weights)) {
        PyErr_Format(PyExc_TypeError, "weights must be a float64 array, not %.200s", Py_TYPE(weights)->tp_name);
        return false;
    }
    if (!view_set(view, weights, Elem::Float64, false)) return false;
    if (static_cast<std::size_t>(view.len) < core->n_features) {
        PyErr_Format(PyExc_ValueError,
                     "the weight array has %zd entries, fewer than the %zu features of the combiner's dictionary",
                     view.len, core->n_features);
        return false;
    }
    if (!view.contiguous()) {
        QV_TRY
        copy.resize(static_cast<std::size_t>(view.len));
        for (Py_ssize_t i = 0; i < view.len; ++i) copy[static_cast<std::size_t>(i)] = view.at<double>(i);
        QV_CATCH(false)
    }
    return true;
}

PyObject* emission_vector(const CompiledChain& cs, std::size_t c) {
    const uint32_t lo = cs.entry_start[c], n = cs.entry_start[c + 1] - lo;
    SparseVectorD* v = sparsmat->new_sparse_d(n);
    if (!v) return nullptr;
    for (uint32_t j = 0; j < n; ++j) {
        v->idx_ptr[j] = cs.entry_id[lo + j];
        v->vals_ptr[j] = cs.value(lo + j);
    }
    return reinterpret_cast<PyObject*>(v);
}

bool raise_no_path(int64_t position, std::size_t positions, double floor) {
    Ref at(PyFloat_FromDouble(floor));
    if (!at) return false;
    if (static_cast<std::size_t>(position) >= positions)
        PyErr_Format(PyExc_AssertionError, "no label of the last position scores at least %R", at.get());
    else
        PyErr_Format(PyExc_AssertionError, "the chosen label at position %zd has no transition scoring at least %R",
                     static_cast<Py_ssize_t>(position), at.get());
    return false;
}

extern PyMethodDef chain_decode_methods[];
extern PyMethodDef chain_register_methods[];

PyTypeObject ChainModel_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject CompiledSentence_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};

bool ready_chain_model() {
    static std::vector<PyMethodDef> methods;
    methods.clear();
    for (const PyMethodDef* table : {chain_decode_methods, chain_train_methods, chain_register_methods})
        for (const PyMethodDef* m = table; m->ml_name; ++m) methods.push_back(*m);
    methods.push_back({nullptr, nullptr, 0, nullptr});
    PyTypeObject& t = ChainModel_Type;
    t.tp_name = "quorvex.feature.ChainModel";
    t.tp_basicsize = sizeof(ChainModelObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_doc =
        "ChainModel(fc, labels)\n--\n\n"
        "A linear-chain model over a frozen FCombo: emission features are the combiner's\n"
        "label-conjoined keys ('NOUN^w=dog'), transitions the keys 'T<previous>-<label>' (previous\n"
        "None at the start) and 'STOP' into the last position. decode(sentence, weights) gives the\n"
        "labels that make_simple_crf + decode_simple_crf give for the same candidates, weights and\n"
        "combiner, ties included, without building a forest. compile(...) resolves a sentence's\n"
        "features once (for training over many epochs); train_epoch(...) runs a perceptron epoch.\n"
        "The combiner must stay as it is: a changed dictionary, n or bias_item is refused.";
    t.tp_new = cm_new;
    t.tp_init = cm_init;
    t.tp_dealloc = cm_dealloc;
    t.tp_traverse = cm_traverse;
    t.tp_clear = cm_clear;
    t.tp_repr = cm_repr;
    t.tp_methods = methods.data();
    t.tp_getset = cm_getset;
    if (PyType_Ready(&t) < 0) return false;

    PyTypeObject& c = CompiledSentence_Type;
    c.tp_name = "quorvex.feature.CompiledSentence";
    c.tp_basicsize = sizeof(CompiledSentenceObject);
    c.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    c.tp_doc =
        "A sentence compiled by ChainModel.compile: its candidate labels and their emission\n"
        "vectors' entries, resolved once. Decode it, or train on it with ChainModel.train_epoch.";
    c.tp_dealloc = cs_dealloc;
    c.tp_repr = compiled_sentence_repr;
    c.tp_traverse = cs_traverse;
    c.tp_clear = cs_clear;
    c.tp_as_sequence = &cs_sequence;
    c.tp_getset = cs_getset;
    c.tp_methods = cs_methods;
    return PyType_Ready(&c) == 0;
}

}  // namespace qv
