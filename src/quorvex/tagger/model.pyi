import os
from collections.abc import Callable, Sequence
from typing import Any, BinaryIO

import numpy as np
from numpy.typing import NDArray
from typing_extensions import Self

from quorvex.feature import ChainModel, FeatureList
from quorvex.tagger.tagdict import TagDictionary

__all__ = ["Tagger"]

# feature_fn(words, i): the features of token i, names or (name, value) pairs.
_FeatureFn = Callable[[Sequence[str], int], Sequence[Any]]

class Tagger:
    feature_fn: _FeatureFn
    prune: bool
    seed: int
    tagdict: TagDictionary | None
    model: ChainModel | None
    weights: NDArray[np.float64] | None
    history: list[dict[str, Any]]
    def __init__(self, feature_fn: _FeatureFn | None = None, prune: bool = True, seed: int = 0) -> None: ...
    @property
    def labels(self) -> tuple[str, ...] | None: ...
    def feature_lists(self, words: Sequence[str]) -> list[FeatureList]: ...
    def fit(
        self,
        sentences: Sequence[Sequence[str]],
        tags: Sequence[Sequence[str]],
        epochs: int = 5,
        dev: tuple[Sequence[Sequence[str]], Sequence[Sequence[str]]] | None = None,
        progress: bool = True,
        client: Any = None,
        shards: int | None = None,
    ) -> Self: ...
    def tag(self, words: Sequence[str]) -> list[str]: ...
    def predict(self, sentences: Sequence[Sequence[str]], progress: bool = False) -> list[list[str]]: ...
    def score(self, sentences: Sequence[Sequence[str]], tags: Sequence[Sequence[str]]) -> float: ...
    def save(self, path: str | os.PathLike[str] | BinaryIO) -> None: ...
    @classmethod
    def load(cls, path: str | os.PathLike[str] | BinaryIO, feature_fn: _FeatureFn | None = None) -> Self: ...
