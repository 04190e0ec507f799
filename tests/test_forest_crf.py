"""Linear-chain CRF forests, their decoding (cross-checked by brute force), multi-label forests and test()."""

import io
import itertools
import pickle
import random
import re
import sys
from collections import defaultdict

import numpy as np
import pytest
from conftest import SlowAlphabet, all_nodes
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvex.feature as feature
from quorvex.alphabet import StringAlphabet
from quorvex.feature import (
    AndNode,
    FCombo,
    FeatureList,
    GraphNode,
    Multipart,
    crf_dict,
    decode_simple_crf,
    make_multilabel,
    make_simple_crf,
)
from quorvex.sparsmat import SparseVectorD


def cands(*labels, features=None):
    out = []
    for lbl in labels:
        c = AndNode(lbl)
        if features is not None:
            c.features = list(features(lbl))
        out.append(c)
    return out


# --- crf_dict ---------------------------------------------------------------------------------


def test_crf_dict():
    d = crf_dict()
    assert isinstance(d, defaultdict) and d.default_factory is None
    assert crf_dict.__module__ == "quorvex.feature" and crf_dict.__name__ == "crf_dict"
    s = d[5]
    assert type(s) is GraphNode and str(s) == "GraphNode(None,True)#-1" and d[5] is s and list(d) == [5]
    t = crf_dict.__missing__(self=d, x="k")
    assert d["k"] is t
    with pytest.raises(TypeError):
        d[[1]]
    plain = crf_dict()
    plain[1] = "one"
    d2 = pickle.loads(pickle.dumps(plain))
    assert type(d2) is crf_dict and dict(d2) == {1: "one"} and d2.default_factory is None

    class Sub(crf_dict):
        pass

    assert str(Sub()["x"]) == "GraphNode(None,True)#-1"


# --- make_simple_crf shapes -------------------------------------------------------------------


def test_empty_crf():
    stop = make_simple_crf([])
    assert str(stop) == "GraphNode(*stop*,True)#-1"
    (start,) = stop.children
    assert start.label == "*start*" and start.children == [] and start.features == []
    assert decode_simple_crf(stop, np.zeros(1), FCombo(1)) == []


def test_one_position():
    a, b = cands("a", "b")
    stop = make_simple_crf([[a, b]])
    sa, sb = stop.children
    assert sa.label is None and str(sa) == "GraphNode(None,True)#-1"
    (ta,), (tb,) = sa.children, sb.children
    assert ta.label == "[0]None->a" and tb.label == "[0]None->b"
    assert ta.features == [("TNone-a", 1.0), ("STOP", 1.0)] and tb.features == [("TNone-b", 1.0), ("STOP", 1.0)]
    assert ta.children[0] is a and tb.children[0] is b
    assert ta.children[1] is tb.children[1] and ta.children[1].label == "*start*"
    assert a.children == [] and a.features == []  # candidates are used as they are


def test_two_positions_share_candidates():
    p0, p1 = cands("a", "b"), cands("a", "b")
    stop = make_simple_crf([p0, p1])
    assert len(stop.children) == 2
    trans = [t for s in stop.children for t in s.children]
    assert [t.label for t in trans] == ["[1]a->a", "[1]b->a", "[1]a->b", "[1]b->b"]
    assert all(len(s.children) == 2 for s in stop.children)
    assert sum(t.children[0] is p1[0] for t in trans) == 2 and sum(t.children[0] is p1[1] for t in trans) == 2
    assert trans[1].features == [("Tb-a", 1.0), ("STOP", 1.0)]
    first = trans[0].children[1]  # state a of position 0
    assert [t.label for t in first.children] == ["[0]None->a"] and first.children[0].features == [("TNone-a", 1.0)]
    assert trans[0].features is not trans[2].features


