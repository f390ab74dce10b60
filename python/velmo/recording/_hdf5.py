"""h5py, imported with the hint that names the extra it comes with."""

from __future__ import annotations

try:
    import h5py  # type: ignore[import-untyped]  # h5py ships no type information
except ImportError as error:  # pragma: no cover - depends on what is installed
    raise ImportError(
        "velmo.recording needs h5py: pip install 'velmo-device-communication[record]'"
    ) from error

__all__ = ["h5py"]
