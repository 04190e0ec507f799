"""The tagger example end to end on the bundled corpus."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))
import postag
import pytest


def test_trains_saves_and_reloads(tmp_path, capsys):
    acc = postag.main(["--epochs", "2", "--model", str(tmp_path / "m.qvt")])
    out = capsys.readouterr().out
    assert acc > 0.88
    assert "reloaded: dev accuracy" in out and (tmp_path / "m.qvt").exists()


def test_dask_example_mixes_on_two_workers(capsys):
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("no Dask cluster under the sanitizers")
    pytest.importorskip("dask.distributed")
    import postag_dask

    postag_dask.main(["--epochs", "2"])
    out = capsys.readouterr().out
    assert "same weights as on Dask: True" in out
    accuracies = [float(line.split("accuracy")[1].split("%")[0]) for line in out.splitlines() if "accuracy" in line]
    assert len(accuracies) == 3 and min(accuracies) > 88
