"""Training the part-of-speech tagger on Dask workers by iterative parameter mixing.

    python examples/postag_dask.py                         # a local cluster of 2 worker processes
    python examples/postag_dask.py --scheduler HOST:8786   # a running Dask cluster
    python examples/postag_dask.py --train T.conllu --dev D.conllu [--epochs 5] [--shards N]

The driver reads the corpus, builds the tag dictionary and freezes the feature dictionary; the
workers each get one shard of the sentences once, compile it, and train one perceptron epoch
per round from the mixed weights of the previous round. For comparison the same shards are then
mixed in this process (bit-identical weights) and the tagger is trained serially. Needs
`pip install 'quorvex[dask]'`.
"""

import argparse
import time

from quorvex.tagger import BUNDLED_CORPUS, Tagger, bundled_corpus, read_conllu, split_corpus


def words_and_tags(sentences):
    return [[w for w, _ in s] for s in sentences], [[t for _, t in s] for s in sentences]


def report(name, tagger, seconds):
    last = tagger.history[-1]
    print("%-22s dev accuracy %.2f%%, %.1f s" % (name, 100 * last["dev_accuracy"], seconds))


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--scheduler", help="address of a running Dask scheduler (default: a local cluster)")
    ap.add_argument("--workers", type=int, default=2, help="worker processes of the local cluster")
    ap.add_argument("--shards", type=int, help="shards of the training set (default: one per worker)")
    ap.add_argument("--train", help="CoNLL-U training file (UPOS column)")
    ap.add_argument("--dev", help="CoNLL-U evaluation file")
    ap.add_argument("--epochs", type=int, default=5)
    args = ap.parse_args(argv)
    if bool(args.train) != bool(args.dev):
        ap.error("--train and --dev go together")
    from dask.distributed import Client, LocalCluster

    if args.train:
        train, dev = read_conllu(args.train), read_conllu(args.dev)
    else:
        train, dev = split_corpus(bundled_corpus())
        print("training on nine tenths of %s, evaluating on the rest" % BUNDLED_CORPUS)
    train, dev = words_and_tags(train), words_and_tags(dev)

    if args.scheduler:
        cluster, client = None, Client(args.scheduler)
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, dashboard_address=None)
        client = Client(cluster)
    try:
        start = time.perf_counter()
        on_dask = Tagger().fit(*train, epochs=args.epochs, dev=dev, client=client, shards=args.shards)
        report("mixing on Dask", on_dask, time.perf_counter() - start)
        shards = len(on_dask.history[-1]["compute_seconds"])
    finally:
        client.close()
        if cluster is not None:
            cluster.close()

    start = time.perf_counter()
    here = Tagger().fit(*train, epochs=args.epochs, dev=dev, progress=False, shards=shards)
    report("mixing in one process", here, time.perf_counter() - start)
    print("same weights as on Dask: %s" % (here.weights.tobytes() == on_dask.weights.tobytes()))
    start = time.perf_counter()
    serial = Tagger().fit(*train, epochs=args.epochs, dev=dev, progress=False)
    report("serial", serial, time.perf_counter() - start)
    words = ["The", "workers", "send", "their", "weights", "back", "after", "every", "round", "."]
    print(" ".join("%s/%s" % wt for wt in zip(words, on_dask.tag(words))))


if __name__ == "__main__":
    main()
