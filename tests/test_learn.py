"""The learner contract, AvgPer and AvgMira: worked examples, a numpy model of each update rule
compared after a few hundred random sparse steps, the catch-up of the averages, error paths."""

import math
import re
import subprocess
import sys

import numpy as np
import pytest
from conftest import sv

from quorvex.learn import AdaGrad, AvgMira, AvgPer, FileModel, SgdMomentum
from quorvex.sparsmat import SparseVectorD, SparseVectorsD

OUT_OF_BOUNDS = "Out of bounds on buffer access (axis 0)"
OOB = re.escape(OUT_OF_BOUNDS)
NOT_INITIALIZED = "Memoryview is not initialized"


def gradient_of(vec, weight=1.0):
    g = SparseVectorsD()
    g.add(vec, weight)
    return g


# --- reference models ---------------------------------------------------------------------


class RefAveraged:
    """The averaging state of AvgPer and AvgMira, one entry at a time, as numpy float64."""

    def __init__(self, n):
        self.w, self.avg, self.last = np.zeros(n), np.zeros(n), np.zeros(n)
        self.t = 0
        self.history = []  # weights after every step, for the exact means

    def step_entry(self, f, g):
        idle = self.t - self.last[f]
        self.last[f] = self.t
        self.avg[f] += self.w[f] * idle
        self.w[f] += g

    def finish_step(self):
        self.t += 1
        self.history.append(self.w.copy())

    def catch_up(self, features):
        for f in features:
            idle = self.t - self.last[f]
            if idle > 0:
                self.avg[f] += self.w[f] * idle
                self.last[f] = self.t

    @staticmethod
    def dot(vec, arr):
        s = 0.0
        for f, x in vec:
            s += x * arr[f]
        return s


class RefAvgPer(RefAveraged):
    def update(self, gradient):
        for a, vec in gradient:
            for f, x in vec:
                self.step_entry(f, x * a)
        self.finish_step()

    def score(self, vec, use_avg=True):
        if use_avg and self.t > 0:
            return self.dot(vec, self.avg) / self.t
        return self.dot(vec, self.w)


class RefMira(RefAveraged):
    def score(self, vec, use_avg=True):
        if use_avg and self.t > 0:
            self.catch_up([f for f, _ in vec])
            return self.dot(vec, self.avg) / self.t
        return self.dot(vec, self.w)

    def update(self, vec, loss):
        margin = loss - self.score(vec, False)
        assert margin >= 0
        alpha = margin / sum(x * x for _, x in vec)
        for f, x in vec:
            self.step_entry(f, x * alpha)
        self.finish_step()


def random_vector(rng, n, max_len=8):
    k = int(rng.integers(0, max_len + 1))
    features = rng.choice(n, size=k, replace=False)
    values = rng.choice([1.0, -1.0, 0.5, 2.0]) * rng.standard_normal(k).round(3)
    return SparseVectorD([(int(f), float(v)) for f, v in zip(features, values)])


def assert_same(learner, ref):
    np.testing.assert_array_equal(learner.weights, ref.w)
    np.testing.assert_array_equal(learner.avgWeights, ref.avg)
    assert learner.timestep == ref.t


# --- the common contract ------------------------------------------------------------------


@pytest.mark.parametrize("make", [lambda: AvgPer(4), lambda: AvgMira(4), lambda: AdaGrad(4), lambda: SgdMomentum(4)])
def test_common_surface(make):
    learner = make()
    assert learner.n_dimensions == 4 and learner.timestep == 0
    assert learner.weights.dtype == np.float64 and learner.weights.shape == (4,)
    assert learner.weights is learner.weights  # the array itself, not a copy each time
    with pytest.raises(AttributeError):
        learner.timestep = 3
    with pytest.raises(AttributeError):
        learner.weights = np.zeros(4)
    assert type(learner).__module__ == "quorvex.learn"


def test_fc_slot():
    for learner in (AvgPer(2), AvgMira(2), AdaGrad(2)):
        assert learner.fc is None
        marker = object()
        learner.fc = marker
        assert learner.fc is marker
        del learner.fc
        assert learner.fc is None
    assert not hasattr(SgdMomentum(2), "fc")


