import os
import pathlib

import pytest


def _find_data():
    """The shared corpora: $QUORVEX_DATA, else the nearest shared/data above the checkout."""
    if os.environ.get("QUORVEX_DATA"):
        return pathlib.Path(os.environ["QUORVEX_DATA"])
    for parent in pathlib.Path(__file__).resolve().parents:
        if (parent / "shared" / "data").is_dir():
            return parent / "shared" / "data"
    return pathlib.Path("/nonexistent")


DATA = _find_data()
UD_LINES = DATA / "ud-english-lines"


@pytest.fixture
def ud_train():
    """Path of the UD LinES training file; the test is skipped when the data folder is absent."""
    path = UD_LINES / "en_lines-ud-train.conllu"
    if not path.exists():
        pytest.skip("shared data folder not present")
    return path
