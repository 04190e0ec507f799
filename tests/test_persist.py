import io
import json
import pickle

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvex.alphabet import StringAlphabet
from quorvex.feature import FCombo, deserialize_fcombo
from quorvex.storage import DirStorage


class MemStorage(dict):
    """A storage object in memory: items in the dict, streams as byte strings."""

    def __init__(self):
        super().__init__()
        self.streams = {}

    def writer(self, name):
        storage = self

        class Stream(io.BytesIO):
            def flush(self):
                storage.streams[name] = self.getvalue()

        return Stream()

    def reader(self, name):
        return io.BytesIO(self.streams[name])


ESCAPES = {ord(c): "x" + chr(65 + i) for i, c in enumerate("x:(){}$#= \n\\")}


def escape(word):
    return word.translate(ESCAPES)


words = st.lists(
    st.text(st.characters(blacklist_categories=("Cs",)), min_size=1, max_size=8), min_size=1, max_size=12, unique=True
)


@given(words, st.data(), st.integers(0, 3), st.booleans())
@settings(max_examples=100, deadline=None)
def test_serialise_restore_round_trip(ws, data, n, with_bias):
    alph = StringAlphabet()
    for w in ws:
        alph[w]
    bias = data.draw(st.sampled_from(ws)) if with_bias else None  # anywhere in the word list
    fc = FCombo(n, alph, bias_item=bias)
    probe = data.draw(st.lists(st.sampled_from(ws), max_size=4))
    labels = data.draw(st.one_of(st.none(), st.just(["L"])))
    fc(probe, labels)  # grows the dictionary
    saved = list(fc.dict)
    fc.dict.growing = False
    before = list(fc(probe, labels))
    d = MemStorage()
    assert fc.serialize(d) == "FCombo"
    assert json.loads(d["opts"]) == [n, bias, "UTF-8"]
    back = deserialize_fcombo(d)
    assert list(back.dict) == saved  # every word keeps its id
    if with_bias:
        assert list(back([])) == [(saved.index(bias), 1.0)]  # the bias id is the bias word's id
    back.dict.growing = False
    assert list(back(probe, labels)) == before
    assert back.scale == 1.0 and back.norm_p == 0.0 and back.dict_aux is None and back.escaped_words == []


def test_bias_that_is_not_the_first_word():
    # Restoring adds the bias word to an empty dictionary (id 0) before the
    # saved words replace it: the bias id must follow the word to id 2.
    fc2 = FCombo(1)
    for w in ["p", "q", "<b>"]:
        fc2.dict[w]
    fc2 = FCombo(1, fc2.dict, bias_item="<b>")
    d = MemStorage()
    fc2.serialize(d)
    back = deserialize_fcombo(d=d)
    assert list(back.dict) == ["p", "q", "<b>"] and list(back([])) == [(2, 1.0)]
    assert list(back(["q"], labels=["L"])) == [(3, 1.0), (4, 1.0)]
    assert list(back.dict)[3:] == ["L^<b>", "L^q"]


def test_encodings():
    fc = FCombo(3)
    d = MemStorage()
    fc.serialize(d)
    assert d["opts"] == '[3, null, "UTF-8"]'
    iso = FCombo(1, bias_item="é", want_utf8=False)
    iso.dict["ß"]
    d = MemStorage()
    iso.serialize(d)
    assert json.loads(d["opts"]) == [1, "é", "ISO-8859-15"]
    back = deserialize_fcombo(d)
    assert back.encoding == "ISO-8859-15" and not back.dict.use_utf8
    assert list(back.dict) == ["é", "ß"] and list(back([])) == [(0, 1.0)]
    d = MemStorage()
    FCombo(2).serialize(d)
    d["opts"] = '[2, null, "utf-8"]'
    assert deserialize_fcombo(d).dict.use_utf8
    raw = FCombo(1)
    raw.dict["a"]
    raw = FCombo(1, raw.dict, bias_item=b"\xff\xfeB")  # bytes that are not UTF-8
    d = MemStorage()
    raw.serialize(d)
    back = deserialize_fcombo(d)
    assert back.dict.num2sym(1) == b"\xff\xfeB" and list(back([])) == [(1, 1.0)]
    # A dictionary in the other encoding than the combiner's (swapped in by set_dict): the
    # dictionary's encoding is saved, or the words could not be read back.
    for fc_utf8, dict_utf8, word in ((False, True, "\u201cquote"), (True, False, "ß")):
        fc = FCombo(1, want_utf8=fc_utf8)
        fc.set_dict(StringAlphabet(want_utf8=dict_utf8))
        ids = list(fc([word, "plain"]))
        d = MemStorage()
        fc.serialize(d)
        assert json.loads(d["opts"])[2] == ("UTF-8" if dict_utf8 else "ISO-8859-15")
        back = deserialize_fcombo(d)
        assert back.dict.use_utf8 == dict_utf8 and list(back.dict) == list(fc.dict)
        back.dict.growing = False
        assert list(back([word, "plain"])) == ids
    lower = FCombo(1)
    lower.encoding = "utf-8"  # agrees with the dictionary: saved as it is
    d = MemStorage()
    lower.serialize(d)
    assert json.loads(d["opts"])[2] == "utf-8"


