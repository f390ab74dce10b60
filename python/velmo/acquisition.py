"""Continuous acquisition from a streaming instrument.

``Acquisition`` switches the instrument's stream on, drains the port on one reader
thread and hands the consumer chunks of calibrated loads and raw counts in typed
arrays. A bounded queue sits between the two: when the consumer falls behind, the
oldest samples are dropped, counted and reported, never lost silently::

    with Acquisition(device, rate="SPS_1200") as acquisition:
        for chunk in acquisition:
            loads, counts = chunk.to_numpy()

The device must not be used by anything else while the acquisition runs: the
reader thread owns its port until the acquisition is closed.
"""

from __future__ import annotations

import array
import collections
import dataclasses
import enum
import logging
import threading
import time
from types import TracebackType
from typing import Any, Callable, Iterator, Literal

import velmo_device_communication as vdc

from . import _columns
from .line import stop_stream

logger = logging.getLogger(__name__)

# Samples per second from which the instrument sends 3-byte packets.
HIGH_RATE_SPS = 38400.0
DEFAULT_BUFFER_SECONDS = 10.0
# The port's input buffer holds 4095 bytes on a pty, 35 ms of the 38 400 SPS stream.
DEFAULT_POLL_INTERVAL = 0.005
DROP_WARNING_INTERVAL = 1.0


class Chunk:
    """Consecutive samples of the stream, evenly spaced in time.

    ``loads`` (``array('d')``) and ``counts`` (``array('I')``) hold one item per
    sample; ``t0`` is the time (as ``time.time()``) of the first sample, reckoned
    from when streaming was switched on at the nominal rate; ``interval`` is the
    time between samples in seconds; ``index`` numbers the first sample from the
    start of streaming (samples dropped before it count), so sample ``i`` of the
    chunk lies ``(index + i) * interval`` after the start; ``invalid`` counts the
    damaged or unparsable packets skipped since the previous chunk.
    """

    __slots__ = ("loads", "counts", "t0", "interval", "invalid", "index")

    def __init__(
        self,
        loads: array.array[float],
        counts: array.array[int],
        t0: float,
        interval: float,
        invalid: int,
        index: int = 0,
    ):
        self.loads = loads
        self.counts = counts
        self.t0 = t0
        self.interval = interval
        self.invalid = invalid
        self.index = index

    def __len__(self) -> int:
        return len(self.counts)

    def __repr__(self) -> str:
        return f"<Chunk of {len(self)} samples from t0={self.t0:.6f}, {self.invalid} invalid>"

    def to_numpy(self) -> tuple[Any, Any]:
        """``(loads, counts)`` as numpy arrays viewing this chunk's buffers, without a copy.

        :raises ImportError: If numpy is not installed
        """
        try:
            import numpy
        except ImportError as error:
            raise ImportError("Chunk.to_numpy() needs numpy (pip install numpy)") from error
        return numpy.frombuffer(self.loads, dtype=numpy.float64), numpy.frombuffer(self.counts, dtype=numpy.uint32)


@dataclasses.dataclass(frozen=True)
class AcquisitionStats:
    """Counters of one acquisition: ``received`` samples parsed (including those
    ``dropped`` because the consumer fell behind), ``invalid`` packets skipped,
    ``bytes_read`` from the port and the achieved ``rate`` in samples per second."""

    received: int
    dropped: int
    invalid: int
    bytes_read: int
    rate: float


def rate_enumeration(model: str) -> type[enum.Enum]:
    """The sampling-rate enumeration of an instrument model such as ``"HDA640"``."""
    enumeration: type[enum.Enum] | None = getattr(vdc, f"{model.strip().upper()}SamplingRateEnum", None)
    if enumeration is None:
        raise ValueError(f"No sampling rates are known for the instrument model {model!r}")
    return enumeration


def samples_per_second(rate: enum.Enum) -> float:
    """The rate a member stands for: ``SPS_16_6`` is 16.6."""
    return float(rate.name.removeprefix("SPS_").replace("_", "."))


def resolve_rate(model: str, rate: str | enum.Enum) -> enum.Enum:
    """The member of the model's enumeration that ``rate`` (a name or member) names.

    :raises ValueError: If the model has no such rate
    """
    enumeration = rate_enumeration(model)
    if isinstance(rate, enumeration):
        return rate
    if isinstance(rate, str) and rate in enumeration.__members__:
        return enumeration[rate]
    allowed = ", ".join(enumeration.__members__)
    raise ValueError(f"{rate!r} is not a sampling rate of the {model}; allowed: {allowed}")


