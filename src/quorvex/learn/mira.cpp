// AvgMira: the averaged passive-aggressive (MIRA) learner. A step moves the
// weights along one vector just far enough that its plain score reaches the
// step's loss; the averages are kept lazily like the perceptron's and are
// caught up for a vector's features before it is scored with them.
#include <cmath>
#include <cstddef>

#include "common/getset.h"
#include "learn/learner.h"
#include "learn/reprs.h"
#include "learn/state.h"

namespace qv {

namespace {

const char* const kScore = "quorvex.learn.AvgMira.score";
Overridable op_score_name{"score"};

AvgMiraObject* as_mira(PyObject* o) { return reinterpret_cast<AvgMiraObject*>(o); }

Averages averages(const AvgMiraObject* s) { return Averages(s->weights, s->avgWeights, s->lastUpdated, s->timestep); }

// --- internal operations ------------------------------------------------------------

int op_hidden_updates(AvgMiraObject* self, PyObject* vec, int start, int end) {
    return averaged_catch_up(averages(self), vec, start, end, self->n_dimensions) ? 0 : -1;
}

// Averaged (use_avg and timestep > 0): hiddenUpdates(vec), then
// dot(vec, avgWeights) / timestep, the exact mean of vec's weights over all
// steps. Otherwise dot(vec, weights).
double score_native(AvgMiraObject* self, SparseVectorD* vec, int use_avg) {
    const bool averaged = use_avg && self->timestep > 0;
    double d = 0.0;
    if ((averaged && self->ops->hiddenUpdates(self, reinterpret_cast<PyObject*>(vec), 0, -1) < 0) ||
        !guarded_dot(vec, averaged ? self->avgWeights : self->weights, &d)) {
        report_unraisable(kScore);
        return 0.0;
    }
    return averaged ? d / static_cast<double>(self->timestep) : d;
}

double op_score(AvgMiraObject* self, SparseVectorD* vec, int use_avg) {
    return dispatch_score(self, vec, use_avg, &AvgMira_Type, op_score_name, kScore, score_native);
}

const AvgMiraOps mira_ops = {op_score, op_hidden_updates};

// True unless the interpreter runs with assertions disabled (python -O).
bool assertions_enabled() {
    PyObject* debug = PyDict_GetItemString(PyEval_GetBuiltins(), "__debug__");
    return debug != Py_False;
}

// --- type slots -----------------------------------------------------------------------

PyObject* mira_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    as_mira(self)->ops = &mira_ops;
    Py_INCREF(Py_None);
    as_mira(self)->fc = Py_None;
    return self;
}

// The argument differs from 0.0 by Python comparison (None does).
int nonzero_arg(PyObject* arg) {
    if (!arg) return 0;
    Ref zero(PyFloat_FromDouble(0.0));
    return zero ? PyObject_RichCompareBool(arg, zero.get(), Py_NE) : -1;
}

int mira_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* const names[] = {"n_dimensions", "C", "l1", "l2", "n_examples", nullptr};
    static const ArgSpec spec{"AvgMira", names, 0, 1};
    PyObject* a[5];
    int32_t n;
    double C = 0.1;
    if (!parse_tuple(spec, args, kwds, a) || !to_int32(a[0], &n) || (a[1] && !to_double(a[1], &C))) return -1;
    const int warn_l1 = nonzero_arg(a[2]);
    const int warn_l2 = warn_l1 < 0 ? -1 : nonzero_arg(a[3]);
    if (warn_l2 < 0) return -1;
    AvgMiraObject* s = as_mira(self);
    if (!fresh_arrays(n, {{&s->weights, "d"}, {&s->avgWeights, "d"}, {&s->lastUpdated, "d"}})) return -1;
    s->n_dimensions = n;
    s->timestep = 0;
    s->C = C;
    // n_examples is accepted for the common constructor signature; no
    // regularisation is applied.
    if (warn_l1 && !print_line("stderr", "WARNING: AvgMira does not support l1 reg")) return -1;
    if (warn_l2 && !print_line("stderr", "WARNING: AvgMira does not support l2 reg")) return -1;
    return 0;
}

