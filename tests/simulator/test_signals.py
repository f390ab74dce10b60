"""Simulator signals: each kind's values, sums of them, the seeded noise, and the command-line text form."""

import math
import statistics

import pytest

from velmo.simulator import (
    COUNTS_PER_UNIT,
    ZERO_COUNT,
    InstrumentModel,
    SignalError,
    constant,
    counts_of_loads,
    cycle,
    noise,
    parse_signal,
    ramp,
    sine,
    steps,
)
from velmo.simulator.command import serve


@pytest.mark.parametrize(
    "signal, values",
    [
        (constant(100), {0: 100, 7.5: 100}),
        (ramp(start=10, slope=-4), {0: 10, 2.5: 0, 10: -30}),
        (sine(center=5, amplitude=2, frequency=0.5), {0: 5, 0.5: 7, 1: 5, 1.5: 3}),
        (steps(height=100, duration=1, count=3), {0: 0, 0.99: 0, 1: 100, 2.5: 200, 3: 0, 4.2: 100}),
        # rise 1 s, hold 0.5 s, release 1 s, rest 0.5 s: a 3-second cycle
        (cycle(peak=500, rise=1, hold=0.5, release=1, rest=0.5),
         {0: 0, 0.5: 250, 1: 500, 1.4: 500, 2: 250, 2.5: 0, 2.9: 0, 3.5: 250, 301.25: 500}),
        (cycle(peak=80, rise=0, hold=1, release=0, rest=1), {0: 80, 0.99: 80, 1: 0, 2: 80}),
    ],
    ids=["constant", "ramp", "sine", "steps", "cycle", "cycle-square"],
)
def test_each_kind_at_chosen_times(signal, values):
    assert {t: pytest.approx(signal(t), abs=1e-9) for t in values} == values


def test_signals_add_up_and_say_what_they_are():
    total = cycle(peak=500) + sine(amplitude=2) + 3
    assert [total(t) for t in (0.5, 1.25)] == pytest.approx([250 + 3, 500 + 2 * math.sin(2.5 * math.pi) + 3], abs=1e-9)
    assert sum([constant(1), ramp(slope=2)])(3) == 7
    assert repr(cycle(peak=500) + noise(sigma=0.5)) == (
        "cycle(peak=500, rise=1, hold=0.5, release=1, rest=1) + noise(sigma=0.5, seed=0)"
    )


def test_noise_is_gaussian_and_repeats_with_its_seed():
    times = [index / 38_400 for index in range(40_000)]
    values = [noise(sigma=2, seed=7)(t) for t in times]
    assert values == [noise(sigma=2, seed=7)(t) for t in times]  # the same at the same times
    assert values != [noise(sigma=2, seed=8)(t) for t in times]
    assert statistics.mean(values) == pytest.approx(0, abs=0.05)
    assert statistics.stdev(values) == pytest.approx(2, rel=0.03)
    # Consecutive samples are independent: no correlation from one to the next.
    assert statistics.correlation(values[:-1], values[1:]) == pytest.approx(0, abs=0.03)


@pytest.mark.parametrize(
    "text, expected",
    [
        ("constant:100", constant(100)),
        ("CYCLE:peak=500,rise=1,hold=0.5", cycle(peak=500, rise=1, hold=0.5)),
        ("sine:amplitude=50,frequency=0.5+noise:sigma=0.5", sine(amplitude=50, frequency=0.5) + noise(sigma=0.5)),
        ("ramp:1e+3, slope = -2", ramp(start=1000, slope=-2)),
        ("steps:height=10,count=4 + constant:1", steps(height=10, count=4) + constant(1)),
        ("cycle", cycle()),
    ],
)
def test_the_text_form_gives_the_same_signal(text, expected):
    signal = parse_signal(text)
    assert repr(signal) == repr(expected)
    assert [signal(t) for t in (0, 0.3, 1.7, 12.345)] == [expected(t) for t in (0, 0.3, 1.7, 12.345)]


@pytest.mark.parametrize(
    "text, message",
    [
        ("", "a signal is one or more kinds joined by '+'; the kinds, with their defaults: constant:value=0; "
             "ramp:start=0,slope=1; sine:center=0,amplitude=1,frequency=1; noise:sigma=1,seed=0; "
             "steps:height=1,duration=1,count=5; cycle:peak=100,rise=1,hold=0.5,release=1,rest=1"),
        ("cycle+", "a signal is one or more kinds"),
        ("square:1", "unknown signal kind 'square'; the kinds, with their defaults: constant:value=0;"),
        ("cycle:top=3", "cycle has no parameter 'top'; its parameters: peak, rise, hold, release, rest"),
        ("cycle:peak=1,peak=2", "cycle: peak is given twice"),
        ("cycle:peak=1,2", "cycle: give '2' as name=value"),
        ("constant:1,2", "constant: give '2' as name=value; its parameters: value"),
        ("sine:frequency=fast", "sine: frequency takes a number, not 'fast'"),
        ("steps:count=2.5", "steps: count takes a whole number, not '2.5'"),
        ("steps:duration=0", "steps: duration must be a finite number of seconds above 0"),
        ("cycle:rise=-1", "cycle: rise must be a finite number of at least 0, not -1"),
        ("cycle:rise=0,hold=0,release=0,rest=0", "must not all be 0"),
        ("noise:sigma=nan", "noise: sigma must be a finite number"),
    ],
)
def test_the_text_form_refuses_anything_else_naming_what_it_takes(text, message):
    with pytest.raises(SignalError) as raised:
        parse_signal(text)
    assert message in str(raised.value)


def test_loads_become_the_counts_that_read_as_them():
    instrument = InstrumentModel("HDA640", signals=[counts_of_loads(ramp(start=-250, slope=100))] * 4)
    for seconds, load in ((0, -250), (5, 250), (12.5, 1000)):
        count = instrument.live_count(0, instrument._start + seconds)
        assert count == ZERO_COUNT + load * COUNTS_PER_UNIT
        assert instrument.expected_load(count) == pytest.approx(load)


def test_the_command_line_serves_a_load_cycle_with_a_little_noise_by_default():
    def signal_of(argv):
        return serve.make_context("velmo-simulator", argv).params["signal"]

    values = [signal_of([])(t / 100) for t in range(300)]
    assert repr(signal_of([])).startswith("cycle(peak=500, rise=1, hold=0.5, release=1, rest=0.5) + noise(sigma=1")
    assert max(values) == pytest.approx(500, abs=5) and min(values) == pytest.approx(0, abs=5)
    assert repr(signal_of(["--signal", "constant:100"])) == "constant(value=100)"
