// GraphNode: the node of a feature forest (AND/OR graph), its Python
// surface, node numbering (assign_ids), the helpers of the native walks, and
// the factory functions AndNode and OrNode.
#include <cstddef>
#include <utility>

#include "common/args.h"
#include "common/errors.h"
#include "common/getset.h"
#include "common/interned.h"
#include "common/numpy_handles.h"
#include "feature/combine/fcombo.h"
#include "feature/combine/vector_cache.h"
#include "feature/forest/forest_walk.h"
#include "feature/forest/spare_room.h"
#include "feature/forest/walk_hint.h"
#include "feature/reprs.h"

namespace qv {

namespace forest {

Overridable op_assign_ids{"assign_ids"};
Overridable op_calc_potential{"calcPotential"};
Overridable op_calc_inside_min{"calcInsideMin"};
Overridable op_extract_best{"extractBest"};
Overridable op_extract_labels{"extractLabels"};
Overridable op_write_amis{"write_amis"};

namespace {

PyObject* numpy_ndarray = nullptr;  // numpy.ndarray (borrowed), for the in-place done marks

}  // namespace

PyObject* call_node_override(GraphNodeObject* n, Overridable& op, PyObject* const* args, Py_ssize_t nargs) {
    if (Py_EnterRecursiveCall(" in a GraphNode operation")) return nullptr;
    PyObject* r = call_override(reinterpret_cast<PyObject*>(n), op, args, nargs);
    Py_LeaveRecursiveCall();
    return r;
}

bool raise_need_ids(GraphNodeObject* n) {
    Ref s(PyObject_Str(reinterpret_cast<PyObject*>(n)));
    if (s) PyErr_Format(PyExc_ValueError, "Need nodeIDs (%U)", s.get());
    return false;
}

bool raise_cycle(GraphNodeObject* n) {
    Ref s(PyObject_Str(reinterpret_cast<PyObject*>(n)));
    if (s) PyErr_Format(PyExc_ValueError, "The forest has a cycle: %U is reached from itself", s.get());
    return false;
}

bool raise_no_best(GraphNodeObject* n) {
    Ref exc(PyObject_CallOneArg(PyExc_AssertionError, reinterpret_cast<PyObject*>(n)));
    if (exc) PyErr_SetObject(PyExc_AssertionError, exc.get());
    return false;
}

bool check_fc_arg(PyObject* fc, const char* name) { return check_arg_type(fc, &FCombo_Type, name, true); }

PyObject* call_fc(PyObject* fc, PyObject* features) {
    Ref r;
    if (Py_TYPE(fc)->tp_call == FCombo_Type.tp_call && PyObject_TypeCheck(fc, &FCombo_Type)) {
        r = Ref(fcombo_vectorise(reinterpret_cast<FComboObject*>(fc), features, nullptr));
    } else {
        r = Ref(PyObject_CallOneArg(fc, features));
    }
    if (!r || !check_convert(r.get(), sparsmat->SparseVectorD, true)) return nullptr;
    return r.release();
}

namespace {

// A plain FCombo call over a plain StringAlphabet: vectorising runs no
// Python code for lists of str features.
bool native_combiner(PyObject* fc) {
    if (Py_TYPE(fc)->tp_call != FCombo_Type.tp_call || !PyObject_TypeCheck(fc, &FCombo_Type)) return false;
    PyObject* dict = reinterpret_cast<FComboObject*>(fc)->dict;
    PyTypeObject* alph = alphabet->StringAlphabet;
    if (!dict || Py_TYPE(dict) == alph) return dict != nullptr;
    return PyObject_TypeCheck(dict, alph) && Py_TYPE(dict)->tp_as_mapping &&
           Py_TYPE(dict)->tp_as_mapping->mp_subscript == alph->tp_as_mapping->mp_subscript;
}

// Features a native combiner vectorises without Python code: a
// FeatureList, or a list of immutable features.
bool plain_features(PyObject* features) {
    if (!PyList_CheckExact(features)) return PyObject_TypeCheck(features, &FeatureList_Type);
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(features); i < n; ++i)
        if (!is_immutable_feature(PyList_GET_ITEM(features, i))) return false;
    return true;
}

}  // namespace

PyObject* WalkVectors::vectorise(PyObject* features) {
    if (!native_combiner(fc_) || !plain_features(features)) ran_python_ = true;
    return call_fc(fc_, features);
}

bool WalkVectors::vectorises_quietly(PyObject* features) const {
    return native_combiner(fc_) && !as_alph(reinterpret_cast<FComboObject*>(fc_)->dict)->map.growing &&
           plain_features(features);
}

bool fill_missing_features(GraphNodeObject* n, WalkVectors& vectors) {
    Ref features = Ref::borrow(n->features);
    PyObject* v = vectors.vectorise(features.get());
    if (!v) return false;
    set_field(n->featuresD, v);
    return true;
}

PyObject* best_child(GraphNodeObject* x) {
    ChildIter it;
    if (!it.start(x->children)) return nullptr;
    Ref best;
    double val = -1000.0;
    for (;;) {
        Ref c;
        int r = it.next(&c);
        if (r < 0) return nullptr;
        if (r == 0) break;
        double s = as_node(c.get())->insideScore;
        if (s >= val) {
            val = s;
            best = std::move(c);
        }
    }
    if (!best) {
        raise_no_best(x);
        return nullptr;
    }
    return best.release();
}

void DoneMarks::try_fast() {
    mode_ = kGeneric;
    PyTypeObject* tp = Py_TYPE(obj_);
    if (tp != reinterpret_cast<PyTypeObject*>(numpy_ndarray) && tp != &PyByteArray_Type) return;
    if (PyObject_GetBuffer(obj_, &buf_, PyBUF_FORMAT | PyBUF_STRIDES | PyBUF_WRITABLE) < 0) {
        PyErr_Clear();  // read-only: the subscripts report it
        return;
    }
    const char* f = buf_.format ? buf_.format : "B";
    if (*f == '@' || *f == '=' || *f == '<' || *f == '>' || *f == '!') ++f;
    bool one_byte = buf_.itemsize == 1 && f[0] != '\0' && f[1] == '\0' && (f[0] == 'b' || f[0] == 'B' || f[0] == '?');
    if (buf_.ndim != 1 || !one_byte) {
        PyBuffer_Release(&buf_);
        return;
    }
    data_ = static_cast<char*>(buf_.buf);
    len_ = buf_.shape ? buf_.shape[0] : buf_.len;
    stride_ = buf_.strides ? buf_.strides[0] : 1;
    mode_ = kFast;
}

bool WeightsDot::dot(PyObject* vec, double* out) {
    if (vec == Py_None) {
        PyErr_SetString(PyExc_AttributeError, "'NoneType' object has no attribute 'dotFull'");
        return false;
    }
    if (!view_.valid() && !view_set(view_, weights_, Elem::Float64, false)) return false;
    const SparseVectorD* v = reinterpret_cast<const SparseVectorD*>(vec);
    const uint32_t n = v->my_len;
    const coordinate_t* idx = v->idx_ptr;
    const double* vals = v->vals_ptr;
    const char* data = view_.data;
    const Py_ssize_t len = view_.len, stride = view_.stride;
    double s = 0.0;
    for (uint32_t i = 0; i < n; ++i) {
        coordinate_t k = idx[i];
        if (static_cast<Py_ssize_t>(k) >= len) return raise_feature_out_of_range(k, len);
        s += vals[i] * *reinterpret_cast<const double*>(data + static_cast<Py_ssize_t>(k) * stride);
    }
    *out = s;
    return true;
}

void WeightsDot::prefetch(PyObject* vec) {
    if (Py_TYPE(vec) != sparsmat->SparseVectorD) return;
    if (!view_.valid()) {
        if (tried_) return;
        tried_ = true;
        bool ok;
        {
            PendingError keep;
            ok = view_set(view_, weights_, Elem::Float64, false);
            if (!ok) PyErr_Clear();  // dot() reports it when it comes to it
        }
        if (!ok) return;
    }
    const SparseVectorD* v = reinterpret_cast<const SparseVectorD*>(vec);
    const coordinate_t* idx = v->idx_ptr;
    const char* data = view_.data;
    const Py_ssize_t len = view_.len, stride = view_.stride;
    for (uint32_t i = 0; i < v->my_len; ++i)
        if (static_cast<Py_ssize_t>(idx[i]) < len) prefetch_line(data + static_cast<Py_ssize_t>(idx[i]) * stride);
}

namespace {

// The room of the last large order, kept for the next (see spare_room.h).
SpareRoom<GraphNodeObject*> spare_order;

}  // namespace

NodeOrder::~NodeOrder() { spare_order.keep(nodes_); }

void NodeOrder::lend_room(std::size_t n) { spare_order.lend(nodes_, n); }

// Each stage works some nodes further ahead of the walk than the next one,
// reading only what an earlier stage started loading: 24 nodes ahead the
// node, 16 ahead its children and feature lists, 8 ahead their item arrays,
// 4 ahead the vector cache's slot of a feature list still to vectorise.
void NodeOrder::prefetch_ahead() {
    const std::size_t n = nodes_.size();
    if (next_ + 24 < n) prefetch_node(nodes_[next_ + 24]);
    if (next_ + 16 < n) {
        GraphNodeObject* x = nodes_[next_ + 16];
        prefetch_line(x->children);
        prefetch_line(x->features);
    }
    if (next_ + 8 < n) {
        GraphNodeObject* x = nodes_[next_ + 8];
        if (PyList_CheckExact(x->children)) prefetch_line(reinterpret_cast<PyListObject*>(x->children)->ob_item);
        if (PyList_CheckExact(x->features)) prefetch_line(reinterpret_cast<PyListObject*>(x->features)->ob_item);
    }
    if (fc_ && next_ + 4 < n) {
        GraphNodeObject* x = nodes_[next_ + 4];
        const VectorCache* memo = reinterpret_cast<FComboObject*>(fc_)->memo;
        if (memo && x->featuresD == Py_None) memo->prefetch(x->features);
    }
}

// --- assign_ids ----------------------------------------------------------------

namespace {

struct NumberFrame {
    Ref node;
    ChildIter children;
};

// The next free number handed back by a child, as the parent converts it.
bool take_number(int64_t v, int32_t* start) {
    if (v > INT32_MAX || v < INT32_MIN) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    *start = static_cast<int32_t>(v);
    return true;
}

}  // namespace

// Post-order numbering: children first, in list order; a node that is
// numbered already is not entered again.
PyObject* walk_assign_ids(GraphNodeObject* root, int32_t start, WeightsDot* weights, NodeOrder* order, WalkHint* hint) {
    if (root->nodeId != -1) return PyLong_FromLong(start);
    WalkStack<NumberFrame> stack(kAssignIds);
    // (always inlined: the walk is the hot loop of numbering large forests)
    auto enter = [&stack](GraphNodeObject* n) __attribute__((always_inline)) {
        NumberFrame f{Ref::borrow(reinterpret_cast<PyObject*>(n)), ChildIter()};
        return f.children.start(n->children) && stack.push(std::move(f));
    };
    if (order && hint) order->reserve(hint->nodes());
    if (!enter(root)) return nullptr;
    if (order) order->add(root, stack.top().children.indexed());
    if (hint) hint->start(root);
    std::size_t entered = 1;  // prefetching starts once the forest is found to be large
    int64_t next = start;
    for (;;) {
        NumberFrame& f = stack.top();
        Ref c;
        int r = f.children.next(&c);
        if (r < 0) return nullptr;
        if (r == 0) {
            GraphNodeObject* n = as_node(f.node.get());
            n->nodeId = start;
            if (weights) weights->prefetch(n->featuresD);
            next = static_cast<int64_t>(start) + 1;
            stack.pop();
            if (stack.empty()) return PyLong_FromLongLong(next);
            if (!take_number(next, &start)) return nullptr;
            continue;
        }
        // A walk in step with the builder's record has everything ahead
        // loaded already; a lookahead of its own would only wait for lines.
        if (entered >= kPrefetchFrom && !(hint && hint->in_step())) prefetch_children(f.children);
        GraphNodeObject* child = as_node(c.get());
        int ov = overrides(child, op_assign_ids);
        if (ov < 0) return nullptr;
        if (ov > 0) {
            if (order) order->invalidate();
            Ref arg(PyLong_FromLong(start));
            if (!arg) return nullptr;
            PyObject* args[] = {arg.get()};
            Ref res(call_node_override(child, op_assign_ids, args, 1));
            if (!res || !to_int32(res.get(), &start)) return nullptr;
            continue;
        }
        if (child->nodeId != -1) continue;
        if (!enter(child)) return nullptr;
        if (order) order->add(child, stack.top().children.indexed());
        if (hint) hint->follow(child);
        ++entered;
    }
}

// --- dispatchers: the internal operations ------------------------------------------

namespace {

PyObject* dispatch_assign_ids(GraphNodeObject* self, int32_t start) {
    int ov = overrides(self, op_assign_ids);
    if (ov < 0) return nullptr;
    if (ov == 0) return walk_assign_ids(self, start);
    Ref arg(PyLong_FromLong(start));
    if (!arg) return nullptr;
    PyObject* args[] = {arg.get()};
    return call_node_override(self, op_assign_ids, args, 1);
}

double dispatch_calc_potential(GraphNodeObject* self, PyObject* weights, PyObject* fc, PyObject* done) {
    int ov = overrides(self, op_calc_potential);
    if (ov == 0) return walk_calc_potential(self, weights, fc, done);
    double v = 0.0;
    if (ov > 0) {
        PyObject* args[] = {weights, fc, done};
        Ref res(call_node_override(self, op_calc_potential, args, 3));
        if (res && to_double(res.get(), &v)) return v;
    }
    report_unraisable("quorvex.feature.GraphNode.calcPotential");
    return 0.0;
}

bool dispatch_calc_inside_min(GraphNodeObject* self, PyObject* done, double* result) {
    int ov = overrides(self, op_calc_inside_min);
    if (ov < 0) return false;
    if (ov == 0) return walk_calc_inside_min(self, done, result);
    PyObject* args[] = {done};
    Ref res(call_node_override(self, op_calc_inside_min, args, 1));
    return res && to_double(res.get(), result);
}

PyObject* dispatch_extract_best(GraphNodeObject* self, PyObject* fc) {
    int ov = overrides(self, op_extract_best);
    if (ov < 0) return nullptr;
    if (ov == 0) return walk_extract_best(self, fc);
    PyObject* args[] = {fc};
    Ref res(call_node_override(self, op_extract_best, args, 1));
    if (!res || !check_node(res.get())) return nullptr;
    return res.release();
}

bool dispatch_extract_labels(GraphNodeObject* self, PyObject* fc, PyObject* result) {
    int ov = overrides(self, op_extract_labels);
    if (ov < 0) return false;
    if (ov == 0) return walk_extract_labels(self, fc, result);
    PyObject* args[] = {fc, result};
    return static_cast<bool>(Ref(call_node_override(self, op_extract_labels, args, 2)));
}

bool dispatch_write_amis(GraphNodeObject* self, PyObject* features, int in_disj, PyObject* written, PyObject* out,
                         PyObject* fcomb) {
    int ov = overrides(self, op_write_amis);
    if (ov < 0) return false;
    if (ov == 0) return walk_write_amis(self, features, in_disj, written, out, fcomb);
    PyObject* args[] = {features, in_disj ? Py_True : Py_False, written, out, fcomb};
    return static_cast<bool>(Ref(call_node_override(self, op_write_amis, args, 5)));
}

}  // namespace

}  // namespace forest

