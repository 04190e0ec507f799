import contextlib
import gc
import io
import sys
import tracemalloc

import pytest
from conftest import unraisable_reports
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvex.alphabet import StringAlphabet
from quorvex.feature import BloomFMap, CountingBloomFilter

WARNING = "Holy Blooming Filters! There's something wrong!\n"


def positions(s, size, n_addrs):
    """Counter positions with the 32-bit double-hashing arithmetic."""
    a = hash(s) & 0xFFFFFFFF
    b = hash("foo|%s" % (s,)) & 0xFFFFFFFF
    return [((a + i * b) & 0xFFFFFFFF) % size for i in range(n_addrs)]


class RefFilter:
    """A plain-Python counting Bloom filter with the same positions and rules."""

    def __init__(self, size, n_addrs):
        self.size, self.n_addrs = size, n_addrs
        self.c = [0] * size
        self.warnings = 0

    def get_count(self, s):
        pos = positions(s, self.size, self.n_addrs)
        if self.c[pos[0]] == 0:
            return 0
        return min(self.c[p] for p in pos)

    def add_count(self, s, n):
        m = 255
        for p in positions(s, self.size, self.n_addrs):
            v = self.c[p] + n
            self.c[p] = v % 256
            m = min(m, v)
        return m

    def remove_count(self, s, n):
        m = 255
        for p in positions(s, self.size, self.n_addrs):
            v = self.c[p] - n
            if v < 0:
                self.warnings += 1
                v = 0
            self.c[p] = v % 256
            m = min(m, v)
        return m


ops = st.lists(
    st.tuples(
        st.sampled_from(["get", "add", "remove"]), st.sampled_from(["a", "b", "c", "dd", 7, None]), st.integers(-3, 300)
    ),
    max_size=40,
)


@given(st.integers(1, 40), st.integers(1, 6), ops)
@settings(max_examples=200, deadline=None)
def test_matches_the_reference_filter(size, n_addrs, script):
    f, ref = CountingBloomFilter(size, n_addrs), RefFilter(size, n_addrs)
    err = io.StringIO()
    with contextlib.redirect_stderr(err):
        for op, s, n in script:
            if op == "get":
                assert f.get_count(s) == ref.get_count(s)
            elif op == "add":
                assert f.add_count(s, n) == ref.add_count(s, n)
            else:
                assert f.remove_count(s, n) == ref.remove_count(s, n)
    assert err.getvalue() == WARNING * ref.warnings
    for s in ["a", "b", "c", "dd", 7, None]:
        assert f.get_count(s) == ref.get_count(s)


def test_counting_edge_cases(capsys):
    f = CountingBloomFilter(10007)
    assert f.get_count("s") == 0 and f.get_count(12345) == 0
    assert [f.add_count("s", 1) for _ in range(3)] == [1, 2, 3]
    assert f.get_count("s") == 3
    g = CountingBloomFilter(size=10007, n_addrs=5)
    assert g.add_count("w", 300) == 255
    assert g.get_count("w") == 44  # each counter wrapped to 300 % 256
    assert g.add_count(s="w", n=212) == 255 and g.get_count("w") == 0  # 44 + 212 == 256 wraps to 0
    assert capsys.readouterr().err == ""
    assert g.remove_count("fresh", 1) == 0
    assert capsys.readouterr().err == WARNING * 5
    assert g.get_count("fresh") == 0
    assert g.remove_count("s", -2) == 2  # removing a negative amount raises the counters
    for n_addrs in (0, -1, -(2**31)):  # no counter would ever be touched: every count would read full
        with pytest.raises(ValueError, match="at least one address"):
            CountingBloomFilter(101, n_addrs)
    with pytest.raises(ValueError):
        g.__init__(101, 0)
    assert g.get_count("w") == 0 and g.add_count("w", 1) == 1  # a refused __init__ leaves the filter as it was
    # n_addrs 1: the estimate is the counter at position 0; a colliding
    # object raises it.
    p0 = positions("s", 101, 1)[0]
    other = next(x for x in range(10**6) if positions(x, 101, 1)[0] == p0)
    one = CountingBloomFilter(101, 1)
    one.add_count(other, 9)
    assert one.get_count("s") == 9


