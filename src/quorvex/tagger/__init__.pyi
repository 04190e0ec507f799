from quorvex.tagger.corpus import BUNDLED_CORPUS as BUNDLED_CORPUS
from quorvex.tagger.corpus import bundled_corpus as bundled_corpus
from quorvex.tagger.corpus import read_conllu as read_conllu
from quorvex.tagger.corpus import split_corpus as split_corpus
from quorvex.tagger.features import TokenFeatures as TokenFeatures
from quorvex.tagger.features import word_shape as word_shape
from quorvex.tagger.model import Tagger as Tagger
from quorvex.tagger.tagdict import TagDictionary as TagDictionary

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
