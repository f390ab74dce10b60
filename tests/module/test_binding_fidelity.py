"""The compiled classes behave as their Python-visible form says: overrides, pickling, text,
the logger and the garbage collector."""

import copy
import gc
import logging
import pickle
import sys
import weakref
from unittest import mock

import pytest

import velmo_device_communication as vdc
from conftest import frame
from support.isolated import last_line

VALUE_TYPES = [vdc.ADCConverter, vdc.TEDSData, vdc.StreamReading, vdc.StreamConversionResult]
CONSTRUCTOR_ARGUMENTS = {vdc.ADCConverter: (), vdc.TEDSData: (), vdc.StreamReading: (1.5, 7),
                         vdc.StreamConversionResult: ([vdc.StreamReading(2.0, 3)], bytearray(b"\x01"))}
FIELDS = {vdc.ADCConverter: ("offset", 4.5), vdc.TEDSData: ("serial_number", "12345"),
          vdc.StreamReading: ("calibrated_value", -2.25), vdc.StreamConversionResult: ("remainder", bytearray(b"\x09"))}
PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


@pytest.mark.parametrize("cls", VALUE_TYPES)
def test_value_types_are_immutable_but_subclassable(cls):
    for name in ("__reduce__", "extra"):
        with pytest.raises(TypeError, match="immutable type"):
            setattr(cls, name, lambda self: None)
    with pytest.raises(TypeError):
        delattr(cls, "__reduce__")
    subclass = type("Sub", (cls,), {"extra": 1})
    subclass.extra = 2
    assert subclass(*CONSTRUCTOR_ARGUMENTS[cls]).extra == 2


@pytest.mark.parametrize("cls", VALUE_TYPES)
@pytest.mark.parametrize("duplicate", [copy.copy, copy.deepcopy] + [
    (lambda value, p=p: pickle.loads(pickle.dumps(value, p))) for p in PROTOCOLS])
def test_subclass_copies_keep_their_type_fields_and_attributes(cls, duplicate):
    class Tagged(cls):
        __slots__ = ("label", "unset", "__dict__")

        def __init__(self, *arguments, tag):  # a keyword the base constructor does not take
            super().__init__(*arguments)
            self.tag = tag

    globals()["Tagged"] = Tagged  # pickle finds classes by qualified name
    Tagged.__qualname__ = "Tagged"
    original = Tagged(*CONSTRUCTOR_ARGUMENTS[cls], tag="tag")
    field, value = FIELDS[cls]
    setattr(original, field, value)
    original.note = ["kept"]
    original.label = ("slot",)
    duplicate_ = duplicate(original)
    assert type(duplicate_) is Tagged and duplicate_.__dict__ == {"tag": "tag", "note": ["kept"]}
    assert getattr(duplicate_, field) == value and duplicate_.label == ("slot",) and not hasattr(duplicate_, "unset")


@pytest.mark.parametrize("cls", VALUE_TYPES)
def test_base_value_types_pickle_without_a_dict(cls):
    value = cls(*CONSTRUCTOR_ARGUMENTS[cls])
    field, expected = FIELDS[cls]
    setattr(value, field, expected)
    for protocol in PROTOCOLS:
        assert getattr(pickle.loads(pickle.dumps(value, protocol)), field) == expected


@pytest.mark.parametrize("function", [vdc.StreamDataConverter.convert_stream_data_to_reading,
                                      vdc.StreamDataConverter.convert_stream_data_to_reading_38_kHz,
                                      vdc.retry_on_timeout])
def test_functions_pickle_by_reference(function):
    assert function.__module__ == "velmo_device_communication"
    for protocol in PROTOCOLS:
        assert pickle.loads(pickle.dumps(function, protocol)) is function


# --- overrides of the methods that the frame and transaction code skip natively ---------

CHECKSUM_OFF_BY_ONE = lambda self, byte_array: (sum(i * b for i, b in enumerate(byte_array, 1)) + 1) % 256  # noqa: E731


@pytest.fixture
def link(fake_serial):
    fake_serial.add_port("COM3", "HDA640")
    link = vdc._SerialCommunicationInterface("COM3", 2_000_000, 0.2)
    link.connect()
    fake_serial.calls.clear()
    return link


def patch_targets(link):
    return {"instance": link.commands, "class": vdc._CommandOperations}


