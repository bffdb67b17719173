"""`python -m larkspan ...`: the same command line as the `larkspan` script."""

import sys

from .cli import main

sys.exit(main())
