"""The device's TEDS half over a scripted port: support, AutoTEDS versions, loading and calibration."""

import logging

import pytest

import velmo_device_communication as vdc
from conftest import fault_command
from velmo.simulator import ORVALE_ITEM_NUMBER, TEDSSensor

SENSOR = TEDSSensor(serial_number=4711, engineering_unit=11, max_capacity=250.0, max_electrical=0.0015)
NO_RECORD = "No TEDS data loaded. Ensure TEDS sensor is connected and AutoTEDS is enabled."
LOADED = [
    (logging.INFO, "AutoTEDS enabled - automatically loading TEDS calibration"),
    (logging.INFO, "Reloading TEDS data from sensor"),
    (logging.INFO, "TEDS data loaded: SN=4711, Template=33, Max Capacity=250.0"),
    (logging.INFO, "TEDS calibration loaded: 0.0 to 250.0, Reverse scaling: False"),
]
CONVERTER_FIELDS = (
    "number_of_loading_points", "direction_1_offset_load", "direction_1_fullscale_load",
    "direction_1_offset_value", "direction_1_fullscale_value", "direction_2_offset_load",
    "direction_2_fullscale_load", "direction_2_offset_value", "direction_2_fullscale_value",
    "scale_factor", "offset", "number_of_directions", "midpoint_offset",
)


def sent(fake_serial):
    return [tuple(f[2:-1]) for f in fake_serial.frames_written()]


def commands_sent(fake_serial):
    return [f[:2] for f in sent(fake_serial)]


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


@pytest.fixture
def device(orvale):
    return orvale[0]


def test_supports_teds_asks_once(fake_serial, device):
    assert device.supports_teds() is True
    assert device.supports_teds() is True
    assert sent(fake_serial) == [(1, 1), (1, 2)]
    assert (device._model_number, device._item_number) == ("HDA640", ORVALE_ITEM_NUMBER)


@pytest.mark.parametrize("model, item_number", [("RPX310", "SIM-RPX310"), ("HDA640", "QKT08813")])
def test_unsupported_instruments(fake_serial, module_log, model, item_number):
    device, _ = make_device(fake_serial, model, item_number=item_number, sensor=SENSOR)
    assert device.supports_teds() is False
    assert device._item_number == item_number
    for call in (device.teds_is_connected, device.get_auto_teds, lambda: device.set_auto_teds(True),
                 device.reload_teds_data):
        fake_serial.calls.clear()
        with pytest.raises(vdc.VelmoTEDSNotSupportedError) as info:
            call()
        assert str(info.value) == f"TEDS is not supported on {model}"
        assert sent(fake_serial) == [(1, 1)]  # only the fresh model query of the message
    module_log.clear()
    device.initialize_teds()
    assert module_log() == [(logging.DEBUG, "Device does not support TEDS - skipping TEDS initialization")]


def test_item_number_query_failure_counts_as_unsupported(fake_serial, orvale, sleeps):
    device, port = orvale
    fault_command(port, 1, 2, "drop_next")
    assert device.supports_teds() is False
    assert device._item_number == ""
    fake_serial.calls.clear()
    assert device.supports_teds() is False
    assert fake_serial.frames_written() == []


@pytest.mark.parametrize("getter", ["get_teds_template", "get_teds_serial_number", "get_teds_engineering_unit",
                                    "get_teds_max_capacity"])
def test_record_getters_need_a_record(fake_serial, device, getter):
    with pytest.raises(vdc.VelmoTEDSNotConnectedError) as info:
        getattr(device, getter)()
    assert str(info.value) == NO_RECORD
    assert fake_serial.frames_written() == []


@pytest.mark.parametrize("code, text", [(4, "N"), (0, "°K"), (2, "Unknown (2)"), (63, "Unknown (63)")])
def test_engineering_unit_text(device, code, text):
    device._teds_data = vdc.TEDSData()
    device._teds_data.engineering_unit = code
    assert device.get_teds_engineering_unit() == text


