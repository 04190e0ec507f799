import os
from typing import Any, BinaryIO

from numpy.typing import NDArray

__all__ = ["check_size", "claimed_data_size", "load"]

def claimed_data_size(f: BinaryIO) -> int | None: ...
def check_size(f: BinaryIO) -> None: ...
def load(source: str | os.PathLike[str] | BinaryIO) -> NDArray[Any]: ...
