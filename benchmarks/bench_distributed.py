"""Iterative parameter mixing on Dask against serial training: the tagger and a token classifier.

The tagger (quorvex.tagger.Tagger with its tag dictionary) on UD LinES, trained serially, by
mixing 2 shards in this process (fit(shards=2)) and on a LocalCluster of two worker processes
(fit(client=...)); then the one-vs-rest coarse word-class classifier of examples/classify.py (five averaged
perceptrons over the tagger's token features) on UD LinES, trained three ways for the same
number of epochs:

- serial: one learner over the whole training set, one pass per epoch;
- IPM, 1 process: the training set cut into two shards, each round trained shard after shard
  in this process and mixed (quorvex.distributed.train_ipm_local);
- IPM, 2 Dask workers: the same shards on a LocalCluster of two worker processes
  (quorvex.distributed.train_ipm), which must give the same weights bit for bit.

Reported per way (medians over the repeats, the ways alternating within each repeat): held-out
accuracy, wall time, CPU time (driver plus workers), and per round the time computing (the
slowest shard), handling state (set_state/get_state on the workers, mix on the driver),
serialising (pickling the shipped and returned states once, on the driver), the rest of the
round (scheduling, transfer, waiting) and the payload (state sent to and from the workers);
"outside rounds" is the time before the first round and after the last (placing the shards on
the workers, the final set_state).

    python benchmarks/bench_distributed.py [--task both|tagger|classifier] [--epochs 5] [--limit 0] [--repeats 3]
"""

import argparse
import functools
import os
import pickle
import statistics
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import DEV, TRAIN, read_conllu, table

from quorvex.distributed import train_ipm, train_ipm_local
from quorvex.feature import FCombo, FeatureList
from quorvex.learn import AvgPer, mix
from quorvex.tagger import Tagger, TokenFeatures

COARSE = {
    "NOUN": "noun",
    "PROPN": "noun",
    "VERB": "verb",
    "AUX": "verb",
    "ADJ": "modifier",
    "ADV": "modifier",
    "DET": "function",
    "ADP": "function",
    "PRON": "function",
    "CCONJ": "function",
    "SCONJ": "function",
    "PART": "function",
}
CLASSES = ["noun", "verb", "modifier", "function", "other"]
FEATURES = TokenFeatures(affixes=3, window=1)


def vectorise(fc, sentences):
    out = []
    for s in sentences:
        words = [w for w, _ in s]
        for feats, (_, tag) in zip(FEATURES.sentence(words), s):
            out.append((fc(FeatureList(feats)), CLASSES.index(COARSE.get(tag, "other"))))
    return out


class OneVsRest:
    """Five averaged perceptrons; its state is the dict of theirs, mixed class by class."""

    def __init__(self, dim):
        self.learners = [AvgPer(dim) for _ in CLASSES]

    def get_state(self):
        return {c: lr.get_state() for c, lr in zip(CLASSES, self.learners)}

    def set_state(self, state):
        for c, lr in zip(CLASSES, self.learners):
            lr.set_state(state[c])

    def predict(self, x):
        scores = [lr.score(x) for lr in self.learners]
        return max(range(len(CLASSES)), key=scores.__getitem__)


def mix_classes(states, weights=None, base=None):
    return {c: mix([s[c] for s in states], weights=weights, base=None if base is None else base[c]) for c in CLASSES}


def train_pass(model, examples, epoch):
    """One perceptron pass in an order fixed by the epoch: every class's learner updates on
    its mistakes."""
    for k in np.random.default_rng(epoch).permutation(len(examples)):
        x, gold = examples[k]
        for c, lr in enumerate(model.learners):
            y = 1.0 if c == gold else -1.0
            if y * lr.score(x, False) <= 0:
                lr.update([(y, x)])


def accuracy(model, data):
    return sum(model.predict(x) == gold for x, gold in data) / len(data)


def run_serial(make, train, epochs):
    model = make()
    for epoch in range(epochs):
        train_pass(model, train, epoch)
    model.set_state(model.get_state())  # averages brought up to date, as the mixed runs have them
    return model, []


