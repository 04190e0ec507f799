// AvgPer: the averaged perceptron. A step adds a * vec to the weights for
// every (a, vec) pair the caller hands over; the averaged weights
// avgWeights / timestep are kept lazily (learner.h: Averages).
#include <cstddef>

#include "common/getset.h"
#include "learn/learner.h"
#include "learn/reprs.h"
#include "learn/state.h"

namespace qv {

namespace {

const char* const kScore = "quorvex.learn.AvgPer.score";
Overridable op_score_name{"score"};

AvgPerObject* as_ap(PyObject* o) { return reinterpret_cast<AvgPerObject*>(o); }

Averages averages(const AvgPerObject* s) { return Averages(s->weights, s->avgWeights, s->lastUpdated, s->timestep); }

// --- internal operations ------------------------------------------------------------

// score = dot(vec, avgWeights) / timestep when averaging and timestep > 0,
// else dot(vec, weights). No catch-up: pending contributions are missing
// from the averaged score (get_dense(..., testing=False) brings them in).
double score_native(AvgPerObject* self, SparseVectorD* vec, int use_avg) {
    const bool averaged = use_avg && self->timestep > 0;
    double d = 0.0;
    if (!guarded_dot(vec, averaged ? self->avgWeights : self->weights, &d)) {
        report_unraisable(kScore);
        return 0.0;
    }
    return averaged ? d / static_cast<double>(self->timestep) : d;
}

double op_score(AvgPerObject* self, SparseVectorD* vec, int use_avg) {
    return dispatch_score(self, vec, use_avg, &AvgPer_Type, op_score_name, kScore, score_native);
}

int op_hidden_updates(AvgPerObject* self, PyObject* vec, int start, int end) {
    return averaged_catch_up(averages(self), vec, start, end, self->n_dimensions) ? 0 : -1;
}

const AvgPerOps avgper_ops = {op_score, op_hidden_updates};

// --- type slots -----------------------------------------------------------------------

PyObject* ap_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    as_ap(self)->ops = &avgper_ops;
    Py_INCREF(Py_None);
    as_ap(self)->fc = Py_None;
    return self;
}

int ap_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* const names[] = {"n_dimensions", nullptr};
    static const ArgSpec spec{"AvgPer", names, 0, 1};
    PyObject* a[1];
    int32_t n;
    if (!parse_tuple(spec, args, kwds, a) || !to_int32(a[0], &n)) return -1;
    AvgPerObject* s = as_ap(self);
    if (!fresh_arrays(n, {{&s->weights, "d"}, {&s->avgWeights, "d"}, {&s->lastUpdated, "d"}})) return -1;
    s->n_dimensions = n;
    s->timestep = 0;
    return 0;
}

using Slots = LearnerSlots<AvgPerObject, &AvgPerObject::weights, &AvgPerObject::avgWeights, &AvgPerObject::lastUpdated>;

// --- methods --------------------------------------------------------------------------

PyObject* ap_score(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return score_method<AvgPerObject>(self, args, nargs, kwnames, "use_avg", score_native);
}

// For every pair (a, vec) and every entry x[f] of vec:
//   avgWeights[f] += weights[f] * (timestep - lastUpdated[f]); lastUpdated[f] = timestep;
//   weights[f] += a * x[f]
// then timestep += 1 (see pairwise_update).
bool ap_step(AvgPerObject* s, double coef, SparseVectorD* vec) { return averaged_add(averages(s), vec, coef); }
constexpr auto ap_update = pairwise_update<AvgPerObject, ap_step>;

