"""What the examples and benchmarks share: finding the shared corpora. The CoNLL-U reader and the
per-token feature templates are the tagger's own (quorvex.tagger)."""

import os
import pathlib

from quorvex.tagger import TokenFeatures, read_conllu, word_shape  # noqa: F401

# The features of token i of a sentence, about 25 strings (word, affixes, shape, neighbours).
token_features = TokenFeatures()


def data_dir(name="ud-english-lines"):
    """The corpus folder: $QUORVEX_DATA/<name>, else <name> in the nearest shared/data folder
    above this file; None when there is none."""
    roots = [pathlib.Path(os.environ["QUORVEX_DATA"])] if os.environ.get("QUORVEX_DATA") else []
    roots += [p / "shared" / "data" for p in pathlib.Path(__file__).resolve().parents]
    for root in roots:
        if (root / name).is_dir():
            return root / name
    return None