def run_ipm(runner, shards, make, epochs):
    rounds = []
    model = runner(
        shards,
        make,
        train_pass,
        epochs,
        mix=mix_classes,
        measure=True,
        on_round=lambda stats, state: rounds.append(stats),
    )
    return model, rounds


def med(values):
    return statistics.median(values)


def rng(values):
    return "%.2f (%.2f-%.2f)" % (med(values), min(values), max(values))


def worker_cpu(client):
    """The CPU seconds every worker process has used so far (its whole process)."""
    return sum(client.run(time.process_time).values())


def bench_tagger(client, args):
    """The tagger three ways, alternating within each repeat."""
    train = read_conllu(TRAIN)
    dev = read_conllu(DEV)
    words = [[w for w, _ in s] for s in train]
    tags = [[t for _, t in s] for s in train]
    dev = ([[w for w, _ in s] for s in dev], [[t for _, t in s] for s in dev])
    print(
        "Tagger: UD LinES, %d training sentences (%d tokens) in 2 shards, %d dev sentences, %d epochs, "
        "%d repeats\n" % (len(words), sum(map(len, words)), len(dev[0]), args.epochs, args.repeats)
    )
    ways = {
        "serial": {},
        "IPM, 1 process": {"shards": 2},
        "IPM, 2 Dask workers": {"client": client},
    }
    results = {name: [] for name in ways}
    weights = {}
    for _ in range(args.repeats):
        for name, how in ways.items():
            workers0 = worker_cpu(client) if "client" in how else 0.0
            wall0, cpu0 = time.perf_counter(), time.process_time()
            tagger = Tagger().fit(words, tags, epochs=args.epochs, progress=False, **how)
            wall, cpu = time.perf_counter() - wall0, time.process_time() - cpu0
            if "client" in how:
                cpu += worker_cpu(client) - workers0
            results[name].append((tagger.score(*dev), wall, cpu, tagger.history))
            weights[name] = tagger.weights
    # What one round moves: the state to each shard's worker and back.
    state = AvgPer(len(weights["serial"])).get_state()
    t0 = time.perf_counter()
    blob = pickle.dumps(state, protocol=pickle.HIGHEST_PROTOCOL)
    pickle.loads(blob)
    serialise = (time.perf_counter() - t0) * 2 * 2
    payload = len(blob) * 2 * 2 / 2**20
    rows = []
    for name, runs in results.items():
        rounds = [h for run in runs for h in run[3] if "compute_seconds" in h]

        def per_round(f, rounds=rounds):
            return ("%.3f" % med([f(r) for r in rounds])) if rounds else "-"

        mixing = bool(rounds)
        rows.append(
            [
                name,
                "%.2f%%" % (100 * med([r[0] for r in runs])),
                rng([r[1] for r in runs]),
                rng([r[2] for r in runs]),
                ("%.2f" % med([r[1] - sum(h["seconds"] for h in r[3]) for r in runs])) if mixing else "-",
                per_round(lambda h: max(h["compute_seconds"])),
                per_round(lambda h: max(h["state_seconds"]) + h["mix_seconds"]),
                ("%.3f" % serialise) if mixing else "-",
                per_round(lambda h: h["overhead_seconds"]),
                ("%.1f" % payload) if mixing else "-",
            ]
        )
    table(
        [
            "way",
            "dev accuracy",
            "wall s",
            "CPU s",
            "outside rounds s",
            "round: compute s",
            "state s",
            "serialise s",
            "schedule+transfer s",
            "payload MiB",
        ],
        rows,
    )
    same = weights["IPM, 1 process"].tobytes() == weights["IPM, 2 Dask workers"].tobytes()
    print(
        '\nIPM on Dask and in one process give bit-identical weights: %s. "outside rounds" is building the '
        'dictionary on the driver and compiling the shards on the workers; "serialise" is pickling and '
        "unpickling the states of a round once each (measured on the driver).\n" % ("yes" if same else "NO")
    )


