"""The watcher: finds events in one instrument's live stream and judges them.

It reads a tap of the acquisition, evaluates the trigger on each block with numpy, and
keeps a history of the tap's samples reaching ``pre`` seconds back, so an event's
samples before the trigger are complete (as far as the stream reached back).

Overlapping events are merged: a trigger that falls inside an open event (from its
trigger sample to its last sample) opens no event of its own; it is counted in the
event's ``merged``. ``holdoff`` seconds after an event's last sample, triggers are
ignored (counted in ``held_off``). The next event's pre-trigger samples may reach back
into the previous event: they are the same samples in both.
"""

from __future__ import annotations

import collections
import math
import threading
import time
from collections.abc import AsyncIterator, Callable, Iterator
from typing import Any, Literal, NamedTuple

import numpy as np
import numpy.typing as npt

from ..acquisition import Acquisition, Chunk, Tap
from .event import Event
from .limits import LimitSet
from .triggers import Condition, Detector

Floats = npt.NDArray[np.float64]


class _Block(NamedTuple):
    start: int  # number of its first sample
    loads: Floats  # with the watcher's tare applied
    counts: npt.NDArray[np.uint32]
    arrivals: list[tuple[int, float]]


class _Open(NamedTuple):
    trigger: int
    end: int | None  # number one past the last sample, once known
    detector: Detector | None  # of the end condition, from the trigger on
    scanned_to: int
    truncated: bool = False  # the end condition did not come within max_duration


def metadata_of(acquisition: Acquisition) -> dict[str, Any]:
    """What an event says of its instrument, from an acquisition that described it."""
    info = acquisition.instrument
    if info is None:
        return {}
    return {"model": info.model, "serial_number": info.serial_number, "unit": info.unit, "channel": info.channel,
            "port": info.port}


def _seconds(name: str, value: float, *, positive: bool = False) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value) or value < 0:
        raise ValueError(f"{name} must be a number of seconds of at least 0, not {value!r}")
    if positive and value == 0:
        raise ValueError(f"{name} must be a positive number of seconds")
    return float(value)


