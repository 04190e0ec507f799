"""Information trees from dependency parses: quorvex InfoTree against a plain-Python
implementation of the same JSON-to-bracketed-tree conversion.

    python benchmarks/bench_trees.py [--sentences N] [--repeats R]

Every sentence of the UD LinES training file becomes the JSON form of a tree (one node per
token labelled with its UPOS tag, the lower-cased word as its feature, an edge from head to
dependent labelled with the relation). The benchmark times, in sentences per second:

- construction: InfoTree(data) for every sentence (the trees are kept, as when a data set is
  loaded; their release is not timed);
- as_json + simplejson.dumps;
- as_tree + "".join (the bracketed text);
- JSON to text: construction, as_tree and join together;
- to_svmltk: one SVM-light-TK example per sentence (the tree plus three feature parts,
  single features) written to a BytesIO; the plain-Python writer uses the same FCombo for
  the vectors, so only the tree and marker handling differ.

The plain-Python side follows the same algorithms with ordinary classes (with __slots__).
Garbage collection is switched off while timing, as timeit does, for both sides. Each figure is
the median of R runs; the ratio is python time / quorvex time. Needs ../shared/data.

The whole corpus (some 30 MB of objects on each side) does not stay in the processor caches,
so memory latency, equal for both sides, weighs on the ratios; --sentences 100 keeps the
working set cache-resident and shows the ratio of the work itself.
"""

import argparse
import gc
import io
import statistics
import sys
import time

import simplejson
from common import TRAIN, table

from quorvex.feature import FCombo, InfoTree, Multipart


def read_conllu(path):
    """Sentences as lists of (form, upos, head, deprel), multi-word and empty tokens left out."""
    sentences, current = [], []
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if not line:
                if current:
                    sentences.append(current)
                current = []
            elif not line.startswith("#"):
                cols = line.split("\t")
                if len(cols) >= 8 and cols[0].isdigit():
                    current.append((cols[1], cols[3], int(cols[6]), cols[7]))
    if current:
        sentences.append(current)
    return sentences


def sentence_json(sentence):
    """The JSON form of a sentence's dependency tree."""
    nodes = [[upos, [form.lower()], []] for form, upos, _, _ in sentence]
    roots = []
    for i, (_, _, head, rel) in enumerate(sentence):
        if head == 0:
            roots.append(i)
        else:
            nodes[head - 1][2].append([i, rel])
    return {"nodes": nodes, "roots": roots}


# --- the plain-Python implementation -------------------------------------------------


class PyNode:
    __slots__ = ("edges_out", "features", "nodeId", "tp")

    def __init__(self, tp, feats=None):
        self.nodeId = -1
        self.tp = tp
        self.features = [] if feats is None else feats
        self.edges_out = []

    def add_edge(self, other_node, edge_label=None):
        self.edges_out.append((other_node, edge_label))

    def as_tree(self, parts_out):
        parts_out.append(("(%s " if self.features or self.edges_out else "(%s") % (self.tp,))
        parts_out.append("".join(["(%s %s)" % (f, f) for f in self.features]))
        for target, _ in self.edges_out:
            target.as_tree(parts_out)
        parts_out.append(")")


class PyTree:
    __slots__ = ("nodes", "roots")

    def __init__(self, data=None):
        all_nodes, roots = [], []
        if data is not None:
            nlist = data["nodes"]
            for i, (lb, attrs, _edges) in enumerate(nlist):
                n = PyNode(lb, attrs)
                n.nodeId = i
                all_nodes.append(n)
            for i, (_lb, _attrs, edges) in enumerate(nlist):
                node = all_nodes[i]
                for x in edges:
                    if isinstance(x, int):
                        node.add_edge(all_nodes[x])
                    else:
                        node.add_edge(all_nodes[x[0]], x[1])
            for r in data["roots"]:
                roots.append(all_nodes[r])
        self.nodes, self.roots = all_nodes, roots

    def as_tree(self, parts_out):
        self.roots[0].as_tree(parts_out)

    def as_json(self):
        return {
            "nodes": [(n.tp, n.features, [(t.nodeId, lbl) for t, lbl in n.edges_out]) for n in self.nodes],
            "roots": [r.nodeId for r in self.roots],
        }


