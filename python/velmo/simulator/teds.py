"""A simulated TEDS sensor and the 512-byte memory image it carries.

The image is 16 pages of 32 bytes. Byte 0 of each page is the page checksum,
which makes the 32 bytes of the page sum to 0 modulo 256; the other 31 bytes of
all pages form one bit stream, least significant bit of each byte first, in
which the sensor's fields sit at fixed bit positions: the IEEE 1451.4 Basic
TEDS (bits 0-63), the template selector and number (bits 64-73), then the
fields of the bridge-sensor template.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass

IMAGE_SIZE = 512
PAGE_SIZE = 32
DATA_BITS_PER_PAGE = (PAGE_SIZE - 1) * 8
REVERSE_SCALING_MARK = 0x55

# The bridge-sensor template, whose fields follow the template number.
BRIDGE_SENSOR_TEMPLATE = 33

# (first bit, length) of each field in the data bit stream
MANUFACTURER_ID_BITS = (0, 14)
MODEL_NUMBER_BITS = (14, 15)
VERSION_LETTER_BITS = (29, 5)
VERSION_NUMBER_BITS = (34, 6)
SERIAL_NUMBER_BITS = (40, 24)
TEMPLATE_BITS = (66, 8)
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
    *,
    manufacturer_id: int = 0,
    model_number: int = 0,
    version_letter: str = "A",
    version_number: int = 0,
    template: int = BRIDGE_SENSOR_TEMPLATE,
) -> bytes:
    """Sensor memory with these fields; electrical outputs in V/V.

    A ``reverse_max_electrical`` marks the sensor as calibrated in the reverse
    direction too. The version letter is stored as IEEE 1451.4 5-bit
    characters store it: A is 1, Z is 26.
    """
    image = bytearray(IMAGE_SIZE)
    _put_uint(image, *MANUFACTURER_ID_BITS, manufacturer_id)
    _put_uint(image, *MODEL_NUMBER_BITS, model_number)
    _put_uint(image, *VERSION_LETTER_BITS, _chr5(version_letter))
    _put_uint(image, *VERSION_NUMBER_BITS, version_number)
    _put_uint(image, *SERIAL_NUMBER_BITS, serial_number)
    _put_uint(image, *TEMPLATE_BITS, template)
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


@dataclass(frozen=True)
class TEDSSensor:
    """A sensor with TEDS memory, as an instrument reads it.

    Capacities are in the sensor's engineering unit (``engineering_unit``
    is its IEEE 1451.4 code, 4 for newtons); electrical outputs are in V/V,
    so 0.002 is a sensitivity of 2 mV/V. A ``reverse_max_electrical``
    gives the sensor a calibration in the reverse direction too.
    """

    serial_number: int = 12345
    engineering_unit: int = 4
    min_capacity: float = 0.0
    max_capacity: float = 1000.0
    min_electrical: float = 0.0
    max_electrical: float = 0.002
    reverse_max_electrical: float | None = None
    manufacturer_id: int = 43
    model_number: int = 640
    version_letter: str = "A"
    version_number: int = 1
    template: int = BRIDGE_SENSOR_TEMPLATE

    def __post_init__(self) -> None:
        # Refuse what the memory cannot hold now, not when an instrument reads it.
        self.image()

    @property
    def reverse_scaling_enabled(self) -> bool:
        return self.reverse_max_electrical is not None

    def image(self) -> bytes:
        """The 512-byte TEDS memory."""
        return build_teds_image(
            self.serial_number,
            self.engineering_unit,
            self.min_capacity,
            self.max_capacity,
            self.min_electrical,
            self.max_electrical,
            self.reverse_max_electrical,
            manufacturer_id=self.manufacturer_id,
            model_number=self.model_number,
            version_letter=self.version_letter,
            version_number=self.version_number,
            template=self.template,
        )

    def laser(self) -> bytes:
        """The 8-byte laser identification of the memory chip; byte 0 is the template."""
        return (
            bytes((self.template,))
            + self.serial_number.to_bytes(3, "little")
            + self.manufacturer_id.to_bytes(2, "little")
            + self.model_number.to_bytes(2, "little")
        )


def _chr5(letter: str) -> int:
    if len(letter) != 1 or not "A" <= letter.upper() <= "Z":
        raise ValueError(f"a version letter is one letter A to Z, got {letter!r}")
    return ord(letter.upper()) - ord("A") + 1


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