def test_errors_are_unraisable_and_give_zero(capsys):
    f = CountingBloomFilter(101)
    with unraisable_reports() as seen:
        assert f.add_count(["unhashable"], 1) == 0
        assert f.get_count({}) == 0
        assert f.remove_count(set(), 1) == 0
    assert [(t, o) for t, _, o in seen] == [
        (TypeError, "quorvex.feature.CountingBloomFilter.add_count"),
        (TypeError, "quorvex.feature.CountingBloomFilter.get_count"),
        (TypeError, "quorvex.feature.CountingBloomFilter.remove_count"),
    ]
    empty = CountingBloomFilter(0)
    with unraisable_reports() as seen:
        assert empty.add_count("a", 1) == 0
        assert empty.get_count("a") == 0
    assert [(t, m) for t, m, _ in seen] == [(ZeroDivisionError, "integer division or modulo by zero")] * 2
    with pytest.raises(TypeError):
        f.add_count("a")  # both arguments are required
    with pytest.raises(TypeError):
        f.add_count("a", "1")
    with pytest.raises(OverflowError):
        f.remove_count("a", 2**31)


def test_constructor_sizes():
    with pytest.raises(OverflowError, match="can't convert negative value to unsigned int"):
        CountingBloomFilter(-1)
    with pytest.raises(OverflowError, match="value too large to convert to unsigned int"):
        CountingBloomFilter(2**32)
    for size in (2**31, 2**32 - 1):  # positions are indexed as signed 32-bit values
        with pytest.raises(OverflowError, match="below 2\\*\\*31"):
            CountingBloomFilter(size)
    with pytest.raises(TypeError):
        CountingBloomFilter("10")
    with pytest.raises(TypeError):
        CountingBloomFilter(10, "5")
    with pytest.raises(TypeError):
        CountingBloomFilter(10, 5, 1)


def traced_after(fn):
    gc.collect()
    before = tracemalloc.get_traced_memory()[0]
    fn()
    gc.collect()
    return tracemalloc.get_traced_memory()[0] - before


def test_counter_array_is_released():
    tracemalloc.start()
    try:

        def make_and_drop():
            f = CountingBloomFilter(4_000_000)
            f.add_count("a", 1)
            f.__init__(3_000_000)  # a second __init__ replaces (and frees) the first array
            assert f.get_count("a") == 0

        assert traced_after(make_and_drop) < 100_000

        class Sub(CountingBloomFilter):
            pass

        def subclass():
            s = Sub(4_000_000)
            s.add_count("a", 1)  # the runtime calls __del__ for subclass instances

        assert traced_after(subclass) < 100_000

        held = []

        def released_by_del():
            f = CountingBloomFilter(4_000_000)
            f.__del__()
            held.append(f)

        assert traced_after(released_by_del) < 100_000
    finally:
        tracemalloc.stop()


def test_use_after_del_is_safe(capsys):
    f = CountingBloomFilter(1009)
    f.add_count("a", 3)
    assert f.__del__() is None
    with unraisable_reports() as seen:
        assert f.get_count("a") == 0
        assert f.add_count("a", 1) == 0
        assert f.remove_count("a", 1) == 0
    assert [t for t, _, _ in seen] == [ValueError] * 3
    assert "counter array" in seen[0][1]
    f.__del__()  # a second __del__ does nothing
    f.__init__(1009)
    assert f.add_count("a", 1) == 1
    raw = CountingBloomFilter.__new__(CountingBloomFilter)  # __init__ never ran
    with unraisable_reports() as seen:
        assert raw.get_count("a") == 0
        assert raw.add_count("a", 1) == 0  # reported, never a count that reads full
    assert [t for t, _, _ in seen] == [ValueError] * 2
    raw.__del__()

    class Releasing:
        """str() (the second hash) releases the filter under the operation."""

        def __init__(self, f):
            self.f = f

        def __str__(self):
            self.f.__del__()
            return "evil"

        def __hash__(self):
            return 1

    g = CountingBloomFilter(1009)
    with unraisable_reports() as seen:
        assert g.add_count(Releasing(g), 1) == 0
    h = CountingBloomFilter(1009)
    h.add_count(1, 1)  # hash(1) == 1: the first counter of Releasing is not 0
    with unraisable_reports() as seen2:
        assert h.get_count(Releasing(h)) == 0
    assert [t for t, _, _ in seen + seen2] == [ValueError, ValueError]


def test_underflow_warning_that_resizes_the_filter():
    f = CountingBloomFilter(100003)

    class Shrinking:
        """A stderr whose write() re-initialises the filter with 3 counters."""

        def write(self, text):
            f.__init__(3)

    with contextlib.redirect_stderr(Shrinking()):
        assert f.remove_count("a", 1) == 0  # no write outside the new, smaller array
    assert f.get_count("a") == 0 and f.add_count("a", 1) == 1


