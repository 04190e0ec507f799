"""Iterative parameter mixing on Dask against serial training, for a token classifier.

The one-vs-rest coarse word-class classifier of examples/classify.py (five averaged
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

    python benchmarks/bench_distributed.py [--epochs 5] [--limit 0] [--repeats 3]
"""

import argparse
import functools
import os
import statistics
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import DEV, TRAIN, read_conllu, table

from quorvex.distributed import train_ipm, train_ipm_local
from quorvex.feature import FCombo, FeatureList
from quorvex.learn import AvgPer, mix
from quorvex.tagger import TokenFeatures

COARSE = {"NOUN": "noun", "PROPN": "noun", "VERB": "verb", "AUX": "verb", "ADJ": "modifier", "ADV": "modifier",
          "DET": "function", "ADP": "function", "PRON": "function", "CCONJ": "function", "SCONJ": "function",
          "PART": "function"}
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
    model = runner(shards, make, train_pass, epochs, mix=mix_classes, measure=True,
                   on_round=lambda stats, state: rounds.append(stats))
    return model, rounds


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--epochs", type=int, default=5)
    ap.add_argument("--limit", type=int, default=0, help="training tokens used (0: all)")
    ap.add_argument("--repeats", type=int, default=3)
    args = ap.parse_args()
    if not TRAIN.exists():
        sys.exit("UD LinES not found (set QUORVEX_DATA to the shared data folder)")
    try:
        from dask.distributed import Client, LocalCluster
    except ImportError:
        sys.exit("Dask is needed: pip install 'quorvex[dask]'")

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
    print("UD LinES: %d training tokens (2 shards of %d and %d), %d held-out, %d features x %d classes, "
          "%d epochs, %d repeats\n" % (len(train), half, len(train) - half, len(dev), dim, len(CLASSES),
                                       args.epochs, args.repeats))

    t0 = time.perf_counter()
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                           dashboard_address=None)
    client = Client(cluster)
    client.wait_for_workers(2)
    startup = time.perf_counter() - t0

    ways = {
        "serial": lambda: run_serial(make, train, args.epochs),
        "IPM, 1 process": lambda: run_ipm(train_ipm_local, shards, make, args.epochs),
        "IPM, 2 Dask workers": lambda: run_ipm(functools.partial(train_ipm, client), shards, make, args.epochs),
    }
    results = {name: [] for name in ways}
    finals = {}
    try:
        for _ in range(args.repeats):
            for name, run in ways.items():
                wall0, cpu0 = time.perf_counter(), time.process_time()
                model, rounds = run()
                wall, cpu = time.perf_counter() - wall0, time.process_time() - cpu0
                if name.endswith("Dask workers"):
                    cpu += sum(sum(r.cpu) for r in rounds)  # the workers' training CPU
                results[name].append((accuracy(model, dev), wall, cpu, rounds))
                finals[name] = model.get_state()
    finally:
        client.close()
        cluster.close()

    same = all(finals["IPM, 1 process"][c][k].tobytes() == finals["IPM, 2 Dask workers"][c][k].tobytes()
               for c in CLASSES for k in ("weights", "avgWeights"))

    def med(values):
        return statistics.median(values)

    def rng(values):
        return "%.2f (%.2f-%.2f)" % (med(values), min(values), max(values))

    rows = []
    for name, runs in results.items():
        rounds = [r for run in runs for r in run[3]]

        def per_round(f, rounds=rounds):
            return ("%.3f" % med([f(r) for r in rounds])) if rounds else "-"

        setup = ("%.2f" % med([r[1] - sum(x.wall for x in r[3]) for r in runs])) if rounds else "-"
        rows.append([name, "%.2f%%" % (100 * med([r[0] for r in runs])), rng([r[1] for r in runs]),
                     rng([r[2] for r in runs]), setup,
                     per_round(lambda r: max(r.compute)),
                     per_round(lambda r: max(r.state) + r.mix),
                     per_round(lambda r: r.serialise),
                     per_round(lambda r: r.overhead),
                     ("%.1f" % med([r.payload / 2**20 for r in rounds])) if rounds else "-"])
    table(["way", "dev accuracy", "wall s", "CPU s", "outside rounds s", "round: compute s", "state s", "serialise s",
           "schedule+transfer s", "payload MiB"], rows)
    print("\nDask cluster start-up: %.2f s (not in the times above). IPM on Dask and in one process give "
          "bit-identical weights: %s." % (startup, "yes" if same else "NO"))


if __name__ == "__main__":
    main()
