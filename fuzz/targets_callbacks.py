"""Callbacks into Python from native code.

A program is a list of steps; each step runs one native operation on a shared set of
objects with hostile operands whose __hash__, __eq__, __lt__, __str__, __index__,
__float__, __iter__, write or overridden methods do something to the objects the
native code is working on: re-run their __init__, empty their lists, release their
storage, re-enter the same operation, run the collector or raise. The native code must
survive all of it: a clean exception or a consistent result, never a crash.
"""

import gc
import io

import numpy as np
from hypothesis import strategies as st

from quorvex.alphabet import PythonAlphabet, StringAlphabet
from quorvex.feature import (
    AndNode,
    BloomFMap,
    ChainModel,
    CountingBloomFilter,
    ExtensibleArray,
    FCombo,
    FeatureHasher,
    FeatureList,
    GraphNode,
    InfoNode,
    Multipart,
    decode_simple_crf,
    make_simple_crf,
)
from quorvex.learn import AvgMira, AvgPer, mix
from quorvex.sparsmat import SparseVectorD, SparseVectorsD, VecD1

from .registry import EXPECTED, Hostile, target

ACTIONS = ["none", "raise", "reinit", "clear", "reenter", "gc", "swap"]


class World:
    """The objects a program works on, and the action script its callbacks follow."""

    def __init__(self, actions):
        self.actions = actions or ["none"]
        self.turn = 0
        self.depth = 0
        self.p = PythonAlphabet()
        self.s = StringAlphabet()
        self.fc = FCombo(2)
        self.h = FeatureHasher(64)
        self.bloom = CountingBloomFilter(101, 3)
        self.bm = BloomFMap()
        self.bm.bloom = self.bloom
        self.bm.min_count = 1
        self.ea = ExtensibleArray("d")
        self.avg = AvgPer(64)
        self.mira = AvgMira(64)
        # A chain model over a frozen combiner of its own, and a sentence it compiled.
        self.chain_fc = FCombo(1)
        sentence = [FeatureList(["w=a"]), FeatureList(["w=b", "w=ab"])]
        ChainModel.register_keys(self.chain_fc, CHAIN_LABELS, [sentence])
        self.chain = ChainModel(self.chain_fc, CHAIN_LABELS)
        self.compiled = self.chain.compile(sentence, gold=["A", "B"])
        self.states = [AvgPer(8).get_state() for _ in range(3)]
        self.current = []  # the container the running operation was handed
        self.again = None  # re-runs the running operation

    def fire(self):
        """What a hostile callback does, by turns."""
        action = self.actions[self.turn % len(self.actions)]
        self.turn += 1
        if self.depth > 2:
            return
        self.depth += 1
        try:
            if action == "raise":
                raise Hostile(action)
            if action == "reinit":
                self.p.__init__()
                self.s.__init__()
                self.fc.__init__(1)
                self.h.__init__(16)
                self.bloom.__init__(7, 1)
                self.ea.__init__("i")
                self.avg.__init__(8)
                self.mira.__init__(8)
                # Refused (RuntimeError) while a call on the model runs.
                self.chain.__init__(self.chain_fc, CHAIN_LABELS[: 1 if self.turn % 2 else 3])
            elif action == "clear":
                if isinstance(self.current, list):
                    self.current.clear()
                self.p.words.clear()
                self.bloom.__del__()
                self.fc.dict = StringAlphabet()
                self.chain_fc.dict.growing = True  # the chain model refuses a changed combiner
            elif action == "reenter" and self.again is not None:
                try:
                    self.again()
                except EXPECTED + (Hostile, RuntimeError):
                    pass
            elif action == "gc":
                gc.collect()
            elif action == "swap":
                if isinstance(self.current, list):
                    self.current[:] = [Evil(self, "z"), ("w", 2.0), 3]
                self.bm.bloom = CountingBloomFilter(5, 1)
                self.chain_fc.dict.growing = False
        finally:
            self.depth -= 1


class Evil:
    """An operand every one of whose protocol methods calls the world's next action."""

    def __init__(self, world, text, number=1.0):
        self.world, self.text, self.number = world, text, number

    def __hash__(self):
        self.world.fire()
        return hash(self.text)

    def __eq__(self, other):
        self.world.fire()
        return isinstance(other, Evil) and other.text == self.text

    def __lt__(self, other):
        self.world.fire()
        return str(self) < str(other)

    def __str__(self):
        self.world.fire()
        return self.text

    __repr__ = __str__

    def __index__(self):
        self.world.fire()
        return len(self.text)

    def __float__(self):
        self.world.fire()
        return self.number

    def __len__(self):
        self.world.fire()
        return 2

    def __iter__(self):
        self.world.fire()
        return iter([self.text, self.number])

    def __bool__(self):
        self.world.fire()
        return True