@pytest.mark.parametrize("where", ["instance", "class"])
def test_a_patched_checksum_is_used_to_build_and_to_validate(link, fake_serial, where):
    target = patch_targets(link)[where]
    with mock.patch.object(target, "calculate_checksum", CHECKSUM_OFF_BY_ONE if where == "class" else
                           (lambda byte_array: CHECKSUM_OFF_BY_ONE(None, byte_array))):
        command = link.commands.Get_Ndr_Command
        expected = frame(0, 5, 0)
        assert link.commands.get_command_byte_array(command, bytearray([0])) == expected[:-1] + bytes([expected[-1] + 1])
        with pytest.raises(vdc.VelmoProtocolError, match="Invalid checksum in response"):
            link.commands.validate_response_checksum(bytearray([0, 9, 0, 5, 0, 0, 0, 1, 20]))
    # Restored: the native path is taken again and agrees with the original.
    assert link.commands.get_command_byte_array(command, bytearray([0])) == expected
    assert link.get_ndr(0) >= 0


@pytest.mark.parametrize("where", ["instance", "class"])
@pytest.mark.parametrize("method, result", [
    ("convert_payload", "patched"),
    ("validate_response_checksum", None),
    ("get_command_byte_array", None),
])
def test_a_patched_protocol_step_is_called_by_the_transaction(link, where, method, result):
    calls = []
    original = getattr(vdc._CommandOperations, method)

    def spy(*args):
        calls.append(args[-1])
        value = original(link.commands, *args[-(original.__text_signature__.count(",")):])
        return "patched" if method == "convert_payload" else value

    replacement = (lambda self, *args: spy(*args)) if where == "class" else spy
    with mock.patch.object(patch_targets(link)[where], method, replacement):
        value = link.get_ndr(0)
    assert calls and (value == result if result else isinstance(value, int))


class OffByOneMethod(vdc._CommandOperations):
    calculate_checksum = CHECKSUM_OFF_BY_ONE


class OffByOneAttributeHook(vdc._CommandOperations):
    def __getattribute__(self, name):
        if name == "calculate_checksum":
            return lambda byte_array: CHECKSUM_OFF_BY_ONE(self, byte_array)
        return super().__getattribute__(name)


@pytest.mark.parametrize("subclass", [OffByOneMethod, OffByOneAttributeHook])
def test_a_subclass_override_of_the_checksum_is_honoured(link, subclass):
    link.commands = subclass()
    with pytest.raises(vdc.VelmoProtocolError):
        link.commands.validate_response_checksum(bytearray([0, 9, 0, 5, 0, 0, 0, 1, 20]))
    assert link.commands.get_command_byte_array(link.commands.Get_Ndr_Command, b"\x00")[-1] == frame(0, 5, 0)[-1] + 1


# --- errors raised from a cause, inside the caller's own exception handler ---------------

RAISED_FROM_A_CAUSE = {
    "TEDS record with a bad element": (lambda: vdc.TEDSData.parse_from_bytes([0] * 511 + ["x"], 0), TypeError),
    "payload that is not ASCII": (
        lambda: vdc._CommandOperations().convert_payload(2, "ascii", bytearray(b"\0\0\0\0\xff\xff\0")),
        UnicodeDecodeError),
}


@pytest.mark.parametrize("call, cause_type", RAISED_FROM_A_CAUSE.values(), ids=RAISED_FROM_A_CAUSE.keys())
def test_an_error_raised_from_its_cause_keeps_the_cause_as_context_inside_a_handler(call, cause_type):
    try:
        raise KeyError("handled by the caller")
    except KeyError:
        with pytest.raises(vdc.VelmoDeviceError) as raised:
            call()
    # As `raise error from cause` leaves it: the caller's KeyError is not the context.
    error = raised.value
    assert isinstance(error.__cause__, cause_type) and error.__context__ is error.__cause__
    assert error.__suppress_context__


# --- text that is not ASCII, or not even encodable ---------------------------------------

PORT_NAMES = ["/dev/ttyÄ", "/dev/ttyX\udcff", "COM😀"]


