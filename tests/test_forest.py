"""GraphNode: the node record, numbering, scoring, extraction, overrides, bad input and deep graphs."""

import gc
import io
import random
import sys
import weakref
from collections import defaultdict

import numpy as np
import pytest
from conftest import sv
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvex.feature import (
    AndNode,
    FCombo,
    GraphNode,
    OrNode,
    decode_simple_crf,
    dump_example,
    empty_sv,
    make_simple_crf,
)


def leaf(label, vec=None, score=None, disj=False):
    n = GraphNode(label, disj)
    if vec is not None:
        n.featuresD = vec
    if score is not None:
        n.insideScore = score
    return n


# --- the node record -------------------------------------------------------------------------


def test_new_node_fields_and_str():
    n = GraphNode("a")
    assert n.children == [] and n.features == [] and n.featuresD is None
    assert n.localScore == 0.0 and n.insideScore == -1.0 and n.label == "a"
    assert str(n) == "GraphNode(a,False)#-1"
    assert str(OrNode(None)) == "GraphNode(None,True)#-1"
    assert str(GraphNode(label=3, isDisj=[1])) == "GraphNode(3,True)#-1"
    assert n.children is not GraphNode("a").children
    assert repr(n) == "GraphNode('a', isDisj=False, children=0, features=0, nodeId=-1)"
    assert type(AndNode("x")) is GraphNode and str(AndNode("x")) == "GraphNode(x,False)#-1"
    # __init__ may run again and resets the node.
    n.children.append(GraphNode("b"))
    n.localScore = 4
    n.__init__("z", True)
    assert n.children == [] and n.localScore == 0.0 and str(n) == "GraphNode(z,True)#-1"


def test_attributes():
    n = GraphNode("a")
    n.localScore = 2
    assert n.localScore == 2.0 and isinstance(n.localScore, float)
    with pytest.raises(NotImplementedError, match="__del__"):
        del n.localScore
    with pytest.raises(NotImplementedError, match="__del__"):
        del n.insideScore
    with pytest.raises(TypeError):
        n.insideScore = "x"
    del n.label, n.children, n.features
    assert n.label is None and n.children is None and n.features is None
    with pytest.raises(TypeError, match="Cannot convert list to quorvex.sparsmat.SparseVectorD"):
        n.featuresD = []
    n.featuresD = sv((1, 2.0))
    del n.featuresD
    assert n.featuresD is None
    assert not hasattr(n, "nodeId") and not hasattr(n, "isDisjunctive")
    assert n != GraphNode("a") and n == n and hash(n) == hash(n)


def test_constructor_arguments():
    with pytest.raises(TypeError):
        GraphNode()
    with pytest.raises(TypeError):
        GraphNode(1, 2, 3)
    with pytest.raises(TypeError):
        AndNode(label="x")
    with pytest.raises(TypeError):
        OrNode()
    with pytest.raises(TypeError):
        AndNode("x", "y")


def test_node_without_init_fails_cleanly():
    n = GraphNode.__new__(GraphNode)
    assert str(n) == "GraphNode(None,False)#0"
    assert n.label is None and n.children is None and n.insideScore == 0.0
    assert n.assign_ids(7) == 7  # number 0 counts as numbered
    with pytest.raises(TypeError, match="not iterable"):
        n.calcInsideMin(np.zeros(1, "b"))
    with pytest.raises(TypeError):
        n.extractLabels(None, [])
    with pytest.raises(TypeError):
        n.write_amis(None, False, {}, io.StringIO(), None)


# --- assign_ids -------------------------------------------------------------------------------


