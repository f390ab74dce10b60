"""The standard (4-byte) and high-rate (3-byte) stream parsers."""

import contextlib
import logging
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import velmo_device_communication as vdc
from bench.reference import high_rate_packet, parse_stream, standard_packet

PARSERS = {4: vdc.StreamDataConverter.convert_stream_data_to_reading,
           3: vdc.StreamDataConverter.convert_stream_data_to_reading_38_kHz}
PACKETS = {4: standard_packet, 3: high_rate_packet}
both = pytest.mark.parametrize("size", [4, 3], ids=["standard", "high_rate"])
WARNING = logging.WARNING


def pairs(result):
    return [(r.calibrated_value, r.adc_value) for r in result.readings]


def matches(window):
    return sum(w * b for w, b in enumerate(window[:-1], start=1)) % 256 == window[-1]


def invalid(count):
    return f"Stream conversion: {count} invalid/corrupted packets detected"


def calibrated(cls=vdc.ADCConverter):
    converter = cls()
    converter.number_of_directions, converter.scale_factor, converter.offset = 0, 1.25, -3.0
    converter.direction_1_offset_value, converter.direction_1_fullscale_value = 2.0**24, 2.0**32
    converter.direction_1_fullscale_load = 500.0
    return converter


class PlainSubclass(vdc.ADCConverter):
    """No overrides: must give what the exact type gives."""


class Doubling(vdc.ADCConverter):
    def convert_adc(self, ndr_adc):
        return 2 * ndr_adc


class Recorder:
    """Duck-typed converter."""

    def __init__(self, error=None, result=None):
        self.seen, self.error, self.result = [], error, result

    def convert_adc(self, adc):
        self.seen.append(adc)
        if self.error is not None:
            raise self.error
        return adc / 2 if self.result is None else self.result


@pytest.mark.parametrize("size, length", [(4, 0), (4, 3), (3, 0), (3, 2)])
def test_short_input_is_returned_as_remainder(module_log, size, length):
    data = bytearray(range(1, length + 1))
    result = PARSERS[size](data, calibrated())
    assert type(result) is vdc.StreamConversionResult
    assert result.readings == [] and result.remainder is data and module_log() == []
    for other in (bytes(data), type("Frozen", (bytes,), {})(data)):  # bytes and subclasses are copied
        copied = PARSERS[size](other, calibrated())
        assert type(copied.remainder) is bytearray and copied.remainder == data


@pytest.mark.parametrize("size, data, count", [(4, [1, 2, 3, 14], 0x01020300), (3, [1, 2, 5], 0x01020000)])
def test_one_packet(module_log, size, data, count):
    converter, data = Recorder(), bytearray(data)
    result = PARSERS[size](data, converter)
    assert pairs(result) == [(count / 2, count)] and type(converter.seen[0]) is int
    assert type(result.remainder) is bytearray and result.remainder == b"" and result.remainder is not data
    assert module_log() == [(logging.DEBUG, "Converted 1 readings, 0 remainder bytes")]
    data[-1] += 1  # now a checksum mismatch
    result = PARSERS[size](data, converter)
    assert result.readings == [] and result.remainder == data[1:] and module_log(WARNING) == [(WARNING, invalid(1))]


@pytest.mark.parametrize("size, garbage", [(4, b"\x07"), (3, b"\x07\x09")])
def test_garbage_in_front(module_log, size, garbage):
    data = garbage + PACKETS[size](0x01020300)
    assert not any(matches(data[i : i + size]) for i in range(len(garbage)))
    result = PARSERS[size](bytearray(data), Recorder())
    assert len(result.readings) == 1 and result.remainder == b""
    assert module_log(WARNING) == [(WARNING, invalid(len(garbage)))]


class DividedByZero(ZeroDivisionError):
    pass


@both
@pytest.mark.parametrize("error", [ZeroDivisionError("boom"), ValueError("bad"), AttributeError("gone"), DividedByZero("sub")],
                         ids=lambda e: type(e).__name__)
