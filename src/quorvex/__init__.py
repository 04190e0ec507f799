"""quorvex: statistical NLP with linear models.

The native modules:

- ``quorvex.sparsmat``: sparse vectors and accumulators,
- ``quorvex.alphabet``: word <-> id dictionaries,
- ``quorvex.feature``: feature lists, the feature combiner ``FCombo``, hashing, information
  trees, feature forests and the linear-chain model ``ChainModel``,
- ``quorvex.learn``: online linear learners.

And in Python: ``quorvex.tagger`` (the part-of-speech tagger and its command line
``quorvex-tag``) and ``quorvex.storage``.
"""

# The one place the version is written (pyproject.toml reads it from here).
__version__ = "0.2.0"

__all__ = ["__version__"]
