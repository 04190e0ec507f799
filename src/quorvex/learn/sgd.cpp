// SgdMomentum: stochastic gradient steps with momentum, a decaying rate and
// L2 regularisation, at a cost proportional to the gradient's entries:
//   - a step only adds to the per-feature velocity;
//   - the velocity's effect over a feature's idle steps is added to its
//     weight later, in closed form (hiddenUpdates);
//   - L2 decay of all weights is one global factor, weights_scale, by which
//     the stored weights are multiplied on read.
#include <cmath>
#include <cstddef>
#include <cstdio>

#include "common/getset.h"
#include "learn/learner.h"
#include "learn/reprs.h"
#include "learn/state.h"

namespace qv {

// The catch-up raises two constants, r = momentum / (1 - l2) and momentum,
// to the idle interval of every feature it covers. Short intervals are
// frequent, so their powers are computed once per learner, with std::pow
// itself: a cached power is exactly the value std::pow gives.
struct SgdPowers {
    static const int kSize = 1024;
    double ratio, momentum;  // the bases the tables were made for
    double ratio_pow[kSize], momentum_pow[kSize];

    void fill(double r, double m) {
        ratio = r;
        momentum = m;
        for (int k = 0; k < kSize; ++k) {
            ratio_pow[k] = std::pow(r, k);
            momentum_pow[k] = std::pow(m, k);
        }
    }
    // r^k and m^k, from the tables when they hold them.
    void powers(double r, double m, int64_t k, double* rk, double* mk) const {
        if (k >= 0 && k < kSize && r == ratio && m == momentum) {
            *rk = ratio_pow[k];
            *mk = momentum_pow[k];
        } else {
            // A 64-bit count: idle spans of 2^31 steps and more are real
            // (an int wrapped to a negative power, inf, and 0 * inf = NaN).
            *rk = std::pow(r, static_cast<double>(k));
            *mk = std::pow(m, static_cast<double>(k));
        }
    }
};

namespace {

Overridable op_score_name{"score"};
// Below this the global scale is folded into the stored weights.
const double kMinScale = 0.0001;

SgdMomentumObject* as_sgd(PyObject* o) { return reinterpret_cast<SgdMomentumObject*>(o); }

bool fail_float_division() {
    raise_float_division();
    return false;
}

struct SgdArrays {
    Strided<double> w, velocity;
    Strided<int64_t> last;
    Py_ssize_t limit;
    explicit SgdArrays(const SgdMomentumObject* s)
        : w(s->weights), velocity(s->velocity), last(s->lastUpdated),
          limit(common_length({&s->weights, &s->velocity, &s->lastUpdated})) {}
};

// --- internal operations ------------------------------------------------------------

// For every covered feature f idle for k = timestep - last[f] steps (a
// 64-bit count), with r = momentum / (1 - l2):
//   weights[f] += (1 / weights_scale) * ((1 - r^k) * velocity[f] / (1 - r))
//   velocity[f] *= momentum^k;  last[f] = timestep
// the geometric sum of the decaying velocity over the idle steps, in stored
// units. ZeroDivisionError "float division" when 1 - l2, weights_scale or
// 1 - r is 0 (checked at the first feature covered).
int op_hidden_updates(SgdMomentumObject* self, PyObject* vec, int start, int end) {
    const SgdArrays s(self);
    const int64_t t = self->timestep;
    bool checked = false;
    double ratio = 0.0;
    return each_covered(vec, start, end, self->n_dimensions, s.limit,
                        [&](std::size_t f) {
        if (!checked) {
            if (1 - self->l2 == 0) return fail_float_division();
            ratio = self->momentum / (1 - self->l2);
            if (self->weights_scale == 0 || 1 - ratio == 0) return fail_float_division();
            checked = true;
        }
        const int64_t idle = t - s.last[f];
        if (idle != 0) {  // an up-to-date feature is left exactly as it is
            double mom_factor = 1.0, decay = 1.0;
            if (self->powers) {
                self->powers->powers(ratio, self->momentum, idle, &mom_factor, &decay);
            } else {
                mom_factor = std::pow(ratio, static_cast<double>(idle));
                decay = std::pow(self->momentum, static_cast<double>(idle));
            }
            s.w[f] += (1 / self->weights_scale) * ((1 - mom_factor) * s.velocity[f] / (1 - ratio));
            s.velocity[f] *= decay;
        }
        s.last[f] = t;
        return true;
    })
               ? 0
               : -1;
}

// hiddenUpdates(vec), then dot(vec, weights) * weights_scale. Errors are raised.
PyObject* score_native(SgdMomentumObject* self, SparseVectorD* vec, int) {
    double d = 0.0;
    if (self->ops->hiddenUpdates(self, reinterpret_cast<PyObject*>(vec), 0, -1) < 0 ||
        !guarded_dot(vec, self->weights, &d))
        return nullptr;
    return PyFloat_FromDouble(d * self->weights_scale);
}

// The override of a Python subclass, if any, gets (vec, is_testing).
PyObject* op_score(SgdMomentumObject* self, SparseVectorD* vec, int is_testing) {
    PyObject* me = reinterpret_cast<PyObject*>(self);
    const int r = find_override(me, &SgdMomentum_Type, op_score_name);
    if (r < 0) return nullptr;
    if (r == 0) return score_native(self, vec, is_testing);
    PyObject* args[] = {reinterpret_cast<PyObject*>(vec), is_testing ? Py_True : Py_False};
    return call_override(me, op_score_name, args, 2);
}

const SgdMomentumOps sgd_ops = {op_score, op_hidden_updates};

// Multiplies every stored weight by weights_scale and resets it to 1.0.
bool fold_scale(SgdMomentumObject* self) {
    const SgdArrays s(self);
    const double scale = self->weights_scale;
    if (!each_covered(Py_None, 0, -1, self->n_dimensions, common_length({&self->weights}),
                      [&s, scale](std::size_t k) { s.w[k] *= scale; }))
        return false;
    self->weights_scale = 1.0;
    return true;
}

// --- type slots -----------------------------------------------------------------------

PyObject* sgd_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    as_sgd(self)->ops = &sgd_ops;
    return self;
}

int sgd_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* const names[] = {"n_dimensions", "l2", "n_examples", "momentum", "eta", nullptr};
    static const ArgSpec spec{"SgdMomentum", names, 0, 1};
    PyObject* a[5];
    if (!parse_tuple(spec, args, kwds, a)) return -1;
    double momentum = 0.9, eta = 0.1, l2 = 0.0;
    int32_t n, t0;
    if ((a[3] && !to_double(a[3], &momentum)) || (a[4] && !to_double(a[4], &eta)) || !to_int32(a[0], &n)) return -1;
    Ref zero(PyFloat_FromDouble(0.0)), one(PyFloat_FromDouble(1.0));
    if (!zero || !one) return -1;
    PyObject* n_examples = a[2] ? a[2] : one.get();
    // t0: n_examples truncated to an integer (0.5 gives 0).
    Ref t0_obj(PyNumber_Long(n_examples));
    if (!t0_obj || !to_int32(t0_obj.get(), &t0)) return -1;
    Ref l2_obj(PyNumber_TrueDivide(a[1] ? a[1] : zero.get(), n_examples));
    if (!l2_obj || !to_double(l2_obj.get(), &l2)) return -1;
    SgdMomentumObject* s = as_sgd(self);
    if (!s->powers) {
        s->powers = static_cast<SgdPowers*>(PyMem_Malloc(sizeof(SgdPowers)));
        if (!s->powers) {
            raise_no_memory();
            return -1;
        }
    }
    if (!fresh_arrays(n, {{&s->weights, "d"}, {&s->velocity, "d"}, {&s->lastUpdated, "l"}})) return -1;
    s->powers->fill(1 - l2 == 0 ? 0.0 : momentum / (1 - l2), momentum);
    s->momentum = momentum;
    s->eta = eta;
    s->weights_scale = 1.0;
    s->n_dimensions = n;
    s->t0 = t0;
    s->timestep = 0;
    s->l2 = l2;
    return 0;
}

