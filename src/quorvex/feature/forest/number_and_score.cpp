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
// is as it was if numbering fails. What a forest whose numbering fails
// (a cycle) keeps of this walk is scores and vectors on the nodes it
// scored before it stopped, where the passes one after the other would
// have left them unscored; decoding raises the numbering's error either
// way.
#include <cstdint>
#include <vector>

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
    uint32_t taken = 0;                      // the children taken so far
    uint32_t best = kNoChild;                // an OR node's best child, by place
    std::size_t state = WalkHint::kNoState;  // its index in the builder's record
};

// The room of the last large list of numbered nodes, kept for the next.
SpareRoom<GraphNodeObject*> spare_numbered;

class NumberAndScore {
public:
    NumberAndScore(PyObject* weights, PyObject* fc, WalkHint* hint)
        : dot_(weights), vectors_(fc), hint_(hint), stack_(kAssignIds) {
        if (hint_) {
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
                stack_.top().state = hint_->entered_state();
            }
            ++entered;
        }
    }
    int32_t count() const { return static_cast<int32_t>(numbered_.size()); }
    double inside() const { return inside_; }

private:
    // A false result with any error cleared: the walks that follow report
    // it again where they come to it.
    static bool stopped(bool ok) {
        if (!ok) PyErr_Clear();
        return ok;
    }
    // Whether this walk numbered n (a node numbered before is not taken).
    bool ours(GraphNodeObject* n) const {
        const int32_t id = n->nodeId;
        return id >= 0 && static_cast<std::size_t>(id) < numbered_.size() && numbered_[id] == n;
    }
    // n's local score and frame; false where the walk stops.
    bool enter(GraphNodeObject* n) {
        if (Py_TYPE(n) != &GraphNode_Type || (n->on_path & kAssignIds)) return false;
        if (!PyList_CheckExact(n->children) && !PyTuple_CheckExact(n->children)) return false;
        if (n->featuresD == Py_None &&
            (!vectors_.vectorises_quietly(n->features) || !fill_missing_features(n, vectors_)))
            return false;
        double own;
        if (!dot_.dot(n->featuresD, &own)) return false;
        n->localScore = own;
        const bool disj = n->isDisjunctive != 0;
        Frame f{Ref::borrow(reinterpret_cast<PyObject*>(n)), ChildIter(), disj ? -1000.0 : own, disj};
        return f.children.start(n->children) && stack_.push(std::move(f));
    }
    // The top frame's children are done: its number and inside score,
    // handed to its parent.
    bool finish() {
        Frame& f = stack_.top();
        GraphNodeObject* n = as_node(f.node.get());
        if (numbered_.size() >= static_cast<std::size_t>(INT32_MAX)) return false;
        try {
            numbered_.push_back(n);
        } catch (...) {
            return false;
        }
        n->nodeId = static_cast<int32_t>(numbered_.size() - 1);
        const double val = f.disj ? f.val + n->localScore : f.val;
        n->insideScore = val;
        if (hint_ && f.disj && f.best != kNoChild) {
            if (f.state != WalkHint::kNoState)
                hint_->choose(f.state, f.best);
            else if (stack_.size() == 1)
                hint_->choose_last(f.best);
        }
        stack_.pop();
        if (stack_.empty())
            inside_ = val;
        else
            deliver(val);
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
    std::vector<GraphNodeObject*> numbered_;  // by number
    double inside_ = 0.0;
};

}  // namespace

bool walk_number_and_score(GraphNodeObject* root, PyObject* weights, PyObject* fc, WalkHint* hint, int32_t* count,
                           double* inside) {
    if (root->nodeId != -1) {
        *count = 0;
        return false;
    }
    NumberAndScore walk(weights, fc, hint);
    const bool done = walk.run(root);
    *count = walk.count();
    *inside = walk.inside();
    return done;
}

}  // namespace forest
}  // namespace qv
