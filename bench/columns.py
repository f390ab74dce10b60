"""velmo._columns against the module's stream parsers and the pure-Python reference, in one run.

    python bench/columns.py [--packets N]

Prints, per packet format, the time per reading of each parser, the ratios and the bytes
that each result keeps per reading.
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import velmo_device_communication as vdc  # noqa: E402
from bench.hot_paths import best_of, converters  # noqa: E402
from bench.reference import high_rate_packet, parse_stream, standard_packet  # noqa: E402
from velmo import _columns  # noqa: E402

FORMATS = [
    ("standard", standard_packet, vdc.StreamDataConverter.convert_stream_data_to_reading, _columns.parse_standard),
    ("high-rate", high_rate_packet, vdc.StreamDataConverter.convert_stream_data_to_reading_38_kHz,
     _columns.parse_high_rate),
]


def bytes_per_reading_of_list(readings):
    return (sys.getsizeof(readings) + sum(sys.getsizeof(r) for r in readings)) / len(readings)


def bytes_per_reading_of_columns(loads, counts):
    return (sys.getsizeof(loads) + sys.getsizeof(counts)) / len(loads)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--packets", type=int, default=1_000_000)
    parser.add_argument("--reference-packets", type=int, default=100_000,
                        help="packets for the slow pure-Python reference (its time is scaled per reading)")
    arguments = parser.parse_args()
    native, reference = converters()
    n = arguments.packets

    print(f"{'format':10} {'columns':>10} {'module':>10} {'reference':>10} {'module/columns':>15} "
          f"{'reference/columns':>18} {'bytes/reading columns':>22} {'list':>6}")
    for name, packet, module_parser, columns_parser in FORMATS:
        counts = [(i * 2654435761) & 0xFFFFFF00 for i in range(n)]
        data = bytearray(b"".join(packet(c) for c in counts))
        small = data[: arguments.reference_packets * len(packet(0))]
        columns_time = best_of(lambda: columns_parser(data, native)) / n
        module_time = best_of(lambda: module_parser(data, native)) / n
        reference_time = best_of(lambda: parse_stream(small, reference, len(packet(0))), repeat=1)
        reference_time /= arguments.reference_packets
        loads, counts_column, remainder, invalid = columns_parser(data, native)
        readings = module_parser(data, native).readings
        assert invalid == 0 and not remainder and len(loads) == len(readings) == n
        print(f"{name:10} {columns_time * 1e9:8.2f}ns {module_time * 1e9:8.2f}ns {reference_time * 1e9:8.1f}ns "
              f"{module_time / columns_time:14.1f}x {reference_time / columns_time:17.1f}x "
              f"{bytes_per_reading_of_columns(loads, counts_column):22.1f} "
              f"{bytes_per_reading_of_list(readings):6.1f}")
    print("goal: module/columns >= 6x per reading, 12 bytes per reading in columns")


if __name__ == "__main__":
    main()
