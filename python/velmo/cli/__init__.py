"""The ``velmo`` command line (needs the ``cli`` extra: click and rich)."""

from .commands import main

__all__ = ["main"]
