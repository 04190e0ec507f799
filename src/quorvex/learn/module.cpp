// quorvex.learn: online linear learners over sparse vectors, their weight
// files and the factory used for pickling. This file only registers.
#include "alphabet/alphabet_api.h"
#include "module_util.h"
#include "sparsmat/sparsmat_api.h"

namespace qv {

const SparsmatAPI* sparsmat = nullptr;

namespace {

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quorvex.learn",
                          "Online linear learners (averaged perceptron, averaged MIRA, AdaGrad, SGD with\n"
                          "momentum), binary weight files and the scoring-only FileModel.",
                          -1, nullptr};

}  // namespace
}  // namespace qv

PyMODINIT_FUNC PyInit_learn(void) {
    using namespace qv;
    if (!check_python_version("quorvex.learn")) return nullptr;
    Ref m(PyModule_Create(&module_def));
    if (!m) return nullptr;
    sparsmat = import_sparsmat();
    if (!sparsmat || !import_alphabet() || !bind_numpy_types()) return nullptr;
    if (!import_module_as(m.get(), "sys", "sys") || !import_module_as(m.get(), "numpy", "numpy")) return nullptr;
    // `from alphabet import PythonAlphabet`, resolved like `import alphabet`.
    Ref mod(import_alphabet_package());
    if (!mod) return nullptr;
    PyObject* pa = PyObject_GetAttrString(mod.get(), "PythonAlphabet");
    if (!pa) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name %s", "PythonAlphabet");
        return nullptr;
    }
    if (!add_object(m.get(), "PythonAlphabet", pa)) return nullptr;
    return m.release();
}
