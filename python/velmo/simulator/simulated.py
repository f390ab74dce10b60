"""A simulated instrument served on a pseudo-terminal.

The host opens ``SimulatedInstrument.port`` with pyserial like any serial port;
a background thread serves the pty's master side from an ``InstrumentModel``.
Like a real instrument, it understands the host only at its own line rate.
"""

from __future__ import annotations

import collections
import os
import select
import threading
import time
from typing import Any, ContextManager, NamedTuple, Sequence

from .. import discovery as velmo_discovery
from . import discovery, ptyline
from .faults import DEFAULT_GARBAGE, AnswerFaults
from .instrument import InstrumentModel, StreamPacket
from .protocol import FrameParser, default_baud_rate

# A command whose bytes stop arriving for this long is abandoned.
STALE_INPUT_SECONDS = 0.2
IDLE_TICK_SECONDS = 0.1
# Streaming ticks: often enough for a smooth stream, rarely enough to batch packets.
MIN_STREAM_TICK_SECONDS = 0.002
# Stream packets held back while the host does not read; beyond this they are
# not sent at all, as a real line would lose them.
MAX_STREAM_BACKLOG = 4096
WRITE_CHUNK_BYTES = 1024


class _Unit(NamedTuple):
    """Bytes that go out together: an answer, or one stream packet."""

    data: bytes
    packet: StreamPacket | None = None


