"""Discovery, readings and streaming against simulated instruments on pseudo-terminals."""

import contextlib
import time

import pytest

import velmo_device_communication as vdc
from velmo.line import stop_stream
from velmo.simulator import COUNTS_PER_UNIT, ZERO_COUNT, SimulatedInstrument, ramp

RATES = vdc.HDA640SamplingRateEnum
PARSER = vdc.StreamDataConverter


@contextlib.contextmanager
def discovered(*simulators, models=None):
    """The devices that discovery returns for these simulators; disconnected afterwards."""
    with contextlib.ExitStack() as stack:
        for simulator in simulators:
            stack.enter_context(simulator.visible_to_discovery())
        devices = vdc.VelmoSerialScanner.discover_devices(models, [s.port for s in simulators])
    try:
        yield devices
    finally:
        for device in devices:
            device.disconnect()


@pytest.fixture
def hda():
    with SimulatedInstrument("HDA640") as simulator:
        yield simulator


def test_discovers_instruments_at_their_rates(hda):
    # The RPX310 must first stay silent at 2000000 baud: the one slow case here.
    with SimulatedInstrument("RPX310") as rpx, discovered(hda, rpx) as devices:
        assert [d.communication_interface.comport for d in devices] == [hda.port, rpx.port]
        assert [d.get_model_number() for d in devices] == ["HDA640", "RPX310"]
        assert [d.communication_interface.baud_rate for d in devices] == [2_000_000, 320_000]
        for device, instrument in zip(devices, (hda.instrument, rpx.instrument)):
            assert device.get_reading() == pytest.approx(instrument.expected_load(instrument.live_count(0)))
        # The failed probe of the RPX310 was closed; the kept links are still open.
        assert (hda.hangups, rpx.hangups) == (0, 1)


@pytest.mark.parametrize("channel, units", [(0, 100), (2, -350), (3, 777)])
def test_reading_matches_the_instrument_calibration(hda, channel, units):
    count = ZERO_COUNT + units * COUNTS_PER_UNIT
    hda.instrument.set_signal(channel, count)
    with discovered(hda, models=["HDA640"]) as [device]:
        # Every channel is converted with the calibration of channel 0's profile.
        assert device.get_reading(channel) == pytest.approx(hda.instrument.expected_load(count, channel=0))
        assert device.get_reading(channel) == pytest.approx(units)


def test_with_block_closes_the_port(hda):
    with discovered(hda, models=["hda640"]) as [device]:
        with device:
            assert device.get_model_number() == "HDA640"
            assert not hda.host_closed.is_set()
        assert hda.host_closed.wait(2)
        assert hda.hangups == 1
        assert device.communication_interface.serial_connection is None


def stream(device, parser, seconds):
    """Stream for `seconds`, parse chunk by chunk, then switch off; the parsed readings."""
    readings, remainder = [], bytearray()
    device.set_stream_state(True)
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        time.sleep(0.01)
        result = parser(remainder + device.get_stream_data(), device.adc_converter)
        readings += result.readings
        remainder = result.remainder
    stop_stream(device.communication_interface)
    return readings


@pytest.mark.parametrize(
    "item_number, rate, samples_per_second, parser, count_step",
    [
        # The step per sample exceeds the resolution of the packet, so no two packets are equal.
        (None, RATES.SPS_1200, 1200, PARSER.convert_stream_data_to_reading, 3 << 8),
        ("QKT08812", RATES.SPS_38400, 38400, PARSER.convert_stream_data_to_reading_38_kHz, 3 << 16),
    ],
    ids=["standard", "38 kHz"],
)
def test_streamed_counts_arrive_complete_and_in_order(item_number, rate, samples_per_second, parser, count_step):
    with SimulatedInstrument("HDA640", item_number=item_number) as sim, discovered(sim) as [device]:
        sim.instrument.set_signal(0, ramp(ZERO_COUNT, count_step * samples_per_second))
        device.set_sampling_rate(rate)
        readings = stream(device, parser, 0.4)
        sent = sim.streamed_counts
        counts = [r.adc_value for r in readings]
        assert len(counts) > 10
        # Packets still on the line when the stream was switched off are discarded by
        # that command; everything read before must be exactly what was sent.
        assert counts == sent[:len(counts)]
        for reading in readings[:: max(1, len(readings) // 20)]:
            assert reading.calibrated_value == pytest.approx(sim.instrument.expected_load(reading.adc_value))
        assert device.get_stream_data() == b""
