"""The part-of-speech tagger against python-crfsuite on UD LinES: same feature strings, same
number of epochs, trained on the training file and evaluated on the dev file.

    python benchmarks/bench_tagger.py [--epochs 5] [--rounds 5]

quorvex rows:
- chain: ChainModel, the native linear-chain model behind quorvex.tagger. Training is timed
  from FeatureLists and candidate lists to averaged weights: registering the keys, building the
  model, compiling the sentences and the epochs. Tagging is timed from FeatureLists and from the
  plain lists of feature strings (FeatureLists built inside the timed loop).
- forest: the same perceptron written with make_simple_crf + decode_simple_crf and AvgPer.update
  in a Python loop, which leaves bit-identical weights (checked) and so the same accuracy.
Candidates come from the tagger's tag dictionary, or every label is a candidate (--all-labels
rows; the forest path is then timed on tagging the first 100 dev sentences only).
crfsuite rows: its averaged perceptron ('ap', the same algorithm) and L-BFGS, training timed as
Trainer.train() alone (appending the sequences, where crfsuite reads the strings, is left out).
Feature extraction itself is never timed, except in the end-to-end table (Tagger.fit and
Tagger.predict from token lists against crfsuite with the same TokenFeatures). Each timing
alternates quorvex and crfsuite round by round; the tables give medians with the lowest and
highest round. Times are wall-clock (time.perf_counter). Where the machine has two processors,
quorvex compiles the training sentences on two threads; everything else, on both sides, runs on
the calling thread.
"""

import argparse
import gc
import os
import random
import statistics
import sys
import tempfile
import time

from common import DEV, TRAIN, table

from quorvex.feature import ChainModel, FCombo, FeatureList, decode_simple_crf, make_simple_crf
from quorvex.learn import AvgPer
from quorvex.tagger import TagDictionary, Tagger, TokenFeatures, read_conllu

FEATURES = TokenFeatures()


def prepare(sents, tagdict, training):
    words = [[w for w, _ in s] for s in sents]
    tags = [[t for _, t in s] for s in sents]
    feats = [FEATURES.sentence(ws) for ws in words]
    flists = [[FeatureList(f) for f in fs] for fs in feats]
    if tagdict.prune:
        cands = [
            [tagdict.candidates(w, t if training else None) for w, t in zip(ws, ts)] for ws, ts in zip(words, tags)
        ]
    else:
        cands = [None] * len(words)
    return words, tags, feats, flists, cands


def averaged(learner):
    learner.get_dense(0, learner.n_dimensions, testing=False)
    return learner.get_dense(0, learner.n_dimensions)


# --- quorvex: the chain model -----------------------------------------------------------------


def chain_train(labels, flists, cands, tags, prune, epochs, seed=0):
    keys = None if prune else "gold"
    model, compiled = ChainModel.compile_training(FCombo(1), labels, flists, tags, cands if prune else None, keys)
    learner = AvgPer(model.n_features)
    rng = random.Random(seed)
    order = list(range(len(compiled)))
    for _ in range(epochs):
        rng.shuffle(order)
        model.train_epoch(compiled, learner, order=order)
    return model, averaged(learner), order


def chain_tag(model, weights, flists, cands):
    decode = model.decode
    return [decode(f, weights, c) for f, c in zip(flists, cands)]


def chain_tag_strings(model, weights, feats, cands):
    decode = model.decode
    return [decode([FeatureList(f) for f in fs], weights, c) for fs, c in zip(feats, cands)]


# --- quorvex: the forest path -----------------------------------------------------------------


def forest_decode(fc, flists, cands, weights):
    forest = make_simple_crf([fc.label_nodes(f, c) for f, c in zip(flists, cands)])
    return [n.label for n in decode_simple_crf(forest, weights, fc)]


