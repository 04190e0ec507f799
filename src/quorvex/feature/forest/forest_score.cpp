// Scoring and decoding of feature forests: local scores (calcPotential),
// Viterbi inside scores (calcInsideMin), the best derivation (extractBest)
// and its labels (extractLabels). Scores are maximised; -1000.0 is the
// floor below which an OR node's child is never chosen.
#include "common/args.h"
#include "feature/forest/forest_walk.h"
#include "feature/forest/walk_hint.h"

namespace qv {
namespace forest {

namespace {

const char* const kPotentialName = "quorvex.feature.GraphNode.calcPotential";

// Every frame records whether its node was an OR node when the frame was
// pushed and keeps to it: Python code run during the walk may re-run the
// node's __init__, which resets the flag, while the frame is half done.
struct ScoreFrame {
    Ref node;
    ChildIter children;
    double val = 0.0;
    bool disj = false;
};

// The walk both scoring passes share. Every node not yet marked in done is
// marked, given its own score by the pass and expanded depth-first; while
// pass.inside() holds, a node's inside score is taken when its children
// are done: its best child's (never below -1000.0) plus its own for an OR
// node, its own plus the sum of its children's for an AND node. The pass
// decides the rest:
//   own_score(n, &s)      the node's own score (false on error);
//   entered(children)     sees the children of a node just pushed;
//   before_child()        runs before each child is handled;
//   override_child(c, &v) -1 error, 0 handled natively, 1 overridden with
//                         inside score v, 2 overridden without one;
//   recover()             after an error: true to go on with the next
//                         child, false to stop the walk (the error set).
template <class Pass>
class ScoreWalk {
public:
    ScoreWalk(Pass& pass, PyObject* done, NodeOrder* order = nullptr)
        : pass_(pass), marks_(done), stack_(Pass::kBit), order_(order) {}

    // -1: stopped by an error; 0: the root was marked already (*result is
    // its stored inside score); 1: walked (*result is the root's inside
    // score if the pass still takes them).
    int run(GraphNodeObject* root, double* result) {
        int r = enter(root, result);
        if (r < 0) return pass_.recover() ? 1 : -1;
        if (r == 0) return 0;
        follow(root);
        while (!stack_.empty()) {
            Ref c;
            int k = stack_.top().children.next(&c);
            if (k <= 0) {
                if (k < 0 && !pass_.recover()) return -1;
                finish(result);
                continue;
            }
            pass_.before_child();
            GraphNodeObject* child = as_node(c.get());
            double v;
            int ov = pass_.override_child(child, &v);
            if (ov == 1) {
                deliver(v);
                continue;
            }
            if (ov == 2) continue;
            if (ov == 0) {
                int e = enter(child, &v);
                if (e == 0 && pass_.inside()) deliver(v);
                if (e > 0) follow(child);
                if (e >= 0) continue;
            }
            if (!pass_.recover()) return -1;
        }
        return 1;
    }

private:
    // The node's own steps, then its frame: 1 pushed, 0 already marked
    // (*result = insideScore), -1 error.
    int enter(GraphNodeObject* n, double* result) {
        if (n->nodeId == -1) {
            raise_need_ids(n);
            return -1;
        }
        int d = marks_.get(n->nodeId);
        if (d < 0) return -1;
        if (d) {
            *result = n->insideScore;
            return 0;
        }
        double own;
        if (!marks_.set(n->nodeId) || !pass_.own_score(n, &own)) return -1;
        const bool disj = n->isDisjunctive != 0;
        ScoreFrame f{Ref::borrow(reinterpret_cast<PyObject*>(n)), ChildIter(), disj ? -1000.0 : own, disj};
        if (!f.children.start(n->children) || !stack_.push(std::move(f))) return -1;
        pass_.entered(stack_.top().children);
        return 1;
    }
    // n was entered: the order of the walk before, while it is followed.
    void follow(GraphNodeObject* n) {
        if (!order_) return;
        if (!pass_.followable()) order_->invalidate();
        order_->follow(n);
    }
    // The top frame's children are done: its inside score, handed to its
    // parent (or to *result for the root).
    void finish(double* result) {
        ScoreFrame& f = stack_.top();
        GraphNodeObject* n = as_node(f.node.get());
        double val = f.disj ? f.val + n->localScore : f.val;
        stack_.pop();
        if (!pass_.inside()) return;
        n->insideScore = val;
        if (stack_.empty())
            *result = val;
        else
            deliver(val);
    }
    // A child's inside score taken into its parent's maximum or sum.
    void deliver(double v) {
        ScoreFrame& p = stack_.top();
        if (p.disj) {
            if (v >= p.val) p.val = v;
        } else {
            p.val += v;
        }
    }

