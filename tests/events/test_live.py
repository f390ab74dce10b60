"""Events over a pty: the watcher on a simulated instrument's stream, velmo watch, and
events recorded and read back."""

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
