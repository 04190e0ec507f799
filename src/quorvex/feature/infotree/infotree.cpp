// InfoNode and InfoTree: construction node by node and from the JSON form,
// preorder numbering, and the comparison of two trees. The serialisations
// are in infotree_forms.cpp.
#include "feature/infotree/infotree.h"

#include <climits>
#include <cstddef>

#include "common/args.h"
#include "common/compare.h"
#include "common/errors.h"
#include "common/getset.h"
#include "common/interned.h"
#include "common/text_args.h"
#include "feature/reprs.h"

namespace qv {

Overridable op_add_to_list{"add_to_list"};
Overridable op_as_tree{"as_tree"};
Overridable op_as_nodes{"as_nodes"};

// --- shared helpers ---------------------------------------------------------

bool append_method(PyObject* lst, PyObject* item) {
    static qv::Interned append_name("append");
    PyObject* name = append_name.get();
    if (!name) return false;
    Ref r(PyObject_CallMethodOneArg(lst, name, item));
    return static_cast<bool>(r);
}

PyObject* node_id_of(PyObject* node) {
    if (Py_TYPE(node) == &InfoNode_Type) return PyLong_FromLong(as_inode(node)->nodeId);
    static qv::Interned node_id_name("nodeId");
    PyObject* name = node_id_name.get();
    if (!name) return nullptr;
    return PyObject_GetAttr(node, name);
}

bool raise_cycle(const char* walk) {
    PyErr_Format(PyExc_RecursionError,
                 "%s: the edges of the information tree form a cycle (a node is reached again below itself)", walk);
    return false;
}

namespace {

// --- InfoNode ------------------------------------------------------------------

PyObject* node_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    InfoNodeObject* n = as_inode(self);
    for (PyObject** field : {&n->tp, &n->features, &n->edges_out}) {
        Py_INCREF(Py_None);
        *field = Py_None;
    }
    return self;
}

// `feats`, or a new empty list when feats compares equal to None.
PyObject* features_or_empty(PyObject* feats) {
    // A str is a sequence of characters, never the features meant.
    if (!refuse_text(feats, "a node's features", "features")) return nullptr;
    int is_none;
    if (feats == Py_None) {
        is_none = 1;
    } else if (PyList_CheckExact(feats) || PyTuple_CheckExact(feats) || PyUnicode_CheckExact(feats) ||
               PyDict_CheckExact(feats)) {
        is_none = 0;  // their equality with None is known to be false
    } else {
        is_none = PyObject_RichCompareBool(feats, Py_None, Py_EQ);
        if (is_none < 0) return nullptr;
    }
    if (is_none) return PyList_New(0);
    Py_INCREF(feats);
    return feats;
}

int node_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* const names[] = {"tp", "feats", nullptr};
    static const ArgSpec spec{"InfoNode", names, 0, 1};
    PyObject* a[2];
    if (!parse_tuple(spec, args, kwds, a)) return -1;
    Ref feats(features_or_empty(a[1] ? a[1] : Py_None));
    Ref edges(PyList_New(0));
    if (!feats || !edges) return -1;
    InfoNodeObject* n = as_inode(self);
    n->nodeId = -1;
    Py_INCREF(a[0]);
    set_field(n->tp, a[0]);
    set_field(n->features, feats.release());
    set_field(n->edges_out, edges.release());
    return 0;
}

int node_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_inode(self)->tp);
    Py_VISIT(as_inode(self)->features);
    Py_VISIT(as_inode(self)->edges_out);
    return 0;
}

// Breaking a reference cycle leaves None in the fields (never NULL), so a
// node that Python code still reaches afterwards stays usable.
int node_clear(PyObject* self) {
    for (PyObject** field : {&as_inode(self)->tp, &as_inode(self)->features, &as_inode(self)->edges_out}) {
        Py_INCREF(Py_None);
        set_field(*field, Py_None);
    }
    return 0;
}

void node_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    // Long chains free one link inside the next: the trashcan bounds the depth.
    Py_TRASHCAN_BEGIN(self, node_dealloc) Py_CLEAR(as_inode(self)->tp);
    Py_CLEAR(as_inode(self)->features);
    Py_CLEAR(as_inode(self)->edges_out);
    Py_TYPE(self)->tp_free(self);
    Py_TRASHCAN_END
}

