"""The Python examples of the getting-started page run as written."""

import pathlib
import re

import pytest

DOCS = pathlib.Path(__file__).resolve().parent.parent / "docs"


def blocks(page):
    text = (DOCS / page).read_text(encoding="utf-8")
    return re.findall(r"```python\n(.*?)```", text, flags=re.S)


@pytest.mark.skipif(not DOCS.is_dir(), reason="the docs folder is not present")
def test_getting_started_examples_run(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    code = blocks("getting-started.md")
    assert len(code) >= 3
    for block in code:
        exec(compile(block, "getting-started.md", "exec"), {})
    out = capsys.readouterr().out
    assert "[True, False, True]" in out  # the classifier separates its examples
    accuracy = float(out.split("\n")[0])
    assert 0.85 < accuracy < 1.0  # the tagger on the held-out tenth
    assert (tmp_path / "tagger.qvt").exists()
