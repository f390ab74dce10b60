"""The device's TEDS half over a scripted port: support, AutoTEDS versions, loading and calibration."""

import logging

import pytest

import velmo_device_communication as vdc
from conftest import fault_command
from velmo.simulator import ORVALE_ITEM_NUMBER, TEDSSensor

SENSOR = TEDSSensor(serial_number=4711, engineering_unit=11, max_capacity=250.0, max_electrical=0.0015)
NO_RECORD = "No TEDS data loaded. Ensure TEDS sensor is connected and AutoTEDS is enabled."
LOADED = [(logging.INFO, "Reloading TEDS data from sensor"),
          (logging.INFO, "TEDS data loaded: SN=4711, Template=33, Max Capacity=250.0"),
          (logging.INFO, "TEDS calibration loaded: 0.0 to 250.0, Reverse scaling: False")]
RETRY = (logging.WARNING, "Attempting Retry")
CONVERTER_FIELDS = ("number_of_loading_points", "direction_1_offset_load", "direction_1_fullscale_load",
                    "direction_1_offset_value", "direction_1_fullscale_value", "direction_2_offset_load",
                    "direction_2_fullscale_load", "direction_2_offset_value", "direction_2_fullscale_value",
                    "scale_factor", "offset", "number_of_directions", "midpoint_offset")


def commands_sent(fake_serial):
    return [tuple(f[2:4]) for f in fake_serial.frames_written()]


def fields_of(converter):
    return {name: getattr(converter, name) for name in CONVERTER_FIELDS}


def make_device(fake_serial, model="HDA640", **options):
    port = fake_serial.add_port("COM3", model, **options)
    link = vdc._SerialCommunicationInterface("COM3", port.baud_rate, 0.2)
    link.connect()
    device = vdc.VelmoDevice(link, _internal_token=vdc._DEVICE_CREATION_TOKEN)
    fake_serial.calls.clear()
    return device, port


@pytest.fixture
def orvale(fake_serial, module_log):
    device, port = make_device(fake_serial, item_number=ORVALE_ITEM_NUMBER, sensor=SENSOR, auto_teds_v1=True)
    module_log.clear()
    return device, port


def test_supports_teds_asks_once(fake_serial, orvale, sleeps):
    device, port = orvale
    assert device.supports_teds() is True and device.supports_teds() is True
    assert commands_sent(fake_serial) == [(1, 1), (1, 2)]
    device._item_number = None
    fault_command(port, 1, 2, "drop_next")  # the item number query times out
    assert device.supports_teds() is False and device._item_number == ""
    fake_serial.calls.clear()
    assert device.supports_teds() is False and fake_serial.frames_written() == []


@pytest.mark.parametrize("model, item_number", [("RPX310", "SIM-RPX310"), ("HDA640", "QKT08813")])
def test_unsupported_instruments(fake_serial, module_log, model, item_number):
    device, _ = make_device(fake_serial, model, item_number=item_number, sensor=SENSOR)
    assert device.supports_teds() is False and device._item_number == item_number
    for call in (device.teds_is_connected, device.get_auto_teds, lambda: device.set_auto_teds(True),
                 device.reload_teds_data):
        fake_serial.calls.clear()
        with pytest.raises(vdc.VelmoTEDSNotSupportedError, match=f"^TEDS is not supported on {model}$"):
            call()
        assert commands_sent(fake_serial) == [(1, 1)]  # only the fresh model query of the message
    module_log.clear()
    device.initialize_teds()
    assert module_log() == [(logging.DEBUG, "Device does not support TEDS - skipping TEDS initialization")]


@pytest.mark.parametrize("getter", ["get_teds_template", "get_teds_serial_number", "get_teds_engineering_unit",
                                    "get_teds_max_capacity"])
def test_record_getters_need_a_record(orvale, getter):
    with pytest.raises(vdc.VelmoTEDSNotConnectedError, match=f"^{NO_RECORD}$"):
        getattr(orvale[0], getter)()


@pytest.mark.parametrize("code, text", [(4, "N"), (2, "Unknown (2)")])
def test_engineering_unit_text(orvale, code, text):
    device = orvale[0]
    device._teds_data = vdc.TEDSData()
    device._teds_data.engineering_unit = code
    assert device.get_teds_engineering_unit() == text


@pytest.mark.parametrize("version, uses_v1", [
    ("04.03.02", True), ("4.3.2", True), ("04.03.01", False), ("04.04.00", True), ("05.00.00", True),
    ("3.9.9", False), ("4", False), ("4.3", False), (" 4. 3.10", True), ("4.3.x", False), ("5.x", False),
])
def test_auto_teds_version_decision(fake_serial, orvale, module_log, version, uses_v1):
    device = orvale[0]
    device._firmware_version = version
    assert device._should_use_auto_teds_v1() is uses_v1 and fake_serial.frames_written() == []
    if "x" in version:
        [(level, message)] = module_log()
        assert level == logging.WARNING
        assert message == f"Failed to parse firmware version '{version}': invalid literal for int() with base 10: 'x'"
    else:
        assert module_log() == []


