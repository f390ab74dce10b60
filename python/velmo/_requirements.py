"""Optional packages that some parts of velmo need, checked without importing them."""

from __future__ import annotations

import importlib.util

H5PY_HINT = "recordings need h5py: pip install 'velmo-device-communication[record]'"


def h5py_missing() -> str | None:
    """What to install for recordings, or None when h5py is there."""
    return H5PY_HINT if importlib.util.find_spec("h5py") is None else None
