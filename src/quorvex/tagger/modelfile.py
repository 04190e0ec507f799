"""The tagger's model file: one NumPy ``.npz`` archive (zip) holding

- ``meta``: UTF-8 JSON as bytes: ``{"format": "quorvex-tagger", "version": 1, ...}`` with the
  labels, the tag dictionary, the feature templates and their settings, the combiner's settings
  and what the model was trained on;
- ``dictionary``: the combiner's dictionary in the ``StringAlphabet.tofile_utf8`` form, as bytes;
- ``weights``: the averaged weights, float64, one per dictionary word.

Loading reads arrays with ``allow_pickle=False`` and JSON: no stored code ever runs. A file is
written to a temporary name beside its target and renamed over it only when complete, so a
failed save leaves an earlier model untouched (see quorvex._atomic).
"""

import io
import json
import os
import struct
import tokenize
import zipfile
import zlib

import numpy as np

from quorvex._atomic import replacing

FORMAT = "quorvex-tagger"
VERSION = 1

__all__ = ["FORMAT", "VERSION", "describe", "read_model", "write_model"]


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
    with replacing(path) as f:
        _write(f, blob, dictionary_bytes, weights)


# Deflate packs at most about 1,032 bytes into one; an entry claiming more than this many bytes
# per stored byte is damaged or made to exhaust memory, and is refused before anything is read.
_MAX_RATIO = 1100


def _read_entry(z, name, dtype, count=None):
    """The 1-d array of dtype stored as name.npy in the open archive z, its header checked
    before any data is read: its size must agree with the entry's, and with count if given."""
    info = z.getinfo(name + ".npy")
    with z.open(info) as f:
        version = np.lib.format.read_magic(f)
        if version == (1, 0):
            shape, _, stored = np.lib.format.read_array_header_1_0(f)
        elif version == (2, 0):
            shape, _, stored = np.lib.format.read_array_header_2_0(f)
        else:
            raise ValueError("%s has an array header of version %r" % (name, version))
        dtype = np.dtype(dtype)
        if stored != dtype or len(shape) != 1:
            raise ValueError("%s is not a 1-d %s array" % (name, dtype.name))
        nbytes = shape[0] * dtype.itemsize
        if nbytes != info.file_size - f.tell():
            raise ValueError("%s claims %d values in an entry of %d bytes" % (name, shape[0], info.file_size))
        if info.file_size > max(info.compress_size, 1) * _MAX_RATIO:
            raise ValueError("%s claims %d bytes stored in %d" % (name, info.file_size, info.compress_size))
        if count is not None and shape[0] != count:
            raise ValueError("%d %s for %d dictionary words" % (shape[0], name, count))
        data = f.read(nbytes)
    if len(data) != nbytes:
        raise ValueError("%s is truncated" % name)
    return np.frombuffer(data, dtype=dtype)


def _dictionary_size(dictionary):
    """The number of words a dictionary in the tofile_utf8 form says it holds (its second
    line); the words themselves are checked when it is read."""
    lines = dictionary[:64].tobytes().split(b"\n", 2)
    if len(lines) < 3 or not lines[1].isdigit():
        raise ValueError("the dictionary has no word count")
    return int(lines[1])


# What a damaged archive or array header makes the zip, zlib and .npy readers raise
# (RuntimeError: an entry marked as encrypted).
_DAMAGED = (
    ValueError,
    OSError,
    EOFError,
    KeyError,
    NotImplementedError,
    zipfile.BadZipFile,
    zlib.error,
    tokenize.TokenError,
    SyntaxError,
    struct.error,
    TypeError,
    IndexError,
    UnicodeDecodeError,
    RuntimeError,
)


def describe(path):
    """How messages name a model file: its path, or a file object's name if it has one."""
    if hasattr(path, "read"):
        path = getattr(path, "name", None)
        if not isinstance(path, (str, bytes, os.PathLike)):
            return "the model file"
    return os.fsdecode(path)


def _refused(path, why):
    return ValueError("%s is not a quorvex tagger model: %s" % (describe(path), why))


def _guarded(path, read, *args):
    """read(*args), with what a damaged file makes it raise turned into ValueError."""
    try:
        return read(*args)
    except FileNotFoundError:
        raise
    except _DAMAGED as e:
        raise _refused(path, e) from None


def _meta(path, meta_bytes):
    try:
        meta = json.loads(meta_bytes.tobytes().decode("utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError) as e:
        raise _refused(path, "unreadable metadata (%s)" % e) from None
    if not isinstance(meta, dict) or meta.get("format") != FORMAT:
        raise ValueError("%s is not a quorvex tagger model" % describe(path))
    if meta.get("version") != VERSION:
        raise ValueError(
            "%s is a quorvex tagger model of version %r; this quorvex reads version %d"
            % (describe(path), meta.get("version"), VERSION)
        )
    return meta


def read_model(path):
    """(meta, dictionary bytes, weights) of a model file (a path or a binary file object);
    ValueError for anything that is not a complete model file of a version this package reads.
    Every array's size is checked against its entry's, and the weights' count against the
    dictionary's, before it is read: a small damaged file cannot claim gigabytes."""
    source = path if hasattr(path, "read") else os.fspath(path)
    with _guarded(path, zipfile.ZipFile, source) as z:
        missing = [n for n in ("meta", "dictionary", "weights") if n + ".npy" not in z.NameToInfo]
        if missing:
            raise ValueError("%s: the archive lacks %s" % (describe(path), ", ".join(missing)))
        meta = _meta(path, _guarded(path, _read_entry, z, "meta", np.uint8))
        dictionary = _guarded(path, _read_entry, z, "dictionary", np.uint8)
        count = _guarded(path, _dictionary_size, dictionary)
        weights = _guarded(path, _read_entry, z, "weights", np.float64, count)
    if not np.isfinite(weights).all():
        raise _refused(path, "its weights are not all finite")
    return meta, io.BytesIO(dictionary.tobytes()), weights