const GraphNodeOps graph_node_ops = {forest::dispatch_assign_ids,      forest::dispatch_calc_potential,
                                     forest::dispatch_calc_inside_min, forest::dispatch_extract_best,
                                     forest::dispatch_extract_labels,  forest::dispatch_write_amis};

PyTypeObject GraphNode_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};

namespace {

using namespace forest;

// --- construction and the type slots ----------------------------------------------------

PyObject* gn_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    GraphNodeObject* n = as_node(self);
    n->ops = &graph_node_ops;
    for (PyObject** field : {&n->label, &n->children, &n->features, &n->featuresD}) {
        Py_INCREF(Py_None);
        *field = Py_None;
    }
    return self;
}

// The state GraphNode(label, disj) gives a node; false on error (nothing
// changed then).
bool init_node(GraphNodeObject* n, PyObject* label, int disj) {
    Ref children(PyList_New(0));
    Ref features(children ? PyList_New(0) : nullptr);
    if (!features) return false;
    Py_INCREF(label);
    set_field(n->label, label);
    set_field(n->children, children.release());
    n->nodeId = -1;
    set_field(n->features, features.release());
    n->localScore = 0.0;
    n->insideScore = -1.0;
    n->isDisjunctive = disj;
    Py_INCREF(Py_None);
    set_field(n->featuresD, Py_None);
    return true;
}

