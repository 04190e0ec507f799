"""Vectorise a small text with FCombo at combination orders 1, 2 and 3.

Each token becomes a feature list (its word, suffixes, shape and neighbouring
words); an FCombo turns the lists into sparse vectors whose indices come from
its growing dictionary. The program prints, per order, the dictionary size,
the average vector length and a few of the combined feature names.

    python examples/vectorise.py
"""

import time

from quorvex.feature import FCombo, FeatureList
from quorvex.tagger import TokenFeatures

TEXT = """\
The quick brown fox jumps over the lazy dog .
A lazy dog sleeps in the warm sun all day .
Foxes and dogs rarely share the same den in the forest .
The old fox watched the young dogs from behind the trees .
In 2024 , 17 foxes were counted near the river bank .
"""


# The tagger's templates, small: affixes of up to three letters, the next words only.
TEMPLATES = TokenFeatures(affixes=3, window=1)


def token_features(words, i):
    """The features of token i of a sentence, as a FeatureList: the templates' names, and a
    real-valued feature (the word's length, scaled) to show values being multiplied."""
    return FeatureList(TEMPLATES(words, i) + [("length", min(len(words[i]), 10) / 10.0)])


def main():
    sentences = [line.split() for line in TEXT.splitlines() if line.strip()]
    examples = [token_features(words, i) for words in sentences for i in range(len(words))]
    print(
        "%d sentences, %d tokens, %.1f features per token on average"
        % (len(sentences), len(examples), sum(len(fl) for fl in examples) / len(examples))
    )
    for order in (1, 2, 3):
        fc = FCombo(order)
        start = time.perf_counter()
        vectors = [fc(fl) for fl in examples]
        elapsed = time.perf_counter() - start
        words = fc.dict.words
        print(
            "\norder %d: dictionary of %d keys, %.1f entries per vector, %.0f tokens/s"
            % (order, len(fc.dict), sum(len(v) for v in vectors) / len(vectors), len(examples) / elapsed)
        )
        first = vectors[1]
        for index, value in list(first)[-4:]:
            print("   %-50s %g" % (words[index], value))


if __name__ == "__main__":
    main()
