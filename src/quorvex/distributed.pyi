from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any, Protocol, TypeVar

__all__ = ["RoundStats", "train_ipm", "train_ipm_local"]

class _Learner(Protocol):
    def get_state(self) -> Any: ...
    def set_state(self, state: Any, /) -> None: ...

_L = TypeVar("_L", bound=_Learner)

@dataclass
class RoundStats:
    epoch: int
    wall: float = 0.0
    compute: list[float] = ...
    cpu: list[float] = ...
    state: list[float] = ...
    mix: float = 0.0
    serialise: float = 0.0
    payload: int = 0
    @property
    def overhead(self) -> float: ...

def train_ipm(
    client: Any,
    shards: Sequence[Any],
    make_learner: Callable[[], _L],
    train_shard: Callable[[_L, Any, int], object],
    epochs: int,
    *,
    prepare_shard: Callable[..., Any] | None = None,
    shared: Any = None,
    mix: Callable[..., Any] | None = None,
    mix_weights: Sequence[float] | None = None,
    on_round: Callable[[RoundStats, Any], object] | None = None,
    measure: bool = False,
) -> _L: ...
def train_ipm_local(
    shards: Sequence[Any],
    make_learner: Callable[[], _L],
    train_shard: Callable[[_L, Any, int], object],
    epochs: int,
    *,
    prepare_shard: Callable[..., Any] | None = None,
    shared: Any = None,
    mix: Callable[..., Any] | None = None,
    mix_weights: Sequence[float] | None = None,
    on_round: Callable[[RoundStats, Any], object] | None = None,
    measure: bool = False,
) -> _L: ...
