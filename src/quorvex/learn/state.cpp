// get_state / set_state / from_state / pickling of the learners, and
// quorvex.learn.mix (see state.h).
#include "learn/state.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "common/errors.h"
#include "common/getset.h"

namespace qv {

namespace {

const LearnerKind* const kKinds[] = {&avgper_kind, &mira_kind, &adagrad_kind, &sgd_kind};

template <class T>
T& at_offset(PyObject* self, Py_ssize_t offset) {
    return *reinterpret_cast<T*>(reinterpret_cast<char*>(self) + offset);
}

View1D& view_of(PyObject* self, const StateArray& a) { return at_offset<View1D>(self, a.offset); }

const char* dtype_name(Elem e) { return e == Elem::Int64 ? "int64" : "float64"; }

// One number of a state, whatever its type.
struct Number {
    int64_t i = 0;
    double d = 0.0;
};

// A state checked against its kind: read-only views of its arrays, its
// numbers, n_dimensions. The views are released with it.
struct ParsedState {
    std::vector<View1D> arrays;
    std::vector<Number> numbers;
    int32_t n_dimensions = 0;
    ParsedState() = default;
    ParsedState(ParsedState&& o) noexcept
        : arrays(std::move(o.arrays)), numbers(std::move(o.numbers)), n_dimensions(o.n_dimensions) {}
    ParsedState(const ParsedState&) = delete;
    ~ParsedState() {
        for (View1D& v : arrays) view_release(v);
    }
};

// ValueError "<where>['<key>'] ...: <the pending error's message>".
bool key_error_from_pending(const char* where, const char* key, const char* what) {
    Ref v(PendingError().take());
    if (v)
        PyErr_Format(PyExc_ValueError, "%s['%s'] %s: %S", where, key, what, v.get());
    else
        PyErr_Format(PyExc_ValueError, "%s['%s'] %s", where, key, what);
    return false;
}

// state[key], borrowed, or ValueError naming the missing key.
PyObject* required(PyObject* state, const char* where, const char* key) {
    PyObject* v = PyDict_GetItemString(state, key);
    if (!v) PyErr_Format(PyExc_ValueError, "%s has no '%s'", where, key);
    return v;
}

bool known_key(PyObject* key, const LearnerKind& kind) {
    if (!PyUnicode_Check(key)) return false;
    const char* k = PyUnicode_AsUTF8(key);
    if (!k) {
        PyErr_Clear();
        return false;
    }
    if (!std::strcmp(k, "kind") || !std::strcmp(k, "n_dimensions")) return true;
    for (int i = 0; i < kind.n_arrays; ++i)
        if (!std::strcmp(k, kind.arrays[i].key)) return true;
    for (int i = 0; i < kind.n_numbers; ++i)
        if (!std::strcmp(k, kind.numbers[i].key)) return true;
    return false;
}

const LearnerKind* kind_named(const char* name) {
    for (const LearnerKind* k : kKinds)
        if (!std::strcmp(k->name, name)) return k;
    return nullptr;
}

// The kind a state declares. With `expected`, it must be that one.
const LearnerKind* state_kind(PyObject* state, const char* where, const LearnerKind* expected) {
    if (!PyDict_Check(state)) {
        PyErr_Format(PyExc_TypeError, "%s must be a dict (as get_state returns it), not %.200s", where,
                     Py_TYPE(state)->tp_name);
        return nullptr;
    }
    PyObject* kind = required(state, where, "kind");
    if (!kind) return nullptr;
    const char* name = PyUnicode_Check(kind) ? PyUnicode_AsUTF8(kind) : nullptr;
    if (!name) {
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "%s['kind'] must be a learner kind name, not %R", where, kind);
        return nullptr;
    }
    const LearnerKind* found = kind_named(name);
    if (!found) {
        PyErr_Format(PyExc_ValueError, "%s['kind'] is %R: not a learner kind ('avgper', 'mira', 'adagrad', 'sgd')",
                     where, kind);
        return nullptr;
    }
    if (expected && found != expected) {
        PyErr_Format(PyExc_ValueError, "%s['kind'] is %R: a %s takes '%s' states", where, kind, expected->type->tp_name,
                     expected->name);
        return nullptr;
    }
    return found;
}

bool parse_number(PyObject* obj, const StateNumber& spec, const char* where, Number* out) {
    if (spec.type == NumType::Double) {
        if (!PyFloat_Check(obj) && !PyLong_Check(obj) && !PyIndex_Check(obj)) {
            PyErr_Format(PyExc_ValueError, "%s['%s'] must be a number, not %.200s", where, spec.key,
                         Py_TYPE(obj)->tp_name);
            return false;
        }
        if (!to_double(obj, &out->d)) return key_error_from_pending(where, spec.key, "is not a float");
        // The global scale divides every weight when the state is taken
        // again: a zero, negative or non-finite one would make the learner
        // one whose state can no longer be taken (or saved).
        if (spec.combine == Combine::Unit && !(out->d > 0.0 && std::isfinite(out->d))) {
            PyErr_Format(PyExc_ValueError, "%s['%s'] must be a positive finite number, not %R", where, spec.key, obj);
            return false;
        }
        return true;
    }
    if (spec.type == NumType::Flag) {
        if (!PyBool_Check(obj) && !PyIndex_Check(obj)) {
            PyErr_Format(PyExc_ValueError, "%s['%s'] must be a bool, not %.200s", where, spec.key,
                         Py_TYPE(obj)->tp_name);
            return false;
        }
        int flag;
        if (!to_flag(obj, &flag)) return key_error_from_pending(where, spec.key, "is not a bool");
        out->i = flag;
        return true;
    }
    if (!PyIndex_Check(obj) || PyFloat_Check(obj)) {
        PyErr_Format(PyExc_ValueError, "%s['%s'] must be an int, not %.200s", where, spec.key, Py_TYPE(obj)->tp_name);
        return false;
    }
    Ref idx(PyNumber_Index(obj));
    long long v = idx ? PyLong_AsLongLong(idx.get()) : -1;
    if (v == -1 && PyErr_Occurred()) return key_error_from_pending(where, spec.key, "is out of range");
    if (spec.type == NumType::Int32 && (v < INT32_MIN || v > INT32_MAX)) {
        PyErr_Format(PyExc_ValueError, "%s['%s'] is out of range for a 32-bit int: %lld", where, spec.key, v);
        return false;
    }
    if (spec.combine == Combine::Steps && v < 0) {
        PyErr_Format(PyExc_ValueError, "%s['%s'] is negative: %lld", where, spec.key, v);
        return false;
    }
    out->i = v;
    return true;
}

// Checks a whole state against its kind; nothing of a learner is touched.
bool parse_state(PyObject* state, const LearnerKind& kind, const char* where, ParsedState* out) {
    if (!state_kind(state, where, &kind)) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(state, &pos, &key, &value)) {
        if (!known_key(key, kind)) {
            PyErr_Format(PyExc_ValueError, "%s has an unknown key %R for a '%s' state", where, key, kind.name);
            return false;
        }
    }
    PyObject* n_obj = required(state, where, "n_dimensions");
    if (!n_obj) return false;
    static const StateNumber n_spec{"n_dimensions", 0, NumType::Int32, Combine::Same};
    Number n;
    if (!parse_number(n_obj, n_spec, where, &n)) return false;
    if (n.i < 0) {
        PyErr_Format(PyExc_ValueError, "%s['n_dimensions'] is negative: %lld", where, static_cast<long long>(n.i));
        return false;
    }
    out->n_dimensions = static_cast<int32_t>(n.i);
    QV_TRY
    out->arrays.reserve(static_cast<std::size_t>(kind.n_arrays));
    for (int i = 0; i < kind.n_arrays; ++i) {
        const StateArray& spec = kind.arrays[i];
        PyObject* arr = required(state, where, spec.key);
        if (!arr) return false;
        View1D v{};
        if (!view_set(v, arr, spec.elem, false)) {
            const char* what = PyErr_ExceptionMatches(PyExc_TypeError) ? "is not an array" : "is not a 1-d array";
            char detail[64];
            PyOS_snprintf(detail, sizeof detail, "%s of %s", what, dtype_name(spec.elem));
            return key_error_from_pending(where, spec.key, detail);
        }
        out->arrays.push_back(v);
        if (v.len != n.i) {
            PyErr_Format(PyExc_ValueError, "%s['%s'] has length %zd, but n_dimensions is %lld", where, spec.key, v.len,
                         static_cast<long long>(n.i));
            return false;
        }
    }
    out->numbers.resize(static_cast<std::size_t>(kind.n_numbers));
    QV_CATCH(false)
    for (int i = 0; i < kind.n_numbers; ++i) {
        PyObject* obj = required(state, where, kind.numbers[i].key);
        if (!obj || !parse_number(obj, kind.numbers[i], where, &out->numbers[static_cast<std::size_t>(i)]))
            return false;
    }
    return true;
}

