import io
import os
from types import TracebackType

__all__ = ["ReplacingFile", "write_bytes"]

class ReplacingFile(io.BufferedWriter):
    def __init__(self, path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> None: ...
    def abort(self) -> None: ...
    def __exit__(
        self, kind: type[BaseException] | None, value: BaseException | None, tb: TracebackType | None
    ) -> None: ...

def write_bytes(path: str | bytes | os.PathLike[str] | os.PathLike[bytes], data: bytes) -> None: ...
