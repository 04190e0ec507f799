import numpy as np
import pytest
from conftest import SlowAlphabet
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvex.alphabet import StringAlphabet
from quorvex.feature import FCombo, FeatureList, Multipart
from quorvex.sparsmat import VecD1


class RefDict:
    """A growing dictionary that numbers keys in order of first lookup."""

    def __init__(self, words=(), growing=True):
        self.words, self.growing = list(words), growing

    def lookup(self, key):
        if key in self.words:
            return self.words.index(key)
        if not self.growing:
            return None
        self.words.append(key)
        return len(self.words) - 1


def ref_enumerate(n, vecs, masks, aux_words, ref, acc, label=None):
    """Every choice of up to max(n, 1) unmasked entries in order of the concatenated vectors."""
    entries = []
    for pos, vec in enumerate(vecs):
        mask = masks[pos] if pos < len(masks) else None
        entries += [(aux_words[i], v) for i, v in vec if mask is None or mask[i]]

    def rec(k, start, partial, w):
        for i in range(start, len(entries)):
            partial.append(entries[i][0])
            ww = w * entries[i][1]
            key = ref.lookup("^".join(partial))
            if key is not None:
                acc[key] = acc.get(key, 0.0) + ww
            if k > 1:
                rec(k - 1, i + 1, partial, ww)
            partial.pop()

    rec(n, 0, [] if label is None else [label], 1.0)


def sparse(pairs):
    acc = VecD1()
    for k, v in pairs:
        acc.add_count(k, v)
    return acc.to_sparse()


AUX = ["a", "b", "c", "é", "x y", "p^q", "Z"]

vector = st.dictionaries(st.integers(0, len(AUX) - 1), st.sampled_from([1.0, 2.0, 0.5, -3.0]), max_size=4)
mask = st.one_of(
    st.none(),
    st.lists(st.booleans(), min_size=len(AUX), max_size=len(AUX)),
    st.lists(st.booleans(), min_size=len(AUX), max_size=len(AUX)).map(lambda m: np.array(m)),
)


@given(
    st.integers(0, 3),
    st.lists(vector, min_size=1, max_size=3),
    st.lists(mask, max_size=3),
    st.one_of(st.none(), st.lists(st.sampled_from(["L", "M"]), min_size=1, max_size=2)),
    st.booleans(),
    st.integers(1, 3),
)
@settings(max_examples=200, deadline=None)
def test_munge_vec_matches_the_reference(n, vecs, masks, labels, slow, calls):
    fc = FCombo(n, SlowAlphabet() if slow else None)
    fc.dict_aux = StringAlphabet()
    for w in AUX:
        fc.dict_aux[w]
    svecs = [sparse(sorted(v.items())) for v in vecs]
    ref = RefDict()
    for _ in range(calls):
        acc = {}
        for lbl in labels if labels is not None else [None]:
            ref_enumerate(n, [list(v) for v in svecs], masks, AUX, ref, acc, lbl)
        assert list(fc.munge_vec(svecs, masks, labels)) == sorted(acc.items())
    assert list(fc.dict) == ref.words


@given(st.integers(1, 3), st.lists(st.tuples(vector, mask, st.sampled_from([0, 1, 2, 1.0, 2.0])), max_size=4))
@settings(max_examples=150, deadline=None)
def test_munge_vec_2_matches_the_reference(n, triples):
    fc = FCombo(n)
    fc.dict_aux = StringAlphabet()
    for w in AUX:
        fc.dict_aux[w]
    vecs = [sparse(sorted(v.items())) for v, _, _ in triples]
    masks = [m for _, m, _ in triples]
    kinds = [k for _, _, k in triples]
    two = [(list(v), m) for v, m, k in zip(vecs, masks, kinds) if k == 2]
    if not two:
        with pytest.raises(IndexError):
            fc.munge_vec_2(vecs, masks, kinds)
        return
    ref, acc = RefDict(), {}
    ref_enumerate(n, [v for v, _ in two], [m for _, m in two], AUX, ref, acc)
    one = [(list(v), m) for v, m, k in zip(vecs, masks, kinds) if k == 1]
    ref_enumerate(1, [v for v, _ in one], [m for _, m in one], AUX, ref, acc)
    assert list(fc.munge_vec_2(vecs, masks, kinds)) == sorted(acc.items())
    assert list(fc.dict) == ref.words


