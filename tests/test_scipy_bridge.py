"""NumPy and SciPy interop: sparse vectors as arrays and back, vectors and CSR matrices to and
from scipy.sparse, and the batched transforms of FCombo and FeatureHasher against stacking
their single calls."""

import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

sp = pytest.importorskip("scipy.sparse")

from quorvex.alphabet import StringAlphabet  # noqa: E402
from quorvex.feature import FCombo, FeatureHasher, FeatureList, Multipart  # noqa: E402
from quorvex.sparsmat import (  # noqa: E402
    CSRMatrixD,
    CSRMatrixF,
    CSRMatrixI,
    SparseVectorD,
    SparseVectorF,
    SparseVectorI,
    to_csr,
)

TOP = 2**32 - 1
# Indices anywhere in the coordinate range, often near its top (int64 territory for SciPy).
indices = st.one_of(st.integers(0, 50), st.integers(2**31 - 3, 2**31 + 3), st.integers(TOP - 5, TOP))
values = st.floats(-1e6, 1e6, allow_nan=False)
vector_pairs = st.dictionaries(indices, values, max_size=12)  # duplicate-free by construction


def vec(pairs):
    return SparseVectorD(list(pairs.items()) if isinstance(pairs, dict) else pairs)


def dense_rows(m):
    """A CSR matrix's rows as sorted (column, value) lists, independent of its index dtype."""
    m = sp.csr_matrix(m)
    return [
        sorted(zip(m.indices[m.indptr[i] : m.indptr[i + 1]].tolist(), m.data[m.indptr[i] : m.indptr[i + 1]].tolist()))
        for i in range(m.shape[0])
    ]


# --- SparseVector <-> NumPy ---------------------------------------------------------------------


def test_arrays_are_read_only_views_that_keep_the_vector():
    v = SparseVectorD([(7, 2.5), (3, -1.0)])
    idx, val = v.indices_array(), v.values_array()
    assert idx.dtype == np.uint32 and val.dtype == np.float64
    assert idx.tolist() == [3, 7] and val.tolist() == [-1.0, 2.5]
    assert not idx.flags.writeable and not val.flags.writeable
    with pytest.raises(ValueError):
        idx[0] = 1
    del v  # the views keep the vector's memory alive
    assert idx.tolist() == [3, 7] and val.tolist() == [-1.0, 2.5]
    assert SparseVectorF([(1, 0.5)]).values_array().dtype == np.float32
    assert SparseVectorI([(1, 5)]).values_array().dtype == np.int32
    assert SparseVectorD().indices_array().shape == (0,)


@given(vector_pairs)
def test_from_arrays_round_trips(pairs):
    v = vec(pairs)
    back = SparseVectorD.from_arrays(v.indices_array(), v.values_array())
    assert back == v
    # Any order and plain lists: sorted like the constructor.
    assert SparseVectorD.from_arrays(list(reversed(v.indices())), list(reversed(v.values()))) == v


def test_from_arrays_sums_repeats_and_converts():
    v = SparseVectorD.from_arrays(np.array([5, 1, 5], np.int16), [1, 2, 3])
    assert list(v) == [(1, 2.0), (5, 4.0)]
    assert SparseVectorD.from_arrays(np.array([1, 2], np.uint64), np.array([1, 2], np.int32)) == SparseVectorD(
        [(1, 1.0), (2, 2.0)]
    )
    assert list(SparseVectorI.from_arrays([1], np.array([2**31 - 1]))) == [(1, 2**31 - 1)]
    assert list(SparseVectorD.from_arrays(np.arange(10)[::3], np.ones(4))) == [(i, 1.0) for i in (0, 3, 6, 9)]
    assert SparseVectorD.from_arrays([], []) == SparseVectorD()


