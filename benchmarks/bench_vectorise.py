"""Vectorising per-token feature lists at orders 1 to 3: FCombo against a plain-Python
combination with a dict, and against scikit-learn's DictVectorizer + PolynomialFeatures.

    python benchmarks/bench_vectorise.py [--tokens-n1 N] [--repeats R] [--rounds K] [--batch-only]

First table: keys looked up per second (every feature and conjunction is one lookup) with a
growing dictionary (first pass) and a frozen one (second pass), one call per token, and the
ratio of each peer's time to quorvex's.

Second table: whole batches into a scipy.sparse.csr_matrix, as scikit-learn users build their
design matrices: FCombo.transform against scikit-learn's batched DictVectorizer.transform +
PolynomialFeatures.transform (n = 1: DictVectorizer alone), with a frozen dictionary (a fitted
vocabulary) and a growing one (fit_transform); the first transform of a new combiner over
the frozen dictionary (which has yet to learn the numbers of its conjunctions); one FCombo
call per token plus to_csr, and to_csr alone (the conversion cost). Alternating rounds;
medians with (min-max) in ms.
Needs ../shared/data/ud-english-lines; scikit-learn is optional.
"""

import argparse
import statistics
import sys
from math import comb

from common import TRAIN, alternating_times, median_range, median_time, read_conllu, table, token_features

from quorvex.feature import FCombo, FeatureList
from quorvex.sparsmat import to_csr