def test_subclass_overrides_are_used_by_internal_calls():
    calls = []

    class Logged(CountingBloomFilter):
        def add_count(self, s, n):
            calls.append(("add", s, n))
            return super().add_count(s, n)

        def remove_count(self, s, n):
            calls.append(("remove", s, n))
            return super().remove_count(s, n)

    m = small_map()
    m.bloom = Logged(1009)
    for _ in range(3):
        m(["w"])
    assert calls == [("add", "w", 1)] * 3 + [("remove", "w", 3)]

    class Bad(CountingBloomFilter):
        def add_count(self, s, n):
            return "many"

    m.bloom = Bad(1009)
    with unraisable_reports() as seen:
        assert len(m(["new"])) == 0  # the bad result counts as 0
    assert [(t, o) for t, _, o in seen] == [(TypeError, "quorvex.feature.CountingBloomFilter.add_count")]


# --- BloomFMap ------------------------------------------------------------------------


def small_map(size=10007, min_count=3):
    """A BloomFMap with a small filter (the constructor's default takes 768 MiB)."""
    m = BloomFMap.__new__(BloomFMap)
    m.bloom = CountingBloomFilter(size)
    m.dict = StringAlphabet()
    m.min_count = min_count
    return m


def test_defaults_allocate_and_release_the_big_filter():
    tracemalloc.start()
    try:
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        m = BloomFMap()
        assert tracemalloc.get_traced_memory()[0] - before >= 805306457
        assert m.min_count == 3 and isinstance(m.bloom, CountingBloomFilter)
        assert isinstance(m.dict, StringAlphabet) and len(m.dict) == 0 and m.dict.growing
        assert [list(m(["new"])) for _ in range(4)] == [[], [], [(0, 1.0)], [(0, 1.0)]]
        del m
        gc.collect()
        assert tracemalloc.get_traced_memory()[0] - before < 100_000
    finally:
        tracemalloc.stop()
    with pytest.raises(TypeError):
        BloomFMap(1)
    with pytest.raises(TypeError):
        BloomFMap(size=1)


def test_admission():
    m = small_map()
    assert [list(m(["w"])) for _ in range(3)] == [[], [], [(0, 1.0)]]
    m = small_map()
    assert list(m(["s", "s", "s"])) == [(0, 1.0)]
    assert list(m(["s", "s", "s"])) == [(0, 3.0)]
    assert m.bloom.get_count("s") == 0  # the sightings left the filter at admission
    m = small_map(min_count=1)
    assert list(m(["a", "b", "a"])) == [(0, 2.0), (1, 1.0)] and list(m.dict) == ["a", "b"]
    m = small_map(min_count=0)
    assert list(m(lst=["a"])) == [(0, 1.0)] and m.bloom.get_count("a") == 1
    m = small_map(min_count=-2)
    assert list(m(["a"])) == [(0, 1.0)] and m.bloom.get_count("a") == 3
    m = small_map(min_count=256)
    for _ in range(300):
        assert len(m(["rare"])) == 0
    assert len(m.dict) == 0
    m = small_map()
    m(["a", "a"])
    m.min_count = 2  # takes effect at the next feature
    assert list(m(["b", "a"])) == [(0, 1.0)] and list(m.dict) == ["a"]


@given(
    st.lists(st.lists(st.sampled_from(["a", "b", "c", "d", "e", "f"]), max_size=6), max_size=12),
    st.integers(1, 30),
    st.integers(-1, 4),
)
@settings(max_examples=150, deadline=None)
def test_map_matches_a_reference(calls, size, min_count):
    m = small_map(size, min_count)
    ref_filter, ids = RefFilter(size, 5), {}
    err = io.StringIO()
    with contextlib.redirect_stderr(err):
        for lst in calls:
            expected = {}
            for s in lst:
                if s not in ids:
                    if ref_filter.add_count(s, 1) < min_count:
                        continue
                    ids[s] = len(ids)
                    ref_filter.remove_count(s, min_count)
                expected[ids[s]] = expected.get(ids[s], 0.0) + 1.0
            assert list(m(lst)) == sorted(expected.items())
    assert list(m.dict) == sorted(ids, key=ids.get)
    assert err.getvalue() == WARNING * ref_filter.warnings


