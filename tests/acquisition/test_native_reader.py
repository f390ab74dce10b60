"""The native reader: nothing lost while Python holds the GIL, the line's losses told from its clock."""

import array
import ctypes
import os
import threading
import time
import tty

import pytest

import velmo
import velmo_device_communication as vdc
from bench.reference import high_rate_packet, standard_packet
from velmo import _columns
from velmo.acquisition import Acquisition
from velmo.acquisition.ports import NativePort
from velmo.simulator import ORVALE_ITEM_NUMBER, ZERO_COUNT, SimulatedInstrument, ramp
from velmo.simulator.process import SimulatorProcess

pytestmark = pytest.mark.skipif(not hasattr(_columns, "PortReader"), reason="the native reader is POSIX only")

# Holds the GIL for the whole call, as a C extension that never releases it does.
hold_the_gil_for_microseconds = ctypes.PyDLL(None).usleep


def skipped_by_the_instrument(counts, step, wrap):
    """Samples the instrument never sent, told from a ramp's counts: one `step` a sample."""
    return sum((after - before) % wrap // step - 1 for before, after in zip(counts, counts[1:]))


def test_a_consumer_holding_the_gil_half_the_time_loses_no_sample():
    step, rate = 1 << 16, 38400
    with SimulatorProcess("HDA640", counts_per_second=step * rate, item_number=ORVALE_ITEM_NUMBER) as simulator:
        received = []
        with velmo.open_device(simulator.port, models=["HDA640"]) as device:
            with Acquisition(device, rate="SPS_38400") as acquisition:
                assert isinstance(acquisition._port, NativePort)
                for _ in range(4):
                    chunk = acquisition.read(timeout=5)
                    received += chunk.counts
                    hold_the_gil_for_microseconds(500_000)  # 35 ms fill the pty's buffer
            received += [count for chunk in acquisition for count in chunk.counts]
        sent = simulator.close()
    stats = acquisition.stats
    # The line never overflowed, and everything the instrument sent up to the stop arrived, in order.
    assert simulator.overflowed == 0
    assert received == sent[: len(received)].tolist() and len(received) > rate
    # Beside those, only what the stop command's own input reset discards goes unread.
    assert len(sent) - len(received) - stats.discarded_at_stop < rate * 0.05
    # Only what the instrument itself skipped (a busy machine can stall it) counts as lost.
    skipped = skipped_by_the_instrument(sent.tolist(), step, 1 << 32)
    assert abs(stats.lost - skipped) <= rate * 0.12 * max(1, skipped // (rate // 10))
    assert stats.dropped == 0


def test_a_stalled_instrument_is_counted_as_lost_and_later_chunks_keep_their_time():
    step, rate = 1 << 8, 1200
    with SimulatedInstrument("HDA640") as simulator:
        simulator.instrument.set_signal(0, ramp(ZERO_COUNT, step * rate))
        chunks = []
        with velmo.open_device(simulator.port, models=["HDA640"]) as device:
            with Acquisition(device, rate="SPS_1200") as acquisition:
                chunks.append(acquisition.read_samples(120, timeout=5))
                simulator.instrument.stall_stream(1.0)
                while sum(len(chunk) for chunk in chunks) < 1200:
                    chunks.append(acquisition.read(timeout=5))
            chunks += list(acquisition)
    first = chunks[0].counts[0]
    tolerance = rate * 0.12
    for chunk in chunks:
        taken = (chunk.counts[0] - first) // step  # the count tells when the instrument took it
        assert abs(chunk.index - taken) <= tolerance
    counts = [count for chunk in chunks for count in chunk.counts]
    skipped = skipped_by_the_instrument(counts, step, 1 << 32)
    assert skipped >= rate * 0.9 and abs(acquisition.stats.lost - skipped) <= tolerance
    assert sum(chunk.lost_before for chunk in chunks) == acquisition.stats.lost


def raw_pty():
    master, slave = os.openpty()
    tty.setraw(slave)
    os.set_blocking(slave, False)
    return master, slave


def test_reader_reports_a_port_that_goes_away():
    master, slave = raw_pty()
    reader = _columns.PortReader(slave, 1 << 16, 0.001)
    os.write(master, b"\x01\x02\x03")
    reads, dropped, finished, error = reader.take(5, time.monotonic)
    assert [data for data, _arrived in reads] == [b"\x01\x02\x03"] and (dropped, finished, error) == (0, False, 0)
    os.close(master)  # the far end hangs up
    for _ in range(100):
        _reads, _dropped, finished, error = reader.take(0.1, time.monotonic)
        if finished:
            break
    assert finished and error != 0
    reader.stop()
    reader.stop()
    os.close(slave)


def test_reader_keeps_the_newest_bytes_within_its_capacity():
    master, slave = raw_pty()
    reader = _columns.PortReader(slave, 8, 0.001)
    for chunk in (b"a" * 6, b"b" * 6, b"c" * 6):
        os.write(master, chunk)
        threading.Event().wait(0.05)
    reader.stop()
    reads, dropped, finished, error = reader.take(0, time.monotonic)
    kept = b"".join(data for data, _arrived in reads)
    assert finished and error == 0 and kept.endswith(b"c" * 6) and len(kept) + dropped == 18
    os.close(master)
    os.close(slave)


def calibrated(converter):
    """1 load unit per 1024 counts above the zero count."""
    converter.direction_1_offset_value = ZERO_COUNT
    converter.direction_1_fullscale_value = ZERO_COUNT + 1024 * 1000
    converter.direction_1_fullscale_load = 1000.0
    return converter


def written_in_pieces(master, data, cuts):
    start = 0
    for cut in [*cuts, len(data)]:
        os.write(master, data[start:cut])
        start = cut


@pytest.mark.parametrize("packet_size, packet", [(4, standard_packet), (3, high_rate_packet)], ids=["4-byte", "3-byte"])
@pytest.mark.parametrize(
    "garbage_at, cuts",
    [((), (1, 7, 30)), ((0, 13, 40), (2, 5, 41)), ((9,), ()), ((20, 21, 22), (3, 22, 23))],
    ids=["clean, cut inside packets", "damaged and cut", "one bad byte", "damage at a cut"],
)
def test_parsing_in_the_reader_gives_what_the_parsers_give(packet_size, packet, garbage_at, cuts):
    converter = calibrated(vdc.ADCConverter())
    data = bytearray(b"".join(packet(0x8000_0000 + (index << 16)) for index in range(20)))
    for offset in sorted(garbage_at, reverse=True):
        data[offset:offset] = b"\xff"
    master, slave = raw_pty()
    reader = _columns.PortReader(slave, 1 << 16, 0.001, packet_size, converter)
    assert reader.parsing
    written_in_pieces(master, bytes(data), cuts)
    loads, counts, invalid, size = array.array("d"), array.array("I"), 0, 0
    while size < len(data):
        for read_loads, read_counts, read_invalid, read_size, _arrived in reader.take(5, time.monotonic)[0]:
            loads += read_loads
            counts += read_counts
            invalid, size = invalid + read_invalid, size + read_size
    reader.stop()
    os.close(master)
    os.close(slave)
    parse = _columns.parse_standard if packet_size == 4 else _columns.parse_high_rate
    expected_loads, expected_counts, remainder, expected_invalid = parse(bytes(data), converter)
    assert (counts, loads) == (expected_counts, expected_loads) and size == len(data)
    assert invalid == expected_invalid and not remainder


class HalvedLoads(vdc.ADCConverter):
    def convert_adc(self, adc_value):
        return super().convert_adc(adc_value) / 2


@pytest.mark.parametrize("converter", [None, HalvedLoads], ids=["the device's own: parsed natively", "a subclass"])
def test_the_reader_parses_natively_only_with_the_modules_own_converter(converter):
    with SimulatedInstrument("HDA640") as simulator:
        simulator.instrument.set_signal(0, ramp(ZERO_COUNT, (3 << 8) * 1200))
        with velmo.open_device(simulator.port, models=["HDA640"]) as device:
            own = device.get_adc_converter()
            if converter is not None:
                converter = calibrated(converter())
            with Acquisition(device, rate="SPS_1200", converter=converter) as acquisition:
                assert acquisition._port.parsing is (converter is None)
                chunk = acquisition.read_samples(600, timeout=30)
        sent = simulator.streamed_counts
    assert list(chunk.counts) == sent[:600] and acquisition.stats.invalid == 0
    used = own if converter is None else converter
    assert list(chunk.loads) == [used.convert_adc(count) for count in chunk.counts]
