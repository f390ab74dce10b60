"""Trigger conditions and their detectors, evaluated on whole blocks of samples with numpy.

A condition is a set/reset pair over the samples: it fires on the sample where the set
condition holds after the reset condition held last (the hysteresis band lies between
them), so noise around a level fires once per crossing. A detector carries its state
from one block to the next, so an edge exactly at a block boundary fires once, on the
first sample past the level, whichever block holds it. A detector starts disarmed: a
stream that starts above a rising level fires only after it has been below it.
"""

from __future__ import annotations

import dataclasses
import math
from typing import Literal, Union

import numpy as np
import numpy.typing as npt

Floats = npt.NDArray[np.float64]
Positions = npt.NDArray[np.int64]


def _finite(name: str, value: float) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise ValueError(f"{name} must be a finite number, not {value!r}")
    return float(value)


def _hysteresis(value: float) -> float:
    value = _finite("hysteresis", value)
    if value < 0:
        raise ValueError(f"hysteresis must be at least 0, not {value:g}")
    return value


def set_reset_edges(
    fired: npt.NDArray[np.bool_], rearmed: npt.NDArray[np.bool_], armed: bool
) -> tuple[Positions, bool]:
    """Positions where ``fired`` holds while armed, and whether the detector is armed after the block.

    A sample where ``rearmed`` holds arms the detector, one where ``fired`` holds disarms it
    (and fires when it was armed); other samples keep the state. ``fired`` wins when both hold.
    """
    # 0 armed, 1 disarmed, -1 keeps the state: carried forward by a running maximum of positions.
    marks = np.where(fired, 1, np.where(rearmed, 0, -1)).astype(np.int8)
    positions = np.arange(len(marks), dtype=np.int64)
    latest = np.maximum.accumulate(np.where(marks >= 0, positions, -1))
    state = np.where(latest >= 0, marks[np.maximum(latest, 0)], 0 if armed else 1)
    before = np.empty_like(state)
    before[:1] = 0 if armed else 1
    before[1:] = state[:-1]
    edges = np.flatnonzero((marks == 1) & (before == 0)).astype(np.int64)
    return edges, bool(state[-1] == 0) if len(state) else armed


class Detector:
    """A condition's running state over a stream: ``scan`` one block after another."""

    def __init__(self, condition: Condition, interval: float):
        self.condition = condition
        self.interval = interval
        self.armed = False
        self._tail: Floats = np.empty(0)  # the last samples, for conditions that look back

    def scan(self, loads: Floats) -> Positions:
        """Positions in ``loads`` where the condition fires."""
        condition = self.condition
        if isinstance(condition, Slope):
            span = condition.samples(self.interval)
            joined = np.concatenate((self._tail, loads))
            self._tail = joined[-span:]
            if len(joined) <= span:
                return np.empty(0, dtype=np.int64)
            rates = (joined[span:] - joined[:-span]) / (span * self.interval)
            # The first samples of the stream have no rate yet: NaN keeps the state.
            values = np.concatenate((np.full(len(loads) - len(rates), np.nan), rates))
            fired, rearmed = values >= condition.rate, values < condition.rate - condition.hysteresis
            if condition.rate < 0:
                fired, rearmed = values <= condition.rate, values > condition.rate + condition.hysteresis
        else:
            fired, rearmed = condition.masks(loads)
        edges, self.armed = set_reset_edges(fired, rearmed, self.armed)
        return edges


