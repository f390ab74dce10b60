"""Events over a pty: the watcher on a simulated instrument's stream, velmo watch, and
events recorded and read back."""

import asyncio
import time

import numpy as np
import pytest

pytest.importorskip("h5py")
pytest.importorskip("click")

from click.testing import CliRunner  # noqa: E402

import velmo  # noqa: E402
from velmo.acquisition import Acquisition  # noqa: E402
from velmo.cli import main  # noqa: E402
from velmo.events import Level, LimitSet, PeakBox, Watcher  # noqa: E402
from velmo.recording import load  # noqa: E402
from velmo.simulator import SimulatedInstrument, counts_of_loads, parse_signal  # noqa: E402
from support.waiting import wait_for  # noqa: E402

SHORT_CYCLE = "cycle:peak=500,rise=0.1,hold=0.2,release=0.1,rest=0.2"


def streaming(signal):
    """(simulator, acquisition) of an HDA640 on a pty measuring ``signal`` (loads)."""
    stack = __import__("contextlib").ExitStack()
    simulator = stack.enter_context(SimulatedInstrument("HDA640"))
    simulator.instrument.set_signal(0, counts_of_loads(parse_signal(signal)))
    device = stack.enter_context(velmo.open_device(simulator.port, models=["HDA640"]))
    acquisition = stack.enter_context(Acquisition(device))
    return stack, acquisition

LIMITS = "[[peak]]\nload = [400, 600]\ntime = [0, 2]\n"


def test_steps_on_a_pty_give_one_event_per_step_with_its_pre_trigger():
    signal = counts_of_loads(parse_signal("steps:height=100,duration=0.3,count=3"))
    with SimulatedInstrument("HDA640") as simulator:
        simulator.instrument.set_signal(0, signal)
        with velmo.open_device(simulator.port, models=["HDA640"]) as device, Acquisition(device) as acquisition:
            watcher = Watcher(acquisition, Level(above=150), pre=0.1, post=0.1)
            events = []
            for event in watcher:
                events.append(event)
                if len(events) == 3:
                    break
    interval = events[0].interval
    for event in events:
        # 0, 100, 200: the level is crossed at the start of every third step, 0.9 s apart.
        assert event.loads[event.trigger_index] == pytest.approx(200, abs=1)
        assert event.trigger_index == round(0.1 / interval)
        assert (event.loads[: event.trigger_index] < 150).all()
    spacing = [b.trigger_sample - a.trigger_sample for a, b in zip(events, events[1:])]
    assert all(abs(gap * interval - 0.9) < 0.05 for gap in spacing)


def run(*arguments):
    return CliRunner().invoke(main, [str(argument) for argument in arguments])


def test_watch_judges_records_and_fails_on_a_bad_cycle(tmp_path):
    limits = tmp_path / "limits.toml"
    limits.write_text(LIMITS)
    out = tmp_path / "events.h5"
    result = run("watch", "--simulate", "--signal", "press:peak=500,rise=0.2,hold=0.1,release=0.2,rest=0.2,bad_every=2",
                 "--trigger", "rising:100", "--pre", "0.1", "--post", "0.5", "--seconds", "4",
                 "--limits", limits, "--record", out)
    assert result.exit_code == 1, result.output
    assert "PASS" in result.output and "FAIL: peak load" in result.output
    recording = load(out)
    (instrument,) = recording.instruments.values()
    events = instrument.events
    assert len(events) >= 3 and all(event.verdict is not None for event in events)
    # Cycle 1, 3, 5... (bad_every=2) peak at 300: the verdicts alternate with the cycles.
    peaks = [event.verdict.peak for event in events]
    assert [peak < 400 for peak in peaks] == [not event.verdict.passed for event in events]
    assert instrument.events[0].metadata["model"] == "HDA640"
    assert LimitSet.from_json(LimitSet.from_toml(limits).to_json()).checks == (PeakBox((400, 600), (0, 2)),)
    verdicts = tmp_path / "verdicts.csv"
    assert run("export", out, "--events", verdicts).exit_code == 0
    assert len(verdicts.read_text().splitlines()) == len(events) + 1
    shown = run("show", out)
    assert f"{len(events)} events" in shown.output


@pytest.mark.parametrize(
    ("arguments", "words"),
    [
        (("--trigger", "up:100"), "not a trigger"),
        (("--trigger", "rising:100", "--limits", "LIMITS"), "line 2"),
    ],
)
def test_watch_usage_errors(tmp_path, arguments, words):
    bad = tmp_path / "bad.toml"
    bad.write_text("[[peak]]\nload = 5\ntime = [0, 1]\n")
    result = run("watch", "--simulate", "--seconds", "1", *[str(bad) if a == "LIMITS" else a for a in arguments])
    assert result.exit_code == 2
    assert words in result.output


