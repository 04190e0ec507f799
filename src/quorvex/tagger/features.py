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

    def __init__(self, affixes=4, window=2):
        if not isinstance(affixes, int) or isinstance(affixes, bool) or not 0 <= affixes <= 10:
            raise ValueError("affixes must be an int from 0 to 10, not %r" % (affixes,))
        if not isinstance(window, int) or isinstance(window, bool) or not 0 <= window <= 5:
            raise ValueError("window must be an int from 0 to 5, not %r" % (window,))
        self.affixes = affixes
        self.window = window
        self._offsets = [o for o in range(-window, window + 1) if o]

    def settings(self):
        return {"affixes": self.affixes, "window": self.window}

    def __eq__(self, other):
        return isinstance(other, TokenFeatures) and self.settings() == other.settings()

    def __repr__(self):
        return "TokenFeatures(affixes=%d, window=%d)" % (self.affixes, self.window)

    def __call__(self, words, i):
        return self.sentence(words, (i,))[0]

    def sentence(self, words, positions=None):
        """The feature lists of the tokens at `positions` (every token by default)."""
        n = len(words)
        low = [w.lower() for w in words]
        shapes = [word_shape(w) for w in words]
        ks = range(1, self.affixes + 1)
        out = []
        for i in range(n) if positions is None else positions:
            w, lw = words[i], low[i]
            f = ["w=" + lw, "shape=" + shapes[i], "len=%d" % min(len(w), 12)]
            f += ["p%d=%s" % (k, lw[:k]) for k in ks]
            f += ["s%d=%s" % (k, lw[-k:]) for k in ks]
            if w[:1].isupper():
                f.append("title")
            if w.isupper():
                f.append("upper")
            if any(c.isdigit() for c in w):
                f.append("digit")
            if "-" in w:
                f.append("hyphen")
            for off in self._offsets:
                j = i + off
                inside = 0 <= j < n
                nb = low[j] if inside else ("<s>" if j < 0 else "</s>")
                f.append("w%+d=%s" % (off, nb))
                if abs(off) == 1:
                    f.append("s3%+d=%s" % (off, nb[-3:]))
                    f.append("shape%+d=%s" % (off, shapes[j] if inside else nb))
            if self.window:
                f.append("w-1w=%s|%s" % (low[i - 1] if i else "<s>", lw))
                f.append("ww+1=%s|%s" % (lw, low[i + 1] if i + 1 < n else "</s>"))
            out.append(f)
        return out
