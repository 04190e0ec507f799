"""Part-of-speech tagging from Python with quorvex.tagger: train, evaluate, save, reload, tag.

    python examples/postag.py                                  # the corpus bundled with quorvex
    python examples/postag.py --train T.conllu --dev D.conllu [--epochs 5] [--all-labels]

The same as `quorvex-tag train`, written out with the library's API. Each token's features (word,
affixes, shape, neighbouring words) become a FeatureList; the tagger's ChainModel decodes label
sequences natively (Viterbi over the candidates a tag dictionary offers, or every label), and
a structured averaged perceptron learns the weights. The model file holds everything needed to
tag in another process.
"""

import argparse
import os
import tempfile
import time

from quorvex.tagger import BUNDLED_CORPUS, Tagger, bundled_corpus, read_conllu, split_corpus


def words_and_tags(sentences):
    return [[w for w, _ in s] for s in sentences], [[t for _, t in s] for s in sentences]


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--train", help="CoNLL-U training file (UPOS column)")
    ap.add_argument("--dev", help="CoNLL-U evaluation file")
    ap.add_argument("--epochs", type=int, default=5)
    ap.add_argument("--all-labels", action="store_true", help="every label a candidate at every token")
    ap.add_argument("--model", help="where to save the model (a temporary file by default)")
    args = ap.parse_args(argv)
    if bool(args.train) != bool(args.dev):
        ap.error("--train and --dev go together")
    if args.train:
        train, dev = read_conllu(args.train), read_conllu(args.dev)
        print("training on %s, evaluating on %s" % (args.train, args.dev))
    else:
        train, dev = split_corpus(bundled_corpus())
        print("training on nine tenths of %s, evaluating on the rest" % BUNDLED_CORPUS)

    tagger = Tagger(prune=not args.all_labels)
    start = time.perf_counter()
    tagger.fit(*words_and_tags(train), epochs=args.epochs, dev=words_and_tags(dev))
    print("trained in %.1f s" % (time.perf_counter() - start))
    for h in tagger.history:
        print(
            "epoch %d: training accuracy %.2f%%, dev accuracy %.2f%%"
            % (h["epoch"], 100 * h["train_accuracy"], 100 * h["dev_accuracy"])
        )

    path = args.model or os.path.join(tempfile.mkdtemp(prefix="postag-"), "tagger.qvt")
    tagger.save(path)
    reloaded = Tagger.load(path)
    acc = reloaded.score(*words_and_tags(dev))
    print("saved %s; reloaded: dev accuracy %.2f%%" % (path, 100 * acc))
    words = [w for w, _ in dev[0]]
    print(" ".join("%s/%s" % wt for wt in zip(words, reloaded.tag(words))))
    return acc


if __name__ == "__main__":
    main()
