"""Shared helpers of the benchmarks: the corpus, per-token feature templates, timing, tables."""

import os
import pathlib
import statistics
import time


def _find_data():
    """The shared corpora: $QUORVEX_DATA, else the nearest shared/data above the checkout."""
    if os.environ.get("QUORVEX_DATA"):
        return pathlib.Path(os.environ["QUORVEX_DATA"])
    for parent in pathlib.Path(__file__).resolve().parents:
        if (parent / "shared" / "data").is_dir():
            return parent / "shared" / "data"
    return pathlib.Path("/nonexistent")


DATA = _find_data() / "ud-english-lines"
TRAIN = DATA / "en_lines-ud-train.conllu"
DEV = DATA / "en_lines-ud-dev.conllu"


def read_conllu(path):
    """Sentences as lists of (word, upos) pairs."""
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
                if len(cols) >= 4 and cols[0].isdigit():
                    current.append((cols[1], cols[3]))
    if current:
        sentences.append(current)
    return sentences


def shape(word):
    out = []
    for ch in word:
        c = "X" if ch.isupper() else "x" if ch.islower() else "d" if ch.isdigit() else ch
        if not out or out[-1] != c:
            out.append(c)
    return "".join(out)


def token_features(words, i):
    """25 to 30 string features of token i: word, affixes, shape, flags and neighbours."""
    w = words[i]
    low = w.lower()
    f = ["w=" + low, "shape=" + shape(w), "len=%d" % min(len(w), 12)]
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
            f.append("shape%+d=%s" % (off, shape(words[j]) if 0 <= j < len(words) else nb))
    f.append("w-1w=%s|%s" % (words[i - 1].lower() if i else "<s>", low))
    f.append("ww+1=%s|%s" % (low, words[i + 1].lower() if i + 1 < len(words) else "</s>"))
    return f


def median_time(fn, repeats=3):
    times = []
    result = None
    for _ in range(repeats):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def table(headers, rows):
    widths = [max(len(str(h)), *(len(str(r[i])) for r in rows)) for i, h in enumerate(headers)]
    line = lambda cells: "| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths)) + " |"
    print(line(headers))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in rows:
        print(line(r))
