"""Optional packages that some parts of velmo need, checked without importing them."""

from __future__ import annotations

import importlib.util

H5PY_HINT = "recordings need h5py: pip install 'velmo-device-communication[record]'"


def h5py_missing() -> str | None:
    """What to install for recordings, or None when h5py is there."""
    return H5PY_HINT if importlib.util.find_spec("h5py") is None else None


ASYNCUA_HINT = "the OPC UA server needs asyncua: pip install 'velmo-device-communication[serve]'"


def asyncua_missing() -> str | None:
    """What to install for the OPC UA server, or None when asyncua is there."""
    return ASYNCUA_HINT if importlib.util.find_spec("asyncua") is None else None
