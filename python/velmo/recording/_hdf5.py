"""h5py, imported with the hint that names the extra it comes with."""

from __future__ import annotations

from .._requirements import H5PY_HINT

try:
    import h5py  # type: ignore[import-untyped]  # h5py ships no type information
except ImportError as error:  # pragma: no cover - depends on what is installed
    raise ImportError(H5PY_HINT) from error

__all__ = ["h5py"]
