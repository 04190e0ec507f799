// A learner's full state as plain data, and parameter mixing over states.
//
// get_state() brings the learner's lazy parts up to date (pending averages,
// AdaGrad's missed regularisation, SgdMomentum's pending momentum and
// global scale) and returns a dict: "kind", "n_dimensions", copies of every
// array and every number the learner holds. set_state(state) checks the
// whole dict before it changes anything and then adopts copies, so a
// restored learner continues exactly like the one the state came from.
// mix(states) combines the states of learners trained apart (iterative
// parameter mixing). Each learner file describes its state in a
// LearnerKind: which keys, where they live and how mix() combines them.
#ifndef QUORVEX_LEARN_STATE_H
#define QUORVEX_LEARN_STATE_H

#include <cstddef>

#include "learn/learner.h"

namespace qv {

// How mix() combines one key over the states of a round.
enum class Combine {
    Mean,        // weighted mean (the weights, SgdMomentum's velocity)
    ScaledMean,  // weighted mean of the array times the state's Unit number (SgdMomentum's weights)
    Sum,         // base + the sum of each state's increment over base (averaging sums, sumGradSquare)
    Clock,       // lastUpdated: the mixed timestep less the kind's lag, i.e. every feature up to date
    Same,        // hyper-parameters: must be equal in every state
    Unit,        // SgdMomentum's weights_scale: 1.0 once folded into the weights
    Steps,       // timestep: base + the sum of each state's steps over base
};

struct StateArray {
    const char* key;
    Py_ssize_t offset;  // of the View1D in the instance
    Elem elem;          // Float64, or Int64 (SgdMomentum's lastUpdated)
    Combine combine;
};

enum class NumType { Int32, Int64, Double, Flag };

struct StateNumber {
    const char* key;
    Py_ssize_t offset;
    NumType type;
    Combine combine;
};

struct LearnerKind {
    const char* name;  // the state's "kind": 'avgper', 'mira', 'adagrad' or 'sgd'
    PyTypeObject* type;
    Py_ssize_t n_dimensions_offset;
    Py_ssize_t fc_offset;  // -1: the class has no fc slot
    const StateArray* arrays;
    int n_arrays;
    const StateNumber* numbers;
    int n_numbers;
    int clock_lag;                      // lastUpdated of an up-to-date feature is timestep - clock_lag
    bool (*catch_up)(PyObject* self);   // brings the lazy parts up to date
    bool (*after_set)(PyObject* self);  // optional: rebuilds caches from the new state
};

extern const LearnerKind avgper_kind;
extern const LearnerKind mira_kind;
extern const LearnerKind adagrad_kind;
extern const LearnerKind sgd_kind;

PyObject* learner_get_state(PyObject* self, const LearnerKind& kind);
bool learner_set_state(PyObject* self, PyObject* state, const LearnerKind& kind);

// The Python methods of the state, for a learner's method table.
template <const LearnerKind* K>
PyObject* get_state_method(PyObject* self, PyObject*) {
    return learner_get_state(self, *K);
}
template <const LearnerKind* K>
PyObject* set_state_method(PyObject* self, PyObject* state) {
    if (!learner_set_state(self, state, *K)) return nullptr;
    Py_RETURN_NONE;
}
PyObject* from_state_impl(PyObject* cls, PyObject* state, const LearnerKind& kind);
template <const LearnerKind* K>
PyObject* from_state_method(PyObject* cls, PyObject* state) {
    return from_state_impl(cls, state, *K);
}
PyObject* reduce_impl(PyObject* self, const LearnerKind& kind);
template <const LearnerKind* K>
PyObject* reduce_method(PyObject* self, PyObject*) {
    return reduce_impl(self, *K);
}
PyObject* setstate_impl(PyObject* self, PyObject* state, const LearnerKind& kind);
template <const LearnerKind* K>
PyObject* setstate_method(PyObject* self, PyObject* state) {
    return setstate_impl(self, state, *K);
}

#define QV_STATE_METHODS(kind)                                                                             \
    {"get_state", ::qv::get_state_method<&kind>, METH_NOARGS,                                              \
     "get_state($self, /)\n--\n\n"                                                                         \
     "-> dict: the learner's full state ('kind', 'n_dimensions', copies of its arrays and\n"               \
     "numbers), after its lazy parts were brought up to date. Plain data: it pickles, crosses processes\n" \
     "and goes into set_state, from_state and quorvex.learn.mix."},                                        \
        {"set_state", ::qv::set_state_method<&kind>, METH_O,                                               \
         "set_state($self, state, /)\n--\n\n"                                                              \
         "Takes over a state that get_state of the same kind of learner returned\n"                        \
         "(copied, so read-only arrays are fine). A missing or unknown key, an array of another\n"         \
         "length or dtype, or another learner's kind is a ValueError naming the key; the learner is\n"     \
         "then unchanged."},                                                                               \
        {"from_state", ::qv::from_state_method<&kind>, METH_O | METH_CLASS,                                \
         "from_state($type, state, /)\n--\n\n"                                                             \
         "-> a new learner of this class holding a copy of state (fc None)."},                             \
        {"__reduce__", ::qv::reduce_method<&kind>, METH_NOARGS,                                            \
         "__reduce__($self, /)\n--\n\n"                                                                    \
         "Pickles the full state (get_state()) and fc; the restored learner continues training exactly."}, \
        {"__setstate__", ::qv::setstate_method<&kind>, METH_O,                                             \
         "__setstate__($self, state, /)\n--\n\nRestores a pickle: state is (state, fc)."}

// quorvex.learn.mix(states, weights=None, base=None)
extern PyMethodDef mix_def;

}  // namespace qv

#endif
