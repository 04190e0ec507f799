"""Shared helpers of the benchmarks: the corpus, per-token feature templates, timing, tables."""

import os
import pathlib
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))
from corpus import data_dir, read_conllu, token_features, word_shape as shape  # noqa: E402,F401

DATA = data_dir() or pathlib.Path("/nonexistent")
TRAIN = DATA / "en_lines-ud-train.conllu"
DEV = DATA / "en_lines-ud-dev.conllu"


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
