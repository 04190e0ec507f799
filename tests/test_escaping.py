"""The exported C helpers (through ctypes) and the Python-facing escaping of FCombo."""

import ctypes
import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvex.feature
import quorvex.learn
from quorvex.alphabet import StringAlphabet
from quorvex.feature import FCombo

BUFFER = 8192
SPECIALS = b"x:(){}$#= \n\\"


def load(module):
    lib = ctypes.CDLL(module.__file__)
    lib.escape_amis.restype = ctypes.c_char_p
    lib.escape_amis.argtypes = [ctypes.c_char_p]
    lib.unescape_amis.restype = ctypes.c_char_p
    lib.unescape_amis.argtypes = [ctypes.c_char_p]
    lib.as_typecode.restype = ctypes.c_int
    lib.as_typecode.argtypes = [ctypes.c_char_p, ctypes.c_int]
    return lib


LIBS = [load(quorvex.feature), load(quorvex.learn)]


def reference_escape(data):
    out = bytearray()
    for b in data:
        i = SPECIALS.find(bytes([b]))
        out += bytes([b]) if i < 0 else b"x" + bytes([65 + i])
    return bytes(out)


@pytest.mark.parametrize("lib", LIBS, ids=["feature", "learn"])
def test_worked_examples(lib):
    assert lib.escape_amis(b"") == b""
    assert lib.escape_amis(b"a b") == b"axJb"
    assert lib.escape_amis(b"x") == b"xA"
    assert lib.escape_amis(b"f(x)") == b"fxCxAxD"
    assert lib.escape_amis(SPECIALS) == b"xAxBxCxDxExFxGxHxIxJxKxL"
    assert lib.unescape_amis(b"plain") == b"plain" == lib.escape_amis(b"plain")
    # a trailing x or an x before a byte outside A..L is copied unchanged
    assert lib.unescape_amis(b"ax") == b"ax"
    assert lib.unescape_amis(b"xZxA") == b"xZx"


@pytest.mark.parametrize("lib", LIBS, ids=["feature", "learn"])
@given(st.binary(max_size=200).map(lambda b: b.replace(b"\0", b"")))
@settings(max_examples=200, deadline=None)
def test_round_trip_through_ctypes(lib, data):
    escaped = lib.escape_amis(data)
    assert escaped == reference_escape(data)
    assert not any(c in escaped for c in SPECIALS[1:])
    assert lib.unescape_amis(escaped) == data


@pytest.mark.parametrize("lib", LIBS, ids=["feature", "learn"])
def test_long_input_is_truncated_at_a_pair_boundary(lib):
    out = lib.escape_amis(b"a" * 8189 + b"xx")
    assert len(out) == 8191 and out.endswith(b"axA")  # the second pair did not fit
    out = lib.escape_amis(b"a" * 8190 + b"x")
    assert out == b"a" * 8190  # half a pair is never written
    assert len(lib.escape_amis(b"x" * 100000)) == 8190
    assert len(lib.unescape_amis(b"q" * 20000)) == BUFFER - 1


def test_modules_have_separate_buffers():
    feature, learn = LIBS
    feature.escape_amis.restype = ctypes.c_void_p
    learn.escape_amis.restype = ctypes.c_void_p
    try:
        assert feature.escape_amis(b"a") != learn.escape_amis(b"a")
    finally:
        feature.escape_amis.restype = ctypes.c_char_p
        learn.escape_amis.restype = ctypes.c_char_p


def test_as_typecode():
    lib = LIBS[0]
    code = lib.as_typecode(b"ABC", 1)
    assert code.to_bytes(4, "little", signed=True) == b"ABC1"
    assert lib.as_typecode(b"\xff\x00\x00", 0) == -1 + 48 * 16777216


def test_print_csr():
    script = r"""
import ctypes, quorvex.feature as f
class CSR(ctypes.Structure):
    _fields_ = [("num_rows", ctypes.c_uint32), ("offsets", ctypes.POINTER(ctypes.c_int)),
                ("rightColumns", ctypes.POINTER(ctypes.c_uint32)), ("values", ctypes.POINTER(ctypes.c_int))]
lib = ctypes.CDLL(f.__file__)
offs = (ctypes.c_int * 3)(0, 2, 3)
cols = (ctypes.c_uint32 * 3)(1, 4, 0)
vals = (ctypes.c_int * 3)(7, 8, 9)
lib.print_csr(ctypes.byref(CSR(2, offs, cols, vals)))
empty = (ctypes.c_int * 1)(0)
lib.print_csr(ctypes.byref(CSR(0, empty, None, None)))
"""
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    assert out == "2 rows.\n0: [0,1]| 1:7 4:8\n1: [2,2]| 0:9\n0 rows.\n"


@given(st.lists(st.binary(min_size=0, max_size=30), min_size=1, max_size=20, unique=True))
@settings(max_examples=100, deadline=None)
def test_round_trip_through_fcombo(words):
    d = StringAlphabet()
    for w in words:
        d[w]
    fc = FCombo(1, d)
    for i, w in enumerate(words):
        assert fc.escaped(i) == reference_escape(w)
    for i in reversed(range(len(words))):
        assert fc.unescaped(fc.escaped(i)) == i
    assert fc.unescaped(bytearray(fc.escaped(0))) == 0


def test_fcombo_escaping_has_no_length_limit():
    fc = FCombo(1)
    long_word = "x(" * 50000
    fc.dict[long_word]
    assert fc.escaped(0) == b"xAxC" * 50000
    assert fc.unescaped(b"xAxC" * 50000) == 0


def test_escaped_cache_fills_in_id_order():
    fc = FCombo(1)
    for w in ["a b", "c", "d:e", "f", "g", "h"]:
        fc.dict[w]
    assert fc.escaped(5) == b"h"
    assert fc.escaped_words == [b"axJb", b"c", b"dxBe", b"f", b"g", b"h"]
    fc.escaped_words[2] = b"cached"
    assert fc.escaped(2) == b"cached"  # read from the cache
    with pytest.raises(IndexError):
        fc.escaped(6)
    assert len(fc.escaped_words) == 6
    with pytest.raises(TypeError):
        fc.unescaped("text")


def test_unescaped_with_codec_and_frozen_dictionary():
    import codecs

    fc = FCombo(1)
    fc.codec = codecs.lookup("utf-8")
    assert fc.unescaped("é xJ".encode()) == fc.dict["é  "] == 0
    fc.dict.growing = False
    with pytest.raises(KeyError):
        fc.unescaped(b"unknown")
    fc.dict = None
    with pytest.raises(TypeError):
        fc.escaped(0)
    with pytest.raises(TypeError):
        fc.unescaped(b"a")
