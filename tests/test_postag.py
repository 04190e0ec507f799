"""The tagger example end to end on its generated corpus, and its pieces against the forest."""
import os
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))
import postag  # noqa: E402


def test_trains_and_tags_the_generated_corpus(tmp_path, capsys):
    acc = postag.main(["--epochs", "2", "--model", str(tmp_path / "m.npy")])
    out = capsys.readouterr().out
    assert acc > 0.95
    assert "reloaded with FileModel" in out and (tmp_path / "m.npy").exists()


def test_gradient_is_the_difference_of_the_path_vectors():
    sents = postag.generate_corpus(40, 3)
    tagger = postag.Tagger(postag.TagDictionary(sents))
    data = postag.prepare(tagger, sents, training=True)
    n = tagger.register([(f, c) for f, c, _ in data])
    rng = np.random.RandomState(0)
    for flists, cands, gold in data[:10]:
        pred, emissions = tagger.decode(flists, cands, rng.standard_normal(n))
        dense = np.zeros(n)
        for a, v in tagger.gradient(emissions, gold, pred):
            for k, x in v:
                dense[k] += a * x
        expected = np.zeros(n)
        for sign, path in ((1.0, gold), (-1.0, pred)):
            for v in tagger.path_vectors(emissions, path):
                for k, x in v:
                    expected[k] += sign * x
        assert np.allclose(dense, expected)


def test_decode_finds_the_best_path_among_the_candidates():
    sents = postag.generate_corpus(20, 5)
    tagger = postag.Tagger(postag.TagDictionary(sents))
    data = postag.prepare(tagger, sents, training=True)
    n = tagger.register([(f, c) for f, c, _ in data])
    w = np.random.RandomState(1).standard_normal(n)
    import itertools

    for flists, cands, _ in data[:5]:
        if np.prod([len(c) for c in cands]) > 5000:
            continue
        pred, emissions = tagger.decode(flists, cands, w)
        score = lambda path: sum(v.dotFull(w) for v in tagger.path_vectors(emissions, path))
        best = max(score(list(p)) for p in itertools.product(*cands))
        assert score(pred) == pytest.approx(best)


def test_tag_dictionary_candidates():
    sents = [[("the", "DET"), ("dog", "NOUN")]] * 5 + [[("the", "PRON"), ("runs", "VERB")]]
    td = postag.TagDictionary(sents, min_count=3, rare_count=2, min_kind=1)
    assert td.candidates("the") == ("DET", "PRON") and td.candidates("dog") == ("NOUN",)
    assert td.candidates("guns") == ("VERB",)  # an unseen word takes the tags of its kind
    assert td.candidates("dog", gold="VERB") == ("NOUN", "VERB")  # training adds the gold label
    everything = postag.TagDictionary(sents, prune=False)
    assert everything.candidates("the") == tuple(everything.labels) == ("DET", "NOUN", "PRON", "VERB")
