// The shared core of the online learners: typed access to the float64 (and
// int64) arrays a learner holds through buffer views, the guarded loops over
// a sparse vector's entries or a feature range, the sparse dot product, the
// lazy-averaging step, the walk over a gradient's (a, vec) pairs, and the
// Python-facing pieces every learner shares (set_weights, get_dense,
// save_binary, __reduce__, score dispatch). The learner files hold only
// their update rules on top of these.
//
// Bounds: every access goes through a loop that compares the feature number
// with the length of the arrays it touches; a feature at or beyond it raises
// IndexError "Out of bounds on buffer access (axis 0)" (AttributeError
// "Memoryview is not initialized" on an instance whose __init__ never ran),
// after the entries before it were processed. Arrays are read with their
// stride, so an adopted non-contiguous array is seen the same way by
// update, score and get_dense.
#ifndef QUORVEX_LEARN_LEARNER_H
#define QUORVEX_LEARN_LEARNER_H

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <type_traits>

#include "common/args.h"
#include "common/dispatch.h"
#include "common/errors.h"
#include "common/getset.h"
#include "learn/learn.h"

namespace qv {

// --- typed strided access -----------------------------------------------------------

template <class T>
struct Strided {
    char* base;
    Py_ssize_t stride;  // in bytes; may be negative or larger than sizeof(T)
    explicit Strided(const View1D& v) : base(v.data), stride(v.stride) {}
    T& operator[](std::size_t i) const { return *reinterpret_cast<T*>(base + static_cast<Py_ssize_t>(i) * stride); }
};

// The number of features every view in the list can hold: the smallest
// length, or -1 when one of them is not set.
inline Py_ssize_t common_length(std::initializer_list<const View1D*> views) {
    Py_ssize_t n = PY_SSIZE_T_MAX;
    for (const View1D* v : views) {
        if (!v->valid()) return -1;
        n = std::min(n, v->len);
    }
    return n;
}

// The error for feature number f outside 0 <= f < limit (see common_length).
inline bool raise_beyond(Py_ssize_t limit, int64_t f) {
    if (limit < 0) return raise_view_not_initialized();
    return f < 0 ? raise_out_of_bounds() : raise_feature_out_of_range(static_cast<uint64_t>(f), limit);
}

// --- guarded loops ------------------------------------------------------------------

// fn(f, x) for every entry (feature f, value x) of v, in order. Stops with
// the error at the first feature not below limit; the entries before it
// stay processed. An fn that returns bool stops the walk by returning
// false (with its error set).
template <class Fn>
inline bool each_entry(const SparseVectorD* v, Py_ssize_t limit, Fn&& fn) {
    const coordinate_t* idx = v->idx_ptr;
    const double* val = v->vals_ptr;
    for (uint32_t i = 0, n = v->my_len; i < n; ++i) {
        const Py_ssize_t f = static_cast<Py_ssize_t>(idx[i]);
        if (f >= limit) return raise_beyond(limit, f);
        if constexpr (std::is_same_v<decltype(fn(std::size_t{}, 0.0)), bool>) {
            if (!fn(static_cast<std::size_t>(f), val[i])) return false;
        } else {
            fn(static_cast<std::size_t>(f), val[i]);
        }
    }
    return true;
}

// The features a catch-up covers: the entries of vec when it is a vector,
// else (vec None) every index start <= i < end in increasing order, where
// end -1 stands for n_dimensions. fn(f) for each (an fn returning bool
// stops the walk with false); a negative index or one not below limit
// stops with IndexError.
template <class Fn>
inline bool each_covered(PyObject* vec, int start, int end, int32_t n_dimensions, Py_ssize_t limit, Fn&& fn) {
    if (vec != Py_None) {
        if (!check_convert(vec, sparsmat->SparseVectorD, false)) return false;
        return each_entry(reinterpret_cast<SparseVectorD*>(vec), limit, [&fn](std::size_t f, double) { return fn(f); });
    }
    if (end == -1) end = n_dimensions;
    for (Py_ssize_t i = start; i < end; ++i) {
        if (i < 0 || i >= limit) return raise_beyond(limit, i);
        if constexpr (std::is_same_v<decltype(fn(std::size_t{})), bool>) {
            if (!fn(static_cast<std::size_t>(i))) return false;
        } else {
            fn(static_cast<std::size_t>(i));
        }
    }
    return true;
}

// dot(v, w) = sum over entries of x * w[f], in entry order. The array must
// have a first element (an empty array fails like the first-element access
// of the contiguous dot product it stands for) and every feature must lie in it.
inline bool guarded_dot(const SparseVectorD* v, const View1D& w, double* out) {
    if (!w.valid()) return raise_view_not_initialized();
    if (w.len == 0) return raise_out_of_bounds();
    const Strided<double> a(w);
    double s = 0.0;
    if (!each_entry(v, w.len, [&](std::size_t f, double x) { s += x * a[f]; })) return false;
    *out = s;
    return true;
}

// --- lazy averaging -----------------------------------------------------------------

// The dense state of an averaging learner: current weights w, running sums
// avg of the weights held after each step, and per feature the step last
// at which its contribution was added (a float). Between touches a feature
// owes avg the weight it held times the number of steps since.
struct Averages {
    Strided<double> w, avg, last;
    double t;          // the learner's timestep
    Py_ssize_t limit;  // features that fit all three arrays (-1: not initialized)

