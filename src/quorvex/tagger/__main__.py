import sys

from quorvex.tagger.cli import main

sys.exit(main())
