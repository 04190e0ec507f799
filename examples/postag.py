"""Part-of-speech tagger: a structured averaged perceptron over linear-chain CRF forests.

    python examples/postag.py                      # a generated corpus: trains and tags in seconds
    python examples/postag.py --train T.conllu --dev D.conllu [--epochs 5] [--model tagger.npy]

Every token becomes a FeatureList (word, affixes, shape, neighbouring words); each candidate
label of a token becomes a leaf node whose vector is FCombo's label-conjoined features
("NOUN^w=dog"), made by FCombo.label_nodes. make_simple_crf links the candidates of
neighbouring tokens through transition nodes (features "T<prev>-<label>" and "STOP"),
decode_simple_crf finds the best label sequence under a weight vector, and the perceptron
moves the weights towards the gold path's vector and away from the predicted one. Candidates
come from a tag dictionary: a word seen often enough in training may take only the tags it was
seen with; any other word may take the tags that rare training words take. Averaged weights
are used for evaluation and saved with save_binary; the final tagging reloads them with
FileModel.
"""

import argparse
import collections
import gc
import operator
import os
import random
import sys
import tempfile
import time

from quorvex.feature import FCombo, FeatureList, decode_simple_crf, make_simple_crf
from quorvex.learn import AvgPer, FileModel

from corpus import read_conllu, token_features

# --- data ---------------------------------------------------------------------------------


# A small generated language: sentences follow a few clause patterns; nouns, verbs, adjectives
# and adverbs are made from stems and tag-typical suffixes, some words are ambiguous (a stem that
# is both noun and verb), and a share of every open class is unseen in training.
_CLOSED = {
    "DET": ["the", "a", "this", "every", "some"],
    "ADP": ["in", "on", "with", "under", "near"],
    "PRON": ["she", "they", "it", "we"],
    "CCONJ": ["and", "or", "but"],
    "AUX": ["will", "can", "must"],
    "PUNCT": [".", ",", "!"],
}
_SUFFIX = {"NOUN": ["ion", "er", "ment", "ity"], "VERB": ["ates", "ifies", "izes", "ed"],
           "ADJ": ["ous", "ive", "al", "ful"], "ADV": ["ly"]}
_PATTERNS = [
    "DET ADJ NOUN VERB DET NOUN PUNCT",
    "PRON VERB ADV PUNCT",
    "DET NOUN AUX VERB ADP DET ADJ NOUN PUNCT",
    "PROPN VERB DET NOUN CCONJ DET NOUN PUNCT",
    "DET NOUN ADP DET NOUN VERB ADV PUNCT",
    "PRON AUX ADV VERB NUM NOUN PUNCT",
]


def generate_corpus(n_sentences, seed):
    rng = random.Random(seed)
    syll = ["ka", "lo", "mi", "ser", "dun", "pra", "vel", "tor", "bi", "zan", "que", "ro"]

    def stem():
        return "".join(rng.choice(syll) for _ in range(rng.randint(1, 3)))

    lexicon = {}
    stems = [stem() for _ in range(400)]
    for tag, sufs in _SUFFIX.items():
        lexicon[tag] = [s + rng.choice(sufs) for s in stems]
    shared = stems[:60]  # noun/verb ambiguity: the bare stem is both
    lexicon["NOUN"] += shared
    lexicon["VERB"] += shared
    lexicon["PROPN"] = [s.capitalize() for s in stems[::3]]
    sentences = []
    for _ in range(n_sentences):
        sent = []
        for tag in rng.choice(_PATTERNS).split():
            if tag in _CLOSED:
                word = rng.choice(_CLOSED[tag])
            elif tag == "NUM":
                word = str(rng.randint(2, 999))
            else:
                word = rng.choice(lexicon[tag])
            sent.append((word, tag))
        if rng.random() < 0.3:  # sentence-initial capitals, as in real text
            sent[0] = (sent[0][0].capitalize(), sent[0][1])
        sentences.append(sent)
    return sentences


# --- features ------------------------------------------------------------------------------


def sentence_features(words):
    return [FeatureList(token_features(words, i)) for i in range(len(words))]


# --- candidates ----------------------------------------------------------------------------


