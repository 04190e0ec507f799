import os
from collections.abc import Sequence
from typing import TextIO, TypeVar

__all__ = ["BUNDLED_CORPUS", "bundled_corpus", "read_conllu", "split_corpus"]

_T = TypeVar("_T")

BUNDLED_CORPUS: str

def read_conllu(
    source: str | os.PathLike[str] | TextIO, columns: Sequence[str] = ("form", "upos")
) -> list[list[tuple[str, ...]]]: ...
def bundled_corpus(columns: Sequence[str] = ("form", "upos")) -> list[list[tuple[str, ...]]]: ...
def split_corpus(sentences: Sequence[_T], held_out: int = 10) -> tuple[list[_T], list[_T]]: ...
