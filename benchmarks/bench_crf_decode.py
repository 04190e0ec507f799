"""Viterbi decoding of linear-chain CRF forests: quorvex's make_simple_crf + decode_simple_crf
against python-crfsuite's Tagger on the same sentences, features and labels.

    python benchmarks/bench_crf_decode.py [--sentences S] [--tokens T] [--features F]
                                          [--labels L] [--repeats R] [--ud] [--scaling-only]

By default the sentences are generated (deterministic): T tokens, F emission features per
token, L labels (30, 20 and 17, a part-of-speech tagger's shape). With --ud the first S
sentences of the UD LinES dev file are used with the shared per-token templates and UPOS.

Per sentence, quorvex does what a tagger does: one FeatureList per token, one candidate
node per (token, label) whose featuresD is fc(features, labels=[label]) over a frozen
dictionary, make_simple_crf, decode_simple_crf, then the forest is dropped. The table gives
tagged tokens per second and the time of each phase per token, once with the interpreter's
collector as it is and once with automatic collection paused around the loop (many small
forest nodes make the collector the largest single cost); crfsuite's tagger is trained for
one averaged-perceptron epoch first. The ratio is crfsuite's tokens/s over quorvex's.

With --scaling-only, only the forest path (make_simple_crf, decode_simple_crf and dropping
the forest, collector on) is timed, in CPU time, on forests of growing size: the cost per
transition at 8, 17 and 50 labels (20-token sentences, about 300000 transitions in all) and
the cost per token of 20-, 500- and 5000-token sentences (17 labels, about 5000 tokens in
all), each the median of --repeats rounds. A flat column means the path grows linearly
with the forest.
"""

import argparse
import gc
import os
import random
import statistics
import sys
import tempfile
import time

import numpy as np
from common import DEV, read_conllu, table, token_features

from quorvex.feature import AndNode, FCombo, FeatureList, decode_simple_crf, make_simple_crf


def generated(n_sent, n_tok, n_feat, n_labels, seed=1):
    rng = random.Random(seed)
    labels = ["L%02d" % i for i in range(n_labels)]
    sents = []
    for _ in range(n_sent):
        toks = []
        for _ in range(n_tok):
            feats = ["w=%d" % rng.randrange(5000)] + ["f%d=%d" % (j, rng.randrange(40)) for j in range(n_feat - 1)]
            toks.append((feats, rng.choice(labels)))
        sents.append(toks)
    return sents, labels


def ud(n_sent):
    sents = read_conllu(DEV)[:n_sent]
    out = []
    for s in sents:
        words = [w for w, _ in s]
        out.append([(token_features(words, i), t) for i, (_, t) in enumerate(s)])
    return out, sorted({t for s in sents for _, t in s})


class QuorvexTagger:
    def __init__(self, sents, labels):
        self.labels = labels
        self.fc = FCombo(1)
        for s in sents:  # fill the dictionary once, then freeze it
            for feats, _ in s:
                fl = FeatureList(feats)
                for lbl in labels:
                    self.fc(fl, labels=[lbl])
        for a in labels + [None]:
            for b in labels:
                self.fc([("T%s-%s" % (a, b), 1.0), ("STOP", 1.0)])
        self.fc.dict.growing = False
        self.weights = np.random.RandomState(0).standard_normal(len(self.fc.dict)) * 0.1

    def tag(self, sent, phases):
        t0 = time.perf_counter()
        positions = []
        for feats, _ in sent:
            fl = FeatureList(feats)
            cands = []
            for lbl in self.labels:
                c = AndNode(lbl)
                c.featuresD = self.fc(fl, labels=[lbl])
                cands.append(c)
            positions.append(cands)
        t1 = time.perf_counter()
        forest = make_simple_crf(positions)
        t2 = time.perf_counter()
        result = [c.label for c in decode_simple_crf(forest, self.weights, self.fc)]
        t3 = time.perf_counter()
        del forest, positions
        t4 = time.perf_counter()
        for i, dt in enumerate((t1 - t0, t2 - t1, t3 - t2, t4 - t3)):
            phases[i] += dt
        return result


def run_quorvex(tagger, sents, pause_gc):
    phases = [0.0] * 4
    was = gc.isenabled()
    if pause_gc:
        gc.disable()
    try:
        start = time.perf_counter()
        for s in sents:
            tagger.tag(s, phases)
        total = time.perf_counter() - start
    finally:
        if was:
            gc.enable()
    gc.collect()
    return total, phases


def crfsuite_tagger(sents):
    try:
        import pycrfsuite
    except ImportError:
        return None
    trainer = pycrfsuite.Trainer(algorithm="ap", verbose=False)
    for s in sents:
        trainer.append([feats for feats, _ in s], [t for _, t in s])
    trainer.set_params({"max_iterations": 1})
    fd, path = tempfile.mkstemp(suffix=".crfsuite")
    os.close(fd)
    trainer.train(path)
    tagger = pycrfsuite.Tagger()
    tagger.open(path)
    os.unlink(path)
    xseqs = [[feats for feats, _ in s] for s in sents]

    def run():
        start = time.perf_counter()
        for x in xseqs:
            tagger.tag(x)
        return time.perf_counter() - start

    return run


