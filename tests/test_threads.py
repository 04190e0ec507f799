"""Objects shared between threads under the GIL: one combiner, learner, alphabet and
hasher used by eight threads at once end with the totals a single thread would give."""

import sys
import threading

import pytest

from quorvex.alphabet import PythonAlphabet, StringAlphabet
from quorvex.feature import FCombo, FeatureHasher, FeatureList
from quorvex.learn import AvgPer
from quorvex.sparsmat import SparseVectorD

THREADS = 8
ROUNDS = 300


@pytest.fixture(autouse=True)
def eager_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as the interpreter can
    yield
    sys.setswitchinterval(old)


def run_threads(work):
    errors = []
    start = threading.Barrier(THREADS)

    def body(t):
        try:
            start.wait()
            work(t)
        except BaseException as e:  # reported in the main thread
            errors.append(e)

    threads = [threading.Thread(target=body, args=(t,)) for t in range(THREADS)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert errors == []


def decode(fc, vec):
    words = list(fc.dict)
    return sorted((words[k], v) for k, v in vec)


def test_shared_combiner_and_alphabet():
    fc = FCombo(2)
    alph = StringAlphabet()
    palph = PythonAlphabet()
    inputs = [FeatureList(["w=%d" % (i % 17), "s=%d" % (i % 5), ("n", float(i % 3))]) for i in range(40)]
    results = [[] for _ in range(THREADS)]

    def work(t):
        for r in range(ROUNDS):
            fl = inputs[(t + r) % len(inputs)]
            results[t].append((fl, fc(fl)))
            alph["shared%d" % (r % 50)]
            alph["t%d-%d" % (t, r)]
            palph[("shared", r % 50)]
            palph[(t, r)]

    run_threads(work)
    reference = FCombo(2)
    for t in range(THREADS):
        for fl, vec in results[t]:
            assert decode(fc, vec) == decode(reference, reference(fl))
    assert sorted(fc.dict) == sorted(reference.dict) and len(set(fc.dict)) == len(fc.dict)
    words = list(alph)
    assert len(words) == 50 + THREADS * ROUNDS == len(set(words))
    assert all(alph[w] == i for i, w in enumerate(words))
    assert len(palph) == 50 + THREADS * ROUNDS and all(palph[w] == i for i, w in enumerate(palph.words))


def test_shared_learner_and_hasher():
    p = AvgPer(THREADS + 1)
    h = FeatureHasher(1 << 12)
    feats = [["w=%d" % i, "s=%d" % (i % 3)] for i in range(20)]
    expected = [h(f, target="N") for f in feats]
    bad = []

    def work(t):
        x = SparseVectorD([(t, 1.0), (THREADS, 0.5)])
        for r in range(ROUNDS):
            p.update([(1.0, x)])
            p.score(x, False)
            if h(feats[r % 20], target="N") != expected[r % 20]:
                bad.append(r)

    run_threads(work)
    assert bad == []
    assert p.timestep == THREADS * ROUNDS
    w = list(p.weights)
    assert w[:THREADS] == [float(ROUNDS)] * THREADS and w[THREADS] == 0.5 * THREADS * ROUNDS
