"""What a consumer receives: chunks of samples, the counters, and the gap that
``read_samples`` meets; and the blocks the reader hands to the consumers."""

from __future__ import annotations

import array
import dataclasses
from typing import Any, NamedTuple

class Chunk:
    """Consecutive samples of the stream, evenly spaced in time.

    ``loads`` (``array('d')``) and ``counts`` (``array('I')``) hold one item per
    sample. ``index`` numbers the first sample from the start of streaming,
    counting every sample dropped or lost before it, so sample ``i`` of the chunk
    lies ``(index + i) * interval`` seconds after the start and ``t0`` (as
    ``time.time()``) is the time of the first. ``lost_before`` and
    ``dropped_before`` count the samples missing right before this chunk (lost on
    the line, dropped because the consumer fell behind); ``gap_before`` is their
    sum. ``invalid`` counts the damaged or unparsable packets skipped since the
    previous chunk. ``arrivals`` lists, for each read the chunk was parsed from,
    the index of its first sample and the ``time.monotonic()`` time it arrived.

    A chunk's arrays may be shared with the other taps of its acquisition: read them,
    do not change them.
    """

    __slots__ = ("loads", "counts", "t0", "interval", "invalid", "index", "lost_before", "dropped_before", "arrivals")

    def __init__(
        self,
        loads: array.array[float],
        counts: array.array[int],
        t0: float,
        interval: float,
        invalid: int,
        index: int = 0,
        lost_before: int = 0,
        dropped_before: int = 0,
        arrivals: list[tuple[int, float]] | None = None,
    ):
        self.loads = loads
        self.counts = counts
        self.t0 = t0
        self.interval = interval
        self.invalid = invalid
        self.index = index
        self.lost_before = lost_before
        self.dropped_before = dropped_before
        self.arrivals = [] if arrivals is None else arrivals

    @property
    def gap_before(self) -> int:
        """Samples missing right before this chunk, lost or dropped."""
        return self.lost_before + self.dropped_before

    def __len__(self) -> int:
        return len(self.counts)

    def __repr__(self) -> str:
        gap = f", {self.gap_before} missing before" if self.gap_before else ""
        return f"<Chunk of {len(self)} samples from index {self.index} (t0={self.t0:.6f}){gap}, {self.invalid} invalid>"

    def to_numpy(self) -> tuple[Any, Any]:
        """``(loads, counts)`` as read-only numpy arrays viewing this chunk's buffers, without a copy.

        :raises ImportError: If numpy is not installed
        """
        try:
            import numpy
        except ImportError as error:
            raise ImportError("Chunk.to_numpy() needs numpy (pip install numpy)") from error
        loads = numpy.frombuffer(self.loads, dtype=numpy.float64)
        counts = numpy.frombuffer(self.counts, dtype=numpy.uint32)
        # The buffers may be shared with the other taps of the acquisition.
        loads.flags.writeable = counts.flags.writeable = False
        return loads, counts


@dataclasses.dataclass(frozen=True)
class AcquisitionStats:
    """Where every sample went.

    ``received`` samples parsed from the line (including those ``dropped`` later
    because the consumer fell behind); ``lost`` samples the line never delivered,
    judged from the instrument's rate over the arrival clock; ``discarded_at_stop``
    samples that arrived while the stream was being switched off; ``invalid``
    packets skipped; ``bytes_read`` from the port; the achieved ``rate`` in samples
    per second.
    """

    received: int
    dropped: int
    invalid: int
    bytes_read: int
    rate: float
    lost: int = 0
    discarded_at_stop: int = 0


class SampleGap(Exception):
    """``read_samples`` met samples missing from the stream before it had all it asked for.

    ``chunk`` holds the samples read up to the gap, ``missing`` how many samples are
    missing there; the next read starts right after the gap.
    """

    def __init__(self, chunk: Chunk, missing: int):
        super().__init__(f"{missing} samples are missing from the stream after the first {len(chunk)} read")
        self.chunk = chunk
        self.missing = missing



class Block(NamedTuple):
    """Samples of one hand-over of the reader, as queued for the consumers; ``start`` is
    the index of its first. Shared by every consumer: never changed once made."""

    start: int
    loads: array.array[float]
    counts: array.array[int]
    arrived: float
    lost_through: int  # samples lost on the line up to this block, the gap before it included
    invalid_through: int  # windows skipped up to this block


class End(NamedTuple):
    """The reader ended: closed (``failure`` None) or the port failed."""

    failure: BaseException | None
