"""The shortcuts of vectorising and of CRF forests give exactly what the plain paths give:
candidate nodes (label_nodes), batched probing, short accumulators, shared transition pairs and
the vectors kept for them, direct state lookups, and the chain walk of decode_simple_crf."""
import random

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from quorvex.alphabet import StringAlphabet
from quorvex.feature import (AndNode, FCombo, FeatureList, GraphNode, Multipart, crf_dict, decode_simple_crf,
                             make_simple_crf)
from quorvex.sparsmat import SparseVectorD, VecD1


class SlowAlphabet(StringAlphabet):
    """Overrides the lookup, which sends FCombo down its Python-level path."""

    def __getitem__(self, key):
        return StringAlphabet.__getitem__(self, key)


def pairs(v):
    return list(v)


# --- label_nodes ------------------------------------------------------------------------------

names = st.lists(st.sampled_from(["a", "b", "c", "é", "w=x|y", "p2=th"]), max_size=5)


@given(st.integers(1, 2), st.sampled_from([None, "<b>"]), names,
       st.lists(st.sampled_from(["L", "M", "ü", "N N"]), max_size=4), st.booleans(), st.booleans())
@settings(max_examples=80, deadline=None)
def test_label_nodes_are_and_nodes_carrying_label_vectors(n, bias, feats, labels, slow, multipart):
    fc = FCombo(n, SlowAlphabet() if slow else None, bias_item=bias)
    twin = FCombo(n, SlowAlphabet() if slow else None, bias_item=bias)
    arg = Multipart([feats, [("extra", 2.0)]]) if multipart else feats
    nodes = fc.label_nodes(arg, iter(labels))  # any iterable, read once
    expected = twin.label_vectors(arg, labels)
    assert [type(x) for x in nodes] == [GraphNode] * len(labels)
    assert [x.label for x in nodes] == labels
    assert [pairs(x.featuresD) for x in nodes] == [pairs(v) for v in expected]
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
    assert one is not two and pairs(one.featuresD) == pairs(two.featuresD)
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


# --- FeatureList construction -------------------------------------------------------------------

pieces = st.sampled_from(["a", "b", "\x00", "é", "日", "w=", "prefix__"])
text = st.lists(pieces, max_size=5).map(lambda t: "shared_p" + "".join(t))  # one 8-byte prefix
item = st.one_of(text, st.text(max_size=3), st.tuples(text, st.integers(-3, 3)), st.tuples(text, st.floats(-2, 2)),
                 st.lists(text, min_size=1, max_size=1).map(lambda l: [l[0], 0.5]))


@given(st.lists(item, max_size=80), st.sampled_from([list, tuple]))
@settings(max_examples=200, deadline=None)
def test_feature_lists_sort_like_python(items, container):
    fl = FeatureList(container(items))
    key = lambda x: x if isinstance(x, str) else x[0]
    expected = [(key(x), 1.0 if isinstance(x, str) else float(x[1])) for x in sorted(items, key=key)]
    assert list(fl) == expected
    assert all(a is (x if isinstance(x, str) else x[0]) for (a, _), x in zip(fl, sorted(items, key=key)))


def test_feature_list_value_errors_leave_the_list():
    fl = FeatureList(["a"])
    with pytest.raises(OverflowError):
        fl.__init__([("b", 10 ** 400), "c"])
    assert list(fl) == [("a", 1.0)]
    assert list(FeatureList([("x", True), ("y", 2 ** 53)])) == [("x", 1.0), ("y", float(2 ** 53))]


# --- batched probing and short accumulators ---------------------------------------------------

def test_many_keys_get_the_ids_of_one_by_one_lookups():
    """Thousands of keys in one call (several probe blocks and batches) number new keys in the
    order a key-by-key lookup would."""
    rng = random.Random(7)
    feats = ["f%d=%s" % (i, "x" * rng.randrange(40)) for i in range(120)]
    labels = ["L%d" % i for i in range(3)]
    fast, slow = FCombo(2), FCombo(2, SlowAlphabet())
    assert pairs(fast(feats, labels=labels)) == pairs(slow(feats, labels=labels))
    assert list(fast.dict) == list(slow.dict) and len(fast.dict) > 20000
    fast.dict.growing = slow.dict.growing = False
    other = feats[::2] + ["unknown%d" % i for i in range(50)]
    assert [pairs(v) for v in fast.label_vectors(other, labels)] == [pairs(slow(other, labels=[l])) for l in labels]


@given(st.binary(max_size=40).map(lambda b: b.decode("latin-1")), st.lists(st.binary(max_size=40), max_size=30))
@settings(max_examples=100, deadline=None)
def test_keys_of_every_length_are_told_apart(key, others):
    d = StringAlphabet()
    words = [o.decode("latin-1") for o in others]
    ref = {}
    for w in words + [key]:
        ref.setdefault(w, len(ref))
        assert d[w] == ref[w]
    d.growing = False
    for w in ref:
        assert d[w] == ref[w]
    for near in (key + "\x00", "\x00" + key, key[:-1], key + "x"):  # differ from key by one byte
        if near in ref:  # the generated words may hold it
            assert d[near] == ref[near]
        else:
            with pytest.raises(KeyError):
                d[near]


@given(st.lists(st.tuples(st.one_of(st.integers(0, 60), st.integers(2 ** 26 - 2, 2 ** 32 - 1)),
                          st.sampled_from([1.0, -2.5, 0.1, 3.0, 1e-300])), max_size=45))
@settings(max_examples=200, deadline=None)
def test_accumulators_sum_in_insertion_order(entries):
    a = VecD1()
    ref = {}
    for k, v in entries:
        a.add_count(k, v)
        ref[k] = ref[k] + v if k in ref else v
    assert pairs(a.to_sparse()) == sorted(ref.items())


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
    assert fc(list(items)) is first and pairs(first) == [(0, 1.0), (1, 1.0), (2, 1.0)]
    assert pairs(fc([])) == [(0, 1.0)] and fc([]) is fc([])  # the empty list of a state node
    fc.dict.growing = True
    fc.dict["new"]
    fc.dict.growing = False
    again = fc(list(items))
    assert again is not first and pairs(again) == pairs(first)
    d = StringAlphabet()
    d["STOP"]
    d.growing = False
    fc.dict = d  # another dictionary: the bias id 0 is now "STOP" as well
    assert pairs(fc(list(items))) == [(0, 2.0)]


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


# --- numbering of mixed forests ----------------------------------------------------------------

class Delegating(GraphNode):
    def assign_ids(self, start):
        return GraphNode.assign_ids(self, start)


class Quiet(GraphNode):
    pass


def number_of(node):
    return int(str(node).rsplit("#", 1)[1])


@given(st.integers(0, 2 ** 32), st.integers(2, 25))
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
