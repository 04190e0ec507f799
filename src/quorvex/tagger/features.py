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
        self._before = self._as_neighbour("<s>", "<s>")
        self._after = self._as_neighbour("</s>", "</s>")

    def __getstate__(self):
        return self.settings()

    def __setstate__(self, state):
        self.__init__(**state)

    def settings(self):
        return {"affixes": self.affixes, "window": self.window}

    def __eq__(self, other):
        return isinstance(other, TokenFeatures) and self.settings() == other.settings()

    def __repr__(self):
        return "TokenFeatures(affixes=%d, window=%d)" % (self.affixes, self.window)

    def __call__(self, words, i):
        return self.sentence(words, (i,))[0]

    def _as_neighbour(self, low, shape):
        """The features a word gives the token at each offset from it."""
        return [
            ["w%+d=%s" % (off, low)]
            + (["s3%+d=%s" % (off, low[-3:]), "shape%+d=%s" % (off, shape)] if abs(off) == 1 else [])
            for off in self._offsets
        ]

    def _word_type(self, word):
        """(lower case, the word's own features, its features as a neighbour), computed once
        per word type."""
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
        known = self._types[word] = (lw, own, self._as_neighbour(lw, shape))
        return known

    def sentence(self, words, positions=None):
        """The feature lists of the tokens at `positions` (every token by default)."""
        n = len(words)
        types = [self._word_type(w) for w in words]
        before, after = self._before, self._after
        offsets = list(enumerate(self._offsets))
        out = []
        for i in range(n) if positions is None else positions:
            lw, own, _ = types[i]
            f = own[:]
            for o, off in offsets:
                j = i + off
                f += types[j][2][o] if 0 <= j < n else (before if j < 0 else after)[o]
            if self.window:
                f.append("w-1w=%s|%s" % (types[i - 1][0] if i else "<s>", lw))
                f.append("ww+1=%s|%s" % (lw, types[i + 1][0] if i + 1 < n else "</s>"))
            out.append(f)
        return out