    Averages(const View1D& w_, const View1D& avg_, const View1D& last_, int64_t timestep)
        : w(w_), avg(avg_), last(last_), t(static_cast<double>(timestep)), limit(common_length({&w_, &avg_, &last_})) {}

    // Touch of feature f: idle = t - last[f] - lag; last[f] = t;
    // avg[f] += w[f] * idle (the weight before this step changes it).
    // Returns idle. The perceptron and MIRA use lag 0, AdaGrad lag 1.
    double charge(std::size_t f, double lag = 0.0) const {
        const double idle = t - last[f] - lag;
        last[f] = t;
        avg[f] += w[f] * idle;
        return idle;
    }

    // Catch-up without a step: when f owes anything (idle > 0),
    // avg[f] += w[f] * idle and last[f] = t; afterwards avg[f] / t is the
    // exact mean of the weights held after each of the t steps.
    void catch_up(std::size_t f) const {
        const double idle = t - last[f];
        if (idle > 0) {
            avg[f] += w[f] * idle;
            last[f] = t;
        }
    }
};

// The additive averaged step of the perceptron and of MIRA, for every
// entry x[f] of v:  avg[f] += w[f] * (t - last[f]); last[f] = t; w[f] += a * x[f].
inline bool averaged_add(const Averages& s, const SparseVectorD* v, double a) {
    return each_entry(v, s.limit, [&s, a](std::size_t f, double x) {
        s.charge(f);
        s.w[f] += x * a;
    });
}

// The catch-up of the averaging learners' hiddenUpdates over vec or a range.
inline bool averaged_catch_up(const Averages& s, PyObject* vec, int start, int end, int32_t n_dimensions) {
    return each_covered(vec, start, end, n_dimensions, s.limit, [&s](std::size_t f) { s.catch_up(f); });
}

// --- gradients ----------------------------------------------------------------------

// One item of a gradient: it must unpack into exactly two values (a, vec);
// a is converted to a float, vec must be a SparseVectorD (None included in
// the refusal). hold keeps the vector alive while the caller uses it.
bool gradient_pair(PyObject* item, double* a, SparseVectorD** vec, Ref* hold);

// fn(a, vec) for every (a, vec) pair of gradient, in order: a list or tuple
// by index (re-reading its length, since converting a may run Python code),
// anything else through the iterator protocol. Stops at the first error.
template <class Fn>
bool each_pair(PyObject* gradient, Fn&& fn) {
    double a;
    SparseVectorD* vec;
    Ref hold;
    if (PyList_CheckExact(gradient) || PyTuple_CheckExact(gradient)) {
        for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(gradient); ++k) {
            Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(gradient, k));
            if (!gradient_pair(item.get(), &a, &vec, &hold) || !fn(a, vec)) return false;
        }
        return true;
    }
    Ref it(PyObject_GetIter(gradient));
    if (!it) return false;
    while (Ref item{PyIter_Next(it.get())}) {
        if (!gradient_pair(item.get(), &a, &vec, &hold) || !fn(a, vec)) return false;
    }
    return !PyErr_Occurred();
}

// --- Python-facing pieces -----------------------------------------------------------------

// TypeError "Argument 'name' has incorrect type ..." unless obj is a SparseVectorD.
bool check_vec_arg(PyObject* obj, const char* name);

// numpy.<fn>(*args) through the module global numpy (a new reference).
PyObject* call_numpy(const char* fn, std::initializer_list<PyObject*> args);
// numpy.zeros(n, code) (a new reference).
PyObject* new_zeros(int32_t n, const char* code);