def test_new_learners_score_zero():
    x = sv((0, 1.0), (2, -3.0))
    for learner in (AvgPer(3), AvgMira(3)):
        assert learner.score(x) == 0.0 and learner.score(x, False) == 0.0 and learner.score(x, use_avg=True) == 0.0


# --- AvgPer -------------------------------------------------------------------------------


def test_avgper_worked_example():
    p = AvgPer(3)
    x = sv((0, 1.0))
    assert p.update([(1.0, x)]) is None
    assert list(p.weights) == [1, 0, 0] and list(p.avgWeights) == [0, 0, 0] and p.timestep == 1
    assert p.score(x) == 0.0 and p.score(x, False) == 1.0  # one step: the averaged score is still 0
    p.update([(1.0, x)])
    assert p.avgWeights[0] == 1 and p.weights[0] == 2 and p.timestep == 2
    assert p.score(x) == 0.5 and p.score(x, False) == 2.0


def test_avgper_empty_steps_count():
    p = AvgPer(3)
    p.update([(1.0, sv((1, 2.0)))])
    before = (p.weights.copy(), p.avgWeights.copy())
    assert p.update([]) is None
    p.update([(5.0, sv())])
    p.update(())
    assert p.timestep == 4
    np.testing.assert_array_equal(p.weights, before[0])
    np.testing.assert_array_equal(p.avgWeights, before[1])


def test_avgper_repeated_feature_in_one_call_is_charged_once():
    p, ref = AvgPer(2), RefAvgPer(2)
    x = sv((1, 1.0))
    for grad in ([(1.0, x)], [(2.0, x), (3.0, x)], [(-1.0, x), (1.0, sv((0, 1.0))), (0.5, x)]):
        p.update(grad)
        ref.update([(a, list(v)) for a, v in grad])
        assert_same(p, ref)
    assert p.weights[1] == 5.5


def test_avgper_gradient_forms():
    x, y = sv((0, 1.0)), sv((1, 2.0))
    by_list, by_gen = AvgPer(2), AvgPer(2)
    by_list.update([(1, x), [2.5, y]])
    by_gen.update(pair for pair in ((1, x), (2.5, y)))
    np.testing.assert_array_equal(by_list.weights, [1.0, 5.0])
    np.testing.assert_array_equal(by_gen.weights, by_list.weights)
    assert by_gen.timestep == by_list.timestep == 1


def test_avgper_against_numpy_model():
    rng = np.random.default_rng(7)
    n = 23
    p, ref = AvgPer(n), RefAvgPer(n)
    vectors = [random_vector(rng, n) for _ in range(40)]
    for step in range(300):
        grad = [
            (float(rng.choice([-1.0, 1.0, 0.25, 3.0])), vectors[int(rng.integers(len(vectors)))])
            for _ in range(int(rng.integers(0, 4)))
        ]
        p.update(grad)
        ref.update([(a, list(v)) for a, v in grad])
        if step % 37 == 0:
            assert_same(p, ref)
            x = vectors[int(rng.integers(len(vectors)))]
            assert p.score(x) == pytest.approx(ref.score(list(x)), rel=1e-12, abs=1e-12)
            assert p.score(x, False) == pytest.approx(ref.score(list(x), False), rel=1e-12, abs=1e-12)
    assert_same(p, ref)
    # The averages as they stand, then caught up: this reveals lastUpdated.
    np.testing.assert_allclose(p.get_dense(0, n), ref.avg * (1.0 / ref.t), rtol=0, atol=0)
    np.testing.assert_array_equal(p.get_dense(0, n, testing=False), ref.w)
    ref.catch_up(range(n))
    np.testing.assert_array_equal(p.avgWeights, ref.avg)
    # After the catch-up the averages are the exact means of the weights held after each step.
    np.testing.assert_allclose(p.get_dense(0, n), np.mean(ref.history, axis=0), rtol=1e-10, atol=1e-12)


