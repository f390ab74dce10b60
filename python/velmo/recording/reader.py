"""Reading a recording back: closed files, files being written, files a crash left open and
files cut short; damaged ones refused within seconds."""

from __future__ import annotations

import dataclasses
import importlib
import os
import time
from typing import Any

import numpy as np
import numpy.typing as npt

from ._hdf5 import h5py, swmr_read_access
from .layout import BLOCKS, COUNT, GAP_REASONS, GAPS, INSTRUMENTS, LOAD

REASON_NAMES = {code: name for name, code in GAP_REASONS.items()}
HDF5_SIGNATURE = b"\x89HDF\r\n\x1a\n"
SUPERBLOCK_BYTES = 96  # the fields read here, in every superblock version
# Status flags of a version 3 superblock: a writer, or a SWMR writer, has the file open.
WRITER_MARKS = 0x01 | 0x04
# How long load() waits for a program that holds the file locked while it creates it.
LOCK_PATIENCE = 2.0


class UnreadableRecordingError(OSError):
    """The file cannot be read as a recording: it is not an HDF5 file, HDF5 finds it damaged
    (or cut short where its structure lies), or a writer keeps it locked."""


class NotARecordingError(ValueError):
    """An HDF5 file without the layout of a recording."""


@dataclasses.dataclass(frozen=True)
class FileHeader:
    """What the start of an HDF5 file says, read without HDF5."""

    size: int  # bytes in the file
    stored_size: int | None  # bytes HDF5 says the file spans (its end-of-file address); None if unknown
    marked_open: bool  # a writer has the file open, or left it so (cleared by its close, or h5clear -s)

    @property
    def cut_short(self) -> bool:
        """Whether the file ends before where HDF5 says it ends, as plain HDF5 tools check."""
        return self.stored_size is not None and self.size < self.stored_size


def _signature_offsets(size: int) -> list[int]:
    """Where HDF5 looks for its signature: at 0, then at 512, 1024, 2048, ... (after a user block)."""
    offsets, offset = [0], 512
    while offset < size:
        offsets.append(offset)
        offset *= 2
    return offsets


def _parse_superblock(block: bytes, size: int) -> FileHeader:
    version = block[8] if len(block) > 8 else None
    if version in (0, 1):
        width = block[13] if len(block) > 13 else 0
        end_at = (24 if version == 0 else 28) + 2 * width  # after the base and free-space addresses
        marked = False  # older superblocks carry no status flags
    elif version in (2, 3):
        width = block[9] if len(block) > 9 else 0
        end_at = 12 + 2 * width  # after the base and superblock-extension addresses
        marked = version == 3 and len(block) > 11 and bool(block[11] & WRITER_MARKS)
    else:
        return FileHeader(size, None, False)
    field = block[end_at : end_at + width]
    stored = int.from_bytes(field, "little") if width in (2, 4, 8) and len(field) == width else None
    if stored == (1 << 8 * width) - 1:  # HDF5's undefined address
        stored = None
    return FileHeader(size, stored, marked)


def read_header(path: str) -> FileHeader:
    """The superblock's end-of-file address and writer marks.

    :raises UnreadableRecordingError: If the file has no HDF5 signature
    """
    with open(path, "rb") as stream:
        size = os.fstat(stream.fileno()).st_size
        for offset in _signature_offsets(size):
            stream.seek(offset)
            block = stream.read(SUPERBLOCK_BYTES)
            if block.startswith(HDF5_SIGNATURE):
                return _parse_superblock(block, size)
    empty = " (it is empty)" if not size else ""
    raise UnreadableRecordingError(f"{path} is not an HDF5 file{empty}, so not a velmo recording")


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
    the group's attributes (``model``, ``serial_number``, ``t0``, ``interval``, ...);
    ``unwritten`` counts samples the file names but does not hold (it was cut short).
    """

    name: str
    metadata: dict[str, Any]
    loads: npt.NDArray[np.float64]
    counts: npt.NDArray[np.uint32]
    gaps: list[Gap]
    blocks: npt.NDArray[Any]
    unwritten: int = 0
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
    """A recording file's ``metadata`` (its attributes) and its ``instruments`` by group name;
    the file's size in bytes when it was read, the size HDF5 says it has (None where unknown),
    and whether it carries HDF5's mark that a writer has it open."""

    path: str
    metadata: dict[str, Any]
    instruments: dict[str, Instrument]
    file_size: int = 0
    stored_size: int | None = None
    marked_open: bool = False

    @property
    def closed(self) -> bool:
        """Whether the recorder closed the file: every instrument says why it ended. A file
        that is not closed is being written, or was left by a recorder that died or could
        not write it."""
        return all(instrument.end_reason is not None for instrument in self.instruments.values())

    @property
    def cut_short(self) -> bool:
        """Whether the file ends before where HDF5 says it ends (``file_size`` < ``stored_size``):
        it was cut, or its disk filled up. ``loads`` and ``counts`` hold the samples that are in
        it, each instrument's ``unwritten`` those that are not."""
        return self.stored_size is not None and self.file_size < self.stored_size

    @property
    def needs_h5clear(self) -> bool:
        """Whether the file still carries HDF5's mark that a writer has it open: plain HDF5
        tools (h5py without ``swmr=True``, h5dump, MATLAB) refuse it until ``h5clear -s FILE``
        clears the mark (once no program writes it)."""
        return self.marked_open and not self.cut_short

    def to_pandas(self) -> Any:
        """One DataFrame of every instrument, indexed by (``instrument``, ``time_s``).

        :raises ImportError: If pandas is not installed
        """
        pandas = _pandas()
        frames = {name: instrument.to_pandas() for name, instrument in self.instruments.items()}
        frame = pandas.concat(frames, names=["instrument"]) if frames else pandas.DataFrame()
        frame.attrs.update(self.metadata)
        return frame


