import math
import random

import pytest
from conftest import SlowAlphabet
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvex.alphabet import StringAlphabet
from quorvex.feature import FCombo, FeatureList, Multipart


class RefCombo:
    """A plain-Python model of the combination: same keys, same order, same sums."""

    def __init__(self, n, bias=None, scale=1.0, norm_p=0.0):
        self.n, self.scale, self.norm_p = n, scale, norm_p
        self.ids, self.words = {}, []
        self.bias = -1 if bias is None else self.lookup(bias)

    def lookup(self, key):
        if key not in self.ids:
            self.ids[key] = len(self.words)
            self.words.append(key)
        return self.ids[key]

    @staticmethod
    def sort(items):
        items = sorted(items, key=lambda x: x if isinstance(x, str) else x[0])
        return [(x, 1.0) if isinstance(x, str) else (x[0], float(x[1])) for x in items]

    def mkvec(self, n, items, pos, partial, w, acc):
        for i in range(pos, len(items)):
            partial.append(items[i][0])
            ww = w * items[i][1]
            k = self.lookup("^".join(partial))
            acc[k] = acc[k] + ww if k in acc else ww
            if n > 1:
                self.mkvec(n - 1, items, i + 1, partial, ww, acc)
            partial.pop()

    def __call__(self, parts, labels=None):
        acc = {}
        if self.bias >= 0:
            if labels is None:
                acc[self.bias] = 1.0
            else:
                for lbl in labels:
                    k = self.lookup(lbl + "^" + self.words[self.bias])
                    acc[k] = acc.get(k, 0.0) + 1.0
        parts = [self.sort(p) for p in parts]
        for lbl in labels if labels is not None else [None]:
            self.mkvec(max(self.n, 1), parts[0], 0, [] if lbl is None else [lbl], 1.0, acc)
        for part in parts[1:]:
            if not part:
                continue
            w = self.scale
            if self.norm_p != 0:
                w = self.scale / math.pow(sum(math.pow(v, self.norm_p) for _, v in part), 1.0 / self.norm_p)
            for lbl in labels if labels is not None else [None]:
                self.mkvec(1, part, 0, [] if lbl is None else [lbl], w, acc)
        return sorted(acc.items())


def vec(v):
    return list(v)


names = st.sampled_from(["a", "b", "c", "dd", "é", "x y", "Ab", "b^c"])
items = st.lists(
    st.one_of(names, st.tuples(names, st.integers(-3, 3)), st.tuples(names, st.floats(0.125, 4.0))), max_size=7
)
pos_items = st.lists(st.one_of(names, st.tuples(names, st.floats(0.5, 3.0))), max_size=5)
labels_st = st.one_of(st.none(), st.lists(st.sampled_from(["L", "M", "NN"]), min_size=1, max_size=3))
calls = st.lists(
    st.tuples(st.lists(items, min_size=1, max_size=1) | st.tuples(items, pos_items, pos_items).map(list), labels_st),
    min_size=1,
    max_size=4,
)


@given(
    st.integers(0, 3),
    st.sampled_from([None, "<b>"]),
    st.sampled_from([1.0, 0.5]),
    st.sampled_from([0.0, 1.0, 2.0]),
    calls,
    st.booleans(),
)
@settings(max_examples=200, deadline=None)
def test_matches_the_reference(n, bias, scale, norm_p, calls, slow):
    fc = FCombo(n, SlowAlphabet() if slow else None, bias_item=bias, scale=scale, norm_p=norm_p)
    ref = RefCombo(n, bias, scale, norm_p)
    for parts, labels in calls:
        arg = Multipart(parts) if len(parts) > 1 else parts[0]
        expected = ref(parts, labels)
        got = vec(fc(arg, labels=labels))
        assert [k for k, _ in got] == [k for k, _ in expected]
        for (_, x), (_, y) in zip(got, expected):
            assert x == y or (math.isnan(x) and math.isnan(y))
        assert list(fc.dict) == ref.words


