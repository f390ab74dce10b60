"""10 000 calls of each hot entry point leave the interpreter's memory and the reference
counts of their inputs where they were.

The module logger is disabled, so that the error paths still build their messages but
nothing accumulates in a handler.
"""

import gc
import logging
import pickle
import sys

import pytest

import velmo_device_communication as vdc
from bench.reference import high_rate_packet, standard_packet, weighted_checksum
from support.bare_port import BarePort

CALLS = 10_000
WARM_UP = 200
# Blocks that caches and free lists may still take after the warm-up (a few hundred were
# seen); a leak of one object per call would show as 10 000.
BLOCK_TOLERANCE = CALLS // 10


class NoPause:
    def sleep(self, seconds):
        pass

    def monotonic(self):
        return 0.0


@pytest.fixture(autouse=True)
def quiet(monkeypatch):
    monkeypatch.setattr(logging.getLogger(vdc.__name__), "disabled", True)
    monkeypatch.setattr(vdc, "time", NoPause())


def assert_no_growth(call, *watched):
    """Run `call` CALLS times; allocated blocks and the refcounts of `watched` must not grow."""
    for _ in range(WARM_UP):
        call()
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in watched]
    blocks = sys.getallocatedblocks()
    for _ in range(CALLS):
        call()
    gc.collect()
    assert sys.getallocatedblocks() - blocks < BLOCK_TOLERANCE
    assert [sys.getrefcount(obj) for obj in watched] == counts


def raising(call, error):
    def run():
        try:
            call()
        except error:
            pass
        else:
            raise AssertionError(f"{error.__name__} expected")

    return run


def calibrated(cls=vdc.ADCConverter):
    converter = cls()
    converter.number_of_directions, converter.direction_1_fullscale_load = 0, 500.0
    converter.direction_1_offset_value, converter.direction_1_fullscale_value = 2.0**24, 2.0**32
    return converter


class Subclassed(vdc.ADCConverter):
    pass


class DuckTyped:
    def convert_adc(self, count):
        return count * 0.5


class Dividing:
    def convert_adc(self, count):
        return 1 / 0


STREAM = {4: b"\x07" + b"".join(standard_packet(c << 8) for c in range(0, 2**24, 2**20)) + b"\x01\x02",
          3: b"\x07" + b"".join(high_rate_packet(c << 16) for c in range(0, 2**16, 2**12)) + b"\x01"}
PARSERS = {4: vdc.StreamDataConverter.convert_stream_data_to_reading,
           3: vdc.StreamDataConverter.convert_stream_data_to_reading_38_kHz}


@pytest.mark.parametrize("size", [4, 3], ids=["standard", "high_rate"])
@pytest.mark.parametrize("converter", [calibrated(), calibrated(Subclassed), DuckTyped(), Dividing(), object()],
                         ids=["exact", "subclass", "duck_typed", "tolerated_failure", "no_convert_adc"])
@pytest.mark.parametrize("kind", [bytearray, bytes])
def test_stream_parsers(size, converter, kind):
    data = kind(STREAM[size])
    assert_no_growth(lambda: PARSERS[size](data, converter), data, converter)


@pytest.mark.parametrize("size", [4, 3], ids=["standard", "high_rate"])
def test_stream_parser_errors(size):
    class Failing:
        def convert_adc(self, count):
            raise KeyError(count)

    data, converter = bytearray(STREAM[size]), Failing()
    assert_no_growth(raising(lambda: PARSERS[size](data, converter), KeyError), data, converter)
    wrong = memoryview(b"abcd")
    assert_no_growth(raising(lambda: PARSERS[size](wrong, converter), TypeError), wrong, converter)


def test_convert_adc():
    class Overriding(vdc.ADCConverter):
        def calculate_for_direction_1(self, count):
            return 1.5

    exact, overriding, count = calibrated(), calibrated(Overriding), 2**31 + 5
    exact.number_of_directions = overriding.number_of_directions = 1
    exact.direction_1_offset_value = overriding.direction_1_offset_value = 0.0
    assert_no_growth(lambda: exact.convert_adc(count), exact, count)
    assert_no_growth(lambda: overriding.convert_adc(count), overriding, count)
    assert_no_growth(raising(lambda: exact.calculate_for_direction_1(-1), OverflowError), exact)
    assert_no_growth(raising(lambda: exact.convert_adc("count"), TypeError), exact)


@pytest.mark.parametrize("data", [bytes(range(40)), bytearray(range(40)), list(range(40)), [1, 2, 300]],
                         ids=["bytes", "bytearray", "list", "out_of_range"])
def test_calculate_checksum(data):
    commands = vdc._CommandOperations()
    call = (lambda: commands.calculate_checksum(data))
    assert_no_growth(raising(call, OverflowError) if max(data) > 255 else call, commands, data)


@pytest.mark.parametrize(
    "length, kind, answer, error",
    [(4, "int", b"\0\t\0\x05\x80\x00\x10\x00\x99", None), (4, "float", b"\0\t\0\x05\0\0\x80?\x99", None),
     (10, "ascii", b"\0\x0f\x01\x01HDA640\0\0\0\0\x99", None), (3, "hex_string", b"\0\0\0\0\x0a\x1b\x2c\x99", None),
     (8, "raw", bytes(13), None), (4, "int", bytes(6), vdc.VelmoProtocolError),
     (2, "float", bytes(9), vdc.VelmoProtocolError), (4, "NA", bytes(9), vdc.VelmoProtocolError),
     (4, "ascii", b"\0\0\0\0\xff\xfe\xfd\xfc\x00", vdc.VelmoProtocolError), ("four", "int", bytes(9), TypeError)],
)
def test_convert_payload(length, kind, answer, error):
    commands = vdc._CommandOperations()
    call = (lambda: commands.convert_payload(length, kind, answer))
    assert_no_growth(raising(call, error) if error else call, commands, answer, kind)


