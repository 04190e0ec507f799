// The sibling modules' APIs and the shared empty vector, bound by
// PyInit_feature before any class of the module is used.
#ifndef QUORVEX_FEATURE_SIBLINGS_H
#define QUORVEX_FEATURE_SIBLINGS_H

#include "alphabet/alphabet_api.h"
#include "common/ref.h"
#include "sparsmat/sparsmat_api.h"

namespace qv {

extern const SparsmatAPI* sparsmat;
extern const AlphabetAPI* alphabet;
// The shared empty vector (module global `empty_sv`).
extern PyObject* empty_sv;

}  // namespace qv

#endif
