"""Serial link: opening and closing the port, and the command transactions."""

import logging

import pytest

import velmo_device_communication as vdc
from conftest import fault_command, frame

RATE = 2_000_000
MODEL_QUERY = frame(1, 1)
ITEM_QUERY = frame(1, 2)
NDR_QUERY = frame(0, 5, 0)
RETRY = (logging.WARNING, "Attempting Retry")
GAVE_UP = (logging.ERROR, "Retries failed after ")
NO_SUCH_PORT = "[Errno 2] could not open port COM4: No such file or directory"
NOT_OPEN = (logging.ERROR, "Attempted to send command on closed connection")


@pytest.fixture
def port(fake_serial):
    return fake_serial.add_port("COM3", "HDA640")


@pytest.fixture
def link(fake_serial, port, module_log):
    link = vdc._SerialCommunicationInterface("COM3", RATE, 0.2)
    link.connect()
    fake_serial.calls.clear()
    module_log.clear()
    return link


def test_construction_touches_no_port(fake_serial):
    link = vdc._SerialCommunicationInterface("COM9")
    assert (link.comport, link.baud_rate, link.timeout, link.serial_connection) == ("COM9", 9600, 1, None)
    assert (link._cached_model_number, link._cached_item_number) == (None, None)
    assert fake_serial.calls == []


def test_connect_opens_the_port_and_caches_the_identity(fake_serial, port, module_log):
    port.instrument.item_number = "QKT08812"
    link = vdc._SerialCommunicationInterface("COM3", RATE, 0.2)
    assert link.connect() is None
    assert (link._cached_model_number, link._cached_item_number) == ("HDA640", "QKT08812")
    opened = link.serial_connection
    assert (opened.port, opened.baudrate, opened.timeout, opened.is_open) == ("COM3", RATE, 0.2, True)
    # Each transaction: discard pending input, write the frame, read the exact answer size.
    assert [(c.name, c.argument) for c in fake_serial.calls] == [
        ("open", RATE),
        ("reset_input_buffer", None), ("write", MODEL_QUERY), ("read", 15),
        ("reset_input_buffer", None), ("write", ITEM_QUERY), ("read", 15),
    ]
    assert module_log(logging.INFO) == [(logging.INFO, "Successfully connected to COM3 at 2000000 baud")]


@pytest.mark.parametrize(
    "error, logged, raised",
    [
        (None,  # no such port
         f"Failed to connect to COM4: {NO_SUCH_PORT}", f"Could not open serial port COM4 at 2000000 baud: {NO_SUCH_PORT}"),
        ("busy", "Failed to connect to COM4: busy", "Could not open serial port COM4 at 2000000 baud: busy"),
        (ValueError("baud rate out of range"),
         "Unexpected error connecting to COM4: baud rate out of range",
         "Unexpected connection error: baud rate out of range"),
    ],
)
def test_connect_failure(fake_serial, module_log, error, logged, raised):
    if error is not None:
        script = fake_serial.add_port("COM4")
        script.fail("open", fake_serial.SerialException(error) if isinstance(error, str) else error)
    link = vdc._SerialCommunicationInterface("COM4", RATE, 0.2)
    with pytest.raises(vdc.VelmoConnectionError) as info:
        link.connect()
    assert str(info.value) == raised
    expected_cause = ValueError if isinstance(error, ValueError) else fake_serial.SerialException
    assert type(info.value.__cause__) is expected_cause
    assert link.serial_connection is None
    assert module_log() == [(logging.ERROR, logged)]


@pytest.mark.parametrize(
    "silent, frames, reason",
    [
        (True, [MODEL_QUERY] * 3, "No response received within 0.2s timeout"),  # item never asked for
        (False, [MODEL_QUERY, ITEM_QUERY], "Invalid checksum in response"),  # model read, then forgotten
    ],
)
def test_connect_survives_a_failed_identity_read(fake_serial, port, module_log, silent, frames, reason):
    port.faults.silent = silent
    fault_command(port, 1, 2, "corrupt_next_checksum")
    link = vdc._SerialCommunicationInterface("COM3", RATE, 0.2)
    link.connect()
    assert link.serial_connection.is_open
    assert (link._cached_model_number, link._cached_item_number) == (None, None)
    assert fake_serial.frames_written("COM3") == frames
    warnings = [m for level, m in module_log() if level == logging.WARNING and m != RETRY[1]]
    assert warnings == [f"Failed to cache device info during connect: {reason}"]


def test_disconnect(fake_serial, link, module_log):
    assert vdc._SerialCommunicationInterface("COM3").disconnect() is None  # never connected: nothing
    assert fake_serial.calls == [] and module_log() == []
    link.disconnect()
    assert link.serial_connection is None
    assert module_log() == [(logging.INFO, "Disconnected from COM3")]
    link.disconnect()  # a second time: nothing happens
    assert fake_serial.count("close") == 1 and len(module_log()) == 1
    assert link._cached_model_number == "HDA640"  # identity survives a disconnect


def test_disconnect_swallows_a_failing_close(link, port, module_log):
    port.fail("close", OSError("cable gone"))
    link.disconnect()
    assert link.serial_connection is None
    assert module_log() == [(logging.WARNING, "Error during disconnect: cable gone")]


def test_disconnect_leaves_a_port_closed_elsewhere_alone(fake_serial, link, module_log):
    closed = link.serial_connection
    closed.close()
    link.disconnect()
    assert link.serial_connection is closed
    assert module_log() == [] and fake_serial.count("close") == 1


