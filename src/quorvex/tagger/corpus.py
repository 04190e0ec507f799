"""Reading CoNLL-U corpora, and the corpus bundled with the package."""

import importlib.resources
import io
import lzma
import os
import sys

__all__ = ["BUNDLED_CORPUS", "bundled_corpus", "read_conllu", "split_corpus"]

BUNDLED_CORPUS = "UD English-EWT, development section (CC BY-SA 4.0)"

_FIELDS = ("id", "form", "lemma", "upos", "xpos", "feats", "head", "deprel", "deps", "misc")


def read_conllu(source, columns=("form", "upos")):
    """The sentences of a CoNLL-U file as lists of tuples of the given columns (by name, as in
    the CoNLL-U header: form, lemma, upos, xpos, head, deprel, ...), one tuple per word;
    multiword-token ranges and empty nodes are left out. `source` is a path (UTF-8, with or
    without a byte-order mark) or an open text file. Values other than the form are interned
    (tags recur, and equal ones then are one object). A word line without one of the columns
    asked for is a ValueError naming the sentence and word. Parsing is done by the `conllu`
    package."""
    import conllu

    for c in columns:
        if c not in _FIELDS:
            raise ValueError("unknown CoNLL-U column %r (one of %s)" % (c, ", ".join(_FIELDS)))
    if isinstance(source, (str, os.PathLike)):
        with open(source, encoding="utf-8-sig") as f:
            try:
                return read_conllu(f, columns)
            except UnicodeDecodeError as e:
                raise ValueError(
                    "%s is not UTF-8 text (byte %d: %s)" % (os.fspath(source), e.start, e.reason)
                ) from None
            except ValueError as e:
                raise ValueError("%s: %s" % (os.fspath(source), e)) from None
    fields = _FIELDS[: max(_FIELDS.index(c) for c in columns) + 1]
    intern = sys.intern
    out = []
    try:
        for k, sent in enumerate(conllu.parse_incr(source, fields=fields), 1):
            rows = []
            for tok in sent:
                if not isinstance(tok["id"], int):
                    continue
                row = []
                for c in columns:
                    v = tok[c]
                    if v is None:
                        raise ValueError("sentence %d, word %d (%r) has no %s column" % (k, tok["id"], tok["form"], c))
                    row.append(v if c == "form" else intern(v) if isinstance(v, str) else v)
                rows.append(tuple(row))
            if rows:
                out.append(rows)
    except conllu.exceptions.ParseException as e:
        raise ValueError("not a CoNLL-U file: %s" % e) from None
    return out


def bundled_corpus(columns=("form", "upos")):
    """The sentences of the corpus shipped with the package (see BUNDLED_CORPUS)."""
    data = importlib.resources.files("quorvex.tagger").joinpath("data").joinpath("en_ewt-ud-dev.conllu.xz").read_bytes()
    return read_conllu(io.StringIO(lzma.decompress(data).decode("utf-8")), columns)


def split_corpus(sentences, held_out=10):
    """(training, held-out): every `held_out`-th sentence is held out, the rest trains."""
    train = [s for i, s in enumerate(sentences) if i % held_out != held_out - 1]
    test = [s for i, s in enumerate(sentences) if i % held_out == held_out - 1]
    return train, test
