"""Iterative parameter mixing: on a local Dask cluster of two worker processes it gives the
weights that the same shards mixed in one process give, bit for bit."""

import functools
import os
import sys
import threading

import numpy as np
import pytest

from quorvex.distributed import RoundStats, train_ipm, train_ipm_local
from quorvex.learn import AdaGrad, AvgPer, mix
from quorvex.sparsmat import SparseVectorD

N = 40


def make_shards(count, per_shard, seed=0):
    """Linearly separable-ish examples: (vector, +1/-1) pairs."""
    rng = np.random.default_rng(seed)
    truth = rng.standard_normal(N)
    shards = []
    for _ in range(count):
        shard = []
        for _ in range(per_shard):
            f = rng.choice(N, size=5, replace=False)
            v = rng.standard_normal(5)
            shard.append(([(int(i), float(x)) for i, x in zip(f, v)], 1.0 if truth[f] @ v > 0 else -1.0))
        shards.append(shard)
    return shards


def perceptron_pass(learner, shard, epoch):
    order = np.random.default_rng(epoch).permutation(len(shard))
    for k in order:
        pairs, y = shard[k]
        x = SparseVectorD(pairs)
        if y * learner.score(x, False) <= 0:
            learner.update([(y, x)])


def test_local_rounds_mix_the_shards():
    shards = make_shards(3, 30)
    seen = []
    learner = train_ipm_local(
        shards,
        functools.partial(AvgPer, N),
        perceptron_pass,
        3,
        on_round=lambda stats, state: seen.append((stats, state["timestep"])),
        measure=True,
    )
    assert [s.epoch for s, _ in seen] == [0, 1, 2] and all(isinstance(s, RoundStats) for s, _ in seen)
    assert all(len(s.compute) == 3 and s.payload > 0 and s.wall >= s.mix for s, _ in seen)
    assert learner.timestep == seen[-1][1] > 0
    # Round 1 by hand: each shard from the same fresh state, then mix.
    start = AvgPer(N).get_state()
    states = []
    for shard in shards:
        p = AvgPer.from_state(start)
        perceptron_pass(p, shard, 0)
        states.append(p.get_state())
    one = train_ipm_local(shards, functools.partial(AvgPer, N), perceptron_pass, 1)
    expected = mix(states, base=start)
    for key in ("weights", "avgWeights"):
        assert one.get_state()[key].tobytes() == expected[key].tobytes()


def test_bad_arguments():
    with pytest.raises(ValueError, match="at least one shard"):
        train_ipm_local([], functools.partial(AvgPer, N), perceptron_pass, 1)
    with pytest.raises(ValueError, match="epochs"):
        train_ipm_local([[]], functools.partial(AvgPer, N), perceptron_pass, -1)
    zero = train_ipm_local([[]], functools.partial(AvgPer, N), perceptron_pass, 0)
    assert zero.timestep == 0


@pytest.fixture(scope="module")
def client():
    import os

    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        # Worker processes of Dask's own C extensions would run under the sanitizers'
        # leak checks; the native code they call is tested under them by test_state.
        pytest.skip("no Dask cluster under the sanitizers")
    distributed = pytest.importorskip("dask.distributed")
    import cloudpickle

    # The workers cannot import this test module: its functions travel by value.
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    cluster = distributed.LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=True,
        host="127.0.0.1",
        dashboard_address=None,
        worker_dashboard_address=None,
    )
    c = distributed.Client(cluster, timeout="60s")
    try:
        c.wait_for_workers(2, timeout=60)
        yield c
    finally:
        c.close()
        cluster.close()
        cloudpickle.unregister_pickle_by_value(sys.modules[__name__])


@pytest.mark.parametrize("make", [functools.partial(AvgPer, N), functools.partial(AdaGrad, N, l1=0.01)])
def test_dask_workers_give_the_weights_of_one_process(client, make):
    shards = make_shards(3, 40, seed=1)  # three shards on two workers: one worker holds two
    rounds = []
    on_dask = train_ipm(
        client,
        shards,
        make,
        perceptron_pass,
        3,
        prepare_shard=list,
        on_round=lambda stats, state: rounds.append(stats),
        measure=True,
    )
    here = train_ipm_local(shards, make, perceptron_pass, 3, prepare_shard=list)
    a, b = on_dask.get_state(), here.get_state()
    for key in a:
        if isinstance(a[key], np.ndarray):
            assert a[key].tobytes() == b[key].tobytes(), key
        else:
            assert a[key] == b[key], key
    assert a["timestep"] > 0 and len(rounds) == 3
    assert all(len(r.compute) == 3 and r.payload > 0 and r.overhead >= 0 for r in rounds)


def prepared_where(shard):
    import os

    return shard, os.getpid()