// A new NumPy array of n elements of e, and its element pointer.
PyObject* new_array(Py_ssize_t n, Elem e, char** data) {
    Ref len(PyLong_FromSsize_t(n));
    Ref dt(PyUnicode_FromString(dtype_name(e)));
    if (!len || !dt) return nullptr;
    Ref arr(call_numpy("zeros", {len.get(), dt.get()}));
    if (!arr) return nullptr;
    Py_buffer b;
    if (PyObject_GetBuffer(arr.get(), &b, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) return nullptr;
    *data = static_cast<char*>(b.buf);
    PyBuffer_Release(&b);  // the array keeps its memory
    return arr.release();
}

// A contiguous copy of a view (a new array).
PyObject* copy_view(const View1D& v, Elem e) {
    char* data;
    Ref arr(new_array(v.len, e, &data));
    if (!arr) return nullptr;
    const Py_ssize_t size = 8;  // float64 and int64 alike
    for (Py_ssize_t i = 0; i < v.len; ++i) std::memcpy(data + i * size, v.data + i * v.stride, size);
    return arr.release();
}

PyObject* number_object(const Number& v, NumType t) {
    switch (t) {
    case NumType::Double: return PyFloat_FromDouble(v.d);
    case NumType::Flag: return PyBool_FromLong(static_cast<long>(v.i));
    default: return PyLong_FromLongLong(v.i);
    }
}

Number read_number(PyObject* self, const StateNumber& spec) {
    Number v;
    switch (spec.type) {
    case NumType::Int32: v.i = at_offset<int32_t>(self, spec.offset); break;
    case NumType::Int64: v.i = at_offset<int64_t>(self, spec.offset); break;
    case NumType::Double: v.d = at_offset<double>(self, spec.offset); break;
    case NumType::Flag: v.i = at_offset<int>(self, spec.offset); break;
    }
    return v;
}

void write_number(PyObject* self, const StateNumber& spec, const Number& v) {
    switch (spec.type) {
    case NumType::Int32: at_offset<int32_t>(self, spec.offset) = static_cast<int32_t>(v.i); break;
    case NumType::Int64: at_offset<int64_t>(self, spec.offset) = v.i; break;
    case NumType::Double: at_offset<double>(self, spec.offset) = v.d; break;
    case NumType::Flag: at_offset<int>(self, spec.offset) = static_cast<int>(v.i); break;
    }
}

// The state dict of the given arrays (new references, stolen) and numbers.
PyObject* build_state(const LearnerKind& kind, int32_t n, std::vector<Ref>& arrays,
                      const std::vector<Number>& numbers) {
    Ref d(PyDict_New());
    Ref name(PyUnicode_FromString(kind.name));
    Ref n_obj(PyLong_FromLong(n));
    if (!d || !name || !n_obj || PyDict_SetItemString(d.get(), "kind", name.get()) < 0 ||
        PyDict_SetItemString(d.get(), "n_dimensions", n_obj.get()) < 0)
        return nullptr;
    for (int i = 0; i < kind.n_arrays; ++i)
        if (PyDict_SetItemString(d.get(), kind.arrays[i].key, arrays[static_cast<std::size_t>(i)].get()) < 0)
            return nullptr;
    for (int i = 0; i < kind.n_numbers; ++i) {
        Ref v(number_object(numbers[static_cast<std::size_t>(i)], kind.numbers[i].type));
        if (!v || PyDict_SetItemString(d.get(), kind.numbers[i].key, v.get()) < 0) return nullptr;
    }
    return d.release();
}

bool check_instance(PyObject* self, const LearnerKind& kind) {
    if (!view_of(self, kind.arrays[0]).valid()) return raise_view_not_initialized();
    return true;
}

}  // namespace

