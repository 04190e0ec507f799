import io
import itertools

import pytest

from quorvex.feature import FCombo, FeatureList, InfoNode, InfoTree, Multipart


def bracketed(tree):
    pieces = []
    tree.as_tree(pieces)
    return "".join(pieces)


def pairs(fc, part):
    out = io.BytesIO()
    fc(part).write_pairs(out)
    return out.getvalue()


def reference(fc, m):
    """The expected bytes, assembled from the pieces the markers frame."""
    out = b""
    if m.trees is not None:
        for t in m.trees:
            out += b" |BT| " + bracketed(t).encode("utf-8")
        out += b"|ET|"
    out += pairs(fc, m[0])
    for part in m.parts[1:]:
        out += b"|BV|" + pairs(fc, part) + b" |EV| "
    return out


def export(fc, m):
    out = io.BytesIO()
    assert fc.to_svmltk(m, out) is None
    return out.getvalue()


TREES = [
    {"nodes": [["S", ["a", "b"], [1]], ["NP", ["x"], []]], "roots": [0]},
    {"nodes": [["VP", [], []]], "roots": [0]},
]
PARTS = [["w=dog", "suf=og"], ["rel=nsubj"], [("len", 3)]]


@pytest.mark.parametrize("n_trees, n_parts", list(itertools.product([None, 0, 1, 2], [1, 2, 3])))
def test_marker_order_for_every_combination(n_trees, n_parts):
    fc = FCombo(2)
    m = Multipart(PARTS[:n_parts])
    if n_trees is None:
        m.trees = None
    else:
        for t in TREES[:n_trees]:
            m.add_tree(t)
    got = export(fc, m)
    assert got == reference(fc, m)
    text = got.decode("ascii")
    assert text.count(" |BT| ") == (n_trees or 0)
    assert text.count("|ET|") == (0 if n_trees is None else 1)
    assert text.count("|BV|") == text.count(" |EV| ") == n_parts - 1
    if n_trees is None:
        assert text.startswith(" 1:")  # the pairs of part 0, no markers at all
    if n_trees == 0:
        assert text.startswith("|ET| 1:")
    if n_parts > 1:
        assert text.endswith(" |EV| ")
    assert not text.endswith("\n")


def test_worked_example():
    fc = FCombo(1)
    m = Multipart([["a", "b"], ["c"]])
    m.add_tree(TREES[0])
    assert export(fc, m) == b" |BT| (S (a a)(b b)(NP (x x)))|ET| 1:1 2:1 |BV| 3:1  |EV| "
    # The same example again: same indices, the dictionary does not grow.
    assert export(fc, m) == b" |BT| (S (a a)(b b)(NP (x x)))|ET| 1:1 2:1 |BV| 3:1  |EV| "
    assert list(fc.dict) == ["a", "b", "c"]


def test_each_part_is_combined_on_its_own_with_the_bias():
    fc = FCombo(2, bias_item="<b>", scale=5.0, norm_p=2.0)
    m = Multipart([["a", "b"], ["c", "d"]])
    text = export(fc, m).decode()
    first, rest = text.split("|BV|")
    bias = fc.dict["<b>"] + 1
    assert " %d:1 " % bias in first and " %d:1 " % bias in rest
    # Second parts are combined up to order n as well, with weight 1 (no scale, no norm).
    assert "c^d" in fc.dict
    assert " %d:1 " % (fc.dict["c^d"] + 1) in rest


def test_non_ascii_labels_are_written_as_utf8():
    fc = FCombo(1)
    m = Multipart([["ü"]])
    m.add_tree({"nodes": [["Äé€", ["日本"], [[1, "ignored"]]], ["🙂", [], []]], "roots": [0]})
    got = export(fc, m)
    assert got == " |BT| (Äé€ (日本 日本)(🙂))|ET| 1:1 ".encode()
    latin = Multipart([["a"]])
    latin.add_tree({"nodes": [["\xe9", ["\xff"], []]], "roots": [0]})
    assert export(fc, latin) == " |BT| (\xe9 (\xff \xff))|ET| 2:1 ".encode()


