"""Smoke test of an installed wheel: both extensions import, a stream parses, ``velmo --version`` runs.

    python tools/wheel_smoke.py

cibuildwheel runs it against every wheel it builds (Linux, macOS, Windows), and
tools/build_wheel.sh against the repaired Linux wheel. It needs only the wheel
and its ``cli`` extra: no instrument, no pseudo-terminal, no source tree.
"""

from __future__ import annotations

import shutil
import subprocess
import sys

import velmo
import velmo_device_communication as vdc
from velmo import _columns  # noqa: F401  the package's own extension loads too

# Calibration of a 1000 N sensor: zero load at count 2**31, full scale 1000 N at 2**31 + 1000 * 2**16.
ZERO_COUNT = 2**31
COUNTS_PER_NEWTON = 2**16
LOADS = (0.0, 125.0, -250.0, 1000.0)


def converter() -> vdc.ADCConverter:
    calibration = vdc.ADCConverter()
    calibration.number_of_directions = 0
    calibration.direction_1_offset_value = ZERO_COUNT
    calibration.direction_1_fullscale_value = ZERO_COUNT + 1000 * COUNTS_PER_NEWTON
    calibration.direction_1_fullscale_load = 1000.0
    return calibration


def standard_packet(count: int) -> bytes:
    """The instrument's 4-byte stream packet: the count's top three bytes and their checksum."""
    a, b, c = (count >> 24) & 0xFF, (count >> 16) & 0xFF, (count >> 8) & 0xFF
    return bytes([a, b, c, (a + 2 * b + 3 * c) % 256])


def check(condition: bool, what: str) -> None:
    if not condition:
        sys.exit(f"wheel smoke test failed: {what}")


def main() -> None:
    counts = [ZERO_COUNT + int(load * COUNTS_PER_NEWTON) for load in LOADS]
    stream = b"".join(standard_packet(count) for count in counts) + b"\x80\x01"

    result = vdc.StreamDataConverter.convert_stream_data_to_reading(stream, converter())
    readings = result.readings or []
    check([reading.adc_value for reading in readings] == counts, "counts differ")
    check([reading.calibrated_value for reading in readings] == list(LOADS), "loads differ")
    check(result.remainder == bytearray(b"\x80\x01"), "the incomplete packet was not kept")

    command = shutil.which("velmo")
    check(command is not None, "the velmo command is not on PATH")
    output = subprocess.run([command, "--version"], capture_output=True, text=True, check=True).stdout
    check(velmo.__version__ in output, f"velmo --version printed {output!r}")
    print(f"velmo {velmo.__version__} ({vdc.__file__}): stream parsed, {output.strip()}")


if __name__ == "__main__":
    main()
