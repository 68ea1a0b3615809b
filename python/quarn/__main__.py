"""``python -m quarn``: the same command line as the ``quarn`` script."""

from quarn.cli import main

raise SystemExit(main())
