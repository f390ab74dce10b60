"""Serial link: parameter requests, the sampling-rate guard and calibration loading."""

import logging
import struct

import pytest

import velmo_device_communication as vdc
from conftest import fault_command, frame
from velmo.simulator import LoadingPoint, Profile

RATE = 2_000_000
POINT_COUNT_QUERY = (3, 23)
LOAD_QUERY = (3, 24)
COUNT_QUERY = (3, 25)
DIRECTIONS_QUERY = (3, 11)


def connect(fake_serial, name="COM3", model="HDA640", **options):
    script = fake_serial.add_port(name, model, **options)
    link = vdc._SerialCommunicationInterface(name, script.baud_rate, 0.2)
    link.connect()
    fake_serial.calls.clear()
    return link, script


def written(fake_serial):
    """(high, low, argument bytes...) of every frame written since the last clear."""
    frames = fake_serial.frames_written()
    for f in frames:
        assert f == frame(*f[2:-1])  # length byte and checksum are right
    return [tuple(f[2:-1]) for f in frames]


def calibration(points_per_direction, directions=1):
    """A profile whose point i has load 10 * i and count 1000 + i."""
    points = [LoadingPoint(10.0 * i, 1000 + i) for i in range(2 * points_per_direction)]
    return Profile(points=points, direction_code=directions)


@pytest.fixture
def link(fake_serial, module_log):
    link, _ = connect(fake_serial)
    module_log.clear()
    return link


@pytest.mark.parametrize(
    "operation, args, sent, answer_size",
    [
        ("set_adc_of_loading_point", (0, 1, 1000), (4, 25, 0x00, 0x01, 0x00, 0x00, 0x03, 0xE8), 5),
        ("set_load_of_loading_point", (0, 1, 1.0), (4, 24, 0x00, 0x01, 0x00, 0x00, 0x80, 0x3F), 5),
        ("set_streaming_state", (True,), (0, 12, 1), 5),
        ("set_streaming_state", (0,), (0, 12, 0), 5),
        ("set_number_of_directions", (2, False), (4, 11, 2, 0), 5),
        ("set_unit_of_measure", (1, 26), (4, 12, 1, 26), 5),
        ("set_device_channel_selected_profile", (2, 3), (2, 10, 2, 3), 5),
        ("get_ndr", (3,), (0, 5, 3), 9),
        ("get_board_temperature", (), (0, 7), 9),
        ("get_instrument_serial_number", (), (1, 0), 9),
        ("get_sensor_serial_number", (2,), (3, 0, 2), 9),
        ("get_number_of_loading_points", (1,), (3, 23, 1), 6),
        ("get_load_of_loading_point", (1, 4), (3, 24, 1, 4), 9),
        ("get_loading_point_value", (1, 4), (3, 25, 1, 4), 9),
        ("get_number_of_directions", (3,), (3, 11, 3), 6),
        ("get_sampling_rate", (1,), (3, 30, 1), 6),
        ("get_device_channel_selected_profile", (2,), (1, 10, 2), 6),
        ("get_unit_of_measure", (1,), (3, 12, 1), 6),
    ],
)
def test_frame_and_answer_size(fake_serial, link, operation, args, sent, answer_size):
    getattr(link, operation)(*args)
    assert written(fake_serial) == [sent]
    assert [c.argument for c in fake_serial.calls_named("read")] == [answer_size]


@pytest.mark.parametrize(
    "operation, args, error",
    [
        ("get_ndr", (256,), ValueError),
        ("get_ndr", (-1,), ValueError),
        ("get_load_of_loading_point", (0, "1"), TypeError),
        ("set_adc_of_loading_point", (0, 1, -1), OverflowError),
        ("set_adc_of_loading_point", (0, 1, 2**32), OverflowError),
        ("set_load_of_loading_point", (0, 1, "1.0"), struct.error),
        ("set_load_of_loading_point", (0, 1, 1e39), OverflowError),
        ("set_number_of_directions", (0, 300), ValueError),
    ],
)
def test_bad_arguments_fail_before_anything_is_sent(fake_serial, link, operation, args, error):
    with pytest.raises(error):
        getattr(link, operation)(*args)
    assert fake_serial.calls == []


@pytest.mark.parametrize(
    "model, item_number, code, refused",
    [
        ("HDA640", None, 15, True),
        ("HDA640", "QKT08812", 15, False),
        ("HDA640", "QKT08813", 15, True),
        ("HDA640", None, 14, False),
        ("RPX310", None, 7, False),
        ("GLS870", None, 0, False),
    ],
)
def test_sampling_rate_guard(fake_serial, module_log, model, item_number, code, refused):
    link, script = connect(fake_serial, model=model, item_number=item_number)
    module_log.clear()
    if refused:
        with pytest.raises(vdc.VelmoInvalidParameterError) as info:
            link.set_sampling_rate(0, code)
        assert str(info.value) == "Sampling rate 38400 SPS is not available for HDA640 Zeph"
        assert module_log() == [(logging.ERROR, "Sampling rate 15 not supported for HDA640 Zeph")]
        assert written(fake_serial) == [(1, 2), (1, 1)]
        assert script.instrument.profiles[0].rate_code != code
    else:
        assert link.set_sampling_rate(0, code) is None
        assert written(fake_serial) == [(1, 2), (1, 1), (4, 30, 0, code)]
        assert script.instrument.profiles[0].rate_code == code
        assert module_log() == []


