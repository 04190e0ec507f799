"""Readers of binary images and files: CSR images, alphabet files, weight files (.npy
and text) and serialised combiners."""

import io

import numpy as np
from hypothesis import strategies as st

from quorvex import sparsmat
from quorvex.alphabet import StringAlphabet
from quorvex.feature import FCombo, deserialize_fcombo
from quorvex.learn import FileModel

from .registry import expected, target
from .strategies import mutated_bytes

CSR_TYPES = {"D": sparsmat.CSRMatrixD, "I": sparsmat.CSRMatrixI, "F": sparsmat.CSRMatrixF}
# Columns beyond this make marginals and transposes genuinely huge (a dense result).
DENSE_LIMIT = 1 << 16


def _csr_seeds():
    seeds = []
    for cls in CSR_TYPES.values():
        for rows in ([], [[]], [[(0, 1), (3, 2)], [], [(2**32 - 1, 5)]], [[(1, 1)], [(0, 2), (1, 3)]]):
            b = io.BytesIO()
            cls(rows).write_binary(b)
            seeds.append(b.getvalue())
    return seeds


def _or_overflow(fn):
    """fn(), or None when it raises OverflowError (integer matrices only)."""
    try:
        return fn()
    except OverflowError:
        return None


@target("csr_image", mutated_bytes(_csr_seeds()))
def csr_image(data):
    cls = CSR_TYPES.get(chr(data[3]) if len(data) > 3 else "D", sparsmat.CSRMatrixD)
    try:
        m = cls.from_binary(data)
    except ValueError:
        return
    out = io.BytesIO()
    m.write_binary(out)
    assert out.getvalue() == data, "write_binary does not give back the image read"
    rows = [list(r) for r in m]
    assert len(rows) == m.num_rows
    top = max((c for r in rows for c, _ in r), default=-1)
    # Integer sums beyond int32 are an OverflowError, never a wrapped value.
    left = _or_overflow(m.left_marginals)
    if left is not None and cls is sparsmat.CSRMatrixI:
        assert left == [sum(v for _, v in r) for r in rows]
    if top < DENSE_LIMIT and m.num_rows < DENSE_LIMIT:
        right = _or_overflow(m.right_marginals)
        assert right is None or len(right) == top + 1
        _or_overflow(m.right_squared_marginals)
        t = m.transpose()
        assert sum(len(r) for r in t) == sum(len(r) for r in rows)
    elif top == 2**32 - 1:
        with expected():
            m.transpose()


def _alphabet_seeds():
    seeds = []
    for words in ([], ["a"], ["dog", "ca t", "", "x\ny", "€uro", "\x00"]):
        a = StringAlphabet()
        for w in words:
            a[w]
        b = io.BytesIO()
        a.tofile_utf8(b)
        seeds.append(b.getvalue())
    return seeds


@target("alphabet_file", st.tuples(st.booleans(), mutated_bytes(_alphabet_seeds())))
def alphabet_file(args):
    utf8, data = args
    a = StringAlphabet(utf8)
    a["before"]
    try:
        a.fromfile_utf8(io.BytesIO(data))
    except (ValueError, UnicodeError):
        assert list(a) == ["before"], "a refused file changed the alphabet"
        return
    words = list(a)
    out = io.BytesIO()
    a.tofile_utf8(out)
    again = StringAlphabet(utf8)
    again.fromfile_utf8(io.BytesIO(out.getvalue()))
    assert list(again) == words
    assert all(a[w] == i for i, w in enumerate(words))


def _npy_seeds():
    seeds = []
    for arr in (np.zeros(0), np.arange(4.0), np.array([1.5, -2.0, np.nan]), np.zeros(3, "f"), np.zeros((2, 2))):
        b = io.BytesIO()
        np.save(b, arr)
        seeds.append(b.getvalue())
    return seeds


@target("weight_npy", mutated_bytes(_npy_seeds()))
def weight_npy(data):
    try:
        m = FileModel(io.BytesIO(data))
    except (ValueError, EOFError, OSError, OverflowError):
        return
    w = np.asarray(m.weights)
    assert w.ndim == 1 and w.dtype == np.float64 and m.n_dimensions == len(w)


_text_seeds = [b"a 1.0\nb -2\n", b"xA 0.5 extra\n\nyB 1e300\n", b"w 1\nw 2\n", b"", b"only\n", b"nan nan\ninf inf\n"]


@target("weight_text", mutated_bytes(_text_seeds))
def weight_text(data):
    fc = FCombo(1)
    fc.dict["kept"]
    try:
        w = fc.load_weights(io.BytesIO(data))
    except (ValueError, IndexError, KeyError, UnicodeError):
        assert list(fc.dict) == ["kept"], "a refused weight file changed the dictionary"
        return
    assert len(w) == len(fc.dict) and not fc.dict.growing
    for i, word in enumerate(fc.dict):
        assert fc.dict[word] == i


class DictStorage(dict):
    """A storage object in memory: items by key, streams as bytes."""

    def reader(self, name):
        return io.BytesIO(self[name])


_opts = [b'[2, null, "UTF-8"]', b'[1, "<b>", "UTF-8"]', b"[3, null, null]", b"[]", b'{"n": 1}', b"[2147483648, null]"]


@target("fcombo_storage", st.tuples(mutated_bytes(_opts, 64), mutated_bytes(_alphabet_seeds())))
def fcombo_storage(args):
    opts, alph = args
    try:
        text = opts.decode("utf-8")
    except UnicodeError:
        return
    with expected(AttributeError):  # a non-text encoding: AttributeError, as documented
        fc = deserialize_fcombo(DictStorage(opts=text, alph=alph))
        assert isinstance(fc, FCombo)
        fc(["a", "b"])
