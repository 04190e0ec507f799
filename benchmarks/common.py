"""Shared helpers of the benchmarks: the corpus, per-token feature templates, timing, tables."""

import os
import pathlib
import statistics
import sys
import timeit

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))
from corpus import data_dir, read_conllu, token_features  # noqa: F401

DATA = data_dir() or pathlib.Path("/nonexistent")
TRAIN = DATA / "en_lines-ud-train.conllu"
DEV = DATA / "en_lines-ud-dev.conllu"


def _timer(fn):
    """A timeit.Timer of one call of fn. timeit turns the cyclic collector off while it times;
    it stays on here, as in real use (building forests is what it slows down)."""
    return timeit.Timer(fn, setup="gc.enable()")


def median_time(fn, repeats=3):
    """(median seconds of `repeats` calls of fn, the last call's result)."""
    results = []
    times = _timer(lambda: results.append(fn())).repeat(repeat=repeats, number=1)
    return statistics.median(times), results[-1]


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
    timers = [(name, _timer(fn)) for name, fn in runs]
    times = {name: [] for name, _ in runs}
    for _ in range(rounds):
        for name, timer in timers:
            times[name].append(timer.timeit(number=1))
    return times


def median_range(ts):
    """'median (min-max)' of a list of seconds, in milliseconds."""
    return "%.1f (%.1f-%.1f)" % (statistics.median(ts) * 1e3, min(ts) * 1e3, max(ts) * 1e3)