PyObject* learner_get_state(PyObject* self, const LearnerKind& kind) {
    if (!check_instance(self, kind) || !kind.catch_up(self)) return nullptr;
    std::vector<Ref> arrays;
    std::vector<Number> numbers;
    QV_TRY
    for (int i = 0; i < kind.n_arrays; ++i) {
        const View1D& v = view_of(self, kind.arrays[i]);
        if (!v.valid()) {
            raise_view_not_initialized();
            return nullptr;
        }
        arrays.emplace_back(copy_view(v, kind.arrays[i].elem));
        if (!arrays.back()) return nullptr;
    }
    for (int i = 0; i < kind.n_numbers; ++i) numbers.push_back(read_number(self, kind.numbers[i]));
    QV_CATCH(nullptr)
    return build_state(kind, at_offset<int32_t>(self, kind.n_dimensions_offset), arrays, numbers);
}

bool learner_set_state(PyObject* self, PyObject* state, const LearnerKind& kind) {
    ParsedState parsed;
    if (!parse_state(state, kind, "state", &parsed)) return false;
    // Copies first: until every one exists the learner is untouched.
    std::vector<Ref> copies;
    QV_TRY
    for (int i = 0; i < kind.n_arrays; ++i) {
        copies.emplace_back(copy_view(parsed.arrays[static_cast<std::size_t>(i)], kind.arrays[i].elem));
        if (!copies.back()) return false;
    }
    QV_CATCH(false)
    for (int i = 0; i < kind.n_arrays; ++i)
        if (!pin_view(view_of(self, kind.arrays[i]), copies[static_cast<std::size_t>(i)].get(), kind.arrays[i].elem,
                      true))
            return false;
    for (int i = 0; i < kind.n_numbers; ++i)
        write_number(self, kind.numbers[i], parsed.numbers[static_cast<std::size_t>(i)]);
    at_offset<int32_t>(self, kind.n_dimensions_offset) = parsed.n_dimensions;
    return !kind.after_set || kind.after_set(self);
}

