import io
import math
import pickle
import random

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvex import sparsmat as sm


def sv(pairs):
    return sm.SparseVectorD(pairs)


def test_accumulator_merges_and_sorts():
    a = sm.VecD1()
    a.add_count(5, 1.5)
    a.add_count(2)
    a.add_count(5, 2)
    v = a.to_sparse()
    assert list(v) == [(2, 1.0), (5, 3.5)]
    assert len(a) == 2
    a.add_count(0, -1.0)  # the accumulator stays usable after to_sparse
    assert list(a.to_sparse()) == [(0, -1.0), (2, 1.0), (5, 3.5)]
    a.clear()
    assert len(a) == 0 and not a.to_sparse()


def test_accumulator_many_repeats_stay_small():
    a = sm.VecD1()
    for i in range(100000):
        a.add_count(i % 3, 1.0)
    assert list(a) == [(0, 33334.0), (1, 33333.0), (2, 33333.0)]


@settings(max_examples=30, deadline=None)
@given(
    st.lists(
        st.tuples(
            st.one_of(st.integers(0, 300), st.integers(0, 2**20), st.integers(2**32 - 400, 2**32 - 1)),
            st.floats(-1e3, 1e3, allow_nan=False),
        ),
        min_size=150,
        max_size=700,
    ),
    st.sampled_from([sm.VecD1, sm.VecF1]),
)
def test_long_accumulators_sort_and_merge_like_short_ones(pairs, cls):
    # Long accumulators (the conjunctions of one feature list) are ordered by a radix sort
    # over as many digits as the largest index needs; equal indices are summed in the order
    # they were added, exactly as the reference does.
    a = cls()
    ref = {}
    for k, v in pairs:
        a.add_count(k, v)
        ref[k] = ref.get(k, 0.0) + v if cls is sm.VecD1 else np.float32(ref.get(k, np.float32(0))) + np.float32(v)
    got = list(a.to_sparse())
    assert [k for k, _ in got] == sorted(ref)
    assert [v for _, v in got] == [
        pytest.approx(float(ref[k]), rel=1e-6) if cls is sm.VecF1 else ref[k] for k in sorted(ref)
    ]


@settings(max_examples=60, deadline=None)
@given(
    st.integers(0, 2**32),
    st.sampled_from([3000, 2**16, 2**24, 2**32]),
    st.integers(150, 900),
    st.booleans(),
    st.sampled_from([1.0, -0.0, 0.0, 2.5, float("inf"), None]),
    st.sampled_from([sm.VecD1, sm.VecF1]),
)
def test_long_accumulators_of_one_value(seed, spread, count, unique, value, cls):
    # Entries that all carry the same value (binary features) are ordered through a bitmap
    # when the indices are dense enough; a repeated index, a second value (None: 0.0 and
    # -0.0 alternating) or indices spread too far take the radix sort. Calls follow one
    # another in one thread, so bits left behind by one would show in the next. The
    # indices are drawn uniformly (hypothesis would favour small, dense ones).
    rng = random.Random(seed)
    indices = rng.sample(range(spread), count) if unique else [rng.randrange(spread) for _ in range(count)]
    a = cls()
    ref = {}
    for n, k in enumerate(indices):
        v = (0.0 if n % 2 else -0.0) if value is None else value
        a.add_count(k, v)
        ref[k] = ref[k] + v if k in ref else v
    got = list(a.to_sparse())
    assert [k for k, _ in got] == sorted(ref)
    assert [(x, math.copysign(1.0, x)) for _, x in got] == [(ref[k], math.copysign(1.0, ref[k])) for k in sorted(ref)]


def test_vector_protocol():
    v = sv([(3, 2.0), (1, 1.0), (3, 0.5)])
    assert len(v) == 2 and bool(v)
    assert not sv([])
    assert list(v) == [(1, 1.0), (3, 2.5)]
    assert all(type(k) is int and type(x) is float for k, x in v)
    assert v.indices() == [1, 3] and v.values() == [1.0, 2.5]
    assert v == sv([(1, 1.0), (3, 2.5)]) and v != sv([(1, 1.0)])
    assert pickle.loads(pickle.dumps(v)) == v
    assert repr(v) == "SparseVectorD([(1, 1.0), (3, 2.5)])"


