"""The device object over a scripted port: channel-to-profile mapping, conversions, context manager."""

import contextlib
import logging

import pytest

import velmo_device_communication as vdc
from velmo.simulator import COUNTS_PER_UNIT, ZERO_COUNT

TOKEN_MESSAGE = (
    "VelmoDevice cannot be instantiated directly. "
    "Use VelmoSerialScanner.discover_devices() to obtain VelmoDevice instances."
)
# Channel c selects profile CHANNEL_PROFILES[c]; profile k has the full scale (k + 1) * 1000.
CHANNEL_PROFILES = [1, 0, 3, 2]
UNIT = vdc.UnitOfMeasureEnum


def sent(fake_serial):
    return [tuple(f[2:-1]) for f in fake_serial.frames_written()]


def calibration_reads(profile, n=5):
    reads = [(3, 23, profile)]
    for first, last in ((0, n - 1), (n, 2 * n - 1)):
        reads += [(3, 24, profile, first), (3, 24, profile, last), (3, 25, profile, first), (3, 25, profile, last)]
    return reads + [(3, 11, profile)]


@pytest.fixture
def port(fake_serial):
    return fake_serial.add_port("COM3", "HDA640", channel_profiles=CHANNEL_PROFILES)


@pytest.fixture
def link(fake_serial, port):
    link = vdc._SerialCommunicationInterface("COM3", 2_000_000, 0.2)
    link.connect()
    fake_serial.calls.clear()
    return link


@pytest.fixture
def device(fake_serial, link, module_log):
    device = vdc.VelmoDevice(link, _internal_token=vdc._DEVICE_CREATION_TOKEN)
    fake_serial.calls.clear()
    module_log.clear()
    return device


@pytest.mark.parametrize("token", [{}, {"_internal_token": None}, {"_internal_token": object()}])
def test_construction_needs_the_token(fake_serial, link, token):
    with pytest.raises(TypeError) as info:
        vdc.VelmoDevice(link, **token)
    assert str(info.value) == TOKEN_MESSAGE
    assert fake_serial.calls == []


def test_construction_loads_channel_0_calibration(fake_serial, link):
    device = vdc.VelmoDevice(communication_interface=link, _internal_token=vdc._DEVICE_CREATION_TOKEN)
    assert sent(fake_serial) == [(1, 10, 0)] + calibration_reads(CHANNEL_PROFILES[0])
    assert device.communication_interface is link
    assert device.get_adc_converter() is device.adc_converter
    assert device.adc_converter.direction_1_fullscale_load == 2000.0
    for name in ("_teds_data", "_model_number", "_item_number", "_firmware_version", "_cached_sampling_rate_for_teds"):
        assert getattr(device, name) is None


@pytest.mark.parametrize(
    "call, channel, frames",
    [
        (lambda d: d.get_load_of_loading_point(2, channel_number=1), 1, [(3, 24, 0, 2)]),
        (lambda d: d.get_loading_point_value(4, 2), 2, [(3, 25, 3, 4)]),
        (lambda d: d.get_number_of_loading_points(3), 3, [(3, 23, 2)]),
        (lambda d: d.get_number_of_directions(), 0, [(3, 11, 1)]),
        (lambda d: d.get_sampling_rate(channel_number=2), 2, [(3, 30, 3)]),
        (lambda d: d.get_sensor_serial_number(1), 1, [(3, 0, 0)]),
        (lambda d: d.get_unit_of_measure(3), 3, [(3, 12, 2)]),
        (lambda d: d.set_adc_of_loading_point(1, 1000, "dir", 2), 2, [(4, 25, 3, 1, 0, 0, 3, 0xE8)]),
        (lambda d: d.set_load_of_loading_point(1, 1.0, channel_number=1), 1, [(4, 24, 0, 1, 0, 0, 0x80, 0x3F)]),
        (lambda d: d.set_number_of_directions(0, 2), 2, [(4, 11, 3, 0)]),
        (lambda d: d.set_unit_of_measure(UNIT.kg, 1), 1, [(4, 12, 0, 12)]),
        (lambda d: d.set_sampling_rate_value(7, 2), 2, [(1, 2), (1, 1), (4, 30, 3, 7)]),
        (lambda d: d.set_sampling_rate(vdc.HDA640SamplingRateEnum.SPS_100), 0, [(1, 2), (1, 1), (4, 30, 1, 7)]),
        (lambda d: d.set_sampling_rate(vdc.HDA640SamplingRateEnum.SPS_400, 1.9), 1, [(1, 2), (1, 1), (4, 30, 0, 8)]),
        (lambda d: d.set_sampling_rate(vdc.HDA640SamplingRateEnum.SPS_5, True), 1, [(1, 2), (1, 1), (4, 30, 0, 1)]),
    ],
)
def test_per_profile_requests_map_the_channel_first(fake_serial, device, call, channel, frames):
    call(device)
    assert sent(fake_serial) == [(1, 10, channel)] + frames


