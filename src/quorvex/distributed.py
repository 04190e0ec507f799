"""Data-parallel training by iterative parameter mixing, on Dask.

A corpus too large (or too slow) for one process is cut into shards; each shard lives on one
worker for the whole training run. Every epoch is one round: the driver ships the current
learner state to the workers, each worker trains a copy of the learner on its shard for one
pass, sends its state back, and the driver mixes the states (:func:`quorvex.learn.mix`: the
weights averaged by the number of steps each shard made, averaging sums and steps added up).
The next round starts from the mixed state.

The learner is anything with ``get_state()`` and ``set_state(state)``: the learners of
:mod:`quorvex.learn`, or an object of the caller's that holds several of them (then give
``mix=`` a function that mixes its states). :func:`train_ipm_local` runs the same rounds in
this process, with the same arithmetic: the same shards give bit-identical weights either way.

Dask is an optional dependency (``pip install 'quorvex[dask]'``); this module imports without it
and only uses the ``client`` it is handed::

    from dask.distributed import Client, LocalCluster
    from quorvex.distributed import train_ipm
    with LocalCluster(n_workers=2, threads_per_worker=1) as cluster, Client(cluster) as client:
        learner = train_ipm(client, shards, make_learner, train_shard, epochs=5)
"""

import pickle
import time
from dataclasses import dataclass, field

from quorvex.learn import mix as mix_states

__all__ = ["RoundStats", "train_ipm", "train_ipm_local"]


@dataclass
class RoundStats:
    """What one round (epoch) cost. Times are seconds; a shard's times are measured on its
    worker, the others on the driver."""

    epoch: int
    wall: float = 0.0  #: the whole round, on the driver
    compute: list = field(default_factory=list)  #: per shard: train_shard's wall time
    cpu: list = field(default_factory=list)  #: per shard: train_shard's CPU time
    state: list = field(default_factory=list)  #: per shard: set_state + get_state on the worker
    mix: float = 0.0  #: mixing the states on the driver
    serialise: float = 0.0  #: pickling the shipped state once and the returned states, on the driver
    payload: int = 0  #: bytes of state sent to the workers and back (one pickle per transfer)

    @property
    def overhead(self):
        """Wall time neither spent training nor handling state: scheduling, transfer, waiting."""
        busy = max((c + s for c, s in zip(self.compute, self.state)), default=0.0)
        return max(self.wall - busy - self.mix, 0.0)


def _train_round(make_learner, train_shard, state, shard, epoch):
    """One shard's part of a round (runs on the shard's worker)."""
    t0 = time.perf_counter()
    learner = make_learner()
    learner.set_state(state)
    t1, c1 = time.perf_counter(), time.process_time()
    train_shard(learner, shard, epoch)
    t2, c2 = time.perf_counter(), time.process_time()
    out = learner.get_state()
    t3 = time.perf_counter()
    return out, (t2 - t1, c2 - c1, (t1 - t0) + (t3 - t2))


def _measure(stats, state, results):
    """Driver-side serialisation cost and payload of one round (the state shipped once per
    shard, each result returned once)."""
    t0 = time.perf_counter()
    sent = len(pickle.dumps(state, protocol=pickle.HIGHEST_PROTOCOL))
    back = sum(len(pickle.dumps(s, protocol=pickle.HIGHEST_PROTOCOL)) for s in results)
    stats.serialise = time.perf_counter() - t0
    stats.payload = sent * len(results) + back


def _finish_round(stats, state, results, mix, mix_weights, t_start, measure):
    states = [r[0] for r in results]
    for _, (compute, cpu, handling) in results:
        stats.compute.append(compute)
        stats.cpu.append(cpu)
        stats.state.append(handling)
    t0 = time.perf_counter()
    mixed = mix(states, weights=mix_weights, base=state)
    stats.mix = time.perf_counter() - t0
    stats.wall = time.perf_counter() - t_start
    if measure:
        _measure(stats, state, states)
    return mixed


# How often a round's wait looks for workers that left the cluster (seconds).
_WATCH_SECONDS = 1.0


def _gather_round(client, tasks, placed, epoch):
    """The results of a round's tasks (placed[i]: the worker task i is pinned to). A worker
    that leaves the cluster (retired, scaled down) takes its shards with it, and the tasks
    pinned to it would wait for it for ever: that is an error naming it instead."""
    from dask.distributed import wait

    while True:
        try:
            wait(tasks, timeout=_WATCH_SECONDS)
            break
        except TimeoutError:
            pass
        present = set(client.nthreads())
        gone = sorted({w for task, w in zip(tasks, placed) if not task.done() and w not in present})
        if gone:
            client.cancel(tasks)
            raise RuntimeError(
                "round %d cannot finish: the worker(s) %s left the cluster with the shards "
                "placed on them; train again on the cluster as it is now (see on_round to "
                "keep the state of every round)" % (epoch, ", ".join(gone))
            )
    return client.gather(tasks)


