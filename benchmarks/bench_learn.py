"""Online learners on the same vectors: quorvex against scikit-learn, Vowpal Wabbit and a plain
C++ loop doing the same arithmetic.

    python benchmarks/bench_learn.py [--tokens N] [--order N] [--repeats R] [--sk-examples N]

The task is a binary decision per token of UD LinES (is its UPOS NOUN?), over FCombo vectors of the
token features of benchmarks/common.py (order 2: every feature and pair, about 230 entries per
vector). Three tables:

1. quorvex alone: updates, scores and online training steps (score, then update when the
   example is misclassified or inside the margin) per second, for each learner.
2. the same online training fed one example at a time to scikit-learn's averaged perceptron,
   averaged passive-aggressive and SGD classifiers (partial_fit per example and per mini-batch of
   256) and to Vowpal Wabbit (learn per example); ratios peer time / quorvex time.
3. the cost of one update per vector entry against a plain C++ loop over the same vectors doing
   the same arithmetic on raw arrays (compiled here with g++ and loaded with ctypes; it is not
   part of the package), for order-1 vectors (about 21 entries) and order-2 vectors.

Times are CPU seconds of this process (time.process_time), with every library held to one
thread, since the machines are shared and noisy; medians of --repeats runs, quorvex and the plain
loop interleaved. Needs ../shared/data/ud-english-lines; scikit-learn, scipy and vowpalwabbit are
optional (their columns read n/a), and so is g++.
"""

import os

for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")  # one thread everywhere: CPU time is then a fair cost

import argparse
import ctypes
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import warnings

import numpy as np
from common import TRAIN, read_conllu, table, token_features

from quorvex.feature import FCombo, FeatureList
from quorvex.learn import AdaGrad, AvgMira, AvgPer, SgdMomentum
from quorvex.sparsmat import SparseVectorsD

LEARNERS = ["AvgPer", "AvgMira", "AdaGrad", "SgdMomentum"]
clock = time.process_time


# --- data ---------------------------------------------------------------------------------


class Data:
    """The vectors of one combination order, in quorvex and in flat (CSR) form."""

    def __init__(self, feats, labels, order):
        fc = FCombo(order)
        self.vectors = [fc(FeatureList(f)) for f in feats]
        self.y = [1.0 if lab == "NOUN" else -1.0 for lab in labels]
        self.dim = len(fc.dict)
        self.grads = [[(y, x)] for y, x in zip(self.y, self.vectors)]
        self.sets = []
        for y, x in zip(self.y, self.vectors):
            s = SparseVectorsD()
            s.add(x, y)
            self.sets.append(s)
        lengths = [len(v) for v in self.vectors]
        self.offsets = np.zeros(len(lengths) + 1, dtype=np.int64)
        np.cumsum(lengths, out=self.offsets[1:])
        pairs = [p for v in self.vectors for p in v]
        self.indices = np.array([f for f, _ in pairs], dtype=np.uint32)
        self.values = np.array([x for _, x in pairs], dtype=np.float64)
        self.entries = len(pairs)

    def csr(self):
        from scipy.sparse import csr_matrix

        return csr_matrix(
            (self.values, self.indices.astype(np.int64), self.offsets), shape=(len(self.vectors), self.dim)
        )


def make_learner(name, dim):
    return {
        "AvgPer": lambda: AvgPer(dim),
        "AvgMira": lambda: AvgMira(dim),
        "AdaGrad": lambda: AdaGrad(dim),
        "SgdMomentum": lambda: SgdMomentum(dim, l2=1e-4, n_examples=1000.0),
    }[name]()


# --- quorvex loops ---------------------------------------------------------------------------


def train_pass(name, data):
    """Online training: score, update when needed. Returns (seconds, indices of the updates)."""
    learner = make_learner(name, data.dim)
    vectors, ys, grads, sets = data.vectors, data.y, data.grads, data.sets
    updated = []
    start = clock()
    if name == "AvgPer":
        score, update = learner.score, learner.update
        for i, x in enumerate(vectors):
            if ys[i] * score(x, False) <= 0:
                update(grads[i])
                updated.append(i)
    elif name == "AvgMira":
        score, update = learner.score, learner.update
        for i, x in enumerate(vectors):
            if ys[i] * score(x, False) < 1:
                update(sets[i])
                updated.append(i)
    elif name == "AdaGrad":
        score, update = learner.score, learner.update
        for i, x in enumerate(vectors):
            if ys[i] * score(x, False) < 1:
                update(grads[i])
                updated.append(i)
    else:
        score, update = learner.score, learner.update
        empty = []
        for i, x in enumerate(vectors):
            if ys[i] * score(x) < 1:
                update(grads[i])
                updated.append(i)
            else:
                update(empty)
    return clock() - start, updated


