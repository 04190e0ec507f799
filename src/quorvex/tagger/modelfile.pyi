import io
import os
from typing import Any, BinaryIO

import numpy as np
from numpy.typing import NDArray

__all__ = ["FORMAT", "VERSION", "describe", "read_model", "write_model"]

FORMAT: str
VERSION: int

def write_model(
    path: str | os.PathLike[str] | BinaryIO, meta: dict[str, Any], dictionary_bytes: bytes, weights: NDArray[np.float64]
) -> None: ...
def describe(path: str | bytes | os.PathLike[str] | BinaryIO) -> str: ...
def read_model(path: str | os.PathLike[str] | BinaryIO) -> tuple[dict[str, Any], io.BytesIO, NDArray[np.float64]]: ...
