// The NumPy functions the modules call, looked up on first use and kept for
// the life of the process (each extension module has its own table).
#ifndef QUORVEX_COMMON_NUMPY_HANDLES_H
#define QUORVEX_COMMON_NUMPY_HANDLES_H

#include "common/ref.h"

namespace qv {

enum class Numpy { asarray, empty, zeros, ndarray, count };

// numpy.<which> (borrowed); nullptr with the error set when NumPy or the
// attribute cannot be had (the next call tries again).
PyObject* numpy_handle(Numpy which);

// Checks NumPy's dtype, flatiter, broadcast, ndarray and ufunc types.
bool bind_numpy_types();

}  // namespace qv

#endif
