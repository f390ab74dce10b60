"""Serial link: the TEDS support check, sensor memory reads, AutoTEDS and the firmware version."""

import logging

import pytest

import velmo_device_communication as vdc
from conftest import fault_command
from velmo.simulator import ORVALE_ITEM_NUMBER, TEDSSensor

SENSOR = TEDSSensor(serial_number=4711, max_capacity=250.0, reverse_max_electrical=0.0018)
NOT_SUPPORTED = vdc.VelmoTEDSNotSupportedError
NOT_CACHED = (vdc.VelmoCommunicationError, "Device info not available. Ensure device is connected.",
              (logging.ERROR, "Cannot validate TEDS support: device info not cached"))


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


def raise_or_return(reply):
    if isinstance(reply, BaseException):
        raise reply
    return reply


def script(link, method, *replies):
    """Replace a transaction method of `link`; returns the (identity and argument bytes, timeout) of each call."""
    calls, replies = [], list(replies)

    def transaction(command, arguments=None):
        calls.append(((command.command_high_byte, command.command_low_byte, *(arguments or b"")), link.timeout))
        return raise_or_return(replies.pop(0))

    setattr(link, method, transaction)
    return calls


@pytest.mark.parametrize("model, item_number, failure", [
    ("HDA640", "QKT08812", None),
    ("hda640", "QKT08812", (NOT_SUPPORTED, "TEDS is not supported on hda640. ",
                            (logging.DEBUG, "TEDS not supported: model is hda640, not HDA640"))),
    ("HDA640", "QKT08812 ", (NOT_SUPPORTED, "TEDS is only supported on Zeph Orvale ",
                             (logging.DEBUG, "TEDS not supported: item number is QKT08812 , not QKT08812"))),
    ("HDA640", None, NOT_CACHED), (None, "QKT08812", NOT_CACHED),
])
def test_support_check(module_log, model, item_number, failure):
    link = vdc._SerialCommunicationInterface("COM9")
    link._cached_model_number, link._cached_item_number = model, item_number
    if failure is None:
        assert link._validate_teds_support() is None and module_log() == []
        return
    with pytest.raises(failure[0]) as info:
        link._validate_teds_support()
    assert type(info.value) is failure[0] and str(info.value) == failure[1]
    assert module_log() == [failure[2]]


@pytest.mark.parametrize("operation, args", [
    ("teds_is_connected", ()), ("get_teds_laser", ()), ("get_teds_data", (99,)), ("get_auto_teds", ()),
    ("get_auto_teds_v1", ()), ("set_auto_teds", (1,)), ("set_auto_teds_v1", (1,)), ("generate_all_teds_data", ()),
])
def test_every_teds_operation_checks_support_first(fake_serial, operation, args):
    fake_serial.add_port("COM4", "RPX310")
    link = vdc._SerialCommunicationInterface("COM4", 320_000, 0.2)
    link.connect()
    fake_serial.calls.clear()
    with pytest.raises(NOT_SUPPORTED, match="^TEDS is not supported on RPX310. $"):
        getattr(link, operation)(*args)
    assert fake_serial.frames_written() == [] and link.timeout == 0.2


@pytest.mark.parametrize("operation, command, reply, result", [
    ("teds_is_connected", (1, 32), 1, True), ("teds_is_connected", (1, 32), 2, False),
    ("get_auto_teds", (1, 33), 255, True), ("get_auto_teds", (1, 33), 1, True), ("get_auto_teds", (1, 33), 254, False),
    ("get_auto_teds_v1", (1, 34), 255, True), ("get_auto_teds_v1", (1, 34), 0, False),
])
def test_switch_replies(link, operation, command, reply, result):
    calls = script(link, "send_convert_return_sequence", reply)
    assert getattr(link, operation)() is result and calls == [(command, 0.2)]


@pytest.mark.parametrize("method, firmware, low", [("set_auto_teds", (4, 3, 1), 33), ("set_auto_teds_v1", (4, 3, 2), 34)])
def test_set_auto_teds_sends_the_truth_of_its_argument(fake_serial, port, link, method, firmware, low):
    port.instrument.firmware = firmware
    getattr(link, method)("off")  # any non-empty text is true
    getattr(link, method)(0)
    assert sent(fake_serial) == [(2, low, 1), (2, low, 0)] and link.timeout == 0.2
    calls = script(link, "send_sequence", vdc.VelmoTimeoutError("silent"))
    with pytest.raises(vdc.VelmoTimeoutError):
        getattr(link, method)([1])
    assert calls == [((2, low, 1), 0.1)] and link.timeout == 0.2


