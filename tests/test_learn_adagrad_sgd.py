"""AdaGrad and SgdMomentum: worked examples, numpy models of their update and catch-up rules
compared after a few hundred random sparse steps, regularisation and rescaling, error paths."""

import math
import re

import numpy as np
import pytest
from conftest import sv

from quorvex.learn import AdaGrad, SgdMomentum
from quorvex.sparsmat import SparseVectorD

OOB = re.escape("Out of bounds on buffer access (axis 0)")


def random_vector(rng, n, max_len=6):
    k = int(rng.integers(1, max_len + 1))
    features = rng.choice(n, size=k, replace=False)
    return SparseVectorD([(int(f), float(v)) for f, v in zip(features, rng.standard_normal(k).round(3))])


def random_gradient(rng, vectors):
    return [
        (float(rng.choice([-1.0, 1.0, 0.5, -2.0])), vectors[int(rng.integers(len(vectors)))])
        for _ in range(int(rng.integers(0, 3)))
    ]


# --- AdaGrad ----------------------------------------------------------------------------


class RefAdaGrad:
    """AdaGrad's step and lazy catch-up, one entry at a time."""

    def __init__(self, n, l1=0.0, l2=0.0, n_examples=1.0, lazy=False):
        self.w, self.avg, self.sgs, self.last = (np.zeros(n) for _ in range(4))
        self.t, self.eta = 0, 0.1
        self.l1, self.l2, self.lazy = l1 / n_examples, l2 / n_examples, lazy

    def regularised(self, wanted, rate):
        trunc1 = max(abs(wanted) - self.l1 * rate, 0.0)
        trunc2 = math.pow(1 - self.l2, rate)
        return math.copysign(abs(trunc2 * trunc1), wanted)

    def update(self, gradient):
        for a, vec in gradient:
            for f, x in vec:
                g = a * x
                prev = self.eta / math.sqrt(10000.0 + self.sgs[f])
                self.sgs[f] += g * g
                cur = self.eta / (math.sqrt(self.sgs[f]) + 10000.0)
                wanted = self.w[f] + g * cur
                idle = self.t - self.last[f] - 1
                self.last[f] = self.t
                self.avg[f] += self.w[f] * idle
                self.w[f] = self.regularised(wanted, prev * idle + cur)
        self.t += 1

    def lazy_update(self, vec):
        for f, _ in vec:
            idle = self.t - self.last[f] - 1
            if not idle > 0:
                continue
            wanted = self.w[f]
            rate = (self.eta / math.sqrt(10000.0 + self.sgs[f])) * idle
            self.last[f] = self.t
            self.avg[f] += idle * self.w[f]
            self.w[f] = self.regularised(wanted, rate)

    def score(self, vec, use_avg=True):
        if use_avg:
            return sum(x * self.avg[f] for f, x in vec) / self.t
        if self.lazy:
            self.lazy_update(vec)
        return sum(x * self.w[f] for f, x in vec)


def assert_ada(learner, ref):
    np.testing.assert_allclose(learner.weights, ref.w, rtol=1e-12, atol=1e-15)
    np.testing.assert_allclose(learner.avgWeights, ref.avg, rtol=1e-12, atol=1e-15)
    assert learner.timestep == ref.t


def test_adagrad_new_learner(unraisable):
    a = AdaGrad(3)
    x = sv((0, 1.0))
    assert a.score(x) == 0.0
    assert unraisable == [(ZeroDivisionError, "float division", "quorvex.learn.AdaGrad.score")]
    assert a.score(x, False) == 0.0 and len(unraisable) == 1


def test_adagrad_first_step():
    a = AdaGrad(3)
    a.update([(1.0, sv((0, 1.0)))])
    # prev_rate = 0.1 / 100, sumGradSquare 1, current_rate = 0.1 / 10001; idle -1 with old weight 0
    assert a.weights[0] == 0.1 / 10001
    assert a.avgWeights[0] == 0.0 and a.timestep == 1


