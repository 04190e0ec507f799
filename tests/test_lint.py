"""The tree stays formatted and lint-clean: ruff for Python, clang-format for C++.

Skipped when the tools are not installed (they come with the `test` extra, pinned, since
their output changes between releases)."""

import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def _run(*cmd):
    return subprocess.run(cmd, cwd=ROOT, capture_output=True, text=True, timeout=300)


@pytest.mark.skipif(shutil.which("ruff") is None, reason="ruff is not installed")
def test_python_is_formatted_and_lint_clean():
    check = _run("ruff", "check", "--no-cache", ".")
    assert check.returncode == 0, check.stdout + check.stderr
    fmt = _run("ruff", "format", "--no-cache", "--check", ".")
    assert fmt.returncode == 0, fmt.stdout + fmt.stderr


@pytest.mark.skipif(shutil.which("clang-format") is None, reason="clang-format is not installed")
def test_cpp_is_formatted():
    sources = sorted(
        str(p.relative_to(ROOT))
        for pattern in ("include/*.h", "src/quorvex/**/*.cpp", "src/quorvex/**/*.h")
        for p in ROOT.glob(pattern)
    )
    assert sources
    fmt = _run("clang-format", "--dry-run", "--Werror", *sources)
    assert fmt.returncode == 0, fmt.stderr[-4000:]
