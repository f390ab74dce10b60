"""A scripted stand-in for the ``serial`` module.

Install it with ``monkeypatch.setattr(velmo_device_communication, "serial", fake)``.
Each named port is scripted by a ``PortScript``: whether it opens, which
instrument answers behind it and at which rate, and how it misbehaves. Every
call on every port is recorded in ``fake.calls``.

Reads never wait: when fewer bytes are there than asked for, ``read`` returns
what there is at once, which a host sees as its read time-out expiring.
"""

from __future__ import annotations

from dataclasses import dataclass
from types import SimpleNamespace

from velmo.simulator import AnswerFaults, FrameParser, InstrumentModel, default_baud_rate


class SerialException(OSError):
    pass


class SerialTimeoutException(SerialException):
    pass


@dataclass(frozen=True)
class Call:
    port: str
    name: str  # open, write, read, reset_input_buffer, in_waiting, close
    argument: object = None  # write: the bytes; read: the size; open: the baud rate


@dataclass
class FakePortInfo:
    device: str
    description: str = "n/a"
    hwid: str = "n/a"


class PortScript:
    """What one named port does. Change its attributes at any time."""

    def __init__(self, name: str, instrument: InstrumentModel | None, baud_rate: int | None, listed: bool):
        self.name = name
        self.instrument = instrument  # None: nothing attached, the port stays silent
        self.baud_rate = baud_rate  # the only rate at which the instrument understands the host
        self.listed = listed  # shows up in comports()
        self.faults = AnswerFaults()  # silent, drop/cut/corrupt/garbage; delay is ignored
        self.short_write: int | None = None  # write() reports at most this many bytes (all are delivered)
        self.input = bytearray()  # bytes waiting to be read
        self._failures: dict[str, list] = {}
        self._parser = FrameParser()

    def fail(self, method: str, exception: BaseException, times: int | None = None) -> None:
        """Make ``method`` (open, write, read, close, reset_input_buffer, in_waiting) raise."""
        self._failures[method] = [exception, times]

    def queue_input(self, data: bytes) -> None:
        """Bytes that arrived before the host reads, e.g. stream data."""
        self.input += data

    def raise_if_scripted(self, method: str) -> None:
        failure = self._failures.get(method)
        if failure is None:
            return
        exception, times = failure
        if times is not None:
            failure[1] -= 1
            if failure[1] <= 0:
                del self._failures[method]
        raise exception

    def deliver(self, data: bytes, baud_rate: int) -> None:
        """Bytes the host wrote reach the instrument, which may answer."""
        if self.instrument is None or baud_rate != self.baud_rate:
            return
        for frame in self._parser.feed(data):
            answer = self.instrument.handle_frame(frame, responsive=not self.faults.silent)
            if answer is not None:
                self.input += self.faults.shape(answer) or b""

    def pull_stream(self, baud_rate: int) -> None:
        if self.instrument is None or baud_rate != self.baud_rate:
            return
        for packet in self.instrument.stream_packets_due():
            self.input += packet.data
            self.instrument.record_sent(packet)


class FakeSerial:
    """The port object that ``Serial(...)`` returns."""

    def __init__(self, module: FakeSerialModule, script: PortScript, baudrate: int, timeout: float | None):
        self._module = module
        self._script = script
        self.port = script.name
        self.baudrate = baudrate
        self.timeout = timeout
        self.is_open = True

    def reset_input_buffer(self) -> None:
        self._enter("reset_input_buffer")
        self._script.input.clear()

    def write(self, data) -> int:
        data = bytes(data)
        self._enter("write", data)
        self._script.deliver(data, self.baudrate)
        limit = self._script.short_write
        return len(data) if limit is None else min(limit, len(data))

    def read(self, size: int = 1) -> bytes:
        self._enter("read", size)
        self._script.pull_stream(self.baudrate)
        data = bytes(self._script.input[:size])
        del self._script.input[:size]
        return data

    @property
    def in_waiting(self) -> int:
        self._enter("in_waiting")
        self._script.pull_stream(self.baudrate)
        return len(self._script.input)

    def close(self) -> None:
        self._module.calls.append(Call(self.port, "close"))
        if self.is_open:
            self._script.raise_if_scripted("close")
            self.is_open = False

    def _enter(self, name: str, argument: object = None) -> None:
        self._module.calls.append(Call(self.port, name, argument))
        if not self.is_open:
            raise SerialException("Attempting to use a port that is not open")
        self._script.raise_if_scripted(name)


class FakeSerialModule:
    """The fake ``serial`` module: ``Serial``, the two exceptions and ``tools.list_ports``."""

    SerialException = SerialException
    SerialTimeoutException = SerialTimeoutException

    def __init__(self) -> None:
        self.ports: dict[str, PortScript] = {}
        self.calls: list[Call] = []
        self.comports_error: BaseException | None = None
        self.tools = SimpleNamespace(list_ports=SimpleNamespace(comports=self._comports))

    def add_port(
        self,
        name: str,
        model: str | None = "HDA640",
        *,
        instrument: InstrumentModel | None = None,
        baud_rate: int | None = None,
        listed: bool = True,
        **instrument_options,
    ) -> PortScript:
        """A port with an instrument of ``model`` behind it (``model=None``: nothing attached)."""
        if instrument is None and model is not None:
            instrument = InstrumentModel(model, **instrument_options)
        if baud_rate is None and instrument is not None:
            baud_rate = default_baud_rate(instrument.model)
        script = PortScript(name, instrument, baud_rate, listed)
        self.ports[name] = script
        return script

    def Serial(self, port: str | None = None, baudrate: int = 9600, timeout: float | None = None, **_settings):
        self.calls.append(Call(port, "open", baudrate))
        script = self.ports.get(port)
        if script is None:
            raise SerialException(f"[Errno 2] could not open port {port}: No such file or directory")
        script.raise_if_scripted("open")
        return FakeSerial(self, script, baudrate, timeout)

    def _comports(self) -> list[FakePortInfo]:
        if self.comports_error is not None:
            raise self.comports_error
        return [FakePortInfo(name) for name, script in self.ports.items() if script.listed]

    # -- what a test inspects -------------------------------------------------

    def calls_named(self, name: str, port: str | None = None) -> list[Call]:
        return [c for c in self.calls if c.name == name and (port is None or c.port == port)]

    def count(self, name: str, port: str | None = None) -> int:
        return len(self.calls_named(name, port))

    def frames_written(self, port: str | None = None) -> list[bytes]:
        return [c.argument for c in self.calls_named("write", port)]