using Slots =
    LearnerSlots<AvgMiraObject, &AvgMiraObject::weights, &AvgMiraObject::avgWeights, &AvgMiraObject::lastUpdated>;

// --- methods --------------------------------------------------------------------------

PyObject* mira_score(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return score_method<AvgMiraObject>(self, args, nargs, kwnames, "use_avg", score_native);
}

// vec = gradient.to_vec(); margin = loss - score(vec, use_avg=False) (through
// an override); alpha = margin / (vec . vec); then for every entry x[f]:
//   avgWeights[f] += weights[f] * (timestep - lastUpdated[f]); lastUpdated[f] = timestep;
//   weights[f] += alpha * x[f]
// and timestep += 1. After it, score(vec, False) equals loss.
PyObject* mira_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"gradient", "loss", nullptr};
    static const ArgSpec spec{"update", names, 0, 1};
    PyObject* a[2];
    double loss = 1.0;
    if (!parse_args(spec, args, nargs, kwnames, a) || (a[1] && !to_double(a[1], &loss))) return nullptr;
    Ref vec_obj(PyObject_CallMethod(a[0], "to_vec", nullptr));
    if (!vec_obj || !check_convert(vec_obj.get(), sparsmat->SparseVectorD, false)) return nullptr;
    SparseVectorD* vec = reinterpret_cast<SparseVectorD*>(vec_obj.get());
    AvgMiraObject* s = as_mira(self);
    const double margin = loss - s->ops->score(s, vec, 0);
    // A NaN margin (a NaN loss or score) would spread NaN through the
    // weights: it is refused also when assertions are disabled.
    if (assertions_enabled() ? !(margin >= 0) : std::isnan(margin)) {
        Ref m(PyFloat_FromDouble(margin));
        if (m) PyErr_SetObject(PyExc_AssertionError, m.get());
        return nullptr;
    }
    const double norm = sparsmat->dot_self(vec);
    if (norm == 0) return raise_float_division();
    const double alpha = margin / norm;
    if (!averaged_add(averages(s), vec, alpha)) return nullptr;
    ++s->timestep;
    Py_RETURN_NONE;
}

// sum over k < n_dimensions of |avgWeights[k]|, divided by timestep.
PyObject* mira_get_weights_l1(PyObject* self, PyObject*) {
    AvgMiraObject* s = as_mira(self);
    const Strided<double> avg(s->avgWeights);
    double sum = 0.0;
    if (!each_covered(Py_None, 0, -1, s->n_dimensions, common_length({&s->avgWeights}),
                      [&](std::size_t k) { sum += std::fabs(avg[k]); }))
        return nullptr;
    if (s->timestep == 0) return raise_float_division();
    return PyFloat_FromDouble(sum / static_cast<double>(s->timestep));
}

