"""Frame assembly, checksum, answer validation and payload conversion."""

import logging

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import velmo_device_communication as vdc
from bench.reference import weighted_checksum

OPS = vdc._CommandOperations()
HEADER = b"\x00\x09\x00\x05"


def answer(body):
    return bytes(body) + bytes([weighted_checksum(body)])


@settings(max_examples=200, deadline=None)
@given(data=st.binary(max_size=600), kind=st.sampled_from([bytes, bytearray, list]))
def test_checksum_is_the_weighted_sum(data, kind):
    value = OPS.calculate_checksum(kind(data))
    assert type(value) is int and value == weighted_checksum(data)


@pytest.mark.parametrize(
    "data, expected",
    [
        (b"", 0), (b"\x00\x05\x01\x01", 17), (iter([1, 2.9, True]), 8),  # __int__, truncated
        ([1, 300], (OverflowError, "value too large to convert to unsigned char")),
        ([-1], (OverflowError, "can't convert negative value to unsigned char")),
        ([object()], (TypeError, "an integer is required")),
    ],
)
def test_checksum_values_and_element_errors(module_log, data, expected):
    if isinstance(expected, int):
        assert OPS.calculate_checksum(data) == expected
        return
    with pytest.raises(expected[0]) as info:
        OPS.calculate_checksum(data)
    assert (type(info.value), str(info.value)) == expected and module_log() == []  # propagated unwrapped


def test_worked_frames_and_shared_default():
    ops = vdc._CommandOperations()
    frame = ops.get_command_byte_array(ops.Get_Model_Number_Command)
    assert type(frame) is bytearray and frame == bytes.fromhex("0005010111")
    frame.append(0xAA)  # the frame is the caller's; the shared default arguments stay empty
    assert ops.get_command_byte_array(ops.Get_Item_Number_Command) == bytes.fromhex("0005010215")
    assert ops.get_command_byte_array(ops.Get_Ndr_Command, bytearray([0])) == bytes.fromhex("000600050020")


@pytest.mark.parametrize("kind", [bytes, bytearray, list])
def test_arguments_appended_unchanged(kind):
    arguments = kind([1, 2, 0, 0, 128, 63])  # more than the descriptor's arguments_length
    body = bytes([0, 7, 4, 30, 1, 2, 0, 0, 128, 63])  # length byte copied from the descriptor
    assert OPS.get_command_byte_array(OPS.Set_Sampling_Rate_Command, arguments) == body + bytes([weighted_checksum(body)])
    assert list(arguments) == [1, 2, 0, 0, 128, 63]


@pytest.mark.parametrize(
    "command, arguments, cause",
    [
        ("Get_Ndr_Command", b"", None), (None, b"", None),
        (vdc._Command(0, 5, 6, 1, 4, 9), [256], ValueError), (vdc._Command(0, 5, 6, 1, 4, 9), [-1], ValueError),
        (vdc._Command(0, 5, 6, 1, 4, 9), 5, TypeError), (vdc._Command(0, 5, 300, 1, 4, 9), b"", ValueError),
    ],
)
def test_frame_errors(module_log, command, arguments, cause):
    with pytest.raises(vdc.VelmoProtocolError) as info:
        OPS.get_command_byte_array(command, arguments)
    original = info.value.__cause__
    if cause is None:  # refused before building, nothing logged
        assert str(info.value) == f"Invalid command type: {type(command).__name__}" and module_log() == []
    else:
        assert type(original) is cause and str(info.value) == f"Failed to construct command: {original}"
        assert module_log() == [(logging.ERROR, f"Error constructing command: {original}")]


def test_overridden_checksum_is_used():
    class Fixed(vdc._CommandOperations):
        def calculate_checksum(self, byte_array):
            self.seen = bytes(byte_array)
            return 0xEE

    ops = Fixed()
    assert ops.get_command_byte_array(ops.Get_Ndr_Command, [3]) == bytes.fromhex("0006000503ee")
    assert ops.seen == bytes.fromhex("0006000503")
    assert ops.validate_response_checksum(b"\x01\x02\xee") is None