def py_to_svmltk(fc, tree, parts, f):
    """The SVM-light-TK feature part written from Python: tree text, markers, vectors."""
    pieces = []
    tree.as_tree(pieces)
    f.write(b" |BT| " + "".join(pieces).encode("utf-8") + b"|ET|")
    fc(parts[0]).write_pairs(f)
    for part in parts[1:]:
        f.write(b"|BV|")
        fc(part).write_pairs(f)
        f.write(b" |EV| ")


def timed(fn, repeats):
    """Median time of fn with the collector off, as timeit measures; the result of each run
    is released outside the timed region."""
    times = []
    gc.collect()
    for _ in range(repeats):
        gc.disable()
        try:
            start = time.perf_counter()
            result = fn()
            times.append(time.perf_counter() - start)
        finally:
            gc.enable()
        del result
    return statistics.median(times)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sentences", type=int, default=0, help="use the first N sentences (default: all)")
    ap.add_argument("--repeats", type=int, default=5)
    args = ap.parse_args()
    if not TRAIN.exists():
        sys.exit("needs %s" % TRAIN)
    sentences = read_conllu(TRAIN)
    if args.sentences:
        sentences = sentences[: args.sentences]
    data = [sentence_json(s) for s in sentences]
    ntok = sum(len(s) for s in sentences)
    print(
        "UD LinES train: %d sentences, %d tokens (%.1f per sentence)\n" % (len(sentences), ntok, ntok / len(sentences))
    )

    q_trees = [InfoTree(d) for d in data]
    p_trees = [PyTree(d) for d in data]

    def text_of(tree):
        pieces = []
        tree.as_tree(pieces)
        return "".join(pieces)

    # Both sides must produce the same text and the same JSON.
    for qt, pt in zip(q_trees, p_trees):
        assert text_of(qt) == text_of(pt)
        assert simplejson.dumps(qt.as_json()) == simplejson.dumps(pt.as_json())

    fc = FCombo(1)
    parts = [
        [["w=" + w.lower() for w, _, _, _ in s], ["rel=" + r for _, _, _, r in s], ["len=%d" % min(len(s), 40)]]
        for s in sentences
    ]
    examples = []
    for d, p in zip(data, parts):
        m = Multipart(p)
        m.add_tree(d)
        examples.append(m)
    fc_parts = [Multipart(p).parts for p in parts]
    for m, pt, pp in zip(examples[:200], p_trees, fc_parts):
        a, b = io.BytesIO(), io.BytesIO()
        fc.to_svmltk(m, a)
        py_to_svmltk(fc, pt, pp, b)
        assert a.getvalue() == b.getvalue()
    fc.dict.growing = False  # every key is known now: both sides do the same lookups

    def svm_q():
        out = io.BytesIO()
        for m in examples:
            fc.to_svmltk(m, out)
            out.write(b"\n")
        return out

    def svm_p():
        out = io.BytesIO()
        for pt, pp in zip(p_trees, fc_parts):
            py_to_svmltk(fc, pt, pp, out)
            out.write(b"\n")
        return out

    work = [
        ("construction from JSON", lambda: [InfoTree(d) for d in data], lambda: [PyTree(d) for d in data]),
        (
            "as_json + simplejson.dumps",
            lambda: [simplejson.dumps(t.as_json()) for t in q_trees],
            lambda: [simplejson.dumps(t.as_json()) for t in p_trees],
        ),
        ("as_tree + join", lambda: [text_of(t) for t in q_trees], lambda: [text_of(t) for t in p_trees]),
        (
            "JSON to bracketed text",
            lambda: [text_of(InfoTree(d)) for d in data],
            lambda: [text_of(PyTree(d)) for d in data],
        ),
        ("to_svmltk (tree + 3 parts)", svm_q, svm_p),
    ]
    rows = []
    for name, q_fn, p_fn in work:
        tq = timed(q_fn, args.repeats)
        tp = timed(p_fn, args.repeats)
        rows.append([name, "%.0f" % (len(data) / tq), "%.0f" % (len(data) / tp), "%.1fx" % (tp / tq)])
    table(["step", "quorvex sent/s", "python sent/s", "python/quorvex"], rows)


if __name__ == "__main__":
    main()
