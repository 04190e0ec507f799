// AdaGrad: averaged online learner with a per-feature rate that shrinks with
// the square root of the feature's summed squared gradients, and L1/L2
// regularisation applied lazily: a feature is regularised for all the steps
// it was idle at once, when it is next touched (update) or scored
// (lazyUpdate, with lazy_updates set).
#include <cmath>
#include <cstddef>

#include "common/getset.h"
#include "learn/learner.h"
#include "learn/reprs.h"
#include "learn/state.h"

namespace qv {

namespace {

const char* const kScore = "quorvex.learn.AdaGrad.score";
Overridable op_score_name{"score"};
// Added to the summed squares before the root (rate before a gradient) and
// to the root (rate after it).
const double kRateFloor = 10000.0;

AdaGradObject* as_ada(PyObject* o) { return reinterpret_cast<AdaGradObject*>(o); }

// AdaGrad's step counts a feature's idle steps from the step after its last
// touch, so its averages are charged with lag 1 (learner.h: Averages::charge).
struct AdaState {
    Averages avg;
    Strided<double> sgs;  // sumGradSquare
    double eta, l1, l2;
    Py_ssize_t limit;
    explicit AdaState(const AdaGradObject* s)
        : avg(s->weights, s->avgWeights, s->lastUpdated, s->timestep), sgs(s->sumGradSquare), eta(s->eta),
          l1(s->lambdaL1), l2(s->lambdaL2),
          limit(common_length({&s->weights, &s->avgWeights, &s->sumGradSquare, &s->lastUpdated})) {}

    // The weight wanted after `rate` worth of steps, regularised:
    // L1 soft threshold towards 0, L2 as multiplicative decay, sign of wanted.
    double regularised(double wanted, double rate) const {
        const double trunc1 = std::fmax(std::fabs(wanted) - l1 * rate, 0.0);
        const double trunc2 = std::pow(1 - l2, rate);
        return std::copysign(std::fabs(trunc2 * trunc1), wanted);
    }
};

// x / d, or ZeroDivisionError "float division" for d == 0.
inline bool divide(double x, double d, double* out) {
    if (d == 0) return raise_float_division();
    *out = x / d;
    return true;
}

// One (a, vec) pair of a step; for every entry x[f]:
//   g = a * x[f]
//   prev = eta / sqrt(10000 + sgs[f]);  sgs[f] += g * g;  cur = eta / (sqrt(sgs[f]) + 10000)
//   idle = timestep - last[f] - 1;  last[f] = timestep;  avg[f] += w[f] * idle
//   w[f] = regularised(w[f] + g * cur, prev * idle + cur)
bool ada_step(const AdaState& s, const SparseVectorD* vec, double a) {
    return each_entry(vec, s.limit, [&s, a](std::size_t f, double x) {
        const double g = a * x;
        double prev_rate = 0.0, current_rate = 0.0;
        if (!divide(s.eta, std::sqrt(kRateFloor + s.sgs[f]), &prev_rate)) return false;
        s.sgs[f] += g * g;
        if (!divide(s.eta, std::sqrt(s.sgs[f]) + kRateFloor, &current_rate)) return false;
        const double wanted = s.avg.w[f] + g * current_rate;
        const double idle = s.avg.charge(f, 1.0);
        s.avg.w[f] = s.regularised(wanted, prev_rate * idle + current_rate);
        return true;
    });
}

// --- internal operations ------------------------------------------------------------

// For every entry of vec idle for more than one step (idle = timestep -
// last[f] - 1 > 0): the regularisation of those idle steps at the feature's
// current rate, and the average's catch-up with the weight before it.
int op_lazy_update(AdaGradObject* self, SparseVectorD* vec) {
    const AdaState s(self);
    return each_entry(vec, s.limit,
                      [&s](std::size_t f, double) {
        const double idle = s.avg.t - s.avg.last[f] - 1;
        if (!(idle > 0)) return true;
        const double wanted = s.avg.w[f];
        double rate = 0.0;
        if (!divide(s.eta, std::sqrt(kRateFloor + s.sgs[f]), &rate)) return false;
        rate *= idle;
        s.avg.charge(f, 1.0);  // last[f] = timestep; avg[f] += idle * w[f]
        s.avg.w[f] = s.regularised(wanted, rate);
        return true;
    })
               ? 0
               : -1;
}

// use_avg: dot(vec, avgWeights) / timestep (ZeroDivisionError at timestep 0,
// reported). Otherwise lazyUpdate(vec) when lazy_updates is set, then
// dot(vec, weights).
double score_native(AdaGradObject* self, SparseVectorD* vec, int use_avg) {
    double d = 0.0;
    bool ok;
    if (use_avg) {
        ok = guarded_dot(vec, self->avgWeights, &d) && divide(d, static_cast<double>(self->timestep), &d);
    } else {
        ok = (!self->lazy_updates || self->ops->lazyUpdate(self, vec) == 0) && guarded_dot(vec, self->weights, &d);
    }
    if (!ok) {
        report_unraisable(kScore);
        return 0.0;
    }
    return d;
}

double op_score(AdaGradObject* self, SparseVectorD* vec, int use_avg) {
    return dispatch_score(self, vec, use_avg, &AdaGrad_Type, op_score_name, kScore, score_native);
}

const AdaGradOps adagrad_ops = {op_score, op_lazy_update};

// --- type slots -----------------------------------------------------------------------

PyObject* ada_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    as_ada(self)->ops = &adagrad_ops;
    Py_INCREF(Py_None);
    as_ada(self)->fc = Py_None;
    return self;
}

// value / n_examples by Python true division, as a float.
bool per_example(PyObject* value, PyObject* n_examples, double* out) {
    Ref q(PyNumber_TrueDivide(value, n_examples));
    return q && to_double(q.get(), out);
}

int ada_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* const names[] = {"n_dimensions", "l1", "l2", "n_examples", "lazy_updates", nullptr};
    static const ArgSpec spec{"AdaGrad", names, 0, 1};
    PyObject* a[5];
    int32_t n;
    if (!parse_tuple(spec, args, kwds, a) || !to_int32(a[0], &n)) return -1;
    Ref zero(PyFloat_FromDouble(0.0)), one(PyFloat_FromDouble(1.0));
    if (!zero || !one) return -1;
    double l1, l2;
    int lazy = 0;
    PyObject* n_examples = a[3] ? a[3] : one.get();
    if (!per_example(a[1] ? a[1] : zero.get(), n_examples, &l1) ||
        !per_example(a[2] ? a[2] : zero.get(), n_examples, &l2) || (a[4] && !to_flag(a[4], &lazy)))
        return -1;
    AdaGradObject* s = as_ada(self);
    if (!fresh_arrays(n, {{&s->weights, "d"}, {&s->avgWeights, "d"}, {&s->sumGradSquare, "d"}, {&s->lastUpdated, "d"}}))
        return -1;
    s->n_dimensions = n;
    s->eta = 0.1;
    s->lambdaL1 = l1;
    s->lambdaL2 = l2;
    s->timestep = 0;
    s->lazy_updates = lazy;
    return 0;
}

