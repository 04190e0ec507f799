import gc

import pytest
import simplejson
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvex.feature import InfoNode, InfoTree

# --- small independent references -----------------------------------------------------


def ref_number(node, lst, seen_ids):
    """Recursive preorder numbering, the way add_to_list is described."""
    if seen_ids[id(node)] != -1:
        return
    seen_ids[id(node)] = len(lst)
    lst.append(node)
    for target, _ in node.edges_out:
        ref_number(target, lst, seen_ids)


def ref_pieces(node, out):
    out.append(("(%s " if node.features or node.edges_out else "(%s") % (node.tp,))
    out.append("".join("(%s %s)" % (f, f) for f in node.features))
    for target, _ in node.edges_out:
        ref_pieces(target, out)
    out.append(")")


def ref_as_nodes(node, offset, ids, nodes_out, edges_out):
    """as_nodes over a private id map (so that the real nodes stay untouched)."""
    new_offset = offset
    if ids[id(node)] == -1:
        ids[id(node)] = offset
        new_offset = offset + 1
    nid = ids[id(node)]
    nodes_out.append((nid, node.tp))
    for target, label in node.edges_out:
        new_offset = ref_as_nodes(target, new_offset, ids, nodes_out, edges_out)
        edges_out.append((nid, ids[id(target)], label))
    for i, f in enumerate(node.features):
        nodes_out.append((new_offset + i, f))
        edges_out.append((nid, new_offset + i, "f"))
    return new_offset + len(node.features)


def shape(tree):
    """Labels, features, edges by position and roots: what a round trip must keep."""
    pos = {id(n): i for i, n in enumerate(tree.nodes)}
    return (
        [(n.tp, list(n.features), [(pos[id(t)], lbl) for t, lbl in n.edges_out]) for n in tree.nodes],
        [pos[id(r)] for r in tree.roots],
    )


def sentence():
    """(S (a a)(b b)(NP (x x))) as a JSON form."""
    return {"nodes": [["S", ["a", "b"], [1]], ["NP", ["x"], []]], "roots": [0]}


def pieces_of(x):
    out = []
    x.as_tree(out)
    return out


labels = st.sampled_from(["S", "NP", "VP", "x", "é", "日本", "a b", "🙂"])
edge_labels = st.one_of(st.none(), st.sampled_from(["nsubj", "obj", "ü", ""]))


@st.composite
def json_graphs(draw, acyclic=False, max_nodes=8):
    """JSON forms of random graphs: any edges (forward, backward, self, negative indices), or
    only edges to later nodes when acyclic."""
    n = draw(st.integers(0 if not acyclic else 1, max_nodes))
    nodes = []
    for i in range(n):
        lo = i + 1 if acyclic else 0
        targets = [] if lo >= n else draw(st.lists(st.integers(lo, n - 1), max_size=3))
        edges = []
        for t in targets:
            form = draw(st.integers(0, 3))
            if not acyclic and form == 3:
                t -= n  # a negative index names the same node
            lbl = draw(edge_labels)
            edges.append(t if form == 0 and lbl is None else [t, lbl])
        nodes.append([draw(labels), draw(st.lists(labels, max_size=3)), edges])
    roots = draw(st.lists(st.integers(0, n - 1), max_size=3)) if n else []
    if acyclic:
        roots = [0] + roots
    return {"nodes": nodes, "roots": roots}


# --- InfoNode ------------------------------------------------------------------------


def test_node_construction_and_fields():
    n = InfoNode("S")
    assert (n.nodeId, n.tp, n.features, n.edges_out) == (-1, "S", [], [])
    feats = ["a"]
    assert InfoNode("S", feats).features is feats
    assert InfoNode(tp="S", feats=None).features == []

    class NoneLike:
        def __eq__(self, other):
            return other is None

    assert InfoNode("S", NoneLike()).features == []
    fresh = InfoNode.__new__(InfoNode)
    assert (fresh.nodeId, fresh.tp, fresh.features, fresh.edges_out) == (0, None, None, None)
    n.add_edge(fresh)
    n.__init__("T", ["z"])  # runs again: a new node state
    assert (n.nodeId, n.tp, n.features, n.edges_out) == (-1, "T", ["z"], [])
    del n.tp, n.features, n.edges_out
    assert (n.tp, n.features, n.edges_out) == (None, None, None)
    with pytest.raises(NotImplementedError, match="__del__"):
        del n.nodeId
    n.nodeId = 5
    assert n.nodeId == 5
    with pytest.raises(OverflowError):
        n.nodeId = 2**31
    with pytest.raises(TypeError):
        n.nodeId = "1"
    with pytest.raises(TypeError, match=r"InfoNode\(\) missing required argument 'tp' \(pos 1\)"):
        InfoNode()
    with pytest.raises(TypeError):
        InfoNode("S", None, 3)


