// quorvex.learn: online linear learners over sparse vectors, their weight
// files and the factory used for pickling. This file only registers: the
// behaviour lives in the class files (learner.h is their shared core).
#include "alphabet/alphabet_api.h"
#include "common/exception_storage.h"
#include "common/module_util.h"
#include "common/numpy_handles.h"
#include "common/public_names.h"
#include "learn/learn.h"
#include "learn/state.h"
#include "sparsmat/sparsmat_api.h"

namespace qv {

const SparsmatAPI* sparsmat = nullptr;
PyObject* learn_module = nullptr;
PyObject* learn_numpy = nullptr;

namespace {

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quorvex.learn",
                          "Online linear learners (averaged perceptron, averaged MIRA, AdaGrad, SGD with\n"
                          "momentum), binary weight files and the scoring-only FileModel.",
                          -1, nullptr};

}  // namespace
}  // namespace qv

PyMODINIT_FUNC PyInit_learn(void) {
    using namespace qv;
    touch_exception_storage();
    if (!check_python_version("quorvex.learn")) return nullptr;
    Ref m(PyModule_Create(&module_def));
    if (!m || !declare_gil_used(m.get())) return nullptr;
    sparsmat = import_sparsmat();
    if (!sparsmat || !import_alphabet() || !bind_numpy_types()) return nullptr;
    if (!ready_adagrad() || !ready_sgd_momentum() || !ready_avgper() || !ready_avgmira() || !ready_file_model())
        return nullptr;
    if (!add_type(m.get(), &AdaGrad_Type, "AdaGrad") || !add_type(m.get(), &SgdMomentum_Type, "SgdMomentum") ||
        !add_type(m.get(), &AvgPer_Type, "AvgPer") || !add_type(m.get(), &AvgMira_Type, "AvgMira") ||
        !add_type(m.get(), &FileModel_Type, "FileModel"))
        return nullptr;
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
    Ref modname(PyUnicode_FromString("quorvex.learn"));
    if (!modname ||
        !add_object(m.get(), "make_classifier", PyCFunction_NewEx(&make_classifier_def, nullptr, modname.get())) ||
        !add_object(m.get(), "mix", PyCFunction_NewEx(&mix_def, nullptr, modname.get())))
        return nullptr;
    // PythonAlphabet, numpy and sys are the module body's imports.
    if (!set_public_names(m.get(),
                          {"AdaGrad", "AvgMira", "AvgPer", "FileModel", "SgdMomentum", "make_classifier", "mix"}))
        return nullptr;
    // The learners call numpy through the module global and find
    // make_classifier there when pickled.
    PyObject* np = PyObject_GetAttrString(m.get(), "numpy");
    if (!np) return nullptr;
    Py_XDECREF(learn_numpy);
    learn_numpy = np;
    Py_XDECREF(learn_module);
    learn_module = m.new_ref();
    return m.release();
}
