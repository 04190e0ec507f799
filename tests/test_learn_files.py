"""Weight files (save_binary, FileModel), make_classifier and pickling of the learners."""

import pickle
import re

import numpy as np
import pytest
from conftest import sv
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvex.learn as learn
from quorvex.learn import AdaGrad, AvgMira, AvgPer, FileModel, SgdMomentum, make_classifier
from quorvex.sparsmat import SparseVectorsD


def mira_step(m, vec, loss=1.0):
    g = SparseVectorsD()
    g.add(vec)
    m.update(g, loss)


def trained(cls, n=6, steps=12, seed=3):
    rng = np.random.default_rng(seed)
    learner = cls(n)
    for _ in range(steps):
        f = rng.choice(n, size=3, replace=False)
        x = sv(*[(int(i), float(v)) for i, v in zip(f, rng.standard_normal(3))])
        if cls is AvgMira:
            mira_step(learner, x, loss=learner.score(x, False) + 1.0)
        else:
            learner.update([(float(rng.choice([-1.0, 1.0])), x)])
    return learner


PROBES = [sv((0, 1.0)), sv((1, -2.0), (5, 0.5)), sv((0, 1.0), (2, 1.0), (3, 1.0), (4, 1.0)), sv()]


# --- save_binary and FileModel --------------------------------------------------------------


def test_file_format(tmp_path):
    p = trained(AvgPer)
    path = tmp_path / "weights.bin"
    assert p.save_binary(str(path)) is None
    assert path.exists() and not (tmp_path / "weights.bin.npy").exists()  # no extension added
    raw = path.read_bytes()
    assert raw[:8] == b"\x93NUMPY\x01\x00"  # .npy version 1.0
    header = raw[10 : 10 + int.from_bytes(raw[8:10], "little")].decode("latin1")
    assert "'descr': '<f8'" in header and "'fortran_order': False" in header and "'shape': (6,)" in header
    np.testing.assert_array_equal(np.load(path), np.asarray(p.avgWeights) / p.timestep)


@pytest.mark.parametrize("cls", [AvgPer, AvgMira, AdaGrad])
def test_averaging_learner_round_trip(tmp_path, cls):
    learner = trained(cls)
    path = str(tmp_path / "w.npy")
    expected = np.asarray(learner.avgWeights) / learner.timestep  # as they stand, before any scoring
    learner.save_binary(path)
    model = FileModel(path)
    assert model.n_dimensions == 6 and model.fc is None
    np.testing.assert_array_equal(model.weights, expected)
    np.testing.assert_array_equal(model.get_dense(0, 6), expected)
    if cls is AvgPer:  # its averaged score reads the same averages
        for x in PROBES:
            assert model.score(x) == pytest.approx(learner.score(x), rel=1e-12, abs=1e-15)
            assert model.score(x, use_avg=False) == model.score(x)


def test_mira_file_holds_the_catch_up_of_score(tmp_path):
    m = AvgMira(3)
    x = sv((0, 1.0))
    mira_step(m, x, 0.5)
    mira_step(m, sv((1, 1.0)))
    mira_step(m, sv((2, 1.0)))
    m.score(x)  # catches up feature 0 only
    m.save_binary(str(tmp_path / "m.npy"))
    w = FileModel(str(tmp_path / "m.npy")).weights
    assert list(w) == [0.5, 0.0, 0.0]  # feature 0 caught up; the others' contributions still pending
    m.get_dense(0, 3, testing=False)
    m.save_binary(str(tmp_path / "m.npy"))
    np.testing.assert_allclose(FileModel(str(tmp_path / "m.npy")).weights, [0.5, 2 / 3, 1 / 3])


def test_avgper_catch_up_before_saving(tmp_path):
    p = AvgPer(2)
    p.update([(1.0, sv((0, 1.0)))])
    for _ in range(3):
        p.update([(1.0, sv((1, 1.0)))])
    p.save_binary(str(tmp_path / "stale.npy"))
    assert list(np.load(tmp_path / "stale.npy")) == [0.0, 0.75]  # the missing contributions
    p.get_dense(0, p.n_dimensions, testing=False)
    p.save_binary(str(tmp_path / "exact.npy"))
    assert list(np.load(tmp_path / "exact.npy")) == [1.0, 1.5]  # the means of the weights held


