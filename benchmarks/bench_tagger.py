"""The part-of-speech tagger of examples/postag.py against python-crfsuite on UD LinES, with the
same feature templates and the same number of epochs.

    python benchmarks/bench_tagger.py [--epochs 5] [--repeats 3]

quorvex: structured averaged perceptron over make_simple_crf forests (candidates from the
tagger's tag dictionary, and once with every label as a candidate), decoded with
decode_simple_crf. crfsuite: its averaged perceptron ('ap') and L-BFGS ('lbfgs') trainers.
Tagging is timed twice: from each system's own input form built beforehand (FeatureLists,
ItemSequences), and from the plain lists of feature strings (that conversion then timed too);
feature extraction itself is never timed. Reports dev accuracy, training tokens/s and tagging
tokens/s, then a profile of where quorvex's tagging time goes.
"""

import argparse
import gc
import os
import statistics
import sys
import tempfile
import time

import numpy as np

from common import DEV, TRAIN, table

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))
import postag  # noqa: E402

from quorvex.feature import FeatureList, make_simple_crf  # noqa: E402


def quorvex_run(train_sents, dev_sents, epochs, repeats, prune):
    tagdict = postag.TagDictionary(train_sents, prune=prune)
    tagger = postag.Tagger(tagdict)
    train_data = postag.prepare(tagger, train_sents, training=True)
    dev_data = postag.prepare(tagger, dev_sents, training=False)
    tokens = sum(len(g) for _, _, g in train_data)
    start = time.perf_counter()
    learner = postag.train(tagger, train_data, [], epochs, quiet=True)
    train_speed = tokens * epochs / (time.perf_counter() - start)
    weights = postag.averaged_weights(learner)
    speeds = []
    for _ in range(repeats):
        acc, speed = postag.evaluate(tagger, dev_data, weights)
        speeds.append(speed)
    # End to end from the feature strings: the FeatureLists are built inside the timed loop.
    raw = [([postag.token_features([w for w, _ in s], i) for i in range(len(s))], cands)
           for s, (_, cands, _) in zip(dev_sents, dev_data)]
    ntok = sum(len(s) for s in dev_sents)
    e2e = []
    for _ in range(repeats):
        start = time.perf_counter()
        for feats, cands in raw:
            tagger.decode([FeatureList(f) for f in feats], cands, weights)
        e2e.append(ntok / (time.perf_counter() - start))
    def tag_dev():
        for flists, cands, _ in dev_data:
            tagger.decode(flists, cands, weights)

    return (tagger, dev_data, weights, acc, train_speed, statistics.median(speeds), statistics.median(e2e),
            tag_dev)


def crfsuite_run(train_sents, dev_sents, algorithm, epochs, repeats):
    import pycrfsuite

    def xseq(s):
        words = [w for w, _ in s]
        return [postag.token_features(words, i) for i in range(len(words))]

    xtrain = [pycrfsuite.ItemSequence(xseq(s)) for s in train_sents]
    ytrain = [[t for _, t in s] for s in train_sents]
    xdev = [pycrfsuite.ItemSequence(xseq(s)) for s in dev_sents]
    ydev = [[t for _, t in s] for s in dev_sents]
    trainer = pycrfsuite.Trainer(algorithm=algorithm, verbose=False)
    for x, y in zip(xtrain, ytrain):
        trainer.append(x, y)
    trainer.set_params({"max_iterations": epochs} if algorithm == "ap" else {"max_iterations": 100})
    path = os.path.join(tempfile.mkdtemp(prefix="crfsuite-"), "model.crfsuite")
    start = time.perf_counter()
    trainer.train(path)
    elapsed = time.perf_counter() - start
    iterations = epochs if algorithm == "ap" else trainer.logparser.last_iteration["num"]
    tokens = sum(len(y) for y in ytrain)
    train_speed = tokens * iterations / elapsed
    tagger = pycrfsuite.Tagger()
    tagger.open(path)
    ntok = sum(len(y) for y in ydev)
    speeds, e2e = [], []
    raw = [xseq(s) for s in dev_sents]
    for _ in range(repeats):
        start = time.perf_counter()
        preds = [tagger.tag(x) for x in xdev]
        speeds.append(ntok / (time.perf_counter() - start))
        start = time.perf_counter()
        for x in raw:
            tagger.tag(x)
        e2e.append(ntok / (time.perf_counter() - start))
    correct = sum(p == g for pred, gold in zip(preds, ydev) for p, g in zip(pred, gold))
    def tag_dev():
        for x in xdev:
            tagger.tag(x)

    return correct / ntok, train_speed, statistics.median(speeds), statistics.median(e2e), iterations, tag_dev