@pytest.mark.parametrize("port_name", PORT_NAMES)
def test_unopenable_port_names_reach_the_error_intact(fake_serial, module_log, port_name):
    link = vdc._SerialCommunicationInterface(port_name)
    with pytest.raises(vdc.VelmoConnectionError) as raised:
        link.connect()
    assert str(raised.value).startswith(f"Could not open serial port {port_name} at 9600 baud: ")
    # The cause is chained both ways, as `raise ... from error` inside `except` leaves it.
    cause = raised.value.__cause__
    assert isinstance(cause, fake_serial.SerialException) and raised.value.__context__ is cause
    assert raised.value.__suppress_context__
    assert (logging.ERROR, f"Failed to connect to {port_name}: {cause}") in module_log()


@pytest.mark.parametrize("port_name", PORT_NAMES)
def test_scanner_probes_ports_with_any_name(fake_serial, module_log, port_name):
    fake_serial.add_port(port_name, None)
    assert vdc.VelmoSerialScanner.discover_devices(["hda640"]) == []
    assert (logging.DEBUG, f"Scanning {port_name}") in module_log()
    assert any(message.startswith(f"{port_name} at 2000000 baud: communication error - ")
               for level, message in module_log(logging.DEBUG))


@pytest.mark.parametrize("payload_type", ["tëxt", "\udcff"])
def test_unknown_payload_types_are_named_in_the_error(payload_type):
    with pytest.raises(vdc.VelmoProtocolError, match=f"Unknown payload type: {payload_type}"):
        vdc._CommandOperations().convert_payload(1, payload_type, bytearray(6))


def test_unknown_keyword_with_a_surrogate_is_reported():
    with pytest.raises(TypeError, match="unexpected keyword argument '\udcff'"):
        vdc.retry_on_timeout(**{"\udcff": 1})


# --- the logger, the retry bound and the garbage collector -------------------------------

def test_replacing_the_module_logger_takes_effect(monkeypatch):
    recorded = mock.Mock()
    monkeypatch.setattr(vdc, "logger", recorded)
    vdc.StreamDataConverter.convert_stream_data_to_reading(bytearray([9, 9, 9, 9, 9]), vdc.ADCConverter())
    recorded.warning.assert_called_once_with("Stream conversion: 2 invalid/corrupted packets detected")
    recorded.debug.assert_called_once_with("Converted 0 readings, 3 remainder bytes")


def test_retry_with_the_largest_attempt_count_retries(sleeps):
    outcomes = [vdc.VelmoTimeoutError("late"), vdc.VelmoTimeoutError("late"), "done"]

    @vdc.retry_on_timeout(max_attempts=sys.maxsize, delay=0)
    def flaky():
        outcome = outcomes.pop(0)
        if isinstance(outcome, Exception):
            raise outcome
        return outcome

    assert flaky() == "done" and sleeps == [0, 0]


def test_a_cycle_through_a_conversion_result_is_collected():
    class Node:
        pass

    node = Node()
    result = vdc.StreamConversionResult([node], bytearray())
    node.result = result
    node_ref = weakref.ref(node)  # the result itself takes no weak references
    del node, result
    gc.collect()
    assert node_ref() is None


# --- deep chains and lying lengths: freed or refused, never a crash (fresh interpreter) ---

NATIVE_LIMITS = {
    "300 000 TEDS records chained through raw_data": ("""
import velmo_device_communication as vdc
head = None
for _ in range(300_000):
    record = vdc.TEDSData()
    record.raw_data = head
    head = record
del head, record
print("freed")
""", "freed"),
    "300 000 retry wrappers around each other": ("""
import velmo_device_communication as vdc
function = lambda: None
for _ in range(300_000):
    function = vdc.retry_on_timeout()(function)
del function
print("freed")
""", "freed"),
    "a byte sequence whose length says 2**62": ("""
import velmo_device_communication as vdc

class Lying:
    def __len__(self):
        return 2**62

    def __getitem__(self, index):
        if index >= 2:
            raise IndexError(index)
        return 1

try:
    vdc.TEDSData.bytes_to_bits(Lying())
except IndexError as error:
    print("IndexError", error)
""", "IndexError 2"),
}


@pytest.mark.parametrize("code, expected", NATIVE_LIMITS.values(), ids=NATIVE_LIMITS.keys())
def test_deep_chains_are_freed_and_lying_lengths_refused(code, expected):
    assert last_line(code) == expected
