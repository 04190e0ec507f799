// FeatureList: an immutable sorted list of (name, value) pairs, the input
// unit of the combiner, and the module function flist_sort_order.
#ifndef QUORVEX_FEATURE_LISTS_FEATURE_LIST_H
#define QUORVEX_FEATURE_LISTS_FEATURE_LIST_H

#include "feature/siblings.h"

namespace qv {

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

// The common input, read in place: an exact list or tuple of at most kMax
// items, each an exact str or an exact 2-tuple (or 2-list) of an exact str
// and an exact float or int. Nothing of it can run Python code. The items
// are ordered as a FeatureList orders them, by a stable insertion sort on
// their UTF-8 bytes (an 8-byte prefix, compared as one number, decides
// most comparisons).
struct FastItems {
    static const Py_ssize_t kMax = 64;
    struct Key {
        uint64_t prefix;  // the first 8 bytes, big-endian, zero-padded
        const char* p;    // the name's UTF-8 bytes
        Py_ssize_t n;
        PyObject* name;
        PyObject* value;  // nullptr: a plain name (1.0)
    };
    Key keys[kMax];
    uint8_t order[kMax];  // the positions of the items in name order
    Py_ssize_t n;
};
// Reads flist into *out: 1 when done, 0 when the input does not qualify
// (no error).
int read_fast_items(PyObject* flist, FastItems* out);
inline Py_ssize_t feature_list_len(const FeatureListObject* fl) { return fl->features ? fl->n_vals : 0; }
// The p-norm that get_p_norm computes, for a float exponent.
double p_norm_of(const double* vals, Py_ssize_t n, double p);

extern PyMethodDef flist_sort_order_def;

}  // namespace qv

#endif