class TagDictionary:
    """Candidate labels per word. A word seen at least min_count times in training may take the
    tags it was seen with. Any other word may take the tags that rare training words of the same
    kind (same last three letters, capitalisation and digits) carry, the most frequent ones that
    together cover `coverage` of them; kinds with too few rare words fall back to the tags of all
    rare words. With prune=False every word may take every label."""

    def __init__(self, sentences, min_count=3, rare_count=2, coverage=0.995, min_kind=10, prune=True):
        counts = collections.Counter(w for s in sentences for w, _ in s)
        seen = collections.defaultdict(set)
        rare = collections.Counter()
        by_kind = collections.defaultdict(collections.Counter)
        for s in sentences:
            for w, t in s:
                seen[w].add(t)
                if counts[w] <= rare_count:
                    rare[t] += 1
                    by_kind[self.kind(w)][t] += 1
        self.labels = sorted({t for s in sentences for _, t in s})
        self.known = {w: tuple(sorted(tags)) for w, tags in seen.items() if counts[w] >= min_count}
        self.open = self.covering(rare, coverage) or tuple(self.labels)
        self.by_kind = {k: self.covering(c, coverage) for k, c in by_kind.items() if sum(c.values()) >= min_kind}
        if not prune:
            self.known, self.by_kind, self.open = {}, {}, tuple(self.labels)

    @staticmethod
    def kind(word):
        return word[-3:].lower(), word[:1].isupper(), any(c.isdigit() for c in word)

    @staticmethod
    def covering(counter, coverage):
        total, tags, acc = sum(counter.values()), [], 0
        for tag, c in counter.most_common():
            if acc >= coverage * total:
                break
            tags.append(tag)
            acc += c
        return tuple(sorted(tags))

    def candidates(self, word, gold=None):
        cands = self.known.get(word)
        if cands is None:
            cands = self.by_kind.get(self.kind(word), self.open)
        if gold is not None and gold not in cands:
            cands = cands + (gold,)  # training always offers the gold label
        return cands


# --- the tagger ----------------------------------------------------------------------------


_label = operator.attrgetter("label")


class Tagger:
    def __init__(self, tagdict):
        self.tagdict = tagdict
        self.labels = tagdict.labels
        self.fc = FCombo(1)
        self._trans = {}

    def transition(self, prev, label):
        """The vector of the transition feature T<prev>-<label> (cached; the dictionary is frozen)."""
        key = (prev, label)
        v = self._trans.get(key)
        if v is None:
            v = self._trans[key] = self.fc([("T%s-%s" % (prev, label), 1.0)])
        return v

    def register(self, examples):
        """Fills the dictionary with every feature the training forests can hold, then freezes it
        (so that the weight vector's size is known and stays valid)."""
        for flists, cands in examples:
            for fl, cs in zip(flists, cands):
                self.fc(fl, labels=cs)
        for a in self.labels + [None]:
            for b in self.labels:
                self.fc([("T%s-%s" % (a, b), 1.0)])
        self.fc(["STOP"])
        self.fc.dict.growing = False
        self.stop = self.fc(["STOP"])
        return len(self.fc.dict)

    def forest(self, flists, cands):
        """The CRF forest of a sentence and its candidate nodes: per position, one leaf per
        candidate label whose vector is FCombo's label-conjoined features."""
        positions = list(map(self.fc.label_nodes, flists, cands))
        return make_simple_crf(positions), positions

    def decode(self, flists, cands, weights):
        forest, positions = self.forest(flists, cands)
        return list(map(_label, decode_simple_crf(forest, weights, self.fc))), positions

    def path_vectors(self, positions, labels):
        """The vectors whose sum is the feature vector of a label path."""
        vecs, prev = [], None
        for nodes, lbl in zip(positions, labels):
            vecs.append(self.emission(nodes, lbl))
            vecs.append(self.transition(prev, lbl))
            prev = lbl
        vecs.append(self.stop)
        return vecs

    @staticmethod
    def emission(nodes, label):
        """The emission vector of a label at a position (of its last candidate node)."""
        for node in reversed(nodes):
            if node.label == label:
                return node.featuresD
        raise KeyError(label)

    def gradient(self, positions, gold, pred):
        """(coefficient, vector) pairs moving the weights from the predicted path to the gold one;
        the positions where both paths agree cancel and are left out."""
        pairs, gprev, pprev = [], None, None
        for nodes, g, p in zip(positions, gold, pred):
            if g != p:
                pairs.append((1.0, self.emission(nodes, g)))
                pairs.append((-1.0, self.emission(nodes, p)))
            if (gprev, g) != (pprev, p):
                pairs.append((1.0, self.transition(gprev, g)))
                pairs.append((-1.0, self.transition(pprev, p)))
            gprev, pprev = g, p
        return pairs


def prepare(tagger, sentences, training):
    """(FeatureLists, candidate labels, gold labels) per sentence."""
    out = []
    for s in sentences:
        words = [w for w, _ in s]
        gold = [t for _, t in s]
        cands = [tagger.tagdict.candidates(w, t if training else None) for w, t in s]
        out.append((sentence_features(words), cands, gold))
    return out