class Watcher:
    """Events of one instrument's stream, found by ``trigger`` and judged by ``limits``.

    :param source: A running ``Acquisition`` (the watcher reads a tap of its own) or a ``Tap``
    :param trigger: The condition that starts an event
    :param pre: Seconds of samples kept before the trigger sample
    :param post: Seconds kept after the trigger (with ``end``: after the end condition)
    :param holdoff: Seconds after an event's last sample during which triggers are ignored
    :param end: A condition that ends the event, evaluated from the trigger on
    :param max_duration: With ``end``, the longest an event lasts after its trigger
    :param limits: Judges each event (``Event.verdict``); None leaves the verdict None
    :param tare: ``"pre"`` subtracts from each event the mean of its pre-trigger samples
    :param on_event: Called with each event as it completes, on the watcher's thread
    :param on_trigger: Called with the trigger sample's number and the ``time.monotonic()``
        time its samples arrived, as soon as the trigger is seen
    :param metadata: The instrument's description for the events; taken from the
        acquisition when it describes its instrument
    """

    def __init__(
        self,
        source: Acquisition | Tap,
        trigger: Condition,
        *,
        pre: float = 0.1,
        post: float = 1.0,
        holdoff: float = 0.0,
        end: Condition | None = None,
        max_duration: float = 10.0,
        limits: LimitSet | None = None,
        tare: Literal["pre"] | None = None,
        on_event: Callable[[Event], None] | None = None,
        on_trigger: Callable[[int, float], None] | None = None,
        metadata: dict[str, Any] | None = None,
        buffer_seconds: float = 10.0,
    ):
        if tare not in (None, "pre"):
            raise ValueError(f"tare is None or 'pre', not {tare!r}")
        self.pre, self.post = _seconds("pre", pre), _seconds("post", post)
        self.holdoff = _seconds("holdoff", holdoff)
        self.max_duration = _seconds("max_duration", max_duration, positive=True)
        self.trigger, self.end, self.limits, self.tare_mode = trigger, end, limits, tare
        self.on_event, self.on_trigger = on_event, on_trigger
        self._listeners: tuple[Callable[[Event], None], ...] = ()
        if isinstance(source, Acquisition):
            self._tap = source.tap(buffer_seconds, name="events")
            metadata = metadata if metadata is not None else metadata_of(source)
        else:
            self._tap = source
        self.metadata = dict(metadata or {})
        self.offset = 0.0  # the watcher's tare, subtracted from every load
        self.triggers = self.held_off = self.merged = 0
        self._interval = 0.0
        self._t0 = 0.0
        self._detector: Detector | None = None
        self._history: collections.deque[_Block] = collections.deque()
        self._queue: collections.deque[int] = collections.deque()  # triggers not yet taken
        self._open: _Open | None = None
        self._holdoff_until = -1
        self._external = threading.Event()
        self._taring: list[Floats] | None = None
        self._tare_seconds = 0.0
        self._tare_samples = 0
        self._thread: threading.Thread | None = None
        self._failure: BaseException | None = None

    @property
    def tap(self) -> Tap:
        return self._tap

    # -- control ------------------------------------------------------------

    def trigger_now(self) -> None:
        """An external trigger (a PLC bit, a button): the first sample of the next block triggers."""
        self._external.set()

    def tare(self, seconds: float = 0.5) -> None:
        """Take the mean of the next ``seconds`` of loads as the offset subtracted from every
        load from then on (a host-side zero; the instrument's calibration is untouched).
        No trigger is evaluated while the stretch is measured; hold the load still. The
        pre-trigger samples of the events that follow reach back to the new zero at most."""
        _seconds("seconds", seconds, positive=True)
        self._tare_seconds = seconds
        self._taring = []
        self._tare_samples = 0

    def add_listener(self, listener: Callable[[Event], None]) -> None:
        """Call ``listener`` too with each event as it completes, on the thread that feeds the
        watcher (a ``Recorder`` queues them so); it must be quick."""
        self._listeners = (*self._listeners, listener)  # replaced whole: feed() may be iterating it

    def remove_listener(self, listener: Callable[[Event], None]) -> None:
        self._listeners = tuple(known for known in self._listeners if known != listener)

    # -- the core: one chunk at a time -----------------------------------------

    def feed(self, chunk: Chunk) -> list[Event]:
        """Take one chunk of the stream; the events it completes, in order."""
        if not len(chunk):
            return []
        if self._detector is None:
            self._interval = chunk.interval
            self._detector = Detector(self.trigger, chunk.interval)
        self._t0 = chunk.t0 - chunk.index * chunk.interval
        raw, counts = chunk.to_numpy()
        if self._taring is not None and self._measure_tare(raw):
            self._history.clear()  # loads before the new zero would not match those after it
        loads = raw - self.offset if self.offset else raw
        block = _Block(chunk.index, loads, counts, chunk.arrivals)
        self._history.append(block)
        if self._taring is None:
            if self._external.is_set():
                self._external.clear()
                self._accept(chunk.index)
            for position in self._detector.scan(loads).tolist():
                self._accept(chunk.index + position)
        events = self._settle(chunk.index + len(chunk))
        self._trim(chunk.index + len(chunk))
        for event in events:
            if self.on_event is not None:
                self.on_event(event)
            for listener in self._listeners:
                listener(event)
        return events

    def _measure_tare(self, raw: Floats) -> bool:
        """Whether the stretch is complete and ``offset`` set."""
        assert self._taring is not None
        wanted = max(1, round(self._tare_seconds / self._interval))
        self._taring.append(raw[: wanted - self._tare_samples])
        self._tare_samples += len(self._taring[-1])
        if self._tare_samples >= wanted:
            self.offset = float(np.concatenate(self._taring).mean())
            self._taring = None
            return True
        return False

    def _accept(self, number: int) -> None:
        self.triggers += 1
        self._queue.append(number)

    def _settle(self, received_to: int) -> list[Event]:
        """Open and close events as far as the samples up to ``received_to`` allow."""
        events: list[Event] = []

        def samples(seconds: float) -> int:
            return round(seconds / self._interval)

        while True:
            if self._open is None:
                while self._queue and self._queue[0] < self._holdoff_until:
                    self._queue.popleft()
                    self.held_off += 1
                if not self._queue:
                    return events
                number = self._queue.popleft()
                detector = None if self.end is None else Detector(self.end, self._interval)
                self._open = _Open(number, None, detector, number + 1)
                if self.on_trigger is not None:
                    self.on_trigger(number, self._arrival(number))
            opened = self._open
            if opened.end is None:
                limit = opened.trigger + 1 + samples(self.max_duration if opened.detector else self.post)
                end: int | None = None
                if opened.detector is not None and opened.scanned_to < received_to:
                    numbers, loads, _ = self._slice(opened.scanned_to, received_to)
                    found = opened.detector.scan(loads)
                    if len(found):
                        end = min(limit, int(numbers[found[0]]) + 1 + samples(self.post))
                    self._open = opened = opened._replace(scanned_to=received_to)
                elif opened.detector is None:
                    end = limit
                truncated = end is None and opened.detector is not None
                if end is None and received_to >= limit:
                    end = limit
                if end is not None:
                    self._open = opened = opened._replace(end=end, truncated=truncated)
            if opened.end is None or opened.end > received_to:
                return events
            merged = 0
            while self._queue and self._queue[0] < opened.end:
                self._queue.popleft()
                merged += 1
            self.merged += merged
            events.append(self._event(opened, merged))
            self._holdoff_until = opened.end + samples(self.holdoff)
            self._open = None

    def _arrival(self, number: int) -> float:
        for block in reversed(self._history):
            if block.start <= number:
                arrived = [when for index, when in block.arrivals if index <= number]
                return arrived[-1] if arrived else math.nan
        return math.nan

    def _slice(self, begin: int, end: int) -> tuple[npt.NDArray[np.int64], Floats, npt.NDArray[np.uint32]]:
        """The history's samples numbered from ``begin`` up to ``end``: numbers, loads, counts."""
        numbers, loads, counts = [], [], []
        for block in self._history:
            stop = block.start + len(block.loads)
            if stop <= begin or block.start >= end:
                continue
            low, high = max(0, begin - block.start), min(len(block.loads), end - block.start)
            numbers.append(np.arange(block.start + low, block.start + high, dtype=np.int64))
            loads.append(block.loads[low:high])
            counts.append(block.counts[low:high])
        if not numbers:
            return np.empty(0, np.int64), np.empty(0), np.empty(0, np.uint32)
        return np.concatenate(numbers), np.concatenate(loads), np.concatenate(counts)

    def _event(self, opened: _Open, merged: int) -> Event:
        assert opened.end is not None
        begin = opened.trigger - round(self.pre / self._interval)
        numbers, loads, counts = self._slice(begin, opened.end)
        trigger_index = int(np.searchsorted(numbers, opened.trigger))
        jumps = np.flatnonzero(np.diff(numbers) > 1)
        gaps = tuple((int(i) + 1, int(numbers[i + 1] - numbers[i] - 1)) for i in jumps)
        tare = self.offset
        if self.tare_mode == "pre" and trigger_index > 0:
            shift = float(loads[:trigger_index].mean())
            loads = np.subtract(loads, shift, dtype=np.float64)
            tare += shift
        times = np.multiply(numbers - opened.trigger, self._interval, dtype=np.float64)
        verdict = None if self.limits is None else self.limits.judge(times, loads, numbers)
        return Event(
            loads=loads, counts=counts, sample_numbers=numbers, trigger_index=trigger_index,
            trigger_time=self._t0 + opened.trigger * self._interval, interval=self._interval, t0=self._t0,
            trigger=str(self.trigger), tare=tare, gaps=gaps, merged=merged, truncated=opened.truncated,
            verdict=verdict, metadata=dict(self.metadata),
        )

    def _trim(self, received_to: int) -> None:
        """Forget the samples no event can need: before the open event's pre-trigger, or
        older than ``pre`` with no event open."""
        pre = round(self.pre / self._interval)
        keep_from = received_to - pre - 1
        if self._open is not None:
            keep_from = min(keep_from, self._open.trigger - pre)
        if self._queue:
            keep_from = min(keep_from, self._queue[0] - pre)
        while self._history and self._history[0].start + len(self._history[0].loads) <= keep_from:
            self._history.popleft()

    # -- reading ------------------------------------------------------------

    def __iter__(self) -> Iterator[Event]:
        """Events as they complete, until the stream ends."""
        for chunk in self._tap:
            yield from self.feed(chunk)

    async def events(self) -> AsyncIterator[Event]:
        """Events as they complete, for asyncio programs."""
        async for chunk in self._tap.chunks():
            for event in self.feed(chunk):
                yield event

    def __aiter__(self) -> AsyncIterator[Event]:
        return self.events()

    def start(self) -> None:
        """Watch on a thread of its own, calling ``on_event`` (and ``on_trigger``) from it."""
        if self._thread is not None:
            raise RuntimeError("a watcher is started only once")
        self._thread = threading.Thread(target=self._run, name="velmo-events", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        try:
            for _ in self:
                pass
        except BaseException as error:  # handed to the caller of stop()
            self._failure = error

    def stop(self, timeout: float = 10.0) -> None:
        """Close the tap and wait for the thread; re-raises what ended it, if anything failed."""
        self._tap.close()
        if self._thread is not None:
            self._thread.join(timeout)
        if self._failure is not None:
            raise self._failure

    def wait(self, seconds: float) -> None:
        """Sleep in short steps (Ctrl-C ends it) while the thread watches."""
        deadline = time.monotonic() + seconds
        while (left := deadline - time.monotonic()) > 0:
            time.sleep(min(0.1, left))