def test_repeated_label_and_other_label_types():
    x1, x2 = AndNode("x"), AndNode("x")
    stop = make_simple_crf([[x1, x2]])
    (state,) = stop.children
    assert [t.children[0] for t in state.children] == [x1, x2]
    one, two = AndNode(1), AndNode(2)
    stop = make_simple_crf(([one], (two,)))
    (state,) = stop.children
    (t,) = state.children
    assert t.label == "[1]1->2" and t.features == [("T1-2", 1.0), ("STOP", 1.0)]
    u = AndNode("ü")
    stop = make_simple_crf([[AndNode("é")], [u]])
    assert stop.children[0].children[0].label == "[1]é->ü"


def test_candidate_labels_are_read_as_attributes():
    class Tagged(GraphNode):
        @property
        def label(self):
            return "P" + self.tag

    a, b = Tagged("ignored"), Tagged("ignored")
    a.tag, b.tag = "x", "y"
    stop = make_simple_crf([[a], [b]])
    (state,) = stop.children
    assert [t.label for t in state.children] == ["[1]Px->Py"]
    assert state.children[0].features == [("TPx-Py", 1.0), ("STOP", 1.0)]

    class Broken(GraphNode):
        @property
        def label(self):
            raise LookupError("no label")

    with pytest.raises(LookupError, match="no label"):
        make_simple_crf([[Broken("z")]])


def test_empty_position_leaves_no_states():
    stop = make_simple_crf([cands("a"), [], cands("b")])
    assert stop.children == []
    with pytest.raises(AssertionError) as info:
        decode_simple_crf(stop, np.zeros(16), FCombo(1))
    assert info.value.args == (stop,)


def test_iterables_of_positions_and_candidates():
    # Positions may be any iterable the builder can go through twice; a candidate
    # collection is gone through once per previous state, as a for loop would.
    gen_stop = make_simple_crf(iter([cands("a")]))  # one-shot: the second pass sees nothing
    assert [c.label for c in gen_stop.children] == ["*start*"]
    stop = make_simple_crf([cands("a", "b"), (c for c in cands("x", "y"))])
    trans = [t.label for s in stop.children for t in s.children]
    assert trans == ["[1]a->x", "[1]a->y"]


def test_bad_candidates():
    with pytest.raises(TypeError, match="Cannot convert str to quorvex.feature.GraphNode"):
        make_simple_crf([["a"]])
    with pytest.raises(TypeError):
        make_simple_crf([[AndNode("a")], None])
    with pytest.raises(TypeError):
        make_simple_crf(None)
    with pytest.raises(TypeError):
        make_simple_crf([[AndNode([1])]])  # an unhashable label
    with pytest.raises(TypeError):
        make_simple_crf(nodes=[])


# --- decode_simple_crf ---------------------------------------------------------------------------


def test_decode_follows_transition_weights():
    fc = FCombo(1)
    p0, p1 = cands("a", "b"), cands("a", "b")
    stop = make_simple_crf([p0, p1])
    fc(["Ta-b"])
    w = np.zeros(64)
    w[fc.dict["Ta-b"]] = 1.0
    res = decode_simple_crf(stop, w, fc)
    assert [r.label for r in res] == ["a", "b"]
    assert res[0] is not p0[0] and res[0].features is p0[0].features and res[0].children == []
    lbls = []
    stop.extractLabels(fc, lbls)
    assert lbls == ["*stop*", "[1]a->b", "b", "[0]None->a", "a", "*start*"]


def test_ties_go_to_the_later_alternatives():
    res = decode_simple_crf(make_simple_crf([cands("a", "b"), cands("a", "b")]), np.zeros(64), FCombo(1))
    assert [r.label for r in res] == ["b", "b"]


def test_decode_twice_fails_cleanly(unraisable):
    fc = FCombo(1)
    stop = make_simple_crf([cands("a", "b")])
    decode_simple_crf(stop, np.zeros(64), fc)
    with pytest.raises(IndexError):  # the scoring pass's error, raised rather than printed
        decode_simple_crf(stop, np.zeros(64), fc)
    assert unraisable == []


