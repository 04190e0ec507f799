import os
from collections import Counter

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

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


# --- murmur3: indices that are the same in every process ------------------------------------


def murmur3_ref(data, seed):
    """MurmurHash3 x86_32 in plain Python, signed, as a reference."""
    m = 0xFFFFFFFF
    rotl = lambda x, r: ((x << r) | (x >> (32 - r))) & m

    def scramble(k):
        return (rotl((k * 0xCC9E2D51) & m, 15) * 0x1B873593) & m

    h = seed
    n = len(data) // 4 * 4
    for i in range(0, n, 4):
        h ^= scramble(int.from_bytes(data[i : i + 4], "little"))
        h = (rotl(h, 13) * 5 + 0xE6546B64) & m
    if len(data) & 3:
        h ^= scramble(int.from_bytes(data[n:], "little"))
    h ^= len(data) & m
    for shift, mul in ((16, 0x85EBCA6B), (13, 0xC2B2AE35), (16, None)):
        h ^= h >> shift
        if mul:
            h = (h * mul) & m
    return h - 2**32 if h >= 2**31 else h


def key_bytes(k):
    return k if isinstance(k, bytes) else (str(int(k)) if isinstance(k, int) else k).encode("utf-8")


def murmur_index(s, target, dims, seed):
    t = 0 if target is None else murmur3_ref(key_bytes(target), seed)
    return (murmur3_ref(key_bytes(s), seed) + 97 * t) % dims


murmur_keys = st.one_of(st.text(max_size=9), st.binary(max_size=9), st.integers(-(2**70), 2**70), st.booleans())


@given(
    st.lists(murmur_keys, max_size=10),
    st.one_of(st.none(), murmur_keys),
    st.integers(-50, 2**31 - 1),
    st.integers(0, 2**32 - 1),
)
@settings(max_examples=300, deadline=None)
def test_murmur3_matches_the_reference(lst, target, dims, seed):
    if dims <= 0:
        dims = 2**31 - 1 if dims == 0 else -dims
    h = FeatureHasher(dims, hash="murmur3", seed=seed)
    counts = Counter(murmur_index(s, target, dims, seed) for s in lst)
    assert list(h(lst, target)) == sorted((k, float(v)) for k, v in counts.items())
    assert list(h.cross(lst, [target, "x"])) == list(h(lst, target) + h(lst, "x"))


def test_murmur3_equals_scikit_learn():
    sk = pytest.importorskip("sklearn.utils")
    words = ["", "a", "ab", "abc", "abcd", "abcde", "héllo wörld", "日本語のテキスト", "x" * 1001, "tag=NN|w=the"]
    for seed in (0, 1, 97, 2**32 - 1):
        h = FeatureHasher(2**31 - 1, hash="murmur3", seed=seed)
        for w in words:
            assert list(h([w])) == [(sk.murmurhash3_32(w, seed=seed) % (2**31 - 1), 1.0)]
            assert murmur3_ref(w.encode(), seed) == sk.murmurhash3_32(w, seed=seed)


HASH_IN_CHILD = (
    "from quorvex.feature import FeatureHasher, CountingBloomFilter\n"
    "h = FeatureHasher(1000003, hash='murmur3', seed=7)\n"
    "print(list(h(['the', 'w=dog', 'ü', b'raw', 12])), list(h(['a', 'b'], 'NN')), list(h(['a'])))\n"
    "c = CountingBloomFilter(1009, 4, hash='murmur3', seed=7)\n"
    "c.add_count('the', 3)\n"
    "print([c.get_count(w) for w in ('the', 'dog')], c.__reduce__()[2].find(3))\n"
)


def test_murmur3_indices_are_the_same_in_every_process():
    import subprocess
    import sys

    outputs = set()
    for seed in ("0", "1", "12345", "random"):
        env = dict(os.environ, PYTHONHASHSEED=seed)
        out = subprocess.run(
            [sys.executable, "-c", HASH_IN_CHILD], env=env, capture_output=True, text=True, check=True, timeout=120
        )
        outputs.add(out.stdout)
    assert len(outputs) == 1
    # And they are the ones this process computes.
    here = subprocess.run(
        [sys.executable, "-c", HASH_IN_CHILD], capture_output=True, text=True, check=True, timeout=120
    ).stdout
    h = FeatureHasher(1000003, hash="murmur3", seed=7)
    assert here.splitlines()[0] == str(list(h(["the", "w=dog", "ü", b"raw", 12]))) + " " + str(
        list(h(["a", "b"], "NN"))
    ) + " " + str(list(h(["a"])))
    assert outputs == {here}


def test_hash_option_bad_input():
    with pytest.raises(ValueError, match="'python' or 'murmur3'"):
        FeatureHasher(10, hash="md5")
    with pytest.raises(TypeError):
        FeatureHasher(10, hash=3)
    with pytest.raises(OverflowError):
        FeatureHasher(10, hash="murmur3", seed=-1)
    with pytest.raises(OverflowError):
        FeatureHasher(10, hash="murmur3", seed=2**32)
    h = FeatureHasher(10, hash="murmur3")
    for bad in (1.5, None, ("a",), ["a"], object()):
        with pytest.raises(TypeError, match="murmur3 hashes str, bytes or int"):
            h([bad])
        if bad is not None:  # a None target adds 0, in cross() as in h()
            with pytest.raises(TypeError, match="murmur3 hashes str, bytes or int"):
                h.cross(["a"], [bad])
    with pytest.raises(TypeError, match="murmur3 hashes str, bytes or int"):
        h(["a"], target=1.5)
    with pytest.raises(UnicodeEncodeError):
        h(["\ud800"])  # a lone surrogate has no UTF-8 bytes
    assert (h.num_dimensions, h.hash, h.seed) == (10, "murmur3", 0)
    assert FeatureHasher().hash == "python"


@pytest.mark.parametrize("hash", ["python", "murmur3"])
def test_hasher_pickles(hash):
    import pickle

    h = FeatureHasher(1009, hash=hash, seed=5)
    h.cross(["a"], ["b", "c", "d"])  # the scratch array is not state
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        r = pickle.loads(pickle.dumps(h, protocol))
        assert type(r) is FeatureHasher
        assert (r.num_dimensions, r.hash, r.seed) == (1009, hash, 5)
        assert list(r(["x", "y"], "t")) == list(h(["x", "y"], "t"))


def test_murmur3_batches_match_single_calls():
    pytest.importorskip("scipy")
    h = FeatureHasher(101, hash="murmur3", seed=3)
    lists = [["a", "b"], [], ["c", b"d", 5]]
    for target in (None, "NN"):
        m = h.transform(lists, target)
        for row, lst in enumerate(lists):
            got = m.getrow(row)
            assert sorted(zip(got.indices.tolist(), got.data.tolist())) == list(h(lst, target))