using Slots = LearnerSlots<AdaGradObject, &AdaGradObject::weights, &AdaGradObject::avgWeights,
                           &AdaGradObject::sumGradSquare, &AdaGradObject::lastUpdated>;

// --- methods --------------------------------------------------------------------------

PyObject* ada_score(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return score_method<AdaGradObject>(self, args, nargs, kwnames, "use_avg", score_native);
}

bool ada_pair_step(AdaGradObject* s, double coef, SparseVectorD* vec) { return ada_step(AdaState(s), vec, coef); }
constexpr auto ada_update = pairwise_update<AdaGradObject, ada_pair_step>;

PyMethodDef ada_methods[] = {
    {"score", reinterpret_cast<PyCFunction>(ada_score), METH_FASTCALL | METH_KEYWORDS,
     "score($self, vec, use_avg=True)\n--\n\n"
     "-> float: dot(vec, avgWeights) / timestep (0.0 with a reported\n"
     "ZeroDivisionError before the first step); with use_avg false dot(vec, weights), after catching\n"
     "up the regularisation vec's features missed when lazy_updates is set."},
    {"update", reinterpret_cast<PyCFunction>(ada_update), METH_FASTCALL | METH_KEYWORDS,
     "update($self, gradient)\n--\n\n"
     "One training step over the (a, vec) pairs of gradient, each entry moved by\n"
     "a * x at its own rate and regularised for the steps it was idle."},
    {"set_weights", reinterpret_cast<PyCFunction>(averaging_set_weights<AdaGradObject>), METH_FASTCALL | METH_KEYWORDS,
     "set_weights($self, weights, copy=False)\n--\n\n"
     "A float64 array of the same length as the weights becomes\n"
     "the weights: the array itself (shared, so it must be writable) or, with copy, a copy of it (a\n"
     "read-only array is fine). avgWeights becomes a copy of it. sumGradSquare, lastUpdated and\n"
     "timestep are kept."},
    {"save_binary", reinterpret_cast<PyCFunction>(averaging_save_binary<AdaGradObject>), METH_FASTCALL | METH_KEYWORDS,
     "save_binary($self, fname_out)\n--\n\n"
     "Writes avgWeights / timestep with numpy.save to the file fname_out\n"
     "(before the first step, the current weights)."},
    QV_STATE_METHODS(adagrad_kind),
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

// --- state ----------------------------------------------------------------------------

namespace {

// Brings every feature up to date the way its next update would: a feature
// idle for k = timestep - lastUpdated - 1 > 0 steps gets avg += k * w (the
// weight it held), then the regularisation of those k steps at its current
// rate, and lastUpdated = timestep - 1, so that the next update counts only
// the steps after now. (lazyUpdate sets lastUpdated = timestep instead,
// which makes an update at the same timestep charge the average with -1
// step; this catch-up leaves updates to continue as if it never happened.)
bool ada_catch_up(PyObject* self) {
    const AdaState s(as_ada(self));
    const double t = s.avg.t;
    return each_covered(Py_None, 0, -1, as_ada(self)->n_dimensions, s.limit, [&s, t](std::size_t f) {
        const double idle = t - s.avg.last[f] - 1;
        if (!(idle > 0)) return true;
        const double w = s.avg.w[f];
        double rate = 0.0;
        if (!divide(s.eta, std::sqrt(kRateFloor + s.sgs[f]), &rate)) return false;
        s.avg.avg[f] += w * idle;
        s.avg.last[f] = t - 1;
        if (w != 0) s.avg.w[f] = s.regularised(w, rate * idle);  // 0 stays 0 (also when the decay is NaN)
        return true;
    });
}

const StateArray ada_arrays[] = {{"weights", offsetof(AdaGradObject, weights), Elem::Float64, Combine::Mean},
                                 {"avgWeights", offsetof(AdaGradObject, avgWeights), Elem::Float64, Combine::Sum},
                                 {"sumGradSquare", offsetof(AdaGradObject, sumGradSquare), Elem::Float64, Combine::Sum},
                                 {"lastUpdated", offsetof(AdaGradObject, lastUpdated), Elem::Float64, Combine::Clock}};
const StateNumber ada_numbers[] = {
    {"eta", offsetof(AdaGradObject, eta), NumType::Double, Combine::Same},
    {"lambdaL1", offsetof(AdaGradObject, lambdaL1), NumType::Double, Combine::Same},
    {"lambdaL2", offsetof(AdaGradObject, lambdaL2), NumType::Double, Combine::Same},
    {"lazy_updates", offsetof(AdaGradObject, lazy_updates), NumType::Flag, Combine::Same},
    {"timestep", offsetof(AdaGradObject, timestep), NumType::Int64, Combine::Steps}};

}  // namespace

const LearnerKind adagrad_kind = {"adagrad",
                                  &AdaGrad_Type,
                                  offsetof(AdaGradObject, n_dimensions),
                                  offsetof(AdaGradObject, fc),
                                  ada_arrays,
                                  4,
                                  ada_numbers,
                                  5,
                                  1,
                                  ada_catch_up,
                                  nullptr};

PyTypeObject AdaGrad_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};

bool ready_adagrad() {
    PyTypeObject& t = AdaGrad_Type;
    t.tp_name = "quorvex.learn.AdaGrad";
    t.tp_basicsize = sizeof(AdaGradObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc =
        "AdaGrad(n_dimensions, l1=0.0, l2=0.0, n_examples=1.0, lazy_updates=False)\n--\n\n"
        "Averaged learner with per-feature adaptive rates (base rate 0.1) and lazy L1/L2\n"
        "regularisation of l1 / n_examples and l2 / n_examples per step.";
    t.tp_new = ada_new;
    t.tp_repr = adagrad_repr;
    t.tp_init = ada_init;
    t.tp_dealloc = Slots::dealloc;
    t.tp_traverse = Slots::traverse;
    t.tp_clear = Slots::clear;
    t.tp_methods = ada_methods;
    t.tp_getset = averaging_getset<AdaGradObject>("running sums of the weights held (not divided)");
    return PyType_Ready(&t) == 0;
}

}  // namespace qv
