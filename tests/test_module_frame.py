import subprocess
import sys

import numpy
import simplejson

import quorvex.feature as feature
import quorvex.learn as learn
from quorvex import alphabet, sparsmat


def test_feature_globals():
    assert feature.sparsmat is sparsmat and feature.alphabet is alphabet
    assert feature.json is simplejson and feature.numpy is numpy and feature.sys is sys
    assert feature.izip is zip  # Python 3 has no itertools.izip
    from collections import defaultdict

    assert feature.defaultdict is defaultdict
    assert feature.flist_sort_order("b") == "b" and feature.flist_sort_order(("a", 1)) == "a"


def test_empty_sv_is_shared_and_empty():
    assert isinstance(feature.empty_sv, sparsmat.SparseVectorD)
    assert len(feature.empty_sv) == 0 and feature.empty_sv is feature.empty_sv


def test_learn_globals():
    assert learn.sys is sys and learn.numpy is numpy
    assert learn.PythonAlphabet is alphabet.PythonAlphabet


def run(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)


def test_missing_sibling_is_an_import_error():
    for module in ("quorvex.feature", "quorvex.learn"):
        for sibling in ("quorvex.sparsmat", "quorvex.alphabet"):
            r = run(
                "import sys; sys.modules[%r] = None\n"
                "try:\n    import %s\nexcept ImportError as e:\n    print('ImportError', e)" % (sibling, module)
            )
            assert r.stdout.startswith("ImportError"), (module, sibling, r.stdout, r.stderr)


def test_foreign_sibling_is_an_import_error():
    code = (
        "import sys, types; fake = types.ModuleType('quorvex.sparsmat'); fake._C_API = 42\n"
        "sys.modules['quorvex.sparsmat'] = fake\n"
        "try:\n    import quorvex.feature\nexcept ImportError as e:\n    print('ImportError', e)"
    )
    r = run(code)
    assert r.stdout.startswith("ImportError"), r.stderr


def test_argument_errors_are_type_errors():
    import pytest

    with pytest.raises(TypeError):
        feature.FCombo()
    with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
        feature.FCombo(1, bogus=2)
    with pytest.raises(TypeError, match="multiple values"):
        feature.FCombo(1, n=2)
    with pytest.raises(TypeError):
        feature.FeatureList([], [])