PyObject* node_add_edge(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"other_node", "edge_label", nullptr};
    static const ArgSpec spec{"add_edge", names, 0, 1};
    PyObject* a[2];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    Ref edge(PyTuple_Pack(2, a[0], a[1] ? a[1] : Py_None));
    PyObject* edges = as_inode(self)->edges_out;
    Ref hold = Ref::borrow(edges);
    if (!edge || !append_to(edges, edge.get())) return nullptr;
    Py_RETURN_NONE;
}

// Gives node the number len(lst) and appends it to lst.
bool number_node(InfoNodeObject* node, PyObject* lst) {
    Py_ssize_t len = PyList_CheckExact(lst) ? PyList_GET_SIZE(lst) : PyObject_Length(lst);
    if (len < 0) return false;
    if (len > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    node->nodeId = static_cast<int32_t>(len);
    return append_to(lst, reinterpret_cast<PyObject*>(node));
}

// add_to_list as a depth-first walk with an explicit stack: a node is
// numbered when it is first reached, before its successors, successors in
// edge order; numbered nodes are neither appended nor descended into.
bool add_to_list_walk(InfoNodeObject* root, PyObject* lst) {
    if (root->nodeId != -1) return true;
    struct Frame {
        Ref node;
        ItemCursor edges;
    };
    std::vector<Frame> stack;
    auto enter = [&](InfoNodeObject* node) {
        if (!number_node(node, lst)) return false;
        PyObject* edges = node->edges_out;
        stack.emplace_back();
        stack.back().node = Ref::borrow(reinterpret_cast<PyObject*>(node));
        return stack.back().edges.start(edges);
    };
    QV_TRY
    if (!enter(root)) return false;
    while (!stack.empty()) {
        Ref edge;
        int r = stack.back().edges.next(&edge);
        if (r < 0) return false;
        if (r == 0) {
            stack.pop_back();
            continue;
        }
        Ref pair[2];
        if (!unpack_edge(edge.get(), pair)) return false;
        PyObject* target = pair[0].get();
        int native = native_node(target, op_add_to_list);
        if (native < 0) return false;
        if (native) {
            if (as_inode(target)->nodeId == -1 && !enter(as_inode(target))) return false;
            continue;
        }
        if (Py_EnterRecursiveCall(" in InfoNode.add_to_list")) return false;
        Ref done(call_override(target, op_add_to_list, &lst, 1));
        Py_LeaveRecursiveCall();
        if (!done) return false;
    }
    return true;
    QV_CATCH(false)
}

PyObject* node_add_to_list(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"lst", nullptr};
    static const ArgSpec spec{"add_to_list", names, 0, 1};
    PyObject* a[1];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    if (!add_to_list_walk(as_inode(self), a[0])) return nullptr;
    Py_RETURN_NONE;
}

// --- InfoTree ---------------------------------------------------------------------

PyObject* tree_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    Py_INCREF(Py_None);
    as_itree(self)->nodes = Py_None;
    Py_INCREF(Py_None);
    as_itree(self)->roots = Py_None;
    return self;
}

// all[index] with Python's indexing rules: an int counts from the end when
// negative; other objects are handed to the list's own subscript.
inline PyObject* node_at(PyObject* all, PyObject* index) {
    if (!PyLong_Check(index)) return PyObject_GetItem(all, index);
    Py_ssize_t i = PyLong_AsSsize_t(index);
    if (i == -1 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Format(PyExc_IndexError, "cannot fit '%.200s' into an index-sized integer", Py_TYPE(index)->tp_name);
        }
        return nullptr;
    }
    Py_ssize_t n = PyList_GET_SIZE(all);
    if (i < 0) i += n;
    if (i < 0 || i >= n) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return nullptr;
    }
    PyObject* node = PyList_GET_ITEM(all, i);
    Py_INCREF(node);
    return node;
}

// x[k] for the pair form of an edge, directly for exact lists and tuples.
PyObject* pair_item(PyObject* x, Py_ssize_t k) {
    if ((PyList_CheckExact(x) || PyTuple_CheckExact(x)) && PySequence_Fast_GET_SIZE(x) > k) {
        PyObject* v = PySequence_Fast_GET_ITEM(x, k);
        Py_INCREF(v);
        return v;
    }
    Ref key(PyLong_FromSsize_t(k));
    return key ? PyObject_GetItem(x, key.get()) : nullptr;
}

