// Multi-label forests (make_multilabel) and the module's self-test (test).
//
// make_multilabel builds one alternative per candidate label set under an
// OR node "*start*", the reference set first (localScore 1.0, so that it is
// the best derivation without weights). Each distinct label gets one label
// node (its vector is fc(data, labels=[label])) wrapped in an OR node
// "OR-<label>" that every set containing the label shares; the AMIS writer
// writes such a shared OR node once and references it afterwards.
#include "common/args.h"
#include "common/text_args.h"
#include "feature/combine/fcombo.h"
#include "feature/forest/forest_walk.h"

namespace qv {

namespace {

// fc(data, labels=[label]), a SparseVectorD or None (new reference).
PyObject* label_vector(PyObject* fc, PyObject* data, PyObject* label) {
    Ref labels(PyList_New(1));
    if (!labels) return nullptr;
    Py_INCREF(label);
    PyList_SET_ITEM(labels.get(), 0, label);
    Ref r;
    if (Py_TYPE(fc)->tp_call == FCombo_Type.tp_call) {
        r = Ref(fcombo_vectorise(reinterpret_cast<FComboObject*>(fc), data, labels.get()));
    } else {
        static PyObject* kw = nullptr;
        if (!kw && !(kw = Py_BuildValue("(s)", "labels"))) return nullptr;
        PyObject* args[] = {data, labels.get()};
        r = Ref(PyObject_Vectorcall(fc, args, 1, kw));
    }
    if (!r || !check_convert(r.get(), sparsmat->SparseVectorD, true)) return nullptr;
    return r.release();
}

PyObject* make_multilabel(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"labels", "otherlabels", "data", "fc", nullptr};
    static const ArgSpec spec{"make_multilabel", names, 0, 4};
    PyObject* a[4];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    PyObject* data = a[2];
    PyObject* fc = a[3];
    if (!check_arg_type(fc, &FCombo_Type, "fc", false)) return nullptr;
    if (!refuse_text(a[0], "labels", "labels") || !refuse_text(a[1], "otherlabels", "label sets")) return nullptr;
    Ref start_label(PyUnicode_FromString("*start*"));
    Ref or_prefix(PyUnicode_FromString("OR-"));
    Ref top(start_label ? new_graph_node(start_label.get(), true) : nullptr);
    Ref label_nodes(PyDict_New());
    Ref first(PyList_New(1));
    if (!or_prefix || !top || !label_nodes || !first) return nullptr;
    Py_INCREF(a[0]);
    PyList_SET_ITEM(first.get(), 0, a[0]);
    // [labels] + otherlabels: otherlabels must be a list.
    Ref sets(PyNumber_Add(first.get(), a[1]));
    if (!sets) return nullptr;
    // Every label set is checked before any label is vectorised.
    if (PyList_Check(sets.get()))
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sets.get()); ++i)
            if (!refuse_text(PyList_GET_ITEM(sets.get(), i), "each label set", "labels")) return nullptr;
    Ref sets_it(PyObject_GetIter(sets.get()));
    if (!sets_it) return nullptr;
    while (Ref lbls{PyIter_Next(sets_it.get())}) {
        Ref text(PyObject_Str(lbls.get()));
        Ref and_node(text ? new_graph_node(text.get(), false) : nullptr);
        if (!and_node || !forest::append_to(as_node(top.get())->children, and_node.get())) return nullptr;
        Ref it(PyObject_GetIter(lbls.get()));
        if (!it) return nullptr;
        while (Ref lbl{PyIter_Next(it.get())}) {
            Ref shared = Ref::borrow(PyDict_GetItemWithError(label_nodes.get(), lbl.get()));
            if (!shared && PyErr_Occurred()) return nullptr;
            if (!shared) {
                Ref label_node(new_graph_node(lbl.get(), false));
                if (!label_node) return nullptr;
                GraphNodeObject* ln = as_node(label_node.get());
                Py_INCREF(Py_None);
                set_field(ln->features, Py_None);
                PyObject* vec = label_vector(fc, data, lbl.get());
                if (!vec) return nullptr;
                set_field(ln->featuresD, vec);
                Ref or_label(PyNumber_Add(or_prefix.get(), lbl.get()));
                shared = Ref(or_label ? new_graph_node(or_label.get(), true) : nullptr);
                if (!shared || !forest::append_to(as_node(shared.get())->children, label_node.get()) ||
                    PyDict_SetItem(label_nodes.get(), lbl.get(), shared.get()) < 0)
                    return nullptr;
            }
            Ref set_children = Ref::borrow(as_node(and_node.get())->children);
            if (!forest::append_to(set_children.get(), shared.get())) return nullptr;
        }
        if (PyErr_Occurred()) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Ref reference(PySequence_GetItem(as_node(top.get())->children, 0));
    if (!reference || !forest::check_node(reference.get())) return nullptr;
    as_node(reference.get())->localScore = 1.0;
    return top.release();
}

// --- test() ------------------------------------------------------------------------------

// print(*items) through the built-in print (so sys.stdout is looked up
// at the call).
bool print(std::initializer_list<PyObject*> items) {
    PyObject* builtins = PyEval_GetBuiltins();
    PyObject* fn = builtins ? PyDict_GetItemString(builtins, "print") : nullptr;
    if (!fn) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "print is not available");
        return false;
    }
    Ref hold = Ref::borrow(fn);
    return static_cast<bool>(Ref(PyObject_Vectorcall(fn, items.begin(), items.size(), nullptr)));
}

