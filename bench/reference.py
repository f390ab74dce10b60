"""Plain-Python transcriptions of the module's arithmetic.

The benchmarks measure the module against these, and the property tests check that the
module computes exactly what they compute.
"""

import logging
import struct

logger = logging.getLogger("velmo_device_communication")


def weighted_checksum(data):
    total = 0
    for weight, value in enumerate(data, start=1):
        total += weight * value
    return total % 256


def _count_of(value):
    """Truncate toward zero to 64 bits, keep the low 32 bits; NaN and out of range give 0."""
    if value != value or not (-(2**63) <= value < 2**63):
        return 0
    return int(value) & 0xFFFFFFFF


class ReferenceConverter:
    """The calibration lines, evaluated step by step in IEEE doubles."""

    def __init__(self, **fields):
        self.number_of_loading_points = 0
        self.direction_1_offset_load = 0.0
        self.direction_1_fullscale_load = 0.0
        self.direction_1_offset_value = 0.0
        self.direction_1_fullscale_value = 0.0
        self.direction_2_offset_load = 0.0
        self.direction_2_fullscale_load = 0.0
        self.direction_2_offset_value = 0.0
        self.direction_2_fullscale_value = 0.0
        self.scale_factor = 1.0
        self.offset = 0.0
        self.number_of_directions = 1
        self.midpoint_offset = 0.0
        for name, value in fields.items():
            setattr(self, name, value)

    def _set_midpoint_offset(self):
        o1, o2 = self.direction_1_offset_value, self.direction_2_offset_value
        self.midpoint_offset = o1 - (o1 - o2) * 0.5

    @staticmethod
    def _divide(numerator, denominator):
        if denominator == 0.0:
            if numerator == 0.0 or numerator != numerator:
                return float("nan")
            negative = (numerator < 0) != (struct.pack("<d", denominator)[7] >= 0x80)
            return float("-inf") if negative else float("inf")
        return numerator / denominator

    def calculate_for_direction_1(self, count):
        t = float(count) - self.direction_1_offset_value
        t = t * self.direction_1_fullscale_load
        t = self._divide(t, self.direction_1_fullscale_value - self.direction_1_offset_value)
        t = t * self.scale_factor
        return t + self.offset

    def calculate_for_direction_2(self, count):
        t = float(count) - self.direction_2_offset_value
        t = t * self.direction_2_fullscale_load
        t = self._divide(t, self.direction_2_fullscale_value - self.direction_2_offset_value)
        t = t * self.scale_factor
        t = t + self.offset
        return -t

    def convert_adc(self, ndr_adc):
        c = _count_of(float(ndr_adc))
        if self.number_of_directions != 1:
            return self.calculate_for_direction_1(c)
        o1, f1 = self.direction_1_offset_value, self.direction_1_fullscale_value
        o2, f2 = self.direction_2_offset_value, self.direction_2_fullscale_value
        m = _count_of(self.midpoint_offset)
        e = float(c)
        if not (o1 >= f1):
            if o2 > o1:
                second = c < m
            elif e >= o1:
                second = False
            elif not (e > o2):
                second = True
            else:
                second = c < m
        else:
            if not (o1 > f2):
                return 0.0
            if (e <= o1 and e >= f2) or e < f1:
                second = False
            elif e > o1 and e < o2:
                second = c > m
            else:
                second = True
        if second:
            return self.calculate_for_direction_2(c)
        return self.calculate_for_direction_1(c)


def parse_stream(data, converter, packet_size=4):
    """The stream parser: returns (readings as (load, count) pairs, invalid count, remainder)."""
    data = bytes(data)
    readings = []
    invalid = 0
    i = 0
    n = len(data)
    while i <= n - packet_size:
        if packet_size == 4:
            a, b, c, k = data[i], data[i + 1], data[i + 2], data[i + 3]
            valid = (a + 2 * b + 3 * c) % 256 == k
            count = (a << 24) | (b << 16) | (c << 8)
        else:
            a, b, k = data[i], data[i + 1], data[i + 2]
            valid = (a + 2 * b) % 256 == k
            count = (a << 24) | (b << 16)
        if not valid:
            invalid += 1
            i += 1
            continue
        readings.append((float(converter.convert_adc(count)), count))
        i += packet_size
    if invalid:
        logger.warning(f"Stream conversion: {invalid} invalid/corrupted packets detected")
    return readings, invalid, bytearray(data[i:])


def standard_packet(count):
    a, b, c = (count >> 24) & 0xFF, (count >> 16) & 0xFF, (count >> 8) & 0xFF
    return bytes([a, b, c, (a + 2 * b + 3 * c) % 256])


def high_rate_packet(count):
    a, b = (count >> 24) & 0xFF, (count >> 16) & 0xFF
    return bytes([a, b, (a + 2 * b) % 256])