def test_sgd_round_trip(tmp_path):
    s = SgdMomentum(4, l2=0.2, n_examples=1.0)
    for k in range(6):
        s.update([(1.0, sv((k % 4, 1.0), (3, -0.5)))])
    path = str(tmp_path / "sgd")
    s.save_binary(path)
    model = FileModel(path)
    for x in (sv((0, 1.0)), sv((1, 2.0), (3, 1.0)), sv((2, -1.0))):
        assert model.score(x) == pytest.approx(s.score(x), rel=1e-12, abs=1e-15)
    assert s.get_dense(0, 4) is not s.weights
    np.testing.assert_array_equal(s.get_dense(0, 4), s.weights)  # the scale is 1.0 after saving
    np.testing.assert_array_equal(model.weights, s.weights)


def test_sgd_save_uses_an_overriding_get_weights(tmp_path):
    class Halved(SgdMomentum):
        def get_weights(self):
            return super().get_weights() / 2

    s = Halved(2)
    s.update([(1.0, sv((0, 1.0)))])
    s.save_binary(str(tmp_path / "h.npy"))
    assert np.load(tmp_path / "h.npy")[0] == pytest.approx(0.05)


@pytest.mark.parametrize("cls", [AvgPer, AvgMira, AdaGrad])
def test_save_at_timestep_zero_writes_the_current_weights(tmp_path, cls):
    # No step yet: the average of no weights is the current weights, not 0 / 0.
    learner = cls(3)
    learner.set_weights(np.array([1.0, 0.0, -2.5]))
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("error")
        learner.save_binary(str(tmp_path / "z.npy"))
    np.testing.assert_array_equal(np.load(tmp_path / "z.npy"), [1.0, 0.0, -2.5])
    cls(2).save_binary(str(tmp_path / "fresh.npy"))
    np.testing.assert_array_equal(FileModel(str(tmp_path / "fresh.npy")).weights, [0.0, 0.0])


def test_save_failures_leave_files_alone(tmp_path):
    p = trained(AvgPer)
    with pytest.raises(OSError):
        p.save_binary(str(tmp_path / "missing-dir" / "w.npy"))
    assert not (tmp_path / "missing-dir").exists()
    existing = tmp_path / "keep.npy"
    existing.write_bytes(b"precious")
    with pytest.raises(AttributeError):
        AvgPer.__new__(AvgPer).save_binary(str(existing))  # the array fails before the file is opened
    assert existing.read_bytes() == b"precious"
    with pytest.raises(TypeError):
        p.save_binary(None)
    with pytest.raises(TypeError):
        p.save_binary()


def test_file_model_refuses_foreign_files(tmp_path):
    def write(name, array):
        path = tmp_path / name
        with open(path, "wb") as f:
            np.save(f, array)
        return str(path)

    with pytest.raises(ValueError, match=re.escape("Buffer dtype mismatch, expected 'double' but got 'float'")):
        FileModel(write("f32.npy", np.zeros(3, np.float32)))
    with pytest.raises(ValueError, match=r"wrong number of dimensions \(expected 1, got 2\)"):
        FileModel(write("2d.npy", np.zeros((2, 3))))
    with pytest.raises(ValueError, match=r"wrong number of dimensions \(expected 1, got 0\)"):
        FileModel(write("0d.npy", np.float64(3.0)))
    with pytest.raises(ValueError):
        FileModel(write("int.npy", np.arange(3)))
    with pytest.raises(ValueError):
        FileModel(write("be.npy", np.zeros(3, ">f8")))
    with pytest.raises(FileNotFoundError):
        FileModel(str(tmp_path / "nothing.npy"))
    empty = tmp_path / "empty.npy"
    empty.write_bytes(b"")
    with pytest.raises(EOFError):
        FileModel(str(empty))
    junk = tmp_path / "junk.npy"
    junk.write_bytes(b"this is not a weight file at all")
    with pytest.raises(ValueError):
        FileModel(str(junk))
    np.savez(tmp_path / "many.npz", a=np.zeros(3), b=np.ones(2))
    with pytest.raises(ValueError, match="not a weight file"):
        FileModel(str(tmp_path / "many.npz"))
    with pytest.raises(TypeError):
        FileModel(None)
    with pytest.raises(TypeError):
        FileModel()