class SimulatedInstrument:
    """An instrument on a pty. Use as a context manager or call ``close()``."""

    def __init__(
        self,
        model: str = "HDA640",
        item_number: str | None = None,
        firmware: Sequence[int] = (4, 3, 2),
        baud_rate: int | None = None,
        *,
        instrument: InstrumentModel | None = None,
        **instrument_options: Any,
    ) -> None:
        """Extra keyword arguments go to ``InstrumentModel``; or pass a ready ``instrument``."""
        self.instrument = instrument or InstrumentModel(model, item_number, firmware, **instrument_options)
        self.baud_rate = baud_rate or default_baud_rate(self.instrument.model)
        self.faults = AnswerFaults()
        self.host_closed = threading.Event()  # set when the host closes the port
        self.overflowed = 0  # stream packets never sent: the host did not read in time
        self._master, self.port = ptyline.open_pty()
        self._watcher = ptyline.host_watcher(self.port, self._master)
        self._wake_read, self._wake_write = os.pipe()
        os.set_blocking(self._wake_read, False)
        self._parser = FrameParser()
        self._last_input = 0.0
        self._scheduled: collections.deque[tuple[float, bytes]] = collections.deque()
        self._answers: collections.deque[_Unit] = collections.deque()
        self._packets: collections.deque[_Unit] = collections.deque()
        self._current: _Unit | None = None  # a unit that went out in part
        self._stopping = False
        self._closed = False
        self._failure: BaseException | None = None
        self._close_lock = threading.Lock()
        self._thread = threading.Thread(target=self._serve, name=f"velmo-sim {self.port}", daemon=True)
        self._thread.start()

    # -- lifecycle ----------------------------------------------------------

    def __enter__(self) -> SimulatedInstrument:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<SimulatedInstrument {self.instrument.model} on {self.port} at {self.baud_rate} baud>"

    def close(self) -> None:
        """Stop serving and release the pty; the port disappears. Safe to repeat.

        Raises RuntimeError if the serving thread had died of an error.
        """
        with self._close_lock:
            if self._closed:
                return
            self._closed = True
            self._stopping = True
            os.write(self._wake_write, b"x")
            self._thread.join()
            for fd in (self._master, self._wake_read, self._wake_write):
                os.close(fd)
            self._watcher.close()
        if self._failure is not None:
            raise RuntimeError(f"{self!r} stopped serving after an error") from self._failure

    def unplug(self) -> None:
        """Pull the cable: the host's further reads and writes fail."""
        self.close()

    @property
    def closed(self) -> bool:
        return self._closed

    # -- what a test observes -----------------------------------------------

    @property
    def frames_received(self) -> list[bytes]:
        return self.instrument.frames_received

    @property
    def streamed_counts(self) -> list[int]:
        return self.instrument.streamed_counts

    @property
    def host_connected(self) -> bool:
        return self._watcher.present

    @property
    def host_opens(self) -> int:
        return self._watcher.opens

    @property
    def hangups(self) -> int:
        """How many times the host has closed the port."""
        return self._watcher.closes

    def host_rate(self) -> int | None:
        """The rate the host has set on its side of the line."""
        return None if self._closed else ptyline.line_speed(self._master)

    def visible_to_discovery(self) -> ContextManager[None]:
        """List this port in ``serial.tools.list_ports.comports()`` within the block."""
        return discovery.visible_ports(discovery.port_record(self.port, self._description()))

    def listed_for_other_processes(self) -> ContextManager[None]:
        """List this port among the ports of this user's other velmo processes within the block."""
        description = f"{self._description()} {self.instrument.instrument_serial} (pid {os.getpid()})"
        return velmo_discovery.listed_for_other_processes(self.port, description)

    def _description(self) -> str:
        return f"Simulated VELMO {self.instrument.model}"

    # -- fault knobs --------------------------------------------------------

    @property
    def silent(self) -> bool:
        return self.faults.silent

    @silent.setter
    def silent(self, value: bool) -> None:
        self.faults.silent = value

    @property
    def delay(self) -> float:
        return self.faults.delay

    @delay.setter
    def delay(self, seconds: float) -> None:
        self.faults.delay = seconds

    def delay_next_answer(self, seconds: float, times: int | None = 1) -> None:
        self.faults.delay_next(seconds, times)

    def drop_next_answer(self, times: int | None = 1) -> None:
        self.faults.drop_next(times)

    def cut_next_answer(self, length: int, times: int | None = 1) -> None:
        self.faults.cut_next(length, times)

    def corrupt_next_checksum(self, times: int | None = 1) -> None:
        self.faults.corrupt_next_checksum(times)

    def garbage_before_next_answer(self, data: bytes = DEFAULT_GARBAGE, times: int | None = 1) -> None:
        self.faults.garbage_before_next(data, times)

    # -- the serving thread -------------------------------------------------

    def _serve(self) -> None:
        try:
            self._serve_until_stopped()
        except BaseException as error:  # reported by close(), so a test cannot miss it
            self._failure = error
            raise

    def _serve_until_stopped(self) -> None:
        while not self._stopping:
            master_events = self._wait_for_work()
            if self._stopping:
                return
            self._watch_host(master_events)
            if self._watcher.present and master_events & select.POLLIN:
                self._receive()
            self._release_due_answers()
            self._queue_stream_packets()
            if self._watcher.present:
                self._flush()

    def _wait_for_work(self) -> int:
        """Sleep until input, writable output, a host event or the next tick; master's events."""
        poller = select.poll()
        poller.register(self._wake_read, select.POLLIN)
        watcher_fd = self._watcher.fileno()
        if watcher_fd is not None:
            poller.register(watcher_fd, select.POLLIN)
        # With no host the master reports a hang-up at every poll; leave it out then.
        if self._watcher.present:
            writable = select.POLLOUT if self._has_output() else 0
            poller.register(self._master, select.POLLIN | writable)
        events = dict(poller.poll(self._tick_seconds() * 1000))
        if self._wake_read in events:
            os.read(self._wake_read, 64)
        if watcher_fd is None and not self._watcher.present:
            return self._master_events_now()
        return events.get(self._master, 0)

    def _master_events_now(self) -> int:
        poller = select.poll()
        poller.register(self._master, select.POLLIN)
        return dict(poller.poll(0)).get(self._master, 0)

    def _tick_seconds(self) -> float:
        if not self._watcher.present:
            return self._watcher.poll_interval or IDLE_TICK_SECONDS
        now = time.monotonic()
        tick = IDLE_TICK_SECONDS
        if self._scheduled:
            tick = min(tick, self._scheduled[0][0] - now)
        if self.instrument.streaming:
            tick = min(tick, 1.0 / self.instrument.stream_rate)
        return max(tick, MIN_STREAM_TICK_SECONDS if self.instrument.streaming else 0.0)

    def _watch_host(self, master_events: int) -> None:
        closes_before = self._watcher.closes
        self._watcher.refresh(bool(master_events & select.POLLHUP))
        if self._watcher.closes > closes_before:
            self._forget_host()
        if self._watcher.present:
            if self.host_closed.is_set():
                self.host_closed.clear()
        elif self._watcher.closes > closes_before:
            self._discard_unread_input()
            self.host_closed.set()

    def _forget_host(self) -> None:
        """The host went away: whatever was meant for it is lost."""
        self._parser.clear()
        self._scheduled.clear()
        self._answers.clear()
        self._packets.clear()
        self._current = None

    def _discard_unread_input(self) -> None:
        """The pty keeps unread input across sessions; a command of a host that
        has gone must not be answered to the next one. Only safe while no host
        is connected, or its first command would go too."""
        while True:
            try:
                if not os.read(self._master, 4096):
                    return
            except OSError:  # drained (EAGAIN) or no slave open (EIO)
                return

    def _host_at_our_rate(self) -> bool:
        return ptyline.line_speed(self._master) in (self.baud_rate, None)

    def _receive(self) -> None:
        try:
            data = os.read(self._master, 4096)
        except OSError:  # nothing there after all, or the host just hung up
            return
        now = time.monotonic()
        if now - self._last_input > STALE_INPUT_SECONDS:
            self._parser.clear()
        self._last_input = now
        if not self._host_at_our_rate():
            self._parser.clear()  # at another rate the bytes are noise to us
            return
        for frame in self._parser.feed(data):
            self._answer(frame, now)
        if not self.instrument.streaming:
            self._packets.clear()

    def _answer(self, frame: bytes, now: float) -> None:
        answer = self.instrument.handle_frame(frame, responsive=not self.faults.silent)
        if answer is None:
            return
        answer = self.faults.shape(answer)
        if answer:
            self._scheduled.append((now + self.faults.answer_delay(), answer))

    def _release_due_answers(self) -> None:
        now = time.monotonic()
        while self._scheduled and self._scheduled[0][0] <= now:
            self._answers.append(_Unit(self._scheduled.popleft()[1]))

    def _queue_stream_packets(self) -> None:
        packets = self.instrument.stream_packets_due()
        if not packets or not self._watcher.present or not self._host_at_our_rate():
            return
        if len(self._packets) + len(packets) > MAX_STREAM_BACKLOG:
            self.overflowed += len(packets)
            return
        self._packets.extend(_Unit(packet.data, packet) for packet in packets)

    def _has_output(self) -> bool:
        return bool(self._current or self._answers or self._packets)

    def _flush(self) -> None:
        """Write what the line takes; answers go ahead of waiting stream packets."""
        while self._finish_current():
            units = self._take_units()
            if not units:
                return
            written = self._write(b"".join(unit.data for unit in units))
            for index, unit in enumerate(units):
                if written >= len(unit.data):
                    written -= len(unit.data)
                    self._sent(unit)
                    continue
                if written:
                    self._current = _Unit(unit.data[written:], unit.packet)
                    index += 1
                self._put_back(units[index:])
                return

    def _finish_current(self) -> bool:
        """Complete a unit that went out in part; True when the line is free again."""
        if self._current is None:
            return True
        written = self._write(self._current.data)
        if written < len(self._current.data):
            self._current = self._current._replace(data=self._current.data[written:])
            return False
        self._sent(self._current)
        self._current = None
        return True

    def _take_units(self) -> list[_Unit]:
        units, size = [], 0
        for queue in (self._answers, self._packets):
            while queue and size < WRITE_CHUNK_BYTES:
                units.append(queue.popleft())
                size += len(units[-1].data)
        return units

    def _put_back(self, units: list[_Unit]) -> None:
        for unit in reversed(units):
            (self._packets if unit.packet else self._answers).appendleft(unit)

    def _write(self, data: bytes) -> int:
        try:
            return os.write(self._master, data)
        except BlockingIOError:
            return 0
        except OSError:  # the host hung up in between; the watcher will notice
            return 0

    def _sent(self, unit: _Unit) -> None:
        if unit.packet is not None:
            self.instrument.record_sent(unit.packet)