def test_add_edge():
    a, b = InfoNode("A"), InfoNode("B")
    a.add_edge(b)
    a.add_edge(b, "lbl")
    a.add_edge(42, edge_label=None)  # any object may be a target
    assert a.edges_out == [(b, None), (b, "lbl"), (42, None)]
    assert all(type(e) is tuple for e in a.edges_out)
    a.edges_out = None
    with pytest.raises(AttributeError):
        a.add_edge(b)


def test_add_to_list_numbers_in_preorder_once():
    a, b, c, d = (InfoNode(x) for x in "abcd")
    a.add_edge(b)
    a.add_edge(c)
    b.add_edge(d)
    c.add_edge(d)  # d is shared
    d.add_edge(a)  # and leads back to the root
    lst = ["already there"]
    a.add_to_list(lst)
    assert lst == ["already there", a, b, d, c]
    assert [n.nodeId for n in (a, b, c, d)] == [1, 2, 4, 3]
    a.add_to_list(lst)  # numbered: nothing happens
    assert len(lst) == 5


def test_add_node_with_a_cycle_and_shared_nodes():
    t = InfoTree()
    t.add_node(InfoNode("first"))
    a, b = InfoNode("a"), InfoNode("b")
    a.add_edge(b)
    b.add_edge(a)
    t.add_node(a, True)
    assert t.nodes[1:] == [a, b] and (a.nodeId, b.nodeId) == (1, 2)
    assert t.roots == [a]
    t.add_node(b)
    assert len(t.nodes) == 3 and t.roots == [a]
    # A node numbered in another tree keeps its number and stays out.
    u = InfoTree()
    u.add_node(a, as_root=1)
    assert u.nodes == [] and u.roots == [a] and a.nodeId == 1


@given(json_graphs())
@settings(max_examples=150, deadline=None)
def test_add_to_list_matches_the_recursive_reference(data):
    t = InfoTree(data)
    if not t.nodes:
        return
    for n in t.nodes:
        n.nodeId = -1
    ids = {id(n): -1 for n in t.nodes}
    expected = []
    ref_number(t.nodes[0], expected, ids)
    got = []
    t.nodes[0].add_to_list(got)
    assert got == expected
    assert [n.nodeId for n in got] == list(range(len(got)))


def test_add_to_list_errors_keep_what_was_numbered():
    a, b = InfoNode("a"), InfoNode("b")
    a.add_edge(b)
    a.edges_out.append((1, 2, 3))
    lst = []
    with pytest.raises(ValueError, match=r"too many values to unpack \(expected 2\)"):
        a.add_to_list(lst)
    assert lst == [a, b] and b.nodeId == 1
    c = InfoNode("c")
    c.add_edge("not a node")
    with pytest.raises(AttributeError):
        c.add_to_list(lst)
    assert lst[-1] is c
    with pytest.raises(TypeError):
        InfoNode("x").add_to_list(None)
    with pytest.raises(TypeError):
        InfoTree.__new__(InfoTree).add_node(InfoNode("x"))
    fresh = InfoNode.__new__(InfoNode)  # __init__ never ran: fields are None
    with pytest.raises(TypeError):
        fresh.as_tree([])
    lst = []
    fresh.add_to_list(lst)  # nodeId 0: counts as numbered
    assert lst == []
    fresh.nodeId = -1
    with pytest.raises(TypeError):
        fresh.add_to_list(lst)  # numbered, then its edges (None) cannot be walked
    assert lst == [fresh]
    with pytest.raises(AttributeError):
        fresh.add_edge(a)


