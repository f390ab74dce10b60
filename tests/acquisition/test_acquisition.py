"""velmo.acquisition: the queue against a scripted device, the whole road over pseudo-terminals."""

import array
import logging
import threading
import time

import pytest

import velmo_device_communication as vdc
from velmo import line
from velmo.acquisition import Acquisition, Chunk
from velmo.simulator import ZERO_COUNT, SimulatedInstrument, ramp
from velmo.simulator.protocol import ORVALE_ITEM_NUMBER

from support.scripted_device import ScriptedDevice, packets

RATES = vdc.HDA640SamplingRateEnum


def test_queue_keeps_the_newest_samples_and_reports_every_drop(caplog):
    caplog.set_level(logging.WARNING, logger="velmo.acquisition")
    # 1200 SPS and 0.1 s of buffer: room for 120 samples; 50 reads of 10 packets arrive at once.
    device = ScriptedDevice([packets(10 * i, 10) for i in range(50)] + [b"\x00\x01"])
    with Acquisition(device, buffer_seconds=0.1, poll_interval=0.001) as acquisition:
        assert device.drained.wait(5)
        chunk = acquisition.read(timeout=0)
        assert [c >> 8 for c in chunk.counts] == list(range(380, 500))
        assert chunk.t0 - acquisition.started_at == pytest.approx(380 / 1200) and chunk.interval == 1 / 1200
        assert chunk.index == 380
        assert acquisition.read(timeout=0.01) is None
    stats = acquisition.stats
    assert (stats.received, stats.dropped, stats.invalid, stats.bytes_read) == (500, 380, 0, 2002)
    warnings = [r.getMessage() for r in caplog.records]
    # At most one warning a second while it runs, and the rest when it closes: all 380 told.
    assert 1 <= len(warnings) <= 2 and warnings[-1].endswith("(380 in all)")
    assert device.calls == [("stream", True), ("stream", False)]


def test_invalid_packets_reach_the_next_chunk():
    garbage = b"\x07\x07\x07"
    # Three windows rejected in each read; the first read brings no sample at all.
    device = ScriptedDevice([garbage * 2, packets(0, 2), garbage + packets(2, 1)])
    with Acquisition(device, poll_interval=0.001) as acquisition:
        assert device.drained.wait(5)
    first = acquisition.read(timeout=0)
    assert (len(first), first.invalid, acquisition.stats.invalid) == (3, 9, 9)


@pytest.mark.parametrize("cause", [OSError(5, "Input/output error"), vdc.VelmoCommunicationError("not open")])
def test_lost_instrument_ends_iteration_after_the_samples(cause):
    device = ScriptedDevice([packets(0, 5), packets(5, 3), cause])
    with Acquisition(device, poll_interval=0.001) as acquisition:
        received = []
        with pytest.raises(vdc.VelmoConnectionError) as info:
            for chunk in acquisition:
                received += [c >> 8 for c in chunk.counts]
    assert received == list(range(8)) and info.value.__cause__ is cause
    # Switching off is still tried, and its failure does not hide the loss.
    assert device.calls == [("stream", True), ("stream", False)]


class StoppingLate(ScriptedDevice):
    """Streams on for `reads_after_stop` more reads after each stop command returned, as
    when the stop's answer was taken from packets still on the line; None: for ever."""

    def __init__(self, reads_after_stop):
        super().__init__([])
        self.reads_after_stop = reads_after_stop

    def set_stream_state(self, on):
        super().set_stream_state(on)
        if not on and self.reads_after_stop is not None:
            self.reads += [packets(0, 3)] * self.reads_after_stop

    def get_stream_data(self):
        if self.reads_after_stop is None and ("stream", False) in self.calls:
            return packets(0, 3)
        return super().get_stream_data()


def test_close_waits_until_the_line_is_silent_and_counts_what_it_discards():
    device = StoppingLate(2)
    with Acquisition(device, rate="SPS_2400") as acquisition:
        device.drained.wait(1)
    assert device.reads == []
    # The rate it set is put back once the stream is off.
    assert device.calls == [("rate", RATES.SPS_2400), ("stream", True), ("stream", False), ("rate value", 9)]
    assert device.rate_code == RATES.SPS_1200.value and acquisition.stats.discarded_at_stop == 6


def test_an_instrument_that_keeps_streaming_is_told_again_then_reported(monkeypatch):
    monkeypatch.setattr(line, "STOP_TIMEOUT", 0.2)
    device = StoppingLate(None)
    acquisition = Acquisition(device, rate="SPS_2400")
    acquisition.start()
    with pytest.raises(vdc.VelmoCommunicationError, match="^The instrument on scripted is still streaming after 3 stop"):
        acquisition.close()
    # The rate is left alone: an instrument that does not stop would not take it either.
    assert device.calls == [("rate", RATES.SPS_2400), ("stream", True)] + [("stream", False)] * 3


@pytest.mark.parametrize(
    "model, rate",
    [("RPX310", "SPS_38400"), ("RPX310", RATES.SPS_20), ("HDA640", "SPS_4"), ("HDA640", 15)],
)
def test_rate_of_another_model_is_refused(model, rate):
    device = ScriptedDevice([], model=model)
    allowed = "SPS_4, SPS_20, SPS_50" if model == "RPX310" else "SPS_2_5, SPS_5, SPS_10, SPS_16_6"
    with pytest.raises(ValueError, match=f"not a sampling rate of the {model}; allowed: {allowed}"):
        Acquisition(device, rate=rate)
    assert device.calls == []


