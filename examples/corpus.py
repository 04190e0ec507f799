"""What the examples and benchmarks share: finding the shared corpora, reading CoNLL-U files,
and the word-shape and per-token feature templates."""

import os
import pathlib
import sys


def data_dir(name="ud-english-lines"):
    """The corpus folder: $QUORVEX_DATA/<name>, else <name> in the nearest shared/data folder
    above this file; None when there is none."""
    roots = [pathlib.Path(os.environ["QUORVEX_DATA"])] if os.environ.get("QUORVEX_DATA") else []
    roots += [p / "shared" / "data" for p in pathlib.Path(__file__).resolve().parents]
    for root in roots:
        if (root / name).is_dir():
            return root / name
    return None


def read_conllu_lines(lines, columns=(1, 3)):
    """Sentences as lists of tuples of the given (0-based) columns of every word line: form and
    UPOS by default. Multiword-token ranges and empty nodes are skipped. Columns other than the
    form are interned (tags and relations recur, and equal objects then are one object)."""
    sentences, current = [], []
    width = max(columns) + 1
    for line in lines:
        line = line.rstrip("\n")
        if not line:
            if current:
                sentences.append(current)
            current = []
        elif not line.startswith("#"):
            cols = line.split("\t")
            if len(cols) >= width and cols[0].isdigit():
                current.append(tuple(cols[c] if c == 1 else sys.intern(cols[c]) for c in columns))
    if current:
        sentences.append(current)
    return sentences


def read_conllu(path, columns=(1, 3)):
    with open(path, encoding="utf-8") as f:
        return read_conllu_lines(f, columns)


def word_shape(word):
    """Letters to X/x, digits to d, repeats collapsed: 'Fox-12' -> 'Xx-d'."""
    out = []
    for ch in word:
        c = "X" if ch.isupper() else "x" if ch.islower() else "d" if ch.isdigit() else ch
        if not out or out[-1] != c:
            out.append(c)
    return "".join(out)


def token_features(words, i):
    """The features of token i of a sentence, about 25 strings: word, length, prefixes and
    suffixes, shape and flags, the neighbouring words and their suffixes and shapes."""
    w = words[i]
    low = w.lower()
    f = ["w=" + low, "shape=" + word_shape(w), "len=%d" % min(len(w), 12)]
    f += ["p%d=%s" % (k, low[:k]) for k in (1, 2, 3, 4)]
    f += ["s%d=%s" % (k, low[-k:]) for k in (1, 2, 3, 4)]
    if w[:1].isupper():
        f.append("title")
    if w.isupper():
        f.append("upper")
    if any(c.isdigit() for c in w):
        f.append("digit")
    if "-" in w:
        f.append("hyphen")
    for off in (-2, -1, 1, 2):
        j = i + off
        nb = words[j].lower() if 0 <= j < len(words) else ("<s>" if j < 0 else "</s>")
        f.append("w%+d=%s" % (off, nb))
        if abs(off) == 1:
            f.append("s3%+d=%s" % (off, nb[-3:]))
            f.append("shape%+d=%s" % (off, word_shape(words[j]) if 0 <= j < len(words) else nb))
    f.append("w-1w=%s|%s" % (words[i - 1].lower() if i else "<s>", low))
    f.append("ww+1=%s|%s" % (low, words[i + 1].lower() if i + 1 < len(words) else "</s>"))
    return f
