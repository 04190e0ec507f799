// Information trees: InfoNode (a typed node with features and labelled
// outgoing edges) and InfoTree (all nodes of a graph plus its roots), and
// the pieces their files and Multipart / FCombo share.
//
// Every walk over the edges of user graphs is iterative (an explicit
// stack), so deep chains cost heap, not C stack; a node that Python
// subclasses override, or a foreign object standing in for a node, is
// reached through a Python method call guarded by Py_EnterRecursiveCall.
#ifndef QUORVEX_FEATURE_INFOTREE_H
#define QUORVEX_FEATURE_INFOTREE_H

#include <unordered_set>
#include <vector>

#include "common/dispatch.h"
#include "common/errors.h"
#include "common/item_cursor.h"
#include "common/ref.h"

namespace qv {

struct InfoNodeObject {
    PyObject_HEAD
    int32_t nodeId;       // position in the tree's node list; -1 while unnumbered
    PyObject* tp;         // type label
    PyObject* features;   // normally a list of str
    PyObject* edges_out;  // normally a list of (target, label) tuples
};

struct InfoTreeObject {
    PyObject_HEAD
    PyObject* nodes;  // normally a list of InfoNode, nodes[i].nodeId == i
    PyObject* roots;  // normally a list of InfoNode, each also in nodes
};

extern PyTypeObject InfoNode_Type;
extern PyTypeObject InfoTree_Type;
// Readies both types.
bool ready_infotree();

inline InfoNodeObject* as_inode(PyObject* o) { return reinterpret_cast<InfoNodeObject*>(o); }
inline InfoTreeObject* as_itree(PyObject* o) { return reinterpret_cast<InfoTreeObject*>(o); }

// The overridable walks of InfoNode.
extern Overridable op_add_to_list;
extern Overridable op_as_tree;
extern Overridable op_as_nodes;

// 1 when the native walk may handle o directly (an InfoNode whose type
// does not override op), 0 when o must be called through Python, -1 on
// error.
inline int native_node(PyObject* o, Overridable& op) {
    if (Py_TYPE(o) == &InfoNode_Type) return 1;
    if (!PyObject_TypeCheck(o, &InfoNode_Type)) return 0;
    int r = find_override(o, &InfoNode_Type, op);
    return r < 0 ? -1 : !r;
}

// lst.append(item), directly for an exact list.
bool append_method(PyObject* lst, PyObject* item);
inline bool append_to(PyObject* lst, PyObject* item) {
    if (PyList_CheckExact(lst)) {
        // The list's own fast path when it has room left, as list.append does.
        PyListObject* l = reinterpret_cast<PyListObject*>(lst);
        Py_ssize_t n = Py_SIZE(l);
        if (n < l->allocated) {
            Py_INCREF(item);
            l->ob_item[n] = item;
            Py_SET_SIZE(l, n + 1);
            return true;
        }
        return PyList_Append(lst, item) == 0;
    }
    return append_method(lst, item);
}

// The `nodeId` attribute of a node (read from the field of an exact
// InfoNode, else as a Python attribute); new reference or nullptr.
PyObject* node_id_of(PyObject* node);

// The nodes on the current path of a walk, for cycle detection: the first
// ones are scanned linearly (paths in sentence trees are short), deeper
// ones are kept in a hash set so that long chains stay linear.
class PathSet {
public:
    bool contains(PyObject* o) const {
        std::size_t n = path_.size() < kScan ? path_.size() : kScan;
        for (std::size_t i = 0; i < n; ++i)
            if (path_[i] == o) return true;
        return path_.size() > kScan && deep_.count(o) != 0;
    }
    void push(PyObject* o) {
        if (path_.size() >= kScan) deep_.insert(o);
        path_.push_back(o);
    }
    void pop() {
        if (path_.size() > kScan) deep_.erase(path_.back());
        path_.pop_back();
    }
    void clear() {
        path_.clear();
        deep_.clear();
    }

private:
    static const std::size_t kScan = 32;
    std::vector<PyObject*> path_;
    std::unordered_set<PyObject*> deep_;
};

// An edge unpacked into (target, label), as `target, label = edge` does.
inline bool unpack_edge(PyObject* edge, Ref* pair) {
    if (PyTuple_CheckExact(edge) && PyTuple_GET_SIZE(edge) == 2) {
        pair[0] = Ref::borrow(PyTuple_GET_ITEM(edge, 0));
        pair[1] = Ref::borrow(PyTuple_GET_ITEM(edge, 1));
        return true;
    }
    return unpack_exact(edge, 2, pair);
}

// RecursionError for an edge leading back onto the path of a walk.
bool raise_cycle(const char* walk);

// The serialisations (infotree_forms.cpp); their constants are made by
// ready_tree_forms(), which ready_infotree() calls.
bool ready_tree_forms();
PyObject* node_as_tree(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* node_as_nodes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* tree_as_tree(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* tree_as_json(PyObject* self, PyObject*);
PyObject* tree_as_subdue(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Appends the bracketed pieces of tree's first root to parts_out, as
// InfoTree.as_tree does (tree need not be an InfoTree: its as_tree method
// is called then).
bool tree_pieces(PyObject* tree, PyObject* parts_out);
// t.as_json() with the native fast path for an exact InfoTree.
PyObject* tree_json_of(PyObject* t);
// InfoTree.diff_with without argument parsing: Py_None for equal trees,
// else the tuple (self, other); other must already be an InfoTree.
PyObject* tree_diff(PyObject* self, PyObject* other);

}  // namespace qv

#endif