def _whole(dataset: Any, file: Any) -> int:
    """Leading elements of a growing dataset whose chunks were written and lie inside the file.

    A file cut short, or one whose disk filled up, can count elements whose chunks were
    never written or lie past its end: HDF5 reads those as zeros.
    """
    length = int(dataset.shape[0])
    if not length or dataset.chunks is None:
        return length
    size = os.fstat(file.id.get_vfd_handle()).st_size  # after reading the index that names the chunks
    step = int(dataset.chunks[0])
    plain = dataset.compression is None and not dataset.shuffle and not dataset.fletcher32
    for start in range((length - 1) // step * step, -1, -step):
        chunk = dataset.id.get_chunk_info_by_coord((start,))
        if chunk.byte_offset is None or chunk.byte_offset >= size:
            continue
        inside = step if chunk.byte_offset + chunk.size <= size else 0
        if not inside and plain:  # the file ends within an uncompressed chunk: its first elements are there
            inside = (size - chunk.byte_offset) // dataset.dtype.itemsize
        if inside:
            return min(length, start + inside)
    return 0


def _lengths(group: Any, file: Any) -> tuple[int, int]:
    """The samples in an instrument's group, and those it counts beyond them."""
    # A reader may open the file between the writer's appends to load and to count: use
    # the samples both hold.
    counted = min(group[LOAD].shape[0], group[COUNT].shape[0])
    length = min(counted, _whole(group[LOAD], file), _whole(group[COUNT], file))
    return length, counted - length


def _instrument(path: str, name: str, group: Any, file: Any) -> Instrument:
    missing = [key for key in (LOAD, COUNT, BLOCKS, GAPS) if key not in group]
    if missing:
        raise NotARecordingError(f"{path} is not a velmo recording: its group {group.name} has no {', '.join(missing)}")
    length, unwritten = _lengths(group, file)
    gap_rows = group[GAPS][: _whole(group[GAPS], file)]
    block_rows = group[BLOCKS][: _whole(group[BLOCKS], file)]
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
        unwritten=unwritten,
        events=read_events(group, metadata),
    )


def _open(path: str) -> Any:
    """Open for reading as a SWMR reader, as a file being written or left open by a crash
    needs, giving up on unreadable metadata within about a second."""
    waited = 0.0
    delay = 0.005
    while True:
        try:
            flags = h5py.h5f.ACC_RDONLY | h5py.h5f.ACC_SWMR_READ
            return h5py.File(h5py.h5f.open(os.fsencode(path), flags, fapl=swmr_read_access()))
        except BlockingIOError:
            # A writer holds HDF5's lock while it creates the file (velmo's recorder gives a
            # file its name only after that): wait for it a moment.
            if waited >= LOCK_PATIENCE:
                raise UnreadableRecordingError(
                    f"{path} is locked by a program that is writing it; try again once it has closed it"
                ) from None
            time.sleep(delay)
            waited += delay
            delay = min(2 * delay, 0.1)
        except OSError as swmr_refused:
            try:  # a file in a format older than SWMR; plain reads give up at once
                return h5py.File(path, "r")
            except OSError:
                raise swmr_refused from None


def _unreadable(path: str, header: FileHeader, error: BaseException) -> UnreadableRecordingError:
    reason = " ".join(str(error).split()) or type(error).__name__
    if header.cut_short:
        return UnreadableRecordingError(
            f"{path} is cut short: it ends after {header.size} of the {header.stored_size} bytes HDF5 wrote, "
            f"and what is left cannot be read ({reason})"
        )
    return UnreadableRecordingError(f"{path} is damaged: HDF5 cannot read it ({reason})")


def _reading(path: str) -> tuple[FileHeader, Any]:
    """The file's header and the file open for reading."""
    header = read_header(path)
    try:
        return header, _open(path)
    except UnreadableRecordingError:
        raise
    except OSError as error:
        raise _unreadable(path, header, error) from error


def load(path: str | os.PathLike[str]) -> Recording:
    """Read a recording: every instrument's samples, gaps and metadata.

    Works on a file still being written (it holds what was flushed until now), on one
    whose recorder died (what was flushed before) and on one cut short (the samples that
    are in it; see ``Recording.cut_short``). Gives up on a damaged file within seconds.

    :raises FileNotFoundError: If there is no such file
    :raises UnreadableRecordingError: If it is not an HDF5 file, or HDF5 cannot read it (an
        ``OSError``)
    :raises NotARecordingError: If it is an HDF5 file but not a recording (a ``ValueError``)
    """
    name = os.fspath(path)
    if not os.path.exists(name):
        raise FileNotFoundError(f"No such recording: {name}")
    header, file = _reading(name)
    try:
        with file:
            if INSTRUMENTS not in file:
                raise NotARecordingError(f"{name} is not a velmo recording: it has no /{INSTRUMENTS} group")
            groups = file[INSTRUMENTS]  # by name: a look-up raises where items() hides a damaged group as None
            instruments = {key: _instrument(name, key, groups[key], file) for key in groups}
            metadata = _attributes(file.attrs)
            size = os.fstat(file.id.get_vfd_handle()).st_size
    except NotARecordingError:
        raise
    except (OSError, KeyError, RuntimeError, ValueError) as error:  # h5py's errors for what HDF5 cannot read
        raise _unreadable(name, header, error) from error
    return Recording(name, metadata, instruments, size, header.stored_size, header.marked_open)


def held_samples(path: str) -> dict[str, int]:
    """How many samples of each instrument the file holds, without reading them.

    :raises OSError: If the file cannot be read
    """
    _header, file = _reading(path)
    with file:
        groups = file[INSTRUMENTS]
        return {key: _lengths(groups[key], file)[0] for key in groups}
