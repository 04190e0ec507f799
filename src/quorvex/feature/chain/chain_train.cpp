// Training a chain model: registering its keys in a growing dictionary,
// the structured perceptron step, and a native epoch over compiled
// sentences.
//
// The step moves the weights from the predicted path to the gold one. A
// path's vector is the sum of its candidates' emission vectors and its
// transition vectors; parts on which both paths agree cancel and are left
// out, so the step hands the learner, in position order,
//
//   (+1, e(k, gold_k)), (-1, e(k, pred_k))                 where the labels differ
//   (+1, t(gold_k-1, gold_k)), (-1, t(pred_k-1, pred_k))    where the label pairs differ
//
// (the start before position 0, the "STOP" variant into the last position)
// through its update method, as one call per sentence, also when nothing
// differs (an empty step still counts for the averaged perceptron).
#include <vector>

#include "common/args.h"
#include "common/errors.h"
#include "feature/chain/chain_model.h"

namespace qv {

namespace {

bool append_pair(PyObject* out, PyObject* coef, PyObject* vec) {
    Ref pair(PyTuple_Pack(2, coef, vec));
    return pair && PyList_Append(out, pair.get()) == 0;
}

PyObject* plus_one() {
    static PyObject* v = PyFloat_FromDouble(1.0);
    return v;
}
PyObject* minus_one() {
    static PyObject* v = PyFloat_FromDouble(-1.0);
    return v;
}

// The step's (coefficient, vector) pairs for the predicted labels pred (a
// candidate of each position) against the sentence's gold labels.
PyObject* step_pairs(ChainModelObject* m, const ChainCore* core, const CompiledChain& cs, const uint32_t* pred) {
    Ref out(PyList_New(0));
    if (!out || !plus_one() || !minus_one()) return nullptr;
    const std::size_t K = cs.positions();
    uint32_t gprev = 0, pprev = 0;  // label + 1; 0 is the start
    for (std::size_t k = 0; k < K; ++k) {
        const uint32_t g = cs.gold[k], p = pred[k];
        const bool last = k + 1 == K;
        if (g != p) {
            const int64_t cg = cs.find(k, g), cp = cs.find(k, p);
            if (cp < 0) {
                PyErr_Format(PyExc_ValueError, "the predicted label %R of position %zd is not one of its candidates",
                             PyTuple_GET_ITEM(m->labels, p), static_cast<Py_ssize_t>(k));
                return nullptr;
            }
            Ref eg(emission_vector(cs, static_cast<std::size_t>(cg)));
            Ref ep(eg ? emission_vector(cs, static_cast<std::size_t>(cp)) : nullptr);
            if (!ep || !append_pair(out.get(), plus_one(), eg.get()) || !append_pair(out.get(), minus_one(), ep.get()))
                return nullptr;
        }
        if (g != p || gprev != pprev) {
            PyObject* tg = PyTuple_GET_ITEM(m->transitions, core->vectors.transition(gprev, g, last));
            PyObject* tp = PyTuple_GET_ITEM(m->transitions, core->vectors.transition(pprev, p, last));
            if (!append_pair(out.get(), plus_one(), tg) || !append_pair(out.get(), minus_one(), tp)) return nullptr;
        }
        gprev = g + 1;
        pprev = p + 1;
    }
    return out.release();
}

// A CompiledSentence of this model that carries gold labels.
const CompiledChain* training_sentence(ChainModelObject* m, PyObject* obj, Py_ssize_t i) {
    if (Py_TYPE(obj) != &CompiledSentence_Type) {
        PyErr_Format(PyExc_TypeError, "sentence %zd is a %.200s, not a CompiledSentence (ChainModel.compile)", i,
                     Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    const CompiledChain* chain = compiled_of(m, obj, i);
    if (!chain) return nullptr;
    if (chain->gold.size() != chain->positions()) {
        PyErr_Format(PyExc_ValueError, "sentence %zd has no gold labels (compile it with gold=...)", i);
        return nullptr;
    }
    return chain;
}

PyObject* cm_gradient(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"sentence", "predicted", nullptr};
    static const ArgSpec spec{"gradient", names, 0, 2};
    PyObject* a[2];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    ChainModelObject* m = as_chain(self);
    ModelPin pin(m);  // reading predicted may run Python code
    ChainCore* core = chain_core(m);
    if (!core) return nullptr;
    Ref hold = Ref::borrow(a[0]);
    const CompiledChain* cs = training_sentence(m, a[0], 0);
    if (!cs) return nullptr;
    if (PyUnicode_Check(a[1])) {
        PyErr_SetString(PyExc_TypeError, "predicted must be a sequence of labels, not a single str");
        return nullptr;
    }
    Ref seq(PySequence_Fast(a[1], "predicted must be a sequence of labels"));
    if (!seq) return nullptr;
    if (static_cast<std::size_t>(PySequence_Fast_GET_SIZE(seq.get())) != cs->positions()) {
        PyErr_Format(PyExc_ValueError, "predicted has %zd labels, the sentence %zu positions",
                     PySequence_Fast_GET_SIZE(seq.get()), cs->positions());
        return nullptr;
    }
    std::vector<uint32_t> pred;
    QV_TRY
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(seq.get()); ++k) {
        int64_t l = label_index(core, PySequence_Fast_GET_ITEM(seq.get(), k), "a predicted label", k);
        if (l < 0) return nullptr;
        pred.push_back(static_cast<uint32_t>(l));
    }
    QV_CATCH(nullptr)
    return step_pairs(m, core, *cs, pred.data());
}

// --- the epoch -------------------------------------------------------------------------

PyObject* cm_train_epoch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"sentences", "learner", "order", "callback", "every", nullptr};
    static const ArgSpec spec{"train_epoch", names, 0, 2};
    PyObject* a[5];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    ChainModelObject* m = as_chain(self);
    ModelPin pin(m);  // the learner and the callback run Python code
    ChainCore* core = chain_core(m);
    if (!core) return nullptr;
    PyObject* learner = a[1];
    PyObject* callback = a[3] && a[3] != Py_None ? a[3] : nullptr;
    if (callback && !PyCallable_Check(callback)) {
        PyErr_SetString(PyExc_TypeError, "callback must be callable");
        return nullptr;
    }
    long every = 100;
    if (a[4]) {
        every = PyLong_AsLong(a[4]);
        if (every == -1 && PyErr_Occurred()) return nullptr;
        if (every < 1) {
            PyErr_SetString(PyExc_ValueError, "every must be at least 1");
            return nullptr;
        }
    }
    // Everything is checked before the first step, so that bad input
    // changes nothing. The tuple keeps the sentences alive and fixed.
    Ref sentences(PySequence_Tuple(a[0]));
    if (!sentences) return nullptr;
    const Py_ssize_t count = PyTuple_GET_SIZE(sentences.get());
    std::vector<const CompiledChain*> chains;
    std::vector<Py_ssize_t> order;
    QV_TRY
    for (Py_ssize_t i = 0; i < count; ++i) {
        const CompiledChain* cs = training_sentence(m, PyTuple_GET_ITEM(sentences.get(), i), i);
        if (!cs) return nullptr;
        chains.push_back(cs);
    }
    if (a[2] && a[2] != Py_None) {
        Ref seq(PySequence_Fast(a[2], "order must be a sequence of sentence numbers"));
        if (!seq) return nullptr;
        for (Py_ssize_t j = 0; j < PySequence_Fast_GET_SIZE(seq.get()); ++j) {
            Py_ssize_t i = PyNumber_AsSsize_t(PySequence_Fast_GET_ITEM(seq.get(), j), PyExc_IndexError);
            if (i == -1 && PyErr_Occurred()) return nullptr;
            if (i < 0 || i >= count) {
                PyErr_Format(PyExc_IndexError, "order[%zd] = %zd is not a sentence number (0 to %zd)", j, i, count - 1);
                return nullptr;
            }
            order.push_back(i);
        }
    } else {
        for (Py_ssize_t i = 0; i < count; ++i) order.push_back(i);
    }
    QV_CATCH(nullptr)
    static PyObject* weights_name = PyUnicode_InternFromString("weights");
    static PyObject* update_name = PyUnicode_InternFromString("update");
    if (!weights_name || !update_name) return nullptr;
    Ref no_step(PyTuple_New(0));
    if (!no_step) return nullptr;