def test_dir_storage(tmp_path):
    fc = FCombo(2, bias_item="B")
    fc(["x", "y"])
    d = DirStorage(tmp_path / "m" / "fc")
    fc.serialize(d)
    assert sorted(p.name for p in (tmp_path / "m" / "fc").iterdir()) == ["alph", "opts"]
    assert d.keys() == ["alph", "opts"] and "opts" in d and "nope" not in d and 5 not in d
    back = deserialize_fcombo(DirStorage(str(tmp_path / "m" / "fc"), create=False))
    assert list(back.dict) == list(fc.dict) and list(back([])) == [(0, 1.0)]
    with pytest.raises(FileNotFoundError):
        DirStorage(tmp_path / "absent", create=False)
    with pytest.raises(KeyError):
        d["missing"]
    for bad in ("", "..", "a/b", ".hidden", "nul\0"):
        with pytest.raises(ValueError):
            d[bad] = "x"
        with pytest.raises(ValueError):
            d.writer(bad)
    with pytest.raises(TypeError):
        d[1] = "x"
    with pytest.raises(TypeError):
        d["k"] = b"bytes"
    d["k"] = "ü"
    assert d["k"] == "ü"
    del d["k"]
    with pytest.raises(KeyError):
        del d["k"]
    with pytest.raises(FileNotFoundError):
        d.reader("never")
    assert repr(d).startswith("DirStorage(")


def test_malformed_storage():
    good = MemStorage()
    FCombo(2).serialize(good)
    for opts, exc in (
        ("[2, null]", IndexError),
        ("not json", ValueError),
        ("[2, null, 5]", AttributeError),
        ('{"a": 1}', KeyError),
        ('["2", null, "UTF-8"]', TypeError),
        ('[2, 7, "UTF-8"]', TypeError),
    ):
        d = MemStorage()
        d.streams = good.streams
        d["opts"] = opts
        with pytest.raises(exc):
            deserialize_fcombo(d)
    with pytest.raises(KeyError):
        deserialize_fcombo(MemStorage())
    d = MemStorage()
    d["opts"] = good["opts"]
    d.streams["alph"] = b"garbage"
    with pytest.raises(ValueError):
        deserialize_fcombo(d)
    d.streams["alph"] = good.streams["alph"][:-3]
    with pytest.raises(ValueError):
        deserialize_fcombo(d)
    with pytest.raises(AttributeError):
        FCombo(1).serialize({})  # no writer
    with pytest.raises(TypeError):
        FCombo(1).serialize(None)
    with pytest.raises(TypeError):
        deserialize_fcombo(None)
    fc = FCombo(1)
    fc.dict = None
    with pytest.raises(TypeError):
        fc.serialize(MemStorage())


@given(words, st.integers(-2, 4))
@settings(max_examples=60, deadline=None)
def test_pickle_round_trip(ws, n):
    fc = FCombo(n, bias_item=ws[0], scale=2.0, norm_p=1.0)
    for w in ws:
        fc.dict[w]
    fc.dict_aux = StringAlphabet()
    back = pickle.loads(pickle.dumps(fc))
    # Lossless: the bias feature, scale, norm_p, encoding and dict_aux come back.
    assert type(back) is FCombo and list(back.dict) == ws and back.dict is not fc.dict
    assert (back.scale, back.norm_p, back.encoding) == (2.0, 1.0, "UTF-8")
    assert type(back.dict_aux) is StringAlphabet
    for probe in (ws[:3], ws[-1:], []):
        assert list(back(probe)) == list(fc(probe))
    assert list(back.dict) == list(fc.dict)  # both grew alike
    fc.dict.growing = False
    frozen = pickle.loads(pickle.dumps(fc))
    assert frozen.dict.growing is False
    assert list(frozen(ws + ["never seen"])) == list(fc(ws + ["never seen"]))
    assert len(frozen.dict) == len(fc.dict)
    with pytest.raises(TypeError):
        back.__setstate__("anything")
    with pytest.raises(TypeError):
        back.__setstate__((0, 1.0, 0.0, 3, None, None))  # encoding must be a str
    with pytest.raises(ValueError):
        back.__setstate__((-5, 1.0, 0.0, "UTF-8", None, None))
    assert list(back([])) == list(fc([]))  # unchanged by the refused states