def test_map_attributes_and_failures():
    m = small_map()
    with pytest.raises(NotImplementedError, match="__del__"):
        del m.min_count
    with pytest.raises(TypeError, match="Cannot convert str to quorvex.feature.CountingBloomFilter"):
        m.bloom = "x"
    with pytest.raises(TypeError, match="Cannot convert dict to quorvex.alphabet.StringAlphabet"):
        m.dict = {}
    bloom = m.bloom
    del m.bloom
    assert m.bloom is None
    with pytest.raises(TypeError, match="bloom"):
        m(["a"])
    m.bloom = bloom
    del m.dict
    with pytest.raises(TypeError, match="dict"):
        m(["a"])
    raw = BloomFMap.__new__(BloomFMap)
    assert raw.bloom is None and raw.dict is None and raw.min_count == 0
    with pytest.raises(TypeError):
        raw(["a"])
    frozen = small_map()
    frozen.dict.growing = False
    frozen(["z", "z"])
    with pytest.raises(KeyError):
        frozen(["z"])
    assert frozen.bloom.get_count("z") == 3  # the removal comes after the failed lookup
    with pytest.raises(TypeError):
        small_map()(None)
    m = small_map(min_count=1)
    with pytest.raises(TypeError):
        m(["a", 5])  # the alphabet takes str and bytes only
    assert list(m.dict) == ["a"]  # admitted before the error stays admitted

    class Slow(StringAlphabet):
        def __getitem__(self, key):
            return StringAlphabet.__getitem__(self, key)

    m = small_map(min_count=2)
    m.dict = Slow()
    assert [list(m(["q", "r"])) for _ in range(3)] == [[], [(0, 1.0), (1, 1.0)], [(0, 1.0), (1, 1.0)]]


# --- murmur3 positions and pickles ------------------------------------------------------------


def test_murmur3_filter_counts_like_the_reference_positions():
    from test_hasher import key_bytes, murmur3_ref

    size, n_addrs, seed = 1031, 4, 11
    f = CountingBloomFilter(size, n_addrs, hash="murmur3", seed=seed)
    assert (f.hash, f.seed) == ("murmur3", seed)
    ref = [0] * size
    for word in ["the", "dog", b"bytes", 42, "the", "ünï"]:
        a = murmur3_ref(key_bytes(word), seed) & 0xFFFFFFFF
        b = murmur3_ref(b"foo|" + key_bytes(word), seed) & 0xFFFFFFFF
        pos = [((a + i * b) & 0xFFFFFFFF) % size for i in range(n_addrs)]
        for p in pos:
            ref[p] += 1
        assert f.add_count(word, 1) == min(ref[p] for p in pos)
    assert f.__reduce__()[2] == bytes(ref)


def test_murmur3_filter_refuses_keys_without_bytes():
    f = CountingBloomFilter(101, 2, hash="murmur3")
    err = io.StringIO()
    with contextlib.redirect_stderr(err):
        seen = []
        old, sys.unraisablehook = sys.unraisablehook, seen.append
        try:
            assert f.add_count(1.5, 1) == 0
        finally:
            sys.unraisablehook = old
    assert isinstance(seen[0].exc_value, TypeError)
    assert f.__reduce__()[2] == bytes(101)
    with pytest.raises(ValueError):
        CountingBloomFilter(10, 2, hash="sha")
    with pytest.raises(TypeError):
        BloomFMap(3)
    with pytest.raises(ValueError):
        BloomFMap(hash="sha")


@pytest.mark.parametrize("hash", ["python", "murmur3"])
def test_filter_and_map_pickle_with_their_counts(hash):
    import pickle

    f = CountingBloomFilter(997, 3, hash=hash, seed=4)
    f.add_count("a", 2)
    f.add_count("b", 300)
    g = pickle.loads(pickle.dumps(f))
    assert (g.hash, g.seed) == (hash, 4)
    assert [g.get_count(w) for w in "abc"] == [f.get_count(w) for w in "abc"]
    assert g.__reduce__()[1:] == f.__reduce__()[1:]
    with pytest.raises(ValueError):
        g.__setstate__(b"\0" * 10)  # not the filter's size
    with pytest.raises(TypeError):
        g.__setstate__([0] * 997)

    m = BloomFMap(hash=hash, seed=4)
    assert (m.bloom.hash, m.bloom.seed) == (hash, 4)
    m.bloom = f
    m.min_count = 2
    m(["x", "y", "x"])
    r = pickle.loads(pickle.dumps(m))
    assert r.min_count == 2 and list(r.dict) == list(m.dict)
    assert list(r(["y", "z", "x"])) == list(m(["y", "z", "x"]))
    with pytest.raises(TypeError):
        r.__setstate__((None, 1))
    with pytest.raises(TypeError):
        r.__setstate__((StringAlphabet(), 1, None))  # a dictionary where the filter goes
