"""Mistakes raise instead of giving wrong answers: text where a collection is expected, weight
arrays that do not fit, and the sort key of feature lists."""

import numpy as np
import pytest
from conftest import unraisable_reports

from quorvex.alphabet import StringAlphabet
from quorvex.feature import (
    AndNode,
    BloomFMap,
    CountingBloomFilter,
    FCombo,
    FeatureHasher,
    FeatureList,
    InfoNode,
    InfoTree,
    Multipart,
    flist_sort_order,
    make_multilabel,
)
from quorvex.learn import AvgPer
from quorvex.sparsmat import CSRMatrixD, SparseVectorD

TEXT = ["dog", b"dog", bytearray(b"dog")]


@pytest.mark.parametrize("text", TEXT, ids=["str", "bytes", "bytearray"])
def test_text_is_not_a_list_of_features(text):
    fc = FCombo(2)
    calls = [
        lambda: fc(text),
        lambda: FeatureList(text),
        lambda: FeatureList(["a"]) + text,
        lambda: text + FeatureList(["a"]),
        lambda: Multipart([text]),
        lambda: fc.munge_uni(text),
        lambda: fc.label_vectors(text, ["L"]),
        lambda: fc.label_nodes(text, ["L"]),
        lambda: FeatureHasher(10)(text),
        lambda: FeatureHasher(10).cross(text, ["T"]),
        lambda: FeatureHasher(10).cross(["a"], text),
        lambda: SparseVectorD(text),
        lambda: CSRMatrixD(text),
        lambda: InfoNode("NP", text),
        lambda: InfoTree({"nodes": [["NP", text, []]], "roots": [0]}),
    ]
    for call in calls:
        with pytest.raises(TypeError, match=r"must be a collection of .*, not (str|bytes|bytearray)"):
            call()
    assert len(fc.dict) == 0  # nothing was looked up on the way


def test_text_is_not_a_list_of_labels():
    fc = FCombo(1)
    with pytest.raises(
        TypeError, match=r"labels must be a collection of labels, not str \(put a single one in a list\)"
    ):
        fc(["a"], labels="NOUN")
    with pytest.raises(TypeError, match="labels must be a collection of labels, not bytes"):
        fc(["a"], labels=b"NOUN")
    with pytest.raises(TypeError, match="labels must be a collection of labels, not str"):
        fc.label_vectors(["a"], "NOUN")
    with pytest.raises(TypeError, match="labels must be a collection of labels, not str"):
        fc.label_nodes(["a"], "NOUN")
    with pytest.raises(TypeError, match="labels must be a collection of labels, not str"):
        make_multilabel("ab", [], ["x"], fc)
    with pytest.raises(TypeError, match="each label set must be a collection of labels, not str"):
        make_multilabel(["a"], ["bc"], ["x"], fc)
    assert len(fc.dict) == 0
    # A label set given as a list of one label does what the string was meant to do.
    assert fc(["a"], labels=["NOUN"]) == fc(["a"], labels=("NOUN",))
    assert list(fc.dict) == ["NOUN^a"]


def test_text_in_munging_and_admission():
    fc = FCombo(2)
    vecs = fc.munge_uni(["a", "b"])
    with pytest.raises(TypeError, match="labels must be a collection of labels, not str"):
        fc.munge_vec(vecs, [None], "L")
    with pytest.raises(TypeError, match="mask must be a collection of masks, not str"):
        fc.munge_vec(vecs, "m")
    with pytest.raises(TypeError, match="kinds must be a collection of part kinds, not str"):
        fc.munge_vec_2(vecs, [None], "2")
    m = BloomFMap.__new__(BloomFMap)
    m.bloom, m.dict, m.min_count = CountingBloomFilter(1 << 10), StringAlphabet(), 1
    with pytest.raises(TypeError, match="lst must be a collection of features, not str"):
        m("dog")
    assert len(m.dict) == 0


def test_out_of_range_messages_name_the_feature_and_the_size():
    v = SparseVectorD([(1, 1.0), (1234, 2.0)])
    with pytest.raises(
        IndexError,
        match=r"Out of bounds on buffer access \(axis 0\): feature 1234 is out of range "
        r"for a weight array of 1000",
    ):
        v.dotFull(np.zeros(1000))
    p = AvgPer(3)
    with pytest.raises(IndexError, match="feature 7 is out of range for a weight array of 3"):
        p.update([(1.0, SparseVectorD([(7, 1.0)]))])
    node = AndNode("x")
    node.featuresD = SparseVectorD([(5, 1.0)])
    node.assign_ids(0)
    with unraisable_reports() as seen:
        node.calcPotential(np.zeros(2), None, np.zeros(1, "b"))  # calcPotential itself still prints
    assert [m for _, m, _ in seen] == [
        "Out of bounds on buffer access (axis 0): feature 5 is out of range for a weight array of 2"
    ]


def test_flist_sort_order_indexes_any_non_str():
    assert flist_sort_order("z") == "z"
    assert flist_sort_order(("z", 1.0)) == "z"
    assert flist_sort_order({0: "z"}) == "z"  # a mapping with the key 0

    class Indexable:
        def __getitem__(self, i):
            return "k%d" % i

    assert flist_sort_order(Indexable()) == "k0"
    with pytest.raises(TypeError):
        flist_sort_order(5)
    with pytest.raises(KeyError):
        flist_sort_order({1: "z"})
    with pytest.raises(IndexError):
        flist_sort_order(())