def test_overriding_subclasses_are_called_for_children():
    calls = []

    class Logged(InfoNode):
        def add_to_list(self, lst):
            calls.append(self.tp)
            InfoNode.add_to_list(self, lst)

        def as_tree(self, parts_out):
            parts_out.append("<%s>" % self.tp)

    class Plain(InfoNode):
        pass

    root, mid, leaf = InfoNode("R"), Logged("M"), Plain("L")
    root.add_edge(mid)
    mid.add_edge(leaf)
    lst = []
    root.add_to_list(lst)
    assert calls == ["M"] and lst == [root, mid, leaf]
    assert "".join(pieces_of(root)) == "(R <M>)"
    # A non-overriding subclass is walked natively, with the same result.
    plain_root = InfoNode("P")
    plain_root.add_edge(leaf)
    assert "".join(pieces_of(plain_root)) == "(P (L))"


# --- InfoTree construction ------------------------------------------------------------------


def test_empty_trees():
    for t in (InfoTree(), InfoTree(None), InfoTree(data=None)):
        assert t.nodes == [] and t.roots == []
    fresh = InfoTree.__new__(InfoTree)
    assert fresh.nodes is None and fresh.roots is None
    with pytest.raises(TypeError):
        fresh.as_json()
    with pytest.raises(TypeError):
        fresh.as_tree([])


def test_json_constructor():
    tp, feats = "S", ["a", "b"]
    data = {
        "nodes": [[tp, feats, [1, [2, "obj"]]], ["NP", ["x"], []], ["VP", [], [[0, None]]]],
        "roots": [0, -1],
        "ignored": 1,
    }
    t = InfoTree(data)
    s, np_, vp = t.nodes
    assert [n.nodeId for n in t.nodes] == [0, 1, 2]
    assert s.tp is tp and s.features is feats  # used as they are
    assert s.edges_out == [(np_, None), (vp, "obj")] and vp.edges_out == [(s, None)]
    assert t.roots == [s, vp]
    # Forward references build the same tree as backward ones; int and [i, None] agree.
    fwd = InfoTree({"nodes": [["a", [], [1, True, False]], ["b", [], []]], "roots": [0]})
    bwd = InfoTree({"nodes": [["b", [], []], ["a", [], [[0, None], [-2, None], [0, None]]]], "roots": [1]})
    assert shape(fwd)[0][0] == ("a", [], [(1, None), (1, None), (0, None)])
    assert shape(bwd)[0][1] == ("a", [], [(0, None), (0, None), (0, None)])
    assert fwd.nodes[0].edges_out == [(fwd.nodes[1], None), (fwd.nodes[1], None), (fwd.nodes[0], None)]
    # Tuples, generators and other sequences are accepted, a node entry's features None gives [].
    gen = InfoTree({"nodes": (e for e in [("a", None, ((1, "l", "extra"),)), ("b", ("f",), ())]), "roots": iter([1])})
    assert gen.nodes[0].features == [] and gen.nodes[0].edges_out == [(gen.nodes[1], "l")]
    assert gen.roots == [gen.nodes[1]] and gen.nodes[1].features == ("f",)


