from collections import Counter

import pytest
from hypothesis import given, settings, strategies as st

from quorvex.feature import FeatureHasher


def wrap64(x):
    """x in two's-complement signed 64-bit arithmetic."""
    return (x + 2**63) % 2**64 - 2**63


def ref_index(s, target, dims):
    # Python's % is already the floored modulo (the sign of the divisor).
    return wrap64(hash(s) + wrap64(hash(target) * 97)) % dims


def ref_vector(lst, targets, dims):
    counts = Counter(ref_index(s, t, dims) for s in lst for t in targets)
    return sorted((k, float(v)) for k, v in counts.items())


# Ints hash to themselves (modulo 2**61 - 1), so they reach the wrap-around.
features = st.one_of(st.text(max_size=6), st.integers(-(2**62), 2**62), st.sampled_from([None, 1.5, (1, "a")]))


@given(st.lists(features, max_size=12), features, st.integers(1, 2**31 - 1))
@settings(max_examples=300, deadline=None)
def test_call_matches_the_index_arithmetic(lst, target, dims):
    assert list(FeatureHasher(dims)(lst, target)) == ref_vector(lst, [target], dims)


@given(st.lists(features, max_size=8), st.lists(features, max_size=6), st.integers(1, 1000))
@settings(max_examples=200, deadline=None)
def test_cross_is_the_sum_of_calls(lst, lst2, dims):
    h = FeatureHasher(dims)
    got = h.cross(lst, lst2)
    assert list(got) == ref_vector(lst, lst2, dims)
    assert sum(v for _, v in got) == len(lst) * len(lst2)
    total = Counter()
    for t in lst2:
        total.update(dict(h(lst, t)))
    assert dict(got) == dict(total)


def test_wrap_around_and_defaults():
    h = FeatureHasher()
    assert h.num_dimensions == 514229
    with pytest.raises(AttributeError):
        h.num_dimensions = 5
    big = 2**61 - 2  # hash(big) == big; 97 * big overflows 64 bits
    assert list(h([big], target=big)) == [(ref_index(big, big, 514229), 1.0)]
    assert ref_index(big, big, 514229) != (big + 97 * big) % 514229  # the wrap matters
    assert list(h(["same", "same"], target="t")) == [(ref_index("same", "t", 514229), 2.0)]
    assert list(h(["a"])) == [(ref_index("a", None, 514229), 1.0)]  # the default target is None
    assert list(h(lst=iter(["a"]), target="x")) == list(h(["a"], "x"))  # any iterable, keywords


def test_cross_edges_and_scratch_reuse():
    h = FeatureHasher(101)
    assert len(h.cross([], ["a", "b"])) == 0 and len(h.cross(["a", "b"], [])) == 0
    assert list(h.cross(["a", "b"], ["t"])) == list(h(["a", "b"], "t"))
    # Longer, shorter and longer second lists in turn reuse and grow the scratch array.
    for n in (3, 10, 1, 0, 25, 2):
        lst2 = ["t%d" % i for i in range(n)]
        assert list(h.cross(["a", "b", "c"], lst2)) == ref_vector(["a", "b", "c"], lst2, 101)
    assert list(h.cross(lst=["a"], lst2=("x", "y"))) == ref_vector(["a"], ["x", "y"], 101)
    assert list(h.cross(["a"], {0: "x", 1: "y"})) == ref_vector(["a"], ["x", "y"], 101)  # len + int indexing


def test_reentrant_cross_from_a_hash():
    h = FeatureHasher(97)
    inner = []

    class Sneaky:
        def __hash__(self):
            inner.append(list(h.cross(["p"], ["q", "r", "s", "u"])))
            return 5

    outer = h.cross(["a", "b"], [Sneaky(), "t"])
    assert list(outer) == ref_vector(["a", "b"], [5, "t"], 97)  # hash(5) == 5
    assert inner == [ref_vector(["p"], ["q", "r", "s", "u"], 97)]


def test_zero_and_negative_dimensions():
    h = FeatureHasher(0)
    assert len(h([])) == 0 and len(h.cross(["a"], [])) == 0
    with pytest.raises(ZeroDivisionError, match="integer division or modulo by zero"):
        h(["a"])
    with pytest.raises(ZeroDivisionError, match="integer division or modulo by zero"):
        h.cross(["a"], ["b"])
    neg = FeatureHasher(-7)
    assert neg.num_dimensions == -7
    assert list(neg([14, -21], target=0)) == [(0, 2.0)]  # floored: 14 mod -7 == 0
    assert ref_index(3, 0, -7) == -4
    with pytest.raises(OverflowError, match="can't convert negative value to unsigned int"):
        neg([3], target=0)  # index -4: sparse vectors have no negative indices
    assert list(FeatureHasher(-1)([2**62], 2**62)) == [(0, 1.0)]


def test_bad_input():
    with pytest.raises(OverflowError):
        FeatureHasher(2**31)
    with pytest.raises(TypeError):
        FeatureHasher("10")
    with pytest.raises(TypeError):
        FeatureHasher(10, 3)
    h = FeatureHasher(10)
    with pytest.raises(TypeError, match="unhashable"):
        h(["a", ["b"]])
    with pytest.raises(TypeError, match="unhashable"):
        h(["a"], target={})
    with pytest.raises(TypeError, match="unhashable"):
        h([], target={})  # the target is hashed first
    with pytest.raises(TypeError, match="unhashable"):
        h.cross([["a"]], ["b"])
    with pytest.raises(TypeError, match="unhashable"):
        h.cross(["a"], [["b"]])
    with pytest.raises(TypeError):
        h.cross(["a"], iter(["b"]))  # no len()
    with pytest.raises(TypeError):
        h.cross(["a"])
    with pytest.raises(TypeError):
        h(None)
    with pytest.raises(TypeError):
        h(lst=["a"], other=1)


def test_uninitialised_instance_fails_cleanly():
    h = FeatureHasher.__new__(FeatureHasher)
    assert h.num_dimensions == 0
    with pytest.raises(ZeroDivisionError):
        h(["a"])
    with pytest.raises(AttributeError):
        h.cross(["a"], ["b"])  # no result cache to clear
    h.__init__(13)
    assert list(h.cross(["a"], ["b"])) == ref_vector(["a"], ["b"], 13)
    h.__init__()  # runs again: default dimensions, fresh scratch
    assert h.num_dimensions == 514229 and list(h.cross(["a"], ["b"])) == ref_vector(["a"], ["b"], 514229)