def test_avgper_catch_up_fixes_stale_averages():
    p = AvgPer(3)
    x, other = sv((0, 1.0)), sv((1, 1.0))
    p.update([(1.0, x)])
    for _ in range(9):
        p.update([(1.0, other)])
    # Feature 0 held weight 1 for 10 steps, but its average was charged only at step 0.
    assert p.score(x) == 0.0 and p.get_dense(0, 3)[0] == 0.0
    assert list(p.get_dense(0, 2, testing=False)) == [1.0, 9.0]
    assert p.get_dense(0, 3)[0] == 1.0 and p.score(x) == 1.0
    assert p.get_dense(0, 3)[1] == pytest.approx(4.5)  # (0 + 1 + ... + 9) / 10
    # A second catch-up at the same timestep changes nothing.
    before = p.avgWeights.copy()
    p.get_dense(0, 3, testing=False)
    np.testing.assert_array_equal(p.avgWeights, before)


def test_avgper_get_dense_ranges_and_errors():
    p = AvgPer(4)
    with pytest.raises(ZeroDivisionError, match="float division"):
        p.get_dense(0, 4)
    p.update([(2.0, sv((3, 1.0)))])
    p.update([])
    assert list(p.get_dense(2, 4)) == [0.0, 0.0]  # feature 3's weight 2 is pending
    assert list(p.get_dense(1, 1)) == []
    with pytest.raises(ValueError, match="could not broadcast"):
        p.get_dense(0, 6)
    with pytest.raises(ValueError, match="negative dimensions"):
        p.get_dense(3, 1)
    with pytest.raises(IndexError, match=OOB):
        p.get_dense(0, 5, testing=False)  # features 0..3 are caught up before the failing index
    assert p.get_dense(3, 4)[0] == 2.0
    with pytest.raises(IndexError, match=OOB):
        p.get_dense(-1, 2, testing=False)
    with pytest.raises(TypeError):
        p.get_dense(0.5, 2)


def test_avgper_set_weights_adopts_the_array():
    p = AvgPer(3)
    x = sv((0, 1.0), (2, 1.0))
    p.update([(1.0, x)])
    w = np.array([4.0, 5.0, 6.0])
    assert p.set_weights(w) is None
    assert p.weights is w
    np.testing.assert_array_equal(p.avgWeights, w)
    assert p.avgWeights is not w and p.timestep == 1
    assert p.score(x) == 10.0  # the copy divided by the unchanged timestep
    p.update([(1.0, x)])
    assert list(w) == [5.0, 5.0, 7.0]  # the step is visible in the caller's array
    w[1] = 100.0
    assert p.score(sv((1, 1.0)), False) == 100.0


def test_avgper_set_weights_refusals_change_nothing():
    p = AvgPer(3)
    p.update([(1.0, sv((0, 1.0)))])
    w0, a0 = p.weights, p.avgWeights
    with pytest.raises(TypeError):
        p.set_weights([0.0, 0.0, 0.0])  # a list has no buffer
    with pytest.raises(ValueError) as e:
        p.set_weights(np.zeros(4))
    assert str(e.value) == ""
    with pytest.raises(ValueError, match="Buffer dtype mismatch, expected 'double' but got 'float'"):
        p.set_weights(np.zeros(3, np.float32))
    with pytest.raises(ValueError, match=r"Buffer has wrong number of dimensions \(expected 1, got 2\)"):
        p.set_weights(np.zeros((3, 2)))
    with pytest.raises(TypeError):
        p.set_weights(None)
    readonly = np.zeros(3)
    readonly.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        p.set_weights(readonly)  # update would write into it
    assert p.weights is w0 and p.avgWeights is a0 and p.weights[0] == 1.0


@pytest.mark.parametrize("step", [2, -1, -2])
def test_strided_weights_are_read_and_written_with_their_stride(step):
    base = np.arange(12, dtype=np.float64)
    w = base[::step][:5]
    for learner in (AvgPer(5), AvgMira(5), AdaGrad(5)):
        base[:] = np.arange(12)
        expected = w.copy()
        learner.set_weights(w)
        x = sv((1, 1.0), (4, 2.0))
        assert learner.score(x, False) == expected[1] + 2 * expected[4]
        if isinstance(learner, AvgMira):
            learner.update(gradient_of(x), loss=learner.score(x, False) + 1.0)
        else:
            learner.update([(1.0, x)])
        assert learner.weights is w
        assert learner.score(x, False) == w[1] + 2 * w[4]  # score sees what update wrote
        np.testing.assert_array_equal(
            learner.get_dense(0, 5, testing=False) if not isinstance(learner, AdaGrad) else w, w
        )
        untouched = np.setdiff1d(np.arange(12), np.arange(12)[::step][:5])
        np.testing.assert_array_equal(base[untouched], untouched)  # nothing written between the strides