def progress(done, total, start, label):
    if total < 200 or not sys.stderr.isatty() and done != total:
        return
    width = 30
    filled = width * done // total
    rate = done / max(time.perf_counter() - start, 1e-9)
    sys.stderr.write("\r  %s [%s%s] %d/%d %.0f/s" % (label, "#" * filled, "." * (width - filled), done, total, rate))
    if done == total:
        sys.stderr.write("\n")
    sys.stderr.flush()


def evaluate(tagger, data, weights, label="tagging"):
    correct = total = 0
    start = time.perf_counter()
    for k, (flists, cands, gold) in enumerate(data):
        pred, _ = tagger.decode(flists, cands, weights)
        correct += sum(map(operator.eq, pred, gold))
        total += len(gold)
        if k % 50 == 0 or k + 1 == len(data):
            progress(k + 1, len(data), start, label)
    elapsed = time.perf_counter() - start
    return correct / max(total, 1), total / max(elapsed, 1e-9)


def averaged_weights(learner):
    """The perceptron's averaged weights: catch the lazy averages up first (the documented path),
    then take avgWeights / timestep."""
    learner.get_dense(0, learner.n_dimensions, testing=False)
    return learner.get_dense(0, learner.n_dimensions)


def train(tagger, train_data, dev_data, epochs, seed=0, quiet=False):
    say = (lambda *a: None) if quiet else print
    n = tagger.register([(flists, cands) for flists, cands, _ in train_data])
    learner = AvgPer(n)
    learner.fc = tagger.fc
    say("%d sentences, %d features (dictionary frozen), %d labels"
        % (len(train_data), n, len(tagger.labels)))
    rng = random.Random(seed)
    order = list(range(len(train_data)))
    for epoch in range(1, epochs + 1):
        rng.shuffle(order)
        start = time.perf_counter()
        tokens = errors = 0
        for k, i in enumerate(order):
            flists, cands, gold = train_data[i]
            pred, positions = tagger.decode(flists, cands, learner.weights)
            learner.update(tagger.gradient(positions, gold, pred) if pred != gold else [])
            tokens += len(gold)
            errors += sum(map(operator.ne, pred, gold))
            if k % 50 == 0 or k + 1 == len(order):
                progress(k + 1, len(order), start, "epoch %d" % epoch)
        train_speed = tokens / (time.perf_counter() - start)
        acc, tag_speed = evaluate(tagger, dev_data, averaged_weights(learner), "dev") if dev_data else (0.0, 0.0)
        say("epoch %d: training accuracy %.2f%%, dev accuracy %.2f%%, %.0f training tokens/s, %.0f tagged tokens/s"
            % (epoch, 100.0 * (1 - errors / tokens), 100.0 * acc, train_speed, tag_speed))
    return learner


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--train", help="CoNLL-U training file (UPOS column)")
    ap.add_argument("--dev", help="CoNLL-U evaluation file")
    ap.add_argument("--epochs", type=int, default=None)
    ap.add_argument("--model", help="where to save the averaged weights (.npy); a temporary file by default")
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args(argv)
    if bool(args.train) != bool(args.dev):
        ap.error("--train and --dev go together")
    if args.train:
        train_sents, dev_sents = read_conllu(args.train), read_conllu(args.dev)
        epochs = args.epochs or 5
        print("training on %s, evaluating on %s" % (args.train, args.dev))
    else:
        train_sents, dev_sents = generate_corpus(1500, args.seed), generate_corpus(300, args.seed + 1000)
        epochs = args.epochs or 3
        print("a generated corpus (no --train/--dev given)")
    # Forests are thousands of small acyclic objects that reference counting frees; the cycle
    # collector would only walk them again and again.
    gc.set_threshold(100000, 50, 100)

    tagger = Tagger(TagDictionary(train_sents))
    train_data = prepare(tagger, train_sents, training=True)
    dev_data = prepare(tagger, dev_sents, training=False)
    learner = train(tagger, train_data, dev_data, epochs)

    learner.get_dense(0, learner.n_dimensions, testing=False)  # exact averages before saving
    path = args.model or os.path.join(tempfile.mkdtemp(prefix="postag-"), "tagger.npy")
    learner.save_binary(path)
    model = FileModel(path)
    acc, speed = evaluate(tagger, dev_data, model.weights, "final")
    print("saved %s (%d weights); reloaded with FileModel: dev accuracy %.2f%%, %.0f tokens/s"
          % (path, model.n_dimensions, 100.0 * acc, speed))
    words = [w for w, _ in dev_sents[0]]
    pred, _ = tagger.decode(dev_data[0][0], dev_data[0][1], model.weights)
    print(" ".join("%s/%s" % wt for wt in zip(words, pred)))
    return acc


if __name__ == "__main__":
    main()