int gn_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* const names[] = {"label", "isDisj", nullptr};
    static const ArgSpec spec{"GraphNode", names, 0, 1};
    PyObject* a[2];
    if (!parse_tuple(spec, args, kwds, a)) return -1;
    int disj = 0;
    if (a[1] && !to_flag(a[1], &disj)) return -1;
    return init_node(as_node(self), a[0], disj) ? 0 : -1;
}

int gn_traverse(PyObject* self, visitproc visit, void* arg) {
    GraphNodeObject* n = as_node(self);
    Py_VISIT(n->label);
    Py_VISIT(n->children);
    Py_VISIT(n->features);
    Py_VISIT(n->featuresD);
    return 0;
}

int gn_clear(PyObject* self) {
    GraphNodeObject* n = as_node(self);
    for (PyObject** field : {&n->label, &n->children, &n->features, &n->featuresD}) {
        Py_INCREF(Py_None);
        set_field(*field, Py_None);
    }
    return 0;
}

void gn_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_node(self)->on_path & kHasHint) drop_hint(as_node(self));
    // Chains of nodes are freed through the trashcan, so that dropping a
    // forest thousands of levels deep does not exhaust the C stack.
    Py_TRASHCAN_BEGIN(self, gn_dealloc) GraphNodeObject* n = as_node(self);
    Py_CLEAR(n->label);
    Py_CLEAR(n->children);
    Py_CLEAR(n->features);
    Py_CLEAR(n->featuresD);
    Py_TYPE(self)->tp_free(self);
    Py_TRASHCAN_END
}