def test_held_arrays_cannot_be_resized_under_the_learner(tmp_path):
    np.save(tmp_path / "w.npy", np.zeros(3))
    p = AvgPer(3)
    p.set_weights(np.zeros(3))  # adopted, and held by the learner alone
    s = SgdMomentum(3)
    m = FileModel(str(tmp_path / "w.npy"))
    mine = np.zeros(3)
    a = AdaGrad(3)
    a.set_weights(mine)  # adopted, and still the caller's too
    for array in (
        lambda: p.weights,
        lambda: p.avgWeights,
        lambda: s.weights,
        lambda: s.velocity,
        lambda: s.lastUpdated,
        lambda: m.weights,
        lambda: mine,
    ):
        for refcheck in (True, False):  # refcheck=False skips NumPy's reference count check
            with pytest.raises(ValueError):
                array().resize(10**6, refcheck=refcheck)  # would free the memory the learner reads
        assert len(array()) == 3
    p.update([(1.0, sv((2, 1.0)))])
    assert list(p.weights) == [0.0, 0.0, 1.0]
    # Given back, an array is the caller's alone again.
    a.set_weights(np.zeros(3))
    mine.resize(5, refcheck=False)
    assert len(mine) == 5


def test_cycles_through_fc_are_collected():
    import gc
    import weakref

    class Box:
        pass

    for cls in (AvgPer, AvgMira, AdaGrad):
        box = Box()
        box.learner = cls(2)
        box.learner.fc = box
        ref = weakref.ref(box)
        del box
        gc.collect()
        assert ref() is None


def test_adopted_arrays_are_released():
    w = np.zeros(3)
    base = sys.getrefcount(w)
    p = AvgPer(3)
    p.set_weights(w)
    p.set_weights(w)  # the old view and its extra reference are given up
    assert sys.getrefcount(w) == base + 2
    p.set_weights(np.ones(3))
    assert sys.getrefcount(w) == base
    p.set_weights(w)
    p.__init__(3)
    assert sys.getrefcount(w) == base
    p.set_weights(w)
    del p
    assert sys.getrefcount(w) == base


def test_update_out_of_range_keeps_earlier_entries():
    p = AvgPer(3)
    with pytest.raises(IndexError, match=OOB):
        p.update([(1.0, sv((0, 1.0))), (1.0, sv((1, 2.0), (3, 1.0)))])
    assert list(p.weights) == [1.0, 2.0, 0.0] and p.timestep == 0
    with pytest.raises(IndexError, match=OOB):
        p.update([(1.0, sv((2**32 - 1, 1.0)))])
    assert list(p.weights) == [1.0, 2.0, 0.0] and p.timestep == 0


def test_update_bad_pairs():
    p = AvgPer(3)
    x = sv((0, 1.0))
    with pytest.raises(ValueError):
        p.update([(1.0, x, 2)])
    with pytest.raises(ValueError):
        p.update([(1.0,)])
    with pytest.raises(TypeError):
        p.update([("a", x)])
    with pytest.raises(TypeError, match="Cannot convert NoneType to quorvex.sparsmat.SparseVectorD"):
        p.update([(1.0, None)])
    with pytest.raises(TypeError, match="Cannot convert list"):
        p.update([(1.0, [(0, 1.0)])])
    with pytest.raises(TypeError):
        p.update(None)
    with pytest.raises(TypeError):
        p.update([7])
    with pytest.raises(TypeError):
        p.update()
    assert p.timestep == 0 and not p.weights.any()


def test_update_survives_python_code_replacing_the_arrays():
    p = AvgPer(3)

    class Sneaky:
        def __float__(self):
            p.__init__(2)  # runs between pairs: the arrays are replaced
            return 1.0

    with pytest.raises(IndexError):
        p.update([(1.0, sv((2, 1.0))), (Sneaky(), sv((2, 1.0)))])
    assert p.n_dimensions == 2 and list(p.weights) == [0.0, 0.0]