def test_set_dict():
    fc = FCombo(1, bias_item="B")
    fc(["a"])
    fc.escaped(1)
    new = StringAlphabet()
    new["z"]
    fc.set_dict(new)
    assert fc.dict is new and list(new) == ["z", "B"] and list(fc([])) == [(1, 1.0)]
    assert fc.escaped_words == []  # the cache of the old dictionary is gone
    assert fc.escaped(1) == b"B"
    frozen = StringAlphabet()
    frozen["q"]
    frozen.growing = False
    with pytest.raises(KeyError):
        fc.set_dict(frozen)
    assert fc.dict is new and list(fc([])) == [(1, 1.0)]
    with pytest.raises(TypeError):
        fc.set_dict(None)  # the bias word cannot be looked up in None
    with pytest.raises(TypeError, match="Cannot convert dict to quorvex.alphabet.StringAlphabet"):
        fc.set_dict({"B": 0})
    assert fc.dict is new
    plain = FCombo(1)
    plain.set_dict(new_dict=None)
    assert plain.dict is None


def test_load_weights_worked_example():
    fc = FCombo(2)
    fc(["old"])
    w = fc.load_weights(io.BytesIO(b"a 0.5\nbxJc -1\n"))
    assert w.dtype == np.float64 and w.tolist() == [0.5, -1.0]
    assert list(fc.dict) == ["a", "b c"] and not fc.dict.growing
    assert list(fc(["a", "unknown", "b c"])) == [(0, 1.0), (1, 1.0)]  # unknown features are omitted
    assert fc.load_weights([b"  x\t1e3 ignored more  \n", bytearray(b"y -0")]).tolist() == [1000.0, -0.0]
    assert len(fc.load_weights([])) == 0 and len(fc.dict) == 0


@given(
    st.lists(
        st.text(
            st.characters(blacklist_categories=("Cs",), blacklist_characters="\t\r\x0b\x0c\x1c\x1d\x1e\x1f\x85\xa0"),
            min_size=1,
            max_size=30,
        ),
        min_size=1,
        max_size=8,
        unique=True,
    ),
    st.integers(0, 3),
)
@settings(max_examples=100, deadline=None)
def test_load_weights_escaped_names_of_any_length(names, longest):
    if longest:
        names = names + ["x(y)" * (5000 * longest)]  # far beyond any fixed buffer
    text = b"".join(escape(n).encode("utf-8") + b" %d\n" % i for i, n in enumerate(names))
    fc = FCombo(1)
    w = fc.load_weights(io.BytesIO(text))
    assert w.tolist() == list(range(len(names)))
    assert list(fc.dict) == names
    assert [fc.escaped(i) for i in range(len(names))] == [escape(n).encode("utf-8") for n in names]


def test_load_weights_failures_keep_the_dictionary():
    fc = FCombo(1)
    fc(["keep"])
    old = fc.dict
    for lines, exc in (
        ([b"a 1", b""], IndexError),
        ([b"a 1", b"   \n"], IndexError),
        ([b"a"], IndexError),
        (["a 1"], TypeError),
        ([b"a x"], ValueError),
        ([b"a 1", b"b 2", b"a 3"], ValueError),
        ([b"a 1", 5], TypeError),
    ):
        with pytest.raises(exc):
            fc.load_weights(lines)
        assert fc.dict is old and list(old) == ["keep"]
    with pytest.raises(TypeError):
        fc.load_weights(io.StringIO("a 1\n"))  # a file opened in text mode
    with pytest.raises(TypeError):
        fc.load_weights(None)
    with pytest.raises(ValueError, match="repeats"):
        fc.load_weights(io.BytesIO(b"a 1\nb 2\na 3\n"))
    assert fc.dict is old
    biased = FCombo(1, bias_item="B")
    assert biased.load_weights([b"x 1", b"B 2"]).tolist() == [1.0, 2.0]
    assert list(biased([])) == [(1, 1.0)]  # the bias id follows the bias word
    before = biased.dict
    with pytest.raises(KeyError):
        biased.load_weights([b"x 1"])  # the file lacks the bias word
    assert biased.dict is before
