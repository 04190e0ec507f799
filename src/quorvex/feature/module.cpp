// quorvex.feature: feature lists and combination, feature-space utilities,
// information trees and feature forests. This file only registers: the
// behaviour lives in the class files.
#include "common/exception_storage.h"
#include "common/module_util.h"
#include "common/numpy_handles.h"
#include "common/public_names.h"
#include "feature/chain/chain_model.h"
#include "feature/combine/fcombo.h"
#include "feature/forest/forest.h"
#include "feature/infotree/infotree.h"
#include "feature/lists/feature_list.h"
#include "feature/lists/multipart.h"
#include "feature/space/bloom.h"
#include "feature/space/extarray.h"
#include "feature/space/hasher.h"

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

// The module-body import `from <modname> import <attr>`, stored as <global>.
bool import_attr_as(PyObject* module, const char* global, const char* modname, const char* attr) {
    Ref mod(PyImport_ImportModule(modname));
    if (!mod) return false;
    PyObject* value = PyObject_GetAttrString(mod.get(), attr);
    if (!value) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name %s", attr);
        return false;
    }
    return add_object(module, global, value);
}

// `from itertools import izip`, falling back to the built-in zip.
bool import_izip(PyObject* module) {
    Ref itertools(PyImport_ImportModule("itertools"));
    if (!itertools) return false;
    PyObject* izip = PyObject_GetAttrString(itertools.get(), "izip");
    if (!izip) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        Ref builtins(PyImport_ImportModule("builtins"));
        if (!builtins) return false;
        izip = PyObject_GetAttrString(builtins.get(), "zip");
    }
    return add_object(module, "izip", izip);
}

}  // namespace
}  // namespace qv

PyMODINIT_FUNC PyInit_feature(void) {
    using namespace qv;
    touch_exception_storage();
    if (!check_python_version("quorvex.feature")) return nullptr;
    Ref m(PyModule_Create(&module_def));
    if (!m || !declare_gil_used(m.get())) return nullptr;
    // The sibling types first: the classes below are built on them.
    sparsmat = import_sparsmat();
    if (!sparsmat) return nullptr;
    alphabet = import_alphabet();
    if (!alphabet || !bind_numpy_types()) return nullptr;
    // The classes, in their published order.
    struct Class {
        bool (*ready)();
        PyTypeObject* type;
        const char* name;
    };
    const Class classes[] = {
        {ready_extensible_array, &ExtensibleArray_Type, "ExtensibleArray"},
        {ready_feature_list, &FeatureList_Type, "FeatureList"},
        {ready_infotree, &InfoNode_Type, "InfoNode"},
        {nullptr, &InfoTree_Type, "InfoTree"},  // readied with InfoNode
        {ready_multipart, &Multipart_Type, "Multipart"},
        {[] { return ready_fcombo({fc_node_methods}); }, &FCombo_Type, "FCombo"},
        {ready_counting_bloom_filter, &CountingBloomFilter_Type, "CountingBloomFilter"},
        {ready_bloom_fmap, &BloomFMap_Type, "BloomFMap"},
        {ready_feature_hasher, &FeatureHasher_Type, "FeatureHasher"},
        {ready_graph_node, &GraphNode_Type, "GraphNode"},
        {ready_chain_model, &ChainModel_Type, "ChainModel"},
        {nullptr, &CompiledSentence_Type, "CompiledSentence"},  // readied with ChainModel
    };
    for (const Class& c : classes)
        if ((c.ready && !c.ready()) || !add_type(m.get(), c.type, c.name)) return nullptr;
    // The module body.
    if (!import_module_as(m.get(), "sparsmat", "quorvex.sparsmat") ||
        !import_module_as(m.get(), "json", "simplejson") ||
        !add_object(m.get(), "alphabet", import_alphabet_package()) || !import_module_as(m.get(), "numpy", "numpy") ||
        !import_izip(m.get()) || !import_module_as(m.get(), "sys", "sys") ||
        !import_attr_as(m.get(), "defaultdict", "collections", "defaultdict"))
        return nullptr;
    Ref modname(PyUnicode_FromString("quorvex.feature"));
    if (!modname) return nullptr;
    auto add_function = [&](PyMethodDef* def) {
        return add_object(m.get(), def->ml_name, PyCFunction_NewEx(def, nullptr, modname.get()));
    };
    if (!add_function(&flist_sort_order_def) || !add_function(&deserialize_fcombo_def)) return nullptr;
    Ref acc(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(sparsmat->VecD1)));
    if (!acc) return nullptr;
    empty_sv = reinterpret_cast<PyObject*>(sparsmat->accum_to_sparse_d(&reinterpret_cast<VecD1*>(acc.get())->acc));
    if (!empty_sv) return nullptr;
    Py_INCREF(empty_sv);  // the module global and the C pointer each hold one
    if (!add_object(m.get(), "empty_sv", empty_sv)) return nullptr;
    if (!add_function(&and_node_def) || !add_function(&or_node_def) || !add_crf_dict(m.get())) return nullptr;
    for (PyMethodDef* def :
         {&make_simple_crf_def, &decode_simple_crf_def, &make_multilabel_def, &dump_example_def, &test_def})
        if (!add_function(def)) return nullptr;
    // Not exported: the module body's imports (sparsmat, json, alphabet, numpy, izip, sys,
    // defaultdict) and the self-test `test`.
    if (!set_public_names(m.get(), {"AndNode",
                                    "BloomFMap",
                                    "ChainModel",
                                    "CompiledSentence",
                                    "CountingBloomFilter",
                                    "ExtensibleArray",
                                    "FCombo",
                                    "FeatureHasher",
                                    "FeatureList",
                                    "GraphNode",
                                    "InfoNode",
                                    "InfoTree",
                                    "Multipart",
                                    "OrNode",
                                    "crf_dict",
                                    "decode_simple_crf",
                                    "deserialize_fcombo",
                                    "dump_example",
                                    "empty_sv",
                                    "flist_sort_order",
                                    "make_multilabel",
                                    "make_simple_crf"}))
        return nullptr;
    return m.release();
}
