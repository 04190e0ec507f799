// The short reprs of the learners (common/repr.h): the class, the number of
// dimensions, the steps taken and the hyper-parameters, never the weights.
#ifndef QUORVEX_LEARN_REPRS_H
#define QUORVEX_LEARN_REPRS_H

#include "common/ref.h"

namespace qv {

PyObject* avgper_repr(PyObject* self);   // AvgPer(n_dimensions=1000, timestep=42)
PyObject* avgmira_repr(PyObject* self);  // AvgMira(n_dimensions=1000, C=0.1, timestep=42)
PyObject* adagrad_repr(PyObject* self);  // AdaGrad(n_dimensions=1000, eta=0.1, lambdaL1=0.0, lambdaL2=0.0, timestep=42)
PyObject* sgd_repr(PyObject* self);      // SgdMomentum(n_dimensions=1000, eta=0.1, momentum=0.9, l2=0.0, timestep=42)
PyObject* file_model_repr(PyObject* self);  // FileModel(n_dimensions=1000)

}  // namespace qv

#endif
