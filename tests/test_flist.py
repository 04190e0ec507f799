import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvex.feature import FeatureList, Multipart


def pairs(fl):
    return list(fl)


def test_sorting_values_and_indexing():
    fl = FeatureList(["b", ("a", 2)])
    assert pairs(fl) == [("a", 2.0), ("b", 1.0)]
    assert fl[0] == ("a", 2.0) and fl[-1] == ("b", 1.0) and len(fl) == 2
    assert pairs(FeatureList(["x", "x"])) == [("x", 1.0), ("x", 1.0)]
    assert pairs(FeatureList([("x", 1), ("a", 3), ("x", 2)])) == [("a", 3.0), ("x", 1.0), ("x", 2.0)]
    assert pairs(FeatureList(["ab"])) == [("ab", 1.0)]
    with pytest.raises(IndexError):
        fl[2]
    with pytest.raises(TypeError):
        fl["a"]


def test_sort_matches_python_ordering():
    names = ["é", "e", "Z", "z", "日本", "\U0001f600", "ß", "a^b", "", "ȧ"]
    items = [(n, i) for i, n in enumerate(names)] + names
    expected = sorted(items, key=lambda x: x if isinstance(x, str) else x[0])
    got = pairs(FeatureList(items))
    assert [n for n, _ in got] == [x if isinstance(x, str) else x[0] for x in expected]
    # lone surrogates and str subclasses take the generic sort, with the same result
    odd = ["b", "\ud800", type("S", (str,), {})("a")]
    assert [n for n, _ in FeatureList(odd)] == sorted(odd)


def test_other_containers_and_values():
    assert pairs(FeatureList(("b", "a"))) == [("a", 1.0), ("b", 1.0)]
    assert pairs(FeatureList({"b": 1, "a": 2})) == [("a", 1.0), ("b", 1.0)]
    assert pairs(FeatureList([["a", 1.5]])) == [("a", 1.5)]
    assert pairs(FeatureList([(3, 1), (1, 2)])) == [(1, 2.0), (3, 1.0)]

    class Num:
        def __float__(self):
            return 0.25

    assert pairs(FeatureList([("a", Num())])) == [("a", 0.25)]


def test_construction_errors():
    with pytest.raises(TypeError):
        FeatureList(iter(["a"]))  # no len
    with pytest.raises(TypeError):
        FeatureList(None)
    with pytest.raises(TypeError):
        FeatureList([("a", "b")])  # value does not convert
    with pytest.raises(ValueError, match=r"too many values to unpack \(expected 2\)"):
        FeatureList([("a", 1, 2)])
    with pytest.raises(ValueError, match="need more than 1 value to unpack"):
        FeatureList([("a",)])
    with pytest.raises(TypeError):
        FeatureList(["a", (1, 2)])  # str and int names do not compare
    with pytest.raises(TypeError):
        FeatureList([5])  # no first element


def test_repr_add_and_reinit():
    assert repr(FeatureList([])) == "FeatureList([])"
    assert str(FeatureList([("a", 2), "b"])) == "FeatureList([('a', 2.0), ('b', 1.0)])"
    assert pairs(FeatureList(["b"]) + ["a"]) == pairs(FeatureList(["a", "b"]))
    assert pairs(["c"] + FeatureList(["b"])) == [("b", 1.0), ("c", 1.0)]
    fl = FeatureList(["a"])
    fl.__init__(["z", "y"])
    assert pairs(fl) == [("y", 1.0), ("z", 1.0)]
    with pytest.raises(ValueError):
        fl.__init__([("a", 1, 2)])
    assert pairs(fl) == [("y", 1.0), ("z", 1.0)]  # a failed re-run changes nothing
    blank = FeatureList.__new__(FeatureList)
    assert len(blank) == 0 and list(blank) == []


def test_diff_with():
    assert FeatureList([]).diff_with(FeatureList([])) is None
    assert FeatureList(["a", "b"]).diff_with(FeatureList(["b", "c"])) == [
        ("-", "a", 1.0),
        (" ", "b", 1.0),
        ("+", "c", 1.0),
    ]
    assert FeatureList([("a", 1), "b"]).diff_with(FeatureList([("a", 2), "b"])) == [(" ", "a", 1.0), (" ", "b", 1.0)]
    nan = FeatureList([("a", float("nan"))])
    d = nan.diff_with(nan)
    assert len(d) == 1 and d[0][:2] == (" ", "a") and d[0][2] != d[0][2]
    assert FeatureList(["a", "b", "c"]).diff_with(FeatureList(["b"])) == [
        ("-", "a", 1.0),
        (" ", "b", 1.0),
        ("-", "c", 1.0),
    ]
    with pytest.raises(TypeError, match="Argument 'other' has incorrect type"):
        FeatureList([]).diff_with(["a"])
    with pytest.raises(TypeError):
        FeatureList([]).diff_with(None)


def test_multipart():
    m = Multipart([["b", "a"], []])
    assert len(m) == 2 and m.trees == []
    assert pairs(m[0]) == [("a", 1.0), ("b", 1.0)] and pairs(m[-1]) == []
    assert isinstance(m.parts[1], FeatureList)
    m.trees.append("tree")
    assert len(m) == 2
    assert len(Multipart([])) == 0
    with pytest.raises(IndexError):
        m[2]
    del m.trees
    assert m.trees is None
    with pytest.raises(ValueError):
        Multipart([[("a", 1, 2)]])
    blank = Multipart.__new__(Multipart)
    assert blank.parts is None
    with pytest.raises(TypeError):
        len(blank)


def test_diff_with_survives_names_that_rebuild_the_lists():
    class Name(str):
        def __ne__(self, other):
            a.__init__(["z"])  # replaces a's names and values mid-comparison
            return str.__ne__(self, other)

    a = FeatureList([Name("x"), Name("y")])
    b = FeatureList(["x", "y"])
    assert a.diff_with(b) is None  # compared as they were when the call began
    nan = float("nan")
    assert FeatureList([(nan, 1.0)]).diff_with(FeatureList([(nan, 1.0)])) is not None


# --- FeatureList construction -------------------------------------------------------------------

pieces = st.sampled_from(["a", "b", "\x00", "é", "日", "w=", "prefix__"])
text = st.lists(pieces, max_size=5).map(lambda t: "shared_p" + "".join(t))  # one 8-byte prefix
item = st.one_of(
    text,
    st.text(max_size=3),
    st.tuples(text, st.integers(-3, 3)),
    st.tuples(text, st.floats(-2, 2)),
    st.lists(text, min_size=1, max_size=1).map(lambda l: [l[0], 0.5]),
)


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
        fl.__init__([("b", 10**400), "c"])
    assert list(fl) == [("a", 1.0)]
    assert list(FeatureList([("x", True), ("y", 2**53)])) == [("x", 1.0), ("y", float(2**53))]
