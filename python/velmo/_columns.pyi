"""Types of velmo._columns, the stream parsers that fill columns of loads and counts."""

from array import array
from collections.abc import Callable
from typing import Any

# loads, counts, the bytes of an incomplete last packet, and the invalid packets skipped
ParseResult = tuple[array[float], array[int], bytearray, int]

def parse_standard(data: bytes | bytearray | memoryview, converter: Any) -> ParseResult: ...
def parse_high_rate(data: bytes | bytearray | memoryview, converter: Any) -> ParseResult: ...

# (bytes, arrival), or when parsing (loads, counts, invalid, bytes read, arrival)
Taken = list[tuple[bytes, float]] | list[tuple[array[float], array[int], int, int, float]]

class PortReader:
    """Reads a serial port's file descriptor on a native thread (POSIX only)."""

    def __init__(
        self, fd: int, capacity: int, batch_seconds: float, packet_size: int = 0, converter: Any = None
    ) -> None: ...
    @property
    def parsing(self) -> bool: ...
    def take(self, timeout: float, clock: Callable[[], float], gather: float = 0.0) -> tuple[Any, int, bool, int]: ...
    def stop(self) -> None: ...