@dataclasses.dataclass(frozen=True)
class Level:
    """The load reaches ``above`` on a rising edge, or ``below`` on a falling edge.

    Re-armed when the load has gone back past the level by ``hysteresis``.
    """

    above: float | None = None
    below: float | None = None
    hysteresis: float = 0.0

    def __post_init__(self) -> None:
        if (self.above is None) == (self.below is None):
            raise ValueError("Level takes one of above= (a rising edge) or below= (a falling edge)")
        if self.above is not None:
            _finite("above", self.above)
        else:
            assert self.below is not None
            _finite("below", self.below)
        _hysteresis(self.hysteresis)

    def masks(self, loads: Floats) -> tuple[npt.NDArray[np.bool_], npt.NDArray[np.bool_]]:
        if self.above is not None:
            return loads >= self.above, loads < self.above - self.hysteresis
        assert self.below is not None
        return loads <= self.below, loads > self.below + self.hysteresis

    def __str__(self) -> str:
        return f"rising:{self.above:g}" if self.above is not None else f"falling:{self.below:g}"


@dataclasses.dataclass(frozen=True)
class Window:
    """The load enters the band [``low``, ``high``] (``on="enter"``) or leaves it (``on="leave"``).

    Re-armed when it is ``hysteresis`` clear of the band's edges on the other side.
    """

    low: float
    high: float
    on: Literal["enter", "leave"] = "enter"
    hysteresis: float = 0.0

    def __post_init__(self) -> None:
        if not _finite("low", self.low) < _finite("high", self.high):
            raise ValueError(f"a window's low must be below its high, not {self.low:g} and {self.high:g}")
        if self.on not in ("enter", "leave"):
            raise ValueError(f"a window fires on 'enter' or 'leave', not {self.on!r}")
        _hysteresis(self.hysteresis)

    def masks(self, loads: Floats) -> tuple[npt.NDArray[np.bool_], npt.NDArray[np.bool_]]:
        inside = (loads >= self.low) & (loads <= self.high)
        h = self.hysteresis
        if self.on == "enter":
            return inside, (loads < self.low - h) | (loads > self.high + h)
        return ~inside, (loads >= self.low + h) & (loads <= self.high - h)

    def __str__(self) -> str:
        return f"window:{self.low:g}:{self.high:g}" + ("" if self.on == "enter" else ":leave")


@dataclasses.dataclass(frozen=True)
class Slope:
    """The load changes by at least ``rate`` load units per second (a negative rate: falls at
    least that fast), measured over ``over`` seconds so that noise does not fire it."""

    rate: float
    over: float = 0.01
    hysteresis: float = 0.0

    def __post_init__(self) -> None:
        if _finite("rate", self.rate) == 0:
            raise ValueError("a slope's rate must not be 0")
        if not _finite("over", self.over) > 0:
            raise ValueError(f"over must be a positive number of seconds, not {self.over:g}")
        _hysteresis(self.hysteresis)

    def samples(self, interval: float) -> int:
        return max(1, round(self.over / interval))

    def __str__(self) -> str:
        return f"slope:{self.rate:g}"


Condition = Union[Level, Window, Slope]


def parse_trigger(text: str, hysteresis: float = 0.0) -> Condition:
    """``rising:LEVEL``, ``falling:LEVEL``, ``window:LOW:HIGH`` (entered) or ``slope:RATE``.

    :raises ValueError: naming the forms, for anything else
    """
    kind, _, rest = text.strip().partition(":")
    fields = rest.split(":") if rest else []
    forms = "rising:LEVEL, falling:LEVEL, window:LOW:HIGH or slope:RATE"
    try:
        numbers = [float(field) for field in fields]
    except ValueError:
        raise ValueError(f"{text!r} is not a trigger: give {forms}") from None
    kind = kind.lower()
    if kind == "rising" and len(numbers) == 1:
        return Level(above=numbers[0], hysteresis=hysteresis)
    if kind == "falling" and len(numbers) == 1:
        return Level(below=numbers[0], hysteresis=hysteresis)
    if kind == "window" and len(numbers) == 2:
        return Window(numbers[0], numbers[1], hysteresis=hysteresis)
    if kind == "slope" and len(numbers) == 1:
        return Slope(numbers[0], hysteresis=hysteresis)
    raise ValueError(f"{text!r} is not a trigger: give {forms}")