def test_score_errors_are_reported_and_give_zero(unraisable):
    p = AvgPer(3)
    p.update([(1.0, sv((0, 1.0)))])
    assert p.score(sv((0, 1.0), (3, 1.0)), False) == 0.0
    assert unraisable == [
        (
            IndexError,
            OUT_OF_BOUNDS + ": feature 3 is out of range for a weight array of 3",
            "quorvex.learn.AvgPer.score",
        )
    ]
    assert AvgPer(0).score(sv()) == 0.0  # the first-element access of an empty array
    assert unraisable[-1][0] is IndexError
    with pytest.raises(TypeError, match="Argument 'vec' has incorrect type"):
        p.score(None)
    with pytest.raises(TypeError, match="Argument 'vec' has incorrect type"):
        p.score([(0, 1.0)])


def test_instance_without_init(unraisable):
    for cls in (AvgPer, AvgMira, AdaGrad, SgdMomentum, FileModel):
        obj = cls.__new__(cls)
        assert obj.n_dimensions == 0
        with pytest.raises(AttributeError, match=NOT_INITIALIZED):
            obj.weights
        if hasattr(obj, "timestep"):
            assert obj.timestep == 0
        x = sv((0, 1.0))
        if cls is SgdMomentum:
            with pytest.raises(AttributeError, match=NOT_INITIALIZED):
                obj.score(x)
            with pytest.raises(AttributeError, match=NOT_INITIALIZED):
                obj.set_weights(1.0)
            with pytest.raises(AttributeError, match=NOT_INITIALIZED):
                obj.get_weights()
        else:
            assert obj.score(x) == 0.0
            assert unraisable[-1][0] is AttributeError
        if cls is SgdMomentum:
            with pytest.raises(ZeroDivisionError):
                obj.update([(1.0, x)])  # t0 + timestep is 0
        elif cls is not FileModel:
            with pytest.raises(AttributeError, match=NOT_INITIALIZED):
                obj.update(gradient_of(x) if cls is AvgMira else [(1.0, x)])
        if cls in (AvgPer, AvgMira, AdaGrad):
            with pytest.raises(AttributeError, match=NOT_INITIALIZED):
                obj.set_weights(np.zeros(0))
            with pytest.raises(AttributeError, match=NOT_INITIALIZED):
                obj.__reduce__()
        if cls is not AdaGrad:
            with pytest.raises(AttributeError, match=NOT_INITIALIZED):
                obj.get_dense(0, 0)


def test_init_runs_again():
    p = AvgPer(3)
    p.update([(1.0, sv((2, 1.0)))])
    p.fc = "kept"
    p.__init__(5)
    assert p.n_dimensions == 5 and p.timestep == 0 and not p.weights.any() and p.fc == "kept"
    with pytest.raises(ValueError):
        p.__init__(-1)
    assert p.n_dimensions == 5 and len(p.weights) == 5  # a failing __init__ leaves the learner as it was
    with pytest.raises(OverflowError):
        AvgPer(2**31)
    with pytest.raises(TypeError):
        AvgPer(2.0)
    with pytest.raises(TypeError):
        AvgPer(None)


# --- AvgMira ------------------------------------------------------------------------------


def test_mira_first_step():
    m = AvgMira(3)
    assert m.update(gradient_of(sv((0, 2.0)))) is None
    assert m.weights[0] == 0.5 and m.timestep == 1  # margin 1, norm 4


def test_mira_step_reaches_the_loss():
    m = AvgMira(5)
    x = sv((0, 1.0), (3, -2.0), (4, 0.5))
    m.update(gradient_of(sv((0, 1.0), (1, 1.0))), loss=0.3)
    for loss in (0.7, 2.5, 2.5):
        m.update(gradient_of(x), loss)
        assert m.score(x, False) == pytest.approx(loss, abs=1e-12)


