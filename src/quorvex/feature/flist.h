// Module-level function of the FeatureList family.
#ifndef QUORVEX_FEATURE_FLIST_H
#define QUORVEX_FEATURE_FLIST_H

#include "ref.h"

namespace qv {

extern PyMethodDef flist_sort_order_def;

}  // namespace qv

#endif