@pytest.mark.parametrize("firmware, command", [((4, 3, 2), (1, 34)), ((4, 3, 1), (1, 33)), (None, (1, 33))])
def test_get_auto_teds_uses_the_firmware_command(fake_serial, orvale, module_log, sleeps, firmware, command):
    device, port = orvale
    port.instrument.firmware, port.instrument.auto_teds = firmware or (4, 3, 1), True
    if firmware is None:
        fault_command(port, 1, 4, "drop_next")
    assert device.get_auto_teds() is True and device.get_auto_teds() is True
    assert commands_sent(fake_serial)[-2:] == [command, command] and commands_sent(fake_serial).count((1, 4)) == (
        1 if firmware else 3)
    version = "%02d.%02d.%02d" % firmware if firmware else "0.0.0"
    assert device._firmware_version == version
    firmware_records = [r for r in module_log() if "firmware" in r[1]]
    assert firmware_records == ([(logging.DEBUG, f"Retrieved firmware version: {version}")] if firmware else [
        (logging.WARNING, "Failed to retrieve firmware version: No response received within 0.2s timeout, "
                          "assuming old version")])


def test_initialize_loads_record_and_calibration(fake_serial, orvale, module_log):
    device = orvale[0]
    device.initialize_teds()
    assert [r for r in module_log() if r[0] >= logging.INFO] == [
        (logging.INFO, "AutoTEDS enabled - automatically loading TEDS calibration"), *LOADED]
    assert (device.get_teds_serial_number(), device.get_teds_template(), device.get_teds_engineering_unit(),
            device.get_teds_max_capacity()) == ("4711", 33, "in-oz", 250.0)
    assert device._teds_data.raw_data == SENSOR.image() and commands_sent(fake_serial).count((1, 30)) == 32
    assert (device.adc_converter.direction_1_fullscale_load, device.adc_converter.number_of_directions) == (250.0, 0)


@pytest.mark.parametrize("setup, records", [
    ("auto_teds_off", [(logging.DEBUG, "AutoTEDS is disabled - TEDS data will not be auto-loaded")]),
    ("no_sensor", [(logging.WARNING, "AutoTEDS enabled but no TEDS sensor connected")]),
    ("auto_teds_silent", [
        (logging.WARNING, "Failed to auto-load TEDS data during initialization: No response received within 0.2s timeout"),
        (logging.WARNING, "Device will use manual calibration")]),
])
def test_initialize_stops_early(fake_serial, orvale, module_log, sleeps, setup, records):
    device, port = orvale
    device._firmware_version, calibration = "4.3.2", device.adc_converter
    if setup == "auto_teds_off":
        port.instrument.auto_teds_v1 = False
    elif setup == "no_sensor":
        port.instrument.detach_sensor()
    else:
        fault_command(port, 1, 34, "drop_next")
    device.initialize_teds()
    assert [r for r in module_log() if (r[0] == logging.WARNING and r != RETRY) or "AutoTEDS" in r[1]] == records
    assert device.adc_converter is calibration and device._teds_data is None
    assert ((1, 32) in commands_sent(fake_serial)) is (setup == "no_sensor")


def test_switching_auto_teds_off_and_on(fake_serial, orvale, module_log):
    device, port = orvale
    device.initialize_teds()
    instrument_calibration = fields_of(device.get_adc_for_profile(0))
    fake_serial.calls.clear()
    module_log.clear()
    device.set_auto_teds(False)
    assert commands_sent(fake_serial)[:3] == [(2, 34), (1, 10), (3, 23)] and port.instrument.auto_teds_v1 is False
    assert device._teds_data is None and fields_of(device.adc_converter) == instrument_calibration
    assert module_log()[-1] == (logging.INFO, "AutoTEDS disabled - reverted to manual calibration")
    module_log.clear()
    device.set_auto_teds(1)
    assert port.instrument.auto_teds_v1 is True and device.get_teds_serial_number() == "4711"
    assert [r for r in module_log() if r[0] >= logging.INFO] == LOADED


@pytest.mark.parametrize("failure, record", [
    ("laser", "Error loading teds Failed to read TEDS template - sensor may be disconnected"),
    ("calibration", "Error loading teds Error loading TEDS calibration: division by zero"),
])
def test_reload_failures_are_logged(orvale, module_log, failure, record):
    device, port = orvale
    calibration, link = device.adc_converter, device.communication_interface
    if failure == "laser":
        link.get_teds_laser = lambda: None  # all-zero laser data
    else:
        link.load_adc_converter = lambda profile: 1 / 0
    device.set_auto_teds(True)
    assert port.instrument.auto_teds_v1 is True and module_log()[-1] == (logging.ERROR, record)
    assert device.adc_converter is calibration
    assert (device._teds_data is None) is (failure == "laser")  # a parsed record is kept


def test_reload_without_a_sensor_reads_nothing(fake_serial, orvale):
    device, port = orvale
    port.instrument.detach_sensor()
    with pytest.raises(vdc.VelmoTEDSNotConnectedError, match="^No TEDS sensor connected to device$"):
        device.reload_teds_data()
    assert commands_sent(fake_serial) == [(1, 1), (1, 2), (1, 32)]