// The edge list of one node entry as a new list of (target, label) tuples.
PyObject* edges_from_json(PyObject* all, PyObject* edges) {
    Ref seq = PyList_CheckExact(edges) || PyTuple_CheckExact(edges)
                  ? Ref::borrow(edges)
                  : Ref(PySequence_Fast(edges, "the edge list of a node entry must be iterable"));
    if (!seq) return nullptr;
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    Ref out(PyList_New(n));
    if (!out) return nullptr;
    for (Py_ssize_t k = 0; k < n; ++k) {
        // Python code run by odd index objects (or by a collection that a new
        // tuple triggers) may shrink a list being read.
        if (k >= PySequence_Fast_GET_SIZE(seq.get())) {
            PyErr_SetString(PyExc_RuntimeError, "an edge list changed size while the tree was built");
            return nullptr;
        }
        PyObject* x = PySequence_Fast_GET_ITEM(seq.get(), k);
        PyObject* target;
        PyObject* label;
        if (PyLong_Check(x)) {
            // node_at runs no Python code for an int.
            target = node_at(all, x);
            if (!target) return nullptr;
            Py_INCREF(Py_None);
            label = Py_None;
        } else if ((PyList_CheckExact(x) || PyTuple_CheckExact(x)) && PySequence_Fast_GET_SIZE(x) >= 2) {
            // The label is held before an odd index object can run code.
            PyObject** pair = PySequence_Fast_ITEMS(x);
            Ref l = Ref::borrow(pair[1]);
            Ref index = Ref::borrow(pair[0]);
            target = node_at(all, index.get());
            if (!target) return nullptr;
            label = l.release();
        } else {
            Ref hold = Ref::borrow(x);
            Ref index(pair_item(x, 0));
            if (!index) return nullptr;
            Ref t(node_at(all, index.get()));
            if (!t) return nullptr;
            label = pair_item(x, 1);
            if (!label) return nullptr;
            target = t.release();
        }
        PyObject* t = PyTuple_New(2);
        if (!t) {
            Py_DECREF(target);
            Py_DECREF(label);
            return nullptr;
        }
        PyTuple_SET_ITEM(t, 0, target);
        PyTuple_SET_ITEM(t, 1, label);
        PyList_SET_ITEM(out.get(), k, t);
    }
    return out.release();
}

// Owned references to the edge lists of the node entries while the nodes
// are made; trees of ordinary size keep them on the stack.
class EdgeLists {
public:
    EdgeLists() = default;
    EdgeLists(const EdgeLists&) = delete;
    EdgeLists& operator=(const EdgeLists&) = delete;
    ~EdgeLists() {
        for (std::size_t i = 0; i < n_; ++i) Py_DECREF(at(i));
    }
    // Takes over the reference (also when it throws std::bad_alloc).
    void push(PyObject* owned) {
        if (n_ < kLocal) {
            local_[n_++] = owned;
            return;
        }
        try {
            more_.push_back(owned);
        } catch (...) {
            Py_DECREF(owned);
            throw;
        }
        ++n_;
    }
    std::size_t size() const { return n_; }
    PyObject* at(std::size_t i) const { return i < kLocal ? local_[i] : more_[i - kLocal]; }

private:
    static const std::size_t kLocal = 64;
    PyObject* local_[kLocal];
    std::vector<PyObject*> more_;
    std::size_t n_ = 0;
};

