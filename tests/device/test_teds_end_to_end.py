"""TEDS from discovery to readings, against simulated instruments on pseudo-terminals."""

import contextlib
import logging

import pytest

import velmo_device_communication as vdc
from velmo.simulator import COUNTS_PER_UNIT, ORVALE_ITEM_NUMBER, ZERO_COUNT, SimulatedInstrument, TEDSSensor

SENSOR = TEDSSensor(serial_number=880012, max_capacity=500.0, max_electrical=0.0025, reverse_max_electrical=0.002)
OLD_AUTO_TEDS = (1, 33)
V1_AUTO_TEDS = (1, 34)


@contextlib.contextmanager
def discovered(simulator, model):
    """The one device discovery finds on the simulator's port, searching only its model."""
    with simulator.visible_to_discovery():
        [device] = vdc.VelmoSerialScanner.discover_devices([model], [simulator.port])
    try:
        yield device
    finally:
        device.disconnect()


@pytest.fixture
def orvale():
    with SimulatedInstrument("HDA640", ORVALE_ITEM_NUMBER, sensor=SENSOR, auto_teds_v1=True) as simulator:
        yield simulator


def teds_calibration(profile, sensor):
    """The converter that the TEDS-derived calibration gives for a profile of the simulator."""
    record = vdc.TEDSData.parse_from_bytes(sensor.image(), 0)
    n = profile.points_per_direction
    first, last = profile.points[0], profile.points[n - 1]
    slope = (last.count - first.count) / (last.load - first.load)
    converter = vdc.ADCConverter()
    converter.number_of_loading_points, converter.number_of_directions = 2, 1
    converter.scale_factor, converter.offset = 1.0, 0.0
    converter.direction_1_offset_value = converter.direction_2_offset_value = first.count
    converter.direction_1_offset_load = converter.direction_2_offset_load = record.min_capacity
    converter.direction_1_fullscale_load = converter.direction_2_fullscale_load = record.max_capacity
    converter.direction_1_fullscale_value = int(slope * record.max_electrical + first.count)
    converter.direction_2_fullscale_value = int(first.count - slope * record.reverse_max_electrical)
    return converter


def command_ids(simulator):
    return [tuple(frame[2:4]) for frame in simulator.frames_received]


def test_initialize_installs_the_sensor_calibration(orvale):
    with discovered(orvale, "HDA640") as device:
        device.initialize_teds()
        assert (device.get_teds_serial_number(), device.get_teds_template(), device.get_teds_engineering_unit(),
                device.get_teds_max_capacity()) == ("880012", 33, "N", 500.0)
        expected = teds_calibration(orvale.instrument.profile_of_channel(0), SENSOR)
        for units in (120, -75):
            count = ZERO_COUNT + units * COUNTS_PER_UNIT
            orvale.instrument.set_signal(0, count)
            assert device.get_reading() == expected.convert_adc(count)
        device.set_auto_teds(False)
        assert orvale.instrument.auto_teds_v1 is False
        assert device.get_reading() == pytest.approx(-75.0)  # the instrument's own calibration again
    assert OLD_AUTO_TEDS not in command_ids(orvale)


def test_firmware_before_4_3_2_uses_the_old_auto_teds_commands():
    with SimulatedInstrument("HDA640", ORVALE_ITEM_NUMBER, (4, 3, 1), sensor=SENSOR, auto_teds=True) as simulator:
        with discovered(simulator, "HDA640") as device:
            device.initialize_teds()
            assert device.get_teds_serial_number() == "880012"
            device.set_auto_teds(False)
            assert simulator.instrument.auto_teds is False
        commands = command_ids(simulator)
        assert OLD_AUTO_TEDS in commands and (2, 33) in commands
        assert V1_AUTO_TEDS not in commands and (2, 34) not in commands


def test_rpx310_has_no_teds(module_log):
    with SimulatedInstrument("RPX310") as simulator, discovered(simulator, "RPX310") as device:
        assert device.supports_teds() is False
        with pytest.raises(vdc.VelmoTEDSNotSupportedError, match="^TEDS is not supported on RPX310$"):
            device.teds_is_connected()
        module_log.clear()
        device.initialize_teds()
        assert module_log() == [(logging.DEBUG, "Device does not support TEDS - skipping TEDS initialization")]


def test_sensor_unplugged_between_two_loads(orvale, module_log):
    with discovered(orvale, "HDA640") as device:
        device.initialize_teds()
        teds_converter = device.adc_converter
        orvale.instrument.detach_sensor()
        with pytest.raises(vdc.VelmoTEDSNotConnectedError, match="^No TEDS sensor connected to device$"):
            device.reload_teds_data()
        module_log.clear()
        device.initialize_teds()
        assert module_log(logging.WARNING) == [(logging.WARNING, "AutoTEDS enabled but no TEDS sensor connected")]
        assert device.adc_converter is teds_converter
        assert device.get_teds_serial_number() == "880012"
        orvale.instrument.attach_sensor(TEDSSensor(serial_number=5))
        device.reload_teds_data()
        assert device.get_teds_serial_number() == "5" and device.adc_converter is not teds_converter


def test_sensor_unplugged_during_the_image_read(orvale, module_log, sleeps):
    with discovered(orvale, "HDA640") as device:
        calibration = device.adc_converter
        link = device.communication_interface
        link.serial_connection.timeout = 0.05  # the unplugged pages time out quickly
        read_page = link.get_teds_data

        def unplug_before_page_6(page):
            if page == 6:
                orvale.instrument.detach_sensor()
            return read_page(page)

        link.get_teds_data = unplug_before_page_6
        device.reload_teds_data()
        assert module_log(logging.ERROR)[-1] == (
            logging.ERROR, "Error loading teds Error reading TEDS data: No response received within 0.05s timeout")
        assert device.adc_converter is calibration and device._teds_data is None
        assert link.timeout == 1
