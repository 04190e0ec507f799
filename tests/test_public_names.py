"""__all__ of every module: star-imports export the public API and none of the helpers."""

import importlib
import types

import pytest

MODULES = [
    "quorvex",
    "quorvex.sparsmat",
    "quorvex.alphabet",
    "quorvex.feature",
    "quorvex.learn",
    "quorvex.storage",
    "quorvex.distributed",
    "quorvex.weight_file",
    "quorvex.tagger",
    "quorvex.tagger.__main__",
    "quorvex.tagger.cli",
    "quorvex.tagger.corpus",
    "quorvex.tagger.features",
    "quorvex.tagger.mixing",
    "quorvex.tagger.model",
    "quorvex.tagger.modelfile",
    "quorvex.tagger.tagdict",
]

# Module globals that are imports or helpers, never exported.
HELPERS = {
    "izip",
    "json",
    "numpy",
    "np",
    "sys",
    "os",
    "io",
    "defaultdict",
    "sparsmat",
    "alphabet",
    "test",
    "_C_API",
    "Alphabet_iter",
    "random",
    "collections",
    "argparse",
    "time",
    "pickle",
    "npy_format",
    "struct",
    "zipfile",
    "zlib",
    "tempfile",
    "tokenize",
    "functools",
    "lzma",
    "importlib",
    "dataclass",
    "field",
}


# quorvex.learn re-exports nothing: its PythonAlphabet is the module body's import.
LEARN_HELPERS = {"PythonAlphabet"}


def star_import(name):
    namespace = {}
    exec(f"from {name} import *", namespace)
    namespace.pop("__builtins__")
    return namespace


@pytest.mark.parametrize("name", MODULES)
def test_all_is_a_list_of_existing_names(name):
    module = importlib.import_module(name)
    assert isinstance(module.__all__, list)
    assert len(set(module.__all__)) == len(module.__all__)
    for public in module.__all__:
        assert isinstance(public, str)
        assert hasattr(module, public), public


@pytest.mark.parametrize("name", MODULES)
def test_star_import_exports_no_helpers(name):
    exported = star_import(name)
    assert set(exported) == set(importlib.import_module(name).__all__)
    assert not set(exported) & HELPERS
    for public, obj in exported.items():
        assert not public.startswith("_") or public == "__version__"
        assert not isinstance(obj, types.ModuleType), public


def test_native_modules_export_their_classes_and_functions():
    feature = star_import("quorvex.feature")
    for public in (
        "FCombo",
        "FeatureList",
        "Multipart",
        "GraphNode",
        "ChainModel",
        "InfoTree",
        "make_simple_crf",
        "decode_simple_crf",
        "empty_sv",
    ):
        assert public in feature
    learn = star_import("quorvex.learn")
    assert not set(learn) & LEARN_HELPERS
    assert set(learn) == {"AdaGrad", "AvgMira", "AvgPer", "FileModel", "SgdMomentum", "make_classifier", "mix"}
    assert "to_csr" in star_import("quorvex.sparsmat")
    assert set(star_import("quorvex.alphabet")) == {"AbstractAlphabet", "PythonAlphabet", "StringAlphabet"}


def test_helpers_stay_importable():
    from quorvex.alphabet import Alphabet_iter  # noqa: F401
    from quorvex.feature import defaultdict, izip, json, numpy, sys, test  # noqa: F401
    from quorvex.learn import PythonAlphabet  # noqa: F401


def test_every_public_native_global_is_exported_or_a_helper():
    for name in ("quorvex.sparsmat", "quorvex.alphabet", "quorvex.feature", "quorvex.learn"):
        module = importlib.import_module(name)
        public = {k for k in vars(module) if not k.startswith("_")}
        assert public - set(module.__all__) <= HELPERS | LEARN_HELPERS, name