class Trap:
    """Unpickling it would leave a marker file."""

    def __init__(self, path):
        self.path = path

    def __reduce__(self):
        return (open, (self.path, "w"))


def test_file_model_never_unpickles(tmp_path):
    marker = tmp_path / "unpickled"
    objects = np.empty(2, dtype=object)
    objects[0], objects[1] = Trap(str(marker)), 1.0
    path = tmp_path / "objects.npy"
    np.save(path, objects, allow_pickle=True)
    with pytest.raises(ValueError):
        FileModel(str(path))
    pickled = tmp_path / "pickled.npy"
    pickled.write_bytes(pickle.dumps(Trap(str(marker))))
    with pytest.raises(ValueError):
        FileModel(str(pickled))
    assert not marker.exists()


def test_file_model_scoring_and_dense(tmp_path, unraisable):
    np.save(tmp_path / "w.npy", np.array([1.0, 2.0, -1.0]))
    model = FileModel(str(tmp_path / "w.npy"))
    assert model.score(sv((0, 1.0), (2, 3.0))) == -2.0
    assert model.score(sv((1, 1.0), (3, 1.0))) == 0.0
    assert unraisable == [
        (
            IndexError,
            "Out of bounds on buffer access (axis 0): feature 3 is out of range for a weight array of 3",
            "quorvex.learn.FileModel.score",
        )
    ]
    with pytest.raises(TypeError, match="Argument 'vec' has incorrect type"):
        model.score(None)
    dense = model.get_dense(0, 3)
    dense[0] = 99.0
    assert model.weights[0] == 1.0  # a copy
    assert list(model.get_dense(1, 3)) == [2.0, -1.0] and list(model.get_dense(-3, -1)) == [1.0, 2.0]
    with pytest.raises(ValueError, match=re.escape("from shape (2,) into shape (5,)")):
        model.get_dense(-2, 3)  # a length of end - start, filled by slice rules
    with pytest.raises(ValueError, match="could not broadcast"):
        model.get_dense(0, 4)
    with pytest.raises(TypeError):
        model.get_dense(0, 3, True)
    model.fc = "combiner"
    del model.fc
    assert model.fc is None
    with pytest.raises(AttributeError):
        model.update
    np.save(tmp_path / "none.npy", np.zeros(0))
    assert FileModel(str(tmp_path / "none.npy")).score(sv()) == 0.0  # no first element: reported
    assert unraisable[-1][0] is IndexError


@settings(max_examples=40, deadline=None)
@given(st.lists(st.floats(allow_nan=False, width=64), min_size=1, max_size=40), st.integers(1, 50))
def test_weight_file_round_trip(tmp_path_factory, values, timestep):
    path = str(tmp_path_factory.mktemp("rt") / "w.npy")
    p = AvgPer(len(values))
    avg = np.array(values)
    p.set_weights(np.zeros(len(values)))
    np.asarray(p.avgWeights)[:] = avg
    for _ in range(timestep):
        p.update([])
    with np.errstate(over="ignore", invalid="ignore"):
        p.save_binary(path)
        expected = avg / timestep
    model = FileModel(path)
    np.testing.assert_array_equal(model.weights, expected)
    assert model.n_dimensions == len(values)


# --- make_classifier and pickling ---------------------------------------------------------------


def test_make_classifier_tags():
    w = np.array([1.0, -2.0, 0.5])
    for tag, cls in (("adagrad", AdaGrad), ("avgper", AvgPer), ("mira", AvgMira)):
        fc = {"combiner": tag}
        learner = make_classifier(tag, w, fc)
        assert type(learner) is cls and learner.weights is w and learner.fc is fc
        assert learner.timestep == 0 and learner.n_dimensions == 3
        np.testing.assert_array_equal(learner.avgWeights, w)
    for tag in ("perceptron", "AvgPer", None, 3, b"avgper", "bogus"):
        with pytest.raises(ValueError, match="unknown kind .* 'adagrad', 'avgper', 'mira'"):
            make_classifier(tag, w)
    with pytest.raises(ValueError, match="unknown kind 'sgd'"):
        make_classifier("sgd", "no weights at all")
    assert make_classifier("avgper", w).fc is None
    assert make_classifier(tp="mira", weights=w, fc=1).fc == 1


def test_make_classifier_shares_weights_not_averages():
    w = np.array([1.0, 2.0])
    learner = make_classifier("adagrad", w, None)
    w[0] = 10.0
    assert learner.weights[0] == 10.0 and learner.avgWeights[0] == 1.0