PyObject* gn_str(PyObject* self) {
    GraphNodeObject* n = as_node(self);
    return PyUnicode_FromFormat("GraphNode(%S,%s)#%d", n->label ? n->label : Py_None,
                                n->isDisjunctive ? "True" : "False", n->nodeId);
}

// --- Python methods -----------------------------------------------------------------

PyObject* gn_assign_ids(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"start", nullptr};
    static const ArgSpec spec{"assign_ids", names, 1, 1};
    PyObject* a[1];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    int32_t start;
    if (!to_int32(a[0], &start)) return nullptr;
    return walk_assign_ids(as_node(self), start);
}

PyObject* gn_calc_potential(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"weights", "fc", "done", nullptr};
    static const ArgSpec spec{"calcPotential", names, 0, 3};
    PyObject* a[3];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    if (!check_fc_arg(a[1], "fc")) return nullptr;
    return PyFloat_FromDouble(walk_calc_potential(as_node(self), a[0], a[1], a[2]));
}

PyObject* gn_calc_inside_min(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"done", nullptr};
    static const ArgSpec spec{"calcInsideMin", names, 1, 1};
    PyObject* a[1];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    double v;
    if (!walk_calc_inside_min(as_node(self), a[0], &v)) return nullptr;
    return PyFloat_FromDouble(v);
}

