import pytest
import simplejson

from quorvex.feature import FeatureList, InfoTree, Multipart


def tree_json(label="S", child="NP"):
    return {"nodes": [[label, ["a"], [1]], [child, [], []]], "roots": [0]}


def test_add_tree():
    m = Multipart([["b", "a"]])
    m.add_tree(tree_json())
    m.add_tree(data=tree_json("T"))
    assert len(m.trees) == 2 and all(type(t) is InfoTree for t in m.trees)
    assert m.trees[1].nodes[0].tp == "T"
    assert len(m) == 1 and m[0] == m[-1]  # trees do not count as parts
    m.trees = None
    m.add_tree(tree_json())
    assert len(m.trees) == 1
    fresh = Multipart.__new__(Multipart)
    fresh.add_tree(None)
    assert len(fresh.trees) == 1 and fresh.trees[0].nodes == []
    before = m.trees
    with pytest.raises(ValueError, match="need more than 2 values to unpack"):
        m.add_tree({"nodes": [["a", []]], "roots": []})
    with pytest.raises(KeyError):
        m.add_tree({"nodes": []})
    assert m.trees is before and len(m.trees) == 1
    m.trees = None
    with pytest.raises(IndexError):
        m.add_tree({"nodes": [], "roots": [0]})
    assert m.trees == []  # created, but nothing appended
    m.trees = ()
    with pytest.raises(AttributeError):
        m.add_tree(None)


def test_as_json():
    assert Multipart([]).as_json() == {"type": "multipart", "parts": [], "trees": []}
    m = Multipart([["b", ("a", 2)], []])
    m.add_tree(tree_json())
    j = m.as_json()
    assert j == {
        "type": "multipart",
        "parts": [[("a", 2.0), ("b", 1.0)], []],
        "trees": [{"nodes": [("S", ["a"], [(1, None)]), ("NP", [], [])], "roots": [0]}],
    }
    back = simplejson.loads(simplejson.dumps(j))
    assert [list(p) for p in Multipart(back["parts"])] == [list(p) for p in m]
    assert InfoTree(back["trees"][0]).diff_with(m.trees[0]) is None

    class Foreign:
        def as_json(self):
            return "foreign"

    m.trees.append(Foreign())
    assert m.as_json()["trees"][-1] == "foreign"
    m.trees = None
    assert m.as_json()["trees"] == []
    m.trees = [5]
    with pytest.raises(AttributeError):
        m.as_json()


def test_diff_with():
    m = Multipart([["a"], ["b"]])
    for t in (tree_json(), tree_json("T")):
        m.add_tree(t)
    assert m.diff_with(m) is None
    same = Multipart([["a"], ["b"], ["extra part"]])
    for t in (tree_json(), tree_json("T")):
        same.add_tree(t)
    assert m.diff_with(same) is None  # beyond the shorter list nothing is compared
    other = Multipart([["a"], ["b"]])
    for t in (tree_json(), tree_json("U")):
        other.add_tree(t)
    d = m.diff_with(other)
    assert d == {"trees": [(m.trees[1], other.trees[1])]} and "parts" not in d
    parts_differ = Multipart([["a", "z"], ["b"]])
    parts_differ.trees = list(m.trees)
    d = m.diff_with(other=parts_differ)
    assert d == {"parts": [FeatureList(["a"]).diff_with(FeatureList(["a", "z"]))]}
    both = Multipart([["x"], ["b"]])
    both.add_tree(tree_json("Z"))
    d = m.diff_with(both)
    assert set(d) == {"parts", "trees"} and len(d["parts"]) == 1 and d["trees"] == [(m.trees[0], both.trees[0])]
    # A tree list set to None counts as empty.
    no_trees = Multipart([["a"], ["b"]])
    no_trees.trees = None
    assert m.diff_with(no_trees) is None and no_trees.diff_with(m) is None
    with pytest.raises(
        TypeError,
        match=r"Argument 'other' has incorrect type \(expected "
        r"quorvex.feature.Multipart, got NoneType\)",
    ):
        m.diff_with(None)
    with pytest.raises(TypeError, match="got list"):
        m.diff_with([["a"]])
    odd = Multipart([["a"]])
    odd.trees = [None]
    with pytest.raises(
        TypeError,
        match=r"Argument 'other' has incorrect type \(expected "
        r"quorvex.feature.InfoTree, got NoneType\)",
    ):
        m.diff_with(odd)
    odd.parts = [None]
    with pytest.raises(TypeError):
        m.diff_with(odd)
