"""Byte-level pieces of the VELMO instrument protocol, as seen from the instrument.

Commands and answers share one layout: 0x00, a length or size byte, two command
identity bytes, the body, and a weighted checksum of everything before it.
"""

from __future__ import annotations

import struct

from .. import models
from ..models import ORVALE_ITEM_NUMBER as ORVALE_ITEM_NUMBER

MIN_FRAME_LENGTH = 5  # header (4 bytes) + checksum
# The longest command of the protocol has 11 bytes; a length byte far above
# that is line noise, and waiting for it would swallow the next real command.
MAX_FRAME_LENGTH = 16

SAMPLING_RATES = {name: model.sampling_rates for name, model in models.MODELS.items()}
MODELS = models.MODEL_NAMES
HIGH_RATE_CODE = models.MODELS["HDA640"].high_rate_code


def default_baud_rate(model: str) -> int:
    """Line rate an instrument of this model speaks out of the box."""
    return models.model(model).default_baud_rate


def checksum(data: bytes | bytearray) -> int:
    """Weighted sum of the bytes modulo 256; the first byte has weight 1."""
    return sum(weight * byte for weight, byte in enumerate(data, start=1)) & 0xFF


def has_valid_checksum(frame: bytes | bytearray) -> bool:
    return len(frame) >= 2 and checksum(frame[:-1]) == frame[-1]


def build_frame(high: int, low: int, body: bytes = b"", size: int | None = None) -> bytes:
    """Header, body and checksum; the size byte defaults to the frame's length."""
    if size is None:
        size = 4 + len(body) + 1
    head = bytes((0x00, size, high, low)) + bytes(body)
    return head + bytes((checksum(head),))


def encode_ascii(text: str, width: int = 10) -> bytes:
    return text.encode("ascii")[:width].ljust(width, b"\x00")


def encode_uint(value: int, width: int) -> bytes:
    return int(value).to_bytes(width, "big")


def encode_float32(value: float) -> bytes:
    return struct.pack("<f", value)


def decode_float32(data: bytes) -> float:
    value: float = struct.unpack("<f", data)[0]
    return value


def standard_packet(count: int) -> bytes:
    """4-byte stream packet: the top 24 bits of the count and their checksum."""
    a, b, c = (count >> 24) & 0xFF, (count >> 16) & 0xFF, (count >> 8) & 0xFF
    return bytes((a, b, c, (a + 2 * b + 3 * c) & 0xFF))


def high_rate_packet(count: int) -> bytes:
    """3-byte stream packet of the 38400 SPS rate: the top 16 bits and checksum."""
    a, b = (count >> 24) & 0xFF, (count >> 16) & 0xFF
    return bytes((a, b, (a + 2 * b) & 0xFF))


class FrameParser:
    """Splits a byte stream into command frames that arrive in arbitrary pieces.

    Bytes that cannot start a valid frame are skipped one at a time, so the
    parser finds its way back to the frame boundaries after line noise.
    """

    def __init__(self, max_length: int = MAX_FRAME_LENGTH):
        self._max_length = max_length
        self._buffer = bytearray()

    @property
    def pending(self) -> int:
        """Bytes held back as the start of a frame that is not complete yet."""
        return len(self._buffer)

    def clear(self) -> None:
        self._buffer.clear()

    def feed(self, data: bytes) -> list[bytes]:
        self._buffer += data
        frames: list[bytes] = []
        while True:
            frame = self._take_frame()
            if frame is None:
                return frames
            frames.append(frame)

    def _take_frame(self) -> bytes | None:
        buffer = self._buffer
        while len(buffer) >= 2:
            length = buffer[1]
            if buffer[0] != 0x00 or not MIN_FRAME_LENGTH <= length <= self._max_length:
                del buffer[0]
                continue
            if len(buffer) < length:
                return None
            if has_valid_checksum(buffer[:length]):
                frame = bytes(buffer[:length])
                del buffer[:length]
                return frame
            del buffer[0]
        return None
