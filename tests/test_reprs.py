"""Short, informative reprs: the class name and key sizes and parameters, never the whole
content of a large object."""

import pickle

import pytest

from quorvex import sparsmat
from quorvex.feature import (
    BloomFMap,
    ChainModel,
    CountingBloomFilter,
    ExtensibleArray,
    FCombo,
    FeatureHasher,
    FeatureList,
    GraphNode,
    InfoNode,
    InfoTree,
    Multipart,
    OrNode,
)
from quorvex.learn import AdaGrad, AvgMira, AvgPer, FileModel, SgdMomentum
from quorvex.tagger import TagDictionary, Tagger

LIMIT = 300  # characters a repr stays under, whatever the object holds


def test_graph_node():
    assert repr(GraphNode("a")) == "GraphNode('a', isDisj=False, children=0, features=0, nodeId=-1)"
    root = OrNode(None)
    root.children.extend([GraphNode("x"), GraphNode("y")])
    root.assign_ids(0)
    assert repr(root) == "GraphNode(None, isDisj=True, children=2, features=0, nodeId=2)"
    # str() keeps its compact form
    assert str(root) == "GraphNode(None,True)#2"


def test_feature_list_small_and_large():
    assert repr(FeatureList([("a", 2), "b"])) == "FeatureList([('a', 2.0), ('b', 1.0)])"
    big = FeatureList(["f%05d" % i for i in range(100_000)])
    r = repr(big)
    assert r.startswith("FeatureList([('f00000', 1.0), ('f00001', 1.0),")
    assert r.endswith(", ...], len=100000)")
    assert len(r) < LIMIT
    # str() still spells out every feature
    assert len(str(big)) > 1_000_000


def test_multipart():
    m = Multipart([["a", "b"], ["c"]])
    assert repr(m) == "Multipart(parts=2, features=3, trees=0)"
    m.add_tree({"nodes": [["S", [], []]], "roots": [0]})
    assert repr(m) == "Multipart(parts=2, features=3, trees=1)"


def test_fcombo():
    fc = FCombo(2)
    assert repr(fc) == "FCombo(n=2, features=0, frozen=False)"
    fc(["a", "b", "c"])
    fc.dict.growing = False
    assert repr(fc) == "FCombo(n=2, features=6, frozen=True)"
    fc.set_dict(None)
    assert repr(fc) == "FCombo(n=2, features=None)"


def test_info_tree():
    tree = InfoTree({"nodes": [["S", ["f"], [1, [2, "obj"]]], ["NP", [], []], ["VP", [], []]], "roots": [0]})
    assert repr(tree) == "InfoTree(nodes=3, roots=1)"
    assert repr(tree.nodes[0]) == "InfoNode('S', features=1, edges=2, nodeId=0)"
    assert repr(InfoNode("NP")) == "InfoNode('NP', features=0, edges=0, nodeId=-1)"


def test_learners():
    assert repr(AvgPer(10)) == "AvgPer(n_dimensions=10, timestep=0)"
    assert repr(AvgMira(10, C=0.5)) == "AvgMira(n_dimensions=10, C=0.5, timestep=0)"
    assert repr(AdaGrad(10, l1=1.0, l2=2.0, n_examples=4)) == (
        "AdaGrad(n_dimensions=10, eta=0.1, lambdaL1=0.25, lambdaL2=0.5, timestep=0)"
    )
    assert repr(SgdMomentum(10, momentum=0.5)) == (
        "SgdMomentum(n_dimensions=10, eta=0.1, momentum=0.5, l2=0.0, timestep=0)"
    )
    learner = AvgPer(10)
    learner.update([(1.0, sparsmat.SparseVectorD([(1, 1.0)]))])
    assert repr(learner) == "AvgPer(n_dimensions=10, timestep=1)"
    # a restored learner says the same
    assert repr(pickle.loads(pickle.dumps(learner))) == repr(learner)


def test_file_model(tmp_path):
    learner = AvgPer(7)
    path = tmp_path / "w.npy"
    learner.save_binary(str(path))
    assert repr(FileModel(str(path))) == "FileModel(n_dimensions=7)"


def test_huge_learner_stays_short():
    r = repr(AdaGrad(5_000_000))
    assert r.startswith("AdaGrad(n_dimensions=5000000,") and len(r) < LIMIT


