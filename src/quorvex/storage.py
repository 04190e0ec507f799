"""Storage objects for saving combiners (``FCombo.serialize``, ``deserialize_fcombo``).

A storage object holds text items by key (``d['opts'] = text``, ``d['opts']``) and named
binary streams (``d.writer(name)``, ``d.reader(name)``). :class:`DirStorage` keeps both in a
folder, one file per item or stream::

    from quorvex.feature import FCombo, deserialize_fcombo
    from quorvex.storage import DirStorage

    fc = FCombo(2, bias_item='<b>')
    ...
    fc.serialize(DirStorage('model.fc'))          # writes model.fc/opts and model.fc/alph
    fc2 = deserialize_fcombo(DirStorage('model.fc', create=False))
"""

import os

from quorvex._atomic import replacing, write_bytes

__all__ = ["DirStorage"]


class DirStorage:
    """A folder as a storage object: item ``key`` is the UTF-8 text file ``<path>/<key>``,
    stream ``name`` the binary file ``<path>/<name>``.

    ``path`` is created (with its parents) unless ``create`` is false, in which case it must
    exist already (``FileNotFoundError`` otherwise). Names are plain file names: non-empty
    strings without path separators, NUL characters or a leading dot (``ValueError``
    otherwise), so items and streams never leave the folder.

    Items and streams are replaced whole: written to a temporary file, then renamed. ``writer``
    returns a new binary file that the caller closes (it is also a context manager);
    ``FCombo.serialize`` closes it once the words and the options are written and abandons
    it (``abort()``) if anything fails first. Only a clean close replaces the earlier stream; a
    failed write (a full disk), ``abort()`` or leaving a ``with`` block with an exception
    leaves it as it was.
    """

    def __init__(self, path, create=True):
        self.path = os.fspath(path)
        if create:
            os.makedirs(self.path, exist_ok=True)
        elif not os.path.isdir(self.path):
            raise FileNotFoundError("no storage folder at %r" % (self.path,))

    def _file(self, name):
        if not isinstance(name, str):
            raise TypeError("storage names are str, not %s" % type(name).__name__)
        if (
            not name
            or name.startswith(".")
            or "\0" in name
            or "/" in name
            or (os.altsep and os.altsep in name)
            or os.sep in name
        ):
            raise ValueError("invalid storage name %r: use a plain file name" % (name,))
        return os.path.join(self.path, name)

    def __getitem__(self, key):
        try:
            with open(self._file(key), encoding="utf-8") as f:
                return f.read()
        except FileNotFoundError:
            raise KeyError(key) from None

    def __setitem__(self, key, text):
        if not isinstance(text, str):
            raise TypeError("storage items are str, not %s" % type(text).__name__)
        write_bytes(self._file(key), text.encode("utf-8"))

    def __delitem__(self, key):
        try:
            os.remove(self._file(key))
        except FileNotFoundError:
            raise KeyError(key) from None

    def __contains__(self, key):
        try:
            return os.path.isfile(self._file(key))
        except (TypeError, ValueError):
            return False

    def keys(self):
        """The names of the items and streams in the folder, sorted."""
        return sorted(
            n for n in os.listdir(self.path) if not n.startswith(".") and os.path.isfile(os.path.join(self.path, n))
        )

    def writer(self, name):
        """A new binary file for the stream ``name``, which replaces any earlier content when it
        is closed (see the class)."""
        return replacing(self._file(name))

    def reader(self, name):
        """The binary file of the stream ``name`` (``FileNotFoundError`` when it was never written)."""
        return open(self._file(name), "rb")

    def __repr__(self):
        return "DirStorage(%r)" % (self.path,)
