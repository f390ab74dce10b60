"""Arbitrary bytes, objects and converters fed to both stream parsers."""

import math
import struct

import pytest
from hypothesis import given
from hypothesis import strategies as st

import velmo_device_communication as vdc
from bench.reference import ReferenceConverter, parse_stream
from support.fuzzing import BytearraySubclass, Exploding, byte_containers, fuzz_settings, objects

pytestmark = pytest.mark.fuzz

PARSERS = {4: vdc.StreamDataConverter.convert_stream_data_to_reading,
           3: vdc.StreamDataConverter.convert_stream_data_to_reading_38_kHz}
both = pytest.mark.parametrize("size", [4, 3], ids=["standard", "high_rate"])
TOLERATED = (ValueError, ZeroDivisionError, AttributeError)
FIELDS = ("direction_1_fullscale_load", "direction_1_offset_value", "direction_1_fullscale_value",
          "direction_2_fullscale_load", "direction_2_offset_value", "direction_2_fullscale_value",
          "scale_factor", "offset", "midpoint_offset")


def same(a, b):
    return struct.pack("<d", a) == struct.pack("<d", b) or (math.isnan(a) and math.isnan(b))


@st.composite
def calibrations(draw):
    values = {name: draw(st.floats()) for name in FIELDS}
    values["number_of_directions"] = draw(st.sampled_from([0, 1, 2, -1]))
    return values


class PlainSubclass(vdc.ADCConverter):
    pass


class Answering:
    """Duck-typed converter: answers with whatever it was given, or raises it."""

    def __init__(self, answers):
        self.answers = list(answers) or [0.0]
        self.calls = 0

    def convert_adc(self, count):
        answer = self.answers[self.calls % len(self.answers)]
        self.calls += 1
        if isinstance(answer, BaseException):
            raise answer
        return answer


class AnsweringSubclass(vdc.ADCConverter):
    def __init__(self, answers):
        self.answering = Answering(answers)

    def convert_adc(self, count):
        return self.answering.convert_adc(count)


class Mutating:
    """Rewrites, and tries to resize, the buffer being parsed from inside the parse."""

    def __init__(self, buffer, writes):
        self.buffer, self.writes, self.resized = buffer, list(writes), 0

    def convert_adc(self, count):
        try:
            del self.buffer[:]
        except BufferError:
            pass
        else:
            self.resized += 1
        if self.writes and len(self.buffer):
            position, value = self.writes.pop()
            self.buffer[position % len(self.buffer)] = value
        return float(count)


raised = st.sampled_from([ValueError("v"), ZeroDivisionError("z"), AttributeError("a"), KeyError("k"),
                          RuntimeError("r"), TypeError("t")])
answers = st.lists(st.one_of(st.floats(), st.integers(), objects, raised), max_size=4)
streams = st.binary(max_size=120)


def check_shape(result, data, size):
    assert type(result) is vdc.StreamConversionResult
    assert type(result.readings) is list and type(result.remainder) is bytearray
    if len(data) >= size:
        assert len(result.remainder) < size and bytes(data).endswith(bytes(result.remainder))
    for reading in result.readings:
        assert type(reading) is vdc.StreamReading and reading.adc_value & (0xFF if size == 4 else 0xFFFF) == 0


@both
def test_exact_and_subclassed_converters_match_the_reference(size):
    @fuzz_settings
    @given(data=streams, fields=calibrations(), kind=st.sampled_from([bytes, bytearray]))
    def run(data, fields, kind):
        oracle = ReferenceConverter(**fields)
        expected, _, remainder = parse_stream(data, oracle, packet_size=size)
        for cls in (vdc.ADCConverter, PlainSubclass):
            converter = cls()
            for name, value in fields.items():
                setattr(converter, name, value)
            buffer = kind(data)
            result = PARSERS[size](buffer, converter)
            check_shape(result, data, size)
            assert buffer == data
            got = [(r.calibrated_value, r.adc_value) for r in result.readings]
            assert len(got) == len(expected) and result.remainder == remainder
            assert all(same(g[0], e[0]) and g[1] == e[1] for g, e in zip(got, expected))

    run()


@both
def test_python_converters_fail_only_as_they_should(size):
    @fuzz_settings
    @given(data=streams, replies=answers, subclassed=st.booleans())
    def run(data, replies, subclassed):
        converter = AnsweringSubclass(replies) if subclassed else Answering(replies)
        try:
            result = PARSERS[size](bytearray(data), converter)
        except TOLERATED:
            pytest.fail("a tolerated conversion failure escaped the parser")
        except (KeyError, RuntimeError, TypeError, OverflowError):
            return  # the converter's own error, or a reply that is not a number
        check_shape(result, data, size)
        assert all(type(r.calibrated_value) is float for r in result.readings)

    run()


@both
def test_converter_that_mutates_the_buffer(size):
    @fuzz_settings
    @given(data=streams, writes=st.lists(st.tuples(st.integers(0, 200), st.integers(0, 255)), max_size=6))
    def run(data, writes):
        buffer = bytearray(data)
        converter = Mutating(buffer, writes)
        result = PARSERS[size](buffer, converter)
        assert converter.resized == 0 and len(buffer) == len(data)
        check_shape(result, buffer, size)
        assert all(r.calibrated_value == r.adc_value for r in result.readings)
        # Once the parse is over the buffer is the caller's again.
        del buffer[:]

    run()


@both
def test_arbitrary_arguments(size):
    @fuzz_settings
    @given(data=st.one_of(objects, byte_containers), converter=st.one_of(objects, st.just(vdc.ADCConverter())))
    def run(data, converter):
        if not (isinstance(data, bytes) or type(data) is bytearray):
            with pytest.raises(TypeError):
                PARSERS[size](data, converter)
            return
        # None of these objects has a convert_adc: every valid packet fails as tolerated.
        check_shape(PARSERS[size](data, converter), data, size)

    run()


@pytest.mark.parametrize("data", [None, "text", memoryview(b"abcd"), BytearraySubclass(b"abcd"), [1, 2, 3, 4],
                                  Exploding()])
@both
def test_refused_data_reaches_no_converter(size, data):
    converter = Answering([0.0])
    with pytest.raises(TypeError):
        PARSERS[size](data, converter)
    assert converter.calls == 0