def test_decode_arguments():
    stop = make_simple_crf([])
    with pytest.raises(
        TypeError, match=r"Argument 'n' has incorrect type \(expected quorvex.feature.GraphNode, got NoneType\)"
    ):
        decode_simple_crf(None, np.zeros(1), None)
    with pytest.raises(TypeError, match=r"Argument 'fc' has incorrect type"):
        decode_simple_crf(stop, np.zeros(1), "fc")
    with pytest.raises(TypeError):
        decode_simple_crf(stop, np.zeros(1))
    assert decode_simple_crf(n=stop, weights=np.zeros(1), fc=FCombo(1)) == []


def test_decode_checks_the_weights_before_the_walk(unraisable):
    # A wrong weight array used to be printed as unraisable while a path was still
    # returned; it is an error of the call now, raised before anything is scored.
    fc = FCombo(1)
    fc(["a", "b", "c"])
    stop = make_simple_crf([cands("a", "b", features=lambda l: [l])])
    with pytest.raises(TypeError):
        decode_simple_crf(stop, [1.0, 2.0, 3.0], fc)  # a list has no float64 buffer
    with pytest.raises(ValueError, match="Buffer dtype mismatch, expected 'double' but got 'float'"):
        decode_simple_crf(stop, np.zeros(64, np.float32), fc)
    with pytest.raises(ValueError, match="wrong number of dimensions"):
        decode_simple_crf(stop, np.zeros((8, 8)), fc)
    with pytest.raises(ValueError, match="weight array has 2 entries, fewer than the 3 words"):
        decode_simple_crf(stop, np.zeros(2), fc)
    assert list(fc.dict) == ["a", "b", "c"] and unraisable == []  # nothing looked up, nothing printed
    # Nothing was numbered either: a forest decodes only once, and this is its first time.
    assert [r.label for r in decode_simple_crf(stop, np.zeros(64), fc)] == ["b"]


def test_decode_raises_when_scoring_fails(unraisable):
    fc = FCombo(1)
    stop = make_simple_crf([cands("a", "b", features=lambda l: [l])])
    # Long enough for the dictionary before the walk, not for the words scoring adds.
    with pytest.raises(IndexError, match="feature 1 is out of range for a weight array of 1"):
        decode_simple_crf(stop, np.zeros(1), fc)
    stop = make_simple_crf([cands("a", "b")])
    stop.children[0].children[0].children[0].featuresD = SparseVectorD([(500, 1.0)])
    with pytest.raises(IndexError, match="feature 500 is out of range for a weight array of 64"):
        decode_simple_crf(stop, np.zeros(64), FCombo(1))
    with pytest.raises(TypeError, match="'NoneType' object is not callable"):  # features but no combiner
        decode_simple_crf(make_simple_crf([cands("a")]), np.zeros(64), None)

    class Failing(GraphNode):
        def calcPotential(self, weights, fc, done):
            raise LookupError("no score")

    root = Failing("*stop*", True)
    root.children.append(make_simple_crf([cands("a")]).children[0])
    with pytest.raises(LookupError, match="no score"):
        decode_simple_crf(root, np.zeros(64), fc)
    assert unraisable == []


def test_vectors_are_recomputed_when_the_dictionary_changes():
    """Shared transition vectors must never outlive the dictionary they were made with."""
    fc = FCombo(1)
    fc(["w"])  # id 0
    pair = ("Tx-y", 1.0)

    class Swapper(GraphNode):
        def calcPotential(self, weights, fc, done):
            d = StringAlphabet()
            d["pad"], d["Tx-y"]
            fc.dict = d
            return 0.0

    t1, t2 = AndNode("t1"), AndNode("t2")
    t1.features, t2.features = [pair], [pair]
    root = AndNode("r")
    root.features = []
    root.children += [t1, Swapper("s"), t2]
    root.assign_ids(0)
    root.calcPotential(np.arange(4.0), fc, np.zeros(4, "b"))
    assert list(t1.featuresD) == [(1, 1.0)] and list(t2.featuresD) == [(1, 1.0)]
    assert t1.featuresD is not t2.featuresD and t2.localScore == 1.0

    # a frozen dictionary that learns the key later
    d = StringAlphabet()
    d["a"]
    d.growing = False
    fc2 = FCombo(1, d)

    class Teacher(GraphNode):
        def calcPotential(self, weights, fc, done):
            fc.dict.growing = True
            fc.dict["Tx-y"]
            fc.dict.growing = False
            return 0.0

    u1, u2 = AndNode("u1"), AndNode("u2")
    u1.features, u2.features = [pair], [pair]
    root = AndNode("r")
    root.children += [u1, Teacher("t"), u2]
    root.assign_ids(0)
    root.calcPotential(np.arange(4.0), fc2, np.zeros(4, "b"))
    assert list(u1.featuresD) == [] and list(u2.featuresD) == [(1, 1.0)]