GOOD = answer(HEADER + b"HDA640")


@pytest.mark.parametrize(
    "response, message",
    [
        (b"", "Response too short for checksum validation"), (b"\x11", "Response too short for checksum validation"),
        (bytes([GOOD[0], GOOD[1] ^ 0x80, *GOOD[2:]]), None),  # weight 2 times 128: unnoticed
        (bytes([GOOD[0], GOOD[1], GOOD[2] ^ 1, *GOOD[3:]]), "Invalid checksum in response"),
    ],
)
def test_validate_response(module_log, response, message):
    if message is None:
        assert OPS.validate_response_checksum(response) is None
        return
    with pytest.raises(vdc.VelmoProtocolError, match=f"^{message}$"):
        OPS.validate_response_checksum(response)
    assert module_log() == ([(logging.ERROR, "Checksum mismatch")] if message.startswith("Invalid") else [])


@pytest.mark.parametrize(
    "length, kind, payload, expected",
    [
        (10, "ascii", b"HDA640\x00\x00\x00\x00", "HDA640"), (10, "ascii", b"A B\x00C\x00  \x00\x00", "A BC  "),
        (4, "int", b"\x00\x00\x01\x00", 256), (4, "int", b"\xff\xff\xff\xff", 4294967295),
        (2, "int", b"\x01\x02\x03\x04", 0x0102), (0, "int", b"", 0),
        (4, "float", b"\x00\x00\x80\x3f", 1.0),  # little-endian, unlike "int"
        (4.9, "float", b"\x00\x00\x20\xc0", -2.5),  # length truncated toward zero
        (3, "hex_string", b"\x0a\x1b\x2c", "0a1b2c"),
        (8, "raw", bytes(range(13)), bytes(range(4, 13))),  # the whole answer after the header
        (8, "raw", b"\x01\x02", b""),  # no length check
    ],
)
def test_convert_payload(length, kind, payload, expected):
    response = payload if kind == "raw" else answer(HEADER + payload)
    for container in (bytes, bytearray):
        value = OPS.convert_payload(length, kind, container(response))
        assert value == expected and type(value) is (container if kind == "raw" else type(expected))


@pytest.mark.parametrize(
    "length, kind, response, error, message",
    [
        (4, "int", bytes(6), vdc.VelmoProtocolError, "Payload too short: expected 8 bytes, got 6"),
        (10, "NA", bytes(6), vdc.VelmoProtocolError, "Payload too short: expected 14 bytes, got 6"),
        (2, "float", bytes(7), vdc.VelmoProtocolError, "Float conversion requires 4 bytes, got 2"),
        (4, "NA", bytes(9), vdc.VelmoProtocolError, "Unknown payload type: NA"),
        (4, None, bytes(9), vdc.VelmoProtocolError, "Unknown payload type: None"),
        (4, 5, bytes(9), vdc.VelmoProtocolError, "Unknown payload type: 5"),
        (object(), "raw", bytes(9), TypeError, "an integer is required"),
        (2**31, "raw", bytes(9), OverflowError, None),
        (10, "ascii", HEADER + b"HD\xe9640\x00\x00\x00\x00\x00", vdc.VelmoProtocolError, UnicodeDecodeError),
        (10, "int", 12345, vdc.VelmoProtocolError, TypeError),
    ],
)
def test_convert_payload_errors(module_log, length, kind, response, error, message):
    with pytest.raises(error) as info:
        OPS.convert_payload(length, kind, response)
    assert type(info.value) is error
    original = info.value.__cause__
    if isinstance(message, type):  # unexpected errors are logged and wrapped with their cause
        assert isinstance(original, message) and str(info.value) == f"Failed to convert payload: {original}"
        assert module_log() == [(logging.ERROR, f"Payload conversion failed: {original}")]
    else:
        assert original is None and module_log() == [] and message in (None, str(info.value))
