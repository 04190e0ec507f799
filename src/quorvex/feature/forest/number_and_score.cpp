// Numbering, local scores and inside scores of a new forest in one walk.
//
// Decoding walks a forest three times in the generic operations: numbering
// (post-order), local scores and inside scores, the last two already done
// in one walk (see walk_calc_potential). This walk numbers the nodes as
// well, so that a forest larger than the caches is read from memory once
// instead of twice. It is the same depth-first walk: children in list
// order, a node reached again taken as it is. A node is numbered when its
// children are done, as by assign_ids; its local score is taken when it is
// entered and its inside score when its children are done, as by the
// scoring walk. So every node ends up with the number, local score and
// inside score the walks one after the other give it.
//
// That holds while nothing but this walk runs: every node a plain
// GraphNode whose children are a list or tuple of GraphNodes, unnumbered
// when first reached, not met again while it is being expanded (a cycle),
// with a vector already there or features that the combiner vectorises
// without Python code and without adding to its dictionary, and no error.
// A forest that is otherwise, anywhere, stops the walk before the node
// concerned, with no error set: the nodes numbered are then the first ones
// of the numbering walk's order, and that walk, started again from the
// root, skips them and numbers the rest just as it would have. The scoring
// walk then runs from the start (see decode_forest), which reports what
// there is to report.
//
// So no Python code runs before the forest is numbered, and the dictionary
// is as it was if numbering fails. When the walk stops, it takes back the
// vectors it gave nodes and the scores it set (undo()) before the passes
// take over: Python code they run while numbering the rest (an override, a
// list subclass's iteration) finds the forest as it would have, and may
// change features, which are then vectorised as they are; a numbering that
// fails (a cycle) leaves the nodes unscored, as the passes do.
#include <cstdint>
#include <cstring>
#include <vector>

#include "feature/combine/fcombo.h"
#include "feature/forest/forest_walk.h"
#include "feature/forest/spare_room.h"
#include "feature/forest/walk_hint.h"

namespace qv {
namespace forest {

namespace {

const uint32_t kNoChild = ~uint32_t(0);

struct Frame {
    Ref node;
    ChildIter children;
    double val = 0.0;  // an OR node's best child so far, an AND node's sum
    bool disj = false;
    bool filled = false;                     // the node was given its vector by this walk
    double old_local = 0.0;                  // its local score before
    uint32_t taken = 0;                      // the children taken so far
    uint32_t best = kNoChild;                // an OR node's best child, by place
    std::size_t state = WalkHint::kNoState;  // its index in the builder's record
};

// A node by number, with kFilled set when this walk gave it its vector
// (nodes are at least 16-byte aligned).
using Numbered = uintptr_t;
const Numbered kFilled = 1;

// The scores of a node before the walk, kept for undoing it when they are
// not a new node's (local 0.0, inside -1.0).
struct Before {
    int32_t id;
    double local, inside;
};

// The room of the last large list of numbered nodes, kept for the next.
SpareRoom<Numbered> spare_numbered;

// Whether two doubles are the same bits (-0.0 and NaNs kept as they are).
bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

class NumberAndScore {
public:
    NumberAndScore(PyObject* weights, PyObject* fc, WalkHint* hint)
        : dot_(weights), vectors_(fc), hint_(hint), stack_(kAssignIds) {
        if (hint_) {
            if (Py_IS_TYPE(fc, &FCombo_Type)) hint_->vectors_from(reinterpret_cast<FComboObject*>(fc)->memo);
            const std::size_t n = hint_->nodes();
            spare_numbered.lend(numbered_, n);
            try {
                numbered_.reserve(n);
            } catch (...) {
                // push_back reports it if it matters
            }
        }
    }
    ~NumberAndScore() { spare_numbered.keep(numbered_); }
    NumberAndScore(const NumberAndScore&) = delete;
    NumberAndScore& operator=(const NumberAndScore&) = delete;

