from collections.abc import Hashable, Sequence
from typing import Any

from typing_extensions import Self

__all__ = ["TagDictionary"]

class TagDictionary:
    CACHE_LIMIT: int
    labels: tuple[str, ...]
    prune: bool
    known: dict[str, tuple[str, ...]]
    by_kind: dict[Hashable, tuple[str, ...]]
    open: tuple[str, ...]
    def __init__(
        self,
        words: Sequence[Sequence[str]],
        tags: Sequence[Sequence[str]],
        min_count: int = 3,
        rare_count: int = 2,
        coverage: float = 0.995,
        min_kind: int = 10,
        prune: bool = True,
    ) -> None: ...
    def candidates(self, word: str, gold: str | None = None) -> tuple[str, ...]: ...
    def to_dict(self) -> dict[str, Any]: ...
    @classmethod
    def from_dict(cls, d: dict[str, Any]) -> Self: ...