using Slots = LearnerSlots<SgdMomentumObject, &SgdMomentumObject::weights, &SgdMomentumObject::velocity,
                           &SgdMomentumObject::lastUpdated>;

void sgd_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Slots::clear(self);
    PyMem_Free(as_sgd(self)->powers);
    Py_TYPE(self)->tp_free(self);
}

// --- methods --------------------------------------------------------------------------

PyObject* sgd_score(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"vec", "is_testing", nullptr};
    static const ArgSpec spec{"score", names, 0, 1};
    PyObject* a[2];
    if (!parse_args(spec, args, nargs, kwnames, a) || !check_vec_arg(a[0], "vec")) return nullptr;
    // is_testing does not change the result; it exists for overriding definitions.
    return score_native(as_sgd(self), reinterpret_cast<SparseVectorD*>(a[0]), 1);
}

// At timestep t, with eta_t = t0 * eta / (t0 + t):
//   velocity[f] += x[f] * a * eta_t       for every entry of every (a, vec) pair
//   weights_scale *= 1 - eta_t * l2       (folded into the weights below 0.0001)
// then timestep = t + 1. Pending momentum is not caught up here: the next
// catch-up credits the new velocity for all of a feature's idle steps.
PyObject* sgd_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"gradient", "loss", nullptr};
    static const ArgSpec spec{"update", names, 0, 1};
    PyObject* a[2];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;  // loss is accepted and ignored
    SgdMomentumObject* s = as_sgd(self);
    const int64_t t = s->timestep;
    const int64_t denominator = static_cast<int64_t>(s->t0) + t;
    if (denominator == 0) return raise_float_division();
    const double eta_actual = s->t0 * s->eta / static_cast<double>(denominator);
    if (!each_pair(a[0], [s, eta_actual](double coef, SparseVectorD* vec) {
        const SgdArrays arr(s);
        return each_entry(vec, arr.limit, [&arr, coef, eta_actual](std::size_t f, double x) {
            arr.velocity[f] += x * coef * eta_actual;
        });
    }))
        return nullptr;
    s->weights_scale = (1 - eta_actual * s->l2) * s->weights_scale;
    if (s->weights_scale < kMinScale) {
        char line[64];
        PyOS_snprintf(line, sizeof line, "SGD: rescaling, timestep=%lld", static_cast<long long>(t));
        if (!print_line("stdout", line) || !fold_scale(s)) return nullptr;
    }
    s->timestep = t + 1;
    Py_RETURN_NONE;
}

