"""The simulated TEDS sensor: its memory image, hot-plug and the firmware's AutoTEDS commands."""

import pytest

from conftest import frame as command
from velmo.simulator import ORVALE_ITEM_NUMBER, InstrumentModel, TEDSSensor
from velmo.simulator.command import serve, simulated


def payload(instrument, frame):
    answer = instrument.handle_frame(frame)
    return None if answer is None else answer[4:-1]


def stream_field(image, first, length):
    data = b"".join(image[page + 1:page + 32] for page in range(0, 512, 32))
    return sum(((data[(first + i) // 8] >> ((first + i) % 8)) & 1) << i for i in range(length))


def test_sensor_memory_holds_a_basic_teds_and_template_33():
    sensor = TEDSSensor(serial_number=0xABCDEF, manufacturer_id=0x3FFF, model_number=0x1234, version_letter="C",
                        version_number=9)
    image = sensor.image()
    fields = [(0, 14), (14, 15), (29, 5), (34, 6), (40, 24), (64, 2), (66, 8)]
    assert [stream_field(image, *field) for field in fields] == [0x3FFF, 0x1234, 3, 9, 0xABCDEF, 0, 33]
    assert all(sum(image[page:page + 32]) % 256 == 0 for page in range(0, 512, 32))
    assert sensor.laser()[0] == 33 and len(sensor.laser()) == 8
    assert sensor.reverse_scaling_enabled is False


@pytest.mark.parametrize("options", [{"serial_number": 2**24}, {"version_letter": "7"}, {"max_capacity": 1e39}])
def test_sensor_refuses_what_its_memory_cannot_hold(options):
    with pytest.raises((ValueError, OverflowError)):
        TEDSSensor(**options)
    with pytest.raises(ValueError):
        InstrumentModel("HDA640", ORVALE_ITEM_NUMBER, sensor=TEDSSensor(), teds_image=bytes(512))


def test_hot_plug():
    sensor = TEDSSensor(serial_number=99)
    instrument = InstrumentModel("HDA640", ORVALE_ITEM_NUMBER)
    assert payload(instrument, command(1, 32)) == b"\x00"
    assert payload(instrument, command(1, 31)) == bytes(8)
    assert payload(instrument, command(1, 30, 0)) is None
    instrument.attach_sensor(sensor)
    assert instrument.sensor is sensor
    assert payload(instrument, command(1, 32)) == b"\x01"
    assert payload(instrument, command(1, 31)) == sensor.laser()
    assert b"".join(payload(instrument, command(1, 30, page)) for page in range(16)) == sensor.image()
    instrument.detach_sensor()
    assert instrument.sensor is None
    assert payload(instrument, command(1, 32)) == b"\x00"
    assert payload(instrument, command(1, 30, 3)) is None


@pytest.mark.parametrize(
    "firmware, known, unknown",
    [((4, 3, 1), (33,), (34,)), ((4, 3, 2), (34,), (33,)), ((3, 9, 9), (33,), (34,)), ((5, 0, 0), (34,), (33,))],
)
def test_firmware_knows_one_auto_teds_pair(firmware, known, unknown):
    instrument = InstrumentModel("HDA640", ORVALE_ITEM_NUMBER, firmware, sensor=TEDSSensor())
    for low in known:
        assert payload(instrument, command(2, low, 1)) == b""
        assert payload(instrument, command(1, low)) == b"\x01"
    for low in unknown:
        assert instrument.handle_frame(command(2, low, 1)) is None
        assert instrument.handle_frame(command(1, low)) is None


@pytest.mark.parametrize(
    "argv, item_number, firmware, sensor, auto_teds",
    [
        ([], None, (4, 3, 2), False, False),
        (["--sensor", "--auto-teds", "--firmware", "4.3.1"], ORVALE_ITEM_NUMBER, (4, 3, 1), True, True),
        (["--sensor", "--item-number", "X1"], "X1", (4, 3, 2), True, False),
        (["--model", "RPX310", "--sensor"], None, (4, 3, 2), True, False),
        (["--model", "hda640", "--sensor"], ORVALE_ITEM_NUMBER, (4, 3, 2), True, False),
    ],
)
def test_command_line_options(argv, item_number, firmware, sensor, auto_teds):
    options = serve.make_context("velmo-simulator", argv).params
    del options["seconds"], options["replay"]
    with simulated(**options) as simulator:
        instrument = simulator.instrument
        assert (instrument.item_number, instrument.firmware, instrument.sensor is not None, instrument.auto_teds) == (
            item_number or f"SIM-{options['model']}", firmware, sensor, auto_teds)