def test_conversion_failures_skip_one_byte(module_log, size, error):
    data = bytearray(b"".join(PACKETS[size](c) for c in (0x01020300, 0x7F7F7F00, 0)))
    converter = Recorder(error=error)
    result = PARSERS[size](data, converter)
    # A failure advances one byte, so every window start gets examined and counted.
    windows = len(data) - size + 1
    hits = [i for i in range(windows) if matches(data[i : i + size])]
    assert result.readings == [] and len(converter.seen) == len(hits) >= 3 and result.remainder == data[windows:]
    assert module_log(WARNING) == [(WARNING, f"ADC conversion failed at index {i}: {error}") for i in hits] + [
        (WARNING, invalid(windows))]


@both
@pytest.mark.parametrize("converter, error", [(Recorder(error=TypeError("no")), TypeError),
                                              (Recorder(error=KeyError("no")), KeyError),
                                              (Recorder(result="heavy"), TypeError)])
def test_other_converter_errors_propagate(size, converter, error):
    with pytest.raises(error):
        PARSERS[size](bytearray(PACKETS[size](0x01020300) * 2), converter)


@both
def test_converter_without_convert_adc(module_log, size):
    calls = []  # a bare callable is never called: the missing method fails like a conversion
    assert PARSERS[size](bytearray(PACKETS[size](0x01020300)), calls.append).readings == [] and calls == []
    assert re.match("^ADC conversion failed at index 0: .*convert_adc", module_log(WARNING)[0][1])


@both
@pytest.mark.parametrize("data", [[1, 2, 3, 14], memoryview(b"\x01\x02\x03\x0e"), "1234",
                                  type("Buffer", (bytearray,), {})(b"\x01\x02\x03\x0e"), None])
def test_data_type_refused(size, data):
    expected = r"^object of type 'NoneType' has no len\(\)$" if data is None else "bytearray.*" + type(data).__name__
    with pytest.raises(TypeError, match=expected):
        PARSERS[size](data, Recorder())


# Properties against the plain-Python parser.
@contextlib.contextmanager
def invalid_counts():
    """Collect the invalid-packet totals the module reports (usable inside hypothesis tests, unlike caplog)."""
    counts, log, handler = [], logging.getLogger("velmo_device_communication"), logging.Handler()
    handler.emit = lambda r: counts.extend(int(n) for n in re.findall(r"^Stream conversion: (\d+) invalid", r.getMessage()))
    log.addHandler(handler)
    try:
        yield counts
    finally:
        log.removeHandler(handler)


def streams(size):
    piece = st.one_of(st.integers(0, 2**32 - 1).map(PACKETS[size]), st.binary(min_size=1, max_size=5))
    return st.lists(piece, max_size=25).map(b"".join)


def check_against_reference(size, data, converter):
    buffer = bytearray(data)
    with invalid_counts() as counts:
        result = PARSERS[size](buffer, converter)
    assert buffer == data  # the input is never modified
    expected, rejected, remainder = parse_stream(data, converter, packet_size=size)
    assert pairs(result) == expected and result.remainder == remainder and sum(counts) == rejected
    return result, rejected


@both
def test_random_streams_match_reference(size):
    @settings(max_examples=150, deadline=None)
    @given(data=streams(size))
    def run(data):
        fast, _ = check_against_reference(size, data, calibrated())
        slow, _ = check_against_reference(size, bytes(data), calibrated(PlainSubclass))
        assert pairs(fast) == pairs(slow)
        check_against_reference(size, data, Doubling())  # an override of convert_adc is honoured
        check_against_reference(7 - size, data, calibrated())  # the other format: judged by its own checksum

    run()


@both
def test_chunked_parsing_equals_whole(size):
    # The position is the only state between calls and travels in the remainder, so feeding each
    # remainder forward reproduces the whole-buffer parse, including the total of rejected windows.
    @settings(max_examples=200, deadline=None)
    @given(data=streams(size), cuts=st.lists(st.integers(0, 150), max_size=8))
    def run(data, cuts):
        whole, rejected = check_against_reference(size, data, calibrated())
        bounds = sorted({min(c, len(data)) for c in cuts} | {0, len(data)})
        readings, remainder = [], bytearray()
        with invalid_counts() as counts:
            for lo, hi in zip(bounds, bounds[1:]):
                piece = PARSERS[size](remainder + data[lo:hi], calibrated())
                readings, remainder = readings + pairs(piece), piece.remainder
        assert (readings, sum(counts), remainder) == (pairs(whole), rejected, whole.remainder)

    run()