def test_laser_data_over_the_wire(fake_serial, port, link, module_log, sleeps):
    laser = link.get_teds_laser()
    assert laser[:8] == SENSOR.laser() and len(laser) == 9 and laser[0] == 33
    port.instrument.detach_sensor()
    assert link.get_teds_laser()[:8] == bytes(8)  # empty laser data, but a checksum byte that is not 0
    port.faults.silent = True
    assert link.get_teds_laser() is None
    assert sent(fake_serial) == [(1, 31)] * 5 and sleeps == [0.1, 0.1]
    assert module_log()[-1] == (logging.DEBUG, "TEDS laser timeout - no TEDS sensor detected")
    port.faults.silent = False
    fault_command(port, 1, 31, "corrupt_next_checksum")
    with pytest.raises(vdc.VelmoProtocolError):
        link.get_teds_laser()
    assert link.timeout == 0.2


@pytest.mark.parametrize("reply, returned", [
    (bytes(9), False), (bytearray(9), False), (b"", False), (bytes(8) + b"\x99", True), (bytes(7) + b"\x01\x00", True),
])
def test_laser_data_all_zero_means_no_sensor(link, reply, returned):
    calls = script(link, "send_convert_return_sequence", reply)
    result = link.get_teds_laser()
    assert (result is reply) if returned else (result is None)
    assert calls == [((1, 31), 0.05)] and link.timeout == 0.2


@pytest.mark.parametrize("page", [0, 15, 16, -1])
def test_page_read(fake_serial, link, page):
    if 0 <= page <= 15:
        reply = link.get_teds_data(page)
        assert reply[:32] == SENSOR.image()[32 * page:32 * page + 32] and len(reply) == 33
        assert sent(fake_serial) == [(1, 30, page)]
    else:
        with pytest.raises(vdc.VelmoInvalidParameterError, match=f"^TEDS page number must be 0-15, got {page}$"):
            link.get_teds_data(page)
        assert fake_serial.frames_written() == []
    calls = script(link, "send_convert_return_sequence", vdc.VelmoTimeoutError("No response"))
    with pytest.raises(vdc.VelmoTimeoutError):
        link.get_teds_data(3)
    assert calls == [((1, 30, 3), 0.05)] and link.timeout == 0.2


def test_image_assembly(fake_serial, port, link, module_log, sleeps):
    pages = []
    link.get_teds_data = lambda page: pages.append(page) or bytes([page] * 32 + [0xEE])
    assert link.generate_all_teds_data() == b"".join(bytes([k]) * 32 for k in range(16))
    assert pages == [k for k in range(16) for _ in (0, 1)]
    assert module_log() == [(logging.DEBUG, "Successfully read all 512 bytes of TEDS data")]
    del link.get_teds_data
    port.faults.drop_next()  # the first page answer: retried
    assert link.generate_all_teds_data() == SENSOR.image()
    # The dropped answer stays owed until a model query resynchronises before the next page.
    frames = sent(fake_serial)
    assert frames[:5] == [(1, 30, 0)] * 3 + [(1, 1), (1, 30, 1)] and len(frames) == 34
    assert sleeps == [0.1]


@pytest.mark.parametrize("failing_reply, cause", [
    (vdc.VelmoTimeoutError("No response received within 0.05s timeout"), vdc.VelmoTimeoutError),
    (bytes(31), IndexError), ([0] * 31 + [256, 0], ValueError),
])
def test_image_read_failure_is_reported_as_corrupted(link, module_log, failing_reply, cause):
    replies = [bytes(33)] * 19 + [failing_reply]
    link.get_teds_data = lambda page: raise_or_return(replies.pop(0))
    with pytest.raises(vdc.VelmoTEDSDataCorruptedError) as info:
        link.generate_all_teds_data()
    error = info.value.__cause__
    assert type(error) is cause and str(info.value) == f"Error reading TEDS data: {error}"
    assert module_log() == [(logging.ERROR, f"Failed to read TEDS data: {error}")]


@pytest.mark.parametrize("firmware, text", [((4, 3, 2), "04.03.02"), ((16, 0, 1), "10.00.01")])
def test_firmware_version(fake_serial, link, port, module_log, firmware, text):
    port.instrument.firmware = firmware
    assert link.get_firmware_version_with_patch() == text and sent(fake_serial) == [(1, 4)]
    script(link, "send_convert_return_sequence", None)
    assert link.get_firmware_version_with_patch() == "0.0.0"
    assert module_log()[-1] == (logging.DEBUG, "Error parsing firmware version: 'NoneType' object is not subscriptable")