@pytest.mark.parametrize(
    "data, exc, message",
    [
        ({"roots": []}, KeyError, "nodes"),
        ({"nodes": []}, KeyError, "roots"),
        ({"nodes": [["a", []]], "roots": []}, ValueError, r"need more than 2 values to unpack"),
        ({"nodes": [["a", [], [], 1]], "roots": []}, ValueError, r"too many values to unpack \(expected 3\)"),
        ({"nodes": [["a", [], [1]]], "roots": []}, IndexError, "list index out of range"),
        ({"nodes": [["a", [], [-2]]], "roots": []}, IndexError, "list index out of range"),
        ({"nodes": [["a", [], [[0]]]], "roots": []}, IndexError, "out of range"),
        ({"nodes": [["a", [], [2**80]]], "roots": []}, IndexError, "cannot fit"),
        ({"nodes": [["a", [], [None]]], "roots": []}, TypeError, "not subscriptable"),
        ({"nodes": [["a", [], [["0", 1]]]], "roots": []}, TypeError, "list indices must be integers"),
        ({"nodes": [["a", [], 5]], "roots": []}, TypeError, "iterable"),
        ({"nodes": [["a", [], []]], "roots": [1]}, IndexError, "list index out of range"),
        ({"nodes": [["a", [], []]], "roots": 3}, TypeError, "not iterable"),
        ({"nodes": [5], "roots": []}, TypeError, "cannot unpack non-iterable int object"),
        ({"nodes": None, "roots": []}, TypeError, "iterable"),
        (5, TypeError, "not subscriptable"),
    ],
)
def test_bad_json_leaves_the_tree_untouched(data, exc, message):
    t = InfoTree(sentence())
    before = (t.nodes, t.roots)
    with pytest.raises(exc, match=message):
        t.__init__(data)
    assert t.nodes is before[0] and t.roots is before[1]
    fresh = InfoTree.__new__(InfoTree)
    with pytest.raises(exc):
        fresh.__init__(data)
    assert fresh.nodes is None and fresh.roots is None


def test_json_changed_while_the_tree_is_built():
    # Features compared with None and index objects run Python code, which may shrink or grow the
    # lists being read: the tree holds the entries and roots as they were reached.
    class Meddling(list):
        def __init__(self, items, action):
            super().__init__(items)
            self.action = action

        def __eq__(self, other):
            self.action()
            return False

        __hash__ = None

    class Index:
        def __init__(self, i, action):
            self.i, self.action = i, action

        def __index__(self):
            self.action()
            return self.i

    for change, count in ((lambda e: e.pop(), 2), (lambda e: e.append(["d", [], [0]]), 4)):
        entries = [["a", [], [1]], ["b", [], []], ["c", [], []]]
        entries[0][1] = Meddling(["f"], lambda: change(entries))
        t = InfoTree({"nodes": entries, "roots": [0]})
        assert [n.tp for n in t.nodes] == ["a", "b", "c", "d"][:count]
        assert [n.nodeId for n in t.nodes] == list(range(count))
        assert t.nodes[0].edges_out == [(t.nodes[1], None)] and t.roots == [t.nodes[0]]
    roots = [0, 1, 1]
    roots[0] = Index(0, lambda: roots.pop())
    t = InfoTree({"nodes": [["a", [], []], ["b", [], []]], "roots": roots})
    assert t.roots == [t.nodes[0], t.nodes[1]]
    roots = [0]
    roots[0] = Index(1, lambda: roots.append(0) if len(roots) < 3 else None)
    t = InfoTree({"nodes": [["a", [], []], ["b", [], []]], "roots": roots})
    assert t.roots == [t.nodes[1], t.nodes[0]]
    edges = [1, 0, 1]
    edges[0] = [Index(1, lambda: edges.clear()), "l"]
    with pytest.raises(RuntimeError, match="changed size"):
        InfoTree({"nodes": [["a", [], edges], ["b", [], []]], "roots": []})


# --- serialisations -------------------------------------------------------------------------


def test_as_json():
    assert InfoTree().as_json() == {"nodes": [], "roots": []}
    t = InfoTree(sentence())
    j = t.as_json()
    assert j == {"nodes": [("S", ["a", "b"], [(1, None)]), ("NP", ["x"], [])], "roots": [0]}
    assert j["nodes"][0][1] is t.nodes[0].features
    assert simplejson.loads(simplejson.dumps(j)) == {
        "nodes": [["S", ["a", "b"], [[1, None]]], ["NP", ["x"], []]],
        "roots": [0],
    }
    t.nodes.append(3)
    with pytest.raises(TypeError, match="Cannot convert int to quorvex.feature.InfoNode"):
        t.as_json()
    t = InfoTree(sentence())
    t.roots.append("r")
    with pytest.raises(TypeError, match="Cannot convert str to quorvex.feature.InfoNode"):
        t.as_json()
    t = InfoTree(sentence())
    t.nodes[0].edges_out.append((t.nodes[1],))
    with pytest.raises(ValueError, match="need more than 1 value to unpack"):
        t.as_json()


