"""`python -m quor_pp`: the `quor-pp` command."""

import sys

from quor_pp.cli import main

sys.exit(main())
