// FCombo.label_nodes: the candidate nodes of one item for a feature forest,
// one AND node per label carrying that label's vector.
#include "common/args.h"
#include "common/text_args.h"
#include "feature/combine/fcombo.h"
#include "feature/forest/forest.h"

namespace qv {

namespace {

PyObject* fc_label_nodes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"flist", "labels", nullptr};
    static const ArgSpec spec{"label_nodes", names, 0, 2};
    PyObject* a[2];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    // The labels are iterated once: the vectors and the nodes take them
    // from the same list.
    if (!refuse_text(a[1], "labels", "labels")) return nullptr;
    Ref labels(PySequence_List(a[1]));
    if (!labels) return nullptr;
    Ref vectors(fcombo_label_vectors(as_fc(self), a[0], labels.get(), true));
    if (!vectors) return nullptr;
    const Py_ssize_t count = PyList_GET_SIZE(vectors.get());
    if (count != PyList_GET_SIZE(labels.get())) {
        PyErr_SetString(PyExc_RuntimeError, "label_nodes: the labels changed while they were vectorised");
        return nullptr;
    }
    Ref result(PyList_New(count));
    if (!result) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* node = new_graph_node(PyList_GET_ITEM(labels.get(), i), false);
        if (!node) return nullptr;
        PyObject* v = PyList_GET_ITEM(vectors.get(), i);
        Py_INCREF(v);
        set_field(as_node(node)->featuresD, v);
        PyList_SET_ITEM(result.get(), i, node);
    }
    return result.release();
}

}  // namespace

PyMethodDef fc_node_methods[] = {
    {"label_nodes", reinterpret_cast<PyCFunction>(fc_label_nodes), METH_FASTCALL | METH_KEYWORDS,
     "label_nodes($self, flist, labels)\n--\n\n"
     "-> list: the candidate nodes of one item for a feature forest:\n"
     "for each label, a new AND node GraphNode(label) whose featuresD is fc(flist, labels=[label])\n"
     "(the vectors of label_vectors), in the order of labels. Hand one such list per position to\n"
     "make_simple_crf."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace qv