def check_pinned(learner, shard, epoch):
    import os

    index, pid = shard
    if os.getpid() != pid:
        raise RuntimeError("shard %d moved from process %d to %d" % (index, pid, os.getpid()))
    # One step on the shard's own feature, so the result shows every shard was trained.
    learner.update([(1.0, SparseVectorD([(index, 1.0)]))])


def test_dask_keeps_each_shard_on_its_worker(client):
    learner = train_ipm(
        client, [0, 1, 2, 3], functools.partial(AvgPer, 4), check_pinned, 3, prepare_shard=prepared_where
    )
    # Every round, every shard trained once where it was prepared.
    assert learner.timestep == 12
    np.testing.assert_array_equal(learner.get_state()["avgWeights"], [6.0, 6.0, 6.0, 6.0])


def test_a_failing_shard_raises_on_the_driver(client):
    def broken(learner, shard, epoch):
        raise RuntimeError("bad shard %d" % shard)

    with pytest.raises(RuntimeError, match="bad shard"):
        train_ipm(client, [0, 1], functools.partial(AvgPer, 4), broken, 1)


def test_a_worker_that_leaves_is_an_error_not_a_wait():
    # Its shard's tasks are pinned to it: without a check, the next round waits for ever.
    distributed = pytest.importorskip("dask.distributed")
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("no Dask cluster under the sanitizers")
    with (
        distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False, dashboard_address=":0") as cluster,
        distributed.Client(cluster) as c,
    ):
        c.wait_for_workers(2, timeout=60)
        leaving = sorted(c.nthreads())[1]

        def retire(stats, state):
            if stats.epoch == 0:
                c.retire_workers([leaving], close_workers=True)

        # Should the round wait anyway, closing the client ends it (with another error).
        deadline = threading.Timer(60, c.close)
        deadline.start()
        try:
            with pytest.raises(RuntimeError, match="round 1 cannot finish: the worker\\(s\\) %s left" % leaving):
                train_ipm(c, [0, 1], functools.partial(AvgPer, 4), check_pinned_in_thread, 3, on_round=retire)
        finally:
            deadline.cancel()


def check_pinned_in_thread(learner, shard, epoch):
    learner.update([(1.0, SparseVectorD([(shard, 1.0)]))])


def tagger_corpus():
    from quorvex.tagger import bundled_corpus

    sentences = bundled_corpus()[:300]
    return [[w for w, _ in s] for s in sentences], [[t for _, t in s] for s in sentences]


def dictionary_bytes(tagger):
    out = []
    tagger.model.fc.dict.tofile_utf8(type("Sink", (), {"write": lambda self, b: out.append(bytes(b))})())
    return b"".join(out)


@pytest.mark.parametrize("prune", [True, False])
def test_tagger_mixing_on_dask_matches_one_process(client, prune):
    from quorvex.tagger import Tagger

    words, tags = tagger_corpus()
    dev = (words[-40:], tags[-40:])
    words, tags = words[:-40], tags[:-40]
    on_dask = Tagger(prune=prune).fit(words, tags, epochs=3, dev=dev, progress=False, client=client)
    here = Tagger(prune=prune).fit(words, tags, epochs=3, dev=dev, progress=False, shards=2)
    serial = Tagger(prune=prune).fit(words, tags, epochs=3, progress=False)
    assert on_dask.weights.tobytes() == here.weights.tobytes()
    assert [r["dev_accuracy"] for r in on_dask.history] == [r["dev_accuracy"] for r in here.history]
    assert len(on_dask.history) == 3 and all(len(r["compute_seconds"]) == 2 for r in on_dask.history)
    # The driver freezes the dictionary serial training would build, and the mixed model is
    # about as good.
    assert dictionary_bytes(on_dask) == dictionary_bytes(serial)
    assert on_dask.score(*dev) > serial.score(*dev) - 0.03


def test_command_line_trains_on_a_scheduler(client, tmp_path):
    import io

    from quorvex.tagger import Tagger
    from quorvex.tagger.cli import main as cli

    out = io.StringIO()
    model = tmp_path / "m.qvt"
    assert (
        cli(["train", "--epochs", "1", "--quiet", "--model", str(model), "--scheduler", client.scheduler.address], out)
        == 0
    )
    assert "epoch 1: held-out accuracy" in out.getvalue() and Tagger.load(model).labels


def test_tagger_mixing_arguments():
    from quorvex.tagger import Tagger

    words, tags = tagger_corpus()
    for bad in (0, -1, 1.5):
        with pytest.raises(ValueError, match="shards"):
            Tagger().fit(words, tags, progress=False, shards=bad)
    # More shards than sentences: one sentence per shard.
    few = Tagger().fit(words[:3], tags[:3], epochs=2, progress=False, shards=8)
    assert few.tag(words[0]) and len(few.history) == 2