def test_make_classifier_errors():
    with pytest.raises(TypeError):
        make_classifier("avgper", 3.0)
    with pytest.raises(TypeError):
        make_classifier("avgper", [1.0, 2.0])  # a list has a length but no buffer
    with pytest.raises(ValueError, match="dtype mismatch"):
        make_classifier("mira", np.zeros(3, np.float32))
    with pytest.raises(ValueError, match="dimensions"):
        make_classifier("mira", np.zeros((3, 3)))
    with pytest.raises(TypeError):
        make_classifier("avgper")

    class Odd:
        def __eq__(self, other):
            raise RuntimeError("no comparison")

    with pytest.raises(RuntimeError):
        make_classifier(Odd(), np.zeros(2))


class OldPickle:
    """Pickles the way earlier versions pickled an averaging learner: as a call of
    make_classifier(tag, averaged weights, fc)."""

    def __init__(self, tag, weights, fc):
        self.args = (tag, weights, fc)

    def __reduce__(self):
        return (learn.make_classifier, self.args)


def test_old_pickles_still_load():
    w = np.array([0.5, -1.0, 2.0])
    for tag, cls in (("avgper", AvgPer), ("mira", AvgMira), ("adagrad", AdaGrad)):
        for protocol in (0, 2, pickle.HIGHEST_PROTOCOL):
            r = pickle.loads(pickle.dumps(OldPickle(tag, w, {"fc": tag}), protocol))
            assert type(r) is cls and r.timestep == 0 and r.fc == {"fc": tag}
            np.testing.assert_array_equal(r.weights, w)
            assert r.score(sv((1, 1.0), (2, 1.0)), False) == 1.0
    # An old pickle of an FCombo: (FCombo, (n, dict), None).
    from quorvex.alphabet import StringAlphabet
    from quorvex.feature import FCombo

    d = StringAlphabet()
    d["a"]
    fc = pickle.loads(pickle.dumps(OldFCombo(2, d)))
    assert type(fc) is FCombo and fc.scale == 1.0 and list(fc.dict) == ["a"]


class OldFCombo:
    def __init__(self, n, d):
        self.args = (n, d)

    def __reduce__(self):
        from quorvex.feature import FCombo

        return (FCombo, self.args, None)


def test_save_binary_targets(tmp_path, capfd):
    import io
    import os

    p = trained(AvgPer)
    expected = np.asarray(p.avgWeights) / p.timestep
    for bad in (1, 0, True, 2.5, [str(tmp_path / "x")]):  # never a file descriptor
        with pytest.raises(TypeError, match="path or a writable file object"):
            p.save_binary(bad)
    print("stdout still open")
    assert "stdout still open" in capfd.readouterr().out
    buf = io.BytesIO()
    p.save_binary(buf)
    assert not buf.closed
    np.testing.assert_array_equal(np.load(io.BytesIO(buf.getvalue())), expected)
    p.save_binary(tmp_path / "pathlike.npy")
    p.save_binary(os.fsencode(str(tmp_path / "bytes.npy")))
    for name in ("pathlike.npy", "bytes.npy"):
        np.testing.assert_array_equal(FileModel(tmp_path / name).weights, expected)
    with open(tmp_path / "bytes.npy", "rb") as f:
        np.testing.assert_array_equal(FileModel(f).weights, expected)
    with pytest.raises(TypeError):
        FileModel(3)  # not a descriptor either


@pytest.mark.parametrize("shape", [(2**40,), (2**31,), (7,), (2**20, 2**20)])
@pytest.mark.parametrize("version", [(1, 0), (2, 0)])
def test_file_model_header_claiming_more_than_the_file(tmp_path, shape, version):
    import io

    import numpy.lib.format as npy

    head = io.BytesIO()
    npy.write_array_header_1_0(head, {"descr": "<f8", "fortran_order": False, "shape": shape}) if version == (
        1,
        0,
    ) else npy.write_array_header_2_0(head, {"descr": "<f8", "fortran_order": False, "shape": shape})
    path = tmp_path / "lying.npy"
    path.write_bytes(head.getvalue() + b"\0" * 48)  # six doubles
    with pytest.raises(ValueError, match="header claims"):
        FileModel(str(path))