def test_munge_uni():
    fc = FCombo(2)
    assert fc.dict_aux is None
    vecs = fc.munge_uni(["b", "a"])
    assert list(fc.dict_aux) == ["a", "b"] and fc.dict_aux.use_utf8
    assert len(vecs) == 1 and list(vecs[0]) == [(0, 1.0), (1, 1.0)]
    assert len(fc.dict) == 0  # stage one leaves the main dictionary alone
    vecs = fc.munge_uni(Multipart([[("c", 2.0), "a"], [], ["b"]]))
    assert [list(v) for v in vecs] == [[(0, 1.0), (2, 2.0)], [], [(1, 1.0)]]
    assert list(fc.munge_uni(FeatureList([("a", 3)]))[0]) == [(0, 3.0)]
    iso = FCombo(1, want_utf8=False)
    iso.munge_uni(["é"])
    assert not iso.dict_aux.use_utf8 and list(iso.dict_aux) == ["é"]
    fc.dict_aux.growing = False
    assert list(fc.munge_uni(["zz", "c"])[0]) == [(2, 1.0)]  # unknown names are skipped
    m = Multipart([["a"]])
    m.parts = [FeatureList(["a"]), ["b"]]
    with pytest.raises(TypeError):
        fc.munge_uni(m)  # every part must be a FeatureList
    m.parts = None
    with pytest.raises(TypeError):
        fc.munge_uni(m)
    bare = FCombo(1)
    bare.dict = None
    with pytest.raises(TypeError):
        bare.munge_uni(["a"])
    with pytest.raises(TypeError):
        fc.munge_uni(None)


def test_worked_examples(capsys):
    fc = FCombo(2)
    [v] = fc.munge_uni([("a", 2.0), ("b", 3.0)])
    assert list(fc.munge_vec([v], [])) == [(0, 2.0), (1, 6.0), (2, 3.0)]
    assert list(fc.dict) == ["a", "a^b", "b"]
    va, vb = sparse([(0, 1.0)]), sparse([(1, 1.0)])
    fc = FCombo(2)
    fc.dict_aux = StringAlphabet()
    fc.dict_aux["a"], fc.dict_aux["b"]
    fc.munge_vec([va, vb], [])
    assert list(fc.dict) == ["a", "a^b", "b"]  # combination crosses vector boundaries
    fc.munge_vec([va, vb], [None, [True, False]])
    assert list(fc.unmunge(fc.munge_vec([va, vb], [None, [True, False]]))) == [("a", 1.0)]
    fc.munge_vec(vecs=[sparse([(0, 1.0), (1, 1.0)])], mask=[], labels=["L"])
    assert list(fc.dict)[3:] == ["L^a", "L^a^b", "L^b"]
    fc.munge_vec([sparse([(0, 1.0)]), sparse([(0, 5.0)])], [])
    assert "a^a" in fc.dict  # an index in two vectors combines with itself
    # munge_vec_2: kind 2 combined, kind 1 single, kind 0 dropped, others reported.
    ab = sparse([(0, 1.0), (1, 1.0)])
    for kinds, words in (([2, 1], ["a", "a^b", "b"]), ([0, 2], ["b"]), ([1, 2], ["b", "a"])):
        fc2 = FCombo(2)
        fc2.dict_aux = fc.dict_aux
        fc2.munge_vec_2([ab, vb], [None, None], kinds)
        assert list(fc2.dict) == words
    fc3 = FCombo(2)
    fc3.dict_aux = fc.dict_aux
    fc3.munge_vec_2([va, vb], [None, None], [3, 2.0])
    assert capsys.readouterr().err == "Unknown part type 3\n"
    assert list(fc3.dict) == ["b"]
    fc3.munge_vec_2([va, vb, va], [None, None, None], ["x", 2, 7.9])
    assert capsys.readouterr().err == "Unknown part type x\nUnknown part type 7\n"
    fc3.munge_vec_2(vecs=[va, vb], mask=[None], kinds=[2, 2])  # zip stops at the shortest
    assert "a^b" not in fc3.dict
    assert fc.unmunge([(0, 1.0), [1, 2.0]]) == [("a", 1.0), ("a^b", 2.0)]
    assert fc.unmunge(iter([])) == []


