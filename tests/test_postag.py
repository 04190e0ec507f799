"""The tagger example end to end on the bundled corpus."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))
import postag  # noqa: E402


def test_trains_saves_and_reloads(tmp_path, capsys):
    acc = postag.main(["--epochs", "2", "--model", str(tmp_path / "m.qvt")])
    out = capsys.readouterr().out
    assert acc > 0.88
    assert "reloaded: dev accuracy" in out and (tmp_path / "m.qvt").exists()