@pytest.mark.parametrize(
    "version, uses_v1",
    [("04.03.02", True), ("4.3.2", True), ("04.03.01", False), ("04.04.00", True), ("05.00.00", True),
     ("3.9.9", False), ("4", False), ("4.3", False), (" 4. 3.10", True), ("4.3.2.9", True), ("0.0.0", False)],
)
def test_auto_teds_version_decision(fake_serial, device, module_log, version, uses_v1):
    device._firmware_version = version
    assert device._should_use_auto_teds_v1() is uses_v1
    assert fake_serial.frames_written() == [] and module_log() == []


@pytest.mark.parametrize("version", ["4.3.x", "", "5.x"])
def test_unparsable_firmware_version(device, module_log, version):
    device._firmware_version = version
    assert device._should_use_auto_teds_v1() is False
    [(level, message)] = module_log()
    assert level == logging.WARNING and message.startswith(f"Failed to parse firmware version '{version}': ")
    assert "invalid literal for int()" in message


@pytest.mark.parametrize("firmware, command", [((4, 3, 2), (1, 34)), ((4, 3, 1), (1, 33)), ((5, 0, 0), (1, 34))])
def test_get_auto_teds_uses_the_firmware_command(fake_serial, orvale, module_log, firmware, command):
    device, port = orvale
    port.instrument.firmware = firmware
    port.instrument.auto_teds = True
    assert device.get_auto_teds() is True
    assert device.get_auto_teds() is True
    assert commands_sent(fake_serial) == [(1, 1), (1, 2), (1, 4), command, command]
    version = "%02d.%02d.%02d" % firmware
    assert device._firmware_version == version
    assert [r for r in module_log() if "firmware" in r[1]] == [(logging.DEBUG, f"Retrieved firmware version: {version}")]


def test_firmware_query_failure_assumes_the_old_commands(fake_serial, orvale, module_log, sleeps):
    device, port = orvale
    port.instrument.firmware = (4, 3, 1)
    fault_command(port, 1, 4, "drop_next")
    assert device.get_auto_teds() is False
    assert device._firmware_version == "0.0.0"
    warnings = [m for level, m in module_log() if level == logging.WARNING and "firmware" in m]
    assert warnings == ["Failed to retrieve firmware version: No response received within 0.2s timeout, "
                        "assuming old version"]
    fake_serial.calls.clear()
    assert device._should_use_auto_teds_v1() is False
    assert fake_serial.frames_written() == []


def test_initialize_loads_record_and_calibration(fake_serial, orvale, module_log):
    device, port = orvale
    device.initialize_teds()
    assert [r for r in module_log() if r[0] >= logging.INFO] == LOADED
    assert (device.get_teds_serial_number(), device.get_teds_template(), device.get_teds_engineering_unit(),
            device.get_teds_max_capacity()) == ("4711", 33, "in-oz", 250.0)
    assert device._teds_data.raw_data == SENSOR.image()
    reads = commands_sent(fake_serial)
    assert reads.count((1, 30)) == 32 and reads.count((1, 31)) == 1
    converter = device.adc_converter
    assert (converter.direction_1_fullscale_load, converter.number_of_directions) == (250.0, 0)


@pytest.mark.parametrize(
    "setup, records",
    [
        ("auto_teds_off", [(logging.DEBUG, "AutoTEDS is disabled - TEDS data will not be auto-loaded")]),
        ("no_sensor", [(logging.WARNING, "AutoTEDS enabled but no TEDS sensor connected")]),
        ("auto_teds_silent", [
            (logging.WARNING, "Failed to auto-load TEDS data during initialization: "
                              "No response received within 0.2s timeout"),
            (logging.WARNING, "Device will use manual calibration")]),
    ],
)
def test_initialize_stops_early(fake_serial, orvale, module_log, sleeps, setup, records):
    device, port = orvale
    device._firmware_version = "4.3.2"
    calibration = device.adc_converter
    if setup == "auto_teds_off":
        port.instrument.auto_teds_v1 = False
    elif setup == "no_sensor":
        port.instrument.detach_sensor()
    else:
        fault_command(port, 1, 34, "drop_next")
    device.initialize_teds()
    retries = (logging.WARNING, "Attempting Retry")
    assert [r for r in module_log() if (r[0] == logging.WARNING and r != retries) or "AutoTEDS" in r[1]] == records
    assert device.adc_converter is calibration and device._teds_data is None
    assert (1, 32) not in commands_sent(fake_serial) or setup == "no_sensor"