def test_a_slow_consumer_gives_events_with_gaps_kept_and_flagged():
    stack, acquisition = streaming(SHORT_CYCLE)
    with stack:
        tap = acquisition.tap(buffer_seconds=0.05, name="slow")  # holds 5 samples at 100 SPS
        watcher = Watcher(tap, Level(above=100), pre=0.1, post=0.4)
        events = []
        deadline = time.monotonic() + 30
        while not any(event.gaps for event in events) and time.monotonic() < deadline:
            chunk = tap.read(timeout=1)
            if chunk is not None:
                events += watcher.feed(chunk)
            time.sleep(0.15)  # falls behind: the tap drops what it cannot hold
    assert tap.stats.dropped > 0
    assert any(event.gaps for event in events)
    for event in events:
        assert len(event.loads) == len(event.counts) == len(event.sample_numbers)
        jumps = np.diff(event.sample_numbers) - 1
        assert event.gaps == tuple((int(i) + 1, int(jumps[i])) for i in np.flatnonzero(jumps))


def test_async_for_and_the_callback_thread_see_the_same_cycles():
    stack, acquisition = streaming(SHORT_CYCLE)
    with stack:
        called, triggered = [], []
        # 120 lies between the samples of 100 and 150 on the rise: the same sample of every cycle.
        background = Watcher(acquisition, Level(above=120), pre=0.05, post=0.2, on_event=called.append,

                             on_trigger=lambda number, arrived: triggered.append((number, arrived)))
        background.start()

        async def two_events():
            found = []
            async for event in Watcher(acquisition, Level(above=120), pre=0.05, post=0.2):
                found.append(event)
                if len(found) == 2:
                    return found

        found = asyncio.run(asyncio.wait_for(two_events(), 30))
        wait_for(lambda: len(called) >= 3, "three events on the callback thread")
        background.stop()
    assert [number for number, _ in triggered[: len(called)]] == [event.trigger_sample for event in called]
    assert all(arrived > 0 for _, arrived in triggered)
    # A cycle is 60 samples at 100 SPS: both watchers trigger at the same phase of every cycle.
    phase = called[0].trigger_sample % 60
    assert {event.trigger_sample % 60 for event in [*called, *found]} == {phase}


def test_watch_interrupted_prints_its_summary_stops_the_instrument_and_exits_130():
    import signal
    import subprocess
    import sys

    with SimulatedInstrument("HDA640") as simulator:
        simulator.instrument.set_signal(0, counts_of_loads(parse_signal(SHORT_CYCLE)))
        command = [sys.executable, "-m", "velmo", "watch", "--port", simulator.port, "--trigger", "rising:120",
                   "--pre", "0.05", "--post", "0.2"]
        with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as watching:
            try:
                assert watching.stdout is not None
                first = watching.stdout.readline()  # the first event's line: it is watching
                watching.send_signal(signal.SIGINT)
                returncode = watching.wait(30)
                rest = watching.stdout.read()
                assert returncode == 130, watching.stderr.read() if watching.stderr else ""
            finally:
                watching.kill()
        assert first.startswith("#1 ") and "event(s)" in rest
        assert simulator.host_closed.wait(5) and not simulator.instrument.streaming


def test_events_beside_a_continuous_recording_read_back_as_the_same_events(tmp_path):
    from velmo.events.storage import add_events
    from velmo.recording import Recorder

    path = tmp_path / "run.h5"
    limits = LimitSet((PeakBox((400, 600), (0, 1)),))
    stack, acquisition = streaming(SHORT_CYCLE)
    with stack:
        watcher = Watcher(acquisition, Level(above=120), pre=0.05, post=0.3, limits=limits)
        with Recorder(str(path), [acquisition]) as recorder:
            events = []
            for event in watcher:
                events.append(event)
                if len(events) == 2:
                    break
        name = next(iter(recorder.stats))
    add_events(str(path), name, events, limits)
    add_events(str(path), name, events[:1], limits)
    instrument = load(path).instruments[name]
    assert len(instrument.events) == 3 and len(instrument.loads) > 0
    for stored, event in zip(instrument.events, [*events, events[0]]):
        np.testing.assert_array_equal(stored.loads, event.loads)
        np.testing.assert_array_equal(stored.sample_numbers, event.sample_numbers)
        assert (stored.trigger_index, stored.trigger_time, stored.verdict) == (event.trigger_index, event.trigger_time, event.verdict)
    # The continuous record holds the same samples at the same numbers (from its own start on).
    recorded = instrument.sample_numbers()
    shared = np.isin(events[1].sample_numbers, recorded)
    assert shared.any()
    at = np.searchsorted(recorded, events[1].sample_numbers[shared])
    np.testing.assert_array_equal(instrument.loads[at], events[1].loads[shared])