def test_assign_ids_post_order():
    assert leaf("x").assign_ids(5) == 6
    g = AndNode("g")
    c1, c2 = AndNode("c1"), AndNode("c2")
    c1.children.append(g)
    c2.children.append(g)
    root = OrNode("r")
    root.children += [c1, c2]
    assert root.assign_ids(0) == 4
    assert [str(x)[-2:] for x in (g, c1, c2, root)] == ["#0", "#1", "#2", "#3"]
    assert root.assign_ids(0) == 0 and str(root).endswith("#3")
    fresh = AndNode("f")
    fresh.children.append(root)
    assert fresh.assign_ids(10) == 11  # the numbered sub-forest is not visited again
    with pytest.raises(TypeError):
        leaf("y").assign_ids(1.5)
    with pytest.raises(OverflowError):
        leaf("y").assign_ids(2**31)
    with pytest.raises(TypeError):
        leaf("y").assign_ids(start=1)
    top = AndNode("t")
    top.children.append(AndNode("u"))
    assert top.assign_ids(2**31 - 2) == 2**31  # the result of the root is not narrowed
    over = AndNode("o")
    over.children += [AndNode("b"), AndNode("v")]
    with pytest.raises(OverflowError):
        over.assign_ids(2**31 - 1)  # the first child's 2**31 does not fit the next start


def test_assign_ids_bad_children_keep_given_numbers():
    root = AndNode("r")
    a = AndNode("a")
    root.children += [a, "junk"]
    with pytest.raises(TypeError, match="Cannot convert str to quorvex.feature.GraphNode"):
        root.assign_ids(0)
    assert str(a).endswith("#0") and str(root).endswith("#-1")
    root.children = None
    with pytest.raises(TypeError):
        root.assign_ids(0)
    root.children = (AndNode("t1"), AndNode("t2"))  # any iterable of nodes will do
    assert root.assign_ids(0) == 3


# --- calcPotential / calcInsideMin ------------------------------------------------------------


def test_potential_and_inside_of_a_leaf():
    n = leaf("a", sv((0, 2.0), (3, 1.0)))
    assert n.assign_ids(0) == 1
    w = np.array([0.5, 0, 0, 4.0])
    assert n.calcPotential(w, None, np.zeros(1, "b")) == 0.0
    assert n.localScore == 5.0
    assert n.calcInsideMin(np.zeros(1, "b")) == 5.0 == n.insideScore
    assert n.calcPotential(w, None, np.ones(1, "b")) == 5.0  # marked: the stored inside score


def test_potential_fills_features_with_fc():
    fc = FCombo(1)
    root = OrNode("r")
    root.features = [("x", 2.0)]
    child = AndNode("c")
    child.features = ["y"]
    root.children.append(child)
    root.assign_ids(0)
    root.calcPotential(np.arange(10, dtype=float) + 1, fc, np.zeros(2, "b"))
    assert list(root.featuresD) == [(fc.dict["x"], 2.0)] and list(child.featuresD) == [(fc.dict["y"], 1.0)]
    assert root.localScore == 2.0 * (fc.dict["x"] + 1) and child.localScore == fc.dict["y"] + 1
    kept = child.featuresD
    child.features = ["z"]
    root.calcPotential(np.ones(10), fc, np.zeros(2, "b"))
    assert child.featuresD is kept  # filled once, never recomputed


def test_inside_or_and_floor():
    w = np.zeros(3)
    a, b = leaf("a", sv((0, 1.0))), leaf("b", sv((1, 1.0)))
    root = leaf("r", sv((2, 1.0)), disj=True)
    root.children += [a, b]
    root.assign_ids(0)
    root.calcPotential(np.array([2.0, 3.0, 0.5]), None, np.zeros(3, "b"))
    assert root.calcInsideMin(np.zeros(3, "b")) == 3.5
    empty = OrNode("e")
    empty.localScore = 2.0
    empty.assign_ids(0)
    assert empty.calcInsideMin(defaultdict(bool)) == -998.0
    # children below the floor: the OR node stays at localScore - 1000
    low = OrNode("l")
    low.children += [leaf("x", score=-1500.0), leaf("y", score=-2000.0)]
    for c in low.children:
        c.localScore = c.insideScore
    low.assign_ids(0)
    assert low.calcInsideMin(defaultdict(bool)) == -1000.0
    with pytest.raises(AssertionError) as info:
        low.extractBest(None)
    assert info.value.args == (low,)
    # AND: local score plus the sum of the children, shared nodes once each
    g = leaf("g")
    g.localScore = 1.5
    p = AndNode("p")
    p.localScore = 1.0
    p.children += [g, g]
    p.assign_ids(0)
    d = defaultdict(bool)
    assert p.calcInsideMin(d) == 4.0 and dict(d) == {0: True, 1: True}
    g.localScore = 100.0
    assert p.calcInsideMin(d) == 4.0  # marked: not recomputed
    del w