// The node of one entry (type, features, edges) of the JSON form, numbered
// id, with its edges left for later (new reference); the entry's edge list
// goes to edge_lists. Throws std::bad_alloc.
PyObject* node_from_entry(PyObject* entry, int32_t id, EdgeLists& edge_lists) {
    Ref item[3];
    if ((PyList_CheckExact(entry) || PyTuple_CheckExact(entry)) && PySequence_Fast_GET_SIZE(entry) == 3) {
        PyObject** fields = PySequence_Fast_ITEMS(entry);
        for (int k = 0; k < 3; ++k) item[k] = Ref::borrow(fields[k]);
    } else {
        Ref hold = Ref::borrow(entry);
        if (!unpack_exact(entry, 3, item)) return nullptr;
    }
    Ref feats(features_or_empty(item[1].get()));
    if (!feats) return nullptr;
    InfoNodeObject* n = PyObject_GC_New(InfoNodeObject, &InfoNode_Type);
    if (!n) return nullptr;
    n->nodeId = id;
    n->tp = item[0].release();
    n->features = feats.release();
    Py_INCREF(Py_None);
    n->edges_out = Py_None;  // the second pass gives every node its list
    PyObject* node = reinterpret_cast<PyObject*>(n);
    PyObject_GC_Track(node);
    Ref hold(node);
    edge_lists.push(item[2].release());
    return hold.release();
}

// First pass: every node of the entries into `all` (a new list of `count`
// empty slots), so that edges may name later ones. Python code (odd
// features, a collection) may change the entries meanwhile: their size is
// read again at every step, and `all` ends with the last node made. Throws
// std::bad_alloc.
bool nodes_from_entries(PyObject* entries, Py_ssize_t count, PyObject* all, EdgeLists& edge_lists) {
    Py_ssize_t made = 0;
    for (; made < PySequence_Fast_GET_SIZE(entries); ++made) {
        // Borrowed: its items are taken before any Python code can run.
        PyObject* entry = PySequence_Fast_GET_ITEM(entries, made);
        PyObject* node = node_from_entry(entry, static_cast<int32_t>(made), edge_lists);
        if (!node) return false;
        if (made < count) {
            PyList_SET_ITEM(all, made, node);
        } else {
            Ref hold(node);
            if (PyList_Append(all, node) < 0) return false;
        }
    }
    // Entries removed meanwhile: the node list ends with the last node made.
    return made >= count || PyList_SetSlice(all, made, count, nullptr) == 0;
}

// Second pass: the edges, each target resolved in the full node list.
bool resolve_edges(PyObject* all, const EdgeLists& edge_lists) {
    for (std::size_t i = 0; i < edge_lists.size(); ++i) {
        Ref edges(edges_from_json(all, edge_lists.at(i)));
        if (!edges) return false;
        set_field(as_inode(PyList_GET_ITEM(all, static_cast<Py_ssize_t>(i)))->edges_out, edges.release());
    }
    return true;
}

// The roots named by rlist, resolved in the node list (a new list).
PyObject* roots_from_json(PyObject* rlist, PyObject* all) {
    if (PyList_CheckExact(rlist) || PyTuple_CheckExact(rlist)) {
        // Sized once; Python code run by an odd index object may change a
        // list of roots meanwhile, so its size is read again at every step.
        Py_ssize_t n = PySequence_Fast_GET_SIZE(rlist);
        Ref roots(PyList_New(n));
        if (!roots) return nullptr;
        Py_ssize_t k = 0;
        for (; k < PySequence_Fast_GET_SIZE(rlist); ++k) {
            Ref r = Ref::borrow(PySequence_Fast_GET_ITEM(rlist, k));
            PyObject* node = node_at(all, r.get());
            if (!node) return nullptr;
            if (k < n) {
                PyList_SET_ITEM(roots.get(), k, node);
            } else {
                Ref hold(node);
                if (PyList_Append(roots.get(), node) < 0) return nullptr;
            }
        }
        if (k < n && PyList_SetSlice(roots.get(), k, n, nullptr) < 0) return nullptr;
        return roots.release();
    }
    Ref roots(PyList_New(0));
    ItemCursor cursor;
    if (!roots || !cursor.start(rlist)) return nullptr;
    for (;;) {
        Ref r;
        int got = cursor.next(&r);
        if (got < 0) return nullptr;
        if (got == 0) break;
        Ref node(node_at(all, r.get()));
        if (!node || PyList_Append(roots.get(), node.get()) < 0) return nullptr;
    }
    return roots.release();
}