PyObject* gn_extract_best(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"fc", nullptr};
    static const ArgSpec spec{"extractBest", names, 1, 1};
    PyObject* a[1];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    if (!check_fc_arg(a[0], "fc")) return nullptr;
    return walk_extract_best(as_node(self), a[0]);
}

PyObject* gn_extract_labels(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"fc", "result", nullptr};
    static const ArgSpec spec{"extractLabels", names, 0, 2};
    PyObject* a[2];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    if (!check_fc_arg(a[0], "fc")) return nullptr;
    if (!walk_extract_labels(as_node(self), a[0], a[1])) return nullptr;
    Py_RETURN_NONE;
}

PyObject* gn_write_amis(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"features", "in_disj", "written", "out", "fcomb", nullptr};
    static const ArgSpec spec{"write_amis", names, 0, 5};
    PyObject* a[5];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    int in_disj;
    if (!to_flag(a[1], &in_disj)) return nullptr;
    if (!check_fc_arg(a[4], "fcomb")) return nullptr;
    if (!walk_write_amis(as_node(self), a[0], in_disj, a[2], a[3], a[4])) return nullptr;
    Py_RETURN_NONE;
}

#define FASTCALL(f) reinterpret_cast<PyCFunction>(f), METH_FASTCALL | METH_KEYWORDS
PyMethodDef gn_methods[] = {
    {"assign_ids", FASTCALL(gn_assign_ids),
     "assign_ids($self, start, /)\n--\n\n"
     "-> int: numbers the unnumbered nodes below and including this one in\n"
     "post-order (children first, each shared node once), starting at start; returns the next free\n"
     "number. An already numbered node returns start unchanged."},
    {"calcPotential", FASTCALL(gn_calc_potential),
     "calcPotential($self, weights, fc, done)\n--\n\n"
     "-> float: sets localScore = featuresD.dotFull(weights) on\n"
     "every node not yet marked in done (filling a missing featuresD with fc(features)) and marks\n"
     "it. Errors are printed as unraisable and skip the failing node's sub-forest. Returns 0.0, or\n"
     "the stored insideScore of a node that was already marked."},
    {"calcInsideMin", FASTCALL(gn_calc_inside_min),
     "calcInsideMin($self, done, /)\n--\n\n"
     "-> float: best-derivation (Viterbi) scores, bottom-up: an OR node\n"
     "takes its best child's inside score (never less than -1000.0), an AND node the sum of its\n"
     "children's, each plus its own localScore. Nodes marked in done keep their stored score."},
    {"extractBest", FASTCALL(gn_extract_best),
     "extractBest($self, fc, /)\n--\n\n"
     "-> GraphNode: the best derivation as a new tree of AND nodes sharing the\n"
     "forest's feature lists and vectors; the vectors of resolved OR nodes are added (as new\n"
     "vectors) to the root of the derivation chosen below them."},
    {"extractLabels", FASTCALL(gn_extract_labels),
     "extractLabels($self, fc, result)\n--\n\n"
     "Appends the labels (other than None) along the best derivation\n"
     "to result, in pre-order."},
    {"write_amis", FASTCALL(gn_write_amis),
     "write_amis($self, features, in_disj, written, out, fcomb)\n--\n\n"
     "Writes the forest (or a derivation) as\n"
     "AMIS feature-forest text to out; OR nodes are written once as '{ n<id> ... } ' and referenced\n"
     "as '$n<id> ' afterwards (written records them by node number)."},
    {nullptr, nullptr, 0, nullptr}};
