// The AMIS feature-forest writer (GraphNode.write_amis) and dump_example,
// which writes one training example: the best derivation, then the forest.
//
// Text grammar (every token ends with a blank):
//   disjunction    := "{ n<id> " alternative* "} "    first visit of an OR node
//   back-reference := "$n<id> "                        later visits
//   alternative    := "( _ " inherited-pair* own-pair* part* ") "
//   part           := own-pair* part* | disjunction | back-reference
// A pair is "<index>:<value> " with the Python str forms of both.
#include <string>

#include "common/args.h"
#include "common/errors.h"
#include "feature/forest/forest_walk.h"

namespace qv {
namespace forest {

namespace {

// The text for `out`, gathered and handed to out.write in runs. A run ends
// before anything that other code could observe (an FCombo call, an
// override, a mark in `written`) and at the end, so `out` sees the text in
// the order and at the points where it arises, only in fewer pieces.
class AmisOut {
public:
    explicit AmisOut(PyObject* out) : out_(out) {}

    void put(const char* s) { buf_.append(s); }
    void put(const char* s, std::size_t n) { buf_.append(s, n); }

    bool put_str(PyObject* s) {
        Py_ssize_t n;
        const char* p = PyUnicode_AsUTF8AndSize(s, &n);
        if (p) {
            buf_.append(p, static_cast<std::size_t>(n));
            return true;
        }
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
        PyErr_Clear();  // text with lone surrogates goes out as it is
        return flush() && write(s);
    }

    bool flush() {
        if (buf_.empty()) return true;
        Ref text(PyUnicode_DecodeUTF8(buf_.data(), static_cast<Py_ssize_t>(buf_.size()), nullptr));
        buf_.clear();
        return text && write(text.get());
    }

    // Hands over what was gathered before an error, keeping the error.
    void flush_keeping_error() {
        PendingError keep;
        if (!flush()) PyErr_Clear();
    }

private:
    bool write(PyObject* text) {
        static PyObject* name = nullptr;
        if (!name && !(name = PyUnicode_InternFromString("write"))) return false;
        return static_cast<bool>(Ref(PyObject_CallMethodOneArg(out_, name, text)));
    }

    PyObject* out_;
    std::string buf_;
};

void put_index(AmisOut& out, uint64_t k) {
    char tmp[24];
    int len = PyOS_snprintf(tmp, sizeof tmp, "%llu", static_cast<unsigned long long>(k));
    out.put(tmp, static_cast<std::size_t>(len));
}

bool put_value(AmisOut& out, double v) {
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
bool put_pairs(AmisOut& out, PyObject* vec) {
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
        if (!vs || !out.put_str(ks.get())) return false;
        out.put(":", 1);
        if (!out.put_str(vs.get())) return false;
        out.put(" ", 1);
    }
    return !PyErr_Occurred();
}

void put_node_number(AmisOut& out, const char* prefix, int32_t id) {
    char tmp[32];
    int len = PyOS_snprintf(tmp, sizeof tmp, "%s%d ", prefix, id);
    out.put(tmp, static_cast<std::size_t>(len));
}

struct AmisFrame {
    Ref node;
    ChildIter children;
    Ref child_features;  // what each child is handed
    int child_in_disj = 0;
    const char* closer = nullptr;  // written after the children
};

}  // namespace

bool walk_write_amis(GraphNodeObject* root, PyObject* features, int in_disj, PyObject* written, PyObject* out_obj,
                     PyObject* fcomb) {
    AmisOut out(out_obj);
    VectorCache vectors(fcomb);
    WalkStack<AmisFrame> stack(kWriteAmis);
    // Writes the node's own text and pushes its frame (or writes a
    // back-reference and pushes nothing). False on error.
    auto enter = [&](GraphNodeObject* x, PyObject* feats, int disj) -> bool {
        if (x->featuresD == Py_None && (!out.flush() || !fill_features(x, vectors))) return false;
        AmisFrame f{Ref::borrow(reinterpret_cast<PyObject*>(x)), ChildIter(), Ref(), 0, nullptr};
        if (!disj) {
            if (!x->isDisjunctive) {
                // An AND node outside a disjunction: its pairs inline.
                int t = PyObject_IsTrue(feats);
                if (t < 0 || (t && !put_pairs(out, feats))) return false;
                if (!put_pairs(out, Ref::borrow(x->featuresD).get())) return false;
                f.child_features = Ref::borrow(Py_None);
            } else {
                // An OR node: a numbered disjunction, or a reference to it.
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
                Ref seen(key ? PyObject_GetItem(written, key.get()) : nullptr);
                int t = seen ? PyObject_IsTrue(seen.get()) : -1;
                if (t < 0) return false;
                if (t) {
                    put_node_number(out, "$n", x->nodeId);
                    return true;
                }
                put_node_number(out, "{ n", x->nodeId);
                if (!out.flush() || PyObject_SetItem(written, key.get(), Py_True) < 0) return false;
                f.child_features = Ref::borrow(x->featuresD);
                f.child_in_disj = 1;
                f.closer = "} ";
            }
        } else if (x->isDisjunctive) {
            // An OR node inside a disjunction adds its vector to what its
            // AND descendants inherit and writes nothing of its own.
            if (feats == Py_None) {
                f.child_features = Ref::borrow(x->featuresD);
            } else {
                f.child_features = Ref(PyNumber_Add(feats, x->featuresD));
                if (!f.child_features) return false;
            }
            f.child_in_disj = 1;
        } else {
            // An AND node inside a disjunction: one bracketed alternative.
            out.put("( _ ");
            int t = PyObject_IsTrue(feats);
            if (t < 0 || (t && !put_pairs(out, feats))) return false;
            if (!put_pairs(out, Ref::borrow(x->featuresD).get())) return false;
            f.child_features = Ref::borrow(empty_sv);
            f.closer = ") ";
        }
        if (!f.children.start(x->children)) return false;
        return stack.push(std::move(f));
    };
    auto run = [&]() -> bool {
        if (!enter(root, features, in_disj)) return false;
        while (!stack.empty()) {
            AmisFrame& f = stack.top();
            Ref c;
            int k = f.children.next(&c);
            if (k < 0) return false;
            if (k == 0) {
                if (f.closer) out.put(f.closer);
                stack.pop();
                continue;
            }
            GraphNodeObject* child = as_node(c.get());
            int ov = overrides(child, op_write_amis);
            if (ov < 0) return false;
            Ref feats = Ref::borrow(f.child_features.get());
            int disj = f.child_in_disj;
            if (ov == 0) {
                if (!enter(child, feats.get(), disj)) return false;
                continue;
            }
            PyObject* args[] = {feats.get(), disj ? Py_True : Py_False, written, out_obj, fcomb};
            if (!out.flush() || !Ref(call_node_override(child, op_write_amis, args, 5))) return false;
            vectors.clear();
        }
        return out.flush();
    };
    bool ok;
    try {
        ok = run();
    } catch (...) {  // the text buffer could not grow
        set_error_from_exception();
        ok = false;
    }
    if (ok) return true;
    out.flush_keeping_error();
    return false;
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
    return s && Ref(PyObject_CallMethod(buf, "write", "O", s.get()));
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
