"""The built-in feature templates of the tagger: word, lower case, affixes, shape and flags,
and the neighbouring words."""

__all__ = ["TokenFeatures", "word_shape"]


def word_shape(word):
    """Letters to X/x, digits to d, repeats collapsed: 'Fox-12' -> 'Xx-d'."""
    out = []
    last = None
    for ch in word:
        c = "X" if ch.isupper() else "x" if ch.islower() else "d" if ch.isdigit() else ch
        if c != last:
            out.append(c)
            last = c
    return "".join(out)


class TokenFeatures:
    """The features of a token in its sentence, as strings (about 25 with the defaults):

    ``w=`` the lower-cased word, ``shape=`` its shape, ``len=`` its length (up to 12), prefixes
    ``p1=`` .. and suffixes ``s1=`` .. of up to `affixes` letters, the flags ``title``,
    ``upper``, ``digit`` and ``hyphen``, the words within `window` positions (``w-2=`` ..
    ``w+2=``, ``<s>``/``</s>`` past the ends), the suffix and shape of the words next to it,
    and the word pairs with each of them (``w-1w=``, ``ww+1=``).

    ``features(words, i)`` gives the features of token i; ``sentence(words)`` those of every
    token (the same lists, computed together). The settings are saved with a tagger's model.
    """

    # Word types whose features are kept (a few kB each); past that the cache starts afresh.
    CACHE_LIMIT = 20000

    def __init__(self, affixes=4, window=2):
        if not isinstance(affixes, int) or isinstance(affixes, bool) or not 0 <= affixes <= 10:
            raise ValueError("affixes must be an int from 0 to 10, not %r" % (affixes,))
        if not isinstance(window, int) or isinstance(window, bool) or not 0 <= window <= 5:
            raise ValueError("window must be an int from 0 to 5, not %r" % (window,))
        self.affixes = affixes
        self.window = window
        self._offsets = [o for o in range(-window, window + 1) if o]
        self._types = {}
        # What stands past the ends of a sentence, as the word types that would be there.
        self._before = self._describe("<s>", None, "<s>")
        self._after = self._describe("</s>", None, "</s>")

    def __getstate__(self):
        return self.settings()

    def __setstate__(self, state):
        # Earlier pickles hold the whole instance dictionary: only the settings count.
        self.__init__(state["affixes"], state["window"])

    def settings(self):
        return {"affixes": self.affixes, "window": self.window}

    def __eq__(self, other):
        return isinstance(other, TokenFeatures) and self.settings() == other.settings()

    def __repr__(self):
        return "TokenFeatures(affixes=%d, window=%d)" % (self.affixes, self.window)

    def __call__(self, words, i):
        return self.sentence(words, (i,))[0]

    def _describe(self, low, own, shape):
        """A word type as the sentences use it: (lower case, its own features, the features
        it gives the token at each offset from it, the start of a word pair that it begins as
        the previous word, and as the current one)."""
        neighbour = [
            ["w%+d=%s" % (off, low)]
            + (["s3%+d=%s" % (off, low[-3:]), "shape%+d=%s" % (off, shape)] if abs(off) == 1 else [])
            for off in self._offsets
        ]
        return low, own, neighbour, "w-1w=" + low + "|", "ww+1=" + low + "|"

    def _word_type(self, word):
        """The description of a word type (see _describe), made once per type."""
        known = self._types.get(word)
        if known is not None:
            return known
        if len(self._types) >= self.CACHE_LIMIT:
            self._types.clear()
        lw, shape = word.lower(), word_shape(word)
        ks = range(1, self.affixes + 1)
        own = ["w=" + lw, "shape=" + shape, "len=%d" % min(len(word), 12)]
        own += ["p%d=%s" % (k, lw[:k]) for k in ks]
        own += ["s%d=%s" % (k, lw[-k:]) for k in ks]
        if word[:1].isupper():
            own.append("title")
        if word.isupper():
            own.append("upper")
        if any(c.isdigit() for c in word):
            own.append("digit")
        if "-" in word:
            own.append("hyphen")
        known = self._types[word] = self._describe(lw, own, shape)
        return known

    def sentence(self, words, positions=None):
        """The feature lists of the tokens at `positions` (every token by default)."""
        w = self.window
        # The sentence padded with what stands past its ends: token i is at i + w.
        padded = [self._before] * w + [self._word_type(x) for x in words] + [self._after] * w
        offsets = [(o, w + off) for o, off in enumerate(self._offsets)]
        out = []
        for i in range(len(words)) if positions is None else positions:
            me = padded[i + w]
            f = me[1][:]
            for o, at in offsets:
                f += padded[i + at][2][o]
            if w:
                f.append(padded[i + w - 1][3] + me[0])
                f.append(me[4] + padded[i + w + 1][0])
            out.append(f)
        return out
