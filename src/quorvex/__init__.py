"""quorvex: feature combination, feature forests and online linear learners.

The native modules:

- ``quorvex.sparsmat``: sparse vectors and accumulators,
- ``quorvex.alphabet``: word <-> id dictionaries,
- ``quorvex.feature``: feature lists, the feature combiner ``FCombo`` and friends,
- ``quorvex.learn``: online linear learners.
"""

__version__ = "0.1.0"
