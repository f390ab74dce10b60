"""velmo._columns against the module's stream parsers and the pure-Python reference, in one run.

    python bench/columns.py [--packets N]

Prints, per packet format, the time per reading of each parser, the ratios and the bytes
that each result keeps per reading; then what a call costs: the high-rate stream parsed in
the reads the acquisition makes against one call, the fixed cost of a call on a few packets,
and input with garbage bytes against clean input, with the page faults of a call.
"""

import argparse
import os
import random
import resource
import sys
import timeit

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
    print()
    per_call_costs(native, n)


ACQUISITION_READ = 4095  # bytes the acquisition hands to one call, at most


def in_reads(parse, data, converter):
    """Parses `data` as the acquisition does: each read after the previous call's remainder."""
    remainder = bytearray()
    for start in range(0, len(data), ACQUISITION_READ):
        _, _, remainder, _ = parse(remainder + data[start:start + ACQUISITION_READ], converter)


def with_garbage(data, share, seed=1):
    """`data` with `share` of its length in random bytes inserted at random places."""
    generator = random.Random(seed)
    pieces, last = [], 0
    for position in sorted(generator.sample(range(len(data)), int(len(data) * share))):
        pieces += [data[last:position], bytes([generator.randrange(256)])]
        last = position
    return bytearray(b"".join(pieces) + data[last:])


def faults_per_call(function, calls=5):
    function()
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    for _ in range(calls):
        function()
    return (resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before) / calls


def per_call_costs(native, n):
    counts = [(i * 2654435761) & 0xFFFF0000 for i in range(n)]
    stream = bytearray(b"".join(high_rate_packet(c) for c in counts))
    one_call = best_of(lambda: _columns.parse_high_rate(stream, native)) / n
    reads = best_of(lambda: in_reads(_columns.parse_high_rate, stream, native)) / n
    print(f"high-rate stream in {ACQUISITION_READ}-byte reads: {reads * 1e9:.2f}ns per reading, "
          f"one call {one_call * 1e9:.2f}ns: {reads / one_call:.2f}x (goal <= 1.3x)")

    few = bytearray(b"".join(standard_packet(c) for c in counts[:4]))
    calls = 200_000
    columns_call = min(timeit.repeat(lambda: _columns.parse_standard(few, native), number=calls, repeat=5)) / calls
    module_call = min(timeit.repeat(lambda: FORMATS[0][2](few, native), number=calls, repeat=5)) / calls
    print(f"a call on 4 packets: columns {columns_call * 1e6:.3f}us, module parser {module_call * 1e6:.3f}us "
          f"(goal: columns <= 0.5us)")

    for name, packet, _, columns_parser in FORMATS:
        clean = bytearray(b"".join(packet(c) for c in counts))
        dirty = with_garbage(clean, 0.01)
        readings = {label: len(columns_parser(data, native)[0]) for label, data in (("clean", clean), ("dirty", dirty))}
        clean_time = best_of(lambda: columns_parser(clean, native)) / readings["clean"]
        dirty_time = best_of(lambda: columns_parser(dirty, native)) / readings["dirty"]
        print(f"{name} with 1% garbage bytes: {dirty_time * 1e9:.2f}ns per reading, clean {clean_time * 1e9:.2f}ns: "
              f"{dirty_time / clean_time:.2f}x (goal <= 1.3x); page faults per call "
              f"{faults_per_call(lambda: columns_parser(dirty, native)):.0f}, clean "
              f"{faults_per_call(lambda: columns_parser(clean, native)):.0f}")


if __name__ == "__main__":
    main()