def test_space_classes():
    assert repr(FeatureHasher(100, hash="murmur3", seed=7)) == "FeatureHasher(dimensions=100, hash='murmur3', seed=7)"
    assert repr(CountingBloomFilter(1000, 3)) == "CountingBloomFilter(size=1000, n_addrs=3, hash='python', seed=0)"
    m = BloomFMap()
    assert repr(m) == "BloomFMap(min_count=3, features=0)"
    a = ExtensibleArray("d")
    a[4] = 1.0
    assert repr(a) == "ExtensibleArray(tp='d', len=5)"


def chain_setup():
    fc = FCombo(1)
    sentences = [[FeatureList(["w=a"]), FeatureList(["w=b"])]]
    model, compiled = ChainModel.compile_training(fc, ["A", "B"], sentences, [["A", "B"]])
    return model, compiled


def test_chain_model():
    model, compiled = chain_setup()
    assert repr(model) == "ChainModel(labels=2, features=%d)" % model.n_features
    assert repr(compiled[0]) == "CompiledSentence(positions=2, gold=True)"
    assert repr(ChainModel.__new__(ChainModel)) == "ChainModel(not initialised)"


def test_sparse_vectors():
    v = sparsmat.SparseVectorD([(3, 1.5), (1, 2.0)])
    assert repr(v) == "SparseVectorD([(1, 2.0), (3, 1.5)])"
    big = sparsmat.SparseVectorF([(i, 1.0) for i in range(50_000)])
    r = repr(big)
    assert r.startswith("SparseVectorF([(0, 1.0), (1, 1.0),") and r.endswith(", ...], len=50000)")
    assert len(r) < LIMIT
    assert str(big).count("(") == 50_001  # str() lists every entry
    acc = sparsmat.VecD1()
    for i in range(1000):
        acc.add_count(i, 1.0)
    assert repr(acc).endswith(", ...], len=1000)") and len(repr(acc)) < LIMIT
    grid = sparsmat.VecI2()
    for i in range(100):
        grid.add_count(i, i, 2)
    assert repr(grid).startswith("VecI2([(0, 0, 2), (1, 1, 2),") and len(repr(grid)) < LIMIT
    assert repr(sparsmat.VecV1()) == "VecV1([])"
    members = sparsmat.SparseVectorsD()
    members.add(v, 2.0)
    assert repr(members) == "SparseVectorsD(members=1)"


def test_long_labels_and_items_are_cut():
    r = repr(GraphNode("x" * 10_000))
    assert len(r) < LIMIT and "xxx...," in r
    # a few huge features: each one cut
    r = repr(FeatureList(["a" * 100_000, "b" * 100_000]))
    assert r.startswith("FeatureList([('aaaa") and r.endswith("...], len=2)") and len(r) < LIMIT


@pytest.mark.parametrize(
    "make",
    [
        lambda: FeatureList([("f%d" % i, float(i)) for i in range(20_000)]),
        lambda: Multipart([["f%d" % i for i in range(5_000)]] * 50),
        lambda: InfoTree({"nodes": [["n%d" % i, [], []] for i in range(5_000)], "roots": [0]}),
        lambda: sparsmat.SparseVectorD([(i, 1.0) for i in range(20_000)]),
    ],
)
def test_huge_objects_have_short_reprs(make):
    assert len(repr(make())) < LIMIT


def test_tagger():
    tagger = Tagger()
    features = repr(tagger.feature_fn)
    assert repr(tagger) == "Tagger(untrained, prune=True, feature_fn=%s)" % features
    sentences, tags = [["the", "dog", "barks"]] * 20, [["DET", "NOUN", "VERB"]] * 20
    tagger.fit(sentences, tags, epochs=1, progress=False)
    r = repr(tagger)
    assert r.startswith("Tagger(labels=3, features=") and r.endswith(", prune=True, feature_fn=%s)" % features)
    assert repr(tagger.tagdict) == "TagDictionary(labels=3, known=3, kinds=0, prune=True)"
    assert repr(TagDictionary(sentences, tags, prune=False)) == "TagDictionary(labels=3, known=0, kinds=0, prune=False)"