def update_pass(name, data, subset):
    """Updates alone: every vector (AvgPer, AdaGrad, SgdMomentum) or, for AvgMira, the updates of
    its training pass replayed in order (plain scoring does not change it, so the margins are the
    same and never negative)."""
    learner = make_learner(name, data.dim)
    update = learner.update
    if name == "AvgMira":
        sets = [data.sets[i] for i in subset]
        start = clock()
        for s in sets:
            update(s)
    else:
        grads = data.grads
        start = clock()
        for g in grads:
            update(g)
    return clock() - start, learner


def score_pass(learner, data):
    score = learner.score
    start = clock()
    for x in data.vectors:
        score(x)
    return clock() - start


# --- the plain C++ loop ----------------------------------------------------------------------

FLOOR_CPP = r"""
#include <cmath>
#include <cstdint>
extern "C" {
// The same per-entry arithmetic as the learners, on raw arrays, vector after vector.
void avgper(int64_t n, const int64_t* off, const uint32_t* idx, const double* val, const double* coef,
            double* w, double* avg, double* last) {
    double t = 0;
    for (int64_t k = 0; k < n; ++k, t += 1) {
        const double a = coef[k];
        for (int64_t i = off[k]; i < off[k + 1]; ++i) {
            const uint32_t f = idx[i];
            const double idle = t - last[f];
            last[f] = t;
            avg[f] += w[f] * idle;
            w[f] += val[i] * a;
        }
    }
}
void mira(int64_t m, const int64_t* pick, const int64_t* off, const uint32_t* idx, const double* val,
          const double* y, double* w, double* avg, double* last) {
    double t = 0;
    for (int64_t j = 0; j < m; ++j, t += 1) {
        const int64_t k = pick[j];
        double dot = 0, norm = 0;
        for (int64_t i = off[k]; i < off[k + 1]; ++i) {
            dot += y[k] * val[i] * w[idx[i]];
            norm += val[i] * val[i];
        }
        const double alpha = (1.0 - dot) / norm * y[k];
        for (int64_t i = off[k]; i < off[k + 1]; ++i) {
            const uint32_t f = idx[i];
            const double idle = t - last[f];
            last[f] = t;
            avg[f] += w[f] * idle;
            w[f] += val[i] * alpha;
        }
    }
}
void adagrad(int64_t n, const int64_t* off, const uint32_t* idx, const double* val, const double* coef,
             double* w, double* avg, double* sgs, double* last, double eta, double l1, double l2) {
    double t = 0;
    for (int64_t k = 0; k < n; ++k, t += 1) {
        for (int64_t i = off[k]; i < off[k + 1]; ++i) {
            const uint32_t f = idx[i];
            const double g = coef[k] * val[i];
            const double prev = eta / std::sqrt(10000.0 + sgs[f]);
            sgs[f] += g * g;
            const double cur = eta / (std::sqrt(sgs[f]) + 10000.0);
            const double wanted = w[f] + g * cur;
            const double idle = t - last[f] - 1;
            last[f] = t;
            const double mix = prev * idle + cur;
            const double tr1 = std::fmax(std::fabs(wanted) - l1 * mix, 0.0);
            const double tr2 = std::pow(1 - l2, mix);
            avg[f] += w[f] * idle;
            w[f] = std::copysign(std::fabs(tr2 * tr1), wanted);
        }
    }
}
void sgd(int64_t n, const int64_t* off, const uint32_t* idx, const double* val, const double* coef,
         double* velocity, double* scale, double l2, double t0, double eta) {
    for (int64_t k = 0; k < n; ++k) {
        const double eta_t = t0 * eta / (t0 + k);
        for (int64_t i = off[k]; i < off[k + 1]; ++i) velocity[idx[i]] += val[i] * coef[k] * eta_t;
        *scale = (1 - eta_t * l2) * *scale;
    }
}
}
"""