@pytest.mark.parametrize("n", [1, 2, 3])
def test_frozen_dictionary_lookups_by_number(n):
    """A dictionary that does not grow is probed through numbers kept for its keys: every
    answer stays the dictionary's, the first call and later ones alike, and after any change
    of the words."""
    rng = random.Random(n)
    names = ["a", "b", "a^b", "b^c", "c", "é", "x" * 30, "", "^", "d"]
    lists = [[(rng.choice(names), rng.choice([1, 2.5, -0.5])) for _ in range(rng.randint(0, 7))] for _ in range(60)]
    d = StringAlphabet()
    for flist in lists[::3]:  # some keys are known, others not
        FCombo(n, d)(flist)
    d.growing = False
    fc, slow = FCombo(n, d), FCombo(n, SlowAlphabet())
    for w in d:
        slow.dict[w]
    slow.dict.growing = False

    def expected():
        return [vec(slow(flist)) for flist in lists]

    want = expected()
    for _ in range(2):
        assert [vec(fc(flist)) for flist in lists] == want
        got = fc.transform(lists)
        assert [list(zip(got[i].indices, got[i].data)) for i in range(len(lists))] == want
    d.growing = slow.dict.growing = True
    for w in ("a^a", "b^b^b", "d^d", "zz"):
        d[w], slow.dict[w]
    d.growing = slow.dict.growing = False
    assert [vec(fc(flist)) for flist in lists] == expected()
    other = StringAlphabet()
    for w in list(d)[::-1]:
        other[w]
    other.growing = False
    fc.dict = other
    slow.dict = SlowAlphabet()
    for w in other:
        slow.dict[w]
    slow.dict.growing = False
    assert [vec(fc(flist)) for flist in lists] == expected()
    with pytest.raises(TypeError):
        fc(["a", 5, "b"])


@pytest.mark.parametrize("values", ["binary", "weighted"])
def test_frozen_dictionary_many_conjunctions(values):
    """Long lists at n = 3 (hundreds of keys each): a memo table filled to its usual load, so
    that some keys lie beyond their first probe, and rows long enough for the sort that
    reads a bitmap when every key carries the same value; a few unknown names, a name
    repeated (a key counted twice) and names whose conjunctions spell the same bytes."""
    rng = random.Random(values)
    pool = ["f%d" % i for i in range(70)] + ["a^b", "a", "b", "q"]
    lists = []
    for _ in range(40):
        names = rng.sample(pool, rng.randint(12, 22))
        if rng.random() < 0.2:
            names.append(names[0])
        lists.append([(w, rng.choice([1.0, 2.0, -0.5])) for w in names] if values == "weighted" else names)
    d = StringAlphabet()
    for flist in lists[::2]:
        FCombo(3, d)(flist)
    d.growing = False
    slow = FCombo(3, SlowAlphabet())
    for w in d:
        slow.dict[w]
    slow.dict.growing = False
    want = [vec(slow(flist)) for flist in lists]
    fc = FCombo(3, d)
    for _ in range(3):  # the memo starts answering once as many keys as the dictionary holds were spelled out
        got = fc.transform(lists)
        assert [list(zip(got[i].indices.tolist(), got[i].data.tolist())) for i in range(len(lists))] == want


@pytest.mark.parametrize("n", [2, 3])
@pytest.mark.parametrize("known", ["all", "most", "few"])
def test_large_batches_walked_after_reading(n, known):
    """A batch against a frozen dictionary whose memo answers most rows is read first and
    walked after (on two threads when it holds enough keys), each row written into room for
    as many entries as it has keys and the rows closed up after. Every row equals one call:
    rows with keys absent from the dictionary (shorter than their room), repeated names,
    weighted names, FeatureLists, empty and one-name rows, and a fresh combiner whose memo
    has yet to learn the keys (its rows are walked again the usual way)."""
    rng = random.Random(n)
    pool = ["w%d" % i for i in range(400)] + ["a^b", "a", "b"]
    rows = []
    for i in range(700 if n == 3 else 1500):
        names = rng.sample(pool, rng.randint(0, 22 if n == 3 else 40))
        kind = i % 5
        if kind == 1:
            rows.append([(w, rng.choice([1.0, 0.5, -2.0, 3])) for w in names])
        elif kind == 2:
            rows.append(FeatureList(names))
        elif kind == 3 and names:
            rows.append(tuple(names + [names[-1]]))
        else:
            rows.append(names)
    # The dictionary holds every key, most keys (the rows' keys without their last name: rows
    # come out shorter than their room), or few (those of a third of the rows: the rows are
    # walked at once, none recorded).
    d = StringAlphabet()
    for r in rows if known == "all" else rows[::3]:
        FCombo(n, d)(r)
    if known == "most":
        for r in rows:
            FCombo(n, d)(list(r)[:-1])
    d.growing = False
    fc = FCombo(n, d)
    want = [vec(fc(r)) for r in rows]

    def rows_of(m):
        return [list(zip(m[i].indices.tolist(), m[i].data.tolist())) for i in range(m.shape[0])]

    for _ in range(3):
        got = fc.transform(rows)
        assert got.shape == (len(rows), len(d))
        assert rows_of(got) == want
    assert rows_of(FCombo(n, d).transform(rows)) == want
    # A row that fails (a lone surrogate) after many recorded ones: nothing is returned, and
    # the combiner forgets the rows it was recording.
    with pytest.raises(UnicodeEncodeError):
        fc.transform(rows + [["w1", "\ud800"]])
    assert [vec(fc(r)) for r in rows[:50]] == want[:50]
    assert rows_of(fc.transform(rows)) == want


