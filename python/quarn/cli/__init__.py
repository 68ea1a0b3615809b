"""The ``quarn`` command line: ``quarn detect``, ``quarn demo`` and
``quarn watch``. The parser and the runs are in ``quarn.cli.parser``, the
reading of text tables in ``readers`` (with ``layout``, ``lines`` and
``labels``), the printed report in ``report``, the monitor in ``watch``."""

from quarn.cli.parser import main

__all__ = ["main"]
