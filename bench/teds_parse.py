"""Parsing of a sensor's 512-byte TEDS image against a pure-Python bit walk, in one run.

    python bench/teds_parse.py [--calls N]

The walk builds the list of bits and reads each field bit by bit, as the record's own
Python-level helpers describe it.
"""

import argparse
import os
import struct
import sys
import timeit

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python"))

import velmo_device_communication as vdc  # noqa: E402
from velmo.simulator import TEDSSensor  # noqa: E402


def reference_fields(image):
    bits = [bool(byte >> k & 1) for i, byte in enumerate(image) if i % 32 for k in range(8)]

    def unsigned(start, length):
        return sum(1 << (i % 32) for i in range(length) if start + i < len(bits) and bits[start + i]) % 2**32

    def single(start):
        return struct.unpack("<f", unsigned(start, 32).to_bytes(4, "little"))[0]

    return (str(unsigned(40, 24)), unsigned(74, 6), single(80), single(112), single(146) * 1000.0,
            single(178) * 1000.0, unsigned(568, 8) == 85, single(576) * 1000.0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=2000)
    calls = parser.parse_args().calls
    image = TEDSSensor(serial_number=424242, max_capacity=2000.0, reverse_max_electrical=0.0019).image()
    record = vdc.TEDSData.parse_from_bytes(image, 33)
    assert reference_fields(image) == (record.serial_number, record.engineering_unit, record.min_capacity,
                                       record.max_capacity, record.min_electrical, record.max_electrical,
                                       record.reverse_scaling_enabled, record.reverse_max_electrical)
    rows = [
        ("parse_from_bytes", lambda: vdc.TEDSData.parse_from_bytes(image, 33), lambda: reference_fields(image)),
        ("bytes_to_bits", lambda: vdc.TEDSData.bytes_to_bits(image, True),
         lambda: [bool(b >> k & 1) for i, b in enumerate(image) if i % 32 for k in range(8)]),
    ]
    for name, module, reference in rows:
        ours = min(timeit.repeat(module, number=calls, repeat=5)) / calls
        theirs = min(timeit.repeat(reference, number=max(1, calls // 20), repeat=5)) / max(1, calls // 20)
        print(f"{name:18} {ours * 1e6:9.2f} us  reference {theirs * 1e6:9.2f} us  ratio {theirs / ours:7.1f}x")


if __name__ == "__main__":
    main()