def test_unnumbered_nodes():
    n = AndNode("x")
    with pytest.raises(ValueError, match=r"^Need nodeIDs \(GraphNode\(x,False\)#-1\)$"):
        n.calcInsideMin(defaultdict(bool))
    o = OrNode("o")
    with pytest.raises(TypeError, match="not callable"):  # the vector is filled first
        o.write_amis(None, False, {}, io.StringIO(), None)
    o.featuresD = empty_sv
    with pytest.raises(ValueError, match=r"Need nodeIDs \(GraphNode\(o,True\)#-1\)"):
        o.write_amis(None, False, {}, io.StringIO(), None)


def test_potential_errors_are_unraisable(unraisable):
    n = AndNode("x")
    assert n.calcPotential(np.zeros(1), None, np.zeros(1, "b")) == 0.0
    ((exc_type, message, obj),) = unraisable
    assert issubclass(exc_type, ValueError) and message == "Need nodeIDs (GraphNode(x,False)#-1)"
    assert obj == "quorvex.feature.GraphNode.calcPotential"
    # An error skips the failing node's sub-forest; its siblings are still scored.
    root = AndNode("r")
    bad, good = AndNode("bad"), leaf("good", sv((0, 1.0)))
    under_bad = leaf("u", sv((0, 1.0)))
    bad.children.append(under_bad)
    root.children += [bad, good]
    root.featuresD = empty_sv
    root.assign_ids(0)
    unraisable.clear()
    root.calcPotential(np.array([3.0]), None, np.zeros(4, "b"))  # bad has no featuresD and fc is None
    assert [t for t, _, _ in unraisable] == [TypeError]
    assert good.localScore == 3.0 and under_bad.localScore == 0.0
    # done too short, wrong weights, a child that is not a node
    unraisable.clear()
    fresh = leaf("f", sv((0, 1.0)))
    fresh.assign_ids(0)
    fresh.calcPotential(np.zeros(1), None, np.zeros(0, "b"))
    fresh.calcPotential(np.zeros(1, dtype=np.float32), None, np.zeros(1, "b"))
    fresh.calcPotential(np.zeros(0), None, np.zeros(1, "b"))
    fresh.children.append(None)
    fresh.calcPotential(np.zeros(1), None, np.zeros(1, "b"))
    assert [t for t, _, _ in unraisable] == [IndexError, ValueError, IndexError, TypeError]
    assert "Buffer dtype mismatch, expected 'double' but got 'float'" in unraisable[1][1]
    assert unraisable[2][1] == (
        "Out of bounds on buffer access (axis 0): feature 0 is out of range for a weight array of 0"
    )
    with pytest.raises(
        TypeError, match=r"Argument 'fc' has incorrect type \(expected quorvex.feature.FCombo, got int\)"
    ):
        fresh.calcPotential(np.zeros(1), 1, np.zeros(1, "b"))


def test_fc_returning_a_wrong_type(unraisable):
    class Bad(FCombo):
        def __call__(self, flist, labels=None):
            return [1, 2]

    n = AndNode("x")
    n.assign_ids(0)
    n.calcPotential(np.zeros(1), Bad(1), np.zeros(1, "b"))
    ((exc_type, message, _),) = unraisable
    assert issubclass(exc_type, TypeError) and "Cannot convert list to quorvex.sparsmat.SparseVectorD" in message
    o = OrNode("o")
    o.children.append(AndNode("c"))
    o.assign_ids(0)
    o.calcInsideMin(defaultdict(bool))
    with pytest.raises(TypeError, match="Cannot convert list"):
        o.extractBest(Bad(1))
    with pytest.raises(TypeError, match="Cannot convert list"):
        o.write_amis(None, False, {}, io.StringIO(), Bad(1))

    class Raising(FCombo):
        def __call__(self, flist, labels=None):
            raise RuntimeError("no")

    with pytest.raises(RuntimeError, match="no"):
        o.extractBest(Raising(1))


