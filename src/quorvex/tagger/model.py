"""The part-of-speech tagger: a structured averaged perceptron over a native chain model."""

import contextlib
import copy
import gc
import math
import operator
import random
import sys

import numpy as np

from quorvex.alphabet import StringAlphabet
from quorvex.feature import ChainModel, FCombo, FeatureList
from quorvex.learn import AvgPer
from quorvex.tagger import mixing, modelfile
from quorvex.tagger.features import TokenFeatures
from quorvex.tagger.tagdict import TagDictionary

__all__ = ["Tagger"]


def _check_words(words, where):
    if isinstance(words, (str, bytes)):
        raise TypeError("%s is a single %s; a sentence is a list of tokens" % (where, type(words).__name__))
    words = list(words)
    for i, w in enumerate(words):
        if not isinstance(w, str):
            raise TypeError("token %d of %s is a %s, not a str" % (i, where, type(w).__name__))
    return words


def _check_corpus(sentences, tags, what):
    """(sentences, tags) as lists of lists, or a clear error naming the bad sentence."""
    if isinstance(sentences, (str, bytes)) or isinstance(tags, (str, bytes)):
        raise TypeError("%s sentences and tags are lists of lists, not strings" % what)
    sentences, tags = list(sentences), list(tags)
    if len(sentences) != len(tags):
        raise ValueError("%d %s sentences but %d tag lists" % (len(sentences), what, len(tags)))
    if not sentences:
        raise ValueError("no %s sentences" % what)
    out_s, out_t = [], []
    for k, (words, ts) in enumerate(zip(sentences, tags)):
        words = _check_words(words, "%s sentence %d" % (what, k))
        if not words:
            raise ValueError("%s sentence %d is empty" % (what, k))
        if isinstance(ts, (str, bytes)):
            raise TypeError("the tags of %s sentence %d are a single string, not a list" % (what, k))
        ts = list(ts)
        if len(ts) != len(words):
            raise ValueError("%s sentence %d has %d tokens but %d tags" % (what, k, len(words), len(ts)))
        for i, t in enumerate(ts):
            if not isinstance(t, str):
                raise TypeError("tag %d of %s sentence %d is a %s, not a str" % (i, what, k, type(t).__name__))
        out_s.append(words)
        # str.__str__ turns a str subclass into a plain str, which can be interned.
        out_t.append([sys.intern(t if type(t) is str else str.__str__(t)) for t in ts])
    return out_s, out_t


def _check_count(value, name):
    """A positive int (NumPy integers too, not bools), or ValueError naming the parameter."""
    try:
        count = operator.index(value)
    except TypeError:
        count = None
    if count is None or isinstance(value, bool) or count < 1:
        raise ValueError("%s must be a positive int, not %r" % (name, value))
    return count


def _check_labels(labels):
    """Refuses tag sets whose keys would be shared: a model's transition key is
    "T<previous>-<tag>" (None for the sentence start) and its emission keys are "<tag>^...",
    so a "^" in a tag, or two pairs of tags spelling the same transition key, would let
    different tags share weights without a word."""
    for t in labels:
        if "^" in t:
            raise ValueError("the tag %r contains '^', which the model's keys use between names" % (t,))
    seen = {}
    for prev in [None, *labels]:
        for t in labels:
            key = "T%s-%s" % (prev, t)
            if key in seen:
                raise ValueError(
                    "the transitions %s -> %r and %s -> %r would share the key %r: rename one of these tags"
                    % (_start_or(seen[key][0]), seen[key][1], _start_or(prev), t, key)
                )
            seen[key] = (prev, t)


def _start_or(tag):
    return "the start" if tag is None else repr(tag)


def _checked_features(features, words, i):
    """A custom feature function's output for token i, checked: names are str, values finite."""
    if isinstance(features, (str, bytes)) or not hasattr(features, "__len__"):
        raise TypeError(
            "feature_fn(words, %d) returned a %s; it must return a list of names or (name, value) pairs"
            % (i, type(features).__name__)
        )
    for f in features:
        if isinstance(f, str):
            continue
        if isinstance(f, (tuple, list)) and len(f) == 2 and isinstance(f[0], str):
            try:
                ok = math.isfinite(f[1])
            except TypeError:
                raise TypeError(
                    "feature_fn(words, %d) gave the feature %r a value that is not a number: %r" % (i, f[0], f[1])
                ) from None
            if not ok:
                raise ValueError(
                    "feature_fn(words, %d) gave the feature %r the value %r; values must be finite" % (i, f[0], f[1])
                )
            continue
        raise TypeError(
            "feature_fn(words, %d) gave %r for token %r; a feature is a name (str) or a (name, value) pair"
            % (i, f, words[i])
        )
    return features