def test_from_arrays_errors():
    with pytest.raises(OverflowError, match="index -1 is out of the index range 0 to 4294967295"):
        SparseVectorD.from_arrays([-1], [1.0])
    with pytest.raises(OverflowError, match="4294967296"):
        SparseVectorD.from_arrays([2**32], [1.0])
    with pytest.raises(TypeError, match="idx must be an array of integers"):
        SparseVectorD.from_arrays([1.5], [1.0])
    with pytest.raises(TypeError):  # float values do not become integer values silently
        SparseVectorI.from_arrays([1], [1.5])
    with pytest.raises(OverflowError):
        SparseVectorI.from_arrays([1], [2**31])
    with pytest.raises(ValueError, match="2 indices but 1 values"):
        SparseVectorD.from_arrays([1, 2], [1.0])
    with pytest.raises(ValueError, match="one-dimensional"):
        SparseVectorD.from_arrays(np.zeros((2, 2), int), np.zeros((2, 2)))
    with pytest.raises(TypeError, match="idx must be a collection of indices, not str"):
        SparseVectorD.from_arrays("12", [1.0, 2.0])


# --- to_csr and CSRMatrix <-> SciPy --------------------------------------------------------------


@settings(max_examples=60)
@given(st.lists(vector_pairs, max_size=6))
def test_to_csr_stacks_the_vectors(rows):
    vectors = [vec(r) for r in rows]
    m = to_csr(vectors)
    assert isinstance(m, sp.csr_matrix) and m.has_canonical_format
    top = max((max(r) for r in rows if r), default=-1)
    assert m.shape == (len(rows), top + 1)
    assert m.indices.dtype == m.indptr.dtype == (np.int32 if top + 1 < 2**31 else np.int64)
    assert dense_rows(m) == [sorted(r.items()) for r in rows]
    # ... and back through a CSRMatrixD, which keeps every row.
    c = CSRMatrixD.from_scipy(m)
    assert [list(row) for row in c] == [list(v) for v in vectors]
    again = c.to_scipy(n_features=m.shape[1])
    assert again.shape == m.shape and dense_rows(again) == dense_rows(m)


def test_to_csr_columns_and_errors():
    assert to_csr([]).shape == (0, 0)
    assert to_csr([SparseVectorD(), SparseVectorD()]).shape == (2, 0)
    m = to_csr([SparseVectorD([(2, 1.0)])], n_features=10)
    assert m.shape == (1, 10) and m.toarray().tolist() == [[0, 0, 1, 0, 0, 0, 0, 0, 0, 0]]
    with pytest.raises(ValueError, match="feature 2 is out of range for n_features=2"):
        to_csr([SparseVectorD([(2, 1.0)])], n_features=2)
    with pytest.raises(TypeError, match="item 1 is int, not a SparseVectorD"):
        to_csr([SparseVectorD(), 5])
    with pytest.raises(TypeError, match="vectors must be a collection of sparse vectors, not str"):
        to_csr("v")
    gen = (SparseVectorD([(i, 1.0)]) for i in range(3))
    assert to_csr(gen).shape == (3, 3)


@pytest.mark.parametrize("cls, dtype", [(CSRMatrixD, np.float64), (CSRMatrixF, np.float32), (CSRMatrixI, np.int32)])
def test_csr_round_trips_keep_the_element_type(cls, dtype):
    rows = [[(1, 2)], [], [(0, 1), (4, 3)]]
    m = cls(rows).to_scipy()
    assert m.dtype == dtype and m.shape == (3, 5)
    assert m.toarray().tolist() == [[0, 2, 0, 0, 0], [0, 0, 0, 0, 0], [1, 0, 0, 0, 3]]
    back = cls.from_scipy(m)
    assert type(back) is cls and [list(r) for r in back] == [list(r) for r in cls(rows)]
    assert cls().to_scipy().shape == (0, 0)  # an empty matrix, and an instance whose __init__ never ran
    assert cls.__new__(cls).to_scipy().shape == (0, 0)


