#include "feature/reprs.h"

#include "common/repr.h"
#include "feature/combine/fcombo.h"
#include "feature/forest/forest.h"
#include "feature/infotree/infotree.h"
#include "feature/lists/multipart.h"
#include "feature/space/bloom.h"
#include "feature/space/extarray.h"

namespace qv {

namespace {

// A new reference to a field (None while the field is unset).
PyObject* new_ref(PyObject* o) {
    if (!o) o = Py_None;
    Py_INCREF(o);
    return o;
}

PyObject* flag(bool b) { return PyBool_FromLong(b); }

// not alph.growing, or nullptr (no error) when the dictionary has no such flag.
PyObject* frozen_flag(PyObject* dict) {
    Ref growing(PyObject_GetAttrString(dict, "growing"));
    if (!growing) {
        PyErr_Clear();
        return nullptr;
    }
    int truth = PyObject_IsTrue(growing.get());
    if (truth < 0) {
        PyErr_Clear();
        return nullptr;
    }
    return flag(!truth);
}

}  // namespace

PyObject* graph_node_repr(PyObject* self) {
    GraphNodeObject* n = as_node(self);
    return ReprBuilder(self)
        .value(nullptr, new_ref(n->label))
        .value("isDisj", flag(n->isDisjunctive))
        .length("children", new_ref(n->children))
        .length("features", new_ref(n->features))
        .value("nodeId", PyLong_FromLong(n->nodeId))
        .finish();
}

PyObject* fcombo_repr(PyObject* self) {
    FComboObject* fc = as_fc(self);
    ReprBuilder r(self);
    r.value("n", PyLong_FromLong(fc->n)).length("features", new_ref(fc->dict));
    if (fc->dict != Py_None) {
        PyObject* frozen = frozen_flag(fc->dict);
        if (frozen) r.value("frozen", frozen);
    }
    return r.finish();
}

PyObject* info_node_repr(PyObject* self) {
    InfoNodeObject* n = as_inode(self);
    return ReprBuilder(self)
        .value(nullptr, new_ref(n->tp))
        .length("features", new_ref(n->features))
        .length("edges", new_ref(n->edges_out))
        .value("nodeId", PyLong_FromLong(n->nodeId))
        .finish();
}

PyObject* info_tree_repr(PyObject* self) {
    InfoTreeObject* t = as_itree(self);
    return ReprBuilder(self).length("nodes", new_ref(t->nodes)).length("roots", new_ref(t->roots)).finish();
}

PyObject* multipart_repr(PyObject* self) {
    MultipartObject* m = reinterpret_cast<MultipartObject*>(self);
    // The features of all parts together (parts without a length count 0).
    Py_ssize_t features = 0;
    if (PyList_Check(m->parts)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(m->parts); ++i) {
            Py_ssize_t k = PyObject_Length(PyList_GET_ITEM(m->parts, i));
            if (k < 0)
                PyErr_Clear();
            else
                features += k;
        }
    }
    return ReprBuilder(self)
        .length("parts", new_ref(m->parts))
        .value("features", PyLong_FromSsize_t(features))
        .length("trees", new_ref(m->trees))
        .finish();
}

PyObject* compiled_sentence_repr(PyObject* self) {
    Ref gold(PyObject_GetAttrString(self, "gold"));
    if (!gold) return nullptr;
    return ReprBuilder(self)
        .length("positions", PyObject_GetAttrString(self, "candidates"))
        .value("gold", flag(gold.get() != Py_None))
        .finish();
}

PyObject* feature_hasher_repr(PyObject* self) {
    return ReprBuilder(self).attr("dimensions", "num_dimensions").attr("hash", "hash").attr("seed", "seed").finish();
}

PyObject* bloom_filter_repr(PyObject* self) {
    CountingBloomFilterObject* b = reinterpret_cast<CountingBloomFilterObject*>(self);
    return ReprBuilder(self)
        .value("size", PyLong_FromUnsignedLong(b->size))
        .value("n_addrs", PyLong_FromLong(b->n_addrs))
        .attr("hash", "hash")
        .attr("seed", "seed")
        .finish();
}

PyObject* bloom_fmap_repr(PyObject* self) {
    BloomFMapObject* m = reinterpret_cast<BloomFMapObject*>(self);
    return ReprBuilder(self)
        .value("min_count", PyLong_FromLong(m->min_count))
        .length("features", new_ref(m->dict))
        .finish();
}

PyObject* extensible_array_repr(PyObject* self) {
    ExtensibleArrayObject* a = reinterpret_cast<ExtensibleArrayObject*>(self);
    return ReprBuilder(self).value("tp", new_ref(a->tp)).value("len", PyLong_FromLong(a->max_pos)).finish();
}

}  // namespace qv
