"""The AMIS feature-forest writer and dump_example, checked against a small reference writer."""

import io
import random
import re
from collections import defaultdict

import numpy as np
import pytest
from conftest import sv
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvex.feature import AndNode, FCombo, GraphNode, OrNode, dump_example, empty_sv, make_multilabel


def node(label, vec, disj=False, children=()):
    n = GraphNode(label, disj)
    n.featuresD = vec
    n.children.extend(children)
    return n


def write(n, features=None, in_disj=False, written=None, fc=None):
    out = io.StringIO()
    n.write_amis(features, in_disj, defaultdict(bool) if written is None else written, out, fc)
    return out.getvalue()


def ref_write(x, features, in_disj, written, out):
    """The writer's algorithm in plain Python (numbers come from ids, a dict node -> number)."""

    def pairs(vec):
        for k, v in vec:
            out.append("%s:%s " % (k, v))

    if not in_disj:
        if not x.isdisj:
            if features:
                pairs(features)
            pairs(x.featuresD)
            for c in x.children:
                ref_write(c, None, False, written, out)
        else:
            assert features is None or len(features) == 0
            if written.get(x.num):
                out.append("$n%d " % x.num)
                return
            out.append("{ n%d " % x.num)
            written[x.num] = True
            for c in x.children:
                ref_write(c, x.featuresD, True, written, out)
            out.append("} ")
    elif x.isdisj:
        v = x.featuresD if features is None else features + x.featuresD
        for c in x.children:
            ref_write(c, v, True, written, out)
    else:
        out.append("( _ ")
        if features:
            pairs(features)
        pairs(x.featuresD)
        for c in x.children:
            ref_write(c, empty_sv, False, written, out)
        out.append(") ")


class RefNode:
    def __init__(self, isdisj, vec):
        self.isdisj, self.featuresD, self.children, self.num = isdisj, vec, [], -1


def number(x, start):
    if x.num != -1:
        return start
    for c in x.children:
        start = number(c, start)
    x.num = start
    return start + 1


# --- worked examples -------------------------------------------------------------------------


def test_the_example_forest():
    shared = node("g", sv((2, 0.5)))
    root = node(
        "r",
        sv((5, 1.0)),
        True,
        [node("a", sv((0, 1.0)), children=[shared]), node("b", sv((1, 2.0)), children=[shared])],
    )
    assert root.assign_ids(0) == 4
    assert write(root) == "{ n3 ( _ 5:1.0 0:1.0 2:0.5 ) ( _ 5:1.0 1:2.0 2:0.5 ) } "


def test_single_nodes():
    leaf = node("x", sv((7, 1.0)))
    assert write(leaf) == "7:1.0 "
    assert write(leaf, empty_sv, True) == "( _ 7:1.0 ) "
    assert write(leaf, sv((1, 0.25)), True) == "( _ 1:0.25 7:1.0 ) "
    assert write(leaf, sv((1, 0.25)), False) == "1:0.25 7:1.0 "
    o = node("o", empty_sv, True)
    o.assign_ids(4)
    assert write(o, written={4: True}) == "$n4 "
    z = node("z", empty_sv, True)
    z.assign_ids(0)
    w = defaultdict(bool)
    assert write(z, written=w) == "{ n0 } " and w == {0: True}
    assert write(z, written=w) == "$n0 "


def test_nested_or_nodes():
    inner_alt = node("ia", sv((3, 1.0)))
    inner = node("in", sv((1, 1.0)), True, [inner_alt])
    root = node("r", sv((0, 1.0)), True, [inner, node("b", sv((4, 1.0)))])
    root.assign_ids(0)
    # the nested OR node adds no braces; its vector is summed into what its alternatives inherit
    assert write(root) == "{ n3 ( _ 0:1.0 1:1.0 3:1.0 ) ( _ 0:1.0 4:1.0 ) } "
    # an OR child of an alternative opens its own disjunction
    sub = node("s", sv((9, 1.0)), True, [node("sa", sv((8, 1.0)))])
    top = node("t", empty_sv, True, [node("alt", sv((6, 1.0)), children=[sub])])
    top.assign_ids(0)
    assert write(top) == "{ n3 ( _ 6:1.0 { n1 ( _ 9:1.0 8:1.0 ) } ) } "


def test_values_are_written_in_their_python_form():
    v = sv((0, 0.1), (3, 1e-05), (12, -3.0), (2**32 - 1, 2.5e300), (7, float("inf")))
    assert write(node("x", v)) == "0:0.1 3:1e-05 7:inf 12:-3.0 4294967295:2.5e+300 "
    # anything iterable into pairs may be handed down
    assert write(node("x", empty_sv), [("a", 1), (2, "b")]) == "a:1 2:b "
    with pytest.raises(ValueError, match="too many values to unpack"):
        write(node("x", empty_sv), [(1, 2, 3)])


def test_features_filled_from_the_combiner():
    fc = FCombo(1)
    n = AndNode("x")
    n.features = ["b", "a"]
    assert write(n, fc=fc) == "0:1.0 1:1.0 " and list(n.featuresD) == [(0, 1.0), (1, 1.0)]
    with pytest.raises(TypeError, match="not callable"):
        write(AndNode("y"))
    with pytest.raises(TypeError, match="Argument 'fcomb' has incorrect type"):
        write(AndNode("y"), fc="fc")


