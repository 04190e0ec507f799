// quorvex.feature: feature lists and combination, feature-space utilities,
// information trees and feature forests. This file only registers: the
// behaviour lives in the class files.
#include "feature_types.h"
#include "fcombo.h"
#include "flist.h"
#include "infotree.h"
#include "module_util.h"

namespace qv {

const SparsmatAPI* sparsmat = nullptr;
const AlphabetAPI* alphabet = nullptr;
PyObject* empty_sv = nullptr;

namespace {

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quorvex.feature",
                          "Feature lists, the feature combiner FCombo, feature hashing and Bloom-filtered maps,\n"
                          "information trees, feature forests with CRF and multi-label decoding, and writers\n"
                          "for AMIS and SVM-light-TK input.",
                          -1, nullptr};

}  // namespace
}  // namespace qv

PyMODINIT_FUNC PyInit_feature(void) {
    using namespace qv;
    if (!check_python_version("quorvex.feature")) return nullptr;
    Ref m(PyModule_Create(&module_def));
    if (!m) return nullptr;
    // The sibling types first: the classes below are built on them.
    sparsmat = import_sparsmat();
    if (!sparsmat) return nullptr;
    alphabet = import_alphabet();
    if (!alphabet || !bind_numpy_types()) return nullptr;
    if (!ready_feature_list() || !ready_infotree() || !ready_multipart() || !ready_fcombo()) return nullptr;
    if (!add_type(m.get(), &FeatureList_Type, "FeatureList") || !add_type(m.get(), &InfoNode_Type, "InfoNode") ||
        !add_type(m.get(), &InfoTree_Type, "InfoTree") || !add_type(m.get(), &Multipart_Type, "Multipart") ||
        !add_type(m.get(), &FCombo_Type, "FCombo"))
        return nullptr;
    // The module body.
    if (!import_module_as(m.get(), "sparsmat", "quorvex.sparsmat") ||
        !import_module_as(m.get(), "json", "simplejson") ||
        !add_object(m.get(), "alphabet", import_alphabet_package()) ||
        !import_module_as(m.get(), "numpy", "numpy") || !import_izip(m.get()) ||
        !import_module_as(m.get(), "sys", "sys") ||
        !import_attr_as(m.get(), "defaultdict", "collections", "defaultdict"))
        return nullptr;
    if (!add_object(m.get(), "flist_sort_order", PyCFunction_NewEx(&flist_sort_order_def, nullptr, nullptr)))
        return nullptr;
    Ref acc(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(sparsmat->VecD1)));
    if (!acc) return nullptr;
    empty_sv = reinterpret_cast<PyObject*>(sparsmat->accum_to_sparse_d(&reinterpret_cast<VecD1*>(acc.get())->acc));
    if (!empty_sv) return nullptr;
    Py_INCREF(empty_sv);  // the module global and the C pointer each hold one
    if (!add_object(m.get(), "empty_sv", empty_sv)) return nullptr;
    return m.release();
}