def paired_ratio(ours, theirs, rounds):
    """Tagging speed of ours over theirs (same sentences), timed in alternation so that a change
    in the machine's load falls on both: median, lowest and highest ratio over the rounds."""
    ratios = []
    for _ in range(rounds):
        t0 = time.perf_counter()
        ours()
        t1 = time.perf_counter()
        theirs()
        t2 = time.perf_counter()
        ratios.append((t2 - t1) / (t1 - t0))
    return statistics.median(ratios), min(ratios), max(ratios)


def profile(tagger, dev_data, weights):
    """Tagging split into its phases, timed over the dev set (microseconds per token)."""
    fc = tagger.fc
    phase = dict.fromkeys(["vectorise", "build", "score", "extract", "free"], 0.0)
    tokens = 0
    for flists, cands, gold in dev_data:
        t0 = time.perf_counter()
        positions = [fc.label_nodes(fl, cs) for fl, cs in zip(flists, cands)]
        t1 = time.perf_counter()
        forest = make_simple_crf(positions)
        t2 = time.perf_counter()
        n = forest.assign_ids(0)
        forest.calcPotential(weights, fc, np.zeros(n, "b"))
        forest.calcInsideMin(np.zeros(n, "b"))
        t3 = time.perf_counter()
        best = forest.extractBest(fc)
        labels = []
        while best.children:
            labels.append(best.children[0].label)
            best = best.children[1]
        t4 = time.perf_counter()
        del forest, positions, best
        t5 = time.perf_counter()
        for key, a, b in (("vectorise", t0, t1), ("build", t1, t2), ("score", t2, t3), ("extract", t3, t4),
                          ("free", t4, t5)):
            phase[key] += b - a
        tokens += len(gold)
    total = sum(phase.values())
    return [[k, "%.2f" % (v / tokens * 1e6), "%.0f%%" % (100 * v / total)] for k, v in phase.items()]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--epochs", type=int, default=5)
    ap.add_argument("--repeats", type=int, default=3)
    args = ap.parse_args()
    if not TRAIN.exists():
        sys.exit("needs %s" % TRAIN)
    train_sents, dev_sents = postag.read_conllu(TRAIN), postag.read_conllu(DEV)
    print("UD LinES: %d training sentences (%d tokens), %d dev sentences (%d tokens), %d epochs\n"
          % (len(train_sents), sum(map(len, train_sents)), len(dev_sents), sum(map(len, dev_sents)), args.epochs))
    gc.set_threshold(100000, 50, 100)
    rows = []
    results = {}
    for prune in (True, False):
        tagger, dev_data, weights, acc, tr, tg, e2e, tag_dev = quorvex_run(train_sents, dev_sents, args.epochs,
                                                                           args.repeats, prune)
        name = "quorvex forest perceptron" + ("" if prune else ", all labels as candidates")
        results[name] = (acc, tr, tg, e2e)
        if prune:
            prof = profile(tagger, dev_data, weights)
            ours = tag_dev
    theirs = None
    try:
        for algorithm in ("ap", "lbfgs"):
            acc, tr, tg, e2e, its, tag_dev = crfsuite_run(train_sents, dev_sents, algorithm, args.epochs,
                                                          args.repeats)
            results["crfsuite %s (%d iterations)" % (algorithm, its)] = (acc, tr, tg, e2e)
            if algorithm == "ap":
                theirs = tag_dev
    except ImportError:
        print("python-crfsuite is not installed: its rows are left out\n")
    ref = next((v for k, v in results.items() if k.startswith("crfsuite ap")), None)
    for name, (acc, tr, tg, e2e) in results.items():
        rows.append([name, "%.2f" % (100 * acc), "%.0f" % tr, "%.0f" % tg, "%.0f" % e2e,
                     "%+.2f" % (100 * (acc - ref[0])) if ref else "n/a",
                     "%.2f" % (tg / ref[2]) if ref else "n/a", "%.2f" % (e2e / ref[3]) if ref else "n/a"])
    table(["system", "dev accuracy %", "training tokens/s", "tagging tokens/s", "tagging from strings tokens/s",
           "accuracy vs crfsuite ap", "tagging / crfsuite ap", "from strings / crfsuite ap"], rows)
    if theirs:
        rounds = max(9, 3 * args.repeats)
        mid, low, high = paired_ratio(ours, theirs, rounds)
        print("\ntagging speed, quorvex forest perceptron / crfsuite ap, timed in alternation over %d rounds "
              "of the dev set: median %.2f (%.2f to %.2f)" % (rounds, mid, low, high))
    print("\nwhere quorvex's tagging time goes (tag-dictionary candidates, per token):\n")
    table(["phase", "us/token", "share"], prof)


if __name__ == "__main__":
    main()
