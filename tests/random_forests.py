"""Random CRF forests with random edits between make_simple_crf and decoding, and what decoding
them leaves (the labels or the error, every node's number, scores and vector, the dictionary),
by decode_simple_crf or by the separate passes, for comparing the two."""

import random
import re
import sys

import numpy as np

from quorvex.feature import FCombo, GraphNode, decode_simple_crf, make_simple_crf
from quorvex.sparsmat import SparseVectorD

LARGE_LABELS = ["L%02d" % i for i in range(12)]
LARGE_TOKENS = 114  # 114 * 12 * 12 >= 16384 transitions: the builder keeps its record


class InsidePlus(GraphNode):
    def calcInsideMin(self, done):
        return GraphNode.calcInsideMin(self, done) + 0.75


class ShiftIds(GraphNode):
    """Numbers its subtree from start + 3 (gaps in the numbering)."""

    def assign_ids(self, start):
        return GraphNode.assign_ids(self, start + 3)


class PlainSub(GraphNode):
    pass


class Loud:
    """A feature value whose conversion runs Python code."""

    def __float__(self):
        return 1.0


class CallFC(FCombo):
    def __call__(self, features):
        return FCombo.__call__(self, features)


def make_fc(rng, growing):
    cls = CallFC if rng.random() < 0.05 else FCombo
    fc = cls(1)
    fc(["pad"] + ["w%d=%s" % (i, lbl) for i in range(3) for lbl in LARGE_LABELS[:6]])
    fc.dict.growing = growing
    return fc


def positions_of(stop):
    """The states of each position, from the first to the last, as built."""
    out = [list(stop.children)]
    while True:
        s = out[-1][0]
        if not s.children:
            break
        t = s.children[0]
        prev = t.children[1]
        if not prev.children:  # the start node
            break
        seen, states = set(), []
        for t in s.children:
            p = t.children[1]
            if id(p) not in seen:
                seen.add(id(p))
                states.append(p)
        out.append(states)
    return out[::-1]


def nodes_of(root):
    seen, order, stack = set(), [], [root]
    while stack:
        n = stack.pop()
        if not isinstance(n, GraphNode) or id(n) in seen:
            continue
        seen.add(id(n))
        order.append(n)
        ch = n.children
        if isinstance(ch, (list, tuple)):
            stack.extend(reversed(ch))
    return order


def rand_features(rng, lbl):
    fs = []
    for _ in range(rng.randrange(0, 3)):
        name = "w%d=%s" % (rng.randrange(4), lbl)
        if rng.random() < 0.5:
            fs.append(name)
        else:
            fs.append((name, rng.choice([1.0, 0.5, 2, -1, 3.0])))
    return fs


EDITS = [
    "shuffle",
    "reverse stop",
    "delete child",
    "empty state",
    "share earlier node",
    "share candidate",
    "flip disj",
    "number leaf",
    "number subtree",
    "tuple children",
    "subclass inside",
    "subclass shift",
    "subclass plain",
    "cycle",
    "bad vector",
    "python features",
    "set vector",
    "non node child",
    "replace transition",
    "candidate children",
    "list subclass children",
    "low scores",
    "generator children",
    "preset scores",
]