class EvilStr(str):
    """A str key whose hash and equality run the world's actions."""

    world = None

    def __hash__(self):
        self.world.fire()
        return str.__hash__(self)

    def __eq__(self, other):
        self.world.fire()
        return str.__eq__(self, other)


class EvilWriter:
    def __init__(self, world):
        self.world, self.parts = world, []

    def write(self, data):
        self.world.fire()
        self.parts.append(data)
        return len(data)


class EvilDict(StringAlphabet):
    """A combiner dictionary whose lookups run Python code."""

    world = None

    def __getitem__(self, key):
        self.world.fire()
        return StringAlphabet.__getitem__(self, key)


class EvilLearner(AvgPer):
    """A learner whose weights and update run the world's actions (train_epoch calls both)."""

    world = None

    @property
    def weights(self):
        self.world.fire()
        return AvgPer.weights.__get__(self)

    def update(self, gradient):
        self.world.fire()
        return AvgPer.update(self, gradient)


class EvilNode(GraphNode):
    world = None

    def calcPotential(self, weights, fc):
        self.world.fire()
        return GraphNode.calcPotential(self, weights, fc)


def operands(w, recipe):
    """A list of feature items: plain names, pairs, hostile names and values."""
    out = []
    for kind, text in recipe:
        if kind == 0:
            out.append(text)
        elif kind == 1:
            out.append((text, Evil(w, text, 2.0)))
        elif kind == 2:
            out.append(Evil(w, text))
        elif kind == 3:
            s = EvilStr(text)
            out.append(s)
        else:
            out.append((text, 1.5))
    return out


def step(w, op, recipe, n):
    items = operands(w, recipe)
    w.current = items
    EvilStr.world = EvilDict.world = EvilNode.world = EvilLearner.world = w
    evil = Evil(w, recipe[0][1] if recipe else "e")
    runs = {
        "palph_get": lambda: w.p[evil],
        "palph_in": lambda: evil in w.p,
        "palph_state": lambda: w.p.__setstate__((items, True)),
        "salph_get": lambda: [w.s[x] for x in items if isinstance(x, str)],
        "flist": lambda: FeatureList(items),
        "fc_call": lambda: w.fc(items),
        "fc_labels": lambda: w.fc(FeatureList([x for x in items if isinstance(x, str)]), labels=items),
        "fc_evil_dict": lambda: (setattr(w.fc, "dict", EvilDict()), w.fc(items)),
        "fc_munge": lambda: w.fc.munge_vec(w.fc.munge_uni(items), [None] * len(items), labels=[evil]),
        "hasher": lambda: w.h(items, target=evil),
        "hasher_cross": lambda: w.h.cross(items, items),
        "bloom_add": lambda: w.bloom.add_count(evil, n),
        "bloom_remove": lambda: w.bloom.remove_count(evil, n),
        "bloom_get": lambda: w.bloom.get_count(evil),
        "bloomfmap": lambda: w.bm(items),
        "ea_set": lambda: w.ea.__setitem__(evil, Evil(w, "v", float(n))),
        "ea_get": lambda: w.ea[evil],
        "learner": lambda: w.avg.update([(Evil(w, "c", 1.0), SparseVectorD([(n % 64, 1.0)]))]),
        "learner_score": lambda: w.avg.score(SparseVectorD([(n % 64, 1.0)]), evil),
        "mira": lambda: w.mira.update(_gradient(n), evil),
        "write_pairs": lambda: SparseVectorD([(1, 1.0), (n % 9, 2.0)]).write_pairs(EvilWriter(w)),
        "tofile": lambda: (w.s["a"], w.s.tofile_utf8(EvilWriter(w))),
        "svmltk": lambda: w.fc.to_svmltk(_multipart(items), EvilWriter(w)),
        "infonode": lambda: InfoNode(evil, items).as_tree([]),
        "forest": lambda: _forest(w, items, n),
        "vec_add": lambda: VecD1().add_count(evil, Evil(w, "x", 1.0)),
        "chain_compile": lambda: _chain_sentence(w, items, n, lambda s: w.chain.compile(s, gold=["B"] * len(s))),
        "chain_decode": lambda: _chain_sentence(
            w, items, n, lambda s: w.chain.decode(s, np.ones(w.chain.n_features), [[EvilStr("A"), "B"]] * len(s))
        ),
        "chain_gradient": lambda: w.chain.gradient(w.compiled, (w.fire() or label for label in ("B", "A"))),
        "chain_train": lambda: w.chain.train_epoch(
            [w.compiled] * (1 + n % 3),
            EvilLearner(w.chain_fc.dict.__len__() + 8),
            order=[evil, 0],
            callback=lambda done: w.fire(),
            every=1,
        ),
        "chain_emission": lambda: w.compiled.emission(evil, "A"),
        "mix": lambda: _mix(w, recipe, n),
    }
    w.again = runs[op]
    runs[op]()