@given(
    st.lists(st.lists(st.sampled_from("abc"), min_size=1, max_size=3), min_size=1, max_size=4),
    st.integers(0, 2**32),
    st.sampled_from([1, 2]),
)
@settings(max_examples=120, deadline=None)
def test_decode_matches_brute_force(label_sets, seed, order):
    rng = random.Random(seed)
    fc = FCombo(order)
    positions = []
    for labels in label_sets:
        ps = []
        for lbl in labels:
            c = AndNode(lbl)
            c.features = [("e%d=%s" % (rng.randrange(3), lbl), 1.0), ("x%d" % rng.randrange(2), rng.choice([0.5, 2.0]))]
            ps.append(c)
        positions.append(ps)
    # The reference: every vector first (so the dictionary is complete), then random weights.
    last = len(positions) - 1
    emission = [[fc(c.features) for c in ps] for ps in positions]
    trans = {}
    for k, ps in enumerate(positions):
        prev = [None] if k == 0 else [c.label for c in positions[k - 1]]
        for p in prev:
            for c in ps:
                feats = [("T%s-%s" % (p, c.label), 1.0)] + ([("STOP", 1.0)] if k == last else [])
                trans[k, p, c.label] = fc(feats)
    fc.dict.growing = False
    w = np.array([rng.uniform(-1, 1) for _ in range(len(fc.dict) + 3)])

    def score(path):
        total, prev = 0.0, None
        for k, j in enumerate(path):
            lbl = positions[k][j].label
            total += emission[k][j].dotFull(w) + trans[k, prev, lbl].dotFull(w)
            prev = lbl
        return total

    scored = sorted((score(p), p) for p in itertools.product(*[range(len(ps)) for ps in positions]))
    best_score, best_path = scored[-1]
    stop = make_simple_crf(positions)
    res = decode_simple_crf(stop, w, fc)
    assert len(res) == len(positions)
    path = tuple(next(j for j, c in enumerate(ps) if c.features is r.features) for ps, r in zip(positions, res))
    assert [r.label for r in res] == [positions[k][j].label for k, j in enumerate(path)]
    assert score(path) == pytest.approx(best_score, abs=1e-9)
    if len(scored) == 1 or scored[-2][0] < best_score - 1e-7:
        assert path == best_path
    assert stop.insideScore == pytest.approx(best_score, abs=1e-9)
    lbls = []
    stop.extractLabels(fc, lbls)
    assert lbls[0] == "*stop*" and lbls[-1] == "*start*"
    assert lbls[2:-1:2] == [r.label for r in reversed(res)]


# --- multi-label forests --------------------------------------------------------------------


class SpyCombo(FCombo):
    def __init__(self, n):
        FCombo.__init__(self, n)
        self.calls = []

    def __call__(self, flist, labels=None):
        self.calls.append((flist, labels))
        return FCombo.__call__(self, flist, labels=labels)