#undef FASTCALL

const Field label_field{offsetof(GraphNodeObject, label)};
const Field children_field{offsetof(GraphNodeObject, children)};
const Field features_field{offsetof(GraphNodeObject, features)};
PyTypeObject* sparse_vector_d_ref = nullptr;
const Field features_d_field{offsetof(GraphNodeObject, featuresD), &sparse_vector_d_ref, true};
const Field local_score_field{offsetof(GraphNodeObject, localScore)};
const Field inside_score_field{offsetof(GraphNodeObject, insideScore)};

PyGetSetDef gn_getset[] = {
    {"label", get_object, set_object, "the node's label (None: no label)", qv::closure(label_field)},
    {"children", get_object, set_object, "the child nodes, in order (a list of GraphNode)",
     qv::closure(children_field)},
    {"features", get_object, set_object, "the node's symbolic features, as an FCombo takes them",
     qv::closure(features_field)},
    {"featuresD", get_object, set_typed_object, "the features as a SparseVectorD, or None until an FCombo fills it",
     qv::closure(features_d_field)},
    {"localScore", get_double, set_double, "score of the node's own features", qv::closure(local_score_field)},
    {"insideScore", get_double, set_double, "best score of the sub-forest below and including the node",
     qv::closure(inside_score_field)},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// --- AndNode / OrNode --------------------------------------------------------------------

PyObject* make_node(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, bool disj) {
    static const char* const names[] = {"label", nullptr};
    const ArgSpec spec{fname, names, 1, 1};
    PyObject* a[1];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    return new_graph_node(a[0], disj);
}

PyObject* and_node(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return make_node("AndNode", args, nargs, kwnames, false);
}

PyObject* or_node(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return make_node("OrNode", args, nargs, kwnames, true);
}

}  // namespace

