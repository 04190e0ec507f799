"""Train a small token classifier with each of quorvex's online learners.

Every token gets a coarse word class (noun, verb, modifier, function word, other) predicted
one-vs-rest: one binary learner per class scores the token's FCombo vector, and the best score
wins. The data are UD LinES (../shared/data/ud-english-lines, or $QUORVEX_DATA) when present,
else a tiny built-in sample. For each learner (AvgPer, AvgMira, AdaGrad, SgdMomentum) the
program trains for a few epochs, printing training and held-out accuracy per epoch, then saves
the weights of every class with save_binary, reloads them with FileModel and checks that the
reloaded model predicts exactly what the learner predicts.

    python examples/classify.py [--epochs 3] [--limit 20000] [--out DIR]
"""

import argparse
import os
import pathlib
import random
import tempfile
import time

from corpus import data_dir, read_conllu
from tqdm import tqdm

from quorvex.feature import FCombo, FeatureList
from quorvex.learn import AdaGrad, AvgMira, AvgPer, FileModel, SgdMomentum
from quorvex.sparsmat import SparseVectorsD
from quorvex.tagger import TokenFeatures

COARSE = {
    "NOUN": "noun",
    "PROPN": "noun",
    "VERB": "verb",
    "AUX": "verb",
    "ADJ": "modifier",
    "ADV": "modifier",
    "DET": "function",
    "ADP": "function",
    "PRON": "function",
    "CCONJ": "function",
    "SCONJ": "function",
    "PART": "function",
}
CLASSES = ["noun", "verb", "modifier", "function", "other"]

SAMPLE = """\
The/DET old/ADJ fox/NOUN watched/VERB the/DET young/ADJ dogs/NOUN from/ADP the/DET hill/NOUN ./PUNCT
She/PRON quickly/ADV wrote/VERB a/DET long/ADJ letter/NOUN to/ADP her/PRON brother/NOUN ./PUNCT
Dogs/NOUN and/CCONJ cats/NOUN rarely/ADV share/VERB the/DET same/ADJ bed/NOUN ./PUNCT
We/PRON have/AUX seen/VERB many/ADJ strange/ADJ birds/NOUN near/ADP the/DET river/NOUN ./PUNCT
The/DET children/NOUN played/VERB happily/ADV in/ADP the/DET warm/ADJ sun/NOUN ./PUNCT
He/PRON will/AUX read/VERB the/DET new/ADJ book/NOUN tomorrow/NOUN ./PUNCT
A/DET small/ADJ boat/NOUN sailed/VERB slowly/ADV across/ADP the/DET quiet/ADJ lake/NOUN ./PUNCT
They/PRON were/AUX building/VERB a/DET tall/ADJ house/NOUN on/ADP the/DET corner/NOUN ./PUNCT
Her/PRON sister/NOUN sings/VERB beautifully/ADV at/ADP every/DET party/NOUN ./PUNCT
The/DET tired/ADJ workers/NOUN went/VERB home/ADV after/ADP a/DET hard/ADJ day/NOUN ./PUNCT
My/PRON friend/NOUN bought/VERB two/NUM red/ADJ apples/NOUN at/ADP the/DET market/NOUN ./PUNCT
The/DET cold/ADJ wind/NOUN blew/VERB hard/ADV over/ADP the/DET empty/ADJ fields/NOUN ./PUNCT
"""


# --- data ----------------------------------------------------------------------------------


def load_sentences():
    folder = data_dir() or pathlib.Path("/nonexistent")
    train, dev = folder / "en_lines-ud-train.conllu", folder / "en_lines-ud-dev.conllu"
    if train.exists() and dev.exists():
        return read_conllu(train), read_conllu(dev), "UD LinES"
    sample = [[tuple(tok.rsplit("/", 1)) for tok in line.split()] for line in SAMPLE.splitlines()]
    return sample[:9], sample[9:], "the built-in sample"


# The tagger's templates, with affixes of up to three letters and the next words only.
FEATURES = TokenFeatures(affixes=3, window=1)


def vectorise(fc, sentences):
    vectors, classes = [], []
    for s in sentences:
        words = [w for w, _ in s]
        for feats, (_, tag) in zip(FEATURES.sentence(words), s):
            vectors.append(fc(FeatureList(feats)))
            classes.append(CLASSES.index(COARSE.get(tag, "other")))
    return vectors, classes


def progress(items, label):
    """The items, with a progress bar on standard error when it is a terminal."""
    return tqdm(items, desc=label, leave=False, disable=None, mininterval=0.5)


# --- one-vs-rest training ----------------------------------------------------------------------