def test_switching_auto_teds_off_reverts_to_the_instrument_calibration(fake_serial, orvale, module_log):
    device, port = orvale
    device.initialize_teds()
    instrument_calibration = fields_of(device.get_adc_for_profile(0))
    fake_serial.calls.clear()
    module_log.clear()
    device.set_auto_teds(False)
    frames = sent(fake_serial)
    assert frames[:2] == [(2, 34, 0), (1, 10, 0)] and frames[2][:2] == (3, 23)
    assert port.instrument.auto_teds_v1 is False
    assert device._teds_data is None
    assert fields_of(device.adc_converter) == instrument_calibration
    assert module_log()[-1] == (logging.INFO, "AutoTEDS disabled - reverted to manual calibration")
    with pytest.raises(vdc.VelmoTEDSNotConnectedError, match=NO_RECORD):
        device.get_teds_serial_number()


def test_switching_auto_teds_on_reloads(fake_serial, orvale, module_log):
    device, port = orvale
    port.instrument.auto_teds_v1 = False
    device.set_auto_teds(1)
    assert port.instrument.auto_teds_v1 is True
    assert device.get_teds_serial_number() == "4711"
    assert [r for r in module_log() if r[0] >= logging.INFO] == LOADED[1:]


def test_switching_on_with_empty_laser_data_keeps_the_calibration(orvale, module_log):
    device, port = orvale
    calibration = device.adc_converter
    device.communication_interface.get_teds_laser = lambda: None  # all-zero laser data
    device.set_auto_teds(True)
    assert port.instrument.auto_teds_v1 is True
    assert module_log()[-1] == (
        logging.ERROR, "Error loading teds Failed to read TEDS template - sensor may be disconnected")
    assert device.adc_converter is calibration and device._teds_data is None


def test_reload_without_a_sensor_reads_nothing(fake_serial, orvale):
    device, port = orvale
    port.instrument.detach_sensor()
    with pytest.raises(vdc.VelmoTEDSNotConnectedError, match="^No TEDS sensor connected to device$"):
        device.reload_teds_data()
    assert commands_sent(fake_serial) == [(1, 1), (1, 2), (1, 32)]


def test_reload_keeps_the_record_when_the_calibration_fails(orvale, module_log):
    device, _ = orvale
    calibration = device.adc_converter
    device.communication_interface.load_adc_converter = lambda profile: 1 / 0
    device.reload_teds_data()
    assert device._teds_data.serial_number == "4711" and device.adc_converter is calibration
    assert module_log()[-1] == (
        logging.ERROR, "Error loading teds Error loading TEDS calibration: division by zero")


def test_rate_bracket_around_teds_work(fake_serial, device, module_log, sleeps):
    profile = device.get_device_channel_selected_profile(0)
    device.set_sampling_rate_value(7)
    fake_serial.calls.clear()
    device.pre_teds_operations()
    assert device._cached_sampling_rate_for_teds == 7
    assert sleeps == []
    device.post_teds_operations()
    assert sleeps == [3]
    writes = [f for f in sent(fake_serial) if f[:2] == (4, 30)]
    assert writes == [(4, 30, profile, 0), (4, 30, profile, 7)]
    assert device._cached_sampling_rate_for_teds is None
    assert module_log() == [
        (logging.DEBUG, "Pre-TEDS operations: sampling rate cached and set to 2.5 SPS"),
        (logging.DEBUG, "Post-TEDS operations: sampling rate restored"),
    ]


def test_post_teds_without_pre_only_waits(fake_serial, device, module_log, sleeps):
    device.post_teds_operations()
    assert sleeps == [3] and fake_serial.frames_written() == []
    assert module_log() == [(logging.DEBUG, "Post-TEDS operations: sampling rate restored")]


# -- the TEDS-derived calibration -----------------------------------------------------------


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
    r.min_capacity, r.max_capacity, r.max_electrical = 0.0, 100.0, max_electrical
    if reverse_max_electrical is not None:
        r.reverse_scaling_enabled, r.reverse_max_electrical = True, reverse_max_electrical
    return r