    // True: the whole forest is done; false: stopped, with no error set.
    bool run(GraphNodeObject* root) {
        if (!stopped(enter(root))) return false;
        if (hint_) hint_->start(root);
        std::size_t entered = 1;  // prefetching starts once the forest is found to be large
        for (;;) {
            Frame& f = stack_.top();
            Ref c;
            int r = f.children.next(&c);
            if (r < 0) return stopped(false);
            if (r == 0) {
                if (!finish()) return false;
                if (stack_.empty()) return true;
                continue;
            }
            ++f.taken;
            // In step with the builder's record, everything ahead is loaded
            // already (see walk_hint.h).
            if (entered >= kPrefetchFrom && !(hint_ && hint_->in_step())) prefetch_children(f.children);
            GraphNodeObject* child = as_node(c.get());
            if (child->nodeId != -1) {
                if (!ours(child)) return false;
                deliver(child->insideScore);
                continue;
            }
            if (!stopped(enter(child))) return false;
            if (hint_) {
                hint_->follow(child);
                if (stack_.top().disj) stack_.top().state = hint_->entered_state();
            }
            ++entered;
        }
    }
    // After a stop: the scores and vectors this walk gave nodes are taken
    // back, so that the passes that take over find the forest as they would
    // have (Python code run while they number the rest may look at it or
    // change features, and a numbering that fails leaves it unscored).
    void undo() {
        for (Numbered x : numbered_) {
            GraphNodeObject* n = node_of(x);
            n->localScore = 0.0;
            n->insideScore = -1.0;
            if (x & kFilled) unfill(n);
        }
        for (const Before& b : before_) {
            GraphNodeObject* n = node_of(numbered_[static_cast<std::size_t>(b.id)]);
            n->localScore = b.local;
            n->insideScore = b.inside;
        }
        for (; !stack_.empty(); stack_.pop()) {
            GraphNodeObject* n = as_node(stack_.top().node.get());
            n->localScore = stack_.top().old_local;
            if (stack_.top().filled) unfill(n);
        }
    }
    int32_t count() const { return static_cast<int32_t>(numbered_.size()); }

private:
    // A false result with any error cleared: the walks that follow report
    // it again where they come to it.
    static bool stopped(bool ok) {
        if (!ok) PyErr_Clear();
        return ok;
    }
    static GraphNodeObject* node_of(Numbered x) { return reinterpret_cast<GraphNodeObject*>(x & ~kFilled); }
    // Whether this walk numbered n (a node numbered before is not taken).
    bool ours(GraphNodeObject* n) const {
        const int32_t id = n->nodeId;
        return id >= 0 && static_cast<std::size_t>(id) < numbered_.size() && node_of(numbered_[id]) == n;
    }
    // n's local score and frame; false where the walk stops.
    bool enter(GraphNodeObject* n) {
        if (Py_TYPE(n) != &GraphNode_Type || (n->on_path & kAssignIds)) return false;
        if (!PyList_CheckExact(n->children) && !PyTuple_CheckExact(n->children)) return false;
        const bool fill = n->featuresD == Py_None;
        if (fill && (!vectors_.vectorises_quietly(n->features) || !fill_missing_features(n, vectors_))) return false;
        double own;
        const bool disj = n->isDisjunctive != 0;
        Frame f{Ref::borrow(reinterpret_cast<PyObject*>(n)), ChildIter(), 0.0, disj};
        f.filled = fill;
        f.old_local = n->localScore;
        if (!dot_.dot(n->featuresD, &own) || !f.children.start(n->children) || !stack_.push(std::move(f))) {
            if (fill) unfill(n);
            return false;
        }
        n->localScore = own;
        stack_.top().val = disj ? -1000.0 : own;
        return true;
    }
    static void unfill(GraphNodeObject* n) {
        Py_INCREF(Py_None);
        set_field(n->featuresD, Py_None);
    }
    // The top frame's children are done: its number and inside score,
    // handed to its parent.
    bool finish() {
        Frame& f = stack_.top();
        GraphNodeObject* n = as_node(f.node.get());
        if (numbered_.size() >= static_cast<std::size_t>(INT32_MAX)) return false;
        const int32_t id = static_cast<int32_t>(numbered_.size());
        try {
            if (!same_bits(f.old_local, 0.0) || !same_bits(n->insideScore, -1.0))
                before_.push_back(Before{id, f.old_local, n->insideScore});
            numbered_.push_back(reinterpret_cast<Numbered>(n) | (f.filled ? kFilled : 0));
        } catch (...) {
            if (!before_.empty() && before_.back().id == id) before_.pop_back();
            return false;
        }
        n->nodeId = id;
        const double val = f.disj ? f.val + n->localScore : f.val;
        n->insideScore = val;
        if (hint_ && f.disj && f.best != kNoChild) {
            if (f.state != WalkHint::kNoState)
                hint_->choose(f.state, f.best);
            else if (stack_.size() == 1)
                hint_->choose_last(f.best);
        }
        stack_.pop();
        if (!stack_.empty()) deliver(val);
        return true;
    }
    // A child's inside score taken into its parent's maximum or sum.
    void deliver(double v) {
        Frame& p = stack_.top();
        if (p.disj) {
            if (v >= p.val) {
                p.val = v;
                p.best = p.taken - 1;
            }
        } else {
            p.val += v;
        }
    }

    WeightsDot dot_;
    WalkVectors vectors_;
    WalkHint* hint_;
    WalkStack<Frame> stack_;
    std::vector<Numbered> numbered_;  // by number
    std::vector<Before> before_;      // what undo() puts back besides a new node's scores
};

}  // namespace

bool walk_number_and_score(GraphNodeObject* root, PyObject* weights, PyObject* fc, WalkHint* hint, int32_t* count) {
    if (root->nodeId != -1) {
        *count = 0;
        return false;
    }
    NumberAndScore walk(weights, fc, hint);
    const bool done = walk.run(root);
    if (!done) walk.undo();
    *count = walk.count();
    return done;
}

}  // namespace forest
}  // namespace qv