// Every feature caught up, the scale folded into the weights: the true
// weights, as the learner's own array.
PyObject* sgd_get_weights(PyObject* self, PyObject*) {
    SgdMomentumObject* s = as_sgd(self);
    if (s->ops->hiddenUpdates(s, Py_None, 0, -1) < 0 || !fold_scale(s)) return nullptr;
    return view_object(s->weights);
}

PyObject* sgd_get_dense(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"start", "end", "testing", nullptr};
    static const ArgSpec spec{"get_dense", names, 0, 2};
    PyObject* a[3];
    int start, end, testing;
    if (!parse_args(spec, args, nargs, kwnames, a) || !dense_args(a, &start, &end, &testing)) return nullptr;
    SgdMomentumObject* s = as_sgd(self);
    if (!testing && s->ops->hiddenUpdates(s, Py_None, start, end) < 0) return nullptr;
    return dense_slice(s->weights, start, end, true, s->weights_scale);
}

PyObject* sgd_get_weights_l1(PyObject* self, PyObject*) {
    SgdMomentumObject* s = as_sgd(self);
    const Strided<double> w(s->weights);
    double sum = 0.0;
    if (!each_covered(Py_None, 0, -1, s->n_dimensions, common_length({&s->weights}),
                      [&](std::size_t k) { sum += std::fabs(w[k]); }))
        return nullptr;
    return PyFloat_FromDouble(sum * s->weights_scale);
}