// Builds the node and root lists of the JSON form `data` into *nodes_out
// and *roots_out; on error nothing is stored.
bool tree_from_json(PyObject* data, Ref* nodes_out, Ref* roots_out) {
    static qv::Interned nodes_name("nodes"), roots_name("roots");
    PyObject* nodes_key = nodes_name.get();
    PyObject* roots_key = roots_name.get();
    if (!nodes_key || !roots_key) return false;
    Ref nlist(PyObject_GetItem(data, nodes_key));
    if (!nlist) return false;
    // One snapshot of the entries serves both passes, so that an iterator
    // or generator of entries gives its edges too.
    Ref entries(PySequence_Fast(nlist.get(), "the node list of an information tree must be iterable"));
    if (!entries) return false;
    Py_ssize_t count = PySequence_Fast_GET_SIZE(entries.get());
    if (count > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "too many nodes for 32-bit node numbers");
        return false;
    }
    // The node list has its final size from the start; it stays private
    // until the end, so its empty slots are never seen.
    Ref all(PyList_New(count));
    if (!all) return false;
    QV_TRY
    EdgeLists edge_lists;
    if (!nodes_from_entries(entries.get(), count, all.get(), edge_lists)) return false;
    if (!resolve_edges(all.get(), edge_lists)) return false;
    QV_CATCH(false)
    Ref rlist(PyObject_GetItem(data, roots_key));
    if (!rlist) return false;
    Ref roots(roots_from_json(rlist.get(), all.get()));
    if (!roots) return false;
    *nodes_out = std::move(all);
    *roots_out = std::move(roots);
    return true;
}

int tree_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* const names[] = {"data", nullptr};
    static const ArgSpec spec{"InfoTree", names, 0, 0};
    PyObject* a[1];
    if (!parse_tuple(spec, args, kwds, a)) return -1;
    Ref nodes, roots;
    if (a[0] && a[0] != Py_None) {
        if (!tree_from_json(a[0], &nodes, &roots)) return -1;
    } else {
        nodes = Ref(PyList_New(0));
        roots = Ref(PyList_New(0));
        if (!nodes || !roots) return -1;
    }
    set_field(as_itree(self)->nodes, nodes.release());
    set_field(as_itree(self)->roots, roots.release());
    return 0;
}

int tree_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_itree(self)->nodes);
    Py_VISIT(as_itree(self)->roots);
    return 0;
}

int tree_clear(PyObject* self) {
    for (PyObject** field : {&as_itree(self)->nodes, &as_itree(self)->roots}) {
        Py_INCREF(Py_None);
        set_field(*field, Py_None);
    }
    return 0;
}

void tree_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_itree(self)->nodes);
    Py_CLEAR(as_itree(self)->roots);
    Py_TYPE(self)->tp_free(self);
}

PyObject* tree_add_node(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"n", "as_root", nullptr};
    static const ArgSpec spec{"add_node", names, 0, 1};
    PyObject* a[2];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    int as_root = 0;
    if (a[1] && !to_flag(a[1], &as_root)) return nullptr;
    Ref nodes = Ref::borrow(as_itree(self)->nodes);
    int native = native_node(a[0], op_add_to_list);
    if (native < 0) return nullptr;
    if (native) {
        if (!add_to_list_walk(as_inode(a[0]), nodes.get())) return nullptr;
    } else {
        Ref r(PyObject_CallMethod(a[0], "add_to_list", "O", nodes.get()));
        if (!r) return nullptr;
    }
    if (as_root) {
        Ref roots = Ref::borrow(as_itree(self)->roots);
        if (!append_to(roots.get(), a[0])) return nullptr;
    }
    Py_RETURN_NONE;
}

// The k-th node of a node list, which must be an InfoNode.
PyObject* typed_node(PyObject* nodes, Py_ssize_t k) {
    Ref n(PySequence_GetItem(nodes, k));
    if (!n || !check_convert(n.get(), &InfoNode_Type, false)) return nullptr;
    return n.release();
}

// 1 when the leading edges of a and b differ (label or target number),
// 0 when they agree, -1 on error.
int edges_differ(InfoNodeObject* a, InfoNodeObject* b) {
    ItemCursor ca, cb;
    Ref hold_a = Ref::borrow(a->edges_out), hold_b = Ref::borrow(b->edges_out);
    if (!ca.start(hold_a.get()) || !cb.start(hold_b.get())) return -1;
    for (;;) {
        Ref ea, eb;
        int ra = ca.next(&ea);
        if (ra <= 0) return ra;
        int rb = cb.next(&eb);
        if (rb <= 0) return rb;
        Ref pa[2], pb[2];
        if (!unpack_edge(ea.get(), pa) || !unpack_edge(eb.get(), pb)) return -1;
        int ne = py_ne(pa[1].get(), pb[1].get());
        if (ne != 0) return ne;
        Ref ia(node_id_of(pa[0].get()));
        Ref ib(ia ? node_id_of(pb[0].get()) : nullptr);
        if (!ib) return -1;
        ne = py_ne(ia.get(), ib.get());
        if (ne != 0) return ne;
    }
}