@given(json_graphs())
@settings(max_examples=200, deadline=None)
def test_json_round_trips(data):
    t = InfoTree(data)
    again = InfoTree(t.as_json())
    assert shape(again) == shape(t)
    via_text = InfoTree(simplejson.loads(simplejson.dumps(t.as_json())))
    assert shape(via_text) == shape(t)
    assert t.diff_with(again) is None and again.diff_with(via_text) is None


def test_as_tree_pieces():
    t = InfoTree(sentence())
    assert pieces_of(t) == ["(S ", "(a a)(b b)", "(NP ", "(x x)", ")", ")"]
    assert "".join(pieces_of(t)) == "(S (a a)(b b)(NP (x x)))"
    assert pieces_of(InfoNode("S")) == ["(S", "", ")"]
    edge_only = InfoNode("E")
    edge_only.add_edge(InfoNode("L"), "ignored label")
    assert pieces_of(edge_only) == ["(E ", "", "(L", "", ")", ")"]
    two_roots = InfoTree({"nodes": [["A", [], []], ["B", [], []]], "roots": [1, 0]})
    assert pieces_of(two_roots) == ["(B", "", ")"]
    odd = InfoNode(7, [1.5, "ü", "日本"])
    assert "".join(pieces_of(odd)) == "(7 (1.5 1.5)(ü ü)(日本 日本))"
    assert "".join(pieces_of(InfoNode("\ud800", ["\udcff"]))) == "(\ud800 (\udcff \udcff))"

    class Collector:
        def __init__(self):
            self.items = []

        def append(self, x):
            self.items.append(x)

    c = Collector()
    t.as_tree(parts_out=c)
    assert c.items == pieces_of(t)
    with pytest.raises(IndexError):
        InfoTree().as_tree([])
    broken = InfoNode("X", ["f"])
    broken.add_edge(5)
    out = []
    with pytest.raises(AttributeError):
        broken.as_tree(out)
    assert out == ["(X ", "(f f)"]


def test_many_distinct_labels_give_their_own_pieces():
    # Many labels of every length (short ones share pieces internally), in both opening forms.
    labels = ["L%d" % i for i in range(3000)] + ["x" * k for k in range(40)] + ["\xe9" * 3, "e\xe9", "", "日"]
    # Labels that differ in one byte only, at every position, for every short length.
    for k in range(1, 25):
        base = "abcdefghijklmnopqrstuvwxyz"[:k]
        labels += [base] + [base[:i] + "Z" + base[i + 1 :] for i in range(k)]
    nodes = [
        [lbl, ["f"] if i % 2 else [], [i + 1] if i % 3 == 0 and i + 1 < len(labels) else []]
        for i, lbl in enumerate(labels)
    ]
    t = InfoTree({"nodes": nodes, "roots": [0]})
    for _ in range(2):
        for node in t.nodes:
            expected = []
            ref_pieces(node, expected)
            assert pieces_of(node) == expected


def test_as_tree_over_nodes_of_every_kind():
    # Plain nodes next to ones with tuple features, wide labels, edge tuples, edge lists given as
    # lists or tuples, subclass nodes and non-str features, into a list and into another collector.
    class Sub(InfoNode):
        pass

    a, b, c, d, e = InfoNode("A", ["x"]), InfoNode("B", ("y", "z")), InfoNode("日", ["w"]), Sub("D"), InfoNode(5, [2])
    a.add_edge(b)
    a.edges_out.append([c, "list edge"])
    b.edges_out = ((d, None), (e, "l"))
    d.add_edge(InfoNode("F", ["ü", "日本", ""]))
    e.edges_out = iter([(InfoNode("G"), None)])
    expected = [
        "(A ",
        "(x x)",
        "(B ",
        "(y y)(z z)",
        "(D ",
        "",
        "(F ",
        "(ü ü)(日本 日本)( )",
        ")",
        ")",
        "(5 ",
        "(2 2)",
        "(G",
        "",
        ")",
        ")",
        ")",
        "(日 ",
        "(w w)",
        ")",
        ")",
    ]
    assert pieces_of(a) == expected

    class Collector:
        def __init__(self):
            self.items = []

        def append(self, x):
            self.items.append(x)

    e.edges_out = [(InfoNode("G"), None)]
    out = Collector()
    a.as_tree(out)
    assert out.items == expected
    # Pieces written into the node's own lists are seen as the walk goes on, as in the reference.
    for own in ("features", "edges_out"):
        results = []
        for walk in (ref_pieces, lambda node, out: node.as_tree(out)):
            n = InfoNode("N", ["f"])
            n.add_edge(InfoNode("C", ["g"]))
            try:
                walk(n, getattr(n, own))
                err = None
            except ValueError as exc:
                err = str(exc)
            results.append((list(n.features), [x if isinstance(x, str) else x[0].tp for x in n.edges_out], err))
        assert results[0] == results[1]