def test_done_of_various_kinds():
    a, b = leaf("a", sv((0, 1.0))), leaf("b", sv((1, 1.0)))
    root = leaf("r", empty_sv, disj=True)
    root.children += [a, b]
    root.assign_ids(0)
    w = np.array([1.0, 2.0])
    for done in (
        np.zeros(3, "b"),
        np.zeros(3, bool),
        bytearray(3),
        [False] * 3,
        defaultdict(bool),
        np.zeros(6, "b")[::2],
        np.zeros(3),
    ):
        root.calcPotential(w, None, done)
        assert bool(done[2]) and bool(done[0])
        assert root.calcInsideMin(defaultdict(bool) if isinstance(done, defaultdict) else np.zeros(3, "b")) == 2.0
    ro = np.zeros(3, "b")
    ro.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        root.calcInsideMin(ro)
    with pytest.raises(IndexError):
        root.calcInsideMin(np.zeros(2, "b"))
    with pytest.raises(TypeError):
        root.calcInsideMin(None)


# --- extractBest / extractLabels ------------------------------------------------------------


def test_extract_best_copies_and_folds_or_vectors():
    child = leaf("c", sv((0, 1.0)), score=1.0)
    below = leaf("g", sv((7, 1.0)), score=0.0)
    child.children.append(below)
    root = leaf("r", sv((5, 1.0)), disj=True)
    root.children.append(child)
    r = root.extractBest(None)
    assert type(r) is GraphNode and r is not child and str(r) == "GraphNode(c,False)#-1"
    assert list(r.featuresD) == [(0, 1.0), (5, 1.0)]
    assert list(child.featuresD) == [(0, 1.0)]  # the forest keeps its vector
    assert r.features is child.features and r.insideScore == -1.0 and r.localScore == 0.0
    (g,) = r.children
    assert g is not below and g.children == [] and g.featuresD is below.featuresD and g.features is below.features
    # a leaf AND node comes back as a new childless node
    x = leaf("x")
    y = x.extractBest(None)
    assert y is not x and y.children == [] and y.features is x.features and y.featuresD is None


def test_extract_best_tie_goes_to_the_later_child():
    first, second = leaf("1", empty_sv, 2.0), leaf("2", empty_sv, 2.0)
    root = leaf("r", empty_sv, disj=True)
    root.children += [first, second]
    assert root.extractBest(None).label == "2"
    lbls = []
    root.extractLabels(None, lbls)
    assert lbls == ["r", "2"]


def test_extract_best_or_features_need_fc():
    root = OrNode("r")
    root.children.append(leaf("a", empty_sv, 0.0))
    with pytest.raises(TypeError):  # root.featuresD is None and there is no combiner
        root.extractBest(None)
    fc = FCombo(1)
    root.features = [("orf", 1.0)]
    r = root.extractBest(fc)
    assert list(r.featuresD) == [(fc.dict["orf"], 1.0)] and root.children[0].featuresD is empty_sv
    with pytest.raises(TypeError, match="Argument 'fc'"):
        root.extractBest("fc")

    # None as the chosen child's vector cannot take the OR node's features
    class NoneFc(FCombo):
        def __call__(self, flist, labels=None):
            return None if flist == [] else FCombo.__call__(self, flist)

    r2 = OrNode("r2")
    r2.features = ["q"]
    r2.children.append(leaf("n", score=0.0))
    with pytest.raises(TypeError, match="unsupported operand"):
        r2.extractBest(NoneFc(1))


def test_extract_labels_pre_order():
    b = AndNode("b")
    a = AndNode("a")
    a.children.append(b)
    a.insideScore = 0.0
    root = OrNode(None)
    root.children.append(a)
    out = []
    assert root.extractLabels(None, out) is None
    assert out == ["a", "b"]

    class Sink:
        def __init__(self):
            self.items = []

        def append(self, x):
            self.items.append(x)

    s = Sink()
    root.extractLabels(fc=None, result=s)
    assert s.items == ["a", "b"]
    with pytest.raises(AttributeError):
        root.extractLabels(None, object())
    empty = OrNode("e")
    out = []
    with pytest.raises(AssertionError):
        empty.extractLabels(None, out)
    assert out == ["e"]