class _Block:
    """Samples parsed from one read; ``index`` numbers its first sample since the start."""

    __slots__ = ("index", "loads", "counts")

    def __init__(self, index: int, loads: array.array[float], counts: array.array[int]):
        self.index = index
        self.loads = loads
        self.counts = counts


class Acquisition:
    """Streams one instrument into a bounded queue of samples read by the consumer.

    :param device: A connected ``VelmoDevice``
    :param channel: Channel whose profile's sampling rate is set or read
    :param rate: Sampling rate to set first, a member name such as ``"SPS_1200"`` or a
        member of the model's enumeration; ``None`` keeps the rate in force
    :param converter: Converter applied to every count; the device's converter by default
    :param buffer_seconds: How many seconds of samples the queue holds for the consumer
    :param poll_interval: Pause of the reader between two reads of the port, in seconds
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
        poll_interval: float = DEFAULT_POLL_INTERVAL,
    ):
        if not buffer_seconds > 0:
            raise ValueError(f"buffer_seconds must be positive, not {buffer_seconds!r}")
        if not poll_interval >= 0:
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

        self._ready = threading.Condition()
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None
        self._blocks: collections.deque[_Block] = collections.deque()
        self._queued = 0
        self._capacity = 0
        self._unreported_invalid = 0
        self._received = 0
        self._dropped = 0
        self._invalid = 0
        self._bytes_read = 0
        self._unwarned_drops = 0
        self._last_drop_warning = float("-inf")
        self._reader_done = False
        self._failure: BaseException | None = None
        self._streaming = False
        self._started_clock = 0.0
        self._stopped_clock: float | None = None
        self.rate: enum.Enum | None = None  # the rate in force, once started
        self.interval = 0.0
        self.started_at = 0.0  # time.time() when streaming was switched on

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
            logger.warning(f"Could not switch the stream off cleanly: {error}")
        return False

    def start(self) -> None:
        """Set the rate (when one was given), switch streaming on and start the reader.

        :raises RuntimeError: If the acquisition was started before
        """
        if self._thread is not None:
            raise RuntimeError("An acquisition can be started only once")
        device = self._device
        if self._requested_rate is not None:
            device.set_sampling_rate(self._requested_rate, channel_number=self._channel)
            self.rate = self._requested_rate
        else:
            self.rate = rate_enumeration(self._model)(device.get_sampling_rate(self._channel))
        sps = samples_per_second(self.rate)
        self.interval = 1.0 / sps
        self._capacity = max(1, round(self._buffer_seconds * sps))
        parse = _columns.parse_high_rate if sps == HIGH_RATE_SPS else _columns.parse_standard
        self._streaming = True
        try:
            device.set_stream_state(True)
            self.started_at, self._started_clock = time.time(), time.monotonic()
            self._thread = threading.Thread(
                target=self._read_stream, args=(parse,), name=f"velmo-acquisition {self._port_name()}", daemon=True
            )
            self._thread.start()
        except BaseException:
            self._thread = None
            self._switch_stream_off(quietly=True)
            raise
        logger.debug(f"Acquiring at {sps:g} SPS from {self._port_name()}")

    def close(self) -> None:
        """Stop the reader, switch streaming off and leave the port ready for commands.

        Samples still queued stay readable. Safe to repeat.
        """
        if self._thread is not None:
            self._stop.set()
            self._thread.join()
        self._warn_of_drops(force=True)
        # After the reader failed, switching off is only tried: the instrument is likely
        # gone, and the consumer learns of that from read().
        self._switch_stream_off(quietly=self._failure is not None)

    def _switch_stream_off(self, *, quietly: bool) -> None:
        if not self._streaming:
            return
        self._streaming = False
        try:
            stop_stream(self._device.communication_interface)
        except Exception as error:
            if not quietly:
                raise
            logger.warning(f"Could not switch the stream off: {error}")

    def _port_name(self) -> str:
        interface = getattr(self._device, "communication_interface", None)
        return str(getattr(interface, "comport", "the instrument's port"))

    # -- the reader thread --------------------------------------------------

    def _read_stream(self, parse: Callable[[bytearray, Any], _columns.ParseResult]) -> None:
        remainder = bytearray()
        try:
            while True:
                stopping = self._stop.is_set()  # one more read after the stop request
                data = self._device.get_stream_data()
                if data:
                    loads, counts, remainder, invalid = parse(remainder + data, self._converter)
                    self._queue(loads, counts, invalid, len(data))
                if stopping:
                    return
                self._stop.wait(self._poll_interval)
        except Exception as error:
            self._failure = error
        finally:
            with self._ready:
                self._reader_done = True
                if self._stopped_clock is None:
                    self._stopped_clock = time.monotonic()
                self._ready.notify_all()

    def _queue(self, loads: array.array[float], counts: array.array[int], invalid: int, size: int) -> None:
        with self._ready:
            self._bytes_read += size
            self._invalid += invalid
            self._unreported_invalid += invalid
            if counts:
                self._blocks.append(_Block(self._received, loads, counts))
                self._received += len(counts)
                self._queued += len(counts)
                self._unwarned_drops += self._drop_excess()
                self._ready.notify_all()
        self._warn_of_drops(force=False)

    def _drop_excess(self) -> int:
        """Drops the oldest samples beyond the queue's capacity; how many."""
        excess = self._queued - self._capacity
        dropped = 0
        while excess > 0:
            oldest = self._blocks[0]
            size = len(oldest.counts)
            if size <= excess:
                self._blocks.popleft()
                taken = size
            else:
                del oldest.loads[:excess]
                del oldest.counts[:excess]
                oldest.index += excess
                taken = excess
            excess -= taken
            dropped += taken
        self._queued -= dropped
        self._dropped += dropped
        return dropped

    def _warn_of_drops(self, *, force: bool) -> None:
        with self._ready:
            now = time.monotonic()
            if not self._unwarned_drops or not (force or now - self._last_drop_warning >= DROP_WARNING_INTERVAL):
                return
            dropped, self._unwarned_drops = self._unwarned_drops, 0
            self._last_drop_warning = now
            total = self._dropped
        logger.warning(
            f"Acquisition fell behind: dropped {dropped} samples the consumer did not read in time "
            f"({total} in all)"
        )

    # -- the consumer's side -----------------------------------------------

    def read(self, timeout: float | None = None) -> Chunk | None:
        """Everything queued since the last read, merged into one chunk.

        :param timeout: Seconds to wait for the first sample; ``None`` waits until one
            comes or the acquisition ends
        :return: The chunk, or ``None`` when no sample came in time or the acquisition has ended
        :raises VelmoConnectionError: If the instrument was lost, once every sample
            received before has been read
        :raises RuntimeError: If the acquisition was never started
        """
        if self._thread is None:
            raise RuntimeError("The acquisition has not been started; use it in a with block")
        deadline = None if timeout is None else time.monotonic() + timeout
        with self._ready:
            while not self._blocks and not self._reader_done:
                remaining = None if deadline is None else deadline - time.monotonic()
                if remaining is not None and remaining <= 0:
                    return None
                self._ready.wait(remaining)
            if self._blocks:
                return self._take_chunk()
        self._raise_failure()
        return None

    def _take_chunk(self) -> Chunk:
        blocks, self._blocks = self._blocks, collections.deque()
        self._queued = 0
        first = blocks.popleft()
        loads, counts = first.loads, first.counts
        for block in blocks:
            loads.extend(block.loads)
            counts.extend(block.counts)
        invalid, self._unreported_invalid = self._unreported_invalid, 0
        t0 = self.started_at + first.index * self.interval
        return Chunk(loads, counts, t0, self.interval, invalid, first.index)

    def _raise_failure(self) -> None:
        error = self._failure
        if error is None:
            return
        if isinstance(error, (OSError, vdc.VelmoCommunicationError)):
            message = f"Lost the instrument on {self._port_name()} while streaming: {error}"
            raise vdc.VelmoConnectionError(message) from error
        raise RuntimeError(f"The acquisition reader stopped: {error!r}") from error

    def __iter__(self) -> Iterator[Chunk]:
        """Chunks as they arrive, until the acquisition is closed or the instrument is lost."""
        while True:
            chunk = self.read()
            if chunk is None:
                return
            yield chunk

    @property
    def stats(self) -> AcquisitionStats:
        with self._ready:
            end = self._stopped_clock if self._stopped_clock is not None else time.monotonic()
            elapsed = end - self._started_clock if self._thread is not None else 0.0
            return AcquisitionStats(
                received=self._received,
                dropped=self._dropped,
                invalid=self._invalid,
                bytes_read=self._bytes_read,
                rate=self._received / elapsed if elapsed > 0 else 0.0,
            )
