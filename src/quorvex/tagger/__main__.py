"""python -m quorvex.tagger: the quorvex-tag command line."""

import sys

from quorvex.tagger.cli import main

__all__: list[str] = []

if __name__ == "__main__":
    sys.exit(main())
