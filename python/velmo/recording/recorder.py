"""Recording instruments into one HDF5 file that can be read while it grows and survives a crash.

One ``Acquisition`` per instrument - the recorder's own, or one the program runs, read
through a tap of its own - and one writer thread. The file is written in HDF5's
single-writer/multiple-reader (SWMR) mode: every dataset and attribute is created first,
then SWMR is switched on, and from then on the writer only appends and flushes (at least
once a second), so that a reader opening the file with ``swmr=True`` - during the run, or
after the recorder was killed - sees every sample up to the last flush.

A file gets its name only once that layout is in it (it is created under a temporary name
beside it), so a file of that name is always readable; and while it is written it is held
with a shared lock, which keeps other recorders from replacing it (see ``check_output``).
"""

from __future__ import annotations

import collections
import contextlib
import dataclasses
import enum
import errno
import logging
import os
import re
import secrets
import shutil
import stat
import threading
import time
from collections.abc import Iterable, Iterator, Mapping
from types import TracebackType
from typing import IO, Any, Literal, Union

import numpy as np
import velmo_device_communication as vdc

from .. import interrupts
from ..acquisition import Acquisition, Chunk, samples_per_second
from ..acquisition.taps import Tap
from ..events.event import Event
from ..events.storage import EventWriter
from ..events.watcher import Watcher
from .layout import (
    BLOCK_DTYPE,
    FILE_ATTRIBUTES,
    GAP_DTYPE,
    GAP_REASONS,
    InstrumentInfo,
    InstrumentWriter,
    add_instrument,
    create_file,
)
from .reader import held_samples, read_header

try:
    import fcntl
except ImportError:  # not POSIX: no advisory locks
    _flock: Any = None
else:
    _flock = fcntl.flock

logger = logging.getLogger(__name__)

# The writer takes what the acquisitions queued this often, and flushes at least every
# FLUSH_INTERVAL: a crash loses at most the samples of the last WRITE_INTERVAL + FLUSH_INTERVAL.
WRITE_INTERVAL = 0.25
FLUSH_INTERVAL = 0.5
MIN_SPLIT_SIZE = 64 * 1024
RUN_ENDED = "the run ended"
INTERRUPTED = "the run was interrupted (Ctrl-C)"
FILE_REMOVED = "the file was removed while it was being written"
# POSIX renames a file that is open; elsewhere a file is created under its own name.
CREATES_UNDER_TEMPORARY_NAME = os.name == "posix"


def part_path(path: str, part: int | None) -> str:
    """The file of part ``part`` of a split run (``run-0001.h5``); ``path`` itself for None."""
    if part is None:
        return path
    root, suffix = os.path.splitext(path)
    return f"{root}-{part:04d}{suffix}"


class RecordingError(Exception):
    """The recording stopped, or could not start, because its file could not be written."""


def existing_files(path: str, *, splitting: bool) -> list[str]:
    """The files a run of ``path`` would write that exist already: ``path``, or with
    splitting every part of that name (``run-0001.h5``, ``run-0002.h5``, ...)."""
    if not splitting:
        return [path] if os.path.lexists(path) else []
    folder, name = os.path.split(path)
    root, suffix = os.path.splitext(name)
    part = re.compile(re.escape(root) + r"-\d{4,}" + re.escape(suffix))
    try:
        names = os.listdir(folder or ".")
    except OSError:  # no such folder: nothing there, and creating the file says why not
        return []
    return sorted(os.path.join(folder, entry) for entry in names if part.fullmatch(entry))


def _exists(path: str) -> FileExistsError:
    return FileExistsError(errno.EEXIST, "The file exists; choose another name, or overwrite it", path)


def _lock(stream: IO[bytes], *, exclusive: bool) -> bool:
    """Lock without waiting; False when another holds a conflicting lock. Where the system
    or the file system has no such locks, the lock counts as taken."""
    if _flock is None:
        return True
    try:
        _flock(stream.fileno(), (fcntl.LOCK_EX if exclusive else fcntl.LOCK_SH) | fcntl.LOCK_NB)
    except BlockingIOError:
        return False
    except OSError:
        pass
    return True


