import io
import pickle

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvex.alphabet import AbstractAlphabet, Alphabet_iter, PythonAlphabet, StringAlphabet


def test_ids_in_insertion_order_and_freezing():
    a = StringAlphabet()
    assert [a["b"], a["a"], a["b"], a[b"a"]] == [0, 1, 0, 1]
    assert len(a) == 2 and "a" in a and "z" not in a and len(a) == 2
    assert a.words[0] == "b" and a.words[-1] == "a" and list(a.words) == ["b", "a"] == list(a)
    assert a.get_sym(1) == "a" and a.num2sym(0) == b"b" and a.sym2num("b") == 0
    a.growing = False
    with pytest.raises(KeyError):
        a["c"]
    assert len(a) == 2
    a.growing = True
    assert a["c"] == 2
    with pytest.raises(IndexError):
        a.get_sym(3)
    with pytest.raises(TypeError):
        a[3]
    assert isinstance(iter(a), Alphabet_iter)


def test_encodings():
    iso = StringAlphabet(False)
    assert not iso.use_utf8
    iso["€"]
    assert iso.num2sym(0) == b"\xa4" and iso.words[0] == "€"
    with pytest.raises(UnicodeEncodeError):
        iso["日本"]
    utf = StringAlphabet()
    utf["日本"]
    assert utf.num2sym(0) == "日本".encode()
    raw = StringAlphabet()
    raw[b"\xff"]  # not UTF-8: kept as bytes, round trips through its text form
    assert raw[raw.words[0]] == 0


def save(a):
    f = io.BytesIO()
    a.tofile_utf8(f)
    return f.getvalue()


def load(data, into=None):
    a = into if into is not None else StringAlphabet()
    a.fromfile_utf8(io.BytesIO(data))
    return a


words_st = st.lists(st.one_of(st.text(max_size=8), st.binary(max_size=8)), max_size=30)


@given(words_st, st.booleans())
@settings(max_examples=100, deadline=None)
def test_file_round_trip_keeps_ids(words, utf8):
    a = StringAlphabet(utf8)
    for w in words:
        try:
            a[w]
        except UnicodeEncodeError:
            pass
    b = load(save(a), StringAlphabet(utf8))
    assert [b.num2sym(i) for i in range(len(b))] == [a.num2sym(i) for i in range(len(a))]


def test_file_load_replaces_existing_words():
    # Restored ids equal the saved ones even when the target already holds
    # words (a combiner's bias word, for example).
    a = StringAlphabet()
    for w in ["x", "y", "<b>"]:
        a[w]
    b = StringAlphabet()
    b["<b>"]
    b.growing = False
    load(save(a), b)
    assert list(b) == ["x", "y", "<b>"] and b["<b>"] == 2 and not b.growing


def test_bad_files_are_refused_and_change_nothing():
    a = StringAlphabet()
    for w in ["alpha", "be\nta", "gamma"]:
        a[w]
    good = save(a)
    target = StringAlphabet()
    target["keep"]
    bad = [good[:k] for k in range(len(good))] + [
        b"garbage",
        good + b"x",
        good.replace(b"3\n", b"4\n", 1),
        good.replace(b"5 gamma", b"5 alpha"),
        good.replace(b"5 alpha", b"9 alpha"),
    ]
    for data in bad:
        with pytest.raises(ValueError):
            load(data, target)
    assert list(target) == ["keep"]
    with pytest.raises(TypeError):
        target.fromfile_utf8(io.StringIO(good.decode()))


@pytest.mark.parametrize(
    "change",
    [lambda a: a.__init__(), lambda a: a["more"], lambda a: a.fromfile_utf8(io.BytesIO(b"quorvex-alphabet 1\n0\n"))],
)
def test_tofile_refuses_an_alphabet_changed_by_write(change):
    # f.write runs Python code: a change to the alphabet between chunks is refused rather
    # than written as a file whose word count and words disagree.
    a = StringAlphabet()
    for i in range(120000):
        a["word%d" % i]

    class Meddling(io.BytesIO):
        def write(self, data):
            change(a)
            return io.BytesIO.write(self, data)

    with pytest.raises(RuntimeError, match="changed while tofile_utf8"):
        a.tofile_utf8(Meddling())
    # A write that leaves the alphabet alone still gives a complete file.
    b = StringAlphabet()
    for i in range(120000):
        b["word%d" % i]
    f = io.BytesIO()
    b.tofile_utf8(f)
    c = StringAlphabet()
    c.fromfile_utf8(io.BytesIO(f.getvalue()))
    assert list(c) == list(b)


def test_pickle():
    a = StringAlphabet(False)
    a["€"]
    a["b"]
    a.growing = False
    b = pickle.loads(pickle.dumps(a))
    assert list(b) == ["€", "b"] and not b.growing and not b.use_utf8
    p = PythonAlphabet()
    p[(1, 2)]
    p[None]
    q = pickle.loads(pickle.dumps(p))
    assert q.words == [(1, 2), None] and q[None] == 1


def test_python_alphabet():
    p = PythonAlphabet()
    assert [p[(1, "a")], p[3], p[(1, "a")]] == [0, 1, 0]
    assert p.words == [(1, "a"), 3] and list(p) == p.words and len(p) == 2
    p.growing = False
    with pytest.raises(KeyError):
        p[4]
    assert 4 not in p and 3 in p
    with pytest.raises(TypeError):
        p[[1]]  # unhashable


def test_uninitialised_instances_do_not_crash():
    a = StringAlphabet.__new__(StringAlphabet)
    assert len(a) == 0 and a["x"] == 0
    p = PythonAlphabet.__new__(PythonAlphabet)
    assert len(p) == 0 and p["x"] == 0 and p.words == ["x"]
    assert len(AbstractAlphabet()) == 0 and list(AbstractAlphabet()) == []


class Meddler:
    """A key whose __hash__ or __eq__ runs code on the alphabet being searched."""

    def __init__(self, alphabet, action, in_hash=False, h=7):
        self.alphabet, self.action, self.in_hash, self.h = alphabet, action, in_hash, h

    def __hash__(self):
        if self.in_hash:
            self.action(self.alphabet)
        return self.h

    def __eq__(self, other):
        if not self.in_hash:
            self.action(self.alphabet)
        return self is other


@pytest.mark.parametrize("in_hash", [False, True])
@pytest.mark.parametrize(
    "action",
    [
        lambda p: p.__init__(),
        lambda p: p.__setstate__(([1, 2, 3], True)),
        lambda p: p.words.clear(),
        lambda p: p["other"],
    ],
)
def test_python_alphabet_survives_keys_that_change_it(in_hash, action):
    # Lookups hold the dict and list they work on: a key's callback that
    # frees or replaces them ends in an exception or a consistent state.
    p = PythonAlphabet()
    p[Meddler(p, lambda p: None)]  # a resident key of the same hash: __eq__ of the newcomer runs
    for _ in range(3):
        try:
            p[Meddler(p, action, in_hash)]
        except RuntimeError as e:
            assert "changed during a lookup" in str(e)
        try:
            Meddler(p, action, in_hash) in p
        except RuntimeError:
            pass
        assert len(p) == len(p.words)
    assert isinstance(p.words, list) and isinstance(repr(p), str)


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


@pytest.mark.parametrize("cls", [StringAlphabet, PythonAlphabet])
def test_setstate_names_what_it_was_given(cls):
    a = cls()
    with pytest.raises(TypeError, match=r"\(words, growing\) tuple, not NoneType$"):
        a.__setstate__(None)
