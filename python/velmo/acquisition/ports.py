"""The two ways the reader takes what arrives on the port: a native thread on the port's
descriptor (POSIX), or pyserial polled from a Python thread (anywhere else).

The native thread parses what it reads into columns where the converter is an exact
``ADCConverter``: the bytes go from the descriptor into its buffer and are parsed there,
no copy in between. Otherwise, and from pyserial, the bytes are handed over and the
acquisition parses them."""

from __future__ import annotations

import array
import errno
import os
import time
from typing import Any, NamedTuple, Union

from .. import _columns

# How long the native reader's reads gather before they are handed over, in one block:
# the consumers' latency, against a wake-up of the Python reader per hand-over.
HANDOVER_INTERVAL = 0.05


class Read(NamedTuple):
    data: bytes
    arrived: float  # time.monotonic() when the read returned


class ParsedRead(NamedTuple):
    loads: array.array[float]
    counts: array.array[int]
    invalid: int  # windows skipped
    size: int  # bytes read
    arrived: float  # time.monotonic() when the last of them arrived


class Taken(NamedTuple):
    reads: list[Union[Read, ParsedRead]]
    # Read from the port but not kept, because the reader's own buffer was full.
    dropped_bytes: int
    dropped_samples: int
    finished: bool
    failure: BaseException | None


class NativePort:
    """The port's descriptor, read by a native thread that never needs the GIL: it reads a
    duplicate of its own, and stamps each read where it arrives."""

    @staticmethod
    def available() -> bool:
        return hasattr(_columns, "PortReader")

    def __init__(self, fd: int, capacity: int, poll_interval: float, packet_size: int, converter: Any):
        """``capacity`` in samples; parses natively when ``converter`` allows it (``parsing``)."""
        self._reader = _columns.PortReader(fd, capacity, poll_interval, packet_size, converter)
        self.parsing = self._reader.parsing

    def take(self, timeout: float) -> Taken:
        # Gathering once the stop was asked for (timeout 0) would only delay the stop.
        reads, dropped, finished, code = self._reader.take(timeout, time.monotonic, HANDOVER_INTERVAL if timeout else 0)
        failure = None
        if code == -1:
            failure = OSError(errno.EIO, "the port reports data but reads none: the instrument is gone")
        elif code:
            failure = OSError(code, os.strerror(code))
        # One block per hand-over: the last sample of all arrived with the last read.
        if self.parsing:
            return Taken([ParsedRead(*read) for read in reads], 0, dropped, finished, failure)
        return Taken([Read(*read) for read in reads], dropped, 0, finished, failure)

    def stop(self) -> None:
        self._reader.stop()


class PolledPort:
    """pyserial, polled from the reader thread: where the port has no descriptor."""

    def __init__(self, device: Any, poll_interval: float):
        self._device = device
        self._poll_interval = poll_interval

    def take(self, timeout: float) -> Taken:
        if timeout:
            time.sleep(min(timeout, self._poll_interval))
        try:
            data = self._device.get_stream_data()
        except Exception as error:
            return Taken([], 0, 0, True, error)
        return Taken([Read(data, time.monotonic())] if data else [], 0, 0, False, None)

    def stop(self) -> None:
        pass  # the reader's next take is its last
