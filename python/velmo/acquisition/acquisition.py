"""The ``Acquisition`` class: one instrument's stream, from switching it on to verified silence."""

from __future__ import annotations

import array
import enum
import logging
import math
import os
import threading
import time
from collections.abc import AsyncIterator, Callable, Iterator
from types import TracebackType
from typing import Any, Literal, NamedTuple

import velmo_device_communication as vdc

from .. import _columns, identity, interrupts, port
from . import registry
from .chunks import AcquisitionStats, Block, Chunk, End
from .clock import LineClock
from .ports import NativePort, ParsedRead, PolledPort, Read
from .rates import packet_size, rate_enumeration, resolve_rate, samples_per_second
from .taps import WARNING_INTERVAL, Tap

logger = logging.getLogger("velmo.acquisition")

DEFAULT_BUFFER_SECONDS = 10.0
# The port's input buffer holds 4095 bytes on a pty, 35 ms of the 38 400 SPS stream. The
# Python reader polls it every DEFAULT_POLL_INTERVAL; the native reader pauses after each
# read for a quarter of the time the buffer takes to fill, at most MAX_BATCH_SECONDS.
PORT_BUFFER_BYTES = 4095
DEFAULT_POLL_INTERVAL = 0.005
MAX_BATCH_SECONDS = 0.05
MAX_POLL_INTERVAL = 1.0
# The native reader holds this much beyond the first tap's buffer.
READER_SLACK_SAMPLES = 16384
# Longest single wait of the reader, so that a stop request is seen in time.
READER_WAIT = 0.1
# Bounded waits of close(): it must finish whatever the reader does.
READER_JOIN_TIMEOUT = 5.0
# A read whose last sample arrives this much later than the floor of the line's latency
# may follow a lost stretch; it is confirmed when the lateness lasts CONFIRM_SECONDS.
LOSS_TOLERANCE = 0.1
CONFIRM_SECONDS = 0.5


class _Parsed(NamedTuple):
    loads: array.array[float]
    counts: array.array[int]
    arrived: float


def _positive_seconds(name: str, value: float, most: float = math.inf) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number of seconds, not {type(value).__name__}")
    if not (0 < value <= most and math.isfinite(value)):
        limit = f" up to {most:g}" if math.isfinite(most) else ""
        raise ValueError(f"{name} must be a positive number of seconds{limit}, not {value!r}")
    return float(value)


