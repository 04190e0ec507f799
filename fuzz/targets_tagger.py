"""The tagger's model files: whole archives with a few mutations, and valid archives whose
parts (metadata, dictionary, weights) are mutated before they are packed again."""

import io
import json

import numpy as np
from hypothesis import strategies as st

from quorvex.tagger import Tagger
from quorvex.tagger.modelfile import read_model

from .registry import expected, target
from .strategies import _apply, _mutation, mutated_bytes


def _model_image(prune):
    words = [["the", "dog", "barks"], ["a", "cat", "sleeps"], ["the", "cat", "barks"]]
    tags = [["DET", "NOUN", "VERB"]] * 3
    tagger = Tagger(prune=prune).fit(words, tags, epochs=1, progress=False)
    out = io.BytesIO()
    tagger.save(out)
    return out.getvalue()


_IMAGES = [_model_image(True), _model_image(False)]
_PARTS = [read_model(io.BytesIO(image)) for image in _IMAGES]


@st.composite
def _repacked(draw):
    """A valid archive around one mutated part, so that the checks behind the zip layer run."""
    meta, dictionary, weights = draw(st.sampled_from(_PARTS))
    parts = {"meta": json.dumps(meta).encode(), "dictionary": dictionary.getvalue(), "weights": weights.tobytes()}
    name = draw(st.sampled_from(sorted(parts)))
    for m in draw(st.lists(_mutation, min_size=1, max_size=4)):
        parts[name] = _apply(parts[name], m)
    arrays = {k: np.frombuffer(v, dtype=np.uint8) for k, v in parts.items()}
    if name != "weights" and len(parts["weights"]) % 8 == 0:
        arrays["weights"] = np.frombuffer(parts["weights"], dtype=np.float64)
    if draw(st.booleans()):
        del arrays[draw(st.sampled_from(sorted(arrays)))]
    out = io.BytesIO()
    np.savez(out, **arrays)
    return out.getvalue()


@target("tagger_model", st.one_of(mutated_bytes(_IMAGES, max_size=4096), _repacked()))
def tagger_model(data):
    with expected():
        tagger = Tagger.load(io.BytesIO(data))
        # A model that loads must tag.
        tags = tagger.predict([["the", "dog"], ["zzz"]])
        assert [len(t) for t in tags] == [2, 1] and all(t in tagger.labels for ts in tags for t in ts)
