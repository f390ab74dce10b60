"""The ``Acquisition`` class: one instrument's stream, from switching it on to verified silence."""

from __future__ import annotations

import array
import asyncio
import collections
import enum
import logging
import queue
import threading
import time
from collections.abc import AsyncIterator, Callable, Iterator
from types import TracebackType
from typing import Any, Literal, NamedTuple

import velmo_device_communication as vdc

from .. import _columns, interrupts, port
from . import registry
from .chunks import AcquisitionStats, Block, Chunk, End, SampleGap
from .clock import LineClock
from .ports import NativePort, PolledPort, Read
from .rates import packet_size, rate_enumeration, resolve_rate, samples_per_second

logger = logging.getLogger("velmo.acquisition")

DEFAULT_BUFFER_SECONDS = 10.0
# The port's input buffer holds 4095 bytes on a pty, 35 ms of the 38 400 SPS stream. The
# Python reader polls it every DEFAULT_POLL_INTERVAL; the native reader pauses after each
# read for a quarter of the time the buffer takes to fill, at most MAX_BATCH_SECONDS.
PORT_BUFFER_BYTES = 4095
DEFAULT_POLL_INTERVAL = 0.005
MAX_BATCH_SECONDS = 0.05
# Longest single wait of the reader, so that a stop request is seen in time.
READER_WAIT = 0.1
# Bounded waits of close(): it must finish whatever the reader does.
READER_JOIN_TIMEOUT = 5.0
WARNING_INTERVAL = 1.0
# A read whose last sample arrives this much later than the floor of the line's latency
# may follow a lost stretch; it is confirmed when the lateness lasts CONFIRM_SECONDS.
LOSS_TOLERANCE = 0.1
CONFIRM_SECONDS = 0.5
# async chunks(): how long one wait for data may keep an executor thread.
ASYNC_WAIT = 0.1


class _Parsed(NamedTuple):
    loads: array.array[float]
    counts: array.array[int]
    arrived: float