class OneVsRest:
    """One binary learner per class; a token's class is the one whose learner scores highest."""

    def __init__(self, kind, dim, n_examples):
        self.kind = kind
        make = {
            "AvgPer": lambda: AvgPer(dim),
            "AvgMira": lambda: AvgMira(dim),
            "AdaGrad": lambda: AdaGrad(dim),
            "SgdMomentum": lambda: SgdMomentum(dim, l2=1e-4, n_examples=n_examples),
        }[kind]
        self.learners = [make() for _ in CLASSES]

    def scores(self, x, averaged):
        if self.kind == "SgdMomentum":
            return [lr.score(x) for lr in self.learners]
        return [lr.score(x, averaged) for lr in self.learners]

    def train_step(self, x, gold):
        """One example for every class's learner; True when the plain scores picked the gold class."""
        scores = self.scores(x, False)
        for c, (lr, s) in enumerate(zip(self.learners, scores)):
            y = 1.0 if c == gold else -1.0
            if self.kind == "AvgPer":
                if y * s <= 0:  # a mistake
                    lr.update([(y, x)])
            elif self.kind == "AvgMira":
                if y * s < 1:  # inside the margin: move just far enough that y * score(x) = 1
                    g = SparseVectorsD()
                    g.add(x, y)
                    lr.update(g, 1.0)
            elif self.kind == "AdaGrad":
                # Its rates start near 0.1 / 10000, far below what a margin of 1 needs:
                # update on mistakes, like the perceptron, with per-feature rates.
                if y * s <= 0:
                    lr.update([(y, x)])
            else:
                lr.update([(y, x)] if y * s < 1 else [])
        return max(range(len(CLASSES)), key=scores.__getitem__) == gold

    def settle(self):
        """Brings the lazily kept averages up to date before they are read out."""
        for lr in self.learners:
            if self.kind in ("AvgPer", "AvgMira"):
                lr.get_dense(0, lr.n_dimensions, testing=False)


def accuracy(predict, vectors, classes, label):
    right = sum(predict(x) == c for x, c in zip(progress(vectors, label), classes))
    return right / max(len(vectors), 1)


def argmax(values):
    return max(range(len(values)), key=values.__getitem__)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--epochs", type=int, default=3)
    ap.add_argument("--limit", type=int, default=20000, help="training tokens used (0: all)")
    ap.add_argument("--out", help="folder for the weight files (default: a temporary folder)")
    args = ap.parse_args()

    train_s, dev_s, source = load_sentences()
    fc = FCombo(1, bias_item="<bias>")
    train_x, train_y = vectorise(fc, train_s)
    if args.limit:
        train_x, train_y = train_x[: args.limit], train_y[: args.limit]
    fc.dict.growing = False  # held-out tokens use only features seen in training
    dev_x, dev_y = vectorise(fc, dev_s)
    dim = len(fc.dict)
    print(
        "%s: %d training and %d held-out tokens, %d features, classes %s\n"
        % (source, len(train_x), len(dev_x), dim, ", ".join(CLASSES))
    )

    out = args.out or tempfile.mkdtemp(prefix="quorvex-classify-")
    os.makedirs(out, exist_ok=True)
    rng = random.Random(1)
    order = list(range(len(train_x)))
    for kind in ("AvgPer", "AvgMira", "AdaGrad", "SgdMomentum"):
        model = OneVsRest(kind, dim, len(train_x))
        averaged = kind != "SgdMomentum"
        start = time.perf_counter()
        for epoch in range(1, args.epochs + 1):
            rng.shuffle(order)
            right = sum(
                model.train_step(train_x[i], train_y[i]) for i in progress(order, "%s epoch %d" % (kind, epoch))
            )
            model.settle()
            held_out = accuracy(lambda x: argmax(model.scores(x, averaged)), dev_x, dev_y, "held-out")
            print(
                "%-11s epoch %d: training %.1f%%, held-out %.1f%%"
                % (kind, epoch, 100.0 * right / len(order), 100 * held_out)
            )
        # Deploy: one weight file per class, reloaded as scoring-only models.
        files = []
        for name, lr in zip(CLASSES, model.learners):
            path = os.path.join(out, "%s-%s.npy" % (kind.lower(), name))
            lr.save_binary(path)
            files.append(FileModel(path))
        reloaded = accuracy(lambda x: argmax([f.score(x) for f in files]), dev_x, dev_y, "reloaded")
        same = all(argmax([f.score(x) for f in files]) == argmax(model.scores(x, averaged)) for x in dev_x)
        print(
            "%-11s saved to %s/%s-*.npy, reloaded with FileModel: held-out %.1f%% (%s), %.1fs\n"
            % (
                kind,
                out,
                kind.lower(),
                100 * reloaded,
                "same predictions" if same else "PREDICTIONS DIFFER",
                time.perf_counter() - start,
            )
        )


if __name__ == "__main__":
    main()
