// The machinery shared by the native forest walks.
//
// Every operation of GraphNode is a recursion over the forest in its
// description. Forests are deep (a linear-chain CRF of L positions is about
// 2L levels), so the walks keep their own stack of frames instead of using
// the C stack: a node whose class does not override the operation is
// handled inside the walk; a node of a Python subclass that overrides it is
// handed to its override, whose result the walk takes as the child's.
//
// While a node is expanded it carries the walk's bit in `on_path`; meeting
// a node that carries it means the graph has a cycle, which is reported as
// ValueError instead of being walked forever. The bits are cleared when the
// node's frame is popped, also when the walk ends with an error.
#ifndef QUORVEX_FEATURE_FOREST_WALK_H
#define QUORVEX_FEATURE_FOREST_WALK_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "common/buffer_view.h"
#include "common/dispatch.h"
#include "common/errors.h"
#include "common/item_cursor.h"
#include "feature/forest/forest.h"
#include "prefetch.h"

namespace qv {
namespace forest {

enum WalkBit : uint8_t {
    kAssignIds = 1,
    kCalcPotential = 2,
    kCalcInsideMin = 4,
    kExtractBest = 8,
    kExtractLabels = 16,
    kWriteAmis = 32,
};

extern Overridable op_assign_ids;
extern Overridable op_calc_potential;
extern Overridable op_calc_inside_min;
extern Overridable op_extract_best;
extern Overridable op_extract_labels;
extern Overridable op_write_amis;

// 1 when the node's class overrides the operation, 0 when the native code
// runs, -1 on error. A plain GraphNode costs one comparison.
inline int overrides(GraphNodeObject* n, Overridable& op) {
    if (Py_TYPE(n) == &GraphNode_Type) return 0;
    return find_override(reinterpret_cast<PyObject*>(n), &GraphNode_Type, op);
}

// Calls a Python override as a method of the node (new reference), with the
// interpreter's recursion guard, since overrides may walk again.
PyObject* call_node_override(GraphNodeObject* n, Overridable& op, PyObject* const* args, Py_ssize_t nargs);

// The number of nodes from which the walks prefetch: a smaller forest stays
// in the caches well enough that prefetching costs more than it saves.
const std::size_t kPrefetchFrom = 1 << 14;

// Starts loading the lines of a node that the walks read: its fields up to
// the label, 80 bytes from a 16-byte boundary, which span two lines at
// most.
inline void prefetch_node(const void* node) {
    static_assert(offsetof(GraphNodeObject, label) + sizeof(PyObject*) <= 80, "two lines hold the fields read");
    const char* p = static_cast<const char*>(node);
    prefetch_line(p);
    prefetch_line(p + offsetof(GraphNodeObject, label) + sizeof(PyObject*) - 1);
}

// The nodes a walk entered, in the order it entered them, for the next walk
// over the same forest: that walk enters the same nodes in the same order
// as long as the forest is the same, so it knows which nodes come next and
// can start loading them (and the lists they lead to) well before it gets
// there. A large forest does not fit in the caches, and without this every
// node costs a few misses one after the other (node, list, item array).
// Prefetching changes nothing but timing; the fields of a recorded node are
// read only while the order is followed exactly and no Python code has run
// (which could have freed it).
class NodeOrder {
public:
    // In the first walk: n is entered; `indexed` tells whether its children
    // are read by position (an iterator may run Python code).
    void add(GraphNodeObject* n, bool indexed) {
        if (!valid_) return;
        if (!indexed) return invalidate();
        QV_TRY nodes_.push_back(n);
        QV_CATCH(invalidate())
    }
    NodeOrder() = default;
    ~NodeOrder();
    NodeOrder(const NodeOrder&) = delete;
    NodeOrder& operator=(const NodeOrder&) = delete;
    // Room for n nodes (when the walk knows how many to expect).
    void reserve(std::size_t n) {
        lend_room(n);
        try {
            nodes_.reserve(n);
        } catch (...) {
            // add() gives the order up if memory runs out
        }
    }
    // The combiner (a plain FCombo) the following walk vectorises with: the
    // cache slots of the feature lists ahead are prefetched as well.
    void vectors_from(PyObject* fc) { fc_ = fc; }
    // Python code ran (or the walk ended early): the order is not followed.
    void invalidate() { valid_ = false; }
    bool valid() const { return valid_; }
    // In the following walk: n is entered.
    void follow(GraphNodeObject* n) {
        if (!valid_ || nodes_.size() < kPrefetchFrom) return;
        if (next_ >= nodes_.size() || nodes_[next_] != n) {
            valid_ = false;
            return;
        }
        ++next_;
        prefetch_ahead();
    }

private:
    void prefetch_ahead();
    void lend_room(std::size_t n);

