"""The recording file, written in this one place so that its layout is the same everywhere.

::

    /                            file attributes (FILE_ATTRIBUTES, and the user's own metadata)
    /instruments/<MODEL>_<SERIAL>/
        load    float64 [n]      calibrated loads     } chunked, growing, uncompressed:
        count   uint32  [n]      raw counts           } 12 bytes a sample
        blocks  (index, steady_time, wall_time)   one row per read of the port: the position
                in load/count of its first sample, and when the read arrived: time.monotonic(),
                and the same moment as time.time() reckons it (the steady clock plus the two
                clocks' difference at the start), for correcting clock drift
        gaps    (index, missing, reason)   samples missing right before position ``index``:
                ``dropped`` (the writer fell behind) or ``lost`` (on the line)
        attributes: identity, calibration and timing (see add_instrument), the TEDS record
                where the instrument read one, and ``end_reason`` / ``ended_at``, empty and
                NaN until the instrument's recording ends

The sample at position ``k`` has the number ``first_sample + k + (samples missing at
positions <= k)`` since the start of the run and lies ``number * interval`` seconds after
``t0``. ``first_sample`` is 0 except in the later parts of a split run.
"""

from __future__ import annotations

import dataclasses
import datetime
import math
import platform
import socket
from collections.abc import Mapping
from typing import Any

import numpy as np
import numpy.typing as npt
import velmo_device_communication as vdc

from .. import __version__
from ..identity import Calibration as Calibration
from ..identity import InstrumentInfo as InstrumentInfo
from ..identity import describe as describe
from ._hdf5 import h5py

INSTRUMENTS = "instruments"
LOAD, COUNT, BLOCKS, GAPS = "load", "count", "blocks", "gaps"
GAP_REASONS = {"dropped": 0, "lost": 1}
BLOCK_DTYPE = np.dtype([("index", "<u8"), ("steady_time", "<f8"), ("wall_time", "<f8")])
GAP_DTYPE = np.dtype(
    [("index", "<u8"), ("missing", "<u8"), ("reason", h5py.enum_dtype(GAP_REASONS, basetype="u1"))]
)
FILE_ATTRIBUTES = ("velmo_version", "module_version", "h5py_version", "hdf5_version", "host", "created", "part")
TEDS_FIELDS = (
    "template", "serial_number", "engineering_unit", "min_capacity", "max_capacity", "min_electrical",
    "max_electrical", "reverse_scaling_enabled", "reverse_max_electrical",
)
END_REASON_BYTES = 512
# A quarter of a second of samples per chunk, what the writer appends at once: a file wastes
# at most one partly filled chunk per dataset.
CHUNK_SECONDS = 0.25
MIN_CHUNK_SAMPLES = 1024
BLOCK_CHUNK_ROWS = 256
GAP_CHUNK_ROWS = 64


def iso_utc(seconds: float) -> str:
    return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).isoformat(timespec="microseconds")


def create_file(path: str, metadata: Mapping[str, Any], part: int, *, overwrite: bool) -> Any:
    """A new file with its own attributes and an empty ``/instruments`` group; not yet in SWMR mode.

    :raises FileExistsError: If the file exists and ``overwrite`` is false
    """
    # No chunk cache: the writer appends about a chunk at a time, and HDF5 keeps the memory
    # of a cache that datasets grow through (about the data rate, for half a minute). The
    # format of HDF5 1.10, the first with single-writer/multiple-reader mode: the tools and
    # libraries of 1.10 and later all read it.
    file = h5py.File(path, "w" if overwrite else "w-", libver=("v110", "v110"), rdcc_nbytes=0)
    try:
        attributes = file.attrs
        attributes["velmo_version"] = __version__
        attributes["module_version"] = __version__  # one distribution carries both
        attributes["h5py_version"] = h5py.version.version
        attributes["hdf5_version"] = h5py.version.hdf5_version
        attributes["host"] = socket.gethostname() or platform.node()
        attributes["created"] = iso_utc(datetime.datetime.now(datetime.timezone.utc).timestamp())
        attributes["part"] = part
        for key, value in metadata.items():
            attributes[key] = value
        file.create_group(INSTRUMENTS, track_order=True)
    except BaseException:
        file.close()
        raise
    return file


class InstrumentWriter:
    """Appends one instrument's samples, blocks and gaps to its group of an open file."""

    def __init__(self, group: Any, sampling_rate: float):
        samples = max(MIN_CHUNK_SAMPLES, round(sampling_rate * CHUNK_SECONDS))
        self.group = group
        self._load = group.create_dataset(LOAD, (0,), "<f8", maxshape=(None,), chunks=(samples,))
        self._count = group.create_dataset(COUNT, (0,), "<u4", maxshape=(None,), chunks=(samples,))
        self._blocks = group.create_dataset(BLOCKS, (0,), BLOCK_DTYPE, maxshape=(None,), chunks=(BLOCK_CHUNK_ROWS,))
        self._gaps = group.create_dataset(GAPS, (0,), GAP_DTYPE, maxshape=(None,), chunks=(GAP_CHUNK_ROWS,))
        self.length = 0  # samples in this file

    def append(
        self,
        loads: npt.NDArray[np.float64],
        counts: npt.NDArray[np.uint32],
        blocks: npt.NDArray[Any],
        gaps: npt.NDArray[Any],
    ) -> None:
        for dataset, values in ((self._load, loads), (self._count, counts), (self._blocks, blocks), (self._gaps, gaps)):
            if len(values):
                start = dataset.shape[0]
                dataset.resize((start + len(values),))
                dataset[start:] = values
        self.length += len(loads)

    def end(self, reason: str, at: float) -> None:
        """Say why and when this instrument's samples end here; the attributes exist already,
        so that SWMR readers see them change in place."""
        self.group.attrs.modify("end_reason", reason.encode("utf-8")[:END_REASON_BYTES])
        self.group.attrs.modify("ended_at", at)


def add_instrument(
    file: Any, name: str, info: InstrumentInfo, sampling_rate: float, t0: float, first_sample: int
) -> InstrumentWriter:
    """The instrument's group with every dataset and attribute it will ever have."""
    group = file[INSTRUMENTS].create_group(name)
    writer = InstrumentWriter(group, sampling_rate)
    calibration = info.calibration
    attributes = group.attrs
    for key, value in (
        ("model", info.model),
        ("item_number", info.item_number),
        ("serial_number", info.serial_number),
        ("firmware", info.firmware),
        ("unit", info.unit),
        ("channel", info.channel),
        ("sampling_rate", sampling_rate),
        ("t0", t0),
        ("t0_iso", iso_utc(t0)),
        ("interval", 1.0 / sampling_rate),
        ("port", info.port),
        ("baud_rate", info.baud_rate),
        ("first_sample", first_sample),
        ("calibration_profile", calibration.profile),
        ("calibration_directions", calibration.directions),
        ("calibration_loads", np.array(calibration.loads, dtype="<f8")),
        ("calibration_counts", np.array(calibration.counts, dtype="<u4")),
        ("calibration_source", calibration.source),
    ):
        attributes[key] = value
    attributes.create("end_reason", b"", dtype=h5py.string_dtype("utf-8", END_REASON_BYTES))
    attributes.create("ended_at", math.nan)
    if info.teds is not None:
        for field in TEDS_FIELDS:
            value = getattr(info.teds, field)
            attributes[f"teds_{field}"] = "" if value is None else value
        attributes["teds_raw"] = np.frombuffer(bytes(info.teds.raw_data), dtype="u1")
    return writer
