"""The type stubs: a typed usage file passes mypy --strict, stubtest finds the stubs in line
with the runtime modules, and the usage file runs."""

import importlib.util
import os
import pathlib
import subprocess
import sys
import sysconfig

import pytest

import quorvex

HERE = pathlib.Path(__file__).parent
USAGE = HERE / "typing" / "usage.py"
ALLOWLIST = HERE / "typing" / "stubtest_allowlist.txt"
PACKAGE = pathlib.Path(quorvex.__file__).parent

needs_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")


def mypy_env():
    """An editable install keeps the stubs beside the sources, where mypy does not look by
    itself: point it there. An installed wheel has them in site-packages (found as is)."""
    env = dict(os.environ)
    installed = {sysconfig.get_paths()[k] for k in ("purelib", "platlib")}
    if str(PACKAGE.parent) not in installed:
        env["MYPYPATH"] = str(PACKAGE.parent)
    return env


def run(*args):
    return subprocess.run(
        [sys.executable, "-m", *args], capture_output=True, text=True, env=mypy_env(), cwd=HERE, timeout=300
    )


def test_stubs_and_marker_sit_beside_the_modules():
    assert (PACKAGE / "py.typed").exists()
    for name in ("__init__", "sparsmat", "alphabet", "feature", "learn", "storage", "distributed", "weight_file"):
        assert (PACKAGE / (name + ".pyi")).exists(), name
    for name in ("__init__", "__main__", "cli", "corpus", "features", "mixing", "model", "modelfile", "tagdict"):
        assert (PACKAGE / "tagger" / (name + ".pyi")).exists(), name


@needs_mypy
def test_usage_passes_mypy_strict():
    result = run("mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull, str(USAGE))
    assert result.returncode == 0, result.stdout + result.stderr


@needs_mypy
def test_stubtest():
    result = run("mypy.stubtest", "quorvex", "--allowlist", str(ALLOWLIST))
    assert result.returncode == 0, result.stdout + result.stderr


def test_usage_runs(tmp_path):
    spec = importlib.util.spec_from_file_location("quorvex_typed_usage", USAGE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    module.main(str(tmp_path))