PyObject* from_state_impl(PyObject* cls, PyObject* state, const LearnerKind& kind) {
    if (!PyType_Check(cls) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls), kind.type)) {
        PyErr_Format(PyExc_TypeError, "from_state needs a subclass of %s", kind.type->tp_name);
        return nullptr;
    }
    PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(cls);
    Ref empty(PyTuple_New(0));
    Ref obj(empty ? tp->tp_new(tp, empty.get(), nullptr) : nullptr);
    if (!obj || !learner_set_state(obj.get(), state, kind)) return nullptr;
    return obj.release();
}

// (copyreg.__newobj__, (type(self),), (state, fc)): the instance is made by
// tp_new, without __init__, and __setstate__ restores it.
PyObject* reduce_impl(PyObject* self, const LearnerKind& kind) {
    Ref copyreg(PyImport_ImportModule("copyreg"));
    Ref newobj(copyreg ? PyObject_GetAttrString(copyreg.get(), "__newobj__") : nullptr);
    if (!newobj) return nullptr;
    Ref state(learner_get_state(self, kind));
    if (!state) return nullptr;
    PyObject* fc = kind.fc_offset >= 0 ? at_offset<PyObject*>(self, kind.fc_offset) : Py_None;
    return Py_BuildValue("(O(O)(OO))", newobj.get(), reinterpret_cast<PyObject*>(Py_TYPE(self)), state.get(),
                         fc ? fc : Py_None);
}

PyObject* setstate_impl(PyObject* self, PyObject* state, const LearnerKind& kind) {
    if (!PyTuple_Check(state) || PyTuple_GET_SIZE(state) != 2) {
        PyErr_Format(PyExc_TypeError, "%s.__setstate__ needs a (state, fc) tuple", kind.type->tp_name);
        return nullptr;
    }
    PyObject* fc = PyTuple_GET_ITEM(state, 1);
    if (kind.fc_offset < 0 && fc != Py_None) {
        PyErr_Format(PyExc_ValueError, "%s has no fc slot", kind.type->tp_name);
        return nullptr;
    }
    if (!learner_set_state(self, PyTuple_GET_ITEM(state, 0), kind)) return nullptr;
    if (kind.fc_offset >= 0) {
        Py_INCREF(fc);
        set_field(at_offset<PyObject*>(self, kind.fc_offset), fc);
    }
    Py_RETURN_NONE;
}

// --- mix ----------------------------------------------------------------------------