def _check(shards, epochs):
    shards = list(shards)
    if not shards:
        raise ValueError("train_ipm needs at least one shard")
    if epochs < 0:
        raise ValueError("epochs must be >= 0, not %r" % (epochs,))
    return shards


def train_ipm(
    client,
    shards,
    make_learner,
    train_shard,
    epochs,
    *,
    prepare_shard=None,
    shared=None,
    mix=None,
    mix_weights=None,
    on_round=None,
    measure=False,
):
    """Trains by iterative parameter mixing over the workers of a Dask ``client``.

    - ``shards``: the training data, one item per shard (any picklable objects). Shard i is
      scattered once to worker i modulo the number of workers (sorted by address) and stays
      there: every task on it is pinned to that worker.
    - ``make_learner()``: a new learner (called on the driver and on the workers; it must be
      picklable, e.g. a ``functools.partial`` of a learner class).
    - ``train_shard(learner, shard, epoch)``: one training pass over a shard, on a worker.
    - ``epochs``: the number of rounds.
    - ``prepare_shard(shard)``: optional, run once per shard on its worker; its result (compiled
      examples, say) replaces the shard for every round.
    - ``shared``: optional, what every shard's preparation needs besides its shard (a frozen
      dictionary, say): sent to every worker once and handed over as
      ``prepare_shard(shard, shared)``.
    - ``mix(states, weights=None, base=None)``: combines the states of a round; by default
      :func:`quorvex.learn.mix`, which the learners of :mod:`quorvex.learn` need. ``mix_weights``
      is handed to it (None: by the steps each shard made).
    - ``on_round(stats, state)``: called after every round with its :class:`RoundStats` and the
      mixed state (to evaluate or checkpoint); ``measure=True`` also fills in the
      serialisation time and payload (costs one extra pickling of the states on the driver).

    Returns the learner of ``make_learner()`` holding the final mixed state. A failing task
    raises its exception here; a worker that leaves the cluster during training (retired or
    scaled down: its shards go with it) is a ``RuntimeError`` naming it.
    """
    shards = _check(shards, epochs)
    mix = mix or mix_states
    # nthreads() lists every worker (scheduler_info() lists only the first five on some
    # Dask releases).
    workers = sorted(client.nthreads())
    if not workers:
        raise RuntimeError("the Dask cluster has no workers")
    placed = [workers[i % len(workers)] for i in range(len(shards))]
    # A list (or dict) given to scatter is scattered item by item: each shard goes in a list of one.
    data = [client.scatter([shard], workers=[w], hash=False)[0] for shard, w in zip(shards, placed)]
    if prepare_shard is not None:
        extra = () if shared is None else (client.scatter([shared], broadcast=True, hash=False)[0],)
        data = [
            client.submit(prepare_shard, d, *extra, workers=[w], allow_other_workers=False, pure=False)
            for d, w in zip(data, placed)
        ]
        del extra
    learner = make_learner()
    state = learner.get_state()
    try:
        for epoch in range(epochs):
            stats = RoundStats(epoch)
            t_start = time.perf_counter()
            shipped = client.scatter([state], broadcast=True, hash=False)[0]
            tasks = [
                client.submit(
                    _train_round,
                    make_learner,
                    train_shard,
                    shipped,
                    d,
                    epoch,
                    workers=[w],
                    allow_other_workers=False,
                    pure=False,
                )
                for d, w in zip(data, placed)
            ]
            results = _gather_round(client, tasks, placed, epoch)
            state = _finish_round(stats, state, results, mix, mix_weights, t_start, measure)
            del shipped, tasks
            if on_round is not None:
                on_round(stats, state)
    finally:
        client.cancel(data)
    learner.set_state(state)
    return learner


def train_ipm_local(
    shards,
    make_learner,
    train_shard,
    epochs,
    *,
    prepare_shard=None,
    shared=None,
    mix=None,
    mix_weights=None,
    on_round=None,
    measure=False,
):
    """The rounds of :func:`train_ipm` in this process, one shard after the other: the same
    arguments (without the client) and, for the same shards, bit-identical results. The
    reference to check a cluster run against, and a way to run the algorithm without Dask."""
    shards = _check(shards, epochs)
    mix = mix or mix_states
    if prepare_shard is not None:
        extra = () if shared is None else (shared,)
        shards = [prepare_shard(s, *extra) for s in shards]
    learner = make_learner()
    state = learner.get_state()
    for epoch in range(epochs):
        stats = RoundStats(epoch)
        t_start = time.perf_counter()
        # Each shard gets its own copy of the state, as a worker would.
        results = [_train_round(make_learner, train_shard, pickle.loads(pickle.dumps(state)), s, epoch) for s in shards]
        state = _finish_round(stats, state, results, mix, mix_weights, t_start, measure)
        if on_round is not None:
            on_round(stats, state)
    learner.set_state(state)
    return learner