def test_batch_rows_unchanged_by_python_run_during_reading():
    """A name that cannot be read in place (a lone surrogate) makes reading the batch allocate,
    and a collection can then run Python code (here a gc callback) that changes rows of the
    batch: every row is still what one call gives for it, before or after the change."""
    import gc

    rng = random.Random(1)
    pool = ["w%d" % i for i in range(300)]
    base = [rng.sample(pool, 20) for _ in range(400)]
    d = StringAlphabet()
    for r in base:
        FCombo(2, d)(r)
    victims = [["v%d_%s" % (j, "x" * 20) for j in range(i, i + 4)] for i in range(0, 40, 4)]
    for v in victims:
        FCombo(2, d)(v)
    d.growing = False
    fc = FCombo(2, d)
    for _ in range(3):
        fc.transform(base)
    batch = base[:100] + victims + [["w1", "\udc80"]] + base[100:200]
    want = [vec(FCombo(2, d)(r)) for r in batch]
    changed = vec(FCombo(2, d)(["w0", "w1", "w2", "w3"]))

    def mutate(phase, info):
        if phase == "start":
            for v in victims:
                v[:] = ["w0", "w1", "w2", "w3"]

    gc.callbacks.append(mutate)
    threshold = gc.get_threshold()
    gc.set_threshold(1)
    try:
        got = fc.transform(batch)
    finally:
        gc.set_threshold(*threshold)
        gc.callbacks.remove(mutate)
    for i in range(len(batch)):
        row = list(zip(got[i].indices.tolist(), got[i].data.tolist()))
        assert row == want[i] or (100 <= i < 110 and row == changed), i


def test_lookup_order_and_values():
    fc = FCombo(2)
    assert vec(fc(FeatureList(["c", "a", "b"]))) == [(i, 1.0) for i in range(6)]
    assert list(fc.dict) == ["a", "a^b", "a^c", "b", "b^c", "c"]
    fc = FCombo(2)
    v = dict(fc(FeatureList([("a", 2), ("b", 3)])))
    assert v == {fc.dict["a"]: 2.0, fc.dict["a^b"]: 6.0, fc.dict["b"]: 3.0}
    fc = FCombo(2)
    assert dict(fc(FeatureList(["a", "a"]))) == {0: 2.0, 1: 1.0} and list(fc.dict) == ["a", "a^a"]
    for n in (0, 1, -5):
        fc = FCombo(n)
        fc(["a", "b", "c"])
        assert list(fc.dict) == ["a", "b", "c"]


def test_labels_and_bias():
    fc = FCombo(1)
    fc(["a", "b"], labels=["X", "Y"])
    assert list(fc.dict) == ["X^a", "X^b", "Y^a", "Y^b"]
    fc = FCombo(1, bias_item="B")
    fc(["a", "b"], labels=["X", "Y"])
    assert list(fc.dict) == ["B", "X^B", "Y^B", "X^a", "X^b", "Y^a", "Y^b"]
    assert vec(fc([])) == [(0, 1.0)]
    fc2 = FCombo(1)
    fc2(["a"], labels=["AB"])
    assert list(fc2.dict) == ["AB^a"]
    assert vec(fc(["b", "a"])) == vec(fc(FeatureList(["a", "b"])))


def test_frozen_dictionary_skips_unknown_keys():
    d = StringAlphabet()
    d["a"], d["b"]
    d.growing = False
    fc = FCombo(2, d)
    assert vec(fc(["a", "b", "c"])) == [(0, 1.0), (1, 1.0)]
    d.growing = True
    d["a^b"]
    d.growing = False
    assert vec(fc(["c", "b", "a"])) == [(0, 1.0), (1, 1.0), (2, 1.0)]
    with pytest.raises(KeyError):
        FCombo(1, d, bias_item="zz")


