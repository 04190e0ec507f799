// make_classifier: rebuilds a scoring-ready learner from a tag, a weight
// array and the fc object. Earlier versions pickled the averaging learners
// as a call of it (a fresh learner whose current weights are the pickled
// learner's averaged weights), so those pickles still load through it;
// learners now pickle their full state (state.cpp).
#include "common/args.h"
#include "learn/learn.h"

namespace qv {

namespace {

struct Tag {
    const char* name;
    PyTypeObject* type;
};

// Through the Python-level constructor, set_weights and fc, as a caller would.
PyObject* build(PyTypeObject* type, PyObject* weights, PyObject* fc) {
    const Py_ssize_t n = PyObject_Length(weights);
    if (n < 0) return nullptr;
    Ref result(PyObject_CallFunction(reinterpret_cast<PyObject*>(type), "n", n));
    if (!result) return nullptr;
    Ref done(PyObject_CallMethod(result.get(), "set_weights", "O", weights));
    if (!done || PyObject_SetAttrString(result.get(), "fc", fc) < 0) return nullptr;
    return result.release();
}

PyObject* make_classifier(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"tp", "weights", "fc", nullptr};
    static const ArgSpec spec{"make_classifier", names, 0, 2};
    PyObject* a[3];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    const Tag tags[] = {{"adagrad", &AdaGrad_Type}, {"avgper", &AvgPer_Type}, {"mira", &AvgMira_Type}};
    for (const Tag& tag : tags) {
        Ref name(PyUnicode_FromString(tag.name));
        if (!name) return nullptr;
        const int eq = PyObject_RichCompareBool(a[0], name.get(), Py_EQ);
        if (eq < 0) return nullptr;
        if (eq) return build(tag.type, a[1], a[2] ? a[2] : Py_None);
    }
    PyErr_Format(PyExc_ValueError, "make_classifier: unknown kind %R (known: 'adagrad', 'avgper', 'mira')", a[0]);
    return nullptr;
}

}  // namespace

PyMethodDef make_classifier_def = {
    "make_classifier", reinterpret_cast<PyCFunction>(make_classifier), METH_FASTCALL | METH_KEYWORDS,
    "make_classifier(tp, weights, fc=None)\n--\n\n"
    "-> a learner; ValueError for an unknown tag.\n\n"
    "tp 'adagrad', 'avgper' or 'mira' gives AdaGrad/AvgPer/AvgMira(len(weights)) with default\n"
    "hyper-parameters, set_weights(weights) (adopted, not copied; avgWeights a copy) and fc set;\n"
    "its timestep is 0. Loads the pickles of earlier versions (weights only)."};

}  // namespace qv