    std::vector<GraphNodeObject*> nodes_;
    std::size_t next_ = 0;
    PyObject* fc_ = nullptr;
    bool valid_ = true;
};

// The walks themselves, each starting at a node that is handled natively
// whatever its class (the Python methods and the dispatchers use them).
class WeightsDot;
class WalkHint;
// With `weights`, the weights of every vector already on a numbered node
// are prefetched on the way, for the scoring that follows.
// With `order`, the nodes entered are recorded in it.
// With `hint`, the builder's record of the order (see walk_hint.h) is
// followed to prefetch the nodes ahead.
PyObject* walk_assign_ids(GraphNodeObject* root, int32_t start, WeightsDot* weights = nullptr,
                          NodeOrder* order = nullptr, WalkHint* hint = nullptr);
// The inside scores computed along with the local scores (see
// walk_calc_potential); complete is false when they must be computed anew.
struct FusedInside {
    bool complete = false;
    double score = 0.0;
};
// With raise_errors, the first error stops the walk and stays set (for
// callers that raise it) instead of being printed as unraisable.
// With `order` (of a numbering walk just before), nodes are prefetched
// while the walk follows it.
double walk_calc_potential(GraphNodeObject* root, PyObject* weights, PyObject* fc, PyObject* done,
                           FusedInside* inside = nullptr, bool raise_errors = false, NodeOrder* order = nullptr);
bool walk_calc_inside_min(GraphNodeObject* root, PyObject* done, double* result);
// Numbering, local scores and inside scores of a forest in one walk, where
// that gives what the three walks one after the other give (see
// number_and_score.cpp). True: the forest under root is numbered from 0 to
// *count - 1 and scored. False (no error set): the walk stopped before a
// node it could not take and took back its scores and vectors; the nodes
// numbered, 0 to *count - 1, are the first of the numbering walk's order,
// and the walks one after the other take it from there.
bool walk_number_and_score(GraphNodeObject* root, PyObject* weights, PyObject* fc, WalkHint* hint, int32_t* count);
// With `hint`, whose choices the scoring walk made, the best path is
// prefetched ahead of the walk (see WalkHint::step_best_path).
PyObject* walk_extract_best(GraphNodeObject* root, PyObject* fc, WalkHint* hint = nullptr);
bool walk_extract_labels(GraphNodeObject* root, PyObject* fc, PyObject* result);
bool walk_write_amis(GraphNodeObject* root, PyObject* features, int in_disj, PyObject* written, PyObject* out,
                     PyObject* fcomb);

// ValueError "Need nodeIDs (GraphNode(x,False)#-1)"; returns false.
bool raise_need_ids(GraphNodeObject* n);
// ValueError for a node met again while it is being expanded.
bool raise_cycle(GraphNodeObject* n);
// AssertionError whose one argument is the node.
bool raise_no_best(GraphNodeObject* n);
// TypeError "Cannot convert X to quorvex.feature.GraphNode" unless o is a
// GraphNode.
inline bool check_node(PyObject* o) {
    return Py_TYPE(o) == &GraphNode_Type || check_convert(o, &GraphNode_Type, false);
}
// FCombo or None, else TypeError with the argument message.
bool check_fc_arg(PyObject* fc, const char* name);

// fc(features), which must give a SparseVectorD or None (new reference).
// A plain FCombo is called natively.
PyObject* call_fc(PyObject* fc, PyObject* features);

// fc(features) for the nodes of one walk. A plain FCombo vectorises
// natively, through its own cache of the vectors of short lists (see
// VectorCache in feature/combine/vector_cache.h), which is what keeps the
// many shared transition lists of a CRF forest cheap; anything else is
// called. The walk also learns whether a call may have run Python code (a
// combiner of a Python subclass, a dictionary that looks up through
// Python, features that are neither a FeatureList nor a list of immutable
// features), after which it no longer relies on anything it assumed about
// the forest.
class WalkVectors {
public:
    explicit WalkVectors(PyObject* fc) : fc_(fc) {}
    PyObject* fc() const { return fc_; }
    // fc(features), checked as by call_fc (new reference).
    PyObject* vectorise(PyObject* features);
    // Whether Python code may have run, in a call or (as noted by clear())
    // in an override the walk called.
    bool ran_python() const { return ran_python_; }
    // Notes that Python code ran outside the combiner (an override).
    void clear() { ran_python_ = true; }
    // Whether vectorise(features) would run no Python code and leave the
    // dictionary as it is (a native combiner over a dictionary that does
    // not grow, plain features).
    bool vectorises_quietly(PyObject* features) const;

private:
    PyObject* fc_;
    bool ran_python_ = false;
};

// Fills n.featuresD with fc(n.features) when it is None; false on error.
bool fill_missing_features(GraphNodeObject* n, WalkVectors& vectors);
inline bool fill_features(GraphNodeObject* n, WalkVectors& vectors) {
    return n->featuresD != Py_None || fill_missing_features(n, vectors);
}
// A new plain AND node holding the given fields as they are (borrowed
// arguments), as extractBest makes its copies.
PyObject* new_copy_node(PyObject* label, PyObject* features, PyObject* featuresD, PyObject* children);
// result.append(item), directly for a list.
bool append_to(PyObject* result, PyObject* item);

// The children of a node in order, as a for loop over them sees them (see
// ItemCursor). Each child must be a GraphNode.
class ChildIter {
public:
    bool start(PyObject* children) { return items_.start(children); }
    // Whether the children are a list or tuple read by position.
    bool indexed() const { return items_.indexed(); }
    // 1: *out holds the next child; 0: no more children; -1: error.
    int next(Ref* out) {
        int r = items_.next(out);
        if (r <= 0) return r;
        return check_node(out->get()) ? 1 : -1;
    }
    // The children still to come (see ItemCursor::ahead), unchecked.
    Py_ssize_t ahead(PyObject* const** rest) const { return items_.ahead(rest); }

private:
    ItemCursor items_;
};

// Starts loading what a walk reads of the children still to come, in
// stages, so that the misses of the hops from one child to the next overlap
// instead of adding up: a large forest does not fit in the caches, and
// every node leads to its lists and their item arrays, each elsewhere in
// memory. Eight children ahead the node itself, five ahead its children and
// feature lists, two ahead their item arrays, one ahead its first two
// children. Only plain nodes and exact lists are looked into, and only
// fields that an earlier stage started loading are read.
inline void prefetch_children(const ChildIter& it) {
    enum { kNode = 8, kLists = 5, kItems = 2 };
    PyObject* const* c;
    const Py_ssize_t n = it.ahead(&c);
    if (n < 2) return;  // the rest is as near as it gets
    auto plain = [](PyObject* o) { return Py_IS_TYPE(o, &GraphNode_Type); };
    auto items = [](PyObject* list) { return PyList_CheckExact(list) ? PyList_GET_SIZE(list) : 0; };
    if (plain(c[0])) {
        PyObject* children = as_node(c[0])->children;
        const Py_ssize_t m = std::min<Py_ssize_t>(items(children), 2);
        for (Py_ssize_t i = 0; i < m; ++i) prefetch_line(PyList_GET_ITEM(children, i));
    }
    if (n > kItems && plain(c[kItems])) {
        PyObject* children = as_node(c[kItems])->children;
        PyObject* features = as_node(c[kItems])->features;
        if (items(children)) prefetch_line(reinterpret_cast<PyListObject*>(children)->ob_item);
        if (items(features)) prefetch_line(reinterpret_cast<PyListObject*>(features)->ob_item);
    }
    if (n > kLists && plain(c[kLists])) {
        prefetch_line(as_node(c[kLists])->children);
        prefetch_line(as_node(c[kLists])->features);
    }
    if (n > kNode) prefetch_node(c[kNode]);
}

// The best-child rule of OR nodes: the last child whose inside score is at
// least that of every earlier candidate and at least -1000.0. Returns the
// child (new reference), or nullptr with AssertionError(x) when there is
// none, or with the error of a child that is not a GraphNode.
PyObject* best_child(GraphNodeObject* x);

// The frames of one walk. Frame must have a member `Ref node`.
template <class Frame>
class WalkStack {
public:
    explicit WalkStack(uint8_t bit) : bit_(bit) {
        // Room for a chain of a few dozen positions, so that the stack does
        // not grow (and move its frames) step by step in every walk.
        try {
            frames_.reserve(kInitialFrames);
        } catch (...) {
            // push() reports running out of memory when it happens
        }
    }
    ~WalkStack() {
        for (Frame& f : frames_) as_node(f.node.get())->on_path &= static_cast<uint8_t>(~bit_);
    }
    WalkStack(const WalkStack&) = delete;
    WalkStack& operator=(const WalkStack&) = delete;