def test_addition_gives_a_new_vector_and_leaves_operands():
    v = sv([(0, 1.0), (2, 1.0)])
    w = sv([(2, 2.0), (7, 1.0)])
    keep = v
    v += w
    assert list(v) == [(0, 1.0), (2, 3.0), (7, 1.0)]
    assert list(keep) == [(0, 1.0), (2, 1.0)]
    assert list(w + sv([])) == list(w)
    with pytest.raises(TypeError):
        v + [(1, 1.0)]


def test_dot_products():
    v = sv([(0, 2.0), (3, -1.0)])
    w = np.arange(5, dtype="d")
    assert v.dotFull(w) == -3.0
    assert v.dotFull(w[::-1].copy()) == 2 * 4.0 - 1.0
    assert v.dotFull(np.arange(10.0)[::2]) == -6.0  # strided arrays are read with their stride
    assert v.dotSelf() == 5.0
    with pytest.raises(IndexError, match=r"Out of bounds on buffer access \(axis 0\)"):
        v.dotFull(np.zeros(3))
    with pytest.raises(ValueError, match="Buffer dtype mismatch, expected 'double' but got 'float'"):
        v.dotFull(np.zeros(5, "f"))
    with pytest.raises(ValueError, match=r"wrong number of dimensions \(expected 1, got 2\)"):
        v.dotFull(np.zeros((2, 5)))
    with pytest.raises(TypeError):
        v.dotFull([0.0] * 5)


def test_write_pairs_format():
    v = sv([(0, 1.0), (4, 0.25), (9, 1e-7)])
    b = io.BytesIO()
    v.write_pairs(b)
    assert b.getvalue() == b" 1:1 5:0.25 10:1e-07 "
    t = io.StringIO()
    v.write_pairs(t)
    assert t.getvalue() == " 1:1 5:0.25 10:1e-07 "
    e = io.BytesIO()
    sv([]).write_pairs(e)
    assert e.getvalue() == b" "


def test_float_and_int_variants():
    a = sm.VecI1()
    a.add_count(2, 3)
    a.add_count(2)
    vi = a.to_sparse()
    assert type(vi) is sm.SparseVectorI and list(vi) == [(2, 4)]
    f = sm.VecF1()
    f.add_count(1, 0.5)
    assert list(f.to_sparse()) == [(1, 0.5)]
    with pytest.raises(OverflowError):
        a.add_count(0, 2**40)
    with pytest.raises(OverflowError):
        a.add_count(-1)


def test_weighted_sets():
    s = sm.SparseVectorsD()
    s.add(sv([(0, 1.0), (2, 1.0)]), 2.0)
    s.add(sv([(2, -1.0)]))
    assert len(s) == 2
    assert list(s.to_vec()) == [(0, 2.0), (2, 1.0)]
    assert [w for w, _ in s] == [2.0, 1.0]
    with pytest.raises(TypeError, match="Argument 'vec' has incorrect type"):
        s.add(None)
    assert list(sm.SparseVectorsD.__new__(sm.SparseVectorsD).to_vec()) == []


