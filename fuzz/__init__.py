"""Fuzz targets for quorvex's parsers, loaders and callback paths.

``fuzz.targets`` holds the registry (``TARGETS``); ``python -m fuzz.run`` (or
``scripts/fuzz.sh``) runs them; ``tests/test_fuzz_corpus.py`` replays every input
that once found a fault (``tests/fuzz_corpus/<target>/``).
"""
