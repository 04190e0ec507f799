from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

from quorvex.distributed import RoundStats
from quorvex.feature import ChainModel
from quorvex.learn import AvgPer
from quorvex.tagger.model import Tagger

__all__ = ["averaged_weights", "frozen_model", "train_mixing", "unfloored"]

def unfloored(model: ChainModel) -> ChainModel: ...
def frozen_model(tagger: Tagger, sentences: Sequence[Sequence[str]], tags: Sequence[Sequence[str]]) -> ChainModel: ...
def train_mixing(
    tagger: Tagger,
    model: ChainModel,
    sentences: Sequence[Sequence[str]],
    tags: Sequence[Sequence[str]],
    epochs: int,
    n_shards: int,
    client: Any,
    on_epoch: Callable[[int, NDArray[np.float64], RoundStats], object],
) -> NDArray[np.float64]: ...
def averaged_weights(learner: AvgPer) -> NDArray[np.float64]: ...