    // Marks the frame's node and pushes it; ValueError for a node that is
    // already on the path, MemoryError when the stack cannot grow.
    bool push(Frame&& f) {
        GraphNodeObject* n = as_node(f.node.get());
        if (n->on_path & bit_) return raise_cycle(n);
        QV_TRY frames_.push_back(std::move(f));
        QV_CATCH(false)
        n->on_path |= bit_;
        return true;
    }
    Frame& top() { return frames_.back(); }
    void pop() {
        as_node(frames_.back().node.get())->on_path &= static_cast<uint8_t>(~bit_);
        frames_.pop_back();
    }
    bool empty() const { return frames_.empty(); }
    std::size_t size() const { return frames_.size(); }

private:
    static const std::size_t kInitialFrames = 128;
    std::vector<Frame> frames_;
    uint8_t bit_;
};

// done[nodeId] as the scoring passes read and set it. A one-dimensional
// NumPy array (or bytearray) of one-byte items is read and written in
// place; anything else, and indices outside such an array, go through
// Python subscripts, with their errors.
class DoneMarks {
public:
    explicit DoneMarks(PyObject* done) : obj_(done) {}
    ~DoneMarks() {
        if (mode_ == kFast) PyBuffer_Release(&buf_);
    }
    DoneMarks(const DoneMarks&) = delete;
    DoneMarks& operator=(const DoneMarks&) = delete;