namespace {

// A plain GraphNode holding the given fields (references taken over), in
// the state the constructor leaves: the forests make thousands of nodes,
// so they are filled directly instead of through tp_new and __init__.
PyObject* make_plain_node(PyObject* label, PyObject* children, PyObject* features, PyObject* featuresD, int disj) {
    GraphNodeObject* n = PyObject_GC_New(GraphNodeObject, &GraphNode_Type);
    if (!n) {
        Py_DECREF(label);
        Py_DECREF(children);
        Py_DECREF(features);
        Py_DECREF(featuresD);
        return nullptr;
    }
    n->ops = &graph_node_ops;
    n->isDisjunctive = disj;
    n->nodeId = -1;
    n->label = label;
    n->children = children;
    n->features = features;
    n->featuresD = featuresD;
    n->localScore = 0.0;
    n->insideScore = -1.0;
    n->on_path = 0;
    PyObject_GC_Track(n);
    return reinterpret_cast<PyObject*>(n);
}

}  // namespace

PyObject* new_graph_node(PyObject* label, bool disj) {
    PyObject* children = PyList_New(0);
    if (!children) return nullptr;
    PyObject* features = PyList_New(0);
    if (!features) {
        Py_DECREF(children);
        return nullptr;
    }
    Py_INCREF(label);
    Py_INCREF(Py_None);
    return make_plain_node(label, children, features, Py_None, disj ? 1 : 0);
}

namespace forest {

PyObject* new_copy_node(PyObject* label, PyObject* features, PyObject* featuresD, PyObject* children) {
    Py_INCREF(label);
    Py_INCREF(children);
    Py_INCREF(features);
    Py_INCREF(featuresD);
    return make_plain_node(label, children, features, featuresD, 0);
}

bool append_to(PyObject* result, PyObject* item) {
    if (PyList_CheckExact(result)) return PyList_Append(result, item) == 0;
    static qv::Interned append_name("append");
    PyObject* append = append_name.get();
    if (!append) return false;
    return static_cast<bool>(Ref(PyObject_CallMethodOneArg(result, append, item)));
}

}  // namespace forest

PyMethodDef and_node_def = {"AndNode", reinterpret_cast<PyCFunction>(and_node), METH_FASTCALL | METH_KEYWORDS,
                            "AndNode(label, /)\n--\n\n"
                            "-> GraphNode: a new AND node, GraphNode(label)."};
PyMethodDef or_node_def = {"OrNode", reinterpret_cast<PyCFunction>(or_node), METH_FASTCALL | METH_KEYWORDS,
                           "OrNode(label, /)\n--\n\n"
                           "-> GraphNode: a new OR node, GraphNode(label, True)."};

bool ready_graph_node() {
    sparse_vector_d_ref = sparsmat->SparseVectorD;
    if (!(forest::numpy_ndarray = qv::numpy_handle(qv::Numpy::ndarray))) return false;
    PyTypeObject& t = GraphNode_Type;
    t.tp_name = "quorvex.feature.GraphNode";
    t.tp_basicsize = sizeof(GraphNodeObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc =
        "GraphNode(label, isDisj=False)\n--\n\n"
        "A node of a feature forest: an AND node (all children belong to the derivation) or, with\n"
        "isDisj true, an OR node (a derivation picks one child). `features` are turned into the\n"
        "sparse vector `featuresD` by an FCombo and scored against a weight array. The six\n"
        "operations (assign_ids, calcPotential, calcInsideMin, extractBest, extractLabels,\n"
        "write_amis) may be overridden by subclasses; the walks then call the override for those\n"
        "nodes. The walks keep their own stack, so forests may be very deep; a cycle raises\n"
        "ValueError.";
    t.tp_new = gn_new;
    t.tp_init = gn_init;
    t.tp_dealloc = gn_dealloc;
    t.tp_traverse = gn_traverse;
    t.tp_clear = gn_clear;
    t.tp_str = gn_str;
    t.tp_repr = graph_node_repr;
    t.tp_methods = gn_methods;
    t.tp_getset = gn_getset;
    return PyType_Ready(&t) == 0;
}

}  // namespace qv
