"""Serial link: the TEDS support check, sensor memory reads, AutoTEDS and the firmware version."""

import logging

import pytest

import velmo_device_communication as vdc
from conftest import fault_command
from velmo.simulator import ORVALE_ITEM_NUMBER, TEDSSensor

SENSOR = TEDSSensor(serial_number=4711, max_capacity=250.0, reverse_max_electrical=0.0018)
NOT_CACHED = (
    vdc.VelmoCommunicationError,
    "Device info not available. Ensure device is connected.",
    [(logging.ERROR, "Cannot validate TEDS support: device info not cached")],
)


def sent(fake_serial):
    return [tuple(f[2:-1]) for f in fake_serial.frames_written()]


@pytest.fixture
def port(fake_serial):
    return fake_serial.add_port("COM3", "HDA640", item_number=ORVALE_ITEM_NUMBER, sensor=SENSOR)


@pytest.fixture
def link(fake_serial, port, module_log):
    link = vdc._SerialCommunicationInterface("COM3", port.baud_rate, 0.2)
    link.connect()
    fake_serial.calls.clear()
    module_log.clear()
    return link


class Replies:
    """Stands in for a transaction method of one link: scripted results, recorded calls.

    A reply that is an exception is raised. Each call records the command's identity bytes,
    the argument bytes and the link's `timeout` during the call.
    """

    def __init__(self, link, name, *replies):
        self.link, self.replies, self.calls = link, list(replies), []
        setattr(link, name, self)

    def __call__(self, command, arguments=None):
        key = (command.command_high_byte, command.command_low_byte, *(arguments or b""))
        self.calls.append((key, self.link.timeout))
        reply = self.replies.pop(0) if len(self.replies) > 1 else self.replies[0]
        if isinstance(reply, BaseException):
            raise reply
        return reply


@pytest.mark.parametrize(
    "model, item_number, failure",
    [
        ("HDA640", "QKT08812", None),
        ("hda640", "QKT08812", (
            vdc.VelmoTEDSNotSupportedError, "TEDS is not supported on hda640. ",
            [(logging.DEBUG, "TEDS not supported: model is hda640, not HDA640")])),
        ("RPX310", None, NOT_CACHED),
        ("HDA640", "QKT08812 ", (
            vdc.VelmoTEDSNotSupportedError, "TEDS is only supported on Zeph Orvale ",
            [(logging.DEBUG, "TEDS not supported: item number is QKT08812 , not QKT08812")])),
        ("HDA640", "qkt08812", (
            vdc.VelmoTEDSNotSupportedError, "TEDS is only supported on Zeph Orvale ",
            [(logging.DEBUG, "TEDS not supported: item number is qkt08812, not QKT08812")])),
        ("HDA640", None, NOT_CACHED),
        (None, "QKT08812", NOT_CACHED),
    ],
)
def test_support_check(module_log, model, item_number, failure):
    link = vdc._SerialCommunicationInterface("COM9")
    link._cached_model_number, link._cached_item_number = model, item_number
    if failure is None:
        assert link._validate_teds_support() is None
        assert module_log() == []
        return
    error, message, records = failure
    with pytest.raises(error) as info:
        link._validate_teds_support()
    assert type(info.value) is error and str(info.value) == message
    assert module_log() == records


@pytest.mark.parametrize(
    "operation, args",
    [
        ("teds_is_connected", ()), ("get_teds_laser", ()), ("get_teds_data", (99,)), ("get_auto_teds", ()),
        ("get_auto_teds_v1", ()), ("set_auto_teds", (1,)), ("set_auto_teds_v1", (1,)),
        ("generate_all_teds_data", ()),
    ],
)
def test_every_teds_operation_checks_support_first(fake_serial, operation, args):
    fake_serial.add_port("COM4", "RPX310")
    link = vdc._SerialCommunicationInterface("COM4", 320_000, 0.2)
    link.connect()
    fake_serial.calls.clear()
    with pytest.raises(vdc.VelmoTEDSNotSupportedError, match="^TEDS is not supported on RPX310. $"):
        getattr(link, operation)(*args)
    assert fake_serial.frames_written() == []
    assert link.timeout == 0.2