PyObject* sgd_set_weights(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"w", nullptr};
    static const ArgSpec spec{"set_weights", names, 0, 1};
    PyObject* a[1];
    double value;
    if (!parse_args(spec, args, nargs, kwnames, a) || !to_double(a[0], &value)) return nullptr;
    SgdMomentumObject* s = as_sgd(self);
    if (!s->weights.valid()) {
        raise_view_not_initialized();
        return nullptr;
    }
    const Strided<double> w(s->weights);
    for (Py_ssize_t k = 0; k < s->weights.len; ++k) w[static_cast<std::size_t>(k)] = value;
    Py_RETURN_NONE;
}

PyObject* sgd_save_binary(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"fname_out", nullptr};
    static const ArgSpec spec{"save_binary", names, 0, 1};
    PyObject* a[1];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    Ref weights(PyObject_CallMethod(self, "get_weights", nullptr));
    if (!weights || !save_array(weights.get(), a[0])) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef sgd_methods[] = {
    {"score", reinterpret_cast<PyCFunction>(sgd_score), METH_FASTCALL | METH_KEYWORDS,
     "score($self, vec, is_testing=True)\n--\n\n"
     "-> float: catches up vec's pending momentum, then\n"
     "dot(vec, weights) * weights_scale. is_testing does not change the result."},
    {"update", reinterpret_cast<PyCFunction>(sgd_update), METH_FASTCALL | METH_KEYWORDS,
     "update($self, gradient, loss=1.0)\n--\n\n"
     "One step; adds a * vec * eta_t to the velocity for every (a, vec)\n"
     "pair, eta_t = t0 * eta / (t0 + timestep), and decays all weights by 1 - eta_t * l2. loss is ignored."},
    {"get_weights", sgd_get_weights, METH_NOARGS,
     "get_weights($self, /)\n--\n\n"
     "-> the weights array itself, with every feature's momentum caught up and the\n"
     "global scale folded in (the true weights)."},
    {"get_dense", reinterpret_cast<PyCFunction>(sgd_get_dense), METH_FASTCALL | METH_KEYWORDS,
     "get_dense($self, start, end, testing=True)\n--\n\n"
     "-> a new array weights[start:end] * weights_scale; with\n"
     "testing false, the momentum of [start, end) is caught up first."},
    {"get_weights_l1", sgd_get_weights_l1, METH_NOARGS,
     "get_weights_l1($self, /)\n--\n\n"
     "-> float: sum of |weights| * weights_scale, without catching up."},
    {"set_weights", reinterpret_cast<PyCFunction>(sgd_set_weights), METH_FASTCALL | METH_KEYWORDS,
     "set_weights($self, w)\n--\n\n"
     "Sets every stored weight to the number w (true weight w * weights_scale)."},
    {"save_binary", reinterpret_cast<PyCFunction>(sgd_save_binary), METH_FASTCALL | METH_KEYWORDS,
     "save_binary($self, fname_out)\n--\n\n"
     "Writes self.get_weights() with numpy.save to the file fname_out."},
    QV_STATE_METHODS(sgd_kind),
    {nullptr, nullptr, 0, nullptr}};

const Field weights_field{offsetof(SgdMomentumObject, weights)};
const Field velocity_field{offsetof(SgdMomentumObject, velocity)};
const Field last_field{offsetof(SgdMomentumObject, lastUpdated)};
const Field n_field{offsetof(SgdMomentumObject, n_dimensions)};
const Field timestep_field{offsetof(SgdMomentumObject, timestep)};

