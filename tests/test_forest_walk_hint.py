"""A large CRF forest leaves the decoder a record of the order its numbering walk will take. The
record only decides what is loaded ahead: a forest decoded with it gives the same labels, node
numbers and scores as the same forest decoded without it, also when the forest was changed in
between (nodes dropped, added, reordered, numbered already, a cycle made)."""

import random

import numpy as np
import pytest
from conftest import all_nodes

from quorvex.feature import FCombo, GraphNode, decode_simple_crf, make_simple_crf

LABELS = ["L%02d" % i for i in range(17)]
TOKENS = 60  # 60 * 17 * 17 transitions: enough for the builder to leave a record


def positions(seed):
    rng = random.Random(seed)
    out = []
    for _ in range(TOKENS):
        ps = []
        for lbl in LABELS:
            c = GraphNode(lbl)
            c.features = [("w%d=%s" % (rng.randrange(4), lbl), 1.0)]
            ps.append(c)
        out.append(ps)
    return out


def state_at(stop, depth):
    """The first state `depth` positions before the last one."""
    s = stop.children[0]
    for _ in range(depth):
        s = s.children[0].children[1]
    return s


def edit(stop, how):
    s = state_at(stop, TOKENS // 2)
    if how == "drop a transition":
        del s.children[3]
    elif how == "replace a children list":
        s.children = list(reversed(s.children))  # the old list and its addresses are gone
    elif how == "drop a whole position":
        t = state_at(stop, 10).children[0]
        t.children = [t.children[0], state_at(stop, 12)]
    elif how == "add a node":
        extra = GraphNode("extra")
        extra.features = [("w0=extra", 1.0)]
        s.children[5].children.insert(1, extra)
    elif how == "reorder the last states":
        stop.children.reverse()
    elif how == "number a candidate":
        s.children[0].children[0].assign_ids(7)
    elif how == "make a cycle":
        s.children[2].children.append(stop)
    else:
        assert how is None


def decode(stop, seed):
    fc = FCombo(1)
    fc(["pad"])
    w = np.array([random.Random(seed + i).uniform(-1, 1) for i in range(400)])
    try:
        return [c.label for c in decode_simple_crf(stop, w, fc)]
    except ValueError as e:
        return str(e)


@pytest.mark.parametrize(
    "how",
    [
        None,
        "drop a transition",
        "replace a children list",
        "drop a whole position",
        "add a node",
        "reorder the last states",
        "number a candidate",
        "make a cycle",
    ],
)
@pytest.mark.parametrize("recorded_first", [False, True])
def test_the_record_changes_nothing(how, recorded_first):
    # Only the forest built last keeps its record.
    plain = make_simple_crf(positions(1))
    recorded = make_simple_crf(positions(1))
    edit(plain, how)
    edit(recorded, how)
    order = [recorded, plain] if recorded_first else [plain, recorded]
    results = {id(stop): decode(stop, 5) for stop in order}
    assert results[id(recorded)] == results[id(plain)]
    if how == "make a cycle":
        assert results[id(plain)].startswith("The forest has a cycle")
    elif how is None:
        assert len(results[id(plain)]) == TOKENS
    for x, y in zip(all_nodes(recorded), all_nodes(plain), strict=True):
        assert str(x) == str(y)
        assert x.localScore == y.localScore and x.insideScore == y.insideScore


def test_records_of_forests_dropped_or_replaced():
    want = decode(make_simple_crf(positions(2)), 3)
    # A forest dropped before decoding takes its record with it.
    dropped = make_simple_crf(positions(2))
    del dropped
    assert decode(make_simple_crf(positions(2)), 3) == want
    # A later forest's record replaces an earlier one's, whichever is decoded first.
    first = make_simple_crf(positions(2))
    second = make_simple_crf(positions(2))
    assert decode(second, 3) == want
    assert decode(first, 3) == want
    # A very long sentence (its record is the longest), then a short one.
    long_positions = positions(4) * 20
    assert len(decode(make_simple_crf(long_positions), 3)) == len(long_positions)
    assert decode(make_simple_crf(positions(2)), 3) == want
