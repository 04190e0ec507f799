// ChainModel.compile and ChainModel.decode: turning a sentence's feature
// lists and candidate labels into a CompiledSentence, and Viterbi over it.
#include <vector>

#include "common/args.h"
#include "common/errors.h"
#include "feature/chain/chain_model.h"

namespace qv {

namespace {

// A sequence argument that must not be a single string (a str is a
// sequence of characters, never what is meant here).
PyObject* as_sequence(PyObject* obj, const char* what, Py_ssize_t position = -1) {
    const bool text = PyUnicode_Check(obj) || PyBytes_Check(obj);
    if (text || (Py_TYPE(obj)->tp_iter == nullptr && !PySequence_Check(obj))) {
        Ref where(position < 0 ? PyUnicode_FromString(what)
                               : PyUnicode_FromFormat("%s at position %zd", what, position));
        if (where)
            PyErr_Format(PyExc_TypeError, "%U must be a sequence, not %s%.200s", where.get(), text ? "a single " : "",
                         Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    // Reading the items may run Python code (sorting features, converting
    // values) that changes a list: the items are read from a copy.
    return fixed_sequence(obj, what);
}

}  // namespace

bool read_label_lists(ChainCore* core, PyObject* lists, std::size_t positions, const char* what,
                      std::vector<uint32_t>& labels, std::vector<uint32_t>& start) {
    QV_TRY
    labels.clear();
    start.assign(1, 0);
    if (lists == Py_None) {
        for (std::size_t k = 0; k < positions; ++k) {
            for (uint32_t l = 0; l < core->label_bytes.size(); ++l) labels.push_back(l);
            start.push_back(static_cast<uint32_t>(labels.size()));
        }
        return true;
    }
    Ref seq(as_sequence(lists, what));
    if (!seq) return false;
    if (static_cast<std::size_t>(PySequence_Fast_GET_SIZE(seq.get())) != positions) {
        PyErr_Format(PyExc_ValueError, "%s has %zd positions, the sentence %zu", what,
                     PySequence_Fast_GET_SIZE(seq.get()), positions);
        return false;
    }
    for (std::size_t k = 0; k < positions; ++k) {
        const Py_ssize_t pos = static_cast<Py_ssize_t>(k);
        Ref one(as_sequence(PySequence_Fast_GET_ITEM(seq.get(), pos), what, pos));
        if (!one) return false;
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(one.get());
        if (n == 0) {
            PyErr_Format(PyExc_ValueError, "position %zd has no labels in %s", pos, what);
            return false;
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            int64_t l = label_index(core, PySequence_Fast_GET_ITEM(one.get(), i), what, pos);
            if (l < 0) return false;
            labels.push_back(static_cast<uint32_t>(l));
        }
        start.push_back(static_cast<uint32_t>(labels.size()));
    }
    return true;
    QV_CATCH(false)
}

bool SentenceInput::read(ChainCore* core, PyObject* sentence, PyObject* candidates, PyObject* gold_labels) {
    QV_TRY
    flists.clear();
    gold.clear();
    Ref seq(as_sequence(sentence, "a sentence (a sequence of FeatureLists)"));
    if (!seq) return false;
    const Py_ssize_t K = PySequence_Fast_GET_SIZE(seq.get());
    for (Py_ssize_t k = 0; k < K; ++k) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), k);
        if (PyObject_TypeCheck(item, &FeatureList_Type)) {
            flists.push_back(Ref::borrow(item));
            continue;
        }
        if (PyUnicode_Check(item) || PyBytes_Check(item)) {
            PyErr_Format(PyExc_TypeError,
                         "the features of position %zd must be a FeatureList or a list of features, not a single "
                         "%.200s",
                         k, Py_TYPE(item)->tp_name);
            return false;
        }
        Ref fl(feature_list_from(item));
        if (!fl) return false;
        flists.push_back(std::move(fl));
    }
    if (!read_label_lists(core, candidates, flists.size(), "candidates", cands, cand_start)) return false;
    if (gold_labels != Py_None) {
        Ref gseq(as_sequence(gold_labels, "gold"));
        if (!gseq) return false;
        if (PySequence_Fast_GET_SIZE(gseq.get()) != K) {
            PyErr_Format(PyExc_ValueError, "gold has %zd labels, the sentence %zd positions",
                         PySequence_Fast_GET_SIZE(gseq.get()), K);
            return false;
        }
        for (Py_ssize_t k = 0; k < K; ++k) {
            int64_t l = label_index(core, PySequence_Fast_GET_ITEM(gseq.get(), k), "a gold label", k);
            if (l < 0) return false;
            gold.push_back(static_cast<uint32_t>(l));
        }
    }
    return true;
    QV_CATCH(false)
}