class Acquisition:
    """Streams one instrument to any number of consumers, each reading a tap of its own.

    The acquisition's own ``read``, ``read_samples``, iteration and ``chunks`` read its
    first tap, made at the start; ``tap()`` makes more.

    :param device: A connected ``VelmoDevice``
    :param channel: Channel whose profile's sampling rate is set or read
    :param rate: Sampling rate to set first, a member name such as ``"SPS_1200"`` or a
        member of the model's enumeration; ``None`` keeps the rate in force. A rate
        set here is put back when the acquisition closes.
    :param converter: Converter applied to every count; the device's converter by default
    :param buffer_seconds: How many seconds of samples the first tap holds for its consumer
    :param poll_interval: Pause of the reader between two reads of the port, in seconds;
        by default chosen from the rate, so that the port's input buffer never fills
    :param describe: Ask the instrument at the start who it is and how it is calibrated
        (``instrument``), as a recording of the running acquisition needs; about 25 short
        questions
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
        describe: bool = True,
    ):
        self._buffer_seconds = _positive_seconds("buffer_seconds", buffer_seconds)
        self._poll_interval = (
            None if poll_interval is None else _positive_seconds("poll_interval", poll_interval, MAX_POLL_INTERVAL)
        )
        self._device = device
        self._channel = channel
        self._converter = converter if converter is not None else device.get_adc_converter()
        if self._converter is None:
            raise vdc.VelmoCalibrationError("ADC converter not initialized. Cannot convert readings.")
        self._model = device.get_model_number()
        self._requested_rate = None if rate is None else resolve_rate(self._model, rate)
        self._describe = describe

        self._thread: threading.Thread | None = None
        self._pid: int | None = None  # the process that started it: the only one that may stop it
        # Ctrl-C on the main thread, from start to close: see velmo.interrupts.watch.
        self._interrupts = interrupts.Scope(hold_after_first=True)
        self._closing = threading.RLock()  # a second close waits for the first
        self._port: NativePort | PolledPort | None = None
        self._stop_requested = False
        self._closed = False
        self._streaming = False
        self._rate_to_restore: int | None = None
        self._started_clock = 0.0
        self._stopped_clock: float | None = None
        self._failure: BaseException | None = None
        # The taps and the counters a new tap starts from, changed together under the lock.
        self._lock = threading.Lock()
        self._taps: tuple[Tap, ...] = ()
        self._first_tap: Tap | None = None
        self._end: End | None = None
        self._position = 0  # index of the next sample on the line
        self._lost = 0
        self._invalid = 0
        self._reader_dropped = 0  # samples whose bytes the native reader had to drop
        # Written by the reader thread only.
        self._parse: Callable[[bytes | bytearray, Any], _columns.ParseResult] = _columns.parse_standard
        self._packet_size = 4
        self._remainder = bytearray()
        self._clock: LineClock | None = None
        self._held: list[_Parsed] = []  # reads that may follow a lost stretch, until that is known
        self._received = 0
        self._bytes_read = 0
        self._discarded_at_stop = 0
        self._unwarned = {"dropped": 0, "lost": 0}
        self._last_warning = {"dropped": float("-inf"), "lost": float("-inf")}
        self.instrument: identity.InstrumentInfo | None = None  # with ``describe``, once started
        self.rate: enum.Enum | None = None  # the rate in force, once started
        self.interval = 0.0
        self.started_at = 0.0  # time.time() when streaming was switched on
        self.started_clock = 0.0  # time.monotonic() at the same moment

    def __repr__(self) -> str:
        state = "closed" if self._closed else "running" if self._thread is not None else "not started"
        return f"<Acquisition from {self.port_name()}, {state}>"

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

    @property
    def device(self) -> vdc.VelmoDevice:
        """The device streamed."""
        return self._device

    @property
    def first_tap(self) -> Tap | None:
        """The tap the acquisition's own ``read``, iteration and ``chunks`` read; made at the start."""
        return self._first_tap

    @property
    def running(self) -> bool:
        """Started and not yet closed."""
        return self._thread is not None and not self._closed

    def start(self) -> None:
        """Hold the port, ask the instrument who it is (with ``describe``), set the rate (when
        one was given), switch streaming on and start the reader. The port stays held until it
        is closed. A start that fails or is interrupted undoes what it did before it raises.

        :raises RuntimeError: If the acquisition was started before
        :raises VelmoConnectionError: If another program holds the port
        """
        if self._thread is not None or self._closed:
            raise RuntimeError("An acquisition can be started only once")
        device = self._device
        port.hold(device)
        interrupts.open_scope(self._interrupts)
        try:
            if self._describe:
                self.instrument = identity.describe(device, self._channel)
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
            self._packet_size = packet_size(self.rate)
            if self._packet_size != 4:
                self._parse = _columns.parse_high_rate
            self._clock = LineClock(self.interval)
            self._first_tap = self.tap(self._buffer_seconds)
            self._pid = os.getpid()
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
        fd = port.descriptor(self._device) if NativePort.available() else None
        if fd is None:
            return PolledPort(self._device, DEFAULT_POLL_INTERVAL if self._poll_interval is None else self._poll_interval)
        pause = self._poll_interval
        if pause is None:
            pause = min(MAX_BATCH_SECONDS, PORT_BUFFER_BYTES / (sps * self._packet_size) / 4)
        capacity = round(self._buffer_seconds * sps) + READER_SLACK_SAMPLES
        return NativePort(fd, capacity, pause, self._packet_size, self._converter)

    def tap(self, buffer_seconds: float = DEFAULT_BUFFER_SECONDS, name: str = "") -> Tap:
        """A new, independent reader of this stream, for one more consumer.

        It sees every sample from now on; when its consumer falls more than
        ``buffer_seconds`` behind, it drops its own oldest samples (counted, and the
        next chunk's ``dropped_before``) without slowing the reader or any other tap.

        :param buffer_seconds: How many seconds of samples it holds for its consumer
        :param name: What the tap is for, in its warnings, such as ``"recorder"``
        :raises RuntimeError: If the acquisition was not started or is closed
        """
        _positive_seconds("buffer_seconds", buffer_seconds)
        if self.rate is None or self._closed:
            raise RuntimeError("Taps are made of a running acquisition: start it first")
        capacity = max(1, round(buffer_seconds * samples_per_second(self.rate)))
        with self._lock:
            tap = Tap(self, capacity, name, self._position, self._lost, self._invalid)
            self._taps = (*self._taps, tap)
            end = self._end
        if end is not None:
            tap._finish(end)
        return tap

    def _detach(self, tap: Tap) -> None:
        with self._lock:
            self._taps = tuple(other for other in self._taps if other is not tap)

    def close(self) -> None:
        """Stop the reader, switch streaming off, verify the line is silent and put back a
        rate that was changed; the port is left ready for commands.

        Ctrl-C during this, or after a first Ctrl-C while the acquisition ran, is held
        back until it is done. Samples still queued stay readable. Safe to repeat, from
        any thread; in a process forked from the one that started it, it does nothing.

        :raises VelmoCommunicationError: If the instrument keeps streaming, or the
            stream or rate could not be set
        """
        if self._pid is not None and self._pid != os.getpid():
            return
        self._interrupts.holding = True
        registry.discard(self)
        with self._closing:
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
        if self._thread is not None and self._thread.is_alive() and self._thread is not threading.current_thread():
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
                try:
                    taken = source.take(0.0 if stopping else READER_WAIT)
                except MemoryError:
                    if stopping:
                        raise
                    # The reads stay with the native reader, which counts what it must drop.
                    time.sleep(READER_WAIT)
                    continue
                self._account_dropped_bytes(taken.dropped_bytes)
                self._account_dropped_samples(taken.dropped_samples)
                for read in taken.reads:
                    try:
                        self._ingest(read)
                    except MemoryError:
                        if isinstance(read, ParsedRead):
                            self._account_dropped_samples(len(read.counts))
                        else:
                            self._account_dropped_bytes(len(read.data))
                if taken.failure is not None:
                    failure = taken.failure
                    break
                if stopping or taken.finished:
                    break
        except Exception as error:
            failure = error
        finally:
            self._settle_held(final=True)
            self._failure = failure
            self._stopped_clock = time.monotonic()
            self._warn(force=False)
            with self._lock:
                self._end = End(failure)
                taps = self._taps
            for tap in taps:
                tap._finish(self._end)

    def _account_dropped_bytes(self, size: int) -> None:
        if size:
            samples = (size + len(self._remainder)) // self._packet_size
            self._remainder = bytearray()
            self._account_dropped_samples(samples)

    def _account_dropped_samples(self, samples: int) -> None:
        if not samples:
            return
        with self._lock:
            self._position += samples
            self._reader_dropped += samples
        self._unwarned["dropped"] += samples

    def _ingest(self, read: Read | ParsedRead) -> None:
        if isinstance(read, ParsedRead):
            loads, counts, invalid = read.loads, read.counts, read.invalid
            self._bytes_read += read.size
        else:
            self._bytes_read += len(read.data)
            loads, counts, self._remainder, invalid = self._parse(self._remainder + read.data, self._converter)
        self._invalid += invalid
        if counts:
            self._received += len(counts)
            self._time(_Parsed(loads, counts, read.arrived))

    def _time(self, parsed: _Parsed) -> None:
        """Publish a read's samples, or hold them while it is unsure whether a stretch
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
        self._publish(parsed)

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
            with self._lock:
                self._position += lost
                self._lost += lost
            self._unwarned["lost"] += lost
        held, self._held = self._held, []
        for parsed in held:
            clock.accept(parsed.arrived, self._position + len(parsed.counts))
            self._publish(parsed)
        self._warn(force=False)

    def _publish(self, parsed: _Parsed) -> None:
        """One block for every tap: the same arrays, never copied again."""
        with self._lock:
            block = Block(self._position, parsed.loads, parsed.counts, parsed.arrived, self._lost, self._invalid)
            self._position += len(parsed.counts)
            taps = self._taps
        for tap in taps:
            tap._put(block)
        self._warn(force=False)

    def _warn(self, *, force: bool) -> None:
        now = time.monotonic()
        for kind, text in (
            ("dropped", "The reader fell behind: dropped %d samples it could not take from the port in time (%d in all)"),
            ("lost", "The line lost %d samples: fewer arrived than the instrument's rate gives (%d in all)"),
        ):
            count = self._unwarned[kind]
            if not count or not (force or now - self._last_warning[kind] >= WARNING_INTERVAL):
                continue
            self._unwarned[kind] = 0
            self._last_warning[kind] = now
            logger.warning(text, count, self._reader_dropped if kind == "dropped" else self._lost)

    # -- the first tap ----------------------------------------------------------

    def _own_tap(self) -> Tap:
        if self._first_tap is None:
            raise RuntimeError("The acquisition has not been started; use it in a with block")
        return self._first_tap

    def read(self, timeout: float | None = None) -> Chunk | None:
        """The samples queued since the last read, up to the next gap, as one chunk
        (``Tap.read`` of the first tap).

        :raises RuntimeError: If the acquisition was never started
        """
        return self._own_tap().read(timeout)

    def read_samples(self, n: int, timeout: float | None = None) -> Chunk | None:
        """Exactly ``n`` consecutive samples as one chunk (``Tap.read_samples`` of the first tap).

        :raises RuntimeError: If the acquisition was never started
        """
        return self._own_tap().read_samples(n, timeout)

    def __iter__(self) -> Iterator[Chunk]:
        """Chunks as they arrive, until the acquisition is closed or the instrument is lost."""
        return iter(self._own_tap())

    def chunks(self) -> AsyncIterator[Chunk]:
        """Chunks as they arrive, for asyncio programs (``Tap.chunks`` of the first tap)."""
        return self._own_tap().chunks()

    def _stats(self, dropped: int) -> AcquisitionStats:
        end = self._stopped_clock if self._stopped_clock is not None else time.monotonic()
        elapsed = end - self._started_clock if self._thread is not None else 0.0
        return AcquisitionStats(
            received=self._received,
            dropped=dropped,
            invalid=self._invalid,
            bytes_read=self._bytes_read,
            rate=self._received / elapsed if elapsed > 0 else 0.0,
            lost=self._lost,
            discarded_at_stop=self._discarded_at_stop,
        )

    @property
    def stats(self) -> AcquisitionStats:
        """Where every sample went; ``dropped`` counts those of the first tap."""
        return self._stats(self._first_tap.dropped if self._first_tap is not None else 0)
