"""Arbitrary bytes and objects fed to the checksum, answer validation and payload conversion."""

import struct

import pytest
from hypothesis import given
from hypothesis import strategies as st

import velmo_device_communication as vdc
from bench.reference import weighted_checksum
from support.fuzzing import byte_containers, extreme_ints, fuzz_settings, objects

pytestmark = pytest.mark.fuzz

PAYLOAD_TYPES = ["raw", "hex_string", "ascii", "int", "float"]
# Element conversions refuse: no __int__ (TypeError), NaN (ValueError), out of 0..255 or infinite
# (OverflowError), and whatever a hostile __int__ or __iter__ raises (RuntimeError).
ELEMENT_ERRORS = (TypeError, ValueError, OverflowError, RuntimeError)


@pytest.fixture(scope="module")
def commands():
    return vdc._CommandOperations()


def plain_bytes(data):
    """The bytes a container holds, or None when it is not a bytes-like answer."""
    return bytes(data) if isinstance(data, (bytes, bytearray, memoryview)) else None


def test_calculate_checksum(commands):
    @fuzz_settings
    @given(data=st.one_of(byte_containers, objects))
    def run(data):
        try:
            result = commands.calculate_checksum(data)
        except ELEMENT_ERRORS:
            return
        assert type(result) is int and 0 <= result <= 255
        if plain_bytes(data) is not None:
            assert result == weighted_checksum(bytes(data))

    run()


def test_validate_response_checksum(commands):
    @fuzz_settings
    @given(data=st.one_of(byte_containers, objects), fix=st.booleans())
    def run(data, fix):
        raw = plain_bytes(data)
        if raw is not None and fix and len(raw) >= 2:
            data = raw = raw[:-1] + bytes([weighted_checksum(raw[:-1])])
        try:
            result = commands.validate_response_checksum(data)
        except vdc.VelmoProtocolError as error:
            if raw is not None:
                short = len(raw) < 2
                assert str(error) == ("Response too short for checksum validation" if short
                                      else "Invalid checksum in response")
                assert short or raw[-1] != weighted_checksum(raw[:-1])
            return
        except ELEMENT_ERRORS:
            assert raw is None
            return
        assert result is None
        if raw is not None:
            assert len(raw) >= 2 and raw[-1] == weighted_checksum(raw[:-1])

    run()


def expected_payload(length, kind, answer):
    """What conversion must give for a bytes answer: a value, or the message of its error."""
    if kind == "raw":
        return answer[4:]
    if len(answer) < length + 4:
        return f"Payload too short: expected {length + 4} bytes, got {len(answer)}"
    payload = answer[4:length + 4]
    if kind == "hex_string":
        return payload.hex()
    if kind == "ascii":
        try:
            return payload.decode("ascii").replace("\0", "")
        except UnicodeDecodeError as error:
            return f"Failed to convert payload: {error}"
    if kind == "int":
        return int.from_bytes(payload, "big")
    if kind == "float":
        if len(payload) != 4:
            return f"Float conversion requires 4 bytes, got {len(payload)}"
        return struct.unpack("<f", payload)[0]
    return f"Unknown payload type: {kind}"


def test_convert_payload_of_bytes_answers(commands):
    @fuzz_settings
    @given(length=st.integers(-(2**31), 2**31 - 1) | st.integers(-8, 80), kind=st.sampled_from(PAYLOAD_TYPES + ["NA"]),
           answer=st.binary(max_size=90), mutable=st.booleans())
    def run(length, kind, answer, mutable):
        expected = expected_payload(length, kind, answer)
        try:
            result = commands.convert_payload(length, kind, bytearray(answer) if mutable else answer)
        except vdc.VelmoProtocolError as error:
            assert str(error) == expected
            return
        if isinstance(expected, float) and expected != expected:
            assert result != result
        else:
            assert result == expected and type(result) is (bytearray if kind == "raw" and mutable else type(expected))

    run()


def test_convert_payload_of_arbitrary_objects(commands):
    @fuzz_settings
    @given(length=st.one_of(extreme_ints, objects), kind=st.one_of(st.sampled_from(PAYLOAD_TYPES), objects),
           answer=st.one_of(byte_containers, objects))
    def run(length, kind, answer):
        try:
            commands.convert_payload(length, kind, answer)
        except vdc.VelmoProtocolError as error:
            assert str(error).startswith(("Payload too short", "Float conversion", "Unknown payload type",
                                          "Failed to convert payload"))
        except ELEMENT_ERRORS:
            pass  # `length` has no 32-bit integer conversion: raised unchanged

    run()