@pytest.mark.parametrize("l1,l2,lazy", [(0.0, 0.0, False), (0.05, 0.0, True), (0.0, 0.3, True), (0.02, 0.1, False)])
def test_adagrad_against_numpy_model(l1, l2, lazy):
    rng = np.random.default_rng(int(l1 * 1000 + l2 * 100) + lazy)
    n = 17
    a, ref = AdaGrad(n, l1=l1, l2=l2, n_examples=2, lazy_updates=lazy), RefAdaGrad(n, l1, l2, 2, lazy)
    vectors = [random_vector(rng, n) for _ in range(30)]
    for step in range(300):
        grad = random_gradient(rng, vectors)
        a.update(grad)
        ref.update([(c, list(v)) for c, v in grad])
        if step % 7 == 0:  # plain scoring catches up the regularisation when lazy
            x = vectors[int(rng.integers(len(vectors)))]
            assert a.score(x, False) == pytest.approx(ref.score(list(x), False), rel=1e-12, abs=1e-15)
            assert a.score(x) == pytest.approx(ref.score(list(x)), rel=1e-12, abs=1e-15)
        if step % 50 == 0:
            assert_ada(a, ref)
    assert_ada(a, ref)


def test_adagrad_l1_truncates_to_signed_zero():
    a = AdaGrad(2, l1=1000.0)
    a.update([(1.0, sv((0, 1.0)))])  # the first touch (idle -1): mix_rate < 0 pushes outwards
    assert a.weights[0] > 0.9
    a.update([(-1.0, sv((1, 1.0)))])
    assert a.weights[1] == 0.0 and math.copysign(1.0, a.weights[1]) == -1.0  # the sign of wanted_update
    a.update([(-1.0, sv((0, 1.0)))])
    assert a.weights[0] == 0.0 and math.copysign(1.0, a.weights[0]) == 1.0


def test_adagrad_lazy_updates():
    x, other = sv((0, 1.0)), sv((1, 1.0))
    lazy, eager = AdaGrad(2, l2=0.5, lazy_updates=True), AdaGrad(2, l2=0.5)
    for learner in (lazy, eager):
        learner.update([(1.0, x)])
        learner.update([(1.0, x)])
        for _ in range(4):
            learner.update([(1.0, other)])
    w_before, avg_before = eager.weights[0], eager.avgWeights[0]
    assert eager.score(x, False) == w_before and eager.weights[0] == w_before  # no lazy updates: unchanged
    assert eager.avgWeights[0] == avg_before
    s = lazy.score(x, False)  # last touched at step 1: steps 2 to 5 are caught up
    assert 0 < s < w_before and lazy.weights[0] == s
    assert lazy.avgWeights[0] == avg_before + 4 * w_before
    assert lazy.score(x, False) == s and lazy.avgWeights[0] == avg_before + 4 * w_before  # nothing left to do
    assert lazy.score(x) == pytest.approx(eager.score(x) + 4 * w_before / 6, rel=1e-14)


def test_adagrad_set_weights_keeps_the_rates():
    a, ref = AdaGrad(3), RefAdaGrad(3)
    x = sv((0, 1.0), (2, -1.0))
    for _ in range(3):
        a.update([(2.0, x)])
        ref.update([(2.0, list(x))])
    w = np.array([0.5, -0.25, 1.0])
    a.set_weights(w)
    ref.w, ref.avg = w.copy(), w.copy()
    a.update([(1.0, x)])
    ref.update([(1.0, list(x))])
    assert a.weights is w
    assert_ada(a, ref)  # the rates continue from the accumulated squares


def test_adagrad_constructor():
    with pytest.raises(ZeroDivisionError):
        AdaGrad(3, n_examples=0)
    with pytest.raises(ZeroDivisionError):
        AdaGrad(3, l1=1.0, n_examples=0.0)
    with pytest.raises(TypeError):
        AdaGrad(3, l1="x")
    a = AdaGrad(3, 4, 1, 8, 1)
    a.update([(1.0, sv((0, 1.0)))])
    a.update([(1.0, sv((1, 1.0)))])
    ref = RefAdaGrad(3, 4, 1, 8)
    ref.update([(1.0, [(0, 1.0)])])
    ref.update([(1.0, [(1, 1.0)])])
    assert_ada(a, ref)


