"""Reading a recording back: closed files, files being written and files a crash left open."""

from __future__ import annotations

import dataclasses
import importlib
import os
from typing import Any

import numpy as np
import numpy.typing as npt

from ._hdf5 import h5py
from .layout import BLOCKS, COUNT, GAP_REASONS, GAPS, INSTRUMENTS, LOAD

REASON_NAMES = {code: name for name, code in GAP_REASONS.items()}


def _plain(value: Any) -> Any:
    """An attribute as Python users expect it: str for text, int/float for numbers."""
    if isinstance(value, bytes):
        return value.decode("utf-8", errors="replace").rstrip("\x00")
    if isinstance(value, np.generic):
        return value.item()
    return value


def _attributes(attributes: Any) -> dict[str, Any]:
    return {key: _plain(attributes[key]) for key in attributes}


@dataclasses.dataclass(frozen=True)
class Gap:
    """``missing`` samples are missing right before position ``index``, ``reason`` being
    ``"dropped"`` (the writer fell behind) or ``"lost"`` (on the line)."""

    index: int
    missing: int
    reason: str


@dataclasses.dataclass(frozen=True, eq=False)
class Instrument:
    """One instrument's samples and metadata from a recording.

    ``loads`` and ``counts`` are numpy arrays of the samples in the file; ``metadata`` holds
    the group's attributes (``model``, ``serial_number``, ``t0``, ``interval``, ...).
    """

    name: str
    metadata: dict[str, Any]
    loads: npt.NDArray[np.float64]
    counts: npt.NDArray[np.uint32]
    gaps: list[Gap]
    blocks: npt.NDArray[Any]
    events: list[Any] = dataclasses.field(default_factory=list)  # velmo.events.Event, in order

    @property
    def t0(self) -> float:
        """Time of sample number 0 (the start of the run), seconds since the epoch."""
        return float(self.metadata["t0"])

    @property
    def interval(self) -> float:
        return float(self.metadata["interval"])

    @property
    def end_reason(self) -> str | None:
        """Why the recording of this instrument ended; None when the file was not closed
        (it is still being written, or its recorder died)."""
        reason = self.metadata.get("end_reason")
        return reason or None

    def sample_numbers(self) -> npt.NDArray[np.int64]:
        """Each sample's number since the start of the run, counting the missing ones."""
        missing = np.zeros(len(self.counts), dtype=np.int64)
        for gap in self.gaps:
            missing[gap.index] += gap.missing
        first = int(self.metadata.get("first_sample", 0))
        return first + np.arange(len(self.counts), dtype=np.int64) + np.cumsum(missing)

    def times(self) -> npt.NDArray[np.float64]:
        """Each sample's time in seconds from ``t0``: its number times the interval."""
        return self.sample_numbers() / float(self.metadata["sampling_rate"])

    @property
    def missing(self) -> int:
        """Samples missing among those in the file, or right before the first."""
        return sum(gap.missing for gap in self.gaps)

    @property
    def duration(self) -> float:
        """Seconds the samples in the file span: from the first to one interval past the last."""
        if not len(self.counts):
            return 0.0
        numbers = self.sample_numbers()
        return float(numbers[-1] - numbers[0] + 1) * self.interval

    def to_pandas(self) -> Any:
        """A DataFrame indexed by time from ``t0`` (``time_s``) with ``sample``, ``count`` and ``load``.

        :raises ImportError: If pandas is not installed
        """
        pandas = _pandas()
        frame = pandas.DataFrame(
            {"sample": self.sample_numbers(), "count": self.counts, "load": self.loads},
            index=pandas.Index(self.times(), name="time_s"),
        )
        frame.attrs.update(self.metadata)
        return frame


def _pandas() -> Any:
    try:
        return importlib.import_module("pandas")
    except ImportError as error:
        raise ImportError("to_pandas() needs pandas: pip install pandas") from error


@dataclasses.dataclass(frozen=True, eq=False)
class Recording:
    """A recording file's ``metadata`` (its attributes) and its ``instruments`` by group name."""

    path: str
    metadata: dict[str, Any]
    instruments: dict[str, Instrument]

    @property
    def closed(self) -> bool:
        """Whether the recorder closed the file: every instrument says why it ended. A file
        that is not closed is being written, or was left by a recorder that died; plain HDF5
        tools need ``h5clear -s FILE`` before they open it."""
        return all(instrument.end_reason is not None for instrument in self.instruments.values())

    def to_pandas(self) -> Any:
        """One DataFrame of every instrument, indexed by (``instrument``, ``time_s``).

        :raises ImportError: If pandas is not installed
        """
        pandas = _pandas()
        frames = {name: instrument.to_pandas() for name, instrument in self.instruments.items()}
        frame = pandas.concat(frames, names=["instrument"]) if frames else pandas.DataFrame()
        frame.attrs.update(self.metadata)
        return frame


def _instrument(name: str, group: Any) -> Instrument:
    # A reader may open the file between the writer's appends to load and to count: use
    # the samples both hold, and the rows that describe them.
    length = min(group[LOAD].shape[0], group[COUNT].shape[0])
    gap_rows = group[GAPS][()]
    block_rows = group[BLOCKS][()]
    gaps = [
        Gap(int(row["index"]), int(row["missing"]), REASON_NAMES.get(int(row["reason"]), "unknown"))
        for row in gap_rows
        if row["index"] < length
    ]
    from ..events.storage import read_events

    metadata = _attributes(group.attrs)
    return Instrument(
        name=name,
        metadata=metadata,
        loads=group[LOAD][:length],
        counts=group[COUNT][:length],
        gaps=gaps,
        blocks=block_rows[block_rows["index"] < length],
        events=read_events(group, metadata),
    )


def _open(path: str) -> Any:
    """Open for reading, as a SWMR reader when the file allows it: a file being written or
    left open by a crash opens only that way."""
    try:
        return h5py.File(path, "r", swmr=True)
    except OSError:
        if not os.path.exists(path):
            raise
        return h5py.File(path, "r")


def load(path: str | os.PathLike[str]) -> Recording:
    """Read a recording: every instrument's samples, gaps and metadata.

    Works on a file still being written (it holds what was flushed until now) and on one
    whose recorder died (what was flushed before).

    :raises FileNotFoundError: If there is no such file
    :raises OSError: If it is not an HDF5 file
    :raises ValueError: If it is an HDF5 file but not a recording
    """
    name = os.fspath(path)
    if not os.path.exists(name):
        raise FileNotFoundError(f"No such recording: {name}")
    with _open(name) as file:
        if INSTRUMENTS not in file:
            raise ValueError(f"{name} is not a velmo recording: it has no /{INSTRUMENTS} group")
        instruments = {key: _instrument(key, group) for key, group in file[INSTRUMENTS].items()}
        return Recording(name, _attributes(file.attrs), instruments)