    // The steps make short-lived tuples and lists that reference counting
    // frees; the cyclic collector would only walk every live object again
    // and again.
    CollectorPause pause;
    ViterbiDecoder decoder;  // the epoch's own, so that a callback may decode meanwhile
    std::vector<uint32_t> path;
    long long tokens = 0, wrong = 0;
    for (std::size_t j = 0; j < order.size(); ++j) {
        // A callback may have changed the combiner (the pin keeps the core).
        if (!chain_core(m)) return nullptr;
        const CompiledChain& cs = *chains[order[j]];
        int64_t failed;
        {
            Ref weights(PyObject_GetAttr(learner, weights_name));
            if (!weights) return nullptr;
            WeightsView w;
            if (!w.acquire(weights.get(), core)) return nullptr;
            QV_TRY failed = decoder.decode(cs, core->vectors, w.weights(), path, core->floor);
            QV_CATCH(nullptr)
        }
        if (failed >= 0) {
            raise_no_path(failed, cs.positions(), core->floor);
            return nullptr;
        }
        long long errors = 0;
        for (std::size_t k = 0; k < cs.positions(); ++k) errors += path[k] != cs.gold[k];
        Ref step;
        if (errors)
            step = Ref(step_pairs(m, core, cs, path.data()));
        else
            step = Ref::borrow(no_step.get());
        if (!step) return nullptr;
        PyObject* call_args[] = {learner, step.get()};
        Ref r(PyObject_VectorcallMethod(update_name, call_args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (!r) return nullptr;
        tokens += static_cast<long long>(cs.positions());
        wrong += errors;
        if (callback && ((j + 1) % static_cast<std::size_t>(every) == 0 || j + 1 == order.size())) {
            Ref done(PyLong_FromSize_t(j + 1));
            if (!done) return nullptr;
            Ref cr(PyObject_CallOneArg(callback, done.get()));
            if (!cr) return nullptr;
        }
    }
    return Py_BuildValue("(LL)", tokens, wrong);
}

}  // namespace

PyMethodDef chain_train_methods[] = {
    {"gradient", reinterpret_cast<PyCFunction>(cm_gradient), METH_FASTCALL | METH_KEYWORDS,
     "gradient($self, sentence, predicted)\n--\n\n"
     "-> list of (coefficient, SparseVectorD)\n\n"
     "The perceptron step from the predicted labels to the gold labels of a compiled sentence:\n"
     "(+1, gold vector), (-1, predicted vector) for every emission and transition where the two\n"
     "paths differ, in position order (emissions before the transition into the same position;\n"
     "the transition into the last position carries 'STOP'). learner.update(gradient) applies it."},
    {"train_epoch", reinterpret_cast<PyCFunction>(cm_train_epoch), METH_FASTCALL | METH_KEYWORDS,
     "train_epoch($self, sentences, learner, order=None, callback=None, every=100)\n--\n\n"
     "-> (tokens, errors)\n\n"
     "One perceptron epoch over compiled sentences with gold labels, in the given order (sentence\n"
     "numbers; all of them in turn by default): each sentence is decoded with learner.weights and\n"
     "learner.update(gradient(sentence, predicted)) is called, with an empty step when the\n"
     "prediction is right. callback(done) is called every `every` sentences and at the end.\n"
     "Returns the tokens seen and the tokens predicted wrongly."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace qv