def _in_use(path: str) -> RecordingError:
    try:
        writing = read_header(path).marked_open
    except OSError:
        writing = False
    holder = "is open in another program"
    if writing:
        holder = "is being written by another program (a recorder, most likely)"
    return RecordingError(f"{path} {holder}: it is left as it is; choose another name, or wait until it is closed")


@contextlib.contextmanager
def _replacing(path: str, overwrite: bool) -> Iterator[None]:
    """Keep ``path`` from being replaced while another program has it open - recorders hold
    their files with a shared lock, HDF5's readers too - and hold it while it is replaced.

    :raises FileExistsError: If it exists and ``overwrite`` is false
    :raises RecordingError: If it is not a regular file, or another program has it open
    """
    try:
        regular = stat.S_ISREG(os.stat(path).st_mode)
    except FileNotFoundError:
        yield
        return
    if not overwrite:
        raise _exists(path)
    if not regular:
        raise RecordingError(f"{path} is not a regular file; a recording replaces only a file")
    with open(path, "rb") as old:
        if not _lock(old, exclusive=True):
            raise _in_use(path)
        yield


def check_output(path: str, *, splitting: bool, overwrite: bool) -> None:
    """Refuse, before anything starts, a run that would meet a file of its name(s): one that
    exists, unless ``overwrite``; one another program writes or reads, in any case.

    :raises FileExistsError: If a file of the run exists and ``overwrite`` is false
    :raises RecordingError: If another program has one of them open
    """
    for existing in existing_files(path, splitting=splitting):
        with _replacing(existing, overwrite):
            pass


def _temporary_name(path: str) -> str:
    if not CREATES_UNDER_TEMPORARY_NAME:
        return path
    folder, name = os.path.split(path)
    return os.path.join(folder, f".{name}.{secrets.token_hex(4)}.partial")


def _publish(temporary: str, path: str, overwrite: bool) -> None:
    """Give the new file its name; never over a file that appeared meanwhile, unless ``overwrite``."""
    if temporary == path:
        return
    if overwrite:
        os.replace(temporary, path)
        return
    try:
        os.link(temporary, path)  # checks and takes the name in one step
    except FileExistsError:
        raise _exists(path) from None
    except OSError:  # a file system without hard links
        if os.path.lexists(path):
            raise _exists(path) from None
        os.replace(temporary, path)
        return
    os.unlink(temporary)


@dataclasses.dataclass(frozen=True)
class InstrumentStats:
    """One instrument's samples: ``received`` from the line, ``written`` to the file and
    flushed (every part of a split run), ``dropped`` because the writer fell behind, ``lost``
    on the line; the achieved ``rate``; the size of the file written now; ``ended`` says why
    the instrument's recording ended, None while it goes on."""

    received: int
    written: int
    dropped: int
    lost: int
    rate: float
    file_size: int
    ended: str | None


Source = Union[vdc.VelmoDevice, Acquisition]
EventsKey = Union[vdc.VelmoDevice, Acquisition, str]


class _Instrument:
    """One instrument on its way into the file, read through ``tap``."""

    def __init__(self, name: str, info: InstrumentInfo, acquisition: Acquisition, tap: Tap, owned: bool):
        self.name = name
        self.info = info
        self.acquisition = acquisition
        self.tap = tap
        self.owned = owned  # started by the recorder, which stops it
        self.writer: InstrumentWriter | None = None
        self.next_sample = tap.first_index  # number of the sample after the last one written
        self.written = 0
        self.flushed = 0
        self.ended: str | None = None
        self.watcher: Watcher | None = None
        self.completed: collections.deque[Event] = collections.deque()  # by the watcher, not yet written
        self.event_writer: EventWriter | None = None

    def rows(self, chunks: list[Chunk], position: int) -> tuple[Any, Any, Any, Any]:
        """Loads, counts, blocks and gaps of ``chunks``, the first going to ``position``."""
        acquisition = self.acquisition
        clock_to_wall = acquisition.started_at - acquisition.started_clock
        blocks: list[tuple[int, float, float]] = []
        gaps: list[tuple[int, int, int]] = []
        for chunk in chunks:
            if chunk.lost_before:
                gaps.append((position, chunk.lost_before, GAP_REASONS["lost"]))
            if chunk.dropped_before:
                gaps.append((position, chunk.dropped_before, GAP_REASONS["dropped"]))
            blocks.extend(
                (position + index - chunk.index, arrived, arrived + clock_to_wall) for index, arrived in chunk.arrivals
            )
            position += len(chunk)
            self.next_sample = chunk.index + len(chunk)
        loads = np.concatenate([np.frombuffer(chunk.loads, dtype=np.float64) for chunk in chunks])
        counts = np.concatenate([np.frombuffer(chunk.counts, dtype=np.uint32) for chunk in chunks])
        return loads, counts, np.array(blocks, dtype=BLOCK_DTYPE), np.array(gaps, dtype=GAP_DTYPE)