CHAIN_LABELS = ["A", "B", "C"]


def _chain_sentence(w, items, n, run):
    """run(sentence): every position's features are the hostile items, and the list the
    actions empty or refill is the sentence itself or one position's features."""
    sentence = [items] + [list(items) or ["w=a"] for _ in range(n % 3)]
    if n % 2:
        w.current = sentence
    return run(sentence)


def _mix(w, recipe, n):
    """mix over a list of states (whose timesteps may be hostile) with a list of hostile weights;
    the actions empty or refill the one or the other."""
    weights = [Evil(w, text, 1.0 + len(text)) for _, text in recipe] or [Evil(w, "w")]
    states = [dict(s) for s in w.states][: len(weights)]
    weights = weights[: len(states)]
    if n % 3 == 0:
        states[0]["timestep"] = Evil(w, "")
    w.current = states if n % 2 else weights
    return mix(states, weights)


def _gradient(n):
    g = SparseVectorsD()
    g.add(SparseVectorD([(n % 64, 1.0)]))
    return g


def _multipart(items):
    m = Multipart([FeatureList([x for x in items if isinstance(x, str)])])
    m.add_tree({"nodes": [["S", [x for x in items if isinstance(x, str)], []]], "roots": [0]})
    return m


def _forest(w, items, n):
    fc = FCombo(1)
    positions = []
    for i in range(1 + n % 3):
        node = EvilNode()
        node.label = "L%d" % i
        node.features = FeatureList([x for x in items if isinstance(x, str)] or ["f"])
        positions.append([node, AndNode("M")])
    forest = make_simple_crf(positions)
    return decode_simple_crf(forest, np.zeros(64), fc)


OPS = [
    "palph_get",
    "palph_in",
    "palph_state",
    "salph_get",
    "flist",
    "fc_call",
    "fc_labels",
    "fc_evil_dict",
    "fc_munge",
    "hasher",
    "hasher_cross",
    "bloom_add",
    "bloom_remove",
    "bloom_get",
    "bloomfmap",
    "ea_set",
    "ea_get",
    "learner",
    "learner_score",
    "mira",
    "write_pairs",
    "tofile",
    "svmltk",
    "infonode",
    "forest",
    "vec_add",
    "chain_compile",
    "chain_decode",
    "chain_gradient",
    "chain_train",
    "chain_emission",
    "mix",
]

item = st.tuples(st.integers(0, 4), st.sampled_from(["a", "b", "ab", "w=x", "", "€", "z" * 40]))
program = st.tuples(
    st.lists(st.sampled_from(ACTIONS), min_size=1, max_size=6),
    st.lists(st.tuples(st.sampled_from(OPS), st.lists(item, max_size=5), st.integers(-3, 300)), min_size=1, max_size=6),
)


@target("callbacks", program)
def callbacks(prog):
    actions, steps = prog
    w = World(list(actions))
    import sys

    old_hook = sys.unraisablehook
    sys.unraisablehook = lambda u: None  # scoring errors are reported, not raised
    old_err = sys.stderr
    sys.stderr = io.StringIO()  # and warnings printed
    try:
        for op, recipe, n in steps:
            try:
                step(w, op, recipe, n)
            except EXPECTED + (Hostile, AttributeError):
                pass
            except RuntimeError as e:
                assert any(why in str(e) for why in ("changed", "during", "recursion", "while a call")), (
                    "unexpected RuntimeError: %s" % e
                )
    finally:
        sys.unraisablehook = old_hook
        sys.stderr = old_err