def forest_train(model, flists, cands, tags, epochs, seed=0):
    """The same perceptron over forests: decode, then update with the path difference."""
    fc = model.fc
    labels = list(model.labels)
    cands = [c if c is not None else [labels] * len(f) for f, c in zip(flists, cands)]
    cands = [[list(cs) + ([g] if g not in cs else []) for cs, g in zip(c, gold)] for c, gold in zip(cands, tags)]
    trans = {}

    def t(prev, lbl, last):
        key = (prev, lbl, last)
        if key not in trans:
            trans[key] = fc([("T%s-%s" % (prev, lbl), 1.0)] + ([("STOP", 1.0)] if last else []))
        return trans[key]

    learner = AvgPer(model.n_features)
    rng = random.Random(seed)
    order = list(range(len(flists)))
    for _ in range(epochs):
        rng.shuffle(order)
        for i in order:
            fl, cs, gold = flists[i], cands[i], tags[i]
            pred = forest_decode(fc, fl, cs, learner.weights)
            pairs, gp, pp, last = [], None, None, len(gold) - 1
            for k, (f, g, p) in enumerate(zip(fl, gold, pred)):
                if g != p:
                    pairs += [(1.0, fc(f, labels=[g])), (-1.0, fc(f, labels=[p]))]
                if (gp, g) != (pp, p):
                    pairs += [(1.0, t(gp, g, k == last)), (-1.0, t(pp, p, k == last))]
                gp, pp = g, p
            learner.update(pairs)
    return averaged(learner)


# --- crfsuite -----------------------------------------------------------------------------------


def crfsuite_train(feats, tags, algorithm, epochs):
    import pycrfsuite

    trainer = pycrfsuite.Trainer(algorithm=algorithm, verbose=False)
    for x, y in zip(feats, tags):
        trainer.append(pycrfsuite.ItemSequence(x), y)
    trainer.set_params({"max_iterations": epochs if algorithm == "ap" else 100})
    path = os.path.join(tempfile.mkdtemp(prefix="crfsuite-"), "model.crfsuite")
    start = time.perf_counter()
    trainer.train(path)
    elapsed = time.perf_counter() - start
    iterations = epochs if algorithm == "ap" else trainer.logparser.last_iteration["num"]
    tagger = pycrfsuite.Tagger()
    tagger.open(path)
    return tagger, elapsed, iterations


# --- timing -----------------------------------------------------------------------------------


def alternate(fns, rounds):
    """Runs the functions in turn, round by round; seconds per function per round."""
    times = [[] for _ in fns]
    for _ in range(rounds):
        for i, fn in enumerate(fns):
            gc.collect()
            start = time.perf_counter()
            fn()
            times[i].append(time.perf_counter() - start)
    return times


def rate(amount, times):
    """Median, lowest and highest of amount / time."""
    rates = sorted(amount / t for t in times)
    return statistics.median(rates), rates[0], rates[-1]


def fmt(m):
    return "%s (%s-%s)" % tuple(f"{x:,.0f}" for x in m)


def ratio(ours, theirs):
    """Per-round speed ratio ours / theirs: median (lowest-highest)."""
    rs = sorted(t / o for o, t in zip(ours, theirs))
    return "%.2f (%.2f-%.2f)" % (statistics.median(rs), rs[0], rs[-1])