def test_make_multilabel():
    fc = SpyCombo(1)
    data = ["f", "g"]
    top = make_multilabel(["a", "b"], [["b", "c"]], data, fc)
    assert str(top) == "GraphNode(*start*,True)#-1"
    first, second = top.children
    assert first.label == "['a', 'b']" and second.label == "['b', 'c']"
    assert first.localScore == 1.0 and second.localScore == 0.0 and first.features == []
    assert [c.label for c in first.children] == ["OR-a", "OR-b"] and [c.label for c in second.children] == [
        "OR-b",
        "OR-c",
    ]
    assert first.children[1] is second.children[0]
    assert [labels for _, labels in fc.calls] == [["a"], ["b"], ["c"]] and all(d is data for d, _ in fc.calls)
    (label_node,) = first.children[0].children
    assert label_node.label == "a" and label_node.features is None
    assert str(label_node) == "GraphNode(a,False)#-1"
    assert list(label_node.featuresD) == list(FCombo.__call__(fc, data, labels=["a"]))
    top.assign_ids(0)
    assert top.calcInsideMin(defaultdict(bool)) == 1.0
    best = top.extractBest(fc)
    assert best.label == "['a', 'b']" and best is not first


def test_make_multilabel_edges():
    fc = SpyCombo(1)
    top = make_multilabel([], [], ["f"], fc)
    (alt,) = top.children
    assert alt.children == [] and alt.localScore == 1.0 and fc.calls == []
    top = make_multilabel(("a", "a"), [], ["f"], fc)
    (alt,) = top.children
    assert alt.label == "('a', 'a')" and alt.children[0] is alt.children[1]
    with pytest.raises(TypeError, match="can only concatenate list"):
        make_multilabel(["a"], (["b"],), [], fc)
    fc.calls = []
    with pytest.raises(TypeError):
        make_multilabel([1], [], ["f"], fc)
    assert len(fc.calls) == 1  # the label node was built before "OR-" + 1 failed
    with pytest.raises(TypeError, match="Argument 'fc'"):
        make_multilabel(["a"], [], [], None)

    class Wrong(FCombo):
        def __call__(self, flist, labels=None):
            return "vector"

    with pytest.raises(TypeError, match="Cannot convert str to quorvex.sparsmat.SparseVectorD"):
        make_multilabel(["a"], [], [], Wrong(1))
    assert make_multilabel(labels=["z"], otherlabels=[], data=[], fc=FCombo(1)).children[0].label == "['z']"


# --- test() -------------------------------------------------------------------------------


def test_self_test_output(capsys):
    feature.test()
    lines = capsys.readouterr().out.split("\n")
    assert lines[0] == repr(FCombo(2)([("a", 1), ("b", 1), ("c", 2), ("d", 2)]))
    assert lines[1] == "['a', 'a^b', 'a^c', 'a^d', 'b', 'b^c', 'b^d', 'c', 'c^d', 'd']"
    assert lines[2] == "3.0"
    assert lines[3] == (
        "GraphNode(*stop*,True)#40 [GraphNode(None, isDisj=True, children=3, features=0, nodeId=29), "
        "GraphNode(None, isDisj=True, children=3, features=0, nodeId=34), "
        "GraphNode(None, isDisj=True, children=3, features=0, nodeId=39)]"
    )
    assert lines[4] == (
        "GraphNode([2]a->a,False)#-1 [GraphNode('a', isDisj=False, children=0, features=1, nodeId=-1), "
        "GraphNode('[1]a->a', isDisj=False, children=2, features=1, nodeId=-1)]"
    )
    # the same steps through the Python interface give the same text
    a = FCombo(2)
    a([("a", 1), ("b", 1), ("c", 2), ("d", 2)])
    positions = []
    for _ in range(3):
        ps = []
        for lbl in "abc":
            n = AndNode(lbl)
            n.features.append(("L" + lbl, 1.0))
            if lbl == "a":
                n.localScore = 1.0
            ps.append(n)
        positions.append(ps)
    n = make_simple_crf(positions)
    n.assign_ids(0)
    assert n.calcInsideMin(defaultdict(bool)) == 3.0
    d = n.extractBest(a)
    out = io.StringIO()
    d.write_amis(None, False, None, out, a)
    assert lines[5] == out.getvalue()
    out = io.StringIO()
    n.write_amis(None, False, defaultdict(bool), out, a)
    assert lines[6] == out.getvalue() and lines[7:] == [""]
    assert re.fullmatch(r"(\d+:1\.0 )+", lines[5])


