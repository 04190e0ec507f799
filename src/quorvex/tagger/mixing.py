"""Training a tagger by iterative parameter mixing, on Dask workers or in this process.

The driver builds the tag dictionary and freezes the combiner's dictionary over the whole
corpus (every key any shard needs), then hands the frozen combiner, the labels, the tag
dictionary and the feature function to every worker once. Each worker turns its shard into
compiled sentences once and keeps them; every round it trains a perceptron epoch on them from
the mixed state of the previous round (see :mod:`quorvex.distributed`).
"""

import functools
import random

from quorvex.distributed import train_ipm, train_ipm_local
from quorvex.feature import ChainModel, FCombo
from quorvex.learn import AvgPer

__all__ = ["averaged_weights", "frozen_model", "train_mixing", "unfloored"]


def unfloored(model):
    """model, its score floor lowered to -inf (returned): a tagger decodes sentences of any
    length, where the floor of -1000.0 that forest decoding keeps would fail every long
    sentence whose best path scores far below zero."""
    model.floor = float("-inf")
    return model


class _Shard:
    """Some training sentences on their way to a worker: one object, so that it travels as one
    pickle rather than item by item."""

    __slots__ = ("index", "sentences", "tags")

    def __init__(self, index, sentences, tags):
        self.index, self.sentences, self.tags = index, sentences, tags


class _Compiled:
    """A shard ready for training: its model and compiled sentences, kept on its worker."""

    __slots__ = ("index", "model", "seed", "sentences")

    def __init__(self, index, model, sentences, seed):
        self.index, self.model, self.sentences, self.seed = index, model, sentences, seed


def _prepare(shard, shared):
    """Runs once per shard on its worker: features, candidates and feature lookups resolved."""
    tagger, fc = shared
    labels = tagger.tagdict.labels
    own = {t: t for t in labels}
    model = unfloored(ChainModel(fc, labels))
    compiled = []
    for words, gold in zip(shard.sentences, shard.tags):
        gold = [own[t] for t in gold]
        compiled.append(model.compile(tagger.feature_lists(words), tagger._candidates(words), gold))
    return _Compiled(shard.index, model, compiled, tagger.seed)


def _train(learner, shard, epoch):
    """One perceptron epoch over a prepared shard, in an order fixed by seed, shard and epoch."""
    order = list(range(len(shard.sentences)))
    random.Random("%s/%d/%d" % (shard.seed, shard.index, epoch)).shuffle(order)
    shard.model.train_epoch(shard.sentences, learner, order=order)


def _registration_keys(tagger, sentences, tags):
    """The labels each position's features get keys for: as in serial training, the candidates
    and the gold label with a tag dictionary, the gold label alone without one."""
    if tagger.prune:
        cands = tagger.tagdict.candidates
        return [list(map(cands, words, gold)) for words, gold in zip(sentences, tags)]
    return [[(t,) for t in gold] for gold in tags]


def frozen_model(tagger, sentences, tags):
    """The chain model of the whole corpus, its dictionary frozen: the keys every shard needs,
    the same dictionary serial training builds. tagger: an untrained Tagger holding the features
    and tag dictionary to train with."""
    fc = FCombo(1)
    labels = tagger.tagdict.labels
    flists = [tagger.feature_lists(words) for words in sentences]
    ChainModel.register_keys(fc, labels, flists, _registration_keys(tagger, sentences, tags))
    return unfloored(ChainModel(fc, labels))


def train_mixing(tagger, model, sentences, tags, epochs, n_shards, client, on_epoch):
    """The averaged weights of model after `epochs` rounds of parameter mixing over n_shards
    shards (sentence k in shard k mod n_shards), on the workers of client or in this process
    when client is None. tagger (see frozen_model) and the model's combiner travel to every
    worker once. on_epoch(epoch, weights, stats) is called on the driver after every round."""
    shards = [_Shard(i, sentences[i::n_shards], tags[i::n_shards]) for i in range(n_shards)]

    def on_round(stats, state):
        on_epoch(stats.epoch + 1, averaged_weights(AvgPer.from_state(state)), stats)

    run = train_ipm_local if client is None else functools.partial(train_ipm, client)
    learner = run(
        shards,
        functools.partial(AvgPer, model.n_features),
        _train,
        epochs,
        prepare_shard=_prepare,
        shared=(tagger, model.fc),
        on_round=on_round,
    )
    return averaged_weights(learner)


def averaged_weights(learner):
    """The perceptron's averaged weights: the lazy averages caught up, then avgWeights / timestep."""
    learner.get_dense(0, learner.n_dimensions, testing=False)
    return learner.get_dense(0, learner.n_dimensions)