PyMethodDef mira_methods[] = {
    {"score", reinterpret_cast<PyCFunction>(mira_score), METH_FASTCALL | METH_KEYWORDS,
     "score($self, vec, use_avg=True)\n--\n\n"
     "-> float: with use_avg and timestep > 0, catches up vec's pending\n"
     "averages and returns dot(vec, avgWeights) / timestep; else dot(vec, weights)."},
    {"update", reinterpret_cast<PyCFunction>(mira_update), METH_FASTCALL | METH_KEYWORDS,
     "update($self, gradient, loss=1.0)\n--\n\n"
     "Vec = gradient.to_vec() (a SparseVectorsD, for example); moves the\n"
     "weights along vec by (loss - score(vec, False)) / (vec . vec), so that the plain score of vec\n"
     "becomes loss. A negative margin raises AssertionError, a zero vector ZeroDivisionError."},
    {"set_weights", reinterpret_cast<PyCFunction>(averaging_set_weights<AvgMiraObject>), METH_FASTCALL | METH_KEYWORDS,
     "set_weights($self, weights, copy=False)\n--\n\n"
     "A float64 array of the same length as the weights becomes\n"
     "the weights: the array itself (shared, so it must be writable) or, with copy, a copy of it (a\n"
     "read-only array is fine). avgWeights becomes a copy of it. lastUpdated and timestep are kept."},
    {"get_weights_l1", mira_get_weights_l1, METH_NOARGS,
     "get_weights_l1($self, /)\n--\n\n"
     "-> float: sum of |avgWeights| / timestep (pending averages not caught up)."},
    {"get_dense", reinterpret_cast<PyCFunction>(averaging_get_dense<AvgMiraObject>), METH_FASTCALL | METH_KEYWORDS,
     "get_dense($self, start, end, testing=True)\n--\n\n"
     "-> a new float64 array of length end - start.\n"
     "testing: avgWeights[start:end] / timestep as they stand; not testing: catches up the averages\n"
     "of [start, end) first, then returns weights[start:end]."},
    {"save_binary", reinterpret_cast<PyCFunction>(averaging_save_binary<AvgMiraObject>), METH_FASTCALL | METH_KEYWORDS,
     "save_binary($self, fname_out)\n--\n\n"
     "Writes avgWeights / timestep (as they stand, no catch-up) with\n"
     "numpy.save to the file fname_out. Before the first step the current weights are written."},
    QV_STATE_METHODS(mira_kind),
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

// --- state ----------------------------------------------------------------------------

namespace {

bool mira_catch_up(PyObject* self) { return op_hidden_updates(as_mira(self), Py_None, 0, -1) == 0; }

const StateArray mira_arrays[] = {{"weights", offsetof(AvgMiraObject, weights), Elem::Float64, Combine::Mean},
                                  {"avgWeights", offsetof(AvgMiraObject, avgWeights), Elem::Float64, Combine::Sum},
                                  {"lastUpdated", offsetof(AvgMiraObject, lastUpdated), Elem::Float64, Combine::Clock}};
const StateNumber mira_numbers[] = {{"C", offsetof(AvgMiraObject, C), NumType::Double, Combine::Same},
                                    {"timestep", offsetof(AvgMiraObject, timestep), NumType::Int64, Combine::Steps}};

}  // namespace

const LearnerKind mira_kind = {"mira",
                               &AvgMira_Type,
                               offsetof(AvgMiraObject, n_dimensions),
                               offsetof(AvgMiraObject, fc),
                               mira_arrays,
                               3,
                               mira_numbers,
                               2,
                               0,
                               mira_catch_up,
                               nullptr};

PyTypeObject AvgMira_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};

bool ready_avgmira() {
    PyTypeObject& t = AvgMira_Type;
    t.tp_name = "quorvex.learn.AvgMira";
    t.tp_basicsize = sizeof(AvgMiraObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc =
        "AvgMira(n_dimensions, C=0.1, l1=0.0, l2=0.0, n_examples=None)\n--\n\n"
        "Averaged passive-aggressive learner. update(gradient, loss) takes one vector (gradient.to_vec())\n"
        "and sets its plain score to loss. C is stored but the step is not clipped; l1 and l2 are not\n"
        "supported (a warning is printed when they are not 0).";
    t.tp_new = mira_new;
    t.tp_repr = avgmira_repr;
    t.tp_init = mira_init;
    t.tp_dealloc = Slots::dealloc;
    t.tp_traverse = Slots::traverse;
    t.tp_clear = Slots::clear;
    t.tp_methods = mira_methods;
    t.tp_getset = averaging_getset<AvgMiraObject>("running sums of the weights held after each step (not divided)");
    return PyType_Ready(&t) == 0;
}

}  // namespace qv