// Sets or releases a learner's view. A set view also holds an extra
// reference to its array: NumPy resizes an array in place (ndarray.resize,
// freeing the memory the view points into) when it counts no reference
// besides the caller's and the buffer's, and the extra one makes it refuse.
bool pin_view(View1D& v, PyObject* obj, Elem elem, bool writable);
void unpin_view(View1D& v);

// Creates numpy.zeros(n, code) for every slot, and only when all were
// created makes each slot's view hold its new array (so a failing
// __init__ leaves the instance as it was).
struct ArraySlot {
    View1D* view;
    const char* code;  // 'd' (float64) or 'l' (int64)
};
bool fresh_arrays(int32_t n, std::initializer_list<ArraySlot> slots);

// tp_traverse / tp_clear support for the exporters the views hold.
int visit_views(std::initializer_list<const View1D*> views, visitproc visit, void* arg);
void release_views(std::initializer_list<View1D*> views);

// The collector's slots of a learner type L whose arrays are the views
// Arrays, and whose fc (when L has that field) is an object reference.
template <class L, class = void>
struct has_fc : std::false_type {};
template <class L>
struct has_fc<L, std::void_t<decltype(&L::fc)>> : std::true_type {};

template <class L, View1D L::*... Arrays>
struct LearnerSlots {
    static int traverse(PyObject* self, visitproc visit, void* arg) {
        L* s = reinterpret_cast<L*>(self);
        if constexpr (has_fc<L>::value) Py_VISIT(s->fc);
        return visit_views({&(s->*Arrays)...}, visit, arg);
    }
    static int clear(PyObject* self) {
        L* s = reinterpret_cast<L*>(self);
        if constexpr (has_fc<L>::value) Py_CLEAR(s->fc);
        release_views({&(s->*Arrays)...});
        return 0;
    }
    static void dealloc(PyObject* self) {
        PyObject_GC_UnTrack(self);
        clear(self);
        Py_TYPE(self)->tp_free(self);
    }
};

// A new float64 array of length end - start filled from src[start:end]
// (Python slice rules), times `factor` when scale is set. NumPy's
// ValueErrors for a negative length or a slice of another length.
PyObject* dense_slice(const View1D& src, int start, int end, bool scale, double factor);
// The same, divided through 1.0 / timestep afterwards (ZeroDivisionError
// "float division" for timestep 0): the averages as they stand.
PyObject* averaged_slice(const View1D& avg, int start, int end, int64_t timestep);

// set_weights of the averaging learners: obj must have the length of the
// current weights (ValueError with no message otherwise) and expose a
// one-dimensional float64 buffer. Without copy it must be writable and
// becomes `weights` itself (shared, read with its stride); with copy a
// contiguous copy of it does (so a read-only array is fine). Either way a
// contiguous copy becomes `avg`. Nothing changes when it is refused.
bool adopt_weights(View1D& weights, View1D& avg, PyObject* obj, bool copy);

// numpy.asarray(avg) / timestep: the averaged weights as they stand; with
// timestep 0 (no step yet) the averaged weights are the current ones, a
// copy of `weights`.
PyObject* averaged_weights(const View1D& avg, const View1D& weights, int64_t timestep);
// Writes array to the file fname with numpy.save (no extension added);
// the file is closed also when numpy.save fails.
bool save_array(PyObject* array, PyObject* fname);

// Writes text and a newline to sys.<stream> (nothing when it is None).
bool print_line(const char* stream, const char* text);

// Getter of a view-valued property: the array the view was taken from.
PyObject* get_view(PyObject* self, void* closure);

// Converts the optional start/end/testing arguments of get_dense.
bool dense_args(PyObject* const* a, int* start, int* end, int* testing);

// Internal call of an overridable score operation returning a float: the
// native function for the native type (or a subclass that keeps the
// method), else self.score(vec, flag) converted to a float. Errors inside
// are reported as unraisable under qualname and give 0.0.
template <class L>
double dispatch_score(L* self, SparseVectorD* vec, int flag, PyTypeObject* native_type, Overridable& op,
                      const char* qualname, double (*native)(L*, SparseVectorD*, int)) {
    PyObject* me = reinterpret_cast<PyObject*>(self);
    const int r = find_override(me, native_type, op);
    if (r == 0) return native(self, vec, flag);
    double d = 0.0;
    if (r > 0) {
        PyObject* args[] = {reinterpret_cast<PyObject*>(vec), flag ? Py_True : Py_False};
        Ref result(call_override(me, op, args, 2));
        if (result && to_double(result.get(), &d)) return d;
    }
    report_unraisable(qualname);
    return 0.0;
}