def test_pieces_of_other_types():
    class BytesTree(InfoTree):
        def as_tree(self, parts_out):
            parts_out.append(b"(raw")
            parts_out.append("\u00e9")
            parts_out.append(bytearray(b")"))

    fc = FCombo(1)
    m = Multipart([["a"]])
    m.trees = [BytesTree()]
    out = []

    class Recorder:
        def write(self, x):
            out.append(x)

    fc.to_svmltk(m, Recorder())
    assert b"".join(out) == b" |BT| (raw\xc3\xa9)|ET| 1:1 "
    assert out[1] == bytearray(b")")  # a piece of another kind is handed over as it is


def test_subclass_call_is_used():
    class Upper(FCombo):
        def __call__(self, flist, labels=None):
            return FCombo.__call__(self, FeatureList([(n.upper(), v) for n, v in flist]), labels)

    fc = Upper(1)
    assert export(fc, Multipart([["a"], ["b"]])) == b"|ET| 1:1 |BV| 2:1  |EV| "
    assert list(fc.dict) == ["A", "B"]


def test_bad_input():
    fc = FCombo(1)
    for bad in (None, [["a"]], FeatureList(["a"])):
        with pytest.raises(
            TypeError,
            match=r"Argument 'flist' has incorrect type \(expected "
            r"quorvex.feature.Multipart, got ",
        ):
            fc.to_svmltk(bad, io.BytesIO())
    with pytest.raises(TypeError, match="missing required argument 'f'"):
        fc.to_svmltk(Multipart([["a"]]))
    with pytest.raises(IndexError):
        export(fc, Multipart([]))
    # A later part of the wrong type fails before its opener; None fails after it.
    m = Multipart([["a"], ["b"], ["c"]])
    m.parts[2] = 5
    out = io.BytesIO()
    with pytest.raises(TypeError, match="Cannot convert int to quorvex.feature.FeatureList"):
        fc.to_svmltk(m, out)
    assert out.getvalue().endswith(b" |EV| ")
    m.parts[2] = None
    out = io.BytesIO()
    with pytest.raises(TypeError):
        fc.to_svmltk(m, out)
    assert out.getvalue().endswith(b" |EV| |BV|")
    # Trees: None fails when its text is asked for, another type at once.
    for tree, exc in ((None, AttributeError), (5, TypeError)):
        m = Multipart([["a"]])
        m.trees = [InfoTree(TREES[1]), tree]
        out = io.BytesIO()
        with pytest.raises(exc):
            fc.to_svmltk(m, out)
        assert out.getvalue() == b" |BT| (VP)"  # what was written before stays written
    m = Multipart([["a"]])
    m.trees = [InfoTree()]
    with pytest.raises(IndexError):
        export(fc, m)
    m = Multipart([["a"]])
    m.add_tree({"nodes": [["ok", ["\ud800"], []]], "roots": [0]})
    out = io.BytesIO()
    with pytest.raises(UnicodeEncodeError):
        fc.to_svmltk(m, out)
    assert out.getvalue() == b" |BT| (ok "
    with pytest.raises(AttributeError):
        fc.to_svmltk(Multipart([["a"]]), None)
    with pytest.raises(TypeError, match="FCombo.dict is None"):
        FCombo.__new__(FCombo).to_svmltk(Multipart([["a"]]), io.BytesIO())


def test_text_streams_get_text():
    fc = FCombo(1)
    m = Multipart([["a"]])
    out = io.StringIO()
    with pytest.raises(TypeError):
        fc.to_svmltk(m, out)  # markers are bytes; a text stream refuses the first write
    m.trees = None
    fc.to_svmltk(m, out)  # without markers only the pairs are written, as text
    assert out.getvalue() == " 1:1 "


def test_deep_tree_exports():
    fc = FCombo(1)
    n = 20000
    m = Multipart([["a"]])
    m.add_tree({"nodes": [["n", [], [i + 1] if i + 1 < n else []] for i in range(n)], "roots": [0]})
    text = export(fc, m)
    assert text.startswith(b" |BT| (n (n (n") and text.count(b")") == n
    node = InfoNode("loop")
    node.add_edge(node)
    m.trees[0].roots[0] = node
    with pytest.raises(RecursionError):
        export(fc, m)