def test_features_of_every_length_are_written_whole():
    text = "".join(chr(c) for c in range(33, 127)) + "\xe9\xff"
    feats = [text[k % 7 : k % 7 + k] for k in range(60)] + ["\xe9" + text[:k] for k in range(20)]
    for chunk in range(0, len(feats), 3):
        node = InfoNode("N", feats[chunk : chunk + 3])
        expected = []
        ref_pieces(node, expected)
        assert pieces_of(node) == expected


@given(json_graphs(acyclic=True))
@settings(max_examples=150, deadline=None)
def test_as_tree_matches_the_recursive_reference(data):
    t = InfoTree(data)
    expected = []
    ref_pieces(t.roots[0], expected)
    assert pieces_of(t) == expected


def test_as_nodes():
    t = InfoTree(sentence())
    for n in t.nodes:
        n.nodeId = -1
    nodes, edges = [], []
    assert t.nodes[0].as_nodes(0, nodes, edges) == 5
    assert nodes == [(0, "S"), (1, "NP"), (2, "x"), (3, "a"), (4, "b")]
    assert edges == [(1, 2, "f"), (0, 1, None), (0, 3, "f"), (0, 4, "f")]
    seven = InfoNode("L", ["f"])
    seven.nodeId = 7
    nodes, edges = [], []
    assert seven.as_nodes(offset=3, node_list=nodes, edge_list=edges) == 4
    assert nodes == [(7, "L"), (3, "f")] and edges == [(7, 3, "f")]
    # The offset is converted only for an unnumbered node.
    assert InfoNode("n").as_nodes(2**31 - 1, [], []) == 2**31
    with pytest.raises(OverflowError):
        InfoNode("n").as_nodes(2**31, [], [])
    with pytest.raises(TypeError):
        InfoNode("n").as_nodes(1.5, [], [])
    assert seven.as_nodes(2.5, [], []) == 3.5
    with pytest.raises(TypeError):
        InfoNode("n").as_nodes(0, [])


@given(json_graphs(acyclic=True), st.integers(-3, 50))
@settings(max_examples=150, deadline=None)
def test_as_nodes_matches_the_recursive_reference(data, offset):
    t = InfoTree(data)
    for k, n in enumerate(t.nodes):
        n.nodeId = -1 if k % 2 == 0 else 100 + k  # a mix of numbered and unnumbered nodes
    ids = {id(n): n.nodeId for n in t.nodes}
    exp_nodes, exp_edges = [], []
    expected = ref_as_nodes(t.roots[0], offset, ids, exp_nodes, exp_edges)
    nodes, edges = [], []
    assert t.roots[0].as_nodes(offset, nodes, edges) == expected
    assert nodes == exp_nodes and edges == exp_edges
    assert all(n.nodeId == ids[id(n)] for n in t.nodes)