// The Python method score(vec, <flag>=True) of a learner whose score gives
// a float: always the native computation (an override reaches it through
// super()).
template <class L>
PyObject* score_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       const char* flag_name, double (*native)(L*, SparseVectorD*, int)) {
    const char* const names[] = {"vec", flag_name, nullptr};
    const ArgSpec spec{"score", names, 0, 1};
    PyObject* a[2];
    if (!parse_args(spec, args, nargs, kwnames, a) || !check_vec_arg(a[0], "vec")) return nullptr;
    int flag = 1;
    if (a[1] && !to_flag(a[1], &flag)) return nullptr;
    return PyFloat_FromDouble(native(reinterpret_cast<L*>(self), reinterpret_cast<SparseVectorD*>(a[0]), flag));
}

// The Python surface shared by AvgPer, AvgMira and AdaGrad, over their
// common fields (weights, avgWeights, timestep, fc).

// Their attributes: fc, weights, avgWeights (described by avg_doc),
// n_dimensions and timestep. The table is made on the first call, once per
// learner type.
template <class L>
PyGetSetDef* averaging_getset(const char* avg_doc) {
    static const Field fc{offsetof(L, fc)}, weights{offsetof(L, weights)}, avg{offsetof(L, avgWeights)},
        n{offsetof(L, n_dimensions)}, timestep{offsetof(L, timestep)};
    static PyGetSetDef table[] = {
        {"fc", get_object, set_object, "free slot for the FCombo that makes the vectors (pickled along)", closure(fc)},
        {"weights", get_view, nullptr, "the current weights (the array itself, not a copy)", closure(weights)},
        {"avgWeights", get_view, nullptr, avg_doc, closure(avg)},
        {"n_dimensions", get_int32, nullptr, "number of weight dimensions", closure(n)},
        {"timestep", get_int64, nullptr, "number of completed update calls", closure(timestep)},
        {nullptr, nullptr, nullptr, nullptr, nullptr}};
    return table;
}

// update(gradient) of a learner that takes a step per pair: Step(s, a, vec)
// for every (a, vec) pair of gradient, then timestep += 1. The state is read
// per pair (converting a pair may run Python code). An error stops the call:
// what was applied stays, and timestep is not incremented.
template <class L, bool (*Step)(L*, double, SparseVectorD*)>
PyObject* pairwise_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"gradient", nullptr};
    static const ArgSpec spec{"update", names, 0, 1};
    PyObject* a[1];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    L* s = reinterpret_cast<L*>(self);
    if (!each_pair(a[0], [s](double coef, SparseVectorD* vec) { return Step(s, coef, vec); })) return nullptr;
    ++s->timestep;
    Py_RETURN_NONE;
}

template <class L>
PyObject* averaging_set_weights(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"weights", "copy", nullptr};
    static const ArgSpec spec{"set_weights", names, 0, 1};
    PyObject* a[2];
    int copy = 0;
    if (!parse_args(spec, args, nargs, kwnames, a) || (a[1] && !to_flag(a[1], &copy))) return nullptr;
    L* s = reinterpret_cast<L*>(self);
    if (!adopt_weights(s->weights, s->avgWeights, a[0], copy != 0)) return nullptr;
    Py_RETURN_NONE;
}

template <class L>
PyObject* averaging_save_binary(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"fname_out", nullptr};
    static const ArgSpec spec{"save_binary", names, 0, 1};
    PyObject* a[1];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    L* s = reinterpret_cast<L*>(self);
    Ref array(averaged_weights(s->avgWeights, s->weights, s->timestep));
    if (!array || !save_array(array.get(), a[0])) return nullptr;
    Py_RETURN_NONE;
}

// get_dense(start, end, testing=True) of the learners that catch up their
// averages: testing, the averages as they stand (avgWeights[start:end] /
// timestep); not testing, hiddenUpdates(None, start, end) first and then the
// current weights[start:end].
template <class L>
PyObject* averaging_get_dense(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"start", "end", "testing", nullptr};
    static const ArgSpec spec{"get_dense", names, 0, 2};
    PyObject* a[3];
    int start, end, testing;
    if (!parse_args(spec, args, nargs, kwnames, a) || !dense_args(a, &start, &end, &testing)) return nullptr;
    L* s = reinterpret_cast<L*>(self);
    if (testing) return averaged_slice(s->avgWeights, start, end, s->timestep);
    if (s->ops->hiddenUpdates(s, Py_None, start, end) < 0) return nullptr;
    return dense_slice(s->weights, start, end, false, 1.0);
}

}  // namespace qv

#endif
