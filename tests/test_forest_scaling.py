"""Large CRF forests and the combiner's vector cache: many label pairs, the collector, changes
of the dictionary between calls."""

import gc

import numpy as np
import pytest

from quorvex.alphabet import StringAlphabet
from quorvex.feature import FCombo, FeatureList, decode_simple_crf, make_simple_crf


def tagger(labels, n_tok, seed=0):
    rng = np.random.RandomState(seed)
    fc = FCombo(1)
    sents = [["w=%d" % rng.randint(50), "s=%d" % rng.randint(5)] for _ in range(n_tok)]
    for feats in sents:
        fc.label_vectors(FeatureList(feats), labels)
    for a in labels + [None]:
        for b in labels:
            fc([("T%s-%s" % (a, b), 1.0), ("STOP", 1.0)])
    fc.dict.growing = False
    w = rng.standard_normal(len(fc.dict))
    return fc, sents, w


def viterbi(fc, sents, labels, w):
    """The best label sequence, scored from the dictionary's ids directly."""
    d = fc.dict

    def trans(a, b, last):
        return w[d["T%s-%s" % (a, b)]] + (w[d["STOP"]] if last else 0.0)

    best = {None: (0.0, [])}
    for k, feats in enumerate(sents):
        em = [v.dotFull(w) for v in fc.label_vectors(FeatureList(feats), labels)]
        last = k == len(sents) - 1
        best = {
            b: max((s + trans(a, b, last) + em[j], path + [b]) for a, (s, path) in best.items())
            for j, b in enumerate(labels)
        }
    return max(best.values())[1]


def decode(fc, sents, labels, w):
    positions = [fc.label_nodes(FeatureList(feats), labels) for feats in sents]
    return [c.label for c in decode_simple_crf(make_simple_crf(positions), w, fc)]


def test_more_label_pairs_than_a_small_table_holds():
    labels = ["L%02d" % i for i in range(50)]  # 2550 transition pairs, twice as many lists
    fc, sents, w = tagger(labels, 4)
    want = viterbi(fc, sents, labels, w)
    assert decode(fc, sents, labels, w) == want
    assert decode(fc, sents, labels, w) == want  # now from the kept vectors


@pytest.mark.parametrize("enabled", [True, False])
def test_decoding_with_the_collector_eager(enabled):
    labels = ["A", "B", "C", "D", "E"]
    fc, sents, w = tagger(labels, 300, seed=3)
    want = decode(fc, sents, labels, w)
    old = gc.get_threshold()
    was = gc.isenabled()
    try:
        gc.enable() if enabled else gc.disable()
        gc.set_threshold(1, 1, 1)
        assert decode(fc, sents, labels, w) == want
        assert gc.isenabled() == enabled
        positions = [fc.label_nodes(FeatureList(feats), labels) for feats in sents[:3]]
        stop = make_simple_crf(positions)
        decode_simple_crf(stop, w, fc)
        with pytest.raises(IndexError):
            decode_simple_crf(stop, w, fc)  # a forest is decoded once
        assert gc.isenabled() == enabled
    finally:
        gc.set_threshold(*old)
        gc.enable() if was else gc.disable()
    assert want == viterbi(fc, sents, labels, w)


def test_kept_vectors_follow_the_dictionary():
    d = StringAlphabet()
    d["a"], d["b"]
    d.growing = False
    fc = FCombo(1, d)
    item = ("z", 1.0)
    lst = [item]
    assert list(fc(lst)) == []
    assert list(fc(lst)) == []  # kept
    d.growing = True  # no word changes, but z is now added
    assert list(fc(lst)) == [(2, 1.0)]
    d.growing = False
    assert list(fc(lst)) == [(2, 1.0)]
    other = StringAlphabet()
    other["z"]
    fc.dict = other
    assert list(fc([item])) == [(0, 1.0)]
    lst[0] = ("a", 2.0)  # the same list with other items
    fc.dict = d
    assert list(fc(lst)) == [(0, 2.0)]
    assert list(fc([("a", 2.0)])) == [(0, 2.0)]  # by content