def build_floor():
    if not shutil.which("g++"):
        return None
    tmp = tempfile.mkdtemp(prefix="qv-floor-")
    src, lib = os.path.join(tmp, "floor.cpp"), os.path.join(tmp, "floor.so")
    with open(src, "w") as f:
        f.write(FLOOR_CPP)
    try:
        r = subprocess.run(
            ["g++", "-O2", "-std=c++17", "-shared", "-fPIC", src, "-o", lib], capture_output=True, text=True
        )
        if r.returncode != 0:
            print("g++ failed: %s" % r.stderr[:300])
            return None
        return ctypes.CDLL(lib)  # stays mapped after its file is removed
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def ptr(a):
    return a.ctypes.data_as(ctypes.c_void_p)


def floor_pass(lib, name, data, subset):
    """Seconds of the plain loop over the same vectors (the Mira subset for AvgMira)."""
    n, d = len(data.vectors), data.dim
    y = np.array(data.y)
    arrays = [np.zeros(d) for _ in range(4)]
    common = (ptr(data.offsets), ptr(data.indices), ptr(data.values))
    start = clock()
    if name == "AvgPer":
        lib.avgper(ctypes.c_int64(n), *common, ptr(y), *(ptr(a) for a in arrays[:3]))
    elif name == "AvgMira":
        pick = np.array(subset, dtype=np.int64)
        lib.mira(ctypes.c_int64(len(pick)), ptr(pick), *common, ptr(y), *(ptr(a) for a in arrays[:3]))
    elif name == "AdaGrad":
        lib.adagrad(
            ctypes.c_int64(n),
            *common,
            ptr(y),
            *(ptr(a) for a in arrays),
            ctypes.c_double(0.1),
            ctypes.c_double(0.0),
            ctypes.c_double(0.0),
        )  # AdaGrad's defaults, read at run time
    else:
        scale = np.ones(1)
        lib.sgd(
            ctypes.c_int64(n),
            *common,
            ptr(y),
            ptr(arrays[0]),
            ptr(scale),
            ctypes.c_double(1e-4 / 1000.0),
            ctypes.c_double(1000.0),
            ctypes.c_double(0.1),
        )
    return clock() - start


# --- peers -------------------------------------------------------------------------------------


def sklearn_models():
    try:
        from sklearn.linear_model import PassiveAggressiveClassifier, SGDClassifier
    except ImportError:
        return None
    # Perceptron(average=True) of older releases: Perceptron is SGDClassifier with these settings,
    # and the releases without Perceptron's `average` keep it on SGDClassifier.
    return {
        "AvgPer": (
            "SGDClassifier(loss='perceptron', eta0=1, average=True)",
            lambda: SGDClassifier(loss="perceptron", learning_rate="constant", eta0=1.0, penalty=None, average=True),
        ),
        "AvgMira": ("PassiveAggressiveClassifier(average=True)", lambda: PassiveAggressiveClassifier(average=True)),
        "SgdMomentum": ("SGDClassifier()", lambda: SGDClassifier()),
    }


def sklearn_per_example(make, rows, ys):
    clf = make()
    classes = np.array([-1.0, 1.0])
    start = clock()
    for row, y in zip(rows, ys):
        clf.partial_fit(row, y, classes=classes)
    return (clock() - start) / len(rows)


def sklearn_batches(make, batches):
    clf = make()
    classes = np.array([-1.0, 1.0])
    start = clock()
    for X, y in batches:
        clf.partial_fit(X, y, classes=classes)
    return (clock() - start) / sum(X.shape[0] for X, _ in batches)


def vw_per_example(data, n):
    try:
        from vowpalwabbit import Workspace
    except ImportError:
        return None
    lines = [
        "%d | %s" % (int(y), " ".join("%d:%r" % (f, x) for f, x in v)) for y, v in zip(data.y[:n], data.vectors[:n])
    ]
    vw = Workspace("--quiet --loss_function hinge -b 22")
    start = clock()
    for line in lines:
        vw.learn(line)
    seconds = (clock() - start) / len(lines)
    vw.finish()
    return seconds


# --- main --------------------------------------------------------------------------------------


def timed(fn, repeats):
    """fn() returns (seconds, result): the median seconds of `repeats` calls and the last result."""
    runs = [fn() for _ in range(repeats)]
    return statistics.median(r[0] for r in runs), runs[-1][1]


def rate(seconds_per_item):
    if not seconds_per_item:
        return "n/a"
    r = 1.0 / seconds_per_item
    return "%.2fM" % (r / 1e6) if r >= 1e6 else "%.1fk" % (r / 1e3) if r >= 1e3 else "%.0f" % r