def test_mira_constructor_warnings(capsys):
    AvgMira(3, l1=0.5)
    assert capsys.readouterr() == ("", "WARNING: AvgMira does not support l1 reg\n")
    AvgMira(3, l1=0, l2=0.0, n_examples=10)
    assert capsys.readouterr() == ("", "")
    AvgMira(3, 0.2, 0.0, None)
    assert capsys.readouterr() == ("", "WARNING: AvgMira does not support l2 reg\n")
    AvgMira(3, 0.1, 1, 2)
    assert capsys.readouterr().err.splitlines() == [
        "WARNING: AvgMira does not support l1 reg",
        "WARNING: AvgMira does not support l2 reg",
    ]
    m = AvgMira(2, l1=0.5)
    m.update(gradient_of(sv((0, 1.0))))
    assert m.weights[0] == 1.0  # no regularisation


def test_mira_refusals_before_any_change():
    m = AvgMira(3)
    m.update(gradient_of(sv((1, 1.0))))
    state = (m.weights.copy(), m.avgWeights.copy(), m.timestep)

    def unchanged():
        np.testing.assert_array_equal(m.weights, state[0])
        np.testing.assert_array_equal(m.avgWeights, state[1])
        assert m.timestep == state[2]

    for zero in (sv(), sv((0, 0.0), (2, 0.0))):
        with pytest.raises(ZeroDivisionError, match="float division"):
            m.update(gradient_of(zero))
        unchanged()
    with pytest.raises(AssertionError) as e:
        m.update(gradient_of(sv((1, 1.0))), loss=0.25)  # the plain score is 1.0
    assert e.value.args == (-0.75,)
    unchanged()
    with pytest.raises(AssertionError) as e:
        m.update(gradient_of(sv((1, 1.0))), loss=float("nan"))
    assert math.isnan(e.value.args[0])
    unchanged()
    with pytest.raises(AttributeError):
        m.update([(1.0, sv((0, 1.0)))])  # a list has no to_vec
    with pytest.raises(TypeError):
        m.update(gradient_of(sv((0, 1.0))), loss="big")

    class Gives:
        def __init__(self, value):
            self.value = value

        def to_vec(self):
            return self.value

    with pytest.raises(TypeError, match="Cannot convert NoneType"):
        m.update(Gives(None))
    with pytest.raises(TypeError):
        m.update(Gives([(0, 1.0)]))
    unchanged()
    m.update(Gives(sv((0, 1.0))))  # any object with to_vec
    assert m.timestep == 2


def test_mira_out_of_range_update(unraisable):
    m = AvgMira(2)
    with pytest.raises(IndexError, match=OOB):
        m.update(gradient_of(sv((0, 1.0), (2, 1.0))))
    # The plain score failed inside (reported, 0.0), so alpha = 1 / 2; entry 0 stays applied.
    assert unraisable == [
        (
            IndexError,
            OUT_OF_BOUNDS + ": feature 2 is out of range for a weight array of 2",
            "quorvex.learn.AvgMira.score",
        )
    ]
    assert list(m.weights) == [0.5, 0.0] and m.timestep == 0


def test_mira_catch_up_example():
    n = 3
    m = AvgMira(n)
    x = sv((0, 1.0))
    m.update(gradient_of(x), loss=0.75)  # weights[0] = 0.75 at timestep 0
    m.update(gradient_of(sv((1, 1.0))))
    assert m.get_dense(0, n)[0] == 0.0  # still pending
    assert m.score(x) == 0.75
    assert m.avgWeights[0] == 1.5
    assert m.get_dense(0, n)[0] == 0.75
    np.testing.assert_array_equal(m.get_dense(0, n, testing=False), m.weights)
    np.testing.assert_allclose(m.get_dense(0, n), [0.75, 0.5, 0.0])


def test_mira_get_weights_l1():
    m = AvgMira(3)
    with pytest.raises(ZeroDivisionError, match="float division"):
        m.get_weights_l1()
    m.update(gradient_of(sv((0, 1.0), (2, -1.0))))
    assert m.get_weights_l1() == 0.0
    m.update(gradient_of(sv((2, -1.0))), loss=1.5)
    assert m.get_weights_l1() == 0.5 / 2  # avgWeights[0] is still pending


