"""Taps: independent readers of one acquisition's stream.

The reader parses each hand-over of the port into one block and gives the same block
to every tap: adding a consumer costs no copy of the samples. Each tap has its own
bounded queue; the reader never waits for one. A tap that falls behind drops its own
oldest blocks, counted, and its next chunk says how many are missing before it
(``dropped_before``); the other taps and the reader go on as if it were not there.
"""

from __future__ import annotations

import array
import asyncio
import collections
import logging
import threading
import time
from collections.abc import AsyncIterator, Iterator
from typing import TYPE_CHECKING

import velmo_device_communication as vdc

from .chunks import AcquisitionStats, Block, Chunk, End, SampleGap

if TYPE_CHECKING:
    from .acquisition import Acquisition

logger = logging.getLogger("velmo.acquisition")

WARNING_INTERVAL = 1.0

_Waiter = tuple[asyncio.AbstractEventLoop, "asyncio.Future[None]"]


def _set_done(future: asyncio.Future[None]) -> None:
    if not future.done():
        future.set_result(None)


class Tap:
    """One consumer's reader of an acquisition's stream: made by ``Acquisition.tap()``.

    Sees every sample from its creation on, in its own bounded queue of
    ``buffer_seconds``. Read it as the acquisition itself is read: ``read``,
    ``read_samples``, iteration, ``async for ... in tap.chunks()``. Its ``stats`` count
    its own ``dropped`` samples and share everything else (``lost`` on the line among
    them) with the acquisition. ``close()`` ends it; the acquisition goes on.

    A chunk's ``loads`` and ``counts`` may be the very arrays other taps receive: read
    them, do not change them (``Chunk.to_numpy`` gives read-only views).
    """

    def __init__(self, acquisition: Acquisition, capacity: int, name: str, start: int, lost: int, invalid: int):
        self.name = name
        self.first_index = start  # the number of the first sample it sees since the start of streaming
        self._acquisition = acquisition
        self._capacity = capacity
        # Between the reader and this tap's consumer: held for a few operations at a time.
        self._lock = threading.Lock()
        self._arrived = threading.Condition(self._lock)
        self._blocks: collections.deque[Block] = collections.deque()
        self._queued = 0
        self._end: End | None = None
        self._dropped = 0
        self._unwarned = 0
        self._last_warning = float("-inf")
        self._waiters: list[_Waiter] = []
        # The consumer's own.
        self._front: collections.deque[Block | End] = collections.deque()  # read back before the queue
        self._ended: End | None = None
        self._next_index = start
        self._lost_seen = lost
        self._invalid_seen = invalid
        self._reader_dropped_seen = acquisition._reader_dropped

    def __repr__(self) -> str:
        return f"<Tap {self.name!r} of the acquisition from {self._acquisition.port_name()}>"

    # -- the reader's side ---------------------------------------------------

    def _put(self, block: Block) -> None:
        """Queue a block; the oldest make room beyond the capacity. Never waits for the consumer."""
        with self._lock:
            if self._end is not None:
                return
            self._blocks.append(block)
            self._queued += len(block.counts)
            while self._queued > self._capacity and self._blocks:
                oldest = self._blocks.popleft()
                self._queued -= len(oldest.counts)
                self._dropped += len(oldest.counts)
                self._unwarned += len(oldest.counts)
            self._arrived.notify_all()
            waiters, self._waiters = self._waiters, []
        self._wake(waiters)
        self._warn(force=False)

    def _finish(self, end: End) -> None:
        """No block comes after what is queued: the stream ended, or the tap was closed."""
        with self._lock:
            if self._end is None:
                self._end = end
            self._arrived.notify_all()
            waiters, self._waiters = self._waiters, []
        self._wake(waiters)
        self._warn(force=True)

    @staticmethod
    def _wake(waiters: list[_Waiter]) -> None:
        for loop, future in waiters:
            try:
                loop.call_soon_threadsafe(_set_done, future)
            except RuntimeError:  # the consumer's event loop is closed: nobody waits
                pass

    def _warn(self, *, force: bool) -> None:
        if not self._unwarned:
            return
        now = time.monotonic()
        if not force and now - self._last_warning < WARNING_INTERVAL:
            return
        count, self._unwarned = self._unwarned, 0
        self._last_warning = now
        who = f"The tap {self.name!r}" if self.name else "Acquisition"
        logger.warning(
            "%s fell behind: dropped %d samples the consumer did not read in time (%d in all)",
            who,
            count,
            self._dropped,
        )

    # -- the consumer's side -------------------------------------------------

    def _next(self, timeout: float | None) -> Block | End | None:
        """The next block, or the end; None when nothing came within ``timeout``."""
        if self._front:
            return self._front.popleft()
        if self._ended is not None:
            return self._ended
        with self._lock:
            if not self._blocks and self._end is None and (timeout is None or timeout > 0):
                self._arrived.wait_for(lambda: bool(self._blocks) or self._end is not None, timeout)
            if self._blocks:
                block = self._blocks.popleft()
                self._queued -= len(block.counts)
                return block
            if self._end is not None:
                self._ended = self._end
                return self._end
        return None

    def read(self, timeout: float | None = None) -> Chunk | None:
        """The samples queued since the last read, up to the next gap, as one chunk.

        :param timeout: Seconds to wait for the first sample; ``None`` waits until one
            comes or the stream ends
        :return: The chunk, or ``None`` when no sample came in time or the stream has ended
        :raises VelmoConnectionError: If the instrument was lost, once every sample
            received before has been read
        """
        first = self._next(timeout)
        if first is None:
            return None
        if isinstance(first, End):
            self._raise_failure(first)
            return None
        blocks = [first]
        while (item := self._next(0)) is not None:
            if isinstance(item, End) or not self._continues(blocks[-1], item):
                self._front.appendleft(item)
                break
            blocks.append(item)
        return self._chunk(blocks)

    def read_samples(self, n: int, timeout: float | None = None) -> Chunk | None:
        """Exactly ``n`` consecutive samples as one chunk.

        :param n: How many samples
        :param timeout: Seconds to wait for all of them; ``None`` waits as long as it takes
        :return: The chunk; ``None`` when they did not all come in time (those that came
            stay queued for the next read); fewer than ``n`` only when the stream ended first
        :raises SampleGap: If samples are missing from the stream among the ``n``; the
            samples before the gap are in the exception, the next read starts after it
        :raises VelmoConnectionError: If the instrument was lost, once every sample
            received before has been read
        """
        if n < 1:
            raise ValueError(f"n must be at least 1, not {n!r}")
        deadline = None if timeout is None else time.monotonic() + timeout
        blocks: list[Block] = []
        have = 0
        while have < n:
            remaining = None if deadline is None else max(0.0, deadline - time.monotonic())
            item = self._next(remaining)
            if item is None:  # not all in time: what came is read next time
                self._front.extendleft(reversed(blocks))
                return None
            if isinstance(item, End):
                if blocks:  # the samples first; the end at the next read
                    self._front.appendleft(item)
                    return self._chunk(blocks)
                self._raise_failure(item)
                return None
            if blocks and not self._continues(blocks[-1], item):
                self._front.appendleft(item)
                chunk = self._chunk(blocks)
                raise SampleGap(chunk, item.start - self._next_index)
            wanted = n - have
            if len(item.counts) > wanted:
                head = item._replace(loads=item.loads[:wanted], counts=item.counts[:wanted])
                tail = item._replace(start=item.start + wanted, loads=item.loads[wanted:], counts=item.counts[wanted:])
                self._front.appendleft(tail)
                item = head
            blocks.append(item)
            have += len(item.counts)
        return self._chunk(blocks)

    @staticmethod
    def _continues(last: Block, block: Block) -> bool:
        return block.start == last.start + len(last.counts)

    def _chunk(self, blocks: list[Block]) -> Chunk:
        first, last = blocks[0], blocks[-1]
        if len(blocks) == 1:  # the reader's own arrays, shared with the other taps
            loads, counts = first.loads, first.counts
        else:
            loads, counts = array.array("d"), array.array("I")
            for block in blocks:
                loads.extend(block.loads)
                counts.extend(block.counts)
        lost_before = first.lost_through - self._lost_seen
        dropped_before = first.start - self._next_index - lost_before
        invalid = last.invalid_through - self._invalid_seen
        self._next_index = last.start + len(last.counts)
        self._lost_seen, self._invalid_seen = last.lost_through, last.invalid_through
        acquisition = self._acquisition
        t0 = acquisition.started_at + first.start * acquisition.interval
        arrivals = [(block.start, block.arrived) for block in blocks]
        return Chunk(loads, counts, t0, acquisition.interval, invalid, first.start, lost_before, dropped_before, arrivals)

    def _raise_failure(self, end: End) -> None:
        error = end.failure
        if error is None:
            return
        if isinstance(error, (OSError, vdc.VelmoCommunicationError)):
            message = f"Lost the instrument on {self._acquisition.port_name()} while streaming: {error}"
            raise vdc.VelmoConnectionError(message) from error
        raise RuntimeError(f"The acquisition reader stopped: {error!r}") from error

    def __iter__(self) -> Iterator[Chunk]:
        """Chunks as they arrive, until the stream ends or the instrument is lost."""
        while True:
            chunk = self.read()
            if chunk is None:
                return
            yield chunk

    async def chunks(self) -> AsyncIterator[Chunk]:
        """Chunks as they arrive, for asyncio programs: waiting never blocks the event loop.

        Ends when the stream ends; raises ``VelmoConnectionError`` when the instrument is
        lost, after every sample received before. However the consumer is cancelled, no
        sample is taken from the queue that it does not receive.
        """
        loop = asyncio.get_running_loop()
        while True:
            chunk = self.read(timeout=0)
            if chunk is not None:
                yield chunk
            elif self._ended is not None:
                return
            else:
                await self._arrival(loop)

    async def _arrival(self, loop: asyncio.AbstractEventLoop) -> None:
        """Until a block or the end is queued; the reader wakes the loop."""
        future: asyncio.Future[None] = loop.create_future()
        waiter = (loop, future)
        with self._lock:
            if self._blocks or self._end is not None:
                return
            self._waiters.append(waiter)
        try:
            await future
        finally:
            with self._lock:
                if waiter in self._waiters:
                    self._waiters.remove(waiter)

    @property
    def dropped(self) -> int:
        """Samples this tap dropped because its consumer fell behind."""
        return self._dropped + self._acquisition._reader_dropped - self._reader_dropped_seen

    @property
    def stats(self) -> AcquisitionStats:
        """The acquisition's counters, with this tap's own ``dropped``."""
        return self._acquisition._stats(self.dropped)

    def close(self) -> None:
        """End this tap: no sample is queued for it any more; those queued stay readable. Safe to repeat."""
        self._acquisition._detach(self)
        self._finish(End(None))
