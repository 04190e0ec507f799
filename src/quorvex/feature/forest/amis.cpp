// The AMIS feature-forest writer (GraphNode.write_amis) and dump_example,
// which writes one training example: the best derivation, then the forest.
//
// Text grammar (every token ends with a blank):
//   disjunction    := "{ n<id> " alternative* "} "    first visit of an OR node
//   back-reference := "$n<id> "                        later visits
//   alternative    := "( _ " inherited-pair* own-pair* part* ") "
//   part           := own-pair* part* | disjunction | back-reference
// A pair is "<index>:<value> " with the Python str forms of both.
#include <charconv>

#include "common/args.h"
#include "common/errors.h"
#include "common/py_writer.h"
#include "feature/forest/forest_walk.h"

namespace qv {
namespace forest {

namespace {

void put_index(PyWriter& out, uint64_t k) {
    char tmp[24];
    char* end = std::to_chars(tmp, tmp + sizeof tmp, k).ptr;
    out.put(tmp, static_cast<std::size_t>(end - tmp));
}

bool put_value(PyWriter& out, double v) {
    if (v == 1.0) {
        out.put("1.0");
        return true;
    }
    // float.__repr__: the shortest text that reads back as v.
    char* s = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!s) return false;
    out.put(s);
    PyMem_Free(s);
    return true;
}

// "k:v " for each (k, v) of vec.
bool put_pairs(PyWriter& out, PyObject* vec) {
    if (Py_TYPE(vec) == sparsmat->SparseVectorD) {
        const SparseVectorD* v = reinterpret_cast<const SparseVectorD*>(vec);
        for (uint32_t i = 0; i < v->my_len; ++i) {
            put_index(out, v->idx_ptr[i]);
            out.put(":", 1);
            if (!put_value(out, v->vals_ptr[i])) return false;
            out.put(" ", 1);
        }
        return true;
    }
    Ref it(PyObject_GetIter(vec));
    if (!it) return false;
    while (Ref item{PyIter_Next(it.get())}) {
        Ref kv[2];
        if (!unpack_exact(item.get(), 2, kv)) return false;
        Ref ks(PyObject_Str(kv[0].get()));
        Ref vs(ks ? PyObject_Str(kv[1].get()) : nullptr);
        if (!vs || !out.put_object(ks.get())) return false;
        out.put(":", 1);
        if (!out.put_object(vs.get())) return false;
        out.put(" ", 1);
    }
    return !PyErr_Occurred();
}

// "<prefix><id> ".
void put_node_number(PyWriter& out, const char* prefix, int32_t id) {
    char tmp[16];
    char* end = std::to_chars(tmp, tmp + sizeof tmp, id).ptr;
    *end++ = ' ';
    out.put(prefix);
    out.put(tmp, static_cast<std::size_t>(end - tmp));
}

// "k:v " for the inherited pairs (when there are any) and the node's own.
bool put_node_pairs(PyWriter& out, GraphNodeObject* x, PyObject* feats) {
    int t = PyObject_IsTrue(feats);
    if (t < 0 || (t && !put_pairs(out, feats))) return false;
    return put_pairs(out, Ref::borrow(x->featuresD).get());
}

struct AmisFrame {
    Ref node;
    ChildIter children;
    Ref child_features;  // what each child is handed
    int child_in_disj = 0;
    const char* closer = nullptr;  // written after the children
};

// One write_amis walk: each node's text in pre-order, the children of a
// node through its frame, a node whose class overrides write_amis through
// its override (after the text so far has gone out).
class AmisWalk {
public:
    AmisWalk(PyObject* written, PyObject* out, PyObject* fcomb)
        : out_(out, PyWriter::Mode::Text), vectors_(fcomb), stack_(kWriteAmis), written_(written), out_obj_(out),
          fcomb_(fcomb) {}

    // What was written before an error still goes out; the error is kept.
    bool run(GraphNodeObject* root, PyObject* features, int in_disj) {
        bool ok;
        try {
            ok = walk(root, features, in_disj);
        } catch (...) {  // the text buffer could not grow
            set_error_from_exception();
            ok = false;
        }
        if (!ok) out_.flush_keeping_error();
        return ok;
    }

private:
    bool walk(GraphNodeObject* root, PyObject* features, int in_disj) {
        if (!enter(root, features, in_disj)) return false;
        while (!stack_.empty())
            if (!step()) return false;
        return out_.flush();
    }

    // Takes the top frame's next child, or closes the frame after its last.
    bool step() {
        AmisFrame& f = stack_.top();
        Ref c;
        int k = f.children.next(&c);
        if (k < 0) return false;
        if (k == 0) {
            if (f.closer) out_.put(f.closer);
            stack_.pop();
            return true;
        }
        GraphNodeObject* child = as_node(c.get());
        int ov = overrides(child, op_write_amis);
        if (ov < 0) return false;
        Ref feats = Ref::borrow(f.child_features.get());
        int disj = f.child_in_disj;
        if (ov == 0) return enter(child, feats.get(), disj);
        return call_override(child, feats.get(), disj);
    }

    bool call_override(GraphNodeObject* child, PyObject* feats, int disj) {
        PyObject* args[] = {feats, disj ? Py_True : Py_False, written_, out_obj_, fcomb_};
        if (!out_.flush() || !Ref(call_node_override(child, op_write_amis, args, 5))) return false;
        vectors_.clear();
        return true;
    }

