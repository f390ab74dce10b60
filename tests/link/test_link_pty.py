"""Serial link against a simulated instrument on a pseudo-terminal, through real pyserial."""

import logging
import threading
import time

import pytest

import velmo_device_communication as vdc
from velmo.simulator import COUNTS_PER_UNIT, ZERO_COUNT, SimulatedInstrument

TIMEOUT = 0.2


def open_link(sim, timeout=TIMEOUT):
    link = vdc._SerialCommunicationInterface(sim.port, sim.baud_rate, timeout)
    link.connect()
    return link


@pytest.fixture
def sim():
    with SimulatedInstrument("HDA640") as simulator:
        yield simulator


@pytest.fixture
def link(sim):
    link = open_link(sim)
    yield link
    link.disconnect()


@pytest.mark.parametrize("model, item_number", [("HDA640", "QKT08812"), ("RPX310", "ITEM-7"), ("GLS870", None)])
def test_connect_caches_the_identity(model, item_number):
    with SimulatedInstrument(model, item_number=item_number) as simulator:
        link = open_link(simulator)
        assert link._cached_model_number == model
        assert link._cached_item_number == simulator.instrument.item_number
        link.disconnect()
        assert simulator.host_closed.wait(2)


@pytest.mark.parametrize(
    "setter, set_args, getter, get_args",
    [
        ("set_number_of_directions", (1, 0), "get_number_of_directions", (1,)),
        ("set_unit_of_measure", (2, 12), "get_unit_of_measure", (2,)),
        ("set_sampling_rate", (3, 9), "get_sampling_rate", (3,)),
        ("set_device_channel_selected_profile", (3, 2), "get_device_channel_selected_profile", (3,)),
        ("set_load_of_loading_point", (0, 1, -123.5), "get_load_of_loading_point", (0, 1)),
        ("set_adc_of_loading_point", (2, 7, 0xDEADBEEF), "get_loading_point_value", (2, 7)),
    ],
)
def test_set_then_get(link, setter, set_args, getter, get_args):
    value = set_args[-1]
    assert getattr(link, getter)(*get_args) != value
    assert getattr(link, setter)(*set_args) is None
    assert getattr(link, getter)(*get_args) == value


def test_plain_reads(sim, link):
    inst = sim.instrument
    assert link.get_model_number() == "HDA640"
    assert link.get_item_number() == inst.item_number
    assert link.get_instrument_serial_number() == inst.instrument_serial
    assert link.get_sensor_serial_number(2) == inst.profiles[2].sensor_serial
    assert link.get_board_temperature() == inst.board_temperature
    assert link.get_number_of_loading_points(0) == inst.profiles[0].points_per_direction
    assert [link.get_ndr(c) for c in range(4)] == [inst.live_count(c) for c in range(4)]


@pytest.mark.parametrize("profile, directions", [(0, 1), (3, 1), (1, 0)])
def test_loaded_calibration_matches_the_instrument(sim, link, profile, directions):
    link.set_number_of_directions(profile, directions)
    converter = link.load_adc_converter(profile)
    calibration = sim.instrument.profiles[profile]
    for units in (-900, -250, -1, 0, 1, 40, 999, 1500):
        count = ZERO_COUNT + units * COUNTS_PER_UNIT
        assert converter.convert_adc(count) == pytest.approx(calibration.expected_load(count)), units


def test_silent_instrument_times_out_after_three_attempts(sim, link, module_log):
    sim.silent = True
    frames_before = len(sim.frames_received)
    with pytest.raises(vdc.VelmoTimeoutError, match=r"^No response received within 0\.2s timeout$"):
        link.get_ndr(0)
    assert len(sim.frames_received) - frames_before == 3
    assert [m for _, m in module_log(logging.WARNING)].count("Attempting Retry") == 2
    sim.silent = False
    assert link.get_model_number() == "HDA640"  # the port stayed open


def test_unplugged_mid_transaction(sim):
    link = open_link(sim, timeout=2.0)
    sim.delay = 1.0  # the answer would come long after the cable is pulled
    threading.Timer(0.1, sim.unplug).start()
    with pytest.raises(vdc.VelmoCommunicationError) as info:
        link.get_ndr(0)
    assert isinstance(info.value.__cause__, Exception)
    assert link.serial_connection is not None
    with pytest.raises(vdc.VelmoCommunicationError):
        link.get_model_number()
    link.disconnect()
    assert link.serial_connection is None


def test_streamed_bytes_do_not_shift_answers(sim, link):
    # At 2.5 SPS a packet comes every 0.4 s: right after one has arrived, the
    # next cannot slip in between the discarding of input and the answer.
    link.set_sampling_rate(0, vdc.HDA640SamplingRateEnum.SPS_2_5.value)
    link.set_streaming_state(True)
    port = link.serial_connection
    try:
        deadline = time.monotonic() + 2
        while port.in_waiting == 0 and time.monotonic() < deadline:
            time.sleep(0.002)
        assert port.in_waiting > 0
        assert link.get_ndr(2) == sim.instrument.live_count(2)
        assert link.get_model_number() == "HDA640"
    finally:
        link.set_streaming_state(False)
    assert sim.streamed_counts