# --- decode_simple_crf against the separate passes ------------------------------------------------


class InsidePlus(GraphNode):
    """A candidate whose inside score is changed by an override."""

    def calcInsideMin(self, done):
        return GraphNode.calcInsideMin(self, done) + 0.75


def twin_forests(seed, special=None):
    """Builds the same random CRF forest twice (same features, same candidate classes)."""

    def build():
        rng = random.Random(seed)
        positions = []
        for k in range(rng.randrange(1, 5)):
            ps = []
            for lbl in rng.sample("abcd", rng.randrange(1, 4)):
                cls = InsidePlus if special == "override" and k == 1 else GraphNode
                c = cls(lbl)
                c.features = [("e%d=%s" % (rng.randrange(3), lbl), rng.choice([1.0, 0.5]))]
                if special == "error" and k == 0:
                    c.featuresD = SparseVectorD([(5000, 1.0)])  # beyond the weights: reported
                    sub = GraphNode("sub")
                    sub.features = [("s", 2.0)]
                    c.children.append(sub)  # skipped by the scoring, still an inside score
                ps.append(c)
            positions.append(ps)
        return make_simple_crf(positions)

    return build(), build()


@pytest.mark.parametrize("special", [None, "override", "error"])
@pytest.mark.parametrize("seed", range(12))
def test_decode_leaves_the_state_of_separate_passes(seed, special, monkeypatch):
    monkeypatch.setattr(sys, "unraisablehook", lambda u: None)
    fc1, fc2 = FCombo(2), FCombo(2)
    for fc in (fc1, fc2):
        fc(["pad"])
    w = np.array([random.Random(seed + i).uniform(-1, 1) for i in range(200)])
    one, two = twin_forests(seed, special)
    if special == "error":
        # The separate passes print the error and go on; decoding raises it.
        with pytest.raises(IndexError, match="feature 5000 is out of range for a weight array of 200"):
            decode_simple_crf(one, w, fc1)
        return
    try:
        res = decode_simple_crf(one, w, fc1)
    except AssertionError:
        res = None
    n = two.assign_ids(0)
    two.calcPotential(w, fc2, np.zeros(n, "b"))
    try:
        two.calcInsideMin(np.zeros(n, "b"))
        best = two.extractBest(fc2)
    except AssertionError:
        best = None
    assert (res is None) == (best is None)
    assert list(fc1.dict) == list(fc2.dict)
    for x, y in zip(all_nodes(one), all_nodes(two)):
        assert str(x) == str(y) and x.label == y.label
        assert x.localScore == y.localScore and x.insideScore == y.insideScore
        assert (x.featuresD is None) == (y.featuresD is None)
        if x.featuresD is not None:
            assert list(x.featuresD) == list(y.featuresD)


# --- label_nodes ------------------------------------------------------------------------------

feature_names = st.lists(st.sampled_from(["a", "b", "c", "é", "w=x|y", "p2=th"]), max_size=5)


@given(
    st.integers(1, 2),
    st.sampled_from([None, "<b>"]),
    feature_names,
    st.lists(st.sampled_from(["L", "M", "ü", "N N"]), max_size=4),
    st.booleans(),
    st.booleans(),
)
@settings(max_examples=80, deadline=None)
def test_label_nodes_are_and_nodes_carrying_label_vectors(n, bias, feats, labels, slow, multipart):
    fc = FCombo(n, SlowAlphabet() if slow else None, bias_item=bias)
    twin = FCombo(n, SlowAlphabet() if slow else None, bias_item=bias)
    arg = Multipart([feats, [("extra", 2.0)]]) if multipart else feats
    nodes = fc.label_nodes(arg, iter(labels))  # any iterable, read once
    expected = twin.label_vectors(arg, labels)
    assert [type(x) for x in nodes] == [GraphNode] * len(labels)
    assert [x.label for x in nodes] == labels
    assert [list(x.featuresD) for x in nodes] == [list(v) for v in expected]
    for x in nodes:
        assert str(x) == "GraphNode(%s,False)#-1" % x.label
        assert x.children == [] and x.features == [] and x.localScore == 0.0 and x.insideScore == -1.0
    assert len({id(x.features) for x in nodes}) == len(nodes)  # each node its own lists
    assert list(fc.dict) == list(twin.dict)


