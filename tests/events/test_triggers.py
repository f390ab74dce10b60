"""Detectors and the watcher on arrays: edges at block boundaries, hysteresis, holdoff,
overlapping events, gaps, pre-trigger, tare."""

import array

import numpy as np
import pytest

from velmo.acquisition import Chunk
from velmo.events import Level, LimitSet, PeakBox, Slope, Watcher, Window, parse_trigger
from velmo.events.triggers import Detector

INTERVAL = 0.001


def scan_in_blocks(condition, values, cuts):
    detector = Detector(condition, INTERVAL)
    found = []
    for begin, end in zip([0, *cuts], [*cuts, len(values)]):
        found += [begin + int(p) for p in detector.scan(np.asarray(values[begin:end], dtype=float))]
    return found


@pytest.mark.parametrize("cuts", [[], [3], [4], [5], [1, 2, 3, 4, 5, 6, 7]])
def test_rising_edge_fires_once_wherever_the_blocks_are_cut(cuts):
    values = [0, 0, 0, 0, 150, 160, 170, 0, 0, 200]
    assert scan_in_blocks(Level(above=100), values, cuts) == [4, 9]


@pytest.mark.parametrize(
    ("condition", "values", "expected"),
    [
        # Noise around the level: one edge with hysteresis, three without.
        (Level(above=100, hysteresis=10), [0, 101, 99, 101, 99, 101, 80, 101], [1, 7]),
        (Level(above=100), [0, 101, 99, 101, 99, 101, 80, 101], [1, 3, 5, 7]),
        (Level(below=10, hysteresis=5), [50, 9, 12, 8, 20, 3], [1, 5]),
        # A stream that starts past the level fires only after it was back below it.
        (Level(above=100), [200, 200, 0, 200], [3]),
        (Window(40, 60), [0, 50, 55, 100, 50, 30], [1, 4]),
        (Window(40, 60, on="leave", hysteresis=2), [50, 61, 59, 61, 50, 70], [1, 5]),
        (Slope(1000.0, over=0.001), [0, 0, 0.5, 2, 3, 3, 3, 5], [3, 7]),
        (Slope(-1000.0, over=0.001), [5, 5, 3, 3, 1], [2, 4]),
    ],
)
def test_conditions(condition, values, expected):
    assert scan_in_blocks(condition, values, []) == expected
    assert scan_in_blocks(condition, values, list(range(1, len(values)))) == expected


@pytest.mark.parametrize(
    ("text", "expected"),
    [("rising:100", Level(above=100)), ("falling:5", Level(below=5)), ("window:1:2", Window(1, 2)), ("slope:50", Slope(50))],
)
def test_parse_trigger(text, expected):
    assert parse_trigger(text) == expected


@pytest.mark.parametrize("text", ["rising", "rising:x", "window:3", "window:5:1", "up:3"])
def test_parse_trigger_refuses(text):
    with pytest.raises(ValueError):
        parse_trigger(text)


def chunk(values, index, gap_before=0):
    loads = array.array("d", values)
    counts = array.array("I", [int(v) & 0xFFFF for v in values])
    return Chunk(loads, counts, 1000.0 + index * INTERVAL, INTERVAL, 0, index, lost_before=gap_before, arrivals=[(index, 5.0)])


class FakeTap:
    def __init__(self, chunks):
        self.chunks_ = chunks

    def __iter__(self):
        return iter(self.chunks_)

    def close(self):
        pass


def pulses(length, starts, width=20, height=200):
    values = np.zeros(length)
    for start in starts:
        values[start : start + width] = height
    return values


def watch(values, size, gaps=(), **options):
    """Feed ``values`` in blocks of ``size``; ``gaps`` maps a sample position to samples missing before it."""
    watcher = Watcher(FakeTap([]), options.pop("trigger", Level(above=100)), **options)
    events, index = [], 0
    for begin in range(0, len(values), size):
        missing = dict(gaps).get(begin, 0)
        index += missing
        events += watcher.feed(chunk(values[begin : begin + size], index, missing))
        index += len(values[begin : begin + size])
    return watcher, events


@pytest.mark.parametrize("size", [1, 7, 50, 100, 1000])
def test_events_with_complete_pre_trigger_whatever_the_block_size(size):
    values = pulses(1000, [100, 400, 700])
    _, events = watch(values, size, pre=0.05, post=0.1)
    assert [event.trigger_sample for event in events] == [100, 400, 700]
    for event in events:
        assert event.trigger_index == 50
        np.testing.assert_array_equal(event.sample_numbers, np.arange(event.trigger_sample - 50, event.trigger_sample + 101))
        assert event.times()[event.trigger_index] == 0
        assert event.trigger_time == pytest.approx(1000.0 + event.trigger_sample * INTERVAL)
        assert event.verdict is None


def test_overlapping_triggers_merge_into_the_open_event_and_holdoff_skips_the_next():
    values = pulses(1000, [100, 150, 300, 350, 600])
    watcher, events = watch(values, 64, pre=0.01, post=0.1, holdoff=0.15)
    # 100 opens (to 201), 150 merges; 300 and 350 fall in the holdoff after 201; 600 opens.
    assert [(event.trigger_sample, event.merged) for event in events] == [(100, 1), (600, 0)]
    assert (watcher.triggers, watcher.merged, watcher.held_off) == (5, 1, 2)


def test_a_gap_inside_an_event_is_kept_and_flagged_not_bridged():
    values = pulses(600, [100], width=200)
    _, events = watch(values, 50, gaps={150: 30}, pre=0.02, post=0.2)
    (event,) = events
    assert event.gaps == ((70, 30),)  # 20 pre + 50 after the trigger, then 30 missing
    assert len(event) == 20 + 201 - 30
    assert np.diff(event.sample_numbers).max() == 31


def test_end_condition_and_max_duration():
    values = np.concatenate([np.zeros(50), np.full(100, 200.0), np.zeros(100), np.full(500, 200.0)])
    _, events = watch(values, 33, pre=0.0, post=0.01, end=Level(below=50), max_duration=0.3)
    first, second = events
    assert first.sample_numbers[-1] == 150 + 10 and not first.truncated
    assert second.sample_numbers[-1] == 250 + 300 and second.truncated


def test_external_trigger_takes_the_next_block():
    watcher = Watcher(FakeTap([]), Level(above=1e9), pre=0.0, post=0.005)
    watcher.feed(chunk([0.0] * 10, 0))
    watcher.trigger_now()
    (event,) = watcher.feed(chunk([0.0] * 10, 10))
    assert event.trigger_sample == 10


def test_tare_pre_and_watcher_tare():
    values = np.full(400, 20.0)
    values[200:260] = 150.0  # 130 above the offset
    _, events = watch(values, 40, pre=0.05, post=0.1, tare="pre",
                      limits=LimitSet((PeakBox((125, 135), (0, 0.1)),)))
    (event,) = events
    assert event.tare == pytest.approx(20.0) and event.verdict.passed and event.verdict.peak == pytest.approx(130)

    watcher = Watcher(FakeTap([]), Level(above=100), pre=0.0, post=0.01)
    watcher.tare(0.01)
    watcher.feed(chunk([95.0] * 10, 0))  # the quiet stretch: no trigger while it is measured
    (event,) = watcher.feed(chunk([95.0] * 10 + [200.0] * 20, 10))
    assert watcher.offset == 95.0 and event.trigger_sample == 20 and event.loads[0] == 105.0