def test_as_subdue():
    one = InfoTree()
    one.add_node(InfoNode("S", ["a", "b"]), True)
    assert one.as_subdue() == ([("v", 1, "S"), ("v", 2, "a"), ("v", 3, "b"), ("e", 1, 2, "f"), ("e", 1, 3, "f")], 4)
    assert InfoTree().as_subdue(10) == ([], 10)
    t = InfoTree(sentence())
    records, nxt = t.as_subdue(start_offset=5)
    assert records == [
        ("v", 5, "S"),
        ("v", 6, "NP"),
        ("v", 7, "a"),
        ("v", 8, "b"),
        ("v", 9, "x"),
        ("e", 5, 6, None),
        ("e", 5, 7, "f"),
        ("e", 5, 8, "f"),
        ("e", 6, 9, "f"),
    ]
    assert nxt == 10
    # Consecutive trees numbered in one graph.
    second, end = one.as_subdue(nxt)
    assert second[0] == ("v", 10, "S") and end == 13

    class Duck:
        nodeId, tp, features, edges_out = 0, "D", ("q",), ()

    t.nodes = [Duck()]
    assert t.as_subdue() == ([("v", 1, "D"), ("v", 2, "q"), ("e", 1, 2, "f")], 3)

    class Incomplete:
        nodeId, tp, features = 0, "I", []

    t.nodes = [Incomplete()]
    with pytest.raises(AttributeError):
        t.as_subdue()


# --- comparison -----------------------------------------------------------------------------


def test_diff_with():
    t = InfoTree(sentence())
    same = InfoTree(sentence())
    assert t.diff_with(same) is None and t.diff_with(t) is None
    other_feats = InfoTree({"nodes": [["S", ["zzz"], [1]], ["NP", [], []]], "roots": [1]})
    assert t.diff_with(other_feats) is None  # neither features nor roots are compared
    extra_edge = InfoTree({"nodes": [["S", ["a"], [1, 0]], ["NP", [], []]], "roots": [0]})
    assert t.diff_with(extra_edge) is None and extra_edge.diff_with(t) is None
    for data in (
        {"nodes": [["S", [], [1]], ["VP", [], []]], "roots": [0]},
        {"nodes": [["S", [], [[1, "lbl"]]], ["NP", [], []]], "roots": [0]},
        {"nodes": [["S", [], [0]], ["NP", [], []]], "roots": [0]},
        {"nodes": [["S", [], [1]]], "roots": [0]},
    ):
        u = InfoTree(data) if len(data["nodes"]) > 1 else InfoTree({"nodes": [["S", [], []]], "roots": [0]})
        d = t.diff_with(other=u)
        assert d == (t, u) and d[0] is t and d[1] is u
    with pytest.raises(
        TypeError,
        match=r"Argument 'other' has incorrect type \(expected "
        r"quorvex.feature.InfoTree, got NoneType\)",
    ):
        t.diff_with(None)
    with pytest.raises(TypeError, match="got dict"):
        t.diff_with(sentence())
    bad = InfoTree(sentence())
    bad.nodes[1] = "node"
    with pytest.raises(TypeError, match="Cannot convert str to quorvex.feature.InfoNode"):
        t.diff_with(bad)
    bad = InfoTree(sentence())
    bad.nodes[0].edges_out[0] = (1, 2, 3)
    with pytest.raises(ValueError):
        t.diff_with(bad)
    with pytest.raises(TypeError):
        InfoTree.__new__(InfoTree).diff_with(t)


# --- deep and bad graphs --------------------------------------------------------------------


def chain_json(n):
    return {"nodes": [["n", ["f"], [i + 1] if i + 1 < n else []] for i in range(n)], "roots": [0]}


def test_long_chains_work_without_native_recursion():
    n = 100000
    t = InfoTree(chain_json(n))
    text = simplejson.dumps(t.as_json())
    back = InfoTree(simplejson.loads(text))
    assert len(back.nodes) == n and back.nodes[-1].nodeId == n - 1 and t.diff_with(back) is None
    for node in t.nodes:
        node.nodeId = -1
    u = InfoTree()
    u.add_node(t.nodes[0], True)
    assert len(u.nodes) == n and u.nodes[-1].nodeId == n - 1
    pieces = pieces_of(u)
    assert len(pieces) == 3 * n and pieces[-1] == ")"
    for node in t.nodes:
        node.nodeId = -1
    assert t.nodes[0].as_nodes(0, [], []) == 2 * n
    del t, u, back, pieces  # freeing the chains must not overflow the stack either
    gc.collect()


