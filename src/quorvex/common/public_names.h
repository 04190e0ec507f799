// A module's public names: the __all__ that `from quorvex.<module> import *`
// exports. The module body's helper imports (numpy, sys, json, ...) stay
// module globals but are not listed.
#ifndef QUORVEX_COMMON_PUBLIC_NAMES_H
#define QUORVEX_COMMON_PUBLIC_NAMES_H

#include <initializer_list>

#include "common/ref.h"

namespace qv {

// Stores the names as the module's __all__ (a list of str). Each name must
// already be a global of the module: a missing one is a SystemError.
bool set_public_names(PyObject* module, std::initializer_list<const char*> names);

}  // namespace qv

#endif
