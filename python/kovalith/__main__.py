"""``python -m kovalith``: the same command line as the ``kovalith`` script."""

import sys

from kovalith.cli import main

if __name__ == "__main__":
    sys.exit(main())