def bench_classifier(client, args):
    fc = FCombo(1, bias_item="<bias>")
    train = vectorise(fc, read_conllu(TRAIN))
    if args.limit:
        train = train[: args.limit]
    fc.dict.growing = False
    dev = vectorise(fc, read_conllu(DEV))
    dim = len(fc.dict)
    half = len(train) // 2
    shards = [train[:half], train[half:]]
    make = functools.partial(OneVsRest, dim)
    print(
        "UD LinES: %d training tokens (2 shards of %d and %d), %d held-out, %d features x %d classes, "
        "%d epochs, %d repeats\n"
        % (len(train), half, len(train) - half, len(dev), dim, len(CLASSES), args.epochs, args.repeats)
    )

    ways = {
        "serial": lambda: run_serial(make, train, args.epochs),
        "IPM, 1 process": lambda: run_ipm(train_ipm_local, shards, make, args.epochs),
        "IPM, 2 Dask workers": lambda: run_ipm(functools.partial(train_ipm, client), shards, make, args.epochs),
    }
    results = {name: [] for name in ways}
    finals = {}
    for _ in range(args.repeats):
        for name, run in ways.items():
            workers0 = worker_cpu(client) if name.endswith("Dask workers") else 0.0
            wall0, cpu0 = time.perf_counter(), time.process_time()
            model, rounds = run()
            wall, cpu = time.perf_counter() - wall0, time.process_time() - cpu0
            if name.endswith("Dask workers"):
                cpu += worker_cpu(client) - workers0
            results[name].append((accuracy(model, dev), wall, cpu, rounds))
            finals[name] = model.get_state()

    same = all(
        finals["IPM, 1 process"][c][k].tobytes() == finals["IPM, 2 Dask workers"][c][k].tobytes()
        for c in CLASSES
        for k in ("weights", "avgWeights")
    )

    rows = []
    for name, runs in results.items():
        rounds = [r for run in runs for r in run[3]]

        def per_round(f, rounds=rounds):
            return ("%.3f" % med([f(r) for r in rounds])) if rounds else "-"

        setup = ("%.2f" % med([r[1] - sum(x.wall for x in r[3]) for r in runs])) if rounds else "-"
        rows.append(
            [
                name,
                "%.2f%%" % (100 * med([r[0] for r in runs])),
                rng([r[1] for r in runs]),
                rng([r[2] for r in runs]),
                setup,
                per_round(lambda r: max(r.compute)),
                per_round(lambda r: max(r.state) + r.mix),
                per_round(lambda r: r.serialise),
                per_round(lambda r: r.overhead),
                ("%.1f" % med([r.payload / 2**20 for r in rounds])) if rounds else "-",
            ]
        )
    table(
        [
            "way",
            "dev accuracy",
            "wall s",
            "CPU s",
            "outside rounds s",
            "round: compute s",
            "state s",
            "serialise s",
            "schedule+transfer s",
            "payload MiB",
        ],
        rows,
    )
    print("\nIPM on Dask and in one process give bit-identical weights: %s.\n" % ("yes" if same else "NO"))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--task", choices=["both", "tagger", "classifier"], default="both")
    ap.add_argument("--epochs", type=int, default=5)
    ap.add_argument("--limit", type=int, default=0, help="classifier: training tokens used (0: all)")
    ap.add_argument("--repeats", type=int, default=3)
    args = ap.parse_args()
    if not TRAIN.exists():
        sys.exit("UD LinES not found (set QUORVEX_DATA to the shared data folder)")
    try:
        from dask.distributed import Client, LocalCluster
    except ImportError:
        sys.exit("Dask is needed: pip install 'quorvex[dask]'")
    t0 = time.perf_counter()
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None)
    client = Client(cluster)
    client.wait_for_workers(2)
    print(
        "Dask cluster of 2 worker processes started in %.2f s (not in the times below). CPU time is the "
        "driver's plus, on Dask, the workers' whole processes.\n" % (time.perf_counter() - t0)
    )
    try:
        if args.task in ("both", "tagger"):
            bench_tagger(client, args)
        if args.task in ("both", "classifier"):
            bench_classifier(client, args)
    finally:
        client.close()
        cluster.close()


if __name__ == "__main__":
    main()
