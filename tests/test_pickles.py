"""Pickle round trips of the stateful classes, in this process and in a fresh one."""

import os
import pickle
import subprocess
import sys

import numpy as np
import pytest

import quorvex.sparsmat as S
from quorvex.alphabet import StringAlphabet
from quorvex.feature import BloomFMap, CountingBloomFilter, FCombo, FeatureHasher
from quorvex.learn import AdaGrad, AvgMira, AvgPer, FileModel, SgdMomentum


def accumulators():
    out = []
    for suffix, value in (("I", 3), ("F", 0.25), ("D", -1.5)):
        v1 = getattr(S, f"Vec{suffix}1")()
        v1.add_count(7, value)
        v1.add_count(2, value)
        v1.add_count(7, value)
        v2 = getattr(S, f"Vec{suffix}2")()
        v2.add_count(1, 4, value)
        v2.add_count(0, 9, value)
        v3 = getattr(S, f"Vec{suffix}3")()
        v3.add_count(1, 2, 3, value)
        out += [v1, v2, v3]
    for dims in (1, 2, 3):
        v = getattr(S, f"VecV{dims}")()
        v.add(*range(5, 5 + dims))
        v.add(*range(dims))
        out.append(v)
    return out


def sparse_sets():
    out = []
    for suffix, value in (("I", 2), ("F", 0.5), ("D", 1.25)):
        s = getattr(S, f"SparseVectors{suffix}")()
        s.add(getattr(S, f"SparseVector{suffix}")([(3, value), (1, value)]), 2.0)
        s.add(getattr(S, f"SparseVector{suffix}")([(3, value)]))
        out.append(s)
    return out


def matrices():
    rows = [[(0, 1), (5, 2)], [], [(2, 3)]]
    return [getattr(S, f"CSRMatrix{s}")(rows) for s in "IFD"] + [S.CSRMatrixD(), S.CSRMatrixD([[]])]


def fingerprint(obj):
    """What an object holds, as plain data that compares equal."""
    if isinstance(obj, tuple(getattr(S, f"CSRMatrix{s}") for s in "IFD")):
        return type(obj).__name__, [list(r) for r in obj]
    if isinstance(obj, tuple(getattr(S, f"SparseVectors{s}") for s in "IFD")):
        return type(obj).__name__, [(w, list(v)) for w, v in obj], list(obj.to_vec())
    if type(obj).__name__.startswith("Vec"):
        return type(obj).__name__, list(obj), len(obj)
    if isinstance(obj, FileModel):
        return "FileModel", list(obj.weights), obj.fc, obj.n_dimensions
    if isinstance(obj, FCombo):
        return "FCombo", list(obj.dict), obj.dict.growing, obj.scale, obj.norm_p, list(obj(["a", "b", "zz"]))
    if isinstance(obj, FeatureHasher):
        return "FeatureHasher", obj.num_dimensions, obj.hash, obj.seed, list(obj(["a", "b"], "t"))
    if isinstance(obj, CountingBloomFilter):
        return "CountingBloomFilter", obj.__reduce__()[1:]
    if isinstance(obj, BloomFMap):
        return "BloomFMap", obj.min_count, list(obj.dict), fingerprint(obj.bloom)
    state = obj.get_state()
    return type(obj).__name__, {k: (v.tolist() if isinstance(v, np.ndarray) else v) for k, v in state.items()}


def stateful_objects(tmp_path):
    d = StringAlphabet()
    for w in ("a", "b", "c"):
        d[w]
    fc = FCombo(2, d, bias_item="b", scale=0.5, norm_p=2.0)
    np.save(tmp_path / "w.npy", np.array([0.5, -1.0, 2.0]))
    fm = FileModel(str(tmp_path / "w.npy"))
    fm.fc = "the combiner"
    bloom = CountingBloomFilter(257, 3, hash="murmur3", seed=9)
    bloom.add_count("a", 4)
    fmap = BloomFMap(hash="murmur3")
    fmap.bloom = bloom
    fmap(["q", "q", "q", "r"])
    learners = []
    for learner in (AvgPer(5), AvgMira(5), AdaGrad(5, l1=0.1), SgdMomentum(5, l2=0.01)):
        x = S.SparseVectorD([(1, 1.0), (4, -0.5)])
        if isinstance(learner, AvgMira):
            g = S.SparseVectorsD()
            g.add(x)
            learner.update(g)
        else:
            learner.update([(1.0, x)])
        learners.append(learner)
    return (
        accumulators()
        + sparse_sets()
        + matrices()
        + learners
        + [fc, fm, FeatureHasher(101, hash="murmur3", seed=3), bloom, fmap]
    )


def test_every_stateful_class_round_trips(tmp_path):
    objects = stateful_objects(tmp_path)
    for protocol in (0, 2, pickle.HIGHEST_PROTOCOL):
        for obj in objects:
            back = pickle.loads(pickle.dumps(obj, protocol))
            assert type(back) is type(obj)
            assert fingerprint(back) == fingerprint(obj), type(obj).__name__


CHILD = """
import pickle, sys
sys.path.insert(0, sys.argv[1])
from test_pickles import fingerprint
objects = pickle.loads(sys.stdin.buffer.read())
sys.stdout.buffer.write(pickle.dumps([fingerprint(o) for o in objects]))
"""


def test_unpickling_in_a_fresh_process(tmp_path):
    import pathlib

    objects = stateful_objects(tmp_path)
    data = pickle.dumps(objects)
    here = str(pathlib.Path(__file__).parent)
    out = subprocess.run(
        [sys.executable, "-c", CHILD, here],
        input=data,
        capture_output=True,
        check=True,
        timeout=120,
        env=dict(os.environ, PYTHONHASHSEED="12345"),
    ).stdout
    assert pickle.loads(out) == [fingerprint(o) for o in objects]


def test_bad_pickle_states_are_refused():
    m = S.CSRMatrixD([[(1, 2.0)]])
    with pytest.raises(ValueError):
        m.__setstate__(b"CSRD" + b"\xff" * 8)
    with pytest.raises(ValueError):
        m.__setstate__(S.CSRMatrixF([[(0, 1.0)]]).__reduce__()[2])  # another element type
    assert [list(r) for r in m] == [[(1, 2.0)]]
    v = S.VecD1()
    v.add_count(1, 1.0)
    with pytest.raises(ValueError):
        v.__setstate__([(1, 2.0), (3,)])
    with pytest.raises(OverflowError):
        v.__setstate__([(-1, 2.0)])
    assert list(v) == [(1, 1.0)]
    g = S.VecI2()
    with pytest.raises(ValueError):
        g.__setstate__([(1, 2)])  # no value
    with pytest.raises(OverflowError):
        S.VecI1().__setstate__([(0, 2**31)])
    s = S.SparseVectorsD()
    with pytest.raises(TypeError):
        s.__setstate__([(1.0, S.SparseVectorF([(0, 1.0)]))])
    with pytest.raises(TypeError):
        s.__setstate__([("heavy", S.SparseVectorD([(0, 1.0)]))])
    assert len(s) == 0
    fm = FileModel.__new__(FileModel)
    with pytest.raises(ValueError):
        fm.__setstate__((np.zeros(3, np.float32), None))
    with pytest.raises(TypeError):
        fm.__setstate__(np.zeros(3))
