"""Learner state: get_state, set_state, from_state, pickles of the full state, and mix."""

import pickle
import subprocess
import sys

import numpy as np
import pytest

from quorvex.learn import AdaGrad, AvgMira, AvgPer, SgdMomentum, mix
from quorvex.sparsmat import SparseVectorD, SparseVectorsD

N = 12


def examples(seed, count=40):
    rng = np.random.default_rng(seed)
    out = []
    for _ in range(count):
        f = rng.choice(N, size=int(rng.integers(1, 5)), replace=False)
        out.append(SparseVectorD([(int(i), float(v)) for i, v in zip(f, rng.standard_normal(len(f)))]))
    return out


def step(learner, x, sign=1.0):
    if isinstance(learner, AvgMira):
        g = SparseVectorsD()
        g.add(x)
        learner.update(g, max(1.0, learner.score(x, False) + 0.5))
    else:
        learner.update([(sign, x)])


def train(learner, xs, start=0):
    for k, x in enumerate(xs, start):
        step(learner, x, 1.0 if k % 3 else -0.5)
    return learner


MAKERS = {
    "avgper": lambda: AvgPer(N),
    "mira": lambda: AvgMira(N, C=0.5),
    "adagrad": lambda: AdaGrad(N, l1=0.01, l2=0.001, n_examples=2.0),
    "adagrad-lazy": lambda: AdaGrad(N, l1=0.01, lazy_updates=True),
    "sgd": lambda: SgdMomentum(N, l2=0.01, n_examples=3.0, momentum=0.8, eta=0.2),
}


def assert_same_state(a, b):
    assert a.keys() == b.keys()
    for k in a:
        if isinstance(a[k], np.ndarray):
            assert a[k].dtype == b[k].dtype and a[k].tobytes() == b[k].tobytes(), k  # bit for bit
        else:
            assert type(a[k]) is type(b[k]) and a[k] == b[k], k


@pytest.mark.parametrize("name", sorted(MAKERS))
def test_restored_learner_continues_bit_for_bit(name):
    first, second = examples(1), examples(2)
    original = train(MAKERS[name](), first)
    state = original.get_state()
    for key, value in state.items():  # plain data
        assert isinstance(value, (np.ndarray, int, float, str, bool)), key
    restored = type(original).from_state(state)
    assert_same_state(restored.get_state(), original.get_state())
    via_pickle = pickle.loads(pickle.dumps(original))
    train(original, second)
    train(restored, second)
    train(via_pickle, second)
    assert_same_state(restored.get_state(), original.get_state())
    assert_same_state(via_pickle.get_state(), original.get_state())
    for x in examples(3, 10):
        assert restored.score(x) == original.score(x)


@pytest.mark.parametrize("name", ["avgper", "mira"])
def test_taking_the_state_does_not_change_training(name):
    # The catch-up of get_state only moves pending averages forward: the
    # weights of a learner whose state was taken halfway are those of one
    # that never stopped, and the averages agree up to rounding.
    xs = examples(4, 60)
    never = train(MAKERS[name](), xs)
    stopped = train(MAKERS[name](), xs[:25])
    stopped = type(stopped).from_state(stopped.get_state())
    train(stopped, xs[25:], 25)
    a, b = never.get_state(), stopped.get_state()
    assert a["weights"].tobytes() == b["weights"].tobytes()
    np.testing.assert_allclose(a["avgWeights"], b["avgWeights"], rtol=1e-12, atol=1e-12)
    assert a["timestep"] == b["timestep"] == 60


def test_adagrad_catch_up_is_what_the_next_update_would_do():
    # Without regularisation the catch-up changes no weight, and the averages
    # equal those of a learner that never stopped.
    xs = examples(5, 50)
    never = train(AdaGrad(N), xs)
    stopped = train(AdaGrad(N), xs[:20])
    stopped.get_state()
    train(stopped, xs[20:], 20)
    a, b = never.get_state(), stopped.get_state()
    assert a["weights"].tobytes() == b["weights"].tobytes()
    np.testing.assert_allclose(a["avgWeights"], b["avgWeights"], rtol=1e-12, atol=1e-15)
    # After the catch-up every feature owes nothing: lastUpdated >= timestep - 1.
    assert (a["lastUpdated"] >= a["timestep"] - 1).all()


