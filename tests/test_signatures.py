"""Every public callable of the native modules has a signature that inspect can read,
and the signatures say what the argument parsing accepts."""

import inspect
import types

import pytest

from quorvex import alphabet, feature, learn, sparsmat

NATIVE_MODULES = [sparsmat, alphabet, feature, learn]

# Callables that cannot carry a text signature of their own.
NO_SIGNATURE = {
    # A defaultdict subclass made at import: it takes dict's arguments, which have no
    # signature in CPython either.
    "quorvex.feature.crf_dict",
}

METHOD_KINDS = (
    types.MethodDescriptorType,
    types.ClassMethodDescriptorType,
    types.BuiltinFunctionType,
    staticmethod,
    classmethod,
)


def public_callables():
    for module in NATIVE_MODULES:
        for name, obj in sorted(vars(module).items()):
            if name.startswith("_"):
                continue
            qualname = f"{module.__name__}.{name}"
            if isinstance(obj, types.BuiltinFunctionType) and obj.__module__ == module.__name__:
                yield qualname, obj
            elif isinstance(obj, type) and obj.__module__ == module.__name__:
                yield qualname, obj
                for attr, member in sorted(vars(obj).items()):
                    if isinstance(member, METHOD_KINDS):
                        yield f"{qualname}.{attr}", getattr(obj, attr)


CALLABLES = list(public_callables())


def test_the_walk_finds_the_api():
    names = {name for name, _ in CALLABLES}
    assert len(CALLABLES) > 150
    for expected in (
        "quorvex.sparsmat.to_csr",
        "quorvex.sparsmat.SparseVectorD.from_arrays",
        "quorvex.feature.FCombo.label_vectors",
        "quorvex.feature.make_simple_crf",
        "quorvex.learn.AvgPer.from_state",
        "quorvex.learn.mix",
    ):
        assert expected in names


@pytest.mark.parametrize("name, obj", CALLABLES, ids=[name for name, _ in CALLABLES])
def test_signature(name, obj):
    if name in NO_SIGNATURE:
        with pytest.raises(ValueError):
            inspect.signature(obj)
        return
    sig = inspect.signature(obj)
    names = list(sig.parameters)
    if isinstance(obj, types.MethodDescriptorType):
        # An instance method read from its class: self comes first, positional-only.
        assert names[0] == "self"
        assert sig.parameters["self"].kind is inspect.Parameter.POSITIONAL_ONLY
        names = names[1:]
    # No other bound first parameter shows (crf_dict.__missing__ is a function of (self, x)).
    assert not names or names[0] not in ("self", "module", "type", "cls") or name.endswith("__missing__")


def params(obj):
    return [(p.name, p.kind, p.default) for p in inspect.signature(obj).parameters.values() if p.name != "self"]


P = inspect.Parameter


def test_positional_only_and_keywords_match_the_parsing():
    # FASTCALL | KEYWORDS methods take every parameter by keyword...
    v = sparsmat.VecD1()
    v.add_count(k=3, v=2.0)
    assert params(sparsmat.VecD1.add_count) == [
        ("k", P.POSITIONAL_OR_KEYWORD, P.empty),
        ("v", P.POSITIONAL_OR_KEYWORD, 1),
    ]
    # ...unless declared positional-only,
    assert params(feature.make_simple_crf) == [("nodes", P.POSITIONAL_ONLY, P.empty)]
    with pytest.raises(TypeError):
        feature.make_simple_crf(nodes=[])
    # and single-argument methods are positional-only.
    assert params(alphabet.StringAlphabet.sym2num) == [("word", P.POSITIONAL_ONLY, P.empty)]
    assert params(learn.AvgPer.from_state) == [("state", P.POSITIONAL_ONLY, P.empty)]
    assert params(sparsmat.CSRMatrixD.transpose) == []


def test_constructors():
    assert str(inspect.signature(feature.FCombo)) == (
        "(n, mydict=None, bias_item=None, want_utf8=True, scale=1.0, norm_p=0.0)"
    )
    assert str(inspect.signature(feature.BloomFMap)) == "(*, hash='python', seed=0)"
    assert str(inspect.signature(learn.AvgPer)) == "(n_dimensions)"
    # The templated types name themselves.
    assert str(inspect.signature(sparsmat.SparseVectorF)) == "(pairs=())"
    assert str(inspect.signature(sparsmat.CSRMatrixI)) == "(rows=())"
    assert str(inspect.signature(sparsmat.VecI3)) == "()"
    assert str(inspect.signature(sparsmat.VecD3.add_count)) == "(self, /, i, j, k, v=1)"
    assert str(inspect.signature(sparsmat.VecV2.add)) == "(self, /, i, j)"
    # Keyword calls by the signature's names work.
    model = learn.AdaGrad(n_dimensions=4, l2=0.0, lazy_updates=False)
    assert model.n_dimensions == 4


def test_defaults_are_what_an_omitted_argument_means():
    # Calling with the signature's defaults spelled out gives what omitting them gives.
    fc = feature.FCombo(2)
    a = fc(["a", "b"])
    fc2 = feature.FCombo(2, mydict=None, bias_item=None, want_utf8=True, scale=1.0, norm_p=0.0)
    b = fc2(["a", "b"])
    assert list(a) == list(b)
    learner = learn.AvgPer(4)
    vec = sparsmat.SparseVectorD([(1, 1.0)])
    assert learner.score(vec) == learner.score(vec, use_avg=True)


def test_help_shows_the_parameters():
    text = pydoc_text(learn.AvgPer)
    assert "score(self, /, vec, use_avg=True)" in text
    assert "get_dense(self, /, start, end, testing=True)" in text
    assert "AvgPer(n_dimensions)" in text


def pydoc_text(obj):
    import pydoc

    return pydoc.render_doc(obj, renderer=pydoc.plaintext)


def test_none_defaults_are_accepted():
    # Every parameter whose signature default is None takes an explicit None.
    import numpy as np

    fc = feature.FCombo(1, mydict=None, bias_item=None)
    sentences = [[feature.FeatureList(["w=a"]), feature.FeatureList(["w=b"])]]
    assert feature.ChainModel.register_keys(feature.FCombo(1), ["A", "B"], sentences, candidates=None) > 0
    model, compiled = feature.ChainModel.compile_training(
        fc, ["A", "B"], sentences, [["A", "B"]], candidates=None, keys=None
    )
    sentence = model.compile(sentences[0], candidates=None, gold=None)
    learner = learn.AvgPer(model.n_features)
    assert len(model.decode(sentence, learner.weights, candidates=None)) == 2
    assert model.train_epoch(compiled, learner, order=None, callback=None, every=100) == (2, 1)
    fc2 = feature.FCombo(2)
    fc2.munge_vec(fc2.munge_uni(feature.FeatureList(["a", "b"])), [None], labels=None)
    node = feature.InfoNode("x", feats=None)
    node.add_edge(feature.InfoNode("y"), edge_label=None)
    feature.InfoTree(data=None)
    learn.mix([learn.AvgPer(2).get_state()], weights=None, base=None)
    learn.make_classifier("avgper", np.zeros(2), fc=None)
    learn.AvgMira(3, n_examples=None)
    pytest.importorskip("scipy")
    fc2.transform([["a"]], labels=None)
    feature.FeatureHasher().transform([["a"]], target=None)
    sparsmat.CSRMatrixD([[(0, 1.0)]]).to_scipy(n_features=None)
    sparsmat.to_csr([sparsmat.SparseVectorD([(1, 1.0)])], n_features=None)
