"""Reading weight files (NumPy ``.npy``) without trusting their header.

``numpy.load`` allocates the array that the header describes before it reads
the data, so a 100-byte file claiming 2**40 doubles asks for 8 TiB. ``load``
first compares the size the header claims with the bytes that follow it and
refuses a file that cannot hold its array with ``ValueError``; only then does
``numpy.load`` (with ``allow_pickle=False``) read it. ``FileModel`` loads its
weights through here.
"""

import io
import os

import numpy as np
import numpy.lib.format as npy_format

__all__ = ["check_size", "claimed_data_size", "load"]


def claimed_data_size(f):
    """Bytes of array data the ``.npy`` header at the file's position claims.

    Leaves the position just after the header. Returns None when the header
    cannot be read (numpy.load then reports the problem itself) and when the
    element type holds objects (which numpy.load refuses without reading).
    """
    try:
        version = npy_format.read_magic(f)
        if version == (1, 0):
            shape, _, dtype = npy_format.read_array_header_1_0(f)
        elif version in ((2, 0), (3, 0)):
            shape, _, dtype = npy_format.read_array_header_2_0(f)
        else:
            return None
    except Exception:  # numpy's header parser raises several types
        return None
    if dtype.hasobject:
        return None
    count = 1
    for n in shape:
        count *= n
    return count * dtype.itemsize


def check_size(f):
    """ValueError when the array file at f's position holds less data than its
    header claims; f's position is restored either way."""
    start = f.tell()
    try:
        need = claimed_data_size(f)
        if need is not None:
            here = f.tell()
            have = f.seek(0, io.SEEK_END) - here
            if need > have:
                raise ValueError(
                    "weight file is truncated: its header claims %d bytes of data, the file holds %d" % (need, have)
                )
    finally:
        f.seek(start)


def _checked_load(f):
    check_size(f)
    try:
        return np.load(f, allow_pickle=False)
    except (ValueError, EOFError, OSError, MemoryError):
        raise
    except Exception as e:  # a malformed header can make numpy's parser raise e.g. a TokenError
        raise ValueError("not a weight file: %s: %s" % (type(e).__name__, e)) from e


def load(source):
    """The array of the ``.npy`` file ``source`` (a path or a readable, seekable
    binary file), checked against its header before numpy allocates it."""
    if isinstance(source, (str, bytes, os.PathLike)):
        with open(source, "rb") as f:
            return _checked_load(f)
    if not (hasattr(source, "read") and hasattr(source, "seek")):
        # Never an int: numpy would take it for a file descriptor.
        raise TypeError("a weight file is a path or a readable binary file, not %s" % type(source).__name__)
    return _checked_load(source)