namespace {

int number_index(const LearnerKind& kind, Combine c) {
    for (int i = 0; i < kind.n_numbers; ++i)
        if (kind.numbers[i].combine == c) return i;
    return -1;
}

bool same_number(const Number& a, const Number& b, NumType t) {
    if (t != NumType::Double) return a.i == b.i;
    return a.d == b.d || (std::isnan(a.d) && std::isnan(b.d));
}

// The mixing coefficients: the given weights (finite, not negative, with a
// positive sum), else each state's steps since base (equal weights when no
// state made any).
bool coefficients(PyObject* weights, const std::vector<int64_t>& steps, std::vector<double>* out) {
    const std::size_t n = steps.size();
    out->assign(n, 0.0);
    double total = 0.0;
    if (weights && weights != Py_None) {
        // A weight's __float__ may change a list of them: read a copy.
        Ref seq(fixed_sequence(weights, "mix: weights must be a sequence of numbers"));
        if (!seq) return false;
        if (static_cast<std::size_t>(PySequence_Fast_GET_SIZE(seq.get())) != n) {
            PyErr_Format(PyExc_ValueError, "mix: %zd weights for %zu states", PySequence_Fast_GET_SIZE(seq.get()), n);
            return false;
        }
        for (std::size_t i = 0; i < n; ++i) {
            double w;
            if (!to_double(PySequence_Fast_GET_ITEM(seq.get(), static_cast<Py_ssize_t>(i)), &w)) return false;
            if (!std::isfinite(w) || w < 0) {
                PyErr_Format(PyExc_ValueError, "mix: weights[%zu] must be a finite number >= 0", i);
                return false;
            }
            (*out)[i] = w;
            total += w;
        }
        if (!(total > 0)) {
            PyErr_SetString(PyExc_ValueError, "mix: the weights sum to 0");
            return false;
        }
        return true;
    }
    for (std::size_t i = 0; i < n; ++i) total += static_cast<double>(steps[i]);
    for (std::size_t i = 0; i < n; ++i) (*out)[i] = total > 0 ? static_cast<double>(steps[i]) : 1.0;
    return true;
}

PyObject* mix(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"states", "weights", "base", nullptr};
    static const ArgSpec spec{"mix", names, 0, 1};
    PyObject* a[3];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    // Parsing a state may run Python code (a number's __index__) that
    // changes a list of states: the states are read from a copy.
    Ref seq(fixed_sequence(a[0], "mix: states must be a sequence of learner states"));
    if (!seq) return nullptr;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(seq.get());
    if (count == 0) {
        PyErr_SetString(PyExc_ValueError, "mix needs at least one state");
        return nullptr;
    }
    const std::size_t k = static_cast<std::size_t>(count);
    const LearnerKind* kind = state_kind(PySequence_Fast_GET_ITEM(seq.get(), 0), "states[0]", nullptr);
    if (!kind) return nullptr;
    std::vector<ParsedState> states;
    ParsedState base;
    const bool has_base = a[2] && a[2] != Py_None;
    const int steps_at = number_index(*kind, Combine::Steps);
    const int unit_at = number_index(*kind, Combine::Unit);
    QV_TRY
    states.resize(k);
    for (std::size_t i = 0; i < k; ++i) {
        char where[32];
        PyOS_snprintf(where, sizeof where, "states[%zu]", i);
        if (!parse_state(PySequence_Fast_GET_ITEM(seq.get(), static_cast<Py_ssize_t>(i)), *kind, where, &states[i]))
            return nullptr;
    }
    if (has_base && !parse_state(a[2], *kind, "base", &base)) return nullptr;
    QV_CATCH(nullptr)
    // Everything must describe the same learner.
    const int32_t n = states[0].n_dimensions;
    for (std::size_t i = 0; i < k + (has_base ? 1 : 0); ++i) {
        const ParsedState& s = i < k ? states[i] : base;
        char where[32] = "base";
        if (i < k) PyOS_snprintf(where, sizeof where, "states[%zu]", i);
        if (s.n_dimensions != n) {
            PyErr_Format(PyExc_ValueError, "mix: %s['n_dimensions'] is %d, states[0] has %d", where, s.n_dimensions, n);
            return nullptr;
        }
        for (int j = 0; j < kind->n_numbers; ++j) {
            const StateNumber& num = kind->numbers[j];
            if (num.combine == Combine::Same && !same_number(s.numbers[j], states[0].numbers[j], num.type)) {
                PyErr_Format(PyExc_ValueError, "mix: %s['%s'] differs from states[0]['%s']", where, num.key, num.key);
                return nullptr;
            }
        }
    }
    const int64_t base_t = has_base ? base.numbers[steps_at].i : 0;
    std::vector<int64_t> steps(k);
    for (std::size_t i = 0; i < k; ++i) {
        const int64_t t = states[i].numbers[steps_at].i;
        if (t < base_t) {
            PyErr_Format(PyExc_ValueError, "mix: states[%zu]['timestep'] %lld is below base['timestep'] %lld", i,
                         static_cast<long long>(t), static_cast<long long>(base_t));
            return nullptr;
        }
        steps[i] = t - base_t;
    }
    // Averages owed by a feature would be lost: the states must be up to date.
    for (std::size_t i = 0; i < k; ++i) {
        for (int j = 0; j < kind->n_arrays; ++j) {
            if (kind->arrays[j].combine != Combine::Clock) continue;
            const View1D& v = states[i].arrays[j];
            const int64_t due = states[i].numbers[steps_at].i - kind->clock_lag;
            for (Py_ssize_t f = 0; f < v.len; ++f) {
                const double last =
                    kind->arrays[j].elem == Elem::Int64 ? static_cast<double>(v.at<int64_t>(f)) : v.at<double>(f);
                if (last < static_cast<double>(due)) {
                    PyErr_Format(PyExc_ValueError,
                                 "mix: states[%zu]['%s'] is behind its timestep (pending averages): "
                                 "take the states from get_state(), which brings them up to date",
                                 i, kind->arrays[j].key);
                    return nullptr;
                }
            }
        }
    }
    std::vector<double> c;
    QV_TRY
    if (!coefficients(a[1], steps, &c)) return nullptr;
    QV_CATCH(nullptr)
    double c_total = 0.0;
    for (double x : c) c_total += x;
    int64_t total_t = base_t;
    for (int64_t s : steps) total_t += s;

