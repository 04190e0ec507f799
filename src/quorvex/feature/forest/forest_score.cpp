// Scoring and decoding of feature forests: local scores (calcPotential),
// Viterbi inside scores (calcInsideMin), the best derivation (extractBest)
// and its labels (extractLabels). Scores are maximised; -1000.0 is the
// floor below which an OR node's child is never chosen.
#include "common/args.h"
#include "feature/forest/forest_walk.h"

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

}  // namespace

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
double walk_calc_potential(GraphNodeObject* root, PyObject* weights, PyObject* fc, PyObject* done, FusedInside* inside,
                           bool raise_errors) {
    DoneMarks marks(done);
    WeightsDot dot(weights);
    WalkVectors vectors(fc);
    WalkStack<ScoreFrame> stack(kCalcPotential);
    bool fused = inside != nullptr;
    auto give_up_inside = [&fused]() { fused = false; };
    // The node's own steps, then its frame: 1 pushed, 0 already marked
    // (*result = insideScore), -1 error.
    auto enter = [&](GraphNodeObject* n, double* result) -> int {
        if (n->nodeId == -1) {
            raise_need_ids(n);
            return -1;
        }
        int d = marks.get(n->nodeId);
        if (d < 0) return -1;
        if (d) {
            *result = n->insideScore;
            return 0;
        }
        if (!marks.set(n->nodeId) || !fill_features(n, vectors)) return -1;
        double s;
        if (!dot.dot(n->featuresD, &s)) return -1;
        n->localScore = s;
        const bool disj = n->isDisjunctive != 0;
        ScoreFrame f{Ref::borrow(reinterpret_cast<PyObject*>(n)), ChildIter(), disj ? -1000.0 : s, disj};
        if (!f.children.start(n->children) || !stack.push(std::move(f))) return -1;
        if (!stack.top().children.indexed()) give_up_inside();  // iterators may run Python code
        *result = 0.0;
        return 1;
    };
    // A child's inside score taken into its parent's maximum or sum.
    auto deliver = [&stack](double v) {
        ScoreFrame& p = stack.top();
        if (p.disj) {
            if (v >= p.val) p.val = v;
        } else {
            p.val += v;
        }
    };
    auto report = [&]() {
        report_unraisable(kPotentialName);
        give_up_inside();
    };
    double result = 0.0;
    int r = enter(root, &result);
    if (r < 0 && raise_errors) return 0.0;
    if (r < 0) {
        report();
    } else if (r == 0) {
        fused = false;  // the root was scored before: the inside pass decides
    } else {
        while (!stack.empty()) {
            Ref c;
            int k = stack.top().children.next(&c);
            if (k <= 0) {
                if (k < 0 && raise_errors) return 0.0;
                if (k < 0) report();
                ScoreFrame& f = stack.top();
                GraphNodeObject* n = as_node(f.node.get());
                double val = f.disj ? f.val + n->localScore : f.val;
                stack.pop();
                if (fused) {
                    n->insideScore = val;
                    if (stack.empty()) inside->score = val;
                    else deliver(val);
                }
                continue;
            }
            if (vectors.ran_python()) give_up_inside();
            GraphNodeObject* child = as_node(c.get());
            int ov = overrides(child, op_calc_potential);
            if (ov > 0) {
                give_up_inside();
                PyObject* args[] = {weights, fc, done};
                Ref res(call_node_override(child, op_calc_potential, args, 3));
                vectors.clear();
                double ignored;
                if (res && to_double(res.get(), &ignored)) continue;
            } else if (ov == 0) {
                if (fused) {
                    int ovi = overrides(child, op_calc_inside_min);
                    if (ovi != 0) {
                        if (ovi < 0) PyErr_Clear();
                        give_up_inside();
                    }
                }
                double v;
                int e = enter(child, &v);
                if (e == 0 && fused) deliver(v);
                if (e >= 0) continue;
            }
            if (raise_errors) return 0.0;
            report();
        }
        if (vectors.ran_python()) give_up_inside();
        result = 0.0;
    }
    if (inside) inside->complete = fused;
    return result;
}

// --- calcInsideMin -------------------------------------------------------------------

bool walk_calc_inside_min(GraphNodeObject* root, PyObject* done, double* result) {
    DoneMarks marks(done);
    WalkStack<ScoreFrame> stack(kCalcInsideMin);
    // 1 pushed, 0 already marked (*value = the stored score), -1 error.
    auto enter = [&](GraphNodeObject* n, double* value) -> int {
        if (n->nodeId == -1) {
            raise_need_ids(n);
            return -1;
        }
        int d = marks.get(n->nodeId);
        if (d < 0) return -1;
        if (d) {
            *value = n->insideScore;
            return 0;
        }
        if (!marks.set(n->nodeId)) return -1;
        const bool disj = n->isDisjunctive != 0;
        ScoreFrame f{Ref::borrow(reinterpret_cast<PyObject*>(n)), ChildIter(), disj ? -1000.0 : n->localScore, disj};
        if (!f.children.start(n->children) || !stack.push(std::move(f))) return -1;
        return 1;
    };
    // A child's inside score taken into its parent's maximum or sum.
    auto deliver = [&stack](double v) {
        ScoreFrame& p = stack.top();
        if (p.disj) {
            if (v >= p.val) p.val = v;
        } else {
            p.val += v;
        }
    };
    int r = enter(root, result);
    if (r <= 0) return r == 0;
    for (;;) {
        Ref c;
        int k = stack.top().children.next(&c);
        if (k < 0) return false;
        if (k == 0) {
            ScoreFrame& f = stack.top();
            GraphNodeObject* n = as_node(f.node.get());
            double val = f.disj ? f.val + n->localScore : f.val;
            n->insideScore = val;
            stack.pop();
            if (stack.empty()) {
                *result = val;
                return true;
            }
            deliver(val);
            continue;
        }
        GraphNodeObject* child = as_node(c.get());
        int ov = overrides(child, op_calc_inside_min);
        if (ov < 0) return false;
        double v;
        if (ov > 0) {
            PyObject* args[] = {done};
            Ref res(call_node_override(child, op_calc_inside_min, args, 1));
            if (!res || !to_double(res.get(), &v)) return false;
            deliver(v);
            continue;
        }
        int e = enter(child, &v);
        if (e < 0) return false;
        if (e == 0) deliver(v);
    }
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

PyObject* walk_extract_best(GraphNodeObject* root, PyObject* fc) {
    WalkVectors vectors(fc);
    WalkStack<BestFrame> stack(kExtractBest);
    auto enter = [&](GraphNodeObject* n) -> bool {
        BestFrame f{Ref::borrow(reinterpret_cast<PyObject*>(n)), ChildIter(), Ref(), Ref()};
        f.disj = n->isDisjunctive != 0;
        if (f.disj) {
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
