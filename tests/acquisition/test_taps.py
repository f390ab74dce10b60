"""Taps: many consumers of one acquisition, each with its own queue and its own drops."""

import asyncio

import pytest

import velmo_device_communication as vdc
from velmo.acquisition import Acquisition

from support.instruments import instruments  # noqa: F401  (a fixture)
from support.scripted_device import ScriptedDevice, packets
from support.waiting import wait_for


def numbers(chunks):
    return [count >> 8 for chunk in chunks for count in chunk.counts]


def test_every_tap_sees_every_sample_from_its_creation_and_shares_the_arrays():
    device = ScriptedDevice([])
    with Acquisition(device, poll_interval=0.001) as acquisition:
        early = acquisition.tap(name="early")
        device.reads.append(packets(0, 5))
        assert device.drained.wait(5)
        first, from_early = [acquisition.read(timeout=10)], [early.read(timeout=10)]
        late = acquisition.tap(name="late")
        device.drained.clear()
        device.reads.append(packets(5, 7))
        assert device.drained.wait(5)
    first, from_early, from_late = first + list(acquisition), from_early + list(early), list(late)
    assert numbers(first) == numbers(from_early) == list(range(12))
    assert numbers(from_late) == list(range(5, 12)) and from_late[0].index == 5 and from_late[0].gap_before == 0
    # A chunk of one read is the reader's block itself, in every tap: no copy per consumer.
    assert from_late[0].counts is from_early[1].counts is first[1].counts and first[0].loads is from_early[0].loads
    numpy = pytest.importorskip("numpy")
    loads, _counts = first[0].to_numpy()
    with pytest.raises(ValueError, match="read-only"):
        loads[0] = numpy.float64(1.0)


def test_a_slow_tap_drops_only_its_own_samples_and_says_where():
    # 1200 SPS: 0.01 s of buffer holds 12 samples; 10 reads of 10 arrive before anyone reads.
    device = ScriptedDevice([])
    with Acquisition(device, poll_interval=0.001) as acquisition:
        slow = acquisition.tap(buffer_seconds=0.01, name="slow")
        device.reads += [packets(10 * i, 10) for i in range(10)]
        assert device.drained.wait(5)
        wait_for(lambda: acquisition.stats.received == 100, "every read")
    kept = list(slow)
    assert numbers(kept) == list(range(90, 100)) and kept[0].dropped_before == 90 and kept[0].lost_before == 0
    assert slow.stats.dropped == 90 and slow.stats.lost == 0
    assert numbers(list(acquisition)) == list(range(100)) and acquisition.stats.dropped == 0


def test_a_closed_tap_keeps_what_it_had_and_the_stream_goes_on():
    device = ScriptedDevice([])
    with Acquisition(device, poll_interval=0.001) as acquisition:
        tap = acquisition.tap()
        device.drained.clear()
        device.reads.append(packets(0, 4))
        assert device.drained.wait(5)
        wait_for(lambda: acquisition.stats.received == 4, "the read")
        tap.close()
        tap.close()
        device.drained.clear()
        device.reads.append(packets(4, 4))
        assert device.drained.wait(5)
        assert numbers(list(tap)) == [0, 1, 2, 3] and tap.read(timeout=0) is None
    assert numbers(list(acquisition)) == list(range(8))


@pytest.mark.parametrize(
    "make, error",
    [
        (lambda acquisition: acquisition.tap(), "start it first"),
        (lambda acquisition: acquisition.tap(buffer_seconds=float("nan")), "buffer_seconds must be a positive"),
    ],
)
def test_taps_are_made_of_a_running_acquisition_with_a_real_buffer(make, error):
    with pytest.raises((RuntimeError, ValueError), match=error):
        make(Acquisition(ScriptedDevice([])))


@pytest.mark.parametrize("poll_interval", [0, -1, float("inf"), float("nan"), 10.0])
def test_a_poll_interval_that_is_not_a_short_positive_time_is_refused(poll_interval):
    with pytest.raises(ValueError, match="poll_interval must be a positive number of seconds up to 1"):
        Acquisition(ScriptedDevice([]), poll_interval=poll_interval)