@dataclasses.dataclass
class _Part:
    """A file of the run, named and in SWMR mode, with one writer per instrument."""

    path: str
    file: Any
    keeper: IO[bytes]  # the file opened once more: it holds the lock, and outlives a removal
    writers: dict[str, InstrumentWriter]
    event_writers: dict[str, EventWriter]

    def discard(self) -> None:
        """Close and remove a part that never received a sample."""
        with contextlib.suppress(Exception):
            self.file.close()
        self.keeper.close()
        with contextlib.suppress(OSError):
            os.remove(self.path)


def _unique_names(infos: list[InstrumentInfo]) -> list[str]:
    names: list[str] = []
    for info in infos:
        name, suffix = info.name, 2
        while name in names:
            name, suffix = f"{info.name}_{suffix}", suffix + 1
        names.append(name)
    return names


def _check_metadata(metadata: Mapping[str, Any]) -> dict[str, Any]:
    checked = {}
    for key, value in metadata.items():
        if not isinstance(key, str) or not key:
            raise ValueError(f"metadata keys must be non-empty strings, not {key!r}")
        if key in FILE_ATTRIBUTES:
            raise ValueError(f"{key!r} is an attribute velmo writes itself; choose another metadata key")
        if not isinstance(value, (str, int, float, bool)):
            raise TypeError(f"metadata value of {key!r} must be a str, int, float or bool, not {type(value).__name__}")
        checked[key] = value
    return checked


def _reason(error: Exception) -> str:
    """The cause of a failed write in a few words: an errno's text where there is one."""
    code = getattr(error, "errno", None)
    if isinstance(code, int) and code:
        return os.strerror(code)
    return " ".join(str(error).split()) or type(error).__name__