class Acquisition:
    """Streams one instrument into a bounded queue of samples read by the consumer.

    :param device: A connected ``VelmoDevice``
    :param channel: Channel whose profile's sampling rate is set or read
    :param rate: Sampling rate to set first, a member name such as ``"SPS_1200"`` or a
        member of the model's enumeration; ``None`` keeps the rate in force. A rate
        set here is put back when the acquisition closes.
    :param converter: Converter applied to every count; the device's converter by default
    :param buffer_seconds: How many seconds of samples the queue holds for the consumer
    :param poll_interval: Pause of the reader between two reads of the port, in seconds;
        by default chosen from the rate, so that the port's input buffer never fills
    :raises ValueError: If the rate does not belong to the model, or an argument is out of range
    :raises VelmoCalibrationError: If there is no converter
    """

    def __init__(
        self,
        device: vdc.VelmoDevice,
        *,
        channel: int = 0,
        rate: str | enum.Enum | None = None,
        converter: Any = None,
        buffer_seconds: float = DEFAULT_BUFFER_SECONDS,
        poll_interval: float | None = None,
    ):
        if not buffer_seconds > 0:
            raise ValueError(f"buffer_seconds must be positive, not {buffer_seconds!r}")
        if poll_interval is not None and not poll_interval >= 0:
            raise ValueError(f"poll_interval must not be negative, not {poll_interval!r}")
        self._device = device
        self._channel = channel
        self._converter = converter if converter is not None else device.get_adc_converter()
        if self._converter is None:
            raise vdc.VelmoCalibrationError("ADC converter not initialized. Cannot convert readings.")
        self._model = device.get_model_number()
        self._requested_rate = None if rate is None else resolve_rate(self._model, rate)
        self._buffer_seconds = buffer_seconds
        self._poll_interval = poll_interval

        self._thread: threading.Thread | None = None
        # Ctrl-C on the main thread, from start to close: see velmo.interrupts.watch.
        self._interrupts = interrupts.Scope(hold_after_first=True)
        self._port: NativePort | PolledPort | None = None
        self._stop_requested = False
        self._closed = False
        self._streaming = False
        self._rate_to_restore: int | None = None
        self._started_clock = 0.0
        self._stopped_clock: float | None = None
        # Between the reader and the consumer: blocks, then one End. Putting never
        # blocks and no lock is shared, so an interrupted consumer cannot stall the reader.
        self._queue: queue.SimpleQueue[Block | End] = queue.SimpleQueue()
        self._capacity = 0
        self._failure: BaseException | None = None
        # Written by the reader thread only.
        self._parse: Callable[[bytes | bytearray, Any], _columns.ParseResult] = _columns.parse_standard
        self._packet_size = 4
        self._remainder = bytearray()
        self._position = 0  # index of the next sample on the line
        self._clock: LineClock | None = None
        self._held: list[_Parsed] = []  # reads that may follow a lost stretch, until that is known
        self._received = 0
        self._queued = 0
        self._dropped = 0
        self._lost = 0
        self._invalid = 0
        self._bytes_read = 0
        self._discarded_at_stop = 0
        self._unwarned = {"dropped": 0, "lost": 0}
        self._last_warning = {"dropped": float("-inf"), "lost": float("-inf")}
        # Written by the consumer only.
        self._taken = 0
        self._next_index = 0
        self._lost_seen = 0
        self._invalid_seen = 0
        self._front: collections.deque[Block | End] = collections.deque()  # read back before the queue
        self._ended: End | None = None
        self.rate: enum.Enum | None = None  # the rate in force, once started
        self.interval = 0.0
        self.started_at = 0.0  # time.time() when streaming was switched on
        self.started_clock = 0.0  # time.monotonic() at the same moment

    # -- lifecycle --------------------------------------------------------

    def __enter__(self) -> Acquisition:
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
        try:
            self.close()
        except Exception as error:  # the exception in flight says more
            logger.warning("Could not switch the stream off cleanly: %s", error)
        return False

    def start(self) -> None:
        """Hold the port, set the rate (when one was given), switch streaming on and start
        the reader. The port stays held until it is closed. A start that fails or is
        interrupted undoes what it did before it raises.

        :raises RuntimeError: If the acquisition was started before
        :raises VelmoConnectionError: If another program holds the port
        """
        if self._thread is not None or self._closed:
            raise RuntimeError("An acquisition can be started only once")
        device = self._device
        port.hold(device)
        interrupts.open_scope(self._interrupts)
        try:
            if self._requested_rate is not None:
                previous = device.get_sampling_rate(self._channel)
                device.set_sampling_rate(self._requested_rate, channel_number=self._channel)
                self.rate = self._requested_rate
                if previous != self._requested_rate.value:
                    self._rate_to_restore = previous
            else:
                self.rate = rate_enumeration(self._model)(device.get_sampling_rate(self._channel))
            sps = samples_per_second(self.rate)
            self.interval = 1.0 / sps
            self._capacity = max(1, round(self._buffer_seconds * sps))
            self._packet_size = packet_size(self.rate)
            if self._packet_size != 4:
                self._parse = _columns.parse_high_rate
            self._clock = LineClock(self.interval)
            self._streaming = True
            device.set_stream_state(True)
            self.started_at, self.started_clock = time.time(), time.monotonic()
            self._started_clock = self.started_clock
            self._port = self._open_port(sps)
            self._thread = threading.Thread(
                target=self._read_stream, name=f"velmo-acquisition {self.port_name()}", daemon=True
            )
            self._thread.start()
            registry.add(self)
            logger.debug("Acquiring at %g SPS from %s", sps, self.port_name())
        except BaseException:
            # Failed or interrupted at any step: whatever was started is undone, so the
            # instrument is left silent at its own rate and the port free for commands.
            self._closed = True
            self._interrupts.holding = True
            try:
                self._stop_reading()
                self._join_reader()
                self._shut_down(quietly=True)
            finally:
                interrupts.end(self._interrupts)
            raise

    def _open_port(self, sps: float) -> NativePort | PolledPort:
        fd = port.descriptor(self._device) if hasattr(_columns, "PortReader") else None
        if fd is None:
            return PolledPort(self._device, DEFAULT_POLL_INTERVAL if self._poll_interval is None else self._poll_interval)
        bytes_per_second = sps * self._packet_size
        pause = self._poll_interval
        if pause is None:
            pause = min(MAX_BATCH_SECONDS, PORT_BUFFER_BYTES / bytes_per_second / 4)
        return NativePort(fd, round(self._buffer_seconds * bytes_per_second) + 65536, pause)

    def close(self) -> None:
        """Stop the reader, switch streaming off, verify the line is silent and put back a
        rate that was changed; the port is left ready for commands.

        Ctrl-C during this, or after a first Ctrl-C while the acquisition ran, is held
        back until it is done. Samples still queued stay readable. Safe to repeat.

        :raises VelmoCommunicationError: If the instrument keeps streaming, or the
            stream or rate could not be set
        """
        self._interrupts.holding = True
        registry.discard(self)
        try:
            self._closed = True
            try:
                self._stop_reading()
                # After the reader failed the port is likely gone: the consumer learns of
                # that from read().
                self._shut_down(quietly=self._failure is not None)
            except Exception as error:
                self._join_reader()
                if self._failure is None:
                    raise
                logger.debug("Could not switch the stream off after the port failed: %s", error)
            finally:
                self._join_reader()
                self._warn(force=True)
        finally:
            interrupts.end(self._interrupts)

    def _stop_reading(self) -> None:
        """Ends the reads of the port, so that the link reads the answers to the commands that follow."""
        self._stop_requested = True
        if isinstance(self._port, NativePort):
            # Its last read is done: the stop command can follow at once, so that as
            # little as possible of the stream goes unread.
            self._port.stop()
        else:
            self._join_reader()

    def _join_reader(self) -> None:
        if self._thread is not None and self._thread.is_alive():
            self._thread.join(READER_JOIN_TIMEOUT)
            if self._thread.is_alive():
                logger.warning("The reader of %s did not stop in time", self.port_name())

    def _shut_down(self, *, quietly: bool) -> None:
        """Stream off and the rate put back, each tried even when another step failed;
        the first failure is raised unless ``quietly``."""
        first: Exception | None = None
        if self._streaming:
            self._streaming = False
            try:
                # Once the port failed, one try: it is most likely gone.
                drained = port.stop_stream(self._device, attempts=1 if quietly else None)
                self._discarded_at_stop += self._count_packets(drained)
            except Exception as error:
                first = error
        if self._rate_to_restore is not None:
            rate, self._rate_to_restore = self._rate_to_restore, None
            try:
                if first is None:  # an instrument that did not stop would not take it
                    self._device.set_sampling_rate_value(rate, self._channel)
            except Exception as error:
                first = error
        if first is not None:
            if not quietly:
                raise first
            logger.debug("Could not switch the stream off after the port failed: %s", first)

    def _count_packets(self, data: bytes) -> int:
        return len(self._parse(data, self._converter)[1]) if data else 0

    def port_name(self) -> str:
        """The name of the instrument's port."""
        return port.name(self._device)

    # -- the reader thread --------------------------------------------------

    def _read_stream(self) -> None:
        failure: BaseException | None = None
        source = self._port
        assert source is not None
        try:
            while True:
                stopping = self._stop_requested  # one more read after the stop request
                taken = source.take(0.0 if stopping else READER_WAIT)
                self._account_dropped_bytes(taken.dropped_bytes)
                for read in taken.reads:
                    self._ingest(read)
                if taken.failure is not None:
                    failure = taken.failure
                    break
                if stopping or taken.finished:
                    break
                if source.pause:
                    time.sleep(source.pause)
        except Exception as error:
            failure = error
        finally:
            self._settle_held(final=True)
            self._failure = failure
            self._stopped_clock = time.monotonic()
            self._warn(force=False)
            self._queue.put(End(failure))

    def _account_dropped_bytes(self, size: int) -> None:
        if not size:
            return
        samples = (size + len(self._remainder)) // self._packet_size
        self._remainder = bytearray()
        self._position += samples
        self._dropped += samples
        self._unwarned["dropped"] += samples

    def _ingest(self, read: Read) -> None:
        self._bytes_read += len(read.data)
        loads, counts, self._remainder, invalid = self._parse(self._remainder + read.data, self._converter)
        self._invalid += invalid
        if counts:
            self._received += len(counts)
            self._time(_Parsed(loads, counts, read.arrived))

    def _time(self, parsed: _Parsed) -> None:
        """Queue a read's samples, or hold them while it is unsure whether a stretch
        was lost before them."""
        clock = self._clock
        assert clock is not None
        if self._held:
            self._held.append(parsed)
            self._settle_held(final=False)
            return
        end = self._position + len(parsed.counts)
        if clock.lateness(parsed.arrived, end) > self._loss_tolerance():
            self._held.append(parsed)
            return
        clock.accept(parsed.arrived, end)
        self._push(parsed)

    def _loss_tolerance(self) -> float:
        return max(LOSS_TOLERANCE, self.interval / 2)

    def _settle_held(self, *, final: bool) -> None:
        """Decide on the held reads: a lost stretch before them when they all stay
        late for ``CONFIRM_SECONDS`` (or the stream ends so), else none."""
        if not self._held:
            return
        clock = self._clock
        assert clock is not None
        lateness = []
        end = self._position
        for parsed in self._held:
            end += len(parsed.counts)
            lateness.append(clock.lateness(parsed.arrived, end))
        tolerance = self._loss_tolerance()
        if lateness[-1] > tolerance and not final and self._held[-1].arrived - self._held[0].arrived < CONFIRM_SECONDS:
            return
        lost = round(min(lateness) / self.interval) if min(lateness) > tolerance else 0
        if lost:
            self._position += lost
            self._lost += lost
            self._unwarned["lost"] += lost
        held, self._held = self._held, []
        for parsed in held:
            clock.accept(parsed.arrived, self._position + len(parsed.counts))
            self._push(parsed)
        self._warn(force=False)

    def _push(self, parsed: _Parsed) -> None:
        block = Block(self._position, parsed.loads, parsed.counts, parsed.arrived, self._lost, self._invalid)
        self._position += len(parsed.counts)
        self._queue.put(block)
        self._queued += len(parsed.counts)
        self._drop_excess()
        self._warn(force=False)

    def _drop_excess(self) -> None:
        """Drops the oldest blocks while the queue holds more than its capacity."""
        while self._queued - self._taken > self._capacity:
            try:
                oldest = self._queue.get_nowait()
            except queue.Empty:
                return
            if isinstance(oldest, End):  # cannot happen: the reader puts it last
                self._queue.put(oldest)
                return
            self._queued -= len(oldest.counts)
            self._dropped += len(oldest.counts)
            self._unwarned["dropped"] += len(oldest.counts)

    def _warn(self, *, force: bool) -> None:
        now = time.monotonic()
        for kind, text in (
            ("dropped", "Acquisition fell behind: dropped {} samples the consumer did not read in time ({} in all)"),
            ("lost", "The line lost {} samples: fewer arrived than the instrument's rate gives ({} in all)"),
        ):
            count = self._unwarned[kind]
            if not count or not (force or now - self._last_warning[kind] >= WARNING_INTERVAL):
                continue
            self._unwarned[kind] = 0
            self._last_warning[kind] = now
            logger.warning(text.format(count, self._dropped if kind == "dropped" else self._lost))

    # -- the consumer's side -----------------------------------------------

    def _next(self, timeout: float | None) -> Block | End | None:
        """The next block, or the end; None when nothing came within ``timeout``."""
        if self._front:
            return self._front.popleft()
        if self._ended is not None:
            return self._ended
        try:
            if timeout is None:
                item = self._queue.get()
            elif timeout <= 0:
                item = self._queue.get_nowait()
            else:
                item = self._queue.get(timeout=timeout)
        except queue.Empty:
            return None
        if isinstance(item, End):
            self._ended = item
        else:
            self._taken += len(item.counts)
        return item

    def _started(self) -> None:
        if self._thread is None:
            raise RuntimeError("The acquisition has not been started; use it in a with block")

    def read(self, timeout: float | None = None) -> Chunk | None:
        """The samples queued since the last read, up to the next gap, as one chunk.

        :param timeout: Seconds to wait for the first sample; ``None`` waits until one
            comes or the acquisition ends
        :return: The chunk, or ``None`` when no sample came in time or the acquisition has ended
        :raises VelmoConnectionError: If the instrument was lost, once every sample
            received before has been read
        :raises RuntimeError: If the acquisition was never started
        """
        self._started()
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
            stay queued for the next read); fewer than ``n`` only when the acquisition
            ended first
        :raises SampleGap: If samples are missing from the stream among the ``n``; the
            samples before the gap are in the exception, the next read starts after it
        :raises VelmoConnectionError: If the instrument was lost, once every sample
            received before has been read
        :raises RuntimeError: If the acquisition was never started
        """
        self._started()
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
        loads, counts = first.loads, first.counts
        for block in blocks[1:]:
            loads.extend(block.loads)
            counts.extend(block.counts)
        lost_before = first.lost_through - self._lost_seen
        dropped_before = first.start - self._next_index - lost_before
        invalid = last.invalid_through - self._invalid_seen
        self._next_index = last.start + len(last.counts)
        self._lost_seen, self._invalid_seen = last.lost_through, last.invalid_through
        t0 = self.started_at + first.start * self.interval
        arrivals = [(block.start, block.arrived) for block in blocks]
        return Chunk(loads, counts, t0, self.interval, invalid, first.start, lost_before, dropped_before, arrivals)

    def _raise_failure(self, end: End) -> None:
        error = end.failure
        if error is None:
            return
        if isinstance(error, (OSError, vdc.VelmoCommunicationError)):
            message = f"Lost the instrument on {self.port_name()} while streaming: {error}"
            raise vdc.VelmoConnectionError(message) from error
        raise RuntimeError(f"The acquisition reader stopped: {error!r}") from error

    def __iter__(self) -> Iterator[Chunk]:
        """Chunks as they arrive, until the acquisition is closed or the instrument is lost."""
        while True:
            chunk = self.read()
            if chunk is None:
                return
            yield chunk

    async def chunks(self) -> AsyncIterator[Chunk]:
        """Chunks as they arrive, for asyncio programs: waiting never blocks the event loop.

        Ends when the acquisition is closed; raises ``VelmoConnectionError`` when the
        instrument is lost, after every sample received before.
        """
        while True:
            chunk = await asyncio.to_thread(self.read, ASYNC_WAIT)
            if chunk is not None:
                yield chunk
            elif self._ended is not None and not self._front:
                return

    @property
    def stats(self) -> AcquisitionStats:
        end = self._stopped_clock if self._stopped_clock is not None else time.monotonic()
        elapsed = end - self._started_clock if self._thread is not None else 0.0
        return AcquisitionStats(
            received=self._received,
            dropped=self._dropped,
            invalid=self._invalid,
            bytes_read=self._bytes_read,
            rate=self._received / elapsed if elapsed > 0 else 0.0,
            lost=self._lost,
            discarded_at_stop=self._discarded_at_stop,
        )