@pytest.mark.parametrize("valid", [True, False])
def test_validate_response_checksum(valid):
    commands = vdc._CommandOperations()
    answer = bytes([0, 9, 0, 5, 1, 2, 3, 4])
    answer += bytes([weighted_checksum(answer) ^ (0 if valid else 1)])
    call = (lambda: commands.validate_response_checksum(answer))
    assert_no_growth(call if valid else raising(call, vdc.VelmoProtocolError), commands, answer)


def test_value_types_construction_and_errors():
    readings, remainder, value = [], bytearray(b"\x01"), 2**32 - 1
    assert_no_growth(vdc.ADCConverter)
    assert_no_growth(lambda: vdc.StreamReading(1.5, value), value)
    assert_no_growth(lambda: vdc.StreamConversionResult(readings, remainder), readings, remainder)
    assert_no_growth(raising(lambda: vdc.StreamReading(1.5, -1), OverflowError))
    assert_no_growth(raising(lambda: vdc.StreamConversionResult(b"", remainder), TypeError), remainder)
    assert_no_growth(raising(lambda: vdc.ADCConverter(1), TypeError))
    converter = vdc.ADCConverter()

    def bad_field():
        converter.number_of_directions = 2**40

    assert_no_growth(raising(bad_field, OverflowError), converter)
    assert_no_growth(raising(lambda: delattr(converter, "offset"), NotImplementedError), converter)


@pytest.mark.parametrize("make", [calibrated, lambda: calibrated(Subclassed), lambda: vdc.StreamReading(2.5, 7),
                                  lambda: vdc.StreamConversionResult([vdc.StreamReading(1.0, 2)], bytearray(b"ab"))],
                         ids=["converter", "converter_subclass", "reading", "result"])
def test_pickling(make):
    value = make()
    assert_no_growth(lambda: pickle.loads(pickle.dumps(value, pickle.HIGHEST_PROTOCOL)), value)


TEDS_IMAGE = bytes(range(256)) * 2


@pytest.mark.parametrize(
    "image, template, error",
    [(TEDS_IMAGE, 33, None), (bytearray(TEDS_IMAGE), 33, None), (list(TEDS_IMAGE), 33, None),
     (bytes(511), 33, vdc.VelmoTEDSDataCorruptedError), (TEDS_IMAGE, "33", vdc.VelmoTEDSDataCorruptedError),
     ([0] * 100 + [300] + [0] * 411, 33, vdc.VelmoTEDSDataCorruptedError)],
    ids=["bytes", "bytearray", "list", "short", "bad_template", "bad_element"],
)
def test_teds_parse_from_bytes(image, template, error):
    call = (lambda: vdc.TEDSData.parse_from_bytes(image, template))
    assert_no_growth(raising(call, error) if error else call, image, template)


def test_teds_record_helpers_and_pickling():
    record = vdc.TEDSData.parse_from_bytes(TEDS_IMAGE, 33)
    bits = vdc.TEDSData.bytes_to_bits(TEDS_IMAGE, skip_checksums=True)
    assert_no_growth(lambda: vdc.TEDSData.bytes_to_bits(TEDS_IMAGE, skip_checksums=True), TEDS_IMAGE)
    assert_no_growth(lambda: vdc.TEDSData.bits_to_int(bits, 8, 24), bits)
    assert_no_growth(lambda: vdc.TEDSData.bits_to_float(bits, 40), bits)
    assert_no_growth(raising(lambda: vdc.TEDSData.bits_to_int(bits, -5000, 8), IndexError), bits)
    assert_no_growth(vdc.TEDSData)
    assert_no_growth(lambda: pickle.loads(pickle.dumps(record, pickle.HIGHEST_PROTOCOL)), record)


class AnsweringPort(BarePort):
    """Answers every command with the same answer."""

    def __init__(self, answer):
        self.answer = answer

    def read(self, size=1):
        return self.answer


NDR_ANSWER = bytes([0, 9, 0, 5, 0x80, 0, 0x10, 0]) + bytes([weighted_checksum([0, 9, 0, 5, 0x80, 0, 0x10, 0])])


@pytest.mark.parametrize("answer, error", [(NDR_ANSWER, None), (b"", vdc.VelmoTimeoutError),
                                           (NDR_ANSWER[:4], vdc.VelmoCommunicationError),
                                           (NDR_ANSWER[:-1] + b"\0", vdc.VelmoProtocolError)],
                         ids=["answered", "timed_out", "cut_short", "bad_checksum"])
def test_transaction_against_a_fake_port(answer, error):
    link = vdc._SerialCommunicationInterface("COM3", 2_000_000, 1)
    link.serial_connection = AnsweringPort(answer)
    call = (lambda: link.get_ndr(0))
    if error is None:
        assert call() == 0x80001000
    assert_no_growth(raising(call, error) if error else call, link, link.serial_connection)