def python_combine(n, feats, table_, growing):
    """The same combination in plain Python: sorted names, depth-first conjunctions, a dict."""
    names = sorted(feats)
    acc = {}

    def rec(depth, pos, prefix, w):
        for i in range(pos, len(names)):
            key = prefix + "^" + names[i] if prefix else names[i]
            k = table_.get(key)
            if k is None and growing:
                k = table_[key] = len(table_)
            if k is not None:
                acc[k] = acc.get(k, 0.0) + w
            if depth > 1:
                rec(depth - 1, i + 1, key, w)

    rec(max(n, 1), 0, "", 1.0)
    return sorted(acc.items())


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--tokens-n1", type=int, default=20000)
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--rounds", type=int, default=7, help="alternating rounds of the batch table")
    ap.add_argument("--batch-only", action="store_true", help="only the second table (batches into a csr_matrix)")
    args = ap.parse_args()
    if not TRAIN.exists():
        sys.exit("needs %s" % TRAIN)
    sentences = read_conllu(TRAIN)
    all_feats = [token_features([w for w, _ in s], i) for s in sentences for i in range(len(s))]
    sizes = {1: args.tokens_n1, 2: args.tokens_n1 // 4, 3: args.tokens_n1 // 40}
    lens = [len(f) for f in all_feats]
    print(
        "UD LinES train: %d tokens, %d to %d features per token (mean %.1f)\n"
        % (len(all_feats), min(lens), max(lens), sum(lens) / len(lens))
    )
    try:
        from sklearn.feature_extraction import DictVectorizer
        from sklearn.preprocessing import PolynomialFeatures
    except ImportError:
        DictVectorizer = None
        print("scikit-learn not installed: its columns are left out\n")
    if args.batch_only:
        batch_table(all_feats, sizes, args.rounds, DictVectorizer is not None)
        return

    rows = []
    for n in (1, 2, 3):
        feats = all_feats[: sizes[n]]
        flists = [FeatureList(f) for f in feats]
        keys = sum(sum(comb(len(f), k) for k in range(1, n + 1)) for f in feats)

        def quorvex_pass(frozen_fc=None):
            fc = frozen_fc or FCombo(n)
            for fl in flists:
                fc(fl)
            return fc

        t_grow, fc = median_time(quorvex_pass, args.repeats)
        fc.dict.growing = False
        t_frozen, _ = median_time(lambda: quorvex_pass(fc), args.repeats)

        def python_pass(tab=None):
            tab = {} if tab is None else tab
            growing = not tab
            for f in feats:
                python_combine(n, f, tab, growing)
            return tab

        t_py_grow, tab = median_time(python_pass, 1)
        t_py_frozen, _ = median_time(lambda: python_pass(tab), 1)
        assert len(tab) == len(fc.dict), (len(tab), len(fc.dict))

        sk_one = sk_batch = None
        if DictVectorizer is not None and n >= 2:
            dv = DictVectorizer()
            X = dv.fit_transform([dict.fromkeys(f, 1.0) for f in feats])
            try:
                poly = PolynomialFeatures(degree=n, interaction_only=True, include_bias=False).fit(X)
                dicts = [dict.fromkeys(f, 1.0) for f in feats]
                sub = dicts[: max(200, len(dicts) // 10)]
                t_one, _ = median_time(lambda: [poly.transform(dv.transform([d])) for d in sub], 1)
                sk_one = t_one * len(dicts) / len(sub)
                sk_batch, _ = median_time(lambda: poly.transform(dv.transform(dicts)), 1)
            except (ValueError, MemoryError, OverflowError) as e:
                print("scikit-learn n=%d: %s" % (n, str(e).splitlines()[0][:100]))

        def rate(t):
            return "%.2fM" % (keys / t / 1e6)

        rows.append(
            [n, len(feats), keys, "growing", rate(t_grow), rate(t_py_grow), "%.1fx" % (t_py_grow / t_grow), "", ""]
        )
        rows.append(
            [
                n,
                len(feats),
                keys,
                "frozen",
                rate(t_frozen),
                rate(t_py_frozen),
                "%.1fx" % (t_py_frozen / t_frozen),
                "%.1fx" % (sk_one / t_frozen) if sk_one else "n/a",
                "%.1fx" % (sk_batch / t_frozen) if sk_batch else "n/a",
            ]
        )
    table(
        [
            "n",
            "tokens",
            "keys",
            "dictionary",
            "quorvex keys/s",
            "python keys/s",
            "python/quorvex",
            "sklearn per example/quorvex",
            "sklearn batch/quorvex",
        ],
        rows,
    )
    print()
    batch_table(all_feats, sizes, args.rounds, DictVectorizer is not None)


def batch_table(all_feats, sizes, rounds, with_sklearn):
    """Batches into a SciPy CSR matrix: FCombo.transform against scikit-learn's batched transforms."""
    if with_sklearn:
        from sklearn.feature_extraction import DictVectorizer
        from sklearn.preprocessing import PolynomialFeatures
    rows = []
    for n in (1, 2, 3):
        feats = all_feats[: sizes[n]]
        flists = [FeatureList(f) for f in feats]
        fc = FCombo(n)
        ref = fc.transform(feats)
        fc.dict.growing = False
        vectors = [fc(fl) for fl in flists]
        runs = [
            ("quorvex transform (lists)", lambda: fc.transform(feats)),
            ("quorvex transform (FeatureLists)", lambda: fc.transform(flists)),
            ("quorvex transform (new combiner)", lambda: FCombo(n, fc.dict).transform(feats)),
            ("quorvex calls + to_csr", lambda: to_csr([fc(f) for f in feats], n_features=len(fc.dict))),
            ("  to_csr alone", lambda: to_csr(vectors, n_features=len(fc.dict))),
            ("quorvex fit (growing)", lambda: FCombo(n).transform(feats)),
        ]
        if with_sklearn:
            dicts = [dict.fromkeys(f, 1.0) for f in feats]
            dv = DictVectorizer().fit(dicts)
            poly = (
                PolynomialFeatures(degree=n, interaction_only=True, include_bias=False).fit(dv.transform(dicts))
                if n > 1
                else None
            )

            def sk_transform():
                x = dv.transform(dicts)
                return poly.transform(x) if poly else x

            def sk_fit():
                x = DictVectorizer().fit_transform(dicts)
                if n > 1:
                    x = PolynomialFeatures(degree=n, interaction_only=True, include_bias=False).fit_transform(x)
                return x

            sk = sk_transform()
            assert sk.nnz == ref.nnz, (sk.nnz, ref.nnz)  # the same entries, in other column spaces
            runs += [("sklearn transform", sk_transform), ("sklearn fit_transform", sk_fit)]
        times = alternating_times(runs, rounds)
        base = statistics.median(times["quorvex transform (lists)"])
        for name, ts in times.items():
            rows.append([n, len(feats), ref.nnz, name, median_range(ts), "%.2fx" % (statistics.median(ts) / base)])
    table(["n", "tokens", "entries", "batch into csr_matrix", "ms median (range)", "time / quorvex transform"], rows)


if __name__ == "__main__":
    main()
