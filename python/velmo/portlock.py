"""Holding a serial port for one program at a time: the names ``velmo.port`` gives.

See ``velmo.port`` for how a port that velmo opens is held, from before its first byte
to its close.
"""

from .port import PortClaim, hold, in_use_error

__all__ = ["PortClaim", "hold", "in_use_error"]
