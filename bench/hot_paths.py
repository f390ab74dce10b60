"""Hot paths of the module against the pure-Python reference, measured in one run.

    python bench/hot_paths.py [--packets N]

Prints one row per figure: the module's time, the comparison's time and their ratio.
"""

import argparse
import array
import gc
import os
import sys
import time
import timeit

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import velmo_device_communication as vdc  # noqa: E402
from bench.reference import (  # noqa: E402
    ReferenceConverter,
    high_rate_packet,
    parse_stream,
    standard_packet,
    weighted_checksum,
)


def best_of(function, repeat=5):
    """Fastest of `repeat` runs, in seconds: the least disturbed by the rest of the machine."""
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        function()
        best = min(best, time.perf_counter() - start)
    return best


def per_call(statement, calls, **names):
    """Time of one evaluation of `statement`, measured without a wrapping Python call."""
    timer = timeit.Timer(statement, globals=names)
    return min(timer.repeat(repeat=5, number=calls)) / calls


def calibration_fields():
    return dict(
        direction_1_offset_value=1_000_000.0,
        direction_1_fullscale_value=3_000_000_000.0,
        direction_1_fullscale_load=1000.0,
        direction_2_offset_value=900_000.0,
        direction_2_fullscale_value=100.0,
        direction_2_fullscale_load=1000.0,
        number_of_directions=1,
    )


def converters():
    native = vdc.ADCConverter()
    for name, value in calibration_fields().items():
        setattr(native, name, value)
    native._set_midpoint_offset()
    reference = ReferenceConverter(**calibration_fields())
    reference._set_midpoint_offset()
    return native, reference


def rows(packets):
    native, reference = converters()
    operations = vdc._CommandOperations()
    answer = bytes(range(36))
    answer += bytes([weighted_checksum(answer)])

    checksum_native = per_call("checksum(answer)", 200_000, checksum=operations.calculate_checksum, answer=answer)
    checksum_python = per_call("checksum(answer)", 20_000, checksum=weighted_checksum, answer=answer)
    yield "calculate_checksum, 37-byte answer", checksum_native, checksum_python, "reference", ">= 20x"

    counts = [(i * 2654435761) & 0xFFFFFF00 for i in range(packets)]
    standard = bytearray(b"".join(standard_packet(c) for c in counts))
    high_rate = bytearray(b"".join(high_rate_packet(c) for c in counts))
    parse = vdc.StreamDataConverter.convert_stream_data_to_reading
    parse_high_rate = vdc.StreamDataConverter.convert_stream_data_to_reading_38_kHz
    floor_bytes = bytes(8 * packets)

    standard_time = best_of(lambda: parse(standard, native))
    reference_time = best_of(lambda: parse_stream(standard, reference), repeat=1)
    floor_time = best_of(lambda: array.array("d", floor_bytes).tolist())
    high_rate_time = best_of(lambda: parse_high_rate(high_rate, native))
    yield f"standard parser, {packets} packets", standard_time, reference_time, "reference", ">= 30x"
    yield f"standard parser, {packets} packets", standard_time, floor_time, "float floor", "<= 1.5x"
    yield f"high-rate parser, {packets} packets", high_rate_time, floor_time, "float floor", "<= 1.5x"

    convert_native = per_call("converter.convert_adc(2_000_000_000)", 200_000, converter=native)
    convert_python = per_call("converter.convert_adc(2_000_000_000)", 200_000, converter=reference)
    yield "convert_adc from Python", convert_native, convert_python, "Python method", ">= 5x"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--packets", type=int, default=1_000_000)
    arguments = parser.parse_args()

    print(f"{'figure':40} {'module':>12} {'compared':>12} {'against':>14} {'ratio':>9}  goal")
    for name, module_time, other_time, against, goal in rows(arguments.packets):
        if goal.startswith(">="):
            ratio = f"{other_time / module_time:8.1f}x"
        else:
            ratio = f"{module_time / other_time:8.2f}x"
        print(f"{name:40} {module_time * 1e6:10.3f}us {other_time * 1e6:10.3f}us {against:>14} {ratio}  {goal}")

    reading = vdc.StreamReading(1.0, 2)
    print(f"sys.getsizeof(StreamReading(1.0, 2)) = {sys.getsizeof(reading)} bytes (goal <= 32), "
          f"gc.is_tracked = {gc.is_tracked(reading)} (goal False)")


if __name__ == "__main__":
    main()
