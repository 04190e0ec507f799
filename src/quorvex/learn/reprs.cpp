#include "learn/reprs.h"

#include "common/repr.h"
#include "learn/learn.h"

namespace qv {

namespace {

PyObject* dims(int32_t n) { return PyLong_FromLong(n); }
PyObject* steps(int64_t t) { return PyLong_FromLongLong(t); }
PyObject* real(double x) { return PyFloat_FromDouble(x); }

}  // namespace

PyObject* avgper_repr(PyObject* self) {
    AvgPerObject* s = reinterpret_cast<AvgPerObject*>(self);
    return ReprBuilder(self)
        .value("n_dimensions", dims(s->n_dimensions))
        .value("timestep", steps(s->timestep))
        .finish();
}

PyObject* avgmira_repr(PyObject* self) {
    AvgMiraObject* s = reinterpret_cast<AvgMiraObject*>(self);
    return ReprBuilder(self)
        .value("n_dimensions", dims(s->n_dimensions))
        .value("C", real(s->C))
        .value("timestep", steps(s->timestep))
        .finish();
}

// lambdaL1 and lambdaL2 are the per-step rates (the constructor's l1 / n_examples, l2 / n_examples).
PyObject* adagrad_repr(PyObject* self) {
    AdaGradObject* s = reinterpret_cast<AdaGradObject*>(self);
    return ReprBuilder(self)
        .value("n_dimensions", dims(s->n_dimensions))
        .value("eta", real(s->eta))
        .value("lambdaL1", real(s->lambdaL1))
        .value("lambdaL2", real(s->lambdaL2))
        .value("timestep", steps(s->timestep))
        .finish();
}

PyObject* sgd_repr(PyObject* self) {
    SgdMomentumObject* s = reinterpret_cast<SgdMomentumObject*>(self);
    return ReprBuilder(self)
        .value("n_dimensions", dims(s->n_dimensions))
        .value("eta", real(s->eta))
        .value("momentum", real(s->momentum))
        .value("l2", real(s->l2))
        .value("timestep", steps(s->timestep))
        .finish();
}

PyObject* file_model_repr(PyObject* self) {
    FileModelObject* s = reinterpret_cast<FileModelObject*>(self);
    return ReprBuilder(self).value("n_dimensions", dims(s->n_dimensions)).finish();
}

}  // namespace qv