def test_grids_and_csr():
    g = sm.VecD2()
    g.add_count(2, 1, 1.0)
    g.add_count(0, 3, 2.0)
    g.add_count(2, 1)
    assert list(g) == [(0, 3, 2.0), (2, 1, 2.0)]
    m = g.to_csr()
    assert m.num_rows == 3 and len(m) == 3
    assert [list(r) for r in m] == [[(3, 2.0)], [], [(1, 2.0)]]
    t = m.transpose()
    assert [list(r) for r in t] == [[], [(2, 2.0)], [], [(0, 2.0)]]
    assert m.left_marginals() == [2.0, 0.0, 2.0]
    assert m.right_marginals() == [0.0, 2.0, 0.0, 2.0]
    assert m.right_squared_marginals() == [0.0, 4.0, 0.0, 4.0]
    b = io.BytesIO()
    m.write_binary(b)
    back = sm.CSRMatrixD.from_binary(b.getvalue())
    assert [list(r) for r in back] == [list(r) for r in m]
    with pytest.raises(ValueError):
        sm.CSRMatrixD.from_binary(b.getvalue()[:-1])
    with pytest.raises(ValueError):
        sm.CSRMatrixI.from_binary(b.getvalue())
    h = sm.VecD3()
    h.add_count(1, 2, 3, 0.5)
    assert list(h) == [(1, 2, 3, 0.5)]
    s = sm.VecV2()
    s.add(1, 2)
    s.add(1, 2)
    s.add(0, 9)
    assert list(s) == [(0, 9), (1, 2)] and (1, 2) in s and (2, 1) not in s
    one = sm.VecV1()
    one.add(4)
    assert list(one) == [4] and 4 in one
    assert len(sm.CSRMatrixI.__new__(sm.CSRMatrixI)) == 0


def test_every_bound_type_exists():
    names = [
        "CSRMatrixD",
        "CSRMatrixI",
        "SparseVectorI",
        "VecI1",
        "VecI2",
        "VecI3",
        "SparseVectorsI",
        "CSRMatrixF",
        "SparseVectorF",
        "VecF1",
        "VecF2",
        "VecF3",
        "SparseVectorsF",
        "SparseVectorD",
        "VecD1",
        "VecD2",
        "VecD3",
        "SparseVectorsD",
        "VecV1",
        "VecV2",
        "VecV3",
    ]
    for name in names:
        assert isinstance(getattr(sm, name), type), name


def test_columns_at_the_top_of_the_coordinate_range():
    top = 2**32 - 1
    m = sm.CSRMatrixD([[(top, 1.0)], [(0, 2.0)]])
    assert [list(r) for r in m] == [[(top, 1.0)], [(0, 2.0)]]
    with pytest.raises(OverflowError):
        m.transpose()  # would need 2**32 rows
    b = io.BytesIO()
    m.write_binary(b)
    with pytest.raises(OverflowError):
        sm.CSRMatrixD.from_binary(b.getvalue()).transpose()
    g = sm.VecD2()
    g.add_count(1, top, 1.0)
    assert [list(r) for r in g.to_csr()] == [[], [(top, 1.0)]]
    g.add_count(top, 0, 1.0)
    with pytest.raises(OverflowError):
        g.to_csr()  # the row count would be 2**32
    assert list(g) == [(1, top, 1.0), (top, 0, 1.0)]
    near = sm.CSRMatrixI([[(2**20, 3)]])
    assert near.right_marginals()[-1] == 3 and len(near.right_marginals()) == 2**20 + 1
    assert [list(r) for r in near.transpose()][-1] == [(0, 3)]


def test_integer_marginals_beyond_int32_raise():
    big = 2**31 - 1
    m = sm.CSRMatrixI([[(0, big), (1, 1)], [(0, 1)]])
    with pytest.raises(OverflowError):
        m.right_marginals()
    with pytest.raises(OverflowError):
        sm.CSRMatrixI([[(0, big), (1, 1)]]).left_marginals()
    with pytest.raises(OverflowError):
        sm.CSRMatrixI([[(0, 2**16)]]).right_squared_marginals()
    assert sm.CSRMatrixI([[(0, 46340)]]).right_squared_marginals() == [46340**2]
    assert sm.CSRMatrixI([[(0, big)], [(0, 1)]]).left_marginals() == [big, 1]
    assert sm.CSRMatrixD([[(0, 1e308), (1, 1e308)]]).left_marginals() == [float("inf")]


