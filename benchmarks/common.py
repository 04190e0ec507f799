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


def alternating_times(runs, rounds=5):
    """Times every function of `runs` (a list of (name, fn)) once per round, in turn, for
    `rounds` rounds, so that a noisy stretch of the shared machine hits all of them alike.
    Returns {name: [seconds per round]}."""
    times = {name: [] for name, _ in runs}
    for _ in range(rounds):
        for name, fn in runs:
            start = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - start)
    return times


def median_range(ts):
    """'median (min-max)' of a list of seconds, in milliseconds."""
    return "%.1f (%.1f-%.1f)" % (statistics.median(ts) * 1e3, min(ts) * 1e3, max(ts) * 1e3)