@pytest.mark.parametrize("bracketed", [True, False])
def test_rate_bracket_around_teds_work(fake_serial, orvale, module_log, sleeps, bracketed):
    device = orvale[0]
    profile = device.get_device_channel_selected_profile(0)
    device.set_sampling_rate_value(7)
    fake_serial.calls.clear()
    if bracketed:
        device.pre_teds_operations()
        assert device._cached_sampling_rate_for_teds == 7 and sleeps == []
    device.post_teds_operations()
    writes = [tuple(f[2:-1]) for f in fake_serial.frames_written() if f[2:4] == b"\x04\x1e"]
    assert writes == ([(4, 30, profile, 0), (4, 30, profile, 7)] if bracketed else [])
    assert sleeps == [3] and device._cached_sampling_rate_for_teds is None
    assert module_log()[-1] == (logging.DEBUG, "Post-TEDS operations: sampling rate restored")


def converter(o1=500, f1=900, load1=(0.0, 2.0), directions=0, o2=0, f2=0, load2=(0.0, 0.0)):
    c = vdc.ADCConverter()
    c.direction_1_offset_value, c.direction_1_fullscale_value = o1, f1
    c.direction_1_offset_load, c.direction_1_fullscale_load = load1
    c.direction_2_offset_value, c.direction_2_fullscale_value = o2, f2
    c.direction_2_offset_load, c.direction_2_fullscale_load = load2
    c.number_of_directions, c.number_of_loading_points, c.midpoint_offset = directions, 5, 123.0
    return c


def record(max_electrical=1.5, reverse_max_electrical=None):
    r = vdc.TEDSData()
    r.max_capacity, r.max_electrical = 100.0, max_electrical
    if reverse_max_electrical is not None:
        r.reverse_scaling_enabled, r.reverse_max_electrical = True, reverse_max_electrical
    return r


ONE = dict(zip(CONVERTER_FIELDS, (2, 0.0, 100.0, 500.0, 800.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0, 0.0)))
TWO = {**ONE, "direction_2_offset_value": 500.0, "direction_2_fullscale_value": 250.0,
       "direction_2_fullscale_load": 100.0, "number_of_directions": 1}


@pytest.mark.parametrize("instrument, teds, expected", [
    (converter(), record(), ONE),
    (converter(directions=1), record(reverse_max_electrical=1.25), TWO),
    (converter(o2=500, f2=100, load2=(0.0, 2.0)), record(reverse_max_electrical=1.25), TWO),
    (converter(o2=500, f2=900, load2=(2.0, 0.0)), record(reverse_max_electrical=1.25), TWO),
    (converter(load2=(1.0, 1.0)), record(), ONE),  # direction 2 not read
    (converter(directions=1), record(1.2345, 2.5175),
     {**TWO, "direction_1_fullscale_value": 746.0, "direction_2_fullscale_value": -3.0}),
    (converter(f1=100), record(), {**ONE, "direction_1_fullscale_value": 200.0}),  # a falling line keeps its sign
])
def test_teds_calibration(fake_serial, orvale, module_log, instrument, teds, expected):
    device, port = orvale
    profiles = []
    device.communication_interface.load_adc_converter = lambda profile: profiles.append(profile) or instrument
    assert device._load_teds_calibration_hda640(teds, profile=2) is None and profiles == [2]
    assert type(device.adc_converter) is vdc.ADCConverter and fields_of(device.adc_converter) == expected
    assert module_log() == [
        (logging.DEBUG, "Loading TEDS calibration for HDA640 (profile 2)"),
        (logging.INFO, f"TEDS calibration loaded: 0.0 to 100.0, Reverse scaling: {teds.reverse_scaling_enabled}")]
    port.instrument.set_signal(1, 650)
    if expected is ONE:
        assert device.get_reading(1) == pytest.approx(50.0)  # 150 of the 300 counts to full scale


def failing_load(profile):
    raise vdc.VelmoTimeoutError("No response received within 0.2s timeout")


@pytest.mark.parametrize("load, teds, cause", [
    (lambda p: converter(load1=(1.0, 1.0)), record(), ZeroDivisionError),
    (lambda p: converter(load2=(2.0, 2.0)), record(reverse_max_electrical=1.0), ZeroDivisionError),
    (failing_load, record(), vdc.VelmoTimeoutError),
    (lambda p: converter(), type("Odd", (), {"min_capacity": "zero"})(), TypeError),
    (lambda p: converter(), record(max_electrical=float("inf")), OverflowError),
])
def test_teds_calibration_failures_keep_the_calibration(orvale, module_log, load, teds, cause):
    device = orvale[0]
    calibration = device.adc_converter
    device.communication_interface.load_adc_converter = load
    with pytest.raises(vdc.VelmoCalibrationError) as info:
        device._load_teds_calibration_hda640(teds, 0)
    error = info.value.__cause__
    assert type(error) is cause and str(info.value) == f"Error loading TEDS calibration: {error}"
    assert module_log()[-1] == (logging.ERROR, f"Failed to load TEDS calibration: {error}")
    assert device.adc_converter is calibration