def test_mira_against_numpy_model():
    rng = np.random.default_rng(11)
    n = 19
    m, ref = AvgMira(n), RefMira(n)
    vectors = [v for v in (random_vector(rng, n) for _ in range(60)) if any(x != 0 for _, x in v)]
    done = 0
    while done < 300:
        x = vectors[int(rng.integers(len(vectors)))]
        loss = float(rng.uniform(0, 3))
        if loss < ref.score(list(x), False):
            with pytest.raises(AssertionError):
                m.update(gradient_of(x), loss)
            continue
        m.update(gradient_of(x), loss)
        ref.update(list(x), loss)
        done += 1
        if done % 13 == 0:  # averaged scoring catches up the vector's features in both
            y = vectors[int(rng.integers(len(vectors)))]
            assert m.score(y) == pytest.approx(ref.score(list(y)), rel=1e-9, abs=1e-12)
        if done % 50 == 0:
            np.testing.assert_allclose(m.weights, ref.w, rtol=1e-12, atol=1e-12)
            np.testing.assert_allclose(m.avgWeights, ref.avg, rtol=1e-12, atol=1e-12)
            assert m.timestep == ref.t
    np.testing.assert_allclose(m.get_dense(0, n, testing=False), ref.w, rtol=1e-12, atol=1e-12)
    ref.catch_up(range(n))
    np.testing.assert_allclose(m.avgWeights, ref.avg, rtol=1e-12, atol=1e-12)
    np.testing.assert_allclose(m.get_dense(0, n), np.mean(ref.history, axis=0), rtol=1e-9, atol=1e-12)


# --- overriding score -----------------------------------------------------------------------


def test_mira_update_uses_an_overriding_score():
    calls = []

    class Fixed(AvgMira):
        def score(self, vec, use_avg=True):
            calls.append(use_avg)
            return 0.25

    m = Fixed(2)
    m.update(gradient_of(sv((0, 1.0))))
    assert calls == [False] and m.weights[0] == 0.75  # margin 1 - 0.25

    class Delegating(AvgMira):
        def score(self, vec, use_avg=True):
            calls.append("super")
            return 2 * super().score(vec, use_avg)

    d = Delegating(2)
    d.update(gradient_of(sv((0, 1.0))))
    d.update(gradient_of(sv((0, 1.0))), loss=4.0)  # margin 4 - 2 * 1
    assert d.weights[0] == 3.0 and calls[-2:] == ["super", "super"]

    class Plain(AvgMira):
        pass

    p = Plain(2)
    p.update(gradient_of(sv((0, 2.0))))
    assert p.weights[0] == 0.5


def test_failing_override_is_reported(unraisable):
    class Broken(AvgMira):
        def score(self, vec, use_avg=True):
            raise RuntimeError("no score today")

    class Wrong(AvgMira):
        def score(self, vec, use_avg=True):
            return "high"

    b = Broken(2)
    b.update(gradient_of(sv((0, 1.0))))
    assert b.weights[0] == 1.0  # the score counted as 0.0
    assert unraisable == [(RuntimeError, "no score today", "quorvex.learn.AvgMira.score")]
    w = Wrong(2)
    w.update(gradient_of(sv((0, 1.0))))
    assert unraisable[-1][0] is TypeError and w.weights[0] == 1.0


def test_override_sees_changes_of_the_subclass():
    class Late(AvgMira):
        pass

    m = Late(2)
    m.update(gradient_of(sv((0, 1.0))))
    Late.score = lambda self, vec, use_avg=True: 0.5  # the type changes after the first call
    m.update(gradient_of(sv((0, 1.0))))
    assert m.weights[0] == 1.5
    del Late.score
    m.update(gradient_of(sv((0, 1.0))), loss=1.5)
    assert m.weights[0] == 1.5  # the native score again: margin 0


# --- assertions disabled ------------------------------------------------------------------------


def test_mira_with_assertions_disabled():
    code = """
import math
import re
from quorvex.learn import AvgMira
from quorvex.sparsmat import SparseVectorD, SparseVectorsD
m = AvgMira(2)
g = SparseVectorsD(); g.add(SparseVectorD([(0, 1.0)]))
m.update(g)
m.update(g, loss=0.5)   # a negative margin steps back
print(m.weights[0], m.timestep)
try:
    m.update(g, loss=float('nan'))
except AssertionError as e:
    print('refused', math.isnan(e.args[0]), m.weights[0], m.timestep)
"""
    r = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True)
    assert r.stdout.split("\n")[:2] == ["0.5 2", "refused True 0.5 2"], r.stderr