ONE_DIRECTION = {
    "number_of_loading_points": 2, "direction_1_offset_load": 0.0, "direction_1_fullscale_load": 100.0,
    "direction_1_offset_value": 500.0, "direction_1_fullscale_value": 800.0, "direction_2_offset_load": 0.0,
    "direction_2_fullscale_load": 0.0, "direction_2_offset_value": 0.0, "direction_2_fullscale_value": 0.0,
    "scale_factor": 1.0, "offset": 0.0, "number_of_directions": 0, "midpoint_offset": 0.0,
}
TWO_DIRECTIONS = {**ONE_DIRECTION, "direction_2_offset_value": 500.0, "direction_2_fullscale_value": 250.0,
                  "direction_2_fullscale_load": 100.0, "number_of_directions": 1}


@pytest.mark.parametrize(
    "instrument, teds, expected",
    [
        (converter(), record(), ONE_DIRECTION),
        (converter(directions=1), record(reverse_max_electrical=1.25), TWO_DIRECTIONS),
        (converter(o2=500, f2=100, load2=(0.0, 2.0)), record(reverse_max_electrical=1.25), TWO_DIRECTIONS),
        (converter(o2=500, f2=900, load2=(2.0, 0.0)), record(reverse_max_electrical=1.25), TWO_DIRECTIONS),
        (converter(load2=(1.0, 1.0)), record(), ONE_DIRECTION),  # direction 2 not read
        (converter(directions=1), record(1.2345, 2.5175),
         {**TWO_DIRECTIONS, "direction_1_fullscale_value": 746.0, "direction_2_fullscale_value": -3.0}),
        (converter(o1=500, f1=100), record(),
         {**ONE_DIRECTION, "direction_1_fullscale_value": 200.0}),  # a falling line keeps its sign
    ],
)
def test_teds_calibration(device, module_log, instrument, teds, expected):
    profiles = []
    device.communication_interface.load_adc_converter = lambda profile: profiles.append(profile) or instrument
    assert device._load_teds_calibration_hda640(teds, profile=2) is None
    assert profiles == [2]
    assert type(device.adc_converter) is vdc.ADCConverter and device.adc_converter is not instrument
    assert fields_of(device.adc_converter) == expected
    assert module_log() == [
        (logging.DEBUG, "Loading TEDS calibration for HDA640 (profile 2)"),
        (logging.INFO, f"TEDS calibration loaded: 0.0 to 100.0, Reverse scaling: {teds.reverse_scaling_enabled}"),
    ]


def test_readings_use_the_teds_calibration(fake_serial, device):
    device.communication_interface.load_adc_converter = lambda profile: converter()
    device._load_teds_calibration_hda640(record(), 0)
    fake_serial.ports["COM3"].instrument.set_signal(1, 650)
    assert device.get_reading(1) == pytest.approx(50.0)  # 150 counts of the 300 to full scale


def failing_load(profile):
    raise vdc.VelmoTimeoutError("No response received within 0.2s timeout")


@pytest.mark.parametrize(
    "load, teds, cause",
    [
        (lambda p: converter(load1=(1.0, 1.0)), record(), ZeroDivisionError),
        (lambda p: converter(load2=(2.0, 2.0)), record(reverse_max_electrical=1.0), ZeroDivisionError),
        (failing_load, record(), vdc.VelmoTimeoutError),
        (lambda p: converter(), type("Odd", (), {"min_capacity": "zero"})(), TypeError),
        (lambda p: converter(), type("Huge", (), {"min_capacity": 0.0, "max_electrical": float("inf")})(),
         OverflowError),
    ],
)
def test_teds_calibration_failures_keep_the_calibration(device, module_log, load, teds, cause):
    calibration = device.adc_converter
    device.communication_interface.load_adc_converter = load
    with pytest.raises(vdc.VelmoCalibrationError) as info:
        device._load_teds_calibration_hda640(teds, 0)
    error = info.value.__cause__
    assert type(error) is cause
    assert str(info.value) == f"Error loading TEDS calibration: {error}"
    assert module_log()[-1] == (logging.ERROR, f"Failed to load TEDS calibration: {error}")
    assert device.adc_converter is calibration
