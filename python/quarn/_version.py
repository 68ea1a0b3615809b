"""The version of quarn: the one place it is written.

The package metadata (``pyproject.toml`` reads this file when the wheel is
built), ``quarn.__version__`` and ``quarn --version`` all take it from here.
"""

__version__ = "0.1.0"
