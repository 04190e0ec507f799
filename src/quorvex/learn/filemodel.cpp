// FileModel: scores sparse vectors with a weight vector loaded from a NumPy
// array file (.npy, as save_binary writes it); no training state.
#include <cstddef>

#include "common/getset.h"
#include "learn/learner.h"
#include "learn/reprs.h"

namespace qv {

namespace {

const char* const kScore = "quorvex.learn.FileModel.score";
Overridable op_score_name{"score"};

FileModelObject* as_fm(PyObject* o) { return reinterpret_cast<FileModelObject*>(o); }

// --- internal operations ------------------------------------------------------------

// dot(vec, weights); use_avg is ignored (the file holds final weights).
double score_native(FileModelObject* self, SparseVectorD* vec, int) {
    double d = 0.0;
    if (!guarded_dot(vec, self->weights, &d)) {
        report_unraisable(kScore);
        return 0.0;
    }
    return d;
}

double op_score(FileModelObject* self, SparseVectorD* vec, int use_avg) {
    return dispatch_score(self, vec, use_avg, &FileModel_Type, op_score_name, kScore, score_native);
}

const FileModelOps file_model_ops = {op_score};

// --- type slots -----------------------------------------------------------------------

PyObject* fm_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    as_fm(self)->ops = &file_model_ops;
    Py_INCREF(Py_None);
    as_fm(self)->fc = Py_None;
    return self;
}

// quorvex.weight_file.load: numpy.load(fname, allow_pickle=False) after the
// file's header was checked against the data that follows it, so a file
// holding pickled objects is never unpickled and a header claiming more
// than the file holds is a ValueError before anything is allocated.
PyObject* load_array(PyObject* fname) {
    Ref reader(PyImport_ImportModule("quorvex.weight_file"));
    if (!reader) return nullptr;
    Ref numbers(PyObject_CallMethod(reader.get(), "load", "O", fname));
    if (!numbers) return nullptr;
    if (!PyObject_CheckBuffer(numbers.get())) {
        // An archive of several arrays (.npz) or another foreign object:
        // release what numpy.load opened, then refuse it.
        if (PyObject_HasAttrString(numbers.get(), "close")) {
            Ref closed(PyObject_CallMethod(numbers.get(), "close", nullptr));
            if (!closed) return nullptr;
        }
        PyErr_Format(PyExc_ValueError, "not a weight file: numpy.load gave a %.200s, not one array",
                     Py_TYPE(numbers.get())->tp_name);
        return nullptr;
    }
    return numbers.release();
}

int fm_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* const names[] = {"fname", nullptr};
    static const ArgSpec spec{"FileModel", names, 0, 1};
    PyObject* a[1];
    if (!parse_tuple(spec, args, kwds, a)) return -1;
    Ref numbers(load_array(a[0]));
    if (!numbers) return -1;
    // Checked before anything changes: element type, dimensions, length.
    View1D probe{};
    if (!view_set(probe, numbers.get(), Elem::Float64, false)) return -1;
    const Py_ssize_t n = probe.len;
    view_release(probe);
    if (n > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "weight file too long for n_dimensions (a 32-bit int)");
        return -1;
    }
    FileModelObject* s = as_fm(self);
    if (!pin_view(s->weights, numbers.get(), Elem::Float64, false)) return -1;
    s->n_dimensions = static_cast<int32_t>(n);
    return 0;
}

int fm_traverse(PyObject* self, visitproc visit, void* arg) {
    FileModelObject* s = as_fm(self);
    Py_VISIT(s->fc);
    return visit_views({&s->weights}, visit, arg);
}

int fm_clear(PyObject* self) {
    FileModelObject* s = as_fm(self);
    Py_CLEAR(s->fc);
    release_views({&s->weights});
    return 0;
}

void fm_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    fm_clear(self);
    Py_TYPE(self)->tp_free(self);
}

// --- methods --------------------------------------------------------------------------

PyObject* fm_score(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return score_method<FileModelObject>(self, args, nargs, kwnames, "use_avg", score_native);
}

PyObject* fm_get_dense(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"start", "end", nullptr};
    static const ArgSpec spec{"get_dense", names, 0, 2};
    PyObject* a[3] = {nullptr, nullptr, nullptr};
    int start, end, testing;
    if (!parse_args(spec, args, nargs, kwnames, a) || !dense_args(a, &start, &end, &testing)) return nullptr;
    return dense_slice(as_fm(self)->weights, start, end, false, 1.0);
}