def test_multipart_parts():
    fc = FCombo(2, scale=1.0, norm_p=2.0)
    m = Multipart([["x"], [("a", 3), ("b", 4)]])
    v = dict(fc(m))
    assert v[fc.dict["a"]] == pytest.approx(0.6) and v[fc.dict["b"]] == pytest.approx(0.8)
    assert "a^b" not in fc.dict
    fc.norm_p = 0.0
    v = dict(fc(m))
    assert v[fc.dict["a"]] == 3.0 and v[fc.dict["b"]] == 4.0
    fc.norm_p = 3.0
    assert len(fc(Multipart([["x"], []]))) == 1
    fc.norm_p = 1.0
    with pytest.raises(ZeroDivisionError, match="float division"):
        fc(Multipart([["x"], [("a", 1), ("b", -1)]]))
    m.parts[0] = None
    with pytest.raises(TypeError):
        fc(m)
    with pytest.raises(IndexError):
        fc(Multipart([]))


def test_attributes():
    fc = FCombo(1, want_utf8=False)
    assert fc.encoding == "ISO-8859-15" and not fc.dict.use_utf8
    assert FCombo(1).encoding == "UTF-8"
    assert fc.escaped_words == [] and fc.codec is None and fc.dict_aux is None
    assert fc.scale == 1.0 and fc.norm_p == 0.0
    fc.scale = 2
    assert fc.scale == 2.0
    with pytest.raises(NotImplementedError, match="__del__"):
        del fc.scale
    with pytest.raises(TypeError):
        fc.norm_p = "x"
    with pytest.raises(TypeError, match="Cannot convert list to quorvex.alphabet.StringAlphabet"):
        fc.dict = []
    fc.dict_aux = SlowAlphabet()
    del fc.dict_aux, fc.codec
    assert fc.dict_aux is None and fc.codec is None
    with pytest.raises(
        TypeError,
        match=r"Argument 'mydict' has incorrect type \(expected "
        r"quorvex.alphabet.StringAlphabet, got dict\)",
    ):
        FCombo(1, {})
    with pytest.raises(OverflowError):
        FCombo(2**40)
    with pytest.raises(TypeError):
        FCombo("2")
    fc.dict = None
    with pytest.raises(TypeError):
        fc(["a"])


def test_bad_names_fail_after_the_keys_before_them():
    for alph in (StringAlphabet, SlowAlphabet):
        fc = FCombo(2, alph())
        with pytest.raises(TypeError, match="sequence item 0: expected str instance, int found"):
            fc([("a", 1), ("c", 2)], labels=["L", 5])
        assert list(fc.dict) == ["L^a", "L^a^c", "L^c"]
        fc = FCombo(2, alph())
        with pytest.raises(TypeError, match="sequence item 1: expected str instance, int found"):
            fc(Multipart([["a"], [(1, 1.0)]]), labels=["L"])
        assert list(fc.dict) == ["L^a"]
        with pytest.raises(TypeError):
            fc(None)
    iso = FCombo(1, want_utf8=False)
    with pytest.raises(UnicodeEncodeError):
        iso(["a", "日"])
    assert list(iso.dict) == ["a"]


def test_reentrant_use_from_a_label_iterator():
    fc = FCombo(2)
    inner = []

    def labels():
        inner.append(vec(fc(["p", "q"])))
        yield "L"

    outer = vec(fc(["a", "b"], labels=labels()))
    assert list(fc.dict) == ["p", "p^q", "q", "L^a", "L^a^b", "L^b"]
    assert inner == [[(0, 1.0), (1, 1.0), (2, 1.0)]] and outer == [(3, 1.0), (4, 1.0), (5, 1.0)]


def test_many_features_and_high_order_do_not_exhaust_the_stack():
    fc = FCombo(100000)
    fc([str(i) for i in range(18)])  # 2**18 - 1 keys, 18 levels deep
    assert len(fc.dict) == 2**18 - 1
    long = FCombo(1)
    assert len(long(["f%d" % i for i in range(200000)])) == 200000


@given(
    st.integers(1, 3),
    st.sampled_from([None, "<b>"]),
    items,
    st.lists(st.sampled_from(["L", "M", "é", "N N"]), max_size=4),
    st.booleans(),
    st.booleans(),
)
@settings(max_examples=120, deadline=None)
def test_label_vectors_equal_one_call_per_label(n, bias, feats, labels, slow, multipart):
    fc = FCombo(n, SlowAlphabet() if slow else None, bias_item=bias)
    twin = FCombo(n, SlowAlphabet() if slow else None, bias_item=bias)
    arg = Multipart([feats, [("extra", 2.0)]]) if multipart else feats
    got = fc.label_vectors(arg, labels)
    expected = [twin(arg, labels=[lbl]) for lbl in labels]
    assert [vec(v) for v in got] == [vec(v) for v in expected]
    assert list(fc.dict) == list(twin.dict)  # same keys, same ids, same order