    // 1: marked, 0: not marked, -1: error.
    int get(int32_t id) {
        if (mode_ == kUntried) try_fast();
        if (mode_ == kFast && id >= 0 && id < len_) return data_[id * stride_] != 0;
        Ref key(PyLong_FromLong(id));
        Ref v(key ? PyObject_GetItem(obj_, key.get()) : nullptr);
        return v ? PyObject_IsTrue(v.get()) : -1;
    }
    bool set(int32_t id) {
        if (mode_ == kUntried) try_fast();
        if (mode_ == kFast && id >= 0 && id < len_) {
            data_[id * stride_] = 1;
            return true;
        }
        Ref key(PyLong_FromLong(id));
        return key && PyObject_SetItem(obj_, key.get(), Py_True) == 0;
    }

private:
    enum Mode { kUntried, kFast, kGeneric };
    void try_fast();

    PyObject* obj_;
    Py_buffer buf_{};
    char* data_ = nullptr;
    Py_ssize_t len_ = 0;
    Py_ssize_t stride_ = 1;
    Mode mode_ = kUntried;
};

// featuresD.dotFull(weights) for the nodes of one walk: the weights' buffer
// is acquired at the first product and kept, with dotFull's errors.
class WeightsDot {
public:
    explicit WeightsDot(PyObject* weights) : weights_(weights) {}
    ~WeightsDot() { view_release(view_); }
    WeightsDot(const WeightsDot&) = delete;
    WeightsDot& operator=(const WeightsDot&) = delete;

    bool dot(PyObject* vec, double* out);
    // Starts loading the weights that dot(vec) will read, for a sparse
    // vector and weights that are a float64 buffer; anything else is left
    // for dot() to report.
    void prefetch(PyObject* vec);

private:
    PyObject* weights_;
    View1D view_{};
    bool tried_ = false;  // prefetch() tried to get the view
};

}  // namespace forest
}  // namespace qv

#endif
