"""Feature hashing and Bloom-filtered feature admission on per-token feature lists.

    python benchmarks/bench_hashing.py [--tokens N] [--repeats R] [--rounds K] [--bloom-size S]

Hashing: every token's features through quorvex's FeatureHasher (``h(feats)`` and
``h.cross(feats, tags)`` with the 17 UPOS tags as targets), scikit-learn's FeatureHasher
(``input_type='string'``, one example per call and all examples in one batch; for the cross
product it hashes the explicit 'feature^tag' strings, which it needs) and a plain-Python
``hash()`` loop computing the same indices. Admission: BloomFMap (min_count 3) against a
``collections.Counter`` threshold doing the same admission exactly.

Reports features (index computations) per second, the peak traced memory of one pass that
keeps every result, and each peer's time divided by quorvex's time.

A second table times whole batches into a scipy.sparse.csr_matrix: FeatureHasher.transform
against scikit-learn's batched FeatureHasher.transform, one quorvex call per token plus
to_csr, and to_csr alone (the conversion cost); alternating rounds, medians with (min-max)
in ms. Needs ../shared/data/ud-english-lines; scikit-learn is optional.
"""

import argparse
import gc
import statistics
import sys
import tracemalloc
from collections import Counter

from common import TRAIN, alternating_times, median_range, median_time, read_conllu, table, token_features

from quorvex.alphabet import StringAlphabet
from quorvex.feature import BloomFMap, CountingBloomFilter, FeatureHasher
from quorvex.sparsmat import to_csr

DIMS = 514229
TAGS = [
    "ADJ",
    "ADP",
    "ADV",
    "AUX",
    "CCONJ",
    "DET",
    "INTJ",
    "NOUN",
    "NUM",
    "PART",
    "PRON",
    "PROPN",
    "PUNCT",
    "SCONJ",
    "SYM",
    "VERB",
    "X",
]


def python_hash(feats, target=None):
    """The hasher's indices in plain Python (the 64-bit wrap is ignored: it rarely matters)."""
    t = hash(target) * 97
    acc = {}
    for s in feats:
        k = (hash(s) + t) % DIMS
        acc[k] = acc.get(k, 0) + 1
    return acc


def python_cross(feats, targets):
    ts = [hash(t) * 97 for t in targets]
    acc = {}
    for s in feats:
        h = hash(s)
        for t in ts:
            k = (h + t) % DIMS
            acc[k] = acc.get(k, 0) + 1
    return acc


def python_admit(feats_list, min_count):
    """BloomFMap's admission with exact counts: a Counter of unadmitted features."""
    counts, ids, out = Counter(), {}, []
    for feats in feats_list:
        acc = {}
        for s in feats:
            k = ids.get(s)
            if k is None:
                counts[s] += 1
                if counts[s] < min_count:
                    continue
                k = ids[s] = len(ids)
                del counts[s]
            acc[k] = acc.get(k, 0) + 1
        out.append(sorted(acc.items()))
    return out, ids