def test_averages_are_brought_up_to_date():
    p = AvgPer(3)
    x0, x1 = SparseVectorD([(0, 1.0)]), SparseVectorD([(1, 1.0)])
    p.update([(2.0, x0)])
    for _ in range(4):
        p.update([(1.0, x1)])
    s = p.get_state()
    # weight 2.0 held after each of the 5 steps; feature 1 held 1, 2, 3, 4
    np.testing.assert_array_equal(s["avgWeights"], [10.0, 10.0, 0.0])
    np.testing.assert_array_equal(s["lastUpdated"], [5.0, 5.0, 5.0])
    assert s["timestep"] == 5 and s["n_dimensions"] == 3 and s["kind"] == "avgper"
    s["weights"][0] = 99.0  # a copy, not the learner's array
    assert p.weights[0] == 2.0


def test_sgd_state_holds_the_true_weights():
    s = SgdMomentum(2, l2=0.5, n_examples=1.0, momentum=0.4)
    x = SparseVectorD([(0, 1.0)])
    for _ in range(3):
        s.update([(1.0, x)])
    expected = np.array(s.get_dense(0, 2, testing=False))
    state = s.get_state()
    assert state["weights_scale"] == 1.0 and state["lastUpdated"].dtype == np.int64
    np.testing.assert_allclose(state["weights"], expected, rtol=1e-15)


def test_untrained_learners_restore_with_zero_weights():
    for make in MAKERS.values():
        r = pickle.loads(pickle.dumps(make()))
        assert r.timestep == 0 and not np.asarray(r.weights).any()
        assert not np.isnan(np.asarray(r.weights)).any()


class Mine(AvgPer):
    pass


def test_pickle_keeps_fc_and_class():
    p = train(Mine(N), examples(6, 5))
    p.fc = {"combiner": [1, 2]}
    r = pickle.loads(pickle.dumps(p, protocol=0))
    assert type(r) is Mine and r.fc == {"combiner": [1, 2]}
    assert Mine.from_state(p.get_state()).fc is None
    with pytest.raises(ValueError):
        AvgMira.from_state(p.get_state())  # another learner's kind


UNPICKLE_IN_CHILD = """
import pickle, sys
import numpy as np
learners = pickle.loads(sys.stdin.buffer.read())
from quorvex.sparsmat import SparseVectorD
x = SparseVectorD([(0, 1.0), (3, -1.0), (7, 0.5)])
for learner in learners:
    if type(learner).__name__ != "AvgMira":
        learner.update([(1.0, x)])
sys.stdout.buffer.write(pickle.dumps([learner.get_state() for learner in learners]))
"""


def test_learners_unpickle_in_a_fresh_process():
    learners = [train(make(), examples(7, 15)) for name, make in sorted(MAKERS.items())]
    out = subprocess.run(
        [sys.executable, "-c", UNPICKLE_IN_CHILD],
        input=pickle.dumps(learners),
        capture_output=True,
        check=True,
        timeout=120,
    ).stdout
    x = SparseVectorD([(0, 1.0), (3, -1.0), (7, 0.5)])
    for learner in learners:
        if type(learner) is not AvgMira:
            learner.update([(1.0, x)])
    for theirs, mine in zip(pickle.loads(out), learners):
        assert_same_state(theirs, mine.get_state())


# --- bad states ------------------------------------------------------------------------------------


