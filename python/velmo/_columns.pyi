"""Types of velmo._columns, the stream parsers that fill columns of loads and counts."""

from array import array
from typing import Any

# loads, counts, the bytes of an incomplete last packet, and the invalid packets skipped
ParseResult = tuple[array[float], array[int], bytearray, int]

def parse_standard(data: bytes | bytearray | memoryview, converter: Any) -> ParseResult: ...
def parse_high_rate(data: bytes | bytearray | memoryview, converter: Any) -> ParseResult: ...
