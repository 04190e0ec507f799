// Feature forests: the GraphNode record, its table of internal operations
// and the module functions built on it (CRF and multi-label forests, the
// AMIS writer, the example dump).
#ifndef QUORVEX_FEATURE_FOREST_H
#define QUORVEX_FEATURE_FOREST_H

#include "feature/siblings.h"

namespace qv {

struct GraphNodeObject;

// The six internal operations, in table order. Each is also a Python
// method of the same name; the entries below dispatch: a Python subclass
// that overrides the method gets its override called, otherwise the native
// walk runs.
struct GraphNodeOps {
    // Numbers the sub-forest in post-order; the next free number as a
    // Python int (new reference), nullptr on error.
    PyObject* (*assign_ids)(GraphNodeObject* self, int32_t start);
    // Local scores; no error channel: errors are reported as unraisable.
    double (*calcPotential)(GraphNodeObject* self, PyObject* weights, PyObject* fc, PyObject* done);
    // Inside (Viterbi) scores; false with a Python error.
    bool (*calcInsideMin)(GraphNodeObject* self, PyObject* done, double* result);
    // The best derivation as a new tree of AND nodes (new reference).
    PyObject* (*extractBest)(GraphNodeObject* self, PyObject* fc);
    // Appends the labels of the best derivation to result; false on error.
    bool (*extractLabels)(GraphNodeObject* self, PyObject* fc, PyObject* result);
    // Writes the forest as AMIS text to out; false on error.
    bool (*write_amis)(GraphNodeObject* self, PyObject* features, int in_disj, PyObject* written, PyObject* out,
                       PyObject* fcomb);
};

// The fields are in the order the walks need them: the numbering walk
// reads and writes only the first 48 bytes (mostly one cache line), the
// scoring walk the first 72, which matters on forests larger than the
// caches.
struct GraphNodeObject {
    PyObject_HEAD
    int32_t nodeId;  // number within the forest, -1 before assign_ids
    // Bookkeeping of the native walks, invisible from Python: one bit per
    // operation while the node is on the path of a running walk, so that a
    // cycle is reported instead of being walked forever (and kHasHint, see
    // walk_hint.h).
    uint8_t on_path;
    int isDisjunctive;    // 1: OR node, 0: AND node
    PyObject* children;   // in practice a list of GraphNode
    PyObject* featuresD;  // SparseVectorD or None, filled on demand
    PyObject* features;   // the symbolic features handed to an FCombo
    double localScore;
    double insideScore;
    PyObject* label;  // any object; None: no label
    const GraphNodeOps* ops;
};

extern PyTypeObject GraphNode_Type;
extern const GraphNodeOps graph_node_ops;
bool ready_graph_node();

inline bool is_graph_node(PyObject* o) { return PyObject_TypeCheck(o, &GraphNode_Type); }
inline GraphNodeObject* as_node(PyObject* o) { return reinterpret_cast<GraphNodeObject*>(o); }

// A new plain GraphNode, as GraphNode(label, disj) builds it.
PyObject* new_graph_node(PyObject* label, bool disj);

// The module functions of the forest family.
extern PyMethodDef and_node_def;
extern PyMethodDef or_node_def;
extern PyMethodDef make_simple_crf_def;
extern PyMethodDef decode_simple_crf_def;
extern PyMethodDef make_multilabel_def;
extern PyMethodDef dump_example_def;
extern PyMethodDef test_def;
// FCombo.label_nodes, added to FCombo by the module (label_nodes.cpp).
extern PyMethodDef fc_node_methods[];

// make_simple_crf(nodes): the stop node of a new CRF forest (new reference).
PyObject* build_simple_crf(PyObject* nodes);

// Creates the class crf_dict (a collections.defaultdict whose missing keys
// get a new OR node) and stores it as a module global; needs the module's
// `defaultdict` global.
bool add_crf_dict(PyObject* module);
extern PyObject* crf_dict_type;

}  // namespace qv

#endif