def test_label_nodes_errors_and_edges():
    fc = FCombo(1)
    assert fc.label_nodes(["a"], []) == []
    with pytest.raises(TypeError):
        fc.label_nodes(["a"], None)
    with pytest.raises(TypeError, match="expected str instance"):
        fc.label_nodes(["a"], ["L", 3])
    with pytest.raises(TypeError):
        fc.label_nodes(None, ["L"])
    with pytest.raises(TypeError):
        fc.label_nodes(["a"])
    one, two = fc.label_nodes(FeatureList(["a"]), ("L", "L"))
    assert one is not two and list(one.featuresD) == list(two.featuresD)
    fc.dict = None
    with pytest.raises(TypeError):
        fc.label_nodes(["a"], ["L"])


def test_label_nodes_feed_a_crf():
    fc = FCombo(1)
    positions = [fc.label_nodes(FeatureList(["w=%s" % w]), ["D", "N"]) for w in ("the", "dog")]
    for lbl in ("None", "D", "N"):
        for b in ("D", "N"):
            fc([("T%s-%s" % (lbl, b), 1.0)])
    fc(["STOP"])
    fc.dict.growing = False
    w = np.zeros(len(fc.dict))
    w[fc.dict["D^w=the"]] = w[fc.dict["N^w=dog"]] = 1.0
    res = decode_simple_crf(make_simple_crf(positions), w, fc)
    assert [r.label for r in res] == ["D", "N"]
    assert res[0].featuresD is positions[0][0].featuresD


# --- shared transition pairs and their vectors ------------------------------------------------


def transition_items(stop):
    """feature items of every transition node, by label"""
    out, stack, seen = {}, [stop], set()
    while stack:
        n = stack.pop()
        if id(n) in seen:
            continue
        seen.add(id(n))
        if isinstance(n.label, str) and n.label.startswith("["):
            out[n.label] = n.features
        stack.extend(n.children)
    return out


def test_transition_pairs_are_shared_between_forests():
    def forest(labels):
        return make_simple_crf([[AndNode(l) for l in labels], [AndNode(l) for l in labels]])

    one = transition_items(forest(["a", "b"]))
    # equal labels that are other objects
    two = transition_items(forest(["".join(["a"]), "".join(["b"])]))
    assert one.keys() == two.keys()
    for k in one:
        assert one[k] == two[k]
        assert all(x is y for x, y in zip(one[k], two[k]))  # the very same items
        assert one[k] is not two[k]  # in lists of their own
    assert one["[0]None->a"] == [("TNone-a", 1.0)]
    assert one["[1]b->a"] == [("Tb-a", 1.0), ("STOP", 1.0)]
    other = transition_items(make_simple_crf([[AndNode(1), AndNode(None)], [AndNode("\ud800")]]))
    assert other["[0]None->1"] == [("TNone-1", 1.0)] and other["[0]None->None"] == [("TNone-None", 1.0)]
    assert other["[1]1->\ud800"] == [("T1-\ud800", 1.0), ("STOP", 1.0)]