def test_adagrad_out_of_range(unraisable):
    a = AdaGrad(2)
    with pytest.raises(IndexError, match=OOB):
        a.update([(1.0, sv((0, 1.0), (5, 1.0)))])
    assert a.weights[0] != 0 and a.timestep == 0
    lazy = AdaGrad(2, lazy_updates=True)
    assert lazy.score(sv((9, 1.0)), False) == 0.0
    assert unraisable[-1] == (
        IndexError,
        "Out of bounds on buffer access (axis 0): feature 9 is out of range for a weight array of 2",
        "quorvex.learn.AdaGrad.score",
    )
    with pytest.raises(TypeError):
        a.update([(1.0, None)])


# --- SgdMomentum ------------------------------------------------------------------------------


class RefSgd:
    def __init__(self, n, l2=0.0, n_examples=1.0, momentum=0.9, eta=0.1):
        self.w, self.v = np.zeros(n), np.zeros(n)
        self.last = np.zeros(n, dtype=np.int64)
        self.scale, self.t, self.t0 = 1.0, 0, int(n_examples)
        self.l2, self.momentum, self.eta = l2 / n_examples, momentum, eta
        self.rescaled = []

    def update(self, gradient):
        eta_t = self.t0 * self.eta / (self.t0 + self.t)
        for a, vec in gradient:
            for f, x in vec:
                self.v[f] += x * a * eta_t
        self.scale = (1 - eta_t * self.l2) * self.scale
        if self.scale < 0.0001:
            self.rescaled.append(self.t)
            self.w *= self.scale
            self.scale = 1.0
        self.t += 1

    def catch_up(self, features):
        ratio = self.momentum / (1 - self.l2)
        for f in features:
            idle = int(self.t - self.last[f])
            mf = ratio**idle
            self.w[f] += (1 / self.scale) * ((1 - mf) * self.v[f] / (1 - ratio))
            self.v[f] *= self.momentum**idle
            self.last[f] = self.t

    def score(self, vec):
        self.catch_up([f for f, _ in vec])
        return sum(x * self.w[f] for f, x in vec) * self.scale


def assert_sgd(learner, ref):
    np.testing.assert_allclose(learner.weights, ref.w, rtol=1e-12, atol=1e-15)
    np.testing.assert_allclose(learner.velocity, ref.v, rtol=1e-12, atol=1e-15)
    np.testing.assert_array_equal(learner.lastUpdated, ref.last)
    assert learner.timestep == ref.t


def test_sgd_worked_example():
    s = SgdMomentum(3)
    x = sv((0, 1.0))
    s.update([(1.0, x)])
    assert s.velocity[0] == pytest.approx(0.1) and s.timestep == 1
    assert s.score(x) == pytest.approx(0.1)
    assert s.weights[0] == pytest.approx(0.1) and s.velocity[0] == pytest.approx(0.09)
    s.update([(1.0, x)], loss=123.0)  # eta_actual 0.05; loss is ignored
    assert s.velocity[0] == pytest.approx(0.14)
    assert s.lastUpdated.dtype == np.int64 and list(s.lastUpdated) == [1, 0, 0]