@pytest.mark.parametrize(
    "operation, command, reply, result",
    [
        ("teds_is_connected", (1, 32), 1, True),
        ("teds_is_connected", (1, 32), 2, False),
        ("teds_is_connected", (1, 32), 0, False),
        ("get_auto_teds", (1, 33), 255, True),
        ("get_auto_teds", (1, 33), 1, True),
        ("get_auto_teds", (1, 33), 254, False),
        ("get_auto_teds_v1", (1, 34), 255, True),
        ("get_auto_teds_v1", (1, 34), 0, False),
    ],
)
def test_switch_replies(link, operation, command, reply, result):
    replies = Replies(link, "send_convert_return_sequence", reply)
    assert getattr(link, operation)() is result
    assert replies.calls == [(command, 0.2)]


@pytest.mark.parametrize(
    "method, firmware, frame_on, frame_off",
    [("set_auto_teds", (4, 3, 1), (2, 33, 1), (2, 33, 0)), ("set_auto_teds_v1", (4, 3, 2), (2, 34, 1), (2, 34, 0))],
)
def test_set_auto_teds_sends_the_truth_of_its_argument(fake_serial, port, link, method, firmware, frame_on, frame_off):
    port.instrument.firmware = firmware
    getattr(link, method)("off")  # any non-empty text is true
    getattr(link, method)(0)
    assert sent(fake_serial) == [frame_on, frame_off]
    assert link.timeout == 0.2
    replies = Replies(link, "send_sequence", vdc.VelmoTimeoutError("silent"))
    with pytest.raises(vdc.VelmoTimeoutError):
        getattr(link, method)([1])
    assert replies.calls == [(frame_on, 0.1)] and link.timeout == 0.2


def test_laser_data_over_the_wire(fake_serial, port, link):
    laser = link.get_teds_laser()
    assert type(laser) is bytes and len(laser) == 9
    assert laser[:8] == SENSOR.laser() and laser[0] == 33
    port.instrument.detach_sensor()
    # No sensor: empty laser data, but the answer's checksum byte is not zero.
    assert link.get_teds_laser()[:8] == bytes(8)
    assert sent(fake_serial) == [(1, 31), (1, 31)]
    assert link.timeout == 0.2


@pytest.mark.parametrize(
    "reply, returned",
    [
        (bytes(9), False),
        (bytearray(9), False),
        (b"", False),
        (bytes(8) + b"\x99", True),
        (bytes(7) + b"\x01\x00", True),
        (7, True),
    ],
)
def test_laser_data_all_zero_means_no_sensor(link, module_log, reply, returned):
    replies = Replies(link, "send_convert_return_sequence", reply)
    result = link.get_teds_laser()
    assert (result is reply) if returned else (result is None)
    assert replies.calls == [((1, 31), 0.05)] and link.timeout == 0.2
    assert module_log() == []


def test_laser_time_out_means_no_sensor_after_the_retries(fake_serial, port, link, module_log, sleeps):
    port.faults.silent = True
    assert link.get_teds_laser() is None
    assert sent(fake_serial) == [(1, 31)] * 3 and sleeps == [0.1, 0.1]
    assert module_log()[-1] == (logging.DEBUG, "TEDS laser timeout - no TEDS sensor detected")
    assert link.timeout == 0.2


def test_laser_protocol_error_propagates(fake_serial, port, link):
    fault_command(port, 1, 31, "corrupt_next_checksum")
    with pytest.raises(vdc.VelmoProtocolError):
        link.get_teds_laser()
    assert link.timeout == 0.2