def _builtin(fn):
    """Whether fn is the built-in templates, which a model file describes by their settings
    alone. A subclass may compute other features: it is named, like any custom function."""
    return type(fn) is TokenFeatures


def _function_name(fn):
    return "%s.%s" % (getattr(fn, "__module__", "?"), getattr(fn, "__qualname__", type(fn).__name__))


class Tagger:
    """A part-of-speech tagger: a structured averaged perceptron over a linear-chain model.

    ``feature_fn(words, i)`` gives the features of token i of a sentence as a list of names or
    (name, value) pairs; None uses the built-in templates (:class:`TokenFeatures`: word, lower
    case, affixes, shape, neighbours). With ``prune=True`` a tag dictionary learnt from the
    training data offers each word only the labels it may take; ``prune=False`` offers every
    label at every position. ``seed`` fixes the order of the training sentences.

    >>> t = Tagger()
    >>> t.fit([["the", "dog", "barks"]] * 20, [["DET", "NOUN", "VERB"]] * 20, progress=False)
    >>> t.predict([["the", "dog", "barks"]])
    [['DET', 'NOUN', 'VERB']]
    """

    def __init__(self, feature_fn=None, prune=True, seed=0):
        if feature_fn is not None and not callable(feature_fn):
            raise TypeError("feature_fn must be callable (words, i) -> features, not %s" % type(feature_fn).__name__)
        self.feature_fn = feature_fn if feature_fn is not None else TokenFeatures()
        self.prune = bool(prune)
        self.seed = seed
        self.tagdict = None
        self.model = None
        self.weights = None
        self.history = []

    def __repr__(self):
        state = (
            "untrained" if self.model is None else "labels=%d, features=%d" % (len(self.labels), self.model.n_features)
        )
        return "Tagger(%s, prune=%r, feature_fn=%s)" % (state, self.prune, self._feature_description())

    @property
    def labels(self):
        """The labels the tagger knows (a tuple), or None before training."""
        return None if self.model is None else self.model.labels

    # --- features ---------------------------------------------------------------------------

    def _feature_description(self):
        fn = self.feature_fn
        if _builtin(fn):
            return repr(fn)
        return _function_name(fn)

    def feature_lists(self, words):
        """The FeatureLists of a sentence's tokens."""
        fn = self.feature_fn
        if isinstance(fn, TokenFeatures):
            return list(map(FeatureList, fn.sentence(words)))
        return [FeatureList(_checked_features(fn(words, i), words, i)) for i in range(len(words))]

    def _candidates(self, words, gold=None):
        if not self.prune:
            return None
        cands = self.tagdict.candidates
        if gold is None:
            return list(map(cands, words))
        return list(map(cands, words, gold))

    # --- training ---------------------------------------------------------------------------

    def fit(self, sentences, tags, epochs=5, dev=None, progress=True, client=None, shards=None):
        """Trains on lists of token lists and their tag lists. dev: an optional (sentences,
        tags) pair scored after every epoch (see `history`). progress: progress bars (tqdm) on
        standard error when it is a terminal. Returns self.

        client: a ``dask.distributed.Client``: the corpus is cut into `shards` shards (default:
        one per worker) kept on the workers, and every epoch is one round of iterative
        parameter mixing (quorvex.distributed.train_ipm); the dictionary is built and frozen
        here and sent to every worker once. With shards but no client, the same rounds run in
        this process, with bit-identical results. Mixing needs the feature function to be
        picklable (the built-in templates are). Its `history` records per epoch the round's
        wall time and, per shard, the seconds of training (wall and CPU) and of handling the
        state on the worker; the seconds of mixing; and the rest (scheduling, transfer)."""
        epochs = _check_count(epochs, "epochs")
        if shards is not None:
            shards = _check_count(shards, "shards")
        sentences, tags = _check_corpus(sentences, tags, "training")
        if dev is not None:
            if isinstance(dev, (str, bytes)) or not isinstance(dev, (tuple, list)) or len(dev) != 2:
                raise TypeError("dev must be a (sentences, tags) pair")
            dev = _check_corpus(dev[0], dev[1], "dev")
        tagdict = TagDictionary(sentences, tags, prune=self.prune)
        _check_labels(tagdict.labels)
        # Trained on a copy: an error or an interrupt part-way leaves this tagger as it was
        # (an earlier model still tags and saves), never half trained.
        trainee = copy.copy(self)
        trainee.tagdict, trainee.model, trainee.weights, trainee.history = tagdict, None, None, []
        if client is None and shards is None:
            trainee._fit_serial(sentences, tags, epochs, dev, progress)
        else:
            trainee._fit_mixing(sentences, tags, epochs, dev, progress, client, shards)
        self.tagdict, self.model, self.weights, self.history = (
            trainee.tagdict,
            trainee.model,
            trainee.weights,
            trainee.history,
        )
        return self

    def _fit_serial(self, sentences, tags, epochs, dev, progress):
        tagdict = self.tagdict
        with _collector_paused():
            flists = [self.feature_lists(words) for words in sentences]
            if self.prune:
                candidates = [list(map(tagdict.candidates, words)) for words in sentences]
                keys = None  # a position's features get keys for its candidates and its gold label
            else:
                # Every label is decoded everywhere, but a feature only gets keys for the labels
                # it was seen with: the others could never gain weight beyond the perceptron's
                # corrections.
                candidates = None
                keys = "gold"
        model, compiled = ChainModel.compile_training(FCombo(1), tagdict.labels, flists, tags, candidates, keys)
        mixing.unfloored(model)
        del flists
        learner = AvgPer(model.n_features)
        self.model = model
        rng = random.Random(self.seed)
        order = list(range(len(compiled)))
        for epoch in range(1, epochs + 1):
            rng.shuffle(order)
            with _progress(progress, len(order), "epoch %d/%d" % (epoch, epochs)) as bar:
                tokens, wrong = model.train_epoch(compiled, learner, order=order, callback=bar, every=50)
            self.weights = mixing.averaged_weights(learner)
            record = {"epoch": epoch, "train_accuracy": 1.0 - wrong / tokens}
            if dev is not None:
                record["dev_accuracy"] = self.score(*dev)
            self.history.append(record)

    def _fit_mixing(self, sentences, tags, epochs, dev, progress, client, shards):
        if shards is None:
            shards = len(client.nthreads()) or 1
        shards = min(shards, len(sentences))
        # What travels to the workers: the features, seed and tag dictionary, no model.
        travelling = Tagger(self.feature_fn, self.prune, self.seed)
        travelling.tagdict = self.tagdict

        self.model = mixing.frozen_model(travelling, sentences, tags)

        with _progress(progress, epochs, "mixing rounds", unit="round") as bar:

            def on_epoch(epoch, weights, stats):
                self.weights = weights
                record = {
                    "epoch": epoch,
                    "seconds": stats.wall,
                    "compute_seconds": list(stats.compute),
                    "cpu_seconds": list(stats.cpu),
                    "state_seconds": list(stats.state),
                    "mix_seconds": stats.mix,
                    "overhead_seconds": stats.overhead,
                }
                if dev is not None:
                    record["dev_accuracy"] = self.score(*dev)
                self.history.append(record)
                bar(epoch)

            self.weights = mixing.train_mixing(
                travelling, self.model, sentences, tags, epochs, shards, client, on_epoch
            )

    # --- tagging ----------------------------------------------------------------------------

    def _require_model(self):
        if self.model is None or self.weights is None:
            raise ValueError("the tagger is not trained: call fit() or Tagger.load()")

    def tag(self, words):
        """The tags of one sentence (a list of tokens); an empty sentence has no tags."""
        self._require_model()
        words = _check_words(words, "the sentence")
        if not words:
            return []
        return self.model.decode(self.feature_lists(words), self.weights, self._candidates(words))

    def predict(self, sentences, progress=False):
        """The tag lists of a list of sentences (token lists)."""
        self._require_model()
        if isinstance(sentences, (str, bytes)):
            raise TypeError("sentences is a list of token lists, not a string")
        sentences = list(sentences)
        out = []
        with _progress(progress, len(sentences), "tagging") as bar:
            for k, words in enumerate(sentences):
                out.append(self.tag(words))
                bar(k + 1)
        return out

    def score(self, sentences, tags):
        """Token accuracy of predict(sentences) against tags. A tag the tagger never saw in
        training is a ValueError (it could never be predicted)."""
        self._require_model()
        sentences, tags = _check_corpus(sentences, tags, "evaluation")
        known = set(self.labels)
        for k, ts in enumerate(tags):
            for t in ts:
                if t not in known:
                    raise ValueError(
                        "evaluation sentence %d has the tag %r, which the tagger did not see in training" % (k, t)
                    )
        correct = total = 0
        for words, gold in zip(sentences, tags):
            pred = self.tag(words)
            correct += sum(p == g for p, g in zip(pred, gold))
            total += len(gold)
        return correct / total

    # --- files ------------------------------------------------------------------------------

    def save(self, path):
        """Writes everything needed to tag in a new process to one file (see Tagger.load), a
        path or a binary file object. A file at path is replaced only when the new one is
        complete."""
        self._require_model()
        fn = self.feature_fn
        if _builtin(fn):
            features = {"kind": "builtin", "settings": fn.settings()}
        else:
            features = {"kind": "custom", "name": _function_name(fn)}
        meta = {
            "labels": list(self.labels),
            "prune": self.prune,
            "seed": self.seed,
            "features": features,
            "combiner": {"n": 1},
            "tagdict": self.tagdict.to_dict(),
            "history": self.history,
        }
        buf = _BytesSink()
        self.model.fc.dict.tofile_utf8(buf)
        modelfile.write_model(path, meta, buf.getvalue(), self.weights)

    @classmethod
    def load(cls, path, feature_fn=None):
        """A tagger saved with save() (a path or a binary file object). A model trained with
        a custom feature function needs the same function again (feature_fn=...); no code
        stored in the file is run."""
        meta, dictionary, weights = modelfile.read_model(path)
        path = modelfile.describe(path)
        try:
            features = meta["features"]
            kind = features["kind"]
            labels = [str(t) for t in meta["labels"]]
            prune = bool(meta["prune"])
            n = int(meta["combiner"]["n"])
        except (KeyError, TypeError, ValueError) as e:
            raise ValueError("%s: malformed model metadata (%s)" % (path, e)) from None
        if kind == "builtin":
            if feature_fn is not None:
                raise ValueError("%s was trained with the built-in feature templates; do not pass feature_fn" % (path,))
            try:
                feature_fn = TokenFeatures(**features["settings"])
            except (KeyError, TypeError) as e:
                raise ValueError("%s: malformed feature settings (%s)" % (path, e)) from None
        elif kind == "custom":
            name = str(features.get("name"))
            if feature_fn is None:
                raise ValueError(
                    "%s was trained with the feature function %s: pass it again, "
                    "Tagger.load(path, feature_fn=%s)" % (path, name, name.rsplit(".", 1)[-1])
                )
            if _function_name(feature_fn) != name:
                raise ValueError(
                    "%s was trained with the feature function %s, not %s" % (path, name, _function_name(feature_fn))
                )
        else:
            raise ValueError("%s: unknown kind of features %r" % (path, kind))
        self = cls(feature_fn=feature_fn, prune=prune, seed=meta.get("seed", 0))
        if n < 1:
            raise ValueError("%s: malformed model metadata (a combiner of order %d)" % (path, n))
        alphabet = StringAlphabet()
        try:
            alphabet.fromfile_utf8(dictionary)
        except ValueError as e:
            raise ValueError("%s: unreadable dictionary (%s)" % (path, e)) from None
        alphabet.growing = False
        labels = [sys.intern(t) for t in labels]
        try:
            _check_labels(labels)
        except ValueError as e:
            raise ValueError("%s: inconsistent model (%s)" % (path, e)) from None
        try:
            fc = FCombo(n, alphabet)
            model = mixing.unfloored(ChainModel(fc, labels))
            tagdict = TagDictionary.from_dict(meta["tagdict"])
        except (KeyError, TypeError) as e:
            raise ValueError("%s: inconsistent model (%s)" % (path, e)) from None
        if tuple(tagdict.labels) != tuple(labels):
            raise ValueError("%s: the tag dictionary's labels differ from the model's" % (path,))
        if len(weights) != model.n_features:
            raise ValueError("%s: %d weights for %d features" % (path, len(weights), model.n_features))
        self.tagdict, self.model, self.weights = tagdict, model, np.array(weights)
        self.history = meta.get("history", [])
        return self


class _BytesSink:
    """A binary file in memory (io.BytesIO would do, but this keeps the bytes without a copy)."""

    def __init__(self):
        self._parts = []

    def write(self, b):
        self._parts.append(bytes(b))
        return len(b)

    def getvalue(self):
        return b"".join(self._parts)


@contextlib.contextmanager
def _collector_paused():
    """Holds the cyclic garbage collector off while many objects without cycles are made
    (feature lists by the ten thousand): it would only walk every live object again and
    again. Objects are still freed by reference counting."""
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()


class _progress:
    """A tqdm bar over `total` items as a callback done -> None (a no-op when progress is off)."""

    def __init__(self, progress, total, desc, unit="sent"):
        self.bar = None
        if progress:
            from tqdm import tqdm

            self.bar = tqdm(total=total, desc=desc, unit=unit, disable=None, leave=False, file=sys.stderr)
        self.done = 0

    def __enter__(self):
        return self

    def __call__(self, done):
        if self.bar is not None:
            self.bar.update(done - self.done)
        self.done = done

    def __exit__(self, *exc):
        if self.bar is not None:
            self.bar.close()
