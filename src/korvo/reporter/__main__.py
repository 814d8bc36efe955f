"""`python -m korvo.reporter demo OUTDIR` and `python -m korvo.reporter summary FILE`."""

import sys

from korvo.reporter.cli import main

if __name__ == "__main__":
    sys.exit(main())