def test_vectors_found_by_identity_follow_the_dictionary():
    fc = FCombo(1, bias_item="B")
    items = [("Ta-b", 1.0), ("STOP", 1.0)]
    fc(items)
    fc.dict.growing = False
    first = fc(list(items))
    assert fc(list(items)) is first and list(first) == [(0, 1.0), (1, 1.0), (2, 1.0)]
    assert list(fc([])) == [(0, 1.0)] and fc([]) is fc([])  # the empty list of a state node
    fc.dict.growing = True
    fc.dict["new"]
    fc.dict.growing = False
    again = fc(list(items))
    assert again is not first and list(again) == list(first)
    d = StringAlphabet()
    d["STOP"]
    d.growing = False
    fc.dict = d  # another dictionary: the bias id 0 is now "STOP" as well
    assert list(fc(list(items))) == [(0, 2.0)]


# --- direct state lookups ---------------------------------------------------------------------


def shape(stop):
    out, stack, seen = [], [stop], {}
    while stack:
        n = stack.pop()
        if id(n) in seen:
            out.append(("ref", seen[id(n)]))
            continue
        seen[id(n)] = len(seen)
        out.append((str(n), n.features and list(n.features), len(n.children)))
        stack.extend(n.children)
    return out


def positions_for(labels_per_position):
    return [[AndNode(l) for l in ls] for ls in labels_per_position]


def test_state_lookups_honour_replaced_methods(monkeypatch):
    layout = [["a", "b", "a"], ["b", "c"], ["a"]]
    expected = shape(make_simple_crf(positions_for(layout)))
    calls = []
    original = crf_dict.__missing__

    def missing(self, x):
        calls.append(x)
        return original(self, x)

    monkeypatch.setattr(crf_dict, "__missing__", missing)
    assert shape(make_simple_crf(positions_for(layout))) == expected
    assert calls == ["a", "b", "b", "c", "a"]
    monkeypatch.undo()

    got = []

    def getitem(self, x):
        got.append(x)
        return dict.__getitem__(self, x)

    monkeypatch.setattr(crf_dict, "__getitem__", getitem, raising=False)
    assert shape(make_simple_crf(positions_for(layout))) == expected
    assert got[:2] == ["a", "b"] and len(got) >= 5
    monkeypatch.undo()
    assert shape(make_simple_crf(positions_for(layout))) == expected

    made = []

    def init(self, *args):
        made.append(args)
        dict.__init__(self)

    monkeypatch.setattr(crf_dict, "__init__", init, raising=False)
    assert shape(make_simple_crf(positions_for(layout))) == expected
    assert made == [(), (), ()]  # one state mapping per position, made by the class
    monkeypatch.undo()


def test_unhashable_and_odd_labels():
    with pytest.raises(TypeError):
        make_simple_crf([[AndNode([1])]])

    class Loud:
        def __hash__(self):
            raise RuntimeError("no hash")

    with pytest.raises(RuntimeError, match="no hash"):
        make_simple_crf([[AndNode(Loud())]])
    stop = make_simple_crf([[AndNode(3), AndNode(3.0)]])  # equal keys share a state
    assert len(stop.children) == 1 and len(stop.children[0].children) == 2


# --- the chain walk of decode_simple_crf -------------------------------------------------------


def test_a_looping_best_derivation_is_reported():
    class Loop(GraphNode):
        def extractBest(self, fc):
            a = AndNode("x")
            b = AndNode("y")
            a.children = [AndNode("c"), b]
            b.children = [AndNode("d"), a]
            return a

    stop = Loop("*stop*", True)
    stop.children.append(AndNode("s"))
    stop.featuresD = stop.children[0].featuresD = SparseVectorD([])
    with pytest.raises(ValueError, match="loops back"):
        decode_simple_crf(stop, np.zeros(4), None)


def test_a_long_chain_from_an_override_is_followed():
    class Long(GraphNode):
        def extractBest(self, fc):
            cur = AndNode("*start*")
            for i in range(50):
                nxt = AndNode("t%d" % i)
                nxt.children = [AndNode(i), cur]
                cur = nxt
            return cur

    stop = Long("*stop*", True)
    stop.children.append(AndNode("s"))
    stop.featuresD = stop.children[0].featuresD = SparseVectorD([])
    assert [r.label for r in decode_simple_crf(stop, np.zeros(4), None)] == list(range(50))
