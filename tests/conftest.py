"""Shared test helpers: the data folder, sparse vectors from pairs, a dictionary that takes the
Python-level lookup path, and the collection of unraisable reports.

Test modules import the helpers with ``from conftest import ...``; the fixtures need no import."""

import contextlib
import os
import pathlib
import sys

import pytest

from quorvex.alphabet import StringAlphabet
from quorvex.sparsmat import SparseVectorD


def _find_data():
    """The shared corpora: $QUORVEX_DATA, else the nearest shared/data above the checkout."""
    if os.environ.get("QUORVEX_DATA"):
        return pathlib.Path(os.environ["QUORVEX_DATA"])
    for parent in pathlib.Path(__file__).resolve().parents:
        if (parent / "shared" / "data").is_dir():
            return parent / "shared" / "data"
    return pathlib.Path("/nonexistent")


DATA = _find_data()
UD_LINES = DATA / "ud-english-lines"


@pytest.fixture
def ud_train():
    """Path of the UD LinES training file; the test is skipped when the data folder is absent."""
    path = UD_LINES / "en_lines-ud-train.conllu"
    if not path.exists():
        pytest.skip("shared data folder not present")
    return path


def sv(*pairs):
    """A SparseVectorD of the (index, value) pairs."""
    return SparseVectorD(list(pairs))


class SlowAlphabet(StringAlphabet):
    """Overrides the lookup, which sends the combiner down its Python-level path."""

    def __getitem__(self, key):
        return StringAlphabet.__getitem__(self, key)


@contextlib.contextmanager
def unraisable_reports():
    """Collects the unraisable reports made inside the block: (exception type, message, object)."""
    seen = []
    old = sys.unraisablehook
    sys.unraisablehook = lambda u: seen.append((u.exc_type, str(u.exc_value), u.object))
    try:
        yield seen
    finally:
        sys.unraisablehook = old


@pytest.fixture
def unraisable():
    """The unraisable reports of the test: (exception type, message, object)."""
    with unraisable_reports() as seen:
        yield seen


def all_nodes(root):
    """Every node of a forest once, depth first from root in child order."""
    seen, order, stack = set(), [], [root]
    while stack:
        n = stack.pop()
        if id(n) in seen:
            continue
        seen.add(id(n))
        order.append(n)
        stack.extend(reversed(n.children))
    return order
