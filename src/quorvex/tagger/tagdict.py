"""Candidate labels per word: the tag dictionary that keeps decoding small."""

import collections

__all__ = ["TagDictionary"]


def _kind(word):
    return word[-3:].lower(), word[:1].isupper(), any(c.isdigit() for c in word)


def _covering(counter, coverage):
    """The most frequent tags that together cover `coverage` of the counts, sorted."""
    total, tags, acc = sum(counter.values()), [], 0
    for tag, c in sorted(counter.items(), key=lambda tc: (-tc[1], tc[0])):
        if acc >= coverage * total:
            break
        tags.append(tag)
        acc += c
    return tuple(sorted(tags))


class TagDictionary:
    """Candidate labels per word. A word seen at least `min_count` times in training may take the
    tags it was seen with. Any other word may take the tags that rare training words of the same
    kind (same last three letters, capitalisation and digits) carry, the most frequent ones that
    together cover `coverage` of them; kinds with fewer than `min_kind` rare words fall back to
    the tags of all rare words. With prune=False every word may take every label.

    The candidate tuples are shared between words (and hold the labels' own objects), so that
    decoding recognises labels by identity."""

    # Words outside `known` whose candidates are kept; past that the cache starts afresh.
    CACHE_LIMIT = 20000

    def __init__(self, words, tags, min_count=3, rare_count=2, coverage=0.995, min_kind=10, prune=True):
        """words, tags: parallel sequences of sentences (token lists and tag lists)."""
        counts = collections.Counter(w for s in words for w in s)
        seen = collections.defaultdict(set)
        rare = collections.Counter()
        by_kind = collections.defaultdict(collections.Counter)
        for ws, ts in zip(words, tags):
            for w, t in zip(ws, ts):
                seen[w].add(t)
                if counts[w] <= rare_count:
                    rare[t] += 1
                    by_kind[_kind(w)][t] += 1
        self.labels = tuple(sorted({t for ts in tags for t in ts}))
        self.prune = prune
        if not prune:
            self.known, self.by_kind, self.open = {}, {}, self.labels
        else:
            self.known = {w: tuple(sorted(ts)) for w, ts in seen.items() if counts[w] >= min_count}
            self.open = _covering(rare, coverage) or self.labels
            self.by_kind = {k: _covering(c, coverage) for k, c in by_kind.items() if sum(c.values()) >= min_kind}
        self._share()

    def __repr__(self):
        return "TagDictionary(labels=%d, known=%d, kinds=%d, prune=%r)" % (
            len(self.labels),
            len(self.known),
            len(self.by_kind),
            self.prune,
        )

    def _share(self):
        """Makes equal candidate tuples one object, built from the labels' own objects."""
        own = {t: t for t in self.labels}
        pool = {}

        def shared(tags):
            tags = tuple(own.get(t, t) for t in tags)
            return pool.setdefault(tags, tags)

        self.open = shared(self.open)
        self.known = {w: shared(ts) for w, ts in self.known.items()}
        self.by_kind = {k: shared(ts) for k, ts in self.by_kind.items()}
        self._unknown = {}  # the candidates of words outside `known`, as they come

    def candidates(self, word, gold=None):
        """The labels word may take; with gold (training), gold is always among them."""
        cands = self.known.get(word)
        if cands is None:
            cands = self._unknown.get(word)
            if cands is None:
                if len(self._unknown) >= self.CACHE_LIMIT:
                    self._unknown.clear()
                cands = self._unknown[word] = self.by_kind.get(_kind(word), self.open)
        if gold is not None and gold not in cands:
            cands = cands + (gold,)
        return cands

    def to_dict(self):
        """A JSON-friendly form (for model files)."""
        return {
            "labels": list(self.labels),
            "prune": self.prune,
            "open": list(self.open),
            "known": {w: list(ts) for w, ts in self.known.items()},
            "by_kind": [[list(k), list(ts)] for k, ts in self.by_kind.items()],
        }

    @classmethod
    def from_dict(cls, d):
        """The tag dictionary of to_dict(d); ValueError for a malformed form."""
        try:
            self = cls.__new__(cls)
            self.labels = tuple(str(t) for t in d["labels"])
            self.prune = bool(d["prune"])
            self.open = tuple(d["open"])
            self.known = {str(w): tuple(ts) for w, ts in d["known"].items()}
            self.by_kind = {(str(k[0]), bool(k[1]), bool(k[2])): tuple(ts) for k, ts in d["by_kind"]}
        except (KeyError, TypeError, ValueError, AttributeError, IndexError) as e:
            raise ValueError("malformed tag dictionary: %s" % e) from None
        labels = set(self.labels)
        for ts in [self.open, *self.known.values(), *self.by_kind.values()]:
            if not ts or not all(isinstance(t, str) and t in labels for t in ts):
                raise ValueError("malformed tag dictionary: candidates outside the labels")
        self._share()
        return self
