// FCombo, the feature combiner: its record, internal operations, and what
// the files that add its other methods (munging, persistence, export) share.
#ifndef QUORVEX_FEATURE_COMBINE_FCOMBO_H
#define QUORVEX_FEATURE_COMBINE_FCOMBO_H

#include <initializer_list>

#include "feature/lists/feature_list.h"

namespace qv {

struct FComboObject;
template <class Table>
struct BasicCombiner;
class CPPAlphabet;
using Combiner = BasicCombiner<CPPAlphabet>;
class VectorCache;
class ConjMemo;

struct FComboOps {
    PyObject* (*escaped)(FComboObject* self, int n);
    int (*unescaped)(FComboObject* self, PyObject* w0);  // -1 on error
    int (*mkvec)(FComboObject* self, int n, FeatureListObject* flist, int pos, PyObject* partial, double w, VecD1* a);
    int (*mkvec1)(FComboObject* self, FeatureListObject* flist, VecD1* a);
    int (*mkmunge1)(FComboObject* self, int n, PyObject* flist, PyObject* masks, int posL, int posF, PyObject* partial,
                    double w, VecD1* a);
    int (*mkmunge)(FComboObject* self, int n, PyObject* flist, PyObject* masks, int posL, int posF, PyObject* partial,
                   double w, VecD1* a);
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
    VectorCache* memo;   // vectors of short lists (owned)
    ConjMemo* conj;      // ids of conjunctions in a dictionary that does not grow (owned)
};

extern PyTypeObject FCombo_Type;
extern FComboOps fcombo_ops;
// Readies FCombo with its own methods and those that the families built on
// it add (tables ending in a null entry).
bool ready_fcombo(std::initializer_list<const PyMethodDef*> added_methods);

inline FComboObject* as_fc(PyObject* o) { return reinterpret_cast<FComboObject*>(o); }
inline StringAlphabetObject* as_alph(PyObject* o) { return reinterpret_cast<StringAlphabetObject*>(o); }

// Whether lookups in dict can go straight to its table: a StringAlphabet,
// or a subclass that keeps its __getitem__.
inline bool dict_is_native(PyObject* dict) {
    PyTypeObject* tp = Py_TYPE(dict);
    PyTypeObject* base = alphabet->StringAlphabet;
    return tp == base || (tp->tp_as_mapping && tp->tp_as_mapping->mp_subscript == base->tp_as_mapping->mp_subscript);
}

// The vector of fc(flist, labels) (new reference).
PyObject* fcombo_vectorise(FComboObject* self, PyObject* flist, PyObject* labels);
// fc.label_vectors(flist, labels): one vector per label (a new list).
// With own_list, labels is a list of the caller's own that is read as it
// is (not copied) and must not change meanwhile.
PyObject* fcombo_label_vectors(FComboObject* self, PyObject* flist, PyObject* labels, bool own_list = false);
// Looks key up in dict by subscript and adds w at its id; a KeyError (a
// frozen dictionary without the key) skips it. False with a Python error.
bool lookup_and_add(PyObject* dict, PyObject* key, double w, SparseAccum<double>& acc);
// TypeError for an operation that needs `dict` while it is None.
PyObject* raise_no_dict(const char* what);
// Appends the vector of fc(x, labels) for every x of the list `inputs` to
// rows, in order (ids handed out as the single calls would); labels is
// nullptr or a tuple. *n_cols receives the dictionary's size afterwards.
// False with a Python error (the rows appended so far stay).
bool fcombo_vectorise_rows(FComboObject* self, PyObject* inputs, PyObject* labels, CsrRows<double>& rows,
                           uint64_t* n_cols);

// FCombo.transform (transform.cpp).
extern PyMethodDef fc_transform_methods[];

// FCombo.to_svmltk (svmltk.cpp).
extern PyMethodDef fc_svmltk_methods[];

// StringAlphabet, for the typed `dict` attributes.
extern PyTypeObject* StringAlphabet_type_ref;

// Munging (munge.cpp): the internal operations mkmunge1 and mkmunge, and
// the methods munge_uni, munge_vec, munge_vec_2 and unmunge.
int op_mkmunge1(FComboObject* self, int n, PyObject* flist, PyObject* masks, int posL, int posF, PyObject* partial,
                double w, VecD1* a);
int op_mkmunge(FComboObject* self, int n, PyObject* flist, PyObject* masks, int posL, int posF, PyObject* partial,
               double w, VecD1* a);
extern PyMethodDef fc_munge_methods[];

// Persistence (persist.cpp): serialize, pickling, set_dict, load_weights,
// and the module function deserialize_fcombo.
extern PyMethodDef fc_persist_methods[];
extern PyMethodDef deserialize_fcombo_def;

}  // namespace qv

#endif