def test_bad_states_name_the_key_and_change_nothing():
    p = train(AvgPer(4), [SparseVectorD([(0, 1.0), (3, 2.0)])] * 3)
    good = p.get_state()
    before = pickle.dumps(p.get_state())

    def refused(state, match, exc=ValueError):
        with pytest.raises(exc, match=match):
            p.set_state(state)
        assert pickle.dumps(p.get_state()) == before

    for key in ("weights", "avgWeights", "lastUpdated", "timestep", "n_dimensions", "kind"):
        refused({k: v for k, v in good.items() if k != key}, f"has no '{key}'")
    refused(dict(good, weights=np.zeros(5)), r"\['weights'\] has length 5")
    refused(dict(good, n_dimensions=5), r"\['weights'\] has length 4")
    refused(dict(good, avgWeights=np.zeros(4, np.float32)), r"\['avgWeights'\].*float64.*dtype mismatch")
    refused(dict(good, lastUpdated=np.zeros((2, 2))), r"\['lastUpdated'\].*dimensions")
    refused(dict(good, weights=[0.0] * 4), r"\['weights'\] is not an array")
    refused(dict(good, timestep=1.5), r"\['timestep'\] must be an int")
    refused(dict(good, timestep=-1), r"\['timestep'\] is negative")
    refused(dict(good, timestep=2**70), r"\['timestep'\] is out of range")
    refused(dict(good, kind="mira"), r"\['kind'\] is 'mira'")
    refused(dict(good, kind="nonsense"), r"\['kind'\] is 'nonsense'")
    refused(dict(good, kind=None), r"\['kind'\] must be")
    refused(dict(good, extra=1), "unknown key 'extra'")
    refused(AdaGrad(4).get_state(), r"\['kind'\] is 'adagrad'")
    refused([("weights", 1)], "must be a dict", TypeError)
    m = AvgMira(4)
    with pytest.raises(ValueError, match=r"\['C'\] must be a number"):
        m.set_state(dict(m.get_state(), C="big"))
    with pytest.raises(ValueError, match=r"\['lazy_updates'\] must be a bool"):
        AdaGrad(4).set_state(dict(AdaGrad(4).get_state(), lazy_updates="yes"))
    with pytest.raises(ValueError, match=r"\['lastUpdated'\].*int64"):
        SgdMomentum(4).set_state(dict(SgdMomentum(4).get_state(), lastUpdated=np.zeros(4)))
    # A scale that would leave a learner whose state can no longer be taken.
    s = SgdMomentum(4, l2=0.01)
    for scale in (0.0, -1.0, float("nan"), float("inf")):
        with pytest.raises(ValueError, match=r"\['weights_scale'\] must be a positive finite number"):
            s.set_state(dict(s.get_state(), weights_scale=scale))
    assert s.get_state()["weights_scale"] == 1.0


def test_set_state_copies_read_only_arrays():
    state = train(AvgPer(N), examples(8, 10)).get_state()
    for v in state.values():
        if isinstance(v, np.ndarray):
            v.flags.writeable = False
    p = AvgPer.from_state(state)
    train(p, examples(9, 5))  # writes into its own copies
    assert p.weights.flags.writeable and p.weights is not state["weights"]
    strided = dict(state, weights=np.repeat(state["weights"], 2)[::2])
    q = AvgPer.from_state(strided)
    np.testing.assert_array_equal(q.weights, state["weights"])


def test_uninitialised_learner_has_no_state():
    for cls in (AvgPer, AvgMira, AdaGrad, SgdMomentum):
        obj = cls.__new__(cls)
        with pytest.raises(AttributeError, match="Memoryview is not initialized"):
            obj.get_state()
        obj.set_state(cls(3).get_state())  # and may receive one
        assert obj.n_dimensions == 3


def test_set_weights_copy():
    w = np.array([1.0, 2.0, 3.0])
    w.flags.writeable = False
    for cls in (AvgPer, AvgMira, AdaGrad):
        learner = cls(3)
        with pytest.raises((ValueError, BufferError)):
            learner.set_weights(w)  # shared: the learner writes into it
        learner.set_weights(w, copy=True)
        assert learner.weights is not w and learner.weights.flags.writeable
        np.testing.assert_array_equal(learner.weights, w)
        np.testing.assert_array_equal(learner.avgWeights, w)
        shared = np.zeros(3)
        learner.set_weights(shared, copy=False)
        assert learner.weights is shared
        with pytest.raises(ValueError):
            learner.set_weights(np.zeros(4), copy=True)


# --- mix ---------------------------------------------------------------------------------------


def test_mix_averages_weights_and_adds_sums():
    a = train(AvgPer(N), examples(10, 7)).get_state()
    b = train(AvgPer(N), examples(11, 3)).get_state()
    m = mix([a, b])
    np.testing.assert_allclose(m["weights"], (7 * a["weights"] + 3 * b["weights"]) / 10, rtol=1e-15)
    np.testing.assert_array_equal(m["avgWeights"], a["avgWeights"] + b["avgWeights"])
    assert m["timestep"] == 10 and (m["lastUpdated"] == 10).all() and m["kind"] == "avgper"
    eq = mix([a, b], weights=[1, 1])
    np.testing.assert_allclose(eq["weights"], (a["weights"] + b["weights"]) / 2, rtol=1e-15)
    only_a = mix([a, b], weights=[2.0, 0.0])
    np.testing.assert_array_equal(only_a["weights"], a["weights"])
    # A mixed state is a state: it goes into a learner, which trains on.
    p = AvgPer.from_state(m)
    train(p, examples(12, 4))
    assert p.timestep == 14