# --- overrides --------------------------------------------------------------------------------


class Fixed(GraphNode):
    """Overrides every operation, to see that the walks call the overrides for children."""

    log = []

    def assign_ids(self, start):
        Fixed.log.append("assign_ids")
        return GraphNode.assign_ids(self, start) + 100

    def calcPotential(self, weights, fc, done):
        Fixed.log.append("calcPotential")
        self.localScore = 42.0
        return 0.0

    def calcInsideMin(self, done):
        Fixed.log.append("calcInsideMin")
        self.insideScore = 7.0
        return 7.0

    def extractBest(self, fc):
        Fixed.log.append("extractBest")
        return AndNode("override")

    def extractLabels(self, fc, result):
        Fixed.log.append("extractLabels")
        result.append("from-override")

    def write_amis(self, features, in_disj, written, out, fcomb):
        Fixed.log.append("write_amis")
        out.write("<%s %s> " % (features is None, in_disj))


def test_overrides_are_called_for_children():
    Fixed.log = []
    child = Fixed("child")
    child.featuresD = empty_sv
    sib = leaf("sib", sv((0, 1.0)))
    root = AndNode("root")
    root.featuresD = empty_sv
    root.children += [child, sib]
    assert root.assign_ids(0) == 103  # child numbered 0, override adds 100: sib 101, root 102
    assert str(child).endswith("#0") and str(sib).endswith("#101") and str(root).endswith("#102")
    root.calcPotential(np.array([1.0]), None, defaultdict(bool))
    assert child.localScore == 42.0 and sib.localScore == 1.0
    assert root.calcInsideMin(defaultdict(bool)) == 8.0
    r = root.extractBest(None)
    assert [c.label for c in r.children] == ["override", "sib"]
    lbls = []
    root.extractLabels(None, lbls)
    assert lbls == ["root", "from-override", "sib"]
    out = io.StringIO()
    root.write_amis(None, False, {}, out, None)
    assert out.getvalue() == "<True False> 0:1.0 "
    assert Fixed.log == ["assign_ids", "calcPotential", "calcInsideMin", "extractBest", "extractLabels", "write_amis"]
    # The Python method of the node itself runs the native operation (that is what super() reaches).
    Fixed.log = []
    assert GraphNode.calcInsideMin(child, defaultdict(bool)) == child.localScore == 42.0
    assert Fixed.log == []


def test_subclass_without_overrides_and_super_calls():
    class Plain(GraphNode):
        pass

    class Scaled(GraphNode):
        def calcInsideMin(self, done):
            return 2 * super().calcInsideMin(done)

    leafs = [Plain("p"), Scaled("s")]
    for x in leafs:
        x.localScore = 1.5
    inner = leaf("i")
    inner.localScore = 1.0
    leafs[1].children.append(inner)
    root = AndNode("r")
    root.children += leafs
    root.assign_ids(0)
    assert root.calcInsideMin(defaultdict(bool)) == 1.5 + 2 * (1.5 + 1.0)

    class BadIds(GraphNode):
        def assign_ids(self, start):
            return 2**40

    class BadResult(GraphNode):
        def calcInsideMin(self, done):
            return "x"

        def extractBest(self, fc):
            return 5

    bad = AndNode("r2")
    bad.children.append(BadIds("b"))
    with pytest.raises(OverflowError):
        bad.assign_ids(0)
    assert str(bad).endswith("#-1")
    bad.children = [BadResult("c")]
    assert bad.assign_ids(3) == 5
    with pytest.raises(TypeError, match="must be real number, not str"):
        bad.calcInsideMin(defaultdict(bool))
    with pytest.raises(TypeError, match="Cannot convert int to quorvex.feature.GraphNode"):
        bad.extractBest(None)


def test_overriding_calc_potential_errors_are_unraisable(unraisable):
    class Broken(GraphNode):
        def calcPotential(self, weights, fc, done):
            raise RuntimeError("inside override")

    root = AndNode("r")
    root.featuresD = empty_sv
    root.children += [Broken("b"), leaf("ok", sv((0, 1.0)))]
    root.assign_ids(0)
    assert root.calcPotential(np.array([2.0]), None, np.zeros(3, "b")) == 0.0
    assert [m for _, m, _ in unraisable] == ["inside override"]
    assert root.children[1].localScore == 2.0