class ScalingCase:
    """Sentences of n_tok tokens (about `budget` tokens in all) over n_labels labels, their
    candidates made afresh for every round (a forest is decoded once)."""

    def __init__(self, n_labels, n_tok, budget=5000, n_feat=4, seed=2):
        self.sents, self.labels = generated(max(1, budget // n_tok), n_tok, n_feat, n_labels, seed)
        self.fc = FCombo(1)
        for s in self.sents:
            for feats, _ in s:
                self.fc.label_vectors(FeatureList(feats), self.labels)
        for a in self.labels + [None]:
            for b in self.labels:
                self.fc([("T%s-%s" % (a, b), 1.0), ("STOP", 1.0)])
        self.fc.dict.growing = False
        self.weights = np.random.RandomState(0).standard_normal(len(self.fc.dict)) * 0.1
        self.tokens = sum(len(s) for s in self.sents)
        # the start position has one state, every later one a state per label
        self.transitions = sum(n_labels + (len(s) - 1) * n_labels * n_labels for s in self.sents)

    def candidates(self):
        return [[self.fc.label_nodes(FeatureList(feats), self.labels) for feats, _ in s] for s in self.sents]

    def run(self):
        """CPU seconds of build, decode and free over all sentences, collector on (CPU time, so
        that other processes on a shared machine count less)."""
        todo = self.candidates()
        gc.enable()
        phases = [0.0, 0.0, 0.0]
        for _ in range(len(todo)):
            positions = todo.pop()
            t0 = time.process_time()
            forest = make_simple_crf(positions)
            t1 = time.process_time()
            decode_simple_crf(forest, self.weights, self.fc)
            t2 = time.process_time()
            del forest, positions
            t3 = time.process_time()
            phases[0] += t1 - t0
            phases[1] += t2 - t1
            phases[2] += t3 - t2
        return phases


def scaling(repeats):
    def medians(case):
        case.run()  # warm-up
        runs = [case.run() for _ in range(repeats)]
        return [statistics.median(r[i] for r in runs) for i in range(3)]

    def cells(case, per):
        ph = medians(case)
        return ["%.3f" % (p / per * 1e6) for p in ph + [sum(ph)]]

    heads = ["build", "decode", "free", "total"]
    rows = []
    for n_labels in (8, 17, 50):
        case = ScalingCase(n_labels, 20, budget=20 * max(1, 300000 // (20 * n_labels * n_labels)))
        rows.append(["%d labels, 20 tokens" % n_labels, case.transitions] + cells(case, case.transitions))
    table(["per transition", "transitions"] + [h + " us" for h in heads], rows)
    print()
    rows = []
    for n_tok in (20, 500, 5000):
        case = ScalingCase(17, n_tok)
        rows.append(["%d tokens, 17 labels" % n_tok, case.tokens] + cells(case, case.tokens))
    table(["per token", "tokens"] + [h + " us" for h in heads], rows)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sentences", type=int, default=200)
    ap.add_argument("--tokens", type=int, default=30)
    ap.add_argument("--features", type=int, default=20)
    ap.add_argument("--labels", type=int, default=17)
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--ud", action="store_true", help="use the UD LinES dev sentences")
    ap.add_argument(
        "--scaling-only", action="store_true", help="only the cost per transition and per token of growing forests"
    )
    args = ap.parse_args()
    if args.scaling_only:
        scaling(args.repeats)
        return
    if args.ud:
        if not DEV.exists():
            sys.exit("needs %s" % DEV)
        sents, labels = ud(args.sentences)
        what = "UD LinES dev"
    else:
        sents, labels = generated(args.sentences, args.tokens, args.features, args.labels)
        what = "generated"
    n_tok = sum(len(s) for s in sents)
    n_feat = statistics.mean(len(f) for s in sents for f, _ in s)
    print(
        "%s: %d sentences, %d tokens (%.1f per sentence), %.1f features per token, %d labels\n"
        % (what, len(sents), n_tok, n_tok / len(sents), n_feat, len(labels))
    )

    q = QuorvexTagger(sents, labels)
    run_quorvex(q, sents[: max(1, len(sents) // 10)], False)  # warm-up
    rows = []
    crf = crfsuite_tagger(sents)
    crf_time = statistics.median(crf() for _ in range(args.repeats)) if crf else None
    for pause in (False, True):
        runs = sorted((run_quorvex(q, sents, pause) for _ in range(args.repeats)), key=lambda r: r[0])
        total, phases = runs[len(runs) // 2]
        per = ["%.1f" % (p / n_tok * 1e6) for p in phases]
        ratio = "%.1f" % ((n_tok / crf_time) / (n_tok / total)) if crf_time else "-"
        rows.append(
            ["quorvex forest" + (", collector paused" if pause else ""), "%.0f" % (n_tok / total)] + per + [ratio]
        )
    if crf_time:
        rows.append(["python-crfsuite Tagger", "%.0f" % (n_tok / crf_time), "-", "-", "-", "-", "1.0"])
    else:
        print("python-crfsuite not installed: its row is left out\n")
    table(
        ["system", "tokens/s", "vectorise us/tok", "build us/tok", "decode us/tok", "free us/tok", "crfsuite/quorvex"],
        rows,
    )


if __name__ == "__main__":
    main()