def test_binary_image_sizes_are_checked_before_allocating():
    import struct

    for rows, entries in ((2**32 - 1, 2**32 - 1), (2**31, 0), (0, 2**31), (1, 1)):
        image = b"CSRD" + struct.pack("=II", rows, entries) + b"\0" * 16
        with pytest.raises(ValueError, match="truncated or oversized"):
            sm.CSRMatrixD.from_binary(image)
    bad_offsets = b"CSRD" + struct.pack("=II", 1, 1) + struct.pack("=ii", 0, 2) + struct.pack("=I", 0) + b"\0" * 8
    with pytest.raises(ValueError, match="bad row offsets"):
        sm.CSRMatrixD.from_binary(bad_offsets)
    with pytest.raises(ValueError, match="not a CSRMatrixD"):
        sm.CSRMatrixD.from_binary(b"CSR")


@pytest.mark.parametrize("rows", [None, [], [[]], [[], []], ()])
def test_empty_matrices(rows):
    m = sm.CSRMatrixD() if rows is None else sm.CSRMatrixD(rows)
    assert len(m) == len(rows or [])
    assert m.transpose().num_rows == 0 and m.right_marginals() == []
    b = io.BytesIO()
    m.write_binary(b)
    assert len(sm.CSRMatrixD.from_binary(b.getvalue())) == len(m)


def test_integer_sums_beyond_int32_raise_instead_of_wrapping():
    big = 2**31 - 1
    with pytest.raises(OverflowError):
        sm.SparseVectorI([(0, big)]) + sm.SparseVectorI([(0, 1)])
    with pytest.raises(OverflowError):
        sm.SparseVectorI([(0, -big - 1)]) + sm.SparseVectorI([(0, -1)])
    assert list(sm.SparseVectorI([(0, big)]) + sm.SparseVectorI([(0, -1), (1, 1)])) == [(0, big - 1), (1, 1)]
    with pytest.raises(OverflowError):
        sm.SparseVectorI([(0, big), (0, 1)])  # repeated indices are summed
    with pytest.raises(OverflowError):
        sm.SparseVectorI([(5, 1), (0, big), (5, 2), (0, 1)])  # unordered input takes the sorting path
    a = sm.VecI1()
    a.add_count(3, big)
    a.add_count(3, 1)
    with pytest.raises(OverflowError):
        a.to_sparse()
    with pytest.raises(OverflowError):
        len(a)
    a.add_count(4, 1)
    with pytest.raises(OverflowError):
        a.to_sparse()  # sums run in insertion order: big + 1 comes first
    a.clear()  # still usable
    a.add_count(3, big)
    assert list(a.to_sparse()) == [(3, big)]
    g = sm.VecI2()
    g.add_count(0, 0, big)
    g.add_count(0, 0, big)
    with pytest.raises(OverflowError):
        g.to_csr()
    g.clear()
    g.add_count(0, 0, big)
    assert list(g) == [(0, 0, big)]
    with pytest.raises(OverflowError):
        sm.CSRMatrixI([[(0, big), (0, 1)]])
    s = sm.SparseVectorsI()
    s.add(sm.SparseVectorI([(0, 2)]), 2.0**31)
    with pytest.raises(OverflowError):
        s.to_vec()  # 2**32 does not fit an int32 entry
    s2 = sm.SparseVectorsI()
    s2.add(sm.SparseVectorI([(0, 1)]), float("nan"))
    with pytest.raises(OverflowError):
        s2.to_vec()


@given(
    st.lists(
        st.tuples(
            st.one_of(st.integers(0, 60), st.integers(2**26 - 2, 2**32 - 1)),
            st.sampled_from([1.0, -2.5, 0.1, 3.0, 1e-300]),
        ),
        max_size=45,
    )
)
@settings(max_examples=200, deadline=None)
def test_accumulators_sum_in_insertion_order(entries):
    a = sm.VecD1()
    ref = {}
    for k, v in entries:
        a.add_count(k, v)
        ref[k] = ref[k] + v if k in ref else v
    assert list(a.to_sparse()) == sorted(ref.items())
