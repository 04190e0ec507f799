"""Files replaced whole: written under a temporary name beside the target and renamed over it
once complete, so that a write that fails (a full disk, an error of the writer) never leaves a
half-written file where a good one was.

A path that is a symbolic link is followed (the file it names is replaced, the link stays); a
replaced file keeps its permissions, a new one gets those of the process's umask, as any file
it creates.
"""

import errno
import io
import os
import secrets
import stat

__all__ = ["ReplacingFile", "replacing", "write_bytes"]


class ReplacingFile(io.BufferedWriter):
    """A binary file that takes the place of ``path`` when it is closed, unless a write to it
    failed or it is closed by ``abort()`` or by leaving a ``with`` block with an exception: the
    temporary file is then removed and ``path`` stays as it was. Closing it without an error
    (also by dropping it) renames it over ``path``."""

    def __init__(self, path):
        target, mode = _resolved(path)
        if mode is not None and stat.S_ISDIR(mode):
            raise IsADirectoryError(errno.EISDIR, "a directory, not a file", target)
        folder, name = os.path.split(target)
        mode = None if mode is None else stat.S_IMODE(mode)
        for _ in range(100):
            # a name near the system's limit keeps only its start
            tmp = os.path.join(folder, ".%s.%s.tmp" % (name[:200], secrets.token_hex(4)))
            try:
                # 0o666 less the umask, as open() gives any new file.
                fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0), 0o666)
                break
            except FileExistsError:
                continue
            except OSError as e:  # named by the target, not the temporary name
                raise type(e)(e.errno, e.strerror, target) from None
        else:
            raise FileExistsError("no free temporary name beside %s" % target)
        try:
            if mode is not None:
                os.chmod(tmp, mode)
            super().__init__(io.FileIO(fd, "wb"))
        except BaseException:
            os.close(fd)
            _remove(tmp)
            raise
        self._target, self._tmp, self._failed = target, tmp, False

    def write(self, buffer, /):
        try:
            return super().write(buffer)
        except BaseException:
            self._failed = True
            raise

    def abort(self):
        """Closes the file and leaves the target as it was."""
        self._failed = True
        self.close()

    def close(self):
        if self.closed:
            return
        try:
            if not self._failed:
                self.flush()
                os.fsync(self.fileno())
        except BaseException:
            self._failed = True
            raise
        finally:
            try:
                super().close()
            except BaseException:
                self._failed = True
                raise
            finally:
                self._finish()

    def _finish(self):
        if self._failed:
            _remove(self._tmp)
            return
        try:
            os.replace(self._tmp, self._target)
        except BaseException:
            _remove(self._tmp)
            raise

    def __exit__(self, kind, value, tb):
        if kind is not None:
            self._failed = True
        self.close()


def _resolved(path):
    """(the path the file is at, links followed, as str; its st_mode or None if it is missing).
    A bytes path becomes str losslessly (undecodable bytes become surrogate escapes)."""
    target = os.fsdecode(os.path.realpath(os.fspath(path)))
    try:
        return target, os.stat(target).st_mode
    except FileNotFoundError:
        return target, None


def _remove(path):
    try:
        os.unlink(path)
    except OSError:
        pass


def replacing(path):
    """A binary file that replaces path: a ReplacingFile, unless path names something that
    exists and is neither a regular file nor a folder (a device, a pipe), which cannot be
    replaced, only written to: it is then opened for writing as it is."""
    target, mode = _resolved(path)
    if mode is not None and not stat.S_ISREG(mode) and not stat.S_ISDIR(mode):
        return open(target, "wb")
    return ReplacingFile(target)


def write_bytes(path, data):
    """Replaces the file at path by data, whole or not at all (see replacing)."""
    with replacing(path) as f:
        f.write(data)