def test_writer_errors():
    o = node("o", empty_sv, True)
    o.assign_ids(0)
    with pytest.raises(AssertionError):
        write(o, sv((1, 1.0)))
    assert write(o, empty_sv) == "{ n0 } "
    with pytest.raises(TypeError, match="not subscriptable"):
        o.write_amis(None, False, None, io.StringIO(), None)
    root = node("r", sv((1, 1.0)), children=[node("a", sv((2, 1.0))), "junk", node("b", sv((3, 1.0)))])
    out = io.StringIO()
    with pytest.raises(TypeError, match="Cannot convert str to quorvex.feature.GraphNode"):
        root.write_amis(None, False, None, out, None)
    assert out.getvalue() == "1:1.0 2:1.0 "  # what was written before the error stays written
    with pytest.raises(AttributeError):
        node("x", sv((1, 1.0))).write_amis(None, False, None, object(), None)
    with pytest.raises(TypeError):
        o.write_amis(None, False, {})  # all five arguments are required

    class FailingOut:
        def __init__(self):
            self.calls = 0

        def write(self, text):
            self.calls += 1
            raise OSError("disk full")

    with pytest.raises(OSError, match="disk full"):
        node("x", sv((1, 1.0))).write_amis(None, False, None, FailingOut(), None)


def test_keywords_and_truth_of_in_disj():
    leaf = node("x", sv((7, 1.0)))
    out = io.StringIO()
    leaf.write_amis(features=None, in_disj=[0], written=None, out=out, fcomb=None)
    assert out.getvalue() == "( _ 7:1.0 ) "


# --- random forests against the reference ---------------------------------------------------------


def random_forest(rng, size):
    """A random packed forest (a DAG) and its mirror of RefNodes."""
    made, mirror = [], {}
    for i in range(size):
        disj = rng.random() < 0.4
        vec = sv(*[(rng.randrange(20), rng.choice([1.0, 0.5, 2.0])) for _ in range(rng.randrange(3))])
        n = GraphNode("n%d" % i, disj)
        n.featuresD = vec
        r = RefNode(disj, vec)
        for _ in range(rng.randrange(4) if made else 0):
            c = rng.choice(made)
            n.children.append(c)
            r.children.append(mirror[id(c)])
        made.append(n)
        mirror[id(n)] = r
    root = made[-1]
    return root, mirror[id(root)]


@given(st.integers(0, 2**32), st.integers(1, 25))
@settings(max_examples=150, deadline=None)
def test_random_forests_match_the_reference(seed, size):
    rng = random.Random(seed)
    root, ref = random_forest(rng, size)
    root.assign_ids(0)
    number(ref, 0)
    expected = []
    ref_write(ref, None, False, {}, expected)
    text = write(root)
    assert text == "".join(expected)
    # grammar: balanced brackets, each disjunction written once and only referenced afterwards
    opened, depth = set(), []
    for tok in text.split(" ")[:-1]:
        if tok in ("{", "("):
            depth.append(tok)
        elif tok in ("}", ")"):
            assert depth and depth.pop() == {"}": "{", ")": "("}[tok]
        elif tok.startswith("n"):
            assert tok not in opened
            opened.add(tok)
        elif tok.startswith("$n"):
            assert tok[1:] in opened
        else:
            assert tok == "_" or re.fullmatch(r"\d+:\d+\.\d+", tok)
    assert not depth and (text == "" or text.endswith(" "))


# --- dump_example ---------------------------------------------------------------------------------


def test_dump_example_writes_derivation_then_forest():
    fc = FCombo(1)
    top = make_multilabel(["a", "b"], [["b", "c"]], ["f"], fc)
    out = io.StringIO()
    assert dump_example(top, out, fc) is None
    text = out.getvalue()
    derivation, forest, rest = text.split("\n", 2)
    assert rest == "\n"
    best = top.extractBest(fc)
    assert derivation == write(best, written=None)
    assert forest == write(top)
    # the shared label OR-b is written once and referenced by the second alternative
    assert forest.count("{ n") == 4 and forest.count("$n") == 1
    ids = re.findall(r"\{ n(\d+)", forest)
    assert re.findall(r"\$n(\d+)", forest) == [ids[2]]


def test_dump_example_arguments_and_appending():
    leaf = node("x", sv((1, 1.0)))
    out = io.StringIO()
    dump_example(leaf, out, None)
    dump_example(n=leaf, buf=out, fc=None)
    assert out.getvalue() == "1:1.0 \n1:1.0 \n\n" * 2
    with pytest.raises(
        TypeError, match=r"Argument 'n' has incorrect type \(expected quorvex.feature.GraphNode, got NoneType\)"
    ):
        dump_example(None, out, None)
    with pytest.raises(TypeError, match="Argument 'fc'"):
        dump_example(leaf, out, 3)
    with pytest.raises(TypeError):
        dump_example(leaf, out)
    empty = OrNode("e")
    empty.featuresD = empty_sv
    out = io.StringIO()
    with pytest.raises(AssertionError):
        dump_example(empty, out, None)
    assert out.getvalue() == ""


def test_dump_example_uses_local_scores_only():
    a, b = node("a", sv((1, 1.0))), node("b", sv((2, 1.0)))
    a.localScore = 1.0
    root = node("r", empty_sv, True, [a, b])
    out = io.StringIO()
    dump_example(root, out, None)
    assert out.getvalue() == "1:1.0 \n{ n2 ( _ 1:1.0 ) ( _ 2:1.0 ) } \n\n"
    np.testing.assert_equal(root.insideScore, 1.0)
