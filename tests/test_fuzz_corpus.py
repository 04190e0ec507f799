"""Replays the inputs that once found a fault (tests/fuzz_corpus/<target>/*.txt, each the
repr of a fuzz target's input), and runs every fuzz target on a few generated inputs so
that the harnesses themselves stay sound. ``python -m fuzz.run`` (scripts/fuzz.sh) is the
long run."""

import ast
import os
import sys

import pytest
from hypothesis import HealthCheck, given, settings

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

from fuzz.targets import TARGETS  # noqa: E402

CORPUS = os.path.join(ROOT, "tests", "fuzz_corpus")
CASES = sorted((t, f) for t in os.listdir(CORPUS) for f in os.listdir(os.path.join(CORPUS, t)))


@pytest.mark.parametrize("target,name", CASES)
def test_kept_inputs_replay_cleanly(target, name):
    with open(os.path.join(CORPUS, target, name)) as f:
        value = ast.literal_eval(f.read())
    TARGETS[target].check(value)


def test_every_corpus_folder_names_a_target():
    assert {t for t, _ in CASES} <= set(TARGETS)


@pytest.mark.parametrize("name", sorted(TARGETS))
def test_targets_run(name):
    t = TARGETS[name]
    given(t.strategy)(
        settings(max_examples=15, deadline=None, database=None, suppress_health_check=list(HealthCheck))(t.check)
    )()