@pytest.mark.parametrize("how", ["disconnected", "never connected", "closed elsewhere"])
@pytest.mark.parametrize("operation", ["get_model_number", "set_streaming_state"])
def test_transaction_on_a_closed_port_is_tried_once(fake_serial, link, module_log, sleeps, how, operation):
    if how == "disconnected":
        link.disconnect()
    elif how == "never connected":
        link = vdc._SerialCommunicationInterface("COM3", RATE, 0.2)
    else:
        link.serial_connection.close()
    fake_serial.calls.clear()
    module_log.clear()
    args = (1,) if operation == "set_streaming_state" else ()
    with pytest.raises(vdc.VelmoCommunicationError) as info:
        getattr(link, operation)(*args)
    assert type(info.value) is vdc.VelmoCommunicationError
    assert str(info.value) == "Serial connection not open"
    assert module_log() == [NOT_OPEN]
    assert sleeps == [] and fake_serial.count("write") == 0


def test_short_answer_is_not_retried(fake_serial, link, port, module_log):
    port.faults.cut_next(4)
    with pytest.raises(vdc.VelmoCommunicationError) as info:
        link.get_board_temperature()
    assert type(info.value) is vdc.VelmoCommunicationError
    assert str(info.value) == "Incomplete response: expected 9 bytes, got 4"
    assert module_log() == [(logging.WARNING, "Incomplete response: received 4/9 bytes")]
    assert fake_serial.count("write") == 1


def test_short_write_is_tolerated(link, port, module_log):
    port.short_write = 3
    assert link.get_model_number() == "HDA640"
    assert (logging.WARNING, "Incomplete write: sent 3/5 bytes") in module_log()


@pytest.mark.parametrize("new_timeout", [None, 7.5])
def test_silent_instrument_fails_after_three_attempts(fake_serial, link, port, module_log, sleeps, new_timeout):
    port.faults.silent = True
    if new_timeout is not None:
        link.timeout = new_timeout
    with pytest.raises(vdc.VelmoTimeoutError) as info:
        link.get_ndr(0)
    quoted = new_timeout or 0.2
    assert str(info.value) == f"No response received within {quoted}s timeout"
    assert link.serial_connection.timeout == 0.2  # the open port keeps its read time-out
    waited = (logging.ERROR, "Timeout waiting for response (expected 9 bytes)")
    assert module_log() == [waited, RETRY, waited, RETRY, waited, GAVE_UP]
    assert sleeps == [0.1, 0.1]
    assert fake_serial.frames_written("COM3") == [NDR_QUERY] * 3
    assert fake_serial.count("reset_input_buffer") == 3
    assert link.serial_connection.is_open


@pytest.mark.parametrize(
    "method, error, retried, raised_type, logged, raised",
    [
        ("write", "timeout", True, vdc.VelmoTimeoutError,
         "Serial timeout: Write timeout", "Command timed out after 0.2s"),
        ("write", "serial", False, vdc.VelmoCommunicationError,
         "Serial communication error: Write failed", "Serial error during command transmission: Write failed"),
        ("read", "serial", False, vdc.VelmoCommunicationError,
         "Serial communication error: Read failed", "Serial error during command transmission: Read failed"),
        ("reset_input_buffer", "other", False, vdc.VelmoCommunicationError,
         "Unexpected error during communication: Reset failed", "Unexpected communication error: Reset failed"),
    ],
)
def test_port_errors_are_translated(fake_serial, link, port, module_log, sleeps,
                                    method, error, retried, raised_type, logged, raised):
    text = logged.rsplit(": ", 1)[1]
    cause = {"timeout": fake_serial.SerialTimeoutException, "serial": fake_serial.SerialException,
             "other": RuntimeError}[error](text)
    port.fail(method, cause)
    with pytest.raises(vdc.VelmoDeviceError) as info:
        link.get_model_number()
    assert type(info.value) is raised_type
    assert str(info.value) == raised
    assert info.value.__cause__ is cause
    attempts = 3 if retried else 1
    assert fake_serial.count(method) == attempts
    assert [r for r in module_log() if r[1] == logged] == [(logging.ERROR, logged)] * attempts
    assert len(sleeps) == attempts - 1


def test_answer_checksum_is_checked_for_reads_only(fake_serial, link, port):
    port.faults.corrupt_next_checksum(times=2)
    assert link.set_streaming_state(0) is None
    with pytest.raises(vdc.VelmoProtocolError, match="^Invalid checksum in response$"):
        link.get_instrument_serial_number()
    assert fake_serial.count("write") == 2  # not retried


def test_input_waiting_before_a_command_is_discarded(link, port):
    port.queue_input(bytes.fromhex("000f0101") + b"stale stream bytes")
    assert link.get_model_number() == "HDA640"
    port.queue_input(b"\x00\x09")
    assert link.get_ndr(1) == port.instrument.live_count(1)


@pytest.mark.parametrize("waiting", [b"", b"\x80\x01\x90\x72\x7d"])
def test_read_buffer_data(link, port, module_log, waiting):
    port.queue_input(waiting)
    data = link.read_buffer_data()
    assert type(data) is bytes and data == waiting
    assert module_log() == [(logging.DEBUG, f"Reading {len(waiting)} bytes from buffer")]


def test_read_buffer_data_needs_an_open_port(link, module_log):
    link.disconnect()
    module_log.clear()
    with pytest.raises(vdc.VelmoCommunicationError, match="^Cannot read buffer: serial connection not open$"):
        link.read_buffer_data()
    assert module_log() == []