    Pass& pass_;
    DoneMarks marks_;
    WalkStack<ScoreFrame> stack_;
    NodeOrder* order_;
};

// --- calcPotential -------------------------------------------------------------------

// localScore = featuresD . weights for every node not yet marked in done.
// There is no error channel: an error at a node is printed as unraisable,
// the node's own call gives 0.0 without visiting (the rest of) its
// children, and its parent goes on with the next child.
//
// With `inside`, the walk also computes the inside scores as calcInsideMin
// would right afterwards: both passes expand the same nodes in the same
// depth-first order, so the inside score of a node can be taken when its
// children are done. That holds while nothing else can change the forest or
// the scores in between: every node handled natively, no error reported, no
// Python code run by the combiner. Otherwise inside->complete ends up false
// and the caller runs calcInsideMin as usual, which recomputes every node.
class PotentialPass {
public:
    static const uint8_t kBit = kCalcPotential;
    PotentialPass(PyObject* weights, PyObject* fc, PyObject* done, bool fused, bool raise_errors)
        : weights_(weights), fc_(fc), done_(done), dot_(weights), vectors_(fc), fused_(fused),
          raise_errors_(raise_errors) {}

    bool own_score(GraphNodeObject* n, double* s) {
        if (!fill_features(n, vectors_) || !dot_.dot(n->featuresD, s)) return false;
        n->localScore = *s;
        return true;
    }
    void entered(const ChildIter& children) {
        if (!children.indexed()) give_up();  // iterators may run Python code
    }
    void before_child() {
        if (vectors_.ran_python()) give_up();
    }
    int override_child(GraphNodeObject* child, double*) {
        int ov = overrides(child, op_calc_potential);
        if (ov > 0) {
            give_up();
            PyObject* args[] = {weights_, fc_, done_};
            Ref res(call_node_override(child, op_calc_potential, args, 3));
            vectors_.clear();
            double ignored;
            return res && to_double(res.get(), &ignored) ? 2 : -1;
        }
        if (ov < 0) return -1;
        if (fused_) {
            int ovi = overrides(child, op_calc_inside_min);
            if (ovi != 0) {
                if (ovi < 0) PyErr_Clear();
                give_up();
            }
        }
        return 0;
    }
    bool recover() {
        if (raise_errors_) return false;
        report_unraisable(kPotentialName);
        give_up();
        return true;
    }
    bool inside() const { return fused_; }
    void give_up() { fused_ = false; }
    bool ran_python() const { return vectors_.ran_python(); }
    // Whether the walk is still native all through (no Python code run).
    bool followable() const { return fused_ && !vectors_.ran_python(); }

private:
    PyObject* weights_;
    PyObject* fc_;
    PyObject* done_;
    WeightsDot dot_;
    WalkVectors vectors_;
    bool fused_;
    bool raise_errors_;
};

// The inside scores from the local scores already there.
class InsidePass {
public:
    static const uint8_t kBit = kCalcInsideMin;
    explicit InsidePass(PyObject* done) : done_(done) {}