@pytest.mark.parametrize(
    "l2,n_examples,momentum,eta", [(0.0, 1.0, 0.9, 0.1), (0.5, 3.0, 0.5, 0.3), (5.0, 10.0, 0.3, 1.0)]
)
def test_sgd_against_numpy_model(l2, n_examples, momentum, eta, capsys):
    rng = np.random.default_rng(int(l2 * 10 + momentum * 100))
    n = 13
    s, ref = SgdMomentum(n, l2, n_examples, momentum, eta), RefSgd(n, l2, n_examples, momentum, eta)
    vectors = [random_vector(rng, n) for _ in range(25)]
    for step in range(300):
        grad = random_gradient(rng, vectors)
        s.update(grad, loss=float("nan"))
        ref.update([(c, list(v)) for c, v in grad])
        if step % 5 == 0:
            x = vectors[int(rng.integers(len(vectors)))]
            assert s.score(x) == pytest.approx(ref.score(list(x)), rel=1e-12, abs=1e-15)
        if step % 40 == 0:
            assert_sgd(s, ref)
    assert_sgd(s, ref)
    assert capsys.readouterr().out == "".join("SGD: rescaling, timestep=%d\n" % t for t in ref.rescaled)
    assert (len(ref.rescaled) > 0) == (l2 == 5.0)
    ref.catch_up(range(n))
    expected = ref.w * ref.scale
    np.testing.assert_allclose(s.get_dense(0, n, testing=False), expected, rtol=1e-12, atol=1e-15)
    np.testing.assert_array_equal(s.lastUpdated, np.full(n, ref.t))
    got = s.get_weights()
    assert got is s.weights
    np.testing.assert_allclose(got, expected, rtol=1e-12, atol=1e-15)
    assert s.score(vectors[0]) == pytest.approx(float(sum(x * expected[f] for f, x in vectors[0])), abs=1e-12)


def test_sgd_long_and_odd_idle_intervals():
    s, ref = SgdMomentum(3, l2=0.01, momentum=0.95), RefSgd(3, l2=0.01, momentum=0.95)
    x = sv((0, 1.0), (2, -1.0))
    for steps in (1, 1500, 3, 1100):  # idle intervals beyond the short ones the catch-up caches
        s.update([(1.0, x)])
        ref.update([(1.0, list(x))])
        for _ in range(steps):
            s.update([])
            ref.update([])
        assert s.score(x) == pytest.approx(ref.score(list(x)), rel=1e-12)
        assert_sgd(s, ref)
    s.lastUpdated[0] = s.timestep + 5  # written through the exposed array: a negative interval
    ref.last[0] = ref.t + 5
    assert s.score(x) == pytest.approx(ref.score(list(x)), rel=1e-12)
    assert_sgd(s, ref)
    # An idle span of 2^31 steps and more is counted in full, not wrapped to a negative power
    # (which made every weight NaN): the momentum is spent, the velocity's whole sum added.
    for idle in (2**31 - 1, 2**31 + 1, 2**40):
        state = SgdMomentum(2, momentum=0.9).get_state()
        state.update(timestep=idle, weights=np.array([0.5, 1.0]), velocity=np.array([0.2, 0.0]))
        late = SgdMomentum.from_state(state)
        assert late.score(sv((0, 1.0))) == pytest.approx(0.5 + 0.2 / (1 - 0.9))
        assert late.velocity[0] == 0.0 and list(late.get_state()["weights"]) == pytest.approx([2.5, 1.0])


def test_sgd_scale_and_rescaling(capsys):
    x = sv((0, 1.0), (1, -2.0))
    plain = SgdMomentum(2)
    for _ in range(20):
        plain.update([(1.0, x)])
    w = plain.get_weights().copy()
    assert plain.score(x) == w[0] - 2 * w[1]  # scale 1.0: the stored weights are the true ones
    assert capsys.readouterr().out == ""

    decayed = SgdMomentum(2, l2=9.99, momentum=0.5, eta=0.1)
    scale = 1.0
    for t in range(100):
        decayed.get_dense(0, 2, testing=False)  # brings the stored weights up to date
        stored = decayed.weights.copy()
        decayed.update([(1.0, x)])
        scale = (1 - 0.1 / (1 + t) * 9.99) * scale
        if scale < 0.0001:
            break
    assert 5 < t < 100 and stored.all()
    assert capsys.readouterr().out == "SGD: rescaling, timestep=%d\n" % t
    # The stored weights were multiplied by the scale of that step, which is 1.0 again.
    np.testing.assert_allclose(decayed.weights, stored * scale, rtol=1e-12)
    np.testing.assert_array_equal(decayed.get_dense(0, 2), decayed.weights)
    decayed.update([])
    assert capsys.readouterr().out == ""


