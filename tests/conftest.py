import os
import pathlib

import pytest

DATA = pathlib.Path(__file__).resolve().parents[2] / "shared" / "data"
UD_LINES = DATA / "ud-english-lines"


@pytest.fixture
def ud_train():
    """Path of the UD LinES training file; the test is skipped when the data folder is absent."""
    path = UD_LINES / "en_lines-ud-train.conllu"
    if not path.exists():
        pytest.skip("shared data folder not present")
    return path
