// The short reprs of the feature module's classes (common/repr.h): the
// class name and the sizes and parameters that tell objects apart.
#ifndef QUORVEX_FEATURE_REPRS_H
#define QUORVEX_FEATURE_REPRS_H

#include "common/ref.h"

namespace qv {

PyObject* graph_node_repr(PyObject* self);         // GraphNode('a', isDisj=False, children=2, features=3, nodeId=-1)
PyObject* fcombo_repr(PyObject* self);             // FCombo(n=2, features=1234, frozen=True)
PyObject* info_node_repr(PyObject* self);          // InfoNode('NP', features=2, edges=1, nodeId=-1)
PyObject* info_tree_repr(PyObject* self);          // InfoTree(nodes=10, roots=1)
PyObject* multipart_repr(PyObject* self);          // Multipart(parts=2, features=9, trees=1)
PyObject* compiled_sentence_repr(PyObject* self);  // CompiledSentence(positions=12, gold=True)
PyObject* feature_hasher_repr(PyObject* self);     // FeatureHasher(dimensions=514229, hash='python', seed=0)
PyObject* bloom_filter_repr(PyObject* self);       // CountingBloomFilter(size=1000, n_addrs=5, hash='python', seed=0)
PyObject* bloom_fmap_repr(PyObject* self);         // BloomFMap(min_count=3, features=120)
PyObject* extensible_array_repr(PyObject* self);   // ExtensibleArray(tp='i', len=5)

}  // namespace qv

#endif