// (copyreg.__newobj__, (type(self),), (weights, fc)): the weights travel as
// a copy of the array, not as the file they came from.
PyObject* fm_reduce(PyObject* self, PyObject*) {
    FileModelObject* s = as_fm(self);
    Ref weights(dense_slice(s->weights, 0, static_cast<int>(s->weights.len), false, 1.0));
    if (!weights) return nullptr;
    Ref copyreg(PyImport_ImportModule("copyreg"));
    Ref newobj(copyreg ? PyObject_GetAttrString(copyreg.get(), "__newobj__") : nullptr);
    if (!newobj) return nullptr;
    return Py_BuildValue("(O(O)(OO))", newobj.get(), reinterpret_cast<PyObject*>(Py_TYPE(self)), weights.get(), s->fc);
}

// __setstate__((weights, fc)): a copy of a 1-d float64 array becomes the weights.
PyObject* fm_setstate(PyObject* self, PyObject* state) {
    if (!PyTuple_Check(state) || PyTuple_GET_SIZE(state) != 2) {
        PyErr_SetString(PyExc_TypeError, "FileModel.__setstate__ needs a (weights, fc) tuple");
        return nullptr;
    }
    PyObject* weights = PyTuple_GET_ITEM(state, 0);
    View1D probe{};
    if (!view_set(probe, weights, Elem::Float64, false)) return nullptr;
    const Py_ssize_t n = probe.len;
    view_release(probe);
    if (n > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "weights too long for n_dimensions (a 32-bit int)");
        return nullptr;
    }
    Ref tc(PyUnicode_FromString("d"));
    Ref copy(tc ? call_numpy("array", {weights, tc.get()}) : nullptr);
    FileModelObject* s = as_fm(self);
    if (!copy || !pin_view(s->weights, copy.get(), Elem::Float64, false)) return nullptr;
    s->n_dimensions = static_cast<int32_t>(n);
    PyObject* fc = PyTuple_GET_ITEM(state, 1);
    Py_INCREF(fc);
    set_field(s->fc, fc);
    Py_RETURN_NONE;
}

PyMethodDef fm_methods[] = {{"score", reinterpret_cast<PyCFunction>(fm_score), METH_FASTCALL | METH_KEYWORDS,
                             "score($self, vec, use_avg=True)\n--\n\n"
                             "-> float: dot(vec, weights); use_avg is ignored."},
                            {"get_dense", reinterpret_cast<PyCFunction>(fm_get_dense), METH_FASTCALL | METH_KEYWORDS,
                             "get_dense($self, start, end)\n--\n\n"
                             "-> a new float64 array holding weights[start:end]."},
                            {"__reduce__", fm_reduce, METH_NOARGS,
                             "__reduce__($self, /)\n--\n\nPickles a copy of the weights and fc (not the file name)."},
                            {"__setstate__", fm_setstate, METH_O,
                             "__setstate__($self, state, /)\n--\n\n"
                             "state: (weights, fc); a copy of the 1-d float64 weights is kept."},
                            {nullptr, nullptr, 0, nullptr}};

const Field fc_field{offsetof(FileModelObject, fc)};
const Field weights_field{offsetof(FileModelObject, weights)};
const Field n_field{offsetof(FileModelObject, n_dimensions)};

PyGetSetDef fm_getset[] = {
    {"fc", get_object, set_object, "free slot for the FCombo that makes the vectors", closure(fc_field)},
    {"weights", get_view, nullptr, "the loaded weights (the array numpy.load returned)", closure(weights_field)},
    {"n_dimensions", get_int32, nullptr, "length of the loaded array", closure(n_field)},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

}  // namespace

PyTypeObject FileModel_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};

bool ready_file_model() {
    PyTypeObject& t = FileModel_Type;
    t.tp_name = "quorvex.learn.FileModel";
    t.tp_basicsize = sizeof(FileModelObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc =
        "FileModel(fname)\n--\n\n"
        "Scoring-only model over the weights a learner's save_binary wrote: a NumPy .npy file holding\n"
        "one 1-d float64 array. Files with pickled objects are never loaded. Pickles with its weights.";
    t.tp_new = fm_new;
    t.tp_repr = file_model_repr;
    t.tp_init = fm_init;
    t.tp_dealloc = fm_dealloc;
    t.tp_traverse = fm_traverse;
    t.tp_clear = fm_clear;
    t.tp_methods = fm_methods;
    t.tp_getset = fm_getset;
    return PyType_Ready(&t) == 0;
}

}  // namespace qv
