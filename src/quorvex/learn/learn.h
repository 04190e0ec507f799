// Instance layouts and type objects of quorvex.learn, shared by its files,
// and the sibling API and module handles bound at import.
#ifndef QUORVEX_LEARN_LEARN_H
#define QUORVEX_LEARN_LEARN_H

#include "common/buffer_view.h"
#include "common/ref.h"
#include "sparsmat/sparsmat_api.h"

namespace qv {

// Bound by PyInit_learn before any class is used.
extern const SparsmatAPI* sparsmat;
// The module object (for the global make_classifier) and the numpy module.
extern PyObject* learn_module;
extern PyObject* learn_numpy;

// --- AvgPer ---------------------------------------------------------------

struct AvgPerObject;
struct AvgPerOps {
    // Overridable. Errors are reported as unraisable and give 0.0.
    double (*score)(AvgPerObject* self, SparseVectorD* vec, int use_avg);
    // Brings pending average contributions of vec's features (vec not
    // None) or of the features in [start, end) (vec None; end -1 means
    // n_dimensions) up to date. -1 on error.
    int (*hiddenUpdates)(AvgPerObject* self, PyObject* vec, int start, int end);
};

struct AvgPerObject {
    PyObject_HEAD
    const AvgPerOps* ops;
    int32_t n_dimensions;
    PyObject* fc;
    View1D weights;
    View1D avgWeights;
    View1D lastUpdated;
    int64_t timestep;
};

// --- AvgMira --------------------------------------------------------------

struct AvgMiraObject;
struct AvgMiraOps {
    double (*score)(AvgMiraObject* self, SparseVectorD* vec, int use_avg);
    int (*hiddenUpdates)(AvgMiraObject* self, PyObject* vec, int start, int end);
};

struct AvgMiraObject {
    PyObject_HEAD
    const AvgMiraOps* ops;
    int32_t n_dimensions;
    PyObject* fc;
    double C;
    View1D weights;
    View1D avgWeights;
    View1D lastUpdated;
    int64_t timestep;
};

// --- AdaGrad --------------------------------------------------------------

struct AdaGradObject;
struct AdaGradOps {
    double (*score)(AdaGradObject* self, SparseVectorD* vec, int use_avg);
    // Missed regularisation and average catch-up of vec's features. -1 on error.
    int (*lazyUpdate)(AdaGradObject* self, SparseVectorD* vec);
};

struct AdaGradObject {
    PyObject_HEAD
    const AdaGradOps* ops;
    int32_t n_dimensions;
    PyObject* fc;
    double eta;
    double lambdaL1;
    double lambdaL2;
    View1D weights;
    View1D avgWeights;
    View1D sumGradSquare;
    View1D lastUpdated;
    int64_t timestep;
    int lazy_updates;
};

// --- SgdMomentum ----------------------------------------------------------

struct SgdMomentumObject;
struct SgdPowers;
struct SgdMomentumOps {
    // Overridable; a new reference, or nullptr with the error raised.
    PyObject* (*score)(SgdMomentumObject* self, SparseVectorD* vec, int is_testing);
    // Pending momentum of vec's features, or of [start, end). -1 on error.
    int (*hiddenUpdates)(SgdMomentumObject* self, PyObject* vec, int start, int end);
};

struct SgdMomentumObject {
    PyObject_HEAD
    const SgdMomentumOps* ops;
    int32_t n_dimensions;
    double eta;
    double l2;
    int32_t t0;
    View1D weights;
    View1D velocity;
    double momentum;
    double weights_scale;
    View1D lastUpdated;  // 64-bit integers
    int64_t timestep;
    SgdPowers* powers;  // owned cache of the catch-up's powers (sgd.cpp), or nullptr
};

// --- FileModel ------------------------------------------------------------

struct FileModelObject;
struct FileModelOps {
    double (*score)(FileModelObject* self, SparseVectorD* vec, int use_avg);
};

struct FileModelObject {
    PyObject_HEAD
    const FileModelOps* ops;
    int32_t n_dimensions;
    PyObject* fc;
    View1D weights;
};

extern PyTypeObject AvgPer_Type;
extern PyTypeObject AvgMira_Type;
extern PyTypeObject AdaGrad_Type;
extern PyTypeObject SgdMomentum_Type;
extern PyTypeObject FileModel_Type;

bool ready_avgper();
bool ready_avgmira();
bool ready_adagrad();
bool ready_sgd_momentum();
bool ready_file_model();

// make_classifier(tp, weights, fc=None)
extern PyMethodDef make_classifier_def;

}  // namespace qv

#endif
