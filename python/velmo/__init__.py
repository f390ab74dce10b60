"""Pure-Python tools around the ``velmo_device_communication`` extension module."""

from importlib import metadata as _metadata

from .discovery import open_device

try:
    __version__ = _metadata.version("velmo-device-communication")
except _metadata.PackageNotFoundError:  # run from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = ["__version__", "open_device"]