void SentenceInput::candidates_with_gold(std::vector<uint32_t>& labels, std::vector<uint32_t>& start) const {
    labels.clear();
    start.assign(1, 0);
    for (std::size_t k = 0; k < flists.size(); ++k) {
        bool present = gold.empty();
        for (uint32_t j = cand_start[k]; j < cand_start[k + 1]; ++j) {
            labels.push_back(cands[j]);
            present = present || cands[j] == gold[k];
        }
        if (!present) labels.push_back(gold[k]);
        start.push_back(static_cast<uint32_t>(labels.size()));
    }
}

namespace {

// The label objects of a decoded path (a new list).
PyObject* path_list(ChainModelObject* self, const std::vector<uint32_t>& path) {
    Ref out(PyList_New(static_cast<Py_ssize_t>(path.size())));
    if (!out) return nullptr;
    for (std::size_t k = 0; k < path.size(); ++k) {
        PyObject* l = PyTuple_GET_ITEM(self->labels, path[k]);
        Py_INCREF(l);
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k), l);
    }
    return out.release();
}

PyObject* cm_compile(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"sentence", "candidates", "gold", nullptr};
    static const ArgSpec spec{"compile", names, 0, 1};
    PyObject* a[3];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    ChainModelObject* m = as_chain(self);
    ModelPin pin(m);
    ChainCore* core = chain_core(m);
    if (!core) return nullptr;
    SentenceInput in;
    if (!in.read(core, a[0], a[1] ? a[1] : Py_None, a[2] ? a[2] : Py_None)) return nullptr;
    // Reading ran Python code: the combiner must still be the one the
    // tables were made from.
    if (!chain_core(m)) return nullptr;
    std::unique_ptr<CompiledChain> chain;
    {
        CoreUse use(core);
        if (!use || !compile_input(core, in, core->scratch)) return nullptr;
        // A copy at the exact size of the sentence; the scratch keeps its room.
        QV_TRY chain.reset(new CompiledChain(core->scratch));
        QV_CATCH(nullptr)
    }
    return new_compiled_sentence(self, chain.release());
}

PyObject* cm_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"sentence", "weights", "candidates", nullptr};
    static const ArgSpec spec{"decode", names, 0, 2};
    PyObject* a[3];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    ChainModelObject* m = as_chain(self);
    ModelPin pin(m);
    ChainCore* core = chain_core(m);
    if (!core) return nullptr;
    // Everything that may run Python code comes first: the weights' buffer
    // and the conversion of the input.
    WeightsView w;
    if (!w.acquire(a[1], core)) return nullptr;
    const CompiledChain* chain = nullptr;
    SentenceInput in;
    if (Py_TYPE(a[0]) == &CompiledSentence_Type) {
        if (a[2] && a[2] != Py_None) {
            PyErr_SetString(PyExc_TypeError, "a CompiledSentence carries its candidates: pass candidates=None");
            return nullptr;
        }
        chain = compiled_of(m, a[0]);
        if (!chain) return nullptr;
    } else if (!in.read(core, a[0], a[2] ? a[2] : Py_None, Py_None) || !chain_core(m)) {
        return nullptr;
    }
    CoreUse use(core);
    if (!use) return nullptr;
    const double* emissions = nullptr;
    if (!chain) {
        // Straight from the features: with a monotone table the emission
        // scores are summed as the rows come, without entries in between.
        const bool ok = core->table.monotone() ? score_input(core, in, w.weights(), core->scratch, core->scores)
                                               : compile_input(core, in, core->scratch);
        if (!ok) return nullptr;
        chain = &core->scratch;
        if (core->table.monotone()) emissions = core->scores.data();
    }
    int64_t failed;
    QV_TRY failed = core->decoder.decode(*chain, core->vectors, w.weights(), core->path, core->floor, emissions);
    QV_CATCH(nullptr)
    if (failed >= 0) {
        raise_no_path(failed, chain->positions(), core->floor);
        return nullptr;
    }
    return path_list(m, core->path);
}

}  // namespace

