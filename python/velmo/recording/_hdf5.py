"""h5py, imported with the hint that names the extra it comes with, and the one HDF5 setting
h5py does not offer."""

from __future__ import annotations

import contextlib
import ctypes
import functools
import glob
import os
from collections.abc import Callable
from typing import Any

from .._requirements import H5PY_HINT

try:
    import h5py  # type: ignore[import-untyped]  # h5py ships no type information
except ImportError as error:  # pragma: no cover - depends on what is installed
    raise ImportError(H5PY_HINT) from error

try:
    from h5py._objects import phil as _h5py_lock  # type: ignore[import-untyped]
except ImportError:  # pragma: no cover - an h5py without its lock
    _h5py_lock = contextlib.nullcontext()

# A SWMR reader re-reads metadata whose checksum fails, sleeping 1 ns, 2 ns, 4 ns, ... in
# between, in case the writer was in the middle of writing it. HDF5 tries 100 times: on a
# damaged or cut file that is forever, deep in C where Ctrl-C cannot reach. 30 tries wait
# about a second in all, far longer than a writer takes to write a piece of metadata.
SWMR_READ_ATTEMPTS = 30


@functools.cache
def _set_read_attempts() -> Callable[[int, int], int] | None:
    """H5Pset_metadata_read_attempts of the HDF5 library h5py was loaded with; None where it
    cannot be found."""
    package = os.path.dirname(h5py.__file__)
    # On POSIX a look-up through h5py's own extension finds the library it links; Windows
    # wheels carry the library in the package's folder or in h5py.libs beside it.
    candidates = [h5py.h5p.__file__, *glob.glob(os.path.join(package, "hdf5*.dll")),
                  *glob.glob(os.path.join(f"{package}.libs", "hdf5*.dll"))]
    for candidate in candidates:
        try:
            function: Any = ctypes.CDLL(candidate).H5Pset_metadata_read_attempts
        except (OSError, AttributeError):
            continue
        function.argtypes = (ctypes.c_int64, ctypes.c_uint)
        function.restype = ctypes.c_int
        return function  # type: ignore[no-any-return]
    return None


def swmr_read_access() -> Any:
    """A file access property list for SWMR readers that gives up on unreadable metadata
    within about a second (HDF5's own default where the library cannot be reached)."""
    access = h5py.h5p.create(h5py.h5p.FILE_ACCESS)
    setter = _set_read_attempts()
    if setter is not None:
        with _h5py_lock:
            setter(access.id, SWMR_READ_ATTEMPTS)
    return access


__all__ = ["h5py", "swmr_read_access"]
