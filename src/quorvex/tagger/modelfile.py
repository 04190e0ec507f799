"""The tagger's model file: one NumPy ``.npz`` archive (zip) holding

- ``meta``: UTF-8 JSON as bytes: ``{"format": "quorvex-tagger", "version": 1, ...}`` with the
  labels, the tag dictionary, the feature templates and their settings, the combiner's settings
  and what the model was trained on;
- ``dictionary``: the combiner's dictionary in the ``StringAlphabet.tofile_utf8`` form, as bytes;
- ``weights``: the averaged weights, float64, one per dictionary word.

Loading reads arrays with ``allow_pickle=False`` and JSON: no stored code ever runs. A file is
written to a temporary name beside its target and renamed over it only when complete, so a
failed save leaves an earlier model untouched. A path that is a symbolic link is followed (the
file it names is replaced, the link stays); a replaced file keeps its permissions, a new one
gets those of the process's umask, as any file it creates.
"""

import errno
import io
import json
import os
import secrets
import stat
import struct
import tokenize
import zipfile
import zlib

import numpy as np

FORMAT = "quorvex-tagger"
VERSION = 1

__all__ = ["FORMAT", "VERSION", "read_model", "write_model"]


def _write(f, blob, dictionary_bytes, weights):
    np.savez_compressed(
        f,
        meta=np.frombuffer(blob, dtype=np.uint8),
        dictionary=np.frombuffer(dictionary_bytes, dtype=np.uint8),
        weights=np.ascontiguousarray(weights, dtype=np.float64),
    )


def write_model(path, meta, dictionary_bytes, weights):
    """Writes the archive to path, atomically, or to a binary file object."""
    meta = dict(meta, format=FORMAT, version=VERSION)
    blob = json.dumps(meta, ensure_ascii=False, sort_keys=True).encode("utf-8")
    if hasattr(path, "write"):
        _write(path, blob, dictionary_bytes, weights)
        return
    path = os.path.realpath(os.fspath(path))
    if os.path.isdir(path):
        raise IsADirectoryError(errno.EISDIR, "a directory, not a model file", path)
    folder, name = os.path.split(path)
    try:
        mode = stat.S_IMODE(os.stat(path).st_mode)
    except FileNotFoundError:
        mode = None
    for _ in range(100):
        tmp = os.path.join(folder, ".%s.%s.tmp" % (name, secrets.token_hex(4)))
        try:
            # 0o666 less the umask, as open() gives any new file.
            fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0), 0o666)
            break
        except FileExistsError:
            continue
    else:
        raise FileExistsError("no free temporary name beside %s" % path)
    try:
        with os.fdopen(fd, "wb") as f:
            if mode is not None:
                os.chmod(tmp, mode)
            _write(f, blob, dictionary_bytes, weights)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def read_model(path):
    """(meta, dictionary bytes, weights) of a model file (a path or a binary file object);
    ValueError for anything that is not a complete model file of a version this package reads."""
    source = path if hasattr(path, "read") else os.fspath(path)
    try:
        with np.load(source, allow_pickle=False) as z:
            names = set(z.files)
            missing = {"meta", "dictionary", "weights"} - names
            if missing:
                raise ValueError("the archive lacks %s" % ", ".join(sorted(missing)))
            meta_bytes = z["meta"]
            dictionary = z["dictionary"]
            weights = z["weights"]
    except FileNotFoundError:
        raise
    except (
        ValueError,
        OSError,
        zipfile.BadZipFile,
        EOFError,
        KeyError,
        NotImplementedError,
        zlib.error,
        tokenize.TokenError,
        SyntaxError,
        struct.error,
        TypeError,
        IndexError,
        UnicodeDecodeError,
        RuntimeError,
    ) as e:
        # What a damaged archive or array header makes the zip, zlib and .npy readers raise
        # (RuntimeError: an entry marked as encrypted). A file that is no NumPy file at all
        # makes np.load suggest unpickling it, which this reader never does.
        why = "not a NumPy archive" if "pickle" in str(e) else str(e)
        raise ValueError("%s is not a quorvex tagger model: %s" % (path, why)) from None
    for name, a, dtype in (
        ("meta", meta_bytes, np.uint8),
        ("dictionary", dictionary, np.uint8),
        ("weights", weights, np.float64),
    ):
        if a.dtype != dtype or a.ndim != 1:
            raise ValueError(
                "%s is not a quorvex tagger model: %s is not a 1-d %s array" % (path, name, np.dtype(dtype).name)
            )
    try:
        meta = json.loads(meta_bytes.tobytes().decode("utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError) as e:
        raise ValueError("%s is not a quorvex tagger model: unreadable metadata (%s)" % (path, e)) from None
    if not isinstance(meta, dict) or meta.get("format") != FORMAT:
        raise ValueError("%s is not a quorvex tagger model" % (path,))
    if meta.get("version") != VERSION:
        raise ValueError(
            "%s is a quorvex tagger model of version %r; this quorvex reads version %d"
            % (path, meta.get("version"), VERSION)
        )
    return meta, io.BytesIO(dictionary.tobytes()), weights