def peak_mib(fn):
    """Peak traced memory (MiB above the start) of one call of fn, whose result is kept."""
    gc.collect()
    tracemalloc.start()
    try:
        result = fn()
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    del result
    return peak / 2**20


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--tokens", type=int, default=0, help="use the first N tokens (default: all)")
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--rounds", type=int, default=7, help="alternating rounds of the batch table")
    ap.add_argument("--bloom-size", type=int, default=1 << 24, help="counters of the Bloom filter")
    args = ap.parse_args()
    if not TRAIN.exists():
        sys.exit("needs %s" % TRAIN)
    sentences = read_conllu(TRAIN)
    feats = [token_features([w for w, _ in s], i) for s in sentences for i in range(len(s))]
    if args.tokens:
        feats = feats[: args.tokens]
    n_feats = sum(len(f) for f in feats)
    print(
        "UD LinES train: %d tokens, %d features (mean %.1f per token), %d dimensions\n"
        % (len(feats), n_feats, n_feats / len(feats), DIMS)
    )
    try:
        from sklearn.feature_extraction import FeatureHasher as SkHasher
    except ImportError:
        SkHasher = None
        print("scikit-learn not installed: its rows are left out\n")

    h = FeatureHasher(DIMS)
    rows = []

    def add_rows(task, work, runs):
        """runs: (name, fn, scale) with fn doing the whole task or a part scaled up by `scale`."""
        base = None
        for name, fn, scale in runs:
            t, _ = median_time(fn, args.repeats if scale == 1 else 1)
            t *= scale
            mem = peak_mib(fn) * scale
            base = base or t
            rows.append([task, name, work, "%.3f" % t, "%.2fM" % (work / t / 1e6), "%.1f" % mem, "%.1fx" % (t / base)])

    # --- one feature list per token -------------------------------------------------
    sub = feats[: max(500, len(feats) // 20)]
    runs = [
        ("quorvex FeatureHasher()", lambda: [h(f) for f in feats], 1),
        ("python hash() loop", lambda: [python_hash(f) for f in feats], 1),
    ]
    if SkHasher is not None:
        sk = SkHasher(n_features=DIMS, input_type="string", alternate_sign=False)
        runs.insert(1, ("sklearn per example", lambda: [sk.transform([f]) for f in sub], len(feats) / len(sub)))
        runs.insert(2, ("sklearn batched", lambda: sk.transform(feats), 1))
    add_rows("call", n_feats, runs)

    # --- features x the 17 tags ------------------------------------------------------
    cross_work = n_feats * len(TAGS)
    csub = feats[: max(200, len(feats) // 50)]
    runs = [
        ("quorvex cross()", lambda: [h.cross(f, TAGS) for f in feats], 1),
        ("python hash() loop", lambda: [python_cross(f, TAGS) for f in feats], 1),
    ]
    if SkHasher is not None:
        runs.insert(
            1,
            (
                "sklearn per example",
                lambda: [sk.transform([[s + "^" + t for s in f for t in TAGS]]) for f in csub],
                len(feats) / len(csub),
            ),
        )
        bsub = feats[: max(1000, len(feats) // 5)]
        runs.insert(
            2,
            (
                "sklearn batched",
                lambda: sk.transform([s + "^" + t for s in f for t in TAGS] for f in bsub),
                len(feats) / len(bsub),
            ),
        )
    add_rows("cross x17", cross_work, runs)

    # --- admission at 3 sightings ----------------------------------------------------
    def bloom_pass():
        m = BloomFMap.__new__(BloomFMap)  # the constructor's default filter takes 768 MiB
        m.bloom = CountingBloomFilter(args.bloom_size)
        m.dict = StringAlphabet()
        m.min_count = 3
        out = [m(f) for f in feats]
        return out, m

    add_rows(
        "admit (min 3)",
        n_feats,
        [("quorvex BloomFMap", bloom_pass, 1), ("python Counter", lambda: python_admit(feats, 3), 1)],
    )

    out_q, m = bloom_pass()
    out_p, ids = python_admit(feats, 3)
    same = sum(list(a) == b for a, b in zip(out_q, out_p))
    print(
        "admission with a %g MiB filter: BloomFMap admitted %d features, the exact Counter %d; %d of %d"
        " token vectors identical%s\n"
        % (
            args.bloom_size / 2**20,
            len(m.dict),
            len(ids),
            same,
            len(feats),
            "" if same == len(feats) else " (filter collisions admit some features early)",
        )
    )
    table(["task", "method", "features", "seconds", "features/s", "peak MiB", "time / quorvex"], rows)
    print()

    # --- whole batches into a csr_matrix ------------------------------------------------
    vectors = [h(f) for f in feats]
    batch = [
        ("quorvex transform", lambda: h.transform(feats)),
        ("quorvex calls + to_csr", lambda: to_csr([h(f) for f in feats], n_features=DIMS)),
        ("  to_csr alone", lambda: to_csr(vectors, n_features=DIMS)),
    ]
    if SkHasher is not None:
        batch.append(("sklearn transform", lambda: sk.transform(feats)))
    ref = h.transform(feats)
    times = alternating_times(batch, args.rounds)
    base = statistics.median(times["quorvex transform"])
    brows = [
        [
            name,
            n_feats,
            median_range(ts),
            "%.2fM" % (n_feats / statistics.median(ts) / 1e6),
            "%.2fx" % (statistics.median(ts) / base),
        ]
        for name, ts in times.items()
    ]
    print("batch of %d tokens into a %d-column csr_matrix (%d entries)\n" % (len(feats), DIMS, ref.nnz))
    table(["batch into csr_matrix", "features", "ms median (range)", "features/s", "time / quorvex"], brows)


if __name__ == "__main__":
    main()