def test_sampling_rate_guard_ignores_the_model_elsewhere(fake_serial, sleeps):
    # A TMV520 has no code 15 and stays silent, but the host must still send it.
    link, _ = connect(fake_serial, model="TMV520")
    with pytest.raises(vdc.VelmoTimeoutError):
        link.set_sampling_rate(2, 15)
    assert written(fake_serial) == [(1, 2), (1, 1)] + [(4, 30, 2, 15)] * 3


def test_sampling_rate_guard_reads_the_item_number_afresh(fake_serial):
    link, script = connect(fake_serial, item_number="QKT08812")
    script.instrument.item_number = "SIM-HDA640"
    with pytest.raises(vdc.VelmoInvalidParameterError):
        link.set_sampling_rate(0, 15)
    script.instrument.item_number = "QKT08812"
    link._cached_item_number = "SIM-HDA640"
    link.set_sampling_rate(0, 15)
    assert script.instrument.profiles[0].rate_code == 15


def expected_point_reads(profile, n):
    reads = []
    for first, last in ((0, n - 1), (n, 2 * n - 1)):
        reads += [(*LOAD_QUERY, profile, first), (*LOAD_QUERY, profile, last),
                  (*COUNT_QUERY, profile, first), (*COUNT_QUERY, profile, last)]
    return [(*POINT_COUNT_QUERY, profile)] + reads + [(*DIRECTIONS_QUERY, profile)]


@pytest.mark.parametrize("n", [1, 3, 21])
@pytest.mark.parametrize("directions", [0, 1])
def test_load_adc_converter(fake_serial, module_log, n, directions):
    profiles = [calibration(5), calibration(n, directions)]
    link, _ = connect(fake_serial, profiles=profiles)
    module_log.clear()
    converter = link.load_adc_converter(1)
    assert written(fake_serial) == expected_point_reads(1, n)
    assert module_log() == [(logging.DEBUG, "Loaded ADC converter for profile 1")]
    assert converter.number_of_loading_points == n
    assert converter.number_of_directions == directions
    ends = {"1_offset": 0, "1_fullscale": n - 1, "2_offset": n, "2_fullscale": 2 * n - 1}
    for end, index in ends.items():
        load, count = (getattr(converter, f"direction_{end}_{kind}") for kind in ("load", "value"))
        assert (load, count) == (10.0 * index, 1000.0 + index), end
    assert (converter.scale_factor, converter.offset) == (1.0, 0.0)
    assert converter.midpoint_offset == 1000 - (1000 - (1000 + n)) * 0.5
    assert link.load_adc_converter(1) is not converter


@pytest.mark.parametrize("n", [0, 22])
def test_load_adc_converter_rejects_the_point_count(fake_serial, module_log, n):
    link, _ = connect(fake_serial, profiles=[calibration(n)])
    module_log.clear()
    with pytest.raises(vdc.VelmoCalibrationError) as info:
        link.load_adc_converter(0)
    assert str(info.value) == f"Invalid number of loading points: {n}"
    assert written(fake_serial) == [(*POINT_COUNT_QUERY, 0)]
    assert module_log() == []


@pytest.mark.parametrize(
    "spoil, error, message",
    [
        (lambda script: fault_command(script, *COUNT_QUERY, "drop_next"),
         vdc.VelmoTimeoutError, "No response received within 0.2s timeout"),
        (lambda script: script.faults.cut_next(3),
         vdc.VelmoCommunicationError, "Incomplete response: expected 6 bytes, got 3"),
    ],
)
def test_load_adc_converter_passes_link_failures_through(fake_serial, sleeps, spoil, error, message):
    link, script = connect(fake_serial)
    spoil(script)
    with pytest.raises(vdc.VelmoDeviceError) as info:
        link.load_adc_converter(0)
    assert type(info.value) is error and str(info.value) == message


def test_load_adc_converter_reports_a_bad_checksum_as_calibration_error(fake_serial, module_log):
    link, script = connect(fake_serial)
    fault_command(script, *LOAD_QUERY, "corrupt_next_checksum")
    module_log.clear()
    with pytest.raises(vdc.VelmoCalibrationError) as info:
        link.load_adc_converter(0)
    assert str(info.value) == "Error loading calibration data: Invalid checksum in response"
    assert type(info.value.__cause__) is vdc.VelmoProtocolError
    assert module_log() == [
        (logging.ERROR, "Checksum mismatch"),
        (logging.ERROR, "Failed to load ADC converter: Invalid checksum in response"),
    ]


def test_load_adc_converter_reads_through_overridden_methods(fake_serial):
    class TableLink(vdc._SerialCommunicationInterface):
        def get_load_of_loading_point(self, profile_number, point_index):
            return 500.0 + point_index

    fake_serial.add_port("COM3")
    link = TableLink("COM3", RATE, 0.2)
    link.connect()
    fake_serial.calls.clear()
    converter = link.load_adc_converter(0)
    assert (converter.direction_1_fullscale_load, converter.direction_2_fullscale_load) == (504.0, 509.0)
    assert all(f[:2] != LOAD_QUERY for f in written(fake_serial))
