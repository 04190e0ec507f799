"""Every fuzz target, registered in ``fuzz.registry.TARGETS`` by importing its module."""

from . import targets_callbacks, targets_files, targets_tagger, targets_text, targets_values  # noqa: F401
from .registry import TARGETS, Target, expected, target  # noqa: F401