@pytest.mark.parametrize("page", [0, 9, 15])
def test_page_read(fake_serial, link, page):
    reply = link.get_teds_data(page)
    assert reply[:32] == SENSOR.image()[32 * page:32 * page + 32] and len(reply) == 33
    assert sent(fake_serial) == [(1, 30, page)]
    assert link.timeout == 0.2


@pytest.mark.parametrize("page", [16, -1, 99])
def test_page_number_out_of_range(fake_serial, link, page):
    with pytest.raises(vdc.VelmoInvalidParameterError) as info:
        link.get_teds_data(page)
    assert str(info.value) == f"TEDS page number must be 0-15, got {page}"
    assert fake_serial.frames_written() == [] and link.timeout == 0.2


def test_page_read_restores_the_timeout_after_a_failure(link):
    replies = Replies(link, "send_convert_return_sequence", vdc.VelmoTimeoutError("No response"))
    with pytest.raises(vdc.VelmoTimeoutError):
        link.get_teds_data(3)
    assert replies.calls == [((1, 30, 3), 0.05)] and link.timeout == 0.2


def test_image_assembly_reads_each_page_twice_in_order(link, module_log):
    calls = []

    def page(page_number):
        calls.append(page_number)
        return bytes([page_number] * 32 + [0xEE])  # the checksum byte is not copied

    link.get_teds_data = page
    image = link.generate_all_teds_data()
    assert type(image) is bytes
    assert image == b"".join(bytes([k]) * 32 for k in range(16))
    assert calls == [k for k in range(16) for _ in (0, 1)]
    assert module_log() == [(logging.DEBUG, "Successfully read all 512 bytes of TEDS data")]


def test_image_over_the_wire_survives_a_dropped_page(fake_serial, port, link, sleeps):
    port.faults.drop_next()  # the answer to the first page request
    assert link.generate_all_teds_data() == SENSOR.image()
    assert sent(fake_serial) == [(1, 30, 0)] + [(1, 30, k) for k in range(16) for _ in (0, 1)]
    assert sleeps == [0.1]


@pytest.mark.parametrize(
    "failing_reply, cause",
    [(vdc.VelmoTimeoutError("No response received within 0.05s timeout"), vdc.VelmoTimeoutError),
     (bytes(31), IndexError),
     ([0] * 31 + [256, 0], ValueError)],
)
def test_image_read_failure_is_reported_as_corrupted(link, module_log, failing_reply, cause):
    replies = [bytes(33)] * 19 + [failing_reply]

    def page(page_number):
        reply = replies.pop(0)
        if isinstance(reply, BaseException):
            raise reply
        return reply

    link.get_teds_data = page
    with pytest.raises(vdc.VelmoTEDSDataCorruptedError) as info:
        link.generate_all_teds_data()
    error = info.value.__cause__
    assert type(error) is cause and replies == []
    assert str(info.value) == f"Error reading TEDS data: {error}"
    assert module_log() == [(logging.ERROR, f"Failed to read TEDS data: {error}")]


@pytest.mark.parametrize("firmware, text", [((4, 3, 2), "04.03.02"), ((16, 0, 1), "10.00.01"), ((0, 0, 0), "00.00.00")])
def test_firmware_version_over_the_wire(fake_serial, port, link, firmware, text):
    port.instrument.firmware = firmware
    assert link.get_firmware_version_with_patch() == text
    assert sent(fake_serial) == [(1, 4)]


def test_firmware_version_that_cannot_be_sliced(link, module_log):
    Replies(link, "send_convert_return_sequence", None)
    assert link.get_firmware_version_with_patch() == "0.0.0"
    assert module_log() == [(logging.DEBUG, "Error parsing firmware version: 'NoneType' object is not subscriptable")]


def test_firmware_version_needs_no_teds_support(fake_serial):
    fake_serial.add_port("COM4", "RPX310", firmware=(1, 2, 3))
    link = vdc._SerialCommunicationInterface("COM4", 320_000, 0.2)
    link.connect()
    assert link.get_firmware_version_with_patch() == "01.02.03"
