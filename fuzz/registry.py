"""The registry of fuzz targets and the rules every target checks.

A target is a hypothesis strategy that draws one input and a check that runs it
against the library. The check may end in one of the exceptions a caller is promised
(``EXPECTED``); any other exception, a failed assertion (a wrong result) or a crash of
the process is a finding. Inputs are plain Python values (bytes, str, numbers, tuples
and lists of them), so a finding is kept as its ``repr`` and replayed with
``ast.literal_eval``.

A new target (the tagger's model files, for example) is one decorated function::

    @target("tagger_model", mutated_bytes(seed_images))
    def tagger_model(data):
        with expected():
            load_model(io.BytesIO(data))
"""

import contextlib
from dataclasses import dataclass

# The exceptions bad input may end in.
EXPECTED = (
    TypeError,
    ValueError,
    OverflowError,
    IndexError,
    KeyError,
    MemoryError,
    RecursionError,
    EOFError,
    ZeroDivisionError,
    NotImplementedError,
)


class Hostile(Exception):
    """Raised by the fuzzers' own callbacks; passing it through is expected."""


@dataclass
class Target:
    name: str
    strategy: object
    check: object


TARGETS = {}


def target(name, strategy):
    """Registers check(value) under name, fed by strategy."""

    def register(check):
        TARGETS[name] = Target(name, strategy, check)
        return check

    return register


@contextlib.contextmanager
def expected(*more):
    """Swallows the exceptions bad input may end in (plus `more`)."""
    try:
        yield
    except EXPECTED + (Hostile,) + more:
        pass
