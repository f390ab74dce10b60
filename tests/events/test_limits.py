"""Limit sets: checks on known curves, verdicts, and limits files with faults."""

import numpy as np
import pytest

from velmo.events import Band, LimitSet, LimitsError, Line, PeakBox, ValueAt

TIMES = np.arange(-10, 101) * 0.01  # -0.1 s to 1 s
LOADS = np.clip(TIMES, 0, None) * 500  # a ramp to 500 at 1 s
NUMBERS = np.arange(len(TIMES))


@pytest.mark.parametrize(
    ("check", "failed"),
    [
        (Band(0.0, 0.5, max=260), False),
        (Band(0.0, 0.5, max=200), True),
        (Band(0.2, 0.4, min=150), True),
        (PeakBox((450, 550), (0.9, 1.1)), False),
        (PeakBox((450, 550), (0.0, 0.5)), True),
        (ValueAt(0.5, 240, 260), False),
        (ValueAt(0.5, max=100), True),
        (ValueAt(5.0, max=100), True),  # no sample at that time
        (Line((0.5, 0), (0.5, 400)), False),  # vertical, crossed at 250
        (Line((0.5, 300), (0.5, 400)), True),
        (Line((0.0, 100), (1.0, 100), must_cross=False), True),
        (Line((0.0, 600), (1.0, 600), must_cross=False), False),
    ],
)
def test_checks(check, failed):
    verdict = LimitSet((check,)).judge(TIMES, LOADS, NUMBERS)
    assert verdict.passed is not failed
    assert len(verdict.failures) == failed


def test_verdict_lists_every_failure_with_peak_and_work():
    verdict = LimitSet((Band(0, 0.5, max=200), ValueAt(0.5, max=100), PeakBox((0, 600), (0, 2)))).judge(TIMES, LOADS, NUMBERS)
    assert [failure.measured for failure in verdict.failures] == [250.0, 250.0]
    assert verdict.peak == 500 and verdict.time_to_peak == pytest.approx(1.0)
    assert verdict.work == pytest.approx(250.0)  # the triangle under the ramp


def test_work_leaves_a_gap_out():
    numbers = NUMBERS.copy()
    numbers[60:] += 5
    whole = LimitSet((Band(0, 1, max=1e9),)).judge(TIMES, LOADS, NUMBERS).work
    assert LimitSet((Band(0, 1, max=1e9),)).judge(TIMES, LOADS, numbers).work < whole


def test_a_good_file_loads_and_round_trips(tmp_path):
    path = tmp_path / "limits.toml"
    path.write_text('name = "A"\n[[band]]\nstart = 0\nend = 0.5\nmax = 300\n[[peak]]\nload = [450, 550]\ntime = [0.9, 1.1]\n'
                    '[[value]]\ntime = 0.5\nmin = 200\n[[cross]]\nfrom = [0.5, 0]\nto = [0.5, 400]\n'
                    '[[not_cross]]\nfrom = [0, 600]\nto = [1, 600]\n')
    limits = LimitSet.from_toml(path)
    assert limits.name == "A" and len(limits.checks) == 5
    assert LimitSet.from_json(limits.to_json()) == limits
    assert limits.judge(TIMES, LOADS, NUMBERS).passed


@pytest.mark.parametrize(
    ("text", "line", "words"),
    [
        ("[[band]]\nstart = 0\nend = 1\nmax = 'x'\n", 4, "field 'max'"),
        ("[[band]]\nstart = 0\nend = 1\nmax = 5\n\n[[band]]\nstart = 2\nend = 1\nmax = 5\n", 8, "[[band]] #2, field 'end'"),
        ("[[band]]\nstart = 0\nend = 1\n", 1, "give min, max or both"),
        ("[[peak]]\nload = [1]\ntime = [0, 1]\n", 2, "field 'load'"),
        ("[[peak]]\ntime = [0, 1]\n", 1, "'load' is missing"),
        ("[[value]]\ntime = 1\nmin = 1\nmaxx = 2\n", 4, "field 'maxx'"),
        ("name = 'x'\n[[bend]]\nstart = 1\n", 1, "not a kind of check"),
        ("name = 'x'\n", 1, "no checks"),
        ("[[band]\nstart = 0\n", 1, "line 1"),
        ("[[cross]]\nfrom = [0, 1]\nto = [0, 1]\n", 3, "must differ"),
    ],
)
def test_a_faulty_file_names_the_line_and_field(tmp_path, text, line, words):
    path = tmp_path / "limits.toml"
    path.write_text(text)
    with pytest.raises(LimitsError) as raised:
        LimitSet.from_toml(path)
    message = str(raised.value)
    assert message.startswith(str(path)) and words in message
    assert f"line {line}" in message
