// FCombo internals shared with the files that add its other methods
// (munging, persistence, export).
#ifndef QUORVEX_FEATURE_FCOMBO_H
#define QUORVEX_FEATURE_FCOMBO_H

#include "feature_types.h"

namespace qv {

// The vector of fc(flist, labels) (new reference).
PyObject* fcombo_vectorise(FComboObject* self, PyObject* flist, PyObject* labels);
// TypeError for an operation that needs `dict` while it is None.
PyObject* raise_no_dict(const char* what);

// FCombo.to_svmltk (svmltk.cpp).
extern PyMethodDef fc_svmltk_methods[];

// StringAlphabet, for the typed `dict` attributes.
extern PyTypeObject* StringAlphabet_type_ref;

}  // namespace qv

#endif