PyObject* new_defaultdict_bool() {
    Ref collections(PyImport_ImportModule("collections"));
    Ref dd(collections ? PyObject_GetAttrString(collections.get(), "defaultdict") : nullptr);
    return dd ? PyObject_CallOneArg(dd.get(), reinterpret_cast<PyObject*>(&PyBool_Type)) : nullptr;
}

PyObject* self_test(PyObject*, PyObject*) {
    // 1. The combiner: a vector of four features at order 2, and its words.
    Ref two(PyLong_FromLong(2));
    Ref a(two ? PyObject_CallOneArg(reinterpret_cast<PyObject*>(&FCombo_Type), two.get()) : nullptr);
    Ref items(Py_BuildValue("[(si)(si)(si)(si)]", "a", 1, "b", 1, "c", 2, "d", 2));
    if (!a || !items) return nullptr;
    Ref vec(PyObject_CallOneArg(a.get(), items.get()));
    if (!vec || !print({vec.get()})) return nullptr;
    Ref dict = Ref::borrow(reinterpret_cast<FComboObject*>(a.get())->dict);
    Ref words(PyObject_GetAttrString(dict.get(), "words"));
    if (!words || !print({words.get()})) return nullptr;
    // 2.-3. Three positions with candidates a, b, c; La/Lb/Lc features;
    // the a nodes score 1.0.
    const int crf_len = 3;
    Ref positions(PyList_New(crf_len));
    Ref one(PyFloat_FromDouble(1.0));
    Ref L(PyUnicode_FromString("L"));
    if (!positions || !one || !L) return nullptr;
    for (int k = 0; k < crf_len; ++k) {
        Ref cands(PyList_New(3));
        if (!cands) return nullptr;
        for (int j = 0; j < 3; ++j) {
            const char name[2] = {static_cast<char>('a' + j), '\0'};
            Ref label(PyUnicode_FromString(name));
            Ref node(label ? new_graph_node(label.get(), false) : nullptr);
            Ref fname(node ? PyNumber_Add(L.get(), label.get()) : nullptr);
            Ref pair(fname ? PyTuple_Pack(2, fname.get(), one.get()) : nullptr);
            if (!pair || PyList_Append(as_node(node.get())->features, pair.get()) < 0) return nullptr;
            if (j == 0) as_node(node.get())->localScore = 1.0;
            PyList_SET_ITEM(cands.get(), j, node.release());
        }
        PyList_SET_ITEM(positions.get(), k, cands.release());
    }
    // 4.-5. The CRF forest, numbered, scored without weights: 3.0 (a, a, a).
    Ref n(build_simple_crf(positions.get()));
    if (!n) return nullptr;
    GraphNodeObject* root = as_node(n.get());
    if (!Ref(graph_node_ops.assign_ids(root, 0))) return nullptr;
    Ref done(new_defaultdict_bool());
    double val;
    if (!done || !graph_node_ops.calcInsideMin(root, done.get(), &val)) return nullptr;
    Ref val_obj(PyFloat_FromDouble(val));
    if (!val_obj || !print({val_obj.get()})) return nullptr;
    // 6.-7. The best derivation, its vectors filled by the combiner.
    Ref derivation(graph_node_ops.extractBest(root, a.get()));
    if (!derivation) return nullptr;
    Ref n_text(PyObject_Str(n.get()));
    Ref n_children = Ref::borrow(root->children);
    if (!n_text || !print({n_text.get(), n_children.get()})) return nullptr;
    Ref d_text(PyObject_Str(derivation.get()));
    Ref d_children = Ref::borrow(as_node(derivation.get())->children);
    if (!d_text || !print({d_text.get(), d_children.get()})) return nullptr;
    // 8.-9. The derivation as one flat run of pairs, then the whole forest.
    Ref out = Ref::borrow(PySys_GetObject("stdout"));
    if (!out) {
        PyErr_SetString(PyExc_RuntimeError, "lost sys.stdout");
        return nullptr;
    }
    if (!graph_node_ops.write_amis(as_node(derivation.get()), Py_None, 0, Py_None, out.get(), a.get()) || !print({}))
        return nullptr;
    Ref written(new_defaultdict_bool());
    if (!written || !graph_node_ops.write_amis(root, Py_None, 0, written.get(), out.get(), a.get()) || !print({}))
        return nullptr;
    Py_RETURN_NONE;
}

}  // namespace

PyMethodDef make_multilabel_def = {
    "make_multilabel", reinterpret_cast<PyCFunction>(make_multilabel), METH_FASTCALL | METH_KEYWORDS,
    "make_multilabel(labels, otherlabels, data, fc)\n--\n\n"
    "-> GraphNode: a forest with one alternative\n"
    "per label set (labels first, then the list otherlabels) under an OR node '*start*'. Each\n"
    "distinct label's vector fc(data, labels=[label]) is computed once and shared through an OR\n"
    "node 'OR-<label>'. The reference alternative has localScore 1.0."};

PyMethodDef test_def = {"test", self_test, METH_NOARGS,
                        "test()\n--\n\n"
                        "The module's self-test; vectorises, builds and decodes a small CRF forest and\n"
                        "prints the results and the AMIS text to standard output."};

}  // namespace qv
