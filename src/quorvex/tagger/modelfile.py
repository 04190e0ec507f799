"""The tagger's model file: one NumPy ``.npz`` archive (zip) holding

- ``meta``: UTF-8 JSON as bytes: ``{"format": "quorvex-tagger", "version": 1, ...}`` with the
  labels, the tag dictionary, the feature templates and their settings, the combiner's settings
  and what the model was trained on;
- ``dictionary``: the combiner's dictionary in the ``StringAlphabet.tofile_utf8`` form, as bytes;
- ``weights``: the averaged weights, float64, one per dictionary word.

Loading reads arrays with ``allow_pickle=False`` and JSON: no stored code ever runs. A file is
written to a temporary name beside its target and renamed over it only when complete, so a
failed save leaves an earlier model untouched.
"""

import io
import json
import os
import struct
import tempfile
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
    path = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix=".%s." % os.path.basename(path), suffix=".tmp", dir=folder)
    try:
        with os.fdopen(fd, "wb") as f:
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
        # (RuntimeError: an entry marked as encrypted).
        raise ValueError("%s is not a quorvex tagger model: %s" % (path, e)) from None
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
