// Instance layouts and type objects of quorvex.feature, shared by its
// files, and the sibling types bound at import.
#ifndef QUORVEX_FEATURE_TYPES_H
#define QUORVEX_FEATURE_TYPES_H

#include "alphabet/alphabet_api.h"
#include "ref.h"
#include "sparsmat/sparsmat_api.h"

namespace qv {

// Sibling APIs, bound by PyInit_feature before any class is used.
extern const SparsmatAPI* sparsmat;
extern const AlphabetAPI* alphabet;
// The shared empty vector (module global `empty_sv`).
extern PyObject* empty_sv;

// --- FeatureList ----------------------------------------------------------

struct FeatureListObject;
struct FeatureListOps {
    // The name at position n (new reference; Python indexing rules).
    PyObject* (*get_feat)(FeatureListObject* self, int n);
    // The value at position n; no check (0 <= n < length).
    double (*get_val)(FeatureListObject* self, int n);
    // p-norm of the values; errors are reported as unraisable and give 0.0.
    double (*get_p_norm)(FeatureListObject* self, PyObject* p);
};

struct FeatureListObject {
    PyObject_HEAD
    const FeatureListOps* ops;
    PyObject* features;  // list of names, or None before construction
    double* vals;        // one value per name (PyMem_Malloc'ed)
    Py_ssize_t n_vals;   // length of vals
};

extern PyTypeObject FeatureList_Type;
bool ready_feature_list();
// FeatureList(items) as the constructor builds it (new reference).
PyObject* feature_list_from(PyObject* items);
inline Py_ssize_t feature_list_len(const FeatureListObject* fl) { return fl->features ? fl->n_vals : 0; }
// The pure p-norm of Part "get_p_norm" for a float exponent.
double p_norm_of(const double* vals, Py_ssize_t n, double p);

// --- Multipart ------------------------------------------------------------

struct MultipartObject {
    PyObject_HEAD
    PyObject* parts;
    PyObject* trees;
};

extern PyTypeObject Multipart_Type;
bool ready_multipart();

// --- FCombo ---------------------------------------------------------------

struct FComboObject;
struct Combiner;
class VectorMemo;

struct FComboOps {
    PyObject* (*escaped)(FComboObject* self, int n);
    int (*unescaped)(FComboObject* self, PyObject* w0);  // -1 on error
    int (*mkvec)(FComboObject* self, int n, FeatureListObject* flist, int pos, PyObject* partial, double w,
                 VecD1* a);
    int (*mkvec1)(FComboObject* self, FeatureListObject* flist, VecD1* a);
    int (*mkmunge1)(FComboObject* self, int n, PyObject* flist, PyObject* masks, int posL, int posF,
                    PyObject* partial, double w, VecD1* a);
    int (*mkmunge)(FComboObject* self, int n, PyObject* flist, PyObject* masks, int posL, int posF,
                   PyObject* partial, double w, VecD1* a);
};

struct FComboObject {
    PyObject_HEAD
    const FComboOps* ops;
    PyObject* dict;           // StringAlphabet or None
    PyObject* dict_aux;       // StringAlphabet or None
    PyObject* escaped_words;  // cache: escaped bytes of word i of dict
    PyObject* codec;          // None or a codec used by unescaped
    PyObject* encoding;       // "UTF-8" or "ISO-8859-15"
    double scale;
    double norm_p;
    int32_t bias_item;
    int32_t n;
    Combiner* combiner;  // scratch of the native vectoriser (owned)
    VectorMemo* memo;    // vectors of short lists, for frozen dictionaries (owned)
};

extern PyTypeObject FCombo_Type;
extern FComboOps fcombo_ops;
bool ready_fcombo();

}  // namespace qv

#endif