PyGetSetDef sgd_getset[] = {
    {"weights", get_view, nullptr, "stored weights (true weight: stored * weights_scale once caught up)",
     closure(weights_field)},
    {"velocity", get_view, nullptr, "per feature, the momentum term", closure(velocity_field)},
    {"lastUpdated", get_view, nullptr, "per feature, the timestep of its last catch-up (int64)", closure(last_field)},
    {"n_dimensions", get_int32, nullptr, "number of weight dimensions", closure(n_field)},
    {"timestep", get_int64, nullptr, "number of completed update calls", closure(timestep_field)},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

}  // namespace

// --- state ----------------------------------------------------------------------------

namespace {

// Every feature's pending momentum caught up and the scale folded in (what
// get_weights does): the state's weights are the true weights.
bool sgd_catch_up(PyObject* self) {
    SgdMomentumObject* s = as_sgd(self);
    return s->ops->hiddenUpdates(s, Py_None, 0, -1) == 0 && fold_scale(s);
}

// The cache of powers follows the restored momentum and l2.
bool sgd_after_set(PyObject* self) {
    SgdMomentumObject* s = as_sgd(self);
    if (!s->powers) {
        s->powers = static_cast<SgdPowers*>(PyMem_Malloc(sizeof(SgdPowers)));
        if (!s->powers) {
            raise_no_memory();
            return false;
        }
    }
    s->powers->fill(1 - s->l2 == 0 ? 0.0 : s->momentum / (1 - s->l2), s->momentum);
    return true;
}

const StateArray sgd_arrays[] = {
    {"weights", offsetof(SgdMomentumObject, weights), Elem::Float64, Combine::ScaledMean},
    {"velocity", offsetof(SgdMomentumObject, velocity), Elem::Float64, Combine::Mean},
    {"lastUpdated", offsetof(SgdMomentumObject, lastUpdated), Elem::Int64, Combine::Clock}};
const StateNumber sgd_numbers[] = {
    {"eta", offsetof(SgdMomentumObject, eta), NumType::Double, Combine::Same},
    {"l2", offsetof(SgdMomentumObject, l2), NumType::Double, Combine::Same},
    {"t0", offsetof(SgdMomentumObject, t0), NumType::Int32, Combine::Same},
    {"momentum", offsetof(SgdMomentumObject, momentum), NumType::Double, Combine::Same},
    {"weights_scale", offsetof(SgdMomentumObject, weights_scale), NumType::Double, Combine::Unit},
    {"timestep", offsetof(SgdMomentumObject, timestep), NumType::Int64, Combine::Steps}};

}  // namespace

const LearnerKind sgd_kind = {
    "sgd",        &SgdMomentum_Type, offsetof(SgdMomentumObject, n_dimensions), -1, sgd_arrays, 3, sgd_numbers, 6, 0,
    sgd_catch_up, sgd_after_set};

PyTypeObject SgdMomentum_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};

bool ready_sgd_momentum() {
    PyTypeObject& t = SgdMomentum_Type;
    t.tp_name = "quorvex.learn.SgdMomentum";
    t.tp_basicsize = sizeof(SgdMomentumObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc =
        "SgdMomentum(n_dimensions, l2=0.0, n_examples=1.0, momentum=0.9, eta=0.1)\n--\n\n"
        "SGD with momentum, a rate decaying as t0 / (t0 + t) (t0 = int(n_examples)) and L2\n"
        "regularisation of l2 / n_examples per step kept as a global scale. No averaging;\n"
        "save_binary writes the true weights; get_state/set_state and pickles carry the full state.";
    t.tp_new = sgd_new;
    t.tp_repr = sgd_repr;
    t.tp_init = sgd_init;
    t.tp_dealloc = sgd_dealloc;
    t.tp_traverse = Slots::traverse;
    t.tp_clear = Slots::clear;
    t.tp_methods = sgd_methods;
    t.tp_getset = sgd_getset;
    return PyType_Ready(&t) == 0;
}

}  // namespace qv