# --- deep and cyclic graphs -------------------------------------------------------------------


def chain(depth, disj_every=2):
    bottom = leaf("bottom", sv((0, 1.0)))
    node = bottom
    for i in range(depth):
        up = GraphNode(i, i % disj_every == 0)
        up.featuresD = empty_sv
        up.children.append(node)
        node = up
    return node


def stack_depth():
    f, n = sys._getframe(), 0
    while f:
        f, n = f.f_back, n + 1
    return n


def test_deep_graphs_need_no_recursion():
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(stack_depth() + 50)
    try:
        top = chain(20000)
        assert top.assign_ids(0) == 20001
        top.calcPotential(np.array([1.0]), None, np.zeros(20001, "b"))
        assert top.calcInsideMin(np.zeros(20001, "b")) == 1.0
        d = top.extractBest(None)
        lbls = []
        top.extractLabels(None, lbls)
        assert len(lbls) == 20001
        out = io.StringIO()
        top.write_amis(None, False, defaultdict(bool), out, None)
        text = out.getvalue()
        assert text.count("{ n") == text.count("} ") == 10000 and text.count("( _ ") == text.count(") ") == 10000
        d.write_amis(None, False, None, io.StringIO(), None)
    finally:
        sys.setrecursionlimit(old)
    del top, d  # freeing 20000 levels must not exhaust the C stack
    gc.collect()


def test_long_crf_builds_decodes_and_writes():
    fc = FCombo(1)
    nodes = []
    for k in range(5000):
        cands = []
        for lbl in "ab":
            c = AndNode(lbl)
            c.features.append(("w%d=%s" % (k % 3, lbl), 1.0))
            cands.append(c)
        nodes.append(cands)
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(stack_depth() + 50)
    try:
        n = make_simple_crf(nodes)
        w = np.zeros(64)
        fc(["TNone-a", "Ta-a", "STOP"])
        w[fc.dict["Ta-a"]] = 1.0
        res = decode_simple_crf(n, w, fc)
        assert [r.label for r in res] == ["a"] * 5000
        out = io.StringIO()
        dump_example(n, out, fc)
        # the stop node and the states of every position but the last, which the stop node's
        # disjunction takes in directly
        assert out.getvalue().endswith("\n\n") and out.getvalue().count("{ n") == 1 + 2 * 4999
    finally:
        sys.setrecursionlimit(old)


def cyclic_pair(disj=False):
    x, y = GraphNode("x", disj), GraphNode("y", disj)
    for n in (x, y):
        n.featuresD = empty_sv
        n.insideScore = 0.0
    x.children.append(y)
    y.children.append(x)
    return x, y


class Forgetful:
    """A done mapping that never remembers: only the cycle check can stop a walk."""

    def __getitem__(self, i):
        return False

    def __setitem__(self, i, v):
        pass


def test_cycles_raise_instead_of_hanging(unraisable):
    x, y = cyclic_pair()
    with pytest.raises(ValueError, match="cycle"):
        x.assign_ids(0)
    assert str(x).endswith("#-1") and str(y).endswith("#-1")
    # numbered, then closed into a cycle
    a, b = AndNode("a"), AndNode("b")
    a.children.append(b)
    a.assign_ids(0)
    b.children.append(a)
    for n in (a, b):
        n.featuresD = empty_sv
    assert a.calcInsideMin(np.zeros(2, "b")) == -1.0  # the done marks end the walk (a's old score)
    with pytest.raises(ValueError, match="cycle"):
        a.calcInsideMin(Forgetful())
    a.calcPotential(np.zeros(1), None, Forgetful())
    assert [t for t, _, _ in unraisable] == [ValueError]
    with pytest.raises(ValueError, match="cycle"):
        a.extractBest(None)
    with pytest.raises(ValueError, match="cycle"):
        a.extractLabels(None, [])
    with pytest.raises(ValueError, match="cycle"):
        a.write_amis(None, False, {}, io.StringIO(), None)
    ox, oy = cyclic_pair(disj=True)
    with pytest.raises(ValueError, match="cycle"):
        ox.extractBest(None)
    with pytest.raises(ValueError, match="cycle"):
        ox.write_amis(None, True, {}, io.StringIO(), None)
    # the marks are cleared: the acyclic part works afterwards
    b.children.clear()
    assert a.calcInsideMin(Forgetful()) == 0.0 and a.extractBest(None).children[0].label == "b"


