"""Resident memory stays flat over many calls of the main operations.

    python benchmarks/rss_flat.py                  # 10**6 calls of each operation
    python benchmarks/rss_flat.py --calls 100000 --ops combine,hash

Each operation first runs a warm-up tenth of its calls (dictionaries, memo tables and the
allocator's arenas reach their working size), then the resident set size (VmRSS) is read,
the remaining calls run, and it is read again. A growth of 1 MiB or more over an
operation is a leak and makes the script exit with status 1. Prints a markdown table.
"""

import argparse
import gc
import os
import pickle
import sys
import tempfile
import time

import numpy as np

from quorvex.feature import ChainModel, FCombo, FeatureHasher, FeatureList, decode_simple_crf, make_simple_crf
from quorvex.learn import AvgPer, FileModel
from quorvex.sparsmat import SparseVectorD

LIMIT_KIB = 1024


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


def make_ops(tmp):
    words = ["w=%d" % i for i in range(300)]
    lists = [
        FeatureList([words[i % 300], words[(i * 7) % 300], "s=%d" % (i % 11), ("len", float(i % 5))])
        for i in range(1000)
    ]
    fc = FCombo(2)
    for fl in lists:  # every key known: the dictionary stops growing
        fc(fl)
    hasher = FeatureHasher(1 << 18)
    plain = [[words[i % 300], words[(i * 3) % 300], "p=%d" % (i % 13)] for i in range(1000)]
    learner = AvgPer(4096)
    vecs = [SparseVectorD([(i % 4096, 1.0), ((i * 13) % 4096, -0.5), (7, 0.25)]) for i in range(1000)]
    crf_fc = FCombo(1)
    labels = ["DET", "NOUN", "VERB"]
    sentence = [FeatureList(["w=the"]), FeatureList(["w=dog"]), FeatureList(["w=barks"])]

    def crf_forest():
        return make_simple_crf([crf_fc.label_nodes(fl, labels) for fl in sentence])

    decode_simple_crf(crf_forest(), np.zeros(1000), crf_fc)  # registers every feature
    crf_fc.dict.growing = False
    crf_weights = np.random.default_rng(0).standard_normal(1000)
    small = AvgPer(64)
    small.update([(1.0, SparseVectorD([(3, 1.0)]))])
    small.get_dense(0, 64, testing=False)
    chain = ChainModel(crf_fc, labels)
    compiled = chain.compile(sentence, gold=["DET", "NOUN", "VERB"])
    chain_learner = AvgPer(chain.n_features)
    murmur = FeatureHasher(1 << 18, hash="murmur3")
    weight_path = os.path.join(tmp, "w.npy")
    learner.update([(1.0, vecs[0])])
    learner.save_binary(weight_path)

    state = {"i": 0}

    def nxt():
        state["i"] += 1
        return state["i"]

    return {
        "combine": lambda: fc(lists[nxt() % 1000]),
        "hash": lambda: hasher(plain[nxt() % 1000], target="N"),
        "update": lambda: learner.update([(1.0, vecs[nxt() % 1000])]),
        "score": lambda: learner.score(vecs[nxt() % 1000], False),
        "crf_decode": lambda: decode_simple_crf(crf_forest(), crf_weights, crf_fc),
        "pickle": lambda: pickle.loads(pickle.dumps(small)),
        "load_weights": lambda: FileModel(weight_path),
        "chain_decode": lambda: chain.decode(sentence, crf_weights),
        "chain_train": lambda: chain.train_epoch([compiled], chain_learner),
        "hash_murmur3": lambda: murmur(plain[nxt() % 1000], target="N"),
        "learner_state": lambda: AvgPer.from_state(small.get_state()),
    }


def measure(op, calls):
    warm = max(1, calls // 10)
    for _ in range(warm):
        op()
    gc.collect()
    before = rss_kib()
    t0 = time.perf_counter()
    for _ in range(calls - warm):
        op()
    seconds = time.perf_counter() - t0
    gc.collect()
    return before, rss_kib(), seconds


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--calls", type=int, default=10**6)
    ap.add_argument("--ops", help="comma-separated operations (default: all)")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        ops = make_ops(tmp)
        names = args.ops.split(",") if args.ops else list(ops)
        print("| operation | calls | RSS before (MiB) | RSS after (MiB) | growth (KiB) | time (s) |")
        print("|---|---|---|---|---|---|")
        failed = []
        for name in names:
            before, after, seconds = measure(ops[name], args.calls)
            growth = after - before
            if growth >= LIMIT_KIB:
                failed.append(name)
            print(
                "| %s | %d | %.1f | %.1f | %d | %.1f |"
                % (name, args.calls, before / 1024, after / 1024, growth, seconds),
                flush=True,
            )
    if failed:
        print("grew by 1 MiB or more: %s" % ", ".join(failed))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