def test_from_scipy_canonicalises_and_converts():
    # Unsorted and repeated columns (legal in SciPy) are sorted and summed per row.
    m = sp.csr_matrix((np.array([1.0, 2.0, 3.0, 4.0]), np.array([3, 1, 3, 0]), np.array([0, 3, 4])), shape=(2, 5))
    c = CSRMatrixD.from_scipy(m)
    assert [list(r) for r in c] == [[(1, 2.0), (3, 4.0)], [(0, 4.0)]]
    # Other formats go through tocsr(); int64 indices and float32 data are read as they are.
    coo = sp.coo_matrix(
        (np.array([1.5, 2.5], np.float32), (np.array([0, 1]), np.array([2**31 + 1, 7]))), shape=(2, 2**32)
    )
    c = CSRMatrixD.from_scipy(coo)
    assert [list(r) for r in c] == [[(2**31 + 1, 1.5)], [(7, 2.5)]]
    wide = c.to_scipy(n_features=2**32)
    assert wide.indices.dtype == np.int64 and dense_rows(wide) == dense_rows(coo)
    assert [list(r) for r in CSRMatrixD.from_scipy(sp.csr_array(np.eye(2)))] == [[(0, 1.0)], [(1, 1.0)]]
    with pytest.raises(TypeError):  # float data does not become integers silently
        CSRMatrixI.from_scipy(sp.csr_matrix(np.array([[0.5]])))
    with pytest.raises(OverflowError):
        CSRMatrixI.from_scipy(sp.csr_matrix(np.array([[2**31]], np.int64)))
    with pytest.raises(TypeError, match=r"from_scipy needs a SciPy sparse matrix or array, not numpy\.ndarray"):
        CSRMatrixD.from_scipy(np.eye(2))
    with pytest.raises(ValueError, match="feature 4 is out of range for n_features=3"):
        CSRMatrixD([[(4, 1.0)]]).to_scipy(n_features=3)


def test_from_scipy_rejects_inconsistent_arrays():
    m = sp.csr_matrix(np.eye(3))
    m.indptr = np.array([0, 2, 1, 3], dtype=m.indptr.dtype)  # decreasing
    with pytest.raises(ValueError, match="indptr is not a valid row index"):
        CSRMatrixD.from_scipy(m)
    m = sp.csr_matrix(np.eye(3))
    m.indices = np.array([0, 1, 5], dtype=m.indices.dtype)  # beyond the 3 columns
    with pytest.raises(ValueError, match="column 5 of row 2 is out of range for 3 columns"):
        CSRMatrixD.from_scipy(m)


def test_without_scipy_the_error_says_how_to_get_it(monkeypatch):
    monkeypatch.setitem(sys.modules, "scipy.sparse", None)  # import scipy.sparse now fails
    fc = FCombo(1)
    with pytest.raises(ImportError, match=r"pip install 'quorvex\[scipy\]'"):
        fc.transform([["a"]])
    assert len(fc.dict) == 0  # nothing was looked up
    with pytest.raises(ImportError, match="SciPy is needed"):
        to_csr([SparseVectorD()])
    # The rest of the package works without SciPy.
    assert SparseVectorD.from_arrays([1], [1.0]) == SparseVectorD([(1, 1.0)])


# --- FCombo.transform -----------------------------------------------------------------------------

names = st.sampled_from(["a", "b", "c", "d", "é", "x^y", "f=1", ""])
feature_lists = st.lists(
    st.lists(st.one_of(names, st.tuples(names, st.sampled_from([0.5, 2.0, -1.0]))), max_size=6), max_size=8
)


def stacked(fc, inputs, labels=None):
    """The single calls' vectors stacked, for a fresh twin of the combiner used by transform."""
    vectors = [fc(x, labels=labels) for x in inputs]
    return to_csr(vectors, n_features=len(fc.dict))


@settings(max_examples=40, deadline=None)
@given(
    feature_lists, st.integers(1, 3), st.sampled_from([None, ["L"], ["L", "M", "L"]]), st.sampled_from([None, "BIAS"])
)
def test_transform_equals_stacked_calls_growing(inputs, n, labels, bias):
    fc1, fc2 = FCombo(n, bias_item=bias), FCombo(n, bias_item=bias)
    m = fc1.transform(inputs, labels=labels)
    ref = stacked(fc2, inputs, labels)
    assert list(fc1.dict) == list(fc2.dict)  # the same ids, handed out in the same order
    assert m.shape == (len(inputs), len(fc1.dict)) and m.has_canonical_format
    assert dense_rows(m) == dense_rows(ref)