    bool own_score(GraphNodeObject* n, double* s) {
        *s = n->localScore;
        return true;
    }
    void entered(const ChildIter&) {}
    void before_child() {}
    int override_child(GraphNodeObject* child, double* v) {
        int ov = overrides(child, op_calc_inside_min);
        if (ov <= 0) return ov;
        PyObject* args[] = {done_};
        Ref res(call_node_override(child, op_calc_inside_min, args, 1));
        return res && to_double(res.get(), v) ? 1 : -1;
    }
    bool recover() { return false; }
    bool inside() const { return true; }
    bool followable() const { return false; }

private:
    PyObject* done_;
};

}  // namespace

double walk_calc_potential(GraphNodeObject* root, PyObject* weights, PyObject* fc, PyObject* done, FusedInside* inside,
                           bool raise_errors, NodeOrder* order) {
    PotentialPass pass(weights, fc, done, inside != nullptr, raise_errors);
    ScoreWalk<PotentialPass> walk(pass, done, order);
    double val = 0.0;
    int r = walk.run(root, &val);
    if (r < 0) return 0.0;       // with raise_errors: the error stays set
    if (r == 0) pass.give_up();  // the root was scored before: the inside pass decides
    if (pass.ran_python()) pass.give_up();
    if (inside) {
        inside->complete = pass.inside();
        if (inside->complete) inside->score = val;
    }
    return r == 0 ? val : 0.0;
}

// --- calcInsideMin -------------------------------------------------------------------

bool walk_calc_inside_min(GraphNodeObject* root, PyObject* done, double* result) {
    InsidePass pass(done);
    ScoreWalk<InsidePass> walk(pass, done);
    return walk.run(root, result) >= 0;
}

// --- extractBest ---------------------------------------------------------------------

namespace {

// An AND node collects its children's copies in `acc` (a list); an OR node
// calls its chosen child (`pending`) once and keeps the copy in `acc`.
struct BestFrame {
    Ref node;
    ChildIter children;
    Ref pending;
    Ref acc;
    bool called = false;
    bool disj = false;  // the node's kind when the frame was pushed
};

// The OR node's features folded into the copy chosen below it:
// r.featuresD += x.featuresD, which makes a new vector, so the forest's
// own vectors stay unchanged.
bool fold_or_features(GraphNodeObject* x, PyObject* r, WalkVectors& vectors) {
    if (!fill_features(x, vectors)) return false;
    Ref xv = Ref::borrow(x->featuresD);
    Py_ssize_t len = PyObject_Length(xv.get());
    if (len < 0) return false;
    if (len == 0) return true;
    GraphNodeObject* rn = as_node(r);
    Ref rv = Ref::borrow(rn->featuresD);
    Ref sum(PyNumber_InPlaceAdd(rv.get(), xv.get()));
    if (!sum || !check_convert(sum.get(), sparsmat->SparseVectorD, true)) return false;
    set_field(rn->featuresD, sum.release());
    return true;
}

}  // namespace

PyObject* walk_extract_best(GraphNodeObject* root, PyObject* fc, WalkHint* hint) {
    WalkVectors vectors(fc);
    WalkStack<BestFrame> stack(kExtractBest);
    if (hint) hint->start_best_path();
    auto enter = [&](GraphNodeObject* n) -> bool {
        BestFrame f{Ref::borrow(reinterpret_cast<PyObject*>(n)), ChildIter(), Ref(), Ref()};
        f.disj = n->isDisjunctive != 0;
        if (f.disj) {
            if (hint) hint->step_best_path();
            f.pending = Ref(best_child(n));
            if (!f.pending || !fill_features(as_node(f.pending.get()), vectors)) return false;
        } else {
            f.acc = Ref(PyList_New(0));
            if (!f.acc || !f.children.start(n->children)) return false;
        }
        return stack.push(std::move(f));
    };
    if (!enter(root)) return nullptr;
    for (;;) {
        BestFrame& f = stack.top();
        GraphNodeObject* x = as_node(f.node.get());
        Ref c;
        if (f.disj) {
            if (!f.called) {
                f.called = true;
                c = std::move(f.pending);
            }
        } else {
            int k = f.children.next(&c);
            if (k < 0) return nullptr;
        }
        Ref copy;
        if (!c) {
            // All children done: the frame's own result.
            if (f.disj) {
                copy = std::move(f.acc);
                if (!fold_or_features(x, copy.get(), vectors)) return nullptr;
            } else {
                copy = Ref(new_copy_node(x->label, x->features, x->featuresD, f.acc.get()));
                if (!copy) return nullptr;
            }
            stack.pop();
            if (stack.empty()) return copy.release();
        } else {
            GraphNodeObject* child = as_node(c.get());
            int ov = overrides(child, op_extract_best);
            if (ov < 0) return nullptr;
            if (ov == 0) {
                if (!enter(child)) return nullptr;
                continue;
            }
            PyObject* args[] = {fc};
            copy = Ref(call_node_override(child, op_extract_best, args, 1));
            vectors.clear();
            if (!copy || !check_node(copy.get())) return nullptr;
        }
        // Hand the copy to the parent frame.
        BestFrame& p = stack.top();
        if (p.disj) {
            p.acc = std::move(copy);
        } else if (PyList_Append(p.acc.get(), copy.get()) < 0) {
            return nullptr;
        }
    }
}

// --- extractLabels -------------------------------------------------------------------

bool walk_extract_labels(GraphNodeObject* root, PyObject* fc, PyObject* result) {
    WalkStack<BestFrame> stack(kExtractLabels);
    auto enter = [&](GraphNodeObject* n) -> bool {
        if (n->label != Py_None) {
            Ref label = Ref::borrow(n->label);
            if (!append_to(result, label.get())) return false;
        }
        BestFrame f{Ref::borrow(reinterpret_cast<PyObject*>(n)), ChildIter(), Ref(), Ref()};
        f.disj = n->isDisjunctive != 0;
        if (f.disj) {
            f.pending = Ref(best_child(n));
            if (!f.pending) return false;
        } else if (!f.children.start(n->children)) {
            return false;
        }
        return stack.push(std::move(f));
    };
    if (!enter(root)) return false;
    while (!stack.empty()) {
        BestFrame& f = stack.top();
        Ref c;
        if (f.disj) {
            if (!f.called) {
                f.called = true;
                c = std::move(f.pending);
            }
        } else if (f.children.next(&c) < 0) {
            return false;
        }
        if (!c) {
            stack.pop();
            continue;
        }
        GraphNodeObject* child = as_node(c.get());
        int ov = overrides(child, op_extract_labels);
        if (ov < 0) return false;
        if (ov == 0) {
            if (!enter(child)) return false;
            continue;
        }
        PyObject* args[] = {fc, result};
        if (!Ref(call_node_override(child, op_extract_labels, args, 2))) return false;
    }
    return true;
}

}  // namespace forest
}  // namespace qv