def ratio(peer, ours):
    return "%.1fx" % (peer / ours) if peer else "n/a"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--tokens", type=int, default=20000)
    ap.add_argument("--order", type=int, default=2)
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--sk-examples", type=int, default=300, help="examples fed one by one to scikit-learn")
    ap.add_argument("--vw-examples", type=int, default=5000)
    args = ap.parse_args()
    if not TRAIN.exists():
        sys.exit("needs %s" % TRAIN)
    sentences = read_conllu(TRAIN)
    tokens = [(token_features([w for w, _ in s], i), s[i][1]) for s in sentences for i in range(len(s))]
    tokens = tokens[: args.tokens]
    feats, labels = [f for f, _ in tokens], [u for _, u in tokens]
    data = Data(feats, labels, args.order)
    print(
        "UD LinES train: %d tokens, order %d: %d dimensions, %.1f entries per vector (min %d), "
        "%.1f%% positive\n"
        % (
            len(data.vectors),
            args.order,
            data.dim,
            data.entries / len(data.vectors),
            min(len(v) for v in data.vectors),
            50 + 50 * np.mean(data.y),
        )
    )
    n = len(data.vectors)

    # 1. quorvex alone
    results = {}
    rows = []
    for name in LEARNERS:
        t_train, updated = timed(lambda: train_pass(name, data), args.repeats)
        t_update, learner = timed(lambda: update_pass(name, data, updated), args.repeats)
        t_score, _ = timed(lambda: (score_pass(learner, data), None), args.repeats)
        n_updates = len(updated) if name == "AvgMira" else n
        results[name] = {"train": t_train / n, "updated": updated}
        rows.append([name, rate(t_update / n_updates), rate(t_score / n), rate(t_train / n), "%d" % len(updated)])
    table(["learner", "updates/s", "scores/s", "train examples/s", "updates in training"], rows)

    # 2. peers
    print()
    models = sklearn_models()
    X = None
    if models:
        try:
            X = data.csr()
        except ImportError:
            models = None
    if models is None:
        print("scikit-learn/scipy not installed: their columns are left out\n")
    vw = vw_per_example(data, min(args.vw_examples, n))
    if vw is None:
        print("vowpalwabbit not installed: its column is left out\n")
    rows = []
    y = np.array(data.y)
    k = min(args.sk_examples, n)
    for name in LEARNERS:
        ours = results[name]["train"]
        peer, one, batch = "-", None, None
        if models and name in models:
            peer, make = models[name]
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                one = sklearn_per_example(make, [X[i] for i in range(k)], [y[i : i + 1] for i in range(k)])
                batches = [(X[i : i + 256], y[i : i + 256]) for i in range(0, n, 256)]
                batch = sklearn_batches(make, batches)
        rows.append(
            [
                name,
                rate(ours),
                peer,
                rate(one),
                ratio(one, ours),
                rate(batch),
                ratio(batch, ours),
                rate(vw),
                ratio(vw, ours),
            ]
        )
    table(
        [
            "quorvex learner",
            "quorvex ex/s",
            "scikit-learn peer",
            "peer per example ex/s",
            "peer/quorvex",
            "peer batch-256 ex/s",
            "batch/quorvex",
            "VW learn ex/s",
            "VW/quorvex",
        ],
        rows,
    )

    # 3. per entry against the plain loop
    print()
    lib = build_floor()
    if lib is None:
        print("no C++ compiler: the plain-loop column is left out\n")
    rows = []
    orders = sorted({1, args.order})
    for order in orders:
        d = data if order == args.order else Data(feats, labels, order)
        for name in LEARNERS:
            subset = results[name]["updated"] if d is data else train_pass(name, d)[1]
            # Interleaved runs, so that both sides see the same machine load.
            ours, floor = [], []
            for _ in range(args.repeats):
                ours.append(update_pass(name, d, subset)[0])
                if lib:
                    floor.append(floor_pass(lib, name, d, subset))
            t_ours = statistics.median(ours)
            t_floor = statistics.median(floor) if floor else None
            count = n if name != "AvgMira" else len(subset)
            entries = d.entries if name != "AvgMira" else sum(len(d.vectors[i]) for i in subset)
            rows.append(
                [
                    name,
                    order,
                    "%.0f" % (entries / count),
                    "%.2f" % (t_ours / entries * 1e9),
                    "%.2f" % (t_floor / entries * 1e9) if t_floor else "n/a",
                    "%.2fx" % (t_ours / t_floor) if t_floor else "n/a",
                ]
            )
    table(["learner", "order", "entries/vector", "quorvex ns/entry", "plain C++ ns/entry", "quorvex/plain"], rows)


if __name__ == "__main__":
    main()