PyMethodDef ap_methods[] = {
    {"score", reinterpret_cast<PyCFunction>(ap_score), METH_FASTCALL | METH_KEYWORDS,
     "score($self, vec, use_avg=True)\n--\n\n"
     "-> float: dot(vec, avgWeights) / timestep when use_avg and timestep > 0,\n"
     "else dot(vec, weights). Averages still pending for vec's features are not included (see get_dense)."},
    {"update", reinterpret_cast<PyCFunction>(ap_update), METH_FASTCALL | METH_KEYWORDS,
     "update($self, gradient)\n--\n\n"
     "One training step; adds a * vec to the weights for every (a, vec) pair of\n"
     "gradient and counts one timestep."},
    {"set_weights", reinterpret_cast<PyCFunction>(averaging_set_weights<AvgPerObject>), METH_FASTCALL | METH_KEYWORDS,
     "set_weights($self, weights, copy=False)\n--\n\n"
     "A float64 array of the same length as the weights becomes\n"
     "the weights: the array itself (shared, so it must be writable) or, with copy, a copy of it (a\n"
     "read-only array is fine). avgWeights becomes a copy of it. lastUpdated and timestep are kept."},
    {"get_dense", reinterpret_cast<PyCFunction>(averaging_get_dense<AvgPerObject>), METH_FASTCALL | METH_KEYWORDS,
     "get_dense($self, start, end, testing=True)\n--\n\n"
     "-> a new float64 array of length end - start.\n"
     "testing: avgWeights[start:end] / timestep as they stand (the learner is not changed).\n"
     "not testing: first brings every feature in [start, end) up to date, adding to avgWeights the\n"
     "weight it held since it was last touched, then returns weights[start:end].\n"
     "The perceptron averages lazily, so call get_dense(0, n_dimensions, testing=False) once before\n"
     "taking averaged weights out of it (avgWeights / timestep, get_dense(0, n)); without it, every\n"
     "feature misses the weight it held since its last update."},
    {"save_binary", reinterpret_cast<PyCFunction>(averaging_save_binary<AvgPerObject>), METH_FASTCALL | METH_KEYWORDS,
     "save_binary($self, fname_out)\n--\n\n"
     "Writes avgWeights / timestep (as they stand) with numpy.save to the\n"
     "file fname_out (no extension added); FileModel loads it. Before the first step the current\n"
     "weights are written."},
    QV_STATE_METHODS(avgper_kind),
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

// --- state ----------------------------------------------------------------------------

namespace {

// Every feature's pending average added: avgWeights / timestep is then the
// exact mean and lastUpdated equals timestep everywhere.
bool ap_catch_up(PyObject* self) {
    AvgPerObject* s = as_ap(self);
    return averaged_catch_up(averages(s), Py_None, 0, -1, s->n_dimensions);
}

const StateArray ap_arrays[] = {{"weights", offsetof(AvgPerObject, weights), Elem::Float64, Combine::Mean},
                                {"avgWeights", offsetof(AvgPerObject, avgWeights), Elem::Float64, Combine::Sum},
                                {"lastUpdated", offsetof(AvgPerObject, lastUpdated), Elem::Float64, Combine::Clock}};
const StateNumber ap_numbers[] = {{"timestep", offsetof(AvgPerObject, timestep), NumType::Int64, Combine::Steps}};

}  // namespace

const LearnerKind avgper_kind = {"avgper",
                                 &AvgPer_Type,
                                 offsetof(AvgPerObject, n_dimensions),
                                 offsetof(AvgPerObject, fc),
                                 ap_arrays,
                                 3,
                                 ap_numbers,
                                 1,
                                 0,
                                 ap_catch_up,
                                 nullptr};

PyTypeObject AvgPer_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};

bool ready_avgper() {
    PyTypeObject& t = AvgPer_Type;
    t.tp_name = "quorvex.learn.AvgPer";
    t.tp_basicsize = sizeof(AvgPerObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc =
        "AvgPer(n_dimensions)\n--\n\n"
        "Averaged perceptron over SparseVectorD feature vectors. update(gradient) adds a * vec for\n"
        "every (a, vec) pair; score(vec) uses the averaged weights once a step was made. Averages are\n"
        "kept lazily: bring them up to date with get_dense(0, n_dimensions, testing=False) before\n"
        "taking them out of the learner. Feature numbers must be below n_dimensions (IndexError).";
    t.tp_new = ap_new;
    t.tp_repr = avgper_repr;
    t.tp_init = ap_init;
    t.tp_dealloc = Slots::dealloc;
    t.tp_traverse = Slots::traverse;
    t.tp_clear = Slots::clear;
    t.tp_methods = ap_methods;
    t.tp_getset = averaging_getset<AvgPerObject>("running sums of the weights held after each step (not divided)");
    return PyType_Ready(&t) == 0;
}

}  // namespace qv