PyObject* tree_diff_with(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"other", nullptr};
    static const ArgSpec spec{"diff_with", names, 0, 1};
    PyObject* a[1];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    if (!check_arg_type(a[0], &InfoTree_Type, "other", false)) return nullptr;
    return tree_diff(self, a[0]);
}

#define FASTCALL(f) reinterpret_cast<PyCFunction>(f), METH_FASTCALL | METH_KEYWORDS

PyMethodDef node_methods[] = {
    {"add_edge", FASTCALL(node_add_edge),
     "add_edge($self, other_node, edge_label=None)\n--\n\n"
     "Appends the edge (other_node, edge_label) to edges_out."},
    {"add_to_list", FASTCALL(node_add_to_list),
     "add_to_list($self, lst)\n--\n\n"
     "Numbers this node and every node reachable from it into lst, in preorder\n"
     "(a node before its successors, successors in edge order). Numbered nodes (nodeId != -1) are\n"
     "neither appended nor descended into, so shared nodes and cycles are listed once."},
    {"as_tree", FASTCALL(node_as_tree),
     "as_tree($self, parts_out)\n--\n\n"
     "Appends the text pieces of the bracketed tree below this node:\n"
     "'(label ' (or '(label' for a bare node), one piece with '(f f)' per feature, the children's\n"
     "pieces, then ')'. Edge labels are not written. A cycle raises RecursionError."},
    {"as_nodes", FASTCALL(node_as_nodes),
     "as_nodes($self, offset, node_list, edge_list)\n--\n\n"
     "-> next free number: numbers unnumbered nodes in\n"
     "preorder from offset and appends (nodeId, label) records to node_list and\n"
     "(from, to, label) records to edge_list; each node's features follow its descendants as\n"
     "feature nodes linked by edges labelled 'f'. A cycle raises RecursionError."},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef tree_methods[] = {
    {"add_node", FASTCALL(tree_add_node),
     "add_node($self, n, as_root=False)\n--\n\n"
     "N.add_to_list(nodes), then appends n to roots when as_root."},
    {"as_tree", FASTCALL(tree_as_tree),
     "as_tree($self, parts_out)\n--\n\n"
     "The bracketed pieces of the first root (further roots are not written)."},
    {"as_json", reinterpret_cast<PyCFunction>(tree_as_json), METH_NOARGS,
     "as_json($self, /)\n--\n\n"
     "-> {'nodes': [(label, features, [(target, edge_label), ...]), ...], 'roots': [...]}:\n"
     "the JSON form that InfoTree(data) reads back (targets and roots by nodeId)."},
    {"as_subdue", FASTCALL(tree_as_subdue),
     "as_subdue($self, start_offset=1)\n--\n\n"
     "-> (records, next_offset): SUBDUE vertex records ('v', number, label)\n"
     "for the nodes and then their features, followed by edge records ('e', from, to, label), with\n"
     "feature edges labelled 'f'. next_offset numbers the vertices of a following tree."},
    {"diff_with", FASTCALL(tree_diff_with),
     "diff_with($self, other)\n--\n\n"
     "-> None when both trees have the same number of nodes and, position by\n"
     "position, equal labels and equal leading edges (labels and target positions), else\n"
     "(self, other). Features are not compared."},
    {nullptr, nullptr, 0, nullptr}};

#undef FASTCALL

const Field node_id_field{offsetof(InfoNodeObject, nodeId)};
const Field tp_field{offsetof(InfoNodeObject, tp)};
const Field features_field{offsetof(InfoNodeObject, features)};
const Field edges_field{offsetof(InfoNodeObject, edges_out)};
const Field nodes_field{offsetof(InfoTreeObject, nodes)};
const Field roots_field{offsetof(InfoTreeObject, roots)};

PyGetSetDef node_getset[] = {
    {"nodeId", get_int32, set_int32, "position in the tree's node list; -1 while the node is in no list",
     qv::closure(node_id_field)},
    {"tp", get_object, set_object, "the node's type label", qv::closure(tp_field)},
    {"features", get_object, set_object, "the node's features (normally a list of str)", qv::closure(features_field)},
    {"edges_out", get_object, set_object, "outgoing edges, a list of (target node, edge label or None)",
     qv::closure(edges_field)},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyGetSetDef tree_getset[] = {
    {"nodes", get_object, set_object, "all nodes; nodes[i].nodeId == i", qv::closure(nodes_field)},
    {"roots", get_object, set_object, "the root nodes, in insertion order", qv::closure(roots_field)},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

}  // namespace

PyObject* tree_diff(PyObject* self, PyObject* other) {
    Ref hold_other = Ref::borrow(other);
    Ref nodes1 = Ref::borrow(as_itree(self)->nodes);
    Ref nodes2 = Ref::borrow(as_itree(other)->nodes);
    Py_ssize_t n1 = PyObject_Length(nodes1.get());
    if (n1 < 0) return nullptr;
    Py_ssize_t n2 = PyObject_Length(nodes2.get());
    if (n2 < 0) return nullptr;
    bool differ = n1 != n2;
    for (Py_ssize_t i = 0; !differ && i < n1; ++i) {
        Ref a(typed_node(nodes1.get(), i));
        if (!a) return nullptr;
        Ref b(typed_node(nodes2.get(), i));
        if (!b) return nullptr;
        int ne = py_ne(as_inode(a.get())->tp, as_inode(b.get())->tp);
        if (ne == 0) ne = edges_differ(as_inode(a.get()), as_inode(b.get()));
        if (ne < 0) return nullptr;
        differ = ne != 0;
    }
    if (differ) return PyTuple_Pack(2, self, other);
    Py_RETURN_NONE;
}

PyTypeObject InfoNode_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject InfoTree_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};

bool ready_infotree() {
    if (!ready_tree_forms()) return false;
    for (Overridable* op : {&op_add_to_list, &op_as_tree, &op_as_nodes}) {
        if (!op->interned) op->interned = PyUnicode_InternFromString(op->name);
        if (!op->interned) return false;
    }
    PyTypeObject& n = InfoNode_Type;
    n.tp_name = "quorvex.feature.InfoNode";
    n.tp_basicsize = sizeof(InfoNodeObject);
    n.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    n.tp_doc =
        "InfoNode(tp, feats=None)\n--\n\n"
        "A node of an information tree with the type label `tp`, the\n"
        "features `feats` (a new empty list when None) and no outgoing edges; `nodeId` is -1 until\n"
        "the node is numbered into a tree's node list.";
    n.tp_new = node_new;
    n.tp_repr = info_node_repr;
    n.tp_init = node_init;
    n.tp_dealloc = node_dealloc;
    n.tp_traverse = node_traverse;
    n.tp_clear = node_clear;
    n.tp_methods = node_methods;
    n.tp_getset = node_getset;
    if (PyType_Ready(&n) < 0) return false;
    PyTypeObject& t = InfoTree_Type;
    t.tp_name = "quorvex.feature.InfoTree";
    t.tp_basicsize = sizeof(InfoTreeObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc =
        "InfoTree(data=None)\n--\n\n"
        "A graph of InfoNodes, `nodes` (nodes[i].nodeId == i) and `roots`.\n"
        "data is the JSON form {'nodes': [[label, features, edges], ...], 'roots': [index, ...]}, an\n"
        "edge being a target index or [target index, edge label]; indices may name later nodes and\n"
        "count from the end when negative. Without data the tree is empty. A failed construction\n"
        "leaves `nodes` and `roots` as they were.";
    t.tp_new = tree_new;
    t.tp_repr = info_tree_repr;
    t.tp_init = tree_init;
    t.tp_dealloc = tree_dealloc;
    t.tp_traverse = tree_traverse;
    t.tp_clear = tree_clear;
    t.tp_methods = tree_methods;
    t.tp_getset = tree_getset;
    return PyType_Ready(&t) == 0;
}

}  // namespace qv