# -- over pseudo-terminals ----------------------------------------------------------


def test_taps_read_concurrently_with_asyncio_get_what_the_instrument_sent(instruments):
    [(simulator, device)] = instruments("HDA640")

    async def consume(tap, wanted):
        received = []
        async for chunk in tap.chunks():
            received += chunk.counts
            if len(received) >= wanted:
                return received

    async def both(acquisition):
        taps = [acquisition.tap(name="a"), acquisition.tap(name="b")]
        return await asyncio.wait_for(asyncio.gather(*(consume(tap, 1200) for tap in taps)), 30)

    with Acquisition(device, rate="SPS_1200") as acquisition:
        first, second = asyncio.run(both(acquisition))
    sent = simulator.streamed_counts
    assert first[:1200] == second[:1200] and first[0] in sent
    start = sent.index(first[0])
    assert first == sent[start : start + len(first)]


def test_a_recorder_records_a_running_acquisition_through_a_tap_and_leaves_it_running(instruments, tmp_path):
    pytest.importorskip("h5py")
    from velmo.recording import Recorder, load

    [(watched, watched_device), (other, other_device)] = instruments("HDA640", "RPX310")
    with Acquisition(watched_device, rate="SPS_1200") as acquisition:
        with Recorder(tmp_path / "run.h5", [acquisition, other_device]) as recorder:
            wait_for(lambda: all(stats.written > 100 for stats in recorder.stats.values()), "samples of both")
        assert acquisition.running and watched.instrument.streaming and not other.instrument.streaming
        # The acquisition's own reader got everything, the file a stretch of it.
        acquisition.close()
        own = [count for chunk in acquisition for count in chunk.counts]
    recording = load(tmp_path / "run.h5")
    written = list(recording.instruments["HDA640_20240001"].counts)
    assert own == watched.streamed_counts[: len(own)] and len(written) > 100
    start = own.index(written[0])
    assert written == own[start : start + len(written)] and recording.instruments["HDA640_20240001"].gaps == []
    # Numbered from where its tap began, so each sample keeps its time.
    assert recording.instruments["HDA640_20240001"].sample_numbers()[0] == start
    other_written = list(recording.instruments["RPX310_20240002"].counts)
    assert other_written == other.streamed_counts[: len(other_written)]
    assert recorder.stats["HDA640_20240001"].dropped == 0 and acquisition.stats.dropped == 0


@pytest.mark.parametrize(
    "sources, error",
    [
        (lambda running, idle, device: [running, device], "a device is given twice"),
        (lambda running, idle, device: [idle], "must be running"),
    ],
)
def test_a_recorder_refuses_a_device_twice_or_an_acquisition_not_running(instruments, tmp_path, sources, error):
    pytest.importorskip("h5py")
    from velmo.recording import Recorder

    [(_simulator, device)] = instruments("HDA640")
    idle = Acquisition(device)
    with Acquisition(device, describe=False) as running:
        with pytest.raises(ValueError, match=error):
            Recorder(tmp_path / "run.h5", sources(running, idle, device)).start()
    assert not (tmp_path / "run.h5").exists()


def test_a_lost_instrument_ends_every_tap_after_its_samples(instruments):
    [(simulator, device)] = instruments("HDA640")
    with pytest.raises(vdc.VelmoConnectionError):
        with Acquisition(device, rate="SPS_1200") as acquisition:
            tap = acquisition.tap()
            acquisition.read_samples(100, timeout=30)
            simulator.unplug()
            for _ in acquisition:
                pass
    received = []
    with pytest.raises(vdc.VelmoConnectionError):
        for chunk in tap:
            received += chunk.counts
    assert len(received) >= 100 and received == simulator.streamed_counts[: len(received)]
    assert tap.stats.dropped == 0