class Recorder:
    """Records every sample of one or more instruments into an HDF5 file.

    ::

        with Recorder("run.h5", devices, rate="SPS_1300", metadata={"bench": "B2"}) as recorder:
            recorder.wait(60)

    The recording runs from the ``with`` block's start to its end; Ctrl-C or an exception
    ends it cleanly too. An instrument that is lost ends its datasets there (the reason in
    its ``end_reason`` attribute) while the others go on; ``wait`` returns early once every
    instrument is lost. A file that cannot be written (a full disk, a file removed) stops the
    run with ``RecordingError``; what was written stays readable. Ctrl-C gives the reason
    ``the run was interrupted (Ctrl-C)``.

    :param path: The file to write; with splitting, parts ``<stem>-0001<suffix>``, ... next to it
    :param devices: Connected ``VelmoDevice`` objects, each recorded by an ``Acquisition`` the
        recorder starts and stops, and running acquisitions (started with ``describe``, as by
        default), each recorded through a tap of its own and left running
    :param rate: Sampling rate for every device (a member name such as ``"SPS_1300"`` or
        a member); ``None`` keeps each instrument's own. Put back at the end.
    :param channel: Channel of the devices whose profile's sampling rate is set or read
    :param metadata: The user's own file attributes, such as ``{"operator": "ana"}``
    :param split_every: Start a new part after this many seconds
    :param split_size: Start a new part once the file has reached this many bytes
    :param overwrite: Replace existing files of the run instead of refusing to start; never
        one that another program (another recorder) has open
    :param events: Per instrument (its running acquisition, the acquisition's device, or its
        name in the file) a ``Watcher`` of that acquisition, whose events are written with
        their verdicts beside the samples (``/instruments/<name>/events/``) as they complete,
        from the recorder's start to its close. The caller runs the watcher (``start()``, or a
        loop over it); the recorder only queues what it delivers.
    :raises ValueError: For no sources, one given twice, a bad split setting or metadata key, a
        rate a model lacks, events for an instrument that is not recorded
    """

    def __init__(
        self,
        path: str | os.PathLike[str],
        devices: Iterable[Source],
        *,
        rate: str | enum.Enum | None = None,
        channel: int = 0,
        metadata: Mapping[str, Any] | None = None,
        split_every: float | None = None,
        split_size: int | None = None,
        overwrite: bool = False,
        events: Mapping[EventsKey, Watcher] | None = None,
    ):
        self._sources = list(devices)
        self._watchers = dict(events or {})
        if not self._sources:
            raise ValueError("Recorder needs at least one device or acquisition")
        devices = [source.device if isinstance(source, Acquisition) else source for source in self._sources]
        if len({id(device) for device in devices}) != len(devices):
            raise ValueError("a device is given twice: each one can be streamed by one acquisition only")
        if split_every is not None and not split_every > 0:
            raise ValueError(f"split_every must be a positive number of seconds, not {split_every!r}")
        if split_size is not None and not split_size >= MIN_SPLIT_SIZE:
            raise ValueError(f"split_size must be at least {MIN_SPLIT_SIZE} bytes, not {split_size!r}")
        self._base = os.fspath(path)
        self._rate = rate
        self._channel = channel
        self._metadata = _check_metadata(metadata or {})
        self._split_every = split_every
        self._split_size = split_size
        self._overwrite = overwrite
        self._instruments: list[_Instrument] = []
        self._file: Any = None
        self._keeper: IO[bytes] | None = None  # the file opened once more: it outlives a removal
        self._file_size = 0
        self._part_started = 0.0
        self._thread: threading.Thread | None = None
        self._end_reason = RUN_ENDED
        self._stop = threading.Event()
        self._done = threading.Event()
        self._failure: RecordingError | None = None
        self._failure_raised = False
        self.paths: list[str] = []  # every file of the run so far, the one being written last

    # -- lifecycle -----------------------------------------------------------

    def __enter__(self) -> Recorder:
        self.start()
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> Literal[False]:
        if exc_type is None:
            self.close()
            return False
        if issubclass(exc_type, KeyboardInterrupt):
            self._end_reason = INTERRUPTED
        self._failure_raised = self._failure_raised or exc_value is self._failure
        try:
            self.close()
        except RecordingError as error:  # the exception in flight says more; keep this one in the log
            logger.error(str(error))
        return False

    @property
    def path(self) -> str:
        """The file being written (the last one once the recording has ended)."""
        return self.paths[-1] if self.paths else self._part_path(1)

    def start(self) -> None:
        """Ask each instrument for its identity and calibration, start streaming all of them,
        create the file and start the writer.

        :raises FileExistsError: If a file of the run exists and ``overwrite`` is false (with
            splitting: any part of its name)
        :raises RecordingError: If another program has a file of the run open, or the file
            cannot be created
        :raises RuntimeError: If the recorder was started before
        """
        if self._thread is not None or self._stop.is_set():
            raise RuntimeError("A recorder can be started only once")
        first = self._part_path(1)
        check_output(self._base, splitting=self._splitting, overwrite=self._overwrite)
        with contextlib.ExitStack() as stack:
            readers: list[tuple[InstrumentInfo, Acquisition, Tap, bool]] = []
            for source in self._sources:
                if isinstance(source, Acquisition):
                    if not source.running or source.instrument is None:
                        raise ValueError(
                            f"the acquisition from {source.port_name()} must be running and started with describe=True"
                        )
                    tap = source.tap(name=f"recorder {first}")
                    stack.callback(tap.close)
                    readers.append((source.instrument, source, tap, False))
                else:
                    acquisition = stack.enter_context(
                        Acquisition(source, channel=self._channel, rate=self._rate, describe=True)
                    )
                    assert acquisition.instrument is not None and acquisition.first_tap is not None
                    readers.append((acquisition.instrument, acquisition, acquisition.first_tap, True))
            names = _unique_names([info for info, _, _, _ in readers])
            for name, (info, acquisition, tap, owned) in zip(names, readers):
                self._instruments.append(_Instrument(name, info, acquisition, tap, owned))
            self._assign_watchers()
            self._use(self._create_part(first))
            for instrument in self._instruments:
                if instrument.watcher is not None:
                    instrument.watcher.add_listener(instrument.completed.append)
                    stack.callback(instrument.watcher.remove_listener, instrument.completed.append)
            stack.pop_all()
        self._thread = threading.Thread(target=self._write, name=f"velmo-recorder {first}", daemon=True)
        self._thread.start()

    def _assign_watchers(self) -> None:
        """Give each watcher of ``events`` to the instrument its key names.

        :raises ValueError: If a key names no instrument of the recording
        """
        for key, watcher in self._watchers.items():
            for instrument in self._instruments:
                if key is instrument.acquisition or key is instrument.acquisition.device or key == instrument.name:
                    instrument.watcher = watcher
                    break
            else:
                raise ValueError(f"events are given for {key!r}, which this recorder does not record")

    def wait(self, timeout: float | None = None) -> bool:
        """Wait until the recording ends by itself: every instrument lost, or the file failed.

        :param timeout: Seconds to wait at most; ``None`` waits as long as it takes
        :return: True once the recording has ended, False when ``timeout`` passed first
        :raises RecordingError: If the file could not be written
        """
        ended = self._done.wait(timeout)
        self._raise_failure()
        return ended

    def close(self) -> None:
        """End the recording: stop every stream, write what was still queued, close the file.

        Ctrl-C during this is held back until it is done. Safe to repeat.

        :raises RecordingError: If the file could not be written (and ``wait`` did not say so)
        """
        with interrupts.held():
            # The recorder's own streams stop here, on the caller's thread; then the writer
            # takes what they queued up to the stop, and closes the file.
            for instrument in self._instruments:
                if instrument.owned:
                    try:
                        instrument.acquisition.close()
                    except Exception as error:
                        logger.warning("%s: could not switch the stream off cleanly: %s", instrument.name, error)
            self._stop.set()
            if self._thread is not None:
                self._thread.join()
        self._raise_failure()

    def _raise_failure(self) -> None:
        if self._failure is not None and not self._failure_raised:
            self._failure_raised = True
            raise self._failure

    @property
    def stats(self) -> dict[str, InstrumentStats]:
        """Per instrument, by the name of its group in the file."""
        result = {}
        for instrument in self._instruments:
            stats = instrument.tap.stats
            result[instrument.name] = InstrumentStats(
                received=stats.received,
                written=instrument.flushed,
                dropped=stats.dropped,
                lost=stats.lost,
                rate=stats.rate,
                file_size=self._file_size,
                ended=instrument.ended,
            )
        return result

    # -- files ---------------------------------------------------------------

    @property
    def _splitting(self) -> bool:
        return self._split_every is not None or self._split_size is not None

    def _part_path(self, part: int) -> str:
        return part_path(self._base, part if self._splitting else None)

    def _active(self) -> list[_Instrument]:
        return [instrument for instrument in self._instruments if instrument.ended is None]

    def _create_part(self, path: str) -> _Part:
        """The next file, every dataset created before SWMR mode is switched on, under its name.

        :raises FileExistsError: If the file exists and ``overwrite`` is false
        :raises RecordingError: If another program has the file open, or it cannot be created
        """
        try:
            with _replacing(path, self._overwrite):
                temporary = _temporary_name(path)
                file = keeper = None
                try:
                    file = create_file(temporary, self._metadata, len(self.paths) + 1, overwrite=self._overwrite)
                    writers, event_writers = {}, {}
                    for instrument in self._active():
                        acquisition = instrument.acquisition
                        assert acquisition.rate is not None
                        writers[instrument.name] = add_instrument(
                            file,
                            instrument.name,
                            instrument.info,
                            samples_per_second(acquisition.rate),
                            acquisition.started_at,
                            instrument.next_sample,
                        )
                        if instrument.watcher is not None:
                            watcher = instrument.watcher
                            event_writers[instrument.name] = EventWriter.create(
                                writers[instrument.name].group, str(watcher.trigger), watcher.limits
                            )
                    file.swmr_mode = True  # HDF5 lets go of its own lock here
                    keeper = open(temporary, "rb")
                    _lock(keeper, exclusive=False)
                    _publish(temporary, path, self._overwrite)
                except BaseException:
                    if file is not None:
                        file.close()
                    if keeper is not None:
                        keeper.close()
                    if file is not None or temporary != path:  # never a file that was there before
                        with contextlib.suppress(OSError):
                            os.remove(temporary)
                    raise
        except (FileExistsError, RecordingError):
            raise
        except OSError as error:
            raise RecordingError(f"Could not create {path}: {_reason(error)}") from error
        return _Part(path, file, keeper, writers, event_writers)

    def _use(self, part: _Part) -> None:
        """Write into ``part`` from now on."""
        for instrument in self._active():
            instrument.writer = part.writers[instrument.name]
            instrument.event_writer = part.event_writers.get(instrument.name)
        self._file, self._keeper = part.file, part.keeper
        self.paths.append(part.path)
        self._part_started = time.monotonic()
        self._file_size = os.fstat(part.keeper.fileno()).st_size

    def _flush(self, *, closing: bool = False) -> None:
        """Flush the file, or close it (the keeper stays open for the caller): what it holds is safe."""
        if closing:
            self._file.close()
        else:
            self._file.flush()
        for instrument in self._instruments:
            instrument.flushed = instrument.written
        assert self._keeper is not None
        self._file_size = os.fstat(self._keeper.fileno()).st_size

    def _file_gone(self) -> bool:
        """Whether the path no longer names the file being written (removed, or replaced)."""
        assert self._keeper is not None
        ours = os.fstat(self._keeper.fileno())
        try:
            named = os.stat(self.path)
        except FileNotFoundError:
            return True
        return (named.st_dev, named.st_ino) != (ours.st_dev, ours.st_ino)

    def _split_due(self) -> bool:
        if self._split_every is not None and time.monotonic() - self._part_started >= self._split_every:
            return True
        return self._split_size is not None and self._file_size >= self._split_size

    def _next_part(self) -> str | None:
        """Go on in the next part, named before this one says it continues there; why the run
        stops where that part cannot be created (``_failure`` says the rest)."""
        following = self._part_path(len(self.paths) + 1)
        try:
            part = self._create_part(following)
        except (OSError, RecordingError) as error:
            detail = str(error)
            if not isinstance(error, RecordingError):
                detail = f"Could not create {following}: {_reason(error)}"
            kept = f"{self.path} keeps every sample up to then"
            self._failure = RecordingError(f"{detail}. The recording stopped; {kept}")
            self._failure.__cause__ = error
            return f"stopped: could not create {os.path.basename(following)}"
        try:
            now = time.time()
            for instrument in self._active():
                assert instrument.writer is not None
                instrument.writer.end(f"continued in {os.path.basename(following)}", now)
            self._flush(closing=True)
        except BaseException:
            part.discard()
            raise
        assert self._keeper is not None
        self._keeper.close()
        self._use(part)
        return None

    # -- the writer thread ---------------------------------------------------

    def _write(self) -> None:
        try:
            reason = self._record()
            if reason is None:
                reason = FILE_REMOVED if self._file_gone() else self._end_reason
            self._finish(reason)
            if reason == FILE_REMOVED:
                self._failure = RecordingError(self._restore())
        except Exception as error:
            self._abandon(error)
        finally:
            if self._keeper is not None:
                self._keeper.close()
            self._done.set()

    def _record(self) -> str | None:
        """Write and flush until told to stop or every instrument is lost; why the run ends
        early otherwise (the file removed, the next part not created)."""
        last_flush = time.monotonic()
        while not self._stop.wait(WRITE_INTERVAL):
            for instrument in self._active():
                self._take(instrument)
            if not self._active():
                return None
            if time.monotonic() - last_flush >= FLUSH_INTERVAL:
                self._flush()
                last_flush = time.monotonic()
                if self._file_gone():
                    return FILE_REMOVED
                if self._split_due() and (stopped := self._next_part()) is not None:
                    return stopped
        return None

    def _take(self, instrument: _Instrument) -> None:
        """Write what the instrument's acquisition has queued; end it there if it was lost."""
        chunks: list[Chunk] = []
        lost: Exception | None = None
        try:
            while (chunk := instrument.tap.read(timeout=0)) is not None:
                chunks.append(chunk)
        except Exception as error:  # raised once every sample before it was read
            lost = error
        writer = instrument.writer
        assert writer is not None
        if chunks:
            writer.append(*instrument.rows(chunks, writer.length))
            instrument.written += sum(len(chunk) for chunk in chunks)
        if instrument.event_writer is not None:
            completed = []
            while instrument.completed:
                completed.append(instrument.completed.popleft())
            instrument.event_writer.append(completed)
        if lost is not None:
            logger.warning("%s: %s; its recording ends here", instrument.name, lost)
            self._end(instrument, " ".join(str(lost).split()))

    def _end(self, instrument: _Instrument, reason: str) -> None:
        assert instrument.writer is not None
        instrument.writer.end(reason, time.time())
        instrument.ended = reason

    def _finish(self, reason: str) -> None:
        """Write what every tap has queued and end it there, say why it ends, close the file.

        Once told to stop, the recorder's own streams are off: their taps hold every
        sample up to the stop."""
        for instrument in self._active():
            if instrument.watcher is not None:
                instrument.watcher.remove_listener(instrument.completed.append)
            self._take(instrument)
            instrument.tap.close()
            if instrument.ended is None:
                self._end(instrument, reason)
        self._flush(closing=True)

    def _restore(self) -> str:
        """Put the removed file back from the keeper, closed as it was closed; what to tell the user."""
        path, keeper = self.path, self._keeper
        assert keeper is not None
        root, suffix = os.path.splitext(path)
        restored = path if not os.path.lexists(path) else f"{root}.recovered{suffix}"
        removed = f"{path} was removed while it was being written: the recording stopped"
        try:
            with open(restored, "xb") as copy:
                keeper.seek(0)
                shutil.copyfileobj(keeper, copy)
        except OSError as error:
            return f"{removed}, and its samples could not be saved again ({_reason(error)})"
        return f"{removed}; its samples up to then were saved again as {restored}"

    def _abandon(self, error: Exception) -> None:
        """The file failed: read no more (``close`` stops the recorder's streams), give up the
        file as HDF5 leaves it, and count what it holds."""
        reason = _reason(error)
        for instrument in self._instruments:
            instrument.tap.close()
            if instrument.watcher is not None:
                instrument.watcher.remove_listener(instrument.completed.append)
            if instrument.ended is None:
                instrument.ended = f"stopped: could not write the file ({reason})"
        for _attempt in range(2):  # a close that failed half-way lets go on a second call
            with contextlib.suppress(Exception):
                self._file.close()
        held = self._held_samples()
        if held is None:
            kept = f"what was flushed before stays readable ({sum(i.flushed for i in self._instruments)} samples)"
        else:
            for instrument in self._instruments:
                if instrument.name in held and instrument.writer is not None:
                    in_earlier_parts = instrument.written - instrument.writer.length
                    instrument.flushed = in_earlier_parts + held.get(instrument.name, 0)
            kept = f"it holds the {sum(held.values())} samples written before"
        self._failure = RecordingError(f"Could not write {self.path}: {reason}. The recording stopped; {kept}")
        self._failure.__cause__ = error

    def _held_samples(self) -> dict[str, int] | None:
        """Per instrument, the samples the file holds as another reader finds it; None where
        it cannot be read, or HDF5 still has it open in this process (and would read its memory)."""
        if self._file.id.valid:
            return None
        try:
            return held_samples(self.path)
        except Exception as error:
            logger.debug(f"{self.path} cannot be read back: {error}")
            return None