    std::vector<Ref> out;
    QV_TRY
    for (int j = 0; j < kind->n_arrays; ++j) {
        const StateArray& spec_j = kind->arrays[j];
        char* data;
        out.emplace_back(new_array(n, spec_j.elem, &data));
        if (!out.back()) return nullptr;
        if (spec_j.combine == Combine::Clock) {
            const int64_t clock = total_t - kind->clock_lag > 0 ? total_t - kind->clock_lag : 0;
            for (int32_t f = 0; f < n; ++f) {
                if (spec_j.elem == Elem::Int64)
                    reinterpret_cast<int64_t*>(data)[f] = clock;
                else
                    reinterpret_cast<double*>(data)[f] = static_cast<double>(clock);
            }
            continue;
        }
        double* o = reinterpret_cast<double*>(data);
        for (int32_t f = 0; f < n; ++f) {
            double acc;
            if (spec_j.combine == Combine::Sum) {
                // sum = base + each state's increment over base
                const double b = has_base ? base.arrays[j].at<double>(f) : 0.0;
                acc = b;
                for (std::size_t i = 0; i < k; ++i) acc += states[i].arrays[j].at<double>(f) - b;
            } else {
                // mean = sum of c_i * x_i / sum of c_i (x_i times its scale for ScaledMean)
                acc = 0.0;
                for (std::size_t i = 0; i < k; ++i) {
                    double x = states[i].arrays[j].at<double>(f);
                    if (spec_j.combine == Combine::ScaledMean) x *= states[i].numbers[unit_at].d;
                    acc += c[i] * x;
                }
                acc /= c_total;
            }
            o[f] = acc;
        }
    }
    QV_CATCH(nullptr)
    std::vector<Number> numbers(states[0].numbers);
    for (int j = 0; j < kind->n_numbers; ++j) {
        if (kind->numbers[j].combine == Combine::Steps) numbers[j].i = total_t;
        if (kind->numbers[j].combine == Combine::Unit) numbers[j].d = 1.0;
    }
    return build_state(*kind, n, out, numbers);
}

}  // namespace

PyMethodDef mix_def = {"mix", reinterpret_cast<PyCFunction>(mix), METH_FASTCALL | METH_KEYWORDS,
                       "mix(states, weights=None, base=None)\n--\n\n"
                       "-> state: the parameter-mixing step over the states of\n"
                       "learners of one kind trained apart (get_state() of each).\n\n"
                       "The weights (and SgdMomentum's velocity) are averaged with the given weights, by default each\n"
                       "state's number of steps since base; averaging sums and sumGradSquare are added up, and so are\n"
                       "the steps: timestep = base timestep + the steps of every state. With base (the state all of\n"
                       "them started from) each state's increment over base is added, so the shared start is counted\n"
                       "once; without it, the states are taken as independent. Hyper-parameters must agree.\n"
                       "The result goes into set_state or from_state. ValueError for no states, states of different\n"
                       "kinds or sizes, bad weights, or states whose averages were not brought up to date."};

}  // namespace qv
