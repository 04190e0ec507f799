"""quorvex.tagger: training, tagging, model files and the command line."""

import io
import os
import pickle
import random
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import quorvex.tagger.modelfile as modelfile
from quorvex.tagger import TagDictionary, Tagger, TokenFeatures, bundled_corpus, read_conllu, split_corpus, word_shape
from quorvex.tagger.cli import main as cli


def generated_corpus(n, seed):
    """A small generated language: clause patterns, tag-typical suffixes, ambiguous stems."""
    rng = random.Random(seed)
    closed = {
        "DET": ["the", "a", "this", "every"],
        "ADP": ["in", "on", "with", "near"],
        "PRON": ["she", "they", "it"],
        "PUNCT": [".", ","],
    }
    suffix = {"NOUN": ["ion", "er", "ment"], "VERB": ["ates", "izes", "ed"], "ADJ": ["ous", "ive"]}
    syll = ["ka", "lo", "mi", "ser", "dun", "pra", "vel", "tor"]
    stems = ["".join(rng.choice(syll) for _ in range(rng.randint(1, 3))) for _ in range(150)]
    lexicon = {t: [s + rng.choice(sufs) for s in stems] for t, sufs in suffix.items()}
    lexicon["NOUN"] += stems[:20]
    lexicon["VERB"] += stems[:20]  # a bare stem is both
    patterns = ["DET ADJ NOUN VERB DET NOUN PUNCT", "PRON VERB ADP DET NOUN PUNCT", "DET NOUN VERB PUNCT"]
    words, tags = [], []
    for _ in range(n):
        ts = rng.choice(patterns).split()
        words.append([rng.choice(closed[t]) if t in closed else rng.choice(lexicon[t]) for t in ts])
        tags.append(ts)
    return words, tags


@pytest.fixture(scope="module")
def trained():
    words, tags = generated_corpus(600, 1)
    return Tagger(seed=3).fit(words, tags, epochs=3, progress=False), generated_corpus(150, 2)


def test_learns_the_generated_language(trained):
    tagger, (words, tags) = trained
    assert tagger.score(words, tags) > 0.95
    assert [len(h) for h in tagger.history] and tagger.history[-1]["epoch"] == 3
    pred = tagger.predict(words[:5])
    assert [len(p) for p in pred] == [len(w) for w in words[:5]]
    assert all(isinstance(t, str) for p in pred for t in p)
    assert tagger.predict([[]]) == [[]]
    assert set(tagger.labels) == {"DET", "ADJ", "NOUN", "VERB", "PUNCT", "PRON", "ADP"}


def test_every_label_as_a_candidate():
    words, tags = generated_corpus(300, 4)
    tagger = Tagger(prune=False).fit(words, tags, epochs=3, progress=False)
    test_words, test_tags = generated_corpus(100, 5)
    assert tagger.score(test_words, test_tags) > 0.9
    assert tagger.tagdict.candidates("zzz") == tagger.labels


def test_training_is_reproducible_and_dev_is_scored():
    words, tags = generated_corpus(200, 6)
    a = Tagger(seed=5).fit(words, tags, epochs=2, dev=(words[:20], tags[:20]), progress=False)
    b = Tagger(seed=5).fit(words, tags, epochs=2, progress=False)
    assert a.weights.tobytes() == b.weights.tobytes()
    assert "dev_accuracy" in a.history[0] and "dev_accuracy" not in b.history[0]


def test_bundled_corpus_trains_a_useful_tagger():
    sentences = bundled_corpus()
    assert len(sentences) == 2001 and sum(map(len, sentences)) == 25147
    train, test = split_corpus(sentences)
    assert len(train) + len(test) == 2001 and len(test) == 200
    split = lambda ss: ([[w for w, _ in s] for s in ss], [[t for _, t in s] for s in ss])
    tagger = Tagger().fit(*split(train), epochs=3, progress=False)
    assert tagger.score(*split(test)) > 0.88


# --- model files ---------------------------------------------------------------------------


