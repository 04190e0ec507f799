"""The main API used with types: checked by mypy --strict against the package's stubs
(tests/test_typing.py), and run by the same test to show it works."""

from __future__ import annotations

import io
import pickle

import numpy as np
from numpy.typing import NDArray

from quorvex.alphabet import StringAlphabet
from quorvex.distributed import RoundStats, train_ipm_local
from quorvex.feature import ChainModel, FCombo, FeatureHasher, FeatureList, GraphNode, Multipart, make_simple_crf
from quorvex.learn import AdaGrad, AvgPer, SgdMomentum, mix
from quorvex.sparsmat import SparseVectorD, SparseVectorsD, VecD1
from quorvex.storage import DirStorage
from quorvex.tagger import TagDictionary, Tagger, word_shape


def vectors() -> float:
    v = SparseVectorD([(1, 2.0), (3, 1.5)])
    w: SparseVectorD = v + SparseVectorD([(1, 1.0)])
    pairs: list[tuple[int, float]] = list(w)
    acc = VecD1()
    for i, x in pairs:
        acc.add_count(i, x)
    total: SparseVectorD = acc.to_sparse()
    weights: NDArray[np.float64] = np.ones(4)
    members = SparseVectorsD()
    members.add(total, 0.5)
    return total.dotFull(weights) + v.dotSelf() + members.to_vec().dotSelf()


def features() -> int:
    alph = StringAlphabet()
    fc = FCombo(2, mydict=alph)
    fl = FeatureList(["w=dog", ("len", 3.0)])
    vec: SparseVectorD = fc(fl)
    parts: SparseVectorD = fc(Multipart([["a"], ["b", "c"]]), labels=["NOUN"])
    per_label: list[SparseVectorD] = fc.label_vectors(fl, ["NOUN", "VERB"])
    hashed: SparseVectorD = FeatureHasher(1024, hash="murmur3")(["a", "b"])
    name, value = fl[0]
    return len(vec) + len(parts) + len(per_label) + len(hashed) + len(name) + int(value) + alph["w=dog"]


def learners() -> dict[str, object]:
    vec = SparseVectorD([(0, 1.0), (2, 1.0)])
    perceptron = AvgPer(4)
    perceptron.update([(1.0, vec)])
    score: float = perceptron.score(vec, use_avg=False)
    dense: NDArray[np.float64] = perceptron.get_dense(0, perceptron.n_dimensions, testing=False)
    ada = AdaGrad(4, l2=0.1)
    ada.update([(-1.0, vec)])
    sgd = SgdMomentum.from_state(SgdMomentum(4).get_state())
    state = mix([perceptron.get_state(), AvgPer(4).get_state()])
    restored = AvgPer.from_state(state)
    again: AvgPer = pickle.loads(pickle.dumps(restored))
    return {"score": score, "dense": dense, "sgd": sgd.timestep, "again": again.timestep}


def forest() -> list[GraphNode]:
    fc = FCombo(1)
    positions = [fc.label_nodes(FeatureList(["w=%s" % w]), ["A", "B"]) for w in "xy"]
    root: GraphNode = make_simple_crf(positions)
    return root.children


def chain() -> list[str]:
    fc = FCombo(1)
    sentences = [[FeatureList(["w=the"]), FeatureList(["w=dog"])]]
    model, compiled = ChainModel.compile_training(fc, ["DET", "NOUN"], sentences, [["DET", "NOUN"]])
    learner = AvgPer(model.n_features)
    tokens, errors = model.train_epoch(compiled, learner)
    labels: list[str] = model.decode(compiled[0], learner.weights)
    assert tokens == 2 and errors >= 0
    return labels


def tagger() -> float:
    sentences = [["the", "dog", "barks"]] * 10
    tags = [["DET", "NOUN", "VERB"]] * 10
    t = Tagger(seed=1).fit(sentences, tags, epochs=1, progress=False)
    predicted: list[list[str]] = t.predict(sentences[:2])
    buf = io.BytesIO()
    t.save(buf)
    buf.seek(0)
    loaded = Tagger.load(buf)
    labels = loaded.labels
    assert labels is not None and predicted[0] == loaded.tag(sentences[0])
    d = TagDictionary(sentences, tags)
    return t.score(sentences, tags) + len(d.candidates("dog")) + len(word_shape("Dog"))


def distributed() -> int:
    rounds: list[RoundStats] = []

    def train(learner: AvgPer, shard: list[SparseVectorD], epoch: int) -> None:
        for v in shard:
            learner.update([(1.0, v)])

    shards = [[SparseVectorD([(0, 1.0)])], [SparseVectorD([(1, 1.0)])]]
    learner = train_ipm_local(shards, lambda: AvgPer(2), train, 2, on_round=lambda s, _: rounds.append(s))
    return learner.timestep + len(rounds)


def storage(path: str) -> str:
    store = DirStorage(path)
    kind: str = FCombo(2).serialize(store)
    return kind + ",".join(store.keys())


def main(tmp: str) -> None:
    assert vectors() > 0
    assert features() > 0
    assert learners()["again"] == 1
    assert len(forest()) == 2
    assert chain() == ["DET", "NOUN"]
    assert tagger() > 1
    assert distributed() == 6  # 4 steps, 2 rounds
    assert storage(tmp).startswith("FCombo")