def test_cycles_through_overrides_end_in_an_exception():
    class Passing(GraphNode):
        def extractLabels(self, fc, result):
            GraphNode.extractLabels(self, fc, result)

    p, q = Passing("p"), Passing("q")
    p.children.append(q)
    q.children.append(p)
    with pytest.raises((ValueError, RecursionError)):
        p.extractLabels(None, [])


def test_nodes_take_part_in_garbage_collection():
    class Tracked(GraphNode):
        pass

    x = Tracked("x")
    x.children.append(x)
    ref = weakref.ref(x)
    del x
    gc.collect()
    assert ref() is None


def test_nodes_reinitialised_during_a_walk_keep_their_kind_for_it():
    from quorvex.feature import FCombo, GraphNode, empty_sv

    root = OrNode("root")

    class Child(GraphNode):
        def extractLabels(self, fc, result):
            root.__init__("root")  # OR -> AND while root's frame is open

    root.children = [Child("c")]
    root.children[0].insideScore = 0.0
    out = []
    assert root.extractLabels(None, out) is None and out == ["root"]

    root = OrNode("root")
    child = AndNode("child")
    child.insideScore = 0.0
    root.children = [child]

    class FC(FCombo):
        def __call__(self, features, labels=None):
            root.__init__("root")
            return FCombo.__call__(self, features)

    assert root.extractBest(FC(1)).label == "child"

    root = OrNode("root")
    mid = AndNode("mid")

    class Leaf(GraphNode):
        def extractBest(self, fc):
            root.__init__("root")
            return AndNode("copy")

    mid.children = [Leaf("leaf")]
    mid.insideScore = 0.0
    mid.featuresD = root.featuresD = empty_sv
    root.children = [mid]
    with pytest.raises(TypeError):  # the re-run __init__ cleared root.featuresD and fc is None
        root.extractBest(None)


# --- numbering of mixed forests ----------------------------------------------------------------


class Delegating(GraphNode):
    def assign_ids(self, start):
        return GraphNode.assign_ids(self, start)


class Quiet(GraphNode):
    pass


def number_of(node):
    return int(str(node).rsplit("#", 1)[1])


@given(st.integers(0, 2**32), st.integers(2, 25))
@settings(max_examples=150, deadline=None)
def test_numbering_of_mixed_forests_follows_the_rule(seed, size):
    rng = random.Random(seed)
    kinds = [GraphNode, GraphNode, GraphNode, Quiet, Delegating]
    nodes = [rng.choice(kinds)("n%d" % i, rng.random() < 0.5) for i in range(size)]
    for i, n in enumerate(nodes):  # a DAG: children have larger indices
        kids = [nodes[j] for j in range(i + 1, size) if rng.random() < 0.25]
        n.children = tuple(kids) if rng.random() < 0.2 else kids
    pre = nodes[rng.randrange(1, size)] if rng.random() < 0.5 else None
    numbers = {}

    def ref(n, start):  # the numbering rule, on a mirror
        if id(n) in numbers:
            return start
        for c in n.children:
            start = ref(c, start)
        numbers[id(n)] = start
        return start + 1

    base = 0
    if pre is not None:
        base = pre.assign_ids(0)
        ref(pre, 0)
    assert nodes[0].assign_ids(base) == ref(nodes[0], base)
    for n in nodes:
        assert number_of(n) == numbers.get(id(n), -1)


def test_numbering_stops_at_a_cycle_and_keeps_what_it_numbered():
    a, b, c = AndNode("a"), AndNode("b"), AndNode("c")
    a.children = [b, c]
    c.children = [a]
    with pytest.raises(ValueError, match="cycle"):
        a.assign_ids(0)
    assert [number_of(x) for x in (a, b, c)] == [-1, 0, -1]