@settings(max_examples=40, deadline=None)
@given(
    feature_lists,
    st.integers(1, 3),
    st.sampled_from([None, ["L", "M"]]),
    st.lists(st.sampled_from(["a", "b", "a^b", "b^c", "L^a", "L^a^b", "M^c", "BIAS", "L^BIAS", "é"]), unique=True),
)
def test_transform_equals_stacked_calls_frozen(inputs, n, labels, words):
    d = StringAlphabet()
    for w in ["BIAS", *words]:
        d[w]
    d.growing = False
    fc = FCombo(n, d, bias_item="BIAS")
    m = fc.transform(inputs, labels=labels)
    assert len(fc.dict) == len(words) + (0 if "BIAS" in words else 1)
    assert dense_rows(m) == dense_rows(stacked(fc, inputs, labels))


def test_transform_inputs():
    fc = FCombo(2)
    rows = [FeatureList(["b", "a"]), ["a", ("c", 2)], ("c",), {"d": 1}]
    mp = Multipart([["a", "b"], [("z", 3.0)]])
    m = fc.transform([*rows, mp])
    fc2 = FCombo(2)
    assert dense_rows(m) == dense_rows(stacked(fc2, [*rows, mp]))
    assert fc.transform([]).shape == (0, len(fc.dict))
    assert FCombo(1).transform([[], []]).shape == (2, 0)
    labels = iter(["X", "Y"])  # read once for all rows
    assert FCombo(1).transform([["a"], ["b"]], labels=labels).nnz == 4


def test_transform_with_a_python_dictionary():
    class Counting(StringAlphabet):
        def __getitem__(self, key):
            return StringAlphabet.__getitem__(self, key)

    fc1, fc2 = FCombo(2, Counting()), FCombo(2, Counting())
    inputs = [["a", "b"], ["b", "c"]]
    assert dense_rows(fc1.transform(inputs, labels=["L"])) == dense_rows(stacked(fc2, inputs, ["L"]))


def test_transform_errors():
    fc = FCombo(1)
    with pytest.raises(TypeError, match="flists must be a collection of feature lists, not str"):
        fc.transform("abc")
    with pytest.raises(TypeError, match="flist must be a collection of features, not str"):
        fc.transform(["abc"])
    with pytest.raises(TypeError, match="labels must be a collection of labels, not str"):
        fc.transform([["a"]], labels="L")
    with pytest.raises(TypeError, match="expected str instance, int found"):
        fc.transform([["a"], [(1, 1.0)]])
    fc.dict = None
    with pytest.raises(TypeError, match="needs a dictionary"):
        fc.transform([["a"]])


# --- FeatureHasher.transform -----------------------------------------------------------------------


@settings(max_examples=40, deadline=None)
@given(
    st.lists(st.lists(st.one_of(names, st.integers(-5, 5)), max_size=8), max_size=8),
    st.sampled_from([None, "T", 7]),
    st.sampled_from([1, 2, 97, 514229, 2**31 - 1]),
)
def test_hasher_transform_equals_stacked_calls(lists, target, dims):
    h = FeatureHasher(dims)
    m = h.transform(lists, target=target)
    ref = to_csr([h(x, target) for x in lists], n_features=dims)
    assert m.shape == (len(lists), dims) and m.has_canonical_format
    assert dense_rows(m) == dense_rows(ref)


def test_hasher_transform_errors():
    with pytest.raises(ValueError, match="positive number of dimensions"):
        FeatureHasher(0).transform([["a"]])
    with pytest.raises(ValueError, match="positive number of dimensions"):
        FeatureHasher(-5).transform([])
    h = FeatureHasher(10)
    with pytest.raises(TypeError, match="each list must be a collection of features, not str"):
        h.transform(["abc"])
    with pytest.raises(TypeError, match="unhashable"):
        h.transform([[["a"]]])
    assert h.transform([]).shape == (0, 10)