def build_case(seed, large=None, edits=None):
    rng = random.Random(seed)
    if large is None:
        large = rng.random() < 0.15
    growing = rng.random() < 0.35
    if large:
        tokens, labels = LARGE_TOKENS, LARGE_LABELS
    else:
        tokens = rng.randrange(1, 7)
        labels = LARGE_LABELS[: rng.randrange(1, 6)]
    positions = []
    for _ in range(tokens):
        if large:
            lbls = list(labels)
            if rng.random() < 0.02:
                lbls[rng.randrange(len(lbls))] = lbls[0]  # a state shared by two candidates
        else:
            lbls = [rng.choice(labels) for _ in range(rng.randrange(1, 5))]
        ps = []
        for lbl in lbls:
            c = GraphNode(lbl)
            c.features = rand_features(rng, lbl)
            ps.append(c)
        positions.append(ps)
    stop = make_simple_crf(positions)
    states = positions_of(stop)
    cands = [c for ps in positions for c in ps]
    all_n = nodes_of(stop)
    ors = [n for n in all_n if str(n).split("#")[0].endswith("True)")]
    trans = [t for ss in states for s in ss for t in s.children]
    if edits is None:
        edits = [rng.choice(EDITS) for _ in range(rng.choice([0, 0, 1, 1, 2, 3]))]
    applied = []
    for how in edits:
        applied.append(how)
        try:
            if how == "shuffle":
                n = rng.choice(ors)
                if isinstance(n.children, list):
                    rng.shuffle(n.children)
            elif how == "reverse stop":
                if isinstance(stop.children, list):
                    stop.children.reverse()
            elif how == "delete child":
                n = rng.choice(all_n)
                if isinstance(n.children, list) and n.children:
                    del n.children[rng.randrange(len(n.children))]
            elif how == "empty state":
                n = rng.choice(ors)
                n.children = []
            elif how == "share earlier node":
                # a node of an earlier position added under a later one: a DAG, no cycle
                if len(states) >= 2:
                    k = rng.randrange(1, len(states))
                    target = rng.choice(rng.choice(states[k]).children) if rng.random() < 0.5 else rng.choice(states[k])
                    src_k = rng.randrange(0, k)
                    src = rng.choice(states[src_k])
                    if rng.random() < 0.5 and src.children:
                        src = rng.choice(src.children)
                    if isinstance(target.children, list):
                        target.children.insert(rng.randrange(len(target.children) + 1), src)
            elif how == "share candidate":
                t = rng.choice(trans) if trans else None
                if t is not None and isinstance(t.children, list):
                    t.children.append(rng.choice(cands))
            elif how == "flip disj":
                n = rng.choice(all_n)
                disj = str(n).split("#")[0].endswith("True)")
                ch, fs, lbl = n.children, n.features, n.label
                n.__init__(lbl, not disj)
                n.children, n.features = ch, fs
            elif how == "number leaf":
                c = rng.choice(cands)
                if not c.children:
                    c.assign_ids(rng.choice([0, 1, 2, 5, 7, rng.randrange(0, 60)]))
            elif how == "number subtree":
                n = rng.choice(trans or cands)
                n.assign_ids(rng.randrange(0, 40))
            elif how == "tuple children":
                n = rng.choice(all_n)
                if isinstance(n.children, (list, tuple)):
                    n.children = tuple(n.children)
            elif how in ("subclass inside", "subclass shift", "subclass plain"):
                cls = {"subclass inside": InsidePlus, "subclass shift": ShiftIds, "subclass plain": PlainSub}[how]
                t = rng.choice(trans) if trans else None
                if t is not None and isinstance(t.children, list):
                    old = t.children[0]
                    new = cls(old.label)
                    new.features = list(old.features) if isinstance(old.features, list) else old.features
                    t.children[0] = new
            elif how == "cycle":
                n = rng.choice(all_n)
                if isinstance(n.children, list):
                    n.children.append(stop)
            elif how == "bad vector":
                rng.choice(all_n).featuresD = SparseVectorD([(5000, 1.0)])
            elif how == "python features":
                c = rng.choice(cands)
                c.features = [("w0=" + str(c.label), Loud())]
            elif how == "set vector":
                rng.choice(all_n).featuresD = SparseVectorD([(rng.randrange(40), rng.choice([1.0, -0.5]))])
            elif how == "non node child":
                n = rng.choice(all_n)
                if isinstance(n.children, list):
                    n.children.insert(rng.randrange(len(n.children) + 1), 17)
            elif how == "replace transition":
                if trans:
                    s = rng.choice([s for ss in states for s in ss])
                    if isinstance(s.children, list) and s.children:
                        i = rng.randrange(len(s.children))
                        old = s.children[i]
                        new = GraphNode(old.label)
                        new.children = list(old.children)
                        new.features = list(old.features)
                        s.children[i] = new
            elif how == "candidate children":
                c = rng.choice(cands)
                if isinstance(c.children, list):
                    for _ in range(rng.randrange(1, 3)):
                        sub = GraphNode("sub", rng.random() < 0.5)
                        sub.features = rand_features(rng, "x")
                        c.children.append(sub)
            elif how == "list subclass children":

                class L(list):
                    pass

                n = rng.choice(all_n)
                if isinstance(n.children, (list, tuple)):
                    n.children = L(n.children)
            elif how == "low scores":
                c = rng.choice(cands)
                c.featuresD = SparseVectorD([(39, 1.0)])  # weight -2000 below
            elif how == "generator children":
                n = rng.choice(all_n)
                if isinstance(n.children, (list, tuple)):
                    n.children = iter(list(n.children))
            elif how == "preset scores":
                for n in rng.sample(all_n, min(len(all_n), 20)):
                    n.localScore, n.insideScore = rng.choice([(0.25, -0.0), (-0.0, 3.0), (float("nan"), 1.0)])
        except (IndexError, TypeError, AttributeError, ValueError):
            applied[-1] += " (skipped)"
    mode = rng.choice(["uniform", "ties", "ints", "uniform"])
    if mode == "uniform":
        w = np.array([rng.uniform(-1, 1) for _ in range(400)])
    elif mode == "ties":
        w = np.zeros(400)
    else:
        w = np.array([float(rng.randrange(-1, 2)) for _ in range(400)])
    w[39] = -2000.0
    if rng.random() < 0.03:
        w = w[:30].copy()  # too short: out of range errors
    fc = make_fc(rng, growing)
    if rng.random() < 0.02:
        fc = None
    return stop, w, fc, {"large": large, "edits": applied, "mode": mode, "growing": growing}


def fmt_float(x):
    return repr(float(x))


def snapshot(root, fc):
    out = []
    for n in nodes_of(root):
        fd = n.featuresD
        out.append(
            (
                re.sub(r" at 0x[0-9a-f]+", "", repr(n)),
                type(n).__name__,
                fmt_float(n.localScore),
                fmt_float(n.insideScore),
                None if fd is None else [(int(i), fmt_float(v)) for i, v in fd],
            )
        )
    d = None if fc is None else list(fc.dict)
    return out, d


def err(e):
    return "%s: %s" % (type(e).__name__, e)


def decode_outcome(seed, **kw):
    stop, w, fc, meta = build_case(seed, **kw)
    try:
        got = [(c.label, repr(c)) for c in decode_simple_crf(stop, w, fc)]
    except Exception as e:
        got = err(e)
    return got, snapshot(stop, fc), meta


def passes_outcome(seed, **kw):
    """The separate passes (errors of calcPotential, which it prints, are raised here)."""
    stop, w, fc, meta = build_case(seed, **kw)
    errors = []
    old = sys.unraisablehook
    sys.unraisablehook = lambda u: errors.append(u.exc_value)
    try:
        n = stop.assign_ids(0)
        stop.calcPotential(w, fc, np.zeros(n, "b"))
        if errors:
            raise errors[0]
        stop.calcInsideMin(np.zeros(n, "b"))
        cur, labels = stop.extractBest(fc), []
        while cur.children:
            labels.append((cur.children[0].label, repr(cur.children[0])))
            cur = cur.children[1]
        got = labels[::-1]
    except Exception as e:
        got = err(e)
    finally:
        sys.unraisablehook = old
    return got, snapshot(stop, fc), meta, bool(errors)
