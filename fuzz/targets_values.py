"""Entry points fed boundary values, state restoration (__setstate__, set_state, make_classifier),
and sparse arithmetic checked against a plain-Python model."""

import pickle

import numpy as np
from hypothesis import strategies as st

from quorvex import sparsmat
from quorvex.alphabet import PythonAlphabet, StringAlphabet
from quorvex.feature import BloomFMap, CountingBloomFilter, ExtensibleArray, FCombo, FeatureHasher, FeatureList
from quorvex.learn import AdaGrad, AvgPer, FileModel, SgdMomentum, make_classifier, mix

from .registry import expected, target
from .strategies import BOUNDARY_FLOATS, BOUNDARY_INTS, plain_values, scalars


def small(a):
    """Sizes and positions that mean allocations are kept modest: a genuinely huge
    request is allowed to take the machine's memory and time."""
    return a % 8192 - 64 if isinstance(a, int) and not isinstance(a, bool) and abs(a) > 8192 else a


CALLS = {
    "SparseVectorD": lambda a, b: sparsmat.SparseVectorD([(a, b)]),
    "SparseVectorI": lambda a, b: sparsmat.SparseVectorI([(a, b), (a, b)]),
    # A transpose has a row per column up to the largest: only small columns are transposed.
    "CSRMatrixD": lambda a, b: (
        sparsmat.CSRMatrixD([[(a, b)]]).transpose()
        if not isinstance(a, int) or a < 1 << 20
        else sparsmat.CSRMatrixD([[(a, b)]]).left_marginals()
    ),
    "VecI2": lambda a, b: (lambda g: (g.add_count(small(a), a, b), g.add_count(small(a), a, b), g.to_csr()))(
        sparsmat.VecI2()
    ),
    "dotFull": lambda a, b: sparsmat.SparseVectorD([(a, 1.0)]).dotFull(np.zeros(4)),
    "CountingBloomFilter": lambda a, b: CountingBloomFilter(small(a), small(b)).add_count("x", 1),
    "ExtensibleArray": lambda a, b: ExtensibleArray("d").__setitem__(small(a), b),
    "FeatureHasher": lambda a, b: FeatureHasher(small(a))(["x"], target=b),
    "murmur3": lambda a, b: FeatureHasher(small(a), hash="murmur3", seed=b).cross([a, "x"], [b, None]),
    "FCombo": lambda a, b: FCombo(a if not isinstance(a, int) or 0 <= a < 5 else 2, bias_item=b)(["p", "q"]),
    "FeatureList": lambda a, b: FeatureList([(str(a), b), "x"]),
    "AvgPer": lambda a, b: AvgPer(a if not isinstance(a, int) or a < 4096 else 8).update(
        [(b, sparsmat.SparseVectorD([(1, 1.0)]))]
    ),
    "AdaGrad": lambda a, b: AdaGrad(8, a, b),
    "SgdMomentum": lambda a, b: SgdMomentum(8, l2=a, momentum=b),
    "get_dense": lambda a, b: AvgPer(8).get_dense(small(a), small(b)),
    "StringAlphabet": lambda a, b: StringAlphabet(a)[b],
    "make_classifier": lambda a, b: make_classifier(a, np.zeros(3), b),
}
boundary = st.one_of(st.sampled_from(BOUNDARY_INTS), st.sampled_from(BOUNDARY_FLOATS), scalars)


@target("boundary_calls", st.lists(st.tuples(st.sampled_from(sorted(CALLS)), boundary, boundary), max_size=8))
def boundary_calls(calls):
    for name, a, b in calls:
        with expected():
            CALLS[name](a, b)


def _restore(kind, state):
    if kind == "StringAlphabet":
        StringAlphabet().__setstate__(state)
    elif kind == "PythonAlphabet":
        PythonAlphabet().__setstate__(state)
    elif kind == "FCombo":
        FCombo(1).__setstate__(state)
    elif kind == "make_classifier":
        tag, weights, fc = (list(state) + [None, None, None])[:3] if isinstance(state, (list, tuple)) else (state, 0, 0)
        arr = (
            np.asarray(weights, dtype=float)
            if isinstance(weights, list)
            and all(isinstance(x, (int, float)) and not isinstance(x, bool) and abs(x) < 1e300 for x in weights)
            else weights
        )
        learner = make_classifier(tag, arr, fc)
        learner.score(sparsmat.SparseVectorD([(0, 1.0)]), False)
        pickle.loads(pickle.dumps(learner))
    elif kind == "learner_state":
        _learner_state(state)
    elif kind in _SETSTATE:
        obj = _SETSTATE[kind]()
        obj.__setstate__(state)
        pickle.loads(pickle.dumps(obj))
    else:
        StringAlphabet().fromfile_utf8(state)


