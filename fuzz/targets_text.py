"""Text forms: information trees from JSON (text and structured), the escaped word form,
and the exported C escaping functions with their fixed buffers."""

import ctypes

import simplejson
from hypothesis import strategies as st

import quorvex.feature
from quorvex.feature import FCombo, InfoTree, Multipart

from .registry import expected, target
from .strategies import mutated_bytes, scalars

_tree_texts = [
    b'{"nodes": [["S", ["a", "b"], [1]], ["NP", ["x"], [[0, "back"]]]], "roots": [0]}',
    b'{"nodes": [], "roots": []}',
    b'{"nodes": [["s", [], [0]]], "roots": [0]}',
    b'{"nodes": [["S", [1.5, null], [2]], ["", [], []]], "roots": [1, 0]}',
]


def _exercise_tree(t):
    form = t.as_json()
    again = InfoTree(form).as_json()
    assert again == form, "as_json does not read back"
    with expected():
        t.as_tree([])
    with expected():
        t.as_subdue()


@target("infotree_json_text", mutated_bytes(_tree_texts))
def infotree_json_text(data):
    try:
        obj = simplejson.loads(data)
    except (ValueError, RecursionError):
        return
    try:
        t = InfoTree(obj)
    except (TypeError, ValueError, IndexError, KeyError, OverflowError, RecursionError):
        return
    _exercise_tree(t)
    m = Multipart([])
    with expected():
        m.add_tree(obj)


labels = st.one_of(st.text(max_size=6), scalars)
edge = st.one_of(st.integers(-2, 6), st.tuples(st.integers(-2, 6), labels), st.lists(scalars, max_size=3))
node = st.tuples(labels, st.lists(labels, max_size=4), st.lists(edge, max_size=4))
tree_forms = st.one_of(
    st.fixed_dictionaries({"nodes": st.lists(node, max_size=6), "roots": st.lists(st.integers(-1, 6), max_size=3)}),
    st.dictionaries(st.sampled_from(["nodes", "roots", "x"]), st.lists(scalars, max_size=3), max_size=3),
)


@target("infotree_structured", tree_forms)
def infotree_structured(form):
    try:
        t = InfoTree(form)
    except (TypeError, ValueError, IndexError, KeyError, OverflowError, RecursionError):
        return
    _exercise_tree(t)
    with expected():
        t.diff_with(InfoTree(form))


@target("escaping", st.one_of(st.text(max_size=40), st.text(alphabet="xABCDEFGHIJKLM:(){}$#= \n\\", max_size=40)))
def escaping(word):
    fc = FCombo(1)
    i = fc.dict[word]
    esc = fc.escaped(i)
    assert fc.unescaped(esc) == i, "escaped form does not read back"
    assert all(c not in esc for c in b":(){}$#= \n\\")


_lib = ctypes.CDLL(quorvex.feature.__file__)
for _name in ("escape_amis", "unescape_amis"):
    getattr(_lib, _name).restype = ctypes.c_char_p
    getattr(_lib, _name).argtypes = [ctypes.c_char_p]


@target(
    "escaping_c_buffers",
    st.one_of(
        st.binary(max_size=64).map(lambda b: b.replace(b"\0", b"")),
        st.tuples(st.sampled_from([b"x", b"=", b"ab", b"xA"]), st.integers(4000, 9000)).map(lambda t: t[0] * t[1]),
    ),
)
def escaping_c_buffers(data):
    esc = _lib.escape_amis(data)
    assert len(esc) < 8192
    if len(esc) < 8000:  # not truncated
        assert _lib.unescape_amis(esc) == data
    assert len(_lib.unescape_amis(data)) <= len(data)
