"""Builds the 512-byte TEDS memory image of a simulated sensor.

The image is 16 pages of 32 bytes. Byte 0 of each page is the page checksum;
the other 31 bytes of all pages form one bit stream, least significant bit of
each byte first, in which the sensor's fields sit at fixed bit positions.
"""

from __future__ import annotations

import struct

IMAGE_SIZE = 512
PAGE_SIZE = 32
DATA_BITS_PER_PAGE = (PAGE_SIZE - 1) * 8
REVERSE_SCALING_MARK = 0x55

# (first bit, length) of each field in the data bit stream
SERIAL_NUMBER_BITS = (40, 24)
ENGINEERING_UNIT_BITS = (74, 6)
MIN_CAPACITY_BIT = 80
MAX_CAPACITY_BIT = 112
MIN_ELECTRICAL_BIT = 146
MAX_ELECTRICAL_BIT = 178
REVERSE_FLAG_BITS = (568, 8)
REVERSE_MAX_ELECTRICAL_BIT = 576


def build_teds_image(
    serial_number: int,
    engineering_unit: int,
    min_capacity: float,
    max_capacity: float,
    min_electrical: float,
    max_electrical: float,
    reverse_max_electrical: float | None = None,
) -> bytes:
    """Sensor memory with these fields; electrical outputs in V/V.

    A ``reverse_max_electrical`` marks the sensor as calibrated in the reverse
    direction too.
    """
    image = bytearray(IMAGE_SIZE)
    _put_uint(image, *SERIAL_NUMBER_BITS, serial_number)
    _put_uint(image, *ENGINEERING_UNIT_BITS, engineering_unit)
    _put_float(image, MIN_CAPACITY_BIT, min_capacity)
    _put_float(image, MAX_CAPACITY_BIT, max_capacity)
    _put_float(image, MIN_ELECTRICAL_BIT, min_electrical)
    _put_float(image, MAX_ELECTRICAL_BIT, max_electrical)
    if reverse_max_electrical is not None:
        _put_uint(image, *REVERSE_FLAG_BITS, REVERSE_SCALING_MARK)
        _put_float(image, REVERSE_MAX_ELECTRICAL_BIT, reverse_max_electrical)
    for start in range(0, IMAGE_SIZE, PAGE_SIZE):
        # The page checksum makes the bytes of each page sum to zero.
        image[start] = -sum(image[start + 1:start + PAGE_SIZE]) & 0xFF
    return bytes(image)


def _put_uint(image: bytearray, first_bit: int, length: int, value: int) -> None:
    if not 0 <= value < 1 << length:
        raise ValueError(f"{value} does not fit in {length} bits")
    for i in range(length):
        _put_bit(image, first_bit + i, (value >> i) & 1)


def _put_float(image: bytearray, first_bit: int, value: float) -> None:
    _put_uint(image, first_bit, 32, int.from_bytes(struct.pack("<f", value), "little"))


def _put_bit(image: bytearray, bit: int, value: int) -> None:
    page, offset = divmod(bit, DATA_BITS_PER_PAGE)
    byte = page * PAGE_SIZE + 1 + offset // 8
    mask = 1 << (offset % 8)
    image[byte] = (image[byte] | mask) if value else (image[byte] & ~mask)
