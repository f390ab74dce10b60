"""Samples the line loses: judged from arrival times driven through velmo.acquisition's `time`."""

import logging

import pytest

from support.scripted_device import PER_READ, Stream, timed_acquisition

RATE = 1200


def run(monkeypatch, stream):
    with timed_acquisition(monkeypatch, stream) as (acquisition, device):
        assert device.drained.wait(10)
    return acquisition, list(acquisition)


def sample_numbers(chunk):
    return [count >> 8 for count in chunk.counts]


@pytest.mark.parametrize(
    "stream, lost",
    [
        (Stream().steady(100), 0),
        # The instrument stalled 2 s and went on without catching up.
        (Stream().steady(50).silent(2.0, taken=2400).steady(50), 2400),
        # 200 ms without a byte, then everything at once in two parts: late, not lost.
        (Stream().steady(30).silent(0.2).burst([20, 232]).steady(30), 0),
        # A stretch lost right before the stream ends: judged by the last reads alone.
        (Stream().steady(30).silent(0.5, taken=600).steady(5), 600),
    ],
    ids=["steady", "stall", "late burst", "loss at the end"],
)
def test_lost_samples_are_counted_and_the_timeline_stays_right(monkeypatch, caplog, stream, lost):
    caplog.set_level(logging.WARNING, logger="velmo.acquisition")
    acquisition, chunks = run(monkeypatch, stream)
    stats = acquisition.stats
    assert (stats.lost, stats.dropped, stats.received) == (lost, 0, stream.taken - lost)
    for chunk in chunks:
        # A sample's number is its index: every chunk sits where the instrument took it.
        assert sample_numbers(chunk) == list(range(chunk.index, chunk.index + len(chunk)))
        assert chunk.t0 == pytest.approx(acquisition.started_at + chunk.index / RATE)
    assert [chunk.lost_before for chunk in chunks if chunk.gap_before] == ([lost] if lost else [])
    warnings = [r.getMessage() for r in caplog.records]
    assert warnings == ([f"The line lost {lost} samples: fewer arrived than the instrument's rate gives ({lost} in all)"]
                        if lost else [])


def test_a_slow_instrument_clock_is_followed_not_counted_as_loss(monkeypatch):
    # 200 ppm slow for a minute: 12 ms behind in the end, spread evenly.
    stream, taken_exactly = Stream(), 0.0
    for _ in range(6000):
        taken_exactly += PER_READ * (1 - 200e-6)
        stream.steady(1, per_read=int(taken_exactly) - stream.taken)
    acquisition, _chunks = run(monkeypatch, stream)
    assert acquisition.stats.lost == 0 and acquisition.stats.received == stream.taken
