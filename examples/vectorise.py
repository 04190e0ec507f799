"""Vectorise a small text with FCombo at combination orders 1, 2 and 3.

Each token becomes a feature list (its word, suffixes, shape and neighbouring
words); an FCombo turns the lists into sparse vectors whose indices come from
its growing dictionary. The program prints, per order, the dictionary size,
the average vector length and a few of the combined feature names.

    python examples/vectorise.py
"""

import time

from corpus import word_shape
from quorvex.feature import FCombo, FeatureList

TEXT = """\
The quick brown fox jumps over the lazy dog .
A lazy dog sleeps in the warm sun all day .
Foxes and dogs rarely share the same den in the forest .
The old fox watched the young dogs from behind the trees .
In 2024 , 17 foxes were counted near the river bank .
"""


def token_features(words, i):
    """The features of token i of a sentence, as a FeatureList."""
    w = words[i]
    low = w.lower()
    feats = ["w=" + low, "shape=" + word_shape(w), ("len", min(len(w), 10) / 10.0)]
    feats += ["suf%d=%s" % (k, low[-k:]) for k in (1, 2, 3) if len(low) >= k]
    feats.append("prev=" + (words[i - 1].lower() if i > 0 else "<s>"))
    feats.append("next=" + (words[i + 1].lower() if i + 1 < len(words) else "</s>"))
    return FeatureList(feats)


def main():
    sentences = [line.split() for line in TEXT.splitlines() if line.strip()]
    examples = [token_features(words, i) for words in sentences for i in range(len(words))]
    print("%d sentences, %d tokens, %.1f features per token on average"
          % (len(sentences), len(examples), sum(len(fl) for fl in examples) / len(examples)))
    for order in (1, 2, 3):
        fc = FCombo(order)
        start = time.perf_counter()
        vectors = [fc(fl) for fl in examples]
        elapsed = time.perf_counter() - start
        words = fc.dict.words
        print("\norder %d: dictionary of %d keys, %.1f entries per vector, %.0f tokens/s"
              % (order, len(fc.dict), sum(len(v) for v in vectors) / len(vectors),
                 len(examples) / elapsed))
        first = vectors[1]
        for index, value in list(first)[-4:]:
            print("   %-50s %g" % (words[index], value))


if __name__ == "__main__":
    main()