# Classes restored by __setstate__ from a plain value.
_SETSTATE = {
    "CSRMatrixD": sparsmat.CSRMatrixD,
    "VecD1": sparsmat.VecD1,
    "VecI2": sparsmat.VecI2,
    "VecV1": sparsmat.VecV1,
    "SparseVectorsD": sparsmat.SparseVectorsD,
    "FileModel": lambda: FileModel.__new__(FileModel),
    "CountingBloomFilter": lambda: CountingBloomFilter(16, 2, hash="murmur3"),
    "BloomFMap": lambda: BloomFMap.__new__(BloomFMap),
}


def _as_array(value):
    if isinstance(value, list) and all(
        isinstance(x, (int, float)) and not isinstance(x, bool) and abs(x) < 2**62 for x in value
    ):
        return np.asarray(value, dtype=float if any(isinstance(x, float) for x in value) else np.int64)
    return value


def _learner_state(change):
    """A learner's state with one key replaced (or dropped) goes through set_state and mix;
    a refused state must leave the learner as it was."""
    key, value = (list(change) + [None, None])[:2] if isinstance(change, (list, tuple)) else (change, None)
    for cls in (AvgPer, AdaGrad, SgdMomentum):
        learner = cls(4)
        learner.update([(1.0, sparsmat.SparseVectorD([(1, 1.0)]))])
        good = learner.get_state()
        state = dict(good)
        if isinstance(key, str) and value is None:
            state.pop(key, None)
        elif isinstance(key, (str, int)):
            state[key] = _as_array(value)
        try:
            learner.set_state(state)
        except (TypeError, ValueError):
            after = learner.get_state()
            assert all(
                np.array_equal(after[k], good[k]) if isinstance(good[k], np.ndarray) else after[k] == good[k]
                for k in good
            ), "a refused state changed the learner"
            raise
        mix([state, learner.get_state()])


@target(
    "setstate",
    st.tuples(
        st.sampled_from(
            [
                "StringAlphabet",
                "PythonAlphabet",
                "FCombo",
                "make_classifier",
                "fromfile",
                "learner_state",
                *sorted(_SETSTATE),
            ]
        ),
        plain_values,
    ),
)
def setstate(args):
    kind, state = args
    with expected(AttributeError):
        _restore(kind, state)


entries = st.lists(
    st.tuples(st.one_of(st.integers(0, 40), st.sampled_from([2**31, 2**32 - 1])), st.integers(-(2**31), 2**31 - 1)),
    max_size=12,
)


@target("int_vectors", st.tuples(entries, entries))
def int_vectors(args):
    xs, ys = args

    def model(pairs):
        out = {}
        for k, v in pairs:
            out[k] = out.get(k, 0) + v
        return out

    def fits(d):
        return all(-(2**31) <= v < 2**31 for v in d.values())

    def prefix_fits(pairs):  # sums run in insertion order, per index
        acc = {}
        for k, v in pairs:
            acc[k] = acc.get(k, 0) + v
            if not -(2**31) <= acc[k] < 2**31:
                return False
        return True

    try:
        x = sparsmat.SparseVectorI(xs)
        assert prefix_fits(xs) and list(x) == sorted(model(xs).items())
    except OverflowError:
        assert not prefix_fits(xs)
        return
    y = sparsmat.SparseVectorI(ys) if prefix_fits(ys) else sparsmat.SparseVectorI([])
    my = model(ys) if prefix_fits(ys) else {}
    both = model(list(model(xs).items()) + list(my.items()))
    try:
        s = x + y
        assert fits(both) and list(s) == sorted(both.items()), "wrong sum"
    except OverflowError:
        assert not fits(both)
    acc = sparsmat.VecI1()
    for k, v in xs:
        acc.add_count(k, v)
    assert list(acc.to_sparse()) == list(x)
