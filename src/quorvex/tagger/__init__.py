"""A part-of-speech tagger that users train, save and run: a structured averaged perceptron over
quorvex's native linear-chain model.

    from quorvex.tagger import Tagger
    tagger = Tagger().fit(sentences, tags)        # lists of token lists and of tag lists
    tagger.predict([["The", "dog", "barks", "."]])
    tagger.save("tagger.qvt"); Tagger.load("tagger.qvt")

The command line is ``quorvex-tag`` (or ``python -m quorvex.tagger``).
"""

from quorvex.tagger.corpus import BUNDLED_CORPUS, bundled_corpus, read_conllu, split_corpus
from quorvex.tagger.features import TokenFeatures, word_shape
from quorvex.tagger.model import Tagger
from quorvex.tagger.tagdict import TagDictionary

__all__ = [
    "BUNDLED_CORPUS",
    "TagDictionary",
    "Tagger",
    "TokenFeatures",
    "bundled_corpus",
    "read_conllu",
    "split_corpus",
    "word_shape",
]