@pytest.mark.parametrize(
    "call, frames, result",
    [
        (lambda d: d.get_ndr(3), [(0, 5, 3)], ZERO_COUNT + 400 * COUNTS_PER_UNIT),
        (lambda d: d.get_model_number(), [(1, 1)], "HDA640"),
        (lambda d: d.get_instrument_serial_number(), [(1, 0)], 20_240_001),
        (lambda d: d.get_device_channel_selected_profile(2), [(1, 10, 2)], 3),
        (lambda d: d.get_device_channel_selected_profile(), [(1, 10, 0)], 1),
        # Channel 3 reads 400 units on profile 0, so 800 on channel 0's profile 1.
        (lambda d: d.get_reading(3), [(0, 5, 3)], pytest.approx(800.0)),
        (lambda d: d.set_stream_state(True), [(0, 12, 1)], None),
        (lambda d: d.set_stream_state(0), [(0, 12, 0)], None),
        (lambda d: d.set_stream_state(2.7), [(0, 12, 2)], None),
    ],
)
def test_requests_without_mapping(fake_serial, device, call, frames, result):
    assert call(device) == result
    assert sent(fake_serial) == frames


def test_get_reading_without_converter(fake_serial, device):
    device.adc_converter = None
    with pytest.raises(vdc.VelmoCalibrationError, match=r"^ADC converter not initialized\. Cannot convert reading\.$"):
        device.get_reading()
    assert fake_serial.calls == []


@pytest.mark.parametrize("raw", [16_777_215, 9_075_075, 0, 20_000_000])
def test_board_temperature(fake_serial, device, port, raw):
    port.instrument.board_temperature = raw
    output = 1200 - (16777215 - raw) / 6990.506666666667
    temperature = device.get_board_temperature()
    assert temperature == pytest.approx(-40 + (output - 80) / 0.28, rel=1e-12, abs=1e-9)
    assert sent(fake_serial) == [(0, 7)]
    if raw == 16_777_215:
        assert temperature == pytest.approx(4000.0 - 40)  # -40 + (1200 - 80) / 0.28


def test_set_sampling_rate_takes_members_only(fake_serial, device):
    with pytest.raises(AttributeError):
        device.set_sampling_rate(7)
    assert sent(fake_serial) == [(1, 10, 0)]
    fake_serial.calls.clear()
    with pytest.raises(TypeError) as info:
        device.set_sampling_rate(vdc.HDA640SamplingRateEnum.SPS_100, "1")
    assert str(info.value) == "Argument 'channel_number' has incorrect type (expected int, got str)"
    assert fake_serial.calls == []


@pytest.mark.parametrize("channel, profile, reloaded", [(2, 0, 1), (0, 2, 2), (1, 3, 1)])
def test_selecting_a_profile_reloads_channel_0_calibration(fake_serial, device, port, channel, profile, reloaded):
    before = device.adc_converter
    device.set_device_channel_selected_profile(channel, profile)
    assert sent(fake_serial) == [(2, 10, channel, profile), (1, 10, 0)] + calibration_reads(reloaded)
    assert port.instrument.channel_profiles[channel] == profile
    assert device.adc_converter is not before
    assert device.adc_converter.direction_1_fullscale_load == 1000.0 * (reloaded + 1)


def test_failed_reload_keeps_the_old_converter(device):
    before = device.adc_converter

    def broken(profile):
        raise vdc.VelmoCalibrationError("Invalid number of loading points: 0")

    device.communication_interface.load_adc_converter = broken
    with pytest.raises(vdc.VelmoCalibrationError):
        device.set_device_channel_selected_profile(0, 2)
    assert device.adc_converter is before


def test_get_adc_for_profile_is_not_kept(fake_serial, device):
    before = device.adc_converter
    first, second = device.get_adc_for_profile(3), device.get_adc_for_profile(3)
    assert first is not second and device.adc_converter is before
    assert first.direction_1_fullscale_load == 4000.0
    assert sent(fake_serial) == calibration_reads(3) * 2


@pytest.mark.parametrize("code, member", [(12, UNIT.kg), (0, UNIT.atm), (255, UNIT.Undefined), (64, ValueError)])
def test_unit_of_measure_comes_back_as_member(device, port, code, member):
    port.instrument.profiles[1].unit_code = code
    if member is ValueError:
        with pytest.raises(ValueError):
            device.get_unit_of_measure()
    else:
        assert device.get_unit_of_measure() is member


def test_subclass_profile_lookup_is_honoured(fake_serial, link):
    class PinnedDevice(vdc.VelmoDevice):
        def get_device_channel_selected_profile(self, channel_number=0):
            return 2

    device = PinnedDevice(link, _internal_token=vdc._DEVICE_CREATION_TOKEN)
    fake_serial.calls.clear()
    device.get_number_of_loading_points(channel_number=0)
    assert sent(fake_serial) == [(3, 23, 2)]


@pytest.mark.parametrize("body_error", [None, KeyError("body failed")])
def test_with_block_disconnects(fake_serial, device, module_log, body_error):
    with pytest.raises(KeyError) if body_error else contextlib.nullcontext():
        with device as entered:
            assert entered is device
            if body_error:
                raise body_error
    assert device.communication_interface.serial_connection is None
    assert fake_serial.count("close") == 1
    assert module_log() == [
        (logging.DEBUG, "Entering VelmoDevice context"),
        (logging.DEBUG, "Exiting VelmoDevice context"),
        (logging.INFO, "Disconnected from COM3"),
    ]


@pytest.mark.parametrize("error", [vdc.VelmoConnectionError("port vanished"), OSError("port vanished"),
                                   KeyboardInterrupt()])
def test_exit_with_a_failing_disconnect(device, module_log, error):
    def failing():
        raise error

    device.disconnect = failing
    if isinstance(error, Exception):
        assert device.__exit__(None, None, None) is False
        assert module_log()[-1] == (logging.ERROR, "Error during context manager cleanup: port vanished")
    else:
        with pytest.raises(KeyboardInterrupt):
            device.__exit__(None, None, None)