def test_sgd_score_twice_and_get_dense():
    s = SgdMomentum(3)
    x = sv((0, 1.0), (2, 2.0))
    for _ in range(3):
        s.update([(1.0, x)])
    first = s.score(x)
    state = (s.weights.copy(), s.velocity.copy(), s.lastUpdated.copy())
    assert s.score(x, is_testing=False) == first
    for before, now in zip(state, (s.weights, s.velocity, s.lastUpdated)):
        np.testing.assert_array_equal(before, now)
    s.update([(1.0, sv((1, 1.0)))])
    last = s.lastUpdated.copy()
    s.get_dense(0, 3)
    np.testing.assert_array_equal(s.lastUpdated, last)
    s.get_dense(1, 3, testing=False)
    assert list(s.lastUpdated) == [3, 4, 4]
    with pytest.raises(ValueError, match="could not broadcast"):
        s.get_dense(0, 4)
    assert s.get_weights_l1() == pytest.approx(float(np.abs(s.weights).sum()))


def test_sgd_set_weights_and_constructor():
    s = SgdMomentum(4)
    assert s.set_weights(0.5) is None
    assert list(s.weights) == [0.5] * 4
    with pytest.raises(TypeError):
        s.set_weights(np.zeros(4))
    with pytest.raises(TypeError):
        s.set_weights("1")
    half = SgdMomentum(3, n_examples=0.5)  # t0 = 0
    with pytest.raises(ZeroDivisionError, match="float division"):
        half.update([(1.0, sv((0, 1.0)))])
    assert half.timestep == 0 and not half.velocity.any()
    with pytest.raises(ZeroDivisionError):
        SgdMomentum(3, n_examples=0)
    with pytest.raises(ValueError):
        SgdMomentum(3, n_examples=float("nan"))
    stuck = SgdMomentum(2, momentum=1.0)  # 1 - momentum / (1 - l2) is 0
    stuck.update([(1.0, sv((0, 1.0)))])
    with pytest.raises(ZeroDivisionError, match="float division"):
        stuck.score(sv((0, 1.0)))
    assert stuck.score(sv()) == 0.0  # nothing to catch up


def test_sgd_errors_are_raised():
    s = SgdMomentum(2, l2=0.5)
    s.update([(1.0, sv((0, 1.0)))])
    velocity, last = s.velocity.copy(), s.lastUpdated.copy()
    with pytest.raises(IndexError, match=OOB):
        s.update([(1.0, sv((1, 1.0))), (1.0, sv((0, 1.0), (2, 1.0)))])
    # The velocity changes made stay; the scale and timestep do not move.
    assert s.velocity[1] == velocity[1] + 1.0 * 1.0 * 0.05 and s.velocity[0] > velocity[0]  # eta_t 0.1 / 2
    assert s.timestep == 1
    with pytest.raises(IndexError, match=OOB):
        s.score(sv((0, 1.0), (2, 1.0)))
    assert s.lastUpdated[0] == 1 and list(last) == [0, 0]  # feature 0 was caught up before the failure
    with pytest.raises(TypeError, match="Argument 'vec' has incorrect type"):
        s.score(None)
    with pytest.raises(IndexError, match=OOB):
        s.get_dense(0, 3, testing=False)


def test_sgd_score_override_gets_is_testing():
    seen = []

    class Logged(SgdMomentum):
        def score(self, vec, is_testing=True):
            seen.append(is_testing)
            return super().score(vec, is_testing) + 1.0

    s = Logged(2)
    s.update([(1.0, sv((0, 1.0)))])
    assert s.score(sv((0, 1.0)), False) == pytest.approx(1.1) and seen == [False]