def test_cycles_end_in_an_exception():
    a, b, c = InfoNode("a"), InfoNode("b", ["f"]), InfoNode("c")
    a.add_edge(b)
    b.add_edge(c)
    c.add_edge(a)
    out = []
    with pytest.raises(RecursionError, match="cycle"):
        a.as_tree(out)
    assert out[:2] == ["(a ", ""]
    with pytest.raises(RecursionError, match="cycle"):
        a.as_nodes(0, [], [])
    selfloop = InfoNode("s")
    selfloop.add_edge(selfloop)
    with pytest.raises(RecursionError):
        InfoTree({"nodes": [["s", [], [0]]], "roots": [0]}).as_tree([])
    # A deep cycle is found as well.
    t = InfoTree(chain_json(1000))
    t.nodes[-1].add_edge(t.nodes[500])
    with pytest.raises(RecursionError):
        t.as_tree([])

    # Cycles through Python overrides end at the interpreter's recursion limit.
    class Through(InfoNode):
        def as_tree(self, parts_out):
            InfoNode.as_tree(self, parts_out)

    x, y = Through("x"), InfoNode("y")
    x.add_edge(y)
    y.add_edge(x)
    with pytest.raises(RecursionError):
        x.as_tree([])
    # Non-overlapping paths through a shared node are no cycle.
    d = InfoNode("d")
    top = InfoNode("top")
    top.add_edge(d)
    top.add_edge(d)
    assert "".join(pieces_of(top)) == "(top (d)(d))"


def test_cyclic_graphs_are_collected():
    freed = []

    class Tracked(InfoNode):
        def __del__(self):
            freed.append(self.tp)

    a, b = Tracked("a"), Tracked("b")
    a.add_edge(b)
    b.add_edge(a)
    t = InfoTree()
    t.add_node(a, True)
    del a, b, t
    gc.collect()
    assert sorted(freed) == ["a", "b"]


def test_diff_with_survives_labels_that_drop_the_nodes_labels():
    class Lab:
        def __ne__(self, other):
            t1.nodes[0].tp = t2.nodes[0].tp = None  # frees both labels unless held
            return NotImplemented

    t1 = InfoTree({"nodes": [[Lab(), [], []]], "roots": []})
    t2 = InfoTree({"nodes": [[Lab(), [], []]], "roots": []})
    assert t1.diff_with(t2) == (t1, t2)  # NotImplemented both ways: identity decides, they differ


def test_diff_with_uses_python_inequality():
    t = InfoTree({"nodes": [[float("nan"), [], []]], "roots": [0]})
    assert t.diff_with(t) == (t, t)  # nan != nan
    e = InfoTree({"nodes": [["S", [], [[0, float("nan")]]]], "roots": [0]})
    assert e.diff_with(e) == (e, e)


def test_tree_as_tree_returns_none_whatever_the_root_returns():
    class Leaf(InfoNode):
        def as_tree(self, parts_out):
            parts_out.append("(leaf)")
            return "not None"

    t = InfoTree()
    t.add_node(Leaf("x"), True)
    out = []
    assert t.as_tree(out) is None and out == ["(leaf)"]


@pytest.mark.parametrize("label", [1.5, 7, None, ("S",), b"S"])
def test_as_tree_of_non_str_labels_and_features(label):
    # Labels and features that are not str objects are written through
    # str(); their memory is never read as if they were str objects.
    pieces = []
    InfoNode(label, [1.5, b"x"]).as_tree(pieces)
    assert "".join(pieces) == "(%s (1.5 1.5)(b'x' b'x'))" % (label,)
    pieces = []
    InfoNode("S", [1.5]).as_tree(pieces)
    assert "".join(pieces) == "(S (1.5 1.5))"


def test_as_tree_label_replaced_by_a_callback():
    class Label:
        def __init__(self):
            self.node = None

        def __str__(self):
            self.node.tp = "other"  # drops the last reference to this label mid-call
            self.node.features = ["g"]
            return "L"

    label = Label()
    n = InfoNode(label, ["f"])
    label.node = n
    del label
    pieces = []
    n.as_tree(pieces)
    assert "".join(pieces) == "(L (f f))" and n.tp == "other"