def test_frozen_dictionary_and_encodings():
    d = StringAlphabet()
    d["a"], d["b"]
    d.growing = False
    fc = FCombo(2, d)
    fc.dict_aux = StringAlphabet()
    for w in ["a", "b", "c"]:
        fc.dict_aux[w]
    assert list(fc.munge_vec([sparse([(0, 1.0), (1, 1.0), (2, 1.0)])], [])) == [(0, 1.0), (1, 1.0)]
    assert list(d) == ["a", "b"]
    # A dictionary and dict_aux of different encodings meet through the text.
    iso = FCombo(2, want_utf8=False)
    iso.dict_aux = StringAlphabet(True)
    iso.dict_aux["é"], iso.dict_aux["ß"]
    iso.munge_vec([sparse([(0, 1.0), (1, 2.0)])], [], ["Ü"])
    assert list(iso.dict) == ["Ü^é", "Ü^é^ß", "Ü^ß"]
    with pytest.raises(UnicodeEncodeError):
        iso.munge_vec([sparse([(0, 1.0)])], [], ["日"])
    # Bytes in dict_aux that are not UTF-8 keep their identity.
    raw = FCombo(1)
    raw.dict_aux = StringAlphabet()
    raw.dict_aux[b"\xff\xfe"]
    raw.munge_vec([sparse([(0, 1.0)])], [], ["L"])
    assert raw.dict.num2sym(0) == b"L^\xff\xfe"
    slow = FCombo(1, SlowAlphabet())
    slow.dict_aux = raw.dict_aux
    slow.munge_vec([sparse([(0, 1.0)])], [], ["L"])
    assert slow.dict.num2sym(0) == b"L^\xff\xfe"


def test_bad_input(capsys):
    fc = FCombo(2)
    fc.dict_aux = StringAlphabet()
    fc.dict_aux["a"], fc.dict_aux["b"]
    v = sparse([(0, 1.0), (1, 1.0)])
    with pytest.raises(IndexError):
        fc.munge_vec([], [])  # the first vector is fetched before anything else
    with pytest.raises(IndexError):
        fc.munge_vec_2([v], [None], [1])  # no vector of kind 2
    with pytest.raises(TypeError, match="Cannot convert list to quorvex.sparsmat.SparseVectorD"):
        fc.munge_vec([[(0, 1.0)]], [])
    with pytest.raises(TypeError, match="NoneType"):
        fc.munge_vec([None], [])
    with pytest.raises(TypeError):
        fc.munge_vec([v, "x"], [])  # found when the walk reaches it: after a, a^b
    assert list(fc.dict) == ["a", "a^b"]
    with pytest.raises(IndexError):
        fc.munge_vec([v], [[True]])  # a mask shorter than the indices it is asked about
    with pytest.raises(IndexError):
        fc.munge_vec([v], [np.array([True])])
    with pytest.raises(TypeError):
        fc.munge_vec([v], None)
    with pytest.raises(TypeError):
        fc.munge_vec([v], [5])  # a mask that cannot be indexed
    with pytest.raises(IndexError, match="dict_aux"):
        fc.munge_vec([sparse([(7, 1.0)])], [])  # an index dict_aux does not hold
    with pytest.raises(TypeError):
        fc.munge_vec([v], [], labels=[5])
    with pytest.raises(TypeError):
        fc.munge_vec([v])
    with pytest.raises(TypeError):
        fc.munge_vec_2([v], [None])
    no_aux = FCombo(2)
    with pytest.raises(TypeError, match="dict_aux"):
        no_aux.munge_vec([v], [])
    with pytest.raises(TypeError, match="dict_aux"):
        no_aux.munge_vec_2([v], [None], [2])
    fc.dict = None
    with pytest.raises(TypeError):
        fc.munge_vec([v], [])
    with pytest.raises(TypeError):
        fc.unmunge([(0, 1.0)])
    fc = FCombo(1)
    fc.dict["w"]
    with pytest.raises(ValueError, match=r"too many values to unpack \(expected 2\)"):
        fc.unmunge([(0, 1.0, 2)])
    with pytest.raises(ValueError, match="need more than 1 value to unpack"):
        fc.unmunge([(0,)])
    with pytest.raises(TypeError):
        fc.unmunge([("0", 1.0)])
    with pytest.raises(OverflowError):
        fc.unmunge([(2**40, 1.0)])
    with pytest.raises(IndexError):
        fc.unmunge([(3, 1.0)])
    with pytest.raises(TypeError):
        fc.unmunge(5)
    assert capsys.readouterr().err == ""


def test_deep_combination_is_bounded():
    fc = FCombo(100000)
    fc.dict_aux = StringAlphabet()
    for i in range(16):
        fc.dict_aux["f%d" % i]
    v = sparse([(i, 1.0) for i in range(16)])
    assert len(fc.munge_vec([v], [])) == 2**16 - 1