bool score_input(ChainCore* core, const SentenceInput& in, const Weights& w, CompiledChain& out,
                 std::vector<double>& scores) {
    QV_TRY
    out.clear();
    scores.clear();
    const std::size_t K = in.flists.size();
    std::vector<FeatureListObject*> flists(K);
    for (std::size_t k = 0; k < K; ++k) flists[k] = reinterpret_cast<FeatureListObject*>(in.flists[k].get());
    const bool ok =
        core->compiler->score_sentence(flists.data(), K, in.cands.data(), in.cand_start.data(), w, out, scores);
    if (!ok) out.clear();
    return ok;
    QV_CATCH(false)
}

PyObject* new_compiled_sentence(PyObject* model, CompiledChain* chain) {
    std::unique_ptr<CompiledChain> owned(chain);
    CompiledSentenceObject* out = PyObject_GC_New(CompiledSentenceObject, &CompiledSentence_Type);
    if (!out) return nullptr;
    out->model = Ref::borrow(model).release();
    out->chain = owned.release();
    out->generation = as_chain(model)->generation;
    PyObject_GC_Track(out);
    return reinterpret_cast<PyObject*>(out);
}

const CompiledChain* compiled_of(ChainModelObject* model, PyObject* sentence, Py_ssize_t index) {
    CompiledSentenceObject* s = as_compiled(sentence);
    const char* why = nullptr;
    if (s->model != reinterpret_cast<PyObject*>(model) || !s->chain)
        why = "was compiled by another ChainModel";
    else if (s->generation != model->generation)
        why = "was compiled before the ChainModel was built again";
    if (!why) return s->chain;
    if (index < 0)
        PyErr_Format(PyExc_ValueError, "the CompiledSentence %s", why);
    else
        PyErr_Format(PyExc_ValueError, "sentence %zd %s", index, why);
    return nullptr;
}

bool compile_input(ChainCore* core, const SentenceInput& in, CompiledChain& out) {
    QV_TRY
    out.clear();
    const std::size_t K = in.flists.size();
    std::vector<FeatureListObject*> flists(K);
    for (std::size_t k = 0; k < K; ++k) flists[k] = reinterpret_cast<FeatureListObject*>(in.flists[k].get());
    bool ok;
    if (in.gold.empty()) {
        ok = core->compiler->add_sentence(flists.data(), K, in.cands.data(), in.cand_start.data(), out);
    } else {
        std::vector<uint32_t> cands, start;
        in.candidates_with_gold(cands, start);
        ok = core->compiler->add_sentence(flists.data(), K, cands.data(), start.data(), out);
        if (ok) out.gold = in.gold;
    }
    if (!ok) out.clear();
    return ok;
    QV_CATCH(false)
}

PyMethodDef chain_decode_methods[] = {
    {"compile", reinterpret_cast<PyCFunction>(cm_compile), METH_FASTCALL | METH_KEYWORDS,
     "compile($self, sentence, candidates=None, gold=None)\n--\n\n"
     "-> CompiledSentence\n\n"
     "Resolves the features of a sentence once: sentence is a sequence of FeatureLists (or of what\n"
     "FeatureList() takes), one per position; candidates None offers every label at every position,\n"
     "else one sequence of labels per position (repeats are dropped); gold, one label per position,\n"
     "is needed for training and is added to the candidates of a position that lacks it."},
    {"decode", reinterpret_cast<PyCFunction>(cm_decode), METH_FASTCALL | METH_KEYWORDS,
     "decode($self, sentence, weights, candidates=None)\n--\n\n"
     "-> list of labels\n\n"
     "The best label sequence under weights (a 1-d float64 array at least n_features long):\n"
     "the labels that decode_simple_crf chooses on make_simple_crf over fc.label_nodes of the same\n"
     "features and candidates, ties included (the later candidate of equal scores wins). sentence\n"
     "is as for compile, or a CompiledSentence of this model (then candidates must be None).\n"
     "AssertionError when the chosen path falls below the model's score floor (see floor)."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace qv