def test_label_vectors_errors():
    fc = FCombo(1)
    assert fc.label_vectors(["a"], []) == []
    with pytest.raises(TypeError, match="expected str instance"):
        fc.label_vectors(["a"], ["L", 3])
    assert list(fc.dict) == ["L^a"]
    with pytest.raises(TypeError):
        fc.label_vectors(["a"], None)
    fc.dict = None
    with pytest.raises(TypeError):
        fc.label_vectors(["a"], ["L"])


def test_frozen_dictionary_vectors_are_shared_and_never_stale():
    d = StringAlphabet()
    for w in ("a", "b"):
        d[w]
    d.growing = False
    fc = FCombo(2, d)
    first = fc([("a", 1.0), ("b", 2.0)])
    assert fc([("a", 1.0), ("b", 2.0)]) is first  # the kept vector
    assert vec(fc([("a", 1), ("b", 2)])) == vec(first)
    assert vec(fc([("a", 1.0), ("b", 3.0)])) == [(0, 1.0), (1, 3.0)]  # the value is part of the key
    d.growing = True
    d["a^b"]
    d.growing = False
    assert vec(fc([("a", 1.0), ("b", 2.0)])) == [(0, 1.0), (1, 2.0), (2, 2.0)]  # new word seen
    other = StringAlphabet()
    other["b"]
    other.growing = False
    fc.dict = other
    assert vec(fc([("a", 1.0), ("b", 2.0)])) == [(0, 2.0)]
    import io

    saved = io.BytesIO()
    d.tofile_utf8(saved)
    other.fromfile_utf8(io.BytesIO(saved.getvalue()))  # same object, new words
    assert vec(fc([("a", 1.0), ("b", 2.0)])) == [(0, 1.0), (1, 2.0), (2, 2.0)]
    fc.__init__(1, other)  # a new order
    assert vec(fc([("a", 1.0), ("b", 2.0)])) == [(0, 1.0), (1, 2.0)]
    grow = FCombo(1)
    assert grow(["x"]) is not grow(["x"])  # nothing is kept while the dictionary grows


def test_multipart_parts_of_a_non_utf8_dictionary():
    for utf8 in (False, True):
        fc = FCombo(1, want_utf8=utf8)
        v = fc(Multipart([["alpha", "beta"], ["gamma"], ["é"]]))
        assert list(fc.dict) == ["alpha", "beta", "gamma", "é"] and vec(v) == [(i, 1.0) for i in range(4)]
    odd = FCombo(1)
    odd(Multipart([["\udc80alpha"], ["gamma"]]))
    assert list(odd.dict) == ["\udc80alpha", "gamma"]


def test_python_code_that_replaces_the_dictionary_mid_call():
    fc = FCombo(1)
    for i in range(300):
        fc.dict["w%d" % i]
    first = fc.dict

    class Cache(list):
        def append(self, x):
            list.append(self, x)
            fc.dict = StringAlphabet()  # the call keeps using the dictionary it started with

    fc.escaped_words = Cache()
    assert fc.escaped(299) == b"w299" and len(fc.escaped_words) == 300

    class Codec:
        def decode(self, b):
            fc.dict = first
            return (b.decode(), len(b))

    fc.codec = Codec()
    assert fc.unescaped(b"w7") == 7

    def labels():
        fc.dict = StringAlphabet()
        yield "X"

    fc.dict = first
    out = fc.label_vectors(["a"], labels())
    assert list(fc.dict) == ["X^a"] and vec(out[0]) == [(0, 1.0)]  # read after the labels


def test_flist_sort_order_by_keyword():
    from quorvex.feature import flist_sort_order

    assert flist_sort_order(x="a") == "a" and flist_sort_order(x=("b", 1)) == "b"


# --- batched probing ----------------------------------------------------------------------------


def test_many_keys_get_the_ids_of_one_by_one_lookups():
    """Thousands of keys in one call (several probe blocks and batches) number new keys in the
    order a key-by-key lookup would."""
    rng = random.Random(7)
    feats = ["f%d=%s" % (i, "x" * rng.randrange(40)) for i in range(120)]
    labels = ["L%d" % i for i in range(3)]
    fast, slow = FCombo(2), FCombo(2, SlowAlphabet())
    assert list(fast(feats, labels=labels)) == list(slow(feats, labels=labels))
    assert list(fast.dict) == list(slow.dict) and len(fast.dict) > 20000
    fast.dict.growing = slow.dict.growing = False
    other = feats[::2] + ["unknown%d" % i for i in range(50)]
    assert [list(v) for v in fast.label_vectors(other, labels)] == [list(slow(other, labels=[l])) for l in labels]