def test_mix_with_a_base_counts_the_shared_start_once():
    start = train(AvgPer(N), examples(13, 5))
    base = start.get_state()
    shards = [train(AvgPer.from_state(base), examples(14 + k, 4 + k)) for k in range(3)]
    states = [s.get_state() for s in shards]
    m = mix(states, base=base)
    assert m["timestep"] == 5 + 4 + 5 + 6
    expected = base["avgWeights"] + sum(s["avgWeights"] - base["avgWeights"] for s in states)
    np.testing.assert_allclose(m["avgWeights"], expected, rtol=1e-12, atol=1e-12)
    steps = np.array([4.0, 5.0, 6.0])
    np.testing.assert_allclose(m["weights"], sum(c * s["weights"] for c, s in zip(steps, states)) / 15, rtol=1e-12)
    # No steps at all: the plain mean.
    same = mix([base, base], base=base)
    np.testing.assert_array_equal(same["weights"], base["weights"])
    assert same["timestep"] == 5


@pytest.mark.parametrize("name", ["mira", "adagrad", "sgd"])
def test_mix_of_every_kind(name):
    states = [train(MAKERS[name](), examples(20 + k, 6)).get_state() for k in range(2)]
    m = mix(states)
    assert m["kind"] == states[0]["kind"] and m["timestep"] == 12
    if name == "sgd":
        np.testing.assert_allclose(m["weights"], (states[0]["weights"] + states[1]["weights"]) / 2, rtol=1e-15)
        assert m["weights_scale"] == 1.0 and (m["lastUpdated"] == 12).all()
    if name == "adagrad":
        np.testing.assert_array_equal(m["sumGradSquare"], states[0]["sumGradSquare"] + states[1]["sumGradSquare"])
        assert (m["lastUpdated"] == 11).all()
    learner = type(MAKERS[name]()).from_state(m)
    train(learner, examples(30, 5))
    assert learner.timestep == 17


def test_mix_bad_input():
    a = train(AvgPer(N), examples(40, 3)).get_state()
    with pytest.raises(ValueError, match="at least one state"):
        mix([])
    with pytest.raises(TypeError):
        mix(None)
    with pytest.raises(ValueError, match=r"states\[1\]\['kind'\] is 'adagrad'"):
        mix([a, AdaGrad(N).get_state()])
    with pytest.raises(ValueError, match=r"states\[1\]\['n_dimensions'\]"):
        mix([a, AvgPer(N + 1).get_state()])
    with pytest.raises(ValueError, match=r"states\[1\]\['C'\] differs"):
        mix([AvgMira(3, C=0.1).get_state(), AvgMira(3, C=0.2).get_state()])
    with pytest.raises(ValueError, match="2 weights for 1 states"):
        mix([a], weights=[1, 2])
    for bad in ([-1.0], [float("nan")], [0.0]):
        with pytest.raises(ValueError):
            mix([a], weights=bad)
    with pytest.raises(ValueError, match=r"states\[0\]\['lastUpdated'\] is behind"):
        mix([dict(a, lastUpdated=np.zeros(N))])
    with pytest.raises(ValueError, match=r"below base"):
        mix([AvgPer(N).get_state()], base=a)
    with pytest.raises(ValueError, match=r"base\['weights'\]"):
        mix([a], base=dict(a, weights=np.zeros(2)))


def test_mix_reads_lists_that_callbacks_change():
    # A weight's __float__ or a state number's __index__ that empties the list being read:
    # mix reads a copy, so the result is the one of the lists as passed.
    states = [train(AvgPer(N), examples(s, 4)).get_state() for s in (50, 51, 52)]
    expected = mix(states, [1.0, 2.0, 3.0])
    weights = []

    class Weight:
        def __init__(self, v):
            self.v = v

        def __float__(self):
            weights.clear()
            return self.v

    listed = []

    class Timestep:
        def __init__(self, v):
            self.v = v

        def __index__(self):
            listed.clear()
            return self.v

    for _ in range(3):
        weights[:] = [Weight(1.0), Weight(2.0), Weight(3.0)]
        got = mix(states, weights)
        np.testing.assert_array_equal(got["weights"], expected["weights"])
        listed[:] = [dict(s, timestep=Timestep(s["timestep"])) for s in states]
        assert mix(listed, [1.0, 2.0, 3.0])["timestep"] == expected["timestep"]