def accuracy(pred, tags):
    return sum(p == g for ps, gs in zip(pred, tags) for p, g in zip(ps, gs)) / sum(map(len, tags))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--epochs", type=int, default=5)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--skip-forest", action="store_true", help="leave out the (slow) forest rows")
    args = ap.parse_args()
    if not TRAIN.exists():
        sys.exit("needs %s" % TRAIN)
    try:
        import pycrfsuite  # noqa: F401
    except ImportError:
        sys.exit("needs python-crfsuite (pip install '.[bench]')")
    train_sents, dev_sents = read_conllu(TRAIN), read_conllu(DEV)
    ntrain, ndev = sum(map(len, train_sents)), sum(map(len, dev_sents))
    print(
        "UD LinES: %d training sentences (%d tokens), %d dev sentences (%d tokens), %d epochs, %d rounds\n"
        % (len(train_sents), ntrain, len(dev_sents), ndev, args.epochs, args.rounds)
    )
    E, R = args.epochs, args.rounds

    acc_rows, train_rows, tag_rows = [], [], []
    crf = {}
    for algorithm in ("ap", "lbfgs"):
        tagger, _, its = crfsuite_train(
            [FEATURES.sentence([w for w, _ in s]) for s in train_sents],
            [[t for _, t in s] for s in train_sents],
            algorithm,
            E,
        )
        crf[algorithm] = tagger
        pred = [tagger.tag(FEATURES.sentence([w for w, _ in s])) for s in dev_sents]
        acc_rows.append(
            [
                "crfsuite %s (%d iterations)" % (algorithm, its),
                "%.2f" % (100 * accuracy(pred, [[t for _, t in s] for s in dev_sents])),
            ]
        )

    for prune in (True, False):
        kind = "tag dictionary" if prune else "every label"
        train_words = [[w for w, _ in s] for s in train_sents]
        train_tags = [[t for _, t in s] for s in train_sents]
        tagdict = TagDictionary(train_words, train_tags, prune=prune)
        labels = tagdict.labels
        _, tags, feats, flists, cands = prepare(train_sents, tagdict, True)
        _, dtags, dfeats, dflists, dcands = prepare(dev_sents, tagdict, False)

        result, crf_times = {}, []

        def ours_train():
            result["chain"] = chain_train(labels, flists, cands, tags, prune, E)

        def theirs_train():
            tagger, train_time, _ = crfsuite_train(feats, tags, "ap", E)
            result["crf"] = tagger
            crf_times.append(train_time)  # Trainer.train() alone

        t_ours, _ = alternate([ours_train, theirs_train], R)
        model, weights, _ = result["chain"]
        crf_tagger = result["crf"]
        chain_pred = chain_tag(model, weights, dflists, dcands)
        acc_rows.append(["quorvex chain, %s" % kind, "%.2f" % (100 * accuracy(chain_pred, dtags))])
        train_rows.append(
            [
                "chain, %s" % kind,
                fmt(rate(ntrain * E, t_ours)),
                fmt(rate(ntrain * E, crf_times)),
                ratio(t_ours, crf_times),
            ]
        )

        def tag_ours():
            chain_tag(model, weights, dflists, dcands)

        def tag_ours_strings():
            chain_tag_strings(model, weights, dfeats, dcands)

        def tag_theirs():
            for x in dfeats:
                crf_tagger.tag(x)

        tx = [pycrfsuite_items(dfeats)]

        def tag_theirs_items():
            for x in tx[0]:
                crf_tagger.tag(x)

        to, ts, tos, tts = alternate([tag_ours, tag_theirs_items, tag_ours_strings, tag_theirs], R)
        tag_rows.append(
            [
                "chain, %s, from FeatureLists / ItemSequences" % kind,
                fmt(rate(ndev, to)),
                fmt(rate(ndev, ts)),
                ratio(to, ts),
            ]
        )
        tag_rows.append(
            ["chain, %s, from feature strings" % kind, fmt(rate(ndev, tos)), fmt(rate(ndev, tts)), ratio(tos, tts)]
        )

        if not args.skip_forest:
            fc = model.fc
            if prune:
                start = time.perf_counter()
                fweights = forest_train(model, flists, cands, tags, E)
                forest_time = time.perf_counter() - start
                same = fweights.tobytes() == weights.tobytes()
                fpred = [forest_decode(fc, f, c, fweights) for f, c in zip(dflists, dcands)]
                acc_rows.append(
                    [
                        "quorvex forest, %s (weights %s the chain's)"
                        % (kind, "equal to" if same else "DIFFERENT from"),
                        "%.2f" % (100 * accuracy(fpred, dtags)),
                    ]
                )
                train_rows.append(
                    [
                        "forest, %s (one run)" % kind,
                        f"{ntrain * E / forest_time:,.0f}",
                        "",
                        "%.2f" % (statistics.median(crf_times) / forest_time),
                    ]
                )
                sub = slice(None)
            else:
                sub = slice(0, 100)
            fl_sub = dflists[sub]
            fc_sub = [c if c is not None else [labels] * len(f) for f, c in zip(fl_sub, dcands[sub])]
            nsub = sum(map(len, fl_sub))
            items_sub = tx[0][sub]

            def tag_forest():
                for f, c in zip(fl_sub, fc_sub):
                    forest_decode(fc, f, c, weights)

            def tag_theirs_sub():
                for x in items_sub:
                    crf_tagger.tag(x)

            tf, tt = alternate([tag_forest, tag_theirs_sub], max(1, R // 2) if not prune else R)
            tag_rows.append(
                [
                    "forest, %s, from FeatureLists%s" % (kind, "" if prune else " (100 sentences)"),
                    fmt(rate(nsub, tf)),
                    fmt(rate(nsub, tt)),
                    ratio(tf, tt),
                ]
            )

    e2e_rows = end_to_end(train_sents, dev_sents, E, R)

    print("dev accuracy\n")
    table(["system", "dev accuracy %"], acc_rows)
    print(
        "\ntraining, tokens x epochs per second (quorvex: keys, model, compiling and epochs from FeatureLists; "
        "crfsuite: Trainer.train)\n"
    )
    table(["quorvex", "quorvex tokens/s", "crfsuite ap tokens/s", "quorvex / crfsuite"], train_rows)
    print("\ntagging the dev set, tokens per second\n")
    table(["quorvex", "quorvex tokens/s", "crfsuite ap tokens/s", "quorvex / crfsuite"], tag_rows)
    print(
        "\nend to end from token lists, the same TokenFeatures on both sides (quorvex: Tagger.fit and "
        "Tagger.predict; crfsuite: features, Trainer.append and train, Tagger.tag), tokens (x epochs) per second\n"
    )
    table(["work", "quorvex tokens/s", "crfsuite ap tokens/s", "quorvex / crfsuite"], e2e_rows)


def end_to_end(train_sents, dev_sents, epochs, rounds):
    """What a user's program does with token lists: features, training, tagging."""
    import pycrfsuite

    words = [[w for w, _ in s] for s in train_sents]
    tags = [[t for _, t in s] for s in train_sents]
    dev_words = [[w for w, _ in s] for s in dev_sents]
    ntrain, ndev = sum(map(len, words)), sum(map(len, dev_words))
    rows, trained = [], {}

    def theirs_train():
        features = TokenFeatures()  # a cold cache, as Tagger.fit starts with
        trainer = pycrfsuite.Trainer(algorithm="ap", verbose=False)
        for ws, ts in zip(words, tags):
            trainer.append(features.sentence(ws), ts)
        trainer.set_params({"max_iterations": epochs})
        path = os.path.join(tempfile.mkdtemp(prefix="crfsuite-"), "model.crfsuite")
        trainer.train(path)
        tagger = pycrfsuite.Tagger()
        tagger.open(path)
        trained["crf"] = (tagger, features)

    for prune in (True, False):

        def ours_train():
            trained["ours"] = Tagger(prune=prune).fit(words, tags, epochs=epochs, progress=False)

        t_ours, t_theirs = alternate([ours_train, theirs_train], rounds)
        rows.append(
            [
                "Tagger(prune=%s).fit" % prune,
                fmt(rate(ntrain * epochs, t_ours)),
                fmt(rate(ntrain * epochs, t_theirs)),
                ratio(t_ours, t_theirs),
            ]
        )
        ours = trained["ours"]
        crf, features = trained["crf"]

        def ours_tag():
            ours.predict(dev_words)

        def theirs_tag():
            for ws in dev_words:
                crf.tag(features.sentence(ws))

        t_ours, t_theirs = alternate([ours_tag, theirs_tag], rounds)
        rows.append(
            [
                "Tagger(prune=%s).predict" % prune,
                fmt(rate(ndev, t_ours)),
                fmt(rate(ndev, t_theirs)),
                ratio(t_ours, t_theirs),
            ]
        )
    return rows


def pycrfsuite_items(feats):
    import pycrfsuite

    return [pycrfsuite.ItemSequence(x) for x in feats]


if __name__ == "__main__":
    main()