    // Writes the node's own text and pushes its frame (a back-reference
    // pushes nothing).
    bool enter(GraphNodeObject* x, PyObject* feats, int disj) {
        if (x->featuresD == Py_None && (!out_.flush() || !fill_features(x, vectors_))) return false;
        AmisFrame f{Ref::borrow(reinterpret_cast<PyObject*>(x)), ChildIter(), Ref(), 0, nullptr};
        bool push = true;
        bool ok;
        if (!disj)
            ok = x->isDisjunctive ? open_disjunction(x, feats, f, &push) : inline_and(x, feats, f);
        else
            ok = x->isDisjunctive ? nested_or(x, feats, f) : open_alternative(x, feats, f);
        if (!ok) return false;
        if (!push) return true;
        if (!f.children.start(x->children)) return false;
        return stack_.push(std::move(f));
    }

    // An AND node outside a disjunction: its pairs inline.
    bool inline_and(GraphNodeObject* x, PyObject* feats, AmisFrame& f) {
        if (!put_node_pairs(out_, x, feats)) return false;
        f.child_features = Ref::borrow(Py_None);
        return true;
    }

    // An OR node outside a disjunction: a numbered disjunction on its first
    // visit, a reference to it (and no frame: *push is false) on later ones.
    bool open_disjunction(GraphNodeObject* x, PyObject* feats, AmisFrame& f, bool* push) {
        if (x->nodeId == -1) return raise_need_ids(x);
        if (feats != Py_None) {
            Py_ssize_t n = PyObject_Length(feats);
            if (n < 0) return false;
            if (n != 0) {
                PyErr_SetNone(PyExc_AssertionError);
                return false;
            }
        }
        Ref key(PyLong_FromLong(x->nodeId));
        Ref seen(key ? PyObject_GetItem(written_, key.get()) : nullptr);
        int t = seen ? PyObject_IsTrue(seen.get()) : -1;
        if (t < 0) return false;
        if (t) {
            put_node_number(out_, "$n", x->nodeId);
            *push = false;
            return true;
        }
        put_node_number(out_, "{ n", x->nodeId);
        if (!out_.flush() || PyObject_SetItem(written_, key.get(), Py_True) < 0) return false;
        f.child_features = Ref::borrow(x->featuresD);
        f.child_in_disj = 1;
        f.closer = "} ";
        return true;
    }

    // An OR node inside a disjunction adds its vector to what its AND
    // descendants inherit and writes nothing of its own.
    bool nested_or(GraphNodeObject* x, PyObject* feats, AmisFrame& f) {
        if (feats == Py_None) {
            f.child_features = Ref::borrow(x->featuresD);
        } else {
            f.child_features = Ref(PyNumber_Add(feats, x->featuresD));
            if (!f.child_features) return false;
        }
        f.child_in_disj = 1;
        return true;
    }

    // An AND node inside a disjunction: one bracketed alternative.
    bool open_alternative(GraphNodeObject* x, PyObject* feats, AmisFrame& f) {
        out_.put("( _ ");
        if (!put_node_pairs(out_, x, feats)) return false;
        f.child_features = Ref::borrow(empty_sv);
        f.closer = ") ";
        return true;
    }

    PyWriter out_;
    WalkVectors vectors_;
    WalkStack<AmisFrame> stack_;
    PyObject* written_;
    PyObject* out_obj_;
    PyObject* fcomb_;
};

}  // namespace

bool walk_write_amis(GraphNodeObject* root, PyObject* features, int in_disj, PyObject* written, PyObject* out_obj,
                     PyObject* fcomb) {
    return AmisWalk(written, out_obj, fcomb).run(root, features, in_disj);
}

}  // namespace forest

namespace {

PyObject* defaultdict_type = nullptr;

PyObject* new_defaultdict_bool() {
    if (!defaultdict_type) {
        Ref collections(PyImport_ImportModule("collections"));
        if (!collections) return nullptr;
        defaultdict_type = PyObject_GetAttrString(collections.get(), "defaultdict");
        if (!defaultdict_type) return nullptr;
    }
    return PyObject_CallOneArg(defaultdict_type, reinterpret_cast<PyObject*>(&PyBool_Type));
}

bool write_text(PyObject* buf, const char* text) {
    Ref s(PyUnicode_FromString(text));
    return s && write_all(buf, s.get());
}

PyObject* dump_example(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"n", "buf", "fc", nullptr};
    static const ArgSpec spec{"dump_example", names, 0, 3};
    PyObject* a[3];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    if (!check_arg_type(a[0], &GraphNode_Type, "n", false) || !forest::check_fc_arg(a[2], "fc")) return nullptr;
    GraphNodeObject* n = as_node(a[0]);
    PyObject* buf = a[1];
    PyObject* fc = a[2];
    Ref hold_n = Ref::borrow(a[0]);
    if (!Ref(graph_node_ops.assign_ids(n, 0))) return nullptr;
    Ref done(new_defaultdict_bool());
    double score;
    if (!done || !graph_node_ops.calcInsideMin(n, done.get(), &score)) return nullptr;
    Ref best(graph_node_ops.extractBest(n, fc));
    if (!best) return nullptr;
    if (!graph_node_ops.write_amis(as_node(best.get()), Py_None, 0, Py_None, buf, fc)) return nullptr;
    if (!write_text(buf, "\n")) return nullptr;
    Ref written(new_defaultdict_bool());
    if (!written || !graph_node_ops.write_amis(n, Py_None, 0, written.get(), buf, fc)) return nullptr;
    if (!write_text(buf, "\n\n")) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace

PyMethodDef dump_example_def = {
    "dump_example", reinterpret_cast<PyCFunction>(dump_example), METH_FASTCALL | METH_KEYWORDS,
    "dump_example(n, buf, fc)\n--\n\n"
    "Writes one AMIS training example of the forest rooted at n to the\n"
    "text stream buf: numbers the forest, computes inside scores without weights (the stored\n"
    "localScores), writes the best derivation, a newline, the whole forest and two newlines."};

}  // namespace qv