# -- over pseudo-terminals -------------------------------------------------


def connect(simulator):
    with simulator.visible_to_discovery():
        [device] = vdc.VelmoSerialScanner.discover_devices(None, [simulator.port])
    return device


@pytest.mark.parametrize(
    "item_number, rate, samples_per_second, step",
    [(ORVALE_ITEM_NUMBER, "SPS_38400", 38400, 3 << 16), (None, None, 1200, 3 << 8)],
    ids=["38400 SPS by name", "1200 SPS in force"],
)
def test_counts_are_what_the_instrument_sent(item_number, rate, samples_per_second, step):
    with SimulatedInstrument("HDA640", item_number=item_number) as sim:
        sim.instrument.set_signal(0, ramp(ZERO_COUNT, step * samples_per_second))
        device = connect(sim)
        if rate is None:
            device.set_sampling_rate(RATES.SPS_1200)
        chunks = []
        with Acquisition(device, rate=rate) as acquisition:
            deadline = time.monotonic() + 0.5
            while time.monotonic() < deadline:
                chunks.append(acquisition.read(timeout=0.2))
                time.sleep(0.05)
        chunks += list(acquisition)  # what the last read before switching off brought
        chunks = [c for c in chunks if c is not None]
        counts = [c for chunk in chunks for c in chunk.counts]
        sent = sim.streamed_counts
        assert acquisition.rate.name == f"SPS_{samples_per_second}"
        # In order and without a gap; only what was on the line when the stream stopped is not read.
        assert len(counts) > samples_per_second * 0.3 and counts == sent[: len(counts)]
        assert len(sent) - len(counts) <= 4096 // (3 if samples_per_second == 38400 else 4)
        assert acquisition.stats.received == len(counts) and acquisition.stats.dropped == 0
        for before, after in zip(chunks, chunks[1:]):
            assert after.t0 - before.t0 == pytest.approx(len(before) / samples_per_second, abs=1e-6)
        assert chunks[0].loads[0] == pytest.approx(sim.instrument.expected_load(counts[0]))
        assert not sim.instrument.streaming and device.get_model_number() == "HDA640"
        device.disconnect()


def test_ctrl_c_in_the_consumer_leaves_the_port_usable():
    with SimulatedInstrument("HDA640") as sim:
        device = connect(sim)
        with pytest.raises(KeyboardInterrupt):
            with Acquisition(device, rate="SPS_4800") as acquisition:
                for _ in acquisition:
                    raise KeyboardInterrupt
        assert not any(t.name.startswith("velmo-acquisition") for t in threading.enumerate())
        assert not sim.instrument.streaming
        assert device.get_model_number() == "HDA640" and device.get_stream_data() == b""
        device.disconnect()


def test_unplugged_instrument_ends_the_iteration():
    with SimulatedInstrument("HDA640", item_number=ORVALE_ITEM_NUMBER) as sim:
        device = connect(sim)
        received = []
        with pytest.raises(vdc.VelmoConnectionError) as info:
            with Acquisition(device, rate=RATES.SPS_38400) as acquisition:
                threading.Timer(0.2, sim.unplug).start()
                for chunk in acquisition:
                    received += chunk.counts
        assert isinstance(info.value.__cause__, OSError)
        assert len(received) > 1000 and received == sim.streamed_counts[: len(received)]


def test_rate_the_model_lacks_is_refused_before_anything_is_sent():
    with SimulatedInstrument("RPX310") as sim:
        device = connect(sim)
        device.get_model_number()
        model_query, frames = sim.frames_received[-1], len(sim.frames_received)
        with pytest.raises(ValueError, match="not a sampling rate of the RPX310"):
            Acquisition(device, rate=RATES.SPS_38400)
        assert set(sim.frames_received[frames:]) <= {model_query} and not sim.instrument.streaming
        device.disconnect()


def test_chunk_views_as_numpy_without_a_copy():
    numpy = pytest.importorskip("numpy")
    chunk = Chunk(array.array("d", [1.5, -2.5]), array.array("I", [7, 2**32 - 1]), 0.0, 0.1, 0)
    loads, counts = chunk.to_numpy()
    chunk.counts[0] = 9
    assert (loads.dtype, counts.dtype) == (numpy.float64, numpy.uint32)
    assert loads.tolist() == [1.5, -2.5] and counts.tolist() == [9, 2**32 - 1]


def test_the_acquisition_holds_the_port_of_a_device_the_module_found():
    serial = pytest.importorskip("serial")
    with SimulatedInstrument("HDA640") as sim:
        device = connect(sim)  # the module's scanner takes no lock
        other = serial.Serial(sim.port, sim.baud_rate, exclusive=True)
        with pytest.raises(vdc.VelmoConnectionError, match="is in use by another program"):
            Acquisition(device, rate="SPS_100").start()
        assert not sim.instrument.streaming
        other.close()
        with Acquisition(device, rate="SPS_100"):
            with pytest.raises(serial.SerialException, match="exclusively lock"):
                serial.Serial(sim.port, sim.baud_rate, exclusive=True)
        device.disconnect()
        serial.Serial(sim.port, sim.baud_rate, exclusive=True).close()  # the lock went with the port
