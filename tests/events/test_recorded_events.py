"""Events written by a Recorder beside the continuous record, read back while the file is
written and after; files of one group per event still read back."""

import numpy as np
import pytest

pytest.importorskip("h5py")

import velmo  # noqa: E402
from velmo.acquisition import Acquisition  # noqa: E402
from velmo.events import Level, LimitSet, Watcher  # noqa: E402
from velmo.events.storage import add_events, limits_of, write_event  # noqa: E402
from velmo.recording import Recorder, load  # noqa: E402
from velmo.recording import layout  # noqa: E402
from velmo.recording._hdf5 import h5py  # noqa: E402
from velmo.simulator import SimulatedInstrument, counts_of_loads, parse_signal  # noqa: E402
from support.waiting import wait_for  # noqa: E402

PRESS = "press:peak=500,rise=0.2,hold=0.1,release=0.2,rest=0.2,bad_every=2"


def limits(tmp_path):
    path = tmp_path / "limits.toml"
    path.write_text("[[peak]]\nload = [400, 600]\ntime = [0, 2]\n")
    return LimitSet.from_toml(str(path))


def assert_same_events(read, delivered):
    assert len(read) == len(delivered)
    for got, sent in zip(read, delivered):
        np.testing.assert_array_equal(got.loads, sent.loads)
        np.testing.assert_array_equal(got.counts, sent.counts)
        np.testing.assert_array_equal(got.sample_numbers, sent.sample_numbers)
        assert (got.trigger_index, got.trigger_time, got.interval, got.t0, got.trigger) == (
            sent.trigger_index, sent.trigger_time, sent.interval, sent.t0, sent.trigger)
        assert (got.tare, got.gaps, got.merged, got.truncated) == (sent.tare, sent.gaps, sent.merged, sent.truncated)
        assert got.verdict == sent.verdict


def test_recorder_writes_the_watchers_events_beside_the_samples(tmp_path):
    limit_set = limits(tmp_path)
    path = tmp_path / "run.h5"
    delivered = []
    with SimulatedInstrument("HDA640") as simulator:
        simulator.instrument.set_signal(0, counts_of_loads(parse_signal(PRESS)))
        with velmo.open_device(simulator.port, models=["HDA640"]) as device, Acquisition(device) as acquisition:
            watcher = Watcher(acquisition, Level(above=100), pre=0.1, post=0.5, limits=limit_set,
                              on_event=delivered.append)
            name = acquisition.instrument.name
            with Recorder(path, [acquisition], events={device: watcher}):
                watcher.start()
                # Read as a SWMR reader while the recorder writes.
                wait_for(lambda: len(load(path).instruments[name].events) >= 3, "three events in the growing file")
                while_written = load(path)
                watcher.stop()
            info = acquisition.instrument
    assert not while_written.closed
    (growing,) = while_written.instruments.values()
    assert_same_events(growing.events, delivered[: len(growing.events)])

    recording = load(path)
    (instrument,) = recording.instruments.values()
    assert_same_events(instrument.events, delivered)
    assert {event.passed for event in delivered} == {True, False}
    assert limits_of(h5py.File(path, "r")["instruments"][instrument.name]) == limit_set
    # The continuous record holds the same samples where each event lies.
    numbers = instrument.sample_numbers()
    inside = [event for event in instrument.events if event.sample_numbers[0] >= numbers[0]]
    assert len(inside) >= 2
    for event in inside:
        positions = np.searchsorted(numbers, event.sample_numbers)
        np.testing.assert_array_equal(numbers[positions], event.sample_numbers)
        np.testing.assert_array_equal(instrument.loads[positions], event.loads)
        np.testing.assert_array_equal(instrument.counts[positions], event.counts)

    # Added after the close, they follow those the recorder wrote.
    add_events(str(path), instrument.name, delivered[:2], limit_set)
    assert_same_events(load(path).instruments[instrument.name].events, [*delivered, *delivered[:2]])

    # A file of one group per event reads back the same, and takes more of them.
    old = tmp_path / "groups.h5"
    with layout.create_file(str(old), {"content": "events"}, 0, overwrite=False) as file:
        group = layout.add_instrument(file, info.name, info, 100.0, 0.0, 0).group
        for number, event in enumerate(delivered[:-1]):
            write_event(group, number, event, limit_set)
    add_events(str(old), info.name, delivered[-1:], limit_set)
    assert_same_events(load(old).instruments[info.name].events, delivered)


@pytest.mark.parametrize("key", ["acquisition", "name", "stranger"])
def test_events_are_given_by_acquisition_or_name_and_a_stranger_is_refused(tmp_path, key):
    with SimulatedInstrument("HDA640") as simulator:
        simulator.instrument.set_signal(0, counts_of_loads(parse_signal(PRESS)))
        with velmo.open_device(simulator.port, models=["HDA640"]) as device, Acquisition(device) as acquisition:
            watcher = Watcher(acquisition, Level(above=100), pre=0.1, post=0.5)
            given = {"acquisition": acquisition, "name": acquisition.instrument.name, "stranger": "nobody"}[key]
            recorder = Recorder(tmp_path / "run.h5", [acquisition], events={given: watcher})
            if key == "stranger":
                with pytest.raises(ValueError, match="nobody"):
                    recorder.start()
                assert not (tmp_path / "run.h5").exists()
                return
            with recorder:
                watcher.start()
                wait_for(lambda: len(load(recorder.path).instruments[acquisition.instrument.name].events) >= 1,
                         "an event in the file", timeout=30)
                watcher.stop()
    assert load(tmp_path / "run.h5").instruments[acquisition.instrument.name].events[0].verdict is None