def test_save_and_load_in_a_fresh_process(trained, tmp_path):
    tagger, (words, _) = trained
    path = tmp_path / "m.qvt"
    tagger.save(path)
    expected = tagger.predict(words[:30])
    script = textwrap.dedent("""
        import json, sys
        from quorvex.tagger import Tagger
        t = Tagger.load(sys.argv[1])
        print(json.dumps(t.predict(json.loads(sys.stdin.read()))))
    """)
    import json

    r = subprocess.run(
        [sys.executable, "-c", script, str(path)],
        input=json.dumps(words[:30]),
        capture_output=True,
        text=True,
        check=True,
    )
    assert json.loads(r.stdout) == expected
    again = Tagger.load(path)
    assert again.weights.tobytes() == tagger.weights.tobytes() and again.labels == tagger.labels
    assert again.feature_fn == tagger.feature_fn and again.history == tagger.history


def test_bad_model_files_are_refused(trained, tmp_path):
    tagger, _ = trained
    good = tmp_path / "good.qvt"
    tagger.save(good)
    data = good.read_bytes()
    cases = {
        "truncated": data[: len(data) // 2],
        "empty": b"",
        "foreign": b"PK\x03\x04" + os.urandom(200),
        "text": b"quorvex-alphabet 1\n0\n",
    }
    for name, blob in cases.items():
        p = tmp_path / name
        p.write_bytes(blob)
        with pytest.raises(ValueError):
            Tagger.load(p)
    np.savez(tmp_path / "other.npz", weights=np.zeros(3))
    with pytest.raises(ValueError, match="lacks"):
        Tagger.load(tmp_path / "other.npz")
    meta, dictionary, weights = modelfile.read_model(good)
    for change, match in (
        ({"version": 99}, "version 99"),
        ({"format": "x"}, "not a quorvex"),
        ({"features": {"kind": "magic"}}, "unknown kind"),
    ):
        p = tmp_path / "changed.npz"
        m = dict(meta, **change)
        np.savez(
            p,
            meta=np.frombuffer(__import__("json").dumps(m).encode(), np.uint8),
            dictionary=np.frombuffer(dictionary.getvalue(), np.uint8),
            weights=weights,
        )
        with pytest.raises(ValueError, match=match):
            Tagger.load(p)
    modelfile.write_model(tmp_path / "short.qvt", meta, dictionary.getvalue(), weights[:-1])
    with pytest.raises(ValueError, match="weights for"):
        Tagger.load(tmp_path / "short.qvt")
    with pytest.raises(FileNotFoundError):
        Tagger.load(tmp_path / "missing.qvt")


def repacked(data, **entries):
    """The model archive `data` with some entries' raw .npy bytes replaced."""
    import zipfile

    out = io.BytesIO()
    with zipfile.ZipFile(io.BytesIO(data)) as z, zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as w:
        for info in z.infolist():
            name = info.filename[: -len(".npy")]
            w.writestr(info.filename, entries.get(name, z.read(info)))
    return out.getvalue()


def npy(array=None, header=None):
    f = io.BytesIO()
    if header is None:
        np.save(f, array)
    else:
        np.lib.format.write_array_header_1_0(f, header)
        f.write(b"\0" * 64)
    return f.getvalue()


def test_damaged_model_files_are_refused_before_they_are_read(trained):
    import json
    import tracemalloc

    tagger, _ = trained
    f = io.BytesIO()
    tagger.save(f)
    good = f.getvalue()
    meta, dictionary, weights = modelfile.read_model(io.BytesIO(good))
    huge = {"descr": "<f8", "fortran_order": False, "shape": (10**14,)}
    cases = [
        # an entry claiming far more values than it holds
        ({"weights": npy(header=huge)}, "claims"),
        ({"dictionary": npy(header=dict(huge, descr="|u1"))}, "claims"),
        # many more weights than dictionary words, compressed to little (refused before the
        # 40 MB are unpacked)
        ({"weights": npy(np.zeros(5_000_000))}, "5000000 weights for %d dictionary words" % len(weights)),
        ({"weights": npy(np.where(np.arange(len(weights)) % 2, np.nan, weights))}, "not all finite"),
        ({"weights": npy(np.full(len(weights), np.inf))}, "not all finite"),
        ({"dictionary": npy(np.frombuffer(b"foreign", np.uint8))}, "word count"),
    ]
    for labels in (["DET", "NOUN^x"], ["None", "T", "-", "DET-NOUN"]):
        m = dict(meta, labels=labels)
        m["tagdict"] = dict(meta["tagdict"], labels=labels)
        cases.append(({"meta": npy(np.frombuffer(json.dumps(m).encode(), np.uint8))}, "inconsistent model"))
    for entries, match in cases:
        blob = repacked(good, **entries)
        tracemalloc.start()
        try:
            with pytest.raises(ValueError, match=match) as e:
                Tagger.load(io.BytesIO(blob))
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
        assert peak < 20_000_000, (match, peak)
        assert "BytesIO" not in str(e.value)


def test_a_failed_save_keeps_the_old_model(trained, tmp_path, monkeypatch):
    tagger, _ = trained
    path = tmp_path / "m.qvt"
    tagger.save(path)
    before = path.read_bytes()

    def broken(*args, **kwargs):
        args[0].write(b"partial")
        raise OSError("disk full")

    monkeypatch.setattr(modelfile.np, "savez_compressed", broken)
    with pytest.raises(OSError, match="disk full"):
        tagger.save(path)
    assert path.read_bytes() == before and os.listdir(tmp_path) == ["m.qvt"]


def test_an_interrupted_fit_keeps_the_trained_tagger(trained, tmp_path, monkeypatch):
    # Ctrl-C arrives while a second fit runs: the tagger must still tag with, and save, the
    # model it had, never a model without weights.
    words, tags = generated_corpus(100, 4)
    tagger = Tagger(seed=3).fit(words, tags, epochs=1, progress=False)
    before = tagger.predict(words[:20])
    model, weights = tagger.model, tagger.weights

    def interrupted(self, done):
        raise KeyboardInterrupt

    monkeypatch.setattr("quorvex.tagger.model._progress.__call__", interrupted)
    with pytest.raises(KeyboardInterrupt):
        tagger.fit(*generated_corpus(300, 5), epochs=2, progress=False)
    fresh = Tagger()
    with pytest.raises(KeyboardInterrupt):
        fresh.fit(words, tags, progress=False)
    monkeypatch.undo()
    with pytest.raises(ValueError, match="not trained"):
        fresh.save(tmp_path / "m.qvt")
    assert tagger.model is model and tagger.weights is weights
    assert tagger.predict(words[:20]) == before
    tagger.save(tmp_path / "m.qvt")
    assert Tagger.load(tmp_path / "m.qvt").predict(words[:20]) == before


def test_long_sentences_with_negative_scores_are_tagged(trained, tmp_path):
    # Every weight negative: the best path of a long sentence scores far below -1000, which
    # forest decoding refuses; the tagger still tags (and trains on) such sentences.
    tagger, (words, tags) = trained
    t = Tagger.load(_saved(tagger, tmp_path))
    t.weights = -np.abs(t.weights) - 1.0
    long = [w for s in words[:40] for w in s]
    assert len(long) > 150
    assert t.model.floor == float("-inf")
    assert len(t.tag(long)) == len(long)
    t.model.floor = -1000.0
    with pytest.raises(AssertionError, match="-1000.0"):
        t.tag(long)
    w2, t2 = generated_corpus(100, 6)
    w2.append(["near"] * 300)
    t2.append(["ADP"] * 300)
    assert Tagger(seed=1).fit(w2, t2, epochs=2, progress=False).tag(["near"] * 300) == ["ADP"] * 300


def _saved(tagger, tmp_path):
    path = tmp_path / "saved.qvt"
    tagger.save(path)
    return path


def test_saving_keeps_permissions_and_links(trained, tmp_path):
    tagger, _ = trained
    path = tmp_path / "m.qvt"
    old = os.umask(0o022)
    try:
        tagger.save(path)
    finally:
        os.umask(old)
    assert path.stat().st_mode & 0o777 == 0o644
    path.chmod(0o640)
    tagger.save(path)
    assert path.stat().st_mode & 0o777 == 0o640
    link = tmp_path / "link.qvt"
    link.symlink_to(path)
    tagger.save(link)
    assert link.is_symlink() and Tagger.load(link).labels == tagger.labels
    with pytest.raises(IsADirectoryError):
        tagger.save(tmp_path)
    assert sorted(os.listdir(tmp_path)) == ["link.qvt", "m.qvt"]


def shout_features(words, i):
    return ["w=" + words[i].upper(), "first" if i == 0 else "rest"]


def other_features(words, i):
    return ["w=" + words[i]]


def test_custom_features_must_be_passed_again(tmp_path):
    words, tags = generated_corpus(100, 7)
    tagger = Tagger(feature_fn=shout_features).fit(words, tags, epochs=2, progress=False)
    path = tmp_path / "custom.qvt"
    tagger.save(path)
    with pytest.raises(ValueError, match="shout_features"):
        Tagger.load(path)
    with pytest.raises(ValueError, match="not .*other_features"):
        Tagger.load(path, feature_fn=other_features)
    assert Tagger.load(path, feature_fn=shout_features).predict(words[:5]) == tagger.predict(words[:5])
    tagger2 = Tagger(feature_fn=TokenFeatures(affixes=2, window=1)).fit(words, tags, epochs=1, progress=False)
    tagger2.save(path)
    assert Tagger.load(path).feature_fn == TokenFeatures(affixes=2, window=1)
    with pytest.raises(ValueError, match="built-in"):
        Tagger.load(path, feature_fn=shout_features)

    # A subclass of the built-in templates may compute other features: it is named in the
    # file like any custom function, never saved as the built-in templates.
    class Reversed(TokenFeatures):
        def sentence(self, words, positions=None):
            return [["rev=" + w[::-1]] for w in words]

    tagger3 = Tagger(feature_fn=Reversed(), prune=False).fit(words, tags, epochs=2, progress=False)
    tagger3.save(path)
    with pytest.raises(ValueError, match="Reversed"):
        Tagger.load(path)
    assert Tagger.load(path, feature_fn=Reversed()).predict(words[:5]) == tagger3.predict(words[:5])


# --- bad input ------------------------------------------------------------------------------


def test_bad_training_and_evaluation_input(trained):
    tagger, _ = trained
    t = Tagger()
    with pytest.raises(ValueError, match="sentence 1 is empty"):
        t.fit([["a"], []], [["X"], []])
    with pytest.raises(ValueError, match="2 tokens but 1 tags"):
        t.fit([["a", "b"]], [["X"]])
    with pytest.raises(ValueError, match="2 training sentences but 1"):
        t.fit([["a"], ["b"]], [["X"]])
    with pytest.raises(TypeError, match="token 1 .* int"):
        t.fit([["a", 3]], [["X", "Y"]])
    with pytest.raises(TypeError, match="single string"):
        t.fit([["a"]], ["X"])
    with pytest.raises(TypeError):
        t.fit("a b", "X Y")
    with pytest.raises(ValueError, match="epochs"):
        t.fit([["a"]], [["X"]], epochs=0)
    with pytest.raises(ValueError, match="not trained"):
        t.predict([["a"]])
    assert t.model is None
    with pytest.raises(ValueError, match="did not see"):
        tagger.score([["the", "dog"]], [["DET", "INTJ"]])
    with pytest.raises(TypeError, match="single str"):
        tagger.tag("the dog")
    with pytest.raises(TypeError):
        tagger.predict("the dog")
    with pytest.raises(TypeError):
        Tagger(feature_fn="words")
    with pytest.raises(TypeError, match="pair"):
        t.fit([["a"]], [["X"]], dev=([["a"]],))
    for epochs in (True, 2.5, "2"):
        with pytest.raises(ValueError, match="epochs"):
            t.fit([["a"]], [["X"]], epochs=epochs, progress=False)
    assert Tagger().fit([["a"]], [["X"]], epochs=np.int64(2), progress=False).history[-1]["epoch"] == 2


class Tag(str):
    pass


def test_tags_that_would_share_keys_are_refused():
    # A model's transition key is "T<previous>-<tag>" (None for the start) and its emission
    # keys "<tag>^<feature>": tags that spell the same key would share weights.
    for labels, match in (
        (["A-B", "C", "A", "B-C"], "share the key 'TA-B-C'"),
        (["None", "A"], "the start -> 'A' and 'None' -> 'A'"),
        (["A^b", "A"], "'A\\^b' contains"),
    ):
        with pytest.raises(ValueError, match=match):
            Tagger().fit([["x"] * len(labels)], [labels], progress=False)
    # Tags such as "-LRB-" that share no key are fine, and str subclasses are plain tags.
    t = Tagger().fit([["(", "x", ")"]] * 3, [[Tag("-LRB-"), "X", "-RRB-"]] * 3, progress=False)
    assert t.predict([["(", "x", ")"]]) == [["-LRB-", "X", "-RRB-"]]


def test_custom_feature_output_is_checked():
    cases = (
        (lambda w, i: [("len", float("inf")), "w=" + w[i]], ValueError, "'len' the value inf"),
        (lambda w, i: [("len", float("nan"))], ValueError, "finite"),
        (lambda w, i: [b"ab"], TypeError, "b'ab'"),
        (lambda w, i: [("n", "1")], TypeError, "not a number"),
        (lambda w, i: (f for f in ["w"]), TypeError, "generator"),
    )
    for fn, error, match in cases:
        with pytest.raises(error, match=match):
            Tagger(fn).fit([["a", "b"]] * 2, [["X", "Y"]] * 2, progress=False)


# --- pieces ---------------------------------------------------------------------------------


def test_tag_dictionary_candidates():
    words = [["the", "dog"]] * 5 + [["the", "runs"]]
    tags = [["DET", "NOUN"]] * 5 + [["PRON", "VERB"]]
    td = TagDictionary(words, tags, min_count=3, rare_count=2, min_kind=1)
    assert td.candidates("the") == ("DET", "PRON") and td.candidates("dog") == ("NOUN",)
    assert td.candidates("guns") == ("VERB",)  # an unseen word takes the tags of its kind
    assert td.candidates("dog", gold="VERB") == ("NOUN", "VERB")  # training adds the gold label
    assert TagDictionary.from_dict(td.to_dict()).to_dict() == td.to_dict()
    everything = TagDictionary(words, tags, prune=False)
    assert everything.candidates("the") == everything.labels == ("DET", "NOUN", "PRON", "VERB")
    with pytest.raises(ValueError):
        TagDictionary.from_dict({"labels": ["A"], "prune": True, "open": ["B"], "known": {}, "by_kind": []})


def test_token_features():
    f = TokenFeatures()
    words = ["The", "Fox-12", "ran"]
    assert f.sentence(words) == [f(words, i) for i in range(3)]
    feats = f(words, 1)
    assert {
        "w=fox-12",
        "shape=Xx-d",
        "len=6",
        "p2=fo",
        "s3=-12",
        "title",
        "digit",
        "hyphen",
        "w-1=the",
        "w+2=</s>",
        "s3+1=ran",
        "shape-1=Xx",
        "w-1w=the|fox-12",
    } <= set(feats)
    assert len(feats) == len(set(feats)) == 24
    assert TokenFeatures(affixes=1, window=0)(["Dog"], 0) == ["w=dog", "shape=Xx", "len=3", "p1=d", "s1=g", "title"]
    assert word_shape("Fox-12") == "Xx-d" and word_shape("") == ""
    with pytest.raises(ValueError):
        TokenFeatures(window=-1)


def test_token_features_cache():
    """Features are kept per word type: the lists handed out are the caller's to change, a
    full cache starts afresh with the same results, and a pickle carries only the settings."""
    words = ["The", "fox", "saw", "the", "Fox", "", "fox-12"]
    expected = TokenFeatures().sentence(words)
    f = TokenFeatures()
    first = f.sentence(words)
    for feats in first:
        feats.clear()
    assert f.sentence(words) == expected
    small = TokenFeatures()
    small.CACHE_LIMIT = 2
    assert small.sentence(words) == expected == [small(words, i) for i in range(len(words))]
    assert len(small._types) <= 2
    g = pickle.loads(pickle.dumps(TokenFeatures(affixes=2, window=1)))
    assert g == TokenFeatures(affixes=2, window=1) and g._types == {}
    assert g.sentence(words) == TokenFeatures(affixes=2, window=1).sentence(words)


def test_read_conllu(tmp_path):
    text = (
        "# sent_id = 1\n1-2\tdon't\t_\t_\t_\t_\t_\t_\t_\t_\n1\tdo\tdo\tAUX\t_\t_\t0\troot\t_\t_\n"
        "2\tn't\tnot\tPART\t_\t_\t1\tadvmod\t_\t_\n2.1\tx\t_\t_\t_\t_\t_\t_\t_\t_\n\n"
    )
    assert read_conllu(io.StringIO(text)) == [[("do", "AUX"), ("n't", "PART")]]
    assert read_conllu(io.StringIO(text), ("form", "head", "deprel")) == [[("do", 0, "root"), ("n't", 1, "advmod")]]
    with pytest.raises(ValueError, match="unknown CoNLL-U column"):
        read_conllu(io.StringIO(text), ("word",))


# --- the command line -------------------------------------------------------------------------


def write_conllu(path, words, tags):
    with open(path, "w", encoding="utf-8") as f:
        for ws, ts in zip(words, tags):
            for i, (w, t) in enumerate(zip(ws, ts), 1):
                f.write("%d\t%s\t_\t%s\t_\t_\t_\t_\t_\t_\n" % (i, w, t))
            f.write("\n")


def test_command_line(tmp_path, monkeypatch, capsys):
    words, tags = generated_corpus(200, 8)
    train, dev = tmp_path / "train.conllu", tmp_path / "dev.conllu"
    write_conllu(train, words[:150], tags[:150])
    write_conllu(dev, words[150:], tags[150:])
    model = tmp_path / "m.qvt"
    out = io.StringIO()
    assert (
        cli(["train", "--train", str(train), "--dev", str(dev), "--epochs", "2", "--model", str(model), "--quiet"], out)
        == 0
    )
    text = out.getvalue()
    assert "epoch 2: training accuracy" in text and "dev accuracy" in text and model.exists()
    out = io.StringIO()
    assert (
        cli(
            [
                "train",
                "--train",
                str(train),
                "--dev",
                str(dev),
                "--epochs",
                "2",
                "--model",
                str(tmp_path / "mixed.qvt"),
                "--quiet",
                "--shards",
                "2",
            ],
            out,
        )
        == 0
    )
    assert "epoch 2: dev accuracy" in out.getvalue() and "round" in out.getvalue()

    out = io.StringIO()
    monkeypatch.setattr(sys, "stdin", io.StringIO(" ".join(words[0]) + "\n\n" + " ".join(words[1]) + "\n"))
    assert cli(["tag", "--model", str(model), "--quiet"], out) == 0
    lines = out.getvalue().split("\n")
    assert lines[0] == " ".join("%s/%s" % wt for wt in zip(words[0], tags[0])) and lines[1] == ""

    out = io.StringIO()
    assert cli(["tag", str(dev), "--model", str(model), "--quiet"], out) == 0
    tagged = read_conllu(io.StringIO(out.getvalue()))
    assert [[w for w, _ in s] for s in tagged] == words[150:]
    assert sum(t == g for s, gs in zip(tagged, tags[150:]) for (_, t), g in zip(s, gs)) > 0.9 * sum(
        map(len, tags[150:])
    )

    out = io.StringIO()
    assert cli(["eval", str(dev), "--model", str(model), "--quiet"], out) == 0
    assert "accuracy" in out.getvalue() and "| NOUN |" in out.getvalue()

    assert cli(["tag", "--model", str(tmp_path / "nothing.qvt")], io.StringIO()) == 1
    assert "quorvex-tag" in capsys.readouterr().err
    with pytest.raises(SystemExit):
        cli(["train", "--dev", str(dev)], io.StringIO())


def test_command_line_input_faults(trained, tmp_path, capsys):
    tagger, _ = trained
    model = _saved(tagger, tmp_path)
    line = "%d\t%s\t_\t%s\t_\t_\t0\troot\t_\t_\n"
    # Tagging CoNLL-U keeps every line as it was but the UPOS column: free comments, ranges
    # and empty nodes included; a byte-order mark is no part of the first word.
    text = (
        "\ufeff# newdoc\n# Source: page 3, checked by hand\n# sent_id = a1\n"
        + line % (1, "the", "_")
        + "1-2\tdon't\t_\t_\t_\t_\t_\t_\t_\t_\n"
        + line % (2, "dog", "X")
        + "2.1\tgone\t_\t_\t_\t_\t_\t_\t_\t_\n\n# a comment alone\n"
    )
    src = tmp_path / "in.conllu"
    src.write_text(text, encoding="utf-8")
    out = io.StringIO()
    assert cli(["tag", str(src), "--model", str(model), "--quiet"], out) == 0
    got = out.getvalue().split("\n")
    assert got[:3] == ["# newdoc", "# Source: page 3, checked by hand", "# sent_id = a1"]
    assert got[3].split("\t") == ["1", "the", "_", "DET", "_", "_", "0", "root", "_", "_"]
    assert got[4].startswith("1-2\tdon't\t_\t_") and got[6].startswith("2.1\tgone\t_\t_")
    assert got[7:] == ["", "# a comment alone", "", ""]
    # Corpora that cannot train or be scored say where, through the command's own message.
    bad = tmp_path / "bad.conllu"
    train_bad = ["train", "--train", str(bad), "--model", str(tmp_path / "b.qvt"), "--quiet"]
    eval_bad = ["eval", str(bad), "--model", str(model), "--quiet"]
    bad.write_text(line % (1, "The", "DET") + "2\tdog\tdog\n\n", encoding="utf-8")
    for argv in (train_bad, eval_bad):
        assert cli(argv, io.StringIO()) == 1
        assert "bad.conllu: sentence 1, word 2 ('dog') has no upos column" in capsys.readouterr().err
    bad.write_text(line % (1, "The", "_") + "\n", encoding="utf-8")
    for argv in (train_bad, eval_bad):
        with pytest.raises(SystemExit, match="word 1 \\('The'\\) has no UPOS tag"):
            cli(argv, io.StringIO())
    (tmp_path / "latin1.conllu").write_bytes((line % (1, "caf\xe9", "NOUN")).encode("latin-1") + b"\n")
    assert cli(["eval", str(tmp_path / "latin1.conllu"), "--model", str(model), "--quiet"], io.StringIO()) == 1
    assert "latin1.conllu is not UTF-8 text" in capsys.readouterr().err
    # A model that could not be saved is found out before training, naming the path given.
    out = io.StringIO()
    with pytest.raises(SystemExit, match="nowhere/m.qvt: the directory .* does not exist"):
        cli(["train", "--model", str(tmp_path / "nowhere" / "m.qvt"), "--quiet"], out)
    assert out.getvalue() == ""


def test_console_script_trains_on_the_bundled_corpus(tmp_path):
    r = subprocess.run(
        [
            sys.executable,
            "-m",
            "quorvex.tagger",
            "train",
            "--epochs",
            "1",
            "--quiet",
            "--model",
            str(tmp_path / "b.qvt"),
        ],
        capture_output=True,
        text=True,
        check=True,
    )
    assert "held-out accuracy" in r.stdout and "The/DET" in r.stdout
